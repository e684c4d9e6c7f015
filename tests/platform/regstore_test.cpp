#include "platform/regstore.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const char* kKey = "Software\\Parlevo\\quillet\\scompany";
}

TEST(RegistryStoreTest, MissingFileReadsAsEmptyAndFirstWriteCreatesIt)
{
    TempDir dir;
    platform::RegistryStore store(dir.File("sub/hkcu.reg"));
    std::string v;
    EXPECT_FALSE(store.ReadString(kKey, "code", v));
    EXPECT_FALSE(store.KeyExists(kKey));
    ASSERT_TRUE(store.WriteString(kKey, "code", "Ab12-Cd34-Ef56-Gh78"));
    EXPECT_EQ(ReadFileText(store.path()),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\Parlevo\\quillet\\scompany]\n"
              "\"code\"=\"Ab12-Cd34-Ef56-Gh78\"\n\n");
    ASSERT_TRUE(store.ReadString("\\SOFTWARE\\parlevo\\Quillet\\scompany", "CODE", v));
    EXPECT_EQ(v, "Ab12-Cd34-Ef56-Gh78");
}

TEST(RegistryStoreTest, QuotesBackslashesAndCodePageBytesSurvive)
{
    TempDir dir;
    platform::RegistryStore store(dir.File("hkcu.reg"));
    const std::string tricky = "C:\\Games\\\"Shadow\" Company\\ caf\xe9 \x80 =\"\"";
    ASSERT_TRUE(store.WriteString(kKey, "program_dir_Text", tricky));
    ASSERT_TRUE(store.WriteString(std::string(kKey) + "\\config", "a\"b\\c", ""));
    platform::RegistryStore again(store.path());
    std::string v;
    ASSERT_TRUE(again.ReadString(kKey, "program_dir_Text", v));
    EXPECT_EQ(v, tricky);
    ASSERT_TRUE(again.ReadString(std::string(kKey) + "\\config", "a\"b\\c", v));
    EXPECT_EQ(v, "");
    // The file is UTF-8.
    EXPECT_NE(ReadFileText(store.path()).find("caf\xc3\xa9 \xe2\x82\xac"), std::string::npos);
}

TEST(RegistryStoreTest, ControlCharactersAreEscapedAndEveryByteSurvives)
{
    TempDir dir;
    platform::RegistryStore store(dir.File("hkcu.reg"));
    // A pasted e-mail address with a line break must not cost the other settings.
    const std::string config = std::string(kKey) + "\\config";
    ASSERT_TRUE(store.WriteStrings(config, {{"nick_Text", "Bob"}, {"email_Text", "bob@example.org\r\nsecond"}}));
    std::string every;
    for (int b = 1; b < 256; ++b)
        every += char(b);
    ASSERT_TRUE(store.WriteString(config, "all" + every, every));
    ASSERT_TRUE(store.WriteString(config, "zip_Text", "\x01" "A\tb\x7f"));

    const std::string text = ReadFileText(store.path());
    EXPECT_NE(text.find("\"email_Text\"=\"bob@example.org\\r\\nsecond\"\n"), std::string::npos) << text;
    // A control character before a hex digit takes four digits.
    EXPECT_NE(text.find("\"zip_Text\"=\"\\x0001A\\tb\\x7f\"\n"), std::string::npos) << text;
    for (char c : text)
        ASSERT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << "a raw control character in the file";

    platform::RegistryStore again(store.path());
    std::string v;
    ASSERT_TRUE(again.ReadString(config, "nick_Text", v));
    EXPECT_EQ(v, "Bob");
    ASSERT_TRUE(again.ReadString(config, "email_Text", v));
    EXPECT_EQ(v, "bob@example.org\r\nsecond");
    ASSERT_TRUE(again.ReadString(config, "all" + every, v));
    EXPECT_EQ(v, every);
    ASSERT_TRUE(again.ReadString(config, "zip_Text", v));
    EXPECT_EQ(v, "\x01" "A\tb\x7f");
    EXPECT_TRUE(again.keptAside().empty());
}

