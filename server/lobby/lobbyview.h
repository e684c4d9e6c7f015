// What the lobby shows to onlookers (the live lobby page, its JSON and the
// metrics): read-only copies of the players and games, and the lobby
// service's running counts. Texts are the wire's bytes (Windows-1252).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct TLobbyPlayerView {
    int32_t index = 0;
    std::string name;
    int32_t game = 0;               // the game it hosts or is in; 0 for none
    std::string address;            // for the moderators' tool; no page shows it
};

struct TLobbyGameView {
    int32_t index = 0;
    std::string name;
    int32_t host = 0;               // the host's player index
    std::vector<int32_t> members;   // the host first, then the others by index
    uint16_t maxPlayers = 0;
    bool inviteOnly = false;
    bool inProgress = false;
};

struct TLobbySnapshot {
    std::vector<TLobbyPlayerView> players;   // by index
    std::vector<TLobbyGameView> games;       // by index
    std::size_t connections = 0;             // named or not
};

// Since the service started.
struct TLobbyCounters {
    uint64_t framesIn = 0;       // whole frames read from clients
    uint64_t framesOut = 0;      // frames queued towards clients
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;       // written to clients' sockets
    // Connections that ended or were refused, by DropKind of the reason.
    std::map<std::string, uint64_t, std::less<>> drops;

    void Dropped(std::string_view reason) { ++drops[std::string(DropKindOf(reason))]; }
    // A short name for why a connection ended, fit for a metrics label:
    // "client_closed", "slow_reader", "oversized_frame", "malformed_frames",
    // "input_flood", "no_name", "silent", "replaced", "lobby_full",
    // "address_limit", "stopping", else "other".
    static std::string_view DropKindOf(std::string_view reason);
    // Every kind DropKindOf gives, "other" last.
    static std::vector<std::string_view> DropKinds();
};
