// parlevod: the Parlevo network's server. One process, one thread, one
// io_context; each service is a class of its own started on it.
#include "configfile.h"
#include "controlserver.h"
#include "listserver.h"
#include "lobbypages.h"
#include "lobbyserver.h"
#include "log.h"
#include "moderation.h"
#include "motdservice.h"
#include "newssign.h"
#include "options.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange
#include <boost/asio.hpp>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
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

// The lobby as the moderators' commands see it.
class TModeratedLobbyServer : public TModeratedLobby {
public:
    explicit TModeratedLobbyServer(TLobbyServer& lobby) : lobby_(lobby) {}

    std::vector<TModPlayer> Players() const override
    {
        std::vector<TModPlayer> list;
        for (const TLobbyPlayerView& p : lobby_.Snapshot().players)
            list.push_back({p.index, p.name, p.address, p.game});
        return list;
    }
    std::vector<TModGame> Games() const override
    {
        TLobbySnapshot s = lobby_.Snapshot();
        std::vector<TModGame> list;
        for (const TLobbyGameView& g : s.games) {
            std::string host;
            for (const TLobbyPlayerView& p : s.players)
                if (p.index == g.host)
                    host = p.name;
            list.push_back({g.index, g.name, host, g.members.size(), g.inProgress});
        }
        return list;
    }
    bool Kick(const std::string& name, const std::string& notice, const std::string& reason) override
    {
        return lobby_.Kick(name, notice, reason);
    }
    bool Notice(const std::string& name, const std::string& text) override { return lobby_.Notify(name, text); }

private:
    TLobbyServer& lobby_;
};

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
    if (!options.makeNewsKey.empty()) {
        // A new key for signing the news: the secret to the file, the public
        // key (for the players' clients) to standard output.
        std::string error;
        const std::optional<std::string> publicKey = TNewsKey::Make(options.makeNewsKey, error);
        if (!publicKey) {
            std::fprintf(stderr, "parlevod: cannot make the news key %s: %s\n", options.makeNewsKey.c_str(),
                         error.c_str());
            return 1;
        }
        std::printf("%s\n", publicKey->c_str());
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
    // SIGHUP and the moderators' reload: the operator changed the news or
    // the game keys. Every connection stays; what cannot be read leaves the
    // old in force.
    auto reload = [&] {
        motd.Reload();
        list.ReloadKeys();
    };
    std::unique_ptr<TModerationStore> state;
    std::unique_ptr<TModeration> moderation;
    TModeratedLobbyServer moderated(lobby);
    TControlServer control(
        io, ControlSocketPath(options),
        [&](const std::string& user, const std::string& line) { return moderation->Execute(user, SplitRequest(line)); },
        LogLine);
    TLobbyPages pages([&] {
        TServerFigures figures;
        const TModerationFigures m = moderation->Figures();
        figures.activeBans = m.activeBans;
        figures.activeMutes = m.activeMutes;
        figures.kicks = m.kicks;
        figures.refusedBanned = m.refusedBanned;
        figures.lobby = lobby.Snapshot();
        figures.counters = lobby.Counters();
        figures.listServers = list.ServerCount();
        figures.listProbes = list.ProbeCount();
        return figures;
    });
    motd.SetPages([&pages](std::string_view method, std::string_view target) { return pages.Answer(method, target); });
    if (!start("message of the day", motd) || !start("lobby master", lobby) || !start("master list", list))
        return 1;
    // The moderation state, before the loop runs and so before anyone is
    // let in: a database that cannot be used stops the server.
    try {
        state = std::make_unique<TModerationStore>(options.stateDb, [] { return int64_t(std::time(nullptr)); });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "parlevod: %s\n", e.what());
        return 1;
    }
    LogLine("moderation state in " + options.stateDb);
    moderation = std::make_unique<TModeration>(*state, moderated, LogLine, [&] {
        LogLine("reading the news file and the game keys again (reload)");
        reload();
    });
    lobby.SetGuard({[&](const std::string& name) { return moderation->NameRefusal(name); },
                    [&](const std::string& name) { return moderation->Muted(name); }},
                   [&](const std::string& address) { return moderation->AddressRefusal(address); });
    if (!start("moderation", control))
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
    boost::asio::signal_set hangup(io, SIGHUP);
    std::function<void()> waitHangup = [&] {
        hangup.async_wait([&](const boost::system::error_code& ec, int) {
            if (ec)
                return;
            LogLine("reading the news file and the game keys again (SIGHUP)");
            reload();
            waitHangup();
        });
    };
    waitHangup();
    // Only once every service listens, so that whoever waits for the lobby's
    // line may rely on the whole server.
    AnnounceListening("motd-http", "message-of-the-day HTTP", motd.HttpEndpoint());
    AnnounceListening("motd-udp", "message-of-the-day UDP", motd.UdpEndpoint());
    AnnounceListening("list", "master list", list.ListEndpoint());
    LogLine("moderators' control socket at " + control.Path());
    AnnounceListening("heartbeat", "heartbeats", list.HeartbeatEndpoint());
    LogLine(lobby.WritesThroughRing() ? "lobby writes go through the kernel's submission ring"
                                      : "lobby writes: a system call per socket (no submission ring here)");
    AnnounceListening("lobby", "lobby master", lobby.LocalEndpoint());
    io.run();
    return 0;
}
