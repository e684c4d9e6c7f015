#include "motd/rtfreader.h"

#include <gtest/gtest.h>

namespace {

const TRtfRun& RunWith(const TRtfDocument& doc, const std::string& text)
{
    for (const TRtfParagraph& p : doc.paragraphs)
        for (const TRtfRun& r : p.runs)
            if (r.text == text)
                return r;
    static TRtfRun none;
    ADD_FAILURE() << "no run \"" << text << "\" in \"" << doc.PlainText() << "\"";
    return none;
}

std::string FontOf(const TRtfDocument& doc, const TRtfRun& run)
{
    return run.format.font < 0 ? "" : doc.fonts.at(std::size_t(run.format.font));
}

} // namespace

TEST(RtfReader, ParagraphsOfFormattedRuns)
{
    TRtfDocument doc = ReadRtf(
        "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}{\\f1\\froman Times New Roman;}}\r\n"
        "{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green128\\blue255;}\r\n"
        "\\f0\\fs20 Hello {\\b bold} {\\i\\cf1 red italic}\\par\r\n"
        "\\pard\\qc\\f1\\fs32\\ul Big\\ulnone  end\\cf2 !\\par\r\n}");
    EXPECT_TRUE(doc.rtf);
    EXPECT_FALSE(doc.truncated);
    EXPECT_EQ(doc.fonts, (std::vector<std::string>{"Arial", "Times New Roman"}));
    ASSERT_EQ(doc.paragraphs.size(), 2u);
    EXPECT_EQ(doc.PlainText(), "Hello bold red italic\nBig end!");

    const TRtfRun& hello = RunWith(doc, "Hello ");
    EXPECT_FALSE(hello.format.bold);
    EXPECT_EQ(hello.format.halfPoints, 20);
    EXPECT_EQ(FontOf(doc, hello), "Arial");
    EXPECT_FALSE(hello.format.hasColour);
    EXPECT_TRUE(RunWith(doc, "bold").format.bold);
    // A group's formatting ends with the group.
    EXPECT_FALSE(RunWith(doc, " ").format.bold);
    const TRtfRun& red = RunWith(doc, "red italic");
    EXPECT_TRUE(red.format.italic);
    EXPECT_TRUE(red.format.hasColour);
    EXPECT_EQ(red.format.colour, 0xFF0000u);
    EXPECT_EQ(doc.paragraphs[0].align, TRtfAlign::Left);

    const TRtfRun& big = RunWith(doc, "Big");
    EXPECT_TRUE(big.format.underline);
    EXPECT_EQ(big.format.halfPoints, 32);
    EXPECT_EQ(FontOf(doc, big), "Times New Roman");
    EXPECT_FALSE(RunWith(doc, " end").format.underline);
    EXPECT_EQ(RunWith(doc, "!").format.colour, 0x0080FFu);
    EXPECT_EQ(doc.paragraphs[1].align, TRtfAlign::Centre);
}

TEST(RtfReader, CharacterFormattingSwitches)
{
    TRtfDocument doc = ReadRtf("{\\rtf1 \\b\\i\\ul a\\b0\\i0\\ul0 b\\uldb c\\plain d{\\v hidden}\\fs30 x\\fs e}");
    EXPECT_EQ(doc.PlainText(), "abcdxe");
    const TRtfFormat& a = RunWith(doc, "a").format;
    EXPECT_TRUE(a.bold && a.italic && a.underline);
    const TRtfFormat& b = RunWith(doc, "b").format;
    EXPECT_FALSE(b.bold || b.italic || b.underline);
    EXPECT_TRUE(RunWith(doc, "c").format.underline);
    EXPECT_EQ(RunWith(doc, "d").format, TRtfFormat{});
    EXPECT_EQ(RunWith(doc, "x").format.halfPoints, 30);
    EXPECT_EQ(RunWith(doc, "e").format.halfPoints, 24);
}

TEST(RtfReader, ColourTableEntriesAndTheirAbsence)
{
    TRtfDocument doc = ReadRtf("{\\rtf1{\\colortbl;\\red300\\green-5\\blue7;}\\cf0 a\\cf1 b\\cf9 c\\cf1 x\\cf d}");
    EXPECT_FALSE(RunWith(doc, "a").format.hasColour);   // entry 0 is the automatic colour
    EXPECT_EQ(RunWith(doc, "b").format.colour, 0xFF0007u);   // components held to 0..255
    EXPECT_FALSE(RunWith(doc, "c").format.hasColour);   // past the table
    EXPECT_FALSE(RunWith(doc, "d").format.hasColour);
}

