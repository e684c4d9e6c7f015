#include "update_main.h"

#include "app/shellutil.h"
#include "config/config_main.h"
#include "debugbox.h"
#include "downloadcheck.h"
#include "net/Ftpcli.h"
#include "net/HttpProt.h"
#include "net/Pinger.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/regstore.h"
#include "platform/ticks.h"
#include "platform/topmost.h"
#include "text/errors.h"
#include "text/textfuncs.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <optional>

using platform::DialogKind;
using platform::FromAnsi;

namespace {

// The fixed address the build gives as the anonymous FTP password.
constexpr const char* kAnonymousPassword = "updater@parlevo.net";

constexpr int kImageRole = Qt::UserRole + 2;   // the row's image index

// A row of the download list; it owns its site.
class TDLRow : public QTreeWidgetItem {
public:
    explicit TDLRow(TDLInfo info) : info_(std::move(info)) {}
    const TDLInfo& Info() const { return info_; }

private:
    TDLInfo info_;
};

void CopySocks(const TSocksSettings& from, TWSocket& to)
{
    to.SocksServer = from.SocksServer;
    to.SocksPort = from.SocksPort.empty() ? "1080" : from.SocksPort;
    to.SocksUsercode = from.SocksUserCode;
    to.SocksPassword = from.SocksPassword;
    to.SocksLevel = from.SocksLevel.empty() ? "5" : from.SocksLevel;
    to.SocksAuthentication = from.SocksAuthentication;
}

TSocksSettings SocksOf(const TWSocket& s)
{
    return TSocksSettings{s.SocksServer, s.SocksPort, s.SocksUsercode, s.SocksPassword, s.SocksLevel,
                          s.SocksAuthentication};
}

} // namespace

// --- creation ------------------------------------------------------------------

Tupdate_form::Tupdate_form(QWidget* owner, Tconfig_form* configForm) : QDialog(owner), config(configForm)
{
    setObjectName("update_form");
    setWindowTitle("Parlevo Industries Updater 1.0");
    program_dir = platform::ExecutableDir();
    arguments = QCoreApplication::arguments().mid(1);
    Clock = [] { return platform::GetTickCount(); };
    EndProgram = [this](int code) {
        hide();
        QCoreApplication::exit(code);
    };
    BuildControls();
    FormCreate();
}

Tupdate_form::~Tupdate_form()
{
    // The clients go first, so that nothing they fire reaches a half-gone window.
    delete FtpClient1;
    delete HttpCli1;
    delete Ping1;
    delete http_file;
}

void Tupdate_form::FormCreate() { settings_key.clear(); }

