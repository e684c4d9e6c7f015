// The lobby master's limits, each at its bound and one past it, and bad
// input from one client that must not touch the others.
#include "lobbytesthelpers.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <thread>

using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

std::string Prefix(uint32_t n)
{
    std::string p(4, '\0');
    for (int i = 0; i < 4; ++i)
        p[i] = char((n >> (8 * i)) & 0xFF);
    return p;
}

// A chat frame whose enciphered part is exactly `n` bytes.
std::string ChatFrameOfLength(uint32_t n)
{
    LobbyRecord r;
    r.type = cmChat;
    r.param = "\\chan\\0\\text\\";
    std::size_t base = lobby::BuildFrame(r).size() - 4;
    r.param.append(n - base, 'x');
    std::string frame = lobby::BuildFrame(r);
    EXPECT_EQ(frame.size() - 4, n);
    return frame;
}

} // namespace

// The rules of the keep-alive and the deadlines, on a clock of their own, are
// in lobbymaster_test.cpp; here they meet the server's real timer.
TEST(ParlevodLimits, KeepAliveAndNameDeadlineRunOnTheServersClock)
{
    TParlevodProcess server({"--keepalive", "300", "--name-deadline", "300"});
    auto mute = Join(server, "Mute");
    mute->autoPong = false;
    TLobbyTestClient unnamed;
    ASSERT_TRUE(unnamed.Connect(server.Port()));
    // The one that answers joins last and reads (and answers) from then on.
    auto live = Join(server, "Live");
    int32_t muteIndex = mute->SelfIndex();
    EXPECT_TRUE(WaitPlayer(*live, muteIndex, [](auto& p) { return !p.active; }, 3000));
    // Live keeps answering its own pings while the others are waited for.
    auto closedWhileLiveAnswers = [&](TLobbyTestClient& c) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end) {
            if (c.WaitClosed(20))
                return true;
            live->Drain(20);
        }
        return false;
    };
    EXPECT_TRUE(closedWhileLiveAnswers(*mute));
    EXPECT_TRUE(closedWhileLiveAnswers(unnamed));
    EXPECT_GE(CountType(live->History(), cmPing), 1);
    live->Send(cmChat, "\\chan\\0\\text\\still here");
    EXPECT_TRUE(live->WaitFor(cmChat));
}

TEST(ParlevodLimits, ConnectionsPerAddress)
{
    TParlevodProcess server({"--per-address", "2"});
    TLobbyTestClient a, b, c;
    ASSERT_TRUE(a.Connect(server.Port()));
    ASSERT_TRUE(b.Connect(server.Port()));
    EXPECT_GT(a.Name("A"), 0);
    EXPECT_GT(b.Name("B"), 0);
    ASSERT_TRUE(c.Connect(server.Port()));
    EXPECT_TRUE(WaitMessage(c));
    EXPECT_TRUE(c.WaitClosed());
    // A place freed is a place to take.
    a.Close();
    ASSERT_TRUE(server.WaitForLog("'A' left"));
    TLobbyTestClient d;
    ASSERT_TRUE(d.Connect(server.Port()));
    EXPECT_GT(d.Name("D"), 0);
}

TEST(ParlevodLimits, MaximumClients)
{
    TParlevodProcess server({"--max-clients", "3"});
    TLobbyTestClient c[4];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c[i].Connect(server.Port()));
        EXPECT_GT(c[i].Name("P" + std::to_string(i)), 0);
    }
    ASSERT_TRUE(c[3].Connect(server.Port()));
    EXPECT_EQ(WaitMessage(c[3]), "The lobby is full, please try again later.");
    EXPECT_TRUE(c[3].WaitClosed());
}

TEST(ParlevodLimits, ChatFloodIsWarnedAndNeverSlowsOthers)
{
    TParlevodProcess server({"--chat-burst", "3", "--chat-rate", "0.01"});
    auto flooder = Join(server, "Flooder");
    auto calm = Join(server, "Calm");
    for (int i = 0; i < 6; ++i)
        flooder->Send(cmChat, "\\chan\\0\\text\\line " + std::to_string(i));
    EXPECT_EQ(WaitMessage(*flooder), "You are sending messages too fast; lines are being dropped.");
    calm->Send(cmChat, "\\chan\\0\\text\\calm line");
    ASSERT_TRUE(calm->WaitFor(cmChat, 2000, [](auto& r) { return LookupValue(r.param, "text") == "Calm: calm line"; }));
    EXPECT_EQ(CountType(calm->History(), cmChat), 4);   // the burst, and not one more
}

