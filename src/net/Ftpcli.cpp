#include "Ftpcli.h"

#include "text/errors.h"
#include "ftpparse.h"
#include "platform/ticks.h"
#include "platform/fireevent.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace {

// Bytes read for one readiness notification before the loop gets its turn
// again, and the size of each read.
constexpr std::size_t kReadBudget = 4 << 20;
constexpr std::size_t kReadSize = 256 << 10;

std::string WithCode(int error) { return TWSocket::ErrorText(error) + " (Error #" + std::to_string(error) + ")"; }

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Dotted(uint32_t hostOrder)
{
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    return inet_ntoa(a);
}

// The size of an existing local file; 0 when there is none.
int64_t LocalFileSize(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return int64_t(st.st_size);
}

} // namespace

TFtpClient::TFtpClient(QObject* Owner)
    : QObject(Owner), FControl(new TWSocket(this)), FData(new TWSocket(this)), FTimer(new QTimer(this))
{
    FTimer->setSingleShot(true);
    FTimer->setTimerType(Qt::PreciseTimer);   // a coarse timer may fire up to 5% early
    connect(FTimer, &QTimer::timeout, this, [this] {
        if (FState == ftpReady)
            return;
        Display("! Timeout");
        FControl->Close();
        Done(kTimeoutError, "426 Timeout");
    });
    FControl->OnDnsLookupDone = [this](TWSocket*, int error) { ControlLookupDone(error); };
    FControl->OnSessionConnected = [this](TWSocket*, int error) { ControlConnected(error); };
    FControl->OnDataAvailable = [this](TWSocket*, int) { ControlData(); };
    FControl->OnSessionClosed = [this](TWSocket*, int error) { ControlClosed(error); };
    FData->OnSessionConnected = [this](TWSocket*, int error) { DataConnected(error); };
    FData->OnDataAvailable = [this](TWSocket*, int) { DataAvailable(); };
    FData->OnSessionClosed = [this](TWSocket*, int error) { DataClosed(error); };
}

TFtpClient::~TFtpClient()
{
    ++FSerial;
    if (FWaitLoop)
        FWaitLoop->quit();
    for (TWSocket* s : {FControl, FData}) {
        s->OnDnsLookupDone = nullptr;
        s->OnSessionConnected = nullptr;
        s->OnDataAvailable = nullptr;
        s->OnSessionClosed = nullptr;
        s->OnError = nullptr;
    }
    CloseTransfer();
    delete FControl;
    delete FData;
}

TWSocket* TFtpClient::DataSocket() const { return FData; }

// --- common steps ------------------------------------------------------------

bool TFtpClient::Display(const std::string& text)
{
    return platform::FireEvent(this, OnDisplay, this, text);
}

bool TFtpClient::CanStart()
{
    if (FState == ftpReady)
        return true;
    FErrorMessage = "FTP component not ready";
    return false;
}

bool TFtpClient::Refuse(const std::string& message)
{
    FError = kNotReadyError;
    FErrorMessage = message;
    return false;
}

void TFtpClient::Begin(TFtpRequest request)
{
    ++FSerial;
    FRequest = request;
    FError = 0;
    FErrorMessage.clear();
    FStep = Step::None;
}

bool TFtpClient::Wait()
{
    QPointer<TFtpClient> alive(this);
    if (FState != ftpReady)   // a step that failed at once leaves no timer behind
        FTimer->start(std::max(Timeout, 1) * 1000);
    while (alive && FState != ftpReady) {
        QEventLoop loop;
        FWaitLoop = &loop;
        loop.exec();
        if (!alive)
            return false;
        FWaitLoop = nullptr;
        if (FState != ftpReady) {
            // The loop was told to end from outside: the application is
            // terminating, and nothing more will come.
            FControl->Close();
            Done(kAbortError, "426 Application terminating");
        }
    }
    return alive && FError == 0;
}

