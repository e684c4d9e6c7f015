#include "netns.h"
#include "net/Pinger.h"

#include "platform/eventloop.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using platform::ProcessEventsUntil;

namespace {

// Outcome of one measurement as the updater sees it.
struct Measurement {
    int replies = 0; // OnReply calls
    int replyTime = -1;
    std::vector<int> errors;
    qint64 elapsedMs = 0;
    int socketType = 0; // of the socket while the measurement ran
};

// Starts a measurement and waits for its end (or for `waitMs`). `ns`, when
// given, is the namespace whose network the pinger's socket lives in.
Measurement Measure(TPinger& p, int waitMs, const TestNetns* ns = nullptr)
{
    Measurement m;
    p.OnReply = [&](TCustomWSockets* s) {
        ++m.replies;
        m.replyTime = static_cast<TPinger*>(s)->ReplyTime;
    };
    p.OnError = [&](TCustomWSockets*, int code, const std::string&) { m.errors.push_back(code); };
    QElapsedTimer clock;
    clock.start();
    if (ns) {
        TestNetns::Inside inside(*ns);
        EXPECT_TRUE(inside.ok());
        p.Ping();
    } else {
        p.Ping();
    }
    if (p.Socket() != InvalidSocket) {
        socklen_t len = sizeof m.socketType;
        ::getsockopt(static_cast<int>(p.Socket()), SOL_SOCKET, SO_TYPE, &m.socketType, &len);
    }
    ProcessEventsUntil([&] { return m.replies > 0 || !m.errors.empty(); }, waitMs);
    m.elapsedMs = clock.elapsed();
    // Anything late (a second OnReply) would show up now.
    ProcessEventsUntil([] { return false; }, 50);
    p.OnReply = nullptr;
    p.OnError = nullptr;
    return m;
}

bool CanOpen(int type)
{
    int fd = ::socket(AF_INET, type, IPPROTO_ICMP);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

TEST(EchoRequest, BytesMatchAHandComputedExample)
{
    auto p = BuildEchoRequest(1000, 1000, 0x12345678);
    ASSERT_EQ(p.size(), 45u);
    // Words, low byte first: 0x0008 + 0 + 0x03E8 + 0x03E8 + 0x7800 + 0x3456
    // + 0x2012 + (0x2221 + 0x2423 + ... + 0x3E3D = 0x2D2C1) + 0x003F
    // = 0x3A740; folded 0xA743; complemented 0x58BC, stored BC 58.
    const uint8_t expected[45] = {0x08, 0x00, 0xBC, 0x58, 0xE8, 0x03, 0xE8, 0x03, 0x00, 0x78, 0x56, 0x34,
                                  0x12, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A,
                                  0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36,
                                  0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F};
    for (int i = 0; i < 45; ++i)
        EXPECT_EQ(p[i], expected[i]) << "byte " << i;
    // A correct checksum makes the sum over the whole message all ones.
    for (auto [id, seq, tick] : {std::tuple{0xFFFF, 0xFFFF, 0xFFFFFFFFu}, {1, 2, 3u}, {65535, 0, 0x80000000u}}) {
        auto q = BuildEchoRequest(static_cast<uint16_t>(id), static_cast<uint16_t>(seq), tick);
        EXPECT_EQ(InternetChecksum(q.data(), q.size()), 0) << id << " " << seq << " " << tick;
    }
    // An odd last byte is the low byte of its word.
    const uint8_t odd[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(InternetChecksum(odd, 3), static_cast<uint16_t>(~(0x0201 + 0x0003)));
    const uint8_t carry[4] = {0xFF, 0xFF, 0x01, 0x00};
    EXPECT_EQ(InternetChecksum(carry, 4), static_cast<uint16_t>(~0x0001));
}

TEST(Pinger, DefaultsAndCountersShared)
{
    TPinger a, b;
    EXPECT_EQ(a.NPings, 4);
    EXPECT_EQ(a.Timeout, 3000);
    EXPECT_EQ(a.State(), ssClosed);
    EXPECT_EQ(TPinger::NextIdentifier(), TPinger::NextSequence());
    uint16_t before = TPinger::NextSequence();
    a.Host = b.Host = "127.0.0.1";
    a.Ping();
    if (a.Socket() == InvalidSocket)
        GTEST_SKIP() << "no ICMP socket can be opened here (error " << a.LastError() << ")";
    b.NPings = 3;
    b.Ping();
    EXPECT_EQ(TPinger::NextSequence(), static_cast<uint16_t>(before + 7));
    EXPECT_EQ(TPinger::NextIdentifier(), TPinger::NextSequence());
}

TEST(Pinger, LoopbackAnswersWithinTheLimit)
{
    TPinger p;
    p.Host = "127.0.0.1";
    p.Timeout = 2000;
    bool any = CanOpen(SOCK_RAW) || CanOpen(SOCK_DGRAM);
    Measurement m = Measure(p, 5000);
    if (!any) {
        // Neither socket is allowed: the measurement does not start.
        EXPECT_EQ(m.errors, std::vector<int>{10013});
        EXPECT_EQ(m.replies, 0);
        GTEST_SKIP() << "no ICMP socket allowed for this user; checked that the error is reported";
    }
    EXPECT_TRUE(m.errors.empty());
    ASSERT_EQ(m.replies, 1);
    EXPECT_LT(m.replyTime, 9999);
    EXPECT_GE(m.replyTime, 0);
    EXPECT_LT(m.elapsedMs, 2000);
    EXPECT_EQ(p.State(), ssClosed);
    EXPECT_EQ(p.Socket(), InvalidSocket);
}

TEST(Pinger, RestartWhileRunningReportsOnce)
{
    TPinger p;
    p.Host = "127.0.0.1";
    p.Timeout = 1000;
    int replies = 0;
    p.OnReply = [&](TCustomWSockets*) { ++replies; };
    p.Ping();
    if (p.Socket() == InvalidSocket)
        GTEST_SKIP() << "no ICMP socket can be opened here";
    p.Ping(); // the first burst's replies fall outside the new range
    ProcessEventsUntil([&] { return replies > 0; }, 3000);
    ProcessEventsUntil([] { return false; }, 1200);
    EXPECT_EQ(replies, 1);
    EXPECT_LT(p.ReplyTime, 9999);
}

TEST(Pinger, WithoutAnyIcmpSocketNothingStarts)
{
    if (CanOpen(SOCK_DGRAM))
        GTEST_SKIP() << "unprivileged ICMP sockets are allowed here; the refusal cannot be shown";
    TPinger p;
    p.UseRawSocket = false; // as for a user without the raw-socket privilege
    p.Host = "127.0.0.1";
    p.Timeout = 200;
    Measurement m = Measure(p, 600);
    EXPECT_EQ(m.errors, std::vector<int>{10013});
    EXPECT_EQ(m.replies, 0);
    EXPECT_EQ(p.State(), ssClosed);
    EXPECT_EQ(p.LastError(), 10013);
}

// Runs in a namespace of its own where unprivileged echo sockets are allowed
// and, for `silent`, the loopback never answers echo requests.
class PingerNetns : public ::testing::TestWithParam<bool> {};

TEST_P(PingerNetns, NoReplyGives9999AfterTheTimeout)
{
    TestNetns ns({"net.ipv4.icmp_echo_ignore_all=1", "net.ipv4.ping_group_range=0 2147483647"});
    if (!ns.ok())
        GTEST_SKIP() << "needs a network namespace: " << ns.why();
    TPinger p;
    p.UseRawSocket = GetParam();
    p.Host = "127.0.0.1";
    p.Timeout = 400;
    Measurement m = Measure(p, 3000, &ns);
    EXPECT_EQ(m.socketType, GetParam() ? SOCK_RAW : SOCK_DGRAM);
    EXPECT_TRUE(m.errors.empty());
    ASSERT_EQ(m.replies, 1);
    EXPECT_EQ(m.replyTime, 9999);
    EXPECT_GE(m.elapsedMs, 399); // never before the limit
    EXPECT_EQ(p.State(), ssClosed);
}

TEST_P(PingerNetns, RepliesCountTheSameOnEitherSocket)
{
    TestNetns ns({"net.ipv4.ping_group_range=0 2147483647"});
    if (!ns.ok())
        GTEST_SKIP() << "needs a network namespace: " << ns.why();
    TPinger p;
    p.UseRawSocket = GetParam();
    p.Host = "127.0.0.1";
    p.NPings = 6;
    p.Timeout = 2000;
    Measurement m = Measure(p, 5000, &ns);
    EXPECT_EQ(m.socketType, GetParam() ? SOCK_RAW : SOCK_DGRAM);
    EXPECT_TRUE(m.errors.empty());
    ASSERT_EQ(m.replies, 1);
    EXPECT_LT(m.replyTime, 9999);
    EXPECT_LT(m.elapsedMs, 2000); // all six in: finished before the limit
}

TEST_P(PingerNetns, UnresolvableHostDoesNotStart)
{
    // Inside the namespace no name server can be reached, so the look-up
    // fails without any traffic leaving the machine.
    TestNetns ns({"net.ipv4.ping_group_range=0 2147483647"});
    if (!ns.ok())
        GTEST_SKIP() << "needs a network namespace: " << ns.why();
    TPinger p;
    p.UseRawSocket = GetParam();
    p.Host = "no-such-host.invalid";
    p.Timeout = 200;
    Measurement m = Measure(p, 15000, &ns);
    ASSERT_EQ(m.errors.size(), 1u);
    EXPECT_GE(m.errors[0], 11001);
    EXPECT_LE(m.errors[0], 11004);
    EXPECT_EQ(m.replies, 0);
    EXPECT_EQ(p.Socket(), InvalidSocket);
}

INSTANTIATE_TEST_SUITE_P(Sockets, PingerNetns, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Raw" : "Datagram"; });