TEST(ParlevodLimits, FloodLimitCanBeTurnedOff)
{
    TParlevodProcess server({"--no-flood-limit"});
    auto fast = Join(server, "Fast");
    auto reader = Join(server, "Reader");
    for (int i = 0; i < 50; ++i)
        fast->Send(cmChat, "\\chan\\0\\text\\" + std::to_string(i));
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(reader->WaitFor(cmChat)) << i;
    EXPECT_EQ(CountType(fast->Drain(200), cmMessage), 0);
}

TEST(ParlevodLimits, FrameSizeAtTheLimitAndOnePast)
{
    TParlevodProcess server({"--max-frame", "1024", "--max-text", "1024"});
    auto good = Join(server, "Good");
    auto big = Join(server, "Big");
    big->SendRaw(ChatFrameOfLength(1024));
    EXPECT_TRUE(good->WaitFor(cmChat));
    big->SendRaw(ChatFrameOfLength(1025));
    EXPECT_TRUE(WaitPlayer(*good, big->SelfIndex(), [](auto& p) { return !p.active; }));
    EXPECT_TRUE(big->WaitClosed());
    good->Send(cmChat, "\\chan\\0\\text\\fine");
    EXPECT_TRUE(good->WaitFor(cmChat, 2000, [](auto& r) { return LookupValue(r.param, "text") == "Good: fine"; }));
}

TEST(ParlevodLimits, HugeOrNegativeLengthsAndTypelessFramesHarmNobodyElse)
{
    TParlevodProcess server;
    auto good = Join(server, "Good");
    // A frame without a type is passed over; the connection goes on.
    auto sloppy = Join(server, "Sloppy");
    std::string junk = std::string("\\player\\1\\cmparam\\\\text\\x") + '\0';
    lobby::CipherFrame(junk.data(), junk.size());
    sloppy->SendRaw(Prefix(uint32_t(junk.size())) + junk + Prefix(0));
    sloppy->Send(cmChat, "\\chan\\0\\text\\after junk");
    EXPECT_TRUE(good->WaitFor(cmChat, 2000, [](auto& r) { return LookupValue(r.param, "text") == "Sloppy: after junk"; }));

    for (uint32_t n : {0xFFFFFFFFu, 0x7FFFFFFFu}) {
        TLobbyTestClient bad;
        ASSERT_TRUE(bad.Connect(server.Port()));
        ASSERT_GT(bad.Name("Bad"), 0);
        bad.SendRaw(Prefix(n) + "garbage");
        EXPECT_TRUE(bad.WaitClosed());
        EXPECT_TRUE(WaitPlayer(*good, bad.SelfIndex(), [](auto& p) { return !p.active; }));
    }
    good->Send(cmChat, "\\chan\\0\\text\\ok");
    EXPECT_TRUE(good->WaitFor(cmChat, 2000, [](auto& r) { return LookupValue(r.param, "text") == "Good: ok"; }));
}

