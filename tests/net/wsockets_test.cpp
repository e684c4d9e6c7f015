#include "loopback.h"
#include "support/tempdir.h"
#include "net/WSockets.h"
#include "net/winsockcodes.h"

#include "text/errors.h"
#include "platform/eventloop.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

using platform::ProcessEventsUntil;

namespace {

// Records the events of a component as short texts, in order.
struct EventLog {
    std::vector<std::string> events;
    std::vector<int> errors;

    void Watch(TTCPClient& c)
    {
        c.OnConnect = [this](TCustomWSockets*, TSocket) { events.push_back("connect"); };
        c.OnClose = [this](TCustomWSockets*, TSocket) { events.push_back("close"); };
        WatchErrors(c);
    }
    void WatchErrors(TCustomWSockets& c)
    {
        c.OnError = [this](TCustomWSockets*, int code, const std::string& msg) {
            errors.push_back(code);
            events.push_back("error " + std::to_string(code) + " " + msg);
        };
    }
    bool Has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }
};

// A TTCPClient connected to a fresh listener; `peer` is the accepted end.
struct Connected {
    LoopbackListener listener;
    TTCPClient client;
    EventLog log;
    std::string received;
    int peer = -1;

    Connected()
    {
        log.Watch(client);
        client.OnData = [this](TCustomWSockets* s, TSocket sock) {
            log.events.push_back("data");
            while (s->BytesAvailable(sock) > 0)
                received += s->ReadText(sock);
        };
        client.Host = "127.0.0.1";
        client.Port = std::to_string(listener.port());
        client.Open();
        peer = listener.Accept();
        ProcessEventsUntil([&] { return client.State() == ssConnected; }, 5000);
    }
    ~Connected()
    {
        if (peer >= 0)
            ::close(peer);
    }
};

} // namespace

