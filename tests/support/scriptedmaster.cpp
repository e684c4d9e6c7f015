#include "scriptedmaster.h"

#include "platform/eventloop.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

TScriptedMaster::TScriptedMaster() : server_(new QTcpServer(this))
{
    connect(server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = server_->nextPendingConnection()) {
            if (client_)
                client_->deleteLater();
            client_ = s;
            buffer_.clear();
            ++connections_;
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                if (s == client_)
                    OnReadyRead();
            });
        }
    });
    Listen();
}

TScriptedMaster::~TScriptedMaster() = default;

bool TScriptedMaster::Listen()
{
    if (server_->isListening())
        return true;
    if (!server_->listen(QHostAddress::LocalHost, port_))
        return false;
    port_ = server_->serverPort();
    return true;
}

void TScriptedMaster::StopListening() { server_->close(); }

void TScriptedMaster::DropClient()
{
    if (client_) {
        client_->disconnectFromHost();
        client_->deleteLater();
        client_ = nullptr;
    }
}

void TScriptedMaster::PauseReading(bool paused)
{
    paused_ = paused;
    if (!client_)
        return;
    if (paused) {
        // Small buffers, in Qt and in the kernel, so the client meets a full
        // connection soon.
        client_->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        client_->setReadBufferSize(4096);
    } else {
        client_->setReadBufferSize(0);
        OnReadyRead();
    }
}

qint64 TScriptedMaster::Unsent() const { return client_ ? client_->bytesToWrite() : 0; }

void TScriptedMaster::OnReadyRead()
{
    if (paused_)
        return;
    QByteArray bytes = client_->readAll();
    buffer_.append(bytes.constData(), std::size_t(bytes.size()));
    while (true) {
        lobby::SplitResult r = lobby::SplitFrame(buffer_);
        if (r.status == lobby::SplitStatus::Incomplete)
            break;
        buffer_.erase(0, r.used);
        if (r.status == lobby::SplitStatus::Frame) {
            received.push_back(r.record);
            if (onRecord)
                onRecord(r.record);
        }
    }
}

void TScriptedMaster::SendRaw(const std::string& bytes)
{
    if (client_) {
        client_->write(bytes.data(), qint64(bytes.size()));
        client_->flush();
    }
}

void TScriptedMaster::Send(const LobbyRecord& record) { SendRaw(lobby::BuildFrame(record)); }

void TScriptedMaster::SendPlayer(const lobby::PlayerRecord& player)
{
    Send(LobbyRecord{cmPlayer, 0, "\\index\\" + std::to_string(player.index) + "\\prec\\" + lobby::PackPlayer(player)});
}

void TScriptedMaster::SendGame(const lobby::GameRecord& game)
{
    Send(LobbyRecord{cmGame, 0, "\\index\\" + std::to_string(game.index) + "\\grec\\" + lobby::PackGame(game)});
}

void TScriptedMaster::SendChat(int channel, int colour, const std::string& text)
{
    Send(LobbyRecord{cmChat, 0,
                     "\\chan\\" + std::to_string(channel) + "\\color\\" + std::to_string(colour) + "\\text\\" + text});
}

int TScriptedMaster::WaitFor(uint8_t type, int timeoutMs, std::size_t from)
{
    int found = -1;
    platform::ProcessEventsUntil(
        [&] {
            for (std::size_t i = from; i < received.size(); ++i)
                if (received[i].type == type) {
                    found = int(i);
                    return true;
                }
            return false;
        },
        timeoutMs);
    return found;
}

int TScriptedMaster::Count(uint8_t type) const
{
    int n = 0;
    for (const auto& r : received)
        n += r.type == type;
    return n;
}

lobby::PlayerRecord TScriptedMaster::Player(int32_t index, const std::string& name, int32_t hostPlayer,
                                            int32_t hostedGame, const std::string& address)
{
    lobby::PlayerRecord p;
    p.active = 1;
    p.index = index;
    p.SetName(name);
    p.hostPlayer = hostPlayer;
    p.hostedGame = hostedGame;
    p.SetAddress(address);
    p.ping = 9999;
    return p;
}

lobby::GameRecord TScriptedMaster::Game(int32_t index, int32_t hostPlayer, const std::string& name,
                                        uint16_t maxPlayers, uint8_t state, bool inviteOnly)
{
    lobby::GameRecord g;
    g.active = 1;
    g.index = index;
    g.hostPlayer = hostPlayer;
    g.SetName(name);
    g.maxPlayers = maxPlayers;
    g.state = state;
    g.inviteOnly = inviteOnly ? 1 : 0;
    return g;
}
