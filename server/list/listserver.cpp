#include "listserver.h"

#include "acceptloop.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

struct TListServer::TSession {
    TSession(uint64_t id, tcp::socket socket, std::string address, std::string challenge)
        : id(id), socket(std::move(socket)), address(std::move(address)), rules(std::move(challenge)),
          deadline(this->socket.get_executor())
    {
    }
    uint64_t id;
    tcp::socket socket;
    std::string address;
    TListSession rules;
    asio::steady_timer deadline;
    std::string out;
    char buffer[1024];
    bool ended = false;
};

TListServer::TListServer(asio::io_context& io, const TServerOptions& options, TLog log)
    : options_(options),
      log_(std::move(log)),
      acceptor_(io),
      heartbeats_(io),
      tick_(io),
      acceptRetry_(io),
      epoch_(std::chrono::steady_clock::now()),
      master_(options.list, *this, log_),
      random_(std::random_device{}())
{
}

TListServer::~TListServer() = default;

uint64_t TListServer::Now() const
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch_)
                        .count());
}

TGameKeys TListServer::ReadKeys() const
{
    TGameKeys keys = DefaultGameKeys();
    if (!options_.list.gameKeysFile.empty()) {
        std::ifstream in(options_.list.gameKeysFile);
        if (!in)
            throw std::runtime_error("cannot read the game keys file " + options_.list.gameKeysFile);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!ReadGameKeys(text.str(), keys, error))
            throw std::runtime_error("game keys file " + options_.list.gameKeysFile + ", " + error);
    }
    return keys;
}

void TListServer::ReloadKeys()
{
    if (options_.list.gameKeysFile.empty()) {
        log_("master list: no game keys file to read again");
        return;
    }
    try {
        keys_ = ReadKeys();
    } catch (const std::exception& e) {
        log_(std::string("master list: ") + e.what() + "; the keys in force stay");
        return;
    }
    log_("master list: game keys read again, " + std::to_string(keys_.size()) + " games");
}

