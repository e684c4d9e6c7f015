// One client's socket with its receive tail and its bounded send queue.
// Reads and writes are non-blocking and driven by readiness waits, so an
// idle connection holds no read buffer of its own.
#pragma once

#include "lobbymaster.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <vector>
#include <string>

class TLobbyConnection {
public:
    TLobbyConnection(TConnId id, boost::asio::ip::tcp::socket socket, std::string address);

    TConnId Id() const { return id_; }
    const std::string& Address() const { return address_; }
    boost::asio::ip::tcp::socket& Socket() { return socket_; }

    // The incomplete frame at the end of what was read so far.
    std::string& ReceiveTail() { return tail_; }

    // Queues a frame; false when that would pass `limit` queued bytes.
    bool Queue(const TFrame& frame, std::size_t limit);
    // Writes as much of the queue as the socket takes. False on a socket
    // error (`error` says which); `blocked` when bytes are left over.
    bool Flush(bool& blocked, std::string& error);
    std::size_t Queued() const { return queued_; }
    // Lets the queue pass its limit by `bytes` until it has been written out.
    void Reserve(std::size_t bytes) { reserved_ += bytes; }

    bool waitingRead = false;
    bool waitingWrite = false;
    bool dirty = false;       // frames queued since the last flush
    bool closing = false;     // to be closed once the current event is done

private:
    TConnId id_;
    boost::asio::ip::tcp::socket socket_;
    std::string address_;
    std::string tail_;
    std::vector<TFrame> queue_;    // frames from head_ on are still to write
    std::size_t head_ = 0;
    std::size_t frontSent_ = 0;    // bytes of queue_[head_] already written
    std::size_t queued_ = 0;       // bytes still to write
    std::size_t reserved_ = 0;     // allowed above the limit until drained
};
