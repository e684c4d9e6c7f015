#include "log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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
