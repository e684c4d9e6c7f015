#include "WSocket.h"

#include "socksproto.h"
#include "winsockcodes.h"
#include "transfererrors.h"
#include "platform/fireevent.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The address of a dotted IPv4 text, which needs no look-up.
bool DottedAddress(const std::string& host, uint32_t& address)
{
    in_addr_t a = inet_addr(host.c_str());
    if (a == INADDR_NONE && host != "255.255.255.255")
        return false;
    address = a;
    return true;
}

// The Winsock code for a finished look-up that gave no IPv4 address.
int LookupError(const QHostInfo& info)
{
    switch (info.error()) {
    case QHostInfo::NoError: return wsock::WSANO_DATA;   // the name exists, but has no IPv4 address
    case QHostInfo::HostNotFound: return wsock::WSAHOST_NOT_FOUND;
    default: return wsock::WSATRY_AGAIN;   // mostly a name service that did not answer
    }
}

} // namespace

TWSocket::TWSocket(QObject* Owner) : TCustomWSockets(Owner)
{
    FProtocol = IPPROTO_TCP;
    FSockType = SOCK_STREAM;
}

// A name look-up still running is left to finish: its answer goes to a
// socket that is gone (Qt drops it with its context) or to a later
// generation, which ignores it. Aborting it would lose the answer's
// handler inside Qt, a leak for every look-up cut short.
TWSocket::~TWSocket()
{
    ++FGeneration;
}

std::string TWSocket::ErrorText(int Error) { return transfersocket::ErrorText(Error); }

std::string TWSocket::SocketErrorText(int Error) const { return transfersocket::ErrorText(Error); }

template <typename F>
void TWSocket::Later(F step)
{
    const uint32_t generation = FGeneration;
    QMetaObject::invokeMethod(
        this,
        [this, generation, step]() mutable {
            if (generation == FGeneration)
                step();
        },
        Qt::QueuedConnection);
}

bool TWSocket::Fire(const TWSocketEvent& event, int error)
{
    const uint32_t generation = FGeneration;
    return platform::FireEvent(this, event, this, error) && generation == FGeneration;
}

void TWSocket::Connect()
{
    QPointer<TWSocket> alive(this);
    Close();
    if (!alive)
        return;
    FFailedStep = TConnectStep::None;
    FDnsResult.clear();
    FViaSocks = !SocksServer.empty();

    // Port numbers first, so that a bad one is raised before anything starts.
    sockaddr_in a;
    const bool known = ResolvePort(Port, a);
    FTargetPort = ntohs(a.sin_port);
    if (known && FViaSocks) {
        ResolvePort(SocksPort, a);
        FHopPort = ntohs(a.sin_port);
    } else {
        FHopPort = FTargetPort;
    }

    FState = ssOpening;
    FPhase = TWSocket::Phase::Lookup;
    if (!known) {   // no "tcp" in the protocols database
        Later([this] { Failed(TConnectStep::ConnectCall, wsock::WSANO_DATA); });
        return;
    }
    uint32_t address = 0;
    if (FViaSocks) {
        FSocks5 = SocksLevel != "4" && SocksLevel != "4A" && SocksLevel != "4a";
        FOfferPassword = FSocks5 && SocksAuthentication;
        // What SOCKS 5 cannot carry is refused here, before anything is sent.
        if (FSocks5 && !DottedAddress(Host, address) && Host.size() > socks::kMaxField) {
            Later([this] { Failed(TConnectStep::ConnectCall, 10063); });   // name too long
            return;
        }
        if (FOfferPassword && (SocksUsercode.size() > socks::kMaxField || SocksPassword.size() > socks::kMaxField)) {
            Later([this] { Failed(TConnectStep::ConnectCall, wsock::WSAEINVAL); });
            return;
        }
    }

    const std::string& hop = FViaSocks ? SocksServer : Host;
    if (DottedAddress(hop, address)) {
        Later([this, address] { LookupDone(address, 0); });
        return;
    }
    const uint32_t generation = FGeneration;
    QHostInfo::lookupHost(QString::fromStdString(hop), this, [this, generation](const QHostInfo& info) {
        if (generation != FGeneration)
            return;
        for (const QHostAddress& found : info.addresses()) {
            if (found.protocol() == QAbstractSocket::IPv4Protocol) {
                LookupDone(htonl(found.toIPv4Address()), 0);
                return;
            }
        }
        LookupDone(0, LookupError(info));
    });
}

