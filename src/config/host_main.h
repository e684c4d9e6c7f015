// The host-a-game dialog: the name, player limit and invitation-only flag
// of a game the user hosts or changes. One instance serves the whole run;
// the lobby window owns it.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QSpinBox;
class Tconfig_form;

class Thost_form : public QDialog {
    Q_OBJECT
public:
    // Takes its colours from the configuration's skin.
    Thost_form(QWidget* owner, const Tconfig_form* config);

    QLineEdit* gamename = nullptr;
    QSpinBox* maxplayers = nullptr;
    QCheckBox* inviteonly = nullptr;
    class QPushButton* ok_butt = nullptr;
    class QPushButton* cancel_butt = nullptr;

protected:
    void showEvent(QShowEvent* e) override;
};