TEST(SocketErrors, TextsAndSystemCodes)
{
    EXPECT_EQ(TCustomWSockets::ErrorText(10035), "Operation would block");
    EXPECT_EQ(TCustomWSockets::ErrorText(10059), "Too many references:can't splice");
    EXPECT_EQ(TCustomWSockets::ErrorText(10061), "Connection refused");
    EXPECT_EQ(TCustomWSockets::ErrorText(10092), "Winsock DLL cannot support this application");
    EXPECT_EQ(TCustomWSockets::ErrorText(11002), "Non authoritative - host not found");
    EXPECT_EQ(TCustomWSockets::ErrorText(11004), "Valid name, no data record of requested type");
    for (int unknown : {0, 5, 10000, 10072, 10090, 11000, 11005})
        EXPECT_EQ(TCustomWSockets::ErrorText(unknown), "Not a Winsock error") << unknown;
    // Every code of the table has its own text.
    for (int code = 10004; code <= 11004; ++code) {
        bool listed = code == 10004 || code == 10009 || (code >= 10013 && code <= 10014) || code == 10022 ||
                      code == 10024 || (code >= 10035 && code <= 10071) || (code >= 10091 && code <= 10093) ||
                      code >= 11001;
        EXPECT_EQ(TCustomWSockets::ErrorText(code) != "Not a Winsock error", listed) << code;
    }

    // The codes the lobby's rules test for.
    EXPECT_EQ(wsock::FromErrno(EAGAIN), 10035);
    EXPECT_EQ(wsock::FromErrno(EINPROGRESS), 10035);
    EXPECT_EQ(wsock::FromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(wsock::FromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(wsock::FromErrno(ENETDOWN), 10050);
    EXPECT_EQ(wsock::FromErrno(ENOTCONN), 10057);
    EXPECT_EQ(wsock::FromErrno(ENOPROTOOPT), 10042);
    EXPECT_EQ(wsock::FromErrno(EPERM), 10013);
    EXPECT_EQ(wsock::FromResolver(EAI_NONAME, 0), 11001);
    EXPECT_EQ(wsock::FromResolver(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(wsock::FromResolver(EAI_FAIL, 0), 11003);
    EXPECT_EQ(wsock::FromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(SocketErrors, ReportStoresAndFiresOnlyWhenAssigned)
{
    TTCPClient c;
    c.ReportSocketError(10054);
    EXPECT_EQ(c.LastError(), 10054);
    TCustomWSockets* sender = nullptr;
    std::string text;
    c.OnError = [&](TCustomWSockets* s, int code, const std::string& msg) {
        sender = s;
        text = std::to_string(code) + " " + msg;
    };
    c.ReportSocketError(10060);
    EXPECT_EQ(sender, &c);
    EXPECT_EQ(text, "10060 Connection timed out");
    EXPECT_EQ(c.LastError(), 10060);
}

TEST(Resolve, ServicesNumbersAndBroadcast)
{
    TTCPClient tcp;
    EventLog log;
    log.WatchErrors(tcp);
    sockaddr_in a;
    ASSERT_TRUE(tcp.ResolveAddress("127.0.0.1", "ftp", a));
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(ntohs(a.sin_port), 21);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    ASSERT_TRUE(tcp.ResolveAddress("10.1.2.3", "29001", a));
    EXPECT_EQ(ntohs(a.sin_port), 29001);
    EXPECT_EQ(a.sin_addr.s_addr, inet_addr("10.1.2.3"));

    ASSERT_TRUE(tcp.ResolveAddress("255.255.255.255", "15321", a));
    EXPECT_EQ(a.sin_addr.s_addr, INADDR_BROADCAST);

    ASSERT_TRUE(tcp.ResolveAddress("localhost", "80", a)); // through the hosts file
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    ASSERT_TRUE(tcp.ResolvePort("ftp", a));
    EXPECT_EQ(ntohs(a.sin_port), 21);
    EXPECT_EQ(a.sin_addr.s_addr, INADDR_ANY);

    // Service names are looked up for the component's own protocol.
    TUDPServer udp;
    ASSERT_TRUE(udp.ResolvePort("ntp", a));
    EXPECT_EQ(ntohs(a.sin_port), 123);
    EXPECT_TRUE(log.errors.empty());
}

TEST(Resolve, NonNumericPortRaisesTheConversionError)
{
    TTCPClient tcp;
    sockaddr_in a;
    try {
        tcp.ResolveAddress("127.0.0.1", "x", a);
        FAIL() << "no error raised";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
    }
    tcp.Host = "127.0.0.1";
    tcp.Port = "x";
    EXPECT_THROW(tcp.Open(), EConvertError);
    EXPECT_EQ(tcp.State(), ssClosed);
    EXPECT_EQ(tcp.Socket(), InvalidSocket);
}

TEST(TcpClient, RefusedConnectReportsAndNeverConnects)
{
    TTCPClient c;
    EventLog log;
    log.Watch(c);
    EXPECT_EQ(c.State(), ssClosed);
    c.Host = "127.0.0.1";
    c.Port = std::to_string(UnusedTcpPort());
    c.Open();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !log.errors.empty(); }, 5000));
    ProcessEventsUntil([] { return false; }, 100);
    EXPECT_EQ(log.events, std::vector<std::string>{"error 10061 Connection refused"});
    EXPECT_EQ(c.LastError(), 10061);
    EXPECT_EQ(c.State(), ssOpening);
    c.Close();
    EXPECT_EQ(c.State(), ssClosed);
    EXPECT_EQ(log.events.size(), 1u);
}

TEST(TcpClient, ConnectsThenDeliversEachPieceInOrderThenClose)
{
    Connected t;
    ASSERT_EQ(t.client.State(), ssConnected);
    ASSERT_GE(t.peer, 0);
    EXPECT_EQ(t.log.events, std::vector<std::string>{"connect"});

    // One piece at a time: each is announced by its own OnData.
    std::string expected;
    for (std::string piece : {std::string("\\cmtype\\"), std::string("first piece"), std::string(5000, 'z')}) {
        std::size_t before = t.log.events.size();
        ASSERT_TRUE(WriteAll(t.peer, piece));
        expected += piece;
        ASSERT_TRUE(ProcessEventsUntil([&] { return t.received.size() == expected.size(); }, 5000));
        EXPECT_GT(t.log.events.size(), before);
    }
    EXPECT_EQ(t.received, expected);

    ::close(t.peer);
    t.peer = -1;
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.log.Has("close"); }, 5000));
    EXPECT_EQ(t.log.events.back(), "close");
    EXPECT_EQ(t.client.State(), ssClosed);
    EXPECT_EQ(t.client.Socket(), InvalidSocket);
    EXPECT_TRUE(t.log.errors.empty());
}

