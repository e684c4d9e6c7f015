#include "lobbyclient.h"

#include "app/textfuncs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

} // namespace

// --- parlevod process ------------------------------------------------------------

std::string TParlevodProcess::BinaryPath(const std::string& name)
{
    const char* bin = std::getenv("QP_BUILD_BIN");
    if (bin && *bin)
        return std::string(bin) + "/" + name;
    // Beside the running program: tests and benchmarks are built into build/bin.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, std::size_t(n));
        return path.substr(0, path.rfind('/') + 1) + name;
    }
    return "build/bin/" + name;
}

TParlevodProcess::TParlevodProcess(std::vector<std::string> extraArgs)
{
    char logTemplate[] = "/tmp/parlevod-log-XXXXXX";
    int logFd = mkstemp(logTemplate);
    if (logFd < 0)
        throw std::runtime_error("cannot create a log file");
    logPath_ = logTemplate;
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {BinaryPath("parlevod"), "--bind", "127.0.0.1", "--lobby-port", "0",
                                     "--list-port", "0", "--heartbeat-port", "0"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(logFd, 2);
        close(out[0]);
        close(out[1]);
        close(logFd);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(logFd);
    // The first line on standard output is "lobby ADDR PORT".
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && poll(&p, 1, RemainingMs(deadline)) > 0) {
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, std::size_t(n));
    }
    close(out[0]);
    std::istringstream in(line);
    std::string word, address;
    unsigned port = 0;
    in >> word >> address >> port;
    if (word != "lobby" || port == 0) {
        Stop();
        throw std::runtime_error("parlevod did not start: " + LogText());
    }
    port_ = uint16_t(port);
}

TParlevodProcess::~TParlevodProcess()
{
    Stop();
    if (std::getenv("QP_KEEP_PARLEVOD_LOG"))
        std::fprintf(stderr, "parlevod log kept in %s\n", logPath_.c_str());
    else if (!logPath_.empty())
        unlink(logPath_.c_str());
}

bool TParlevodProcess::Running()
{
    if (pid_ <= 0)
        return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void TParlevodProcess::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string TParlevodProcess::LogText() const
{
    std::ifstream in(logPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// --- client ----------------------------------------------------------------------

TLobbyTestClient::~TLobbyTestClient() { Close(); }

bool TLobbyTestClient::Connect(uint16_t port, const std::string& host)
{
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Close();
        return false;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    eof_ = false;
    self_ = -1;
    buffer_.clear();
    return true;
}

void TLobbyTestClient::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool TLobbyTestClient::SendRaw(const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

bool TLobbyTestClient::Send(uint8_t type, const std::string& param)
{
    LobbyRecord r;
    r.type = type;
    r.player = self_;
    r.param = param;
    return SendRaw(lobby::BuildFrame(r));
}

bool TLobbyTestClient::Fill(int timeoutMs)
{
    if (fd_ < 0 || eof_)
        return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buffer_.append(buf, std::size_t(n));
    return true;
}

std::optional<LobbyRecord> TLobbyTestClient::Receive(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (!buffer_.empty()) {
            lobby::SplitResult r = lobby::SplitFrame(buffer_);
            if (r.status == lobby::SplitStatus::Incomplete)
                break;
            buffer_.erase(0, r.used);
            if (r.status == lobby::SplitStatus::Bad)
                continue;
            history_.push_back(r.record);
            if (r.record.type == cmPing && autoPong)
                Send(cmPong, {});
            return r.record;
        }
        if (!Fill(RemainingMs(deadline)))
            return std::nullopt;
    }
}

std::optional<LobbyRecord> TLobbyTestClient::WaitFor(uint8_t type, int timeoutMs,
                                                     const std::function<bool(const LobbyRecord&)>& match)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto r = Receive(RemainingMs(deadline));
        if (!r)
            return std::nullopt;
        if (r->type == type && (!match || match(*r)))
            return r;
    }
}

std::vector<LobbyRecord> TLobbyTestClient::Drain(int ms)
{
    std::vector<LobbyRecord> out;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (auto r = Receive(RemainingMs(deadline)))
        out.push_back(*r);
    return out;
}

bool TLobbyTestClient::WaitClosed(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_) {
        if (fd_ < 0)
            return true;
        if (!Fill(RemainingMs(deadline)) && !eof_)
            return false;
    }
    return true;
}

int32_t TLobbyTestClient::Name(const std::string& name, int timeoutMs)
{
    if (!Send(cmNameWanted, "\\namewanted\\" + name))
        return -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto r = Receive(RemainingMs(deadline));
        if (!r || r->type == cmNameTaken || r->type == cmMessage)
            return -1;
        if (r->type == cmPlayer) {
            lobby::PlayerRecord p = PlayerOf(*r);
            if (p.active && p.Name() == name) {
                self_ = p.index;
                return self_;
            }
        }
    }
}

lobby::PlayerRecord PlayerOf(const LobbyRecord& record)
{
    lobby::PlayerRecord p;
    lobby::UnpackPlayer(LookupValue(record.param, "prec"), p);
    return p;
}

lobby::GameRecord GameOf(const LobbyRecord& record)
{
    lobby::GameRecord g;
    lobby::UnpackGame(LookupValue(record.param, "grec"), g);
    return g;
}
