// For the fuzz targets of the network readers: however the bytes arrive,
// they must read the same.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Reads `input` with `read(text, stride)` fed whole (stride 0) and cut into
// pieces of a size taken from its first byte, then the same for the input
// repeated past `limit` bytes, so that the reader's bounds are reached too.
// Aborts when the two transcripts of a text differ.
template <typename TRead>
void CheckPiecewiseReading(std::string_view input, std::size_t limit, TRead read)
{
    std::string repeated;
    while (!input.empty() && repeated.size() < limit)
        repeated += input;
    const std::size_t stride = input.empty() ? 1 : 1 + uint8_t(input[0]) % 64;
    for (std::string_view text : {input, std::string_view(repeated)}) {
        const auto whole = read(text, 0);
        const auto cut = read(text, text.size() > input.size() ? 1000 + stride * 61 : stride);
        if (!(whole == cut))
            std::abort();
    }
}
