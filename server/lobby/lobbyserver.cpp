#include "lobbyserver.h"

#include "acceptloop.h"

#include <algorithm>
#include <optional>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Frames handled for one connection before the others have their turn.
constexpr std::size_t kFramesPerTurn = 16;
// Lines a minute about connections refused at the door.
constexpr uint32_t kRefusedLogLines = 60;
// How long a connection shown the door with a notice (a kick, a ban) stays
// open after it, so that its client reads the notice before the end; and how
// many refused newcomers may wait so at once (the rest are closed at once).
constexpr uint32_t kDismissLingerMs = 1000;
constexpr std::size_t kMaxLingering = 256;

} // namespace

TLobbyServer::TLobbyServer(asio::io_context& io, const TServerOptions& options, TLobbyMaster::TLog log)
    : io_(io),
      options_(options),
      log_(std::move(log)),
      acceptor_(io),
      tick_(io),
      acceptRetry_(io),
      resume_(io),
      settle_(io),
      roundTimer_(io),
      epoch_(std::chrono::steady_clock::now()),
      master_(options.limits, *this, log_, 0),
      pacer_(options.limits),
      scheduler_(options.limits.sendWaitMs,
                 {[this](std::chrono::microseconds delay) { SetSettleTimer(delay); },
                  [this](std::chrono::microseconds delay) { SetRoundTimer(delay); }},
                 [this](TConnId id) -> TWriteState* {
                     TLobbyConnection* c = Find(id);
                     return c ? &c->writes : nullptr;
                 }),
      refusedLog_(kRefusedLogLines, 0)
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
    resume_.cancel();
    settle_.cancel();
    roundTimer_.cancel();
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
    AcceptConnection(acceptor_, acceptRetry_, stopped_, log_, "", [this](tcp::socket socket) {
        boost::system::error_code e;
        tcp::endpoint remote = socket.remote_endpoint(e);
        std::string address = e ? std::string("?") : remote.address().to_string();
        if (!e && remote.address().is_v6() && remote.address().to_v6().is_v4_mapped())
            address = asio::ip::make_address_v4(asio::ip::v4_mapped, remote.address().to_v6()).to_string();
        std::string why;
        // A banned address is told so and closed before anything is read.
        if (!e && addressRefusal_)
            why = addressRefusal_(address);
        if (e || !why.empty() || !master_.Admit(address, Now(), why)) {
            Refused(address, e ? e.message() : why);
            if (!e) {
                socket.non_blocking(true, e);
                TFrame notice = MakeFrame(cmMessage, "\\message\\" + why);
                socket.write_some(asio::buffer(*notice), e);   // best effort
            }
            if (!e && lingering_ < kMaxLingering) {
                // Closed a moment after the notice, as Dismiss does.
                ++lingering_;
                auto held = std::make_shared<tcp::socket>(std::move(socket));
                auto linger = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(kDismissLingerMs));
                linger->async_wait([this, held, linger](const boost::system::error_code&) {
                    boost::system::error_code ignored;
                    held->close(ignored);
                    --lingering_;
                });
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
        const uint64_t now = now_ = Now();
        c.budget = pacer_.NewBudget(now);
        connections_.emplace(id, std::move(conn));
        crowd_ = std::max(crowd_, connections_.size());
        master_.Connected(id, address, now);
        AwaitReadable(c);
        scheduler_.RequestSettle();
        Accept();
    });
}

void TLobbyServer::Refused(const std::string& address, const std::string& why)
{
    // A crowd knocking at a full door is one line now and then, with a count.
    counters_.Dropped(why);
    std::string line = "connection from " + address + " refused: " + why;
    if (refusedLog_.Pass(line, Now()))
        log_(line);
}

// --- reading -------------------------------------------------------------------

void TLobbyServer::AwaitReadable(TLobbyConnection& c)
{
    c.awaitingReadable = true;
    TConnId id = c.Id();
    c.Socket().async_wait(tcp::socket::wait_read, [this, id](const boost::system::error_code& ec) {
        if (ec == asio::error::operation_aborted)
            return;
        if (TLobbyConnection* c = Find(id)) {
            c->awaitingReadable = false;
            ServeInput(id);
        }
    });
}

