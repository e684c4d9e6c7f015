// Writes the send queues of many connections at once. A chat line goes to
// every player, so a settle writes hundreds of sockets in a row; where the
// system has a submission ring (io_uring) those writes go to it together and
// cost one system call, not one each, which is most of what a small write
// costs. Elsewhere, or when the ring cannot be had, each queue is written
// with its own gathered write, with the same results.
#pragma once

#include "sendqueue.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct iovec;

class TBatchWriter {
public:
    // One queue to write and what became of it.
    struct TWrite {
        TWrite(int fd, TSendQueue* queue) : fd(fd), queue(queue) {}
        int fd = -1;
        TSendQueue* queue = nullptr;
        bool blocked = false;   // the socket took less than all: wait until it is writable
        bool failed = false;    // the socket failed: `error` says how
        std::string error;
    };

    // `ring`: use the submission ring where the system has one.
    explicit TBatchWriter(bool ring = true);
    ~TBatchWriter();
    TBatchWriter(const TBatchWriter&) = delete;
    TBatchWriter& operator=(const TBatchWriter&) = delete;

    // The ring is in use: set up at start, and kept while it behaves.
    bool Ring() const { return ring_ != nullptr; }

    // Writes as much of each queue as its socket takes, and says per queue
    // whether the socket was full or failed. No two writes share a socket.
    void Write(std::vector<TWrite>& writes);

    // Writes one queue on its own, as Write does for each.
    void WriteOne(TWrite& w);

private:
    struct TRing;
    // One pass through the ring of the writes in `pending`: those that the
    // socket took whole but that still hold more are left in it.
    bool RingPass(std::vector<TWrite*>& pending);

    std::unique_ptr<TRing> ring_;
    // The pieces of one write or pass, kept between writes.
    std::vector<iovec> iov_;
    std::vector<std::string_view> pieces_;
};
