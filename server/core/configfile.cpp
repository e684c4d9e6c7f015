#include "configfile.h"

#include "text/textfuncs.h"
#include "textfile.h"

#include <stdexcept>

namespace {

constexpr std::size_t kMaxFileBytes = 1u << 20;

bool Blank(char c) { return c == ' ' || c == '\t'; }

bool NameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool HasControl(std::string_view text)
{
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return true;
    return false;
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && Blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && Blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The value of one line from `at` on, with a trailing comment removed;
// false with `error` when a quoted value is not closed or is followed by
// more than a comment.
bool ReadValue(std::string_view line, std::size_t at, std::string& value, std::string& error)
{
    if (at < line.size() && line[at] == '"') {
        std::size_t close = line.find('"', at + 1);
        if (close == std::string_view::npos) {
            error = "the closing quote is missing";
            return false;
        }
        value = std::string(line.substr(at + 1, close - at - 1));
        std::string_view rest = TrimBlanks(line.substr(close + 1));
        if (!rest.empty() && rest.front() != '#') {
            error = "text after the quoted value";
            return false;
        }
        return true;
    }
    std::size_t stop = line.size();
    for (std::size_t k = at; k < line.size(); ++k)
        if (line[k] == '#' && (k == at || Blank(line[k - 1]))) {
            stop = k;
            break;
        }
    value = std::string(TrimBlanks(line.substr(at, stop - at)));
    return true;
}

// yes/no and their usual spellings; nothing for anything else.
int SwitchValue(const std::string& text)
{
    const std::string v = LowerCase(text);
    if (v == "yes" || v == "true" || v == "on" || v == "1")
        return 1;
    if (v == "no" || v == "false" || v == "off" || v == "0")
        return 0;
    return -1;
}

// Whether the option is a switch: it stands alone on a command line.
bool IsSwitch(const std::string& option)
{
    const TServerOption* row = FindServerOption(option);
    return row && row->Switch();
}

} // namespace

TConfigText ParseConfigText(std::string_view text)
{
    TConfigText out;
    int number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        auto fail = [&](const std::string& why) { out.error = "line " + std::to_string(number) + ": " + why; };

        std::size_t i = 0;
        while (i < line.size() && Blank(line[i]))
            ++i;
        if (i == line.size() || line[i] == '#')
            continue;
        const std::size_t nameStart = i;
        while (i < line.size() && NameChar(line[i]))
            ++i;
        std::string_view name = line.substr(nameStart, i - nameStart);
        while (i < line.size() && Blank(line[i]))
            ++i;
        if (name.empty() || i == line.size() || line[i] != '=') {
            fail("expected 'name = value'");
            break;
        }
        ++i;
        while (i < line.size() && Blank(line[i]))
            ++i;
        TConfigEntry entry;
        std::string error;
        if (!ReadValue(line, i, entry.value, error)) {
            fail(error);
            break;
        }
        if (HasControl(entry.value)) {
            fail("a control character in the value");
            break;
        }
        entry.name = std::string(name);
        entry.line = number;
        out.entries.push_back(std::move(entry));
    }
    return out;
}

std::vector<std::string> ConfigArguments(const std::vector<TConfigEntry>& entries)
{
    std::vector<std::string> args;
    for (const TConfigEntry& e : entries) {
        const std::string where = "line " + std::to_string(e.line) + ": ";
        if (e.name == "config" || e.name == "help" || e.name == "h")
            throw std::invalid_argument(where + "'" + e.name + "' belongs on the command line");
        const std::string option = "--" + e.name;
        if (IsSwitch(option)) {
            const int on = SwitchValue(e.value);
            if (on < 0)
                throw std::invalid_argument(where + e.name + " takes yes or no, got '" + e.value + "'");
            if (on)
                args.push_back(option);
            continue;
        }
        try {
            ParseOptions({option, e.value});
        } catch (const std::invalid_argument& error) {
            throw std::invalid_argument(where + error.what());
        }
        args.push_back(option);
        args.push_back(e.value);
    }
    return args;
}

std::string ReadConfigFile(const std::string& path)
{
    std::string text, error;
    if (!ReadTextFile(path, kMaxFileBytes, text, error))
        throw std::invalid_argument("cannot read the configuration file " + path + ": " + error);
    return text;
}

TServerOptions LoadOptions(const std::vector<std::string>& args)
{
    // The command line alone first: it must be sound by itself, and it says
    // whether there is a file to read.
    TServerOptions commandLine = ParseOptions(args);
    if (commandLine.help || commandLine.configFile.empty())
        return commandLine;
    const std::string& path = commandLine.configFile;
    TConfigText parsed = ParseConfigText(ReadConfigFile(path));
    if (!parsed.error.empty())
        throw std::invalid_argument(path + " " + parsed.error);
    std::vector<std::string> all;
    try {
        all = ConfigArguments(parsed.entries);
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument(path + " " + error.what());
    }
    all.insert(all.end(), args.begin(), args.end());
    return ParseOptions(all);
}
