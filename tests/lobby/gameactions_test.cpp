// Game actions: what is enabled when, hosting and its game names,
// invitations, and starting the game executable.
#include "support/lobbyfixture.h"

#include "config/host_main.h"
#include "platform/files.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>

#include <map>

namespace {

struct Enabled {
    bool host, join, leave, settings, launch, send, invite, kick;
};

std::string Describe(const Enabled& e)
{
    std::string s;
    for (auto [on, name] : {std::pair{e.host, "host"}, {e.join, "join"}, {e.leave, "leave"}, {e.settings, "settings"},
                            {e.launch, "launch"}, {e.send, "send"}, {e.invite, "invite"}, {e.kick, "kick"}})
        if (on)
            s += std::string(s.empty() ? "" : " ") + name;
    return s;
}

} // namespace

class GameActionsTest : public LobbyTest {
protected:
    std::string Actions()
    {
        lobby->UpdateDisplayUpdate();
        EXPECT_TRUE(lobby->SetConfig->isEnabled());
        return Describe(Enabled{lobby->HostGame->isEnabled(), lobby->JoinGame->isEnabled(),
                                lobby->LeaveGame->isEnabled(), lobby->gamesettings->isEnabled(),
                                lobby->LaunchGame->isEnabled(), lobby->SendPrivMessage->isEnabled(),
                                lobby->InvitePlayer->isEnabled(), lobby->kickplayer->isEnabled()});
    }
    void SelectNothing()
    {
        lobby->playerbox->setCurrentRow(-1);
        lobby->playerbox->clearSelection();
    }

    // Players: 1 the user (given), 2 free, 3 host of game 1 with member 4,
    // 5 host of game 2.
    void MakeLobby(const lobby::PlayerRecord& self, uint8_t game1State = 0)
    {
        JoinAs(self.index);
        DeliverPlayer(self);
        DeliverPlayer(TScriptedMaster::Player(2, "Free"));
        DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1));
        DeliverPlayer(TScriptedMaster::Player(4, "Member4", 3, 0));
        DeliverPlayer(TScriptedMaster::Player(5, "Host5", 0, 2));
        DeliverGame(TScriptedMaster::Game(1, 3, "One", 4, game1State));
        DeliverGame(TScriptedMaster::Game(2, 5, "Two"));
        DeliverRefresh();
    }
};

TEST_F(GameActionsTest, EnablingInNoGame)
{
    StartLobby();
    MakeLobby(TScriptedMaster::Player(1, "Bob"));
    SelectNothing();
    EXPECT_EQ(Actions(), "host");
    ASSERT_TRUE(SelectPlayer(1));
    EXPECT_EQ(Actions(), "host");
    ASSERT_TRUE(SelectPlayer(2));
    EXPECT_EQ(Actions(), "host send");
    ASSERT_TRUE(SelectPlayer(4));
    EXPECT_EQ(Actions(), "host join send");
    ASSERT_TRUE(SelectGame(1));
    EXPECT_EQ(Actions(), "host join");
    ASSERT_TRUE(SelectGame(0));
    EXPECT_EQ(Actions(), "host");
}

TEST_F(GameActionsTest, EnablingAsHost)
{
    StartLobby();
    MakeLobby(TScriptedMaster::Player(1, "Bob", 0, 2));
    // The user hosts game 2 now; player 5 joins it.
    DeliverPlayer(TScriptedMaster::Player(5, "Member5", 1, 0));
    DeliverGame(TScriptedMaster::Game(2, 1, "Two"));
    DeliverRefresh();
    SelectNothing();
    EXPECT_EQ(Actions(), "leave settings launch");
    ASSERT_TRUE(SelectPlayer(5));
    EXPECT_EQ(Actions(), "leave settings launch send kick");
    ASSERT_TRUE(SelectPlayer(2));
    EXPECT_EQ(Actions(), "leave settings launch send invite");
    ASSERT_TRUE(SelectPlayer(4));
    EXPECT_EQ(Actions(), "join leave settings launch send invite");
    ASSERT_TRUE(SelectGame(2));
    EXPECT_EQ(Actions(), "leave settings launch");
    ASSERT_TRUE(SelectGame(1));
    EXPECT_EQ(Actions(), "join leave settings launch");
}

