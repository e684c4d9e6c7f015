// Two lobby windows against the real parlevod over loopback: public chat
// and private messages go from one user to the other through the master.
#include "support/lobbyclient.h"
#include "support/lobbyfixture.h"

#include "text/textfuncs.h"
#include "platform/eventloop.h"
#include "config/msg_main.h"
#include "platform/regstore.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

class TwoClientsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        game.Write("shadow.exe", "MZ");
        platform::RegistryStore store = platform::RegistryStore::CurrentUser();
        store.WriteStrings("Software\\Parlevo\\quillet\\scompany\\config",
                           {{"nick_Text", "Alice"}, {"program_dir_Text", game.path() + "/"}});
        store.WriteString("Software\\Parlevo\\quillet\\scompany", "lobbyhost",
                          "127.0.0.1:" + std::to_string(server.Port()));
        platform::SetModalRunner([this](QDialog& d) { return modal ? modal(d) : int(QDialog::Rejected); });
    }
    void TearDown() override
    {
        delete alice;
        delete bob;
        windows.clear();
        platform::SetModalRunner({});
    }
    // A window named `nick`. Both windows share the settings file; the
    // nickname is set on the window's own configuration before it connects.
    Tscplb_cform* Open(const std::string& nick)
    {
        windows.push_back(CreateStartupWindows());
        Tscplb_cform* w = windows.back().lobby;
        w->config->SetNickText(nick);
        w->show();
        return w;
    }
    bool WaitUntil(const std::function<bool()>& done, int ms = 5000) { return platform::ProcessEventsUntil(done, ms); }
    static QString LastLine(QTextEdit* pane) { return pane->document()->lastBlock().text(); }

    ScopedSettingsHome home;
    TempDir game;
    TParlevodProcess server;
    TScriptedDialogs dialogs;
    std::function<int(QDialog&)> modal;
    std::vector<TStartupWindows> windows;
    Tscplb_cform* alice = nullptr;
    Tscplb_cform* bob = nullptr;
};

TEST_F(TwoClientsTest, PublicChatAndAPrivateMessageOfTwoLines)
{
    // A plain protocol client watches the public channel to learn the colour
    // the master gives Bob's lines.
    TLobbyTestClient watcher;
    ASSERT_TRUE(watcher.Connect(server.Port()));
    ASSERT_GT(watcher.Name("Watcher"), 0);

    alice = Open("Alice");
    bob = Open("Bob");
    ASSERT_TRUE(WaitUntil([&] { return alice->selfIndex > 0 && bob->selfIndex > 0; }));
    ASSERT_TRUE(WaitUntil([&] { return alice->playerbox->count() >= 4; }));

    bob->mainline->setFocus();
    QTest::keyClicks(bob->mainline, "hello from bob");
    QTest::keyClick(bob->mainline, Qt::Key_Return);
    auto chat = watcher.WaitFor(cmChat, 5000);
    ASSERT_TRUE(chat);
    const std::string text = LookupValue(chat->param, "text");
    const int32_t colour = StrToIntDef(LookupValue(chat->param, "color"), -1);
    EXPECT_NE(text.find("hello from bob"), std::string::npos);
    ASSERT_TRUE(WaitUntil([&] { return LastLine(alice->mainchat) == QString::fromStdString(text); }));
    const QTextBlock line = alice->mainchat->document()->lastBlock();
    EXPECT_EQ(line.begin().fragment().charFormat().foreground().color(),
              QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));

    // Bob writes two lines to Alice; she sees them as two lines.
    QString received;
    modal = [&](QDialog& d) {
        auto* m = qobject_cast<Tmsg_form*>(&d);
        if (!m)
            return int(QDialog::Rejected);
        if (m->windowTitle() == "Received Message") {
            received = m->msgbox->toPlainText();
            EXPECT_EQ(m->tolabel->text(), "Bob");
            return int(QDialog::Accepted);   // Close
        }
        m->msgbox->setPlainText("first line\nsecond line");
        return int(QDialog::Accepted);   // Send
    };
    bob->SendPrivateMessage(alice->selfIndex);
    ASSERT_TRUE(WaitUntil([&] { return !received.isEmpty(); }));
    EXPECT_EQ(received, "first line\nsecond line");
}
