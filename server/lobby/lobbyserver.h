// The lobby service of parlevod: accepts clients, cuts their byte streams
// into records for TLobbyMaster and carries its frames back out.
#pragma once

#include "connection.h"
#include "lobbymaster.h"
#include "options.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

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

private:
    void ReserveSocketState(std::size_t count);
    void Send(TConnId conn, const TFrame& frame) override;
    void Drop(TConnId conn, const std::string& reason) override;
    void Reserve(TConnId conn, std::size_t bytes) override;

    void Accept();
    void WaitRead(TLobbyConnection& c);
    void WaitWrite(TLobbyConnection& c);
    void OnReadable(TConnId id);
    void OnWritable(TConnId id);
    void Housekeeping();
    // Ends a connection inside the current event; Settle() closes it.
    void Doom(TLobbyConnection& c, const std::string& reason);
    // Closes doomed connections and writes every queue that grew; repeated
    // until nothing is left, since both can cause the other.
    void Settle();
    void ScheduleSettle();
    void Close(TConnId id, const std::string& reason, bool tellMaster);
    TLobbyConnection* Find(TConnId id);
    uint64_t Now() const;

    boost::asio::io_context& io_;
    TServerOptions options_;
    TLobbyMaster::TLog log_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer tick_;
    boost::asio::steady_timer acceptRetry_;
    std::chrono::steady_clock::time_point epoch_;
    TLobbyMaster master_;
    std::unordered_map<TConnId, std::unique_ptr<TLobbyConnection>> connections_;
    std::vector<TConnId> dirty_;
    std::vector<std::pair<TConnId, std::string>> doomed_;
    TLobbyCounters counters_;
    TConnId nextId_ = 1;
    bool stopped_ = false;
    bool settlePosted_ = false;
};
