#include "process.h"

#include "files.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <fstream>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

std::mutex g_orphansLock;
std::vector<int> g_orphans;   // our children whose handles were closed unwaited

void ReapOrphans()
{
    std::lock_guard<std::mutex> lock(g_orphansLock);
    for (auto it = g_orphans.begin(); it != g_orphans.end();) {
        int status;
        pid_t r = ::waitpid(*it, &status, WNOHANG);
        if (r == *it || (r < 0 && errno == ECHILD))
            it = g_orphans.erase(it);
        else
            ++it;
    }
}

bool StartsWithMZ(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

// Finds the file to run as the system would: a path as given (adding ".exe"
// when that exists and the name has no extension), or a bare name along $PATH.
std::string ResolveProgram(const std::string& name)
{
    if (name.empty())
        return {};
    auto withExe = [](const std::string& p) -> std::string {
        if (FileExists(p))
            return p;
        std::size_t slash = p.rfind('/');
        std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
        if (base.find('.') == std::string::npos && FileExists(p + ".exe"))
            return p + ".exe";
        return {};
    };
    if (name.find('/') != std::string::npos)
        return withExe(name);
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= dirs.size()) {
        std::size_t colon = dirs.find(':', pos);
        std::string dir = dirs.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos);
        if (!dir.empty()) {
            std::string found = withExe(JoinPath(dir, name));
            if (!found.empty() && ::access(found.c_str(), X_OK) == 0)
                return found;
        }
        if (colon == std::string::npos)
            break;
        pos = colon + 1;
    }
    return {};
}

void WriteAll(int fd, const void* data, std::size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        size -= std::size_t(n);
    }
}

bool ReadAll(int fd, void* data, std::size_t size)
{
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

uint32_t ExitCodeOf(int status)
{
    if (WIFEXITED(status))
        return static_cast<uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return 128u + static_cast<uint32_t>(WTERMSIG(status));
    return 0;
}

} // namespace

