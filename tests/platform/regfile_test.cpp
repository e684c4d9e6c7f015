// The settings file's text: its steps as pure functions, and the whole
// parser and writer.
#include "platform/atomicfile.h"
#include "platform/regfile.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>

using platform::NextLogicalLine;
using platform::ParseValueLine;
using platform::RegKey;
using platform::RegValue;

TEST(RegFileTest, ContinuedLinesJoinOnlyForValuesOfOtherTypes)
{
    const std::string text = "\"h\"=hex:01,02,\\\r\n  \t03,\\\n04\r\n"
                             "\"s\"=\"C:\\\\\"\n"
                             "\"t\"=\"open\\\n"
                             "last=\\";
    std::size_t pos = 0, lineNo = 0;
    EXPECT_EQ(NextLogicalLine(text, pos, lineNo), "\"h\"=hex:01,02,03,04");
    EXPECT_EQ(lineNo, 3u);
    EXPECT_EQ(NextLogicalLine(text, pos, lineNo), "\"s\"=\"C:\\\\\"");
    // A string value is never continued, even when its line ends in the mark.
    EXPECT_EQ(NextLogicalLine(text, pos, lineNo), "\"t\"=\"open\\");
    // A mark on the last line continues into nothing.
    EXPECT_EQ(NextLogicalLine(text, pos, lineNo), "last=");
    EXPECT_EQ(pos, text.size());
    EXPECT_EQ(lineNo, 6u);
}

TEST(RegFileTest, ValueLinesOfEachFormAndWhyOthersAreRefused)
{
    RegValue v;
    std::string why;
    ASSERT_TRUE(ParseValueLine("\"caf\xc3\xa9\"=\"a\\\"b\\\\ \xe2\x82\xac\"", v, why));
    EXPECT_EQ(v.name, "caf\xe9");
    EXPECT_TRUE(v.isString);
    EXPECT_EQ(v.data, "a\"b\\ \x80");
    ASSERT_TRUE(ParseValueLine("@=\"d\"", v, why));
    EXPECT_EQ(v.name, "@");
    ASSERT_TRUE(ParseValueLine("\"n\"=dword:00000001", v, why));
    EXPECT_FALSE(v.isString);
    EXPECT_EQ(v.data, "dword:00000001");

    for (auto [line, reason] : std::initializer_list<std::pair<const char*, const char*>>{
             {"rubbish", "not a value"},
             {"\"open\\", "unterminated value name"},
             {"\"a\" = \"b\"", "'=' expected"},
             {"\"a\"=\"b", "unterminated string value"},
             {"\"a\"=\"b\"x", "text after the string value"},
             {"\"a\"=12", "value of unknown form"}}) {
        EXPECT_FALSE(ParseValueLine(line, v, why)) << line;
        EXPECT_EQ(why, reason) << line;
    }
}

TEST(RegFileTest, SettingAValueReplacesItsNamesakeInPlace)
{
    RegKey key{"HKEY_CURRENT_USER\\K", {}};
    key.Set(RegValue{"Nick_Text", true, "Bob"});
    key.Set(RegValue{"h", false, "hex:01"});
    key.Set(RegValue{"NICK_TEXT", true, "Ann"});
    key.Set(RegValue{"H", true, "now a string"});
    ASSERT_EQ(key.values.size(), 2u);
    EXPECT_EQ(key.values[0].name, "Nick_Text");
    EXPECT_EQ(key.values[0].data, "Ann");
    EXPECT_EQ(key.values[1].name, "h");
    EXPECT_TRUE(key.values[1].isString);
    EXPECT_EQ(key.Find("nick_text"), &key.values[0]);
    EXPECT_EQ(key.Find("nick"), nullptr);

    // A file naming a value twice keeps one value, the later data.
    auto doc = platform::ParseRegFile("Windows Registry Editor Version 5.00\n[K]\n\"a\"=\"1\"\n\"A\"=\"2\"\n");
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->keys[0].values.size(), 1u);
    EXPECT_EQ(doc->keys[0].values[0].data, "2");
}

TEST(RegFileTest, ParserRefusesMalformedFiles)
{
    EXPECT_TRUE(platform::ParseRegFile(""));
    EXPECT_FALSE(platform::ParseRegFile("REGEDIT4\n"));
    EXPECT_FALSE(platform::ParseRegFile("Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n"));
    EXPECT_FALSE(platform::ParseRegFile("Windows Registry Editor Version 5.00\n[K\n"));
    EXPECT_FALSE(platform::ParseRegFile("Windows Registry Editor Version 5.00\n[K]\n\"a\"=\"b\n"));
    EXPECT_FALSE(platform::ParseRegFile("Windows Registry Editor Version 5.00\n[K]\n\"a\"=\"b\"x\n"));
    EXPECT_FALSE(platform::ParseRegFile("Windows Registry Editor Version 5.00\n[K]\nrubbish\n"));
    EXPECT_TRUE(platform::ParseRegFile("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[K]\n@=\"d\"\n"));
}

TEST(RegFileTest, ValuesOfOtherTypesSurviveARewriteUnchanged)
{
    // A continuation mark on the last line, or before a carriage return,
    // must not turn into a different value when the file is written again.
    for (std::string text : {std::string("Windows Registry Editor Version 5.00\n[K]\n\"h\"=hex:01,\\"),
                             std::string("Windows Registry Editor Version 5.00\n[K]\n\"h\"=hex:01,\\\\\r\n"),
                             std::string("Windows Registry Editor Version 5.00\n[K]\n\"h\"=hex:01,\r\\\n")}) {
        auto doc = platform::ParseRegFile(text);
        ASSERT_TRUE(doc) << text;
        auto again = platform::ParseRegFile(platform::FormatRegFile(*doc));
        ASSERT_TRUE(again);
        ASSERT_EQ(again->keys.size(), 1u);
        EXPECT_EQ(again->keys[0].values[0].data, doc->keys[0].values[0].data) << text;
        EXPECT_EQ(doc->keys[0].values[0].data, "hex:01,");
    }
}

TEST(RegFileTest, AtomicWriteReplacesTheFileOrLeavesItAsItWas)
{
    TempDir dir;
    const std::string path = dir.Write("hkcu.reg", "old");
    ASSERT_TRUE(platform::WriteFileAtomically(path, "new"));
    EXPECT_EQ(ReadFileText(path), "new");
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    // The temporary file cannot be made: nothing changes.
    dir.MakeDir("hkcu.reg.tmp/in-the-way");
    EXPECT_FALSE(platform::WriteFileAtomically(path, "newer"));
    EXPECT_EQ(ReadFileText(path), "new");
    EXPECT_FALSE(platform::WriteFileAtomically(dir.File("no/such/folder/hkcu.reg"), "x"));
}
