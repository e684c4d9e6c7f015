#include "log.h"

#include "platform/codepage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

std::string LogText(std::string_view cp1252)
{
    std::string out;
    out.reserve(cp1252.size());
    for (char c : platform::Cp1252ToUtf8(cp1252)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '\\') {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool IsJournalStream(const char* journalStream, int fd)
{
    if (!journalStream || !*journalStream)
        return false;
    uintmax_t device = 0, inode = 0;
    int used = 0;
    if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &used) != 2
        || journalStream[used] != '\0')
        return false;
    struct stat st {};
    return fstat(fd, &st) == 0 && uintmax_t(st.st_dev) == device && uintmax_t(st.st_ino) == inode;
}

void LogLine(const std::string& line)
{
    static const bool journal = IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
    if (journal) {
        std::fprintf(stderr, "%s\n", line.c_str());
        return;
    }
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}
