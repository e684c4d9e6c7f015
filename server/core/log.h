// The server's log: one time-stamped line on standard error per event, so a
// service manager's journal or a terminal shows what happened.
#pragma once

#include <functional>
#include <string>

using TLog = std::function<void(const std::string&)>;

// Writes "YYYY-MM-DD HH:MM:SS line" to standard error.
void LogLine(const std::string& line);
