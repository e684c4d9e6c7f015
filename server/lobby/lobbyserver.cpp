#include "lobbyserver.h"

#include "acceptloop.h"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// A turn of one connection reads at most this much, into this one buffer;
// only what is not handled in the turn stays with the connection.
constexpr std::size_t kReadChunk = 16 * 1024;
char gReadBuffer[kReadChunk];
// Frames handled for one connection before the others have their turn.
constexpr std::size_t kFramesPerTurn = 16;
// Queues written and connections closed in one turn, so that a crowd
// arriving or leaving at once (each told to every player) is handled in
// rounds with the others' events between them.
constexpr std::size_t kWritesPerTurn = 256;
constexpr std::size_t kClosesPerTurn = 16;
// How long frames wait for others to the same receivers before they are
// written: one write a receiver carries what arrives in that time.
constexpr std::chrono::microseconds kGatherWrites(1000);
// How far apart the rounds that write the lobby's state are, per connection,
// within the bounds: a round costs a write to every connection that has
// something waiting, so spacing them by the lobby's size holds the rounds to
// at most 10,000 writes a second however big the lobby grows (100
// connections: 10 ms apart; 500: 50 ms; 2,000: 200 ms).
constexpr std::chrono::microseconds kRoundPerConnection(100);
constexpr std::chrono::microseconds kLongestRound(250'000);
// Frames a queue may hold before it is written without waiting for the round.
constexpr std::size_t kRoundBacklog = 48;
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
        c.inputBytes = TTokenBucket(options_.limits.inputRate, options_.limits.inputBurst, now);
        c.inputFrames = TTokenBucket(options_.limits.frameRate, options_.limits.frameBurst, now);
        connections_.emplace(id, std::move(conn));
        crowd_ = std::max(crowd_, connections_.size());
        master_.Connected(id, address, now);
        WaitRead(c);
        ScheduleSettle();
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

void TLobbyServer::WaitRead(TLobbyConnection& c)
{
    c.waitingRead = true;
    TConnId id = c.Id();
    c.Socket().async_wait(tcp::socket::wait_read, [this, id](const boost::system::error_code& ec) {
        if (ec == asio::error::operation_aborted)
            return;
        if (TLobbyConnection* c = Find(id)) {
            c->waitingRead = false;
            Serve(id);
        }
    });
}

void TLobbyServer::Serve(TConnId id)
{
    TLobbyConnection* c = Find(id);
    if (!c || c->closing || c->paused || c->waitingRead)
        return;
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
        WaitRead(*c);
        break;
    case TTurn::More:
        // Behind every other handler that is due.
        asio::post(io_, [this, id] { Serve(id); });
        break;
    case TTurn::Paused:
        Pause(*c);
        break;
    case TTurn::Closed:
        break;
    }
    ScheduleSettle();
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
            TBatchWriter::WriteOne(w);
            counters_.bytesOut += before - c->Output().Bytes();
            Doom(*c, lobby::SplitFrame(data, limits.maxFrame).error);
            return TTurn::Closed;
        }
        if (limits.floodLimit && !c->inputFrames.Take(now)) {
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
        if (!c || c->closing)
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
    if (options_.limits.floodLimit && c.inputBytes.Level(now) <= 0)
        return TTurn::Paused;
    boost::system::error_code ec;
    std::size_t n = c.Socket().read_some(asio::buffer(gReadBuffer), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        c.floodSince = 0;   // it does not send faster than it is read
        return TTurn::Wait;
    }
    if (ec) {
        Doom(c, ec == asio::error::eof ? "closed by the client" : ec.message());
        return TTurn::Closed;
    }
    // Charged in full: a client over its budget waits until it is paid off.
    c.inputBytes.Charge(now, double(n));
    counters_.bytesIn += n;
    c.Input().append(gReadBuffer, n);
    // A full buffer may have left more in the socket, which will not wake
    // us again: it is read in a later turn.
    if (n == sizeof gReadBuffer)
        return TTurn::More;
    c.floodSince = 0;
    return TTurn::Wait;
}

