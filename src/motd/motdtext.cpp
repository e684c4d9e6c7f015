#include "motdtext.h"

#include "text/textfuncs.h"

#include <cstdint>

namespace {

const std::string_view kMarker = "MOTD";
const std::string_view kExpiredMarker = "MOTD-EXPIRED";

// The name of a header line: the text before its first "=".
std::string_view NameOf(std::string_view line)
{
    return line.substr(0, line.find('='));
}

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && LowerCase(a) == LowerCase(b);
}

// --- links ------------------------------------------------------------------

// Longer names first where one begins another ("https" before "http").
constexpr std::string_view kSchemes[] = {"e-mail", "https", "http", "file", "mailto", "ftp",
                                         "gopher", "nntp", "prospero", "telnet", "news", "wais"};

template <typename Char>
bool IsWordChar(Char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

template <typename Char>
bool EndsLink(Char c)
{
    const uint32_t u = uint32_t(std::make_unsigned_t<Char>(c));
    return u <= 0x20 || u == 0x7F || u == '<' || u == '>' || u == '"' || u == 0xA0 || u == 0x2028
           || u == 0x2029;
}

template <typename Char>
std::size_t SchemeAt(std::basic_string_view<Char> text, std::size_t at)
{
    for (std::string_view scheme : kSchemes) {
        if (at + scheme.size() + 1 > text.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < scheme.size() && same; ++i) {
            uint32_t c = uint32_t(std::make_unsigned_t<Char>(text[at + i]));
            if (c >= 'A' && c <= 'Z')
                c = c - 'A' + 'a';
            same = c == uint32_t(static_cast<unsigned char>(scheme[i]));
        }
        if (same && text[at + scheme.size()] == Char(':'))
            return scheme.size() + 1;
    }
    return 0;
}

template <typename Char>
std::vector<TMotdLink> FindLinks(std::basic_string_view<Char> text)
{
    std::vector<TMotdLink> links;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t prefix = 0;
        if (at == 0 || !IsWordChar(text[at - 1]))
            prefix = SchemeAt(text, at);
        if (prefix == 0) {
            ++at;
            continue;
        }
        std::size_t end = at + prefix;
        while (end < text.size() && !EndsLink(text[end]))
            ++end;
        // Leave out what closes the sentence around the address.
        bool hasOpen = false;
        for (std::size_t i = at; i < end; ++i)
            hasOpen = hasOpen || text[i] == Char('(');
        while (end > at + prefix) {
            Char last = text[end - 1];
            if (last == Char('.') || last == Char(',') || last == Char(';') || last == Char(':')
                || last == Char('!') || last == Char('?') || last == Char('\'')
                || (last == Char(')') && !hasOpen))
                --end;
            else
                break;
        }
        if (end > at + prefix)
            links.push_back({at, end - at});
        at = end > at + prefix ? end : at + prefix;
    }
    return links;
}

} // namespace

std::string BuildMotdRequest(const TMotdRequestFields& f)
{
    const std::string* fields[] = {&f.version, &f.product, &f.email, &f.code};
    std::string text(kMarker);
    text += '|';
    for (const std::string* field : fields)
        text += *field + '|';
    text += (f.distcode.empty() ? std::string("N") : f.distcode) + '|';
    text += "1|";
    text += f.notify ? "1|" : "0|";
    text += f.realname + '|' + f.age + '|' + f.zip + '|';
    return text;
}

std::string PadMotdDatagram(std::string request)
{
    if (request.size() < kMotdDatagramRequestBytes)
        request.resize(kMotdDatagramRequestBytes, ' ');
    return request;
}

std::vector<std::string> SplitMotdLines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(text.substr(start, i - start));
        i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

std::string TMotdReply::BodyText() const
{
    std::string text;
    for (const std::string& line : body)
        text += line + "\r\n";
    return text;
}

TMotdReply SplitMotdReply(std::string_view reply)
{
    TMotdReply r;
    std::vector<std::string> lines = SplitMotdLines(reply);
    std::size_t i = 0;
    for (; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (!line.empty() && line.back() == '\n')
            line.remove_suffix(1);
        if (line == kExpiredMarker) {
            r.expired = true;
            ++i;
            break;
        }
        if (line == kMarker) {
            ++i;
            break;
        }
        r.headers.emplace_back(line);
    }
    r.body.assign(lines.begin() + std::ptrdiff_t(i), lines.end());
    r.rtf = reply.find("{\\rtf") != std::string_view::npos;
    return r;
}

std::string MotdChecksumText(std::string_view reply)
{
    return std::to_string(int32_t(TextChecksum(reply)));
}

std::string MotdHeaderValue(const std::vector<std::string>& headers, std::string_view name)
{
    for (const std::string& line : headers) {
        std::size_t eq = line.find('=');
        if (eq != std::string::npos && SameName(NameOf(line), name))
            return line.substr(eq + 1);
    }
    return {};
}

TMotdHeaderSettings MotdHeaderSettings(const std::vector<std::string>& headers)
{
    TMotdHeaderSettings result;
    for (const std::string& line : headers) {
        if (line.find('=') == std::string::npos)
            continue;
        std::string_view name = NameOf(line);
        if (name.find('<') != std::string_view::npos)
            continue;
        result.settings.push_back({std::string(name), MotdHeaderValue(headers, name)});
        if (name == "updatever")
            result.newVersion = true;
    }
    return result;
}

bool MotdSettingAllowed(std::string_view name)
{
    const std::string n = LowerCase(name);
    static const char* const kFixed[] = {"updatever", "updatedesc", "updatesize", "updateurl", "dlcount",
                                         "updatesha256", "bannerinterval", "distcode"};
    for (const char* fixed : kFixed)
        if (n == fixed)
            return true;
    // "dl"N, "dl"N"desc", "dl"N"sha256" with N a decimal number.
    if (n.size() > 2 && n.compare(0, 2, "dl") == 0) {
        std::size_t end = 2;
        while (end < n.size() && n[end] >= '0' && n[end] <= '9')
            ++end;
        if (end > 2 && end - 2 <= 9) {
            const std::string_view rest = std::string_view(n).substr(end);
            if (rest.empty() || rest == "desc" || rest == "sha256")
                return true;
        }
    }
    static const char* const kEntries[] = {"banner", "company", "parlevo", "help", "download", "scroller",
                                           "feedback", "skins", "lb1", "lb2", "lb3", "lb4", "lb5"};
    for (const char* entry : kEntries) {
        const std::string_view e(entry);
        if (n.size() > e.size() && n.compare(0, e.size(), e) == 0) {
            const std::string_view field = std::string_view(n).substr(e.size());
            if (field == "text" || field == "url" || field == "hint")
                return true;
        }
    }
    return false;
}

bool MotdSettingReserved(std::string_view name)
{
    const std::string n = LowerCase(name);
    return n == "code" || n == "motdck" || n == "newskey" || n == "newstime" || n == "newssig" || n == "newssha256";
}

std::vector<TMotdLink> FindMotdLinks(std::string_view text)
{
    return FindLinks(text);
}

std::vector<TMotdLink> FindMotdLinks(std::u16string_view text)
{
    return FindLinks(text);
}