void TLobbyServer::ServeInput(TConnId id)
{
    TLobbyConnection* c = Find(id);
    if (!c || c->writes.closing || c->budget.paused || c->awaitingReadable)
        return;
    // A chat line past its gather goes out before more requests are handled:
    // its settle may be queued behind a crowd's input.
    if (scheduler_.PromptOverdue(now_ = Now())) {
        Write(scheduler_.TakePromptWrites());
        if (c->writes.closing)
            return;
    }
    std::size_t handled = 0;
    TTurn turn = HandleInput(id, handled);
    if (turn == TTurn::Wait) {
        // Nothing whole is waiting: read once, and handle what came.
        TTurn read = ReadOnce(*Find(id));
        turn = read;
        if (read == TTurn::Wait || read == TTurn::More) {
            turn = HandleInput(id, handled);
            if (turn == TTurn::Wait)
                turn = read;
        }
    }
    c = Find(id);
    switch (turn) {
    case TTurn::Wait:
        // The socket had no more to give: its next arrival wakes us.
        AwaitReadable(*c);
        break;
    case TTurn::More:
        // Behind every other handler that is due.
        asio::post(io_, [this, id] { ServeInput(id); });
        break;
    case TTurn::Paused:
        Rest(*c);
        break;
    case TTurn::Closed:
        break;
    }
    scheduler_.RequestSettle();
}

TLobbyServer::TTurn TLobbyServer::HandleInput(TConnId id, std::size_t& handled)
{
    TLobbyConnection* c = Find(id);
    const TLobbyLimits& limits = options_.limits;
    const uint64_t now = now_ = Now();
    std::size_t at = 0;
    TTurn turn = TTurn::Wait;
    for (;;) {
        std::string_view data = std::string_view(c->Input()).substr(at);
        if (data.empty())
            break;
        if (handled >= kFramesPerTurn) {
            turn = TTurn::More;
            break;
        }
        // Measured first, deciphered only once it is taken: a frame held
        // back by the budget stays as it came, to be read in a later turn.
        lobby::FrameExtent extent = lobby::MeasureFrame(data, limits.maxFrame);
        if (extent.status == lobby::SplitStatus::Incomplete)
            break;
        if (extent.status == lobby::SplitStatus::Bad) {
            // A length we refuse leaves nothing to resynchronise on. The
            // client is told, behind whatever it was still to get.
            c->Output().Push(MakeFrame(cmMessage, "\\message\\Frame too large; connection closed."), {}, now,
                             SIZE_MAX);
            const std::size_t before = c->Output().Bytes();
            TBatchWriter::TWrite w(c->Socket().native_handle(), &c->Output());
            writer_.WriteOne(w);
            counters_.bytesOut += before - c->Output().Bytes();
            CloseSoon(*c, lobby::SplitFrame(data, limits.maxFrame).error);
            return TTurn::Closed;
        }
        if (!pacer_.TakeFrame(c->budget, now)) {
            turn = TTurn::Paused;
            break;
        }
        // Deciphered where it lies in the input; the record's param is
        // copied once, into a buffer that keeps its size from frame to frame.
        lobby::OpenedFrame r = lobby::OpenFrame(c->Input().data() + at, extent.used, limits.maxFrame);
        at += r.used;
        ++handled;
        ++counters_.framesIn;
        if (r.status == lobby::SplitStatus::Bad) {
            master_.BadFrame(id, r.error, now);
        } else {
            record_.type = r.record.type;
            record_.player = r.record.player;
            record_.param.assign(r.record.param);
            master_.Received(id, record_, now);
        }
        c = Find(id);
        if (!c || c->writes.closing)
            return TTurn::Closed;
    }
    std::string& input = c->Input();
    input.erase(0, at);
    if (input.empty() && input.capacity() > 256)
        std::string().swap(input);   // an idle connection holds no buffer
    return turn;
}

TLobbyServer::TTurn TLobbyServer::ReadOnce(TLobbyConnection& c)
{
    const uint64_t now = now_ = Now();
    if (!pacer_.MayRead(c.budget, now))
        return TTurn::Paused;
    boost::system::error_code ec;
    std::size_t n = c.Socket().read_some(asio::buffer(readBuffer_), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        pacer_.CaughtUp(c.budget);
        return TTurn::Wait;
    }
    if (ec) {
        CloseSoon(c, ec == asio::error::eof ? "closed by the client" : ec.message());
        return TTurn::Closed;
    }
    pacer_.Read(c.budget, n, now);
    counters_.bytesIn += n;
    c.Input().append(readBuffer_.data(), n);
    // A full buffer may have left more in the socket, which will not wake
    // us again: it is read in a later turn.
    if (n == readBuffer_.size())
        return TTurn::More;
    pacer_.CaughtUp(c.budget);
    return TTurn::Wait;
}

