// The lobby master's rules, apart from any socket: players and their names
// and indices, games, chat, private messages, invitations, keep-alive and
// the per-client limits. The I/O layer feeds it decoded records and the
// time, and carries out what it asks through TLobbyOutput.
#pragma once

#include "lobby/protocol.h"
#include "lobbyview.h"
#include "log.h"
#include "options.h"
#include "ratelimit.h"
#include "sendqueue.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class TLobbyOutput {
public:
    virtual ~TLobbyOutput() = default;
    // Queue a frame towards a connection; `slot` says which record it is,
    // if any (see TSendQueue).
    virtual void Send(TConnId conn, const TFrame& frame, TSlot slot) = 0;
    // What waits for the connection answers its client's own request: to
    // be written without waiting for the next round of the lobby's state.
    virtual void Hurry(TConnId) {}
    // Close a connection the master has already forgotten.
    virtual void Drop(TConnId conn, const std::string& reason) = 0;
    // The same, once what is queued towards it (a notice) has been written.
    virtual void Dismiss(TConnId conn, const std::string& reason) { Drop(conn, reason); }
};

// What the moderators decided, as the master asks it; either may be unset.
struct TLobbyGuard {
    // The notice that turns a name away (a ban), or empty.
    std::function<std::string(const std::string& name)> nameRefusal;
    // A muted player's chat and private messages reach nobody but its own
    // echo, and its invitations are dropped.
    std::function<bool(const std::string& name)> muted;
};

// A frame of its own for one record from the master (player index 0).
TFrame MakeFrame(uint8_t type, std::string_view param);
// The frames that never change, made once and shared by every queue.
const TFrame& RefreshFrame();
const TFrame& PingFrame();

class TLobbyMaster {
public:
    using TLog = ::TLog;

    TLobbyMaster(const TLobbyLimits& limits, TLobbyOutput& out, TLog log, uint64_t nowMs);

    // May one more connection from `address` come in? Explains why not.
    // When every place is taken, the oldest connection that has not sent a
    // name makes room (it is dropped); a named player never does.
    bool Admit(const std::string& address, uint64_t nowMs, std::string& why);
    void Connected(TConnId conn, const std::string& address, uint64_t nowMs);
    void Received(TConnId conn, const LobbyRecord& record, uint64_t nowMs);
    // A frame from the connection that holds no record; a few are forgiven,
    // then the connection is dropped.
    void BadFrame(TConnId conn, const std::string& error, uint64_t nowMs);
    // The connection is gone (closed by the peer or by the I/O layer).
    void Disconnected(TConnId conn, const std::string& reason);
    // Keep-alive pings and the name and silence deadlines.
    void Tick(uint64_t nowMs);

    std::size_t ClientCount() const { return clients_.size(); }
    std::size_t PlayerCount() const { return names_.size(); }
    // Entries of the player and game tables, in use or free: what the
    // biggest crowd since the lobby was last empty made them grow to.
    std::size_t TableEntries() const { return players_.size() + games_.size(); }
    // The named players and the open games as onlookers see them.
    TLobbySnapshot Snapshot() const;

    // Moderation.
    void SetGuard(TLobbyGuard guard) { guard_ = std::move(guard); }
    // A notice (cmMessage) to the player named exactly `name`, or to every
    // player when `name` is empty. False when no such player is there.
    bool Notify(const std::string& name, const std::string& text);
    // The named player is sent `notice`, leaves the lobby, and its connection
    // is closed once the notice is written. False when no such player.
    bool Dismiss(const std::string& name, const std::string& notice, const std::string& reason);

private:
    struct TClient {
        std::string address;
        uint64_t connectedAt = 0;
        uint64_t lastHeard = 0;
        int32_t player = 0;          // 0 until named
        TTokenBucket chat;           // chat lines, private messages, invitations
        TTokenBucket actions;        // requests that change the lobby
        bool chatWarned = false;
        bool actionsWarned = false;
        bool addressWarned = false;  // told its address's requests are spent
        uint32_t badFrames = 0;
        TLogBudget log;              // once named; before, its address's budget serves
    };
    struct TPlayer {
        lobby::PlayerRecord rec;
        // The cmPlayer frame of `rec` as it was when `framed` was copied
        // from it: every receiver shares it until the record changes.
        TFrame frame;
        lobby::PlayerRecord framed;
        TConnId conn = 0;
        uint32_t color = 0;
        TTokenBucket inbox;          // private messages and invitations it is sent
        std::set<int32_t> toldFull;  // senders told, since it was last quiet, that it gets too many
    };
    struct TGame {
        lobby::GameRecord rec;
        TFrame frame;                // as for TPlayer
        lobby::GameRecord framed;
        std::set<int32_t> invited;   // players the host invited
        std::set<int32_t> members;   // the players in it, the host not counted
    };