TEST(ParlevodLimits, SlowReaderIsDroppedWhileOthersKeepReceiving)
{
    TParlevodProcess server({"--send-queue", "16384", "--no-flood-limit", "--max-text", "1000"});
    auto talker = Join(server, "Talker");
    auto reader = Join(server, "Reader");
    // The slow reader never reads; its socket buffers fill, then the server's queue.
    TLobbyTestClient slow;
    int small = 4096;
    ASSERT_TRUE(slow.Connect(server.Port()));
    setsockopt(slow.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_GT(slow.Name("Slow"), 0);
    int32_t slowIndex = slow.SelfIndex();

    // Loopback send buffers grow to megabytes: keep talking until the slow
    // reader is gone (bounded), and a while after.
    std::string line(1000, 'z');
    const int maxLines = 16000;
    int received = 0, lines = 0, after = 0;
    bool slowGone = false;
    for (int i = 0; i < maxLines && after < 200; ++i, ++lines) {
        if (slowGone)
            ++after;
        talker->Send(cmChat, "\\chan\\0\\text\\" + line);
        // The talker takes its own lines back as they come: it is no slow
        // reader, however little the kernel buffers for it.
        while (talker->Receive(0)) {
        }
        // The reader keeps up the whole time.
        while (received < i + 1) {
            auto r = reader->Receive(2000);
            ASSERT_TRUE(r) << "reader stalled after " << received;
            if (r->type == cmChat)
                ++received;
            else if (r->type == cmPlayer && PlayerOf(*r).index == slowIndex && !PlayerOf(*r).active)
                slowGone = true;
        }
    }
    EXPECT_EQ(received, lines);
    EXPECT_TRUE(slowGone);
    EXPECT_EQ(after, 200);
    EXPECT_NE(server.LogText().find("slow reader"), std::string::npos);
}

TEST(ParlevodLimits, ANewcomerIsGivenTheWholeLobbyEvenWhenItPassesTheSendQueue)
{
    // 40 players' records are ~5.6 KB: above a 4 KiB queue, yet a newcomer
    // must get them all, and the server must go on for everyone.
    TParlevodProcess server({"--send-queue", "4096"});
    std::vector<TClientPtr> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(Join(server, "p" + std::to_string(i)));
    auto late = Join(server, "Late");
    EXPECT_GE(CountType(late->History(), cmPlayer), 41);
    EXPECT_TRUE(server.Running());
    late->Send(cmChat, "\\chan\\0\\text\\hi");
    EXPECT_TRUE(clients[0]->WaitFor(cmChat));
}

TEST(ParlevodLimits, AStreamOfMalformedFramesEndsTheConnectionWithAFewLogLines)
{
    TParlevodProcess server;
    auto good = Join(server, "Good");
    for (bool named : {true, false}) {
        TLobbyTestClient bad;
        ASSERT_TRUE(bad.Connect(server.Port()));
        if (named) {
            ASSERT_GT(bad.Name("Bad"), 0);
        }
        // Zero-length frames, and frames that decipher to no record.
        std::string junk;
        for (int i = 0; i < 5000; ++i)
            junk += i % 2 ? Prefix(0) : Prefix(3) + "abc";
        bad.SendRaw(junk);
        EXPECT_TRUE(bad.WaitClosed(5000));
    }
    ASSERT_TRUE(server.WaitForLog("malformed frames"));
    good->Send(cmChat, "\\chan\\0\\text\\fine");
    EXPECT_TRUE(good->WaitFor(cmChat, 2000, [](auto& r) { return LookupValue(r.param, "text") == "Good: fine"; }));
    const std::string log = server.LogText();
    EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 40) << log;
}

TEST(ParlevodLimits, AClientOverItsInputBudgetIsReadLaterNotLost)
{
    // Ten frames at once, then ten a second: thirty chat lines sent at once
    // take two seconds to be read, and all arrive, in order.
    TParlevodProcess server({"--frame-burst", "10", "--frame-rate", "10", "--chat-burst", "100", "--chat-rate", "100"});
    auto fast = Join(server, "Fast");
    auto reader = Join(server, "Reader");
    std::string burst;
    for (int i = 0; i < 30; ++i)
        burst += lobby::BuildFrame(LobbyRecord{cmChat, fast->SelfIndex(), "\\chan\\0\\text\\" + std::to_string(i)});
    const auto sent = steady_clock::now();
    fast->SendRaw(burst);
    for (int i = 0; i < 30; ++i) {
        auto line = reader->WaitFor(cmChat, 5000);
        ASSERT_TRUE(line) << i;
        EXPECT_EQ(LookupValue(line->param, "text"), "Fast: " + std::to_string(i));
        if (i == 29) {   // the last one waited for the budget to refill
            EXPECT_GE(steady_clock::now() - sent, milliseconds(1500));
        }
    }
    EXPECT_TRUE(fast->Connected());
}

TEST(ParlevodLimits, ANewcomerToAFullLobbyReplacesTheOldestUnnamedConnection)
{
    TParlevodProcess server({"--max-clients", "4"});
    auto player = Join(server, "Player");
    TLobbyTestClient silent[3];
    for (auto& s : silent) {
        ASSERT_TRUE(s.Connect(server.Port()));
        ASSERT_TRUE(server.WaitForLog("connection " + std::to_string(&s - silent + 2) + " from"));
    }
    // The table is full of players and connections that never say who they
    // are: the oldest of those makes room.
    auto newcomer = Join(server, "Newcomer");
    EXPECT_TRUE(silent[0].WaitClosed());
    EXPECT_TRUE(WaitPlayer(*player, newcomer->SelfIndex(), [](auto& p) { return p.active; }));
    auto next = Join(server, "Next");
    EXPECT_TRUE(silent[1].WaitClosed());
    EXPECT_GT(silent[2].Name("Third"), 0);
    // Now everyone has a name: a newcomer is told the lobby is full.
    TLobbyTestClient late;
    ASSERT_TRUE(late.Connect(server.Port()));
    EXPECT_EQ(WaitMessage(late), "The lobby is full, please try again later.");
    EXPECT_TRUE(late.WaitClosed());
    player->Send(cmChat, "\\chan\\0\\text\\still in");
    EXPECT_TRUE(player->WaitFor(cmChat));
}

