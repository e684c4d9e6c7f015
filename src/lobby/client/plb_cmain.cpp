// The lobby window's frame: components, actions, layout and the create and
// show handlers. The lobby's behaviour lives in the sibling files
// plb_connection.cpp, plb_state.cpp, plb_chat.cpp, plb_actions.cpp,
// plb_ping.cpp and plb_draw.cpp.
#include "plb_cmain.h"

#include "app/shellutil.h"
#include "text/textfuncs.h"
#include "config/msg_main.h"
#include "platform/dialogs.h"
#include "platform/eventloop.h"
#include "splitbar.h"

#include <QAction>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr TLobbyColours kBaseColours = {
    0x4F4F68, 2, 0xBDCEDB, 0x3F5D74, 0x88A7BF, 0x000000, 0x88A7BF, 0x00FFFF, 0x88A7BF, 0x00FFFF,
    0xB8B8D4, 0x363659, 0x797999, 0xFFFFFF, 0x8080B2};

template <class T>
T* Named(T* w, const char* name)
{
    w->setObjectName(name);
    return w;
}

QFont ArialFont(int pixelSize, bool bold = false)
{
    QFont f("Arial");
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    return f;
}

// The form's own colours; its edit controls keep the system's.
void SetFormColours(QWidget* w, uint32_t back, uint32_t text)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, ColourOf(back));
    pal.setColor(QPalette::WindowText, ColourOf(text));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

void SetListColours(QWidget* w, uint32_t back, uint32_t text)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Base, ColourOf(back));
    pal.setColor(QPalette::Window, ColourOf(back));
    pal.setColor(QPalette::Text, ColourOf(text));
    w->setPalette(pal);
}

QPixmap DrawLogo(const QString& title, const QString& subtitle)
{
    QPixmap pix(238, 79);
    QPainter p(&pix);
    QLinearGradient g(0, 0, 0, 79);
    g.setColorAt(0, QColor(0x2a, 0x33, 0x30));
    g.setColorAt(1, QColor(0x4a, 0x4e, 0x43));
    p.fillRect(pix.rect(), g);
    p.setPen(QColor(0xd8, 0xd0, 0xa8));
    QFont big = ArialFont(22, true);
    p.setFont(big);
    p.drawText(QRect(10, 8, 160, 36), Qt::AlignLeft | Qt::AlignVCenter, title);
    p.setFont(ArialFont(11));
    p.setPen(QColor(0xb0, 0xb8, 0xb4));
    p.drawText(QRect(12, 44, 160, 24), Qt::AlignLeft | Qt::AlignVCenter, subtitle);
    return pix;
}

QPixmap DrawNetworkGlyph()
{
    QPixmap pix(49, 49);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(0x30, 0x60, 0x90));
    p.setPen(QPen(QColor(0xe0, 0xe0, 0xe0), 2));
    p.drawEllipse(2, 2, 45, 45);
    p.setFont(ArialFont(26, true));
    p.drawText(pix.rect(), Qt::AlignCenter, "P");
    return pix;
}

} // namespace

Tplb_c::Tplb_c(QWidget* parent) : Tplb_form(parent)
{
    QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans", "Helvetica"});
    QFont::insertSubstitutions("Fixedsys", {"DejaVu Sans Mono", "Liberation Mono", "Monospace"});
    setObjectName("plb_c");
}

void Tplb_c::FormCreate()
{
    Tplb_form::FormCreate();
    BuildComponents();
    BuildActions();
    SetBuildLook();
    SetKeyCaptions();
    config = configFormClass(this);
    LobbyColours = kBaseColours;
    maxPlayersLimit = 32;
    minPlayers = 2;
    receiveBuffer.clear();
    showAll = true;
    msgForm = new Tmsg_form(this);
    for (auto& slot : pingSlots)
        slot.player = 0;
    pingCursor = 1;
    platform::InstallIdleHandler(this, [this] { UpdateDisplayUpdate(); });
}

void Tplb_c::FormShow()
{
    Tplb_form::FormShow();
    SetListColours(playerbox, LobbyColours.playerBack, LobbyColours.playerText);
    SetFormColours(this, LobbyColours.windowColour, 0xFFFFFF);
    for (QTextEdit* pane : {mainchat, subchat}) {
        QTextCursor c(pane->document());
        c.movePosition(QTextCursor::End);
        c.deletePreviousChar();
        ScrollToEnd(pane);
    }
    QFontMetrics fm(playerbox->font());
    listCharHeight = playerbox->font().pixelSize() > 0 ? playerbox->font().pixelSize() : fm.height();
    selfIndex = -1;
    gamePaneOpen = false;
    const int fontPixels = RoundForDisplay(QFontInfo(mainline->font()).pointSizeF() * logicalDpiY() / 72.0);
    mainline->setFixedHeight(fontPixels + 12);
    subline->setFixedHeight(fontPixels + 12);
    OpenPingReply();
    ConnectToMaster();
}

