#include "msg_main.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QFont Arial8()
{
    QFont f("Arial");
    f.setPixelSize(11);
    return f;
}

} // namespace

Tmsg_form::Tmsg_form(QWidget* owner) : QDialog(owner)
{
    setObjectName("msg_form");
    setWindowTitle("Send a Message");
    setFont(Arial8());
    setFixedSize(385, 181);

    tobox = new QGroupBox(" To ", this);
    tobox->setObjectName("tobox");
    tobox->setGeometry(8, 4, 369, 40);
    tolabel = new QLabel(tobox);
    tolabel->setObjectName("tolabel");
    tolabel->setTextFormat(Qt::PlainText);   // a player's name, as the network gave it
    tolabel->setGeometry(10, 16, 349, 18);

    msgbox = new QPlainTextEdit(this);
    msgbox->setObjectName("msgbox");
    msgbox->setGeometry(8, 50, 369, 94);
    msgbox->setTabChangesFocus(true);
    msgbox->installEventFilter(this);
    connect(msgbox, &QPlainTextEdit::textChanged, this, [this] {
        // Text beyond the limit cannot be typed or pasted in.
        const QString text = msgbox->toPlainText();
        if (text.size() > kMaxLength) {
            QTextCursor c = msgbox->textCursor();
            const int pos = std::min(c.position(), kMaxLength);
            msgbox->setPlainText(text.left(kMaxLength));
            c = msgbox->textCursor();
            c.setPosition(pos);
            msgbox->setTextCursor(c);
        }
    });

    rbutton = new QPushButton("Send", this);
    rbutton->setObjectName("rbutton");
    rbutton->setGeometry(296, 150, 81, 24);
    rbutton->setDefault(true);
    rbutton->setAutoDefault(true);
    lbutton = new QPushButton("Cancel", this);
    lbutton->setObjectName("lbutton");
    lbutton->setGeometry(208, 150, 81, 24);
    lbutton->setAutoDefault(false);
    connect(rbutton, &QPushButton::clicked, this, [this] { done(QDialog::Accepted); });
    connect(lbutton, &QPushButton::clicked, this, [this] { done(lbuttonResult_); });
}

void Tmsg_form::SetReceived()
{
    msgbox->setReadOnly(true);
    QPalette p = msgbox->palette();
    p.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    msgbox->setPalette(p);
    lbutton->setText("Reply");
    lbuttonResult_ = kReply;
    rbutton->setText("Close");
}

void Tmsg_form::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (lbutton->text() == "Reply")
        lbutton->setFocus();
    else
        msgbox->setFocus();
}

void Tmsg_form::keyPressEvent(QKeyEvent* e)
{
    // Esc presses the cancel button, whatever its caption; Enter the default.
    if (e->key() == Qt::Key_Escape) {
        lbutton->click();
        return;
    }
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && !msgbox->hasFocus()) {
        rbutton->click();
        return;
    }
    QDialog::keyPressEvent(e);
}

bool Tmsg_form::eventFilter(QObject* watched, QEvent* e)
{
    // In the message, Enter starts a new line and Ctrl+Enter sends (or, for
    // a received message, closes).
    if (watched == msgbox && e->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(e);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && (key->modifiers() & Qt::ControlModifier)) {
            rbutton->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, e);
}
