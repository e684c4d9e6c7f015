// parlevod: the Parlevo network's server. One process, one thread, one
// io_context; each service is a class of its own started on it.
#include "listserver.h"
#include "lobbyserver.h"
#include "log.h"
#include "options.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Allow as many descriptors as the hard limit permits: every client is one.
void RaiseDescriptorLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Tells whoever started us (and perhaps asked for port 0) where a service
// listens: "NAME ADDRESS PORT" on standard output, and a log line.
template <typename Endpoint>
void AnnounceListening(const char* name, const char* what, const Endpoint& endpoint)
{
    std::printf("%s %s %u\n", name, endpoint.address().to_string().c_str(), unsigned(endpoint.port()));
    std::fflush(stdout);
    LogLine(std::string(what) + " listening on " + endpoint.address().to_string() + ":"
            + std::to_string(endpoint.port()));
}

} // namespace

int main(int argc, char** argv)
{
    TServerOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "parlevod: %s\n", e.what());
        return 2;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();

    boost::asio::io_context io(1);
    // Every service, stopped in reverse order of starting when a signal comes.
    std::vector<std::function<void()>> stops;

    TLobbyServer lobby(io, options, LogLine);
    try {
        lobby.Start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "parlevod: cannot listen on %s port %d: %s\n", options.bind.c_str(),
                     options.lobbyPort, e.what());
        return 1;
    }
    stops.push_back([&] { lobby.Stop(); });
    AnnounceListening("lobby", "lobby master", lobby.LocalEndpoint());

    TListServer list(io, options, LogLine);
    try {
        list.Start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "parlevod: master list: %s\n", e.what());
        return 1;
    }
    stops.push_back([&] { list.Stop(); });
    AnnounceListening("list", "master list", list.ListEndpoint());
    AnnounceListening("heartbeat", "heartbeats", list.HeartbeatEndpoint());

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int sig) {
        if (ec)
            return;
        LogLine("stopping on signal " + std::to_string(sig));
        for (auto it = stops.rbegin(); it != stops.rend(); ++it)
            (*it)();
        io.stop();
    });
    io.run();
    return 0;
}
