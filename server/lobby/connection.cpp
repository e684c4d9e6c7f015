#include "connection.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/uio.h>

namespace {

// Frames gathered into one write: as many as the system takes in one call,
// so a newcomer's whole lobby goes in a few writes, not one per 64 records.
constexpr std::size_t kWritePieces = 1024;

} // namespace

TLobbyConnection::TLobbyConnection(TConnId id, boost::asio::ip::tcp::socket socket, std::string address)
    : id_(id), socket_(std::move(socket)), address_(std::move(address))
{
}

bool TLobbyConnection::Flush(bool& blocked, std::string& error)
{
    blocked = false;
    while (!output_.Empty()) {
        // The frames as they stand, gathered into one write. The lobby
        // service runs on one thread: these serve every connection, and
        // are not set up afresh for each write.
        static std::array<std::string_view, kWritePieces> pieces;
        static std::array<iovec, kWritePieces> iov;
        const std::size_t n = output_.Peek(pieces.data(), pieces.size());
        for (std::size_t i = 0; i < n; ++i)
            iov[i] = iovec{const_cast<char*>(pieces[i].data()), pieces[i].size()};
        msghdr msg{};
        msg.msg_iov = iov.data();
        msg.msg_iovlen = n;
        const ssize_t written = ::sendmsg(socket_.native_handle(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                blocked = true;
                return true;
            }
            if (errno == EINTR)
                continue;
            error = std::strerror(errno);
            return false;
        }
        output_.Consume(std::size_t(written));
    }
    return true;
}
