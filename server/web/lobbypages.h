// The live lobby on parlevod's web port, for people outside the lobby:
//   /            a small page of who is online and the open games, which
//                reloads itself every few seconds (no scripts, no outside
//                fonts or styles);
//   /lobby.json  the same as JSON;
//   /metrics     the server's figures in the Prometheus text format.
// Player and game names come from the wire in Windows-1252; the pages are
// UTF-8 with every name escaped. No page shows a player's address.
#pragma once

#include "lobbyview.h"
#include "httpanswer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Everything the pages show, taken when a page is asked for.
struct TServerFigures {
    TLobbySnapshot lobby;
    TLobbyCounters counters;
    std::size_t listServers = 0;    // game servers on the master list
    std::size_t listProbes = 0;     // heartbeats waiting for the server's answer
    // Moderation: counts only, nothing of who is banned.
    std::size_t activeBans = 0;
    std::size_t activeMutes = 0;
    uint64_t kicks = 0;             // by kick, and by a ban of a connected player
    uint64_t refusedBanned = 0;     // connections and name requests refused for a ban
};

constexpr int kLobbyPageRefreshSeconds = 5;

std::string LobbyPageHtml(const TLobbySnapshot& lobby, int refreshSeconds = kLobbyPageRefreshSeconds);
std::string LobbyJson(const TLobbySnapshot& lobby);
std::string MetricsText(const TServerFigures& figures);

// Windows-1252 bytes as UTF-8 text with & < > " ' escaped for HTML.
std::string HtmlText(std::string_view cp1252);
// Windows-1252 bytes as a quoted JSON string.
std::string JsonText(std::string_view cp1252);

// Each page is made at most once a second and the same answer given to
// every request meanwhile, so a crowd of requests costs one page's making.
class TLobbyPages {
public:
    using TFigures = std::function<TServerFigures()>;
    using TClock = std::function<uint64_t()>;   // milliseconds
    // Without a clock, the steady clock's.
    explicit TLobbyPages(TFigures figures, TClock clock = {});

    // The answer for the paths above; nothing for any other path.
    std::optional<THttpAnswer> Answer(std::string_view method, std::string_view target) const;

    static constexpr uint64_t kRemakeMs = 1000;

private:
    struct TMade {
        bool made = false;
        uint64_t at = 0;
        THttpAnswer answer;
    };
    THttpAnswer Make(const std::string& path) const;

    TFigures figures_;
    TClock clock_;
    mutable TMade made_[3];   // "/", "/lobby.json", "/metrics"
};
