// Load and scale runs against a real parlevod, and the same load shape
// against ngircd for comparison. Loopback only; every phase is bounded in
// count and time.
//
//   lobby_load            500 clients, 20 of them send 50 public lines each,
//                         against parlevod and ngircd in turns, 3 rounds
//   lobby_load --rounds N the same in N rounds
//   lobby_load --scale    10,000 idle connections; 2,000 clients joining one
//                         after another; relay latency at 100 lines/s
#include "loadclients.h"
#include "support/childprocess.h"
#include "support/lobbyclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kClients = 500;
constexpr int kSenders = 20;
constexpr int kLines = 50;
constexpr int kLineIntervalMs = 20;

uint64_t TimestampOf(const std::string& text)
{
    std::size_t colon = text.find(": ");
    std::size_t at = colon == std::string::npos ? 0 : colon + 2;
    return std::strtoull(text.c_str() + at, nullptr, 10);
}

uint16_t FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// ngircd on a free loopback port with its limits off, in a directory of its own.
class TNgircd {
public:
    TNgircd()
    {
        char dirTemplate[] = "/tmp/ngircd-bench-XXXXXX";
        dir_ = mkdtemp(dirTemplate);
        port_ = FreePort();
        std::ofstream conf(dir_ + "/ngircd.conf");
        conf << "[Global]\nName = bench.local\nInfo = bench\nListen = 127.0.0.1\nPorts = " << port_
             << "\nPidFile = " << dir_ << "/ngircd.pid\nMotdPhrase = bench\n"
             << "[Limits]\nMaxConnections = 0\nMaxConnectionsIP = 0\nMaxJoins = 0\nMaxNickLength = 16\n"
             << "MaxPenaltyTime = 0\nPingTimeout = 600\nPongTimeout = 600\n"
             << "[Options]\nDNS = no\nIdent = no\nPAM = no\n";
        conf.close();
        process_ = std::make_unique<TChildProcess>(
            TChildProcess::TOptions{.args = {"ngircd", "-n", "-f", dir_ + "/ngircd.conf"}});
        // It says so on standard output once it listens.
        ok_ = process_->Started() &&
              process_->WaitForLine(TChildProcess::TStream::Out, "Now listening on", 5000).has_value();
    }
    ~TNgircd()
    {
        process_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    bool Ok() const { return ok_; }
    pid_t Pid() const { return process_->Pid(); }
    uint16_t Port() const { return port_; }

private:
    std::string dir_;
    uint16_t port_ = 0;
    std::unique_ptr<TChildProcess> process_;
    bool ok_ = false;
};

struct TLoadResult {
    bool complete = false;
    long deliveries = 0;       // made by the server
    double chatCpu = 0;        // server CPU seconds during the chat phase
    double totalCpu = 0;       // server CPU seconds for the whole run
    long hwmKb = 0;
    double p50us = 0, p99us = 0;
    long latencySamples = 0;
    double chatSeconds = 0;
};

// The latency receiver: one client in a process of its own. Reports through
// `pipeFd`: "R\n" once in the lobby, then "p50 p99 count\n".
[[noreturn]] void RunReceiver(TProto proto, uint16_t port, int pipeFd, int expected)
{
    TLoadClients rc(proto, port);
    int i = rc.Open();
    std::vector<double> lat;
    lat.reserve(expected);
    if (i >= 0) {
        rc.Conns()[i].onChat = [&](const std::string& text) {
            uint64_t sent = TimestampOf(text);
            if (sent != 0)
                lat.push_back(double(NowNs() - sent) / 1000.0);
        };
        rc.Name(i, "receiver");
        rc.PumpUntil([&] { return rc.Conns()[i].named; }, 20000);
    }
    (void)!write(pipeFd, "R\n", 2);
    rc.PumpUntil([&] { return long(lat.size()) >= expected; }, 90000);
    char out[128];
    int n = std::snprintf(out, sizeof out, "%.1f %.1f %zu\n", Percentile(lat, 0.50), Percentile(lat, 0.99),
                          lat.size());
    (void)!write(pipeFd, out, std::size_t(n));
    _exit(0);
}

std::string ReadLine(int fd, int timeoutMs)
{
    std::string line;
    uint64_t end = NowNs() + uint64_t(timeoutMs) * 1'000'000;
    while (line.find('\n') == std::string::npos && NowNs() < end) {
        char ch;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{0, 100000};
        if (select(fd + 1, &set, nullptr, nullptr, &tv) > 0 && read(fd, &ch, 1) == 1)
            line.push_back(ch);
    }
    return line;
}

TLoadResult RunLoad(TProto proto, pid_t server, uint16_t port)
{
    TLoadResult result;
    TProcStat start = ReadProc(server);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return result;
    pid_t receiver = fork();
    if (receiver == 0) {
        close(pipeFds[0]);
        RunReceiver(proto, port, pipeFds[1], kSenders * kLines);
    }
    close(pipeFds[1]);
    ReadLine(pipeFds[0], 20000);

    TLoadClients clients(proto, port);
    for (int i = 0; i < kClients - 1; ++i) {
        int k = clients.Open();
        if (k < 0) {
            std::fprintf(stderr, "connect %d failed\n", i);
            break;
        }
        clients.Name(k, "c" + std::to_string(i));
        clients.Pump(0);
    }
    auto& conns = clients.Conns();
    bool named = clients.PumpUntil([&] {
        return std::all_of(conns.begin(), conns.end(), [](auto& c) { return c.named; });
    }, 60000);
    clients.PumpUntilQuiet(300, 30000);
    if (!named)
        std::fprintf(stderr, "not every client got into the lobby\n");

    TProcStat before = ReadProc(server);
    uint64_t chatStart = NowNs();
    const long expected = long(conns.size()) * kSenders * kLines;   // parlevod echoes to the sender too
    const long expectedIrc = long(conns.size() - 1) * kSenders * kLines + 0;
    std::string pad(30, 'p');
    for (int line = 0; line < kLines; ++line) {
        uint64_t due = chatStart + uint64_t(line) * kLineIntervalMs * 1'000'000;
        while (NowNs() < due)
            clients.Pump(1);
        for (int s = 0; s < kSenders; ++s)
            clients.SendChat(s, std::to_string(NowNs()) + " " + pad);
    }
    long want = proto == TProto::Lobby ? expected : expectedIrc;
    // IRC does not echo to the sender: 19 of the 20 senders' lines reach each sender.
    if (proto == TProto::Irc)
        want = long(conns.size()) * kSenders * kLines - long(kSenders) * kLines;
    result.complete = clients.PumpUntil([&] {
        long sum = 0;
        for (auto& c : conns)
            sum += c.chats;
        return sum >= want;
    }, 90000);
    result.chatSeconds = double(NowNs() - chatStart) / 1e9;
    std::string lat = ReadLine(pipeFds[0], 30000);
    close(pipeFds[0]);
    waitpid(receiver, nullptr, 0);
    TProcStat after = ReadProc(server);
    std::sscanf(lat.c_str(), "%lf %lf %ld", &result.p50us, &result.p99us, &result.latencySamples);
    result.chatCpu = after.cpuSeconds - before.cpuSeconds;
    result.totalCpu = after.cpuSeconds - start.cpuSeconds;
    result.hwmKb = after.hwmKb;
    result.deliveries = proto == TProto::Lobby ? long(kClients) * kSenders * kLines
                                               : long(kClients - 1) * kSenders * kLines;
    if (!result.complete) {
        long sum = 0;
        for (auto& c : conns)
            sum += c.chats;
        std::fprintf(stderr, "incomplete: %ld of %ld chat lines arrived\n", sum, want);
    }
    return result;
}

void Print(const char* who, const TLoadResult& r)
{
    std::printf("%s_complete %d bool\n", who, r.complete ? 1 : 0);
    std::printf("%s_deliveries %ld lines\n", who, r.deliveries);
    std::printf("%s_chat_phase %.3f s\n", who, r.chatSeconds);
    std::printf("%s_cpu_chat_phase %.3f s\n", who, r.chatCpu);
    std::printf("%s_cpu_whole_run %.3f s\n", who, r.totalCpu);
    std::printf("%s_cpu_per_million_deliveries %.3f s\n", who, r.chatCpu * 1e6 / double(r.deliveries));
    std::printf("%s_peak_memory %.1f MiB\n", who, double(r.hwmKb) / 1024.0);
    std::printf("%s_latency_p50 %.0f us\n", who, r.p50us);
    std::printf("%s_latency_p99 %.0f us\n", who, r.p99us);
    std::printf("%s_latency_samples %ld lines\n", who, r.latencySamples);
}

// One server's run of the load in a process of its own.
TLoadResult RunParlevod()
{
    TParlevodProcess server({"--no-flood-limit", "--per-address", "0", "--max-clients", "1000"});
    return RunLoad(TProto::Lobby, server.Pid(), server.Port());
}

std::optional<TLoadResult> RunNgircd()
{
    TNgircd irc;
    if (!irc.Ok()) {
        std::fprintf(stderr, "ngircd did not start (apt-get install ngircd)\n");
        return std::nullopt;
    }
    return RunLoad(TProto::Irc, irc.Pid(), irc.Port());
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The two servers run in turns, `rounds` times each, the first of a round
// changing from one round to the next: this machine's speed drifts over a
// minute, and a ratio is only worth its salt when both of its sides ran
// under the same drift. Each round's ratios are printed, then the median
// of each over the rounds and the medians of the absolute figures.
int RunLoadComparison(int rounds)
{
    std::vector<TLoadResult> lobby, irc;
    bool complete = true;
    for (int r = 0; r < rounds; ++r) {
        TLoadResult a;
        std::optional<TLoadResult> b;
        if (r % 2 == 0) {
            a = RunParlevod();
            b = RunNgircd();
        } else {
            b = RunNgircd();
            a = RunParlevod();
        }
        complete = complete && a.complete;
        lobby.push_back(a);
        if (b)
            irc.push_back(*b);
        std::printf("round_%d_cpu_per_million_deliveries parlevod %.3f s ngircd %.3f s\n", r + 1,
                    a.chatCpu * 1e6 / double(a.deliveries), b ? b->chatCpu * 1e6 / double(b->deliveries) : 0.0);
        std::fflush(stdout);
    }

    auto median = [](const std::vector<TLoadResult>& v, auto field) {
        std::vector<double> x;
        for (const TLoadResult& r : v)
            x.push_back(double(field(r)));
        return Median(x);
    };
    auto middle = [&](const std::vector<TLoadResult>& v) {
        TLoadResult m;
        m.complete = std::all_of(v.begin(), v.end(), [](const TLoadResult& r) { return r.complete; });
        m.deliveries = v.front().deliveries;
        m.chatSeconds = median(v, [](const TLoadResult& r) { return r.chatSeconds; });
        m.chatCpu = median(v, [](const TLoadResult& r) { return r.chatCpu; });
        m.totalCpu = median(v, [](const TLoadResult& r) { return r.totalCpu; });
        m.hwmKb = long(median(v, [](const TLoadResult& r) { return r.hwmKb; }));
        m.p50us = median(v, [](const TLoadResult& r) { return r.p50us; });
        m.p99us = median(v, [](const TLoadResult& r) { return r.p99us; });
        m.latencySamples = long(median(v, [](const TLoadResult& r) { return r.latencySamples; }));
        return m;
    };
    std::printf("rounds %d count\n", rounds);
    Print("parlevod", middle(lobby));
    if (irc.size() == lobby.size()) {
        Print("ngircd", middle(irc));
        auto ratios = [&](const char* name, auto field) {
            std::vector<double> x;
            for (std::size_t i = 0; i < lobby.size(); ++i) {
                const double b = field(irc[i]);
                x.push_back(b > 0 ? field(lobby[i]) / b : 0.0);
            }
            std::printf("ratio_%s_parlevod_vs_ngircd %.3f ratio (rounds:", name, Median(x));
            for (double v : x)
                std::printf(" %.3f", v);
            std::printf(")\n");
        };
        ratios("cpu_per_delivery", [](const TLoadResult& r) { return r.chatCpu / double(r.deliveries); });
        ratios("cpu_whole_run", [](const TLoadResult& r) { return r.totalCpu; });
        ratios("peak_memory", [](const TLoadResult& r) { return double(r.hwmKb); });
        ratios("latency_p50", [](const TLoadResult& r) { return r.p50us; });
        ratios("latency_p99", [](const TLoadResult& r) { return r.p99us; });
    }
    return complete ? 0 : 1;
}

int RunScale();

} // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    RaiseFileLimit();
    if (argc > 1 && std::strcmp(argv[1], "--scale") == 0)
        return RunScale();
    int rounds = 3;
    if (argc > 2 && std::strcmp(argv[1], "--rounds") == 0)
        rounds = std::clamp(std::atoi(argv[2]), 1, 15);
    return RunLoadComparison(rounds);
}

