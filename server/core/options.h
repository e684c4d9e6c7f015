// Command-line options of parlevod. Every limit of the lobby master is an
// option with a default sound for a public community server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TLobbyLimits {
    uint32_t maxFrame = 8 * 1024;            // bytes of one enciphered frame
    std::size_t sendQueue = 256 * 1024;      // bytes queued towards one client
    uint32_t nameDeadlineMs = 60'000;        // from connecting to a name
    uint32_t keepAliveMs = 60'000;           // cmPing period; silent for two periods = dropped
    uint32_t perAddress = 64;                // connections from one address (0 = no limit)
    uint32_t maxClients = 5000;              // connections in all
    double chatRate = 1.0;                   // chat lines per second refilled
    uint32_t chatBurst = 10;                 // chat lines allowed at once
    bool floodLimit = true;                  // the chat token bucket is applied
};

// The message-of-the-day service.
struct TMotdOptions {
    int httpPort = 29080;                    // /motd.asp and /redirect.asp; 0 picks a free port
    int udpPort = 25636;                     // 0 picks a free port
    std::string file;                        // the operator's news file; empty = no news
    uint32_t minVersion = 0;                 // older requests are told they expired (0 = none)
    uint32_t latestVersion = 0;              // older requests get the update lines (0 = none)
    uint32_t maxConnections = 256;           // HTTP connections open at once
    uint32_t idleMs = 10'000;                // time to send a whole HTTP request
    uint32_t udpRate = 5;                    // UDP replies a second to one address (0 = no limit)
};

// The master server list: game servers announce themselves by heartbeat,
// clients fetch the list after answering a challenge.
struct TListLimits {
    std::string gameKeysFile;                // more "gamename key" lines
    uint32_t serverExpirySeconds = 600;      // listed this long after the last heartbeat
    uint32_t perAddress = 64;                // servers listed (and probes waiting) per address
    uint32_t maxServers = 20'000;            // servers listed in all
    uint32_t probeTimeoutMs = 5000;          // wait for a probed server's reply
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
    std::string configFile;                  // --config: options read from this file first
    bool help = false;
};

// Parses argv. Throws std::invalid_argument with a message for the user.
TServerOptions ParseOptions(const std::vector<std::string>& args);
std::string UsageText();
