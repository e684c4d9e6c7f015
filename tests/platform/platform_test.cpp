#include "platform/codepage.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "platform/process.h"
#include "platform/ticks.h"
#include "platform/wine.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsByTheWindowsRules)
{
    EXPECT_EQ(platform::SplitCommandLine("a b  c"), (Args{"a", "b", "c"}));
    EXPECT_EQ(platform::SplitCommandLine("\"C:\\Program Files\\x.exe\" -host"), (Args{"C:\\Program Files\\x.exe", "-host"}));
    EXPECT_EQ(platform::SplitCommandLine("a\\\\b \"c\\\"d\" e\\\\\\\\\"f g\""), (Args{"a\\\\b", "c\"d", "e\\\\f g"}));
    EXPECT_EQ(platform::SplitCommandLine("x\"\"y"), (Args{"xy"}));
    EXPECT_EQ(platform::SplitCommandLine("   "), Args{});
    for (std::string arg : {"plain", "with blank", "quote\"inside", "trailing\\", "both \\\" here\\\\", ""}) {
        auto back = platform::SplitCommandLine(platform::QuoteArgument(arg) + " next");
        ASSERT_EQ(back.size(), 2u) << arg;
        EXPECT_EQ(back[0], arg);
    }
}

TEST(CommandLine, WindowsExecutablesGoThroughWine)
{
    TempDir dir;
    std::string record = dir.File("wine-args");
    std::string fakeWine = dir.Write("fakewine", "#!/bin/sh\nprintf '%s|' \"$@\" > '" + record + "'\nexit 3\n", true);
    std::string exe = dir.Write("game dir/shadow.exe", "MZ\x90\x00 not really a program", false);
    setenv("WINE", fakeWine.c_str(), 1);
    auto started = platform::LaunchProcess("", platform::QuoteArgument(exe) + " -service tcp -host", true);
    unsetenv("WINE");
    ASSERT_EQ(started.error, 0u);
    uint32_t code = 0;
    ASSERT_TRUE(platform::WaitForProcess(started.handle, code));
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(ReadFileText(record), exe + "|-service|tcp|-host|");
}

TEST(Ini, SectionsAndKeysIgnoreCaseAndValuesAreTrimmed)
{
    const char* text = "; skin\r\n[Other]\nprimarycolor=1\n[ Colors ]\r\n  PrimaryColor =  $0000FF  \r\nq=\"quoted\"\nempty=\n";
    EXPECT_EQ(platform::IniValue(text, "colors", "primarycolor"), "$0000FF");
    EXPECT_EQ(platform::IniValue(text, "colors", "q"), "quoted");
    EXPECT_EQ(platform::IniValue(text, "colors", "empty", "d"), "");
    EXPECT_EQ(platform::IniValue(text, "colors", "missing", "d"), "d");
    EXPECT_EQ(platform::IniValue(text, "none", "primarycolor"), "");
    EXPECT_EQ(platform::ReadIniString("/nonexistent/skin.ini", "colors", "x", "d"), "d");
}

TEST(Ticks, DifferencesWrapModulo32Bits)
{
    platform::SetTickOffset(0u - platform::GetTickCount() - 50u);
    uint32_t before = platform::GetTickCount();
    EXPECT_GT(before, 0xFFFF0000u);
    usleep(120 * 1000);
    uint32_t after = platform::GetTickCount();
    platform::SetTickOffset(0);
    EXPECT_LT(after, 10000u);
    EXPECT_GE(platform::TicksSince(before, after), 120u);
    EXPECT_LT(platform::TicksSince(before, after), 10000u);
}

TEST(Files, JoiningListingAndDiskRoots)
{
    EXPECT_EQ(platform::JoinPath("/a/", "/b"), "/a/b");
    EXPECT_EQ(platform::JoinPath("/a", "b/"), "/a/b/");
    EXPECT_EQ(platform::JoinPath("/", "skins"), "/skins");
    TempDir dir;
    dir.MakeDir("d1");
    dir.MakeDir("d2/sub");
    dir.Write("f.txt", "x");
    auto entries = platform::ListDirectory(dir.path());
    std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].isDirectory);
    EXPECT_FALSE(entries[2].isDirectory);
    EXPECT_TRUE(platform::FileExists(dir.File("f.txt")));
    EXPECT_FALSE(platform::FileExists(dir.File("d1")));
    EXPECT_TRUE(platform::DirectoryExists(dir.File("d1")));

    std::string list = dir.File("d1") + ":" + dir.File("missing") + ":" + dir.File("d2");
    setenv("QP_FIXED_DISKS", list.c_str(), 1);
    auto roots = platform::FixedDiskRoots();
    unsetenv("QP_FIXED_DISKS");
    EXPECT_EQ(roots, (Args{dir.File("d1") + "/", dir.File("d2") + "/"}));
    EXPECT_EQ(platform::FixedDiskRoots().back(), "/");
}

TEST(CodePage, Windows1252RoundTrip)
{
    std::string all;
    for (int i = 1; i < 256; ++i)
        all += char(i);
    EXPECT_EQ(platform::Utf8ToCp1252(platform::Cp1252ToUtf8(all)), all);
    EXPECT_EQ(platform::Cp1252ToUtf8("\x80"), "\xe2\x82\xac");
    EXPECT_EQ(platform::Utf8ToCp1252("\xe4\xb8\xad"), "?");
    EXPECT_EQ(platform::Utf8ToCp1252("\xff"), "\xff");   // not UTF-8: kept
    // Overlong forms are not UTF-8 either: a line feed, a quote or a
    // backslash never comes out of them.
    EXPECT_EQ(platform::Utf8ToCp1252("a\xc0\x8a" "b"), "a\xc0\x8a" "b");
    EXPECT_EQ(platform::Utf8ToCp1252("\xc1\x9c\xe0\x80\xa2"), "\xc1\x9c\xe0\x80\xa2");
    EXPECT_EQ(platform::Utf8ToCp1252("\xf0\x80\x80\x8a"), "\xf0\x80\x80\x8a");
    EXPECT_EQ(platform::Utf8ToCp1252("\xc2\x81\xe0\xa0\x80"), "\x81?");   // the shortest forms still read
}

