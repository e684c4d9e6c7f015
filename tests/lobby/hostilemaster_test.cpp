// The lobby window against a master that misbehaves: floods of messages and
// notices, records it cannot use, streams faster than the window handles,
// lines no one can read, starts repeated while the game runs, and a master
// that stops reading what the window sends.
#include "support/lobbyfixture.h"

#include "text/textfuncs.h"
#include "config/msg_main.h"
#include "config/skins.h"
#include "net/WSockets.h"
#include "platform/files.h"

#include <QAbstractItemModel>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextEdit>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// The lines of a chat pane that start with `prefix`, with their colours.
std::vector<std::pair<QString, QColor>> LinesStartingWith(QTextEdit* pane, const QString& prefix)
{
    std::vector<std::pair<QString, QColor>> lines;
    for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next())
        if (b.text().startsWith(prefix))
            lines.emplace_back(b.text(), b.begin().fragment().charFormat().foreground().color());
    return lines;
}

LobbyRecord PrivateMessage(int32_t from, const std::string& text)
{
    return LobbyRecord{cmPrivMsg, 0, "\\to\\" + std::to_string(from) + "\\text\\" + text};
}

class HostileMasterTest : public LobbyTest {
protected:
    // Joined as player 1, with Mallory (2) in the lobby.
    void Joined()
    {
        StartLobby();
        JoinAs(1);
        DeliverPlayer(TScriptedMaster::Player(2, "Mallory"));
    }
};

} // namespace

TEST_F(HostileMasterTest, FloodsOfMessagesOpenAtMostEightDialogsAndTheRestGoToThePublicPane)
{
    Joined();
    // Each received-message dialog stays open, running the loop, until the
    // flood has been taken in; so each later one opens inside the one before.
    int open = 0, deepest = 0, dialogsRun = 0;
    const int kMessages = 60;
    auto overflowed = [&] { return LinesStartingWith(lobby->mainchat, "Private message from ").size(); };
    modal = [&](QDialog& d) {
        EXPECT_EQ(d.windowTitle(), "Received Message");
        ++dialogsRun;
        deepest = std::max(deepest, ++open);
        WaitUntil([&] { return overflowed() >= std::size_t(kMessages - 8); }, 20000);
        --open;
        return int(QDialog::Rejected);
    };
    for (int i = 0; i < kMessages; ++i)
        master.Send(PrivateMessage(2, "hello " + std::to_string(i) + "~nsecond line"));
    Settle();
    EXPECT_EQ(deepest, Tplb_c::kMaxOpenNotices);
    EXPECT_EQ(dialogsRun, Tplb_c::kMaxOpenNotices);
    EXPECT_EQ(lobby->openNotices, 0);
    auto lines = LinesStartingWith(lobby->mainchat, "Private message from ");
    ASSERT_EQ(lines.size(), std::size_t(kMessages - 8));
    // Those past the bound come in order, name the sender, keep the text on one line.
    EXPECT_EQ(lines.front().first, "Private message from Mallory: hello 8 second line");
    EXPECT_EQ(lines.back().first, "Private message from Mallory: hello 59 second line");
    EXPECT_EQ(lines.front().second, ColourOf(0x800080));

    // Notices of the master share the bound: three dialogs beside five
    // messages, the other notices into the pane.
    open = deepest = dialogsRun = 0;
    int notices = 0;
    dialogs.onShow = [&](const platform::DialogRequest& r) {
        EXPECT_TRUE(r.text.startsWith("notice "));
        ++notices;
        deepest = std::max(deepest, ++open);
        WaitUntil([&] { return LinesStartingWith(lobby->mainchat, "Notice: ").size() >= 7; }, 20000);
        --open;
        return platform::DialogResult::Ok;
    };
    modal = [&](QDialog&) {
        ++dialogsRun;
        deepest = std::max(deepest, ++open);
        WaitUntil([&] { return LinesStartingWith(lobby->mainchat, "Notice: ").size() >= 7; }, 20000);
        --open;
        return int(QDialog::Rejected);
    };
    for (int i = 0; i < 5; ++i)
        master.Send(PrivateMessage(2, "again " + std::to_string(i)));
    for (int i = 0; i < 10; ++i)
        master.Send(LobbyRecord{cmMessage, 0, "\\message\\notice " + std::to_string(i)});
    Settle();
    EXPECT_EQ(dialogsRun, 5);
    EXPECT_EQ(notices, 3);
    EXPECT_EQ(deepest, Tplb_c::kMaxOpenNotices);
    auto noticeLines = LinesStartingWith(lobby->mainchat, "Notice: ");
    ASSERT_EQ(noticeLines.size(), 7u);
    EXPECT_EQ(noticeLines.front().first, "Notice: notice 3");

    // With the dialogs closed, the next message has its dialog again.
    dialogs.onShow = {};
    dialogsRun = 0;
    Deliver(PrivateMessage(2, "later"));
    EXPECT_EQ(dialogsRun, 1);
}

