#include "toolprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int LeftMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

} // namespace

TToolProcess::TToolProcess(std::vector<std::string> args)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

TToolProcess::~TToolProcess()
{
    Stop();
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
}

bool TToolProcess::Pump(int timeoutMs)
{
    pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0)
        return false;
    if (poll(p, 2, timeoutMs) <= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[65536];
        ssize_t n = read(p[i].fd, buf, sizeof buf);
        int& fd = i == 0 ? outFd_ : errFd_;
        if (n <= 0) {
            close(fd);
            fd = -1;
            continue;
        }
        (i == 0 ? out_ : err_).append(buf, std::size_t(n));
    }
    return true;
}

std::optional<std::string> TToolProcess::ReadLine(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t nl = out_.find('\n', lineAt_);
        if (nl != std::string::npos) {
            std::string line = out_.substr(lineAt_, nl - lineAt_);
            lineAt_ = nl + 1;
            return line;
        }
        if (outFd_ < 0 || LeftMs(deadline) == 0)
            return std::nullopt;
        Pump(LeftMs(deadline));
    }
}

int TToolProcess::Wait(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((outFd_ >= 0 || errFd_ >= 0) && LeftMs(deadline) > 0)
        Pump(LeftMs(deadline));
    while (pid_ > 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            cpu_ = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                   + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
            break;
        }
        if (LeftMs(deadline) == 0) {
            Stop();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void TToolProcess::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

namespace {

std::vector<std::string> SimCommand(const std::vector<std::string>& options)
{
    std::vector<std::string> args = {TParlevodProcess::BinaryPath("gamesim")};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

} // namespace

TSimProcess::TSimProcess(const std::vector<std::string>& options) : process_(SimCommand(options))
{
    for (;;) {
        std::optional<std::string> line = process_.ReadLine(10000);
        if (!line)
            throw std::runtime_error("gamesim did not start: " + process_.Err());
        if (*line == "ready")
            return;
        if (line->rfind("port ", 0) == 0)
            ports.push_back(uint16_t(std::stoi(line->substr(5))));
    }
}

std::string TSimProcess::Address(std::size_t i) const { return "127.0.0.1:" + std::to_string(ports.at(i)); }

std::string WaitForLog(TParlevodProcess& server, const std::string& pattern, int timeoutMs)
{
    const std::regex re(pattern);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::smatch m;
        const std::string log = server.LogText();
        if (std::regex_search(log, m, re))
            return m.size() > 1 ? m[1].str() : m[0].str();
        if (Clock::now() > deadline)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

uint16_t ListPortOf(TParlevodProcess& server)
{
    const std::string port = WaitForLog(server, R"(master list listening on [0-9.]+:(\d+))");
    return port.empty() ? 0 : uint16_t(std::stoi(port));
}

uint16_t HeartbeatPortOf(TParlevodProcess& server)
{
    const std::string port = WaitForLog(server, R"(heartbeats listening on [0-9.]+:(\d+))");
    return port.empty() ? 0 : uint16_t(std::stoi(port));
}
