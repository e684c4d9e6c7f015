// The moderators' commands as words (what parlevoctl is given and what it
// sends over the control socket), their targets and durations. Pure: no
// socket, no database, no clock. parlevoctl checks its arguments with the
// same functions parlevod reads the request with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class TModVerb { Players, Games, Kick, Ban, Unban, Bans, Mute, Unmute, Notice, Log, Reload };

// What a ban applies to: one IPv4 address, a CIDR range, or a nickname
// pattern in which `*` stands for any run of characters.
struct TBanTarget {
    enum class TKind { Address, Range, Name };
    TKind kind = TKind::Name;
    std::string text;        // as stored and listed: "10.0.0.0/8" with the host bits cleared
    uint32_t net = 0;        // address or range, host order
    int prefix = 32;         // bits of the range; 32 for an address

    bool Matches(uint32_t address) const;
};

struct TModCommand {
    TModVerb verb = TModVerb::Players;
    std::string target;      // NAME for kick/mute/unmute, TARGET for ban, ID|TARGET for unban
    std::string reason;      // --reason
    std::string to;          // notice --to
    std::string text;        // the notice's text
    int64_t forSeconds = 0;  // --for; 0 = for ever
    int last = 20;           // log --last
    bool json = false;       // players/games --json
};

// The request's words, parsed; nullopt and `error` set when they are not a
// command (an unknown verb, a missing or malformed value, a stray word).
std::optional<TModCommand> ParseModCommand(const std::vector<std::string>& words, std::string& error);

// "30m", "12h", "7d", "45s", "2w": seconds; nullopt for anything else, zero,
// or more than ten years.
std::optional<int64_t> ParseDuration(std::string_view text);
// A duration in seconds as the shortest of those forms that is exact.
std::string DurationText(int64_t seconds);

// An address ("192.0.2.7"), a range ("10.0.0.0/8") or a name pattern. Text
// made of digits and dots with a dot in it is an address or range and must be
// a valid one; anything else is a name pattern, held to the nickname rules
// (at most 31 characters besides the stars, no backslash or control characters).
std::optional<TBanTarget> ParseBanTarget(std::string_view text, std::string& error);
// Dotted IPv4 text to a host-order number.
std::optional<uint32_t> ParseIPv4(std::string_view text);

// Does `name` match `pattern`, `*` matching any run of characters, letters
// compared without regard to case (ASCII)?
bool NamePatternMatches(std::string_view pattern, std::string_view name);

// A text that can go in a lobby notice or a control reply line: no
// backslash (it would end the value on the wire) and no control characters.
bool PlainText(std::string_view text);

// The control socket's request is one line: the words joined by tabs.
std::string JoinRequest(const std::vector<std::string>& words);
std::vector<std::string> SplitRequest(std::string_view line);
