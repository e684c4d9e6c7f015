// The lobby window against a scripted master over loopback: connection and
// naming, the tables and the list, chat.
#include "support/lobbyfixture.h"

#include "text/textfuncs.h"
#include "config/config_main.h"

#include <QAction>
#include <QListWidget>
#include <QLabel>
#include "lobby/client/splitbar.h"
#include <QMenu>
#include <QPainter>
#include <QTextBlock>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <QWidget>

using RowList = std::vector<std::string>;

TEST_F(LobbyTest, NameFlowRetriesWithUnderscoreAndLearnsItsIndex)
{
    StartLobby();
    auto first = Sent(cmNameWanted);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].player, -1);
    EXPECT_EQ(first[0].param, std::string("\\namewanted\\Bob"));

    ClearSent();
    Deliver(LobbyRecord{cmNameTaken, 0, "\\namewanted\\Bob"});
    EXPECT_EQ(lobby->config->NickText(), "Bob_");
    auto again = Sent(cmNameWanted);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].param, std::string("\\namewanted\\Bob_"));

    DeliverPlayer(TScriptedMaster::Player(3, "bob_"));
    EXPECT_EQ(lobby->selfIndex, -1);   // names compare with case
    DeliverPlayer(TScriptedMaster::Player(4, "Bob_"));
    EXPECT_EQ(lobby->selfIndex, 4);

    // Every record carries the index; after a reconnection the first one is -1 again.
    ClearSent();
    dialogs.answers.push_back(platform::DialogResult::Yes);
    const int connections = master.Connections();
    master.DropClient();
    ASSERT_TRUE(WaitUntil([&] { return master.Connections() > connections && master.Count(cmNameWanted) > 0; }));
    EXPECT_TRUE(dialogs.Saw("The server has disconnected or is not available, do you want to reconnect?"));
    EXPECT_EQ(dialogs.shown.back().caption, "Info");
    ASSERT_FALSE(master.received.empty());
    EXPECT_EQ(master.received[0].type, cmNameWanted);
    EXPECT_EQ(master.received[0].player, -1);
    EXPECT_EQ(lobby->players.size(), 1u);
}

TEST_F(LobbyTest, RefusedConnectionAsksOncePerAttemptAndKeepsTablesEmpty)
{
    master.StopListening();
    int asked = 0;
    dialogs.onShow = [&](const platform::DialogRequest& r) {
        if (r.text.startsWith("The server has disconnected"))
            ++asked;
        return asked < 3 ? platform::DialogResult::Yes : platform::DialogResult::No;
    };
    StartLobby(false);
    ASSERT_TRUE(WaitUntil([&] { return asked >= 3; }, 5000));
    Pump(200);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(lobby->players.size(), 1u);
    EXPECT_EQ(lobby->games.size(), 1u);
    EXPECT_EQ(lobby->playerbox->count(), 0);
    EXPECT_EQ(master.Connections(), 0);
}

TEST_F(LobbyTest, KeepAliveIsAnsweredWithTheOwnIndex)
{
    StartLobby();
    JoinAs(2);
    ClearSent();
    Deliver(LobbyRecord{cmPing, 0, ""});
    auto pongs = Sent(cmPong);
    ASSERT_GE(pongs.size(), 1u);
    EXPECT_EQ(pongs[0].player, 2);
    EXPECT_EQ(pongs[0].param, "");
}

TEST_F(LobbyTest, TablesGrowByFiveAndKeepMeasuredPings)
{
    StartLobby();
    DeliverPlayer(TScriptedMaster::Player(12, "Zed"));
    ASSERT_EQ(lobby->players.size(), 16u);
    for (int i = 1; i < 16; ++i) {
        EXPECT_EQ(lobby->players[i].index, i);
        EXPECT_EQ(lobby->players[i].ping, 9999);
    }
    lobby->players[12].ping = 123;
    lobby->players[12].lastPingTick = 777;
    auto moved = TScriptedMaster::Player(12, "Zed2", 0, 0, "10.0.0.9");
    moved.ping = 5;
    DeliverPlayer(moved);
    EXPECT_EQ(lobby->players[12].Name(), "Zed2");
    EXPECT_EQ(lobby->players[12].Address(), "10.0.0.9");
    EXPECT_EQ(lobby->players[12].ping, 123);
    EXPECT_EQ(lobby->players[12].lastPingTick, 777u);

    DeliverGame(TScriptedMaster::Game(7, 12, "Seven"));
    EXPECT_EQ(lobby->games.size(), 11u);
    Deliver(LobbyRecord{cmGameGone, 0, "\\index\\7"});
    EXPECT_EQ(lobby->games[7].active, 0);
}