TEST_F(GameActionsTest, EnablingAsMemberAndWhileInProgress)
{
    StartLobby();
    MakeLobby(TScriptedMaster::Player(1, "Bob", 3, 0));
    SelectNothing();
    EXPECT_EQ(Actions(), "leave");
    ASSERT_TRUE(SelectPlayer(4));   // a member of the same game
    EXPECT_EQ(Actions(), "leave send");
    ASSERT_TRUE(SelectPlayer(2));
    EXPECT_EQ(Actions(), "leave send invite");
    ASSERT_TRUE(SelectPlayer(5));
    EXPECT_EQ(Actions(), "join leave send invite");

    DeliverGame(TScriptedMaster::Game(1, 3, "One", 4, 1));
    SelectNothing();
    EXPECT_EQ(Actions(), "leave launch");
}

TEST_F(GameActionsTest, HostingTrimsTheNameAndRefusesBadOnes)
{
    StartLobby();
    JoinAs(1);
    Thost_form* dialog = lobby->hostForm;
    ASSERT_NE(dialog, nullptr);
    QString typed = "  Alpha Base  ";
    int range[3] = {};
    modal = [&](QDialog& d) {
        if (&d != dialog)
            return int(QDialog::Rejected);
        range[0] = dialog->maxplayers->minimum();
        range[1] = dialog->maxplayers->maximum();
        range[2] = dialog->maxplayers->value();
        dialog->gamename->setText(typed);
        return int(QDialog::Accepted);
    };
    ClearSent();
    lobby->HostGameExecute();
    EXPECT_EQ(range[0], 2);
    EXPECT_EQ(range[1], 4);
    EXPECT_EQ(range[2], 4);
    Settle();
    auto hosts = Sent(cmHost);
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].param, "\\name\\Alpha Base\\maxplayers\\4\\inviteonly\\0");
    EXPECT_EQ(dialog->gamename->text(), "Alpha Base");

    for (const char* bad : {"Back\\slash", "under_score", "   ", "caf\xc3\xa9"}) {
        ClearSent();
        dialogs.shown.clear();
        typed = QString::fromUtf8(bad);
        lobby->HostGameExecute();
        Settle();
        EXPECT_TRUE(Sent(cmHost).empty()) << bad;
        ASSERT_EQ(dialogs.shown.size(), 1u) << bad;
        EXPECT_EQ(dialogs.shown[0].text, "That is not a valid gamename");
        EXPECT_EQ(dialogs.shown[0].kind, platform::DialogKind::Warning);
    }

    // Settings of the own game carry its index; the invite-only box is kept.
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 6));
    ClearSent();
    typed = "(Night) [Ops] 2's";
    dialog->inviteonly->setChecked(true);
    lobby->gamesettingsExecute();
    Settle();
    auto settings = Sent(cmHost);
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0].param, "\\name\\(Night) [Ops] 2's\\maxplayers\\4\\inviteonly\\1\\index\\6");
}

TEST_F(GameActionsTest, JoinMovesUpToTheGameRowAndRefusesGamesInProgress)
{
    StartLobby();
    MakeLobby(TScriptedMaster::Player(1, "Bob"));
    ClearSent();
    ASSERT_TRUE(SelectPlayer(4));
    lobby->JoinGameExecute();
    Settle();
    EXPECT_EQ(Rows()[std::size_t(lobby->SelectedRow())], "G1");
    auto joins = Sent(cmJoin);
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].param, "\\to\\1\\invited\\0");

    DeliverGame(TScriptedMaster::Game(1, 3, "One", 4, 1));
    ClearSent();
    lobby->JoinGameExecute();
    Settle();
    EXPECT_TRUE(Sent(cmJoin).empty());
    EXPECT_TRUE(dialogs.Saw("Sorry, that game is already in progress"));

    // Inviting or messaging a player of a game in progress is refused too.
    ASSERT_TRUE(SelectPlayer(4));
    lobby->InvitePlayerExecute();
    lobby->SendPrivMessageExecute();
    EXPECT_EQ(dialogs.Count("Sorry, that user is currently playing a game"), 2);
}