void TFtpClient::SendCommand(Step step, const std::string& command)
{
    FStep = step;
    if (FState != ftpTransfer)
        FState = ftpWaitingResponse;
    const uint32_t serial = FSerial;
    if (!Display("> " + command) || serial != FSerial)
        return;
    QPointer<TFtpClient> alive(this);
    if (!FControl->SendStr(command + "\r\n") && alive && serial == FSerial) {
        const int error = FControl->LastError();
        FControl->Close();
        Done(error, WithCode(error));
    }
}

void TFtpClient::Done(int error, const std::string& message)
{
    if (FState == ftpReady && FRequest == ftpNone)
        return;
    ++FSerial;
    FTimer->stop();
    CloseTransfer();
    FError = error;
    if (error)
        FErrorMessage = message;
    FStep = Step::None;
    const TFtpRequest request = FRequest;
    FRequest = ftpNone;
    FState = ftpReady;
    if (FWaitLoop)
        FWaitLoop->quit();
    platform::FireEvent(this, OnRequestDone, this, request, error);
}

void TFtpClient::CloseTransfer()
{
    delete FListenNotifier;
    FListenNotifier = nullptr;
    if (FListener >= 0)
        ::close(FListener);
    FListener = -1;
    if (FData->Socket() != InvalidSocket || FData->State() != ssClosed)
        FData->Close();
    if (FFile >= 0)
        ::close(FFile);   // closing also lets go of the share lock
    FFile = -1;
}

void TFtpClient::AbortTransfer()
{
    if (FState == ftpReady) {
        CloseTransfer();
        FControl->Close();
        return;
    }
    QPointer<TFtpClient> alive(this);
    FControl->Close();
    if (alive)
        Done(kAbortError, "426 Operation aborted.");
}

void TFtpClient::RestartTimer()
{
    if (!FWaitLoop)
        FTimer->start(std::max(Timeout, 1) * 1000);
}

// --- waiting steps -------------------------------------------------------------

bool TFtpClient::Login()
{
    if (!CanStart())
        return Refuse(FErrorMessage);
    if (IsConnected())
        return Refuse("FTP component already connected");
    if (UserName.empty())
        return Refuse("UserName emtpy");
    if (PassWord.empty())
        return Refuse("Password emtpy");
    Begin(ftpOpenAsync);
    FReplyInput.clear();
    FState = ftpDnsLookup;
    FStep = Step::Greeting;
    FControl->Host = HostName;
    FControl->Port = Port;
    try {
        FControl->Connect();
    } catch (const EError& e) {
        Done(kNotReadyError, e.what());
    }
    return Wait();
}

bool TFtpClient::ChangeDir()
{
    if (!CanStart())
        return Refuse(FErrorMessage);
    if (HostDirName.empty())
        return Refuse("HostDirName emtpy");
    if (!IsConnected())
        return Refuse("FTP component not connected");
    Begin(ftpCwdAsync);
    SendCommand(Step::Cwd, "CWD " + HostDirName);
    return Wait();
}

bool TFtpClient::SetTransferType()
{
    if (!CanStart())
        return Refuse(FErrorMessage);
    if (!IsConnected())
        return Refuse("FTP component not connected");
    Begin(ftpTypeSetAsync);
    SendCommand(Step::Type, std::string("TYPE ") + (Binary ? "I" : "A"));
    return Wait();
}

bool TFtpClient::QuerySize()
{
    if (!CanStart())
        return Refuse(FErrorMessage);
    if (HostFileName.empty())
        return Refuse("HostFileName emtpy");
    if (!IsConnected())
        return Refuse("FTP component not connected");
    Begin(ftpSizeAsync);
    SendCommand(Step::Size, "SIZE " + HostFileName);
    return Wait();
}

// --- control connection --------------------------------------------------------

void TFtpClient::ControlLookupDone(int error)
{
    if (!error && FState == ftpDnsLookup)
        FState = ftpConnecting;
}

void TFtpClient::ControlConnected(int error)
{
    if (FStep != Step::Greeting)
        return;
    if (error) {
        Done(error, "Unable to connect to " + HostName + ": " + WithCode(error));
        return;
    }
    FState = ftpWaitingResponse;
}