TEST_F(HostileMasterTest, ErrorsWhileAnErrorBoxIsOpenAreCountedIntoIt)
{
    Joined();
    dialogs.onShow = [&](const platform::DialogRequest&) {
        WaitUntil([&] { return lobby->recordErrorsSince == 4; }, 10000);
        return platform::DialogResult::Ok;
    };
    for (const char* bad : {"one", "two", "three", "four", "five"})
        master.Send(LobbyRecord{cmGame, 0, std::string("\\index\\") + bad + "\\grec\\AAAA"});
    master.SendChat(0, 0, "after the errors");
    Settle();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, platform::DialogKind::Error);
    EXPECT_EQ(dialogs.shown[0].text, "'one' is not a valid integer value\r\n\r\n(4 more errors since)");
    EXPECT_EQ(lobby->mainchat->document()->lastBlock().text(), "after the errors");

    // The box closed, the next error has a box of its own.
    dialogs.onShow = {};
    Deliver(LobbyRecord{cmGameGone, 0, "\\index\\six"});
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[1].text, "'six' is not a valid integer value");
}

TEST_F(HostileMasterTest, LobbyNumbersAreDecimalOnly)
{
    Joined();
    // Strict numbers: anything but an optional minus and digits is refused.
    for (const char* bad : {"$A", "+5", " 5", "0x10", "x10"})
        Deliver(LobbyRecord{cmGame, 0, std::string("\\index\\") + bad + "\\grec\\AAAA"});
    ASSERT_EQ(dialogs.shown.size(), 5u);
    EXPECT_EQ(dialogs.shown[0].text, "'$A' is not a valid integer value");
    EXPECT_EQ(dialogs.shown[1].text, "'+5' is not a valid integer value");
    EXPECT_EQ(dialogs.shown[2].text, "' 5' is not a valid integer value");
    EXPECT_EQ(dialogs.shown[3].text, "'0x10' is not a valid integer value");
    EXPECT_EQ(lobby->games.size(), 1u);   // no game was stored under any of them
    dialogs.shown.clear();
    Deliver(LobbyRecord{cmInvite, 0, "\\whoto\\$2\\whatto\\1"});
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "'$2' is not a valid integer value");

    // Lenient numbers take their default: channel 0, colour black, sender nobody.
    Deliver(LobbyRecord{cmChat, 0, "\\chan\\0x1\\color\\$FF\\text\\lenient"});
    const QTextBlock last = lobby->mainchat->document()->lastBlock();
    EXPECT_EQ(last.text(), "lenient");
    EXPECT_EQ(last.begin().fragment().charFormat().foreground().color(), QColor(0, 0, 0));
    QString from = "unset";
    modal = [&](QDialog& d) {
        from = static_cast<Tmsg_form&>(d).tolabel->text();
        return int(QDialog::Rejected);
    };
    Deliver(PrivateMessage(2, "x"));
    EXPECT_EQ(from, "Mallory");
    Deliver(LobbyRecord{cmPrivMsg, 0, "\\to\\+2\\text\\x"});
    EXPECT_EQ(from, "");
}

