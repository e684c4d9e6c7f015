// The current user's registry, kept on this system as one text file in the
// layout of registry export files (see regfile.h). Writes replace the file
// atomically under an advisory lock, so two running programs never lose each
// other's values and a crash never leaves half a file. A file that cannot be
// parsed is renamed aside before anything new is written.
#pragma once

#include "regfile.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

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
    // A copy of the key with every value the file holds now, read in one go,
    // so that the values read together belong together. Nothing when the key
    // is missing or the file unreadable.
    std::optional<RegKey> ReadKey(std::string_view key) const;
    // Creates the key when needed. False when the file cannot be written.
    bool WriteString(std::string_view key, std::string_view name, std::string_view value);
    // Several values of one key in one replacement of the file.
    bool WriteStrings(std::string_view key, const std::vector<std::pair<std::string, std::string>>& values);

    // Where the last unparsable file was put aside (empty when none was).
    const std::string& keptAside() const { return keptAside_; }

private:
    std::optional<RegDocument> Load() const;
    // Under the lock: reads the file (setting an unreadable one aside),
    // applies `change` and writes the file back atomically.
    bool Update(const std::function<void(RegDocument&)>& change);

    std::string path_;
    std::string keptAside_;
};

} // namespace platform