void Tupdate_form::showEvent(QShowEvent* event)
{
    if (QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        move(area.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void Tupdate_form::keyPressEvent(QKeyEvent* event)
{
    // Escape is the Cancel button.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cancel_butt->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Tupdate_form::done(int result)
{
    // A download does not go on behind a closed window: it would start the
    // release and end the program when nobody expects it.
    if (IsBusy()) {
        QPointer<Tupdate_form> alive(this);
        FtpClient1->AbortTransfer();
        if (alive)
            HttpCli1->AbortRequest();
        if (!alive)
            return;
    }
    QDialog::done(result);
}

void Tupdate_form::FormShow()
{
    regtimer->start();
    auto handler = [this](TCustomWSockets* sender, int, const std::string&) { SocketError(sender); };
    HttpCli1->CtrlSocket().OnError = handler;
    FtpClient1->ControlSocket()->OnError = handler;
    FtpClient1->DataSocket()->OnError = handler;
    relocated = false;
}

void Tupdate_form::regtimerTimer()
{
    if (!regtimer->isActive())
        return;
    regtimer->stop();
    if (settings_key.empty()) {
        if (arguments.size() != 1) {
            Fatal("No Command Line");
            return;
        }
        settings_key = platform::ToAnsi(arguments.front());
    }
    LoadDownloadList();
}

// --- the site list -------------------------------------------------------------

void Tupdate_form::LoadDownloadList()
{
    const std::optional<platform::RegKey> key =
        platform::RegistryStore::CurrentUser().ReadKey(UpdateSettingsKey(settings_key));
    if (!key) {
        Fatal("Bad Registry Key");
        return;
    }
    TUpdateInfo update;
    try {
        update = ReadUpdateInfo([&key](const std::string& name) {
            const platform::RegValue* v = key->Find(name);
            if (!v)
                return std::string();
            if (!v->isString)
                throw EError("Error reading registry");
            return v->data;
        });
    } catch (const EError& e) {
        Fatal(e.what());
        return;
    }
    verslab->setText(FromAnsi(update.version));
    desclab->setText(FromAnsi(update.description));
    sizelab->setText(FromAnsi(update.size));
    updateurllab->setText(FromAnsi(update.url));
    update_sha256 = update.sha256;
    const auto text = [&key](const char* name) {
        const platform::RegValue* v = key->Find(name);
        return v && v->isString ? v->data : std::string();
    };
    download_ceiling = DownloadCeiling(text("updatemaxsize"));
    news_key = Trim(text("newskey"));
    if (news_key.empty())
        news_key = QP_NEWS_KEY;
    news_sha256 = text("newssha256");
    for (TDownloadSite& site : update.sites) {
        auto* row = new TDLRow(std::move(site.info));
        row->setText(0, "???");
        row->setText(1, FromAnsi(row->Info().proto));
        row->setText(2, FromAnsi(site.desc));
        row->setText(3, FromAnsi(row->Info().url));
        downloadlist->addTopLevelItem(row);
        SetRowImage(row, 0);
    }
    if (downloadlist->topLevelItemCount() > 0)
        downloadlist->setCurrentItem(downloadlist->topLevelItem(0));
    ping_index = 0;
    PingNext();
}

void Tupdate_form::PingNext()
{
    QPointer<Tupdate_form> alive(this);
    QCoreApplication::processEvents();
    if (!alive)
        return;
    if (ping_index < downloadlist->topLevelItemCount()) {
        Ping1->Host = RowInfo(downloadlist->topLevelItem(ping_index))->host;
        Ping1->Ping();
    }
}

void Tupdate_form::Ping1Reply()
{
    QTreeWidgetItem* row = downloadlist->topLevelItem(ping_index);
    if (!row)
        return;
    int time = Ping1->ReplyTime;
    if (time == 0)
        time = 9999;
    row->setText(0, QString::number(time));
    SetRowImage(row, time <= 250 ? 1 : time <= 500 ? 2 : 3);
    ++ping_index;
    PingNext();
}

const TDLInfo* Tupdate_form::RowInfo(const QTreeWidgetItem* row)
{
    auto* r = dynamic_cast<const TDLRow*>(row);
    return r ? &r->Info() : nullptr;
}

int Tupdate_form::RowImage(const QTreeWidgetItem* row) { return row ? row->data(0, kImageRole).toInt() : -1; }

void Tupdate_form::SetRowImage(QTreeWidgetItem* row, int image)
{
    row->setIcon(0, speedimages[std::size_t(image)]);
    row->setData(0, kImageRole, image);
}

int Tupdate_form::DebugBoxHeight() const { return splitter->sizes().value(1); }

void Tupdate_form::SetDebugBoxHeight(int height)
{
    const int total = splitter->height() - splitter->handleWidth();
    splitter->setSizes({std::max(total - height, 0), height});
}

// --- starting a download ---------------------------------------------------------

bool Tupdate_form::IsBusy() const
{
    return FtpClient1->FtpState() != ftpReady || HttpCli1->HttpState() != httpReady;
}

void Tupdate_form::download_buttClick()
{
    if (IsBusy()) {
        if (platform::CurrentDialogs().Show(this, {DialogKind::Confirmation, {},
                                                   "A download is in progress, do you wish to cancel it?",
                                                   platform::DialogButtons::YesNoCancel}) ==
            platform::DialogResult::Yes)
            cancel_butt->click();
        return;
    }
    QTreeWidgetItem* row = downloadlist->currentItem();
    if (!row || !row->isSelected()) {
        platform::ShowMessage(this, DialogKind::Plain, "You must select a download location", "Error");
        return;
    }
    const TDLInfo* chosen = RowInfo(row);
    Q_ASSERT(chosen);
    if (!chosen)
        return;
    const TDLInfo info = *chosen;   // the row may go while the download runs

    // The file goes into the program's folder under the last name of the
    // path, and nowhere else.
    const std::string name = DownloadFileName(info.path);
    if (name.empty()) {
        platform::ShowMessage(this, DialogKind::Information,
                              "This download location does not name a file, please try another site");
        return;
    }
    // With a news key, the checksum vouches for the release only when it came
    // in news signed with that key.
    const std::string sha256 = info.sha256.empty() ? update_sha256 : info.sha256;
    if (!news_key.empty() && !ChecksumVerified(sha256, news_sha256)) {
        proglab->setText(kUnverifiedChecksumText);
        platform::ShowMessage(this, DialogKind::Error, kUnverifiedChecksumText);
        return;
    }
    received_bytes = 0;
    total_bytes = 0;
    oversize = false;
    start_tick = last_tick = Clock();
    local_file = platform::JoinPath(program_dir, name);
    expected_sha256 = sha256;
    ProgressBar1->setValue(0);
    if (UpperCase(info.proto) == "FTP")
        StartFtpDownload(info);
    else
        StartHttpDownload(info);
}

void Tupdate_form::downloadlistDblClick() { download_butt->click(); }

void Tupdate_form::StartHttpDownload(const TDLInfo& info)
{
    if (config) {
        THttpProxySettings proxy{HttpCli1->Proxy, HttpCli1->ProxyPort, HttpCli1->ProxyUsername,
                                 HttpCli1->ProxyPassword};
        TSocksSettings socks = SocksOf(HttpCli1->CtrlSocket());
        config->ApplyHttpProxy(proxy, socks);
        HttpCli1->Proxy = proxy.ProxyHost;
        HttpCli1->ProxyPort = proxy.ProxyPort.empty() ? "80" : proxy.ProxyPort;
        HttpCli1->ProxyUsername = proxy.ProxyUser;
        HttpCli1->ProxyPassword = proxy.ProxyPass;
        CopySocks(socks, HttpCli1->CtrlSocket());
    }
    HttpCli1->URL = info.url;
    http_reply_status = 0;
    SetDebugBoxHeight(75);
    HttpCli1->StartGet();
}

void Tupdate_form::StartFtpDownload(const TDLInfo& info)
{
    QPointer<Tupdate_form> alive(this);
    TFtpClient& ftp = *FtpClient1;
    if (config) {
        for (TWSocket* s : {ftp.DataSocket(), ftp.ControlSocket()}) {
            TSocksSettings socks = SocksOf(*s);
            config->ApplySocksProxy(socks);
            CopySocks(socks, *s);
        }
    }
    if (!ftp.DataSocket()->SocksServer.empty())
        ftp.PassiveMode = true;
    ftp.HostName = info.host;
    if (!info.port.empty())
        ftp.Port = info.port;
    else
        ftp.Port = "ftp";
    ftp.HostDirName = DownloadDirName(info.path);
    ftp.HostFileName = DownloadFileName(info.path);
    ftp.LocalFileName = local_file;
    ftp.UserName = info.user.empty() ? "anonymous" : info.user;
    ftp.PassWord = info.password.empty() ? kAnonymousPassword : info.password;
    SetDebugBoxHeight(75);

    // A connection left from an earlier attempt at another site goes first.
    if (ftp.IsConnected())
        ftp.AbortTransfer();
    const bool loggedIn = ftp.Login();
    if (!alive)
        return;
    if (!loggedIn || !ftp.IsConnected()) {
        platform::ShowMessage(this, DialogKind::Information,
                              "Unable to connect to FTP server, please try another site");
        return;
    }
    bool ok = ftp.ChangeDir() && alive;
    ok = ok && ftp.SetTransferType() && alive;
    ok = ok && ftp.QuerySize() && alive;
    if (!alive)
        return;
    total_bytes = ftp.RemoteSize();
    if (!ok) {
        platform::ShowMessage(this, DialogKind::Information, "FTP Error, please try another site");
        return;
    }
    if (platform::FileExists(local_file) &&
        platform::AskYesNo(this, DialogKind::Confirmation,
                           FromAnsi("The file: " + local_file +
                                    " already exists, would you like to attempt to resume the download?"))) {
        if (alive)
            ftp.StartResume();
        return;
    }
    if (alive)
        ftp.StartDownload();
}

// --- HTTP events -------------------------------------------------------------------

void Tupdate_form::HttpCli1HeaderData() { DebugBox1->AddDebugLine(HttpCli1->HeaderLine()); }

void Tupdate_form::HttpCli1HeaderEnd()
{
    // Each reply's header speaks for its own document: a relocation's length
    // is not the file's.
    total_bytes = 0;
    http_reply_status = HttpCli1->Status();
    for (const std::string& header : HttpCli1->ReplyHeader()) {
        const std::string line = LowerCase(header);
        if (line.find("content-length") != std::string::npos) {
            const std::size_t colon = line.find(':');
            const int64_t length =
                colon == std::string::npos ? -1 : http::ParseContentLength(Trim(line.substr(colon + 1)));
            total_bytes = std::max<int64_t>(length, 0);
        }
        if (line.rfind("location", 0) == 0)
            relocated = true;
    }
}

void Tupdate_form::HttpCli1DocBegin()
{
    proglab->setText("DATA");
    delete http_file;
    http_file = new QFile(QString::fromLocal8Bit(local_file.c_str()));
    if (!http_file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        delete http_file;
        http_file = nullptr;
        platform::ShowMessage(this, DialogKind::Plain, "The local file cannot be created");
        HttpCli1->AbortRequest();
        return;
    }
    HttpCli1->BodyStream = http_file;
}

void Tupdate_form::HttpCli1DocData(int len)
{
    received_bytes += len;
    if (DownloadTooLarge(received_bytes, total_bytes, download_ceiling)) {
        // Stopped before this piece is written.
        StopOversizeDownload();
        return;
    }
    UpdateProgress();
}

void Tupdate_form::HttpCli1DocEnd()
{
    if (HttpCli1->BodyStream) {
        http_file->close();
        HttpCli1->BodyStream = nullptr;
    }
    if (HttpCli1->BodyCount() <= 0 || HttpCli1->HttpState() == httpAborting)
        return;
    if (http_reply_status >= 400) {
        // The server's error page is no program: it is not kept, and the
        // reason is shown once the request has ended.
        QFile::remove(QString::fromLocal8Bit(local_file.c_str()));
        return;
    }
    if (HttpCli1->Status() >= 400)
        return;   // the transfer failed (told when the request ends); the part stays
    if (!CheckDownloadedFile(total_bytes))
        return;
    RunDownloadedFile();
}

void Tupdate_form::HttpCli1StateChange()
{
    const QString url = FromAnsi(HttpCli1->URL);
    switch (HttpCli1->HttpState()) {
    case httpNotConnected:
    case httpDnsLookup: proglab->setText("DNS " + url); return;
    case httpDnsLookupDone: proglab->setText("CONNECTING " + url); return;
    case httpConnected:
    case httpWaitingHeader: proglab->setText("HEADER " + url); return;
    case httpWaitingBody: proglab->setText("WAIT BODY " + url); return;
    case httpAborting: proglab->setText("ABORTING " + url); return;
    case httpReady:
        proglab->setText("DONE");
        if (HttpCli1->Status() >= 400 && !oversize)
            platform::ShowMessage(this, DialogKind::Plain, FromAnsi(HttpCli1->Reason()));
        return;
    }
}

// --- FTP events ----------------------------------------------------------------------

void Tupdate_form::FtpClient1Display(const std::string& msg) { DebugBox1->AddDebugLine(msg); }

void Tupdate_form::FtpClient1Progress(int64_t count, bool& abort)
{
    received_bytes = count;
    if (DownloadTooLarge(received_bytes, total_bytes, download_ceiling)) {
        // The client aborts the transfer; the request's end deletes the file
        // and says why.
        oversize = true;
        abort = true;
        return;
    }
    UpdateProgress();
}

void Tupdate_form::FtpClient1RequestDone(int request, int error)
{
    if (request != ftpGetAsync && request != ftpResumeGetAsync && request != ftpRestartGetAsync)
        return;
    QPointer<Tupdate_form> alive(this);
    if (oversize) {
        StopOversizeDownload();
        return;
    }
    if ((error & 0xFFFF) != 0)
        platform::ShowMessage(this, DialogKind::Error, FromAnsi("FTP Error: " + FtpClient1->ErrorMessage()));
    else if (CheckDownloadedFile(total_bytes))
        RunDownloadedFile();
    if (alive && !ending)
        proglab->setText("FTP Error");
}

// --- progress and the end ------------------------------------------------------------

void Tupdate_form::UpdateProgress()
{
    ProgressBar1->setValue(ProgressPercent(received_bytes, total_bytes));
    const uint32_t now = Clock();
    if (received_bytes == 0 || platform::TicksSince(last_tick, now) < 1000)
        return;
    last_tick = now;
    proglab->setText(
        QString::fromStdString(ProgressText(received_bytes, total_bytes, platform::TicksSince(start_tick, now) / 1000)));
}

void Tupdate_form::StopOversizeDownload()
{
    QPointer<Tupdate_form> alive(this);
    oversize = true;
    if (HttpCli1->HttpState() != httpReady)
        HttpCli1->AbortRequest();   // closes the file: the piece that went over is not written
    if (!alive)
        return;
    if (HttpCli1->BodyStream) {
        http_file->close();
        HttpCli1->BodyStream = nullptr;
    }
    QFile::remove(QString::fromLocal8Bit(local_file.c_str()));
    const std::string text = OversizeText(total_bytes, download_ceiling);
    proglab->setText(FromAnsi(text));
    platform::ShowMessage(this, DialogKind::Error, FromAnsi(text));
}

bool Tupdate_form::CheckDownloadedFile(int64_t expectedSize)
{
    QFile file(QString::fromLocal8Bit(local_file.c_str()));
    const TDownloadVerdict verdict =
        CheckDownload(expectedSize, file.size(), expected_sha256, [&file]() -> std::optional<std::string> {
            QCryptographicHash hash(QCryptographicHash::Sha256);
            const bool read = file.open(QIODevice::ReadOnly) && hash.addData(&file);
            file.close();
            if (!read)
                return std::nullopt;
            return hash.result().toHex().toStdString();
        });
    if (verdict.start)
        return true;
    if (verdict.remove)
        file.remove();
    platform::ShowMessage(this, DialogKind::Error, FromAnsi(verdict.text));
    return false;
}

void Tupdate_form::RunDownloadedFile()
{
    try {
        platform::MakeExecutable(local_file);
        uint32_t threadId = 0;
        StartProgram("", ProgramCommandLine(local_file, ""), 3, false, threadId);
    } catch (const EError& e) {
        if (relocated) {
            relocated = false;
            return;
        }
        platform::ShowMessage(this, DialogKind::Plain, FromAnsi(e.what()));
    }
    ending = true;
    EndProgram(0);
}

void Tupdate_form::Fatal(const std::string& text)
{
    platform::ShowMessage(this, DialogKind::Plain, FromAnsi(text), "Error");
    ending = true;
    EndProgram(1);
}

// --- buttons -------------------------------------------------------------------------

void Tupdate_form::cancel_buttClick()
{
    if (IsBusy()) {
        QPointer<Tupdate_form> alive(this);
        FtpClient1->AbortTransfer();
        if (alive)
            HttpCli1->AbortRequest();
        return;
    }
    if (platform::CurrentDialogs().Show(this, {DialogKind::Confirmation, {},
                                               "Are you sure you want to close the updater?",
                                               platform::DialogButtons::YesNoCancel}) == platform::DialogResult::Yes)
        close();
}

void Tupdate_form::config_buttClick()
{
    if (!config)
        return;
    TNormalizeTopMosts normal;
    platform::RunModal(*config);
}

void Tupdate_form::updateurllabClick() { OpenBrowser(platform::ToAnsi(updateurllab->text())); }

void Tupdate_form::SocketError(TCustomWSockets* Sender)
{
    platform::ShowMessage(this, DialogKind::Plain, FromAnsi(TWSocket::ErrorText(Sender->LastError())));
}
