// The text of the settings file, in the layout of registry export files:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Parlevo\quillet\scompany]
//   "code"="Ab12-Cd34-Ef56-Gh78"
//
// Pure functions over text: reading it into a document and writing it back.
// Values are byte strings in the program's code page; the text holds them as
// UTF-8 inside quotes, escaped as Wine's registry files do: \\, \", \n, \r,
// \t, and \xNN for the other control characters, so any byte from 1 to 255
// survives and a value never breaks its line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct RegValue {
    std::string name;   // code-page bytes; "@" stands for the default value
    bool isString = true;
    std::string data;   // the string (code-page bytes), or the raw text after "=" for other types
};

struct RegKey {
    std::string path;   // full path, e.g. HKEY_CURRENT_USER\Software\Parlevo
    std::vector<RegValue> values;

    // Names compare without regard to case. Nothing when there is no such value.
    const RegValue* Find(std::string_view name) const;
    // The one way a value enters a key, from the file or from the program: a
    // value of the same name takes the new type and data, keeping its place
    // and spelling; otherwise the value is added at the end.
    void Set(RegValue value);
};

struct RegDocument {
    std::vector<RegKey> keys;

    RegKey* Find(std::string_view path);
    const RegKey* Find(std::string_view path) const;
    RegKey& FindOrAdd(std::string_view path);
};

// "HKEY_CURRENT_USER\" + `key`, without backslashes at either end of `key`.
std::string FullKeyPath(std::string_view key);

// The logical line that starts at `pos`: one line without its line end, and
// while it is a value of another type ending in "\" (a string value never
// continues), the lines that continue it, each without the mark and without
// its leading blanks. A mark on the last line continues into nothing.
// Advances `pos` past every line it used and adds their count to `lineNo`.
std::string NextLogicalLine(std::string_view text, std::size_t& pos, std::size_t& lineNo);

// One value line of a key: "name"="string", @="string", or a value of
// another type ("name"=dword:..., "name"=hex:...), whose text is kept as it
// stands. False, with the reason in `why`, for anything else.
bool ParseValueLine(std::string_view line, RegValue& value, std::string& why);

// Parses the whole text (UTF-8). Nothing on failure; `error` then says why.
std::optional<RegDocument> ParseRegFile(std::string_view text, std::string* error = nullptr);
std::string FormatRegFile(const RegDocument& doc);

} // namespace platform