TEST_F(HostileMasterTest, AnOverlongLineIsCutWithAMark)
{
    Joined();
    master.SendChat(0, 0, std::string(60000, 'w'));
    master.SendChat(1, 0, std::string(Tplb_c::kMaxShownLine, 'k'));
    Settle();
    const int mark = int(std::strlen(Tplb_c::kCutMark));
    const QString cut = lobby->mainchat->document()->lastBlock().text();
    EXPECT_EQ(cut, QString(Tplb_c::kMaxShownLine - mark, 'w') + Tplb_c::kCutMark);
    EXPECT_EQ(lobby->subchat->document()->lastBlock().text(), QString(Tplb_c::kMaxShownLine, 'k'));

    // A message of 60,000 characters in its dialog, and a notice: cut the same way.
    QString shown;
    modal = [&](QDialog& d) {
        shown = static_cast<Tmsg_form&>(d).msgbox->toPlainText();
        return int(QDialog::Rejected);
    };
    Deliver(PrivateMessage(2, std::string(60000, 'm')));
    EXPECT_EQ(shown, QString(Tmsg_form::kMaxLength - mark, 'm') + Tplb_c::kCutMark);
    Deliver(LobbyRecord{cmMessage, 0, "\\message\\" + std::string(60000, 'n')});
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, QString(Tplb_c::kMaxShownMessage - mark, 'n') + Tplb_c::kCutMark);
}

TEST_F(HostileMasterTest, AFloodOfBadFramesIsToldInAFewLines)
{
    Joined();
    std::string text = std::string("\\player\\0\\cmparam\\") + '\0';
    lobby::CipherFrame(text.data(), text.size());
    const uint32_t n = uint32_t(text.size());
    const std::string typeless = std::string(reinterpret_cast<const char*>(&n), 4) + text;
    std::string flood;
    for (int i = 0; i < 500; ++i)
        flood += typeless;
    master.SendRaw(flood);
    master.SendChat(0, 0, "still here");
    Settle();
    const auto lines = LinesStartingWith(lobby->mainchat, "Dropped data from the master that is not a lobby record: ");
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 3u);
    int told = 0;
    for (const auto& [line, colour] : lines) {
        const int open = line.lastIndexOf(" (");
        told += line.endsWith(" frames)") ? line.mid(open + 2, line.size() - open - 10).toInt() : 1;
    }
    EXPECT_EQ(told, 500);
    EXPECT_EQ(lobby->mainchat->document()->lastBlock().text(), "still here");
}

TEST_F(HostileMasterTest, ReadingWaitsWhileRecordsPileUpAndNothingIsLost)
{
    Joined();
    // Many keep-alives at once, more than the window may hold unhandled.
    const int kPings = 12000;
    std::string burst;
    for (int i = 0; i < kPings; ++i)
        lobby::AppendFrame(LobbyRecord{cmPing, 0, ""}, burst);
    ClearSent();
    master.SendRaw(burst);
    // Read without letting the window handle anything: the reader stops on
    // its own once the backlog is full, and the rest waits in the kernel.
    TTCPClient* tcp = lobby->TCP;
    for (int turn = 0; turn < 200 && !lobby->readPaused; ++turn)
        lobby->TCPData(tcp, tcp->Socket());
    ASSERT_TRUE(lobby->readPaused);
    EXPECT_GE(lobby->PendingRecords(), Tplb_form::kMaxPendingRecords);
    EXPECT_LT(lobby->PendingRecords(), Tplb_form::kMaxPendingRecords + 1000);
    EXPECT_GT(tcp->BytesAvailable(tcp->Socket()) + master.Unsent(), 0);
    const int pending = lobby->PendingRecords();
    lobby->TCPData(tcp, tcp->Socket());
    EXPECT_EQ(lobby->PendingRecords(), pending);

    // Handled, the backlog eases and reading goes on: every ping is answered.
    ASSERT_TRUE(WaitUntil([&] { return master.Count(cmPong) == kPings; }, 60000));
    EXPECT_FALSE(lobby->readPaused);
    EXPECT_EQ(lobby->PendingRecords(), 0);
    EXPECT_EQ(lobby->PendingBytes(), 0u);
}

