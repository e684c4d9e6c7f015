// gamesim: simulated game servers on loopback for the tool's tests, for
// quakestat and for the benchmarks.
//
//   gamesim [--servers N] [--players N] [--pieces N] [--silent-every K]
//           [--answer-from N] [--bgate] [--heartbeat PORT [--gamename NAME]]
//
// Prints "port P" for each server, then "ready", and answers until it gets
// SIGTERM or SIGINT. With --heartbeat every server announces itself to the
// master list's heartbeat port on loopback, once at start.
#include "gamesim.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) { gStop = true; }

int Number(const char* option, const char* text)
{
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 0 || v > 100000) {
        std::fprintf(stderr, "gamesim: %s: not a number: %s\n", option, text);
        std::exit(2);
    }
    return int(v);
}

} // namespace

int main(int argc, char** argv)
{
    int servers = 1, players = 4, pieces = 1, silentEvery = 0, answerFrom = 1, heartbeat = 0;
    bool bgate = false;
    std::string game = "bgate";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "gamesim: %s: missing value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--servers")
            servers = Number("--servers", value());
        else if (a == "--players")
            players = Number("--players", value());
        else if (a == "--pieces")
            pieces = Number("--pieces", value());
        else if (a == "--silent-every")
            silentEvery = Number("--silent-every", value());
        else if (a == "--answer-from")
            answerFrom = Number("--answer-from", value());
        else if (a == "--heartbeat")
            heartbeat = Number("--heartbeat", value());
        else if (a == "--gamename")
            game = value();
        else if (a == "--bgate")
            bgate = true;
        else {
            std::fprintf(stderr, "gamesim: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    std::vector<TSimServer> list;
    for (int i = 0; i < servers; ++i) {
        TSimServer s;
        s.reply = SimReply(i, players, pieces, bgate);
        s.answerFrom = silentEvery > 0 && (i + 1) % silentEvery == 0 ? 0 : answerFrom;
        list.push_back(std::move(s));
    }
    TGameSim sim(std::move(list));
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    for (std::size_t i = 0; i < sim.Count(); ++i)
        std::printf("port %u\n", unsigned(sim.Port(i)));
    std::printf("ready\n");
    std::fflush(stdout);
    if (heartbeat > 0) {
        for (std::size_t i = 0; i < sim.Count(); ++i)
            sim.Heartbeat(i, uint16_t(heartbeat), game);
    }
    sim.Run(gStop);
    return 0;
}
