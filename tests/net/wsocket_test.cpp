// TWSocket against plain loopback peers and scripted SOCKS proxies.
#include "scriptedpeer.h"
#include "net/WSocket.h"

#include "text/errors.h"
#include "platform/eventloop.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

using platform::ProcessEventsUntil;
using namespace std::string_literals;

namespace {

// The events of one TWSocket as short texts, in order.
struct SocketLog {
    std::vector<std::string> events;
    std::string received;
    bool connected = false, ended = false;

    explicit SocketLog(TWSocket& s)
    {
        s.OnError = [this](TCustomWSockets*, int code, const std::string& msg) {
            events.push_back("error " + std::to_string(code) + " " + msg);
        };
        s.OnDnsLookupDone = [this](TWSocket*, int e) { events.push_back("lookup " + std::to_string(e)); };
        s.OnSessionConnected = [this](TWSocket*, int e) {
            events.push_back("session " + std::to_string(e));
            connected = e == 0;
            ended = e != 0;
        };
        s.OnDataAvailable = [this](TWSocket* sock, int) {
            char buf[100];
            int n;
            while ((n = sock->Receive(buf, sizeof buf)) > 0)
                received.append(buf, std::size_t(n));
        };
        s.OnSessionClosed = [this](TWSocket*, int e) {
            events.push_back("closed " + std::to_string(e));
            ended = true;
        };
    }
};

using SocksSteps = std::vector<std::pair<std::string, std::string>>;

// A SOCKS proxy: reads each request of `steps` in turn (kept for the test)
// and answers with its reply; an empty reply hangs up. `greeting` goes out
// with the last reply, as the far peer's first words would.
TScriptedPeer::Script SocksScript(SocksSteps steps, std::string greeting = {})
{
    return [steps, greeting](TScriptedPeer& peer, int fd, int) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            peer.Keep(TScriptedPeer::ReadExactly(fd, steps[i].first.size()));
            if (steps[i].second.empty())
                return;
            WriteAll(fd, steps[i].second + (i + 1 == steps.size() ? greeting : ""));
        }
        TScriptedPeer::WaitClosed(fd);
    };
}

} // namespace

TEST(WSocket, ErrorTableOfItsOwn)
{
    EXPECT_EQ(TWSocket::ErrorText(0), "No Error");
    EXPECT_EQ(TWSocket::ErrorText(10038), "Socket operation on non-socket");
    EXPECT_EQ(TWSocket::ErrorText(10047), "Address family not supported by protocol family");
    EXPECT_EQ(TWSocket::ErrorText(10053), "Connection aborted");
    EXPECT_EQ(TWSocket::ErrorText(10059), "Too many references: can't splice");
    EXPECT_EQ(TWSocket::ErrorText(10069), "Disc quota exceeded");
    EXPECT_EQ(TWSocket::ErrorText(10093), "WinSock not initialized");
    EXPECT_EQ(TWSocket::ErrorText(11002), "Non-authoritative host not found");
    EXPECT_EQ(TWSocket::ErrorText(11004), "No Data");
    for (int unknown : {1, 10000, 10072, 11005})
        EXPECT_EQ(TWSocket::ErrorText(unknown), "Not a WinSock error");
    // OnError carries this table's texts, not those of the lobby's sockets.
    TWSocket s;
    std::string text;
    s.OnError = [&](TCustomWSockets*, int, const std::string& msg) { text = msg; };
    s.ReportSocketError(10049);
    EXPECT_EQ(text, "Address not available");
    EXPECT_EQ(s.LastError(), 10049);
}

