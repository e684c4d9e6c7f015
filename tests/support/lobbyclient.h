// A blocking lobby client for tests and tools, with no Qt: real TCP on
// loopback, real frames. (The parlevod it talks to: parlevodprocess.h.)
#pragma once

#include "lobby/protocol.h"
#include "support/parlevodprocess.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TLobbyTestClient {
public:
    TLobbyTestClient() = default;
    ~TLobbyTestClient();
    TLobbyTestClient(const TLobbyTestClient&) = delete;
    TLobbyTestClient& operator=(const TLobbyTestClient&) = delete;

    bool Connect(uint16_t port, const std::string& host = "127.0.0.1");
    void Close();
    bool Connected() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // Sends one record with the given type and param (player = SelfIndex()).
    bool Send(uint8_t type, const std::string& param);
    bool SendRaw(const std::string& bytes);

    // The next record, or nothing when none arrives within `timeoutMs` or
    // the connection closed. cmPing is answered with cmPong when AutoPong.
    std::optional<LobbyRecord> Receive(int timeoutMs = 2000);
    // Reads until a record of `type` satisfying `match` comes; the others are
    // passed over (they remain in History()).
    std::optional<LobbyRecord> WaitFor(uint8_t type, int timeoutMs = 2000,
                                       const std::function<bool(const LobbyRecord&)>& match = {});
    // Records that arrive within `ms` (for checking that nothing came).
    std::vector<LobbyRecord> Drain(int ms);
    // True when the server closes the connection within `timeoutMs`.
    bool WaitClosed(int timeoutMs = 2000);

    // Asks for a name and waits for this client's own cmPlayer; the index
    // or -1 (cmNameTaken, refusal or time-out).
    int32_t Name(const std::string& name, int timeoutMs = 2000);
    int32_t SelfIndex() const { return self_; }

    bool autoPong = true;
    const std::vector<LobbyRecord>& History() const { return history_; }
    void ClearHistory() { history_.clear(); }

private:
    bool Fill(int timeoutMs);

    int fd_ = -1;
    int32_t self_ = -1;
    bool eof_ = false;
    std::string buffer_;
    std::vector<LobbyRecord> history_;
};

// Param helpers for player and game records carried in a record.
lobby::PlayerRecord PlayerOf(const LobbyRecord& record);
lobby::GameRecord GameOf(const LobbyRecord& record);
