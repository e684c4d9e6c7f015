#include "inifile.h"

#include "text/textfuncs.h"

#include <fstream>
#include <sstream>

namespace platform {

namespace {

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::string IniValue(std::string_view text, std::string_view section, std::string_view key, std::string_view def)
{
    bool inSection = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string_view line = TrimBlanks(text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos));
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            inSection = close != std::string_view::npos && SameText(TrimBlanks(line.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || !SameText(TrimBlanks(line.substr(0, eq)), key))
            continue;
        std::string_view value = TrimBlanks(line.substr(eq + 1));
        if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') || (value.front() == '\'' && value.back() == '\'')))
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::string(def);
}

std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key, std::string_view def)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string(def);
    std::ostringstream buf;
    buf << in.rdbuf();
    return IniValue(buf.str(), section, key, def);
}

} // namespace platform
