// The master list service of parlevod: list clients over TCP, game servers'
// heartbeats over UDP, both fed to TMasterList.
#pragma once

#include "masterlist.h"
#include "options.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <unordered_map>

class TListServer : private TMasterListOutput {
public:
    TListServer(boost::asio::io_context& io, const TServerOptions& options, TLog log);
    ~TListServer() override;

    // Reads the game keys and binds both ports. Throws std::exception with
    // a message for the operator.
    void Start();
    void Stop();
    // Reads the game keys file again (on SIGHUP); the keys in force stay
    // when it cannot be read or is not sound.
    void ReloadKeys();
    // A port another service of this server listens on: never probed.
    void AddOwnPort(uint16_t port) { master_.AddOwnPort(port); }
    // Game servers listed now, and probes waiting for an answer.
    std::size_t ServerCount() const { return master_.ServerCount(); }
    std::size_t ProbeCount() const { return master_.ProbeCount(); }
    boost::asio::ip::tcp::endpoint ListEndpoint() const { return acceptor_.local_endpoint(); }
    boost::asio::ip::udp::endpoint HeartbeatEndpoint() const { return heartbeats_.local_endpoint(); }

private:
    struct TSession;
    using TSessionPtr = std::shared_ptr<TSession>;

    void SendDatagram(const TPeer& to, std::string_view datagram) override;
    // The built-in keys and those of the keys file. Throws std::runtime_error.
    TGameKeys ReadKeys() const;

    void Accept();
    void Begin(TSessionPtr s);
    void Read(TSessionPtr s);
    void Answer(TSessionPtr s, std::string text);
    void Drain(TSessionPtr s);
    void End(const TSessionPtr& s);
    void ReceiveHeartbeat();
    void Housekeeping();
    std::string NewChallenge();
    uint64_t Now() const;

    TServerOptions options_;
    TLog log_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::udp::socket heartbeats_;
    boost::asio::steady_timer tick_;
    boost::asio::steady_timer acceptRetry_;
    std::chrono::steady_clock::time_point epoch_;
    TGameKeys keys_;
    TMasterList master_;
    std::unordered_map<uint64_t, TSessionPtr> sessions_;
    std::unordered_map<std::string, uint32_t> sessionsPerAddress_;
    uint64_t nextSession_ = 1;
    boost::asio::ip::udp::endpoint heartbeatFrom_;
    char heartbeatBuffer_[1500];
    std::mt19937 random_;
    bool stopped_ = false;
};
