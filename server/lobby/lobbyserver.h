// The lobby service of parlevod: accepts clients, cuts their byte streams
// into records for TLobbyMaster and carries its frames back out.
//
// One client can cost the others only so much: what is read from it is
// bounded by its input budget (TInputPacer), and one turn of the loop
// handles at most a few frames of it before the others have their turn.
// When the queues are written is TWriteScheduler's to say; this class runs
// the sockets, the timers and the deferred closes.
#pragma once

#include "batchwrite.h"
#include "connection.h"
#include "inputpacer.h"
#include "lobbymaster.h"
#include "options.h"
#include "ratelimit.h"
#include "writescheduler.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <unordered_map>
#include <vector>

class TLobbyServer : private TLobbyOutput {
public:
    TLobbyServer(boost::asio::io_context& io, const TServerOptions& options, TLobbyMaster::TLog log);
    ~TLobbyServer() override;

    // Binds and starts accepting. Throws boost::system::system_error.
    void Start();
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }
    // Read-only views for the live lobby page and the metrics.
    TLobbySnapshot Snapshot() const { return master_.Snapshot(); }
    const TLobbyCounters& Counters() const { return counters_; }
    // Moderation: the checks of addresses (before anything is read), names
    // and mutes; kicks and notices by name (see TLobbyMaster).
    void SetGuard(TLobbyGuard guard, std::function<std::string(const std::string& address)> addressRefusal);
    bool Kick(const std::string& name, const std::string& notice, const std::string& reason);
    bool Notify(const std::string& name, const std::string& text);
    // The writes due together go to the system with one call (see TBatchWriter).
    bool WritesThroughRing() const { return writer_.Ring(); }

private:
    // How a turn of input work for a connection ended.
    enum class TTurn { Wait, More, Paused, Closed };

    void ReserveSocketState(std::size_t count);
    void Send(TConnId conn, const TFrame& frame, TSlot slot) override;
    void Hurry(TConnId conn) override;
    // Something was queued for the connection: it is written in the next
    // round, or after a moment when `urgent`.
    void ScheduleWrite(TLobbyConnection& c, bool urgent);
    void Drop(TConnId conn, const std::string& reason) override;
    void Dismiss(TConnId conn, const std::string& reason) override;

    void Accept();
    void Refused(const std::string& address, const std::string& why);
    void AwaitReadable(TLobbyConnection& c);
    void AwaitWritable(TLobbyConnection& c);
    // One turn of input work: the frames waiting, then at most one read.
    void ServeInput(TConnId id);
    TTurn HandleInput(TConnId id, std::size_t& handled);
    TTurn ReadOnce(TLobbyConnection& c);
    // Over its input budget: not read until it has refilled.
    void Rest(TLobbyConnection& c);
    void SetResumeTimer();
    void ResumeRested();
    // What became of a write of c's queue, which held `before` bytes: the
    // bytes are counted, and a failed socket is closed or a full one waited on.
    void AfterWrite(TLobbyConnection& c, TBatchWriter::TWrite& w, std::size_t before);
    void Housekeeping();
    void DropSlowReaders(uint64_t nowMs);
    void TrimAfterCrowd();
    // Ends a connection inside the current event; the next settle closes it.
    void CloseSoon(TLobbyConnection& c, const std::string& reason);
    // The write scheduler's two timers.
    void SetSettleTimer(std::chrono::microseconds delay);
    void SetRoundTimer(std::chrono::microseconds delay);
    // A settle: writes the queues that are due, then closes the connections
    // ending (the scheduler says which, and how many in one turn).
    void WriteAndClose();
    // Writes the queues of `ids` (a list the scheduler gave), and sees to
    // the sockets that failed or filled up.
    void Write(const std::vector<TConnId>& ids);
    void Close(TConnId id, const std::string& reason, bool tellMaster);
    TLobbyConnection* Find(TConnId id);
    uint64_t Now() const;

    // A turn of one connection reads at most this much, into this one
    // buffer; only what is not handled in the turn stays with the connection.
    static constexpr std::size_t kReadChunk = 16 * 1024;

    boost::asio::io_context& io_;
    TServerOptions options_;
    TLobbyMaster::TLog log_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer tick_;
    boost::asio::steady_timer acceptRetry_;
    boost::asio::steady_timer resume_;
    boost::asio::steady_timer settle_;
    boost::asio::steady_timer roundTimer_;
    std::chrono::steady_clock::time_point epoch_;
    TLobbyMaster master_;
    std::unordered_map<TConnId, std::unique_ptr<TLobbyConnection>> connections_;
    TInputPacer pacer_;
    TWriteScheduler scheduler_;
    TBatchWriter writer_;
    std::vector<TBatchWriter::TWrite> writes_;         // a settle's writes, kept between settles
    std::vector<std::pair<TLobbyConnection*, std::size_t>> writing_;   // and whose they are, with their bytes before
    std::array<char, kReadChunk> readBuffer_;
    LobbyRecord record_;                               // the record being handled, reused
    std::function<std::string(const std::string&)> addressRefusal_;
    std::size_t lingering_ = 0;                        // refused sockets closed after a moment
    TLogBudget refusedLog_;                            // lines about refused connections
    std::size_t crowd_ = 0;                            // most connections since the heap was last trimmed
    TLobbyCounters counters_;
    TConnId nextId_ = 1;
    bool stopped_ = false;
    uint64_t now_ = 0;                                 // the time of the event being handled
};
