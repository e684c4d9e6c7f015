// A lobby master a test scripts by hand: it listens on a free loopback port,
// speaks the real frames over real TCP, records what the client sends and
// sends what the test tells it to. It runs on the test's event loop.
#pragma once

#include "lobby/protocol.h"

#include <QObject>

#include <functional>
#include <string>
#include <vector>

class QTcpServer;
class QTcpSocket;

class TScriptedMaster : public QObject {
    Q_OBJECT
public:
    TScriptedMaster();
    ~TScriptedMaster() override;

    uint16_t Port() const { return port_; }
    // Stops listening: connections to the port are refused.
    void StopListening();
    bool Listen();
    // Drops the client's connection.
    void DropClient();
    bool HasClient() const { return client_ != nullptr; }
    int Connections() const { return connections_; }

    // Stops reading what the client sends (it waits in the kernel, which
    // soon stops the client sending), or reads again.
    void PauseReading(bool paused);
    // Bytes written to the client that its kernel has not yet taken.
    qint64 Unsent() const;

    void Send(const LobbyRecord& record);
    void SendRaw(const std::string& bytes);
    void SendPlayer(const lobby::PlayerRecord& player);
    void SendGame(const lobby::GameRecord& game);
    void SendRefresh() { Send(LobbyRecord{cmRefresh, 0, ""}); }
    void SendChat(int channel, int colour, const std::string& text);

    // Records received from the client, in order.
    std::vector<LobbyRecord> received;
    std::function<void(const LobbyRecord&)> onRecord;
    // Waits until a record of `type` (after `from`) arrived; its index or -1.
    int WaitFor(uint8_t type, int timeoutMs = 3000, std::size_t from = 0);
    int Count(uint8_t type) const;

    static lobby::PlayerRecord Player(int32_t index, const std::string& name, int32_t hostPlayer = 0,
                                      int32_t hostedGame = 0, const std::string& address = "127.0.0.1");
    static lobby::GameRecord Game(int32_t index, int32_t hostPlayer, const std::string& name, uint16_t maxPlayers = 4,
                                  uint8_t state = 0, bool inviteOnly = false);

private:
    void OnReadyRead();

    QTcpServer* server_;
    QTcpSocket* client_ = nullptr;
    std::string buffer_;
    bool paused_ = false;
    uint16_t port_ = 0;
    int connections_ = 0;
};
