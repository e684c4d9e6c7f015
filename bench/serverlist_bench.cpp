// quillet-query against quakestat (Debian's qstat) on 500 simulated game
// servers on loopback: all answering, then with every tenth one silent.
// Both tools run with the same concurrency (10), attempts (2) and time-out
// (2 s); the runs alternate, and the figures are medians of wall time and
// of CPU time (user + system) over the runs of each tool.
//
//   serverlist_bench [--runs N]
#include "simprocess.h"
#include "support/parlevodprocess.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kServers = 500;
constexpr const char* kQuakestat = "/usr/bin/quakestat";

struct TTimes {
    double wall = 0;   // s
    double cpu = 0;    // s, user + system
    int lines = 0;     // lines of output
};

// Runs a program to its end; wall and CPU time, lines of output.
TTimes RunTimed(const std::vector<std::string>& args)
{
    const auto start = std::chrono::steady_clock::now();
    TChildProcess p(TChildProcess::TOptions{.args = args});
    const int status = p.Finish(120000);
    TTimes t;
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t.cpu = p.CpuSeconds();
    const std::string out = p.Output(TChildProcess::TStream::Out);
    t.lines = int(std::count(out.begin(), out.end(), '\n'));
    if (status != 0)
        std::fprintf(stderr, "serverlist_bench: %s ended with status %d\n", args[0].c_str(), status);
    return t;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void Compare(const std::string& name, const std::vector<std::string>& simOptions, int runs)
{
    TSimProcess sims(simOptions);
    char dir[] = "/tmp/serverlist-bench-XXXXXX";
    if (!mkdtemp(dir))
        return;
    const std::string ours = std::string(dir) + "/servers", theirs = std::string(dir) + "/qstat";
    {
        std::ofstream a(ours), b(theirs);
        for (std::size_t i = 0; i < sims.ports.size(); ++i) {
            a << sims.Address(i) << "\n";
            b << "GPS " << sims.Address(i) << "\n";
        }
    }
    const std::vector<std::string> quillet = {TParlevodProcess::BinaryPath("quillet-query"), "--game", "kova",
                                              "--max-queries", "10", "--servers", ours};
    const std::vector<std::string> qstat = {kQuakestat, "-maxsim", "10", "-retry", "1", "-interval", "2", "-f", theirs};
    std::vector<double> ourWall, ourCpu, theirWall, theirCpu;
    int ourLines = 0, theirLines = 0;
    for (int r = 0; r < runs; ++r) {
        // Alternate which goes first, so neither always meets a warmer machine.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (r % 2 == 0)) {
                TTimes t = RunTimed(quillet);
                ourWall.push_back(t.wall);
                ourCpu.push_back(t.cpu);
                ourLines = t.lines;
            } else {
                TTimes t = RunTimed(qstat);
                theirWall.push_back(t.wall);
                theirCpu.push_back(t.cpu);
                theirLines = t.lines;
            }
        }
    }
    unlink(ours.c_str());
    unlink(theirs.c_str());
    rmdir(dir);
    const double wall = Median(ourWall), qwall = Median(theirWall);
    std::printf("serverlist_%s_quillet_query_wall %.4f s\n", name.c_str(), wall);
    std::printf("serverlist_%s_quillet_query_cpu %.4f s\n", name.c_str(), Median(ourCpu));
    std::printf("serverlist_%s_quakestat_wall %.4f s\n", name.c_str(), qwall);
    std::printf("serverlist_%s_quakestat_cpu %.4f s\n", name.c_str(), Median(theirCpu));
    // Rows printed: a header and one line a server for quillet-query, one
    // line a server for quakestat (silent ones included).
    std::printf("serverlist_%s_quillet_query_rows %d lines\n", name.c_str(), ourLines - 1);
    std::printf("serverlist_%s_quakestat_rows %d lines\n", name.c_str(), theirLines - 1);
    std::printf("serverlist_%s_time_ratio %.3f quillet/quakestat\n", name.c_str(), qwall > 0 ? wall / qwall : 0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 9;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--runs")
            runs = std::max(1, std::atoi(argv[++i]));
    if (access(kQuakestat, X_OK) != 0) {
        std::fprintf(stderr, "serverlist_bench: %s is missing (Debian package qstat)\n", kQuakestat);
        return 1;
    }
    const std::string count = std::to_string(kServers);
    Compare("all_answering", {"--servers", count, "--players", "4"}, runs);
    // Silent servers take their two time-outs: each run lasts some 20 s.
    Compare("tenth_silent", {"--servers", count, "--players", "4", "--silent-every", "10"}, std::max(1, runs / 3));
    return 0;
}
