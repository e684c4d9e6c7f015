// parlevod's configuration file (--config FILE): one "name = value" a line,
// the names those of the command-line options without their dashes
// ("lobby-port = 29001"). A "#" at the start of a line, or after a blank,
// begins a comment; a value in double quotes may hold blanks and "#". A
// switch such as "no-flood-limit" takes yes/no (true/false, on/off, 1/0).
// Options on the command line win over the file.
#pragma once

#include "options.h"

#include <string>
#include <string_view>
#include <vector>

struct TConfigEntry {
    std::string name;
    std::string value;
    int line = 0;
};

struct TConfigText {
    std::vector<TConfigEntry> entries;
    // Empty when the whole text was read; otherwise "line N: ..." and the
    // entries before that line.
    std::string error;
};

// Reads the text of a configuration file. Pure: no file, no log.
TConfigText ParseConfigText(std::string_view text);

// The command-line arguments the entries stand for, each entry checked as
// ParseOptions would check it. Throws std::invalid_argument naming the line.
std::vector<std::string> ConfigArguments(const std::vector<TConfigEntry>& entries);

// The options of a command line that may name a configuration file: the
// file's entries first, then the command line, so the command line wins.
// Throws std::invalid_argument with a message for the operator.
TServerOptions LoadOptions(const std::vector<std::string>& args);

// The configuration file's bytes, at most a megabyte of a regular file.
// Throws std::invalid_argument saying why it cannot be read.
std::string ReadConfigFile(const std::string& path);
