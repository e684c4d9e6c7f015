// INI files read the way the program's platform reads them: section and key
// names compare without regard to case, blanks around the value are dropped
// and one pair of enclosing quotes is removed.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The value of `key` in `[section]` of the INI text, or `def` when absent.
std::string IniValue(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view def = {});

// The same over a file; a missing or unreadable file reads as empty.
std::string ReadIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view def = {});

} // namespace platform