TEST(TcpClient, ReaderLoopCollectsAMegabyteInRandomPieces)
{
    Connected t;
    ASSERT_EQ(t.client.State(), ssConnected);
    const std::string data = RandomBytes(1 << 20, 7);
    int peer = t.peer;
    std::thread writer([&data, peer] {
        std::mt19937 rng(11);
        std::size_t at = 0;
        while (at < data.size()) {
            std::size_t n = std::min<std::size_t>(data.size() - at, 1 + rng() % 20000);
            if (!WriteAll(peer, data.substr(at, n)))
                return;
            at += n;
            if (rng() % 8 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ::close(peer);
    });
    t.peer = -1;
    bool closed = ProcessEventsUntil([&] { return t.log.Has("close"); }, 20000);
    writer.join();
    ASSERT_TRUE(closed);
    EXPECT_EQ(t.received.size(), data.size());
    EXPECT_TRUE(t.received == data) << "stream corrupted";
    EXPECT_EQ(t.log.events.front(), "connect");
    EXPECT_EQ(t.log.events.back(), "close");
    EXPECT_TRUE(t.log.errors.empty());
}

TEST(TcpClient, DataSentJustBeforeTheCloseIsDeliveredFirst)
{
    Connected t;
    ASSERT_TRUE(WriteAll(t.peer, "last words"));
    ::close(t.peer);
    t.peer = -1;
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.log.Has("close"); }, 5000));
    EXPECT_EQ(t.received, "last words");
    EXPECT_EQ(t.log.events, (std::vector<std::string>{"connect", "data", "close"}));
}

TEST(TcpClient, ResetByPeerClosesToo)
{
    Connected t;
    AbortiveClose(t.peer);
    t.peer = -1;
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.log.Has("close"); }, 5000));
    EXPECT_EQ(t.client.State(), ssClosed);
}

TEST(TcpClient, UnreadDataIsAnnouncedOnceUntilSomeoneReads)
{
    Connected t;
    int calls = 0;
    t.client.OnData = [&](TCustomWSockets*, TSocket) { ++calls; };
    ASSERT_TRUE(WriteAll(t.peer, "waiting"));
    ProcessEventsUntil([&] { return calls > 0; }, 5000);
    ProcessEventsUntil([] { return false; }, 150);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(t.client.BytesAvailable(t.client.Socket()), 7);
    EXPECT_EQ(t.client.ReadText(), "wait" "ing");
    ASSERT_TRUE(WriteAll(t.peer, "more"));
    ProcessEventsUntil([&] { return calls > 1; }, 5000);
    EXPECT_EQ(calls, 2);
}

TEST(TcpClient, ReadTextWithNothingWaitingStillReceives)
{
    Connected t;
    EXPECT_EQ(t.client.BytesAvailable(t.client.Socket()), 0);
    // The fallback receive of up to 300 bytes finds nothing and says so.
    EXPECT_EQ(t.client.ReadText(), "");
    EXPECT_EQ(t.client.LastError(), 10035);
    ASSERT_TRUE(WriteAll(t.peer, std::string(1000, 'a')));
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.received.size() == 1000; }, 5000));
}

TEST(TcpClient, SendsTextAndBuffers)
{
    Connected t;
    t.client.SendText("hello ");
    t.client.SendText("");
    EXPECT_EQ(t.client.SendBuffer("world", 5), 5);
    char buf[32] = {};
    std::string got;
    while (got.size() < 11) {
        ssize_t n = ::recv(t.peer, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, "hello world");
    EXPECT_TRUE(t.log.errors.empty());
}

namespace {

void SetBufferSize(int fd, int option, int bytes) { ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes), 0); }

// Reads what the peer end has, without waiting; false when it was closed.
bool ReadSome(int fd, std::string& into)
{
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            into.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// Records of varied length, each naming its number at both ends, so a cut,
// a loss or a swap shows.
std::vector<std::string> NumberedRecords(int count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::string> records;
    for (int i = 0; i < count; ++i) {
        const std::string tag = "<" + std::to_string(i) + ">";
        records.push_back(tag + RandomBytes(500 + rng() % 3000, seed + unsigned(i)) + tag);
    }
    return records;
}

} // namespace

TEST(TcpClient, AStalledPeerGetsEveryRecordWholeAndInOrderOnceItReads)
{
    Connected t;
    // Small socket buffers at both ends: the kernel soon takes no more.
    SetBufferSize(t.client.Socket(), SO_SNDBUF, 4096);
    SetBufferSize(t.peer, SO_RCVBUF, 4096);
    const auto records = NumberedRecords(300, 7);
    std::string expected;
    for (const auto& r : records) {
        EXPECT_EQ(t.client.SendBuffer(r.data(), int(r.size())), int(r.size()));
        expected += r;
    }
    t.client.SendText("end");
    expected += "end";
    EXPECT_GT(t.client.Queued(), 100000u) << "the socket took everything: the queue was not tried";
    EXPECT_LT(t.client.Queued(), expected.size());
    EXPECT_TRUE(t.log.errors.empty());

    // The peer reads now; the queue drains as the socket takes data again.
    std::string got;
    ASSERT_TRUE(ProcessEventsUntil([&] { return !ReadSome(t.peer, got) || got.size() >= expected.size(); }, 20000));
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the bytes arrived changed or out of order";
    EXPECT_EQ(t.client.Queued(), 0u);
    EXPECT_TRUE(t.log.errors.empty());
}

