#include "update_main.h"

#include "app/errors.h"
#include "app/shellutil.h"
#include "app/textfuncs.h"
#include "config/config_main.h"
#include "debugbox.h"
#include "net/Ftpcli.h"
#include "net/HttpProt.h"
#include "net/Pinger.h"
#include "platform/ansi.h"
#include "platform/atomicfile.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/regfile.h"
#include "platform/regstore.h"
#include "platform/ticks.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
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

// A label that reports clicks (the web page link).
class TLinkLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()) && OnClick)
            OnClick();
        QLabel::mouseReleaseEvent(e);
    }
};

QIcon SpeedImage(const QColor& colour)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(colour.darker(160));
    p.setBrush(colour);
    p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
    return QIcon(pixmap);
}

// The values of one registry key, read from the settings store in one go.
class TKeyReader {
public:
    // False when the key cannot be opened (no store, unreadable, no such key).
    bool Open(std::string key)
    {
        for (const char* hive : {"HKEY_CURRENT_USER\\", "HKCU\\"})
            if (key.size() > std::strlen(hive) && SameText(key.substr(0, std::strlen(hive)), hive))
                key.erase(0, std::strlen(hive));
        std::string text;
        bool missing = false;
        if (!platform::ReadWholeFile(platform::RegistryStore::DefaultPath(), text, missing))
            return false;
        doc_ = platform::ParseRegFile(text);
        key_ = doc_ ? doc_->Find(platform::FullKeyPath(key)) : nullptr;
        return key_ != nullptr;
    }
    // A missing value reads as empty; a value that is not a string is an error.
    std::string Read(const std::string& name) const
    {
        const platform::RegValue* v = key_->Find(name);
        if (!v)
            return {};
        if (!v->isString)
            throw EError("Error reading registry");
        return v->data;
    }

private:
    std::optional<platform::RegDocument> doc_;
    const platform::RegKey* key_ = nullptr;
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

// Stay-on-top windows of the application are made normal while a dialog of
// ours is up, so they cannot hide it, and restored afterwards.
class TNormalTopMost {
public:
    TNormalTopMost()
    {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && (w->windowFlags() & Qt::WindowStaysOnTopHint)) {
                windows_.push_back(w);
                w->setWindowFlag(Qt::WindowStaysOnTopHint, false);
                w->show();
            }
        }
    }
    ~TNormalTopMost()
    {
        for (const QPointer<QWidget>& w : windows_) {
            if (w) {
                w->setWindowFlag(Qt::WindowStaysOnTopHint, true);
                w->show();
            }
        }
    }

private:
    std::vector<QPointer<QWidget>> windows_;
};

// A downloaded program must be executable to be started on this system.
void MakeExecutable(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        ::chmod(path.c_str(), st.st_mode | S_IXUSR | ((st.st_mode & (S_IRGRP | S_IROTH)) >> 2));
}

} // namespace

std::string DownloadFileName(const std::string& path)
{
    const std::size_t cut = path.find_last_of("/\\");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (name == "." || name == "..")
        return {};
    return name;
}