void TLobbyServer::Pause(TLobbyConnection& c)
{
    const uint64_t now = now_ = Now();
    // Slowed down, a client could still keep a backlog in the kernel long
    // after it is gone. One that outpaces its budget all along is a flood.
    if (c.floodSince == 0) {
        c.floodSince = now;
    } else if (now - c.floodSince >= options_.limits.inputFloodMs) {
        Doom(c, "input flood: over its input budget for " + std::to_string(now - c.floodSince) + " ms");
        return;
    }
    uint64_t wait = std::max(c.inputBytes.WaitFor(now, 1), c.inputFrames.WaitFor(now, 1));
    uint64_t at = now + std::max<uint64_t>(wait, 1);
    c.paused = true;
    paused_.emplace(at, c.Id());
    if (resumeAt_ != 0 && resumeAt_ <= at)
        return;
    resumeAt_ = at;
    resume_.expires_at(epoch_ + std::chrono::milliseconds(at));
    resume_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec && !stopped_)
            ResumeDue();
    });
}

void TLobbyServer::ResumeDue()
{
    resumeAt_ = 0;
    const uint64_t now = now_ = Now();
    std::vector<TConnId> due;
    while (!paused_.empty() && paused_.begin()->first <= now) {
        due.push_back(paused_.begin()->second);
        paused_.erase(paused_.begin());
    }
    for (TConnId id : due) {
        if (TLobbyConnection* c = Find(id)) {
            c->paused = false;
            // Each in a turn of its own, so many resumed at once still take turns.
            asio::post(io_, [this, id] { Serve(id); });
        }
    }
    if (!paused_.empty()) {
        resumeAt_ = paused_.begin()->first;
        resume_.expires_at(epoch_ + std::chrono::milliseconds(resumeAt_));
        resume_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec && !stopped_)
                ResumeDue();
        });
    }
}

// --- writing -------------------------------------------------------------------

void TLobbyServer::Send(TConnId conn, const TFrame& frame, TSlot slot)
{
    TLobbyConnection* c = Find(conn);
    if (!c || c->closing)
        return;
    if (!c->Output().Push(frame, slot, now_, options_.limits.sendQueue)) {
        Doom(*c, "more than " + std::to_string(options_.limits.sendQueue)
                     + " bytes of chat and notices waiting (slow reader)");
        return;
    }
    ++counters_.framesOut;
    // Chat, notices and pings are what a player waits for; the records of
    // the lobby's state may wait for the next round.
    Queued(*c, slot.kind == TSlot::None || slot.kind == TSlot::GameGone);
}

void TLobbyServer::Hurry(TConnId conn)
{
    TLobbyConnection* c = Find(conn);
    if (c && !c->closing && !c->Output().Empty())
        Queued(*c, true);
}

void TLobbyServer::Queued(TLobbyConnection& c, bool urgent)
{
    if (c.waitingWrite)
        return;   // written once the socket takes more
    if (!c.inRound) {
        c.inRound = true;
        round_.push_back(c.Id());
        ScheduleRound();
    }
    // A queue that holds a good many records already goes without waiting
    // for the round: one write carries them all the same, and what waits
    // for a round stays small however fast the lobby changes.
    if ((urgent || c.Output().Frames() >= kRoundBacklog) && !c.ready) {
        c.ready = true;
        ready_.push_back(c.Id());
        ScheduleSettle();
    }
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
            now_ = Now();
            // It has waited already: what is left goes at once.
            Queued(*c, true);
        }
    });
}

void TLobbyServer::ScheduleSettle(bool gather)
{
    // Waits a moment for what else is on its way: the lines that several
    // clients send at once then go out with one write per receiver instead
    // of one each. A round left over from a busy turn goes as soon as the
    // handlers already due have run.
    if (settlePending_)
        return;
    settlePending_ = true;
    if (!gather) {
        asio::post(io_, [this] {
            settlePending_ = false;
            if (!stopped_)
                Settle();
        });
        return;
    }
    settle_.expires_after(kGatherWrites);
    settle_.async_wait([this](const boost::system::error_code& ec) {
        settlePending_ = false;
        if (!ec && !stopped_)
            Settle();
    });
}

void TLobbyServer::Written(TLobbyConnection& c, TBatchWriter::TWrite& w, std::size_t before)
{
    counters_.bytesOut += before - c.Output().Bytes();
    if (w.failed)
        Doom(c, w.error);
    else if (w.blocked && !c.waitingWrite)
        WaitWrite(c);
}