std::vector<std::string> SplitCommandLine(std::string_view s)
{
    std::vector<std::string> args;
    std::size_t i = 0;
    while (true) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i >= s.size())
            break;
        std::string arg;
        bool quoted = false;
        while (i < s.size()) {
            char c = s[i];
            if (!quoted && (c == ' ' || c == '\t'))
                break;
            if (c == '\\') {
                std::size_t n = 0;
                while (i < s.size() && s[i] == '\\') {
                    ++n;
                    ++i;
                }
                if (i < s.size() && s[i] == '"') {
                    arg.append(n / 2, '\\');
                    if (n % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(n, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
                    arg += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::string QuoteArgument(std::string_view a)
{
    if (!a.empty() && a.find_first_of(" \t\"") == std::string_view::npos)
        return std::string(a);
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

uint32_t WindowsErrorFromErrno(int err)
{
    switch (err) {
    case 0: return 0;
    case ENOENT: return 2;         // file not found
    case ENOTDIR: return 3;        // path not found
    case EMFILE: case ENFILE: return 4;
    case EACCES: case EPERM: return 5;
    case ENOMEM: return 8;
    case E2BIG: return 206;        // file name or extension too long
    case ENOEXEC: return 193;      // not a valid application
    default: return 31;            // a device attached to the system is not functioning
    }
}

LaunchResult LaunchProcess(const std::string& application, const std::string& commandLine, bool waitable)
{
    return LaunchProcess(application, commandLine, waitable, LaunchOptions{});
}

bool IsWindowsProgram(const std::string& path) { return StartsWithMZ(path); }

std::string WineProgramName(const std::string& wine)
{
    if (!wine.empty())
        return wine;
    const char* fromEnvironment = std::getenv("WINE");
    return fromEnvironment && *fromEnvironment ? fromEnvironment : "wine";
}

std::string FindProgram(const std::string& name) { return ResolveProgram(name); }

LaunchResult LaunchProcess(const std::string& application, const std::string& commandLine, bool waitable,
                           const LaunchOptions& options)
{
    ReapOrphans();
    LaunchResult result;
    std::vector<std::string> args = SplitCommandLine(commandLine);
    std::string target = ResolveProgram(application.empty() ? (args.empty() ? std::string() : args[0]) : application);
    if (target.empty()) {
        result.error = 2;
        return result;
    }
    if (args.empty())
        args.push_back(target);
    std::vector<std::string> argv;
    if (StartsWithMZ(target)) {
        std::string winePath = ResolveProgram(WineProgramName(options.wine));
        if (winePath.empty()) {
            result.error = 2;
            return result;
        }
        argv.push_back(winePath);
        argv.push_back(target);
        target = winePath;
    } else {
        argv.push_back(args[0]);
    }
    argv.insert(argv.end(), args.begin() + 1, args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    // The environment is made here, before the fork: the child only execs.
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& extra : options.environment)
            replaced = replaced || extra.substr(0, extra.find('=')) == name;
        if (!replaced)
            env.push_back(std::move(entry));
    }
    // Of two entries with one name the later wins.
    for (std::size_t i = 0; i < options.environment.size(); ++i) {
        const std::string& extra = options.environment[i];
        const std::size_t eq = extra.find('=');
        bool later = false;
        for (std::size_t j = i + 1; j < options.environment.size(); ++j)
            later = later || options.environment[j].substr(0, options.environment[j].find('=')) == extra.substr(0, eq);
        if (eq != std::string::npos && eq > 0 && !later)
            env.push_back(extra);
    }
    std::vector<char*> cenv;
    for (auto& e : env)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int output = -1;
    if (!options.outputFile.empty())
        output = ::open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    // The child reports a failed exec (its errno) and, when detached, the
    // grandchild's pid through this pipe; a successful exec closes it.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        result.error = WindowsErrorFromErrno(errno);
        if (output >= 0)
            ::close(output);
        return result;
    }
    pid_t child = ::fork();
    if (child < 0) {
        int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        if (output >= 0)
            ::close(output);
        result.error = WindowsErrorFromErrno(err);
        return result;
    }
    if (child == 0) {
        ::close(fds[0]);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (output >= 0) {
            ::dup2(output, STDOUT_FILENO);   // the copies do not close on exec
            ::dup2(output, STDERR_FILENO);
        }
        if (options.newSession && waitable)
            ::setsid();
        if (!waitable) {
            ::setsid();
            pid_t grandchild = ::fork();
            if (grandchild < 0) {
                int err = errno;
                int32_t msg[2] = {0, err};
                WriteAll(fds[1], msg, sizeof msg);
                ::_exit(127);
            }
            if (grandchild > 0) {
                int32_t msg[1] = {grandchild};
                WriteAll(fds[1], msg, sizeof msg);
                ::_exit(0);
            }
        } else {
            int32_t msg[1] = {static_cast<int32_t>(::getpid())};
            WriteAll(fds[1], msg, sizeof msg);
        }
        ::execve(target.c_str(), cargv.data(), cenv.data());
        int32_t err = errno;
        WriteAll(fds[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(fds[1]);
    if (output >= 0)
        ::close(output);
    int32_t pid = 0, err = 0;
    bool gotPid = ReadAll(fds[0], &pid, sizeof pid);
    bool execFailed = ReadAll(fds[0], &err, sizeof err);
    ::close(fds[0]);
    if (!waitable) {
        int status;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (!gotPid || pid == 0 || execFailed) {
        if (waitable) {
            int status;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
        result.error = WindowsErrorFromErrno(execFailed ? err : ECHILD);
        return result;
    }
    result.handle.pid = pid;
    result.handle.waitable = waitable;
    result.threadId = static_cast<uint32_t>(pid);
    return result;
}

bool WaitForProcess(ProcessHandle& handle, uint32_t& exitCode)
{
    if (!handle.waitable || handle.pid <= 0)
        return false;
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(handle.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r != handle.pid)
        return false;
    handle.waitable = false;
    exitCode = ExitCodeOf(status);
    return true;
}

bool TryWaitProcess(ProcessHandle& handle, uint32_t& exitCode)
{
    if (!handle.waitable || handle.pid <= 0)
        return false;
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(handle.pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r != handle.pid)
        return false;
    handle.waitable = false;
    exitCode = ExitCodeOf(status);
    return true;
}

ProcessWatch::ProcessWatch(int pid) : pid_(pid)
{
#ifdef SYS_pidfd_open
    if (pid > 0)
        fd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd_ < 0 && errno == ESRCH)
        pid_ = 0;   // gone already
#endif
}

ProcessWatch::~ProcessWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

ProcessWatch::ProcessWatch(ProcessWatch&& other) noexcept : pid_(other.pid_), fd_(other.fd_)
{
    other.pid_ = 0;
    other.fd_ = -1;
}

ProcessWatch& ProcessWatch::operator=(ProcessWatch&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        pid_ = other.pid_;
        fd_ = other.fd_;
        other.pid_ = 0;
        other.fd_ = -1;
    }
    return *this;
}

bool ProcessWatch::Running() const
{
    if (pid_ <= 0)
        return false;
    if (fd_ >= 0) {
        // The descriptor becomes readable when the process ends.
        pollfd p{fd_, POLLIN, 0};
        int r;
        while ((r = ::poll(&p, 1, 0)) < 0 && errno == EINTR) {
        }
        return r == 0;
    }
    // No process descriptors: the number alone, and a zombie counts as ended.
    if (::kill(pid_, 0) != 0 && errno != EPERM)
        return false;
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t paren = line.rfind(')');
    return paren == std::string::npos || line.size() < paren + 3 || line[paren + 2] != 'Z';
}

void CloseProcessHandle(ProcessHandle& handle)
{
    if (handle.waitable && handle.pid > 0) {
        std::lock_guard<std::mutex> lock(g_orphansLock);
        g_orphans.push_back(handle.pid);
    }
    handle = ProcessHandle{};
}

} // namespace platform
