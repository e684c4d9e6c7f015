// Encode and decode of a 100-byte chat record, frames per second on one
// core, against plain RC4 over the same bytes (no parsing, the key schedule
// made once) as reference. Frames are ciphered with a keystream made once,
// so the codec may well outrun the cipher it replaces.
#include "text/textfuncs.h"
#include "lobby/protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double Time(F& body, long n)
{
    auto start = Clock::now();
    for (long i = 0; i < n; ++i)
        body();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs of `body` that take about `seconds`.
template <typename F>
long RunLength(F& body, double seconds)
{
    for (long n = 1000;; n *= 2)
        if (Time(body, n) > seconds)
            return n;
}

template <typename F>
double PerSecond(F body)
{
    const long n = RunLength(body, 0.5);
    return double(n) / Time(body, n);
}

// The best rates of `a` and `b` over rounds that take turns, so that a
// machine whose speed drifts during the run touches both alike.
template <typename A, typename B>
std::pair<double, double> BestOfAlternating(A a, B b, int rounds)
{
    const long na = RunLength(a, 0.2), nb = RunLength(b, 0.2);
    double bestA = 0, bestB = 0;
    for (int i = 0; i < rounds; ++i) {
        bestA = std::max(bestA, double(na) / Time(a, na));
        bestB = std::max(bestB, double(nb) / Time(b, nb));
    }
    return {bestA, bestB};
}

volatile std::size_t gSink;

} // namespace

int main()
{
    LobbyRecord r;
    r.type = cmChat;
    r.player = 12;
    r.param = "\\chan\\0\\color\\8388608\\text\\";
    std::string base = lobby::RecordText(r);
    r.param.append(100 - base.size(), 'a');   // record text of exactly 100 bytes
    const std::string frame = lobby::BuildFrame(r);
    const std::size_t n = frame.size() - 4;

    std::string out;
    double encode = PerSecond([&] {
        out.clear();
        lobby::AppendFrame(r, out);
        gSink = out.size();
    });
    // Deciphered in place, as the master reads: each round starts from a
    // fresh copy of the enciphered frame.
    std::string work = frame;
    double decode = PerSecond([&] {
        std::memcpy(work.data(), frame.data(), frame.size());
        lobby::OpenedFrame s = lobby::OpenFrame(work.data(), work.size());
        gSink = s.record.param.size();
    });
    // The copying splitter, which hands out a record of its own.
    double decodeCopy = PerSecond([&] {
        lobby::SplitResult s = lobby::SplitFrame(frame);
        gSink = s.record.param.size();
    });
    lobby::PlayerRecord player;
    player.active = 1;
    player.index = 1234;
    player.SetName("a player of the lobby");
    player.SetAddress("192.168.100.200");
    player.ping = 9999;
    double playerFrame = PerSecond([&] {
        out.clear();
        lobby::AppendPlayerFrame(player, out);
        gSink = out.size();
    });
    // Encode and decode against plain RC4 over the same bytes: the ratio
    // of the best of alternating rounds.
    std::string bytes = frame.substr(4);
    Rc4State rc4State;
    rc4State.Schedule(lobby::kFrameKey);
    const auto [both, rc4] = BestOfAlternating(
        [&] {
            out.clear();
            lobby::AppendFrame(r, out);
            lobby::OpenedFrame s = lobby::OpenFrame(out.data(), out.size());
            gSink = s.record.param.size();
        },
        [&] {
            rc4State.Apply(bytes.data(), bytes.size());
            gSink = std::size_t(bytes[0]);
        },
        7);
    // The same keystream with the key schedule run for every frame.
    double rc4Schedule = PerSecond([&] {
        Crypt(bytes.data(), bytes.size(), lobby::kFrameKey, true);
        gSink = std::size_t(bytes[0]);
    });

    std::printf("frame_record_text_bytes %zu bytes\n", n - 1);
    std::printf("frame_encode %.0f frames/s\n", encode);
    std::printf("frame_decode_in_place %.0f frames/s\n", decode);
    std::printf("frame_decode_copying %.0f frames/s\n", decodeCopy);
    std::printf("frame_player_record_encode %.0f frames/s\n", playerFrame);
    std::printf("frame_encode_decode %.0f frames/s\n", both);
    std::printf("rc4_same_bytes %.0f buffers/s\n", rc4);
    std::printf("rc4_same_bytes_with_key_schedule %.0f buffers/s\n", rc4Schedule);
    std::printf("encode_decode_vs_rc4 %.3f ratio\n", both / rc4);
    return 0;
}
