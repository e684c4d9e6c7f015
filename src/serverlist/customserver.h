// The game-server records. A TGameServer also describes a game the lobby
// launches: the host's address and the ports the game uses.
#pragma once

#include <cstdint>
#include <string>

class TCustomServer {
public:
    TCustomServer(std::string address, std::string queryPort)
        : Address(std::move(address)), QueryPort(std::move(queryPort)), GamePort(QueryPort)
    {
    }
    virtual ~TCustomServer() = default;

    std::string Address;     // IPv4 address as text
    std::string QueryPort;   // UDP port for status queries
    std::string GamePort;    // port players connect to
    std::string Name;
    int32_t Timeout = 2000;
    int32_t Ping = 9999;
    bool Succeeded = false;
    int32_t Attempt = 0;
    int32_t Retries = 1;
    bool Busy = false;
    int32_t NumPlayers = 0;
    int32_t MaxPlayers = 0;
};

class TGameServer : public TCustomServer {
public:
    using TCustomServer::TCustomServer;

    std::string MapName;
    std::string GameType;
    std::string GameMode;
    std::string GameVersion;
    int32_t Location = 0;
    uint32_t QueryStart = 0;
    int32_t RoundTrip = 0;
};
