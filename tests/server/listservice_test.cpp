// parlevod's master list as a real process: list clients over TCP and
// simulated game servers announcing themselves by heartbeat.
#include "gamesim.h"
#include "support/parlevodprocess.h"

#include "text/textfuncs.h"
#include "serverlist/serverrecords.h"
#include "support/lobbyclient.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

uint16_t ListPort(TParlevodProcess& s) { return s.ServicePort("list"); }
uint16_t BeatPort(TParlevodProcess& s) { return s.ServicePort("heartbeat"); }

int Connect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until `until` has come (or `count` bytes), the peer closed, or the
// time is up.
std::string ReadUntil(int fd, const std::string& until, int timeoutMs = 5000, bool* closed = nullptr,
                      std::size_t count = std::string::npos)
{
    std::string got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if ((!until.empty() && got.find(until) != std::string::npos) || got.size() >= count)
            return got;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            return got;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            return got;
        }
        got.append(buf, std::size_t(n));
    }
}

// "\basic\\secure\" and six characters.
std::string ReadGreeting(int fd) { return ReadUntil(fd, "", 5000, nullptr, 21); }

void SendAll(int fd, const std::string& text) { ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size())); }

// One list client's whole conversation; what the master answered.
std::string AskForList(uint16_t port, const std::string& game = "bgate", const std::string& keyGame = "quillet",
                       const std::string& key = "tRvKwb", bool* closed = nullptr)
{
    const int fd = Connect(port);
    if (fd < 0)
        return "(no connection)";
    const std::string greeting = ReadGreeting(fd);
    std::string answer = "(bad greeting " + greeting + ")";
    const std::string challenge = LookupValue(greeting, "secure");
    if (greeting.rfind("\\basic\\\\secure\\", 0) == 0 && challenge.size() == 6) {
        SendAll(fd, "\\gamename\\" + keyGame + "\\gamever\\01\\location\\0\\validate\\" + ValidateValue(challenge, key)
                        + "\\final\\\\queryid\\1.1");
        SendAll(fd, "\\list\\\\gamename\\" + game);
        answer = ReadUntil(fd, "\\final\\", 5000, closed);
        if (closed && !*closed)
            ReadUntil(fd, "(never)", 2000, closed);
    }
    close(fd);
    return answer;
}

std::vector<std::string> Entries(const std::string& list)
{
    std::vector<std::string> out;
    std::string text = list;
    for (const TListedServer& s : TakeListedServers(text))
        out.push_back(s.Address + ":" + s.Port);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<TSimServer> Servers(int answering, int silent, int kovaAt = -1)
{
    std::vector<TSimServer> out;
    for (int i = 0; i < answering + silent; ++i) {
        TSimServer s;
        s.reply = SimReply(i, 1, 1, i != kovaAt);
        s.answerFrom = i < answering ? 1 : 0;
        out.push_back(std::move(s));
    }
    return out;
}

} // namespace

TEST(ListService, GreetsWithAFreshChallenge)
{
    TParlevodProcess server;
    const uint16_t port = ListPort(server);
    std::vector<std::string> challenges;
    for (int i = 0; i < 3; ++i) {
        const int fd = Connect(port);
        ASSERT_GE(fd, 0);
        const std::string greeting = ReadGreeting(fd);
        close(fd);
        ASSERT_EQ(greeting.substr(0, 15), "\\basic\\\\secure\\") << greeting;
        challenges.push_back(greeting.substr(15));
        EXPECT_EQ(challenges.back().size(), 6u);
    }
    EXPECT_NE(challenges[0], challenges[1]);
    EXPECT_EQ(AskForList(port), "\\final\\");
}

TEST(ListService, ListsOnlyServersThatAnsweredTheirProbe)
{
    TParlevodProcess server;
    const uint16_t port = ListPort(server);
    const uint16_t beats = BeatPort(server);
    TGameSim sim(Servers(2, 1, 1));
    sim.Start();
    for (std::size_t i = 0; i < sim.Count(); ++i)
        sim.Heartbeat(i, beats, i == 1 ? "kova" : "bgate");
    ASSERT_TRUE(server.WaitForLog("registered kova server 127.0.0.1:" + std::to_string(sim.Port(1))));
    ASSERT_TRUE(server.WaitForLog("registered bgate server 127.0.0.1:" + std::to_string(sim.Port(0))));
    // The silent one was asked too, and never listed.
    ASSERT_TRUE(sim.WaitForRequests(2, 1, 5000));
    EXPECT_EQ(sim.Requests(2), 1);
    EXPECT_EQ(sim.LastRequest(2), "\\status\\");

    bool closed = false;
    const std::string list = AskForList(port, "bgate", "quillet", "tRvKwb", &closed);
    EXPECT_EQ(Entries(list), (std::vector<std::string>{"127.0.0.1:" + std::to_string(sim.Port(0))}));
    EXPECT_EQ(list.substr(list.size() - 7), "\\final\\");
    EXPECT_TRUE(closed);
    EXPECT_EQ(Entries(AskForList(port, "kova")), (std::vector<std::string>{"127.0.0.1:" + std::to_string(sim.Port(1))}));
    EXPECT_TRUE(server.WaitForLog("sent 1 bgate servers to 127.0.0.1"));
    EXPECT_EQ(server.LogText().find("registered bgate server 127.0.0.1:" + std::to_string(sim.Port(2))),
              std::string::npos);
}

