#include "downloadcheck.h"

#include "text/textfuncs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

TDownloadVerdict CheckDownload(int64_t expectedSize, int64_t fileSize, const std::string& expectedSha256,
                               const std::function<std::optional<std::string>()>& fileSha256)
{
    if (expectedSize > 0 && fileSize != expectedSize)
        return {false, false,
                "The download is incomplete: " + std::to_string(fileSize) + " of " + std::to_string(expectedSize) +
                    " bytes arrived. It has not been started; please try again or another site."};
    if (expectedSha256.empty())
        return {};
    const std::optional<std::string> sum = fileSha256();
    if (sum && SameText(*sum, expectedSha256))
        return {};
    return {false, true,
            "The downloaded file is damaged: its SHA-256 checksum does not match the one announced for this "
            "release. It has been deleted and not started; please try another site."};
}

int64_t DownloadCeiling(const std::string& value)
{
    const std::string text = Trim(value);
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return kDefaultDownloadCeiling;
    const int64_t ceiling = std::stoll(text);
    return ceiling > 0 ? ceiling : kDefaultDownloadCeiling;
}

bool DownloadTooLarge(int64_t received, int64_t announced, int64_t ceiling)
{
    return received > (announced > 0 ? announced : ceiling);
}

std::string OversizeText(int64_t announced, int64_t ceiling)
{
    if (announced > 0)
        return "The site sent more than the " + std::to_string(announced) +
               " bytes it announced. The download was stopped and deleted; please try another site.";
    return "The download went past the largest size the updater takes (" + std::to_string(ceiling) +
           " bytes) without the site announcing its size. It was stopped and deleted; please try another site.";
}

bool ChecksumVerified(const std::string& sha256, const std::string& verified)
{
    const std::string sum = Trim(sha256);
    if (sum.empty())
        return false;
    std::size_t from = 0;
    while (from <= verified.size()) {
        std::size_t comma = verified.find(',', from);
        if (comma == std::string::npos)
            comma = verified.size();
        if (SameText(Trim(verified.substr(from, comma - from)), sum))
            return true;
        from = comma + 1;
    }
    return false;
}

const char* const kUnverifiedChecksumText =
    "This release's checksum did not come in verified news, so it is not downloaded.";

int ProgressPercent(int64_t received, int64_t total)
{
    if (total <= 0)
        return 0;
    return std::clamp(RoundForDisplay(double(received) / double(total) * 100.0), 0, 100);
}

std::string ProgressText(int64_t received, int64_t total, int64_t seconds)
{
    seconds = std::max<int64_t>(seconds, 1);
    char text[160];
    if (total != 0) {
        const double rate = std::max(double(received) / 1000.0 / double(seconds), 0.1);
        const int64_t left =
            std::max<int64_t>(int64_t(std::nearbyint(double(total - received) / (rate * 1000.0))), 0);
        std::snprintf(text, sizeof text, "%lld of %lld (%.2f k/s) %lld:%02lld left", static_cast<long long>(received),
                      static_cast<long long>(total), rate, static_cast<long long>(left / 60),
                      static_cast<long long>(left % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld of Unknown", static_cast<long long>(received));
    }
    return text;
}
