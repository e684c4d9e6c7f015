// Asynchronous socket components: non-blocking TCP and UDP on the BSD socket
// interface, with readiness delivered on the one GUI thread.
//
// `TCustomWSockets` owns the socket, the state and the error reporting and
// offers the send and receive primitives; `TTCPClient`, `TUDPClient` and
// `TUDPServer` add the addresses, the notifications and their events. The
// ICMP echo component `TPinger` (Pinger.h) is a fourth descendant.
//
// Notifications follow the Winsock asynchronous-select model the rest of the
// program was written against: a component registers for read (1), connect
// (16) and close (32) events; a `QSocketNotifier` watches the descriptor and
// the component turns each readiness into one of those events, which fires
// `OnData`, `OnConnect`, `OnClose` or `OnError`. Errors never throw; they are
// reported with Winsock codes and texts (wsockerrors.h).
#pragma once

#include <QObject>

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

// A socket handle: the system's descriptor, or InvalidSocket when none.
using TSocket = uint32_t;
constexpr TSocket InvalidSocket = ~0u;

enum TSocketState : int {
    ssNotReady = 0,  // the socket layer could not be started
    ssClosed = 1,
    ssConnected = 2, // TCP only
    ssListening = 3, // a bound TUDPServer
    ssOpening = 4,   // connect issued; a TUDPClient stays here while open
};

// Notification events a socket can be registered for.
constexpr int FD_READ = 1;
constexpr int FD_CONNECT = 16;
constexpr int FD_CLOSE = 32;

class TCustomWSockets;

using TOnError = std::function<void(TCustomWSockets* Sender, int Error, const std::string& Msg)>;
using TOnData = std::function<void(TCustomWSockets* Sender, TSocket Socket)>;
using TOnConnect = std::function<void(TCustomWSockets* Sender, TSocket Socket)>;
using TOnClose = std::function<void(TCustomWSockets* Sender, TSocket Socket)>;
using TNotifyEvent = std::function<void(TCustomWSockets* Sender)>;

class TCustomWSockets : public QObject {
public:
    explicit TCustomWSockets(QObject* Owner = nullptr);
    ~TCustomWSockets() override;

    TCustomWSockets(const TCustomWSockets&) = delete;
    TCustomWSockets& operator=(const TCustomWSockets&) = delete;

    // Published.
    std::string LocalIP;
    TOnError OnError;

    // Fills an IPv4 address from a host (dotted address or name; a name is
    // looked up, blocking) and a port (service name of the component's
    // protocol, or a decimal number). False after reporting a failure;
    // a port that is neither raises EConvertError.
    bool ResolveAddress(const std::string& Host, const std::string& Port, sockaddr_in& Addr);
    // The same for the port alone; the address is 0 (any).
    bool ResolvePort(const std::string& Port, sockaddr_in& Addr);

    // Bytes readable without waiting; 0 when the query fails (reported).
    int BytesAvailable(TSocket Socket);
    // Sends the whole text, stopping at the first failure (reported).
    void SendText(TSocket Socket, const std::string& Text);
    // One receive of at most BytesAvailable bytes, or 300 when that is 0.
    std::string ReadText(TSocket Socket);
    // One send; the count accepted, or negative after reporting.
    int SendBuffer(TSocket Socket, const void* Buf, int Len);
    void SendTextTo(TSocket Socket, const std::string& Text, const sockaddr_in& Addr);
    // One receive of at most BytesAvailable bytes, with the sender's address.
    std::string ReadTextFrom(TSocket Socket, sockaddr_in& Addr);
    int SendBufferTo(TSocket Socket, const void* Buf, const sockaddr_in& Addr, int Len);
    int ReadBufferFrom(TSocket Socket, void* Buf, sockaddr_in& Addr, int Size);

    // Stores the code as the last error and fires OnError when assigned.
    void ReportSocketError(int Error);
    static std::string ErrorText(int Error);

    // Abortive close of the own socket; does nothing without a socket.
    void Close();

    TSocket Socket() const { return FSocket; }
    TSocketState State() const { return FState; }
    int LastError() const { return FLastError; }

protected:
    int FProtocol = 0;     // IP protocol number: sockets and service look-ups
    int FSockType = 3;     // 1 stream, 2 datagram, 3 raw
    TSocket FSocket = InvalidSocket;
    TSocketState FState = ssNotReady;
    int FLastError = 0;

    // Reports the Winsock code of the current errno; returns it.
    int ReportErrno();
    // Closes the socket of an earlier Open, so that a second Open does not
    // leak it; false when that failed (reported) or the component is gone.
    bool ClosePrevious();
    // Closes any previous socket and makes a non-blocking one of `type`;
    // -1 after reporting a failure.
    int NewSocket(int type);
    // A step of Open failed (errno says why): release the new socket, report.
    void AbandonOpen();
    // Adopts a freshly created descriptor as the component's socket.
    void AttachSocket(int fd);
    // Releases a socket that a failing Open created, without a report.
    void DiscardSocket();
    // Registers the own socket for the given events (FD_READ | FD_CONNECT |
    // FD_CLOSE), replacing the earlier registration.
    bool AsyncSelect(int Events);

    // One notification for the own socket. The handler it fires may close
    // or destroy the component: implementations fire events last.
    virtual void SocketEvent(TSocket Socket, int Event, int Error);
    // The text OnError carries for a code; a component with a message table
    // of its own overrides it.
    virtual std::string SocketErrorText(int Error) const;
    // Asks for the next read notification once the socket has been read from.
    void RearmRead(TSocket Socket);

private:
    QSocketNotifier* FReadNotifier = nullptr;
    QSocketNotifier* FWriteNotifier = nullptr;
    int FEvents = 0;

    void ReadReady();
    void WriteReady();
    void ReleaseNotifiers();
};

// An outgoing TCP connection.
class TTCPClient : public TCustomWSockets {
public:
    explicit TTCPClient(QObject* Owner = nullptr);

    std::string Host;
    std::string Port;
    bool Authorized = false; // connect from a port in 1024 .. 513
    TOnData OnData;
    TOnConnect OnConnect;
    TOnClose OnClose;

    void Open();
    using TCustomWSockets::ReadText;
    using TCustomWSockets::SendBuffer;
    using TCustomWSockets::SendText;
    void SendText(const std::string& Text) { SendText(FSocket, Text); }
    int SendBuffer(const void* Buf, int Len) { return SendBuffer(FSocket, Buf, Len); }
    std::string ReadText() { return ReadText(FSocket); }

protected:
    void SocketEvent(TSocket Socket, int Event, int Error) override;
};

// A UDP socket with a fixed peer.
class TUDPClient : public TCustomWSockets {
public:
    explicit TUDPClient(QObject* Owner = nullptr);

    std::string Host;
    std::string Port;
    bool Authorized = false;
    TOnData OnData;

    void Open();
    using TCustomWSockets::ReadText;
    using TCustomWSockets::SendText;
    void SendText(const std::string& Text) { SendText(FSocket, Text); }
    std::string ReadText() { return ReadText(FSocket); }

protected:
    void SocketEvent(TSocket Socket, int Event, int Error) override;
};

// A UDP socket bound to a local port, talking to any peer.
class TUDPServer : public TCustomWSockets {
public:
    explicit TUDPServer(QObject* Owner = nullptr);

    std::string Port;
    TOnData OnData;

    void Open();

protected:
    void SocketEvent(TSocket Socket, int Event, int Error) override;
};
