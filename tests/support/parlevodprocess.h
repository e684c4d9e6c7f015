// parlevod as a real process for tests and benchmarks: started from the
// build's bin folder ($QP_BUILD_BIN) on 127.0.0.1 and a free lobby port,
// ready once it has said where it listens. Stopped on destruction. Unless
// told otherwise (--state-db), its state database and control socket are in
// a folder of its own, so servers started side by side never share them.
#pragma once

#include "support/childprocess.h"
#include "support/tempdir.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class TParlevodProcess {
public:
    // Throws std::runtime_error, with the server's log, when it does not start.
    explicit TParlevodProcess(std::vector<std::string> extraArgs = {});

    uint16_t Port() const { return port_; }
    pid_t Pid() const { return process_.Pid(); }
    bool Running() { return process_.Running(); }
    void Stop() { process_.Stop(); }

    // Its log (standard error) so far, and a wait for a log line holding `text`.
    std::string LogText() { return process_.Output(TChildProcess::TStream::Err); }
    bool WaitForLog(const std::string& text, int timeoutMs = 5000);
    // The port a service announced ("NAME ADDRESS PORT" on standard output),
    // 0 when it has not within `timeoutMs`.
    uint16_t ServicePort(const std::string& service, int timeoutMs = 10000);

    // A program of the build: in $QP_BUILD_BIN, else beside the running one.
    static std::string BinaryPath(const std::string& name);

private:
    TempDir state_;
    TChildProcess process_;
    uint16_t port_ = 0;
};