TEST_F(HostileMasterTest, RefreshesWaitingTogetherRebuildTheListOnce)
{
    Joined();
    int rebuilds = 0;
    QObject counting;   // the count ends with the test, before the window goes
    QObject::connect(lobby->playerbox->model(), &QAbstractItemModel::modelReset, &counting, [&] { ++rebuilds; });
    std::string bytes;
    auto player = [&](int32_t index, const std::string& name) {
        lobby::AppendFrame(LobbyRecord{cmPlayer, 0,
                                       "\\index\\" + std::to_string(index) + "\\prec\\" +
                                           lobby::PackPlayer(TScriptedMaster::Player(index, name))},
                           bytes);
    };
    const LobbyRecord refresh{cmRefresh, 0, ""};
    player(3, "Carol");
    lobby::AppendFrame(refresh, bytes);
    player(4, "Dave");
    lobby::AppendFrame(refresh, bytes);
    lobby::AppendFrame(refresh, bytes);
    master.SendRaw(bytes);   // one write: it is read in one turn
    Settle();
    EXPECT_EQ(rebuilds, 1);
    // The one rebuild came after every record before the last refresh.
    EXPECT_EQ(Rows(), (std::vector<std::string>{"G0", "P1", "P2", "P3", "P4"}));
    // A refresh alone is still handled.
    DeliverRefresh();
    EXPECT_EQ(rebuilds, 2);
}

class RepeatedStartTest : public HostileMasterTest {
protected:
    void SetUp() override
    {
        HostileMasterTest::SetUp();
        oldDir_ = platform::CurrentDir();
        folder = game.MakeDir("Shadow Company");
        // Stands in for the game: notes each start, runs until told to stop
        // (or its folder is gone), and keeps off the test's output.
        game.Write("Shadow Company/shadow.exe",
                   "#!/bin/sh\nexec >/dev/null 2>&1 </dev/null\necho start >> \"" + game.File("starts") +
                       "\"\nwhile [ -d \"" + game.path() + "\" ] && [ ! -e \"" + game.File("stop") +
                       "\" ]; do sleep 0.02; done\n",
                   true);
    }
    void TearDown() override
    {
        game.Write("stop", "");
        if (lobby)
            WaitUntil([&] { return !lobby->JoinedGameRunning(); }, 5000);
        platform::SetCurrentDir(oldDir_);
        HostileMasterTest::TearDown();
    }
    int Starts() const
    {
        const std::string text = platform::FileExists(game.File("starts")) ? ReadFileText(game.File("starts")) : "";
        return int(std::count(text.begin(), text.end(), '\n'));
    }
    // A member of player 3's game, which has started.
    void InStartedGame()
    {
        Joined();
        lobby->config->SetProgramDirText(folder + "/");
        DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1, "10.20.30.40"));
        DeliverPlayer(TScriptedMaster::Player(1, nick, 3, 0));
        DeliverGame(TScriptedMaster::Game(1, 3, "One", 4, 1));
    }

    std::string folder;
    std::string oldDir_;
};

