#include "lobbyclient.h"

#include "text/textfuncs.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

} // namespace

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
