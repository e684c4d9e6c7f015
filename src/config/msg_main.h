// The send-message dialog: composes a private message to a player, and
// shows a received one with "Reply" and "Close".
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

class Tmsg_form : public QDialog {
    Q_OBJECT
public:
    static constexpr int kReply = 4;          // the result of "Reply"
    static constexpr int kMaxLength = 500;

    explicit Tmsg_form(QWidget* owner);

    // Turns the dialog into the view of a received message.
    void SetReceived();

    QGroupBox* tobox = nullptr;
    QLabel* tolabel = nullptr;
    QPlainTextEdit* msgbox = nullptr;
    QPushButton* rbutton = nullptr;
    QPushButton* lbutton = nullptr;

protected:
    void showEvent(QShowEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    int lbuttonResult_ = QDialog::Rejected;
};