TEST(RtfReader, FontTableWithoutEntryGroupsAndTheDefaultFont)
{
    TRtfDocument doc = ReadRtf("{\\rtf1\\deff1{\\fonttbl\\f0\\fmodern Courier New;\\f1\\fnil{\\*\\panose 0}Verdana;}"
                               "plain \\f0 mono\\plain  again\\f7  unknown}");
    EXPECT_EQ(doc.fonts, (std::vector<std::string>{"Courier New", "Verdana"}));
    EXPECT_EQ(FontOf(doc, RunWith(doc, "plain ")), "Verdana");
    EXPECT_EQ(FontOf(doc, RunWith(doc, "mono")), "Courier New");
    EXPECT_EQ(FontOf(doc, RunWith(doc, " again")), "Verdana");
    EXPECT_EQ(FontOf(doc, RunWith(doc, " unknown")), "");
}

TEST(RtfReader, SymbolsAndCodePageBytes)
{
    TRtfDocument doc = ReadRtf("{\\rtf1 caf\\'e9 \\'80 \\\\ \\{\\} a\\~b\\emdash\\bullet\\lquote x\\rquote\\-y\\_z \x93q\x94}");
    EXPECT_EQ(doc.PlainText(),
              "caf\xC3\xA9 \xE2\x82\xAC \\ {} a\xC2\xA0" "b\xE2\x80\x94\xE2\x80\xA2\xE2\x80\x98x\xE2\x80\x99y\xE2\x80\x91z "
              "\xE2\x80\x9Cq\xE2\x80\x9D");
    // A broken "\'" takes what it can and shows nothing.
    EXPECT_EQ(ReadRtf("{\\rtf1 a\\'zb\\'4}").PlainText(), "azb");
}

TEST(RtfReader, UnicodeWithItsFallback)
{
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u8364?x}").PlainText(), "\xE2\x82\xAC" "x");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\uc2\\u8364 EUx}").PlainText(), "\xE2\x82\xAC" "x");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\uc0\\u8364 x}").PlainText(), "\xE2\x82\xAC" "x");
    // A "\'hh" fallback counts as one character; so does a control word.
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u233\\'e9x}").PlainText(), "\xC3\xA9x");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u233\\emdash x}").PlainText(), "\xC3\xA9x");
    // The count belongs to the group, and a group's end ends the fallback.
    EXPECT_EQ(ReadRtf("{\\rtf1 {\\uc2 \\u8364 ab}\\u8364 ab}").PlainText(), "\xE2\x82\xAC\xE2\x82\xAC" "b");
    EXPECT_EQ(ReadRtf("{\\rtf1 {\\u8364}x}").PlainText(), "\xE2\x82\xAC" "x");
    // Negative numbers are the upper half; surrogate halves make one character.
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u-4064?}").PlainText(), "\xEF\x80\xA0");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u-10179?\\u-8704?}").PlainText(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u-10179?x}").PlainText(), "\xEF\xBF\xBDx");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u-8704?x}").PlainText(), "\xEF\xBF\xBDx");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u99999999?x}").PlainText(), "\xEF\xBF\xBDx");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\u0?\\u7?x}").PlainText(), "x");
}

TEST(RtfReader, BreaksAndTabs)
{
    TRtfDocument doc = ReadRtf("{\\rtf1 a\\line b\\tab c\\par\r\nd\\\r\ne\\cell f\\row\\par\\par g\tH}");
    ASSERT_EQ(doc.paragraphs.size(), 6u);
    EXPECT_EQ(doc.PlainText(), "a\nb\tc\nd\ne\tf\n\n\ng\tH");
    // A closing "\par" leaves no empty paragraph at the end.
    EXPECT_EQ(ReadRtf("{\\rtf1 a\\par}").paragraphs.size(), 1u);
    EXPECT_TRUE(ReadRtf("{\\rtf1 }").paragraphs.empty());
}

