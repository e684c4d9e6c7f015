// A lobby window and a UDP peer on loopback for the peer ping's tests. The
// window listens where the fixture's pingListenPort says: any free port
// unless a test asks for the protocol's own.
#pragma once

#include "support/lobbyfixture.h"

#include "net/WSockets.h"
#include "platform/ticks.h"

#include <QHostAddress>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <sys/socket.h>

class PeerPingTest : public LobbyTest {
protected:
    void SetUp() override
    {
        LobbyTest::SetUp();
        ASSERT_TRUE(peer.bind(QHostAddress::LocalHost, 0));
    }
    void TearDown() override
    {
        platform::SetTickOffset(0);
        LobbyTest::TearDown();
    }
    // The port the window's ping socket is bound to; 0 when it is not.
    uint16_t LobbyPingPort() const
    {
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (!lobby || !lobby->pingreply || lobby->pingreply->State() != ssListening ||
            ::getsockname(int(lobby->pingreply->Socket()), reinterpret_cast<sockaddr*>(&local), &len) != 0)
            return 0;
        return ntohs(local.sin_port);
    }
    void SendToLobby(const std::string& text)
    {
        peer.writeDatagram(text.data(), qint64(text.size()), QHostAddress::LocalHost, LobbyPingPort());
    }
    std::string ReceiveAtPeer(int timeoutMs = 2000)
    {
        if (!WaitUntil([&] { return peer.hasPendingDatagrams(); }, timeoutMs))
            return {};
        QByteArray data(int(peer.pendingDatagramSize()), '\0');
        peer.readDatagram(data.data(), data.size());
        return data.toStdString();
    }
    bool PortIsOurs() const { return LobbyPingPort() != 0; }

    QUdpSocket peer;
};