void Tplb_c::BuildComponents()
{
    resize(634, 470);
    if (QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    QFont formFont("Fixedsys");
    formFont.setStyleHint(QFont::TypeWriter);
    formFont.setPixelSize(12);
    setFont(formFont);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);

    auto* formLayout = new QHBoxLayout(this);
    formLayout->setContentsMargins(0, 0, 0, 0);
    formLayout->setSpacing(0);

    // Left: logo, list, buttons and the colour key.
    Panel1 = Named(new QWidget(this), "Panel1");
    Panel1->setFixedWidth(238);
    Panel1->setFont(ArialFont(11));
    Panel1->installEventFilter(this);
    formLayout->addWidget(Panel1);
    Image1 = Named(new QLabel(Panel1), "Image1");
    Image1->setGeometry(0, 0, 238, 79);
    parlevo_butt = Named(new QToolButton(Panel1), "parlevo_butt");
    parlevo_butt->setAutoRaise(true);
    parlevo_butt->setGeometry(176, 16, 57, 57);
    parlevo_butt->setIcon(DrawNetworkGlyph());
    parlevo_butt->setIconSize(QSize(49, 49));
    connect(parlevo_butt, &QToolButton::clicked, this, [this] { parlevo_buttClick(); });

    playerbox = Named(new QListWidget(Panel1), "playerbox");
    playerbox->setFont(ArialFont(11, true));
    playerbox->setContextMenuPolicy(Qt::CustomContextMenu);
    playerbox->setFrameShape(QFrame::NoFrame);
    playerbox->viewport()->installEventFilter(this);
    connect(playerbox, &QListWidget::itemDoubleClicked, this, [this] { playerboxDblClick(); });
    connect(playerbox, &QListWidget::itemClicked, this, [this] { playerboxClick(); });
    connect(playerbox, &QListWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { ListMenu->popup(playerbox->viewport()->mapToGlobal(at)); });

    button_panel = Named(new QWidget(Panel1), "button_panel");
    button_panel->installEventFilter(this);
    lbuttonpanel = Named(new QWidget(button_panel), "lbuttonpanel");
    rbuttonpanel = Named(new QWidget(button_panel), "rbuttonpanel");

    Panel2 = Named(new QWidget(Panel1), "Panel2");
    {
        QPalette p2 = Panel2->palette();
        p2.setColor(QPalette::Window, p2.color(QPalette::ToolTipBase));
        p2.setColor(QPalette::WindowText, Qt::black);
        Panel2->setPalette(p2);
        Panel2->setAutoFillBackground(true);
    }
    helpbutt = Named(new QToolButton(Panel2), "helpbutt");
    helpbutt->setCheckable(true);
    helpbutt->setAutoRaise(true);
    helpbutt->setText("?");
    helpbutt->setGeometry(0, 0, 23, 22);
    connect(helpbutt, &QToolButton::clicked, this, [this] { helpbuttClick(); });
    Label5 = Named(new QLabel("Key", Panel2), "Label5");
    Label5->setFont(ArialFont(11, true));
    Label5->move(56, 8);
    Label1 = Named(new QLabel(Panel2), "Label1");
    Label2 = Named(new QLabel(Panel2), "Label2");
    Label3 = Named(new QLabel(Panel2), "Label3");
    Label4 = Named(new QLabel(Panel2), "Label4");
    int y = 32;
    for (QLabel* l : {Label1, Label2, Label3, Label4}) {
        l->setFont(ArialFont(11));
        l->move(8, y);
        y += 16;
    }
    Panel2->resize(26, 25);

    rightsplit = Named(new QWidget(this), "rightsplit");
    rightsplit->hide();

    // Right: the two chat panes with their input lines.
    backpanel = Named(new QWidget(this), "backpanel");
    backpanel->installEventFilter(this);
    formLayout->addWidget(backpanel, 1);
    auto* back = new QVBoxLayout(backpanel);
    back->setContentsMargins(0, 0, 0, 0);
    back->setSpacing(0);
    toppanel = Named(new QWidget(backpanel), "toppanel");
    auto* top = new QVBoxLayout(toppanel);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    mainchat = Named(new QTextEdit(toppanel), "mainchat");
    mainline = Named(new QPlainTextEdit(toppanel), "mainline");
    top->addWidget(mainchat, 1);
    top->addWidget(mainline);
    bottompanel = Named(new QWidget(backpanel), "bottompanel");
    midsplit = Named(new TSplitBar(bottompanel, backpanel), "midsplit");
    midsplit->setFixedHeight(0);
    midsplit->OnPaint = [this](QPainter& p) { midsplitPaint(p); };
    midsplit->OnMoved = [this] { midsplitMoved(); };
    auto* bottom = new QVBoxLayout(bottompanel);
    bottom->setContentsMargins(0, 0, 0, 0);
    bottom->setSpacing(0);
    midpanel = Named(new QWidget(bottompanel), "midpanel");
    midpanel->hide();
    subchat = Named(new QTextEdit(bottompanel), "subchat");
    subline = Named(new QPlainTextEdit(bottompanel), "subline");
    bottom->addWidget(midpanel);
    bottom->addWidget(subchat, 1);
    bottom->addWidget(subline);
    bottompanel->setFixedHeight(0);
    back->addWidget(toppanel, 1);
    back->addWidget(midsplit);
    back->addWidget(bottompanel);

    for (QTextEdit* pane : {mainchat, subchat}) {
        pane->setReadOnly(true);
        pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        pane->setLineWrapMode(QTextEdit::WidgetWidth);
    }
    // The panes start full of blank lines so the first real lines appear at the bottom.
    mainchat->setPlainText(QString("\n").repeated(60) + QString("  \n").repeated(3) + QString("\n").repeated(40));
    subchat->setPlainText(QString("\n").repeated(40) + QString("  \n").repeated(2) + QString("\n").repeated(30));
    for (QPlainTextEdit* line : {mainline, subline}) {
        line->setLineWrapMode(QPlainTextEdit::NoWrap);
        line->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        line->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        line->installEventFilter(this);
    }
    mainline->setFocus();

    InstallListDrawing();
    pingtimer = new QTimer(this);
    pingtimer->setInterval(2000);
    connect(pingtimer, &QTimer::timeout, this, [this] { pingtimerTimer(); });
    pingtimer->start();
    MakeDotList();
}

