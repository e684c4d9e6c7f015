#include "batchwrite.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/uio.h>

#if defined(QP_HAVE_URING)
#include <liburing.h>
#endif

namespace {

// Frames gathered into one write: as many as the system takes in one call,
// so a newcomer's whole lobby goes in a few writes, not one per 64 records.
constexpr std::size_t kWritePieces = 1024;

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

// Appends up to kWritePieces of what waits in `q` to `iov`: their bytes.
// `pieces` has room for kWritePieces.
std::size_t Gather(const TSendQueue& q, std::string_view* pieces, std::vector<iovec>& iov)
{
    const std::size_t n = q.Peek(pieces, kWritePieces);
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
        iov.push_back(iovec{const_cast<char*>(pieces[i].data()), pieces[i].size()});
        bytes += pieces[i].size();
    }
    return bytes;
}

} // namespace

void TBatchWriter::WriteOne(TWrite& w)
{
    w.blocked = w.failed = false;
    pieces_.resize(kWritePieces);
    while (!w.queue->Empty()) {
        iov_.clear();
        Gather(*w.queue, pieces_.data(), iov_);
        msghdr msg{};
        msg.msg_iov = iov_.data();
        msg.msg_iovlen = iov_.size();
        const ssize_t written = ::sendmsg(w.fd, &msg, kSendFlags);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                w.blocked = true;
            } else {
                w.failed = true;
                w.error = std::strerror(errno);
            }
            return;
        }
        w.queue->Consume(std::size_t(written));
    }
}

#if defined(QP_HAVE_URING)

namespace {

// Writes handed to the ring at once. A reader woken by one of them waits
// for its processor until the call returns, so a pass is kept short: 64
// writes cost about as much per write as a settle's 256 in one call, and the
// readers of a chat line get it about as soon as with a call each.
constexpr unsigned kRingEntries = 64;
// Pieces handed to the ring at once, and so the most kept for it: 128 KiB.
constexpr std::size_t kPassPieces = 8 * 1024;
// How long a pass waits for its answers. A write that finds its socket full
// is answered at once, so this is never reached while the system keeps to
// that; should it not, the ring is given up for plain writes.
constexpr long long kPassWaitNs = 1'000'000'000;
constexpr uint64_t kCancelTag = ~uint64_t(0);

} // namespace

struct TBatchWriter::TRing {
    io_uring ring{};
    std::array<msghdr, kRingEntries> msgs{};

    ~TRing() { io_uring_queue_exit(&ring); }
};

TBatchWriter::TBatchWriter(bool ring)
{
    if (!ring)
        return;
    auto r = std::make_unique<TRing>();
    // Every write is handed over even when one of them fails at once (from
    // a system without that flag, the rest take another call).
    int rc = io_uring_queue_init(kRingEntries, &r->ring, IORING_SETUP_SUBMIT_ALL);
    if (rc == -EINVAL)
        rc = io_uring_queue_init(kRingEntries, &r->ring, 0);
    if (rc < 0)
        return;   // no ring here (an old system, or one that forbids it): plain writes
    ring_ = std::move(r);
}

TBatchWriter::~TBatchWriter() = default;