TEST(ParlevodLimits, ARenameStormWaitsAsOneRecordForAReaderThatHasStopped)
{
    TParlevodProcess server({"--no-flood-limit", "--send-queue", "4096"});
    auto renamer = Join(server, "Renamer");
    TLobbyTestClient stalled;
    int small = 4096;
    ASSERT_TRUE(stalled.Connect(server.Port()));
    setsockopt(stalled.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_GT(stalled.Name("Stalled"), 0);
    stalled.ClearHistory();
    // Far more renames than the socket buffers hold, while the reader reads nothing.
    constexpr int kRenames = 30000;
    std::string burst;
    for (int i = 0; i < kRenames; ++i)
        burst += lobby::BuildFrame(LobbyRecord{cmNameWanted, renamer->SelfIndex(),
                                               "\\namewanted\\R" + std::to_string(i)});
    renamer->SendRaw(burst);
    const std::string last = "R" + std::to_string(kRenames - 1);
    ASSERT_TRUE(WaitPlayer(*renamer, renamer->SelfIndex(), [&](auto& p) { return p.Name() == last; }, 60000));
    // Now it reads: it is still there, it ends with the last name, and it
    // was sent far fewer records than there were renames.
    auto final = WaitPlayer(stalled, renamer->SelfIndex(), [&](auto& p) { return p.Name() == last; }, 10000);
    ASSERT_TRUE(final);
    EXPECT_LT(CountType(stalled.History(), cmPlayer), kRenames / 2);
    EXPECT_TRUE(stalled.Connected());
    EXPECT_EQ(server.LogText().find("slow reader"), std::string::npos);
}

TEST(ParlevodLimits, AReaderIsSlowWhenItsQueueWaitsTooLongNotWhenItIsLong)
{
    TParlevodProcess server({"--no-flood-limit", "--send-queue", "100000000", "--send-wait", "500", "--max-text", "1000"});
    auto talker = Join(server, "Talker");
    TLobbyTestClient stuck;
    int small = 4096;
    ASSERT_TRUE(stuck.Connect(server.Port()));
    setsockopt(stuck.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_GT(stuck.Name("Stuck"), 0);
    int32_t stuckIndex = stuck.SelfIndex();
    // The talker reads its own lines back; the stuck reader reads nothing.
    std::string line(1000, 'z');
    bool gone = false;
    const auto start = steady_clock::now();
    for (int i = 0; i < 20000 && !gone; ++i) {
        talker->Send(cmChat, "\\chan\\0\\text\\" + line);
        while (auto r = talker->Receive(i % 100 == 0 ? 5 : 0))
            if (r->type == cmPlayer && PlayerOf(*r).index == stuckIndex && !PlayerOf(*r).active)
                gone = true;
    }
    if (!gone)
        gone = WaitPlayer(*talker, stuckIndex, [](auto& p) { return !p.active; }, 5000).has_value();
    EXPECT_TRUE(gone);
    EXPECT_GE(steady_clock::now() - start, milliseconds(500));
    EXPECT_NE(server.LogText().find("slow reader: a frame waited"), std::string::npos);
}

TEST(ParlevodLimits, AClientThatOutpacesItsInputBudgetAllAlongIsDropped)
{
    TParlevodProcess server({"--input-flood", "500"});
    auto calm = Join(server, "Calm");
    auto flooder = Join(server, "Flooder");
    timeval patience{2, 0};
    setsockopt(flooder->Fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    std::string pongs;
    while (pongs.size() < 64 * 1024)
        pongs += lobby::BuildFrame(LobbyRecord{cmPong, flooder->SelfIndex(), ""});
    const auto start = steady_clock::now();
    bool refused = false;
    while (!refused && steady_clock::now() - start < milliseconds(20000))
        refused = !flooder->SendRaw(pongs);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(WaitPlayer(*calm, flooder->SelfIndex(), [](auto& p) { return !p.active; }));
    EXPECT_NE(server.LogText().find("input flood"), std::string::npos);
    calm->Send(cmChat, "\\chan\\0\\text\\calm again");
    EXPECT_TRUE(calm->WaitFor(cmChat, 2000, [](auto& r) { return LookupValue(r.param, "text") == "Calm: calm again"; }));
}
