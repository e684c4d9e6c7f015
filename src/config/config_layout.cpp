// The configuration dialog's controls with their names and design defaults.
#include "config_main.h"

#include "radiogroup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

template <class T>
T* Named(T* widget, const char* name)
{
    widget->setObjectName(name);
    return widget;
}

} // namespace

void Tconfig_form::BuildControls()
{
    setWindowTitle("Configuration");
    auto* outer = new QHBoxLayout(this);
    pages = Named(new QTabWidget(this), "pages");
    outer->addWidget(pages, 1);

    // General
    auto* general = new QWidget;
    auto* g = new QFormLayout(general);
    program_dir = Named(new QLineEdit, "program_dir");
    program_dir_browse = Named(new QToolButton, "program_dir_browse");
    program_dir_browse->setText("...");
    dirfind_butt = Named(new QToolButton, "dirfind_butt");
    dirfind_butt->setToolTip("Auto-Find Game Directory");
    auto* dirRow = new QHBoxLayout;
    dirRow->addWidget(program_dir, 1);
    dirRow->addWidget(program_dir_browse);
    dirRow->addWidget(dirfind_butt);
    g->addRow("Directory:", dirRow);
    nick = Named(new QLineEdit, "nick");
    g->addRow("Nickname:", nick);
    speedbox = Named(new QComboBox, "speedbox");
    speedbox->addItems({"28.8k Modem", "33.6k Modem", "56k Modem ", "64k ISDN", "128k ISDN", "256k+ ADSL", "Cable",
                        "T1 or greater"});
    speedbox->setCurrentIndex(2);
    g->addRow("Net Connection:", speedbox);
    use_taskbar = Named(new QCheckBox("Show Quillet in System Tray"), "use_taskbar");
    g->addRow(use_taskbar);
    interfacestyle = Named(new TRadioGroup(" Interface Style ", {"Basic", "Advanced"}, general), "interfacestyle");
    interfacestyle->SetItemIndex(0);
    demobox = Named(new QGroupBox(" Demographic Information "), "demobox");
    auto* d = new QFormLayout(demobox);
    realname = Named(new QLineEdit, "realname");
    realname->setMaxLength(50);
    age = Named(new QLineEdit, "age");
    age->setMaxLength(2);
    email = Named(new QLineEdit, "email");
    zip = Named(new QLineEdit, "zip");
    zip->setMaxLength(10);
    notify_box = Named(new QCheckBox("Notify me when a new version comes out"), "notify_box");
    notify_box->setChecked(true);
    d->addRow("Real Name", realname);
    d->addRow("Age", age);
    d->addRow("E-Mail Address", email);
    d->addRow("Zip Code", zip);
    d->addRow(notify_box);
    g->addRow(demobox);
    g->addRow(interfacestyle);
    pages->addTab(general, "General");

    // Chat
    auto* chat = new QWidget;
    auto* c = new QVBoxLayout(chat);
    chatconnect = Named(new QCheckBox("Connect to chat on startup"), "chatconnect");
    chatconnect->setChecked(true);
    hidejoins = Named(new QCheckBox("Hide Join/Parts in Chat"), "hidejoins");
    noautoaway = Named(new QCheckBox("Don't set auto-away"), "noautoaway");
    homechannellabel = Named(new QLabel("Home Channel:"), "homechannellabel");
    homechanneledit = Named(new QLineEdit, "homechanneledit");
    for (QWidget* w : {static_cast<QWidget*>(chatconnect), static_cast<QWidget*>(hidejoins),
                       static_cast<QWidget*>(noautoaway), static_cast<QWidget*>(homechannellabel),
                       static_cast<QWidget*>(homechanneledit)})
        c->addWidget(w);
    c->addStretch();
    pages->addTab(chat, "Chat");

    // Firewall / Proxy
    auto* proxy = new QWidget;
    auto* p = new QVBoxLayout(proxy);
    useproxies = Named(new QCheckBox("Use an HTTP Proxy for server lists"), "useproxies");
    proxybox = Named(new QGroupBox(" HTTP Proxy Settings "), "proxybox");
    proxybox->setEnabled(false);
    auto* pb = new QFormLayout(proxybox);
    proxyaddr = Named(new QLineEdit, "proxyaddr");
    proxyport = Named(new QLineEdit("80"), "proxyport");
    proxyport->setMaxLength(5);
    proxyuser = Named(new QLineEdit, "proxyuser");
    proxypass = Named(new QLineEdit, "proxypass");
    pb->addRow("Address", proxyaddr);
    pb->addRow("Port", proxyport);
    pb->addRow("Username (if needed)", proxyuser);
    pb->addRow("Password", proxypass);
    auto* motdRow = new QWidget;
    auto* mr = new QHBoxLayout(motdRow);
    mr->addWidget(new QLabel("Retrieve Message of the Day via "));
    udpmotdbutt = Named(new QRadioButton("UDP"), "udpmotdbutt");
    httpmotdbutt = Named(new QRadioButton("HTTP"), "httpmotdbutt");
    httpmotdbutt->setChecked(true);
    mr->addWidget(udpmotdbutt);
    mr->addWidget(httpmotdbutt);
    auto* pingRow = new QWidget;
    auto* pr = new QHBoxLayout(pingRow);
    pr->addWidget(new QLabel("Ping servers with "));
    icmppingbutt = Named(new QRadioButton("ICMP"), "icmppingbutt");
    icmppingbutt->setChecked(true);
    tcppingbutt = Named(new QRadioButton("TCP"), "tcppingbutt");
    pr->addWidget(icmppingbutt);
    pr->addWidget(tcppingbutt);
    usesocksproxies = Named(new QCheckBox("Use a SOCKS Proxy for chat"), "usesocksproxies");
    socksproxybox = Named(new QGroupBox(" SOCKS Proxy Settings "), "socksproxybox");
    socksproxybox->setEnabled(false);
    auto* sb = new QFormLayout(socksproxybox);
    socksproxyaddr = Named(new QLineEdit, "socksproxyaddr");
    socksproxyuser = Named(new QLineEdit, "socksproxyuser");
    socksproxypass = Named(new QLineEdit, "socksproxypass");
    socks4butt = Named(new QRadioButton("Socks 4"), "socks4butt");
    socks5butt = Named(new QRadioButton("Socks 5"), "socks5butt");
    socks5butt->setChecked(true);
    sb->addRow("Address", socksproxyaddr);
    sb->addRow("Username (if needed)", socksproxyuser);
    sb->addRow("Password", socksproxypass);
    auto* socksLevel = new QHBoxLayout;
    socksLevel->addWidget(socks4butt);
    socksLevel->addWidget(socks5butt);
    sb->addRow(socksLevel);
    for (QWidget* w : {static_cast<QWidget*>(useproxies), static_cast<QWidget*>(proxybox), motdRow, pingRow,
                       static_cast<QWidget*>(usesocksproxies), static_cast<QWidget*>(socksproxybox)})
        p->addWidget(w);
    pages->addTab(proxy, "Firewall / Proxy");

    pages->addTab(new QWidget, "Game Config");

    // Skins
    auto* skins = new QWidget;
    auto* s = new QFormLayout(skins);
    skinpathbox = Named(new QComboBox, "skinpathbox");
    skinpathbox->setEditable(true);
    skinpathbox->addItem("Default");
    skinpathbox->setCurrentText("Default");
    s->addRow("Skin Name:", skinpathbox);
    getskinshere = Named(new QLabel("Get Skins Here"), "getskinshere");
    s->addRow(getskinshere);
    pages->addTab(skins, "Skins");

    // The button panel on the right.
    buttonpanel = Named(new QWidget(this), "buttonpanel");
    buttonpanel->setFixedWidth(83);
    auto* b = new QVBoxLayout(buttonpanel);
    ok_butt = Named(new QPushButton("OK"), "ok_butt");
    cancel_butt = Named(new QPushButton("Cancel"), "cancel_butt");
    about_butt = Named(new QPushButton("About"), "about_butt");
    b->addWidget(ok_butt);
    b->addWidget(cancel_butt);
    b->addStretch();
    b->addWidget(about_butt);
    outer->addWidget(buttonpanel);
    connect(ok_butt, &QPushButton::clicked, this, [this] {
        SaveSettings();
        accept();
    });
    connect(cancel_butt, &QPushButton::clicked, this, [this] {
        LoadSettings();
        reject();
    });
    connect(useproxies, &QCheckBox::clicked, this, [this](bool on) {
        proxybox->setEnabled(on);
        if (on)
            httpmotdbutt->setChecked(true);
    });
    connect(usesocksproxies, &QCheckBox::clicked, this, [this](bool on) {
        socksproxybox->setEnabled(on);
        if (on)
            httpmotdbutt->setChecked(true);
    });
}
