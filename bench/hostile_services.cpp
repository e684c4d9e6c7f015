// Floods against the other services of parlevod and a lobby crowd that keeps
// changing it, each against a parlevod of its own with the default limits
// (only the quiet player's own chat budget is raised, so that it can time a
// line every 50 ms). Spoofed sources are other loopback addresses.
//
//   web_slots           one address keeps ~300 half-sent web requests open and
//                       renews them; another client fetches the news meanwhile
//   news_amplification  200 forged sources ask for the news by datagram
//   forged_heartbeats   20,480 heartbeats of made-up game servers from 320
//                       addresses; real servers announce themselves meanwhile
//   lobby_churn         1,500 idle players and 300 from 5 addresses hosting and
//                       leaving twice a second; a quiet player times its chat
//                       and a watcher times a state change
#include "hostile_services.h"

#include "loadclients.h"
#include "support/lobbyclient.h"

#include "text/textfuncs.h"

#ifdef QP_HAVE_GAMESIM
#include "gamesim.h"
#endif

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const double kSeconds = std::getenv("QP_BENCH_SECONDS") ? std::atof(std::getenv("QP_BENCH_SECONDS")) : 5.0;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

sockaddr_in Address(const std::string& ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

int Bound(int type, const std::string& from)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in local = Address(from, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void Figures(const std::string& name, const char* what, std::vector<double> v)
{
    // QP_BENCH_SAMPLES=1: every sample in the order taken, to see when a slow one came.
    if (std::getenv("QP_BENCH_SAMPLES")) {
        std::printf("# %s_%s:", name.c_str(), what);
        for (double x : v)
            std::printf(" %.0f", x);
        std::printf("\n");
    }
    std::printf("%s_%s_p50 %.1f ms\n", name.c_str(), what, Percentile(v, 0.50));
    std::printf("%s_%s_p99 %.1f ms\n", name.c_str(), what, Percentile(v, 0.99));
    std::printf("%s_%s_max %.1f ms\n", name.c_str(), what, v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()));
    std::printf("%s_%s_samples %zu samples\n", name.c_str(), what, v.size());
}

struct TServer {
    explicit TServer(std::vector<std::string> args) : process(std::move(args)) {}
    double Cpu() { return ReadProc(process.Pid()).cpuSeconds; }
    long LogLines()
    {
        const std::string log = process.LogText();
        return long(std::count(log.begin(), log.end(), '\n'));
    }
    TParlevodProcess process;
};

class TTargetList {
public:
    void Check(const std::string& name, bool ok)
    {
        std::printf("target_%s %d bool\n", name.c_str(), ok ? 1 : 0);
        std::fflush(stdout);
        met = met && ok;
    }
    bool met = true;
};

// --- web slots -------------------------------------------------------------------

// One plain HTTP/1.0 GET; the time to the whole answer, and its status (0
// when there was none within two seconds).
double TimedGet(uint16_t port, const std::string& target, int& status)
{
    const auto start = Clock::now();
    status = 0;
    int fd = Bound(SOCK_STREAM, "127.0.0.1");
    sockaddr_in to = Address("127.0.0.1", port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0)
            close(fd);
        return MsSince(start);
    }
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: bench\r\n\r\n";
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, std::max(1, 2000 - int(MsSince(start)))) <= 0)
            break;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, std::size_t(n));
    }
    close(fd);
    if (got.rfind("HTTP/1.", 0) == 0 && got.size() > 12)
        status = std::atoi(got.c_str() + 9);
    return MsSince(start);
}

