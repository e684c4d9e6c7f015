#include "httplistener.h"

#include "ratelimit.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <deque>
#include <optional>
#include <unordered_map>
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
    TLimits limits;
    std::unordered_set<TSession*> sessions;
    // Each address's connections, the oldest first.
    std::unordered_map<std::string, std::deque<TSession*>> byAddress;
    TAddressLogBudget addressLog{"web clients", 30};
    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
    uint64_t sweptAt = 0;
    bool stopped = false;

    uint64_t Now() const
    {
        return uint64_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch).count());
    }
    void LogAbout(const std::string& address, std::string line)
    {
        addressLog.Write(address, std::move(line), Now(), log);
    }
    // Once a second at most: forget the addresses quiet again.
    void Sweep()
    {
        const uint64_t now = Now();
        if (now - sweptAt < 1000)
            return;
        sweptAt = now;
        addressLog.ForgetRested(now, log);
    }
    void Forget(TSession* session, const std::string& address)
    {
        sessions.erase(session);
        auto it = byAddress.find(address);
        if (it == byAddress.end())
            return;
        auto& list = it->second;
        list.erase(std::remove(list.begin(), list.end(), session), list.end());
        if (list.empty())
            byAddress.erase(it);
    }
};

// One connection: requests read and answered one after the other until the
// client or an answer ends it.
class THttpListener::TSession : public std::enable_shared_from_this<TSession> {
public:
    TSession(tcp::socket socket, std::string address, std::shared_ptr<TShared> shared)
        : stream_(std::move(socket)), address_(std::move(address)), shared_(std::move(shared))
    {
        shared_->sessions.insert(this);
        shared_->byAddress[address_].push_back(this);
    }

    ~TSession()
    {
        shared_->Forget(this, address_);
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

    // Waiting for a request (or the rest of one), not being answered.
    bool Idle() const { return !answering_; }
    // Closed to make room for a newcomer from its address: it no longer counts.
    void Replace()
    {
        shared_->Forget(this, address_);
        Close();
    }

private:
    void ReadRequest()
    {
        answering_ = false;
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(shared_->limits.idle);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
    }

    void OnHeader(beast::error_code ec)
    {
        if (ec)
            return OnRead(ec);
        const auto& request = parser_->get();
        // No request here has a body; one that says its body is coded some
        // way would have the next request read as that body: refused, and
        // the connection closed, so nothing after it is taken amiss.
        if (request.find(http::field::transfer_encoding) != request.end()) {
            answering_ = true;
            THttpAnswer answer;
            answer.status = 400;
            answer.contentType = "text/plain";
            answer.body = "Requests here carry no Transfer-Encoding.\n";
            shared_->LogAbout(address_, "http " + address_ + ": a request with a Transfer-Encoding; answered 400");
            return Respond(answer, request.version(), false, false);
        }
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec)
    {
        if (shared_->stopped || ec == asio::error::operation_aborted)
            return;
        if (ec == beast::error::timeout) {
            if (parser_->got_some())
                shared_->LogAbout(address_, "http " + address_ + ": no whole request within "
                                                + std::to_string(shared_->limits.idle.count()) + " ms; closed");
            return;
        }
        answering_ = true;
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
            shared_->LogAbout(address_, "http " + address_ + ": " + ec.message() + "; answered " + std::to_string(answer.status));
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
        stream_.expires_after(shared_->limits.idle);
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
    bool answering_ = false;
    std::shared_ptr<TShared> shared_;
    beast::flat_buffer buffer_{2 * kHeaderLimit};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    char scratch_[4096];
};

THttpListener::THttpListener(asio::io_context& io, THandler handler, TLog log, const TLimits& limits)
    : acceptor_(io), acceptRetry_(io), shared_(std::make_shared<TShared>())
{
    shared_->handler = std::move(handler);
    shared_->log = std::move(log);
    shared_->limits = limits;
    shared_->addressLog = TAddressLogBudget("web clients", limits.logLines);
}

void THttpListener::LogAbout(const std::string& address, std::string line)
{
    shared_->LogAbout(address, std::move(line));
}

bool THttpListener::MakeRoomFor(const std::string& address)
{
    auto it = shared_->byAddress.find(address);
    if (shared_->limits.perAddress == 0 || it == shared_->byAddress.end()
        || it->second.size() < shared_->limits.perAddress)
        return true;
    for (TSession* session : it->second)
        if (session->Idle()) {
            session->Replace();
            return true;
        }
    return false;
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
        shared->Sweep();
        if (!MakeRoomFor(address) || shared->sessions.size() >= shared->limits.maxConnections) {
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
    shared_->LogAbout(address, "http " + address + " refused: " + std::to_string(shared_->sessions.size())
                                   + " connections open");
    boost::system::error_code ec;
    socket.non_blocking(true, ec);
    socket.write_some(asio::buffer(kBusy), ec);   // best effort
    socket.shutdown(tcp::socket::shutdown_send, ec);
    socket.close(ec);
}
