// What the download benchmarks share: a 1 GiB document of random bytes, curl
// as the yardstick, and alternating rounds of which the best of each side
// counts (the machine is shared). Prints "name value unit" lines.
#pragma once

#include "support/childprocess.h"

#include <QFile>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace downloadbench {

constexpr int64_t kSize = int64_t(1) << 30;
constexpr int kRounds = 5;

using Clock = std::chrono::steady_clock;

inline double MiBps(int64_t bytes, Clock::duration d)
{
    return double(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(d).count();
}

inline int64_t FileSize(const std::string& path) { return QFile(QString::fromStdString(path)).size(); }

// kSize bytes of noise, so no layer on the way can compress them.
inline void WriteDocument(const std::string& path, unsigned seed)
{
    std::string chunk(1 << 20, '\0');
    std::mt19937 rng(seed);
    for (auto& c : chunk)
        c = char(rng());
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::WriteOnly))
        std::exit(2);
    for (int64_t done = 0; done < kSize; done += int64_t(chunk.size()))
        f.write(chunk.data(), qint64(chunk.size()));
}

// The throughput of a whole download in `took`, 0 when `whole` is false; the
// downloaded file is removed either way.
inline double Result(bool whole, const std::string& out, Clock::duration took)
{
    whole = whole && FileSize(out) == kSize;
    QFile::remove(QString::fromStdString(out));
    return whole ? MiBps(kSize, took) : 0;
}

// curl with `options`, fetching `url` into `out`.
inline double RunCurl(const std::vector<std::string>& options, const std::string& url, const std::string& out)
{
    std::vector<std::string> args = {"curl", "-s", "-o", out};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(url);
    const auto start = Clock::now();
    TChildProcess curl({.args = args});
    const int status = curl.Finish(600000);
    return Result(status == 0, out, Clock::now() - start);
}

// Alternating rounds of our client and curl, each round starting with the
// earlier rounds' files written out so that neither pays for the other's
// write-back; prints the best of each and their ratio. The exit status.
inline int Compare(const std::string& name, const std::string& clientName, const std::function<double()>& client,
                   const std::function<double()>& curl)
{
    double best = 0, bestCurl = 0;
    for (int i = 0; i < kRounds; ++i) {
        ::sync();
        best = std::max(best, client());
        ::sync();
        bestCurl = std::max(bestCurl, curl());
    }
    std::printf("%s_%s %.1f MiB/s\n", name.c_str(), clientName.c_str(), best);
    std::printf("%s_curl %.1f MiB/s\n", name.c_str(), bestCurl);
    std::printf("%s_ratio %.3f ratio\n", name.c_str(), bestCurl > 0 ? best / bestCurl : 0.0);
    return best > 0 && bestCurl > 0 ? 0 : 1;
}

} // namespace downloadbench