void TLobbyServer::Rest(TLobbyConnection& c)
{
    const uint64_t now = now_ = Now();
    if (std::optional<std::string> flood = pacer_.Pause(c.Id(), c.budget, now)) {
        CloseSoon(c, *flood);
        return;
    }
    SetResumeTimer();
}

void TLobbyServer::SetResumeTimer()
{
    const uint64_t at = pacer_.TimerToSet();
    if (at == 0)
        return;
    resume_.expires_at(epoch_ + std::chrono::milliseconds(at));
    resume_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec && !stopped_)
            ResumeRested();
    });
}

void TLobbyServer::ResumeRested()
{
    const uint64_t now = now_ = Now();
    for (TConnId id : pacer_.TakeDue(now)) {
        if (TLobbyConnection* c = Find(id)) {
            c->budget.paused = false;
            // Each in a turn of its own, so many resumed at once still take turns.
            asio::post(io_, [this, id] { ServeInput(id); });
        }
    }
    SetResumeTimer();
}

// --- writing -------------------------------------------------------------------

void TLobbyServer::Send(TConnId conn, const TFrame& frame, TSlot slot)
{
    TLobbyConnection* c = Find(conn);
    if (!c || c->writes.closing)
        return;
    if (!c->Output().Push(frame, slot, now_, options_.limits.sendQueue)) {
        CloseSoon(*c, "more than " + std::to_string(options_.limits.sendQueue)
                          + " bytes of chat and notices waiting (slow reader)");
        return;
    }
    ++counters_.framesOut;
    // Chat, notices and pings are what a player waits for; the records of
    // the lobby's state, and the closing of a game, may wait for the next
    // round.
    ScheduleWrite(*c, slot.kind == TSlot::None);
}

void TLobbyServer::Hurry(TConnId conn)
{
    TLobbyConnection* c = Find(conn);
    if (c && !c->writes.closing && !c->Output().Empty())
        ScheduleWrite(*c, true);
}

void TLobbyServer::ScheduleWrite(TLobbyConnection& c, bool urgent)
{
    scheduler_.Queued(c.Id(), c.writes, urgent, connections_.size(), now_);
}

void TLobbyServer::AwaitWritable(TLobbyConnection& c)
{
    c.writes.awaitingWritable = true;
    TConnId id = c.Id();
    c.Socket().async_wait(tcp::socket::wait_write, [this, id](const boost::system::error_code& ec) {
        if (ec == asio::error::operation_aborted)
            return;
        if (TLobbyConnection* c = Find(id)) {
            c->writes.awaitingWritable = false;
            now_ = Now();
            // It has waited already: what is left goes at once.
            ScheduleWrite(*c, true);
        }
    });
}

void TLobbyServer::AfterWrite(TLobbyConnection& c, TBatchWriter::TWrite& w, std::size_t before)
{
    counters_.bytesOut += before - c.Output().Bytes();
    if (w.failed)
        CloseSoon(c, w.error);
    else if (w.blocked && !c.writes.awaitingWritable)
        AwaitWritable(c);
}

void TLobbyServer::SetSettleTimer(std::chrono::microseconds delay)
{
    if (delay.count() == 0) {
        // Behind every handler that is due already.
        asio::post(io_, [this] {
            scheduler_.SettleFired();
            if (!stopped_)
                WriteAndClose();
        });
        return;
    }
    settle_.expires_after(delay);
    settle_.async_wait([this](const boost::system::error_code& ec) {
        scheduler_.SettleFired();
        if (!ec && !stopped_)
            WriteAndClose();
    });
}

void TLobbyServer::SetRoundTimer(std::chrono::microseconds delay)
{
    roundTimer_.expires_after(delay);
    roundTimer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || stopped_)
            return;
        scheduler_.Round();
        now_ = Now();
        WriteAndClose();
    });
}

void TLobbyServer::WriteAndClose()
{
    now_ = Now();
    Write(scheduler_.TakeWrites());
    for (auto& [id, reason] : scheduler_.TakeCloses())
        Close(id, reason, true);
    scheduler_.SettleDone();
}

