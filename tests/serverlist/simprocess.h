// The gamesim program of this build as a child process: simulated game
// servers on free loopback ports for quakestat, quillet-query, parlevod's
// master list and the benchmarks.
#pragma once

#include "support/childprocess.h"

#include <cstdint>
#include <string>
#include <vector>

class TSimProcess {
public:
    // Starts gamesim with `options` and returns once it answers; throws
    // when it does not come up.
    explicit TSimProcess(const std::vector<std::string>& options);

    // The ports of its servers, in order.
    std::vector<uint16_t> ports;
    // "127.0.0.1:PORT" of server `i`.
    std::string Address(std::size_t i) const;

private:
    TChildProcess process_;
};
