#include "motd/rtfreader.h"
#include "motd/rtfwriter.h"

#include <gtest/gtest.h>

namespace {

void ExpectSameDocument(const TRtfDocument& a, const TRtfDocument& b)
{
    EXPECT_EQ(a.fonts, b.fonts);
    ASSERT_EQ(a.paragraphs.size(), b.paragraphs.size());
    for (std::size_t p = 0; p < a.paragraphs.size(); ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(a.paragraphs[p].align, b.paragraphs[p].align);
        ASSERT_EQ(a.paragraphs[p].runs.size(), b.paragraphs[p].runs.size());
        for (std::size_t r = 0; r < a.paragraphs[p].runs.size(); ++r) {
            EXPECT_EQ(a.paragraphs[p].runs[r].text, b.paragraphs[p].runs[r].text);
            EXPECT_TRUE(a.paragraphs[p].runs[r].format == b.paragraphs[p].runs[r].format) << r;
        }
    }
}

} // namespace

TEST(RtfWriter, WhatIsWrittenReadsBackTheSame)
{
    const char* sources[] = {
        // Formats, tables, alignment, line breaks and tabs, an empty paragraph.
        "{\\rtf1{\\fonttbl{\\f0 Arial;}{\\f1\\froman Times New Roman;}}"
        "{\\colortbl;\\red255\\green0\\blue0;\\red0\\green64\\blue128;}"
        "\\qc{\\b\\fs40 Title}\\par\\pard\\par"
        "{\\f1\\i\\ul slanted}{\\cf2 blue} and\\line next\\tab tab\\par"
        "\\qr{\\cf1\\b red} right\\par\\qj justified}",
        // Characters RTF writes with escapes: syntax, code page and beyond.
        "{\\rtf1 back\\\\slash \\{braces\\} caf\\'e9 \\u8364? \\u-10179?\\u-8704? end}",
        // Plain text read as one paragraph a line.
        "first line\r\nsecond; with a \\ and {braces}\r\n\r\nlast",
    };
    for (const char* source : sources) {
        SCOPED_TRACE(source);
        const TRtfDocument original = ReadRtf(source);
        const std::string written = WriteRtf(original);
        const TRtfDocument again = ReadRtf(written);
        EXPECT_TRUE(again.rtf);
        EXPECT_EQ(again.used, written.size());
        ExpectSameDocument(original, again);
    }
}

TEST(RtfWriter, FontNamesAndUnusualTextSurvive)
{
    TRtfDocument doc;
    doc.fonts = {"Odd;Name", "Plain"};
    TRtfFormat f;
    f.font = 0;
    f.hasColour = true;
    f.colour = 0x010203;
    // A stray byte that is not UTF-8 and a control character are not text.
    doc.paragraphs.push_back({TRtfAlign::Left, {{f, "x\xff" "y\x01z \xF0\x9F\x98\x80"}}});
    const TRtfDocument again = ReadRtf(WriteRtf(doc));
    EXPECT_EQ(again.fonts, doc.fonts);
    ASSERT_EQ(again.paragraphs.size(), 1u);
    ASSERT_EQ(again.paragraphs[0].runs.size(), 1u);
    EXPECT_EQ(again.paragraphs[0].runs[0].text, "x\xEF\xBF\xBDyz \xF0\x9F\x98\x80");
    EXPECT_TRUE(again.paragraphs[0].runs[0].format == f);
}
