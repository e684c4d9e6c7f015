// A TCP peer on loopback that plays a script in a thread of its own, for
// tests of clients that run on the event loop of the test's thread: each
// accepted connection is handed to the script in turn.
#pragma once

#include "loopback.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TScriptedPeer {
public:
    // `script` runs once per connection (the socket closes after it), for up
    // to `connections` connections; `index` counts them from 0.
    using Script = std::function<void(TScriptedPeer& peer, int fd, int index)>;
    explicit TScriptedPeer(Script script, int connections = 1);
    ~TScriptedPeer();

    uint16_t Port() const { return listener_.port(); }
    std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }
    int Accepted() const { return accepted_; }

    // Blocking reads for scripts, bounded by `timeoutMs`; what arrived
    // before a close or the time limit.
    static std::string ReadUntil(int fd, const std::string& end, int timeoutMs = 5000);
    static std::string ReadExactly(int fd, std::size_t n, int timeoutMs = 5000);
    // Waits until the client closes; true when it did within `timeoutMs`.
    static bool WaitClosed(int fd, int timeoutMs = 5000);

    // Records kept by scripts (e.g. the requests they read).
    void Keep(const std::string& text);
    std::vector<std::string> Kept();

private:
    LoopbackListener listener_;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> kept_;
    std::thread thread_;
};
