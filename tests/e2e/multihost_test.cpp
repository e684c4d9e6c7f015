// The whole lobby across several hosts: parlevod and two real lobby windows,
// each on its own network namespace with its own address, joined by a
// bridge that lives in a namespace of its own (nothing is added to the
// machine's own network, and nothing can leave it). One player hosts, the
// other joins, the host launches; both games start, the member's pointed at
// the host's address, and each window has measured its ping to the other.
//
// Needs root and `ip netns`; skips otherwise. The peer ping uses its fixed
// port (15321) in each namespace, so this runs on its own.
#include "platform/regstore.h"
#include "support/childprocess.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A private range, used only inside the namespaces.
constexpr const char* kMasterAddress = "10.213.77.1";
constexpr const char* kHostAddress = "10.213.77.2";
constexpr const char* kMemberAddress = "10.213.77.3";
constexpr int kLobbyPort = 29001;

bool Quiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// Four namespaces: a hub holding the bridge, and one for each machine, each
// linked to the bridge by a veth pair. Removed (with their links) on
// destruction, whatever happened in between.
class TTestNetwork {
public:
    TTestNetwork()
    {
        if (geteuid() != 0) {
            why_ = "network namespaces need root";
            return;
        }
        RemoveLeftovers();
        prefix_ = std::string(kPrefix) + std::to_string(getpid()) + "-";
        if (!Add("hub")) {
            why_ = "'ip netns add' is not possible here";
            return;
        }
        const std::string hub = Name("hub");
        if (!Quiet("ip -n " + hub + " link add br0 type bridge forward_delay 0") ||
            !Quiet("ip -n " + hub + " link set br0 up")) {
            why_ = "cannot make a bridge in a namespace";
            return;
        }
        for (const auto& [machine, address] : std::vector<std::pair<std::string, std::string>>{
                 {"master", kMasterAddress}, {"host", kHostAddress}, {"member", kMemberAddress}}) {
            const std::string ns = Name(machine);
            const std::string port = "v" + machine;
            if (!Add(machine) ||
                !Quiet("ip -n " + hub + " link add " + port + " type veth peer name eth0 netns " + ns) ||
                !Quiet("ip -n " + hub + " link set " + port + " master br0 up") ||
                !Quiet("ip -n " + ns + " link set lo up") ||
                !Quiet("ip -n " + ns + " addr add " + address + "/24 dev eth0") ||
                !Quiet("ip -n " + ns + " link set eth0 up")) {
                why_ = "cannot link namespace " + ns + " to the bridge";
                return;
            }
        }
        ok_ = true;
    }
    ~TTestNetwork()
    {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it)
            Quiet("ip netns del " + *it);
    }
    TTestNetwork(const TTestNetwork&) = delete;
    TTestNetwork& operator=(const TTestNetwork&) = delete;

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }
    std::string Name(const std::string& machine) const { return prefix_ + machine; }

    // A TCP connection from inside `machine` to address:port succeeds.
    bool CanConnect(const std::string& machine, const std::string& address, int port) const
    {
        bool connected = false;
        const std::string path = "/run/netns/" + Name(machine);
        // setns affects the calling thread only: a thread of its own goes in.
        std::thread probe([&] {
            const int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
                if (ns >= 0)
                    ::close(ns);
                return;
            }
            ::close(ns);
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(uint16_t(port));
            ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
            connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
            if (fd >= 0)
                ::close(fd);
        });
        probe.join();
        return connected;
    }

private:
    static constexpr const char* kPrefix = "qpe2e-";

    // Namespaces of an earlier run of this test that was killed before it
    // could remove them (the process named in them is gone).
    static void RemoveLeftovers()
    {
        DIR* dir = ::opendir("/run/netns");
        if (!dir)
            return;
        std::vector<std::string> stale;
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.rfind(kPrefix, 0) != 0)
                continue;
            const int pid = std::atoi(name.c_str() + std::strlen(kPrefix));
            if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
                stale.push_back(name);
        }
        ::closedir(dir);
        for (const auto& name : stale)
            Quiet("ip netns del " + name);
    }

    bool Add(const std::string& machine)
    {
        if (!Quiet("ip netns add " + Name(machine)))
            return false;
        made_.push_back(Name(machine));
        return true;
    }

    std::string prefix_;
    std::vector<std::string> made_;
    bool ok_ = false;
    std::string why_;
};

