// What quillet-query prints: a table with the server class's columns, or
// every field, player and rule as JSON. Texts from the network are bytes in
// Windows-1252; they leave here as UTF-8 with control characters made
// harmless.
#pragma once

#include "serverlist/customserver.h"

#include <string>
#include <string_view>
#include <vector>

// One line a server under a header line: the address and query port, then
// the columns of the servers' class, numeric columns (the tagged ones)
// aligned right. Rows are sorted by ping (low first), then by players (more
// first). A server that did not answer shows "(no reply)" as its name.
std::string FormatTable(const std::vector<const TCustomServer*>& Servers);

// A JSON array with one object a server.
std::string FormatJson(const std::vector<const TCustomServer*>& Servers);

// A JSON string literal of Windows-1252 text.
std::string JsonString(std::string_view Text);
// Windows-1252 text for a terminal: UTF-8, control characters as "?".
std::string DisplayText(std::string_view Text);
