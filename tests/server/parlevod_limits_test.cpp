// The lobby master's limits, each at its bound and one past it, and bad
// input from one client that must not touch the others.
#include "lobbytesthelpers.h"

#include <sys/socket.h>

#include <chrono>
#include <thread>

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

TEST(ParlevodLimits, KeepAlivePingsAndDropsTheSilent)
{
    TParlevodProcess server({"--keepalive", "150"});
    auto live = Join(server, "Live");
    auto mute = Join(server, "Mute");
    mute->autoPong = false;
    int32_t muteIndex = mute->SelfIndex();
    // The answering client outlives several periods; the silent one is gone
    // after two, and the others are told.
    EXPECT_TRUE(WaitPlayer(*live, muteIndex, [](auto& p) { return !p.active; }, 1500));
    EXPECT_TRUE(mute->WaitClosed(500));
    mute->Drain(0);
    EXPECT_GE(CountType(mute->History(), cmPing), 1);
    auto more = live->Drain(400);
    EXPECT_GE(CountType(more, cmPing), 1);
    live->Send(cmChat, "\\chan\\0\\text\\still here");
    EXPECT_TRUE(live->WaitFor(cmChat));
}

TEST(ParlevodLimits, NameDeadline)
{
    TParlevodProcess server({"--name-deadline", "300"});
    TLobbyTestClient unnamed, late;
    ASSERT_TRUE(unnamed.Connect(server.Port()));
    ASSERT_TRUE(late.Connect(server.Port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_GT(late.Name("JustInTime"), 0);
    EXPECT_TRUE(unnamed.WaitClosed(1500));
    EXPECT_EQ(CountType(late.Drain(300), cmMessage), 0);
    EXPECT_TRUE(late.Connected());
    late.Send(cmChat, "\\chan\\0\\text\\x");
    EXPECT_TRUE(late.WaitFor(cmChat));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
    TParlevodProcess server({"--chat-burst", "3", "--chat-rate", "1"});
    auto flooder = Join(server, "Flooder");
    auto calm = Join(server, "Calm");
    for (int i = 0; i < 6; ++i)
        flooder->Send(cmChat, "\\chan\\0\\text\\line " + std::to_string(i));
    calm->Send(cmChat, "\\chan\\0\\text\\calm line");
    auto got = calm->Drain(400);
    int flooded = 0;
    bool calmLine = false;
    for (auto& r : got)
        if (r.type == cmChat) {
            std::string text = LookupValue(r.param, "text");
            flooded += text.rfind("Flooder:", 0) == 0;
            calmLine |= text == "Calm: calm line";
        }
    EXPECT_EQ(flooded, 3);   // the burst, and not one more
    EXPECT_TRUE(calmLine);
    auto toFlooder = flooder->Drain(200);
    EXPECT_EQ(CountType(toFlooder, cmMessage), 1);   // warned once per run
    // The bucket refills.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    flooder->Send(cmChat, "\\chan\\0\\text\\again");
    EXPECT_TRUE(calm->WaitFor(cmChat, 1000, [](auto& r) { return LookupValue(r.param, "text") == "Flooder: again"; }));
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
    TParlevodProcess server({"--max-frame", "1024"});
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
    TParlevodProcess server({"--send-queue", "16384", "--no-flood-limit"});
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
        talker->Drain(0);   // the talker reads its own echoes: only one reader is slow
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
