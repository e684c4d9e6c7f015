#include "httplistener.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <optional>
#include <unordered_set>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// A GET carries no body; a little is read past so a wrong client gets a clear 413.
constexpr std::size_t kBodyLimit = 1024;
// After the last answer on a connection: how long, and how much, the client
// may still send before the socket closes (closing on unread bytes would
// reset the connection and could destroy the answer on its way).
constexpr auto kLinger = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 64 * 1024;

std::string AddressOf(const tcp::socket& socket)
{
    boost::system::error_code ec;
    tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec)
        return "?";
    asio::ip::address a = remote.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return a.to_string();
}

} // namespace

struct THttpListener::TShared {
    THandler handler;
    TLog log;
    uint32_t maxConnections = 0;
    std::chrono::milliseconds idle{};
    std::unordered_set<TSession*> sessions;
    bool stopped = false;
};

// One connection: requests read and answered one after the other until the
// client or an answer ends it.
class THttpListener::TSession : public std::enable_shared_from_this<TSession> {
public:
    TSession(tcp::socket socket, std::string address, std::shared_ptr<TShared> shared)
        : stream_(std::move(socket)), address_(std::move(address)), shared_(std::move(shared))
    {
        shared_->sessions.insert(this);
    }

    ~TSession()
    {
        shared_->sessions.erase(this);
#if defined(__GLIBC__)
        // The last client gone: hand back what a crowd took.
        if (shared_->sessions.empty())
            malloc_trim(0);
#endif
    }

    void Start() { ReadRequest(); }

    void Close()
    {
        beast::error_code ec;
        stream_.socket().close(ec);
    }

private:
    void ReadRequest()
    {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(shared_->idle);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec)
    {
        if (shared_->stopped || ec == asio::error::operation_aborted)
            return;
        if (ec == beast::error::timeout) {
            if (parser_->got_some())
                shared_->log("http " + address_ + ": no whole request within "
                             + std::to_string(shared_->idle.count()) + " ms; closed");
            return;
        }
        if (ec == http::error::end_of_stream)
            return Linger();
        if (ec) {
            if (ec.category() != http::make_error_code(http::error::end_of_stream).category())
                return;   // the connection failed: nobody to answer
            THttpAnswer answer;
            answer.contentType = "text/plain";
            if (ec == http::error::header_limit) {
                answer.status = 431;
                answer.body = "The request header is larger than " + std::to_string(kHeaderLimit) + " bytes.\n";
            } else if (ec == http::error::body_limit) {
                answer.status = 413;
                answer.body = "Requests here carry no body.\n";
            } else {
                answer.status = 400;
                answer.body = "Bad request.\n";
            }
            shared_->log("http " + address_ + ": " + ec.message() + "; answered " + std::to_string(answer.status));
            return Respond(answer, 11, false, false);
        }
        const http::request<http::string_body>& request = parser_->get();
        THttpAnswer answer = shared_->handler(std::string_view(request.method_string().data(), request.method_string().size()),
                                              std::string_view(request.target().data(), request.target().size()),
                                              address_);
        Respond(answer, request.version(), request.keep_alive(), request.method() == http::verb::head);
    }

    void Respond(const THttpAnswer& answer, unsigned version, bool keepAlive, bool head)
    {
        auto& response = response_.emplace();
        response.version(version);
        response.result(unsigned(answer.status));
        response.set(http::field::server, "parlevod");
        response.set(http::field::content_type, answer.contentType);
        response.set(http::field::cache_control, "no-cache");
        if (!answer.location.empty())
            response.set(http::field::location, answer.location);
        if (!answer.allow.empty())
            response.set(http::field::allow, answer.allow);
        for (const auto& [name, value] : answer.headers)
            response.set(name, value);
        response.content_length(answer.body.size());
        if (!head)
            response.body() = answer.body;
        response.keep_alive(keepAlive);
        stream_.expires_after(shared_->idle);
        http::async_write(stream_, response, [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
            if (ec || self->shared_->stopped)
                return;
            self->response_.reset();
            if (keepAlive)
                self->ReadRequest();
            else
                self->Linger();
        });
    }

    // Ends our side, then reads (and drops) what the client still sends
    // until it closes too, for a bounded time and amount.
    void Linger()
    {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        if (ec)
            return;
        buffer_.clear();
        stream_.expires_after(kLinger);
        Drain(0);
    }

    void Drain(std::size_t drained)
    {
        stream_.async_read_some(asio::buffer(scratch_), [self = shared_from_this(), drained](beast::error_code ec, std::size_t n) {
            if (!ec && !self->shared_->stopped && drained + n < kLingerBytes)
                self->Drain(drained + n);
        });
    }

    beast::tcp_stream stream_;
    std::string address_;
    std::shared_ptr<TShared> shared_;
    beast::flat_buffer buffer_{2 * kHeaderLimit};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    char scratch_[4096];
};

THttpListener::THttpListener(asio::io_context& io, THandler handler, TLog log, uint32_t maxConnections,
                                 std::chrono::milliseconds idle)
    : acceptor_(io), acceptRetry_(io), shared_(std::make_shared<TShared>())
{
    shared_->handler = std::move(handler);
    shared_->log = std::move(log);
    shared_->maxConnections = maxConnections;
    shared_->idle = idle;
}

THttpListener::~THttpListener()
{
    Stop();
}

void THttpListener::Start(const tcp::endpoint& endpoint)
{
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    Accept();
}

void THttpListener::Stop()
{
    if (shared_->stopped)
        return;
    shared_->stopped = true;
    boost::system::error_code ec;
    acceptor_.close(ec);
    acceptRetry_.cancel();
    for (TSession* session : std::unordered_set<TSession*>(shared_->sessions))
        session->Close();
}

void THttpListener::Accept()
{
    acceptor_.async_accept([this, shared = shared_](const boost::system::error_code& ec, tcp::socket socket) {
        if (shared->stopped || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors or a passing network error: try again shortly.
            shared->log("http accept failed: " + ec.message());
            acceptRetry_.expires_after(std::chrono::milliseconds(100));
            acceptRetry_.async_wait([this, shared](const boost::system::error_code& e) {
                if (!e && !shared->stopped)
                    Accept();
            });
            return;
        }
        std::string address = AddressOf(socket);
        if (shared->sessions.size() >= shared->maxConnections) {
            Refuse(socket, address);
        } else {
            boost::system::error_code e;
            socket.set_option(tcp::no_delay(true), e);
            std::make_shared<TSession>(std::move(socket), std::move(address), shared)->Start();
        }
        Accept();
    });
}

void THttpListener::Refuse(tcp::socket& socket, const std::string& address)
{
    static const std::string kBusy =
        "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 22\r\n"
        "Retry-After: 10\r\nConnection: close\r\n\r\nToo many connections.\n";
    shared_->log("http " + address + " refused: " + std::to_string(shared_->sessions.size()) + " connections open");
    boost::system::error_code ec;
    socket.non_blocking(true, ec);
    socket.write_some(asio::buffer(kBusy), ec);   // best effort
    socket.shutdown(tcp::socket::shutdown_send, ec);
    socket.close(ec);
}
