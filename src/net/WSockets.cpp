#include "WSockets.h"

#include "text/textfuncs.h"
#include "winsockcodes.h"
#include "platform/fireevent.h"

#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

int Fd(TSocket s) { return static_cast<int>(s); }

} // namespace

// --- TCustomWSockets --------------------------------------------------------

TCustomWSockets::TCustomWSockets(QObject* Owner) : QObject(Owner)
{
    // BSD sockets need no start-up; the socket layer is ready at once.
    FState = ssClosed;
}

TCustomWSockets::~TCustomWSockets()
{
    // No handler is called on a component that is going away: a failure of
    // this last close is only stored.
    OnError = nullptr;
    if (FSocket != InvalidSocket)
        Close();
    ReleaseNotifiers();
}

std::string TCustomWSockets::ErrorText(int Error) { return wsock::ErrorText(Error); }

std::string TCustomWSockets::SocketErrorText(int Error) const { return wsock::ErrorText(Error); }

bool TCustomWSockets::ReportSocketError(int Error)
{
    FLastError = Error;
    if (!OnError)
        return true;
    return platform::FireEvent(this, OnError, this, Error, SocketErrorText(Error));
}

int TCustomWSockets::ReportErrno()
{
    int code = wsock::FromErrno(errno);
    ReportSocketError(code);
    return code;
}

bool TCustomWSockets::ResolvePort(const std::string& Port, sockaddr_in& Addr)
{
    std::memset(&Addr, 0, sizeof Addr);
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = INADDR_ANY;
    // Service names begin with a letter, so a text of digits is a port
    // number as it stands. It is not looked up: each look-up reads the
    // protocols and services files, which a run of hundreds of queries feels.
    if (!Port.empty() && Port.find_first_not_of("0123456789") == std::string::npos) {
        Addr.sin_port = htons(static_cast<uint16_t>(StrToInt(Port)));
        return true;
    }
    protoent pe{};
    protoent* found = nullptr;
    char pbuf[1024];
    if (getprotobynumber_r(FProtocol, &pe, pbuf, sizeof pbuf, &found) != 0 || !found)
        return false;
    servent se{};
    servent* service = nullptr;
    char sbuf[1024];
    if (getservbyname_r(Port.c_str(), found->p_name, &se, sbuf, sizeof sbuf, &service) == 0 && service)
        Addr.sin_port = static_cast<in_port_t>(service->s_port); // already in network order
    else
        Addr.sin_port = htons(static_cast<uint16_t>(StrToInt(Port)));
    return true;
}