// A program run inside a namespace with `ip netns exec`.
std::unique_ptr<TChildProcess> StartIn(const TTestNetwork& net, const std::string& machine,
                                       std::vector<std::string> args,
                                       std::vector<std::pair<std::string, std::string>> env = {})
{
    args.insert(args.begin(), {"ip", "netns", "exec", net.Name(machine)});
    return std::make_unique<TChildProcess>(
        TChildProcess::TOptions{.args = std::move(args), .env = std::move(env), .pipeStdin = true});
}

// Sends one command to a driver and returns the lines of its answer (up to
// "."); nothing when no whole answer comes within `timeoutMs`.
std::optional<std::vector<std::string>> Command(TChildProcess& driver, const std::string& command,
                                                int timeoutMs = 5000)
{
    if (!driver.Write(command + "\n"))
        return std::nullopt;
    std::vector<std::string> lines;
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        auto line = driver.ReadLine(TChildProcess::TStream::Out, int(std::max<long long>(left, 0)));
        if (!line)
            return std::nullopt;
        if (*line == ".")
            return lines;
        lines.push_back(*line);
    }
}

// What a driver's "dump" says.
struct TLobbyView {
    struct Player {
        int active = 0, hostPlayer = 0, hostedGame = 0, ping = 9999;
        std::string address, name;
    };
    struct Game {
        int active = 0, state = 0, hostPlayer = 0;
        std::string name;
    };
    int self = -1;
    std::map<int, Player> players;
    std::map<int, Game> games;
    std::vector<std::string> dialogs;
    std::string text;

    static TLobbyView Parse(const std::vector<std::string>& lines)
    {
        TLobbyView v;
        for (const std::string& line : lines) {
            v.text += line + "\n";
            std::istringstream in(line);
            std::string kind;
            in >> kind;
            if (kind == "self")
                in >> v.self;
            else if (kind == "player") {
                int i;
                Player p;
                in >> i >> p.active >> p.hostPlayer >> p.hostedGame >> p.ping >> p.address;
                std::getline(in >> std::ws, p.name);
                v.players[i] = p;
            }
            else if (kind == "game") {
                int i;
                Game g;
                in >> i >> g.active >> g.state >> g.hostPlayer;
                std::getline(in >> std::ws, g.name);
                v.games[i] = g;
            }
            else if (kind == "dialog")
                v.dialogs.push_back(line.substr(7));
        }
        return v;
    }
    int PlayerNamed(const std::string& name) const
    {
        for (const auto& [i, p] : players)
            if (p.active && p.name == name)
                return i;
        return -1;
    }
};

class TLobbyDriver {
public:
    TLobbyDriver(const TTestNetwork& net, const std::string& machine, const std::string& nick)
        : nick(nick)
    {
        gameFolder = dir.MakeDir("Shadow Company");
        // Stands in for the game: records its arguments and working folder.
        dir.Write("Shadow Company/shadow.exe",
                  "#!/bin/sh\npwd > \"" + dir.File("cwd") + "\"\necho \"$@\" > \"" + dir.File("args") +
                      ".tmp\"\nmv \"" + dir.File("args") + ".tmp\" \"" + dir.File("args") + "\"\n",
                  true);
        platform::RegistryStore store(dir.File("config/parlevo/hkcu.reg"));
        store.WriteString("Software\\Parlevo\\quillet\\scompany", "lobbyhost",
                          std::string(kMasterAddress) + ":" + std::to_string(kLobbyPort));
        store.WriteStrings("Software\\Parlevo\\quillet\\scompany\\config",
                           {{"nick_Text", nick}, {"program_dir_Text", gameFolder + "/"}});
        process = StartIn(net, machine, {QP_LOBBY_DRIVER},
                          {{"XDG_CONFIG_HOME", dir.File("config")}, {"XDG_STATE_HOME", dir.File("state")},
                           {"QT_QPA_PLATFORM", "offscreen"}});
    }

    TLobbyView Dump()
    {
        auto lines = Command(*process, "dump");
        return lines ? TLobbyView::Parse(*lines) : TLobbyView{};
    }
    bool Do(const std::string& command)
    {
        auto lines = Command(*process, command);
        return lines && lines->empty();
    }
    std::string Log() const { return process->Output(TChildProcess::TStream::Err); }
    bool GameStarted() const { return ::access(dir.File("args").c_str(), F_OK) == 0; }
    std::string GameArgs() const { return ReadFileText(dir.File("args")); }
    std::string GameDir() const { return ReadFileText(dir.File("cwd")); }

    std::string nick;
    TempDir dir;
    std::string gameFolder;
    std::unique_ptr<TChildProcess> process;
};

// Polls until `done` holds or the deadline passes.
template <class F>
bool Eventually(Clock::time_point deadline, F done)
{
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

} // namespace

