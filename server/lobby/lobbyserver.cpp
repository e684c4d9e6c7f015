#include "lobbyserver.h"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Every readable socket is drained into this one buffer; only the incomplete
// tail of a frame stays with the connection.
char gReadBuffer[64 * 1024];

} // namespace

TLobbyServer::TLobbyServer(asio::io_context& io, const TServerOptions& options, TLobbyMaster::TLog log)
    : io_(io),
      options_(options),
      log_(std::move(log)),
      acceptor_(io),
      tick_(io),
      acceptRetry_(io),
      epoch_(std::chrono::steady_clock::now()),
      master_(options.limits, *this, log_, 0)
{
}

TLobbyServer::~TLobbyServer() = default;

uint64_t TLobbyServer::Now() const
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - epoch_).count());
}

void TLobbyServer::Start()
{
    tcp::endpoint endpoint(asio::ip::make_address(options_.bind), uint16_t(options_.lobbyPort));
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    acceptor_.non_blocking(true);
    ReserveSocketState(options_.limits.maxClients);
    Accept();
    Housekeeping();
}

void TLobbyServer::ReserveSocketState(std::size_t count)
{
    // The reactor keeps the state of every socket it has known in a pool it
    // reuses but never frees. Made here, at start, for as many sockets as may
    // be connected at once, that pool lies in one stretch of memory; made
    // one by one as clients arrive, it would sit between their buffers and
    // keep the heap from shrinking when a crowd has left.
    std::vector<asio::ip::udp::socket> sockets;
    sockets.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        asio::ip::udp::socket s(io_);
        boost::system::error_code ec;
        s.open(asio::ip::udp::v4(), ec);
        if (ec)
            break;   // out of descriptors: the rest is made when needed
        sockets.push_back(std::move(s));
    }
}

void TLobbyServer::Stop()
{
    stopped_ = true;
    boost::system::error_code ec;
    acceptor_.close(ec);
    tick_.cancel();
    acceptRetry_.cancel();
    std::vector<TConnId> ids;
    for (auto& entry : connections_)
        ids.push_back(entry.first);
    for (TConnId id : ids)
        Close(id, "server stopping", false);
}

TLobbyConnection* TLobbyServer::Find(TConnId id)
{
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.get();
}

// --- accepting -----------------------------------------------------------------

void TLobbyServer::Accept()
{
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (stopped_ || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors or a passing network error: try again shortly.
            log_("accept failed: " + ec.message());
            acceptRetry_.expires_after(std::chrono::milliseconds(100));
            acceptRetry_.async_wait([this](const boost::system::error_code& e) {
                if (!e && !stopped_)
                    Accept();
            });
            return;
        }
        boost::system::error_code e;
        tcp::endpoint remote = socket.remote_endpoint(e);
        std::string address = e ? std::string("?") : remote.address().to_string();
        if (!e && remote.address().is_v6() && remote.address().to_v6().is_v4_mapped())
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, remote.address().to_v6()).to_string();
        std::string why;
        if (e || !master_.Admit(address, why)) {
            log_("connection from " + address + " refused: " + (e ? e.message() : why));
            counters_.Dropped(e ? e.message() : why);
            if (!e) {
                socket.non_blocking(true, e);
                TFrame notice = MakeFrame(cmMessage, "\\message\\" + why);
                socket.write_some(asio::buffer(*notice), e);   // best effort
            }
            socket.close(e);
            Accept();
            return;
        }
        socket.non_blocking(true, e);
        socket.set_option(tcp::no_delay(true), e);
        TConnId id = nextId_++;
        auto conn = std::make_unique<TLobbyConnection>(id, std::move(socket), address);
        TLobbyConnection& c = *conn;
        connections_.emplace(id, std::move(conn));
        log_("connection " + std::to_string(id) + " from " + address);
        master_.Connected(id, address, Now());
        WaitRead(c);
        Accept();
    });
}

// --- reading -------------------------------------------------------------------

void TLobbyServer::WaitRead(TLobbyConnection& c)
{
    c.waitingRead = true;
    TConnId id = c.Id();
    c.Socket().async_wait(tcp::socket::wait_read, [this, id](const boost::system::error_code& ec) {
        if (ec == asio::error::operation_aborted)
            return;
        if (TLobbyConnection* c = Find(id)) {
            c->waitingRead = false;
            OnReadable(id);
        }
    });
}

