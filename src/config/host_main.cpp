#include "host_main.h"

#include "config_main.h"
#include "skins.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

Thost_form::Thost_form(QWidget* owner, const Tconfig_form* config) : QDialog(owner)
{
    setObjectName("host_form");
    setWindowTitle("Host a Game");
    QFont f("Arial");
    f.setPixelSize(11);
    setFont(f);
    setFixedSize(386, 101);

    auto* nameLabel = new QLabel("Game Name", this);
    nameLabel->setGeometry(8, 10, 80, 16);
    gamename = new QLineEdit(this);
    gamename->setObjectName("gamename");
    gamename->setMaxLength(255);
    gamename->setGeometry(90, 8, 288, 21);
    auto* maxLabel = new QLabel("Max Players", this);
    maxLabel->setGeometry(8, 40, 80, 16);
    maxplayers = new QSpinBox(this);
    maxplayers->setObjectName("maxplayers");
    maxplayers->setRange(2, 64);
    maxplayers->setValue(2);
    maxplayers->setGeometry(90, 38, 60, 21);
    inviteonly = new QCheckBox("Invite Only", this);
    inviteonly->setObjectName("inviteonly");
    inviteonly->setLayoutDirection(Qt::RightToLeft);   // the text stands left of the box
    inviteonly->setGeometry(170, 40, 100, 18);
    ok_butt = new QPushButton("OK", this);
    ok_butt->setGeometry(216, 70, 75, 24);
    ok_butt->setDefault(true);
    cancel_butt = new QPushButton("Cancel", this);
    cancel_butt->setGeometry(303, 70, 75, 24);
    connect(ok_butt, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_butt, &QPushButton::clicked, this, &QDialog::reject);

    // Enter sends from any field; OK and Cancel show the focus.
    setTabOrder(gamename, maxplayers);
    setTabOrder(maxplayers, inviteonly);
    setTabOrder(inviteonly, ok_butt);
    setTabOrder(ok_butt, cancel_butt);

    if (config) {
        QPalette p = palette();
        p.setColor(QPalette::Window, ColourOf(config->skinColours.primary));
        p.setColor(QPalette::WindowText, ColourOf(config->skinColours.primaryFont));
        setPalette(p);
        setAutoFillBackground(true);
        // The count and its arrows keep the system's colours: on the skin's
        // dark background the arrows would hardly show.
        QPalette spin = maxplayers->palette();
        const QPalette system = QApplication::palette(maxplayers);
        for (QPalette::ColorRole role : {QPalette::Window, QPalette::WindowText, QPalette::Button, QPalette::ButtonText})
            for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                spin.setColor(group, role, system.color(group, role));
        maxplayers->setPalette(spin);
    }
    // A title and a close button; nothing to minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

void Thost_form::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    // Each showing starts in the game's name, all of it selected, so typing
    // replaces it and Space never toggles a check box unseen.
    gamename->setFocus(Qt::OtherFocusReason);
    gamename->selectAll();
}