void WebSlots(TTargetList& targets)
{
    const std::string name = "web_slots";
    TServer server({});
    const uint16_t web = server.process.ServicePort("motd-http");
    std::atomic<bool> stop{false};
    std::atomic<long> opened{0};
    // About 26 new connections a second were enough to hold every slot: this
    // one opens as many as it may, half a request each, and renews them.
    std::thread attacker([&] {
        const std::string half = "GET /motd.asp?cmd=x HTTP/1.1\r\nHost: bench\r\n";
        std::vector<int> fds;
        sockaddr_in to = Address("127.0.0.1", web);
        while (!stop) {
            while (fds.size() < 300 && !stop) {
                int fd = Bound(SOCK_STREAM, "127.0.3.1");
                if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                    if (fd >= 0)
                        close(fd);
                    break;
                }
                (void)!send(fd, half.data(), half.size(), MSG_NOSIGNAL);
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
                fds.push_back(fd);
                ++opened;
            }
            std::vector<pollfd> p;
            for (int fd : fds)
                p.push_back({fd, POLLIN, 0});
            poll(p.data(), p.size(), 20);
            char sink[4096];
            for (std::size_t i = p.size(); i-- > 0;)
                if (p[i].revents) {
                    const ssize_t n = recv(p[i].fd, sink, sizeof sink, 0);
                    if (n == 0 || (n < 0 && errno != EAGAIN)) {
                        close(p[i].fd);
                        fds.erase(fds.begin() + long(i));
                    }
                }
            std::this_thread::sleep_for(milliseconds(10));
        }
        for (int fd : fds)
            close(fd);
    });
    std::this_thread::sleep_for(milliseconds(500));
    const double cpu0 = server.Cpu();
    const long log0 = server.LogLines();
    std::vector<double> probe;
    long refused = 0;
    const auto start = Clock::now();
    while (MsSince(start) < kSeconds * 1000) {
        int status = 0;
        probe.push_back(TimedGet(web, "/motd.asp?cmd=MOTD%7C150101%7Cquillet%7C%7C%7C%7C%7C%7C%7C%7C%7C", status));
        refused += status != 200;
        std::this_thread::sleep_for(milliseconds(50));
    }
    const double cpu = server.Cpu() - cpu0;
    const long lines = server.LogLines() - log0;
    stop = true;
    attacker.join();
    Figures(name, "probe", probe);
    std::printf("%s_probe_not_answered %ld requests\n", name.c_str(), refused);
    std::printf("%s_attacker_connections %ld connections\n", name.c_str(), long(opened));
    std::printf("%s_server_cpu %.2f s\n", name.c_str(), cpu);
    std::printf("%s_log_lines %ld lines\n", name.c_str(), lines);
    targets.Check(name + "_probe_always_answered", refused == 0);
    targets.Check(name + "_probe_p99_within_100_ms", Percentile(probe, 0.99) <= 100);
}

// --- news amplification ----------------------------------------------------------

void NewsAmplification(TTargetList& targets)
{
    const std::string name = "news_amplification";
    const auto file = std::filesystem::temp_directory_path() / ("lobby_hostile_news_" + std::to_string(getpid()));
    {
        std::ofstream news(file);
        news << "bannerinterval=120000\nMOTD\n";
        for (int i = 0; i < 100; ++i)
            news << "News item " << i << ": " << std::string(40, 'n') << "\r\n";
    }
    TServer server({"--motd-file", file.string()});
    const uint16_t port = server.process.ServicePort("motd-udp");
    const std::string request = "MOTD|1||||||||||";   // the shortest there is: 16 bytes
    std::vector<int> sources;
    for (int i = 1; i <= 200; ++i) {
        int fd = Bound(SOCK_DGRAM, "127.0.2." + std::to_string(i));
        if (fd >= 0)
            sources.push_back(fd);
    }
    sockaddr_in to = Address("127.0.0.1", port);
    auto collect = [&](int quietMs) {
        long bytes = 0, replies = 0;
        std::vector<pollfd> p;
        for (int fd : sources)
            p.push_back({fd, POLLIN, 0});
        char buf[65536];
        while (poll(p.data(), p.size(), quietMs) > 0)
            for (auto& q : p)
                if (q.revents & POLLIN) {
                    const ssize_t n = recv(q.fd, buf, sizeof buf, 0);
                    if (n > 0) {
                        bytes += n;
                        ++replies;
                    }
                }
        return std::make_pair(bytes, replies);
    };
    const double cpu0 = server.Cpu();
    // One request from each forged source.
    for (int fd : sources)
        sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const auto [outOnce, repliesOnce] = collect(300);
    const long inOnce = long(sources.size() * request.size());
    // Then 25 each, as fast as they go.
    long sent = 0;
    for (int round = 0; round < 25; ++round)
        for (int fd : sources)
            sent += sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0;
    const auto [outFlood, repliesFlood] = collect(300);
    const double cpu = server.Cpu() - cpu0;
    for (int fd : sources)
        close(fd);
    std::filesystem::remove(file);
    const double ratio = double(outOnce) / double(std::max(1L, inOnce));
    std::printf("%s_sources %zu addresses\n", name.c_str(), sources.size());
    std::printf("%s_bytes_in %ld bytes\n", name.c_str(), inOnce);
    std::printf("%s_bytes_out %ld bytes\n", name.c_str(), outOnce);
    std::printf("%s_replies %ld datagrams\n", name.c_str(), repliesOnce);
    std::printf("%s_bytes_out_per_byte_in %.2f ratio\n", name.c_str(), ratio);
    std::printf("%s_flood_requests %ld datagrams\n", name.c_str(), sent);
    std::printf("%s_flood_replies %ld datagrams\n", name.c_str(), repliesFlood);
    std::printf("%s_flood_bytes_out_per_byte_in %.2f ratio\n", name.c_str(),
                double(outFlood) / double(std::max<long>(1, sent * long(request.size()))));
    std::printf("%s_server_cpu %.2f s\n", name.c_str(), cpu);
    targets.Check(name + "_at_most_3_bytes_out_per_byte_in", ratio <= 3.0);
}

