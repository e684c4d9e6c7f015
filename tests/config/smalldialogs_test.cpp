// The host-a-game and send-message dialogs: limits, default and cancel
// buttons, focus, colours.
#include "config/host_main.h"
#include "config/msg_main.h"
#include "config/scconfig_main.h"
#include "platform/dialogs.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

namespace {

// Shows the dialog for real (the nested loop runs) and lets `act` play the user.
int ShowAndAct(QDialog& dialog, const std::function<void()>& act)
{
    QTimer::singleShot(0, &dialog, [&] {
        QApplication::processEvents();
        act();
    });
    return dialog.exec();
}

} // namespace

TEST(HostDialog, LimitsColoursAndMemory)
{
    ScopedSettingsHome home;
    platform::SetModalRunner([](QDialog&) { return int(QDialog::Rejected); });
    std::unique_ptr<Tconfig_form> config(Tscconfig_form::Create(nullptr));
    platform::SetModalRunner({});
    Thost_form dialog(nullptr, config.get());
    EXPECT_EQ(dialog.windowTitle(), "Host a Game");
    EXPECT_EQ(dialog.gamename->maxLength(), 255);
    EXPECT_EQ(dialog.maxplayers->minimum(), 2);
    EXPECT_EQ(dialog.maxplayers->maximum(), 64);
    EXPECT_FALSE(dialog.inviteonly->isChecked());
    EXPECT_EQ(dialog.palette().color(QPalette::Window), QColor(0x4A, 0x4E, 0x43));
    EXPECT_EQ(dialog.palette().color(QPalette::WindowText), QColor(255, 255, 255));

    // Enter chooses OK; the fields keep what was typed for the next showing.
    int result = ShowAndAct(dialog, [&] {
        dialog.gamename->setText("Night Ops");
        dialog.inviteonly->setChecked(true);
        QTest::keyClick(dialog.gamename, Qt::Key_Return);
    });
    EXPECT_EQ(result, QDialog::Accepted);
    result = ShowAndAct(dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Escape); });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(dialog.gamename->text(), "Night Ops");
    EXPECT_TRUE(dialog.inviteonly->isChecked());
}

TEST(MessageDialog, ComposingSendsWithEnterOnTheButtonAndLimitsTheText)
{
    Tmsg_form dialog(nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Send a Message");
    EXPECT_EQ(dialog.rbutton->text(), "Send");
    EXPECT_EQ(dialog.lbutton->text(), "Cancel");
    EXPECT_TRUE(dialog.rbutton->isDefault());
    bool focusInText = false;
    int result = ShowAndAct(dialog, [&] {
        focusInText = dialog.msgbox->hasFocus();
        dialog.msgbox->setPlainText(QString(600, 'x'));
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    EXPECT_TRUE(focusInText);
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(dialog.msgbox->toPlainText().size(), Tmsg_form::kMaxLength);

    result = ShowAndAct(dialog, [&] { dialog.rbutton->click(); });
    EXPECT_EQ(result, QDialog::Accepted);
}

TEST(MessageDialog, ReceivedMessageRepliesOnEscAndClosesOnEnter)
{
    Tmsg_form dialog(nullptr);
    dialog.SetReceived();
    EXPECT_EQ(dialog.lbutton->text(), "Reply");
    EXPECT_EQ(dialog.rbutton->text(), "Close");
    EXPECT_TRUE(dialog.msgbox->isReadOnly());
    EXPECT_EQ(dialog.msgbox->palette().color(QPalette::Base), QColor(0xC0, 0xC0, 0xC0));
    bool focusOnReply = false;
    int result = ShowAndAct(dialog, [&] {
        focusOnReply = dialog.lbutton->hasFocus();
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    EXPECT_TRUE(focusOnReply);
    EXPECT_EQ(result, Tmsg_form::kReply);
    // Enter presses Close, even with the focus on Reply.
    result = ShowAndAct(dialog, [&] { QTest::keyClick(dialog.lbutton, Qt::Key_Return); });
    EXPECT_EQ(result, QDialog::Accepted);
    result = ShowAndAct(dialog, [&] {
        dialog.msgbox->setFocus();
        QTest::keyClick(dialog.msgbox, Qt::Key_Return);
    });
    EXPECT_EQ(result, QDialog::Accepted);
}
