// The message of the day as text: the request the News window sends, the
// reply it splits into header lines and message, the settings those header
// lines carry, and the links found in the message. Pure C++, no Qt: texts
// are bytes in the players' code page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// --- request ----------------------------------------------------------------

// What goes into one request. The flag field is always "1" and is not a
// member; an empty distribution code goes out as "N".
struct TMotdRequestFields {
    std::string version;     // the build's three version parts, "150101"
    std::string product;     // the build's product game name, "quillet"
    std::string email;
    std::string code;        // installation code
    std::string distcode;
    bool notify = true;      // "Notify me when a new version comes out"
    std::string realname;
    std::string age;
    std::string zip;
};

// The eleven fields, each followed by "|"; nothing is escaped, so a "|"
// typed into a free-text field splits that field.
std::string BuildMotdRequest(const TMotdRequestFields& fields);

// The request as one datagram: blanks after its last "|" (the service reads
// no further) bring it to kMotdDatagramRequestBytes. A service answers a
// datagram with at most three times its size, since its source could be
// forged; padded, the request earns a whole 1,400-byte reply.
constexpr std::size_t kMotdDatagramRequestBytes = 470;
std::string PadMotdDatagram(std::string request);

// --- reply ------------------------------------------------------------------

// Lines separated by CR LF, LF or CR. A line end at the very end adds no
// empty line; the empty text has no lines.
std::vector<std::string> SplitMotdLines(std::string_view text);

struct TMotdReply {
    std::vector<std::string> headers;   // the lines above the marker
    std::vector<std::string> body;      // the lines below it
    bool expired = false;               // the marker was "MOTD-EXPIRED"
    bool rtf = false;                   // "{\rtf" anywhere in the reply

    // The message as the window loads it: every body line followed by CR LF.
    std::string BodyText() const;
};

// Header lines run from the top to the first line that is exactly "MOTD" or
// "MOTD-EXPIRED"; the rest is the message. Without a marker every line is a
// header line and the message is empty.
TMotdReply SplitMotdReply(std::string_view reply);

// The reply's checksum as the "motdck" setting holds it: TextChecksum of
// the whole reply as a signed 32-bit decimal number.
std::string MotdChecksumText(std::string_view reply);

// --- header lines -----------------------------------------------------------

// The text after "=" on the first header line whose name (the part before
// its first "=") equals `name` regardless of letter case; empty when none.
std::string MotdHeaderValue(const std::vector<std::string>& headers, std::string_view name);

struct TMotdSetting {
    std::string name;
    std::string value;
};

struct TMotdHeaderSettings {
    std::vector<TMotdSetting> settings;   // in the order of the lines
    bool newVersion = false;              // a line named exactly "updatever"
};

// One setting for every header line holding "=" whose name holds no "<".
// The value is that of the first line with the same name (letter case
// aside), so two lines of one name write the first line's value twice.
TMotdHeaderSettings MotdHeaderSettings(const std::vector<std::string>& headers);

// Whether the news may set the program value `name` on its own (unsigned
// news): the update information ("updatever", "updatedesc", "updatesize",
// "updateurl", "dlcount", "dl"N, "dl"N"desc", "dl"N"sha256",
// "updatesha256"), the link-table fields of the named entries
// (<entry>"text", "url", "hint"), "bannerinterval" and "distcode". Letter
// case aside. Everything else, the network's hosts and the client's own
// values among them, is not the news's to change.
bool MotdSettingAllowed(std::string_view name);

// The client's own values: never taken from the news, signed or not.
bool MotdSettingReserved(std::string_view name);

// --- links ------------------------------------------------------------------

struct TMotdLink {
    std::size_t start = 0;    // in characters of the text searched
    std::size_t length = 0;
};

// Addresses in a message: a scheme name from the list the window knows
// ("http", "https", "ftp", "mailto", "news", ...) followed by ":" and at
// least one more character, starting a word. A link runs to the next blank,
// control character, angle bracket or double quote; punctuation closing a
// sentence is left out. The first form takes bytes, the second UTF-16 text
// (what a text document holds); both count positions in their own units.
std::vector<TMotdLink> FindMotdLinks(std::string_view text);
std::vector<TMotdLink> FindMotdLinks(std::u16string_view text);
