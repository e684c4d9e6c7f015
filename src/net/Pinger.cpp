#include "Pinger.h"

#include "platform/ticks.h"
#include "winsockcodes.h"
#include "platform/fireevent.h"

#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// Shared by every pinger of the process; each request takes the next value
// of both.
uint16_t g_identifier = 1000;
uint16_t g_sequence = 1000;

// Echo replies are examined as they come from a raw socket: a 20-byte IP
// header, then the echoed message.
constexpr int kIpHeader = 20;
constexpr int kReplyBuffer = 321;
constexpr int kMinReply = 64;
constexpr uint8_t kEchoReply = 0;

} // namespace

uint16_t InternetChecksum(const uint8_t* data, std::size_t n)
{
    uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8;
    if (i < n)
        sum += data[i];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, kEchoRequestSize> BuildEchoRequest(uint16_t Identifier, uint16_t Sequence, uint32_t Tick)
{
    std::array<uint8_t, kEchoRequestSize> p{};
    p[0] = 8; // echo request
    p[1] = 0;
    p[4] = static_cast<uint8_t>(Identifier);
    p[5] = static_cast<uint8_t>(Identifier >> 8);
    p[6] = static_cast<uint8_t>(Sequence);
    p[7] = static_cast<uint8_t>(Sequence >> 8);
    p[8] = 0;
    for (int i = 0; i < 4; ++i)
        p[9 + i] = static_cast<uint8_t>(Tick >> (8 * i));
    for (int i = 0; i < 32; ++i)
        p[13 + i] = static_cast<uint8_t>(0x20 + i);
    uint16_t sum = InternetChecksum(p.data(), p.size());
    p[2] = static_cast<uint8_t>(sum);
    p[3] = static_cast<uint8_t>(sum >> 8);
    return p;
}

uint16_t TPinger::NextIdentifier() { return g_identifier; }
uint16_t TPinger::NextSequence() { return g_sequence; }

TPinger::TPinger(QObject* Owner) : TCustomWSockets(Owner), FLimit(new QTimer(this))
{
    FProtocol = IPPROTO_ICMP;
    FSockType = SOCK_RAW;
    FLimit->setSingleShot(true);
    // A coarse timer may fire up to 5% early; the limit is a promise to wait.
    FLimit->setTimerType(Qt::PreciseTimer);
    connect(FLimit, &QTimer::timeout, this, [this] { Finish(); });
}

TPinger::~TPinger() { FLimit->stop(); }

int TPinger::OpenSocket()
{
    // The raw socket needs a privilege; without it the system's ICMP
    // datagram socket does the same work where the administrator allows it
    // (net.ipv4.ping_group_range).
    if (UseRawSocket) {
        int fd = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            FDatagram = false;
            return fd;
        }
        if (errno != EPERM && errno != EACCES)
            return -1;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    FDatagram = true;
    return fd;
}

void TPinger::Ping()
{
    FLimit->stop();
    if (!ClosePrevious())
        return;
    FReplyCount = 0;
    FTimeSum = 0;
    int fd = OpenSocket();
    if (fd < 0) {
        ReportErrno();
        return;
    }
    AttachSocket(fd);
    sockaddr_in addr;
    if (!ResolveAddress(Host, "0", addr)) {
        DiscardSocket();
        return;
    }
    if (!AsyncSelect(FD_READ)) {
        DiscardSocket();
        return;
    }
    FState = ssOpening;
    FFirstSequence = g_sequence;
    for (int i = 0; i < NPings; ++i) {
        auto request = BuildEchoRequest(g_identifier++, g_sequence++, platform::GetTickCount());
        SendBufferTo(FSocket, request.data(), addr, static_cast<int>(request.size()));
    }
    FLimit->start(Timeout);
}

void TPinger::SocketEvent(TSocket Socket, int Event, int Error)
{
    if (Error) {
        ReportSocketError(Error);
        return;
    }
    if (Event == FD_READ)
        ReceiveReply();
}

void TPinger::ReceiveReply()
{
    uint8_t buf[kReplyBuffer];
    sockaddr_in from;
    int n;
    if (FDatagram) {
        // A datagram ICMP socket hands over the ICMP message without the IP
        // header (and with the identifier the system chose); an empty header
        // in front gives the reply the layout of a raw socket's.
        std::memset(buf, 0, kIpHeader);
        buf[0] = 0x45;
        buf[9] = IPPROTO_ICMP;
        n = ReadBufferFrom(FSocket, buf + kIpHeader, from, kReplyBuffer - kIpHeader);
        if (n >= 0)
            n += kIpHeader;
    } else {
        n = ReadBufferFrom(FSocket, buf, from, kReplyBuffer);
    }
    if (n < kMinReply)
        return;
    // A raw socket also sees echo requests, among them this pinger's own on
    // the loopback interface; only replies count.
    if (buf[kIpHeader] != kEchoReply)
        return;
    uint16_t sequence = static_cast<uint16_t>(buf[26] | buf[27] << 8);
    if (static_cast<uint16_t>(sequence - FFirstSequence) >= static_cast<uint32_t>(NPings > 0 ? NPings : 0))
        return; // belongs to another burst
    uint32_t sent = static_cast<uint32_t>(buf[29]) | static_cast<uint32_t>(buf[30]) << 8 |
                    static_cast<uint32_t>(buf[31]) << 16 | static_cast<uint32_t>(buf[32]) << 24;
    ++FReplyCount;
    FTimeSum += static_cast<int>(platform::TicksSince(sent, platform::GetTickCount()));
    if (FReplyCount >= NPings)
        Finish();
}

void TPinger::Finish()
{
    FLimit->stop();
    ReplyTime = FReplyCount > 0 ? FTimeSum / FReplyCount : 9999;
    QPointer<TPinger> alive(this);
    Close(); // may report, and an OnError handler may free us
    if (alive)
        platform::FireEvent(this, OnReply, this);
}