void TLobbyServer::Write(const std::vector<TConnId>& ids)
{
    writes_.clear();
    writing_.clear();
    for (TConnId id : ids) {
        TLobbyConnection* c = Find(id);
        writes_.emplace_back(c->Socket().native_handle(), &c->Output());
        writing_.emplace_back(c, c->Output().Bytes());
    }
    writer_.Write(writes_);
    for (std::size_t i = 0; i < writes_.size(); ++i)
        AfterWrite(*writing_[i].first, writes_[i], writing_[i].second);
}

// --- closing -------------------------------------------------------------------

void TLobbyServer::CloseSoon(TLobbyConnection& c, const std::string& reason)
{
    scheduler_.CloseSoon(c.Id(), c.writes, reason);
}

void TLobbyServer::Drop(TConnId conn, const std::string& reason)
{
    // The master has forgotten the connection already.
    Close(conn, reason, false);
}

void TLobbyServer::Dismiss(TConnId conn, const std::string& reason)
{
    // The notice just queued goes now, as far as the socket takes it; then
    // the connection ends like any other doomed one.
    TLobbyConnection* c = Find(conn);
    if (!c || c->writes.closing)
        return;
    const std::size_t before = c->Output().Bytes();
    TBatchWriter::TWrite w(c->Socket().native_handle(), &c->Output());
    writer_.WriteOne(w);
    counters_.bytesOut += before - c->Output().Bytes();
    // The end comes a moment later: a client that sees the end of the stream
    // together with the notice may deal with the end first and never show it.
    auto linger = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(kDismissLingerMs));
    linger->async_wait([this, conn, reason, linger](const boost::system::error_code& ec) {
        if (ec || stopped_)
            return;
        if (TLobbyConnection* c = Find(conn))
            CloseSoon(*c, reason);
    });
}

void TLobbyServer::SetGuard(TLobbyGuard guard, std::function<std::string(const std::string&)> addressRefusal)
{
    addressRefusal_ = std::move(addressRefusal);
    master_.SetGuard(std::move(guard));
}

bool TLobbyServer::Kick(const std::string& name, const std::string& notice, const std::string& reason)
{
    now_ = Now();
    return master_.Dismiss(name, notice, reason);
}

bool TLobbyServer::Notify(const std::string& name, const std::string& text)
{
    now_ = Now();
    return master_.Notify(name, text);
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
    if (tellMaster)
        master_.Disconnected(id, reason);
#if defined(__GLIBC__)
    // The last client gone: hand the heap that a crowd took back to the system.
    if (connections_.empty()) {
        decltype(connections_)().swap(connections_);
        scheduler_.ReleaseMemory();
        malloc_trim(0);
        crowd_ = 0;
    }
#endif
}

// --- timers --------------------------------------------------------------------

void TLobbyServer::Housekeeping()
{
    const TLobbyLimits& l = options_.limits;
    uint32_t interval = std::clamp<uint32_t>(std::min({l.keepAliveMs, l.nameDeadlineMs, l.sendWaitMs}) / 8, 5, 1000);
    tick_.expires_after(std::chrono::milliseconds(interval));
    tick_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || stopped_)
            return;
        const uint64_t now = now_ = Now();
        master_.Tick(now);
        DropSlowReaders(now);
        TrimAfterCrowd();
        scheduler_.RequestSettle();
        Housekeeping();
    });
}

void TLobbyServer::DropSlowReaders(uint64_t nowMs)
{
    // A reader is slow when what it is sent waits too long, not when others
    // send it much at once: its queue holds one record per player and game
    // at most, and the senders' own budgets bound the rest.
    const uint32_t limit = options_.limits.sendWaitMs;
    for (auto& [id, c] : connections_) {
        TSendQueue& q = c->Output();
        if (!c->writes.closing && !q.Empty() && nowMs - q.WaitingSince() > limit)
            CloseSoon(*c, "slow reader: a frame waited " + std::to_string(nowMs - q.WaitingSince()) + " ms");
    }
}

void TLobbyServer::TrimAfterCrowd()
{
#if defined(__GLIBC__)
    // When half of the most connections there were since have gone, hand
    // the heap they took back to the system: once a tick at most, since it
    // takes a while with a big heap.
    if (crowd_ >= 256 && connections_.size() <= crowd_ / 2) {
        malloc_trim(0);
        crowd_ = connections_.size();
    }
#endif
}
