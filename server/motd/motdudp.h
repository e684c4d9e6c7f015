// The datagram side of the message-of-the-day service: one request in, at
// most one reply out, to the address the request came from.
#pragma once

#include "log.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class TMotdUdpServer {
public:
    using THandler = std::function<std::optional<std::string>(std::string_view datagram, const std::string& address)>;

    TMotdUdpServer(boost::asio::io_context& io, THandler handler, TLog log);

    // Binds and starts receiving. Throws boost::system::system_error.
    void Start(const boost::asio::ip::udp::endpoint& endpoint);
    void Stop();
    boost::asio::ip::udp::endpoint LocalEndpoint() const { return socket_.local_endpoint(); }

private:
    void Receive();

    boost::asio::ip::udp::socket socket_;
    THandler handler_;
    TLog log_;
    std::vector<char> buffer_;
    boost::asio::ip::udp::endpoint sender_;
    bool stopped_ = false;
};
