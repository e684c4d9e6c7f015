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
// reported with Winsock codes and texts (winsockcodes.h).
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
constexpr int FD_WRITE = 2;      // the socket takes data again (TTCPClient's output queue)
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
    // The same, taking at most `Limit` bytes (at least 1), so that a reader
    // can bound what it takes in one turn of the loop.
    std::string ReadText(TSocket Socket, int Limit);
    // One send; the count accepted, or negative after reporting.
    int SendBuffer(TSocket Socket, const void* Buf, int Len);
    void SendTextTo(TSocket Socket, const std::string& Text, const sockaddr_in& Addr);
    // One receive of at most BytesAvailable bytes, with the sender's address.
    std::string ReadTextFrom(TSocket Socket, sockaddr_in& Addr);
    int SendBufferTo(TSocket Socket, const void* Buf, const sockaddr_in& Addr, int Len);
    int ReadBufferFrom(TSocket Socket, void* Buf, sockaddr_in& Addr, int Size);

    // Stores the code as the last error and fires OnError when assigned.
    // False when the handler freed the component: nothing of it may be used.
    bool ReportSocketError(int Error);
    static std::string ErrorText(int Error);

    // Abortive close of the own socket; does nothing without a socket.
    void Close();

    // Asks for the next read notification. Reading does this by itself; a
    // reader that left data waiting on purpose calls it when it wants more.
    void RearmRead(TSocket Socket);

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
    // Asks for (or stops asking for) FD_WRITE, leaving the other events as
    // they are.
    void SelectWrite(bool On);

    // One notification for the own socket. The handler it fires may close
    // or destroy the component: implementations fire events last.
    virtual void SocketEvent(TSocket Socket, int Event, int Error);
    // The text OnError carries for a code; a component with a message table
    // of its own overrides it.
    virtual std::string SocketErrorText(int Error) const;
    // The own socket is gone (closed or discarded).
    virtual void SocketReleased() {}

private:
    QSocketNotifier* FReadNotifier = nullptr;
    QSocketNotifier* FWriteNotifier = nullptr;
    int FEvents = 0;

    void ReadReady();
    void WriteReady();
    void ReleaseNotifiers();
};

// An outgoing TCP connection.
//
// While connected, what the socket does not take at once waits in an output
// queue, in order, and goes out when the socket becomes writable again
// (FD_WRITE); so SendText and SendBuffer take every byte they are given, and
// a record is never cut in half. A queue already holding more than
// `MaxQueued` bytes refuses further sends whole with 10055 "No buffer space
// available": the peer is not reading, and the caller decides what to do.
// A failure while the queue drains is a broken connection: the socket is
// closed and OnClose fires. Close drops what is still queued.
class TTCPClient : public TCustomWSockets {
public:
    explicit TTCPClient(QObject* Owner = nullptr);

    std::string Host;
    std::string Port;
    bool Authorized = false; // connect from a port in 1024 .. 513
    TOnData OnData;
    TOnConnect OnConnect;
    TOnClose OnClose;
    std::size_t MaxQueued = 1 << 20;

    void Open();
    using TCustomWSockets::ReadText;
    // All of the text, or nothing and a report.
    void SendText(TSocket Socket, const std::string& Text);
    // Len when every byte was taken (sent or queued); negative after a report.
    int SendBuffer(TSocket Socket, const void* Buf, int Len);
    void SendText(const std::string& Text) { SendText(FSocket, Text); }
    int SendBuffer(const void* Buf, int Len) { return SendBuffer(FSocket, Buf, Len); }
    std::string ReadText() { return ReadText(FSocket); }

    // Bytes taken but not yet handed to the socket.
    std::size_t Queued() const { return FQueue.size() - FQueueHead; }

protected:
    void SocketEvent(TSocket Socket, int Event, int Error) override;
    void SocketReleased() override { DropQueue(); }

private:
    std::string FQueue;
    std::size_t FQueueHead = 0;

    // Sends from the queue until it is empty or the socket is full; the
    // errno of a failure, or 0.
    int DrainQueue();
    void DropQueue();
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