// --- forged heartbeats -------------------------------------------------------------

void ForgedHeartbeats(TTargetList& targets)
{
#ifdef QP_HAVE_GAMESIM
    const std::string name = "forged_heartbeats";
    TServer server({});
    const uint16_t beats = server.process.ServicePort("heartbeat");
    constexpr int kReal = 20;
    std::vector<TSimServer> real;
    for (int i = 0; i < kReal + 1; ++i) {
        TSimServer s;
        s.reply = SimReply(i, 1, 1, true);
        real.push_back(std::move(s));
    }
    TGameSim sim(std::move(real));
    sim.Start();
    // One server listed before the flood, asked again during it.
    sim.Heartbeat(kReal, beats, "bgate");
    server.process.WaitForLog("registered bgate server 127.0.0.1:" + std::to_string(sim.Port(kReal)));
    const double cpu0 = server.Cpu();
    std::atomic<long> forged{0};
    std::thread flood([&] {
        sockaddr_in to = Address("127.0.0.1", beats);
        const auto start = Clock::now();
        int batch = 0;
        for (int net = 1; net <= 4; ++net)
            for (int host = 1; host <= 80; ++host) {
                int fd = Bound(SOCK_DGRAM, "127.0.1" + std::to_string(net) + "." + std::to_string(host));
                if (fd < 0)
                    continue;
                for (int i = 0; i < 64; ++i) {
                    const std::string beat = "\\heartbeat\\" + std::to_string(20000 + i) + "\\gamename\\bgate";
                    forged += sendto(fd, beat.data(), beat.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0;
                }
                close(fd);
                // Spread over the flood's length.
                std::this_thread::sleep_until(start + milliseconds(int(kSeconds * 1000 * ++batch / 320)));
            }
    });
    std::vector<double> probe;
    for (int i = 0; i < kReal; ++i) {
        std::this_thread::sleep_for(milliseconds(int(kSeconds * 1000 / kReal)));
        const auto start = Clock::now();
        sim.Heartbeat(std::size_t(i), beats, "bgate");
        probe.push_back(sim.WaitForRequests(std::size_t(i), 1, 5000) ? MsSince(start) : 5000.0);
    }
    // The server listed before the flood, heard again once its five seconds are past.
    const int asked = sim.Requests(kReal);
    sim.Heartbeat(kReal, beats, "bgate");
    const bool askedAgain = sim.WaitForRequests(kReal, asked + 1, 2000);
    flood.join();
    const double cpu = server.Cpu() - cpu0;
    long listed = 0;
    for (int i = 0; i < kReal; ++i)
        listed += server.process.WaitForLog("registered bgate server 127.0.0.1:" + std::to_string(sim.Port(i)), 100);
    Figures(name, "probe", probe);
    std::printf("%s_forged %ld datagrams\n", name.c_str(), long(forged));
    std::printf("%s_real_servers_listed %ld of %d servers\n", name.c_str(), listed, kReal);
    std::printf("%s_listed_server_asked_again %d bool\n", name.c_str(), askedAgain ? 1 : 0);
    std::printf("%s_server_cpu %.2f s\n", name.c_str(), cpu);
    targets.Check(name + "_every_real_server_listed", listed == kReal && askedAgain);
    targets.Check(name + "_probe_max_within_1_s", !probe.empty() && *std::max_element(probe.begin(), probe.end()) <= 1000);
#else
    (void)targets;
    std::printf("# forged_heartbeats needs the simulated game servers of the tests\n");
#endif
}

// --- lobby churn -----------------------------------------------------------------------

void LobbyChurn(TTargetList& targets)
{
    const std::string name = "lobby_churn";
    constexpr int kIdle = 1500, kChurners = 300;
    TServer server({"--chat-rate", "25", "--chat-burst", "25"});
    const uint16_t port = server.process.Port();
    TLoadClients crowd(TProto::Lobby, port);
    for (int i = 0; i < kIdle + kChurners; ++i) {
        const bool churner = i >= kIdle;
        const std::string from = churner ? "127.0.5." + std::to_string(1 + (i - kIdle) / 60)
                                         : "127.0.4." + std::to_string(1 + i / 60);
        const int k = crowd.Open(from.c_str());
        if (k < 0)
            break;
        crowd.Name(k, (churner ? "c" : "i") + std::to_string(i));
        if (i % 50 == 49)
            crowd.Pump(0);
    }
    auto& conns = crowd.Conns();
    const bool ready = crowd.PumpUntil(
        [&] { return std::all_of(conns.begin(), conns.end(), [](auto& c) { return c.named; }); }, 120000);
    std::printf("%s_players %zu players%s\n", name.c_str(), conns.size(), ready ? "" : " (not all named)");
    crowd.PumpUntilQuiet(300, 20000);

    TLobbyTestClient quiet, listener, marker, watcher;
    if (!quiet.Connect(port) || quiet.Name("Quiet", 10000) <= 0 || !listener.Connect(port)
        || listener.Name("Listener", 10000) <= 0 || !marker.Connect(port) || marker.Name("Marker", 10000) <= 0
        || !watcher.Connect(port) || watcher.Name("Watcher", 10000) <= 0) {
        std::printf("# %s: the quiet player, the listener, the marker or the watcher could not join\n",
                    name.c_str());
        targets.Check(name + "_ran", false);
        return;
    }
    marker.Send(cmHost, "\\name\\m0\\maxplayers\\8\\inviteonly\\0");
    auto game = marker.WaitFor(cmGame, 5000);
    const int32_t gameIndex = game ? GameOf(*game).index : 0;

    // The churners' requests: host, or leave the game they host.
    std::vector<bool> hosting(conns.size());
    auto act = [&](std::size_t k) {
        crowd.SendRaw(int(k), lobby::BuildFrame(LobbyRecord{
                                  uint8_t(hosting[k] ? cmLeave : cmHost), -1,
                                  hosting[k] ? std::string() : "\\name\\g" + std::to_string(k)
                                                                   + "\\maxplayers\\8\\inviteonly\\0"}));
        hosting[k] = !hosting[k];
    };
    std::atomic<int> phase{0};   // 0: quiet, 1: one burst, 2: steady churn
    std::atomic<bool> stop{false};
    std::atomic<long> requests{0};
    std::thread pump([&] {
        auto start = Clock::now();
        long tick = 0;
        int seen = 0;
        while (!stop) {
            crowd.Pump(2);
            const int now = phase;
            if (now != seen) {
                seen = now;
                start = Clock::now();
                tick = 0;
                if (now == 1) {
                    // Every churner at once, four requests each.
                    for (int round = 0; round < 4; ++round)
                        for (std::size_t k = kIdle; k < conns.size(); ++k, ++requests)
                            act(k);
                }
            }
            if (now != 2)
                continue;
            // Every churner hosts or leaves once each 500 ms, spread over it.
            const long due = long(MsSince(start) / 500.0 * kChurners);
            for (; tick < due; ++tick) {
                const std::size_t k = std::size_t(kIdle + tick % kChurners);
                if (k < conns.size()) {
                    act(k);
                    ++requests;
                }
            }
        }
    });
    // The quiet player's chat line every 50 ms, timed until both its echo
    // and another player (the last two to join, so the last the line is
    // queued to) have it; meanwhile the marker renames its game every 500 ms
    // and the watcher times its arrival.
    auto chat = [&](double seconds, std::vector<double>& rtt) {
        const auto start = Clock::now();
        long seq = 0;
        while (MsSince(start) < seconds * 1000) {
            const auto t = Clock::now();
            const std::string text = "q" + std::to_string(++seq);
            quiet.Send(cmChat, "\\chan\\0\\text\\" + text);
            auto line = [&](const LobbyRecord& r) { return LookupValue(r.param, "text") == "Quiet: " + text; };
            auto back = quiet.WaitFor(cmChat, 5000, line);
            auto heard = back ? listener.WaitFor(cmChat, 5000, line) : std::nullopt;
            rtt.push_back(heard ? MsSince(t) : 5000.0);
            quiet.ClearHistory();
            listener.ClearHistory();
            std::this_thread::sleep_until(t + milliseconds(50));
        }
    };
    std::vector<double> before, burst, during, changes;
    chat(2.0, before);
    // The crowd's burst first, timed on its own, and the lobby let settle.
    const double cpuBurst0 = server.Cpu();
    phase = 1;
    chat(1.0, burst);
    const double cpuBurst = server.Cpu() - cpuBurst0;
    std::this_thread::sleep_for(milliseconds(500));
    const double cpu0 = server.Cpu();
    const long requests0 = requests;
    phase = 2;
    const auto start = Clock::now();
    std::thread changing([&] {
        for (int k = 1; MsSince(start) < kSeconds * 1000 && gameIndex > 0; ++k) {
            const auto t = Clock::now();
            const std::string game = "m" + std::to_string(k);
            marker.Send(cmHost, "\\index\\" + std::to_string(gameIndex) + "\\name\\" + game
                                    + "\\maxplayers\\8\\inviteonly\\0");
            auto seen = watcher.WaitFor(cmGame, 5000, [&](const LobbyRecord& r) { return GameOf(r).Name() == game; });
            changes.push_back(seen ? MsSince(t) : 5000.0);
            watcher.ClearHistory();
            while (marker.Receive(0)) {
            }
            marker.ClearHistory();
            std::this_thread::sleep_until(t + milliseconds(500));
        }
    });
    chat(kSeconds, during);
    changing.join();
    const double seconds = MsSince(start) / 1000.0;
    phase = 0;
    const double cpu = server.Cpu() - cpu0;
    stop = true;
    pump.join();
    crowd.CloseAll();
    if (std::getenv("QP_BENCH_LOG"))
        std::fprintf(stderr, "%s", server.process.LogText().c_str());
    Figures(name, "rtt_before", before);
    Figures(name, "rtt_burst", burst);
    Figures(name, "rtt_during", during);
    Figures(name, "state_change", changes);
    std::printf("%s_requests %ld requests\n", name.c_str(), long(requests) - requests0);
    std::printf("%s_burst_server_cpu %.2f s\n", name.c_str(), cpuBurst);
    std::printf("%s_server_cpu %.2f s\n", name.c_str(), cpu);
    std::printf("%s_server_cpu_share %.0f %%\n", name.c_str(), 100.0 * cpu / std::max(0.001, seconds));
    targets.Check(name + "_rtt_during_p99_within_100_ms", Percentile(during, 0.99) <= 100);
    targets.Check(name + "_state_change_within_2_s",
                  !changes.empty() && *std::max_element(changes.begin(), changes.end()) <= 2000);
}

} // namespace

bool RunServiceFloods(const std::function<bool(const std::string&)>& wanted)
{
    TTargetList targets;
    if (wanted("web_slots"))
        WebSlots(targets);
    if (wanted("news_amplification"))
        NewsAmplification(targets);
    if (wanted("forged_heartbeats"))
        ForgedHeartbeats(targets);
    if (wanted("lobby_churn"))
        LobbyChurn(targets);
    return targets.met;
}
