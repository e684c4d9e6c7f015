#include "motd_main.h"

#include "text/errors.h"
#include "app/shellutil.h"
#include "text/textfuncs.h"
#include "config/config_main.h"
#include "config/skins.h"
#include "motd/docking.h"
#include "motd/motdtext.h"
#include "motd/newsverify.h"
#include "platform/topmost.h"
#include "net/HttpProt.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"

#include <QBuffer>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QLayout>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>
#include <charconv>
#include <ctime>

namespace {

const char* const kExpiredUpdaterPrompt =
    "This program has expired. You must download a newer version\r\n"
    "Would you like to launch the auto-update program now?";
const char* const kExpiredWebPrompt =
    "This program has expired. You must download a newer version\r\n"
    "A new version may be available at: ";
const char* const kNewVersionPrompt =
    "There is a new version available.\r\n"
    "Would you like to launch the auto-update program now?";

// The area code the redirect page is given for a link in the message.
constexpr int kLinkArea = 5;

// A memory buffer that keeps at most `limit` bytes and lets the rest go by,
// so a document that goes on and on never costs more than the limit.
class TBoundedBuffer : public QBuffer {
public:
    explicit TBoundedBuffer(qint64 limit) : limit_(limit) {}

protected:
    qint64 writeData(const char* data, qint64 len) override
    {
        const qint64 room = std::max<qint64>(0, limit_ - size());
        if (room > 0 && QBuffer::writeData(data, std::min(len, room)) < 0)
            return -1;
        return len;
    }

private:
    qint64 limit_;
};

const char* const kUnverifiedNews = "The news could not be verified and was ignored.";

int64_t SecondsOf(const std::string& text)
{
    int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// A message cut at the size bound ends at its last whole line.
std::string CutAtLineEnd(std::string text)
{
    const std::size_t end = text.find_last_of("\r\n");
    if (end != std::string::npos)
        text.erase(end + 1);
    return text;
}

} // namespace

Tmotd_form::Tmotd_form(QWidget* owner, Tconfig_form* config) : QWidget(owner), config_(config)
{
    setObjectName("motd_form");
    setWindowTitle("News");
    resize(426, 249);
    setFont(QFont("Arial", 8));
    // Closing the lobby ends the program even while the news is showing.
    setAttribute(Qt::WA_QuitOnClose, false);
    // Escape closes the news, as it does a dialog.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    motd_text = new TRichEdit98(this);
    motd_text->setObjectName("motd_text");
    motd_text->OnURLClick = [this](TRichEdit98* sender, const std::string& url) { motd_textURLClick(sender, url); };
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(motd_text);

    Httpmotdcli = new THttpCli(this);
    Httpmotdcli->OnDocBegin = [this](THttpCli* sender) { HttpmotdcliDocBegin(sender); };
    Httpmotdcli->OnDocData = [this](THttpCli* sender, const char* buffer, int len) {
        HttpmotdcliDocData(sender, buffer, len);
    };
    Httpmotdcli->OnDocEnd = [this](THttpCli* sender) { HttpmotdcliDocEnd(sender); };

    UDPmotdcli = new TUDPClient(this);
    UDPmotdcli->Authorized = false;
    UDPmotdcli->OnData = [this](TCustomWSockets* sender, TSocket socket) { UDPmotdcliData(sender, socket); };
}

Tmotd_form::~Tmotd_form()
{
    // No event of the transports may reach a window that is going.
    Httpmotdcli->OnDocBegin = nullptr;
    Httpmotdcli->OnDocData = nullptr;
    Httpmotdcli->OnDocEnd = nullptr;
    Httpmotdcli->BodyStream = nullptr;
    UDPmotdcli->OnData = nullptr;
}

void Tmotd_form::FormCreate()
{
    motd_headers.clear();
    dock_rtf.reset();
    if (!config_)
        return;
    // The skin's window colour, and the configuration's font with the skin's
    // text colour; the message view, which fills the window, shows the same.
    QPalette p = palette();
    p.setColor(QPalette::Window, ColourOf(config_->skinColours.primary));
    p.setColor(QPalette::Base, ColourOf(config_->skinColours.primary));
    p.setColor(QPalette::WindowText, ColourOf(config_->skinColours.primaryFont));
    p.setColor(QPalette::Text, ColourOf(config_->skinColours.primaryFont));
    setPalette(p);
    setAutoFillBackground(true);
    setFont(config_->font());
    RequestMotd();
}

// --- request ------------------------------------------------------------------

std::string Tmotd_form::MotdRequest() const
{
    TMotdRequestFields f;
    f.version = config_->VersionText();
    f.product = config_->productGameName;
    f.email = config_->EmailForMotd();
    f.code = config_->installationCode;
    f.distcode = config_->distributionCode;
    f.notify = config_->notify_box->isChecked();
    f.realname = platform::ToAnsi(config_->realname->text());
    f.age = platform::ToAnsi(config_->age->text());
    f.zip = platform::ToAnsi(config_->zip->text());
    return BuildMotdRequest(f);
}

void Tmotd_form::RequestMotd()
{
    if (!config_)
        return;
    const std::string request = MotdRequest();
    udpAnswered_ = false;
    try {
        if (config_->udpmotdbutt->isChecked()) {
            const std::string service = config_->HostValue("motdudp");
            UDPmotdcli->Host = HostOf(service);
            UDPmotdcli->Port = PortOf(service, config_->motdPort);
            UDPmotdcli->Open();
            if (UDPmotdcli->State() == ssOpening)
                UDPmotdcli->SendText(PadMotdDatagram(request));
        } else {
            Httpmotdcli->URL = config_->HostValue("motdurl") + UrlEncode(request);
            Httpmotdcli->BodyStream = nullptr;
            ApplyProxies();
            Httpmotdcli->StartGet();
        }
    } catch (const EError&) {
        // A stored service address that cannot be used (a port that is not a
        // number): like a service that does not answer, there is no news.
    }
}

void Tmotd_form::ApplyProxies()
{
    THttpProxySettings http{Httpmotdcli->Proxy, Httpmotdcli->ProxyPort, Httpmotdcli->ProxyUsername,
                            Httpmotdcli->ProxyPassword};
    TWSocket& s = Httpmotdcli->CtrlSocket();
    TSocksSettings socks{s.SocksServer, s.SocksPort, s.SocksUsercode, s.SocksPassword, s.SocksLevel,
                         s.SocksAuthentication};
    config_->ApplyHttpProxy(http, socks);
    Httpmotdcli->Proxy = http.ProxyHost;
    Httpmotdcli->ProxyPort = http.ProxyPort;
    Httpmotdcli->ProxyUsername = http.ProxyUser;
    Httpmotdcli->ProxyPassword = http.ProxyPass;
    s.SocksServer = socks.SocksServer;
    s.SocksPort = socks.SocksPort;
    s.SocksUsercode = socks.SocksUserCode;
    s.SocksPassword = socks.SocksPassword;
    s.SocksLevel = socks.SocksLevel;
    s.SocksAuthentication = socks.SocksAuthentication;
}

// --- transports ---------------------------------------------------------------

void Tmotd_form::HttpmotdcliDocBegin(THttpCli* Sender)
{
    body_ = std::make_unique<TBoundedBuffer>(qint64(kMaxReplyBytes));
    body_->open(QIODevice::ReadWrite);
    stopping_ = false;
    Sender->BodyStream = body_.get();
}

void Tmotd_form::HttpmotdcliDocData(THttpCli* Sender, const char*, int)
{
    // Past the bound the rest is not wanted: the download stops once this
    // piece has been taken, and what came is shown, cut.
    if (Sender->BodyCount() <= int64_t(kMaxReplyBytes) || stopping_)
        return;
    stopping_ = true;
    QPointer<THttpCli> client(Sender);
    QMetaObject::invokeMethod(
        this,
        [client] {
            if (client && client->HttpState() == httpWaitingBody)
                client->AbortRequest();
        },
        Qt::QueuedConnection);
}

void Tmotd_form::HttpmotdcliDocEnd(THttpCli* Sender)
{
    if (!Sender->BodyStream || !body_)
        return;
    const int64_t count = std::min<int64_t>(Sender->BodyCount(), body_->size());
    std::string reply(body_->data().constData(), std::size_t(count));
    Sender->BodyStream = nullptr;
    body_.reset();
    if (Sender->BodyCount() > int64_t(kMaxReplyBytes))
        reply = CutAtLineEnd(std::move(reply));
    ProcessMotd(reply);
}

void Tmotd_form::UDPmotdcliData(TCustomWSockets*, TSocket)
{
    // A read that fails brings no reply: the service's port is closed.
    bool failed = false;
    UDPmotdcli->OnError = [&failed](TCustomWSockets*, int, const std::string&) { failed = true; };
    const std::string reply = UDPmotdcli->ReadText();
    UDPmotdcli->OnError = nullptr;
    // One reply per request: the socket only hears from the service's
    // address, and whatever comes after the first answer is read and let go,
    // so a flood of datagrams cannot pile up replies (and prompts).
    if (failed || udpAnswered_)
        return;
    udpAnswered_ = true;
    ProcessMotd(reply);
}

// --- reply --------------------------------------------------------------------

void Tmotd_form::ProcessMotd(const std::string& received)
{
    if (!config_)
        return;
    // With the community's key, only news signed with it is taken, and none
    // older than the last taken; anything else leaves no trace but one line
    // in the lobby. Without a key the signature lines are only left out.
    std::string_view reply = WithoutSignatureLines(received);
    signedNews_ = false;
    const std::string key = config_->NewsKey();
    if (!key.empty()) {
        const TNewsVerdict verdict = VerifyNews(received, key, SecondsOf(config_->ReadSetting("newstime")),
                                                int64_t(std::time(nullptr)));
        if (verdict.check != TNewsCheck::Verified) {
            if (OnStatusLine)
                OnStatusLine(kUnverifiedNews);
            return;
        }
        config_->WriteSetting("newstime", std::to_string(verdict.time));
        signedNews_ = true;
    }
    TMotdReply parts = SplitMotdReply(reply);
    motd_headers = std::move(parts.headers);
    const bool expired = parts.expired;

    const std::string checksum = MotdChecksumText(reply);
    if (checksum != config_->ReadSetting("motdck") || expired) {
        if (isHidden())
            show();
        if (auto* pages = dynamic_cast<TPageControlEx*>(HostDockSite())) {
            QWidget* sheet = parentWidget();
            Q_ASSERT(TPageControlEx::OfSheet(sheet) == pages);
            pages->setCurrentWidget(sheet);
        }
        config_->WriteSetting("motdck", checksum);
    }
    if (!HostDockSite()) {
        show();
        raise();
        activateWindow();
    }
    LoadMessage(parts.BodyText(), parts.rtf);
    if (!motd_headers.empty())
        ApplyMotdHeaders(expired);
}

void Tmotd_form::LoadMessage(const std::string& body, bool rtf)
{
    if (rtf)
        motd_text->LoadFromRtf(body);
    else
        motd_text->LoadFromText(body);
}

void Tmotd_form::ApplyMotdHeaders(bool expired)
{
    if (!config_)
        return;
    const std::vector<std::string> lines(motd_headers.begin(),
                                         motd_headers.begin() + std::ptrdiff_t(std::min(motd_headers.size(), kMaxHeaderLines)));
    const TMotdHeaderSettings headers = MotdHeaderSettings(lines);
    // One write of the store for them all, however many there are. Signed
    // news may set any value but the client's own; unsigned news only those
    // of the allow-list (the update information, the link table, the banner
    // interval, the distribution code), so it can never move the client to
    // other hosts. The checksums of a release that came in signed news are
    // noted for the updater.
    std::vector<std::pair<std::string, std::string>> values;
    std::string verified;
    for (const TMotdSetting& setting : headers.settings) {
        if (MotdSettingReserved(setting.name) || (!signedNews_ && !MotdSettingAllowed(setting.name)))
            continue;
        values.emplace_back(setting.name, setting.value);
        const std::string lower = LowerCase(setting.name);
        if (signedNews_ && lower.size() > 6 && lower.compare(lower.size() - 6, 6, "sha256") == 0
            && !setting.value.empty())
            verified += LowerCase(setting.value) + ",";
    }
    if (signedNews_)
        values.emplace_back("newssha256", verified);
    config_->WriteSettings(values);
    config_->LoadLinkTable();
    CheckVersion(expired, headers.newVersion);
}

// --- version prompts ----------------------------------------------------------

bool Tmotd_form::Ask(const std::string& text)
{
    TNormalizeTopMosts normal;
    return platform::AskYesNo(isVisible() ? this : nullptr, platform::DialogKind::Warning, platform::FromAnsi(text));
}

void Tmotd_form::CheckVersion(bool expired, bool newVersion)
{
    // Never a prompt inside another: news that comes while one is open
    // (its message loop runs) is stored but asks nothing.
    if (!config_ || (!expired && !newVersion) || prompting_)
        return;
    prompting_ = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{prompting_};
    if (expired) {
        bool updaterRun = false;
        if (newVersion && Ask(kExpiredUpdaterPrompt)) {
            RunUpdater();
            updaterRun = true;
        }
        if (!updaterRun && config_) {
            const std::string url = config_->linkTable[std::size_t(Tconfig_form::LinkIndex("download"))].url;
            if (Ask(kExpiredWebPrompt + url + "\r\n" + "Would you like to go there now?"))
                OpenBrowser(url);
        }
        // An expired build is not used any longer, whatever the answers. The
        // program ends once control is back in its message loop; nothing
        // asked from here on could take effect, so nothing more is asked.
        QCoreApplication::exit(0);
        return;
    }
    if (Ask(kNewVersionPrompt))
        RunUpdater();
}

void Tmotd_form::RunUpdater()
{
    if (!config_ || !ShowUpdater)
        return;
    TNormalizeTopMosts normal;
    ShowUpdater(config_, config_->SettingsKey());
}

void Tmotd_form::motd_textURLClick(TRichEdit98*, const std::string& url)
{
    if (config_)
        OpenRedirected(config_->HostValue("webhost"), url, config_->productNumber, kLinkArea);
}

// --- docking ------------------------------------------------------------------

QWidget* Tmotd_form::HostDockSite() const
{
    if (isWindow())
        return nullptr;
    QWidget* parent = parentWidget();
    if (TPageControlEx* pages = TPageControlEx::OfSheet(parent))
        return pages;
    return parent;
}

void Tmotd_form::FormStartDock()
{
    dock_rtf = std::make_unique<QBuffer>();
    dock_rtf->open(QIODevice::ReadWrite);
    const std::string rtf = motd_text->SaveToRtf();
    dock_rtf->write(rtf.data(), qint64(rtf.size()));
    dock_rtf->seek(0);
    motd_text->clear();
}

void Tmotd_form::FormEndDock()
{
    if (dock_rtf) {
        motd_text->LoadFromRtf(dock_rtf->readAll().toStdString());
        dock_rtf.reset();
    }
    if (QWidget* host = HostDockSite())
        last_dock_site = host;
}

bool Tmotd_form::FormCloseQuery()
{
    if (!last_dock_site)
        return true;
    ManualDock(last_dock_site);
    return false;
}

void Tmotd_form::ManualDock(QWidget* site)
{
    if (!site)
        return;
    FormStartDock();
    TPageControlEx* oldPages = dynamic_cast<TPageControlEx*>(HostDockSite());
    if (auto* pages = dynamic_cast<TPageControlEx*>(site)) {
        pages->DockForm(this);
    } else {
        setParent(site, Qt::Widget);
        if (site->layout())
            site->layout()->addWidget(this);
        show();
    }
    if (oldPages && oldPages != site)
        oldPages->RemoveEmptySheets();
    FormEndDock();
}

void Tmotd_form::ManualFloat()
{
    TPageControlEx* pages = dynamic_cast<TPageControlEx*>(HostDockSite());
    if (isWindow())
        return;
    FormStartDock();
    setParent(nullptr, Qt::Window);
    if (pages)
        pages->RemoveEmptySheets();
    FormUnDock();
    FormEndDock();
    show();
}

// --- window events ------------------------------------------------------------

void Tmotd_form::closeEvent(QCloseEvent* event)
{
    if (FormCloseQuery())
        QWidget::closeEvent(event);
    else
        event->ignore();
}

void Tmotd_form::showEvent(QShowEvent* event)
{
    // Centred on the screen the first time it floats into view.
    if (isWindow() && !centred_) {
        centred_ = true;
        if (QScreen* s = screen()) {
            const QRect area = s->availableGeometry();
            move(area.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
        }
    }
    QWidget::showEvent(event);
    FormShow();
}
