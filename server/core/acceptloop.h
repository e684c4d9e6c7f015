// Taking connections one after another, as every TCP service of parlevod
// does: each accepted socket goes to the service's handler, which asks for
// the next one when it is done with it.
#pragma once

#include "log.h"

#include <boost/asio.hpp>

#include <chrono>
#include <string>
#include <utility>

// Accepts the next connection on `acceptor` and gives it to `take`
// (void(tcp::socket)). A failed accept (out of descriptors, a passing
// network error) is logged as "<what>accept failed: ..." and tried again
// after 100 ms; a cancelled one, or any once `stopped` is set, ends it.
template <class Take>
void AcceptConnection(boost::asio::ip::tcp::acceptor& acceptor, boost::asio::steady_timer& retry, const bool& stopped,
                      const TLog& log, std::string what, Take take)
{
    acceptor.async_accept([&acceptor, &retry, &stopped, &log, what = std::move(what),
                           take = std::move(take)](const boost::system::error_code& ec,
                                                   boost::asio::ip::tcp::socket socket) mutable {
        if (stopped || ec == boost::asio::error::operation_aborted)
            return;
        if (ec) {
            log(what + "accept failed: " + ec.message());
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([&acceptor, &retry, &stopped, &log, what, take](const boost::system::error_code& e) {
                if (!e && !stopped)
                    AcceptConnection(acceptor, retry, stopped, log, what, take);
            });
            return;
        }
        take(std::move(socket));
    });
}
