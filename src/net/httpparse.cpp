#include "httpparse.h"

#include "text/textfuncs.h"

#include <algorithm>
#include <cctype>

namespace {

bool StartsNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

} // namespace

TUrlParts SplitURL(std::string_view url)
{
    TUrlParts parts;
    if (!url.empty() && url.front() == '/') {
        parts.Proto = "http";
        parts.Path = std::string(url);
        return parts;
    }
    std::string_view rest = url;
    const std::size_t marker = url.find("://");
    if (marker != std::string_view::npos && url.substr(0, marker).find('/') == std::string_view::npos) {
        parts.Proto = std::string(url.substr(0, marker));
        rest = url.substr(marker + 3);
    } else if (StartsNoCase(url, "mailto:")) {
        parts.Proto = "mailto";
        rest = url.substr(7);
    } else if (StartsNoCase(url, "http:")) {
        parts.Proto = "http";
        rest = url.substr(5);
    }

    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    if (slash != std::string_view::npos)
        parts.Path = std::string(rest.substr(slash));

    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view login = authority.substr(0, at);
        const std::size_t colon = login.find(':');
        parts.User = std::string(login.substr(0, colon));
        if (colon != std::string_view::npos)
            parts.Pass = std::string(login.substr(colon + 1));
        authority = authority.substr(at + 1);
    }
    const std::size_t colon = authority.rfind(':');
    parts.Host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos)
        parts.Port = std::string(authority.substr(colon + 1));
    return parts;
}

namespace http {

ReplyPiece NextPiece(const ReplyCursor& cursor, std::string_view input)
{
    ReplyPiece r;
    r.next = cursor;
    if (cursor.inBody) {
        if (!input.empty()) {
            r.piece = Piece::Body;
            r.text = input;
            r.used = input.size();
        }
        return r;
    }
    // Only as much of the input as the longest line (with CR LF) may take is
    // searched, so a peer sending no line end costs no more than that.
    const std::size_t window = std::min(input.size(), kMaxLine + 2);
    const std::size_t lf = input.substr(0, window).find('\n');
    if (lf == std::string_view::npos) {
        const bool overLine = input.size() > kMaxLine + 1 ||
                              (input.size() == kMaxLine + 1 && input.back() != '\r');
        if (overLine)
            r.piece = Piece::LineTooLong;
        else if (cursor.headerBytes + input.size() >= kMaxHeader)
            r.piece = Piece::HeaderTooLong;
        return r;
    }
    std::string_view line = input.substr(0, lf);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.size() > kMaxLine) {
        r.piece = Piece::LineTooLong;
        return r;
    }
    if (cursor.headerBytes + lf + 1 > kMaxHeader) {
        r.piece = Piece::HeaderTooLong;
        return r;
    }
    r.text = line;
    r.used = lf + 1;
    r.next.headerBytes += r.used;
    if (line.empty()) {
        r.piece = Piece::HeaderEnd;
        r.next.inBody = true;
    } else if (!cursor.statusSeen) {
        r.piece = Piece::StatusLine;
        r.next.statusSeen = true;
    } else {
        r.piece = Piece::HeaderLine;
    }
    return r;
}

StatusLine ParseStatusLine(std::string_view line)
{
    StatusLine s;
    if (line.substr(0, 8) != "HTTP/1.0" && line.substr(0, 8) != "HTTP/1.1")
        return s;
    s.valid = true;
    if (line.size() >= 12) {
        std::string_view digits = line.substr(9, 3);
        if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            s.status = (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
    }
    if (line.size() > 13)
        s.reason = std::string(line.substr(13));
    return s;
}

bool SplitHeader(std::string_view line, std::string_view& name, std::string_view& value)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    name = TrimBlanks(line.substr(0, colon));
    value = TrimBlanks(line.substr(colon + 1));
    return true;
}

int64_t ParseContentLength(std::string_view value)
{
    if (value.empty() || value.size() > 18)
        return -1;
    int64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

} // namespace http
