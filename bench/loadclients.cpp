#include "loadclients.h"

#include "text/textfuncs.h"
#include "lobby/protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>

uint64_t NowNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count());
}

void RaiseFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

TProcStat ReadProc(int pid)
{
    TProcStat s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream in(text.substr(close + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14)
                utime = std::stoul(field);
            if (i == 15)
                stime = std::stoul(field);
        }
        s.cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    // The scheduler counts each thread's time on a CPU in nanoseconds, where
    // the figures above come in ticks of 10 ms: a phase of a few tenths of a
    // second is then read to a few per cent only.
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        unsigned long long ns = 0;
        bool read = false;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream sched("/proc/" + std::to_string(pid) + "/task/" + e->d_name + "/schedstat");
            unsigned long long onCpu = 0;
            if (sched >> onCpu) {
                ns += onCpu;
                read = true;
            }
        }
        closedir(d);
        if (read)
            s.cpuSeconds = double(ns) / 1e9;
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            s.hwmKb = std::atol(line.c_str() + 6);
        if (line.rfind("VmRSS:", 0) == 0)
            s.rssKb = std::atol(line.c_str() + 6);
    }
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d))
            ++s.fds;
        closedir(d);
        s.fds -= 2;
    }
    return s;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

TLoadClients::TLoadClients(TProto proto, uint16_t port) : proto_(proto), port_(port)
{
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    uint8_t ks[9] = {};
    lobby::CipherFrame(ks, sizeof ks);
    key9_ = ks[8];
    conns_.reserve(20000);
}

TLoadClients::~TLoadClients()
{
    CloseAll();
    close(epoll_);
}

int TLoadClients::Open(const char* from)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int i = int(conns_.size());
    conns_.emplace_back();
    conns_.back().fd = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = uint32_t(i);
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    return i;
}

void TLoadClients::Write(TLoadConn& c, const std::string& bytes)
{
    if (c.closed)
        return;
    if (!c.out.empty()) {
        c.out += bytes;
        return;
    }
    ssize_t n = send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0)
        n = 0;
    if (std::size_t(n) < bytes.size())
        c.out = bytes.substr(std::size_t(n));   // flushed from Pump
}

void TLoadClients::Name(int i, const std::string& nick)
{
    TLoadConn& c = conns_[i];
    c.nick = nick;
    if (proto_ == TProto::Lobby) {
        LobbyRecord r;
        r.type = cmNameWanted;
        r.player = -1;
        r.param = "\\namewanted\\" + nick;
        Write(c, lobby::BuildFrame(r));
    } else {
        Write(c, "NICK " + nick + "\r\nUSER " + nick + " 0 * :bench\r\n");
    }
}

void TLoadClients::SendChat(int i, const std::string& text)
{
    TLoadConn& c = conns_[i];
    if (proto_ == TProto::Lobby) {
        LobbyRecord r;
        r.type = cmChat;
        r.param = "\\chan\\0\\text\\" + text;
        Write(c, lobby::BuildFrame(r));
    } else {
        Write(c, "PRIVMSG #lobby :" + text + "\r\n");
    }
}

void TLoadClients::CloseAll()
{
    for (auto& c : conns_)
        if (c.fd >= 0) {
            close(c.fd);
            c.fd = -1;
            c.closed = true;
        }
    conns_.clear();
}

void TLoadClients::Pump(int ms)
{
    epoll_event events[256];
    int n = epoll_wait(epoll_, events, 256, ms);
    for (int k = 0; k < n; ++k) {
        TLoadConn& c = conns_[events[k].data.u32];
        if (!c.closed)
            OnReadable(c);
    }
    for (auto& c : conns_)
        if (!c.out.empty() && !c.closed) {
            ssize_t w = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (w > 0)
                c.out.erase(0, std::size_t(w));
        }
}

bool TLoadClients::PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    uint64_t end = NowNs() + uint64_t(timeoutMs) * 1'000'000;
    while (!done()) {
        if (NowNs() > end)
            return false;
        Pump(5);
    }
    return true;
}

void TLoadClients::PumpUntilQuiet(int quietMs, int timeoutMs)
{
    uint64_t end = NowNs() + uint64_t(timeoutMs) * 1'000'000;
    long long last = -1;
    uint64_t quietSince = NowNs();
    while (NowNs() < end) {
        Pump(5);
        if (bytesIn_ != last) {
            last = bytesIn_;
            quietSince = NowNs();
        } else if (NowNs() - quietSince > uint64_t(quietMs) * 1'000'000) {
            return;
        }
    }
}

void TLoadClients::OnReadable(TLoadConn& c)
{
    char buf[65536];
    for (;;) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n == 0) {
            c.closed = true;
            epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
            return;
        }
        if (n < 0)
            break;
        bytesIn_ += n;
        c.in.append(buf, std::size_t(n));
        if (proto_ == TProto::Lobby)
            ParseLobby(c);
        else
            ParseIrc(c);
        if (std::size_t(n) < sizeof buf)
            break;
    }
}

void TLoadClients::ParseLobby(TLoadConn& c)
{
    std::size_t at = 0;
    while (c.in.size() - at >= 4) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.in.data() + at);
        uint32_t len = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        if (c.in.size() - at - 4 < len)
            break;
        uint8_t type = len > 8 ? uint8_t((p[4 + 8] ^ key9_) - 32) : 0xFF;
        if (type < c.types.size())
            ++c.types[type];
        if (type == cmPlayer) {
            ++c.players;
            if (!c.named) {
                lobby::SplitResult r = lobby::SplitFrame(std::string_view(c.in).substr(at));
                lobby::PlayerRecord pr;
                lobby::UnpackPlayer(LookupValue(r.record.param, "prec"), pr);
                c.named = pr.Name() == c.nick;
            }
        } else if (type == cmChat) {
            ++c.chats;
            if (c.onChat) {
                lobby::SplitResult r = lobby::SplitFrame(std::string_view(c.in).substr(at));
                c.onChat(LookupValue(r.record.param, "text"));
            }
        } else if (type == cmPing) {
            LobbyRecord r;
            r.type = cmPong;
            Write(c, lobby::BuildFrame(r));
        }
        at += 4 + len;
    }
    c.in.erase(0, at);
}

void TLoadClients::ParseIrc(TLoadConn& c)
{
    std::size_t at = 0;
    for (;;) {
        std::size_t nl = c.in.find('\n', at);
        if (nl == std::string::npos)
            break;
        std::string_view line(c.in.data() + at, nl - at);
        at = nl + 1;
        if (line.rfind("PING ", 0) == 0) {
            Write(c, "PONG " + std::string(line.substr(5)) + "\n");
            continue;
        }
        // ":prefix COMMAND params"
        std::size_t sp = line.find(' ');
        if (sp == std::string_view::npos)
            continue;
        std::string_view rest = line.substr(sp + 1);
        if (rest.rfind("PRIVMSG ", 0) == 0) {
            ++c.chats;
            if (c.onChat) {
                std::size_t colon = rest.find(" :");
                c.onChat(std::string(colon == std::string_view::npos ? "" : rest.substr(colon + 2)));
            }
        } else if (rest.rfind("JOIN ", 0) == 0) {
            ++c.players;
        } else if (rest.rfind("001 ", 0) == 0) {
            c.registered = true;
            Write(c, "JOIN #lobby\r\n");
        } else if (rest.rfind("366 ", 0) == 0) {
            c.named = true;
        }
    }
    c.in.erase(0, at);
}
