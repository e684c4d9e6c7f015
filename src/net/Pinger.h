// TPinger: the round-trip time to one host, measured with a burst of ICMP
// echo requests; reports the average time of the replies that came back
// within a time limit, or 9999 when none did.
#pragma once

#include "WSockets.h"

#include <array>
#include <cstddef>
#include <cstdint>

class QTimer;

constexpr std::size_t kEchoRequestSize = 45;

// The Internet checksum (RFC 1071) of `n` bytes; an odd last byte is padded
// with a zero byte. The result is stored low byte first, as the words are
// summed (byte 0 is the low byte of the first word).
uint16_t InternetChecksum(const uint8_t* data, std::size_t n);

// One echo request: type 8, code 0, checksum, identifier and sequence
// number (low byte first), a zero byte, the send tick (low byte first) and
// the 32 bytes 0x20 .. 0x3F.
std::array<uint8_t, kEchoRequestSize> BuildEchoRequest(uint16_t Identifier, uint16_t Sequence, uint32_t Tick);

class TPinger : public TCustomWSockets {
public:
    explicit TPinger(QObject* Owner = nullptr);
    ~TPinger() override;

    // Published.
    std::string Host;
    int NPings = 4;
    int Timeout = 3000; // ms
    TNotifyEvent OnReply;

    // Average round-trip time of the last measurement, or 9999.
    int ReplyTime = 9999;

    // With false the raw ICMP socket is not tried; the measurement goes
    // straight to the unprivileged ICMP datagram socket.
    bool UseRawSocket = true;

    // Starts a measurement and returns at once; OnReply fires at its end.
    // While it runs the state is ssOpening, afterwards ssClosed. A Ping
    // while one runs abandons the first.
    void Ping();

    // The process-wide counters the next request will carry.
    static uint16_t NextIdentifier();
    static uint16_t NextSequence();

protected:
    void SocketEvent(TSocket Socket, int Event, int Error) override;

private:
    QTimer* FLimit;
    int FReplyCount = 0;
    int FTimeSum = 0;
    uint16_t FFirstSequence = 0;
    bool FDatagram = false; // the socket is an ICMP datagram socket

    int OpenSocket();
    void ReceiveReply();
    void Finish();
};
