// Whether a downloaded release may be started, and the progress line under
// the bar: no Qt, no I/O.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The verdict on a downloaded file.
struct TDownloadVerdict {
    bool start = true;     // the file may be started
    bool remove = false;   // the file is to be deleted (it is damaged)
    std::string text;      // what the user is told when it is not started
};

// A file whose size differs from the announced one (`expectedSize` > 0) is
// not started; nor is one whose SHA-256 (`fileSha256`, hexadecimal, asked
// for only when `expectedSha256` is not empty; nothing when the file cannot
// be read) differs from the announced one, in any case of its digits; that
// one is deleted.
TDownloadVerdict CheckDownload(int64_t expectedSize, int64_t fileSize, const std::string& expectedSha256,
                               const std::function<std::optional<std::string>()>& fileSha256);

// The largest download taken when the site announces no size: the program
// value "updatemaxsize" in bytes, or 1 GiB when it is missing, not a whole
// number or not above 0.
constexpr int64_t kDefaultDownloadCeiling = int64_t(1) << 30;
int64_t DownloadCeiling(const std::string& value);

// Whether a download has gone past what it may be: more bytes than the site
// announced (`announced` > 0, Content-Length or SIZE), else more than
// `ceiling`. Such a download is stopped and its file deleted, with
// OversizeText to say why.
bool DownloadTooLarge(int64_t received, int64_t announced, int64_t ceiling);
std::string OversizeText(int64_t announced, int64_t ceiling);

// Whether `sha256` is among the checksums that came in verified news:
// `verified` is the program value "newssha256", the checksums separated by
// commas, in any case of their digits. An empty checksum never is.
bool ChecksumVerified(const std::string& sha256, const std::string& verified);
// Why a release is refused when the news is signed and its checksum did not
// come in verified news.
extern const char* const kUnverifiedChecksumText;

// The bar's position, 0 to 100; 0 while the size is unknown.
int ProgressPercent(int64_t received, int64_t total);
// "R of T (K.KK k/s) M:SS left" after `seconds` (at least 1 is counted), or
// "R of Unknown" while the size is unknown.
std::string ProgressText(int64_t received, int64_t total, int64_t seconds);
