#include "simprocess.h"

#include "support/parlevodprocess.h"

#include <stdexcept>

namespace {

std::vector<std::string> SimCommand(const std::vector<std::string>& options)
{
    std::vector<std::string> args = {TParlevodProcess::BinaryPath("gamesim")};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

} // namespace

TSimProcess::TSimProcess(const std::vector<std::string>& options)
    : process_(TChildProcess::TOptions{.args = SimCommand(options)})
{
    // It names each server's port on a line "port N", then says "ready".
    for (;;) {
        std::optional<std::string> line = process_.ReadLine(TChildProcess::TStream::Out, 10000);
        if (!line)
            throw std::runtime_error("gamesim did not start: " + process_.Output(TChildProcess::TStream::Err));
        if (*line == "ready")
            return;
        if (line->rfind("port ", 0) == 0)
            ports.push_back(uint16_t(std::stoi(line->substr(5))));
    }
}

std::string TSimProcess::Address(std::size_t i) const { return "127.0.0.1:" + std::to_string(ports.at(i)); }