TEST(RtfReader, DestinationsThatAreNotShown)
{
    TRtfDocument doc = ReadRtf(
        "{\\rtf1{\\*\\generator Writer 1.0;}{\\info{\\title The title}{\\author Me}}"
        "{\\stylesheet{\\s0 Normal;}}{\\header Page}{\\*\\unknown{\\nested text}}"
        "{\\pict\\pngblip 89504e47}{\\*\\shppict{\\pict 00}}{\\nonshppict{\\pict 00}}"
        "{\\field{\\*\\fldinst HYPERLINK \"http://x.org\"}{\\fldrslt see http://x.org}}."
        "{\\footnote note}}");
    EXPECT_EQ(doc.PlainText(), "see http://x.org.");
}

TEST(RtfReader, BinaryDataIsSteppedOver)
{
    // The four raw bytes are braces: read as syntax they would end the document.
    TRtfDocument doc = ReadRtf("{\\rtf1 A{\\pict\\bin4 }}}}B}C}");
    EXPECT_EQ(doc.PlainText(), "AC");
    EXPECT_EQ(doc.used, 28u);
    // A count past the end takes the rest.
    EXPECT_EQ(ReadRtf("{\\rtf1 A{\\pict\\bin999 }}").PlainText(), "A");
    EXPECT_EQ(ReadRtf("{\\rtf1 A\\bin-5 B}").PlainText(), "AB");
}

TEST(RtfReader, BytesUsedAndUnfinishedDocuments)
{
    TRtfDocument done = ReadRtf("  \r\n{\\rtf1 a}{\\rtf1 b}");
    EXPECT_TRUE(done.rtf);
    EXPECT_EQ(done.PlainText(), "a");
    EXPECT_EQ(done.used, 13u);
    TRtfDocument open = ReadRtf("{\\rtf1 {\\b a");
    EXPECT_EQ(open.PlainText(), "a");
    EXPECT_TRUE(RunWith(open, "a").format.bold);
    EXPECT_EQ(open.used, 12u);
    EXPECT_EQ(ReadRtf("{\\rtf1 a\\").PlainText(), "a");
    EXPECT_EQ(ReadRtf("{\\rtf1 \\fs99999999999999999999 a}").paragraphs.at(0).runs.at(0).format.halfPoints, 3276);
}

TEST(RtfReader, NestingIsBounded)
{
    TRtfLimits limits;
    limits.maxDepth = 4;
    TRtfDocument doc = ReadRtf("{\\rtf1 a{b{c{d{e{\\bin1 }f}}}}}g}", limits);
    EXPECT_TRUE(doc.tooDeep);
    EXPECT_EQ(doc.PlainText(), "abcdg");

    // Deep nesting costs nothing beyond the bound.
    std::string deep = "{\\rtf1 x" + std::string(1'000'000, '{') + "y" + std::string(1'000'000, '}') + "z}";
    TRtfDocument many = ReadRtf(deep);
    EXPECT_TRUE(many.tooDeep);
    EXPECT_EQ(many.PlainText(), "xz");
    EXPECT_EQ(many.used, deep.size());
}

TEST(RtfReader, OutputIsBounded)
{
    TRtfLimits limits;
    limits.maxOutput = 1000;
    TRtfDocument text = ReadRtf("{\\rtf1 " + std::string(5000, 'x') + "}", limits);
    EXPECT_TRUE(text.truncated);
    EXPECT_LE(text.PlainText().size(), 1000u);
    EXPECT_GT(text.PlainText().size(), 500u);
    EXPECT_LT(text.used, 5000u);

    std::string paragraphs = "{\\rtf1 ";
    for (int i = 0; i < 5000; ++i)
        paragraphs += "\\par{\\b x}y";
    TRtfDocument many = ReadRtf(paragraphs + "}", limits);
    EXPECT_TRUE(many.truncated);
    EXPECT_LT(many.paragraphs.size(), 100u);

    TRtfDocument plain = ReadRtf(std::string(5000, '\n'), limits);
    EXPECT_TRUE(plain.truncated);
    EXPECT_LT(plain.paragraphs.size(), 100u);
}

TEST(RtfReader, TextThatIsNotRtfIsReadAsPlainLines)
{
    TRtfDocument doc = ReadRtf("Hello {\\b world}\r\n\r\ncaf\xE9\tbar\x01\nlast");
    EXPECT_FALSE(doc.rtf);
    ASSERT_EQ(doc.paragraphs.size(), 4u);
    EXPECT_EQ(doc.PlainText(), "Hello {\\b world}\n\ncaf\xC3\xA9\tbar\nlast");
    EXPECT_TRUE(ReadRtf("").paragraphs.empty());
    EXPECT_FALSE(ReadRtf("{\\RTF1 x}").rtf);
}