TEST(ListService, AHeartbeatForSomeoneElsesPortListsNothing)
{
    TParlevodProcess server;
    const uint16_t beats = BeatPort(server);
    TGameSim victim(Servers(0, 1));
    victim.Start();
    // Sent from a socket of its own, naming the silent server's port: the
    // probe goes to that port and its owner does not answer.
    const std::string beat = "\\heartbeat\\" + std::to_string(victim.Port(0)) + "\\gamename\\bgate";
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(beats);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, beat.data(), beat.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
    ASSERT_TRUE(victim.WaitForRequests(0, 1, 5000));
    EXPECT_EQ(victim.Requests(0), 1);
    EXPECT_EQ(Entries(AskForList(ListPort(server))), std::vector<std::string>{});
}

namespace {

// A datagram to the heartbeat port from a socket of its own at `from`
// (another loopback address stands for a forged source).
bool SendBeat(uint16_t beats, const std::string& datagram, const char* from = "127.0.0.1")
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return false;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(beats);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool sent = sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to)
                      == ssize_t(datagram.size());
    close(fd);
    return sent;
}

std::string Beat(uint16_t port, const std::string& game) { return "\\heartbeat\\" + std::to_string(port) + "\\gamename\\" + game; }

} // namespace

TEST(ListService, ForgedHeartbeatsNeitherListNorMoveAServer)
{
    TParlevodProcess server;
    const uint16_t beats = BeatPort(server);
    const uint16_t port = ListPort(server);
    // A real bgate server, and a service that answers anything with something.
    std::vector<TSimServer> servers = Servers(1, 0);
    TSimServer echo;
    echo.reply = {"\\status\\"};
    servers.push_back(echo);
    TGameSim sim(std::move(servers));
    sim.Start();
    sim.Heartbeat(0, beats, "bgate");
    const std::string real = "127.0.0.1:" + std::to_string(sim.Port(0));
    ASSERT_TRUE(server.WaitForLog("registered bgate server " + real));

    // A forged heartbeat says the real server runs kova: it is probed, its
    // answer says bgate, and it stays where it is.
    ASSERT_TRUE(SendBeat(beats, Beat(sim.Port(0), "kova")));
    ASSERT_TRUE(sim.WaitForRequests(0, 2, 5000));
    // Heartbeats for the echoing service and for the master's own port.
    ASSERT_TRUE(SendBeat(beats, Beat(sim.Port(1), "bgate")));
    ASSERT_TRUE(sim.WaitForRequests(1, 1, 5000));
    ASSERT_TRUE(SendBeat(beats, Beat(beats, "bgate")));
    ASSERT_TRUE(SendBeat(beats, Beat(port, "bgate")));
    ASSERT_TRUE(SendBeat(beats, Beat(53, "bgate")));
    // A second real server settles every answer before it.
    TGameSim later(Servers(1, 0));
    later.Start();
    later.Heartbeat(0, beats, "bgate");
    ASSERT_TRUE(server.WaitForLog("registered bgate server 127.0.0.1:" + std::to_string(later.Port(0))));

    EXPECT_EQ(Entries(AskForList(port, "kova")), std::vector<std::string>{});
    EXPECT_EQ(Entries(AskForList(port, "bgate")),
              (std::vector<std::string>{std::min(real, "127.0.0.1:" + std::to_string(later.Port(0))),
                                        std::max(real, "127.0.0.1:" + std::to_string(later.Port(0)))}));
    EXPECT_EQ(server.LogText().find("now a kova server"), std::string::npos);
    EXPECT_EQ(server.LogText().find("server 127.0.0.1:" + std::to_string(beats)), std::string::npos);
    EXPECT_EQ(server.LogText().find("server 127.0.0.1:" + std::to_string(sim.Port(1))), std::string::npos);
}

