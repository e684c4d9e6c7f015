// THttpCli: the asynchronous HTTP/1.0 client with which the News window and
// the updater fetch one document by GET. It runs on the event loop: StartGet
// returns at once and everything after arrives as events. It connects
// directly, through an HTTP proxy (Proxy, ProxyPort, Basic credentials), or
// through the SOCKS proxy set on its socket (CtrlSocket()).
//
// Events of one GET, in order:
//   OnStateChange      on every change of HttpState: not connected, name
//                      look-up, look-up done, connected, waiting for header
//   OnHeaderData       once per header line (status line included), the line
//                      in HeaderLine() and appended to ReplyHeader()
//   OnHeaderEnd        after the empty line that ends the header
//   OnLocationChange   when the header held "Location": no document events
//                      for that reply; URL becomes the new location and the
//                      client starts over with a GET there (at most
//                      kMaxRelocations times)
//   OnDocBegin         at the first body piece (never for an empty body)
//   OnDocData          for each piece, after BodyCount has grown; the piece
//                      then goes to BodyStream when one is set
//   OnDocEnd           at the end of the body, only if OnDocBegin fired
//   OnRequestDone      after HttpState has returned to ready
// Failures of the client's own end the request with Status 404 and a Reason
// (see HttpProt.cpp); nothing is thrown for network failures.
#pragma once

#include "WSocket.h"
#include "httpparse.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QIODevice;

enum THttpState {
    httpReady,
    httpNotConnected,
    httpConnected,
    httpDnsLookup,
    httpDnsLookupDone,
    httpWaitingHeader,
    httpWaitingBody,
    httpAborting,
};

class THttpCli;

using THttpEvent = std::function<void(THttpCli* Sender)>;
using THttpDataEvent = std::function<void(THttpCli* Sender, const char* Buffer, int Len)>;

class THttpCli : public QObject {
public:
    // Relocations followed for one StartGet; one more ends the request.
    static constexpr int kMaxRelocations = 10;

    explicit THttpCli(QObject* Owner = nullptr);
    ~THttpCli() override;

    THttpCli(const THttpCli&) = delete;
    THttpCli& operator=(const THttpCli&) = delete;

    // Published.
    std::string URL;
    std::string Proxy;               // empty: direct connection
    std::string ProxyPort = "80";
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool NoCache = false;            // send "Pragma: no-cache"
    bool MultiThreaded = false;      // always false: everything runs on the event loop
    THttpEvent OnStateChange;
    THttpEvent OnHeaderData;
    THttpEvent OnHeaderEnd;
    THttpEvent OnDocBegin;
    THttpDataEvent OnDocData;
    THttpEvent OnDocEnd;
    THttpEvent OnLocationChange;
    THttpEvent OnRequestDone;

    // Where document bytes are written; set by the user, may be none.
    QIODevice* BodyStream = nullptr;

    // Starts a GET of URL and returns at once; raises "HTTP component is
    // busy" unless HttpState is ready.
    void StartGet();
    // Ends the request under way with Status 404 "Connection aborted on
    // request" (OnDocEnd still fires once the document has begun); when
    // ready, only closes a connection left open.
    void AbortRequest();

    // Run-time values.
    THttpState HttpState() const { return FState; }
    int Status() const { return FStatus; }
    const std::string& Reason() const { return FReason; }
    int64_t BodyCount() const { return FBodyCount; }
    const std::vector<std::string>& ReplyHeader() const { return FReplyHeader; }
    const std::string& HeaderLine() const { return FHeaderLine; }
    const std::string& Location() const { return FLocation; }   // of the last reply
    int64_t ContentLength() const { return FContentLength; }    // -1 when not given
    const std::string& ContentType() const { return FContentType; }
    const std::string& AuthenticateHeader() const { return FAuthenticate; }   // "WWW-Authenticate"
    int Relocations() const { return FRelocations; }

    // The socket underneath: its SOCKS settings, OnError and LastError.
    TWSocket& CtrlSocket() { return *FSocket; }

    // The event type with which "HTTP line too long" is raised to the
    // application (handled by THttpCli::event, which throws it).
    static int RaiseEventType();

protected:
    bool event(QEvent* e) override;

private:
    TWSocket* FSocket;
    THttpState FState = httpReady;
    uint32_t FSerial = 0;            // bumped when a request starts or ends
    int FStatus = 0;
    std::string FReason;
    int64_t FBodyCount = 0;
    std::vector<std::string> FReplyHeader;
    std::string FHeaderLine;
    std::string FLocation;
    int64_t FContentLength = -1;
    std::string FContentType;
    std::string FAuthenticate;
    int FRelocations = 0;
    bool FDocBegun = false;

    // The target of the request under way.
    std::string FProto;
    std::string FHost;
    std::string FPort;               // as the URL gives it; empty for the default
    std::string FPath;

    http::ReplyCursor FCursor;
    std::string FHeaderInput;        // header bytes not yet taken
    std::vector<char> FReceiveBuffer;

    void BeginRequest();
    std::string Origin() const;      // scheme, host and port of the current URL
    std::string RequestText() const;
    std::string ResolveLocation(const std::string& location) const;

    void SocketLookupDone(int error);
    void SocketConnected(int error);
    void SocketData();
    void SocketClosed(int error);

    bool Feed(const char* data, std::size_t len);
    bool TakeHeaderLine(std::string_view line, bool status);
    bool HeaderDone();
    bool TakeBody(const char* data, std::size_t len);

    // Ends the request: closes, OnDocEnd when a document had begun, ready,
    // OnRequestDone.
    void Finish();
    void Fail(const std::string& reason);
    bool SetState(THttpState state);
    // Fires through a copy; false when the handler destroyed the component or
    // ended (or restarted) the request.
    bool Notify(const THttpEvent& event);
};