TEST_F(GameActionsTest, KickAsksFirstAndLeaveSendsAnEmptyRequest)
{
    StartLobby();
    MakeLobby(TScriptedMaster::Player(1, "Bob", 0, 2));
    ASSERT_TRUE(SelectPlayer(5));
    ClearSent();
    dialogs.answers = {platform::DialogResult::No, platform::DialogResult::Yes};
    lobby->kickplayerExecute();
    lobby->kickplayerExecute();
    lobby->LeaveGameExecute();
    Settle();
    EXPECT_EQ(dialogs.Count("Are you sure you want to kick Host5?"), 2);
    auto kicks = Sent(cmKick);
    ASSERT_EQ(kicks.size(), 1u);
    EXPECT_EQ(kicks[0].param, "\\who\\5");
    auto leaves = Sent(cmLeave);
    ASSERT_EQ(leaves.size(), 1u);
    EXPECT_EQ(leaves[0].param, "");
}

TEST_F(GameActionsTest, SecondInvitationWhileTheFirstIsAskedIsAnsweredAutomatically)
{
    StartLobby();
    MakeLobby(TScriptedMaster::Player(1, "Bob"));
    ClearSent();
    int questions = 0;
    dialogs.onShow = [&](const platform::DialogRequest& r) {
        ++questions;
        EXPECT_EQ(r.text, "Host3 has invited you to join One\r\nDo you want to join?");
        // While the question is open the second invitation arrives and is handled.
        master.Send(LobbyRecord{cmInvite, 0, "\\whoto\\5\\whatto\\2"});
        EXPECT_GE(master.WaitFor(cmPrivMsg), 0);
        return platform::DialogResult::Yes;
    };
    master.Send(LobbyRecord{cmInvite, 0, "\\whoto\\3\\whatto\\1"});
    ASSERT_GE(master.WaitFor(cmJoin), 0);
    Settle();
    EXPECT_EQ(questions, 1);
    auto messages = Sent(cmPrivMsg);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].param,
              "\\to\\5\\text\\That player is considering another invitation. Try again in a few seconds.");
    auto joins = Sent(cmJoin);
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].param, "\\to\\1\\invited\\1");
    EXPECT_FALSE(lobby->invitePromptOpen);

    // Invitations carry numbers: one that does not is dropped with the error.
    dialogs.onShow = {};
    Deliver(LobbyRecord{cmInvite, 0, "\\whoto\\three\\whatto\\1"});
    EXPECT_TRUE(dialogs.Saw("'three' is not a valid integer value"));
}

class LaunchTest : public GameActionsTest {
protected:
    void SetUp() override
    {
        GameActionsTest::SetUp();
        oldDir_ = platform::CurrentDir();
        folder = game.MakeDir("Shadow Company");
        // Stands in for the game: records its arguments and working folder.
        game.Write("Shadow Company/shadow.exe",
                   "#!/bin/sh\necho \"$@\" > \"" + game.File("args") + ".tmp\"\npwd > \"" + game.File("cwd") +
                       "\"\nmv \"" + game.File("args") + ".tmp\" \"" + game.File("args") + "\"\n",
                   true);
    }
    void TearDown() override
    {
        platform::SetCurrentDir(oldDir_);
        GameActionsTest::TearDown();
    }
    void UseFolder(const std::string& dir) { lobby->config->SetProgramDirText(dir); }
    bool WaitForGame() { return WaitUntil([&] { return platform::FileExists(game.File("args")); }, 5000); }

    std::string folder;
    std::string oldDir_;
};

