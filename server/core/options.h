// Command-line options of parlevod. Every limit of the lobby master is an
// option with a default sound for a public community server.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct TLobbyLimits {
    uint32_t maxFrame = 8 * 1024;            // bytes of one enciphered frame
    // Bytes of chat lines, notices and other frames waiting towards one
    // client. The lobby's player and game records are not counted: a client
    // has at most one of each waiting, so they are bounded by the lobby.
    std::size_t sendQueue = 1024 * 1024;
    uint32_t sendWaitMs = 30'000;            // how long a frame may wait towards a client
    uint32_t nameDeadlineMs = 60'000;        // from connecting to a name
    uint32_t keepAliveMs = 60'000;           // cmPing period; silent for two periods = dropped
    uint32_t perAddress = 64;                // connections from one address (0 = no limit)
    uint32_t maxClients = 5000;              // connections in all
    double chatRate = 1.0;                   // chat lines per second refilled
    uint32_t chatBurst = 10;                 // chat lines allowed at once
    double actionRate = 2.0;                 // renames, hosting, joining, leaving, kicks, starts a second
    uint32_t actionBurst = 10;               // ... allowed at once
    double addressActionRate = 10.0;         // such requests a second from all the players of one address
    uint32_t addressActionBurst = 40;        // ... allowed at once
    double inboxRate = 2.0;                  // private messages and invitations one player is sent a second
    uint32_t inboxBurst = 10;                // ... at once, from all senders together
    uint32_t maxText = 500;                  // bytes of a chat line or private message
    uint32_t inputRate = 8 * 1024;           // bytes a second read from one connection
    uint32_t inputBurst = 32 * 1024;         // ... at once
    double frameRate = 20.0;                 // frames a second handled for one connection
    uint32_t frameBurst = 40;                // ... at once
    uint32_t inputFloodMs = 5000;            // over the input budget this long without a pause: dropped
    uint32_t badFrames = 10;                 // malformed frames before a connection is dropped
    uint32_t logLines = 30;                  // log lines a minute about a player, or an address's unnamed (the rest counted)
    bool floodLimit = true;                  // the rate limits above apply (off only for load tests)
};

// The message-of-the-day service.
struct TMotdOptions {
    int httpPort = 29080;                    // /motd.asp and /redirect.asp; 0 picks a free port
    int udpPort = 25636;                     // 0 picks a free port
    std::string file;                        // the operator's news file; empty = no news
    uint32_t minVersion = 0;                 // older requests are told they expired (0 = none)
    uint32_t latestVersion = 0;              // older requests get the update lines (0 = none)
    uint32_t maxConnections = 256;           // HTTP connections open at once
    uint32_t perAddress = 8;                 // ... from one address (0 = no limit)
    uint32_t idleMs = 10'000;                // time to send a whole HTTP request
    uint32_t udpRate = 5;                    // UDP replies a second to one address (0 = no limit)
    std::string newsKeyFile;                 // the secret key every reply is signed with; empty = unsigned
    uint32_t udpTotalRate = 200;             // UDP replies a second to all addresses (0 = no limit)
};

// The master server list: game servers announce themselves by heartbeat,
// clients fetch the list after answering a challenge.
struct TListLimits {
    std::string gameKeysFile;                // more "gamename key" lines
    uint32_t serverExpirySeconds = 600;      // listed this long after the last heartbeat
    uint32_t perAddress = 64;                // servers listed (and probes waiting) per address
    uint32_t maxServers = 20'000;            // servers listed in all
    uint32_t probeTimeoutMs = 5000;          // wait for a probed server's reply
    uint32_t maxNewProbes = 4096;            // probes of servers not yet listed waiting at once
    double probeRate = 20;                   // probes a second of new servers in one /24 network
    uint32_t probeBurst = 100;               // ... at once
    uint32_t sessionDeadlineMs = 10'000;     // a list client's whole connection
    uint32_t maxRequest = 4096;              // bytes a list client may send
    uint32_t maxSessions = 256;              // list clients connected at once
    uint32_t sessionsPerAddress = 8;         // ... from one address
};

struct TServerOptions {
    std::string bind = "0.0.0.0";
    int lobbyPort = 29001;                   // 0 picks a free port (printed on stdout)
    int listPort = 28900;                    // master list (TCP)
    int heartbeatPort = 27900;               // heartbeats (UDP)
    TLobbyLimits limits;
    TMotdOptions motd;
    TListLimits list;
    // Moderation: bans, mutes and the audit log, and the moderators' socket.
    std::string stateDb = "parlevod.db";     // in the folder parlevod starts in
    std::string controlSocket;               // empty: parlevod.control beside the database
    std::string configFile;                  // --config: options read from this file first
    bool help = false;
    std::string makeNewsKey;                 // --make-news-key FILE: write a new key there and stop
};

// One row of the table of options, from which the usage text, the
// command-line parser and the configuration file's names are all made.
struct TServerOption {
    std::string name;        // "--max-frame"; a row without one is a heading of the usage text
    std::string valueName;   // "BYTES"; empty for a switch, which takes no value
    // The usage text's words for it; "\n" starts a new line, indented under
    // the first. A default shown follows on the same line, or on a line of
    // its own when the text ends with "\n".
    std::string help;
    // The default as the usage text shows it, read from a default
    // TServerOptions; empty when the help says it in its own words.
    std::function<std::string(const TServerOptions&)> shownDefault;
    // Checks `value` and stores it; throws std::invalid_argument naming
    // `option`. A switch is given an empty value.
    std::function<void(TServerOptions&, const std::string& option, const std::string& value)> set;

    bool Switch() const { return valueName.empty(); }
};

// Every option, in the order of the usage text.
const std::vector<TServerOption>& ServerOptionTable();
// The row of "--name" (or an alias such as "-h"), or null.
const TServerOption* FindServerOption(std::string_view name);

// Parses argv. Throws std::invalid_argument with a message for the user.
TServerOptions ParseOptions(const std::vector<std::string>& args);
std::string UsageText();
// Where the control socket is: the option, else beside the state database.
std::string ControlSocketPath(const TServerOptions& options);
