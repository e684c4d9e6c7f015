// Starting other programs from a Windows-style command line.
//
// The command line is split into arguments by the Windows rules (blanks
// separate, double quotes group, backslashes are literal except before a
// quote). A target that is a Windows executable (its file begins with "MZ")
// is started through $WINE, or `wine`, on this system; anything else runs
// directly. Errors are reported with Windows error numbers (2 = file not found).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

std::vector<std::string> SplitCommandLine(std::string_view commandLine);
// Quotes one argument so that SplitCommandLine gives it back unchanged.
std::string QuoteArgument(std::string_view argument);

struct ProcessHandle {
    int pid = 0;
    bool waitable = false;   // the process is our own child and can be waited for
};

struct LaunchResult {
    uint32_t error = 0;      // 0 on success, else a Windows error number
    ProcessHandle handle;
    uint32_t threadId = 0;
};

// What else a start may set for the new process alone.
struct LaunchOptions {
    // The program that runs a Windows executable; empty for $WINE, else `wine`.
    std::string wine;
    // NAME=value entries added to (or replacing in) the inherited environment.
    std::vector<std::string> environment;
    // When not empty, the process's standard output and error are appended to this file.
    std::string outputFile;
    // Runs in a session of its own, so a terminal's Ctrl-C for us does not reach it.
    bool newSession = false;
};

// Starts the program. `application`, when not empty, names the file to run;
// otherwise the first argument of the command line does. A `waitable`
// process must be waited for with WaitForProcess (or TryWaitProcess); any
// other is detached at once and never becomes a zombie.
LaunchResult LaunchProcess(const std::string& application, const std::string& commandLine, bool waitable);
LaunchResult LaunchProcess(const std::string& application, const std::string& commandLine, bool waitable,
                           const LaunchOptions& options);

// Whether the file is a Windows program (it begins with "MZ").
bool IsWindowsProgram(const std::string& path);
// The Wine program to use: `wine` when given, else $WINE, else "wine".
std::string WineProgramName(const std::string& wine = {});
// The file a program name runs: a path as given, or a bare name found along
// $PATH. Empty when there is none.
std::string FindProgram(const std::string& name);

// Waits without a time limit. False when the wait failed.
bool WaitForProcess(ProcessHandle& handle, uint32_t& exitCode);
// Looks without waiting: true, with the exit code, once the process has ended.
bool TryWaitProcess(ProcessHandle& handle, uint32_t& exitCode);
// Lets go of the handle; a waitable process still running is reaped when it ends.
void CloseProcessHandle(ProcessHandle& handle);

// Watches a started process, waitable or not, for its end. Holds a process
// file descriptor where the system has them, so a number reused by a later
// process is never mistaken for the one watched.
class ProcessWatch {
public:
    ProcessWatch() = default;
    explicit ProcessWatch(int pid);
    ~ProcessWatch();
    ProcessWatch(ProcessWatch&& other) noexcept;
    ProcessWatch& operator=(ProcessWatch&& other) noexcept;
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    // False once the process has ended (or for a watch of nothing).
    bool Running() const;

private:
    int pid_ = 0;
    int fd_ = -1;
};

// The Windows number for a system error code.
uint32_t WindowsErrorFromErrno(int err);

} // namespace platform