std::chrono::microseconds RoundSpacing(std::size_t connections, uint32_t sendWaitMs)
{
    // A record waits for its round, and a frame that waits --send-wait
    // makes its reader a slow one: a round comes well within that time.
    const auto longest = std::min<std::chrono::microseconds>(kLongestRound, std::chrono::milliseconds(sendWaitMs) / 4);
    return std::clamp(int64_t(connections) * kRoundPerConnection, std::chrono::microseconds(kGatherWrites),
                      std::max<std::chrono::microseconds>(longest, kGatherWrites));
}

void TLobbyServer::ScheduleRound()
{
    // The lobby's state goes out in rounds, the more players the further
    // apart: every change is told to every player, so a crowd arriving one
    // by one would otherwise cost a write to each player for each arrival.
    // What waits for a round is bounded by the send queues' own rules.
    // A record that changes again within a round is sent once (see
    // TSendQueue), and what a player waits for goes at once all the same.
    if (roundPending_)
        return;
    roundPending_ = true;
    const auto wait = RoundSpacing(connections_.size(), options_.limits.sendWaitMs);
    roundTimer_.expires_after(wait);
    roundTimer_.async_wait([this](const boost::system::error_code& ec) {
        roundPending_ = false;
        if (ec || stopped_)
            return;
        for (TConnId id : round_) {
            TLobbyConnection* c = Find(id);
            if (!c)
                continue;
            c->inRound = false;
            if (!c->ready && !c->waitingWrite && !c->closing && !c->Output().Empty()) {
                c->ready = true;
                ready_.push_back(id);
            }
        }
        round_.clear();
        now_ = Now();
        Settle();
    });
}

void TLobbyServer::Settle()
{
    // What is queued goes out before the doomed are closed: closing tells
    // everyone of each departure, and must not hold up what was already on
    // its way. Whatever that brings waits for a turn of its own, behind the
    // handlers already due, so a crowd leaving at once is told in rounds.
    const std::size_t writes = std::min(ready_.size(), kWritesPerTurn);
    std::vector<TConnId> ready(ready_.begin(), ready_.begin() + std::ptrdiff_t(writes));
    ready_.erase(ready_.begin(), ready_.begin() + std::ptrdiff_t(writes));
    now_ = Now();
    writes_.clear();
    writing_.clear();
    for (TConnId id : ready) {
        TLobbyConnection* c = Find(id);
        if (!c)
            continue;
        c->ready = false;
        if (c->closing)
            continue;
        writes_.emplace_back(c->Socket().native_handle(), &c->Output());
        writing_.emplace_back(c, c->Output().Bytes());
    }
    writer_.Write(writes_);
    for (std::size_t i = 0; i < writes_.size(); ++i)
        Written(*writing_[i].first, writes_[i], writing_[i].second);
    std::vector<std::pair<TConnId, std::string>> doomed;
    const std::size_t n = std::min(doomed_.size(), kClosesPerTurn);
    doomed.assign(std::make_move_iterator(doomed_.begin()), std::make_move_iterator(doomed_.begin() + n));
    doomed_.erase(doomed_.begin(), doomed_.begin() + std::ptrdiff_t(n));
    for (auto& [id, reason] : doomed)
        Close(id, reason, true);
    if (!ready_.empty() || !doomed_.empty())
        ScheduleSettle(false);
}

// --- closing -------------------------------------------------------------------

void TLobbyServer::Doom(TLobbyConnection& c, const std::string& reason)
{
    if (c.closing)
        return;
    c.closing = true;
    doomed_.emplace_back(c.Id(), reason);
    ScheduleSettle();
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
    if (!c || c->closing)
        return;
    std::vector<TBatchWriter::TWrite> one{{c->Socket().native_handle(), &c->Output()}};
    const std::size_t before = c->Output().Bytes();
    writer_.Write(one);
    counters_.bytesOut += before - c->Output().Bytes();
    // The end comes a moment later: a client that sees the end of the stream
    // together with the notice may deal with the end first and never show it.
    auto linger = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(kDismissLingerMs));
    linger->async_wait([this, conn, reason, linger](const boost::system::error_code& ec) {
        if (ec || stopped_)
            return;
        if (TLobbyConnection* c = Find(conn))
            Doom(*c, reason);
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
        std::vector<TConnId>().swap(round_);
        std::vector<TConnId>().swap(ready_);
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
        ScheduleSettle();
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
        if (!c->closing && !q.Empty() && nowMs - q.WaitingSince() > limit)
            Doom(*c, "slow reader: a frame waited " + std::to_string(nowMs - q.WaitingSince()) + " ms");
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