void TFtpClient::ControlData()
{
    char buffer[4096];
    QPointer<TFtpClient> alive(this);
    for (;;) {
        const int n = FControl->Receive(buffer, int(sizeof buffer));
        if (!alive || n <= 0)
            return;   // a broken connection comes as a close
        FReplyInput.append(buffer, std::size_t(n));
        for (;;) {
            const ftp::Reply r = ftp::NextReply(FReplyInput);
            if (r.status == ftp::ReplyStatus::Incomplete)
                break;
            if (r.status == ftp::ReplyStatus::TooLong) {
                FReplyInput.clear();
                Display("! Reply too long");
                FControl->Close();
                if (alive)
                    Done(500, "500 Reply too long");
                return;
            }
            std::vector<std::string> lines(r.lines.begin(), r.lines.end());
            FReplyInput.erase(0, r.used);
            for (const std::string& line : lines) {
                Display(line);
                if (!alive)
                    return;
            }
            HandleReply(r.code, lines);
            if (!alive || !FControl->Connected())
                return;
        }
    }
}

void TFtpClient::ControlClosed(int error)
{
    FReplyInput.clear();
    if (FState == ftpReady)
        return;
    Display("! Control connection closed");
    if (error)
        Done(error, WithCode(error));
    else
        Done(kNotReadyError, FStatusCode == 421 ? FLastResponse : "421 Connection closed by the server");
}

bool TFtpClient::Accepts(int code, std::initializer_list<int> accepted)
{
    for (int a : accepted)
        if (a == code)
            return true;
    Done(code ? code : 500, FLastResponse);
    return false;
}

void TFtpClient::HandleReply(int code, const std::vector<std::string>& lines)
{
    FStatusCode = code;
    FLastResponse = lines.empty() ? std::string() : lines.back();
    if (FState == ftpReady)
        return;   // nothing was asked: a note of the server's, already logged
    RestartTimer();
    switch (FStep) {
    case Step::None:
        return;
    case Step::Greeting:
        if (code == 120)
            return;   // ready in a moment: the greeting proper follows
        if (code < 200 || code > 299) {
            Done(code ? code : 500, FLastResponse);
            return;
        }
        FRequest = ftpUserAsync;
        SendCommand(Step::User, "USER " + UserName);
        return;
    case Step::User:
        if (code == 230) {
            Done(0);
            return;
        }
        if (Accepts(code, {331}))
            SendCommand(Step::Pass, "PASS " + PassWord);
        return;
    case Step::Pass:
        if (Accepts(code, {230}))
            Done(0);
        return;
    case Step::Cwd:
        if (Accepts(code, {200, 250, 257}))
            Done(0);
        return;
    case Step::Type:
        if (Accepts(code, {200}))
            Done(0);
        return;
    case Step::Size:
        if (!Accepts(code, {213}))
            return;
        if (auto size = ftp::ParseSizeReply(FLastResponse)) {
            FRemoteSize = *size;
            Done(0);
        } else {
            Done(500, FLastResponse);
        }
        return;
    case Step::Pasv: {
        if (!Accepts(code, {227}))
            return;
        auto named = ftp::ParsePassiveReply(FLastResponse);
        if (!named) {
            Done(500, FLastResponse);
            return;
        }
        // The data connection goes to the server we are talking to, whatever
        // address the reply names: a server must not be able to aim us at
        // another host. When the control connection went through SOCKS only
        // the proxy knows the server's address: the data goes to its name.
        std::string host;
        if (!FControl->SocksServer.empty()) {
            host = HostName;
        } else {
            host = FControl->DnsResult();
            if (Dotted(named->host) != host)
                Display("! Passive address " + Dotted(named->host) + " ignored; data connection to " + host);
        }
        FData->Host = host;
        FData->Port = std::to_string(named->port);
        FData->Connect();
        return;
    }
    case Step::PortCmd:
        if (Accepts(code, {200}))
            SendTransferCommands();
        return;
    case Step::Rest:
        if (code == 350) {
            if (OpenLocalFile(true))
                SendCommand(Step::Retr, "RETR " + HostFileName);
            return;
        }
        // The server cannot continue the file: fetch the whole file anew.
        FRequest = ftpRestartGetAsync;
        FOffset = 0;
        if (OpenLocalFile(false))
            SendCommand(Step::Retr, "RETR " + HostFileName);
        return;
    case Step::Retr:
        if (code >= 100 && code <= 199)
            return;   // the transfer begins; its end comes as another reply
        if (!Accepts(code, {226, 250}))
            return;
        FReplyDone = true;
        FinishTransferIfDone();
        return;
    }
}

