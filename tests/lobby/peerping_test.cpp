// The peer ping: answers, averages and scheduling, with the window listening
// on a free port (peerping_port_test.cpp has the protocol's own).
#include "peerpingfixture.h"

#include <QListWidget>
#include <QTimer>

TEST_F(PeerPingTest, RequestsAreEchoedAndOtherDatagramsDropped)
{
    StartLobby();
    ASSERT_TRUE(PortIsOurs()) << "the peer ping is not listening";
    SendToLobby("\\num\\2\\key\\100\\time\\150");
    EXPECT_EQ(ReceiveAtPeer(), "\\reply\\\\\\num\\2\\key\\100\\time\\150");
    // Anything without the shape of a ping request gets no answer.
    SendToLobby("GET / HTTP/1.0\r\n\r\n");
    SendToLobby("\\num\\2\\key\\100\\time\\150" + std::string(200, 'x'));
    SendToLobby("\\num\\a\\key\\100\\time\\150");
    EXPECT_EQ(ReceiveAtPeer(300), "");
}

TEST_F(PeerPingTest, AnswersAverageIntoThePlayersPing)
{
    StartLobby();
    ASSERT_TRUE(PortIsOurs()) << "the peer ping is not listening";
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(2, "Far", 0, 0, "not-an-address"));
    PingSlot& slot = lobby->pingSlots[1];
    slot = PingSlot{4, 0, 2, 4242, 9999};
    const int rtts[4] = {40, 60, 50, 50};
    const int expected[4] = {40, 50, 50, 50};
    for (int k = 0; k < 4; ++k) {
        const uint32_t sent = platform::GetTickCount() - uint32_t(rtts[k]);
        SendToLobby("\\reply\\\\\\num\\1\\key\\4242\\time\\" + std::to_string(sent));
        ASSERT_TRUE(WaitUntil([&] { return slot.received == k + 1; }));
        // The tick may move on by a millisecond or two between sending and handling.
        EXPECT_GE(lobby->players[2].ping, expected[k]) << k;
        EXPECT_LE(lobby->players[2].ping, expected[k] + 3) << k;
    }
    EXPECT_EQ(slot.player, 0);   // the exchange is complete

    // Answers for another exchange, an unknown slot or a left player change nothing.
    slot = PingSlot{4, 0, 2, 7, 9999};
    SendToLobby("\\reply\\\\\\num\\1\\key\\8\\time\\1");
    SendToLobby("\\reply\\\\\\num\\9\\key\\7\\time\\1");
    SendToLobby("\\reply\\\\\\num\\-1\\key\\7\\time\\1");
    auto gone = TScriptedMaster::Player(2, "Far", 0, 0, "not-an-address");
    gone.active = 0;
    DeliverPlayer(gone);
    SendToLobby("\\reply\\\\\\num\\1\\key\\7\\time\\1");
    Pump(200);
    EXPECT_EQ(slot.received, 0);
    EXPECT_TRUE(dialogs.shown.empty());   // a bad slot number shows nothing to the user
}

TEST_F(PeerPingTest, SchedulingSpreadsExchangesOverPlayersAndSlots)
{
    StartLobby();
    JoinAs(1);
    lobby->pingtimer->stop();
    for (int i = 2; i <= 6; ++i)
        DeliverPlayer(TScriptedMaster::Player(i, "P" + std::to_string(i), 0, 0, "nowhere"));
    // Player 1 is the user, reached through this machine's address: let its
    // exchange run on its own and only look at the others.
    lobby->players[1].lastPingTick = platform::GetTickCount();
    lobby->pingCursor = 1;
    for (int k = 0; k < 5; ++k)
        lobby->SchedulePing();
    EXPECT_EQ(lobby->pingSlots[0].player, 2);
    EXPECT_EQ(lobby->pingSlots[1].player, 3);
    EXPECT_EQ(lobby->pingSlots[2].player, 4);
    EXPECT_EQ(lobby->pingSlots[3].player, 5);
    EXPECT_EQ(lobby->players[6].lastPingTick, 0u);   // four exchanges under way block a fifth
    EXPECT_EQ(lobby->pingCursor, 6);

    // A measured player does not qualify again for 15 seconds.
    lobby->pingSlots[0].player = 0;
    lobby->SchedulePing();
    EXPECT_EQ(lobby->pingSlots[0].player, 6);
    lobby->pingSlots[0].player = 0;
    lobby->SchedulePing();
    lobby->SchedulePing();
    EXPECT_EQ(lobby->pingSlots[0].player, 0);
    EXPECT_EQ(lobby->pingCursor, int32_t(lobby->players.size()));

    // Slots older than 2 seconds are taken again.
    for (auto& s : lobby->pingSlots)
        s.key -= 2500;
    lobby->players[2].lastPingTick -= 20000;
    lobby->SchedulePing();
    EXPECT_EQ(lobby->pingSlots[0].player, 2);
}

TEST_F(PeerPingTest, TickArithmeticSurvivesTheWrap)
{
    // Just before the counter wraps.
    platform::SetTickOffset(0u - platform::GetTickCount() - 1000u);
    StartLobby();
    JoinAs(1);
    lobby->pingtimer->stop();
    DeliverPlayer(TScriptedMaster::Player(2, "P2", 0, 0, "nowhere"));
    lobby->players[1].lastPingTick = platform::GetTickCount();
    lobby->players[2].lastPingTick = platform::GetTickCount() - 100;   // measured just now
    lobby->SchedulePing();
    EXPECT_EQ(lobby->pingSlots[0].player, 0);
    lobby->players[2].lastPingTick = platform::GetTickCount() - 16000;   // long ago, before the wrap
    lobby->SchedulePing();
    ASSERT_EQ(lobby->pingSlots[0].player, 2);
    // An exchange started before the wrap keeps its slot afterwards.
    Pump(1100);
    EXPECT_LT(platform::GetTickCount(), 1000000u);
    lobby->players[3 - 1].lastPingTick = 0;
    DeliverPlayer(TScriptedMaster::Player(3, "P3", 0, 0, "nowhere"));
    lobby->players[3].lastPingTick = platform::GetTickCount() - 20000;
    lobby->SchedulePing();
    EXPECT_EQ(lobby->pingSlots[0].player, 2);
    EXPECT_EQ(lobby->pingSlots[1].player, 3);

    // And an answer that crosses the wrap gives a small round trip.
    ASSERT_TRUE(PortIsOurs()) << "the peer ping is not listening";
    lobby->pingSlots[1].key = 99;
    const uint32_t sent = platform::GetTickCount() - 30;
    SendToLobby("\\reply\\\\\\num\\1\\key\\99\\time\\" + std::to_string(sent));
    ASSERT_TRUE(WaitUntil([&] { return lobby->pingSlots[1].received == 1; }));
    EXPECT_LT(lobby->players[3].ping, 40);
}