void TWSocket::LookupDone(uint32_t address, int error)
{
    if (error) {
        FFailedStep = TConnectStep::Lookup;
        const uint32_t generation = FGeneration;
        if (!ReportSocketError(error) || generation != FGeneration || !Fire(OnDnsLookupDone, error))
            return;
        FPhase = TWSocket::Phase::Idle;
        FState = ssClosed;
        Fire(OnSessionConnected, error);
        return;
    }
    in_addr a{};
    a.s_addr = address;
    FDnsResult = inet_ntoa(a);
    if (!Fire(OnDnsLookupDone, 0))
        return;
    StartConnect(address);
}

void TWSocket::StartConnect(uint32_t address)
{
    FPhase = TWSocket::Phase::Connecting;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Failed(TConnectStep::ConnectCall, wsock::FromErrno(errno));
        return;
    }
    AttachSocket(fd);
    AsyncSelect(FD_CONNECT);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(FHopPort);
    peer.sin_addr.s_addr = address;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        const int code = wsock::FromErrno(errno);
        if (code != wsock::WSAEWOULDBLOCK) {
            Failed(TConnectStep::ConnectCall, code);
            return;
        }
    }
    FState = ssOpening;
}

void TWSocket::Failed(TConnectStep step, int error)
{
    FFailedStep = step;
    const uint32_t generation = FGeneration;
    if (!ReportSocketError(error) || generation != FGeneration)
        return;
    DiscardSocket();
    FSocksInput.clear();
    FPending.clear();
    FPhase = TWSocket::Phase::Idle;
    FState = ssClosed;
    Fire(OnSessionConnected, error);
}

void TWSocket::SessionOpen()
{
    FPhase = TWSocket::Phase::Open;
    FState = ssConnected;
    if (!Fire(OnSessionConnected, 0))
        return;
    // Bytes that came in with the proxy's reply raise no notification of
    // their own.
    if (!FPending.empty())
        Later([this] {
            if (FPhase == TWSocket::Phase::Open && !FPending.empty())
                Fire(OnDataAvailable, 0);
        });
}

void TWSocket::SocketEvent(TSocket Socket, int Event, int Error)
{
    switch (Event) {
    case FD_CONNECT:
        if (Error) {
            Failed(TConnectStep::Connecting, Error);
            return;
        }
        AsyncSelect(FD_READ | FD_CLOSE);
        if (!FViaSocks) {
            SessionOpen();
            return;
        }
        FPhase = TWSocket::Phase::Socks;
        FSocksInput.clear();
        if (FSocks5) {
            FSocksStep = SocksStep::Method;
            SocksSend(socks::Socks5Greeting(FOfferPassword));
        } else {
            uint32_t address = 0;
            const bool dotted = DottedAddress(Host, address);
            FSocksStep = SocksStep::Socks4Reply;
            SocksSend(socks::Socks4Connect(address, FTargetPort, SocksUsercode, dotted ? std::string() : Host));
        }
        return;
    case FD_READ:
        if (Error)
            ReportSocketError(Error);
        else if (FPhase == TWSocket::Phase::Socks)
            SocksData();
        else
            Fire(OnDataAvailable, 0);
        return;
    case FD_CLOSE:
        if (FPhase == TWSocket::Phase::Socks) {
            // The proxy hung up before it had connected us.
            Failed(TConnectStep::Socks, Error ? Error : 10053);
            return;
        }
        {
            const uint32_t generation = FGeneration;
            if (Error && !ReportSocketError(Error))
                return;
            if (generation != FGeneration)
                return;
            if (!FPending.empty() && !Fire(OnDataAvailable, 0))
                return;
            FPending.clear();
            FPhase = TWSocket::Phase::Idle;
            QPointer<TWSocket> alive(this);
            TCustomWSockets::Close();   // may report, and an OnError handler may free us
            if (alive)
                Fire(OnSessionClosed, Error);
        }
        return;
    default:
        if (Error)
            ReportSocketError(Error);
    }
}

