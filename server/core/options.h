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

struct TServerOptions {
    std::string bind = "0.0.0.0";
    int lobbyPort = 29001;                   // 0 picks a free port (printed on stdout)
    TLobbyLimits limits;
    bool help = false;
};

// Parses argv. Throws std::invalid_argument with a message for the user.
TServerOptions ParseOptions(const std::vector<std::string>& args);
std::string UsageText();
