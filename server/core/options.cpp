#include "options.h"

#include "app/textfuncs.h"

#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace {

uint32_t ReadCount(const std::string& option, const std::string& text, uint32_t min, uint32_t max)
{
    int32_t value;
    if (!TryStrToInt(text, value) || value < 0 || uint32_t(value) < min || uint32_t(value) > max)
        throw std::invalid_argument(option + ": expected a whole number from " + std::to_string(min)
                                    + " to " + std::to_string(max) + ", got '" + text + "'");
    return uint32_t(value);
}

double ReadRate(const std::string& option, const std::string& text)
{
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value > 0) || value > 1e6)
        throw std::invalid_argument(option + ": expected a positive number, got '" + text + "'");
    return value;
}

// A build version as the client sends it: digits only ("150101").
uint32_t ReadVersion(const std::string& option, const std::string& text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument(option + ": expected a version of one to nine digits (like 150101), got '"
                                    + text + "'");
    return uint32_t(std::stoul(text));
}

} // namespace

std::string UsageText()
{
    TServerOptions d;
    const TLobbyLimits& l = d.limits;
    const TMotdOptions& m = d.motd;
    return "Usage: parlevod [options]\n"
           "The Parlevo network's server: the lobby master, the message of the day, the master\n"
           "server list and the live lobby page.\n\n"
           "  --config FILE            read options from FILE, one 'name = value' a line (names as\n"
           "                           below without the dashes); the command line wins\n"
           "  --bind ADDR              address to listen on (default " + d.bind + ")\n"
           "  --lobby-port N           lobby port, 0 for any free port (default "
           + std::to_string(d.lobbyPort) + ")\n"
           "  --max-frame BYTES        largest frame a client may send (default "
           + std::to_string(l.maxFrame) + ")\n"
           "  --send-queue BYTES       bytes of chat and notices queued towards one client before it is\n"
           "                           dropped; player and game records are not counted (default "
           + std::to_string(l.sendQueue) + ")\n"
           "  --send-wait MS           how long a frame may wait towards a client before it is dropped\n"
           "                           as a slow reader (default " + std::to_string(l.sendWaitMs) + ")\n"
           "  --name-deadline MS       time to send a name after connecting (default "
           + std::to_string(l.nameDeadlineMs) + ")\n"
           "  --keepalive MS           keep-alive period; two silent periods drop a client (default "
           + std::to_string(l.keepAliveMs) + ")\n"
           "  --per-address N          connections from one address, 0 = no limit (default "
           + std::to_string(l.perAddress) + ")\n"
           "  --max-clients N          connections in all; when full, a newcomer takes the place of the\n"
           "                           oldest connection without a name (default " + std::to_string(l.maxClients) + ")\n"
           "  --chat-rate LINES        chat lines, private messages and invitations per second per player\n"
           "                           (default 1)\n"
           "  --chat-burst LINES       chat lines a player may send at once (default "
           + std::to_string(l.chatBurst) + ")\n"
           "  --action-rate N          renames, host, join, leave, kick and start requests per second\n"
           "                           per player (default 2)\n"
           "  --action-burst N         such requests a player may send at once (default "
           + std::to_string(l.actionBurst) + ")\n"
           "  --address-action-rate N  such requests per second from all the players of one address\n"
           "                           (default 10)\n"
           "  --address-action-burst N ... at once (default " + std::to_string(l.addressActionBurst) + ")\n"
           "  --inbox-rate N           private messages and invitations one player is sent per second,\n"
           "                           from all senders together (default 2)\n"
           "  --inbox-burst N          ... at once (default " + std::to_string(l.inboxBurst) + ")\n"
           "  --max-text BYTES         longest chat line or private message (default "
           + std::to_string(l.maxText) + ")\n"
           "  --input-rate BYTES       bytes per second read from one connection (default "
           + std::to_string(l.inputRate) + ")\n"
           "  --input-burst BYTES      bytes read from one connection at once (default "
           + std::to_string(l.inputBurst) + ")\n"
           "  --frame-rate N           frames per second handled for one connection (default 20)\n"
           "  --frame-burst N          frames handled for one connection at once (default "
           + std::to_string(l.frameBurst) + ")\n"
           "  --input-flood MS         a client that stays over its input budget this long is dropped\n"
           "                           (default " + std::to_string(l.inputFloodMs) + ")\n"
           "  --bad-frames N           malformed frames before a connection is dropped (default "
           + std::to_string(l.badFrames) + ")\n"
           "  --log-lines N            log lines a minute about one player, or about the connections\n"
           "                           without a name from one address; the rest are counted (default "
           + std::to_string(l.logLines) + ")\n"
           "  --no-flood-limit         do not limit chat lines, requests, messages or input (for load tests)\n"
           "Message of the day:\n"
           "  --http-port N            web port for /motd.asp and /redirect.asp, 0 for any free port (default "
           + std::to_string(m.httpPort) + ")\n"
           "  --motd-udp-port N        datagram port, 0 for any free port (default " + std::to_string(m.udpPort) + ")\n"
           "  --motd-file FILE         the news: header lines name=value, a line MOTD, then the message\n"
           "                           (plain text or RTF); read again when it changes (default: no news)\n"
           "  --min-version NNNNNN     versions below it are told they expired (default: none)\n"
           "  --latest-version NNNNNN  versions below it that ask to be told get the file's update lines\n"
           "                           (updatever, updatedesc, dlcount, dlN, ...) (default: nobody)\n"
           "  --http-max-connections N web connections open at once (default " + std::to_string(m.maxConnections) + ")\n"
           "  --http-per-address N     web connections open at once from one address; a newcomer takes the\n"
           "                           place of its oldest one not being answered, 0 = no limit (default "
           + std::to_string(m.perAddress) + ")\n"
           "  --http-idle MS           time a web client has to send a whole request (default "
           + std::to_string(m.idleMs) + ")\n"
           "  --motd-udp-rate N        datagram replies a second to one address, 0 = no limit (default "
           + std::to_string(m.udpRate) + ")\n"
           "  --motd-udp-total-rate N  datagram replies a second to all addresses, 0 = no limit (default "
           + std::to_string(m.udpTotalRate) + ")\n"
           "  --list-port N            master server list port, 0 for any free port (default "
           + std::to_string(d.listPort) + ")\n"
           "  --heartbeat-port N       game servers' heartbeat port (UDP), 0 for any free port (default "
           + std::to_string(d.heartbeatPort) + ")\n"
           "  --game-keys FILE         more game names and their keys, one 'gamename key' a line\n"
           "  --server-expiry SECONDS  a game server leaves the list this long after its last\n"
           "                           heartbeat (default " + std::to_string(d.list.serverExpirySeconds) + ")\n"
           "  --list-per-address N     game servers listed from one address (default "
           + std::to_string(d.list.perAddress) + ")\n"
           "  --list-deadline MS       time a list client has for its whole conversation (default "
           + std::to_string(d.list.sessionDeadlineMs) + ")\n"
           "  --probe-rate N           probes a second of new game servers in one /24 network (default 20)\n"
           "  --probe-burst N          ... at once (default " + std::to_string(d.list.probeBurst) + ")\n"
           "  --help                   this text\n"
           "\nThe web port also serves the live lobby: / (a page), /lobby.json and /metrics\n"
           "(Prometheus). SIGHUP reads the news file and the game keys again; SIGINT and\n"
           "SIGTERM stop the server.\n";
}

