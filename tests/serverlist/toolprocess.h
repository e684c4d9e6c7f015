// A program of this build run as a child process by a test: its standard
// output and error are collected, lines can be waited for with a bound, and
// it is stopped (SIGTERM, then SIGKILL) when the object goes.
#pragma once

#include <sys/types.h>

#include "support/lobbyclient.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TToolProcess {
public:
    // `args[0]` is a program path; TParlevodProcess::BinaryPath finds ours.
    explicit TToolProcess(std::vector<std::string> args);
    ~TToolProcess();
    TToolProcess(const TToolProcess&) = delete;
    TToolProcess& operator=(const TToolProcess&) = delete;

    // The next line of standard output (without its line feed), or nothing
    // when none comes within `timeoutMs` or the program ended.
    std::optional<std::string> ReadLine(int timeoutMs);
    // Waits for the program to end, collecting its output; the exit status,
    // or -1 when it had not ended within `timeoutMs` (it is then killed).
    int Wait(int timeoutMs);
    void Stop();

    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }
    pid_t Pid() const { return pid_; }
    // User and system time the program used, once Wait has seen it end.
    double CpuSeconds() const { return cpu_; }

private:
    // Reads what is ready on either pipe, waiting up to `timeoutMs`; false
    // when both are closed.
    bool Pump(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::size_t lineAt_ = 0;   // start of the first line not yet returned
    int status_ = -1;
    double cpu_ = 0;
};

// The gamesim program with the given options, ready to answer: the ports
// of its servers in order. Throws when it does not come up.
class TSimProcess {
public:
    explicit TSimProcess(const std::vector<std::string>& options);
    std::vector<uint16_t> ports;
    // "127.0.0.1:PORT" of server `i`.
    std::string Address(std::size_t i) const;

private:
    TToolProcess process_;
};

// Waits (bounded) until the log of `server` matches the regular expression
// `pattern`; its first group (or the whole match), empty on time-out.
std::string WaitForLog(TParlevodProcess& server, const std::string& pattern, int timeoutMs = 5000);
// The ports of parlevod's master list and heartbeat services, from its log.
uint16_t ListPortOf(TParlevodProcess& server);
uint16_t HeartbeatPortOf(TParlevodProcess& server);
