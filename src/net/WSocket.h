// TWSocket: the TCP connection of the HTTP and FTP clients. It looks the
// peer's name up without holding up the event loop, connects, and can go
// through a SOCKS proxy (SOCKS 4, 4a for a host name, or SOCKS 5 with or
// without a user/password login) before it reports the session as open.
//
// One Connect runs through these events, in order:
//   OnDnsLookupDone(Error)     the name (of the proxy when one is set) has been
//                              looked up; at once for a dotted address
//   OnSessionConnected(Error)  exactly once: 0 when the session is open (the
//                              proxy, if any, has connected us to Host:Port),
//                              else the Winsock code of the failure; then
//                              FailedStep() tells which step failed
// and, while the session is open:
//   OnDataAvailable(Error)     bytes can be read with Receive
//   OnSessionClosed(Error)     the peer closed (0) or the connection broke; the
//                              socket is already closed when it fires
// Connect never fires an event before it returns. Failures are also reported
// through OnError with this component's message table (transfererrors.h) and
// kept in LastError().
#pragma once

#include "WSockets.h"

#include <cstdint>
#include <functional>
#include <string>

class TWSocket;

using TWSocketEvent = std::function<void(TWSocket* Sender, int Error)>;

// The step of Connect that failed.
enum class TConnectStep {
    None,
    Lookup,       // the name could not be looked up
    ConnectCall,  // the connection could not even be started (unusable address, bad request)
    Connecting,   // the connection attempt failed (refused, timed out)
    Socks,        // the proxy refused, failed or broke off the negotiation
};

class TWSocket : public TCustomWSockets {
public:
    explicit TWSocket(QObject* Owner = nullptr);
    ~TWSocket() override;

    // The peer: a dotted IPv4 address or a host name, and a port number or
    // service name.
    std::string Host;
    std::string Port;

    // SOCKS proxy; none when SocksServer is empty. SocksLevel "4" (4a is used
    // for a host name) or "5". With SocksAuthentication, SOCKS 5 offers the
    // user/password login; SOCKS 4 always sends SocksUsercode as its user id.
    std::string SocksServer;
    std::string SocksPort = "1080";
    std::string SocksUsercode;
    std::string SocksPassword;
    std::string SocksLevel = "5";
    bool SocksAuthentication = false;

    TWSocketEvent OnDnsLookupDone;
    TWSocketEvent OnSessionConnected;
    TWSocketEvent OnDataAvailable;
    TWSocketEvent OnSessionClosed;

    // Starts a connection to Host:Port, closing any earlier one. A port that
    // is neither a number nor a service name raises the conversion error.
    void Connect();
    // Closes the connection, or stops a look-up or negotiation under way;
    // nothing more is fired for it.
    void Close();
    // Takes `fd`, a descriptor already connected (a connection accepted on a
    // listening socket), as this socket's connection, closing any earlier
    // one. Nothing is fired for the connection itself; data and the peer's
    // close are reported as for a connection made by Connect.
    void AdoptConnected(int fd);

    // Up to `Size` bytes received; 0 when nothing is waiting, -1 after
    // reporting a failure.
    int Receive(void* Buffer, int Size);
    // Sends all of `Text`; false after reporting a failure.
    bool SendStr(const std::string& Text);

    TConnectStep FailedStep() const { return FFailedStep; }
    // The address the last look-up gave (dotted), for the peer or the proxy.
    const std::string& DnsResult() const { return FDnsResult; }
    bool Connected() const { return FState == ssConnected; }

    static std::string ErrorText(int Error);

protected:
    std::string SocketErrorText(int Error) const override;
    void SocketEvent(TSocket Socket, int Event, int Error) override;

private:
    enum class Phase { Idle, Lookup, Connecting, Socks, Open };
    enum class SocksStep { Socks4Reply, Method, Login, Socks5Reply };

    Phase FPhase = Phase::Idle;
    TConnectStep FFailedStep = TConnectStep::None;
    uint32_t FGeneration = 0;   // bumped by Close: late callbacks of an earlier Connect are dropped
    std::string FDnsResult;
    uint16_t FTargetPort = 0;   // Port as a number, for the proxy's request
    uint16_t FHopPort = 0;      // port of the first hop (the proxy, or the peer)
    bool FViaSocks = false;
    bool FSocks5 = true;
    bool FOfferPassword = false;
    SocksStep FSocksStep = SocksStep::Method;
    std::string FSocksInput;    // proxy reply bytes not yet used
    std::string FPending;       // bytes that came with the proxy's last reply

    // Runs `step` from the event loop unless Close or another Connect came first.
    template <typename F>
    void Later(F step);
    void LookupDone(uint32_t address, int error);
    void StartConnect(uint32_t address);
    void SessionOpen();   // the session is open: fire OnSessionConnected
    void Failed(TConnectStep step, int error);   // reports, closes, fires
    void SocksData();
    bool SocksSend(const std::string& message);
    int ReadRaw(void* Buffer, int Size);
    // Fires an event through a copy; false when the handler destroyed the
    // component or started over (Close, Connect).
    bool Fire(const TWSocketEvent& event, int error);
};