void TLobbyServer::OnReadable(TConnId id)
{
    TLobbyConnection* c = Find(id);
    const uint32_t maxFrame = options_.limits.maxFrame;
    // Drain the socket: readiness is reported once per arrival, not per byte left.
    while (c && !c->closing) {
        boost::system::error_code ec;
        std::size_t n = c->Socket().read_some(asio::buffer(gReadBuffer), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
            break;
        if (ec) {
            Doom(*c, ec == asio::error::eof ? "closed by the client" : ec.message());
            break;
        }
        counters_.bytesIn += n;
        // Frames are cut straight out of the read buffer; only a tail that
        // is not yet a whole frame is kept (with what came before it).
        std::string& tail = c->ReceiveTail();
        std::string_view data(gReadBuffer, n);
        std::string joined;
        if (!tail.empty()) {
            joined = std::move(tail);
            joined.append(data);
            data = joined;
        }
        tail.clear();
        std::size_t at = 0;
        while (at < data.size()) {
            lobby::SplitResult r = lobby::SplitFrame(data.substr(at), maxFrame);
            if (r.status == lobby::SplitStatus::Incomplete)
                break;
            at += r.used;
            ++counters_.framesIn;
            if (r.status == lobby::SplitStatus::Bad) {
                if (r.oversized) {
                    // A length we refuse leaves nothing to resynchronise on.
                    TFrame notice = MakeFrame(cmMessage, "\\message\\Frame too large; connection closed.");
                    boost::system::error_code ignored;
                    c->Socket().write_some(asio::buffer(*notice), ignored);
                    Doom(*c, r.error);
                    break;
                }
                log_("connection " + std::to_string(id) + ": dropped a " + r.error);
                continue;
            }
            master_.Received(id, r.record, Now());
            c = Find(id);
            if (!c || c->closing)
                break;
        }
        if (c && !c->closing && at < data.size())
            c->ReceiveTail().assign(data.substr(at));
        if (n < sizeof gReadBuffer)
            break;   // short read: the socket is empty
    }
    if (c && !c->closing)
        WaitRead(*c);
    ScheduleSettle();
}

// --- writing -------------------------------------------------------------------

void TLobbyServer::Send(TConnId conn, const TFrame& frame)
{
    TLobbyConnection* c = Find(conn);
    if (!c || c->closing)
        return;
    if (!c->Queue(frame, options_.limits.sendQueue)) {
        Doom(*c, "send queue above " + std::to_string(options_.limits.sendQueue) + " bytes (slow reader)");
        return;
    }
    ++counters_.framesOut;
    if (!c->dirty && !c->waitingWrite) {
        c->dirty = true;
        dirty_.push_back(conn);
    }
}

void TLobbyServer::Reserve(TConnId conn, std::size_t bytes)
{
    if (TLobbyConnection* c = Find(conn))
        c->Reserve(bytes);
}

void TLobbyServer::WaitWrite(TLobbyConnection& c)
{
    c.waitingWrite = true;
    TConnId id = c.Id();
    c.Socket().async_wait(tcp::socket::wait_write, [this, id](const boost::system::error_code& ec) {
        if (ec == asio::error::operation_aborted)
            return;
        if (TLobbyConnection* c = Find(id)) {
            c->waitingWrite = false;
            OnWritable(id);
        }
    });
}

void TLobbyServer::OnWritable(TConnId id)
{
    if (TLobbyConnection* c = Find(id)) {
        if (!c->dirty) {
            c->dirty = true;
            dirty_.push_back(id);
        }
    }
    ScheduleSettle();
}

void TLobbyServer::ScheduleSettle()
{
    // Runs after the handlers already due, so frames from several clients
    // read in one turn of the loop go out with one write per receiver.
    if (settlePosted_)
        return;
    settlePosted_ = true;
    asio::post(io_, [this] {
        settlePosted_ = false;
        if (!stopped_)
            Settle();
    });
}

void TLobbyServer::Settle()
{
    while (!doomed_.empty() || !dirty_.empty()) {
        while (!doomed_.empty()) {
            auto [id, reason] = std::move(doomed_.back());
            doomed_.pop_back();
            Close(id, reason, true);
        }
        std::vector<TConnId> dirty;
        dirty.swap(dirty_);
        for (TConnId id : dirty) {
            TLobbyConnection* c = Find(id);
            if (!c)
                continue;
            c->dirty = false;
            if (c->closing)
                continue;
            bool blocked;
            std::string error;
            const std::size_t queued = c->Queued();
            const bool flushed = c->Flush(blocked, error);
            counters_.bytesOut += queued - c->Queued();
            if (!flushed)
                Doom(*c, error);
            else if (blocked && !c->waitingWrite)
                WaitWrite(*c);
        }
    }
}

// --- closing -------------------------------------------------------------------

void TLobbyServer::Doom(TLobbyConnection& c, const std::string& reason)
{
    if (c.closing)
        return;
    c.closing = true;
    doomed_.emplace_back(c.Id(), reason);
}

void TLobbyServer::Drop(TConnId conn, const std::string& reason)
{
    // The master has forgotten the connection already.
    Close(conn, reason, false);
}

void TLobbyServer::Close(TConnId id, const std::string& reason, bool tellMaster)
{
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    std::unique_ptr<TLobbyConnection> conn = std::move(it->second);
    connections_.erase(it);
    boost::system::error_code ec;
    conn->Socket().close(ec);
    counters_.Dropped(reason);
    if (!tellMaster)
        log_("connection " + std::to_string(id) + " dropped: " + reason);
    if (tellMaster)
        master_.Disconnected(id, reason);
#if defined(__GLIBC__)
    // The last client gone: hand the heap that a crowd took back to the system.
    if (connections_.empty()) {
        decltype(connections_)().swap(connections_);
        std::vector<TConnId>().swap(dirty_);
        malloc_trim(0);
    }
#endif
}

// --- timers --------------------------------------------------------------------

void TLobbyServer::Housekeeping()
{
    const TLobbyLimits& l = options_.limits;
    uint32_t interval = std::clamp<uint32_t>(std::min(l.keepAliveMs, l.nameDeadlineMs) / 8, 5, 1000);
    tick_.expires_after(std::chrono::milliseconds(interval));
    tick_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || stopped_)
            return;
        master_.Tick(Now());
        ScheduleSettle();
        Housekeeping();
    });
}
