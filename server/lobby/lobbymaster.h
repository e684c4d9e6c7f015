// The lobby master's rules, apart from any socket: players and their names
// and indices, games, chat, private messages, invitations, keep-alive and
// the per-client limits. The I/O layer feeds it decoded records and carries
// out what it asks through TLobbyOutput.
#pragma once

#include "lobby/protocol.h"
#include "lobbyview.h"
#include "log.h"
#include "options.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

using TConnId = uint64_t;
// A whole frame as it goes on the wire, shared by every receiver of a broadcast.
using TFrame = std::shared_ptr<const std::string>;

class TLobbyOutput {
public:
    virtual ~TLobbyOutput() = default;
    // Queue a frame towards a connection.
    virtual void Send(TConnId conn, const TFrame& frame) = 0;
    // The next `bytes` queued towards a connection are its start-up state
    // (the whole lobby for a newcomer) and may pass the send-queue limit.
    virtual void Reserve(TConnId conn, std::size_t bytes) {}
    // Close a connection the master has already forgotten.
    virtual void Drop(TConnId conn, const std::string& reason) = 0;
};

TFrame MakeFrame(uint8_t type, std::string param);

class TLobbyMaster {
public:
    using TLog = ::TLog;

    TLobbyMaster(const TLobbyLimits& limits, TLobbyOutput& out, TLog log, uint64_t nowMs);

    // May one more connection from `address` come in? Explains why not.
    bool Admit(const std::string& address, std::string& why) const;
    void Connected(TConnId conn, const std::string& address, uint64_t nowMs);
    void Received(TConnId conn, const LobbyRecord& record, uint64_t nowMs);
    // The connection is gone (closed by the peer or by the I/O layer).
    void Disconnected(TConnId conn, const std::string& reason);
    // Keep-alive pings and the name and silence deadlines.
    void Tick(uint64_t nowMs);

    std::size_t ClientCount() const { return clients_.size(); }
    std::size_t PlayerCount() const { return names_.size(); }
    // The named players and the open games as onlookers see them.
    TLobbySnapshot Snapshot() const;

private:
    void ReleaseEmptyLobby();
    struct TClient {
        std::string address;
        uint64_t connectedAt = 0;
        uint64_t lastHeard = 0;
        int32_t player = 0;          // 0 until named
        double tokens = 0;           // chat lines allowed now
        uint64_t refilledAt = 0;
        bool warned = false;
    };
    struct TPlayer {
        lobby::PlayerRecord rec;
        TConnId conn = 0;
        uint32_t color = 0;
    };
    struct TGame {
        lobby::GameRecord rec;
        std::set<int32_t> invited;   // players the host invited
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
    void HandleChat(TClient& c, const LobbyRecord& r, uint64_t nowMs);
    void HandlePrivMsg(TClient& c, const LobbyRecord& r, uint64_t nowMs);
    bool TakeChatToken(TClient& c, uint64_t nowMs);

    void Forget(TConnId conn, const std::string& reason);
    void CloseGame(int32_t game);
    void LeaveGame(int32_t player);
    int32_t GameOf(int32_t player) const;
    bool IsPlayer(int32_t index) const;
    bool IsGame(int32_t index) const;
    int32_t MembersOf(int32_t game) const;   // host included

    void SendTo(int32_t player, const TFrame& frame);
    void SendToConn(TConnId conn, uint8_t type, std::string param);
    void Refuse(int32_t player, const std::string& why);
    void Broadcast(const TFrame& frame, int32_t except = 0);
    void AnnouncePlayer(int32_t player, int32_t except = 0);
    void AnnounceGame(int32_t game);
    void BroadcastRefresh(int32_t except = 0);
    TFrame PlayerFrame(int32_t player) const;
    TFrame GameFrame(int32_t game) const;
    std::string Describe(int32_t player) const;

    TLobbyLimits limits_;
    TLobbyOutput& out_;
    TLog log_;
    uint64_t nextPing_;
    std::unordered_map<TConnId, TClient> clients_;
    std::unordered_map<std::string, uint32_t> perAddress_;
    std::vector<TPlayer> players_;           // by index; entry 0 unused
    std::set<int32_t> freePlayers_;          // inactive indices below players_.size()
    std::unordered_map<std::string, int32_t> names_;
    std::vector<TGame> games_;               // by index; entry 0 unused
    std::set<int32_t> freeGames_;
};

// Empty when the nickname may be used, otherwise why not. (The game-name
// rule, which the client applies too, is lobby::ValidGameName.)
std::string NameProblem(std::string_view name);
