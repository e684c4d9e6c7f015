// The FTP reply reader and the numbers read from replies.
#include "net/ftpparse.h"

#include <gtest/gtest.h>

#include <random>

using namespace std::string_literals;

namespace {

// Every reply in `input`, as "code|line|line", read in pieces of `stride`
// bytes (0: at once); "TOO LONG" ends a refused input.
std::vector<std::string> ReadAll(const std::string& input, std::size_t stride)
{
    std::vector<std::string> out;
    std::string pending;
    std::size_t fed = 0;
    while (fed < input.size()) {
        const std::size_t n = stride ? std::min(stride, input.size() - fed) : input.size();
        pending += input.substr(fed, n);
        fed += n;
        for (;;) {
            const ftp::Reply r = ftp::NextReply(pending);
            if (r.status == ftp::ReplyStatus::Incomplete)
                break;
            if (r.status == ftp::ReplyStatus::TooLong) {
                out.push_back("TOO LONG");
                return out;
            }
            std::string text = std::to_string(r.code);
            for (auto line : r.lines)
                text += "|" + std::string(line);
            out.push_back(text);
            pending.erase(0, r.used);
        }
    }
    return out;
}

} // namespace

TEST(FtpReply, SingleAndMultiLineRepliesInOneStream)
{
    const std::string stream =
        "220-Welcome to the\r\n"
        "220-download site\r\n"
        " 220 an indented line does not end it\r\n"
        "220x neither does this\r\n"
        "220 Ready.\r\n"
        "331 Password please.\n"   // LF alone ends a line too
        "230\r\n"                 // the code alone
        "213 1000\r\n";
    const std::vector<std::string> expected = {
        "220|220-Welcome to the|220-download site| 220 an indented line does not end it"
        "|220x neither does this|220 Ready.",
        "331|331 Password please.", "230|230", "213|213 1000"};
    EXPECT_EQ(ReadAll(stream, 0), expected);
    // However the bytes are cut, the replies read the same.
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(ReadAll(stream, 1 + rng() % 17), expected) << i;
}

TEST(FtpReply, MultiLineEndsOnlyWithItsOwnCode)
{
    // A different code followed by a blank inside a multi-line reply is text.
    const ftp::Reply r = ftp::NextReply("211-Features:\r\n 331 x\r\n150 not the end\r\n211 End\r\n226 next\r\n");
    ASSERT_EQ(r.status, ftp::ReplyStatus::Complete);
    EXPECT_EQ(r.code, 211);
    EXPECT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.used, std::string("211-Features:\r\n 331 x\r\n150 not the end\r\n211 End\r\n").size());
}

TEST(FtpReply, IncompleteUntilTheLineEnds)
{
    EXPECT_EQ(ftp::NextReply("").status, ftp::ReplyStatus::Incomplete);
    EXPECT_EQ(ftp::NextReply("220 Ready").status, ftp::ReplyStatus::Incomplete);
    EXPECT_EQ(ftp::NextReply("220-one\r\n220-two\r\n").status, ftp::ReplyStatus::Incomplete);
    const ftp::Reply r = ftp::NextReply("220-one\r\n220 two\r");
    EXPECT_EQ(r.status, ftp::ReplyStatus::Incomplete);
    EXPECT_EQ(r.used, 0u);
}

TEST(FtpReply, LineWithoutCodeIsAReplyOfItsOwnWithCodeZero)
{
    const ftp::Reply r = ftp::NextReply("SSH-2.0-OpenSSH\r\n220 x\r\n");
    ASSERT_EQ(r.status, ftp::ReplyStatus::Complete);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.lines.size(), 1u);
    EXPECT_EQ(ftp::NextReply("\r\n").code, 0);
}

TEST(FtpReply, LimitsOnLinesAndReplies)
{
    // A line at the limit is read; one byte more is refused, with or
    // without its line end, and without waiting for more.
    const std::string atLimit = "220 " + std::string(ftp::kMaxLine - 4, 'a');
    EXPECT_EQ(ftp::NextReply(atLimit + "\r\n").status, ftp::ReplyStatus::Complete);
    EXPECT_EQ(ftp::NextReply(atLimit + "\r").status, ftp::ReplyStatus::Incomplete);
    EXPECT_EQ(ftp::NextReply(atLimit + "a\r\n").status, ftp::ReplyStatus::TooLong);
    EXPECT_EQ(ftp::NextReply(atLimit + "aa").status, ftp::ReplyStatus::TooLong);

    // A multi-line reply that never ends is refused once it passes the bound.
    std::string endless = "220-start\r\n";
    while (endless.size() <= ftp::kMaxReply)
        endless += "220-more text of the greeting\r\n";
    EXPECT_EQ(ftp::NextReply(endless).status, ftp::ReplyStatus::TooLong);
    EXPECT_EQ(ftp::NextReply(endless + "220 end\r\n").status, ftp::ReplyStatus::TooLong);
}

TEST(FtpReply, PassiveAddress)
{
    auto a = ftp::ParsePassiveReply("227 Entering Passive Mode (127,0,0,1,195,80).");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, 0x7F000001u);
    EXPECT_EQ(a->port, 195 * 256 + 80);
    // Without brackets, and after other numbers that are not six in a row.
    a = ftp::ParsePassiveReply("227 =10,9,9,9,0,21 (and more)");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, 0x0A090909u);
    EXPECT_EQ(a->port, 21);
    a = ftp::ParsePassiveReply("227 try 1,2,3 then 192,168,1,2,4,1");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->host, 0xC0A80102u);
    EXPECT_EQ(a->port, 1025);

    for (const char* bad : {"227 Entering Passive Mode", "227 (127,0,0,1,195)", "227 (256,0,0,1,1,1)",
                            "227 (1,2,3,4,5,99999)", "227 (1,2,3,4,5,)", ""})
        EXPECT_FALSE(ftp::ParsePassiveReply(bad)) << bad;

    EXPECT_EQ(ftp::PortArgument(0x7F000001u, 50000), "127,0,0,1,195,80");
}

TEST(FtpReply, SizeReply)
{
    EXPECT_EQ(ftp::ParseSizeReply("213 1073741824"), 1073741824);
    EXPECT_EQ(ftp::ParseSizeReply("213 0 "), 0);
    for (const char* bad : {"213", "213 ", "213 12a", "213 -5", "213 1234567890123456789", "x13 5"})
        EXPECT_FALSE(ftp::ParseSizeReply(bad)) << bad;
}