// Wine prefixes are searched where players keep them, each prefix's drive_c
// before the home folder and the whole disk.
TEST(Files, WinePrefixesComeFirstInTheirSearchOrder)
{
    TempDir home, other;
    for (const char* d : {".wine/drive_c", "Games/b-game/drive_c", "Games/a-game/drive_c", "Games/not-a-prefix",
                          ".local/share/bottles/bottles/Shadow/drive_c", ".steam/steam/steamapps/compatdata/2710/pfx/drive_c",
                          ".steam/steam/steamapps/compatdata/99/nothing"})
        home.MakeDir(d);
    other.MakeDir("drive_c");
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.path().c_str(), 1);
    setenv("WINEPREFIX", other.path().c_str(), 1);
    auto roots = platform::FixedDiskRoots();
    unsetenv("WINEPREFIX");
    setenv("HOME", oldHome.c_str(), 1);
    const std::string h = home.path();
    EXPECT_EQ(roots, (Args{other.path() + "/drive_c/", h + "/.wine/drive_c/", h + "/Games/a-game/drive_c/",
                           h + "/Games/b-game/drive_c/", h + "/.local/share/bottles/bottles/Shadow/drive_c/",
                           h + "/.steam/steam/steamapps/compatdata/2710/pfx/drive_c/", h + "/", "/"}));
}

TEST(Wine, PrefixOfAFolderAndEnvironmentLines)
{
    TempDir dir;
    dir.MakeDir("pfx/drive_c/Games/SC");
    dir.MakeDir("pfx/dosdevices");
    ASSERT_EQ(::symlink("../drive_c", dir.File("pfx/dosdevices/c:").c_str()), 0);
    EXPECT_EQ(platform::WinePrefixOf(dir.File("pfx/drive_c/Games/SC/")), dir.File("pfx"));
    EXPECT_EQ(platform::WinePrefixOf(dir.File("pfx/drive_c")), dir.File("pfx"));
    EXPECT_EQ(platform::WinePrefixOf(dir.File("pfx/dosdevices/c:/Games/SC")), dir.File("pfx"));
    EXPECT_EQ(platform::WinePrefixOf(dir.File("pfx/Games")), "");
    EXPECT_EQ(platform::WinePrefixOf("/drive_c/x"), "");   // no folder above it
    EXPECT_EQ(platform::WinePrefixOf(""), "");

    auto lines = platform::ParseEnvironmentLines("A=1\r\n  # note\n\n\tB_2 = x \nC=\nD=e=f\n");
    EXPECT_EQ(lines.entries, (Args{"A=1", "C=", "D=e=f"}));
    EXPECT_EQ(lines.badLine, "B_2 = x");
    for (const char* bad : {"=1", "1A=2", "NO VALUE", "A-B=1"})
        EXPECT_EQ(platform::ParseEnvironmentLines(bad).badLine, bad);
}

// The extra environment reaches the program alone (the later of two wins),
// and its output is appended to the file named.
TEST(CommandLine, EnvironmentAndOutputForTheNewProcessAlone)
{
    TempDir dir;
    std::string fakeWine = dir.Write("fakewine", "#!/bin/sh\necho \"$1 $WINEPREFIX $HOME $ONLY\"; echo oops >&2\n", true);
    std::string exe = dir.Write("shadow.exe", "MZ", false);
    std::string log = dir.Write("out.log", "kept\n");
    platform::LaunchOptions options;
    options.wine = fakeWine;
    options.environment = {"WINEPREFIX=/one", "HOME=/elsewhere", "WINEPREFIX=/two", "ONLY=x y"};
    options.outputFile = log;
    options.newSession = true;
    auto started = platform::LaunchProcess("", platform::QuoteArgument(exe), true, options);
    ASSERT_EQ(started.error, 0u);
    uint32_t code = 99;
    ASSERT_TRUE(platform::WaitForProcess(started.handle, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadFileText(log), "kept\n" + exe + " /two /elsewhere x y\noops\n");
    EXPECT_EQ(std::getenv("ONLY"), nullptr);

    // Looking without waiting, then once it has ended.
    auto again = platform::LaunchProcess("", platform::QuoteArgument(exe), true, options);
    ASSERT_EQ(again.error, 0u);
    code = 99;
    for (int i = 0; i < 500 && !platform::TryWaitProcess(again.handle, code); ++i)
        usleep(10 * 1000);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(again.handle.waitable);
}

TEST(Dialogs, MessageBoxesShowTheirTextAsPlainText)
{
    // A player named like markup stays a name: no link, no hidden question.
    QString format;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        format = box->textFormat() == Qt::PlainText ? "plain" : "other";
        box->done(QMessageBox::No);
    });
    platform::SetDialogs(nullptr);
    platform::AskYesNo(nullptr, platform::DialogKind::Information,
                       "<a href=file:/etc>Join</a> has invited you to join <h3>x</h3><!--");
    EXPECT_EQ(format, "plain");
}
