// The updater window's controls: names, captions, places and the clients
// it downloads and rates the sites with.
#include "update_main.h"

#include "debugbox.h"
#include "net/Ftpcli.h"
#include "net/HttpProt.h"
#include "net/Pinger.h"
#include "platform/linklabel.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>

namespace {

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

} // namespace

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
    auto* link = new TLinkLabel(QString(), this);
    link->OnClick = [this] { updateurllabClick(); };
    updateurllab = link;
    updateurllab->setObjectName("updateurllab");
    updateurllab->setGeometry(8, 309, 340, 14);
    updateurllab->setCursor(Qt::PointingHandCursor);
    // The values the news and the servers give are shown as they are, never
    // as rich text.
    for (QLabel* label : {verslab, desclab, sizelab, proglab, updateurllab})
        label->setTextFormat(Qt::PlainText);
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

