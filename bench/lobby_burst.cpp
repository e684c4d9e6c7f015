// The lobby window receiving a crowded lobby at once: a master on loopback
// answers the name request with 10,000 cmPlayer records, 2,000 cmGame
// records and a cmRefresh, written as fast as the socket takes them. Prints
// "name value unit" lines:
//   burst_bytes                 size of the burst on the wire
//   list_ready_ms               from the first byte written until the list holds
//                               every row and has been drawn
//   list_rows                   rows in the list then
//   refresh_rebuild_ms          one more cmRefresh of the full lobby handled and
//                               the list drawn again
//   event_loop_longest_stall_ms the longest gap between ticks of a 5 ms timer
//                               while the burst was handled
//   peak_memory_kb              VmHWM of the process
//   peak_memory_before_burst_kb VmHWM with the window shown, before the burst
// Run with QT_QPA_PLATFORM=offscreen. The window must stay interactive:
// the longest stall is meant to stay under 100 ms.
#include "main/startup.h"
#include "lobby/client/scplb_cmain.h"
#include "lobby/protocol.h"
#include "platform/dialogs.h"
#include "support/scripteddialogs.h"
#include "platform/regstore.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QListWidget>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

constexpr int kPlayers = 10000;
constexpr int kGames = 2000;
constexpr int kMembersPerGame = 2;   // besides the host: 6,000 players in games, 4,000 free
constexpr int kRows = kGames + 1 + kPlayers;
const int kTimeLimitMs = std::getenv("QP_BENCH_LIMIT_MS") ? std::atoi(std::getenv("QP_BENCH_LIMIT_MS")) : 120000;

using Clock = std::chrono::steady_clock;

long PeakMemoryKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

std::string Burst()
{
    std::string out;
    for (int i = 1; i <= kPlayers; ++i) {
        lobby::PlayerRecord p;
        p.active = 1;
        p.index = i;
        p.SetName(i == 1 ? "Bench" : "Player" + std::to_string(i));
        p.SetAddress("127.0.0." + std::to_string(1 + i % 250));
        p.ping = 9999;
        // Players 2..2001 host games 1..2000; the next ones join them in turn.
        if (i >= 2 && i <= kGames + 1)
            p.hostedGame = i - 1;
        else if (i > kGames + 1 && i <= kGames + 1 + kGames * kMembersPerGame)
            p.hostPlayer = 2 + (i - kGames - 2) % kGames;
        lobby::AppendFrame(
            LobbyRecord{cmPlayer, 0, "\\index\\" + std::to_string(i) + "\\prec\\" + lobby::PackPlayer(p)}, out);
    }
    for (int g = 1; g <= kGames; ++g) {
        lobby::GameRecord r;
        r.active = 1;
        r.index = g;
        r.hostPlayer = g + 1;
        r.SetName("Game number " + std::to_string(g));
        r.maxPlayers = 4;
        r.state = g % 3 == 0 ? 1 : 0;
        lobby::AppendFrame(
            LobbyRecord{cmGame, 0, "\\index\\" + std::to_string(g) + "\\grec\\" + lobby::PackGame(r)}, out);
    }
    lobby::AppendFrame(LobbyRecord{cmRefresh, 0, ""}, out);
    return out;
}

// A master that waits for the window's name request, then writes the whole
// burst with blocking sends and keeps the connection open until told.
class TBurstMaster {
public:
    explicit TBurstMaster(std::string burst) : burst_(std::move(burst))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TBurstMaster()
    {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    uint16_t Port() const { return port_; }
    bool Started() const { return started_; }
    Clock::time_point StartTime() const { return start_; }

private:
    void Serve()
    {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0)
            return;
        char buffer[4096];
        std::string in;
        // The name request comes first; its content is not needed.
        while (in.empty()) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(fd);
                return;
            }
            in.append(buffer, std::size_t(n));
        }
        start_ = Clock::now();
        started_ = true;
        std::size_t sent = 0;
        while (sent < burst_.size()) {
            const ssize_t n = ::send(fd, burst_.data() + sent, burst_.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += std::size_t(n);
        }
        // Keep the connection open (the window would ask to reconnect), and
        // swallow what the window sends.
        while (!stop_) {
            timeval tv{0, 100000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            if (::recv(fd, buffer, sizeof buffer, 0) == 0)
                break;
        }
        ::close(fd);
    }

    std::string burst_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> started_{false};
    std::atomic<bool> stop_{false};
    Clock::time_point start_;
};

