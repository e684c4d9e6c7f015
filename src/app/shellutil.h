// Shell utilities: URL encoding, opening addresses in the browser (directly
// or through the network's redirect page) and starting other programs.
#pragma once

#include "platform/process.h"

#include <cstdint>
#include <string>

std::string UrlEncode(const std::string& text);
void OpenBrowser(const std::string& address);
// Opens `target` through the redirect page of `webHost`, the web server the
// configuration names ("webhost"); a trailing "/" on it is allowed.
void OpenRedirected(const std::string& webHost, const std::string& target, int product, int area);

// Starts a program; with `wait`, waits for it and returns its exit code,
// otherwise returns its process identifier. Raises EError "Failed to execute
// program.  Error Code <n>" when it cannot be started.
int32_t RunProgram(const std::string& application, const std::string& commandLine, uint16_t showMode, bool wait,
                   platform::ProcessHandle& process, uint32_t& threadId);
void StartProgram(const std::string& application, const std::string& commandLine, uint16_t showMode, bool wait,
                  uint32_t& threadId);

// A command line that runs `path` (quoted when it holds blanks) with `arguments`.
std::string ProgramCommandLine(const std::string& path, const std::string& arguments);
