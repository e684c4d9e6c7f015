#include "scriptedpeer.h"

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

// One read of what is there, waiting up to the deadline; false on close,
// error or time-out.
bool ReadSome(int fd, std::string& into, std::size_t max, Clock::time_point deadline)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, RemainingMs(deadline)) != 1)
        return false;
    char buf[65536];
    ssize_t n = ::recv(fd, buf, std::min(sizeof buf, max), 0);
    if (n <= 0)
        return false;
    into.append(buf, std::size_t(n));
    return true;
}

} // namespace

TScriptedPeer::TScriptedPeer(Script script, int connections)
{
    thread_ = std::thread([this, script = std::move(script), connections] {
        for (int i = 0; i < connections && !stop_; ++i) {
            int fd = -1;
            while (fd < 0 && !stop_)
                fd = listener_.Accept(100);
            if (fd < 0)
                return;
            ++accepted_;
            script(*this, fd, i);
            ::close(fd);
        }
    });
}

TScriptedPeer::~TScriptedPeer()
{
    stop_ = true;
    thread_.join();
}

std::string TScriptedPeer::ReadUntil(int fd, const std::string& end, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    // Byte by byte, so nothing after `end` is taken from the socket.
    while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0)
        if (!ReadSome(fd, got, 1, deadline))
            break;
    return got;
}

std::string TScriptedPeer::ReadExactly(int fd, std::size_t n, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    while (got.size() < n && ReadSome(fd, got, n - got.size(), deadline)) {
    }
    return got;
}

bool TScriptedPeer::WaitClosed(int fd, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string ignored;
    while (ReadSome(fd, ignored, 65536, deadline)) {
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;   // readable at the end: closed, not timed out
}

void TScriptedPeer::Keep(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.push_back(text);
}

std::vector<std::string> TScriptedPeer::Kept()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_;
}
