// The control socket: a Unix stream socket, mode 0660, for whoever may open
// it (the moderators). One request a connection: a line of at most
// kMaxLine bytes within kDeadline, answered with lines, then closed. The
// caller is known by the user name of the peer's credentials.
#pragma once

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <chrono>
#include <functional>
#include <string>

class TControlServer {
public:
    // The user name of the peer and its request line (without the newline):
    // the reply, every line ended by a newline.
    using THandler = std::function<std::string(const std::string& user, const std::string& line)>;
    using TLog = std::function<void(const std::string&)>;

    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::chrono::seconds kDeadline{5};
    static constexpr int kMaxClients = 8;

    TControlServer(boost::asio::io_context& io, std::string path, THandler handler, TLog log);
    ~TControlServer();

    // Creates the socket. A socket file nobody listens on any more is
    // replaced; one a live server holds is not. Throws std::runtime_error
    // naming the path.
    void Start();
    void Stop();
    const std::string& Path() const { return path_; }

private:
    struct TSession;
    void Accept();

    boost::asio::io_context& io_;
    std::string path_;
    THandler handler_;
    TLog log_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    int clients_ = 0;
    bool started_ = false;
};

// The user name of a Unix socket's peer ("uid N" when it has no name).
std::string PeerUser(int fd);