void TWSocket::SocksData()
{
    char buf[512];
    const int n = ReadRaw(buf, sizeof buf);
    if (n < 0) {
        Failed(TConnectStep::Socks, -n);
        return;
    }
    FSocksInput.append(buf, std::size_t(n));
    for (;;) {
        socks::Reply r;
        switch (FSocksStep) {
        case SocksStep::Method: r = socks::ReadSocks5Method(FSocksInput, FOfferPassword); break;
        case SocksStep::Login: r = socks::ReadSocks5Login(FSocksInput); break;
        case SocksStep::Socks5Reply: r = socks::ReadSocks5Connect(FSocksInput); break;
        case SocksStep::Socks4Reply: r = socks::ReadSocks4Connect(FSocksInput); break;
        }
        if (r.status == socks::ReplyStatus::Incomplete)
            return;
        if (r.status != socks::ReplyStatus::Granted) {
            Failed(TConnectStep::Socks, r.error);
            return;
        }
        FSocksInput.erase(0, r.used);
        if (FSocksStep == SocksStep::Socks5Reply || FSocksStep == SocksStep::Socks4Reply) {
            FPending = std::move(FSocksInput);
            FSocksInput.clear();
            SessionOpen();
            return;
        }
        bool sent;
        if (FSocksStep == SocksStep::Method && r.method == 2) {
            FSocksStep = SocksStep::Login;
            sent = SocksSend(socks::Socks5Login(SocksUsercode, SocksPassword));
        } else {
            FSocksStep = SocksStep::Socks5Reply;
            sent = SocksSend(socks::Socks5Connect(Host, FTargetPort));
        }
        if (!sent)
            return;
    }
}

bool TWSocket::SocksSend(const std::string& message)
{
    std::size_t done = 0;
    while (done < message.size()) {
        ssize_t n = ::send(int(FSocket), message.data() + done, message.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            Failed(TConnectStep::Socks, wsock::FromErrno(errno));
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

int TWSocket::ReadRaw(void* Buffer, int Size)
{
    if (FSocket == InvalidSocket || Size <= 0)
        return 0;
    const ssize_t n = ::recv(int(FSocket), Buffer, std::size_t(Size), 0);
    const int err = errno;
    RearmRead(FSocket);
    if (n >= 0)
        return int(n);
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
        return 0;
    return -wsock::FromErrno(err);
}

int TWSocket::Receive(void* Buffer, int Size)
{
    if (!FPending.empty() && Size > 0) {
        const std::size_t n = std::min(FPending.size(), std::size_t(Size));
        FPending.copy(static_cast<char*>(Buffer), n);
        FPending.erase(0, n);
        return int(n);
    }
    const int n = ReadRaw(Buffer, Size);
    if (n < 0) {
        ReportSocketError(-n);
        return -1;
    }
    return n;
}

bool TWSocket::SendStr(const std::string& Text)
{
    std::size_t done = 0;
    while (done < Text.size()) {
        ssize_t n = FSocket == InvalidSocket
                        ? (errno = ENOTCONN, -1)
                        : ::send(int(FSocket), Text.data() + done, Text.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            ReportSocketError(wsock::FromErrno(errno));
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

void TWSocket::AdoptConnected(int fd)
{
    Close();
    AttachSocket(fd);
    FPhase = TWSocket::Phase::Open;
    FState = ssConnected;
    AsyncSelect(FD_READ | FD_CLOSE);
}

void TWSocket::Close()
{
    ++FGeneration;   // a look-up still running is ignored when it ends
    FPhase = TWSocket::Phase::Idle;
    FSocksInput.clear();
    FPending.clear();
    if (FSocket != InvalidSocket)
        TCustomWSockets::Close();   // may report; nothing of ours is used after it
    else
        FState = ssClosed;
}