TEST(WSocket, ConnectsSendsReceivesAndSeesTheClose)
{
    TScriptedPeer peer(
        [](TScriptedPeer&, int fd, int) {
            WriteAll(fd, TScriptedPeer::ReadUntil(fd, "\n") + "back");
            ::shutdown(fd, SHUT_WR);
            TScriptedPeer::WaitClosed(fd);
        },
        2);
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        TWSocket s;
        SocketLog log(s);
        s.Host = host;
        s.Port = std::to_string(peer.Port());
        s.Connect();
        EXPECT_TRUE(log.events.empty());   // nothing fires before Connect returns
        EXPECT_EQ(s.State(), ssOpening);
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.connected || log.ended; }, 10000));
        EXPECT_EQ(log.events, (std::vector<std::string>{"lookup 0", "session 0"}));
        EXPECT_EQ(s.DnsResult(), "127.0.0.1");
        EXPECT_TRUE(s.Connected());
        if (host == "localhost")
            break;   // the peer takes one connection
        ASSERT_TRUE(s.SendStr("hello\n"));
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.ended; }, 5000));
        EXPECT_EQ(log.received, "hello\nback");
        EXPECT_EQ(log.events.back(), "closed 0");
        EXPECT_EQ(s.State(), ssClosed);
    }
}

TEST(WSocket, FailuresSayWhichStepFailed)
{
    struct Case {
        std::string host, port;
        TConnectStep step;
        std::vector<std::string> events;
    };
    const std::string refused = std::to_string(UnusedTcpPort());
    const Case cases[] = {
        {"127.0.0.1", refused, TConnectStep::Connecting,
         {"lookup 0", "error 10061 Connection refused", "session 10061"}},
        {"nonexistent.invalid", "80", TConnectStep::Lookup,
         {"error 11001 Host not found", "lookup 11001", "session 11001"}},
        {"255.255.255.255", "80", TConnectStep::ConnectCall,
         {"lookup 0", "error 10051 Network is unreachable", "session 10051"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        TWSocket s;
        SocketLog log(s);
        s.Host = c.host;
        s.Port = c.port;
        s.Connect();
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.ended; }, 30000));
        EXPECT_EQ(log.events, c.events);
        EXPECT_EQ(s.FailedStep(), c.step);
        EXPECT_EQ(s.State(), ssClosed);
    }
    TWSocket s;
    s.Host = "127.0.0.1";
    s.Port = "http-ish";
    EXPECT_THROW(s.Connect(), EError);
}

TEST(WSocket, CloseDuringLookupOrConnectFiresNothing)
{
    LoopbackListener listener;
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        TWSocket s;
        SocketLog log(s);
        s.Host = host;
        s.Port = std::to_string(listener.port());
        s.Connect();
        s.Close();
        ProcessEventsUntil([] { return false; }, 300);
        EXPECT_TRUE(log.events.empty()) << host;
        EXPECT_EQ(s.State(), ssClosed);
    }
}

TEST(WSocket, Socks5WithAndWithoutLoginKeepsWhatFollowsTheReply)
{
    struct Case {
        std::string host, user;
        SocksSteps steps;
    };
    const Case cases[] = {
        {"peer.example", "",
         {{"\x05\x01\x00"s, "\x05\x00"s},
          {"\x05\x01\x00\x03\x0Cpeer.example\x00\x15"s, "\x05\x00\x00\x01\x7F\0\0\x01\x12\x34"s}}},
        {"10.9.8.7", "bob",
         {{"\x05\x02\x00\x02"s, "\x05\x02"s},
          {"\x01\x03" "bob\x02pw"s, "\x01\x00"s},
          {"\x05\x01\x00\x01\x0A\x09\x08\x07\x00\x15"s, "\x05\x00\x00\x04"s + std::string(16, '\0') + "\x12\x34"s}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        TScriptedPeer proxy(SocksScript(c.steps, "220 ready\r\n"));
        TWSocket s;
        SocketLog log(s);
        s.Host = c.host;
        s.Port = "ftp";
        s.SocksServer = "127.0.0.1";
        s.SocksPort = std::to_string(proxy.Port());
        s.SocksUsercode = c.user;
        s.SocksPassword = "pw";
        s.SocksAuthentication = !c.user.empty();
        s.Connect();
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.received == "220 ready\r\n" || log.ended; }, 5000));
        EXPECT_EQ(log.events, (std::vector<std::string>{"lookup 0", "session 0"}));
        std::vector<std::string> sent;
        for (const auto& step : c.steps)
            sent.push_back(step.first);
        EXPECT_EQ(proxy.Kept(), sent);
    }
}

