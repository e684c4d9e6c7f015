// TFtpClient: the FTP client with which the updater fetches one file. It
// runs on the event loop over two TWSocket components, the control and the
// data connection, each of which can go through a SOCKS proxy.
//
// Waiting steps (Login, ChangeDir, SetTransferType, QuerySize) start their
// command and then run the event loop until the reply has come, so the
// window stays responsive; they return true on success and false on a
// failure, an unexpected reply, or after Timeout seconds ("426 Timeout").
// Background requests (StartDownload, StartResume) return at once; the data
// arrives with OnProgress and the end with OnRequestDone.
//
// OnDisplay carries the log: "> " + each command sent, each reply line, and
// the client's own notes beginning with "! ".
#pragma once

#include "WSocket.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

class QEventLoop;
class QSocketNotifier;
class QTimer;

enum TFtpState {
    ftpReady,
    ftpDnsLookup,          // looking up the server's name (or the proxy's)
    ftpConnecting,         // the control connection is being opened
    ftpWaitingResponse,    // a command is out, its reply has not come
    ftpTransfer,           // the data connection is open or being opened
    ftpAbort,              // ending the request under way
};

// The request kinds OnRequestDone reports.
enum TFtpRequest {
    ftpNone,
    ftpOpenAsync,          // connect and read the greeting
    ftpUserAsync,          // USER (and PASS)
    ftpCwdAsync,
    ftpTypeSetAsync,
    ftpSizeAsync,
    ftpGetAsync,           // StartDownload
    ftpResumeGetAsync,     // StartResume that continued the local file
    ftpRestartGetAsync,    // StartResume that had to fetch the whole file anew
};

enum TFtpShareMode {
    ftpShareCompat,
    ftpShareExclusive,
    ftpShareDenyWrite,
    ftpShareDenyRead,
    ftpShareDenyNone,
};

class TFtpClient;

using TFtpDisplay = std::function<void(TFtpClient* Sender, const std::string& Msg)>;
using TFtpProgress = std::function<void(TFtpClient* Sender, int64_t Count, bool& Abort)>;
using TFtpRequestDone = std::function<void(TFtpClient* Sender, TFtpRequest RqType, int Error)>;

class TFtpClient : public QObject {
public:
    explicit TFtpClient(QObject* Owner = nullptr);
    ~TFtpClient() override;

    TFtpClient(const TFtpClient&) = delete;
    TFtpClient& operator=(const TFtpClient&) = delete;

    // Published.
    std::string HostName;
    std::string Port = "ftp";
    std::string UserName;
    std::string PassWord;
    std::string HostDirName;
    std::string HostFileName;
    std::string LocalFileName;
    bool Binary = true;               // "TYPE I"; false sends "TYPE A"
    int Timeout = 15;                 // seconds, for each waiting step
    bool MultiThreaded = false;       // always false: everything runs on the event loop
    bool DisplayFileFlag = false;
    TFtpShareMode ShareMode = ftpShareExclusive;
    bool PassiveMode = false;         // PASV instead of PORT
    TFtpDisplay OnDisplay;
    TFtpProgress OnProgress;
    TFtpRequestDone OnRequestDone;

    // Run-time values.
    TFtpState FtpState() const { return FState; }
    const std::string& ErrorMessage() const { return FErrorMessage; }
    int64_t RemoteSize() const { return FRemoteSize; }
    // The last reply's code and lines.
    int StatusCode() const { return FStatusCode; }
    const std::string& LastResponse() const { return FLastResponse; }
    bool IsConnected() const { return FControl->Connected(); }

    TWSocket* ControlSocket() const { return FControl; }
    TWSocket* DataSocket() const;

    // Waiting steps.
    bool Login();
    bool ChangeDir();
    bool SetTransferType();
    bool QuerySize();

    // Background requests.
    void StartDownload();
    void StartResume();

    // Stops whatever runs at once: closes both connections and the local
    // file. A request under way ends with "426 Operation aborted.".
    void AbortTransfer();

    // Error codes of the client's own (the others are reply codes or socket
    // error codes).
    static constexpr int kTimeoutError = 426;
    static constexpr int kAbortError = 426;
    static constexpr int kNotReadyError = 421;
    static constexpr int kLocalFileError = 550;

private:
    enum class Step {
        None,
        Greeting, User, Pass,
        Cwd, Type, Size,
        Rest, Pasv, PortCmd, Retr,
    };

    TWSocket* FControl;
    // The data connection: connects out (passive mode, or through SOCKS), or
    // takes over the connection the server opened to us (PORT).
    TWSocket* FData;
    TFtpState FState = ftpReady;
    TFtpRequest FRequest = ftpNone;
    Step FStep = Step::None;
    uint32_t FSerial = 0;             // bumped when a request ends: late callbacks are dropped
    std::string FErrorMessage;
    int FError = 0;                   // of the request that ended last
    int FStatusCode = 0;
    std::string FLastResponse;
    int64_t FRemoteSize = 0;
    std::string FReplyInput;          // control bytes not yet read as a reply
    QTimer* FTimer;                   // time limit of a waiting step; idle limit of a transfer
    QEventLoop* FWaitLoop = nullptr;  // the loop of the waiting step under way

    // The transfer under way.
    int FFile = -1;
    int64_t FResumeSize = 0;          // size of the local file to continue; 0: fetch it whole
    int64_t FOffset = 0;              // bytes of the local file before this transfer
    int64_t FReceived = 0;            // bytes received by this transfer
    int64_t FStartMs = 0;
    bool FDataDone = false;           // the data connection has closed after the data
    bool FReplyDone = false;          // the transfer's final reply has come
    int FListener = -1;               // PORT: the socket the server connects to
    QSocketNotifier* FListenNotifier = nullptr;
    std::vector<char> FBuffer;

    // Common request steps.
    bool CanStart();                          // sets the "not ready" text when busy
    bool Refuse(const std::string& message);  // a step that cannot start: false
    void Begin(TFtpRequest request);
    bool Wait();
    void SendCommand(Step step, const std::string& command);
    // False when the handler freed the client.
    bool Display(const std::string& text);
    // Ends the request: 0 for success, else the error code with ErrorMessage.
    void Done(int error, const std::string& message = {});
    void CloseTransfer();
    void RestartTimer();

    // Control connection.
    void ControlLookupDone(int error);
    void ControlConnected(int error);
    void ControlData();
    void ControlClosed(int error);
    void HandleReply(int code, const std::vector<std::string>& lines);
    // True when `code` is one of `accepted`; otherwise ends the request with
    // the reply as its error.
    bool Accepts(int code, std::initializer_list<int> accepted);

    // Transfer.
    void StartGet(bool resume);
    void OpenDataConnection();
    void SendTransferCommands();   // REST when continuing, then RETR
    bool OpenLocalFile(bool append);
    void ListenForData();
    void AcceptData();
    void DataConnected(int error);
    void DataAvailable();
    void DataClosed(int error);
    void FinishTransferIfDone();
};
