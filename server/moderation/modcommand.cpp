#include "modcommand.h"

#include <cctype>
#include <charconv>

namespace {

struct TVerbName {
    const char* name;
    TModVerb verb;
};

constexpr TVerbName kVerbs[] = {
    {"players", TModVerb::Players}, {"games", TModVerb::Games},   {"kick", TModVerb::Kick},
    {"ban", TModVerb::Ban},         {"unban", TModVerb::Unban},   {"bans", TModVerb::Bans},
    {"mute", TModVerb::Mute},       {"unmute", TModVerb::Unmute}, {"notice", TModVerb::Notice},
    {"log", TModVerb::Log},         {"reload", TModVerb::Reload},
};

constexpr int64_t kTenYears = int64_t(3653) * 86400;

// ASCII only, as the lobby's names are compared: no locale in the way.
char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

bool AllDigits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string AddressText(uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255)
           + "." + std::to_string(a & 255);
}

} // namespace

bool TBanTarget::Matches(uint32_t address) const
{
    if (kind == TKind::Name)
        return false;
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
    return (address & mask) == net;
}

std::optional<uint32_t> ParseIPv4(std::string_view text)
{
    // Exactly four decimal parts of one to three digits, each at most 255.
    uint32_t value = 0;
    int parts = 0;
    std::size_t pos = 0;
    for (;;) {
        std::size_t end = text.find('.', pos);
        std::string_view part = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        unsigned n = 256;
        if (AllDigits(part) && part.size() <= 3)
            std::from_chars(part.data(), part.data() + part.size(), n);
        if (n > 255 || ++parts > 4)
            return std::nullopt;
        value = (value << 8) | n;
        if (end == std::string_view::npos)
            break;
        pos = end + 1;
    }
    if (parts != 4)
        return std::nullopt;
    return value;
}

std::optional<TBanTarget> ParseBanTarget(std::string_view text, std::string& error)
{
    const bool numeric = !text.empty() && text.find('.') != std::string_view::npos
                         && text.find_first_not_of("0123456789./") == std::string_view::npos;
    TBanTarget t;
    if (numeric) {
        std::size_t slash = text.find('/');
        auto address = ParseIPv4(text.substr(0, slash));
        if (!address) {
            error = "not an IPv4 address: " + std::string(text);
            return std::nullopt;
        }
        t.kind = TBanTarget::TKind::Address;
        t.prefix = 32;
        if (slash != std::string_view::npos) {
            std::string_view bits = text.substr(slash + 1);
            int prefix = -1;
            if (AllDigits(bits) && bits.size() <= 2)
                std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
            if (prefix < 0 || prefix > 32) {
                error = "not a CIDR range (prefix 0 to 32): " + std::string(text);
                return std::nullopt;
            }
            t.kind = TBanTarget::TKind::Range;
            t.prefix = prefix;
        }
        const uint32_t mask = t.prefix == 0 ? 0 : ~uint32_t(0) << (32 - t.prefix);
        t.net = *address & mask;
        t.text = AddressText(t.net);
        if (t.kind == TBanTarget::TKind::Range)
            t.text += "/" + std::to_string(t.prefix);
        return t;
    }
    std::size_t letters = 0;
    for (char c : text)
        letters += c != '*';
    if (letters == 0) {
        error = "a name pattern needs at least one character besides '*'";
        return std::nullopt;
    }
    if (letters > 31) {
        error = "a name pattern has at most 31 characters besides '*'";
        return std::nullopt;
    }
    if (!PlainText(text)) {
        error = "a name pattern may not hold a backslash or control characters";
        return std::nullopt;
    }
    t.kind = TBanTarget::TKind::Name;
    t.text = std::string(text);
    return t;
}

bool NamePatternMatches(std::string_view pattern, std::string_view name)
{
    // Greedy matching with one point to come back to: linear for the usual
    // patterns, at worst pattern x name, and never recursive.
    std::size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(name[n])) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::optional<int64_t> ParseDuration(std::string_view text)
{
    if (text.size() < 2 || text.size() > 12)
        return std::nullopt;
    std::string_view digits = text.substr(0, text.size() - 1);
    if (!AllDigits(digits))
        return std::nullopt;
    int64_t unit = 0;
    switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    case 'w': unit = 7 * 86400; break;
    default: return std::nullopt;
    }
    int64_t n = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (n <= 0 || n > kTenYears / unit)
        return std::nullopt;
    return n * unit;
}

std::string DurationText(int64_t s)
{
    if (s % (7 * 86400) == 0)
        return std::to_string(s / (7 * 86400)) + "w";
    if (s % 86400 == 0)
        return std::to_string(s / 86400) + "d";
    if (s % 3600 == 0)
        return std::to_string(s / 3600) + "h";
    if (s % 60 == 0)
        return std::to_string(s / 60) + "m";
    return std::to_string(s) + "s";
}

bool PlainText(std::string_view text)
{
    for (unsigned char c : text)
        if (c == '\\' || c < 0x20 || c == 0x7F)
            return false;
    return true;
}

