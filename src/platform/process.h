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

// Starts the program. `application`, when not empty, names the file to run;
// otherwise the first argument of the command line does. A `waitable`
// process must be waited for with WaitForProcess; any other is detached at
// once and never becomes a zombie.
LaunchResult LaunchProcess(const std::string& application, const std::string& commandLine, bool waitable);

// Waits without a time limit. False when the wait failed.
bool WaitForProcess(ProcessHandle& handle, uint32_t& exitCode);
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
