// The pure parts of the FTP client: reading server replies (single- and
// multi-line) from the bytes received so far, and the numbers inside the
// replies the download needs (the passive-mode address, the file size).
// Nothing here touches a socket; TFtpClient (Ftpcli.h) feeds these with what
// arrives, and the tests and the fuzzer call them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ftp {

// A reply line longer than this (without its line end) is refused.
constexpr std::size_t kMaxLine = 4096;
// A whole reply (every line of a multi-line reply, with line ends).
constexpr std::size_t kMaxReply = 64 * 1024;

enum class ReplyStatus {
    Incomplete,  // more bytes are needed
    Complete,    // a whole reply; `used` bytes of the input belong to it
    TooLong,     // a line over kMaxLine, or a reply over kMaxReply
};

struct Reply {
    ReplyStatus status = ReplyStatus::Incomplete;
    // The three-digit code of the reply; 0 when its first line does not begin
    // with one (a server that does not speak FTP).
    int code = 0;
    // Every line, line end removed; they point into the input.
    std::vector<std::string_view> lines;
    std::size_t used = 0;
};

// The next reply at the front of `input`. Lines end with LF; a CR before it
// is dropped. A line "ddd-..." opens a multi-line reply, which ends with the
// first later line that begins with the same three digits and a blank (a line
// of exactly those three digits ends it too). Any other first line is a
// reply of one line.
Reply NextReply(std::string_view input);

// The data address of a "227" reply: the first run of six comma-separated
// numbers of 0..255 ("227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)").
struct PassiveAddress {
    uint32_t host = 0;   // host byte order: h1 is the top byte
    uint16_t port = 0;
};
std::optional<PassiveAddress> ParsePassiveReply(std::string_view line);

// The "PORT" argument for an address and port: "h1,h2,h3,h4,p1,p2".
std::string PortArgument(uint32_t host, uint16_t port);

// The size in a "213" reply line ("213 12345"); nothing when the text after
// the code is not a plain decimal number that fits 63 bits.
std::optional<int64_t> ParseSizeReply(std::string_view line);

} // namespace ftp
