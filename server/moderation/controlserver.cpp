#include "controlserver.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

namespace asio = boost::asio;
using local = asio::local::stream_protocol;

std::string PeerUser(int fd)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return "unknown";
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (getpwuid_r(cred.uid, &pw, buf, sizeof buf, &found) == 0 && found)
        return found->pw_name;
    return "uid " + std::to_string(cred.uid);
}

struct TControlServer::TSession : std::enable_shared_from_this<TSession> {
    TSession(TControlServer& server, local::socket socket)
        : server(server), socket(std::move(socket)), deadline(server.io_), input(kMaxLine + 1)
    {
    }

    void Start()
    {
        ++server.clients_;
        auto self = shared_from_this();
        deadline.expires_after(kDeadline);
        deadline.async_wait([self](const boost::system::error_code& ec) {
            if (!ec)
                self->Cut("no whole request within the deadline");
        });
        asio::async_read_until(socket, input, '\n', [self](const boost::system::error_code& ec, std::size_t n) {
            self->Read(ec, n);
        });
    }

    void Read(const boost::system::error_code& ec, std::size_t n)
    {
        if (ec || done) {
            // asio's own error for a line longer than the buffer allows.
            if (!done && ec == asio::error::not_found)
                Answer("ERROR the request is longer than " + std::to_string(kMaxLine) + " bytes\n");
            else
                Cut(ec ? ec.message() : "closed");
            return;
        }
        std::string line(asio::buffers_begin(input.data()), asio::buffers_begin(input.data()) + std::ptrdiff_t(n) - 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string reply;
        try {
            reply = server.handler_(PeerUser(socket.native_handle()), line);
        } catch (const std::exception& e) {
            // One moderator's request never takes the server down.
            reply = std::string("ERROR ") + e.what() + "\n";
        }
        Answer(std::move(reply));
    }

    void Answer(std::string text)
    {
        reply = std::move(text);
        auto self = shared_from_this();
        asio::async_write(socket, asio::buffer(reply), [self](const boost::system::error_code&, std::size_t) {
            self->Cut({});
        });
    }

    void Cut(const std::string& why)
    {
        if (done)
            return;
        done = true;
        if (!why.empty() && why != "End of file" && server.log_)
            server.log_("control connection cut off: " + why);
        boost::system::error_code ec;
        deadline.cancel();
        socket.close(ec);
        --server.clients_;
    }

    TControlServer& server;
    local::socket socket;
    asio::steady_timer deadline;
    asio::streambuf input;
    std::string reply;
    bool done = false;
};

TControlServer::TControlServer(asio::io_context& io, std::string path, THandler handler, TLog log)
    : io_(io), path_(std::move(path)), handler_(std::move(handler)), log_(std::move(log)), acceptor_(io)
{
}

TControlServer::~TControlServer() { Stop(); }

void TControlServer::Start()
{
    struct stat st{};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw std::runtime_error("the control socket " + path_ + " exists and is not a socket");
        // Someone answers there: another parlevod, whose socket is not ours to take.
        local::socket probe(io_);
        boost::system::error_code ec;
        probe.connect(local::endpoint(path_), ec);
        if (!ec)
            throw std::runtime_error("the control socket " + path_ + " is in use by another server");
        ::unlink(path_.c_str());
    }
    // Made with no access for others from the start, then opened to the group.
    const mode_t old = ::umask(0117);
    boost::system::error_code ec;
    acceptor_.open(local(), ec);
    if (!ec)
        acceptor_.bind(local::endpoint(path_), ec);
    ::umask(old);
    if (!ec && ::chmod(path_.c_str(), 0660) != 0)
        ec = boost::system::error_code(errno, boost::system::system_category());
    if (!ec)
        acceptor_.listen(16, ec);
    if (ec) {
        acceptor_.close();
        throw std::runtime_error("cannot create the control socket " + path_ + ": " + ec.message());
    }
    started_ = true;
    Accept();
}

void TControlServer::Stop()
{
    if (!started_)
        return;
    started_ = false;
    boost::system::error_code ec;
    acceptor_.close(ec);
    ::unlink(path_.c_str());
}

void TControlServer::Accept()
{
    acceptor_.async_accept([this](const boost::system::error_code& ec, local::socket socket) {
        if (ec == asio::error::operation_aborted || !started_)
            return;
        if (!ec) {
            if (clients_ >= kMaxClients) {
                // A moderator's tool holds a connection for a moment; more at once is a fault.
                static const std::string busy = "ERROR too many control connections at once\n";
                boost::system::error_code ignored;
                socket.non_blocking(true, ignored);
                socket.write_some(asio::buffer(busy), ignored);
            } else {
                std::make_shared<TSession>(*this, std::move(socket))->Start();
            }
        }
        Accept();
    });
}