TEST(WSocket, SocksRefusalsAndBrokenNegotiations)
{
    struct Case {
        std::string level;
        bool login;
        SocksSteps steps;
        int error;
    };
    const Case cases[] = {
        {"5", false, {{"\x05\x01\x00"s, "\x05\xFF"s}}, 10013},
        {"5", true, {{"\x05\x02\x00\x02"s, "\x05\x02"s}, {"\x01\x03" "bob\x03" "bad"s, "\x01\x01"s}}, 10013},
        {"5", false, {{"\x05\x01\x00"s, "\x05\x00"s}, {"\x05\x01\x00\x01\x7F\0\0\x01\x00\x50"s, "\x05\x05\x00\x01\0\0\0\0\0\0"s}}, 10061},
        {"5", false, {{"\x05\x01\x00"s, ""}}, 10053},   // the proxy hangs up
        {"5", false, {{"\x05\x01\x00"s, "HTTP/1.0 400 Bad\r\n"s}}, 10053},
        {"4", false, {{"\x04\x01\x00\x50\x7F\0\0\x01" "bob\0"s, "\x00\x5B\0\0\0\0\0\0"s}}, 10061},
    };
    for (const Case& c : cases) {
        TScriptedPeer proxy(SocksScript(c.steps));
        TWSocket s;
        SocketLog log(s);
        s.Host = "127.0.0.1";
        s.Port = "80";
        s.SocksServer = "127.0.0.1";
        s.SocksPort = std::to_string(proxy.Port());
        s.SocksLevel = c.level;
        s.SocksUsercode = "bob";
        s.SocksPassword = "bad";
        s.SocksAuthentication = c.login;
        s.Connect();
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.ended; }, 5000));
        EXPECT_EQ(log.events.back(), "session " + std::to_string(c.error)) << proxy.Kept().size();
        EXPECT_EQ(s.FailedStep(), TConnectStep::Socks);
        EXPECT_EQ(s.State(), ssClosed);
    }
}

TEST(WSocket, Socks4aForANameAndNoSocks5NameOver255)
{
    const std::string request = "\x04\x01\x00\x50\0\0\0\x01joe\0files.example\0"s;
    TScriptedPeer proxy(SocksScript({{request, "\x00\x5A\0\0\0\0\0\0"s}}));
    TWSocket s;
    SocketLog log(s);
    s.Host = "files.example";
    s.Port = "80";
    s.SocksServer = "localhost";
    s.SocksPort = std::to_string(proxy.Port());
    s.SocksLevel = "4";
    s.SocksUsercode = "joe";
    s.Connect();
    ASSERT_TRUE(ProcessEventsUntil([&] { return log.connected || log.ended; }, 5000));
    EXPECT_EQ(log.events, (std::vector<std::string>{"lookup 0", "session 0"}));
    EXPECT_EQ(proxy.Kept(), std::vector<std::string>{request});

    // SOCKS 5 carries at most 255 bytes of name: a longer one is refused
    // before the proxy is even contacted.
    LoopbackListener quiet;
    TWSocket t;
    SocketLog tlog(t);
    t.Host = std::string(256, 'n');
    t.Port = "80";
    t.SocksServer = "127.0.0.1";
    t.SocksPort = std::to_string(quiet.port());
    t.Connect();
    ASSERT_TRUE(ProcessEventsUntil([&] { return tlog.ended; }, 5000));
    EXPECT_EQ(tlog.events, (std::vector<std::string>{"error 10063 File name too long", "session 10063"}));
    EXPECT_EQ(t.FailedStep(), TConnectStep::ConnectCall);
    EXPECT_EQ(quiet.Accept(200), -1);
}

TEST(WSocket, MayBeDestroyedFromItsOwnHandlers)
{
    TScriptedPeer peer([](TScriptedPeer&, int fd, int) {
        WriteAll(fd, "data");
        TScriptedPeer::WaitClosed(fd);
    });
    auto* s = new TWSocket;
    bool gone = false;
    s->Host = "127.0.0.1";
    s->Port = std::to_string(peer.Port());
    s->OnDataAvailable = [&](TWSocket* sock, int) {
        delete sock;
        gone = true;
    };
    s->Connect();
    ASSERT_TRUE(ProcessEventsUntil([&] { return gone; }, 5000));
    ProcessEventsUntil([] { return false; }, 100);
}
