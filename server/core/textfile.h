// The operator's files (configuration, news): a regular file read whole,
// up to a bound, so a wrong path (a device, a huge log) cannot stall or
// swamp the server.
#pragma once

#include <cstddef>
#include <string>

// False with `error` ("No such file or directory", "not a regular file",
// "larger than N bytes") when the file cannot be used.
bool ReadTextFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& error);