std::optional<TModCommand> ParseModCommand(const std::vector<std::string>& words, std::string& error)
{
    if (words.empty()) {
        error = "no command given";
        return std::nullopt;
    }
    TModCommand cmd;
    bool known = false;
    for (const TVerbName& v : kVerbs)
        if (words[0] == v.name) {
            cmd.verb = v.verb;
            known = true;
        }
    if (!known) {
        error = "unknown command: " + words[0];
        return std::nullopt;
    }
    const std::string& verb = words[0];
    // Options first, by name; what is left are the positional words.
    std::vector<std::string> rest;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        auto value = [&](const char* option) -> const std::string* {
            if (i + 1 >= words.size()) {
                error = std::string(option) + " needs a value";
                return nullptr;
            }
            return &words[++i];
        };
        auto allowed = [&](bool ok) {
            if (!ok)
                error = verb + " takes no " + w;
            return ok;
        };
        if (w == "--json") {
            if (!allowed(cmd.verb == TModVerb::Players || cmd.verb == TModVerb::Games))
                return std::nullopt;
            cmd.json = true;
        } else if (w == "--reason") {
            if (!allowed(cmd.verb == TModVerb::Kick || cmd.verb == TModVerb::Ban))
                return std::nullopt;
            const std::string* v = value("--reason");
            if (!v)
                return std::nullopt;
            if (!PlainText(*v)) {
                error = "a reason may not hold a backslash or control characters";
                return std::nullopt;
            }
            cmd.reason = *v;
        } else if (w == "--for") {
            if (!allowed(cmd.verb == TModVerb::Ban || cmd.verb == TModVerb::Mute))
                return std::nullopt;
            const std::string* v = value("--for");
            if (!v)
                return std::nullopt;
            auto d = ParseDuration(*v);
            if (!d) {
                error = "not a duration (like 30m, 12h, 7d): " + *v;
                return std::nullopt;
            }
            cmd.forSeconds = *d;
        } else if (w == "--to") {
            if (!allowed(cmd.verb == TModVerb::Notice))
                return std::nullopt;
            const std::string* v = value("--to");
            if (!v)
                return std::nullopt;
            cmd.to = *v;
        } else if (w == "--last") {
            if (!allowed(cmd.verb == TModVerb::Log))
                return std::nullopt;
            const std::string* v = value("--last");
            if (!v)
                return std::nullopt;
            int n = 0;
            if (!AllDigits(*v) || v->size() > 6 || (std::from_chars(v->data(), v->data() + v->size(), n), n <= 0)) {
                error = "--last needs a positive number: " + *v;
                return std::nullopt;
            }
            cmd.last = n;
        } else if (w.size() > 2 && w.rfind("--", 0) == 0) {
            error = "unknown option for " + verb + ": " + w;
            return std::nullopt;
        } else {
            rest.push_back(w);
        }
    }
    switch (cmd.verb) {
    case TModVerb::Players:
    case TModVerb::Games:
    case TModVerb::Bans:
    case TModVerb::Log:
    case TModVerb::Reload:
        if (!rest.empty()) {
            error = verb + " takes no arguments";
            return std::nullopt;
        }
        return cmd;
    case TModVerb::Notice: {
        // The words of the text, as a shell hands them over.
        std::string text;
        for (const std::string& w : rest)
            text += (text.empty() ? "" : " ") + w;
        if (text.empty()) {
            error = "notice needs a text";
            return std::nullopt;
        }
        if (!PlainText(text)) {
            error = "a notice may not hold a backslash or control characters";
            return std::nullopt;
        }
        cmd.text = text;
        return cmd;
    }
    default:
        break;
    }
    if (rest.size() != 1) {
        error = verb + (rest.empty() ? " needs a target" : " takes one target");
        return std::nullopt;
    }
    cmd.target = rest[0];
    if (cmd.verb == TModVerb::Ban) {
        auto t = ParseBanTarget(cmd.target, error);
        if (!t)
            return std::nullopt;
        cmd.target = t->text;
    } else if (cmd.verb == TModVerb::Unban) {
        std::string ignored;
        if (!AllDigits(cmd.target) && !ParseBanTarget(cmd.target, error))
            return std::nullopt;
    } else if (!PlainText(cmd.target) || cmd.target.size() > 31) {
        error = "not a nickname: " + cmd.target;
        return std::nullopt;
    }
    return cmd;
}

std::string JoinRequest(const std::vector<std::string>& words)
{
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i)
        line += (i ? "\t" : "") + words[i];
    return line;
}

std::vector<std::string> SplitRequest(std::string_view line)
{
    std::vector<std::string> words;
    if (line.empty())
        return words;
    std::size_t pos = 0;
    for (;;) {
        std::size_t tab = line.find('\t', pos);
        words.emplace_back(line.substr(pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos));
        if (tab == std::string_view::npos)
            break;
        pos = tab + 1;
    }
    return words;
}