TEST_F(RepeatedStartTest, StartsWhileTheGameRunsStartNothing)
{
    InStartedGame();
    Deliver(LobbyRecord{cmStart, 0, ""});
    ASSERT_TRUE(WaitUntil([&] { return Starts() == 1; }, 5000));
    ASSERT_TRUE(lobby->JoinedGameRunning());
    for (int i = 0; i < 20; ++i)
        master.Send(LobbyRecord{cmStart, 0, ""});
    Settle();
    EXPECT_TRUE(lobby->JoinedGameRunning());
    EXPECT_EQ(Starts(), 1);

    // The game over, the next start starts it again.
    game.Write("stop", "");
    ASSERT_TRUE(WaitUntil([&] { return !lobby->JoinedGameRunning(); }, 5000));
    ::unlink(game.File("stop").c_str());
    Deliver(LobbyRecord{cmStart, 0, ""});
    ASSERT_TRUE(WaitUntil([&] { return Starts() == 2; }, 5000));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RepeatedStartTest, StartsWhileTheLaunchErrorIsShownOpenNoMoreBoxes)
{
    InStartedGame();
    lobby->config->SetProgramDirText(game.MakeDir("Empty Folder") + "/");
    int open = 0, deepest = 0;
    dialogs.onShow = [&](const platform::DialogRequest& r) {
        EXPECT_TRUE(r.text.startsWith("The file to launch"));
        deepest = std::max(deepest, ++open);
        const int pongs = master.Count(cmPong);
        master.Send(LobbyRecord{cmStart, 0, ""});
        master.Send(LobbyRecord{cmStart, 0, ""});
        master.Send(LobbyRecord{cmPing, 0, ""});
        WaitUntil([&] { return master.Count(cmPong) > pongs; }, 5000);
        --open;
        return platform::DialogResult::Ok;
    };
    Deliver(LobbyRecord{cmStart, 0, ""});
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(dialogs.shown.size(), 1u);
    dialogs.onShow = {};
    Deliver(LobbyRecord{cmStart, 0, ""});
    EXPECT_EQ(dialogs.shown.size(), 2u);
}

TEST_F(HostileMasterTest, FramesWaitForAMasterThatStopsReadingAndGoOutWhole)
{
    Joined();
    ClearSent();
    master.PauseReading(true);
    int small = 4096;
    ASSERT_EQ(::setsockopt(int(lobby->TCP->Socket()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    const int kLines = 300;
    for (int i = 0; i < kLines; ++i)
        lobby->SendRecord(LobbyRecord{cmChat, 1, "\\chan\\0\\text\\" + std::to_string(i) + ":" + std::string(900, 'z')});
    EXPECT_GT(lobby->TCP->Queued(), 0u);
    EXPECT_EQ(lobby->TCP->State(), ssConnected);

    master.PauseReading(false);
    ASSERT_TRUE(WaitUntil([&] { return master.Count(cmChat) == kLines; }, 20000));
    auto chats = Sent(cmChat);
    for (int i = 0; i < kLines; ++i)
        ASSERT_EQ(chats[std::size_t(i)].param, "\\chan\\0\\text\\" + std::to_string(i) + ":" + std::string(900, 'z'));
    EXPECT_EQ(lobby->TCP->Queued(), 0u);
}

TEST_F(HostileMasterTest, AMasterThatNeverReadsIsDroppedPastTheQueueBound)
{
    Joined();
    master.PauseReading(true);
    int small = 4096;
    ASSERT_EQ(::setsockopt(int(lobby->TCP->Socket()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    dialogs.answers.push_back(platform::DialogResult::Yes);
    const int connections = master.Connections();
    for (int i = 0; i < 2000 && lobby->TCP->State() == ssConnected; ++i)
        lobby->SendRecord(LobbyRecord{cmChat, 1, "\\chan\\0\\text\\" + std::string(1000, 'f')});
    ASSERT_TRUE(WaitUntil([&] { return master.Connections() > connections; }, 10000));
    EXPECT_EQ(LinesStartingWith(lobby->mainchat, "The master has stopped taking what this client sends").size(), 1u);
    EXPECT_TRUE(dialogs.Saw("The server has disconnected or is not available, do you want to reconnect?"));
    // The error itself is not shown as a box of its own.
    EXPECT_FALSE(dialogs.Saw("No buffer space available"));
}
