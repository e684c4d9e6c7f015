#include "parlevodprocess.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

std::vector<std::string> ParlevodArgs(std::vector<std::string> extraArgs, const TempDir& state)
{
    // Every service on a free port, so tests never meet each other or a running server.
    std::vector<std::string> args = {TParlevodProcess::BinaryPath("parlevod"), "--bind", "127.0.0.1",
                                     "--lobby-port", "0", "--http-port", "0", "--motd-udp-port", "0",
                                     "--list-port", "0", "--heartbeat-port", "0"};
    bool ownState = true;
    for (const std::string& a : extraArgs)
        ownState = ownState && a != "--state-db";
    if (ownState)
        args.insert(args.end(), {"--state-db", state.File("parlevod.db"), "--control-socket", state.File("control")});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return args;
}

} // namespace

std::string TParlevodProcess::BinaryPath(const std::string& name)
{
    const char* bin = std::getenv("QP_BUILD_BIN");
    if (bin && *bin)
        return std::string(bin) + "/" + name;
    // Beside the running program: tests and benchmarks are built into build/bin.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, std::size_t(n));
        return path.substr(0, path.rfind('/') + 1) + name;
    }
    return "build/bin/" + name;
}

TParlevodProcess::TParlevodProcess(std::vector<std::string> extraArgs)
    : process_(TChildProcess::TOptions{ParlevodArgs(std::move(extraArgs), state_), {}, {}, false})
{
    if (!process_.Started())
        throw std::runtime_error("parlevod did not start: " + process_.Error());
    port_ = ServicePort("lobby");
    if (port_ == 0) {
        process_.Stop();
        throw std::runtime_error("parlevod did not start: " + LogText());
    }
}

bool TParlevodProcess::WaitForLog(const std::string& text, int timeoutMs)
{
    return process_.WaitForLine(TChildProcess::TStream::Err, text, timeoutMs).has_value();
}

uint16_t TParlevodProcess::ServicePort(const std::string& service, int timeoutMs)
{
    auto line = process_.WaitForLine(
        TChildProcess::TStream::Out, [&](const std::string& l) { return l.rfind(service + " ", 0) == 0; },
        timeoutMs);
    if (!line)
        return 0;
    std::istringstream in(*line);
    std::string name, address;
    unsigned port = 0;
    in >> name >> address >> port;
    return port <= 65535 ? uint16_t(port) : 0;
}
