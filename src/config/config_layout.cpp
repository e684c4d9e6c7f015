// The configuration dialog's controls: names, captions, hints, limits,
// design defaults and places. Each control sits at a fixed place, as in the
// dialog's design; the game build moves a few of them (scconfig_main).
#include "config_main.h"

#include "platform/linklabel.h"
#include "radiogroup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QValidator>

#include <algorithm>

namespace {

constexpr int kEditHeight = 21;

template <class T>
T* Place(T* widget, const char* name, int x, int y, int width, int height)
{
    if (name)
        widget->setObjectName(name);
    widget->setGeometry(x, y, width, height);
    return widget;
}

QLabel* Caption(QWidget* parent, const char* text, int x, int y, const char* name = nullptr)
{
    auto* label = new QLabel(text, parent);
    if (name)
        label->setObjectName(name);
    label->move(x, y);
    label->adjustSize();
    return label;
}

// A single-line field takes no line breaks: pasted text loses them, as the
// text fields of web browsers do, so a stored value never holds one.
class TSingleLineValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override
    {
        for (int i = input.size() - 1; i >= 0; --i) {
            const char16_t c = input[i].unicode();
            if (c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == 0x85 || c == 0x2028 || c == 0x2029) {
                input.remove(i, 1);
                if (pos > i)
                    --pos;
            }
        }
        return Acceptable;
    }
};

QLineEdit* Edit(QWidget* parent, const char* name, int x, int y, int width)
{
    auto* edit = Place(new QLineEdit(parent), name, x, y, width, kEditHeight);
    edit->setValidator(new TSingleLineValidator(edit));
    return edit;
}

template <class Button>
Button* Choice(QWidget* parent, const char* text, const char* name, int x, int y)
{
    auto* button = new Button(text, parent);
    button->setObjectName(name);
    button->move(x, y);
    button->adjustSize();
    return button;
}

// A combo box that reports when its list is about to drop down.
class TDropDownCombo : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> OnDropDown;

    void showPopup() override
    {
        if (OnDropDown)
            OnDropDown();
        QComboBox::showPopup();
    }
};

// The application's style with less room beside each tab's caption.
class TNarrowTabStyle : public QProxyStyle {
public:
    explicit TNarrowTabStyle(QObject* owner) { setParent(owner); }
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_TabBarTabHSpace)
            return 10;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

} // namespace

