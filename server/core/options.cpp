#include "options.h"

#include "text/textfuncs.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <type_traits>

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

// Where an option is kept in TServerOptions: a field of its own, or a
// field of one of its groups (the lobby's limits, the news, the list).
template <class T>
auto Field(T TServerOptions::*field)
{
    return [field](TServerOptions& o) -> T& { return o.*field; };
}

template <class G, class T>
auto Field(G TServerOptions::*group, T G::*field)
{
    return [group, field](TServerOptions& o) -> T& { return (o.*group).*field; };
}

// How an option's value is read and stored, and how its default is shown.
struct TKind {
    std::function<std::string(const TServerOptions&)> shownDefault;
    std::function<void(TServerOptions&, const std::string&, const std::string&)> set;
};

template <class Get>
std::string Shown(Get get, const TServerOptions& defaults)
{
    TServerOptions copy = defaults;
    std::ostringstream text;
    text << get(copy);   // a rate of 1.0 reads "1"
    return text.str();
}

template <class Get>
TKind Count(Get get, uint32_t min, uint32_t max)
{
    using T = std::remove_reference_t<decltype(get(std::declval<TServerOptions&>()))>;
    return {[get](const TServerOptions& d) { return Shown(get, d); },
            [get, min, max](TServerOptions& o, const std::string& option, const std::string& value) {
                get(o) = T(ReadCount(option, value, min, max));
            }};
}

template <class Get>
TKind Rate(Get get)
{
    return {[get](const TServerOptions& d) { return Shown(get, d); },
            [get](TServerOptions& o, const std::string& option, const std::string& value) {
                get(o) = ReadRate(option, value);
            }};
}

// A version: 0 stands for none, which the help says in its own words.
template <class Get>
TKind Version(Get get)
{
    return {nullptr, [get](TServerOptions& o, const std::string& option, const std::string& value) {
                get(o) = ReadVersion(option, value);
            }};
}

// Text taken as it is; its default is shown unless it is empty.
template <class Get>
TKind Text(Get get)
{
    return {[get](const TServerOptions& d) {
                TServerOptions copy = d;
                return get(copy);
            },
            [get](TServerOptions& o, const std::string&, const std::string& value) { get(o) = value; }};
}

// A path that may not be empty; its default is shown in the row's own words.
template <class Get>
TKind Path(Get get)
{
    return {nullptr, [get](TServerOptions& o, const std::string& option, const std::string& value) {
                if (value.empty())
                    throw std::invalid_argument(option + ": expected a path");
                get(o) = value;
            }};
}

template <class Get>
TKind Switch(Get get, bool on)
{
    return {nullptr, [get, on](TServerOptions& o, const std::string&, const std::string&) { get(o) = on; }};
}

TServerOption Row(std::string name, std::string valueName, std::string help, TKind kind)
{
    return TServerOption{std::move(name), std::move(valueName), std::move(help), std::move(kind.shownDefault),
                         std::move(kind.set)};
}

TServerOption Heading(std::string text) { return TServerOption{"", "", std::move(text), nullptr, nullptr}; }