TEST(TcpClient, PastItsBoundTheQueueRefusesWholeSendsWithNoBufferSpace)
{
    Connected t;
    t.client.MaxQueued = 64 * 1024;
    SetBufferSize(t.client.Socket(), SO_SNDBUF, 4096);
    SetBufferSize(t.peer, SO_RCVBUF, 4096);
    const std::string chunk = RandomBytes(4000, 3);
    int taken = 0;
    int result = 0;
    while ((result = t.client.SendBuffer(chunk.data(), int(chunk.size()))) > 0 && taken < 10000)
        ++taken;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(t.log.errors, std::vector<int>{10055});
    EXPECT_TRUE(t.log.Has("error 10055 No buffer space available"));
    EXPECT_GT(t.client.Queued(), t.client.MaxQueued);
    EXPECT_LE(t.client.Queued(), t.client.MaxQueued + chunk.size());
    // A refused text is refused whole, too.
    t.client.SendText(chunk + chunk);
    EXPECT_EQ(t.log.errors.size(), 2u);
    EXPECT_EQ(t.client.State(), ssConnected);

    // Exactly the accepted sends arrive: nothing of the refused ones.
    std::string got;
    const std::size_t expected = std::size_t(taken) * chunk.size();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !ReadSome(t.peer, got) || got.size() >= expected; }, 20000));
    ProcessEventsUntil([] { return false; }, 50);
    ReadSome(t.peer, got);
    ASSERT_EQ(got.size(), expected);
    for (int i = 0; i < taken; ++i)
        ASSERT_EQ(got.compare(std::size_t(i) * chunk.size(), chunk.size(), chunk), 0) << "chunk " << i;
    // Once drained it takes data again.
    EXPECT_EQ(t.client.SendBuffer("ok", 2), 2);
}

TEST(TcpClient, CloseDropsTheQueueAndABrokenConnectionUnderItCloses)
{
    {
        Connected t;
        SetBufferSize(t.client.Socket(), SO_SNDBUF, 4096);
        SetBufferSize(t.peer, SO_RCVBUF, 4096);
        t.client.SendText(std::string(200000, 'q'));
        ASSERT_GT(t.client.Queued(), 0u);
        t.client.Close();
        EXPECT_EQ(t.client.Queued(), 0u);
        EXPECT_TRUE(t.log.errors.empty());
        // Opened again, nothing of the old queue goes out on the new connection.
        t.client.Open();
        int second = t.listener.Accept();
        ASSERT_GE(second, 0);
        ASSERT_TRUE(ProcessEventsUntil([&] { return t.client.State() == ssConnected; }, 5000));
        t.client.SendText("fresh");
        std::string got;
        ASSERT_TRUE(ProcessEventsUntil([&] { return !ReadSome(second, got) || got.size() >= 5; }, 5000));
        EXPECT_EQ(got, "fresh");
        ::close(second);
    }
    {
        Connected t;
        SetBufferSize(t.client.Socket(), SO_SNDBUF, 4096);
        SetBufferSize(t.peer, SO_RCVBUF, 4096);
        t.client.SendText(std::string(200000, 'q'));
        ASSERT_GT(t.client.Queued(), 0u);
        AbortiveClose(t.peer);
        t.peer = -1;
        ASSERT_TRUE(ProcessEventsUntil([&] { return t.log.Has("close"); }, 5000));
        EXPECT_EQ(t.client.State(), ssClosed);
        EXPECT_EQ(t.client.Queued(), 0u);
    }
}

TEST(TcpClient, ReadTextTakesNoMoreThanItsLimit)
{
    Connected t;
    t.client.OnData = nullptr;
    ASSERT_TRUE(WriteAll(t.peer, "0123456789"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.client.BytesAvailable(t.client.Socket()) == 10; }, 5000));
    EXPECT_EQ(t.client.ReadText(t.client.Socket(), 4), "0123");
    EXPECT_EQ(t.client.ReadText(t.client.Socket(), 100), "456789");
}

