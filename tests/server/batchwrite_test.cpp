// Many send queues written at once over real loopback sockets, through the
// submission ring and through plain writes alike: every byte arrives once
// and in order, a full socket is told at once, a failed one is named, and
// neither holds up the others.
#include "batchwrite.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// A connected loopback pair: {the server's end, the client's end}.
std::pair<int, int> TcpPair(int receiveBuffer = 0)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return {-1, -1};
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        setsockopt(client, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return {-1, -1};
    const int server = accept(listener, nullptr, nullptr);
    close(listener);
    if (receiveBuffer > 0)
        setsockopt(server, SOL_SOCKET, SO_SNDBUF, &receiveBuffer, sizeof receiveBuffer);
    return {server, client};
}

// Reads until `bytes` have come or nothing came for a while.
std::string Read(int fd, std::size_t bytes)
{
    std::string got;
    char buf[65536];
    while (got.size() < bytes) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = read(fd, buf, std::min(sizeof buf, bytes - got.size()));
        if (n <= 0)
            break;
        got.append(buf, std::size_t(n));
    }
    return got;
}

TFrame F(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

// The text of frame `i` of queue `q`: each differs, so a byte out of place shows.
std::string Text(std::size_t q, std::size_t i) { return "[" + std::to_string(q) + ":" + std::to_string(i) + "]"; }

struct TPeer {
    int server = -1, client = -1;
    TSendQueue queue;
    std::string sent;   // everything pushed to the queue
    ~TPeer()
    {
        close(server);
        close(client);
    }
};

class BatchWrite : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (GetParam() && !writer_.Ring())
            GTEST_SKIP() << "no submission ring on this system";
    }

    // `count` connected pairs, pair q's queue holding frames(q) frames; the
    // pair `smallAt` with buffers of a few KiB.
    void Connect(std::size_t count, const std::function<std::size_t(std::size_t)>& frames,
                 std::size_t smallAt = SIZE_MAX)
    {
        for (std::size_t q = 0; q < count; ++q) {
            auto p = std::make_unique<TPeer>();
            std::tie(p->server, p->client) = TcpPair(q == smallAt ? 4096 : 0);
            ASSERT_GE(p->client, 0);
            for (std::size_t i = 0; i < frames(q); ++i) {
                p->sent += Text(q, i);
                p->queue.Push(F(Text(q, i)), {}, 0, kNoLimit);
            }
            peers_.push_back(std::move(p));
        }
    }

    std::vector<TBatchWriter::TWrite> Writes()
    {
        std::vector<TBatchWriter::TWrite> writes;
        for (auto& p : peers_)
            writes.emplace_back(p->server, &p->queue);
        return writes;
    }

    std::vector<std::unique_ptr<TPeer>> peers_;

    TBatchWriter writer_{GetParam()};
};

} // namespace

TEST_P(BatchWrite, ManyQueuesArriveWholeAndInOrder)
{
    // More queues than one pass of the ring takes, one queue longer than
    // one write gathers, and one with nothing waiting, which is passed over.
    Connect(301, [](std::size_t q) -> std::size_t { return q == 7 ? 2500 : q == 300 ? 0 : 1 + q % 40; });
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::unique_ptr<TPeer>>& peers = peers_;

    auto writes = Writes();
    writer_.Write(writes);
    for (std::size_t q = 0; q < peers.size(); ++q) {
        SCOPED_TRACE(q);
        EXPECT_FALSE(writes[q].blocked);
        EXPECT_FALSE(writes[q].failed);
        EXPECT_TRUE(peers[q]->queue.Empty());
        EXPECT_EQ(Read(peers[q]->client, peers[q]->sent.size()), peers[q]->sent);
    }
    EXPECT_EQ(writer_.Ring(), GetParam());
}

TEST_P(BatchWrite, AFullSocketIsToldAtOnceAndTheRestFollowsIntact)
{
    // The middle one is sent far more than its socket holds, and its
    // reader does not read yet.
    Connect(3, [](std::size_t q) -> std::size_t { return q == 1 ? 40000 : 50; }, 1);
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::unique_ptr<TPeer>>& peers = peers_;
    auto writes = Writes();
    writer_.Write(writes);
    EXPECT_TRUE(writes[1].blocked);
    EXPECT_FALSE(writes[1].failed);
    EXPECT_FALSE(peers[1]->queue.Empty());
    for (std::size_t q : {0, 2}) {
        EXPECT_FALSE(writes[q].blocked);
        EXPECT_EQ(Read(peers[q]->client, peers[q]->sent.size()), peers[q]->sent);
    }

    // The reader takes what came; the rest goes in later writes, each
    // beginning where the last one stopped, in the middle of a frame too.
    std::string got;
    while (!peers[1]->queue.Empty()) {
        const std::size_t before = peers[1]->queue.Bytes();
        const std::size_t written = peers[1]->sent.size() - before;
        got += Read(peers[1]->client, written - got.size());
        ASSERT_EQ(got.size(), written) << "bytes taken from the queue never came";
        // As the lobby does: wait until the socket takes more.
        pollfd out{peers[1]->server, POLLOUT, 0};
        ASSERT_EQ(poll(&out, 1, 5000), 1);
        std::vector<TBatchWriter::TWrite> again;
        again.emplace_back(peers[1]->server, &peers[1]->queue);
        writer_.Write(again);
        ASSERT_FALSE(again[0].failed);
        ASSERT_LT(peers[1]->queue.Bytes(), before) << "nothing was written to a writable socket";
    }
    got += Read(peers[1]->client, peers[1]->sent.size() - got.size());
    EXPECT_EQ(got.size(), peers[1]->sent.size());
    EXPECT_TRUE(got == peers[1]->sent);
}

TEST_P(BatchWrite, AFailedSocketIsNamedAndTheOthersAreWritten)
{
    Connect(3, [](std::size_t) -> std::size_t { return 0; });
    ASSERT_FALSE(HasFatalFailure());
    std::vector<std::unique_ptr<TPeer>>& peers = peers_;
    // The middle reader resets its connection.
    linger reset{1, 0};
    setsockopt(peers[1]->client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(peers[1]->client);
    peers[1]->client = -1;
    pollfd p{peers[1]->server, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);   // the reset has come

    for (std::size_t q = 0; q < 3; ++q) {
        peers[q]->sent = Text(q, 0);
        peers[q]->queue.Push(F(peers[q]->sent), {}, 0, kNoLimit);
    }
    auto writes = Writes();
    writer_.Write(writes);
    EXPECT_TRUE(writes[1].failed);
    EXPECT_FALSE(writes[1].error.empty());
    for (std::size_t q : {0, 2}) {
        EXPECT_FALSE(writes[q].failed);
        EXPECT_EQ(Read(peers[q]->client, peers[q]->sent.size()), peers[q]->sent);
    }
    // The writer goes on as it was.
    EXPECT_EQ(writer_.Ring(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Ring, BatchWrite, testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Plain, BatchWrite, testing::Values(false));
