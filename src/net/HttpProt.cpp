#include "HttpProt.h"

#include "text/errors.h"
#include "text/textfuncs.h"
#include "platform/fireevent.h"

#include <QCoreApplication>
#include <QEvent>
#include <QIODevice>
#include <QPointer>

#include <algorithm>

namespace {

// Bytes read for one readiness notification before the loop gets its turn
// again, and the size of each read.
constexpr std::size_t kReadBudget = 4 << 20;
constexpr std::size_t kReadSize = 256 << 10;

// A failure raised to the application's error handler from the event loop,
// once the request has already ended.
class THttpRaiseEvent : public QEvent {
public:
    explicit THttpRaiseEvent(std::string text)
        : QEvent(static_cast<QEvent::Type>(THttpCli::RaiseEventType())), Text(std::move(text))
    {
    }
    std::string Text;
};

// Base64 as Basic credentials need it, with the "=" padding.
std::string BasicCredentials(const std::string& text)
{
    std::string b = EncodeBase64(text);
    if (text.size() % 3 == 1)
        b.replace(b.size() - 2, 2, "==");
    else if (text.size() % 3 == 2)
        b.back() = '=';
    return b;
}

// Control bytes and blanks cannot stand in a request line: they are sent
// %-escaped ("my file.exe" is asked for as "my%20file.exe").
std::string RequestTarget(const std::string& target)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(target.size());
    for (unsigned char c : target) {
        if (c <= 0x20 || c == 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

std::string WithCode(int error) { return TWSocket::ErrorText(error) + " (Error #" + std::to_string(error) + ")"; }

} // namespace

int THttpCli::RaiseEventType()
{
    static const int type = QEvent::registerEventType();
    return type;
}

THttpCli::THttpCli(QObject* Owner) : QObject(Owner), FSocket(new TWSocket(this))
{
    FSocket->OnDnsLookupDone = [this](TWSocket*, int error) { SocketLookupDone(error); };
    FSocket->OnSessionConnected = [this](TWSocket*, int error) { SocketConnected(error); };
    FSocket->OnDataAvailable = [this](TWSocket*, int) { SocketData(); };
    FSocket->OnSessionClosed = [this](TWSocket*, int error) { SocketClosed(error); };
}

THttpCli::~THttpCli()
{
    FSocket->OnDnsLookupDone = nullptr;
    FSocket->OnSessionConnected = nullptr;
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnSessionClosed = nullptr;
    FSocket->OnError = nullptr;
    delete FSocket;
}

bool THttpCli::event(QEvent* e)
{
    if (e->type() == RaiseEventType())
        throw EError(static_cast<THttpRaiseEvent*>(e)->Text);
    return QObject::event(e);
}

// --- request ----------------------------------------------------------------

void THttpCli::StartGet()
{
    if (FState != httpReady)
        throw EError("HTTP component is busy");
    FRelocations = 0;
    BeginRequest();
}

void THttpCli::BeginRequest()
{
    ++FSerial;
    FStatus = 0;
    FReason.clear();
    FBodyCount = 0;
    FReplyHeader.clear();
    FHeaderLine.clear();
    FLocation.clear();
    FContentLength = -1;
    FContentType.clear();
    FAuthenticate.clear();
    FDocBegun = false;
    FCursor = {};
    FHeaderInput.clear();

    const TUrlParts url = SplitURL(URL);
    FProto = url.Proto.empty() ? "http" : url.Proto;
    FHost = url.Host;
    FPort = url.Port;
    FPath = url.Path.empty() ? "/" : url.Path;

    if (!SetState(httpNotConnected))
        return;
    FSocket->Host = Proxy.empty() ? FHost : Proxy;
    FSocket->Port = Proxy.empty() ? (FPort.empty() ? "80" : FPort) : ProxyPort;
    if (!SetState(httpDnsLookup))
        return;
    try {
        FSocket->Connect();
    } catch (const EError& e) {
        // A port that is not a number: the request ends like any other
        // failure, from the event loop.
        const uint32_t serial = FSerial;
        QMetaObject::invokeMethod(
            this,
            [this, serial, reason = std::string(e.what())] {
                if (serial == FSerial)
                    Fail(reason);
            },
            Qt::QueuedConnection);
    }
}

std::string THttpCli::Origin() const
{
    return FProto + "://" + FHost + (FPort.empty() ? "" : ":" + FPort);
}

std::string THttpCli::RequestText() const
{
    // Through a proxy the request names the whole URL.
    const std::string target = Proxy.empty() ? FPath : Origin() + FPath;
    std::string text = "GET " + RequestTarget(target) + " HTTP/1.0\r\n";
    text += "Host: " + FHost + "\r\n";
    if (NoCache)
        text += "Pragma: no-cache\r\n";
    if (!Proxy.empty() && !ProxyUsername.empty())
        text += "Proxy-Authorization: Basic " + BasicCredentials(ProxyUsername + ":" + ProxyPassword) + "\r\n";
    text += "\r\n";
    return text;
}

std::string THttpCli::ResolveLocation(const std::string& location) const
{
    if (location.rfind("//", 0) == 0)
        return FProto + ":" + location;
    if (location.front() == '/')
        return Origin() + location;
    const std::size_t marker = location.find("://");
    if ((marker != std::string::npos && location.find('/') > marker) || SameText(location.substr(0, 5), "http:"))
        return location;
    // A name relative to the folder of the current document.
    std::string folder = FPath.substr(0, FPath.find('?'));
    folder.erase(folder.rfind('/') + 1);
    return Origin() + folder + location;
}

// --- socket events ----------------------------------------------------------

void THttpCli::SocketLookupDone(int error)
{
    if (!error && FState == httpDnsLookup)
        SetState(httpDnsLookupDone);
}

void THttpCli::SocketConnected(int error)
{
    if (FState != httpDnsLookup && FState != httpDnsLookupDone)
        return;
    if (error) {
        switch (FSocket->FailedStep()) {
        case TConnectStep::Lookup: Fail("can't resolve hostname to IP address"); return;
        case TConnectStep::ConnectCall: Fail("can't connect: " + WithCode(error)); return;
        default: Fail(WithCode(error)); return;
        }
    }
    if (!SetState(httpConnected))
        return;
    if (!FSocket->SendStr(RequestText())) {
        Fail(WithCode(FSocket->LastError()));
        return;
    }
    SetState(httpWaitingHeader);
}

void THttpCli::SocketData()
{
    if (FReceiveBuffer.empty())
        FReceiveBuffer.resize(kReadSize);
    std::size_t budget = kReadBudget;
    while (budget > 0) {
        const int n = FSocket->Receive(FReceiveBuffer.data(), int(FReceiveBuffer.size()));
        if (n <= 0)
            return;   // nothing more now; a broken connection comes as a close
        if (!Feed(FReceiveBuffer.data(), std::size_t(n)))
            return;
        budget -= std::min(budget, std::size_t(n));
    }
}

void THttpCli::SocketClosed(int error)
{
    switch (FState) {
    case httpWaitingBody:
        if (error) {
            FStatus = 404;
            FReason = WithCode(error);
        } else if (FContentLength >= 0 && FBodyCount < FContentLength) {
            FStatus = 404;
            FReason = "Connection closed before the end of the document";
        }
        Finish();
        return;
    case httpConnected:
    case httpWaitingHeader:
        Fail(error ? WithCode(error) : "Connection closed before the end of the reply header");
        return;
    default:
        return;
    }
}

// --- reply ------------------------------------------------------------------

bool THttpCli::Feed(const char* data, std::size_t len)
{
    if (FState == httpWaitingBody)
        return TakeBody(data, len);
    if (FState != httpWaitingHeader)
        return false;
    FHeaderInput.append(data, len);
    std::size_t taken = 0;
    for (;;) {
        const http::ReplyPiece r = http::NextPiece(FCursor, std::string_view(FHeaderInput).substr(taken));
        switch (r.piece) {
        case http::Piece::Incomplete:
            FHeaderInput.erase(0, taken);
            return true;
        case http::Piece::LineTooLong:
            // Raised to the application as well; the request ends first, so
            // the component is ready again whatever the handler does.
            QCoreApplication::postEvent(this, new THttpRaiseEvent("HTTP line too long"));
            Fail("HTTP line too long");
            return false;
        case http::Piece::HeaderTooLong:
            Fail("HTTP header too long");
            return false;
        case http::Piece::StatusLine:
        case http::Piece::HeaderLine:
            FCursor = r.next;
            taken += r.used;
            if (!TakeHeaderLine(r.text, r.piece == http::Piece::StatusLine))
                return false;
            break;
        case http::Piece::Body:   // not before the header's end
            return TakeBody(r.text.data(), r.text.size());
        case http::Piece::HeaderEnd: {
            FCursor = r.next;
            taken += r.used;
            std::string rest = FHeaderInput.substr(taken);
            FHeaderInput.clear();
            if (!HeaderDone())
                return false;
            return rest.empty() || TakeBody(rest.data(), rest.size());
        }
        }
    }
}

bool THttpCli::TakeHeaderLine(std::string_view line, bool status)
{
    FHeaderLine.assign(line);
    if (status) {
        const http::StatusLine s = http::ParseStatusLine(FHeaderLine);
        if (s.valid) {
            FStatus = s.status;
            FReason = s.reason;
        }
    } else {
        std::string_view name, value;
        if (http::SplitHeader(FHeaderLine, name, value)) {
            if (SameText(name, "location") && FLocation.empty())
                FLocation = value;
            else if (SameText(name, "content-length") && FContentLength < 0)
                FContentLength = http::ParseContentLength(value);
            else if (SameText(name, "content-type"))
                FContentType = value;
            else if (SameText(name, "www-authenticate"))
                FAuthenticate = value;
        }
    }
    FReplyHeader.push_back(FHeaderLine);
    return Notify(OnHeaderData);
}

bool THttpCli::HeaderDone()
{
    if (!Notify(OnHeaderEnd))
        return false;
    if (!FLocation.empty()) {
        FSocket->Close();
        if (FRelocations >= kMaxRelocations) {
            Fail("Too many relocations");
            return false;
        }
        ++FRelocations;
        const std::string next = ResolveLocation(FLocation);
        if (!Notify(OnLocationChange))
            return false;
        URL = next;
        BeginRequest();
        return false;
    }
    if (!SetState(httpWaitingBody))
        return false;
    if (FContentLength == 0) {
        Finish();
        return false;
    }
    return true;
}

bool THttpCli::TakeBody(const char* data, std::size_t len)
{
    if (FContentLength >= 0)
        len = std::size_t(std::min<int64_t>(int64_t(len), std::max<int64_t>(FContentLength - FBodyCount, 0)));
    if (len == 0)
        return true;
    if (!FDocBegun) {
        FDocBegun = true;
        if (!Notify(OnDocBegin))
            return false;
    }
    FBodyCount += int64_t(len);
    const uint32_t serial = FSerial;
    if (!platform::FireEvent(this, OnDocData, this, data, int(len)) || serial != FSerial)
        return false;
    if (BodyStream && BodyStream->write(data, qint64(len)) != qint64(len)) {
        // A document that cannot be stored whole is not delivered as done.
        FStatus = 404;
        FReason = "Can't write the document: " + BodyStream->errorString().toStdString();
        if (SetState(httpAborting))
            Finish();
        return false;
    }
    if (FContentLength >= 0 && FBodyCount >= FContentLength) {
        Finish();
        return false;
    }
    return true;
}

// --- ending -----------------------------------------------------------------

void THttpCli::AbortRequest()
{
    if (FState == httpReady) {
        FSocket->Close();
        return;
    }
    if (FState == httpAborting)
        return;   // already ending
    FStatus = 404;
    FReason = "Connection aborted on request";
    if (!SetState(httpAborting))
        return;
    Finish();
}

void THttpCli::Fail(const std::string& reason)
{
    FStatus = 404;
    FReason = reason;
    Finish();
}

void THttpCli::Finish()
{
    ++FSerial;
    QPointer<THttpCli> alive(this);
    FSocket->Close();   // also stops a look-up under way
    if (!alive)
        return;
    FHeaderInput.clear();
    if (FDocBegun) {
        FDocBegun = false;
        if (!Notify(OnDocEnd))
            return;
    }
    if (!SetState(httpReady))
        return;
    Notify(OnRequestDone);
}

bool THttpCli::SetState(THttpState state)
{
    if (state == FState)
        return true;
    FState = state;
    return Notify(OnStateChange);
}

bool THttpCli::Notify(const THttpEvent& event)
{
    const uint32_t serial = FSerial;
    return platform::FireEvent(this, event, this) && serial == FSerial;
}