namespace {

bool WaitFds(pid_t pid, const std::function<bool(int)>& ok, int ms)
{
    for (int i = 0; i < ms / 20; ++i) {
        if (ok(ReadProc(pid).fds))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int RunScale()
{
    constexpr int kIdle = 10000;
    constexpr int kJoining = 2000;
    TParlevodProcess server({"--no-flood-limit", "--per-address", "0", "--max-clients", "20000",
                             "--name-deadline", "600000"});
    pid_t pid = server.Pid();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TProcStat base = ReadProc(pid);
    std::printf("scale_start_descriptors %d fds\n", base.fds);
    std::printf("scale_start_memory %.1f MiB\n", double(base.rssKb) / 1024.0);

    // Connections held open before naming, then all closed.
    auto idleRound = [&](bool report) {
        TLoadClients idle(TProto::Lobby, server.Port());
        int opened = 0;
        for (int i = 0; i < kIdle; ++i) {
            if (idle.Open() < 0)
                break;
            ++opened;
            if (i % 256 == 0)
                idle.Pump(0);
        }
        bool all = WaitFds(pid, [&](int fds) { return fds >= base.fds + opened; }, 30000);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        TProcStat held = ReadProc(pid);
        if (report) {
            std::printf("scale_idle_connections %d connections\n", all ? opened : held.fds - base.fds);
            std::printf("scale_memory_per_idle_connection %.0f bytes\n",
                        double(held.rssKb - base.rssKb) * 1024.0 / double(std::max(1, held.fds - base.fds)));
        }
        idle.CloseAll();
    };
    idleRound(true);
    WaitFds(pid, [&](int fds) { return fds <= base.fds; }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the last close hands memory back
    TProcStat afterIdle = ReadProc(pid);
    std::printf("scale_after_idle_descriptors %d fds\n", afterIdle.fds);
    std::printf("scale_after_idle_memory %.1f MiB\n", double(afterIdle.rssKb) / 1024.0);

    {   // Clients joining one after another, then chat at 100 lines per second.
        TLoadClients clients(TProto::Lobby, server.Port());
        auto& conns = clients.Conns();
        uint64_t start = NowNs();
        for (int i = 0; i < kJoining; ++i) {
            int k = clients.Open();
            if (k < 0)
                break;
            clients.Name(k, "j" + std::to_string(i));
            if (!clients.PumpUntil([&] { return conns[k].named; }, 20000)) {
                std::fprintf(stderr, "client %d not named\n", i);
                break;
            }
        }
        double namedAt = double(NowNs() - start) / 1e9;
        bool all = clients.PumpUntil([&] {
            return std::all_of(conns.begin(), conns.end(), [&](auto& c) { return c.players >= long(conns.size()); });
        }, 120000);
        double allHold = double(NowNs() - start) / 1e9;
        std::printf("scale_join_clients %zu clients\n", conns.size());
        std::printf("scale_join_all_named %.2f s\n", namedAt);
        std::printf("scale_join_every_client_holds_every_player %.2f s%s\n", allHold, all ? "" : " (incomplete)");
        TProcStat joined = ReadProc(pid);
        std::printf("scale_join_server_cpu %.2f s\n", joined.cpuSeconds - afterIdle.cpuSeconds);
        std::printf("scale_join_peak_memory %.1f MiB\n", double(joined.hwmKb) / 1024.0);

        std::vector<double> lat;
        int receiver = int(conns.size()) - 1;
        conns[receiver].onChat = [&](const std::string& text) {
            uint64_t sent = TimestampOf(text);
            if (sent != 0)
                lat.push_back(double(NowNs() - sent) / 1000.0);
        };
        constexpr int kRate = 100, kSeconds = 3;
        uint64_t chatStart = NowNs();
        for (int line = 0; line < kRate * kSeconds; ++line) {
            uint64_t due = chatStart + uint64_t(line) * 1'000'000'000ull / kRate;
            while (NowNs() < due)
                clients.Pump(1);
            clients.SendChat(line % 10, std::to_string(NowNs()) + " relay");
        }
        clients.PumpUntil([&] { return long(lat.size()) >= kRate * kSeconds; }, 30000);
        std::printf("scale_relay_lines %zu lines\n", lat.size());
        std::printf("scale_relay_p50_at_100_lines_per_s %.0f us\n", Percentile(lat, 0.50));
        std::printf("scale_relay_p99_at_100_lines_per_s %.0f us\n", Percentile(lat, 0.99));
        clients.CloseAll();
    }
    WaitFds(pid, [&](int fds) { return fds <= base.fds; }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    TProcStat end = ReadProc(pid);
    std::printf("scale_end_descriptors %d fds\n", end.fds);
    // The same crowd again: what the first one left behind is reused, not added to.
    idleRound(false);
    WaitFds(pid, [&](int fds) { return fds <= base.fds; }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    TProcStat again = ReadProc(pid);
    std::printf("scale_after_second_idle_round_descriptors %d fds\n", again.fds);
    std::printf("scale_after_second_idle_round_memory %.1f MiB\n", double(again.rssKb) / 1024.0);
    std::printf("scale_after_join_memory %.1f MiB\n", double(end.rssKb) / 1024.0);
    std::printf("scale_peak_memory %.1f MiB\n", double(end.hwmKb) / 1024.0);
    return end.fds <= base.fds ? 0 : 1;
}

} // namespace
