// The pure parts of the HTTP client: splitting a URL into its parts, and
// reading a reply (status line, header lines, body pieces) from the bytes
// received so far. Nothing here touches a socket; THttpCli (HttpProt.h) feeds
// these with what arrives, and the tests and the fuzzer call them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// --- URL split ------------------------------------------------------------

struct TUrlParts {
    std::string Proto;     // scheme, as written ("http", "ftp", "mailto"); may be empty
    std::string User;
    std::string Pass;
    std::string Host;
    std::string Port;      // empty when the URL names none
    std::string Path;      // from the first "/" on; empty when there is none
};

// Splits a URL the way the download list and the HTTP client read it:
// - the scheme is the text before "://" (when no "/" comes before it); a URL
//   beginning with "/" is an "http" path; "mailto:" and "http:" without "//"
//   give those schemes;
// - after the scheme, the path runs from the first "/" on, and the part
//   before it is the authority;
// - in the authority, text after the last "@" up to its last ":" is the host,
//   text after that ":" the port; text before "@" is user and password,
//   split at its first ":"; with neither, the whole authority is the host.
TUrlParts SplitURL(std::string_view url);

// --- reply reader ---------------------------------------------------------

namespace http {

// A header line longer than this (without its line end) is refused.
constexpr std::size_t kMaxLine = 8192;
// The whole header (status line, header lines and their line ends).
constexpr std::size_t kMaxHeader = 64 * 1024;

enum class Piece {
    Incomplete,     // more bytes are needed
    StatusLine,     // the first line of the reply
    HeaderLine,     // a line of the header, line end removed
    HeaderEnd,      // the empty line that ends the header
    Body,           // document bytes (everything after the header)
    LineTooLong,    // a header line over kMaxLine: the reply cannot be read
    HeaderTooLong,  // the header passed kMaxHeader: the reply cannot be read
};

// Where a reply stands; the reader returns the next cursor with each piece.
struct ReplyCursor {
    bool statusSeen = false;
    bool inBody = false;
    std::size_t headerBytes = 0;
};

struct ReplyPiece {
    Piece piece = Piece::Incomplete;
    std::string_view text;   // the line, or the body bytes; points into the input
    std::size_t used = 0;    // bytes of the input taken by this piece
    ReplyCursor next;        // the cursor after this piece
};

// The next piece of a reply from `input`, the bytes not yet taken. Lines end
// with LF; a CR before it is dropped. In the body every byte is document.
ReplyPiece NextPiece(const ReplyCursor& cursor, std::string_view input);

struct StatusLine {
    bool valid = false;      // the line begins with "HTTP/1.0" or "HTTP/1.1"
    int status = 0;          // the three digits at columns 10 to 12 (0 when not digits)
    std::string reason;      // from column 14 on
};
StatusLine ParseStatusLine(std::string_view line);

// "Name: value" gives the name and the value without surrounding blanks;
// false when the line has no ":".
bool SplitHeader(std::string_view line, std::string_view& name, std::string_view& value);

// "Content-Length" value; -1 when it is not a plain decimal number.
int64_t ParseContentLength(std::string_view value);

} // namespace http