TEST(TcpClient, AuthorizedConnectsFromAReservedPort)
{
    Connected t;
    ASSERT_EQ(t.client.State(), ssConnected);
    t.client.Close();
    t.client.Authorized = true;
    t.client.Open();
    int peer = t.listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(ProcessEventsUntil([&] { return t.client.State() == ssConnected; }, 5000));
    int port = ntohs(PeerAddress(peer).sin_port);
    EXPECT_LE(port, 1024);
    EXPECT_GE(port, 513);
    ::close(peer);
}

TEST(Close, WithoutASocketDoesNothing)
{
    TTCPClient c;
    EventLog log;
    log.Watch(c);
    c.Close();
    c.Close();
    EXPECT_EQ(c.State(), ssClosed);
    EXPECT_EQ(c.LastError(), 0);
    EXPECT_TRUE(log.events.empty());
}

TEST(Close, IsAbortiveAndReopenable)
{
    Connected t;
    t.client.Close();
    EXPECT_EQ(t.client.State(), ssClosed);
    // Both directions are shut and the connection is reset (linger 0), so
    // the peer cannot even send any more, as it could after an orderly end.
    char c;
    EXPECT_LE(::recv(t.peer, &c, 1, 0), 0);
    EXPECT_EQ(::send(t.peer, "y", 1, MSG_NOSIGNAL), -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;

    t.client.Open();
    int again = t.listener.Accept();
    ASSERT_GE(again, 0);
    EXPECT_TRUE(ProcessEventsUntil([&] { return t.client.State() == ssConnected; }, 5000));
    ::close(again);
}

TEST(Close, FromInsideOnData)
{
    Connected t;
    int calls = 0;
    t.client.OnData = [&](TCustomWSockets* s, TSocket) {
        ++calls;
        static_cast<TTCPClient*>(s)->Close();
    };
    ASSERT_TRUE(WriteAll(t.peer, "one"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return calls > 0; }, 5000));
    WriteAll(t.peer, "two");
    ProcessEventsUntil([] { return false; }, 100);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(t.client.State(), ssClosed);
    EXPECT_FALSE(t.log.Has("close"));
    EXPECT_TRUE(t.log.errors.empty());
}

TEST(Close, DestroyingFromInsideOnData)
{
    LoopbackListener listener;
    auto* client = new TTCPClient;
    bool connected = false, destroyed = false;
    client->OnConnect = [&](TCustomWSockets*, TSocket) { connected = true; };
    client->OnData = [&, big = std::string(1000, 'c')](TCustomWSockets* s, TSocket sock) {
        std::string text = s->ReadText(sock);
        delete s;
        destroyed = true;
        EXPECT_EQ(big.size(), 1000u); // the handler's own state outlives the component
    };
    client->Host = "127.0.0.1";
    client->Port = std::to_string(listener.port());
    client->Open();
    int peer = listener.Accept();
    ASSERT_TRUE(ProcessEventsUntil([&] { return connected; }, 5000));
    WriteAll(peer, "bye");
    ASSERT_TRUE(ProcessEventsUntil([&] { return destroyed; }, 5000));
    WriteAll(peer, "after");
    ProcessEventsUntil([] { return false; }, 100);
    ::close(peer);
}

TEST(Close, DestroyingAConnectedClientClosesIt)
{
    LoopbackListener listener;
    int peer;
    {
        TTCPClient client;
        client.Host = "127.0.0.1";
        client.Port = std::to_string(listener.port());
        client.Open();
        peer = listener.Accept();
        ASSERT_TRUE(ProcessEventsUntil([&] { return client.State() == ssConnected; }, 5000));
    }
    char c;
    ssize_t n = ::recv(peer, &c, 1, 0);
    EXPECT_LE(n, 0); // the connection is gone (reset)
    ::close(peer);
}

