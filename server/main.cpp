// parlevod: the Parlevo network's server. One process, one thread, one
// io_context; each service is a class of its own started on it.
#include "configfile.h"
#include "listserver.h"
#include "lobbypages.h"
#include "lobbyserver.h"
#include "log.h"
#include "motdservice.h"
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
        options = LoadOptions(std::vector<std::string>(argv + 1, argv + argc));
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
    if (!options.configFile.empty())
        LogLine("options read from " + options.configFile);

    boost::asio::io_context io(1);
    // Every service, stopped in reverse order of starting when a signal comes.
    std::vector<std::function<void()>> stops;
    // Starts one service; a service that cannot start (a port in use, a news
    // file that cannot be read) stops the server before anything is announced.
    auto start = [&](const char* what, auto& service) {
        try {
            service.Start();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "parlevod: %s: %s\n", what, e.what());
            return false;
        }
        stops.push_back([&service] { service.Stop(); });
        return true;
    };

    TMotdService motd(io, options, LogLine);
    TLobbyServer lobby(io, options, LogLine);
    TListServer list(io, options, LogLine);
    TLobbyPages pages([&] {
        TServerFigures figures;
        figures.lobby = lobby.Snapshot();
        figures.counters = lobby.Counters();
        figures.listServers = list.ServerCount();
        figures.listProbes = list.ProbeCount();
        return figures;
    });
    motd.SetPages([&pages](std::string_view method, std::string_view target) { return pages.Answer(method, target); });
    if (!start("message of the day", motd) || !start("lobby master", lobby) || !start("master list", list))
        return 1;

    // Heartbeats naming a port of ours are never probed.
    list.AddOwnPort(motd.UdpEndpoint().port());
    list.AddOwnPort(motd.HttpEndpoint().port());
    list.AddOwnPort(lobby.LocalEndpoint().port());

    // Ready for signals before anyone is told the server listens.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int sig) {
        if (ec)
            return;
        LogLine("stopping on signal " + std::to_string(sig));
        for (auto it = stops.rbegin(); it != stops.rend(); ++it)
            (*it)();
        io.stop();
    });
    // SIGHUP: the operator changed the news or the game keys. Every
    // connection stays; what cannot be read leaves the old in force.
    boost::asio::signal_set hangup(io, SIGHUP);
    std::function<void()> waitHangup = [&] {
        hangup.async_wait([&](const boost::system::error_code& ec, int) {
            if (ec)
                return;
            LogLine("reading the news file and the game keys again (SIGHUP)");
            motd.Reload();
            list.ReloadKeys();
            waitHangup();
        });
    };
    waitHangup();
    // Only once every service listens, so that whoever waits for the lobby's
    // line may rely on the whole server.
    AnnounceListening("motd-http", "message-of-the-day HTTP", motd.HttpEndpoint());
    AnnounceListening("motd-udp", "message-of-the-day UDP", motd.UdpEndpoint());
    AnnounceListening("list", "master list", list.ListEndpoint());
    AnnounceListening("heartbeat", "heartbeats", list.HeartbeatEndpoint());
    LogLine(lobby.WritesThroughRing() ? "lobby writes go through the kernel's submission ring"
                                      : "lobby writes: a system call per socket (no submission ring here)");
    AnnounceListening("lobby", "lobby master", lobby.LocalEndpoint());
    io.run();
    return 0;
}