// --- transfer ------------------------------------------------------------------

void TFtpClient::StartDownload() { StartGet(false); }

void TFtpClient::StartResume() { StartGet(true); }

void TFtpClient::StartGet(bool resume)
{
    const TFtpRequest kind = resume ? ftpResumeGetAsync : ftpGetAsync;
    std::string refusal;
    if (FState != ftpReady)
        refusal = "FTP component not ready";
    else if (!IsConnected())
        refusal = "FTP component not connected";
    else if (HostFileName.empty())
        refusal = "HostFileName emtpy";
    else if (LocalFileName.empty())
        refusal = "LocalFileName emtpy";
    if (!refusal.empty()) {
        // A background request ends from the event loop, never inside the call
        // (and not at all once the client is gone).
        QMetaObject::invokeMethod(
            this,
            [this, kind, refusal] {
                FErrorMessage = refusal;
                platform::FireEvent(this, OnRequestDone, this, kind, kNotReadyError);
            },
            Qt::QueuedConnection);
        return;
    }
    Begin(kind);
    FState = ftpTransfer;
    FReceived = 0;
    FOffset = 0;
    FResumeSize = resume ? LocalFileSize(LocalFileName) : 0;
    FDataDone = false;
    FReplyDone = false;
    FStartMs = NowMs();
    if (FResumeSize == 0) {
        if (resume)
            FRequest = ftpRestartGetAsync;   // nothing to continue: the whole file comes
        // A file that cannot be written fails before anything is asked of the server.
        if (!OpenLocalFile(false))
            return;
    }
    RestartTimer();
    OpenDataConnection();
}

void TFtpClient::OpenDataConnection()
{
    if (FBuffer.empty())
        FBuffer.resize(kReadSize);
    // Through SOCKS only an outward data connection can be made.
    if (PassiveMode || !FData->SocksServer.empty())
        SendCommand(Step::Pasv, "PASV");
    else
        ListenForData();
}

void TFtpClient::SendTransferCommands()
{
    if (FResumeSize > 0) {
        FOffset = FResumeSize;
        SendCommand(Step::Rest, "REST " + std::to_string(FResumeSize));
    } else {
        SendCommand(Step::Retr, "RETR " + HostFileName);
    }
}