TEST(Udp, ClientAndServerExchangeDatagrams)
{
    TUDPServer server;
    TUDPClient client;
    EventLog log;
    log.WatchErrors(server);
    log.WatchErrors(client);
    server.LocalIP = "127.0.0.1";
    server.Port = "0";
    server.Open();
    ASSERT_EQ(server.State(), ssListening);
    int on = 0;
    socklen_t len = sizeof on;
    ::getsockopt(static_cast<int>(server.Socket()), SOL_SOCKET, SO_BROADCAST, &on, &len);
    EXPECT_NE(on, 0);

    sockaddr_in sender{};
    std::vector<std::string> atServer, atClient;
    server.OnData = [&](TCustomWSockets* s, TSocket sock) {
        sockaddr_in from;
        std::string text = s->ReadTextFrom(sock, from);
        atServer.push_back(text);
        sender = from;
        s->SendTextTo(sock, "re:" + text, from);
    };
    client.OnData = [&](TCustomWSockets* s, TSocket sock) { atClient.push_back(s->ReadText(sock)); };
    client.Host = "127.0.0.1";
    client.Port = std::to_string(ntohs(LocalAddress(static_cast<int>(server.Socket())).sin_port));
    client.Open();
    ASSERT_EQ(client.State(), ssOpening);
    client.SendText("\\status\\");
    client.SendText(std::string(1200, 'd'));
    ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.size() == 2; }, 5000));
    EXPECT_EQ(atServer, (std::vector<std::string>{"\\status\\", std::string(1200, 'd')}));
    EXPECT_EQ(atClient, (std::vector<std::string>{"re:\\status\\", "re:" + std::string(1200, 'd')}));
    sockaddr_in own = LocalAddress(static_cast<int>(client.Socket()));
    EXPECT_EQ(sender.sin_family, AF_INET);
    EXPECT_EQ(sender.sin_port, own.sin_port);
    EXPECT_EQ(sender.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    // The lobby ping's way: resolve a peer and send from the server socket.
    sockaddr_in to;
    ASSERT_TRUE(server.ResolveAddress("127.0.0.1", std::to_string(ntohs(own.sin_port)), to));
    server.SendTextTo(server.Socket(), "ping", to);
    ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.size() == 3; }, 5000));
    EXPECT_EQ(atClient.back(), "ping");

    // Buffers, with their counts.
    EXPECT_EQ(server.SendBufferTo(server.Socket(), "abc", own, 3), 3);
    ASSERT_TRUE(ProcessEventsUntil([&] { return atClient.size() == 4; }, 5000));
    EXPECT_EQ(atClient.back(), "abc");
    EXPECT_TRUE(log.errors.empty());

    // Closing a datagram socket succeeds without a linger complaint.
    client.Close();
    server.Close();
    EXPECT_EQ(client.State(), ssClosed);
    EXPECT_EQ(server.State(), ssClosed);
    EXPECT_TRUE(log.errors.empty());
}

TEST(Udp, ReadBufferFromGivesTheDatagramAndSender)
{
    TUDPServer server;
    server.Port = "0";
    server.Open();
    ASSERT_EQ(server.State(), ssListening);
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = LocalAddress(static_cast<int>(server.Socket())).sin_port;
    ::sendto(fd, "datagram", 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    int got = -1;
    sockaddr_in from{};
    char buf[64];
    server.OnData = [&](TCustomWSockets* s, TSocket sock) { got = s->ReadBufferFrom(sock, buf, from, sizeof buf); };
    ASSERT_TRUE(ProcessEventsUntil([&] { return got >= 0; }, 5000));
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(got)), "datagram");
    EXPECT_EQ(from.sin_port, LocalAddress(fd).sin_port);
    ::close(fd);
}

TEST(Udp, ServerCanBeDestroyedFromItsOwnHandler)
{
    auto* server = new TUDPServer;
    server->Port = "0";
    server->Open();
    ASSERT_EQ(server->State(), ssListening);
    sockaddr_in to = LocalAddress(static_cast<int>(server->Socket()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool gone = false;
    server->OnData = [&](TCustomWSockets* s, TSocket sock) {
        sockaddr_in from;
        s->ReadTextFrom(sock, from);
        delete s; // the status query frees its socket when a reply completes
        gone = true;
    };
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::sendto(fd, "a", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::sendto(fd, "b", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ASSERT_TRUE(ProcessEventsUntil([&] { return gone; }, 5000));
    ProcessEventsUntil([] { return false; }, 100);
    ::close(fd);
}

TEST(Udp, BindingABusyPortIsReported)
{
    TUDPServer first, second;
    EventLog log;
    log.WatchErrors(second);
    first.Port = "0";
    first.Open();
    ASSERT_EQ(first.State(), ssListening);
    second.Port = std::to_string(ntohs(LocalAddress(static_cast<int>(first.Socket())).sin_port));
    second.Open();
    EXPECT_EQ(log.errors, std::vector<int>{10048});
    EXPECT_EQ(second.State(), ssClosed);
    EXPECT_EQ(second.Socket(), InvalidSocket);
}
