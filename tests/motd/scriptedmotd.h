// A message-of-the-day service the test scripts, on loopback in the test's
// own event loop. Over HTTP it reads each request's head, answers with
// `httpReply` (status line and header included) and closes; over UDP it
// answers each datagram with `udpReply`, or not at all when that is unset.
#pragma once

#include <QObject>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QTcpServer;
class QUdpSocket;

class TScriptedMotd : public QObject {
public:
    TScriptedMotd();
    ~TScriptedMotd() override;

    uint16_t HttpPort() const;
    uint16_t UdpPort() const;

    // A 200 reply carrying `body`, without a length: it ends when the server closes.
    void ReplyWith(const std::string& body);

    std::string httpReply;
    std::optional<std::string> udpReply;
    int udpRepeats = 1;                      // datagrams sent back for each one received
    std::vector<std::string> httpRequests;   // request heads
    std::vector<std::string> datagrams;

private:
    QTcpServer* http_;
    QUdpSocket* udp_;
    void Accept();
    void ReadDatagrams();
};

// The query text after "cmd=" of a request head, decoded ("+" a blank, %XX a byte).
std::string MotdCommandOf(const std::string& requestHead);