// Draws the list as it is shown. The list lays its rows out lazily, and an
// image taken before that shows no rows at all: asking for the last row's
// place runs the pending layout first.
QImage DrawList(QListWidget* list)
{
    if (list->count() > 0)
        list->visualItemRect(list->item(list->count() - 1));
    return list->grab().toImage();
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char home[] = "/tmp/qp-bench-XXXXXX";
    if (!::mkdtemp(home))
        return 1;
    setenv("XDG_CONFIG_HOME", home, 1);

    QApplication app(argc, argv);
    TScriptedDialogs dialogs;
    platform::SetModalRunner([](QDialog&) { return int(QDialog::Rejected); });
    // A game folder that holds the game, so the configuration does not ask for one.
    std::ofstream(std::string(home) + "/shadow.exe") << "MZ";

    const std::string burst = Burst();
    TBurstMaster master(burst);
    platform::RegistryStore store = platform::RegistryStore::CurrentUser();
    store.WriteString("Software\\Parlevo\\quillet\\scompany", "lobbyhost", "127.0.0.1:" + std::to_string(master.Port()));
    store.WriteStrings("Software\\Parlevo\\quillet\\scompany\\config",
                       {{"nick_Text", "Bench"}, {"program_dir_Text", std::string(home) + "/"}});

    // The event loop's pulse: the largest gap between ticks while the burst
    // is being handled.
    QElapsedTimer pulse;
    qint64 lastTick = -1;
    qint64 longestStall = 0;
    QTimer ticker;
    ticker.setInterval(5);
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = pulse.elapsed();
        if (master.Started() && lastTick >= 0)
            longestStall = std::max(longestStall, now - lastTick);
        lastTick = now;
    });

    TStartupWindows windows = CreateStartupWindows();
    Tscplb_cform* lobby = windows.lobby;
    lobby->resize(800, 600);
    lobby->show();

    QApplication::processEvents();
    const long baselineKb = PeakMemoryKb();
    pulse.start();
    ticker.start();

    double readyMs = -1;
    double rebuildMs = -1;
    int rows = 0;
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!master.Started() || lobby->PendingRecords() != 0 || lobby->playerbox->count() != kRows)
            return;
        // Every row is in: draw what the list shows.
        const QImage image = DrawList(lobby->playerbox);
        if (const char* save = std::getenv("QP_BENCH_SAVE_LIST"))
            image.save(QString::fromLocal8Bit(save));
        if (image.isNull())
            return;
        readyMs = std::chrono::duration<double, std::milli>(Clock::now() - master.StartTime()).count();
        rows = lobby->playerbox->count();
        // The list has been laid out: the last row sits below all the others.
        const QRect last = lobby->playerbox->visualItemRect(lobby->playerbox->item(rows - 1));
        std::printf("# list %dx%d, last row at %d (scrolled %d), image %dx%d\n", lobby->playerbox->width(),
                    lobby->playerbox->height(), last.top(), lobby->playerbox->verticalScrollBar()->maximum(),
                    image.width(), image.height());
        // A later refresh of the full lobby (the master sends one after every
        // change): one more rebuild of every row, and the list drawn again.
        QTimer::singleShot(100, &app, [&] {
            const auto from = Clock::now();
            lobby->HandleRecord(LobbyRecord{cmRefresh, 0, ""}, 0);
            DrawList(lobby->playerbox);
            rebuildMs = std::chrono::duration<double, std::milli>(Clock::now() - from).count();
            // A little longer, so a stall right after the list is ready counts too.
            QTimer::singleShot(300, &app, [] { QApplication::quit(); });
        });
        watch.stop();
    });
    watch.start();
    QTimer::singleShot(kTimeLimitMs, &app, [] { QApplication::quit(); });
    app.exec();

    std::printf("burst_bytes %zu bytes\n", burst.size());
    std::printf("list_ready_ms %.1f ms\n", readyMs);
    std::printf("list_rows %d rows\n", rows);
    std::printf("refresh_rebuild_ms %.1f ms\n", rebuildMs);
    std::printf("event_loop_longest_stall_ms %lld ms\n", static_cast<long long>(longestStall));
    std::printf("peak_memory_kb %ld kB\n", PeakMemoryKb());
    std::printf("peak_memory_before_burst_kb %ld kB\n", baselineKb);
    if (readyMs < 0)
        std::printf("# not ready: master %s, %d rows, %d records pending, %zu message boxes\n",
                    master.Started() ? "wrote" : "was never asked", lobby->playerbox->count(),
                    lobby->PendingRecords(), dialogs.shown.size());
    for (const auto& d : dialogs.shown)
        std::printf("# message box: %s\n", d.text.toStdString().c_str());
    std::fflush(stdout);
    delete lobby;
    std::system((std::string("rm -rf ") + home).c_str());
    return readyMs < 0 ? 1 : 0;
}
