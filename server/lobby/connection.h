// One client's socket with the bytes read but not yet handled, its input
// budget and its send queue. Reads and writes are non-blocking and driven by
// readiness waits, so an idle connection holds no buffer of its own.
#pragma once

#include "ratelimit.h"
#include "sendqueue.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <string>

class TLobbyConnection {
public:
    TLobbyConnection(TConnId id, boost::asio::ip::tcp::socket socket, std::string address);

    TConnId Id() const { return id_; }
    const std::string& Address() const { return address_; }
    boost::asio::ip::tcp::socket& Socket() { return socket_; }

    // Bytes read and not handled yet: frames held back by the input budget
    // or the work bound of one turn, and the start of an incomplete frame.
    std::string& Input() { return input_; }

    TSendQueue& Output() { return output_; }

    // What the client may make the server read and handle: bytes and
    // frames, each a rate with a burst.
    TTokenBucket inputBytes;
    TTokenBucket inputFrames;

    bool waitingRead = false;
    bool waitingWrite = false;
    bool paused = false;      // over its input budget: not read until it has refilled
    uint64_t floodSince = 0;  // first paused since its socket was last found empty (0: not)
    bool inRound = false;     // in the list of the next round of writes
    bool ready = false;       // in the list of the next settle
    bool closing = false;     // to be closed once the current event is done

private:
    TConnId id_;
    boost::asio::ip::tcp::socket socket_;
    std::string address_;
    std::string input_;
    TSendQueue output_;
};
