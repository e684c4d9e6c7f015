// Encode and decode of a 100-byte chat record, frames per second on one
// core, against plain RC4 over the same bytes (no parsing) as reference.
#include "app/textfuncs.h"
#include "lobby/protocol.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double PerSecond(F body)
{
    // Grow the round until it takes a measurable time, then time it.
    for (long n = 1000;; n *= 2) {
        auto start = Clock::now();
        for (long i = 0; i < n; ++i)
            body();
        double s = std::chrono::duration<double>(Clock::now() - start).count();
        if (s > 0.5)
            return double(n) / s;
    }
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
    double decode = PerSecond([&] {
        lobby::SplitResult s = lobby::SplitFrame(frame);
        gSink = s.record.param.size();
    });
    double both = PerSecond([&] {
        out.clear();
        lobby::AppendFrame(r, out);
        lobby::SplitResult s = lobby::SplitFrame(out);
        gSink = s.record.param.size();
    });
    std::string bytes = frame.substr(4);
    double rc4 = PerSecond([&] {
        lobby::CipherFrame(bytes.data(), bytes.size());
        gSink = std::size_t(bytes[0]);
    });
    // The same keystream with the key schedule run for every frame.
    double rc4Schedule = PerSecond([&] {
        Crypt(bytes.data(), bytes.size(), lobby::kFrameKey, true);
        gSink = std::size_t(bytes[0]);
    });

    std::printf("frame_record_text_bytes %zu bytes\n", n - 1);
    std::printf("frame_encode %.0f frames/s\n", encode);
    std::printf("frame_decode %.0f frames/s\n", decode);
    std::printf("frame_encode_decode %.0f frames/s\n", both);
    std::printf("rc4_same_bytes %.0f buffers/s\n", rc4);
    std::printf("rc4_same_bytes_with_key_schedule %.0f buffers/s\n", rc4Schedule);
    std::printf("encode_decode_vs_rc4 %.3f ratio\n", both / rc4);
    return 0;
}
