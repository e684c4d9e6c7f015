// parlevod's message-of-the-day service: the news file, the rules and the
// two transports (HTTP with the redirect page, and UDP) on one io_context.
#pragma once

#include "log.h"
#include "httplistener.h"
#include "motdmaster.h"
#include "motdudp.h"
#include "newsfile.h"
#include "options.h"

#include <chrono>
#include <functional>
#include <optional>

class TMotdService {
public:
    TMotdService(boost::asio::io_context& io, const TServerOptions& options, TLog log);

    // Reads the news file and binds both ports. Throws std::runtime_error
    // with a message for the operator.
    void Start();
    void Stop();
    // Reads the news file again now (on SIGHUP); the last news stays when
    // it cannot be read.
    void Reload();
    // Pages of other services on the same web port: asked first, they
    // answer the paths they serve and leave the rest to this service.
    using TPages = std::function<std::optional<THttpAnswer>(std::string_view method, std::string_view target)>;
    void SetPages(TPages pages) { pages_ = std::move(pages); }
    boost::asio::ip::tcp::endpoint HttpEndpoint() const { return http_.LocalEndpoint(); }
    boost::asio::ip::udp::endpoint UdpEndpoint() const { return udp_.LocalEndpoint(); }

private:
    uint64_t Now() const;
    void Refresh();
    // Reads the news key file into the rules; false with keyError_ set when it cannot.
    bool LoadKey();

    TServerOptions options_;
    TLog log_;
    std::chrono::steady_clock::time_point epoch_;
    TNewsFile news_;
    TMotdMaster master_;
    THttpListener http_;
    TMotdUdpServer udp_;
    TPages pages_;
    std::string keyError_;
    const std::string* webClient_ = nullptr;   // the address of the web request being answered
};