TEST(ListService, AFloodOfForgedHeartbeatsLeavesRoomForRealServers)
{
    TParlevodProcess server;
    const uint16_t beats = BeatPort(server);
    // 20,480 heartbeats of made-up servers, 64 from each of 320 addresses
    // in four other /24 networks: as many probes as each address may have
    // waiting, more than the list has room for.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(beats);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int sent = 0;
    for (int net = 1; net <= 4; ++net)
        for (int host = 1; host <= 80; ++host) {
            const std::string from = "127.0." + std::to_string(net) + "." + std::to_string(host);
            const int src = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, from.c_str(), &local.sin_addr);
            if (bind(src, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                close(src);
                GTEST_SKIP() << "no address " << from;
            }
            for (int i = 0; i < 64; ++i) {
                const std::string beat = Beat(uint16_t(20000 + i), "bgate");
                sent += sendto(src, beat.data(), beat.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0;
                // Paced, so that the server's receive buffer does not drop the flood before it is read.
                if (i % 16 == 15)
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            close(src);
        }
    EXPECT_EQ(sent, 20480);
    // A new server heartbeats: it is probed and listed all the same.
    TGameSim sim(Servers(1, 0));
    sim.Start();
    sim.Heartbeat(0, beats, "bgate");
    ASSERT_TRUE(server.WaitForLog("registered bgate server 127.0.0.1:" + std::to_string(sim.Port(0))));
    EXPECT_EQ(Entries(AskForList(ListPort(server))), std::vector<std::string>{"127.0.0.1:" + std::to_string(sim.Port(0))});
}

TEST(ListService, RefusesWrongValidateAndUnknownGames)
{
    TempDir dir;
    const std::string keys = dir.path() + "/keys";
    std::ofstream(keys) << "# extra games\narena Secr3t\n";
    TParlevodProcess server({"--game-keys", keys});
    const uint16_t port = ListPort(server);

    bool closed = false;
    EXPECT_EQ(AskForList(port, "bgate", "quillet", "wrong!", &closed), "\\error\\wrong validate value");
    EXPECT_TRUE(closed);
    closed = false;
    EXPECT_EQ(AskForList(port, "bgate", "nogame", "tRvKwb", &closed), "\\error\\unknown game name nogame");
    EXPECT_TRUE(closed);
    EXPECT_EQ(AskForList(port, "bgate", "arena", "Secr3t"), "\\final\\");
    EXPECT_TRUE(server.WaitForLog("refused 127.0.0.1: wrong validate value"));
}

TEST(ListService, RequestSizeIsLimited)
{
    TParlevodProcess server;
    const int fd = Connect(ListPort(server));
    ASSERT_GE(fd, 0);
    ReadGreeting(fd);
    SendAll(fd, std::string(5000, 'x'));
    bool closed = false;
    EXPECT_EQ(ReadUntil(fd, "(never)", 5000, &closed), "\\error\\request too long");
    EXPECT_TRUE(closed);
    close(fd);
}

TEST(ListService, AClientThatSaysNothingIsClosedInTime)
{
    TParlevodProcess server({"--list-deadline", "300"});
    const int silent = Connect(ListPort(server));
    ASSERT_GE(silent, 0);
    bool closed = false;
    EXPECT_EQ(ReadUntil(silent, "(never)", 5000, &closed).substr(0, 15), "\\basic\\\\secure\\");
    EXPECT_TRUE(closed);
    close(silent);
}

TEST(ListService, EightClientsAtOnceFromOneAddress)
{
    TParlevodProcess server;
    const uint16_t port = ListPort(server);
    std::vector<int> open;
    for (int i = 0; i < 8; ++i) {
        open.push_back(Connect(port));
        ASSERT_EQ(ReadGreeting(open.back()).size(), 21u);
    }
    // The ninth is told and closed.
    const int ninth = Connect(port);
    bool closed = false;
    EXPECT_EQ(ReadUntil(ninth, "(never)", 5000, &closed), "\\error\\too many connections");
    EXPECT_TRUE(closed);
    close(ninth);
    for (int fd : open)
        close(fd);
}

TEST(ListService, ServersExpireWithoutHeartbeats)
{
    TParlevodProcess server({"--server-expiry", "1"});
    TGameSim sim(Servers(1, 0));
    sim.Start();
    sim.Heartbeat(0, BeatPort(server), "bgate");
    const std::string address = "127.0.0.1:" + std::to_string(sim.Port(0));
    ASSERT_TRUE(server.WaitForLog("registered bgate server " + address));
    ASSERT_TRUE(server.WaitForLog("bgate server " + address + " expired", 5000));
    EXPECT_EQ(AskForList(ListPort(server)), "\\final\\");
}

TEST(ListService, UnreadableKeysFileStopsTheServer)
{
    // It ends before announcing any service, saying why.
    TChildProcess server(TChildProcess::TOptions{.args = {TParlevodProcess::BinaryPath("parlevod"), "--bind",
                                                          "127.0.0.1", "--lobby-port", "0", "--http-port", "0",
                                                          "--motd-udp-port", "0", "--list-port", "0",
                                                          "--heartbeat-port", "0", "--game-keys", "/nonexistent/keys"}});
    EXPECT_EQ(server.Finish(10000), 1);
    EXPECT_EQ(server.Output(TChildProcess::TStream::Out), "");
    EXPECT_NE(server.Output(TChildProcess::TStream::Err).find("cannot read the game keys file /nonexistent/keys"),
              std::string::npos);
}
