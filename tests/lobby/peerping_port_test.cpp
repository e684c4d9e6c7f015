// The peer ping on the port the protocol fixes, 15321 (runs on its own). A
// running client holds that port; the test then skips and says so.
#include "peerpingfixture.h"

namespace {

constexpr quint16 kProtocolPingPort = 15321;

// Whether another program holds the port, checked by binding it a moment.
bool ProtocolPortTaken()
{
    QUdpSocket probe;
    return !probe.bind(QHostAddress::AnyIPv4, kProtocolPingPort);
}

} // namespace

TEST_F(PeerPingTest, ListensAndAnswersOnTheProtocolsPort)
{
    if (ProtocolPortTaken())
        GTEST_SKIP() << "UDP port 15321 is taken by another program (a running client?), so the peer ping "
                        "cannot be tested on its own port; the other peer ping tests use a free port";
    pingListenPort = "15321";
    StartLobby();
    ASSERT_EQ(LobbyPingPort(), kProtocolPingPort) << "port 15321 was free a moment ago, but the peer ping does not listen on it";
    const std::string request = "\\num\\0\\key\\7\\time\\9";
    peer.writeDatagram(request.data(), qint64(request.size()), QHostAddress::LocalHost, kProtocolPingPort);
    EXPECT_EQ(ReceiveAtPeer(), "\\reply\\\\" + request);
}
