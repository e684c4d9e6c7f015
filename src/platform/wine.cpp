#include "wine.h"

#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace platform {

namespace {

std::string PrefixAbove(const std::filesystem::path& path)
{
    std::filesystem::path prefix;
    std::filesystem::path found;
    for (const auto& piece : path) {
        if (piece == "drive_c" && !prefix.empty() && prefix != prefix.root_path())
            found = prefix;   // the nearest one wins
        prefix /= piece;
    }
    std::string text = found.string();
    while (text.size() > 1 && text.back() == kPathDelim)
        text.pop_back();
    return text;
}

bool NameChar(char c, bool first)
{
    return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (!first && c >= '0' && c <= '9');
}

} // namespace

std::string WinePrefixOf(const std::string& folder)
{
    if (folder.empty())
        return {};
    std::string prefix = PrefixAbove(std::filesystem::path(folder).lexically_normal());
    if (!prefix.empty())
        return prefix;
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(folder, ec);
    return ec ? std::string() : PrefixAbove(resolved);
}

std::string ExpandHome(const std::string& path)
{
    const char* home = std::getenv("HOME");
    if (!home || !*home || path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != kPathDelim))
        return path;
    return std::string(home) + path.substr(1);
}

EnvironmentLines ParseEnvironmentLines(const std::string& text)
{
    EnvironmentLines result;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() + 1 : end + 1;
        std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#')
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        std::size_t eq = line.find('=');
        bool good = eq != std::string::npos && eq > 0;
        for (std::size_t i = 0; good && i < eq; ++i)
            good = NameChar(line[i], i == 0);
        if (!good) {
            if (result.badLine.empty())
                result.badLine = line;
            continue;
        }
        result.entries.push_back(line);
    }
    return result;
}

std::string GameLogPath()
{
    std::string state;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x)
        state = x;
    else if (const char* home = std::getenv("HOME"); home && *home)
        state = JoinPath(home, ".local/state");
    else
        state = "/tmp";
    return JoinPath(JoinPath(state, "quillet-peer"), "game.log");
}

bool StartGameLog(const std::string& header)
{
    const std::string log = GameLogPath();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(log).parent_path(), ec);
    if (FileExists(log))
        std::rename(log.c_str(), (log + ".1").c_str());
    std::ofstream out(log, std::ios::binary | std::ios::trunc);
    out << header;
    out.flush();
    return bool(out);
}

} // namespace platform
