#include "regfile.h"

#include "text/textfuncs.h"
#include "codepage.h"

namespace platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHive = "HKEY_CURRENT_USER";

// Reads a quoted string starting at line[pos] == '"'; returns false when it
// does not end on this line. Escapes are those of Wine's registry files:
// \\, \", \n, \r, \t and \x with one to four hex digits naming a
// character; a backslash before any other character stands for that
// character, as it always has in these files.
bool ReadQuoted(std::string_view line, std::size_t& pos, std::string& out)
{
    ++pos;
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"')
            return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size())
            return false;
        c = line[pos++];
        switch (c) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            char32_t code = 0;
            int digits = 0;
            for (int d; digits < 4 && pos < line.size() && (d = HexDigitValue(line[pos])) >= 0; ++digits, ++pos)
                code = code * 16 + char32_t(d);
            if (digits == 0)
                out += 'x';
            else
                AppendUtf8(out, code);
            break;
        }
        default: out += c; break;
        }
    }
    return false;
}

// The quoted form of code-page bytes: UTF-8, with the backslash, the quote
// and every control character escaped, so that no value can break its line.
std::string Quote(std::string_view bytes)
{
    static const char hex[] = "0123456789abcdef";
    const std::string utf8 = Cp1252ToUtf8(bytes);
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                // Four digits when a hex digit follows, so a reader taking up
                // to four does not run on into the next character.
                out += "\\x";
                if (i + 1 < utf8.size() && HexDigitValue(utf8[i + 1]) >= 0)
                    out += "00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string Chomp(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return std::string(line);
}

// The physical line at `pos`, up to (not including) its '\n'; `pos` moves past it.
std::string_view TakeLine(std::string_view text, std::size_t& pos)
{
    std::size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    return line;
}

} // namespace

const RegValue* RegKey::Find(std::string_view name) const
{
    for (const auto& v : values)
        if (SameText(v.name, name))
            return &v;
    return nullptr;
}

void RegKey::Set(RegValue value)
{
    for (auto& existing : values)
        if (SameText(existing.name, value.name)) {
            existing.isString = value.isString;
            existing.data = std::move(value.data);
            return;
        }
    values.push_back(std::move(value));
}

RegKey* RegDocument::Find(std::string_view path)
{
    for (auto& key : keys)
        if (SameText(key.path, path))
            return &key;
    return nullptr;
}

const RegKey* RegDocument::Find(std::string_view path) const
{
    return const_cast<RegDocument*>(this)->Find(path);
}

RegKey& RegDocument::FindOrAdd(std::string_view path)
{
    if (RegKey* key = Find(path))
        return *key;
    keys.push_back(RegKey{std::string(path), {}});
    return keys.back();
}

std::string FullKeyPath(std::string_view key)
{
    while (!key.empty() && key.front() == '\\')
        key.remove_prefix(1);
    while (!key.empty() && key.back() == '\\')
        key.remove_suffix(1);
    std::string path(kHive);
    if (!key.empty()) {
        path += '\\';
        path += key;
    }
    return path;
}

std::string NextLogicalLine(std::string_view text, std::size_t& pos, std::size_t& lineNo)
{
    std::string line = Chomp(TakeLine(text, pos));
    ++lineNo;
    while (!line.empty() && line.back() == '\\' && line.find("=\"") == std::string::npos) {
        line.pop_back();
        if (pos < text.size()) {
            std::string_view more = TakeLine(text, pos);
            ++lineNo;
            std::size_t b = more.find_first_not_of(" \t");
            if (b != std::string_view::npos)
                line += more.substr(b);
        }
        line = Chomp(line);
    }
    return line;
}

bool ParseValueLine(std::string_view l, RegValue& value, std::string& why)
{
    value = RegValue{};
    std::size_t p = 0;
    if (!l.empty() && l.front() == '@') {
        value.name = "@";
        p = 1;
    } else if (!l.empty() && l.front() == '"') {
        std::string name;
        if (!ReadQuoted(l, p, name)) {
            why = "unterminated value name";
            return false;
        }
        value.name = Utf8ToCp1252(name);
    } else {
        why = "not a value";
        return false;
    }
    if (p >= l.size() || l[p] != '=') {
        why = "'=' expected";
        return false;
    }
    ++p;
    if (p < l.size() && l[p] == '"') {
        std::string data;
        if (!ReadQuoted(l, p, data)) {
            why = "unterminated string value";
            return false;
        }
        if (p != l.size()) {
            why = "text after the string value";
            return false;
        }
        value.data = Utf8ToCp1252(data);
        return true;
    }
    if (p >= l.size() || l.substr(p).find(':') == std::string_view::npos) {
        why = "value of unknown form";
        return false;
    }
    value.isString = false;
    value.data = std::string(l.substr(p));
    return true;
}

std::optional<RegDocument> ParseRegFile(std::string_view text, std::string* error)
{
    auto fail = [&](std::string why) -> std::optional<RegDocument> {
        if (error)
            *error = std::move(why);
        return std::nullopt;
    };
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    RegDocument doc;
    bool sawHeader = false;
    RegKey* current = nullptr;
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::string line = NextLogicalLine(text, pos, lineNo);
        const std::string_view l = line;
        if (l.empty() || l.front() == ';')
            continue;
        if (!sawHeader) {
            if (l != kHeader)
                return fail("the first line is not the registry file header");
            sawHeader = true;
            continue;
        }
        auto failAtLine = [&](const std::string& why) { return fail("line " + std::to_string(lineNo) + ": " + why); };
        if (l.front() == '[') {
            if (l.back() != ']' || l.size() < 3)
                return failAtLine("unterminated key name");
            current = &doc.FindOrAdd(Utf8ToCp1252(l.substr(1, l.size() - 2)));
            continue;
        }
        if (!current)
            return failAtLine("a value outside any key");
        RegValue value;
        std::string why;
        if (!ParseValueLine(l, value, why))
            return failAtLine(why);
        current->Set(std::move(value));
    }
    if (!sawHeader && !text.empty())
        return fail("the registry file header is missing");
    return doc;
}

std::string FormatRegFile(const RegDocument& doc)
{
    std::string out(kHeader);
    out += "\n\n";
    for (const auto& key : doc.keys) {
        out += '[';
        out += Cp1252ToUtf8(key.path);
        out += "]\n";
        for (const auto& v : key.values) {
            out += v.name == "@" ? std::string("@") : Quote(v.name);
            out += '=';
            out += v.isString ? Quote(v.data) : v.data;
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

} // namespace platform
