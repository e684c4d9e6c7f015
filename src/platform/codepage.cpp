#include "codepage.h"

#include <cstdint>

namespace platform {

namespace {

// 0x80..0x9F; the five bytes Windows leaves undefined map to the C1 controls.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t ToUnicode(unsigned char b)
{
    if (b >= 0x80 && b < 0xA0)
        return kHigh[b - 0x80];
    return b;
}

char FromUnicode(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return char(c);
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == c)
            return char(0x80 + i);
    return '?';
}

} // namespace

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

bool IsUtf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 4;
        if (extra == 4 || (extra == 1 && b < 0xC2) || (extra > 0 && i + extra >= s.size()))
            return false;
        for (std::size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

std::string Cp1252ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char b : bytes)
        AppendUtf8(out, ToUnicode(static_cast<unsigned char>(b)));
    return out;
}

std::string Utf8ToCp1252(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        char32_t c = extra > 0 ? char32_t(b & (0x3F >> extra)) : b;
        bool ok = extra >= 0 && i + std::size_t(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            auto cont = static_cast<unsigned char>(s[i + std::size_t(k)]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        // A character written with more bytes than it needs (C0 8A for a line
        // feed) is not UTF-8: read as a character it would smuggle control
        // bytes past every check made on the bytes.
        static constexpr char32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
        if (ok && extra > 0 && c < kLeast[extra])
            ok = false;
        if (!ok) {
            // Not UTF-8: keep the byte as it is.
            out += char(b);
            ++i;
            continue;
        }
        out += FromUnicode(c);
        i += std::size_t(extra) + 1;
    }
    return out;
}

} // namespace platform