TServerOptions ParseOptions(const std::vector<std::string>& args)
{
    TServerOptions o;
    TLobbyLimits& l = o.limits;
    TListLimits& list = o.list;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument(a + ": missing value");
            return args[++i];
        };
        if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--config")
            o.configFile = value();
        else if (a == "--bind")
            o.bind = value();
        else if (a == "--lobby-port")
            o.lobbyPort = int(ReadCount(a, value(), 0, 65535));
        else if (a == "--max-frame")
            l.maxFrame = ReadCount(a, value(), 64, 64 * 1024);
        else if (a == "--send-queue")
            l.sendQueue = ReadCount(a, value(), 1024, 1u << 30);
        else if (a == "--name-deadline")
            l.nameDeadlineMs = ReadCount(a, value(), 10, 86'400'000);
        else if (a == "--keepalive")
            l.keepAliveMs = ReadCount(a, value(), 10, 86'400'000);
        else if (a == "--per-address")
            l.perAddress = ReadCount(a, value(), 0, 1'000'000);
        else if (a == "--max-clients")
            l.maxClients = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--chat-rate")
            l.chatRate = ReadRate(a, value());
        else if (a == "--chat-burst")
            l.chatBurst = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--action-rate")
            l.actionRate = ReadRate(a, value());
        else if (a == "--action-burst")
            l.actionBurst = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--address-action-rate")
            l.addressActionRate = ReadRate(a, value());
        else if (a == "--address-action-burst")
            l.addressActionBurst = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--inbox-rate")
            l.inboxRate = ReadRate(a, value());
        else if (a == "--inbox-burst")
            l.inboxBurst = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--max-text")
            l.maxText = ReadCount(a, value(), 1, 64 * 1024);
        else if (a == "--input-rate")
            l.inputRate = ReadCount(a, value(), 64, 1u << 30);
        else if (a == "--input-burst")
            l.inputBurst = ReadCount(a, value(), 64, 1u << 30);
        else if (a == "--frame-rate")
            l.frameRate = ReadRate(a, value());
        else if (a == "--frame-burst")
            l.frameBurst = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--input-flood")
            l.inputFloodMs = ReadCount(a, value(), 10, 86'400'000);
        else if (a == "--bad-frames")
            l.badFrames = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--log-lines")
            l.logLines = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--send-wait")
            l.sendWaitMs = ReadCount(a, value(), 10, 86'400'000);
        else if (a == "--no-flood-limit")
            l.floodLimit = false;
        else if (a == "--http-port")
            o.motd.httpPort = int(ReadCount(a, value(), 0, 65535));
        else if (a == "--motd-udp-port")
            o.motd.udpPort = int(ReadCount(a, value(), 0, 65535));
        else if (a == "--motd-file")
            o.motd.file = value();
        else if (a == "--min-version")
            o.motd.minVersion = ReadVersion(a, value());
        else if (a == "--latest-version")
            o.motd.latestVersion = ReadVersion(a, value());
        else if (a == "--http-max-connections")
            o.motd.maxConnections = ReadCount(a, value(), 1, 100'000);
        else if (a == "--http-per-address")
            o.motd.perAddress = ReadCount(a, value(), 0, 100'000);
        else if (a == "--motd-udp-total-rate")
            o.motd.udpTotalRate = ReadCount(a, value(), 0, 1'000'000);
        else if (a == "--probe-rate")
            list.probeRate = ReadRate(a, value());
        else if (a == "--probe-burst")
            list.probeBurst = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--http-idle")
            o.motd.idleMs = ReadCount(a, value(), 10, 3'600'000);
        else if (a == "--motd-udp-rate")
            o.motd.udpRate = ReadCount(a, value(), 0, 1'000'000);
        else if (a == "--list-port")
            o.listPort = int(ReadCount(a, value(), 0, 65535));
        else if (a == "--heartbeat-port")
            o.heartbeatPort = int(ReadCount(a, value(), 0, 65535));
        else if (a == "--game-keys")
            list.gameKeysFile = value();
        else if (a == "--server-expiry")
            list.serverExpirySeconds = ReadCount(a, value(), 1, 86'400 * 7);
        else if (a == "--list-per-address")
            list.perAddress = ReadCount(a, value(), 1, 1'000'000);
        else if (a == "--list-deadline")
            list.sessionDeadlineMs = ReadCount(a, value(), 10, 600'000);
        else
            throw std::invalid_argument("unknown option '" + a + "' (see --help)");
    }
    return o;
}