TEST(RegistryStoreTest, FilesOfEarlierWritersReadAsBefore)
{
    // Written with only \\ and \" escaped: a backslash before n, t or x in a
    // path stays a backslash; raw tabs and carriage returns inside the quotes
    // are taken as they stand; Wine's escapes read as Wine means them.
    TempDir dir;
    std::string path = dir.Write("hkcu.reg",
                                 "Windows Registry Editor Version 5.00\n\n"
                                 "[HKEY_CURRENT_USER\\Software\\X]\n"
                                 "\"dir\"=\"C:\\\\new\\\\tools\\\\x86\\\\\"\n"
                                 "\"raw\"=\"a\tb\rc\"\n"
                                 "\"wine\"=\"\\a\\x41\\x263a\\x\"\n");
    platform::RegistryStore store(path);
    std::string v;
    ASSERT_TRUE(store.ReadString("Software\\X", "dir", v));
    EXPECT_EQ(v, "C:\\new\\tools\\x86\\");
    ASSERT_TRUE(store.ReadString("Software\\X", "raw", v));
    EXPECT_EQ(v, "a\tb\rc");
    ASSERT_TRUE(store.ReadString("Software\\X", "wine", v));
    EXPECT_EQ(v, "aA?x");   // U+263A has no place in the code page
}

TEST(RegistryStoreTest, OtherValueTypesAreKeptButNotReadAsStrings)
{
    TempDir dir;
    std::string path = dir.Write("hkcu.reg",
                                 "Windows Registry Editor Version 5.00\r\n\r\n"
                                 "; comment\r\n"
                                 "[HKEY_CURRENT_USER\\Software\\X]\r\n"
                                 "\"n\"=dword:00000001\r\n"
                                 "\"h\"=hex:01,02,\\\r\n  03\r\n"
                                 "\"s\"=\"v\"\r\n");
    platform::RegistryStore store(path);
    std::string v;
    EXPECT_FALSE(store.ReadString("Software\\X", "n", v));
    ASSERT_TRUE(store.ReadString("Software\\X", "s", v));
    EXPECT_EQ(v, "v");
    ASSERT_TRUE(store.WriteString("Software\\X", "s", "w"));
    std::string text = ReadFileText(path);
    EXPECT_NE(text.find("\"n\"=dword:00000001"), std::string::npos);
    EXPECT_NE(text.find("\"h\"=hex:01,02,03"), std::string::npos);
}

TEST(RegistryStoreTest, TruncatedFileIsKeptAsideAndNotOverwritten)
{
    TempDir dir;
    platform::RegistryStore store(dir.File("hkcu.reg"));
    ASSERT_TRUE(store.WriteString(kKey, "nick_Text", "Bob"));
    ASSERT_TRUE(store.WriteString(kKey, "code", "Ab12-Cd34-Ef56-Gh78"));
    std::string whole = ReadFileText(store.path());
    std::string truncated = whole.substr(0, whole.find("Ab12") + 2);
    dir.Write("hkcu.reg", truncated);

    std::string v;
    EXPECT_FALSE(store.ReadString(kKey, "nick_Text", v));   // unreadable: nothing is trusted
    EXPECT_EQ(ReadFileText(store.path()), truncated);       // reading never touches it

    ASSERT_TRUE(store.WriteString(kKey, "code", "New1-New2-New3-New4"));
    ASSERT_FALSE(store.keptAside().empty());
    EXPECT_EQ(ReadFileText(store.keptAside()), truncated);
    ASSERT_TRUE(store.ReadString(kKey, "code", v));
    EXPECT_EQ(v, "New1-New2-New3-New4");
}

TEST(RegistryStoreTest, TwoProcessesWritingAtOnceLoseNothing)
{
    TempDir dir;
    std::string path = dir.File("hkcu.reg");
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            platform::RegistryStore store(path);
            bool ok = true;
            for (int i = 0; i < 40; ++i)
                ok = store.WriteString(kKey, "p" + std::to_string(c) + "_" + std::to_string(i), std::to_string(i)) && ok;
            _exit(ok ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    platform::RegistryStore reader(path);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 40; ++i) {
            std::string v;
            ASSERT_TRUE(reader.ReadString(kKey, "p" + std::to_string(c) + "_" + std::to_string(i), v)) << c << " " << i;
            EXPECT_EQ(v, std::to_string(i));
        }
}
