#include "motdudp.h"

namespace asio = boost::asio;
using udp = asio::ip::udp;

TMotdUdpServer::TMotdUdpServer(asio::io_context& io, THandler handler, TLog log)
    : socket_(io), handler_(std::move(handler)), log_(std::move(log)), buffer_(64 * 1024)
{
}

void TMotdUdpServer::Start(const udp::endpoint& endpoint)
{
    // No address reuse: on a datagram port it would let a second server
    // share the port and take half of the requests.
    socket_.open(endpoint.protocol());
    socket_.bind(endpoint);
    socket_.non_blocking(true);
    Receive();
}

void TMotdUdpServer::Stop()
{
    stopped_ = true;
    boost::system::error_code ec;
    socket_.close(ec);
}

void TMotdUdpServer::Receive()
{
    socket_.async_receive_from(asio::buffer(buffer_), sender_, [this](const boost::system::error_code& ec, std::size_t n) {
        if (stopped_ || ec == asio::error::operation_aborted)
            return;
        // An error here is about an earlier datagram (an unreachable
        // sender); the socket itself goes on.
        if (!ec) {
            asio::ip::address a = sender_.address();
            if (a.is_v6() && a.to_v6().is_v4_mapped())
                a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
            if (std::optional<std::string> reply = handler_(std::string_view(buffer_.data(), n), a.to_string())) {
                boost::system::error_code e;
                socket_.send_to(asio::buffer(*reply), sender_, 0, e);
                if (e && e != asio::error::would_block)
                    log_("motd udp: reply to " + a.to_string() + " not sent: " + e.message());
            }
        }
        Receive();
    });
}