std::vector<TServerOption> MakeTable()
{
    using O = TServerOptions;
    using L = TLobbyLimits;
    using M = TMotdOptions;
    using T = TListLimits;
    const auto limit = [](auto field) { return Field(&O::limits, field); };
    const auto motd = [](auto field) { return Field(&O::motd, field); };
    const auto list = [](auto field) { return Field(&O::list, field); };
    constexpr uint32_t kDay = 86'400'000;
    constexpr uint32_t kMany = 1'000'000;
    return {
        Row("--config", "FILE",
            "read options from FILE, one 'name = value' a line (names as\n"
            "below without the dashes); the command line wins",
            Text(Field(&O::configFile))),
        Row("--bind", "ADDR", "address to listen on", Text(Field(&O::bind))),
        Row("--lobby-port", "N", "lobby port, 0 for any free port", Count(Field(&O::lobbyPort), 0, 65535)),
        Row("--max-frame", "BYTES", "largest frame a client may send", Count(limit(&L::maxFrame), 64, 64 * 1024)),
        Row("--send-queue", "BYTES",
            "bytes of chat and notices queued towards one client before it is\n"
            "dropped; player and game records are not counted",
            Count(limit(&L::sendQueue), 1024, 1u << 30)),
        Row("--send-wait", "MS",
            "how long a frame may wait towards a client before it is dropped\n"
            "as a slow reader",
            Count(limit(&L::sendWaitMs), 10, kDay)),
        Row("--name-deadline", "MS", "time to send a name after connecting", Count(limit(&L::nameDeadlineMs), 10, kDay)),
        Row("--keepalive", "MS", "keep-alive period; two silent periods drop a client",
            Count(limit(&L::keepAliveMs), 10, kDay)),
        Row("--per-address", "N", "connections from one address, 0 = no limit", Count(limit(&L::perAddress), 0, kMany)),
        Row("--max-clients", "N",
            "connections in all; when full, a newcomer takes the place of the\n"
            "oldest connection without a name",
            Count(limit(&L::maxClients), 1, kMany)),
        Row("--chat-rate", "LINES", "chat lines, private messages and invitations per second per player\n",
            Rate(limit(&L::chatRate))),
        Row("--chat-burst", "LINES", "chat lines a player may send at once", Count(limit(&L::chatBurst), 1, kMany)),
        Row("--action-rate", "N",
            "renames, host, join, leave, kick and start requests per second\n"
            "per player",
            Rate(limit(&L::actionRate))),
        Row("--action-burst", "N", "such requests a player may send at once", Count(limit(&L::actionBurst), 1, kMany)),
        Row("--address-action-rate", "N", "such requests per second from all the players of one address",
            Rate(limit(&L::addressActionRate))),
        Row("--address-action-burst", "N", "... at once", Count(limit(&L::addressActionBurst), 1, kMany)),
        Row("--inbox-rate", "N",
            "private messages and invitations one player is sent per second,\n"
            "from all senders together",
            Rate(limit(&L::inboxRate))),
        Row("--inbox-burst", "N", "... at once", Count(limit(&L::inboxBurst), 1, kMany)),
        Row("--max-text", "BYTES", "longest chat line or private message", Count(limit(&L::maxText), 1, 64 * 1024)),
        Row("--input-rate", "BYTES", "bytes per second read from one connection",
            Count(limit(&L::inputRate), 64, 1u << 30)),
        Row("--input-burst", "BYTES", "bytes read from one connection at once",
            Count(limit(&L::inputBurst), 64, 1u << 30)),
        Row("--frame-rate", "N", "frames per second handled for one connection", Rate(limit(&L::frameRate))),
        Row("--frame-burst", "N", "frames handled for one connection at once", Count(limit(&L::frameBurst), 1, kMany)),
        Row("--input-flood", "MS", "a client that stays over its input budget this long is dropped\n",
            Count(limit(&L::inputFloodMs), 10, kDay)),
        Row("--bad-frames", "N", "malformed frames before a connection is dropped", Count(limit(&L::badFrames), 1, kMany)),
        Row("--log-lines", "N",
            "log lines a minute about one player, or about the connections\n"
            "without a name from one address; the rest are counted",
            Count(limit(&L::logLines), 1, kMany)),
        Row("--no-flood-limit", "", "do not limit chat lines, requests, messages or input (for load tests)",
            Switch(limit(&L::floodLimit), false)),
        Heading("Message of the day:"),
        Row("--http-port", "N", "web port for /motd.asp and /redirect.asp, 0 for any free port",
            Count(motd(&M::httpPort), 0, 65535)),
        Row("--motd-udp-port", "N", "datagram port, 0 for any free port", Count(motd(&M::udpPort), 0, 65535)),
        Row("--motd-file", "FILE",
            "the news: header lines name=value, a line MOTD, then the message\n"
            "(plain text or RTF); read again when it changes (default: no news)",
            Text(motd(&M::file))),
        Row("--news-key", "FILE", "sign every news reply with the secret key in FILE (mode 0600)",
            Text(motd(&M::newsKeyFile))),
        Row("--make-news-key", "FILE", "write a new news key to FILE, print its public key and stop",
            Text(Field(&O::makeNewsKey))),
        Row("--min-version", "NNNNNN", "versions below it are told they expired (default: none)",
            Version(motd(&M::minVersion))),
        Row("--latest-version", "NNNNNN",
            "versions below it that ask to be told get the file's update lines\n"
            "(updatever, updatedesc, dlcount, dlN, ...) (default: nobody)",
            Version(motd(&M::latestVersion))),
        Row("--http-max-connections", "N", "web connections open at once", Count(motd(&M::maxConnections), 1, 100'000)),
        Row("--http-per-address", "N",
            "web connections open at once from one address; a newcomer takes the\n"
            "place of its oldest one not being answered, 0 = no limit",
            Count(motd(&M::perAddress), 0, 100'000)),
        Row("--http-idle", "MS", "time a web client has to send a whole request", Count(motd(&M::idleMs), 10, 3'600'000)),
        Row("--motd-udp-rate", "N", "datagram replies a second to one address, 0 = no limit",
            Count(motd(&M::udpRate), 0, kMany)),
        Row("--motd-udp-total-rate", "N", "datagram replies a second to all addresses, 0 = no limit",
            Count(motd(&M::udpTotalRate), 0, kMany)),
        Row("--list-port", "N", "master server list port, 0 for any free port", Count(Field(&O::listPort), 0, 65535)),
        Row("--heartbeat-port", "N", "game servers' heartbeat port (UDP), 0 for any free port",
            Count(Field(&O::heartbeatPort), 0, 65535)),
        Row("--game-keys", "FILE", "more game names and their keys, one 'gamename key' a line",
            Text(list(&T::gameKeysFile))),
        Row("--server-expiry", "SECONDS",
            "a game server leaves the list this long after its last\n"
            "heartbeat",
            Count(list(&T::serverExpirySeconds), 1, 86'400 * 7)),
        Row("--list-per-address", "N", "game servers listed from one address", Count(list(&T::perAddress), 1, kMany)),
        Row("--list-deadline", "MS", "time a list client has for its whole conversation",
            Count(list(&T::sessionDeadlineMs), 10, 600'000)),
        Row("--probe-rate", "N", "probes a second of new game servers in one /24 network", Rate(list(&T::probeRate))),
        Row("--probe-burst", "N", "... at once", Count(list(&T::probeBurst), 1, kMany)),
        Heading("Moderation:"),
        Row("--state-db", "FILE",
            "the SQLite database of bans, mutes and the moderators' audit log\n"
            "(default parlevod.db in the folder parlevod starts in)",
            Path(Field(&O::stateDb))),
        Row("--control-socket", "PATH",
            "the moderators' socket for parlevoctl, made with mode 0660\n"
            "(default parlevod.control beside the database)",
            Path(Field(&O::controlSocket))),
        Row("--help", "", "this text", Switch(Field(&O::help), true)),
    };
}

// Where the usage text starts an option's words, and so indents their
// further lines.
constexpr std::size_t kHelpColumn = 27;

} // namespace

std::string ControlSocketPath(const TServerOptions& o)
{
    if (!o.controlSocket.empty())
        return o.controlSocket;
    const std::size_t slash = o.stateDb.rfind('/');
    return (slash == std::string::npos ? std::string() : o.stateDb.substr(0, slash + 1)) + "parlevod.control";
}

const std::vector<TServerOption>& ServerOptionTable()
{
    static const std::vector<TServerOption> table = MakeTable();
    return table;
}

const TServerOption* FindServerOption(std::string_view name)
{
    if (name == "-h")
        name = "--help";
    for (const TServerOption& row : ServerOptionTable())
        if (!row.name.empty() && row.name == name)
            return &row;
    return nullptr;
}

std::string UsageText()
{
    const TServerOptions defaults;
    std::string out = "Usage: parlevod [options]\n"
                      "The Parlevo network's server: the lobby master, the message of the day, the master\n"
                      "server list and the live lobby page.\n\n";
    for (const TServerOption& row : ServerOptionTable()) {
        if (row.name.empty()) {
            out += row.help + "\n";
            continue;
        }
        std::string line = "  " + row.name + (row.Switch() ? "" : " " + row.valueName);
        line.append(std::max<std::size_t>(1, kHelpColumn - std::min(line.size(), kHelpColumn)), ' ');
        std::string help = row.help;
        const std::string shown = row.shownDefault ? row.shownDefault(defaults) : std::string();
        if (!shown.empty())
            help += (!help.empty() && help.back() == '\n' ? "" : " ") + std::string("(default ") + shown + ")";
        for (char c : help) {
            line += c;
            if (c == '\n')
                line.append(kHelpColumn, ' ');
        }
        out += line + "\n";
    }
    out += "\nThe web port also serves the live lobby: / (a page), /lobby.json and /metrics\n"
           "(Prometheus). SIGHUP reads the news file and the game keys again; SIGINT and\n"
           "SIGTERM stop the server.\n";
    return out;
}

TServerOptions ParseOptions(const std::vector<std::string>& args)
{
    TServerOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const TServerOption* row = FindServerOption(a);
        if (!row)
            throw std::invalid_argument("unknown option '" + a + "' (see --help)");
        if (row->Switch()) {
            row->set(o, a, std::string());
            continue;
        }
        if (i + 1 >= args.size())
            throw std::invalid_argument(a + ": missing value");
        row->set(o, a, args[++i]);
    }
    return o;
}
