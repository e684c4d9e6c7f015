#include "childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

// How long a wait may go without looking whether the program has ended.
constexpr int kExitCheckMs = 20;

// The environment of the child: ours, with `changes` replacing or adding.
std::vector<std::string> ChildEnvironment(const std::vector<std::pair<std::string, std::string>>& changes)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        bool replaced = false;
        for (const auto& [name, value] : changes)
            if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=')
                replaced = true;
        if (!replaced)
            env.emplace_back(entry);
    }
    for (const auto& [name, value] : changes)
        env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> out;
    for (auto& t : texts)
        out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// In the child after fork: only async-signal-safe calls. Reports errno on
// `report` and ends when anything fails.
[[noreturn]] void Fail(int report)
{
    int e = errno;
    (void)!::write(report, &e, sizeof e);
    ::_exit(127);
}

} // namespace

TChildProcess::TChildProcess(TOptions options)
{
    if (options.args.empty()) {
        error_ = "no program given";
        return;
    }
    char dirTemplate[] = "/tmp/qp-child-XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        error_ = std::string("cannot make a folder for the output: ") + std::strerror(errno);
        return;
    }
    dir_ = dirTemplate;
    out_.path = dir_ + "/stdout";
    err_.path = dir_ + "/stderr";
    const int outFile = ::open(out_.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFile = ::open(err_.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    out_.fd = ::open(out_.path.c_str(), O_RDONLY | O_CLOEXEC);
    err_.fd = ::open(err_.path.c_str(), O_RDONLY | O_CLOEXEC);
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0)
        ::inotify_add_watch(inotify_, dir_.c_str(), IN_MODIFY | IN_CLOSE_WRITE);

    int input[2] = {-1, -1};
    int report[2] = {-1, -1};
    const bool ready = outFile >= 0 && errFile >= 0 && out_.fd >= 0 && err_.fd >= 0 &&
                       (!options.pipeStdin || ::pipe2(input, O_CLOEXEC) == 0) && ::pipe2(report, O_CLOEXEC) == 0;
    if (!ready) {
        error_ = std::string("cannot prepare the program's files: ") + std::strerror(errno);
    } else {
        // Everything the child needs is made before fork: after it, only
        // async-signal-safe calls.
        std::vector<std::string> args = options.args;
        std::vector<std::string> env = ChildEnvironment(options.env);
        std::vector<char*> argv = Pointers(args);
        std::vector<char*> envp = Pointers(env);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);   // the test is already gone
            const int in = options.pipeStdin ? input[0] : ::open("/dev/null", O_RDONLY);
            if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(outFile, 1) < 0 || ::dup2(errFile, 2) < 0)
                Fail(report[1]);
            if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0)
                Fail(report[1]);
            ::execvpe(argv[0], argv.data(), envp.data());
            Fail(report[1]);
        }
        if (pid_ < 0)
            error_ = std::string("fork failed: ") + std::strerror(errno);
    }
    if (outFile >= 0)
        ::close(outFile);
    if (errFile >= 0)
        ::close(errFile);
    if (input[0] >= 0)
        ::close(input[0]);
    if (report[1] >= 0)
        ::close(report[1]);
    stdin_ = input[1];
    pipedStdin_ = options.pipeStdin;
    if (pid_ > 0 && report[0] >= 0) {
        // The report pipe closes on a successful exec; an errno comes otherwise.
        int childErrno = 0;
        ssize_t n;
        while ((n = ::read(report[0], &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
        }
        if (n == ssize_t(sizeof childErrno)) {
            error_ = "cannot run " + options.args[0] + ": " + std::strerror(childErrno);
            ::waitpid(pid_, &status_, 0);
            pid_ = -1;
        } else {
            running_ = true;
            // Its end wakes the waits at once where the kernel has process
            // descriptors; otherwise they look every few milliseconds.
            pidfd_ = int(::syscall(SYS_pidfd_open, pid_, 0));
        }
    }
    if (report[0] >= 0)
        ::close(report[0]);
}

TChildProcess::~TChildProcess()
{
    Stop();
    for (int fd : {out_.fd, err_.fd, inotify_, pidfd_})
        if (fd >= 0)
            ::close(fd);
    if (dir_.empty())
        return;
    if (std::getenv("QP_KEEP_CHILD_OUTPUT")) {
        std::fprintf(stderr, "output of the child process kept in %s\n", dir_.c_str());
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void TChildProcess::Refresh(TCapture& capture)
{
    if (capture.fd < 0)
        return;
    char buffer[65536];
    ssize_t n;
    while ((n = ::pread(capture.fd, buffer, sizeof buffer, off_t(capture.text.size()))) > 0)
        capture.text.append(buffer, std::size_t(n));
}

void TChildProcess::WaitForActivity(int timeoutMs)
{
    pollfd p[2];
    nfds_t n = 0;
    if (inotify_ >= 0)
        p[n++] = {inotify_, POLLIN, 0};
    if (pidfd_ >= 0 && running_)
        p[n++] = {pidfd_, POLLIN, 0};
    else
        timeoutMs = std::min(timeoutMs, kExitCheckMs);
    if (::poll(n ? p : nullptr, n, timeoutMs) > 0 && inotify_ >= 0 && (p[0].revents & POLLIN)) {
        char events[4096];
        while (::read(inotify_, events, sizeof events) > 0) {
        }
    }
}

bool TChildProcess::TakeLine(TCapture& capture, std::size_t& pos, std::string& line)
{
    const std::size_t end = capture.text.find('\n', pos);
    if (end != std::string::npos) {
        line = capture.text.substr(pos, end - pos);
        pos = end + 1;
        return true;
    }
    // A last line without its line end is whole once the program has ended.
    if (pos < capture.text.size() && !Running()) {
        Refresh(capture);
        if (capture.text.find('\n', pos) != std::string::npos)
            return TakeLine(capture, pos, line);
        line = capture.text.substr(pos);
        pos = capture.text.size();
        return true;
    }
    return false;
}

std::optional<std::string> TChildProcess::WaitForLine(TStream stream,
                                                      const std::function<bool(const std::string&)>& match,
                                                      int timeoutMs)
{
    TCapture& capture = Capture(stream);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t pos = 0;
    for (;;) {
        Refresh(capture);
        std::string line;
        while (TakeLine(capture, pos, line))
            if (match(line))
                return line;
        if (!Running()) {
            Refresh(capture);
            if (pos == capture.text.size())
                return std::nullopt;
            continue;   // what it wrote last is still to be looked at
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        WaitForActivity(RemainingMs(deadline));
    }
}

std::optional<std::string> TChildProcess::WaitForLine(TStream stream, std::string_view text, int timeoutMs)
{
    return WaitForLine(
        stream, [text](const std::string& line) { return line.find(text) != std::string::npos; }, timeoutMs);
}

std::optional<std::string> TChildProcess::ReadLine(TStream stream, int timeoutMs)
{
    TCapture& capture = Capture(stream);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Refresh(capture);
        std::string line;
        if (TakeLine(capture, capture.next, line))
            return line;
        if (!Running()) {
            Refresh(capture);
            if (capture.next == capture.text.size())
                return std::nullopt;
            continue;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        WaitForActivity(RemainingMs(deadline));
    }
}

std::string TChildProcess::Output(TStream stream)
{
    TCapture& capture = Capture(stream);
    Refresh(capture);
    return capture.text;
}

bool TChildProcess::Write(std::string_view text)
{
    if (stdin_ < 0)
        return false;
    // A program that closed its input must not end the test with SIGPIPE:
    // the signal is held back while writing and taken off again.
    sigset_t pipeSignal, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    bool ok = true;
    while (!text.empty()) {
        const ssize_t n = ::write(stdin_, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            if (errno == EPIPE) {
                timespec now{};
                sigtimedwait(&pipeSignal, nullptr, &now);
            }
            break;
        }
        text.remove_prefix(std::size_t(n));
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

void TChildProcess::CloseStdin()
{
    if (stdin_ >= 0)
        ::close(stdin_);
    stdin_ = -1;
}

bool TChildProcess::Running()
{
    if (!running_)
        return false;
    int status = 0;
    rusage usage{};
    const pid_t r = ::wait4(pid_, &status, WNOHANG, &usage);
    if (r == 0)
        return true;
    if (r == pid_)
        Reaped(status, usage);
    running_ = false;
    return false;
}

void TChildProcess::Reaped(int status, const rusage& usage)
{
    status_ = status;
    cpuSeconds_ = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int TChildProcess::Finish(int timeoutMs)
{
    if (!WaitExit(timeoutMs)) {
        Stop();
        return -1;
    }
    return status_ >= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

bool TChildProcess::WaitExit(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        if (Clock::now() >= deadline)
            return false;
        WaitForActivity(RemainingMs(deadline));
    }
    return true;
}

void TChildProcess::Stop(int graceMs)
{
    CloseStdin();
    if (!Running())
        return;
    const pid_t group = pid_;
    auto signalGroup = [group](int sig) {
        if (::kill(-group, sig) != 0)
            ::kill(group, sig);
    };
    if (pipedStdin_ && WaitExit(graceMs))
        return;
    signalGroup(SIGTERM);
    if (WaitExit(graceMs))
        return;
    signalGroup(SIGKILL);
    int status = 0;
    rusage usage{};
    if (::wait4(group, &status, 0, &usage) == group)
        Reaped(status, usage);
    running_ = false;
}