TEST_F(LobbyTest, IndexesFromTheMasterAreCheckedBeforeUse)
{
    StartLobby();
    JoinAs(1);
    // A member whose host is far outside the table, a game naming a host that
    // does not exist, a message from nobody: nothing may be read out of bounds.
    DeliverPlayer(TScriptedMaster::Player(2, "Ghost", 5000, 0));
    DeliverPlayer(TScriptedMaster::Player(3, "Liar", 0, 9000));
    DeliverGame(TScriptedMaster::Game(2, 4000, "Nowhere"));
    Deliver(LobbyRecord{cmGameGone, 0, "\\index\\-3"});
    Deliver(LobbyRecord{cmGameGone, 0, "\\index\\99999"});
    Deliver(LobbyRecord{cmPlayer, 0, "\\index\\-1\\prec\\AAAA"});
    Deliver(LobbyRecord{cmPlayer, 0, "\\index\\2000000000\\prec\\AAAA"});
    DeliverRefresh();
    lobby->UpdateDisplayUpdate();
    for (int row = 0; row < lobby->playerbox->count(); ++row) {
        QImage image(238, 40, QImage::Format_RGB32);
        QPainter p(&image);
        lobby->playerboxDrawItem(p, row, QRect(0, 0, 238, 28), false);
    }
    EXPECT_LT(lobby->players.size(), 10u);
    EXPECT_EQ(lobby->GameOfPlayer(2), 0);
    EXPECT_EQ(lobby->PlayersInGame(9000), 0);
    SelectPlayer(2);
    lobby->UpdateDisplayUpdate();
    Deliver(LobbyRecord{cmInvite, 0, "\\whoto\\77\\whatto\\88"});
    EXPECT_TRUE(dialogs.shown.empty());

    // A strict number that is not one drops the record with the conversion error.
    Deliver(LobbyRecord{cmGame, 0, "\\index\\abc\\grec\\AAAA"});
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "'abc' is not a valid integer value");
}

TEST_F(LobbyTest, ListOrderShowAllAndSelection)
{
    StartLobby();
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(2, "Host2", 0, 1));
    DeliverPlayer(TScriptedMaster::Player(3, "Member3", 2, 0));
    DeliverPlayer(TScriptedMaster::Player(4, "Host4", 0, 2));
    DeliverPlayer(TScriptedMaster::Player(5, "Free5"));
    DeliverPlayer(TScriptedMaster::Player(6, "Member6", 4, 0));
    DeliverGame(TScriptedMaster::Game(1, 2, "First"));
    DeliverGame(TScriptedMaster::Game(2, 4, "Second"));
    DeliverRefresh();
    EXPECT_EQ(Rows(), (RowList{"G1", "P2", "P3", "G2", "P4", "P6", "G0", "P1", "P5"}));

    // Selection is kept across a rebuild.
    ASSERT_TRUE(SelectPlayer(6));
    DeliverRefresh();
    ASSERT_GE(lobby->SelectedRow(), 0);
    EXPECT_EQ(Rows()[std::size_t(lobby->SelectedRow())], "P6");

    // Without showAll only the selection's game and the user's own show their players.
    lobby->ShowAllExecute();
    EXPECT_FALSE(lobby->showAll);
    EXPECT_EQ(Rows(), (RowList{"G1", "G2", "P4", "P6", "G0", "P1", "P5"}));
    ASSERT_TRUE(SelectGame(1));
    lobby->playerboxClick();
    EXPECT_EQ(Rows(), (RowList{"G1", "P2", "P3", "G2", "G0", "P1", "P5"}));

    // "No Game" stays last even when nobody is free.
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 2, 0));
    DeliverPlayer(TScriptedMaster::Player(5, "Free5", 4, 0));
    lobby->ShowAllExecute();
    EXPECT_EQ(Rows().back(), "G0");
}

