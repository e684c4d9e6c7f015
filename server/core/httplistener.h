// A small web server for parlevod's own pages (the message of the day, the
// live lobby): Boost.Beast HTTP/1.x on one port, each request answered by a
// handler with a THttpAnswer. Each connection must send a whole request header (at most
// 8 KiB) within the idle time; the number of connections open at once is
// bounded, and one past the bound is told 503 and closed. So is the number
// from one address: a newcomer from an address at its bound takes the place
// of that address's oldest connection that is not being answered, so one
// address can neither hold every place nor keep its own clients out. A
// request with a Transfer-Encoding (no request here has a body) is told 400
// and closed. Log lines about one address have a budget a minute.
#pragma once

#include "httpanswer.h"
#include "log.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class THttpListener {
public:
    using THandler = std::function<THttpAnswer(std::string_view method, std::string_view target,
                                               const std::string& address)>;
    static constexpr std::size_t kHeaderLimit = 8 * 1024;

    struct TLimits {
        uint32_t maxConnections = 256;           // open at once; one more is told 503
        uint32_t perAddress = 8;                 // open at once from one address
        std::chrono::milliseconds idle{10'000};  // to send a whole request
        uint32_t logLines = 30;                  // log lines a minute about one address
    };
    THttpListener(boost::asio::io_context& io, THandler handler, TLog log, const TLimits& limits);
    ~THttpListener();

    // Binds and starts accepting. Throws boost::system::system_error.
    void Start(const boost::asio::ip::tcp::endpoint& endpoint);
    void Stop();
    boost::asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }
    // A line about a client at `address`, within the address's log budget.
    void LogAbout(const std::string& address, std::string line);

private:
    class TSession;
    struct TShared;

    void Accept();
    void Refuse(boost::asio::ip::tcp::socket& socket, const std::string& address);
    // Makes room for one more connection from `address`: false when every
    // one of its connections is being answered.
    bool MakeRoomFor(const std::string& address);

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer acceptRetry_;
    // What the sessions share with the server; it outlives the server while
    // a session's handler is still queued.
    std::shared_ptr<TShared> shared_;
};
