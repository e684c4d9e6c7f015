#include "log.h"

#include <cstdio>
#include <ctime>

void LogLine(const std::string& line)
{
    char stamp[32];
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}