std::string DownloadDirName(const std::string& path)
{
    const std::size_t cut = path.rfind('/');
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

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

void Tupdate_form::BuildControls()
{
    QFont f("Arial");
    f.setPixelSize(11);   // 8 point
    setFont(f);
    setFixedSize(446, 352);

    Label1 = new QLabel("       Select a Download Location Below and Click Download to Start", this);
    Label1->setObjectName("Label1");
    QFont bold = f;
    bold.setBold(true);
    Label1->setFont(bold);
    Label1->setGeometry(8, 4, 430, 16);

    speedimages = {SpeedImage(QColor(160, 160, 160)), SpeedImage(QColor(0, 192, 0)), SpeedImage(QColor(230, 200, 0)),
                   SpeedImage(QColor(220, 0, 0))};

    splitter = new QSplitter(Qt::Vertical, this);
    splitter->setObjectName("splitter");
    splitter->setGeometry(8, 22, 430, 138);
    splitter->setChildrenCollapsible(true);
    downloadlist = new QTreeWidget(splitter);
    downloadlist->setObjectName("downloadlist");
    downloadlist->setRootIsDecorated(false);
    downloadlist->setSelectionBehavior(QAbstractItemView::SelectRows);
    downloadlist->setSelectionMode(QAbstractItemView::SingleSelection);
    downloadlist->setEditTriggers(QAbstractItemView::NoEditTriggers);
    downloadlist->setIconSize(QSize(16, 16));
    downloadlist->setHeaderLabels({"Ping", "Type", "Name", "Address"});
    downloadlist->setColumnWidth(0, 60);
    downloadlist->setColumnWidth(1, 40);
    downloadlist->setColumnWidth(2, 200);
    downloadlist->header()->setStretchLastSection(true);
    // The selection stays visible when the list loses the focus.
    QPalette lp = downloadlist->palette();
    lp.setColor(QPalette::Inactive, QPalette::Highlight, lp.color(QPalette::Active, QPalette::Highlight));
    lp.setColor(QPalette::Inactive, QPalette::HighlightedText, lp.color(QPalette::Active, QPalette::HighlightedText));
    downloadlist->setPalette(lp);
    downloadlist->setMinimumHeight(1);   // the log box takes what it needs
    connect(downloadlist, &QTreeWidget::itemDoubleClicked, this, [this] { downloadlistDblClick(); });
    DebugBox1 = new TDebugBox(splitter);
    DebugBox1->setObjectName("DebugBox1");
    splitter->addWidget(downloadlist);
    splitter->addWidget(DebugBox1);
    SetDebugBoxHeight(0);

    GroupBox1 = new QGroupBox(" Update Information ", this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(8, 164, 430, 72);
    auto* l1 = new QLabel("Version:", GroupBox1);
    l1->setGeometry(8, 16, 72, 14);
    verslab = new QLabel(GroupBox1);
    verslab->setObjectName("verslab");
    verslab->setGeometry(82, 16, 340, 14);
    auto* l2 = new QLabel("Description:", GroupBox1);
    l2->setGeometry(8, 30, 72, 14);
    desclab = new QLabel(GroupBox1);
    desclab->setObjectName("desclab");
    desclab->setWordWrap(true);
    desclab->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    desclab->setGeometry(82, 30, 340, 26);
    auto* l3 = new QLabel("Size:", GroupBox1);
    l3->setGeometry(8, 56, 72, 13);
    sizelab = new QLabel(GroupBox1);
    sizelab->setObjectName("sizelab");
    sizelab->setGeometry(82, 56, 340, 13);

    GroupBox2 = new QGroupBox(" Progress ", this);
    GroupBox2->setObjectName("GroupBox2");
    GroupBox2->setGeometry(8, 237, 430, 46);
    ProgressBar1 = new QProgressBar(GroupBox2);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(8, 16, 414, 12);
    proglab = new QLabel(GroupBox2);
    proglab->setObjectName("proglab");
    proglab->setGeometry(8, 30, 414, 14);

    Label2 = new QLabel("If you are having trouble downloading this update, you can download it directly from:", this);
    Label2->setObjectName("Label2");
    Label2->setWordWrap(true);   // one line in Arial, two where a wider font stands in
    Label2->setGeometry(8, 284, 430, 26);
    auto* link = new TLinkLabel(this);
    link->OnClick = [this] { updateurllabClick(); };
    updateurllab = link;
    updateurllab->setObjectName("updateurllab");
    updateurllab->setGeometry(8, 309, 340, 14);
    updateurllab->setCursor(Qt::PointingHandCursor);
    QFont underlined = f;
    underlined.setUnderline(true);
    updateurllab->setFont(underlined);
    QPalette up = updateurllab->palette();
    up.setColor(QPalette::WindowText, Qt::blue);
    updateurllab->setPalette(up);

    download_butt = new QPushButton("Download", this);
    download_butt->setObjectName("download_butt");
    download_butt->setDefault(true);
    download_butt->setGeometry(186, 325, 80, 24);
    connect(download_butt, &QPushButton::clicked, this, [this] { download_buttClick(); });
    config_butt = new QPushButton("Configure", this);
    config_butt->setObjectName("config_butt");
    config_butt->setToolTip("Configure proxy/firewall settings");
    config_butt->setGeometry(272, 325, 80, 24);
    connect(config_butt, &QPushButton::clicked, this, [this] { config_buttClick(); });
    cancel_butt = new QPushButton("Cancel", this);
    cancel_butt->setObjectName("cancel_butt");
    cancel_butt->setGeometry(358, 325, 80, 24);
    connect(cancel_butt, &QPushButton::clicked, this, [this] { cancel_buttClick(); });

    HttpCli1 = new THttpCli;
    HttpCli1->OnHeaderData = [this](THttpCli*) { HttpCli1HeaderData(); };
    HttpCli1->OnHeaderEnd = [this](THttpCli*) { HttpCli1HeaderEnd(); };
    HttpCli1->OnDocBegin = [this](THttpCli*) { HttpCli1DocBegin(); };
    HttpCli1->OnDocData = [this](THttpCli*, const char*, int len) { HttpCli1DocData(len); };
    HttpCli1->OnDocEnd = [this](THttpCli*) { HttpCli1DocEnd(); };
    HttpCli1->OnStateChange = [this](THttpCli*) { HttpCli1StateChange(); };

    FtpClient1 = new TFtpClient;
    FtpClient1->Timeout = 15;
    FtpClient1->Binary = true;
    FtpClient1->Port = "ftp";
    FtpClient1->ShareMode = ftpShareExclusive;
    FtpClient1->OnDisplay = [this](TFtpClient*, const std::string& msg) { FtpClient1Display(msg); };
    FtpClient1->OnProgress = [this](TFtpClient*, int64_t count, bool& abort) { FtpClient1Progress(count, abort); };
    FtpClient1->OnRequestDone = [this](TFtpClient*, TFtpRequest rq, int error) { FtpClient1RequestDone(rq, error); };

    Ping1 = new TPinger;
    Ping1->NPings = 4;
    Ping1->Timeout = 2000;
    Ping1->OnReply = [this](TCustomWSockets*) { Ping1Reply(); };

    regtimer = new QTimer(this);
    regtimer->setInterval(50);
    connect(regtimer, &QTimer::timeout, this, [this] { regtimerTimer(); });
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
    TKeyReader key;
    if (!key.Open(settings_key)) {
        Fatal("Bad Registry Key");
        return;
    }
    try {
        verslab->setText(FromAnsi(key.Read("updatever")));
        desclab->setText(FromAnsi(key.Read("updatedesc")));
        sizelab->setText(FromAnsi(key.Read("updatesize")));
        updateurllab->setText(FromAnsi(key.Read("updateurl")));
        update_sha256 = Trim(key.Read("updatesha256"));
        const int limit = StrToIntDef(key.Read("dlcount"), INT_MAX);
        // Entry 1 is always read; the list ends at the first empty entry.
        for (int n = 1;; ++n) {
            const std::string entry = "dl" + std::to_string(n);
            const std::string url = key.Read(entry);
            if (!url.empty()) {
                const TUrlParts parts = SplitURL(url);
                TDLInfo info{url, parts.Proto, parts.Host, parts.Port, parts.Path, parts.User, parts.Pass,
                             Trim(key.Read(entry + "sha256"))};
                auto* row = new TDLRow(std::move(info));
                row->setText(0, "???");
                row->setText(1, FromAnsi(parts.Proto));
                row->setText(2, FromAnsi(key.Read(entry + "desc")));
                row->setText(3, FromAnsi(url));
                downloadlist->addTopLevelItem(row);
                SetRowImage(row, 0);
            }
            if (url.empty() || n >= limit)
                break;
        }
    } catch (const EError& e) {
        Fatal(e.what());
        return;
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
    received_bytes = 0;
    total_bytes = 0;
    start_tick = last_tick = Clock();
    local_file = platform::JoinPath(program_dir, name);
    expected_sha256 = info.sha256.empty() ? update_sha256 : info.sha256;
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
        if (HttpCli1->Status() >= 400)
            platform::ShowMessage(this, DialogKind::Plain, FromAnsi(HttpCli1->Reason()));
        return;
    }
}

// --- FTP events ----------------------------------------------------------------------

void Tupdate_form::FtpClient1Display(const std::string& msg) { DebugBox1->AddDebugLine(msg); }

void Tupdate_form::FtpClient1Progress(int64_t count, bool&)
{
    received_bytes = count;
    UpdateProgress();
}

void Tupdate_form::FtpClient1RequestDone(int request, int error)
{
    if (request != ftpGetAsync && request != ftpResumeGetAsync && request != ftpRestartGetAsync)
        return;
    QPointer<Tupdate_form> alive(this);
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
    if (total_bytes > 0)
        ProgressBar1->setValue(
            std::clamp(RoundForDisplay(double(received_bytes) / double(total_bytes) * 100.0), 0, 100));
    else
        ProgressBar1->setValue(0);
    const uint32_t now = Clock();
    if (received_bytes == 0 || platform::TicksSince(last_tick, now) < 1000)
        return;
    last_tick = now;
    const int64_t seconds = std::max<int64_t>(platform::TicksSince(start_tick, now) / 1000, 1);
    char text[160];
    if (total_bytes != 0) {
        const double rate = std::max(double(received_bytes) / 1000.0 / double(seconds), 0.1);
        const int64_t left =
            std::max<int64_t>(int64_t(std::nearbyint(double(total_bytes - received_bytes) / (rate * 1000.0))), 0);
        std::snprintf(text, sizeof text, "%lld of %lld (%.2f k/s) %lld:%02lld left",
                      static_cast<long long>(received_bytes), static_cast<long long>(total_bytes), rate,
                      static_cast<long long>(left / 60), static_cast<long long>(left % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld of Unknown", static_cast<long long>(received_bytes));
    }
    proglab->setText(text);
}

bool Tupdate_form::CheckDownloadedFile(int64_t expectedSize)
{
    QFile file(QString::fromLocal8Bit(local_file.c_str()));
    if (expectedSize > 0 && file.size() != expectedSize) {
        platform::ShowMessage(this, DialogKind::Error,
                              FromAnsi("The download is incomplete: " + std::to_string(file.size()) + " of " +
                                       std::to_string(expectedSize) + " bytes arrived. It has not been started; "
                                       "please try again or another site."));
        return false;
    }
    if (expected_sha256.empty())
        return true;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool read = file.open(QIODevice::ReadOnly) && hash.addData(&file);
    file.close();
    if (read && SameText(hash.result().toHex().toStdString(), expected_sha256))
        return true;
    file.remove();
    platform::ShowMessage(this, DialogKind::Error,
                          "The downloaded file is damaged: its SHA-256 checksum does not match the one announced "
                          "for this release. It has been deleted and not started; please try another site.");
    return false;
}

void Tupdate_form::RunDownloadedFile()
{
    try {
        MakeExecutable(local_file);
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
    TNormalTopMost normal;
    platform::RunModal(*config);
}

void Tupdate_form::updateurllabClick() { OpenBrowser(platform::ToAnsi(updateurllab->text())); }

void Tupdate_form::SocketError(TCustomWSockets* Sender)
{
    platform::ShowMessage(this, DialogKind::Plain, FromAnsi(TWSocket::ErrorText(Sender->LastError())));
}
