#include "shellutil.h"

#include "text/errors.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/shell.h"

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

int32_t RunProgram(const std::string& application, const std::string& commandLine, uint16_t showMode, bool wait,
                   platform::ProcessHandle& process, uint32_t& threadId)
{
    (void)showMode;   // the desktop decides how new windows appear
    platform::LaunchResult started = platform::LaunchProcess(application, commandLine, wait);
    if (started.error != 0)
        throw EError("Failed to execute program.  Error Code " + std::to_string(started.error));
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
