#include "textfuncs.h"

#include "errors.h"

#include <array>
#include <cstring>
#include <limits>

namespace {

// Finds "\key\" and returns the position where its value starts, or npos.
// Searches for the key and checks the backslashes around it, so that no
// pattern text has to be built.
std::size_t FindValueStart(std::string_view text, std::string_view key, std::size_t& patternStart)
{
    patternStart = std::string_view::npos;
    if (text.size() < key.size() + 2)
        return std::string_view::npos;
    std::size_t from = 1;
    for (;;) {
        std::size_t at = text.find(key, from);
        if (at == std::string_view::npos || at + key.size() >= text.size())
            return std::string_view::npos;
        if (text[at - 1] == '\\' && text[at + key.size()] == '\\') {
            patternStart = at - 1;
            return at + key.size() + 1;
        }
        from = at + 1;
    }
}

std::size_t ValueEnd(std::string_view text, std::size_t start)
{
    std::size_t end = start;
    while (end < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[end]);
        if (c == '\\' || c < 0x20)
            break;
        ++end;
    }
    return end;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 6-bit value of each character; 0 for characters outside the alphabet.
constexpr auto kSixBits = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
    return t;
}();

int SixBits(char c) { return kSixBits[static_cast<unsigned char>(c)]; }

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }

uint32_t g_randSeed = 0;

} // namespace

std::string LookupValue(std::string_view text, std::string_view key)
{
    std::size_t patternStart;
    std::size_t start = FindValueStart(text, key, patternStart);
    if (start == std::string_view::npos)
        return {};
    return std::string(text.substr(start, ValueEnd(text, start) - start));
}

std::string_view FindValue(std::string_view text, std::string_view key)
{
    std::size_t patternStart;
    std::size_t start = FindValueStart(text, key, patternStart);
    if (start == std::string_view::npos)
        return {};
    return text.substr(start, ValueEnd(text, start) - start);
}

std::string TakeValue(std::string& text, std::string_view key, bool remove)
{
    std::size_t patternStart;
    std::size_t start = FindValueStart(text, key, patternStart);
    if (start == std::string::npos)
        return {};
    std::size_t end = ValueEnd(text, start);
    std::string value = text.substr(start, end - start);
    if (remove)
        text.erase(patternStart, end - patternStart);
    return value;
}

std::string NextField(std::string& text)
{
    std::size_t first = text.find('\\');
    if (first != std::string::npos)
        text.erase(0, first + 1);
    if (text.empty())
        return {};
    std::size_t next = text.find('\\');
    if (next == std::string::npos) {
        std::string field;
        field.swap(text);
        return field;
    }
    std::string field = text.substr(0, next);
    text.erase(0, next);
    return field;
}

void EncodeBase64To(const void* bytes, std::size_t n, char* out)
{
    const auto* in = static_cast<const unsigned char*>(bytes);
    auto put = [&out](uint32_t group) {
        out[0] = kAlphabet[(group >> 18) & 63];
        out[1] = kAlphabet[(group >> 12) & 63];
        out[2] = kAlphabet[(group >> 6) & 63];
        out[3] = kAlphabet[group & 63];
        out += 4;
    };
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3)
        put(uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | uint32_t(in[i + 2]));
    if (i < n)   // the last group, zero-filled
        put(uint32_t(in[i]) << 16 | (i + 1 < n ? uint32_t(in[i + 1]) << 8 : 0));
}

std::string EncodeBase64(const void* bytes, std::size_t n)
{
    std::string out(Base64Length(n), '\0');
    EncodeBase64To(bytes, n, out.data());
    return out;
}

std::string EncodeBase64(std::string_view bytes) { return EncodeBase64(bytes.data(), bytes.size()); }

void DecodeBase64(std::string_view text, void* out, std::size_t n)
{
    auto* dst = static_cast<unsigned char*>(out);
    const auto* src = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t written = 0;
    std::size_t i = 0;
    // Whole groups of four characters that fill three whole bytes.
    for (; i + 4 <= text.size() && written + 3 <= n; i += 4, written += 3) {
        uint32_t group = uint32_t(kSixBits[src[i]]) << 18 | uint32_t(kSixBits[src[i + 1]]) << 12
                         | uint32_t(kSixBits[src[i + 2]]) << 6 | uint32_t(kSixBits[src[i + 3]]);
        dst[written] = static_cast<unsigned char>(group >> 16);
        dst[written + 1] = static_cast<unsigned char>(group >> 8);
        dst[written + 2] = static_cast<unsigned char>(group);
    }
    // The rest: a short last group, and characters missing at the end as 0.
    for (; written < n; i += 4) {
        uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            int v = i + k < text.size() ? SixBits(text[i + k]) : 0;
            group = (group << 6) | uint32_t(v);
        }
        const unsigned char three[3] = {static_cast<unsigned char>(group >> 16),
                                        static_cast<unsigned char>(group >> 8),
                                        static_cast<unsigned char>(group)};
        for (int k = 0; k < 3 && written < n; ++k)
            dst[written++] = three[k];
    }
}

void Rc4State::Schedule(std::string_view key)
{
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<uint8_t>(i);
    if (key.empty())
        return;
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<uint8_t>(j + static_cast<uint8_t>(key[i % key.size()]) + s[i]);
        std::swap(s[i], s[j]);
    }
}

