// The operator's news file, read at start and read again when it changes
// (a new modification time, size or file), looked at no more than once a
// second. A file that cannot be read later, or has grown past the bound,
// leaves the last news in force.
#pragma once

#include "log.h"
#include "motdrules.h"

#include <cstdint>
#include <string>

class TNewsFile {
public:
    static constexpr std::size_t kMaxBytes = 1u << 20;

    // An empty path means no news.
    TNewsFile(std::string path, TLog log);

    // Reads the file now; false with `error` when it cannot be used.
    bool Load(std::string& error);
    // Reads the file again when it has changed since the last look and the
    // last look is at least a second old. True when the news changed.
    bool Refresh(uint64_t nowMs);
    // Reads the file now, changed or not (the operator asked for it). A
    // file that cannot be read leaves the last news in force; false then.
    bool Reread(uint64_t nowMs);
    const TNews& News() const { return news_; }

private:
    struct TStamp {
        uint64_t device = 0, inode = 0, size = 0;
        int64_t mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
        bool operator==(const TStamp&) const = default;
    };
    static TStamp StampOf(const std::string& path);   // all zero when the file is missing
    bool Read(TNews& news, std::string& error) const;
    std::string Summary() const;

    std::string path_;
    TLog log_;
    TNews news_;
    TStamp stamp_;
    bool looked_ = false;
    uint64_t lastLook_ = 0;
    std::string lastError_;
};

// The file's text as it goes on the wire: a UTF-8 file (as editors on this
// system write it) becomes Windows-1252, the players' code page; any other
// file is sent byte for byte. A leading UTF-8 byte-order mark is dropped.
std::string NewsFileText(std::string_view bytes);
