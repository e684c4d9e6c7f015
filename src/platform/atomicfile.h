// Whole-file reading, and replacing a file so that it is never seen half
// written: the new text goes to a temporary file beside it, is flushed to
// disk and renamed over the old one. Writers that read, change and write
// back hold a FileLock around the three steps, so that two programs never
// lose each other's changes.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The file's bytes. False when it cannot be read; `missing` tells whether
// that is because it does not exist.
bool ReadWholeFile(const std::string& path, std::string& out, bool& missing);

// Replaces `path` with `bytes` atomically. False, with the old file left as
// it was and no temporary file left behind, when any step fails.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// Holds an exclusive advisory lock on "<path>.lock" while alive (waits for it).
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace platform