void Rc4State::Apply(void* buffer, std::size_t length) const
{
    uint8_t st[256];
    std::memcpy(st, s, sizeof st);
    auto* p = static_cast<uint8_t*>(buffer);
    uint8_t x = 0, y = 0;
    for (std::size_t i = 0; i < length; ++i) {
        x = static_cast<uint8_t>(x + 1);
        y = static_cast<uint8_t>(y + st[x]);
        std::swap(st[x], st[y]);
        p[i] ^= st[static_cast<uint8_t>(st[x] + st[y])];
    }
}

void Crypt(void* buffer, std::size_t length, std::string_view key, bool standard)
{
    if (key.empty())
        return;
    Rc4State state;
    state.Schedule(key);
    if (standard) {
        state.Apply(buffer, length);
        return;
    }
    uint8_t* st = state.s;
    auto* p = static_cast<uint8_t*>(buffer);
    uint8_t x = 0, y = 0;
    for (std::size_t i = 0; i < length; ++i) {
        x = static_cast<uint8_t>(x + p[i] + 1);
        y = static_cast<uint8_t>(y + st[x]);
        std::swap(st[x], st[y]);
        p[i] ^= st[static_cast<uint8_t>(st[x] + st[y])];
    }
}

uint32_t TextChecksum(std::string_view text)
{
    uint32_t sum = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
        sum += static_cast<unsigned char>(text[i]) + uint32_t((i + 1) % 256);
    return sum;
}

std::string HostOf(std::string_view address)
{
    return std::string(address.substr(0, address.find(':')));
}

std::string PortOf(std::string_view address, std::string_view defaultPort)
{
    std::string trimmed = Trim(address);
    std::size_t colon = trimmed.find(':');
    if (colon == std::string::npos)
        return std::string(defaultPort);
    std::string port = trimmed.substr(colon + 1);
    int32_t value;
    if (TryStrToInt(port, value))
        return port;
    return std::string(defaultPort);
}

bool IsAddressText(std::string_view text)
{
    if (text.empty() || text[0] == '0')
        return false;
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            ++dots;
        else if (!(c >= '0' && c <= '9') && c != ':')
            return false;
    }
    return dots == 3;
}

void RandomSeed(uint32_t seed) { g_randSeed = seed; }

int32_t RandomInt(int32_t range)
{
    g_randSeed = g_randSeed * 0x08088405u + 1u;
    if (range <= 0)
        return 0;
    return static_cast<int32_t>((uint64_t(g_randSeed) * uint64_t(uint32_t(range))) >> 32);
}

std::string RandomText(int n)
{
    std::string out;
    if (n <= 0)
        return out;
    out.reserve(std::size_t(n));
    while (int(out.size()) < n) {
        int c = RandomInt(128);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            out += char(c);
    }
    return out;
}

int32_t RoundForDisplay(double x)
{
    if (x > 2147483647.0)
        return 2147483647;
    if (!(x >= 0.5))
        return 0;
    auto t = static_cast<int64_t>(x);
    auto d = static_cast<int64_t>(x * 10.0) - 10 * t;
    return static_cast<int32_t>(d >= 6 ? t + 1 : t);
}

bool TryStrToInt(std::string_view text, int32_t& value)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = HexDigitValue(text[i]);
        if (digit < 0 || digit >= base)
            return false;
        magnitude = magnitude * uint64_t(base) + uint64_t(digit);
        if (magnitude > 0xFFFFFFFFull)
            return false;
    }
    if (base == 10) {
        if (negative ? magnitude > 2147483648ull : magnitude > 2147483647ull)
            return false;
        value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                         : static_cast<int32_t>(magnitude);
    } else {
        // Hexadecimal texts name the 32-bit pattern, so $FFFFFFFF is -1.
        auto bits = static_cast<uint32_t>(magnitude);
        value = static_cast<int32_t>(negative ? 0u - bits : bits);
    }
    return true;
}

int32_t StrToInt(std::string_view text)
{
    int32_t value;
    if (!TryStrToInt(text, value))
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return value;
}

int32_t StrToIntDef(std::string_view text, int32_t def)
{
    int32_t value;
    return TryStrToInt(text, value) ? value : def;
}

bool TryDecimalToInt(std::string_view text, int32_t& value)
{
    const bool negative = !text.empty() && text.front() == '-';
    const std::string_view digits = text.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 10)
        return false;
    int64_t magnitude = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        magnitude = magnitude * 10 + (c - '0');
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < INT32_MIN || signedValue > INT32_MAX)
        return false;
    value = static_cast<int32_t>(signedValue);
    return true;
}

int32_t DecimalToInt(std::string_view text)
{
    int32_t value;
    if (!TryDecimalToInt(text, value))
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return value;
}

int32_t DecimalToIntDef(std::string_view text, int32_t def)
{
    int32_t value;
    return TryDecimalToInt(text, value) ? value : def;
}

uint32_t StrToUIntDef(std::string_view text, uint32_t def)
{
    if (text.empty() || text.size() > 10)
        return def;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return def;
        value = value * 10 + uint64_t(c - '0');
    }
    return value > 0xFFFFFFFFull ? def : static_cast<uint32_t>(value);
}

std::string Trim(std::string_view text)
{
    std::size_t b = 0, e = text.size();
    while (b < e && IsBlankOrControl(text[b]))
        ++b;
    while (e > b && IsBlankOrControl(text[e - 1]))
        --e;
    return std::string(text.substr(b, e - b));
}

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::string UpperCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return out;
}

std::string LowerCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to)
{
    if (from.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (true) {
        std::size_t hit = text.find(from, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(text.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text.substr(pos));
    return out;
}