TEST_F(LobbyTest, ChatPanesKeep201LinesAndChannelsPickThePane)
{
    StartLobby();
    JoinAs(1);
    for (int i = 0; i < 250; ++i)
        master.SendChat(0, 0x00FF00, "line " + std::to_string(i));
    Settle();
    EXPECT_EQ(lobby->mainchat->document()->blockCount(), 201);
    EXPECT_EQ(lobby->mainchat->document()->lastBlock().text(), "line 249");

    master.SendChat(5, 255, "to the game");
    master.SendChat(1, 255, "also the game");
    master.Send(LobbyRecord{cmChat, 0, "\\chan\\x\\color\\y\\text\\public"});
    Settle();
    EXPECT_EQ(lobby->subchat->document()->lastBlock().previous().text(), "to the game");
    EXPECT_EQ(lobby->subchat->document()->lastBlock().text(), "also the game");
    QTextBlock last = lobby->mainchat->document()->lastBlock();
    EXPECT_EQ(last.text(), "public");
    EXPECT_EQ(last.begin().fragment().charFormat().foreground().color(), QColor(0, 0, 0));
}

TEST_F(LobbyTest, EnterSendsTheCaretLineOnItsChannel)
{
    StartLobby();
    JoinAs(1);
    ClearSent();
    lobby->mainline->setFocus();
    QTest::keyClick(lobby->mainline, Qt::Key_Return);   // empty: nothing goes out
    QTest::keyClicks(lobby->mainline, "hello all");
    QTest::keyClick(lobby->mainline, Qt::Key_Return);
    QTest::keyClicks(lobby->subline, "team only");
    QTest::keyClick(lobby->subline, Qt::Key_Enter);
    ASSERT_GE(master.WaitFor(cmChat), 0);
    Settle();
    auto chats = Sent(cmChat);
    ASSERT_EQ(chats.size(), 2u);
    EXPECT_EQ(chats[0].param, "\\chan\\0\\text\\hello all");
    EXPECT_EQ(chats[0].player, 1);
    EXPECT_EQ(chats[1].param, "\\chan\\1\\text\\team only");
    // The input keeps what was typed and the caret is on a fresh line.
    EXPECT_TRUE(lobby->mainline->toPlainText().endsWith("hello all\n"));
    EXPECT_EQ(lobby->mainchat->document()->lastBlock().text(), "Connect successful...");
}

TEST_F(LobbyTest, GamePaneOpensForHostAndClosesAfterwards)
{
    StartLobby();
    lobby->resize(634, 470);
    JoinAs(1);
    EXPECT_FALSE(lobby->gamePaneOpen);
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 1));
    DeliverGame(TScriptedMaster::Game(1, 1, "Mine"));
    DeliverRefresh();
    EXPECT_TRUE(lobby->gamePaneOpen);
    EXPECT_EQ(lobby->midsplit->height(), 20);
    EXPECT_EQ(lobby->bottompanel->height(), lobby->backpanel->height() * 3 / 4);

    // The pane never grows past the back panel minus 60 on a resize.
    lobby->resize(634, 200);
    Pump(50);
    EXPECT_LE(lobby->bottompanel->height(), lobby->backpanel->height() - 60);

    DeliverPlayer(TScriptedMaster::Player(1, "Bob"));
    Deliver(LobbyRecord{cmGameGone, 0, "\\index\\1"});
    DeliverRefresh();
    EXPECT_FALSE(lobby->gamePaneOpen);
    EXPECT_EQ(lobby->bottompanel->height(), 0);
    EXPECT_EQ(lobby->midsplit->height(), 0);
}

TEST_F(LobbyTest, ClosingAnimationStartsAtTheSplitBar)
{
    StartLobby();
    // The pane's height follows the steps down from the bar's top to 0.
    lobby->AnimateGamePane(0, 300);
    EXPECT_EQ(lobby->bottompanel->height(), 300);
    lobby->AnimateGamePane(120, 0);
    EXPECT_EQ(lobby->bottompanel->height(), 0);
    EXPECT_EQ(lobby->midsplit->height(), 0);
}