    void HandleName(TConnId conn, TClient& c, const LobbyRecord& r);
    // The three steps of a name request. RefuseName tells the client why a
    // name cannot be had and returns true; otherwise the request renames a
    // named player or brings a newcomer into the lobby.
    bool RefuseName(TConnId conn, const TClient& c, const std::string& name);
    void RenamePlayer(TConnId conn, int32_t player, const std::string& name);
    void JoinLobby(TConnId conn, TClient& c, const std::string& name);
    void SendWholeLobby(TConnId conn);
    void HandleHost(TClient& c, const LobbyRecord& r);
    void HandleJoin(TClient& c, const LobbyRecord& r);
    void HandleLeave(TClient& c);
    void HandleKick(TClient& c, const LobbyRecord& r);
    void HandleInvite(TClient& c, const LobbyRecord& r);
    void HandleStart(TClient& c, const LobbyRecord& r);
    void HandleChat(TClient& c, const LobbyRecord& r);
    void HandlePrivMsg(TClient& c, const LobbyRecord& r);
    // The sender's budgets: false (and the sender warned once) when spent.
    bool TakeChatToken(TClient& c);
    bool TakeActionToken(TClient& c);
    // The requests that change the lobby have a budget per address as well:
    // many players from one place cannot together change it faster.
    bool TakeAddressToken(TClient& c);
    bool TakeToken(TClient& c, TTokenBucket& bucket, bool& warned, const char* warning);
    // A private message or invitation for `to` within its inbox; otherwise
    // the sender is told, once until `to` has been quiet again.
    bool DeliverTo(int32_t from, int32_t to, const TFrame& frame);
    bool TextTooLong(int32_t player, const std::string& text);

    // Forgets the connection, then closes it. Whichever way a connection
    // goes, the master forgets it and tidies up after the last one alike.
    void DropClient(TConnId conn, const std::string& reason);
    // The connection is told `notice`, forgotten, and closed after it.
    void DismissClient(TConnId conn, const std::string& notice, const std::string& reason);
    bool Muted(int32_t player) const;
    void Forget(TConnId conn, const std::string& reason);
    void ReleaseEmptyLobby();
    void CloseGame(int32_t game);
    void LeaveGame(int32_t player);
    int32_t GameOf(int32_t player) const;
    bool IsPlayer(int32_t index) const;
    bool IsGame(int32_t index) const;
    int32_t MembersOf(int32_t game) const;   // host included

    void SendTo(int32_t player, const TFrame& frame, TSlot slot = {});
    void SendToConn(TConnId conn, uint8_t type, std::string param);
    void Refuse(int32_t player, const std::string& why);
    void Broadcast(const TFrame& frame, TSlot slot, int32_t except = 0);
    void AnnouncePlayer(int32_t player, int32_t except = 0);
    void AnnounceGame(int32_t game);
    void BroadcastRefresh(int32_t except = 0);
    // The current frame of a player's or game's record, made again only
    // when the record has changed since it was last made.
    const TFrame& PlayerFrame(int32_t player);
    const TFrame& GameFrame(int32_t game);
    std::string Describe(int32_t player) const;
    // A line about a connection or a player, within its log budget.
    void LogAbout(TConnId conn, std::string line);
    void LogPlayer(int32_t player, std::string line);
    // Lines about connections without a name share their address's budget,
    // so a client that connects again and again is a few lines a minute.
    bool PassForAddress(const std::string& address, std::string& line);
    void ForgetRestedAddresses();

    TLobbyLimits limits_;
    TLobbyOutput& out_;
    TLog log_;
    uint64_t now_;                           // the time of the event being handled
    uint64_t nextPing_;
    std::unordered_map<TConnId, TClient> clients_;
    std::set<std::pair<uint64_t, TConnId>> unnamed_;   // by the time they came
    std::unordered_map<std::string, uint32_t> perAddress_;
    std::unordered_map<std::string, TTokenBucket> addressActions_;   // while the address has connections
    std::unordered_map<std::string, TLogBudget> addressLog_;
    std::vector<TPlayer> players_;           // by index; entry 0 unused
    std::set<int32_t> freePlayers_;          // inactive indices below players_.size()
    std::unordered_map<std::string, int32_t> names_;   // by NameKey
    std::vector<TGame> games_;               // by index; entry 0 unused
    std::set<int32_t> freeGames_;
    TLobbyGuard guard_;
};

// Empty when the nickname may be used, otherwise why not. (The game-name
// rule, which the client applies too, is lobby::ValidGameName.)
std::string NameProblem(std::string_view name);
// What tells names apart: two names with the same key read the same (the
// letters of ASCII and Windows-1252 in either case, the no-break space as a
// space), so only one of them may be in use at a time.
std::string NameKey(std::string_view name);
