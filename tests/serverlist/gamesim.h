// Simulated game servers: UDP sockets on loopback that answer "\status\"
// the way game servers of the master network do, in one or more datagrams
// with "\final\" in the last. Used in-process by the engine's tests and as
// the `gamesim` program by the tool's tests, quakestat and the benchmarks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TSimServer {
    // The datagrams sent for each request, in order.
    std::vector<std::string> reply;
    // Requests before this one (counting from 1) go unanswered; 0 = silent.
    int answerFrom = 1;
    // A datagram sent after the reply, which a complete query never sees.
    std::string straggler;
};

// A status reply of a generic server with `players` players, cut into
// `pieces` datagrams; each carries "\queryid\<id>.<n>", the last "\final\".
// With `bgate` the players are characters with class, level and race.
std::vector<std::string> SimReply(int index, int players, int pieces, bool bgate);

// Cuts reply text into `pieces` datagrams at pair boundaries and appends the
// query id, and "\final\" to the last one.
std::vector<std::string> SplitReply(const std::string& pairs, int pieces, int queryId);

class TGameSim {
public:
    // One socket per server on 127.0.0.1 at a port the system picks.
    explicit TGameSim(std::vector<TSimServer> servers);
    ~TGameSim();
    TGameSim(const TGameSim&) = delete;
    TGameSim& operator=(const TGameSim&) = delete;

    std::size_t Count() const { return servers_.size(); }
    uint16_t Port(std::size_t i) const { return servers_[i].port; }
    // Status requests server `i` has received.
    int Requests(std::size_t i) const { return servers_[i].requests->load(); }
    // Waits until server `i` has received `count` requests; false when
    // `timeoutMs` passed first.
    bool WaitForRequests(std::size_t i, int count, int timeoutMs) const;
    // The last datagram server `i` received.
    std::string LastRequest(std::size_t i) const;

    // Answers in a thread of its own until destroyed.
    void Start();
    // Answers on the calling thread until `stop` becomes true.
    void Run(const std::atomic<bool>& stop);

    // Sends "\heartbeat\<port>\gamename\<game>" from server `i`'s own
    // socket to `port` on loopback.
    void Heartbeat(std::size_t i, uint16_t port, const std::string& game);

private:
    struct TSlot {
        TSimServer behaviour;
        int fd = -1;
        uint16_t port = 0;
        std::unique_ptr<std::atomic<int>> requests = std::make_unique<std::atomic<int>>(0);
        std::string last;   // guarded by mutex_
    };
    void Answer(TSlot& slot);

    std::vector<TSlot> servers_;
    mutable std::mutex mutex_;
    mutable std::condition_variable requested_;   // a request was counted
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