void TListServer::Start()
{
    keys_ = ReadKeys();
    const auto address = asio::ip::make_address(options_.bind);
    tcp::endpoint listAt(address, uint16_t(options_.listPort));
    acceptor_.open(listAt.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(listAt);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    udp::endpoint beatsAt(address, uint16_t(options_.heartbeatPort));
    heartbeats_.open(beatsAt.protocol());
    heartbeats_.bind(beatsAt);
    heartbeats_.non_blocking(true);
    master_.AddOwnPort(acceptor_.local_endpoint().port());
    master_.AddOwnPort(heartbeats_.local_endpoint().port());
    Accept();
    ReceiveHeartbeat();
    Housekeeping();
}

void TListServer::Stop()
{
    stopped_ = true;
    boost::system::error_code ec;
    acceptor_.close(ec);
    heartbeats_.close(ec);
    tick_.cancel();
    acceptRetry_.cancel();
    std::vector<TSessionPtr> all;
    for (auto& entry : sessions_)
        all.push_back(entry.second);
    for (auto& s : all)
        End(s);
}

std::string TListServer::NewChallenge()
{
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<int> pick(0, int(sizeof kChars) - 2);
    std::string challenge(6, ' ');
    for (char& c : challenge)
        c = kChars[pick(random_)];
    return challenge;
}

// --- list clients -----------------------------------------------------------------

void TListServer::Accept()
{
    AcceptConnection(acceptor_, acceptRetry_, stopped_, log_, "master list: ", [this](tcp::socket socket) {
        boost::system::error_code e;
        const tcp::endpoint remote = socket.remote_endpoint(e);
        const std::string address = e ? std::string("?") : remote.address().to_string();
        const uint32_t fromHere = sessionsPerAddress_.count(address) ? sessionsPerAddress_[address] : 0;
        if (e || sessions_.size() >= options_.list.maxSessions || fromHere >= options_.list.sessionsPerAddress) {
            // Too many at once: told so, without a log line each.
            socket.non_blocking(true, e);
            static constexpr std::string_view kBusy = "\\error\\too many connections";
            socket.write_some(asio::buffer(kBusy), e);
            socket.close(e);
            Accept();
            return;
        }
        auto s = std::make_shared<TSession>(nextSession_++, std::move(socket), address, NewChallenge());
        sessions_.emplace(s->id, s);
        ++sessionsPerAddress_[address];
        Begin(s);
        Accept();
    });
}

void TListServer::Begin(TSessionPtr s)
{
    s->deadline.expires_after(std::chrono::milliseconds(options_.list.sessionDeadlineMs));
    s->deadline.async_wait([this, s](const boost::system::error_code& ec) {
        if (!ec)
            End(s);
    });
    s->out = s->rules.Greeting();
    asio::async_write(s->socket, asio::buffer(s->out), [this, s](const boost::system::error_code& ec, std::size_t) {
        if (ec)
            End(s);
        else
            Read(s);
    });
}

void TListServer::Read(TSessionPtr s)
{
    s->socket.async_read_some(asio::buffer(s->buffer), [this, s](const boost::system::error_code& ec, std::size_t n) {
        if (s->ended)
            return;
        if (ec) {
            End(s);
            return;
        }
        switch (s->rules.Received(std::string_view(s->buffer, n), keys_, options_.list.maxRequest)) {
        case TListSession::TStep::More:
            Read(s);
            return;
        case TListSession::TStep::Refuse:
            log_("master list: refused " + s->address + ": " + s->rules.Reason());
            Answer(s, s->rules.Refusal());
            return;
        case TListSession::TStep::List: {
            TMasterList::TListReply reply = master_.ListFor(s->rules.GameName());
            log_("master list: sent " + std::to_string(reply.count) + " " + s->rules.GameName() + " servers to "
                 + s->address);
            Answer(s, std::move(reply.text));
            return;
        }
        }
    });
}

void TListServer::Answer(TSessionPtr s, std::string text)
{
    s->out = std::move(text);
    asio::async_write(s->socket, asio::buffer(s->out), [this, s](const boost::system::error_code& ec, std::size_t) {
        if (s->ended)
            return;
        if (ec) {
            End(s);
            return;
        }
        boost::system::error_code e;
        s->socket.shutdown(tcp::socket::shutdown_send, e);
        Drain(s);
    });
}

void TListServer::Drain(TSessionPtr s)
{
    // Closing with unread bytes would reset the connection and could take
    // the answer with it: read until the client closes or the deadline.
    s->socket.async_read_some(asio::buffer(s->buffer), [this, s](const boost::system::error_code& ec, std::size_t) {
        if (s->ended)
            return;
        if (ec)
            End(s);
        else
            Drain(s);
    });
}

void TListServer::End(const TSessionPtr& s)
{
    if (s->ended)
        return;
    s->ended = true;
    boost::system::error_code ec;
    s->deadline.cancel();
    s->socket.close(ec);
    sessions_.erase(s->id);
    auto it = sessionsPerAddress_.find(s->address);
    if (it != sessionsPerAddress_.end() && --it->second == 0)
        sessionsPerAddress_.erase(it);
}

// --- heartbeats -------------------------------------------------------------------

void TListServer::SendDatagram(const TPeer& to, std::string_view datagram)
{
    boost::system::error_code ec;
    heartbeats_.send_to(asio::buffer(datagram.data(), datagram.size()),
                        udp::endpoint(asio::ip::address_v4(to.ip), to.port), 0, ec);
}

void TListServer::ReceiveHeartbeat()
{
    heartbeats_.async_receive_from(
        asio::buffer(heartbeatBuffer_), heartbeatFrom_, [this](const boost::system::error_code& ec, std::size_t n) {
            if (stopped_ || ec == asio::error::operation_aborted)
                return;
            if (!ec && heartbeatFrom_.address().is_v4()) {
                const TPeer from{heartbeatFrom_.address().to_v4().to_uint(), heartbeatFrom_.port()};
                master_.Datagram(from, std::string_view(heartbeatBuffer_, n), Now());
            }
            // Errors on a datagram socket (an earlier probe's port was
            // closed, say) concern one datagram; the socket goes on.
            ReceiveHeartbeat();
        });
}

void TListServer::Housekeeping()
{
    tick_.expires_after(std::chrono::milliseconds(250));
    tick_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || stopped_)
            return;
        master_.Tick(Now());
        Housekeeping();
    });
}