bool TFtpClient::OpenLocalFile(bool append)
{
    if (FFile >= 0)
        ::close(FFile);
    FFile = ::open(LocalFileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    bool ok = FFile >= 0;
    // Share modes as advisory locks: exclusive and deny-read keep every other
    // locker out, deny-write keeps out writers that lock.
    if (ok && ShareMode != ftpShareCompat && ShareMode != ftpShareDenyNone)
        ok = ::flock(FFile, (ShareMode == ftpShareDenyWrite ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0;
    // The lock is taken before anything is cut off the file.
    if (ok)
        ok = append ? ::lseek(FFile, FOffset, SEEK_SET) == FOffset : ::ftruncate(FFile, 0) == 0;
    if (!ok) {
        if (FFile >= 0)
            ::close(FFile);
        FFile = -1;
        Done(kLocalFileError, "Unable to open local file " + LocalFileName);
    }
    return ok;
}

void TFtpClient::ListenForData()
{
    // The server connects to the address our control connection comes from.
    sockaddr_in local{};
    socklen_t len = sizeof local;
    const int control = FControl->Socket() == InvalidSocket ? -1 : int(FControl->Socket());
    int fd = -1;
    bool ok = control >= 0 && ::getsockname(control, reinterpret_cast<sockaddr*>(&local), &len) == 0;
    if (ok) {
        local.sin_port = 0;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        len = sizeof local;
        ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && ::listen(fd, 1) == 0 &&
             ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
    }
    if (!ok) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        Done(10049, "Unable to open a data port: " + std::string(std::strerror(error)));
        return;
    }
    FListener = fd;
    FListenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(FListenNotifier, &QSocketNotifier::activated, this, [this] { AcceptData(); });
    SendCommand(Step::PortCmd, "PORT " + ftp::PortArgument(ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)));
}

void TFtpClient::AcceptData()
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(FListener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    // Only the server we are talking to may bring us the file.
    sockaddr_in server{};
    socklen_t serverLen = sizeof server;
    const int control = FControl->Socket() == InvalidSocket ? -1 : int(FControl->Socket());
    if (control < 0 || ::getpeername(control, reinterpret_cast<sockaddr*>(&server), &serverLen) != 0 ||
        server.sin_addr.s_addr != peer.sin_addr.s_addr) {
        Display("! Data connection from " + std::string(inet_ntoa(peer.sin_addr)) + " refused");
        ::close(fd);
        return;
    }
    delete FListenNotifier;
    FListenNotifier = nullptr;
    ::close(FListener);
    FListener = -1;
    FData->AdoptConnected(fd);
}

void TFtpClient::DataConnected(int error)
{
    if (FState != ftpTransfer || FStep != Step::Pasv)
        return;
    if (error) {
        Done(error, "Data connection failed: " + WithCode(error));
        return;
    }
    SendTransferCommands();
}

void TFtpClient::DataAvailable()
{
    if (FState != ftpTransfer)
        return;
    QPointer<TFtpClient> alive(this);
    const uint32_t serial = FSerial;
    std::size_t budget = kReadBudget;
    int64_t got = 0;
    while (budget > 0) {
        const int n = FData->Receive(FBuffer.data(), int(FBuffer.size()));
        if (!alive || serial != FSerial)
            return;
        if (n <= 0)
            break;
        if (FFile < 0) {
            // Data before the file is open (RETR not yet sent): the server
            // does not keep to the order of the exchange.
            Done(500, "Data came before it was asked for");
            return;
        }
        std::size_t done = 0;
        while (done < std::size_t(n)) {
            const ssize_t w = ::write(FFile, FBuffer.data() + done, std::size_t(n) - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                Done(kLocalFileError, "Unable to write local file " + LocalFileName + ": " + std::strerror(errno));
                return;
            }
            done += std::size_t(w);
        }
        FReceived += n;
        got += n;
        budget -= std::min(budget, std::size_t(n));
    }
    if (got == 0)
        return;
    RestartTimer();
    if (OnProgress) {
        bool abort = false;
        if (!platform::FireEvent(this, OnProgress, this, FOffset + FReceived, abort) || serial != FSerial)
            return;
        if (abort) {
            Display("! Abort requested");
            if (!alive || serial != FSerial)
                return;
            AbortTransfer();
        }
    }
}

void TFtpClient::DataClosed(int error)
{
    if (FState != ftpTransfer)
        return;
    if (error) {
        Done(error, "Data connection broken: " + WithCode(error));
        return;
    }
    FDataDone = true;
    const double seconds = double(NowMs() - FStartMs) / 1000.0;
    char note[160];
    std::snprintf(note, sizeof note, "! %lld bytes received in %.3f seconds", static_cast<long long>(FReceived),
                  seconds);
    std::string text = note;
    if (seconds > 0) {
        std::snprintf(note, sizeof note, " (%lld Bytes/sec)", static_cast<long long>(double(FReceived) / seconds));
        text += note;
    }
    const uint32_t serial = FSerial;
    if (Display(text) && serial == FSerial)
        FinishTransferIfDone();
}

void TFtpClient::FinishTransferIfDone()
{
    if (!FDataDone || !FReplyDone)
        return;
    if (FFile >= 0 && ::close(FFile) != 0) {
        FFile = -1;
        Done(kLocalFileError, "Unable to write local file " + LocalFileName);
        return;
    }
    FFile = -1;
    Done(0);
}
