// The message-of-the-day service's rules, apart from any socket or file:
// what a request says, what the operator's news file holds, which reply a
// request gets (version expiry, update lines, the size of a datagram), the
// query strings of the web pages and the redirect's allowed addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The fields of a request, in their order. A "|" typed into the e-mail
// box shifts the fields after it: they are taken as they come.
struct TMotdRequest {
    std::string version;
    std::string product;
    std::string email;
    std::string code;
    std::string distcode;
    std::string flag;
    std::string notify;
    std::string realname;
    std::string age;
    std::string zip;
};

// A request is "MOTD" and at least ten more fields, each ended by "|",
// whose version is one to nine digits. Anything else is not a request.
std::optional<TMotdRequest> ParseMotdRequest(std::string_view text);

// The operator's news: header lines "name=value" (blank lines and lines
// beginning with "#" above the marker are left out), the marker line "MOTD",
// then the message, kept byte for byte. A file without a marker line is all
// message.
struct TNews {
    std::vector<std::string> headers;
    std::string body;
};
TNews ParseNewsFile(std::string_view text);

// Header lines announcing a new version: "updatever", "updatedesc",
// "updatesize", "updateurl", "dlcount", "dlN" and "dlNdesc" (any case).
bool IsUpdateLine(std::string_view line);

// Version bounds; 0 leaves the rule out.
struct TVersionRules {
    uint32_t minVersion = 0;      // below it a request is told its version expired
    uint32_t latestVersion = 0;   // below it (and asking to be told) it gets the update lines
};

struct TMotdVerdict {
    bool expired = false;
    bool update = false;
};
TMotdVerdict JudgeRequest(const TMotdRequest& request, const TVersionRules& rules);

// The header lines for the request, the marker ("MOTD" or "MOTD-EXPIRED")
// and the message, lines ended by CR LF. With a `limit` (a datagram), the
// marker always goes, header lines only whole and in order while they fit,
// and the message is cut at the end of the last line that fits.
// Empty when there is nothing to tell (no header line for this request, no
// message, not expired): the client then shows no empty News window.
std::string ComposeMotdReply(const TNews& news, const TMotdVerdict& verdict, std::size_t limit = 0);

// --- web pages ------------------------------------------------------------------

// "+" is a blank and "%hh" a byte; a "%" not followed by two hexadecimal
// digits stays as it is.
std::string UrlDecode(std::string_view text);

// The decoded value of the first `key`=value pair of a query string.
std::optional<std::string> QueryValue(std::string_view query, std::string_view key);

// Where the redirect page may send a browser: an "http://" or "https://"
// address (scheme in any case) with a host. Bytes that may not stand in a
// header are percent-encoded. Nothing for any other address.
std::optional<std::string> RedirectLocation(std::string_view url);

// A text fit for one log line: bytes outside printable ASCII become "?",
// and it is cut to `max` bytes.
std::string LogSafe(std::string_view text, std::size_t max = 64);
