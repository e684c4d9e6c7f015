#include "gamesim.h"

#include <chrono>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

std::vector<std::string> SplitReply(const std::string& pairs, int pieces, int queryId)
{
    // Pair boundaries: every second backslash from the start.
    std::vector<std::size_t> starts;
    int slashes = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (pairs[i] == '\\' && slashes++ % 2 == 0)
            starts.push_back(i);
    }
    if (pieces < 1)
        pieces = 1;
    std::vector<std::string> out;
    const std::size_t perPiece = (starts.size() + std::size_t(pieces) - 1) / std::size_t(pieces);
    for (int n = 0; n < pieces; ++n) {
        const std::size_t first = std::min(starts.size(), std::size_t(n) * perPiece);
        const std::size_t last = std::min(starts.size(), first + perPiece);
        const std::size_t from = first < starts.size() ? starts[first] : pairs.size();
        const std::size_t to = last < starts.size() ? starts[last] : pairs.size();
        std::string piece = pairs.substr(from, to - from);
        if (n == pieces - 1)
            piece += "\\final\\";
        piece += "\\queryid\\" + std::to_string(queryId) + "." + std::to_string(n + 1);
        out.push_back(std::move(piece));
    }
    return out;
}

std::vector<std::string> SimReply(int index, int players, int pieces, bool bgate)
{
    std::string text = "\\gamename\\" + std::string(bgate ? "bgate" : "kova") + "\\gamever\\1.0"
                       + "\\hostname\\Sim Server " + std::to_string(index) + "\\mapname\\map" + std::to_string(index % 5)
                       + "\\gametype\\ctf\\gamemode\\openplaying\\numplayers\\" + std::to_string(players)
                       + "\\maxplayers\\16\\location\\0\\fraglimit\\20\\timelimit\\30";
    if (bgate)
        text += "\\numcharacters\\" + std::to_string(players);
    for (int p = 0; p < players; ++p) {
        const std::string n = "_" + std::to_string(p);
        text += "\\player" + n + "\\Player" + std::to_string(p) + "\\frags" + n + "\\" + std::to_string(p * 3)
                + "\\deaths" + n + "\\" + std::to_string(p) + "\\ping" + n + "\\" + std::to_string(20 + p) + "\\team" + n
                + "\\" + (p % 2 ? "red" : "blue") + "\\id" + n + "\\" + std::to_string(100 + p);
        if (bgate)
            text += "\\class" + n + "\\Knight\\level" + n + "\\" + std::to_string(p + 1) + "\\race" + n + "\\Elf";
    }
    return SplitReply(text, pieces, 10 + index);
}

TGameSim::TGameSim(std::vector<TSimServer> servers)
{
    servers_.resize(servers.size());
    for (std::size_t i = 0; i < servers.size(); ++i) {
        TSlot& slot = servers_[i];
        slot.behaviour = std::move(servers[i]);
        slot.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (slot.fd < 0)
            throw std::runtime_error("gamesim: no socket");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(slot.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
            || ::getsockname(slot.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("gamesim: cannot bind");
        slot.port = ntohs(addr.sin_port);
    }
}

TGameSim::~TGameSim()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    for (TSlot& slot : servers_)
        if (slot.fd >= 0)
            ::close(slot.fd);
}

void TGameSim::Start()
{
    thread_ = std::thread([this] { Run(stop_); });
}

void TGameSim::Run(const std::atomic<bool>& stop)
{
    std::vector<pollfd> fds;
    for (const TSlot& slot : servers_)
        fds.push_back({slot.fd, POLLIN, 0});
    while (!stop) {
        if (::poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN)
                Answer(servers_[i]);
        }
    }
}

void TGameSim::Answer(TSlot& slot)
{
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(slot.fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0)
        return;
    int count;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.last.assign(buf, std::size_t(n));
        count = ++*slot.requests;
    }
    requested_.notify_all();
    const TSimServer& b = slot.behaviour;
    if (b.answerFrom <= 0 || count < b.answerFrom)
        return;
    for (const std::string& datagram : b.reply)
        ::sendto(slot.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    if (!b.straggler.empty())
        ::sendto(slot.fd, b.straggler.data(), b.straggler.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
}

bool TGameSim::WaitForRequests(std::size_t i, int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return requested_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return servers_[i].requests->load() >= count; });
}

std::string TGameSim::LastRequest(std::size_t i) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return servers_[i].last;
}

void TGameSim::Heartbeat(std::size_t i, uint16_t port, const std::string& game)
{
    const std::string beat = "\\heartbeat\\" + std::to_string(servers_[i].port) + "\\gamename\\" + game;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(servers_[i].fd, beat.data(), beat.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}