TEST_F(LaunchTest, MemberStartsTheGamePointedAtTheHost)
{
    StartLobby();
    UseFolder(folder + "/");
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1, "10.20.30.40"));
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 3, 0));
    DeliverGame(TScriptedMaster::Game(1, 3, "One", 4, 1));
    Deliver(LobbyRecord{cmStart, 0, ""});
    ASSERT_TRUE(WaitForGame());
    EXPECT_EQ(ReadFileText(game.File("args")), "-service tcp -ip 10.20.30.40\n");
    EXPECT_EQ(ReadFileText(game.File("cwd")), folder + "\n");
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(LaunchTest, HostStartsTheGameAndFinishesIt)
{
    StartLobby();
    UseFolder(folder);   // no final separator: the folder itself
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 1));
    DeliverPlayer(TScriptedMaster::Player(2, "Member", 1, 0));
    DeliverGame(TScriptedMaster::Game(1, 1, "Mine"));
    ClearSent();
    bool startSeen = false;
    dialogs.onShow = [&](const platform::DialogRequest& r) {
        EXPECT_EQ(r.text, "Game in Progress\r\nPress OK when the game is finished");
        startSeen = master.WaitFor(cmStart) >= 0 && Sent(cmStart).size() == 1;
        return platform::DialogResult::Ok;
    };
    lobby->LaunchGameExecute();
    Settle();
    EXPECT_TRUE(startSeen);
    auto starts = Sent(cmStart);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].param, "\\start\\1");
    EXPECT_EQ(starts[1].param, "\\start\\0");
    ASSERT_TRUE(WaitForGame());
    EXPECT_EQ(ReadFileText(game.File("args")), "-service tcp -host\n");
    EXPECT_EQ(ReadFileText(game.File("cwd")), folder + "\n");
}

TEST_F(LaunchTest, TooFewPlayersAsksAndNoStopsTheLaunch)
{
    StartLobby();
    UseFolder(folder + "/");
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 1));
    DeliverGame(TScriptedMaster::Game(1, 1, "Mine"));
    ClearSent();
    dialogs.answers = {platform::DialogResult::No};
    lobby->LaunchGameExecute();
    Settle();
    EXPECT_TRUE(dialogs.Saw("You have less than the minimum number of players, are you sure you want to launch?"));
    EXPECT_TRUE(Sent(cmStart).empty());
}

TEST_F(LaunchTest, MissingExecutableIsReportedAndNothingStarts)
{
    StartLobby();
    const std::string empty = game.MakeDir("Empty Folder");
    UseFolder(empty + "/");
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1, "10.0.0.1"));
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 3, 0));
    Deliver(LobbyRecord{cmStart, 0, ""});
    EXPECT_TRUE(dialogs.Saw(QString::fromStdString("The file to launch (" + empty +
                                                   "/shadow.exe) does not exist, check your configuration")));
    Pump(200);
    EXPECT_FALSE(platform::FileExists(game.File("args")));
}

TEST_F(LaunchTest, MasterCannotWriteTheCommandLineNorStartAPlayerOutsideAGame)
{
    StartLobby();
    UseFolder(folder + "/");
    JoinAs(1);
    // In no game: a start from the master starts nothing.
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 0));
    Deliver(LobbyRecord{cmStart, 0, ""});
    // As a host: its own launch is the Launch action, not the master's start.
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 1));
    DeliverGame(TScriptedMaster::Game(1, 1, "Mine"));
    Deliver(LobbyRecord{cmStart, 0, ""});
    // As a member of a host whose address carries more switches, or nothing.
    DeliverGame(TScriptedMaster::Game(1, 3, "One", 4, 0));
    DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1, "1.2.3.4 -host"));
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 3, 0));
    Deliver(LobbyRecord{cmStart, 0, ""});
    DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1, "\"a\" -x"));
    Deliver(LobbyRecord{cmStart, 0, ""});
    DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1, ""));
    Deliver(LobbyRecord{cmStart, 0, ""});
    Pump(300);
    EXPECT_FALSE(platform::FileExists(game.File("args")));
    // A dotted address is one argument, and starts the game.
    DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 1, "1.2.3.4"));
    Deliver(LobbyRecord{cmStart, 0, ""});
    ASSERT_TRUE(WaitForGame());
    EXPECT_EQ(ReadFileText(game.File("args")), "-service tcp -ip 1.2.3.4\n");
}
