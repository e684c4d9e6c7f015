// Text, encoding and cipher functions shared by the lobby, the server list,
// the message of the day, the updater and the lobby master server.
// Pure C++: no Qt, no I/O. Texts are byte strings; positions count bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// --- backslash key/value text -------------------------------------------

// Value of `key` in `text`: the bytes after the first "\key\" up to the next
// backslash, the next byte below 0x20, or the end. Empty when absent.
std::string LookupValue(std::string_view text, std::string_view key);
// The same value as a view into `text`, without a copy.
std::string_view FindValue(std::string_view text, std::string_view key);

// As LookupValue; with `remove` the "\key\value" run is cut out of `text`
// (the byte that ended the value stays).
std::string TakeValue(std::string& text, std::string_view key, bool remove);

// Sequential reading of "\k\v\k\v": drops everything up to and including the
// first backslash, then takes the field up to the next backslash.
std::string NextField(std::string& text);

// --- 6-bit text code --------------------------------------------------------

// Standard alphabet and bit order, last group zero-filled, no "=" padding.
std::string EncodeBase64(const void* bytes, std::size_t n);
std::string EncodeBase64(std::string_view bytes);
// Characters EncodeBase64 makes of `n` bytes.
constexpr std::size_t Base64Length(std::size_t n) { return (n + 2) / 3 * 4; }
// Writes the Base64Length(n) characters to `out`, allocating nothing.
void EncodeBase64To(const void* bytes, std::size_t n, char* out);

// Writes exactly `n` bytes to `out`; characters outside the alphabet and
// characters missing at the end count as 0.
void DecodeBase64(std::string_view text, void* out, std::size_t n);

// --- stream cipher ----------------------------------------------------------

// RC4 key schedule; the standard keystream when `standard`, otherwise the
// data-driven keystream of the master list's challenge. `key` must not be
// empty (an empty key leaves the buffer unchanged).
void Crypt(void* buffer, std::size_t length, std::string_view key, bool standard);

// The RC4 state after the key schedule, so that callers enciphering many
// buffers under one fixed key can run the schedule once and copy the state.
struct Rc4State {
    uint8_t s[256];
    void Schedule(std::string_view key);
    // Standard keystream from the start, applied in place; the state is a copy.
    void Apply(void* buffer, std::size_t length) const;
};

// --- small helpers ----------------------------------------------------------

// Sum over positions p (from 1) of byte + (p mod 256), 32-bit wrapping.
uint32_t TextChecksum(std::string_view text);

std::string HostOf(std::string_view address);
std::string PortOf(std::string_view address, std::string_view defaultPort);
bool IsAddressText(std::string_view text);

// The process-wide random generator (seeded from the tick count at start).
void RandomSeed(uint32_t seed);
// A random integer from 0 to range - 1 (0 when range <= 0).
int32_t RandomInt(int32_t range);
std::string RandomText(int n);

int32_t RoundForDisplay(double x);
inline int32_t MinOf(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t MaxOf(int32_t a, int32_t b) { return a > b ? a : b; }

// --- number conversion ------------------------------------------------------

// The value of a hexadecimal digit (either case), -1 for any other character.
inline int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Integer text as the program reads numbers everywhere: leading blanks, an
// optional sign, then decimal digits or hexadecimal after "$", "x" or "0x";
// nothing may follow; the value must fit 32 bits.
bool TryStrToInt(std::string_view text, int32_t& value);
// Strict: raises EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view text);
// Lenient: `def` when the text is not a number.
int32_t StrToIntDef(std::string_view text, int32_t def);
// Numbers of the lobby's records, which are decimal: an optional "-" and
// digits, nothing before or after them (no blank, no "+", no "$", "x" or
// "0x"); the value must fit 32 bits. Strict and lenient as above.
bool TryDecimalToInt(std::string_view text, int32_t& value);
int32_t DecimalToInt(std::string_view text);
int32_t DecimalToIntDef(std::string_view text, int32_t def);
// Unsigned 32-bit decimal, as tick counts are written; `def` otherwise.
uint32_t StrToUIntDef(std::string_view text, uint32_t def);

// Equal when ASCII letters are compared without regard to case; every other
// byte must match exactly.
bool SameText(std::string_view a, std::string_view b);

// Leading and trailing blanks and control characters removed.
std::string Trim(std::string_view text);
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// Replaces every occurrence of `from` by `to`.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
