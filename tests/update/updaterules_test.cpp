// The updater's rules without a window: the verdict on a downloaded file and
// the settings key it is given.
#include "update/downloadcheck.h"
#include "update/updatesites.h"

#include <gtest/gtest.h>

namespace {

const std::string kSum = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

} // namespace

TEST(DownloadCheck, SizeFirstThenTheChecksumInAnyCase)
{
    int hashed = 0;
    auto sum = [&hashed](std::optional<std::string> value) {
        return [&hashed, value]() {
            ++hashed;
            return value;
        };
    };
    // A short file is kept (it may be resumed) and never read for its checksum.
    TDownloadVerdict v = CheckDownload(100, 60, kSum, sum(kSum));
    EXPECT_FALSE(v.start);
    EXPECT_FALSE(v.remove);
    EXPECT_EQ(v.text, "The download is incomplete: 60 of 100 bytes arrived. It has not been started; "
                      "please try again or another site.");
    EXPECT_EQ(hashed, 0);
    // No length announced, no checksum announced: started unread.
    v = CheckDownload(0, 60, "", sum(std::nullopt));
    EXPECT_TRUE(v.start);
    EXPECT_EQ(hashed, 0);
    // The announced checksum matches whatever the case of its digits.
    v = CheckDownload(60, 60, "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08", sum(kSum));
    EXPECT_TRUE(v.start);
    EXPECT_EQ(hashed, 1);
    // A different checksum, or a file that cannot be read, is damaged: deleted.
    for (const std::optional<std::string>& got : {std::optional<std::string>("00" + kSum.substr(2)),
                                                  std::optional<std::string>()}) {
        v = CheckDownload(60, 60, kSum, sum(got));
        EXPECT_FALSE(v.start);
        EXPECT_TRUE(v.remove);
        EXPECT_NE(v.text.find("SHA-256 checksum does not match"), std::string::npos);
    }
}

TEST(UpdateSites, SettingsKeyLosesTheHivePrefixOnly)
{
    EXPECT_EQ(UpdateSettingsKey("HKEY_CURRENT_USER\\Software\\Parlevo"), "Software\\Parlevo");
    EXPECT_EQ(UpdateSettingsKey("hkcu\\Software\\Parlevo"), "Software\\Parlevo");
    EXPECT_EQ(UpdateSettingsKey("Software\\HKCU\\x"), "Software\\HKCU\\x");
    EXPECT_EQ(UpdateSettingsKey("HKCU\\"), "HKCU\\");
}

TEST(DownloadCheck, BoundsAndVerifiedChecksums)
{
    // The announced size bounds a download; without one, the ceiling.
    EXPECT_FALSE(DownloadTooLarge(1000, 1000, 10));
    EXPECT_TRUE(DownloadTooLarge(1001, 1000, 1 << 20));
    EXPECT_FALSE(DownloadTooLarge(10, 0, 10));
    EXPECT_TRUE(DownloadTooLarge(11, 0, 10));
    EXPECT_EQ(DownloadCeiling(""), kDefaultDownloadCeiling);
    EXPECT_EQ(DownloadCeiling("0"), kDefaultDownloadCeiling);
    EXPECT_EQ(DownloadCeiling("-5"), kDefaultDownloadCeiling);
    EXPECT_EQ(DownloadCeiling("12x"), kDefaultDownloadCeiling);
    EXPECT_EQ(DownloadCeiling(" 4096 "), 4096);

    EXPECT_TRUE(ChecksumVerified(kSum, "abc," + kSum + ","));
    EXPECT_TRUE(ChecksumVerified("9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08", kSum + ","));
    EXPECT_FALSE(ChecksumVerified(kSum, "abc,"));
    EXPECT_FALSE(ChecksumVerified(kSum.substr(0, 10), kSum + ","));
    EXPECT_FALSE(ChecksumVerified("", ","));
}
