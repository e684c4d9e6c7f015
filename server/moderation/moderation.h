// The moderators' commands carried out: each request from the control socket
// is checked, written to the state database, recorded in the audit log with
// the moderator's user name, logged in one line, and applied to the lobby.
// The lobby asks it, in turn, whether an address or a name is banned and
// whether a player is muted.
#pragma once

#include "modstore.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TModPlayer {
    int32_t index = 0;
    std::string name;        // the wire's bytes (Windows-1252)
    std::string address;
    int32_t game = 0;        // the game it hosts or is in; 0 for none
};

struct TModGame {
    int32_t index = 0;
    std::string name;
    std::string host;        // the host's name
    std::size_t players = 0; // the host included
    bool inProgress = false;
};

// What moderation asks of the lobby.
class TModeratedLobby {
public:
    virtual ~TModeratedLobby() = default;
    virtual std::vector<TModPlayer> Players() const = 0;
    virtual std::vector<TModGame> Games() const = 0;
    // Sends the named player a notice (cmMessage), then closes its
    // connection once the notice is written. False when no such player.
    virtual bool Kick(const std::string& name, const std::string& notice, const std::string& reason) = 0;
    // A notice to the named player, or to every player when `name` is
    // empty. False when the named player is not there.
    virtual bool Notice(const std::string& name, const std::string& text) = 0;
};

struct TModerationFigures {
    std::size_t activeBans = 0;
    std::size_t activeMutes = 0;
    uint64_t kicks = 0;              // by kick and by a ban of a connected player
    uint64_t refusedBanned = 0;      // connections and name requests refused for a ban
};

class TModeration {
public:
    using TLog = std::function<void(const std::string&)>;

    TModeration(TModerationStore& store, TModeratedLobby& lobby, TLog log, std::function<void()> reload);

    // One control request (its words) from the user `user`: the reply, whose
    // first line is "OK" or "ERROR " and the reason, the rest the body.
    std::string Execute(const std::string& user, const std::vector<std::string>& words);

    // The notice that turns a newcomer away, or empty when it may come in.
    std::string AddressRefusal(const std::string& address);
    std::string NameRefusal(const std::string& name);
    bool Muted(const std::string& name) const { return store_.Muted(name); }

    TModerationFigures Figures() const;

private:
    struct TOutcome {
        bool ok = true;
        std::string result;      // the audit log's result and the log line's end
        std::string body;        // what the moderator is shown
    };
    TOutcome Run(const std::string& user, const TModCommand& cmd);
    TOutcome Ban(const std::string& user, const TModCommand& cmd);
    std::string BannedNotice(const TBan& ban) const;
    std::string PlayersText(bool json) const;
    std::string GamesText(bool json) const;

    TModerationStore& store_;
    TModeratedLobby& lobby_;
    TLog log_;
    std::function<void()> reload_;
    uint64_t kicks_ = 0;
    uint64_t refusedBanned_ = 0;
};

// "2026-12-17 03:00 UTC"
std::string UtcText(int64_t seconds);
// A JSON string of Windows-1252 bytes.
std::string ModJsonText(std::string_view cp1252);
