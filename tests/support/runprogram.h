// A program run to its end by a test: a tool such as lintian, dpkg-deb,
// python3 or chromium, with what it wrote.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TRunResult {
    int exitCode = -1;     // -1 when it was killed or ran out of time
    std::string out;
    std::string err;
};

// args[0] is looked up on PATH when it holds no "/". `input`, when given,
// is its standard input. A program still running after `timeoutMs` is stopped.
TRunResult RunProgram(std::vector<std::string> args, int timeoutMs,
                      std::vector<std::pair<std::string, std::string>> env = {}, std::string_view input = {});
