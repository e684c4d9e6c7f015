// A temporary folder that is removed with everything in it when the test ends,
// and helpers to write files into it.
#pragma once

#include <cstddef>
#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& relative) const;
    // Writes `content` to the relative path, creating folders; returns the full path.
    std::string Write(const std::string& relative, const std::string& content, bool executable = false) const;
    std::string MakeDir(const std::string& relative) const;

private:
    std::string path_;
};

std::string ReadFileText(const std::string& path);

// `n` bytes of noise, the same for the same seed: documents to send and
// compare byte for byte.
std::string RandomBytes(std::size_t n, unsigned seed);

// Points the settings store of this process at a fresh folder while alive.
class ScopedSettingsHome {
public:
    ScopedSettingsHome();
    ~ScopedSettingsHome();
    const TempDir& dir() const { return dir_; }
    std::string storePath() const;

private:
    TempDir dir_;
    std::string old_;
    bool hadOld_;
    // Chat logs and other data go into the same folder.
    std::string oldData_;
    bool hadOldData_;
};
