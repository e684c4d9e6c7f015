#include "motdrules.h"

#include "text/textfuncs.h"

#include <algorithm>

namespace {

constexpr std::size_t kRequestFields = 11;

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A line of `text` from `at`: its length, and where the next one begins.
struct TLine {
    std::string_view text;
    std::size_t next;
};

TLine LineAt(std::string_view text, std::size_t at)
{
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos)
        return {text.substr(at), text.size()};
    std::size_t next = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    return {text.substr(at, end - at), next};
}

// Below `bound`, for a version of digits only; a bound of 0 holds nothing.
bool Below(std::string_view version, uint32_t bound)
{
    if (bound == 0 || !AllDigits(version))
        return false;
    std::size_t first = version.find_first_not_of('0');
    if (first == std::string_view::npos)
        return true;
    version.remove_prefix(first);
    if (version.size() > 10)
        return false;
    return std::stoull(std::string(version)) < bound;
}

} // namespace

std::optional<TMotdRequest> ParseMotdRequest(std::string_view text)
{
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    for (std::size_t bar; (bar = text.find('|', at)) != std::string_view::npos; at = bar + 1)
        fields.push_back(text.substr(at, bar - at));
    if (fields.size() < kRequestFields || fields[0] != "MOTD" || fields[1].size() > 9 || !AllDigits(fields[1]))
        return std::nullopt;
    TMotdRequest r;
    std::string* targets[] = {&r.version, &r.product, &r.email, &r.code, &r.distcode,
                              &r.flag, &r.notify, &r.realname, &r.age, &r.zip};
    for (std::size_t i = 0; i < std::size(targets); ++i)
        targets[i]->assign(fields[i + 1]);
    return r;
}

TNews ParseNewsFile(std::string_view text)
{
    TNews news;
    std::vector<std::string> headers;
    for (std::size_t at = 0; at < text.size();) {
        TLine line = LineAt(text, at);
        if (line.text == "MOTD" || line.text == "MOTD-EXPIRED") {
            news.headers = std::move(headers);
            news.body.assign(text.substr(line.next));
            return news;
        }
        if (!line.text.empty() && line.text[0] != '#')
            headers.emplace_back(line.text);
        at = line.next;
    }
    // No marker: the file is all message.
    news.body.assign(text);
    return news;
}

bool IsUpdateLine(std::string_view line)
{
    std::string name = LowerCase(line.substr(0, line.find('=')));
    if (name == "updatever" || name == "updatedesc" || name == "updatesize" || name == "updateurl"
        || name == "dlcount")
        return true;
    if (name.size() < 3 || name.compare(0, 2, "dl") != 0)
        return false;
    std::string_view rest = std::string_view(name).substr(2);
    if (rest.size() > 4 && rest.substr(rest.size() - 4) == "desc")
        rest.remove_suffix(4);
    return AllDigits(rest);
}

TMotdVerdict JudgeRequest(const TMotdRequest& request, const TVersionRules& rules)
{
    TMotdVerdict v;
    v.expired = Below(request.version, rules.minVersion);
    v.update = request.notify == "1" && Below(request.version, rules.latestVersion);
    return v;
}

std::string ComposeMotdReply(const TNews& news, const TMotdVerdict& verdict, std::size_t limit)
{
    if (!verdict.expired && news.body.empty()
        && std::all_of(news.headers.begin(), news.headers.end(),
                       [&](const std::string& line) { return !verdict.update && IsUpdateLine(line); }))
        return {};
    const std::string marker = verdict.expired ? "MOTD-EXPIRED\r\n" : "MOTD\r\n";
    const std::size_t room = limit == 0 ? SIZE_MAX : std::max(limit, marker.size());
    std::string reply;
    for (const std::string& line : news.headers) {
        if (!verdict.update && IsUpdateLine(line))
            continue;
        if (reply.size() + line.size() + 2 + marker.size() > room)
            break;
        reply += line;
        reply += "\r\n";
    }
    reply += marker;
    if (reply.size() + news.body.size() <= room) {
        reply += news.body;
        return reply;
    }
    // Whole lines of the message while they fit.
    std::string_view body = news.body;
    std::size_t fits = 0;
    for (std::size_t at = 0; at < body.size();) {
        TLine line = LineAt(body, at);
        if (line.next == body.size() && line.text.size() == body.size() - at)
            break;   // the last line has no line end: it cannot be whole in a cut message
        if (reply.size() + line.next > room)
            break;
        fits = line.next;
        at = line.next;
    }
    reply.append(body.substr(0, fits));
    return reply;
}

std::string UrlDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
            out += char(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view key)
{
    std::size_t at = 0;
    while (at <= query.size()) {
        std::size_t end = std::min(query.find('&', at), query.size());
        std::string_view pair = query.substr(at, end - at);
        std::size_t eq = pair.find('=');
        if (UrlDecode(pair.substr(0, eq)) == key)
            return eq == std::string_view::npos ? std::string() : UrlDecode(pair.substr(eq + 1));
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> RedirectLocation(std::string_view url)
{
    std::string lower = LowerCase(url.substr(0, 8));
    std::size_t scheme = lower.rfind("http://", 0) == 0 ? 7 : lower.rfind("https://", 0) == 0 ? 8 : 0;
    if (scheme == 0 || url.size() == scheme || url[scheme] == '/' || url[scheme] == '\\'
        || url[scheme] == '?' || url[scheme] == '#')
        return std::nullopt;
    static const char kHex[] = "0123456789ABCDEF";
    std::string location;
    for (char c : url) {
        auto b = static_cast<unsigned char>(c);
        if (b > 0x20 && b < 0x7F) {
            location += c;
        } else {
            location += '%';
            location += kHex[b >> 4];
            location += kHex[b & 15];
        }
    }
    return location;
}

std::string LogSafe(std::string_view text, std::size_t max)
{
    std::string out;
    for (char c : text.substr(0, max)) {
        auto b = static_cast<unsigned char>(c);
        out += (b >= 0x20 && b < 0x7F) ? c : '?';
    }
    if (text.size() > max)
        out += "...";
    return out;
}