void Tplb_c::BuildActions()
{
    auto make = [this](QAction*& action, const char* name, const char* caption, const char* hint, auto handler) {
        action = new QAction(caption, this);
        action->setObjectName(name);
        action->setProperty("category", "Game");
        if (*hint) {
            action->setToolTip(hint);
            action->setStatusTip(hint);
        }
        connect(action, &QAction::triggered, this, handler);
        ActionList1.push_back(action);
    };
    make(HostGame, "HostGame", "Host Game", "Host a game for others to join", [this] { HostGameExecute(); });
    make(JoinGame, "JoinGame", "Join Game", "Join the selected game", [this] { JoinGameExecute(); });
    make(LeaveGame, "LeaveGame", "Leave Game", "Leave the game you are in", [this] { LeaveGameExecute(); });
    make(gamesettings, "gamesettings", "Game Settings", "Change the settings for your game",
         [this] { gamesettingsExecute(); });
    make(LaunchGame, "LaunchGame", "Launch Game", "Start the game with the current players",
         [this] { LaunchGameExecute(); });
    make(SendPrivMessage, "SendPrivMessage", "Send Message", "Send a message to the selected player",
         [this] { SendPrivMessageExecute(); });
    make(InvitePlayer, "InvitePlayer", "Invite Player", "Invite the selected player to your game",
         [this] { InvitePlayerExecute(); });
    make(kickplayer, "kickplayer", "Kick Player", "Remove the selected player from your game",
         [this] { kickplayerExecute(); });
    make(SetConfig, "SetConfig", "Configure", "", [this] { SetConfigExecute(); });
    make(ShowAll, "ShowAll", "Show All Players", "", [this] { ShowAllExecute(); });
    ShowAll->setCheckable(true);
    ShowAll->setVisible(false);
    make(UpdateDisplay, "UpdateDisplay", "UpdateDisplay", "", [this] { UpdateDisplayUpdate(); });
    // Light captions on the dark panel; disabled ones greyed.
    QPalette buttons = button_panel->palette();
    buttons.setColor(QPalette::Active, QPalette::ButtonText, Qt::white);
    buttons.setColor(QPalette::Inactive, QPalette::ButtonText, Qt::white);
    buttons.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x8c, 0x92, 0x90));
    button_panel->setPalette(buttons);
    UpdateDisplay->setProperty("category", "Idle");

    auto column = [](QWidget* panel, std::initializer_list<QAction*> actions) {
        int y = 2;
        for (QAction* a : actions) {
            auto* b = new QToolButton(panel);
            b->setObjectName(a->objectName() + "_butt");
            b->setDefaultAction(a);
            b->setAutoRaise(true);
            b->setToolButtonStyle(Qt::ToolButtonTextOnly);
            b->setGeometry(2, y, 113, 20);
            b->setVisible(a->isVisible());
            y += 20;
        }
    };
    column(rbuttonpanel, {HostGame, JoinGame, LeaveGame, gamesettings, LaunchGame});
    column(lbuttonpanel, {SendPrivMessage, InvitePlayer, kickplayer, SetConfig, ShowAll});

    ListMenu = new QMenu(this);
    ListMenu->setObjectName("ListMenu");
    for (QAction* a : {HostGame, JoinGame, LeaveGame, gamesettings, LaunchGame})
        ListMenu->addAction(a);
    ListMenu->addSeparator();
    for (QAction* a : {ShowAll, InvitePlayer, kickplayer, SendPrivMessage})
        ListMenu->addAction(a);
}

