#include "connection.h"

TLobbyConnection::TLobbyConnection(TConnId id, boost::asio::ip::tcp::socket socket, std::string address)
    : id_(id), socket_(std::move(socket)), address_(std::move(address))
{
}
