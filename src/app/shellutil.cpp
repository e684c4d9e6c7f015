#include "shellutil.h"

#include "text/errors.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/process.h"
#include "platform/shell.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

std::string UrlEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += char(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

void OpenBrowser(const std::string& address)
{
    std::string changed = address;
    for (char& c : changed)
        if (c == ' ')
            c = '+';
    // Addresses come from the news and the settings: only web pages are
    // opened, never a file, a program or another scheme's handler.
    std::string scheme;
    const std::size_t colon = changed.find("://");
    if (colon != std::string::npos)
        for (char c : changed.substr(0, colon))
            scheme += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (scheme != "http" && scheme != "https") {
        platform::ShowMessage(nullptr, platform::DialogKind::Error,
                              platform::FromAnsi("Only web addresses (http:// or https://) are opened, not: " + changed),
                              "Error");
        return;
    }
    if (!platform::ShellOpen(platform::FromAnsi(changed)))
        platform::ShowMessage(nullptr, platform::DialogKind::Plain,
                              platform::FromAnsi("Unable to launch web browser - " + changed), "Error");
}

void OpenRedirected(const std::string& webHost, const std::string& target, int product, int area)
{
    std::string encoded;
    for (char c : UrlEncode(target)) {
        if (c == '+')
            encoded += "%2B";
        else
            encoded += c;
    }
    std::string host = webHost;
    while (!host.empty() && host.back() == '/')
        host.pop_back();
    OpenBrowser(host + "/redirect.asp?product=" + std::to_string(product) + "&area=" + std::to_string(area) +
                "&url=" + encoded);
}

namespace {

// What is wrong with the program file, as a line to add to the error text;
// empty when the file gives no clue.
std::string LaunchFailureReason(const std::string& application, const std::string& commandLine, uint32_t error)
{
    std::string path = application;
    if (path.empty()) {
        const std::vector<std::string> args = platform::SplitCommandLine(commandLine);
        if (!args.empty())
            path = args.front();
    }
    if (path.empty())
        return {};
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0)
        return {};   // a missing file says so with its code
    if (S_ISDIR(info.st_mode))
        return "\r\n" + path + " is a folder, not a program.";
    char head[2] = {0, 0};
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        if (std::fread(head, 1, 2, f) != 2)
            head[0] = head[1] = 0;
        std::fclose(f);
    } else {
        return "\r\n" + path + " cannot be read.";
    }
    const bool windowsProgram = head[0] == 'M' && head[1] == 'Z';
    if (!windowsProgram && ::access(path.c_str(), X_OK) != 0)
        return "\r\n" + path + " is not a Windows program, and not a program of this system either (it is not executable).";
    if (!windowsProgram && error == 193)
        return "\r\n" + path + " is not a program this system can run.";
    return {};
}

} // namespace

int32_t RunProgram(const std::string& application, const std::string& commandLine, uint16_t showMode, bool wait,
                   platform::ProcessHandle& process, uint32_t& threadId)
{
    (void)showMode;   // the desktop decides how new windows appear
    platform::LaunchResult started = platform::LaunchProcess(application, commandLine, wait);
    if (started.error != 0)
        throw EError("Failed to execute program.  Error Code " + std::to_string(started.error) +
                     LaunchFailureReason(application, commandLine, started.error));
    process = started.handle;
    if (wait) {
        threadId = 0;
        uint32_t exitCode = 0;
        if (platform::WaitForProcess(process, exitCode))
            return static_cast<int32_t>(exitCode);
        return 0;
    }
    threadId = started.threadId;
    return started.handle.pid;
}

void StartProgram(const std::string& application, const std::string& commandLine, uint16_t showMode, bool wait,
                  uint32_t& threadId)
{
    platform::ProcessHandle process;
    RunProgram(application, commandLine, showMode, wait, process, threadId);
    platform::CloseProcessHandle(process);
}

std::string ProgramCommandLine(const std::string& path, const std::string& arguments)
{
    std::string line = platform::QuoteArgument(path);
    if (!arguments.empty()) {
        line += ' ';
        line += arguments;
    }
    return line;
}
