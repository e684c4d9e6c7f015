// What running the Windows game through Wine needs besides starting a
// process: the prefix a game folder lies in, the player's extra environment,
// and the log that keeps the game's own output.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The Wine prefix `folder` lies in: the folder above the nearest "drive_c"
// on its path, as written or else with its links resolved (a path through
// dosdevices/c: names the same place). Empty when it lies in none.
std::string WinePrefixOf(const std::string& folder);

// A leading "~/" (or a lone "~") made the home folder.
std::string ExpandHome(const std::string& path);

struct EnvironmentLines {
    std::vector<std::string> entries;   // NAME=value, in order
    std::string badLine;                // the first line that is not NAME=value, when any
};
// Reads NAME=value lines. Blanks around a line are dropped; empty lines and
// lines beginning with "#" are skipped. A name is letters, digits and "_",
// not beginning with a digit; the value is everything after the first "=".
EnvironmentLines ParseEnvironmentLines(const std::string& text);

// ${XDG_STATE_HOME:-~/.local/state}/quillet-peer/game.log
std::string GameLogPath();
// Keeps the last run's log as game.log.1 and starts game.log with `header`.
// False when the log cannot be written (the game then starts without one).
bool StartGameLog(const std::string& header);

} // namespace platform