void Tplb_c::SetBuildLook()
{
    setWindowTitle("Quillet ");
    Image1->setPixmap(DrawLogo("Quillet", "Parlevo lobby"));
}

void Tplb_c::SetKeyCaption(QLabel* label, const char* caption, QColor colour, bool italic)
{
    label->setText(caption);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
    QFont f = label->font();
    f.setItalic(italic);
    label->setFont(f);
    label->adjustSize();
}

void Tplb_c::SetKeyCaptions()
{
    SetKeyCaption(Label1, "Red Game: Game Full", Qt::red);
    SetKeyCaption(Label2, "Green Game: Join Now!", QColor(0, 128, 0));
    SetKeyCaption(Label3, "Yellow Game: In Progress", ColourOf(0x0080FF));
    SetKeyCaption(Label4, "Italics Game: Invite Only", Qt::black, true);
}

void Tplb_c::resizeEvent(QResizeEvent* e)
{
    Tplb_form::resizeEvent(e);
    backpanelResize();
}

bool Tplb_c::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::Resize) {
        if (watched == Panel1)
            LayoutPanel1();
        else if (watched == button_panel)
            button_panelResize();
        else if (watched == backpanel)
            backpanelResize();
    } else if (e->type() == QEvent::KeyPress && (watched == mainline || watched == subline)) {
        auto* key = static_cast<QKeyEvent*>(e);
        mainlineKeyDown(static_cast<QPlainTextEdit*>(watched), key->key());
    } else if (e->type() == QEvent::MouseButtonPress && watched == playerbox->viewport()) {
        auto* mouse = static_cast<QMouseEvent*>(e);
        if (mouse->button() == Qt::RightButton) {
            // The popup menu acts on the row under the pointer.
            if (QListWidgetItem* item = playerbox->itemAt(mouse->position().toPoint()))
                playerbox->setCurrentItem(item);
            playerbox->setFocus();
        }
    }
    return Tplb_form::eventFilter(watched, e);
}

void Tplb_c::LayoutPanel1()
{
    const int w = Panel1->width(), h = Panel1->height();
    const int listTop = Image1->height();
    const int buttonsTop = std::max(listTop, h - 105);
    playerbox->setGeometry(0, listTop, w, buttonsTop - listTop);
    button_panel->setGeometry(0, buttonsTop, w, h - buttonsTop);
    Panel2->move(0, playerbox->geometry().bottom() + 1 - Panel2->height());
    Panel2->raise();
    parlevo_butt->raise();
}

void Tplb_c::helpbuttClick()
{
    const int bottom = Panel2->geometry().bottom();
    if (helpbutt->isChecked())
        Panel2->resize(145, 100);
    else
        Panel2->resize(helpbutt->width() + 3, helpbutt->height() + 3);
    // The panel keeps its bottom-left corner on the list's.
    Panel2->move(Panel2->x(), bottom + 1 - Panel2->height());
}

void Tplb_c::button_panelResize()
{
    const int w = button_panel->width(), h = button_panel->height();
    const int right = w / 2;
    rbuttonpanel->setGeometry(w - right, 0, right, h);
    lbuttonpanel->setGeometry(0, 0, w - right, h);
}

void Tplb_c::backpanelResize()
{
    if (!gamePaneOpen)
        return;
    int h = std::min(bottompanel->height(), backpanel->height() - 60);
    bottompanel->setFixedHeight(std::max(0, h));
}

void Tplb_c::parlevo_buttClick()
{
    const int parlevo = Tconfig_form::LinkIndex("parlevo");
    OpenRedirected(config->HostValue("webhost"), config->linkTable[parlevo].url, config->productNumber, 12);
}

void Tplb_c::SetConfigExecute()
{
    platform::RunModal(*config);
    RequestName();
}

void Tplb_c::MakeDotList()
{
    // Three gauges of three 5 x 5 squares on black: all lit green, two lit
    // yellow-green, one lit red.
    const QColor colours[3] = {QColor(0, 206, 0), QColor(206, 255, 0), QColor(255, 0, 0)};
    for (int image = 0; image < 3; ++image) {
        QPixmap pix(19, 6);
        pix.fill(Qt::black);
        QPainter p(&pix);
        for (int square = 0; square < 3 - image; ++square)
            p.fillRect(1 + 6 * square, 0, 5, 5, colours[image]);
        dotlist[image] = pix;
    }
}
