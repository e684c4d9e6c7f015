#include "newsfile.h"

#include "platform/codepage.h"
#include "textfile.h"

#include <sys/stat.h>

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
    std::string text;
    if (!ReadTextFile(path_, kMaxBytes, text, error))
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