TEST(MultiHostTest, HostJoinLaunchAndPingAcrossMachines)
{
    TTestNetwork net;
    if (!net.ok())
        GTEST_SKIP() << "needs separate network namespaces (" << net.why() << ")";
    // Everything below, the ping included, is done in well under a minute.
    const auto deadline = Clock::now() + std::chrono::seconds(50);

    auto master = StartIn(net, "master",
                          {std::string(QP_BUILD_BIN_DIR) + "/parlevod", "--bind", kMasterAddress, "--lobby-port",
                           std::to_string(kLobbyPort)});
    ASSERT_TRUE(master->Started()) << master->Error();
    // Reached from another machine across the bridge, not just locally.
    ASSERT_TRUE(Eventually(Clock::now() + std::chrono::seconds(10),
                           [&] { return net.CanConnect("member", kMasterAddress, kLobbyPort); }))
        << "parlevod is not reachable from the member's namespace\n"
        << master->Output(TChildProcess::TStream::Err);

    TLobbyDriver host(net, "host", "Alice");
    TLobbyDriver member(net, "member", "Brian");
    ASSERT_TRUE(host.process->Started());
    ASSERT_TRUE(member.process->Started());

    // Both are named and each lists the other, with the address the master
    // saw: the machine's own, not a loopback one.
    int hostIndex = -1, memberIndex = -1;
    TLobbyView hv, mv;
    ASSERT_TRUE(Eventually(deadline, [&] {
        hv = host.Dump();
        mv = member.Dump();
        hostIndex = hv.self;
        memberIndex = mv.self;
        return hostIndex > 0 && memberIndex > 0 && hv.PlayerNamed("Brian") == memberIndex &&
               mv.PlayerNamed("Alice") == hostIndex;
    })) << "host:\n" << hv.text << host.Log() << "member:\n" << mv.text << member.Log();
    EXPECT_EQ(hv.players[memberIndex].address, kMemberAddress);
    EXPECT_EQ(mv.players[hostIndex].address, kHostAddress);

    // Alice hosts; Brian sees the game and joins it.
    ASSERT_TRUE(host.Do("host Night Ops"));
    int game = -1;
    ASSERT_TRUE(Eventually(deadline, [&] {
        mv = member.Dump();
        for (const auto& [i, g] : mv.games)
            if (g.active && g.hostPlayer == hostIndex && g.name == "Night Ops")
                game = i;
        return game > 0;
    })) << mv.text;
    ASSERT_TRUE(member.Do("join " + std::to_string(game))) << member.Dump().text;
    ASSERT_TRUE(Eventually(deadline, [&] {
        hv = host.Dump();
        return hv.players[memberIndex].hostPlayer == hostIndex && hv.players[hostIndex].hostedGame == game;
    })) << hv.text;
    ASSERT_TRUE(Eventually(deadline, [&] {
        mv = member.Dump();
        return mv.players[memberIndex].hostPlayer == hostIndex;
    })) << mv.text;

    // Alice launches: her game is the server, Brian's connects to her machine.
    ASSERT_TRUE(host.Do("launch"));
    ASSERT_TRUE(Eventually(deadline, [&] { return host.GameStarted() && member.GameStarted(); }))
        << "host:\n" << host.Dump().text << "member:\n" << member.Dump().text;
    EXPECT_EQ(host.GameArgs(), "-service tcp -host\n");
    EXPECT_EQ(host.GameDir(), host.gameFolder + "\n");
    EXPECT_EQ(member.GameArgs(), std::string("-service tcp -ip ") + kHostAddress + "\n");
    EXPECT_EQ(member.GameDir(), member.gameFolder + "\n");
    hv = host.Dump();
    EXPECT_EQ(std::vector<std::string>{"Game in Progress||Press OK when the game is finished"}, hv.dialogs) << hv.text;
    EXPECT_TRUE(member.Dump().dialogs.empty()) << member.Dump().text;

    // Each has pinged the other across the bridge (every 2 s, one player a
    // tick): a measured round trip, not the "unknown" 9999.
    ASSERT_TRUE(Eventually(deadline, [&] {
        hv = host.Dump();
        mv = member.Dump();
        return hv.players[memberIndex].ping != 9999 && mv.players[hostIndex].ping != 9999;
    })) << "host:\n" << hv.text << "member:\n" << mv.text;
    EXPECT_LT(hv.players[memberIndex].ping, 1000);
    EXPECT_LT(mv.players[hostIndex].ping, 1000);

    Command(*host.process, "quit", 2000);
    Command(*member.process, "quit", 2000);
}
