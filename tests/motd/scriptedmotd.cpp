#include "scriptedmotd.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

TScriptedMotd::TScriptedMotd() : http_(new QTcpServer(this)), udp_(new QUdpSocket(this))
{
    http_->listen(QHostAddress::LocalHost, 0);
    connect(http_, &QTcpServer::newConnection, this, &TScriptedMotd::Accept);
    udp_->bind(QHostAddress::LocalHost, 0);
    connect(udp_, &QUdpSocket::readyRead, this, &TScriptedMotd::ReadDatagrams);
}

TScriptedMotd::~TScriptedMotd() = default;

uint16_t TScriptedMotd::HttpPort() const { return http_->serverPort(); }
uint16_t TScriptedMotd::UdpPort() const { return udp_->localPort(); }

void TScriptedMotd::ReplyWith(const std::string& body)
{
    httpReply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body;
}

void TScriptedMotd::Accept()
{
    while (QTcpSocket* socket = http_->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, head = std::string()]() mutable {
            head += socket->readAll().toStdString();
            if (head.find("\r\n\r\n") == std::string::npos)
                return;
            httpRequests.push_back(head);
            head.clear();
            socket->write(httpReply.data(), qint64(httpReply.size()));
            socket->disconnectFromHost();
        });
    }
}

void TScriptedMotd::ReadDatagrams()
{
    while (udp_->hasPendingDatagrams()) {
        QNetworkDatagram d = udp_->receiveDatagram();
        datagrams.push_back(d.data().toStdString());
        for (int i = 0; udpReply && i < udpRepeats; ++i)
            udp_->writeDatagram(udpReply->data(), qint64(udpReply->size()), d.senderAddress(), d.senderPort());
    }
}

std::string MotdCommandOf(const std::string& head)
{
    const std::size_t at = head.find("cmd=");
    if (at == std::string::npos)
        return {};
    std::string text;
    for (std::size_t i = at + 4; i < head.size() && head[i] != ' '; ++i) {
        if (head[i] == '+') {
            text += ' ';
        } else if (head[i] == '%' && i + 2 < head.size()) {
            text += char(std::stoi(head.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            text += head[i];
        }
    }
    return text;
}
