// One client's socket with the bytes read but not yet handled, its input
// budget and its send queue. Reads and writes are non-blocking and driven by
// readiness waits, so an idle connection holds no buffer of its own.
#pragma once

#include "inputpacer.h"
#include "sendqueue.h"
#include "writescheduler.h"

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

private:
    TConnId id_;
    boost::asio::ip::tcp::socket socket_;
    std::string address_;
    std::string input_;
    TSendQueue output_;

public:
    // What the client may make the server read and handle (see TInputPacer).
    TInputBudget budget;
    // Where its queue is in the write schedule (see TWriteScheduler).
    TWriteState writes{output_};
    bool awaitingReadable = false;   // a wait for its next bytes is under way
};
