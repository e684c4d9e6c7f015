#include "ftpparse.h"

#include <algorithm>

namespace ftp {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool HasCode(std::string_view line)
{
    return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

// The line at the front of `input` (line end removed) and the bytes it takes
// with its line end; used == 0 when it is not whole yet.
struct Line {
    std::string_view text;
    std::size_t used = 0;
    bool tooLong = false;
};

Line NextLine(std::string_view input)
{
    Line l;
    // Never search further than the longest line may reach, so a peer that
    // sends no line end costs no more than that.
    const std::size_t window = std::min(input.size(), kMaxLine + 2);
    const std::size_t lf = input.substr(0, window).find('\n');
    if (lf == std::string_view::npos) {
        l.tooLong = input.size() > kMaxLine + 1 || (input.size() == kMaxLine + 1 && input.back() != '\r');
        return l;
    }
    l.text = input.substr(0, lf);
    if (!l.text.empty() && l.text.back() == '\r')
        l.text.remove_suffix(1);
    if (l.text.size() > kMaxLine) {
        l.tooLong = true;
        return l;
    }
    l.used = lf + 1;
    return l;
}

} // namespace

Reply NextReply(std::string_view input)
{
    Reply r;
    std::size_t at = 0;
    std::string_view code;
    for (;;) {
        const Line l = NextLine(input.substr(at));
        if (l.tooLong) {
            r.status = ReplyStatus::TooLong;
            r.lines.clear();
            return r;
        }
        if (l.used == 0) {
            // Waiting for more: a reply that has already passed its bound never ends well.
            if (input.size() >= kMaxReply)
                r.status = ReplyStatus::TooLong;
            r.lines.clear();
            return r;
        }
        if (at + l.used > kMaxReply) {
            r.status = ReplyStatus::TooLong;
            r.lines.clear();
            return r;
        }
        at += l.used;
        r.lines.push_back(l.text);
        if (r.lines.size() == 1) {
            if (!HasCode(l.text)) {
                break;   // not a reply line: taken as a reply of its own, with code 0
            }
            code = l.text.substr(0, 3);
            r.code = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
            if (l.text.size() < 4 || l.text[3] != '-')
                break;
            continue;
        }
        if (l.text.substr(0, 3) == code && (l.text.size() == 3 || l.text[3] == ' '))
            break;
    }
    r.status = ReplyStatus::Complete;
    r.used = at;
    return r;
}

std::optional<PassiveAddress> ParsePassiveReply(std::string_view line)
{
    // Skip the code, then try each run of digits as the start of the six numbers.
    std::size_t start = HasCode(line) ? 3 : 0;
    for (std::size_t i = start; i < line.size(); ++i) {
        if (!IsDigit(line[i]) || (i > start && IsDigit(line[i - 1])))
            continue;
        unsigned n[6];
        std::size_t p = i;
        int got = 0;
        for (; got < 6; ++got) {
            if (p >= line.size() || !IsDigit(line[p]))
                break;
            unsigned v = 0;
            int digits = 0;
            while (p < line.size() && IsDigit(line[p]) && digits < 4) {
                v = v * 10 + unsigned(line[p] - '0');
                ++p;
                ++digits;
            }
            if (v > 255 || (p < line.size() && IsDigit(line[p])))
                break;
            n[got] = v;
            if (got < 5) {
                if (p >= line.size() || line[p] != ',')
                    break;
                ++p;
            }
        }
        if (got == 6) {
            PassiveAddress a;
            a.host = (uint32_t(n[0]) << 24) | (uint32_t(n[1]) << 16) | (uint32_t(n[2]) << 8) | uint32_t(n[3]);
            a.port = uint16_t((n[4] << 8) | n[5]);
            return a;
        }
    }
    return std::nullopt;
}

std::string PortArgument(uint32_t host, uint16_t port)
{
    return std::to_string((host >> 24) & 255) + "," + std::to_string((host >> 16) & 255) + "," +
           std::to_string((host >> 8) & 255) + "," + std::to_string(host & 255) + "," + std::to_string(port >> 8) +
           "," + std::to_string(port & 255);
}

std::optional<int64_t> ParseSizeReply(std::string_view line)
{
    if (!HasCode(line))
        return std::nullopt;
    std::string_view rest = line.substr(3);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
        rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t'))
        rest.remove_suffix(1);
    if (rest.empty() || rest.size() > 18)
        return std::nullopt;
    int64_t v = 0;
    for (char c : rest) {
        if (!IsDigit(c))
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

} // namespace ftp