void Tconfig_form::BuildControls()
{
    setWindowTitle("Configuration");
    // A tool window with a title but no title-bar buttons: the dialog is left with OK or Cancel.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFont(QFont("Arial", 8));
    setFixedSize(418, 316);

    pages = Place(new QTabWidget(this), "pages", 4, 4, 327, 308);
    // Narrower tabs than the style's own, so all five fit side by side.
    pages->tabBar()->setStyle(new TNarrowTabStyle(pages->tabBar()));

    // --- General ------------------------------------------------------------
    generalpage = new QWidget;
    generalpage->setObjectName("generalpage");
    QWidget* g = generalpage;
    dirlab = Caption(g, "Directory:", 8, 6, "dirlab");
    program_dir = Edit(g, "program_dir", 8, 20, 248);
    program_dir_browse = Place(new QToolButton(g), "program_dir_browse", 256, 20, 21, kEditHeight);
    program_dir_browse->setText("...");
    dirfind_butt = Place(new QToolButton(g), "dirfind_butt", 284, 20, 25, kEditHeight);
    dirfind_butt->setAutoRaise(true);
    dirfind_butt->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
    dirfind_butt->setToolTip("Auto-Find Game Directory");

    nicklab = Caption(g, "Nickname:", 8, 48, "nicklab");
    nick = Edit(g, "nick", 8, 62, 140);
    speedlab = Caption(g, "Net Connection:", 160, 48, "speedlab");
    speedbox = Place(new QComboBox(g), "speedbox", 160, 62, 149, kEditHeight);
    speedbox->addItems({"28.8k Modem", "33.6k Modem", "56k Modem ", "64k ISDN", "128k ISDN", "256k+ ADSL", "Cable",
                        "T1 or greater"});
    speedbox->setCurrentIndex(2);

    use_taskbar = Choice<QCheckBox>(g, "Show Quillet in System Tray", "use_taskbar", 8, 94);
    interfacestyle = new TRadioGroup(" Interface Style ", {"Basic", "Advanced"}, g);
    Place(interfacestyle, "interfacestyle", 200, 88, 109, 54);
    interfacestyle->SetItemIndex(0);

    demobox = Place(new QGroupBox(" Demographic Information ", g), "demobox", 8, 146, 307, 126);
    realnamelab = Caption(demobox, "Real Name", 8, 20, "realnamelab");
    realname = Edit(demobox, "realname", 8, 34, 180);
    realname->setMaxLength(50);
    emaillab = Caption(demobox, "E-Mail Address", 8, 60, "emaillab");
    email = Edit(demobox, "email", 8, 74, 180);
    agelab = Caption(demobox, "Age", 196, 20, "agelab");
    age = Edit(demobox, "age", 196, 34, 30);
    age->setMaxLength(2);
    ziplab = Caption(demobox, "Zip Code", 234, 20, "ziplab");
    zip = Edit(demobox, "zip", 234, 34, 64);
    zip->setMaxLength(10);
    notify_box = Choice<QCheckBox>(demobox, "Notify me when a new version comes out", "notify_box", 8, 102);
    notify_box->setChecked(true);
    pages->addTab(g, "General");

    // --- Chat -----------------------------------------------------------------
    auto* chat = new QWidget;
    chatconnect = Choice<QCheckBox>(chat, "Connect to chat on startup", "chatconnect", 8, 8);
    chatconnect->setChecked(true);
    hidejoins = Choice<QCheckBox>(chat, "Hide Join/Parts in Chat", "hidejoins", 8, 28);
    noautoaway = Choice<QCheckBox>(chat, "Don't set auto-away", "noautoaway", 8, 48);
    homechannellabel = Caption(chat, "Home Channel:", 8, 74, "homechannellabel");
    homechanneledit = Edit(chat, "homechanneledit", 8, 88, 150);
    pages->addTab(chat, "Chat");

    // --- Firewall / Proxy -------------------------------------------------------
    auto* proxy = new QWidget;
    useproxies = Choice<QCheckBox>(proxy, "Use an HTTP Proxy for server lists", "useproxies", 8, 4);
    useproxies->setToolTip("If you are behind a firewall, or require a proxy to access web sites, you can configure "
                           "the proxy here");
    proxybox = Place(new QGroupBox(" HTTP Proxy Settings ", proxy), "proxybox", 8, 22, 307, 96);
    proxybox->setEnabled(false);
    Caption(proxybox, "Address", 8, 18);
    proxyaddr = Edit(proxybox, "proxyaddr", 8, 32, 180);
    Caption(proxybox, "Port", 196, 18);
    proxyport = Edit(proxybox, "proxyport", 196, 32, 50);
    proxyport->setMaxLength(5);
    proxyport->setText("80");
    Caption(proxybox, "Username (if needed)", 8, 55);
    proxyuser = Edit(proxybox, "proxyuser", 8, 69, 140);
    Caption(proxybox, "Password", 156, 55);
    proxypass = Edit(proxybox, "proxypass", 156, 69, 140);

    // Each pair of radio buttons sits on a strip of its own, so the pairs choose independently.
    auto* motdstrip = Place(new QWidget(proxy), "motdstrip", 8, 120, 307, 20);
    const int motdX = std::max(170, Caption(motdstrip, "Retrieve Message of the Day via ", 0, 3)->width() + 4);
    udpmotdbutt = Choice<QRadioButton>(motdstrip, "UDP", "udpmotdbutt", motdX, 1);
    httpmotdbutt = Choice<QRadioButton>(motdstrip, "HTTP", "httpmotdbutt", motdX + 50, 1);
    httpmotdbutt->setChecked(true);
    const char* motdHint = "UDP is faster, but HTTP is required behind some proxies and firewalls.\n"
                           "If you are not seeing a message of the day on startup, select HTTP.";
    udpmotdbutt->setToolTip(motdHint);
    httpmotdbutt->setToolTip(motdHint);

    auto* pingstrip = Place(new QWidget(proxy), "pingstrip", 8, 140, 307, 20);
    Caption(pingstrip, "Ping servers with ", 0, 3);
    icmppingbutt = Choice<QRadioButton>(pingstrip, "ICMP", "icmppingbutt", motdX, 1);
    icmppingbutt->setChecked(true);
    tcppingbutt = Choice<QRadioButton>(pingstrip, "TCP", "tcppingbutt", motdX + 50, 1);
    const char* pingHint = "ICMP is faster, but does not work behind some firewalls/ISPs";
    icmppingbutt->setToolTip(pingHint);
    tcppingbutt->setToolTip(pingHint);

    usesocksproxies = Choice<QCheckBox>(proxy, "Use a SOCKS Proxy for chat", "usesocksproxies", 8, 162);
    usesocksproxies->setToolTip("If you are behind a firewall and use a SOCKS proxy, configure it here");
    socksproxybox = Place(new QGroupBox(" SOCKS Proxy Settings ", proxy), "socksproxybox", 8, 180, 307, 96);
    socksproxybox->setEnabled(false);
    Caption(socksproxybox, "Address", 8, 18);
    socksproxyaddr = Edit(socksproxybox, "socksproxyaddr", 8, 32, 140);
    socks4butt = Choice<QRadioButton>(socksproxybox, "Socks 4", "socks4butt", 156, 34);
    socks5butt = Choice<QRadioButton>(socksproxybox, "Socks 5", "socks5butt", 226, 34);
    socks5butt->setChecked(true);
    Caption(socksproxybox, "Username (if needed)", 8, 55);
    socksproxyuser = Edit(socksproxybox, "socksproxyuser", 8, 69, 140);
    Caption(socksproxybox, "Password", 156, 55);
    socksproxypass = Edit(socksproxybox, "socksproxypass", 156, 69, 140);
    pages->addTab(proxy, "Firewall / Proxy");

    // --- Game Config (empty) and Skins ----------------------------------------
    pages->addTab(new QWidget, "Game Config");

    auto* skins = new QWidget;
    skinlab = Caption(skins, "Skin Name:", 8, 8, "skinlab");
    auto* skinCombo = new TDropDownCombo(skins);
    skinpathbox = Place<QComboBox>(skinCombo, "skinpathbox", 8, 22, 150, kEditHeight);
    skinpathbox->setEditable(true);
    skinpathbox->addItem("Default");
    skinpathbox->setCurrentText("Default");
    skinCombo->OnDropDown = [this] { ListSkins(); };
    auto* link = new TLinkLabel("Get Skins Here", skins);
    getskinshere = Place<QLabel>(link, "getskinshere", 8, 52, 0, 0);
    getskinshere->adjustSize();
    link->OnClick = [this] { getskinshereClick(); };
    pages->addTab(skins, "Skins");

    // --- the button panel on the right ----------------------------------------
    buttonpanel = Place(new QWidget(this), "buttonpanel", 418 - 83, 0, 83, 316);
    ok_butt = Place(new QPushButton("OK", buttonpanel), "ok_butt", 4, 8, 75, 25);
    cancel_butt = Place(new QPushButton("Cancel", buttonpanel), "cancel_butt", 4, 38, 75, 25);
    about_butt = Place(new QPushButton("About", buttonpanel), "about_butt", 4, 316 - 33, 75, 25);
    for (QPushButton* b : {ok_butt, cancel_butt, about_butt})
        b->setFlat(true);
    ok_butt->setDefault(true);
    findanim = Place(new QProgressBar(buttonpanel), "findanim", 4, 72, 75, 14);
    findanim->setTextVisible(false);
    findanim->setRange(0, 1);
    findanim->hide();

    // The pages paint the dialog's background colour (the skin's) themselves.
    for (int i = 0; i < pages->count(); ++i)
        pages->widget(i)->setAutoFillBackground(true);

    connect(ok_butt, &QPushButton::clicked, this, [this] { ok_buttClick(); });
    connect(cancel_butt, &QPushButton::clicked, this, [this] { cancel_buttClick(); });
    connect(about_butt, &QPushButton::clicked, this, [this] { about_buttClick(); });
    connect(dirfind_butt, &QToolButton::clicked, this, [this] { dirfind_buttClick(); });
    connect(program_dir_browse, &QToolButton::clicked, this, [this] { program_dir_browseClick(); });
    connect(useproxies, &QCheckBox::clicked, this, [this] { useproxiesClick(); });
    connect(usesocksproxies, &QCheckBox::clicked, this, [this] { usesocksproxiesClick(); });
}
