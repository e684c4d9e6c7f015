// parlevod: the Parlevo network's server. One process, one thread, one
// io_context; each service (today the lobby master) is started on it.
#include "lobbyserver.h"
#include "options.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

void LogLine(const std::string& line)
{
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}

// Allow as many descriptors as the hard limit permits: every client is one.
void RaiseDescriptorLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
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
    TLobbyServer lobby(io, options, LogLine);
    try {
        lobby.Start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "parlevod: cannot listen on %s port %d: %s\n", options.bind.c_str(),
                     options.lobbyPort, e.what());
        return 1;
    }
    // The bound port on standard output, so whoever started us (and asked for
    // port 0) knows where to connect.
    auto endpoint = lobby.LocalEndpoint();
    std::printf("lobby %s %u\n", endpoint.address().to_string().c_str(), unsigned(endpoint.port()));
    std::fflush(stdout);
    LogLine("lobby master listening on " + endpoint.address().to_string() + ":"
            + std::to_string(endpoint.port()));

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int sig) {
        if (ec)
            return;
        LogLine("stopping on signal " + std::to_string(sig));
        lobby.Stop();
        io.stop();
    });
    io.run();
    return 0;
}
