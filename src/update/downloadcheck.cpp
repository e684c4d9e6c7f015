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