bool TBatchWriter::RingPass(std::vector<TWrite*>& pending)
{
    io_uring& ring = ring_->ring;
    // What each write of this pass offers: its pieces in iov_, then the
    // messages that point at them, once iov_ no longer grows.
    struct TOffer {
        TWrite* w;
        std::size_t first, count, bytes;
    };
    std::array<TOffer, kRingEntries> offers;
    std::size_t n = 0;
    iov_.clear();
    pieces_.resize(kWritePieces);
    for (TWrite* w : pending) {
        if (n == kRingEntries || (n > 0 && iov_.size() + kWritePieces > kPassPieces))
            break;
        const std::size_t first = iov_.size();
        const std::size_t bytes = Gather(*w->queue, pieces_.data(), iov_);
        offers[n++] = TOffer{w, first, iov_.size() - first, bytes};
    }
    for (std::size_t i = 0; i < n; ++i) {
        msghdr& m = ring_->msgs[i];
        m = msghdr{};
        m.msg_iov = iov_.data() + offers[i].first;
        m.msg_iovlen = offers[i].count;
        io_uring_sqe* sqe = io_uring_get_sqe(&ring);   // the ring is empty: there is room
        io_uring_prep_sendmsg(sqe, offers[i].w->fd, &m, kSendFlags);
        io_uring_sqe_set_data64(sqe, i);
    }

    // Handed over in order: should the system refuse the rest, those it
    // took are answered as usual and the others are left waiting, for
    // plain writes.
    std::size_t submitted = 0;
    bool sound = true;
    while (submitted < n) {
        const int rc = io_uring_submit(&ring);
        if (rc < 0 && rc != -EINTR && rc != -EAGAIN && rc != -EBUSY) {
            sound = false;
            break;
        }
        submitted += std::size_t(std::max(rc, 0));
    }
    n = submitted;

    // The answers, in any order. A write to a full socket is answered at
    // once (it may not wait); one that would wait all the same is called
    // off, and its queue is left as it was.
    std::array<bool, kRingEntries> answered{};
    std::size_t left = n;
    bool cancelled = false;
    while (left > 0) {
        io_uring_cqe* cqe = nullptr;
        __kernel_timespec wait{0, kPassWaitNs};
        const int rc = io_uring_wait_cqe_timeout(&ring, &cqe, &wait);
        if (rc == -EINTR)
            continue;
        if (rc < 0) {
            if (cancelled) {
                // Not even calling off was answered. Whatever such a write
                // did is unknown, so its connection cannot go on.
                for (std::size_t i = 0; i < n; ++i) {
                    if (!answered[i]) {
                        offers[i].w->failed = true;
                        offers[i].w->error = "the write was not answered";
                    }
                }
                sound = false;
                break;
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (answered[i])
                    continue;
                io_uring_sqe* sqe = io_uring_get_sqe(&ring);
                if (!sqe) {
                    io_uring_submit(&ring);
                    sqe = io_uring_get_sqe(&ring);
                    if (!sqe)
                        break;   // the rest are not called off: the next wait gives up on them
                }
                io_uring_prep_cancel64(sqe, i, 0);
                io_uring_sqe_set_data64(sqe, kCancelTag);
            }
            io_uring_submit(&ring);
            cancelled = true;
            continue;
        }
        const uint64_t tag = io_uring_cqe_get_data64(cqe);
        const int res = cqe->res;
        io_uring_cqe_seen(&ring, cqe);
        if (tag >= n || answered[tag])
            continue;   // the answer to a calling off
        answered[tag] = true;
        --left;
        TWrite& w = *offers[tag].w;
        if (res >= 0) {
            w.queue->Consume(std::size_t(res));
            // The socket took less than offered: it is full for now.
            w.blocked = std::size_t(res) < offers[tag].bytes;
        } else if (res == -EINTR) {
            // Not written: goes again.
        } else if (res == -EAGAIN || res == -EWOULDBLOCK || res == -ECANCELED) {
            w.blocked = true;
        } else {
            w.failed = true;
            w.error = std::strerror(-res);
        }
    }

    // What goes again: a queue longer than one write took, or one cut short.
    std::size_t keep = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        TWrite* w = pending[i];
        if (!w->blocked && !w->failed && !w->queue->Empty())
            pending[keep++] = w;
    }
    pending.resize(keep);
    return sound && !cancelled;
}

void TBatchWriter::Write(std::vector<TWrite>& writes)
{
    std::vector<TWrite*> pending;
    pending.reserve(writes.size());
    for (TWrite& w : writes) {
        w.blocked = w.failed = false;
        if (!w.queue->Empty())
            pending.push_back(&w);
    }
    while (ring_ && !pending.empty()) {
        if (!RingPass(pending))
            ring_.reset();   // it misbehaved: plain writes from now on
    }
    for (TWrite* w : pending)
        if (!w->blocked && !w->failed)
            WriteOne(*w);
}

#else

struct TBatchWriter::TRing {};

TBatchWriter::TBatchWriter(bool) {}
TBatchWriter::~TBatchWriter() = default;

bool TBatchWriter::RingPass(std::vector<TWrite*>&) { return false; }

void TBatchWriter::Write(std::vector<TWrite>& writes)
{
    for (TWrite& w : writes)
        WriteOne(w);
}

#endif
