#include "newsfile.h"

#include "platform/codepage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t kLookIntervalMs = 1000;

} // namespace

std::string NewsFileText(std::string_view bytes)
{
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    if (platform::IsUtf8(bytes))
        return platform::Utf8ToCp1252(bytes);
    return std::string(bytes);
}

TNewsFile::TNewsFile(std::string path, TLog log) : path_(std::move(path)), log_(std::move(log)) {}

TNewsFile::TStamp TNewsFile::StampOf(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    return {uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size),
            int64_t(st.st_mtim.tv_sec), int64_t(st.st_mtim.tv_nsec),
            int64_t(st.st_ctim.tv_sec), int64_t(st.st_ctim.tv_nsec)};
}

bool TNewsFile::Read(TNews& news, std::string& error) const
{
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    error.clear();
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
    } else {
        char buffer[16384];
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = std::strerror(errno);
                break;
            }
            if (n == 0)
                break;
            text.append(buffer, std::size_t(n));
            if (text.size() > kMaxBytes) {
                error = "larger than " + std::to_string(kMaxBytes) + " bytes";
                break;
            }
        }
    }
    close(fd);
    if (!error.empty())
        return false;
    news = ParseNewsFile(NewsFileText(text));
    return true;
}

bool TNewsFile::Load(std::string& error)
{
    if (path_.empty())
        return true;
    stamp_ = StampOf(path_);
    if (!Read(news_, error))
        return false;
    log_("news file " + path_ + ": " + Summary());
    return true;
}

bool TNewsFile::Refresh(uint64_t nowMs)
{
    if (path_.empty() || (looked_ && nowMs - lastLook_ < kLookIntervalMs))
        return false;
    looked_ = true;
    lastLook_ = nowMs;
    TStamp stamp = StampOf(path_);
    if (stamp == stamp_)
        return false;
    stamp_ = stamp;
    TNews news;
    std::string error;
    if (!Read(news, error)) {
        if (error != lastError_)
            log_("news file " + path_ + ": " + error + "; the last news stays");
        lastError_ = error;
        return false;
    }
    lastError_.clear();
    news_ = std::move(news);
    log_("news file " + path_ + " read again: " + Summary());
    return true;
}

bool TNewsFile::Reread(uint64_t nowMs)
{
    if (path_.empty())
        return false;
    looked_ = true;
    lastLook_ = nowMs;
    TStamp stamp = StampOf(path_);
    TNews news;
    std::string error;
    if (!Read(news, error)) {
        log_("news file " + path_ + ": " + error + "; the last news stays");
        lastError_ = error;
        return false;
    }
    stamp_ = stamp;
    lastError_.clear();
    news_ = std::move(news);
    log_("news file " + path_ + " read again: " + Summary());
    return true;
}

std::string TNewsFile::Summary() const
{
    return std::to_string(news_.headers.size()) + " header lines, " + std::to_string(news_.body.size())
           + " bytes of message";
}
