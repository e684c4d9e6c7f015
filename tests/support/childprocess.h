// A program a test (or benchmark) starts and owns: parlevod, the client, a
// lobby driver, or a third-party server such as nginx or an FTP server.
//
// It runs with the arguments, environment and folder given, in a process
// group of its own, and dies with the test if the test dies. Its standard
// output and standard error each go to a file, so a chatty program never
// blocks on a pipe nobody reads; the test waits on them line by line, always
// with a bound. Standard input is a pipe when asked for, /dev/null otherwise.
// When the object goes, the program (its whole group) is stopped and reaped.
//
// Set QP_KEEP_CHILD_OUTPUT to keep the output files; their folder is printed.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TChildProcess {
public:
    enum class TStream { Out, Err };

    struct TOptions {
        // args[0] is the program, looked up on PATH when it holds no "/".
        std::vector<std::string> args = {};
        // Set on top of this process's environment.
        std::vector<std::pair<std::string, std::string>> env = {};
        // The folder it starts in; empty: this process's.
        std::string cwd = {};
        bool pipeStdin = false;
    };

    explicit TChildProcess(TOptions options);
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // False when the program could not be started; Error() says why.
    bool Started() const { return pid_ > 0; }
    // Its process identifier (kept after it has ended).
    const std::string& Error() const { return error_; }
    pid_t Pid() const { return pid_; }

    // The first line of `stream`, from its beginning, that `match` accepts
    // (or that contains `text`); nothing when none has come within
    // `timeoutMs` or the program ended without writing one.
    std::optional<std::string> WaitForLine(TStream stream, const std::function<bool(const std::string&)>& match,
                                           int timeoutMs);
    std::optional<std::string> WaitForLine(TStream stream, std::string_view text, int timeoutMs);
    // The next line of `stream` that ReadLine has not yet returned, for
    // talking with a program line by line.
    std::optional<std::string> ReadLine(TStream stream, int timeoutMs);
    // All the program wrote to `stream` so far.
    std::string Output(TStream stream);

    // To its standard input (when piped). False when it is gone.
    bool Write(std::string_view text);
    void CloseStdin();

    // Whether it still runs (an ended program is reaped here).
    bool Running();
    // True when it has ended within `timeoutMs`.
    bool WaitExit(int timeoutMs);
    // The status as waitpid gives it once it has ended; -1 before.
    int ExitStatus() const { return status_; }
    // Waits up to `timeoutMs` for the program to end: its exit code, or -1
    // when it was killed by a signal or had not ended (it is then stopped).
    int Finish(int timeoutMs);
    // User and system time it used, once it has ended and been reaped.
    double CpuSeconds() const { return cpuSeconds_; }

    // Closes standard input and, when that was a pipe, gives the program
    // `graceMs` to end by itself; then SIGTERM to its group and `graceMs`
    // more; then SIGKILL. It is always reaped.
    void Stop(int graceMs = 2000);

private:
    struct TCapture {
        std::string path;
        int fd = -1;          // read end of the file
        std::string text;     // read so far
        std::size_t next = 0; // where ReadLine goes on
    };

    TCapture& Capture(TStream stream) { return stream == TStream::Out ? out_ : err_; }
    void Refresh(TCapture& capture);
    // Waits until a captured file changes, the time is up or (for a short
    // while at most) nothing happens, so that an ended program is seen.
    void WaitForActivity(int timeoutMs);
    // A whole line of `capture` starting at `pos`: the line, and `pos` past it.
    bool TakeLine(TCapture& capture, std::size_t& pos, std::string& line);
    void Reaped(int status, const struct rusage& usage);

    pid_t pid_ = -1;
    bool running_ = false;
    int status_ = -1;
    int stdin_ = -1;
    bool pipedStdin_ = false;
    int inotify_ = -1;
    int pidfd_ = -1;
    double cpuSeconds_ = 0;
    std::string dir_;
    std::string error_;
    TCapture out_;
    TCapture err_;
};
