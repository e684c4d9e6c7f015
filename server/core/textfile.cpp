#include "textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool ReadTextFile(const std::string& path, std::size_t maxBytes, std::string& text, std::string& error)
{
    text.clear();
    error.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
    } else {
        char buffer[16384];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = std::strerror(errno);
                break;
            }
            if (n == 0)
                break;
            text.append(buffer, std::size_t(n));
            if (text.size() > maxBytes) {
                error = "larger than " + std::to_string(maxBytes) + " bytes";
                break;
            }
        }
    }
    close(fd);
    return error.empty();
}
