#include "text/errors.h"
#include "app/shellutil.h"
#include "platform/dialogs.h"
#include "platform/shell.h"
#include "support/scripteddialogs.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <thread>

TEST(UrlEncodeTest, LettersAndDigitsStayEverythingElseIsEncoded)
{
    EXPECT_EQ(UrlEncode(""), "");
    EXPECT_EQ(UrlEncode("a b/c"), "a+b%2Fc");
    EXPECT_EQ(UrlEncode("A-Z"), "A%2DZ");
    EXPECT_EQ(UrlEncode("100%"), "100%25");
    EXPECT_EQ(UrlEncode("\xe9"), "%E9");
}

class BrowserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetShellOpener([this](const QString& a) {
            opened << a;
            return succeed;
        });
    }
    void TearDown() override
    {
        platform::SetShellOpener({});
    }
    QStringList opened;
    bool succeed = true;
    TScriptedDialogs dialogs;
};

TEST_F(BrowserTest, RedirectEncodesTheTargetAndBlanksBecomePercent2B)
{
    OpenRedirected("http://web.test:81/", "http://x.test/a b+c", 3, 12);
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], "http://web.test:81/redirect.asp?product=3&area=12&url="
                         "http%3A%2F%2Fx%2Etest%2Fa%2Bb%2Bc");
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(BrowserTest, FailureShowsTheAddressWithBlanksReplaced)
{
    succeed = false;
    OpenBrowser("http://x.test/a b");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].caption, "Error");
    EXPECT_EQ(dialogs.shown[0].text, "Unable to launch web browser - http://x.test/a+b");
    EXPECT_EQ(dialogs.shown[0].buttons, platform::DialogButtons::Ok);
}

TEST(RunProgramTest, WaitReturnsTheExitCodeAndNoWaitThePid)
{
    TempDir dir;
    std::string script = dir.Write("exit7.sh", "#!/bin/sh\nexit 7\n", true);
    platform::ProcessHandle handle;
    uint32_t thread = 99;
    EXPECT_EQ(RunProgram("", script, 0, true, handle, thread), 7);
    EXPECT_EQ(thread, 0u);

    std::string marker = dir.File("ran");
    std::string touch = dir.Write("touch.sh", "#!/bin/sh\necho \"$@\" > '" + marker + "'\n", true);
    int32_t pid = RunProgram("", touch + " one two", 0, false, handle, thread);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(thread, uint32_t(pid));
    platform::CloseProcessHandle(handle);
    for (int i = 0; i < 200 && ReadFileText(marker).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadFileText(marker), "one two\n");
}

TEST(RunProgramTest, MissingProgramRaisesCodeTwo)
{
    platform::ProcessHandle handle;
    uint32_t thread;
    try {
        RunProgram("", "/nonexistent/folder/prog.exe -x", 0, true, handle, thread);
        FAIL() << "no error raised";
    } catch (const EError& e) {
        EXPECT_STREQ(e.what(), "Failed to execute program.  Error Code 2");
    }
    EXPECT_THROW(StartProgram("", "", 0, false, thread), EError);
}

TEST(RunProgramTest, PathWithBlanksStartsTheRightProgram)
{
    TempDir dir;
    // "my" would be run if the path were split at its blank.
    dir.Write("my", "#!/bin/sh\nexit 1\n", true);
    std::string right = dir.Write("my prog", "#!/bin/sh\nexit 42\n", true);
    platform::ProcessHandle handle;
    uint32_t thread;
    EXPECT_EQ(RunProgram("", ProgramCommandLine(right, ""), 0, true, handle, thread), 42);
    std::string echo = dir.Write("my dir/args.sh", "#!/bin/sh\n[ \"$1\" = \"-service\" ] && [ \"$3\" = \"-host\" ] && exit 5\nexit 6\n", true);
    EXPECT_EQ(RunProgram("", ProgramCommandLine(echo, "-service tcp -host"), 0, true, handle, thread), 5);
}
