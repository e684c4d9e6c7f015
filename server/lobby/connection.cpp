#include "connection.h"

#include <array>

TLobbyConnection::TLobbyConnection(TConnId id, boost::asio::ip::tcp::socket socket, std::string address)
    : id_(id), socket_(std::move(socket)), address_(std::move(address))
{
}

bool TLobbyConnection::Flush(bool& blocked, std::string& error)
{
    blocked = false;
    while (!output_.Empty()) {
        std::array<std::string_view, 64> pieces;
        std::array<boost::asio::const_buffer, 64> buffers;   // unused ones stay empty
        std::size_t n = output_.Peek(pieces.data(), pieces.size());
        for (std::size_t i = 0; i < n; ++i)
            buffers[i] = boost::asio::buffer(pieces[i].data(), pieces[i].size());
        boost::system::error_code ec;
        std::size_t written = socket_.write_some(buffers, ec);
        if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
            blocked = true;
            return true;
        }
        if (ec) {
            error = ec.message();
            return false;
        }
        output_.Consume(written);
    }
    return true;
}