TEST_F(LobbyTest, FrameOfTheWindow)
{
    StartLobby();
    EXPECT_EQ(lobby->windowTitle(), "Shadow Company Quillet");
    EXPECT_EQ(lobby->Label1->text(), "Orange Game: Game Full");
    EXPECT_EQ(lobby->Label2->text(), "Black Game: Join Now!");
    EXPECT_EQ(lobby->Label3->text(), "Yellow Game: In Progress");
    EXPECT_EQ(lobby->Label4->text(), "Italics Game: Invite Only");
    EXPECT_EQ(lobby->lobbyPort, "29001");
    EXPECT_EQ(lobby->maxPlayersLimit, 4);
    EXPECT_EQ(lobby->minPlayers, 2);

    const QSize collapsed = lobby->Panel2->size();
    EXPECT_EQ(collapsed, QSize(lobby->helpbutt->width() + 3, lobby->helpbutt->height() + 3));
    lobby->helpbutt->click();
    EXPECT_EQ(lobby->Panel2->size(), QSize(145, 100));
    lobby->helpbutt->click();
    EXPECT_EQ(lobby->Panel2->size(), collapsed);

    lobby->button_panel->resize(239, 105);
    EXPECT_EQ(lobby->rbuttonpanel->width(), 119);

    EXPECT_EQ(lobby->HostGame->text(), "Host Game");
    EXPECT_EQ(lobby->HostGame->toolTip(), "Host a game for others to join");
    EXPECT_EQ(lobby->HostGame->property("category").toString(), "Game");
    EXPECT_EQ(lobby->UpdateDisplay->property("category").toString(), "Idle");
    EXPECT_FALSE(lobby->ShowAll->isVisible());
    QStringList menu;
    for (QAction* a : lobby->ListMenu->actions())
        menu << (a->isSeparator() ? QString("-") : a->text());
    EXPECT_EQ(menu, (QStringList{"Host Game", "Join Game", "Leave Game", "Game Settings", "Launch Game", "-",
                                 "Show All Players", "Invite Player", "Kick Player", "Send Message"}));
    // 103 blank lines to start with, then the two status lines of the connection.
    EXPECT_EQ(lobby->mainchat->document()->blockCount(), 105);
    EXPECT_EQ(lobby->subchat->document()->blockCount(), 72);
}

TEST_F(LobbyTest, BadFramesAreDroppedAndAStreamOutOfStepReconnects)
{
    StartLobby();
    JoinAs(1);
    // A frame without a record type: dropped with a status line, the next one handled.
    std::string text = std::string("\\player\\0\\cmparam\\") + '\0';
    lobby::CipherFrame(text.data(), text.size());
    const uint32_t n = uint32_t(text.size());
    master.SendRaw(std::string(reinterpret_cast<const char*>(&n), 4) + text);
    master.SendChat(0, 0, "after the bad frame");
    Settle();
    const QTextBlock last = lobby->mainchat->document()->lastBlock();
    EXPECT_EQ(last.text(), "after the bad frame");
    EXPECT_TRUE(last.previous().text().startsWith("Dropped data from the master"));

    // A length no record can have: the stream is out of step, so the
    // connection is dropped and the user asked to reconnect.
    dialogs.answers.push_back(platform::DialogResult::Yes);
    const int connections = master.Connections();
    master.SendRaw(std::string("\xff\xff\xff\x7f", 4) + std::string(100, 'x'));
    ASSERT_TRUE(WaitUntil([&] { return master.Connections() > connections; }));
    EXPECT_TRUE(dialogs.Saw("The server has disconnected or is not available, do you want to reconnect?"));
}

TEST_F(LobbyTest, ConfigureShowsTheDialogThenAsksForTheNameAgain)
{
    StartLobby();
    JoinAs(1);
    ClearSent();
    bool shown = false;
    modal = [&](QDialog& d) {
        shown = &d == lobby->config;
        lobby->config->SetNickText("Robert");
        return int(QDialog::Accepted);
    };
    lobby->SetConfig->trigger();
    ASSERT_GE(master.WaitFor(cmNameWanted), 0);
    EXPECT_TRUE(shown);
    auto names = Sent(cmNameWanted);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].param, "\\namewanted\\Robert");
    EXPECT_EQ(names[0].player, 1);
}

TEST_F(LobbyTest, LosingTheMasterClosesTheGamePaneAndNothingIsSentMeanwhile)
{
    StartLobby();
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 1));
    DeliverGame(TScriptedMaster::Game(1, 1, "Mine"));
    DeliverRefresh();
    ASSERT_TRUE(lobby->gamePaneOpen);

    bool asked = false;
    dialogs.onShow = [&](const platform::DialogRequest&) {
        asked = true;
        // While the question is open the window is not connected: configuring
        // sends nothing and shows no socket error.
        lobby->SetConfigExecute();
        return platform::DialogResult::No;
    };
    master.DropClient();
    ASSERT_TRUE(WaitUntil([&] { return asked; }));
    EXPECT_FALSE(lobby->gamePaneOpen);
    EXPECT_EQ(lobby->bottompanel->height(), 0);
    EXPECT_EQ(lobby->selfIndex, -1);
    EXPECT_EQ(lobby->players.size(), 1u);
    EXPECT_EQ(dialogs.shown.size(), 1u);
}