bool TCustomWSockets::ResolveAddress(const std::string& Host, const std::string& Port, sockaddr_in& Addr)
{
    if (!ResolvePort(Port, Addr)) {
        // No entry for the component's protocol in the protocols database.
        ReportSocketError(wsock::WSANO_DATA);
        return false;
    }
    in_addr_t address = inet_addr(Host.c_str());
    if (address != INADDR_NONE) {
        Addr.sin_addr.s_addr = address;
        return true;
    }
    if (Host == "255.255.255.255") {
        Addr.sin_addr.s_addr = INADDR_BROADCAST;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(Host.c_str(), nullptr, &hints, &result);
    if (rc != 0 || !result) {
        int code = wsock::FromResolver(rc ? rc : EAI_NONAME, errno);
        if (result)
            freeaddrinfo(result);
        ReportSocketError(code);
        return false;
    }
    Addr.sin_addr = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return true;
}

int TCustomWSockets::BytesAvailable(TSocket Socket)
{
    int n = 0;
    if (ioctl(Fd(Socket), FIONREAD, &n) != 0) {
        ReportErrno();
        return 0;
    }
    return n;
}

void TCustomWSockets::SendText(TSocket Socket, const std::string& Text)
{
    std::size_t sent = 0;
    while (sent < Text.size()) {
        ssize_t n = ::send(Fd(Socket), Text.data() + sent, Text.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            ReportErrno();
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string TCustomWSockets::ReadText(TSocket Socket) { return ReadText(Socket, 0); }

std::string TCustomWSockets::ReadText(TSocket Socket, int Limit)
{
    int size = BytesAvailable(Socket);
    if (size <= 0)
        size = 300;
    if (Limit > 0 && size > Limit)
        size = Limit;
    std::string text(static_cast<std::size_t>(size), '\0');
    ssize_t n = ::recv(Fd(Socket), text.data(), text.size(), 0);
    RearmRead(Socket);
    if (n < 0) {
        ReportErrno();
        return {};
    }
    text.resize(static_cast<std::size_t>(n));
    return text;
}

int TCustomWSockets::SendBuffer(TSocket Socket, const void* Buf, int Len)
{
    ssize_t n = ::send(Fd(Socket), Buf, Len > 0 ? static_cast<std::size_t>(Len) : 0, MSG_NOSIGNAL);
    if (n < 0) {
        ReportErrno();
        return -1;
    }
    return static_cast<int>(n);
}

void TCustomWSockets::SendTextTo(TSocket Socket, const std::string& Text, const sockaddr_in& Addr)
{
    std::size_t sent = 0;
    while (sent < Text.size()) {
        ssize_t n = ::sendto(Fd(Socket), Text.data() + sent, Text.size() - sent, MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr);
        if (n < 0) {
            ReportErrno();
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string TCustomWSockets::ReadTextFrom(TSocket Socket, sockaddr_in& Addr)
{
    int size = BytesAvailable(Socket);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    socklen_t len = sizeof Addr;
    std::memset(&Addr, 0, sizeof Addr);
    ssize_t n = ::recvfrom(Fd(Socket), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&Addr), &len);
    RearmRead(Socket);
    if (n < 0) {
        ReportErrno();
        return {};
    }
    text.resize(static_cast<std::size_t>(n));
    return text;
}

int TCustomWSockets::SendBufferTo(TSocket Socket, const void* Buf, const sockaddr_in& Addr, int Len)
{
    ssize_t n = ::sendto(Fd(Socket), Buf, Len > 0 ? static_cast<std::size_t>(Len) : 0, MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&Addr), sizeof Addr);
    if (n < 0) {
        ReportErrno();
        return -1;
    }
    return static_cast<int>(n);
}

int TCustomWSockets::ReadBufferFrom(TSocket Socket, void* Buf, sockaddr_in& Addr, int Size)
{
    socklen_t len = sizeof Addr;
    std::memset(&Addr, 0, sizeof Addr);
    ssize_t n = ::recvfrom(Fd(Socket), Buf, Size > 0 ? static_cast<std::size_t>(Size) : 0, 0,
                           reinterpret_cast<sockaddr*>(&Addr), &len);
    RearmRead(Socket);
    if (n < 0) {
        ReportErrno();
        return -1;
    }
    return static_cast<int>(n);
}

void TCustomWSockets::Close()
{
    if (FSocket == InvalidSocket)
        return;
    int fd = Fd(FSocket);
    if (::shutdown(fd, SHUT_RDWR) != 0) {
        int code = wsock::FromErrno(errno);
        if (code != wsock::WSAENOTCONN) {
            ReportSocketError(code);
            return;
        }
    }
    // Linger on with time 0: the close is abortive and unsent data dropped.
    linger lg{1, 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) {
        int code = wsock::FromErrno(errno);
        if (code != wsock::WSAENOPROTOOPT) {
            ReportSocketError(code);
            return;
        }
    }
    ReleaseNotifiers();
    // The descriptor is gone whatever close() answers, so the handle is
    // dropped even on failure: keeping it would close a reused descriptor.
    int rc = ::close(fd);
    int err = errno;
    FSocket = InvalidSocket;
    FState = ssClosed;
    SocketReleased();
    if (rc != 0)
        ReportSocketError(wsock::FromErrno(err));
}

bool TCustomWSockets::ClosePrevious()
{
    if (FSocket == InvalidSocket)
        return true;
    QPointer<TCustomWSockets> alive(this);
    Close();
    return alive && FSocket == InvalidSocket;
}

int TCustomWSockets::NewSocket(int type)
{
    if (!ClosePrevious())
        return -1;
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ReportErrno();
        return -1;
    }
    AttachSocket(fd);
    return fd;
}

void TCustomWSockets::AbandonOpen()
{
    const int code = wsock::FromErrno(errno);
    DiscardSocket();
    ReportSocketError(code);
}

void TCustomWSockets::AttachSocket(int fd)
{
    ReleaseNotifiers();
    FSocket = static_cast<TSocket>(fd);
}

void TCustomWSockets::DiscardSocket()
{
    if (FSocket == InvalidSocket)
        return;
    ReleaseNotifiers();
    ::close(Fd(FSocket));
    FSocket = InvalidSocket;
    SocketReleased();
}

bool TCustomWSockets::AsyncSelect(int Events)
{
    if (FSocket == InvalidSocket) {
        ReportSocketError(10038);
        return false;
    }
    FEvents = Events;
    bool wantRead = Events & (FD_READ | FD_CLOSE);
    bool wantWrite = Events & (FD_CONNECT | FD_WRITE);
    if (wantRead && !FReadNotifier) {
        FReadNotifier = new QSocketNotifier(Fd(FSocket), QSocketNotifier::Read, this);
        connect(FReadNotifier, &QSocketNotifier::activated, this, [this] { ReadReady(); });
    }
    if (wantWrite && !FWriteNotifier) {
        FWriteNotifier = new QSocketNotifier(Fd(FSocket), QSocketNotifier::Write, this);
        connect(FWriteNotifier, &QSocketNotifier::activated, this, [this] { WriteReady(); });
    }
    if (FReadNotifier)
        FReadNotifier->setEnabled(wantRead);
    if (FWriteNotifier)
        FWriteNotifier->setEnabled(wantWrite);
    return true;
}

void TCustomWSockets::SelectWrite(bool On)
{
    if (FSocket == InvalidSocket)
        return;
    FEvents = On ? FEvents | FD_WRITE : FEvents & ~FD_WRITE;
    if (On && !FWriteNotifier) {
        FWriteNotifier = new QSocketNotifier(Fd(FSocket), QSocketNotifier::Write, this);
        connect(FWriteNotifier, &QSocketNotifier::activated, this, [this] { WriteReady(); });
    }
    if (FWriteNotifier)
        FWriteNotifier->setEnabled(FEvents & (FD_CONNECT | FD_WRITE));
}

void TCustomWSockets::ReleaseNotifiers()
{
    // A notifier may be the one whose signal is being delivered right now
    // (Close from inside OnData): it is switched off, detached and deleted
    // once control is back in the event loop.
    for (QSocketNotifier** n : {&FReadNotifier, &FWriteNotifier}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->disconnect(this);
            (*n)->setParent(nullptr);
            (*n)->deleteLater();
            *n = nullptr;
        }
    }
    FEvents = 0;
}

void TCustomWSockets::RearmRead(TSocket Socket)
{
    // As with Winsock, a read notification is posted again only after the
    // socket has been read from; a handler that leaves the data where it is
    // does not spin the loop.
    if (Socket == FSocket && FReadNotifier && (FEvents & (FD_READ | FD_CLOSE)))
        FReadNotifier->setEnabled(true);
}

void TCustomWSockets::ReadReady()
{
    TSocket s = FSocket;
    if (s == InvalidSocket)
        return;
    if (FSockType == SOCK_STREAM && (FEvents & FD_CLOSE)) {
        // Readable with nothing to read means the peer has closed (0) or the
        // connection broke (an error); data still waiting comes first.
        char c;
        ssize_t n = ::recv(Fd(s), &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0) {
            SocketEvent(s, FD_CLOSE, 0);
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            SocketEvent(s, FD_CLOSE, wsock::FromErrno(errno));
            return;
        }
    }
    if (!(FEvents & FD_READ))
        return;
    FReadNotifier->setEnabled(false);
    SocketEvent(s, FD_READ, 0);
}

void TCustomWSockets::WriteReady()
{
    TSocket s = FSocket;
    if (s == InvalidSocket)
        return;
    if (!(FEvents & FD_CONNECT)) {
        if (FEvents & FD_WRITE)
            SocketEvent(s, FD_WRITE, 0);
        else
            FWriteNotifier->setEnabled(false);
        return;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    FWriteNotifier->setEnabled(false);
    FEvents &= ~FD_CONNECT;
    SocketEvent(s, FD_CONNECT, err ? wsock::FromErrno(err) : 0);
}

void TCustomWSockets::SocketEvent(TSocket Socket, int Event, int Error)
{
    if (Error)
        ReportSocketError(Error);
}

// --- TTCPClient -------------------------------------------------------------

TTCPClient::TTCPClient(QObject* Owner) : TCustomWSockets(Owner)
{
    FProtocol = IPPROTO_TCP;
    FSockType = SOCK_STREAM;
}

void TTCPClient::Open()
{
    sockaddr_in addr;
    if (!ResolveAddress(Host, Port, addr))
        return;
    int fd = NewSocket(SOCK_STREAM);
    if (fd < 0)
        return;
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) != 0) {
        AbandonOpen();
        return;
    }
    if (!AsyncSelect(FD_CONNECT)) {
        DiscardSocket();
        return;
    }
    if (Authorized) {
        // The first free port counting down from 1024 to 513; when all are
        // taken the connection goes out unbound.
        for (int port = 1024; port >= 513; --port) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(static_cast<uint16_t>(port));
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
                break;
            int code = wsock::FromErrno(errno);
            if (code != wsock::WSAEADDRINUSE) {
                DiscardSocket();
                ReportSocketError(code);
                return;
            }
        }
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int code = wsock::FromErrno(errno);
        if (code != wsock::WSAEWOULDBLOCK) {
            DiscardSocket();
            ReportSocketError(code);
            return;
        }
    }
    FState = ssOpening;
}

void TTCPClient::SendText(TSocket Socket, const std::string& Text)
{
    std::size_t done = 0;
    while (done < Text.size()) {
        // SendBuffer takes an int; a text beyond 2 GiB goes in pieces.
        const int piece = static_cast<int>(std::min<std::size_t>(Text.size() - done, 1u << 30));
        if (SendBuffer(Socket, Text.data() + done, piece) < 0)
            return;
        done += static_cast<std::size_t>(piece);
    }
}

int TTCPClient::SendBuffer(TSocket Socket, const void* Buf, int Len)
{
    if (Socket != FSocket || FSocket == InvalidSocket || FState != ssConnected)
        return TCustomWSockets::SendBuffer(Socket, Buf, Len);   // the socket layer says what is wrong
    if (Len <= 0)
        return 0;
    if (Queued() > MaxQueued) {
        ReportSocketError(wsock::WSAENOBUFS);
        return -1;
    }
    const char* bytes = static_cast<const char*>(Buf);
    std::size_t sent = 0;
    if (Queued() == 0) {
        ssize_t n = ::send(Fd(Socket), bytes, static_cast<std::size_t>(Len), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ReportErrno();
            return -1;
        }
        sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (sent < static_cast<std::size_t>(Len)) {
        FQueue.append(bytes + sent, static_cast<std::size_t>(Len) - sent);
        SelectWrite(true);
    }
    return Len;
}

int TTCPClient::DrainQueue()
{
    while (Queued() > 0) {
        ssize_t n = ::send(Fd(FSocket), FQueue.data() + FQueueHead, Queued(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return errno;
        }
        FQueueHead += static_cast<std::size_t>(n);
    }
    if (Queued() == 0) {
        DropQueue();
    } else if (FQueueHead > (1u << 16) && FQueueHead > FQueue.size() / 2) {
        FQueue.erase(0, FQueueHead);
        FQueueHead = 0;
    }
    return 0;
}

void TTCPClient::DropQueue()
{
    FQueue.clear();
    FQueue.shrink_to_fit();
    FQueueHead = 0;
    SelectWrite(false);
}

void TTCPClient::SocketEvent(TSocket Socket, int Event, int Error)
{
    switch (Event) {
    case FD_WRITE:
        if (int err = DrainQueue()) {
            // The connection broke under the queue: what waits can never go.
            DropQueue();
            SocketEvent(Socket, FD_CLOSE, wsock::FromErrno(err));
        }
        return;
    case FD_READ:
        if (Error)
            ReportSocketError(Error);
        else
            platform::FireEvent(this, OnData, this, Socket);
        return;
    case FD_CONNECT:
        if (Error) {
            ReportSocketError(Error);
            return;
        }
        if (!AsyncSelect(FD_READ | FD_CLOSE))
            return;
        FState = ssConnected;
        platform::FireEvent(this, OnConnect, this, Socket);
        return;
    case FD_CLOSE:
        if (Error == wsock::WSAENETDOWN) {
            ReportSocketError(Error);
            return;
        }
        {
            QPointer<TCustomWSockets> alive(this);
            Close(); // may report, and an OnError handler may free us
            if (alive)
                platform::FireEvent(this, OnClose, this, Socket);
        }
        return;
    default:
        if (Error)
            ReportSocketError(Error);
    }
}

// --- TUDPClient -------------------------------------------------------------

TUDPClient::TUDPClient(QObject* Owner) : TCustomWSockets(Owner)
{
    FProtocol = IPPROTO_UDP;
    FSockType = SOCK_DGRAM;
}

void TUDPClient::Open()
{
    sockaddr_in addr;
    if (!ResolveAddress(Host, Port, addr))
        return;
    int fd = NewSocket(SOCK_DGRAM);
    if (fd < 0)
        return;
    if (!AsyncSelect(FD_READ)) {
        DiscardSocket();
        return;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int code = wsock::FromErrno(errno);
        if (code != wsock::WSAEWOULDBLOCK) {
            DiscardSocket();
            ReportSocketError(code);
            return;
        }
    }
    FState = ssOpening;
}

void TUDPClient::SocketEvent(TSocket Socket, int Event, int Error)
{
    if (Error)
        ReportSocketError(Error);
    else if (Event == FD_READ)
        platform::FireEvent(this, OnData, this, Socket);
}

// --- TUDPServer -------------------------------------------------------------

TUDPServer::TUDPServer(QObject* Owner) : TCustomWSockets(Owner)
{
    FProtocol = IPPROTO_UDP;
    FSockType = SOCK_DGRAM;
}

void TUDPServer::Open()
{
    sockaddr_in addr;
    if (!LocalIP.empty()) {
        if (!ResolveAddress(LocalIP, Port, addr))
            return;
    } else if (!ResolvePort(Port, addr)) {
        ReportSocketError(wsock::WSANO_DATA);
        return;
    }
    int fd = NewSocket(SOCK_DGRAM);
    if (fd < 0)
        return;
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        AbandonOpen();
        return;
    }
    if (!AsyncSelect(FD_READ)) {
        DiscardSocket();
        return;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        AbandonOpen();
        return;
    }
    FState = ssListening;
}

void TUDPServer::SocketEvent(TSocket Socket, int Event, int Error)
{
    if (Error)
        ReportSocketError(Error);
    else if (Event == FD_READ)
        platform::FireEvent(this, OnData, this, Socket);
}
