// The current user's registry, kept on this system as one text file in the
// layout of registry export files:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Parlevo\quillet\scompany]
//   "code"="Ab12-Cd34-Ef56-Gh78"
//
// Values are byte strings in the program's code page; the file holds them as
// UTF-8 with \\ and \" escaped inside quotes. Writes replace the file
// atomically under an advisory lock, so two running programs never lose each
// other's values and a crash never leaves half a file. A file that cannot be
// parsed is renamed aside before anything new is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
};

struct RegDocument {
    std::vector<RegKey> keys;

    RegKey* Find(std::string_view path);
    const RegKey* Find(std::string_view path) const;
    RegKey& FindOrAdd(std::string_view path);
};

// Parses the file's text (UTF-8). Nothing on failure; `error` then says why.
std::optional<RegDocument> ParseRegFile(std::string_view text, std::string* error = nullptr);
std::string FormatRegFile(const RegDocument& doc);

class RegistryStore {
public:
    explicit RegistryStore(std::string filePath);

    // The store of this user: $XDG_CONFIG_HOME (or ~/.config) /parlevo/hkcu.reg,
    // looked up afresh on each call so tests can point it elsewhere.
    static RegistryStore CurrentUser();
    static std::string DefaultPath();

    const std::string& path() const { return path_; }

    // `key` is relative to HKEY_CURRENT_USER ("Software\Parlevo\quillet");
    // a leading backslash is allowed. Names compare without regard to case.
    bool KeyExists(std::string_view key) const;
    // False when the key or value is missing, not a string or the file unreadable.
    bool ReadString(std::string_view key, std::string_view name, std::string& value) const;
    // Creates the key when needed. False when the file cannot be written.
    bool WriteString(std::string_view key, std::string_view name, std::string_view value);
    // Several values of one key in one replacement of the file.
    bool WriteStrings(std::string_view key, const std::vector<std::pair<std::string, std::string>>& values);

    // Where the last unparsable file was put aside (empty when none was).
    const std::string& keptAside() const { return keptAside_; }

private:
    std::optional<RegDocument> Load() const;

    std::string path_;
    std::string keptAside_;
};

std::string FullKeyPath(std::string_view key);

} // namespace platform
