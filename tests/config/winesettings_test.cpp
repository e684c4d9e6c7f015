// The Wine page of the configuration dialog and the game's start through a
// Wine program: what is stored, what the game is given, and what the player
// is told when it cannot start. A shell script stands in for Wine here; the
// real Wine runs in tests/wine.
#include "configfixture.h"

#include "config/winesettings.h"
#include "platform/files.h"
#include "platform/wine.h"
#include "serverlist/customserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

class WineSettingsTest : public ConfigFormTest {
protected:
    void SetUp() override
    {
        ConfigFormTest::SetUp();
        oldDir_ = platform::CurrentDir();
        if (const char* old = std::getenv("XDG_STATE_HOME"))
            oldState_ = old;
        setenv("XDG_STATE_HOME", state.path().c_str(), 1);
        // Records its arguments, folder and environment, says something on
        // both outputs and ends with the code in $FAKE_WINE_EXIT.
        fakeWine = tools.Write("fake wine", "#!/bin/sh\n"
                                            "echo \"args:$*\" > \"" + tools.File("record") + "\"\n"
                                            "echo \"cwd:$(pwd)\" >> \"" + tools.File("record") + "\"\n"
                                            "echo \"prefix:$WINEPREFIX\" >> \"" + tools.File("record") + "\"\n"
                                            "echo \"extra:$EXTRA_ONE/$EXTRA_TWO\" >> \"" + tools.File("record") + "\"\n"
                                            "echo out line; echo err line >&2\n"
                                            "exit ${FAKE_WINE_EXIT:-0}\n",
                               true);
    }
    void TearDown() override
    {
        platform::SetCurrentDir(oldDir_);
        setenv("XDG_STATE_HOME", oldState_.c_str(), 1);
        ConfigFormTest::TearDown();
    }
    bool WaitUntil(const std::function<bool()>& done, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return true;
    }
    // A Windows game in `folder` (made when missing).
    std::string Game(const std::string& folder)
    {
        std::string path = platform::JoinPath(folder, "shadow.exe");
        std::filesystem::create_directories(folder);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs("MZ stand-in", f);
        std::fclose(f);
        return path;
    }
    std::string Log() { return ReadFileText(state.File("quillet-peer/game.log")); }

    TempDir tools, state, disk;
    std::string fakeWine;
    std::string oldDir_, oldState_;
};

} // namespace

TEST_F(WineSettingsTest, PageIsStoredByControlNameAndShowsTheDefaultsInForce)
{
    auto config = Make();
    ASSERT_NE(config->wine, nullptr);
    EXPECT_TRUE(config->pages->isTabVisible(config->pages->indexOf(config->wine->winepage)));
    EXPECT_EQ(config->pages->tabText(config->pages->indexOf(config->wine->winepage)), "Wine");

    // The prefix the game folder lies in is the default the field shows.
    config->SetProgramDirText(disk.path() + "/pfx/drive_c/Games/Shadow Company/");
    EXPECT_EQ(config->wine->wineprefix->placeholderText().toStdString(), disk.path() + "/pfx");

    config->wine->wineprogram->setText("/opt/wine-9/bin/wine");
    config->wine->wineprefix->setText("~/Games/shadow-company");
    config->wine->wineenv->setPlainText("WINEDLLOVERRIDES=ddraw=n,b\nDXVK_HUD=1");
    config->SaveSettings();
    EXPECT_EQ(Stored("wineprogram_Text"), "/opt/wine-9/bin/wine");
    EXPECT_EQ(Stored("wineprefix_Text"), "~/Games/shadow-company");
    EXPECT_EQ(Stored("wineenv_Text"), "WINEDLLOVERRIDES=ddraw=n,b\nDXVK_HUD=1");

    auto fresh = Make();
    EXPECT_EQ(fresh->wine->wineenv->toPlainText(), "WINEDLLOVERRIDES=ddraw=n,b\nDXVK_HUD=1");
    EXPECT_EQ(fresh->wine->Prefix("/anywhere"), std::string(std::getenv("HOME")) + "/Games/shadow-company");
    EXPECT_EQ(fresh->wine->ProgramName(), "/opt/wine-9/bin/wine");
}

TEST_F(WineSettingsTest, GameRunsThroughTheChosenWineWithItsPrefixEnvironmentAndLog)
{
    TScriptedDialogs dialogs;
    const std::string folder = disk.path() + "/prefix/drive_c/Games/Shadow Company";
    Game(folder);
    platform::StartGameLog("the run before\n");
    auto config = Make();
    config->SetProgramDirText(folder + "/");
    config->wine->wineprogram->setText(QString::fromStdString(fakeWine));
    config->wine->wineenv->setPlainText("# a comment\n  EXTRA_ONE=a=b  \n\nEXTRA_TWO=two words");
    config->RunGame(TGameServer("10.1.2.3", "1235"));
    ASSERT_TRUE(WaitUntil([&] { return Log().find("err line") != std::string::npos; })) << Log();
    ASSERT_TRUE(WaitUntil([&] { return platform::FileExists(tools.File("record")); }));
    EXPECT_EQ(ReadFileText(tools.File("record")), "args:" + folder + "/shadow.exe -service tcp -ip 10.1.2.3\n"
                                                  "cwd:" + folder + "\n"
                                                  "prefix:" + disk.path() + "/prefix\n"
                                                  "extra:a=b/two words\n");
    const std::string log = Log();
    EXPECT_NE(log.find("Command: \"" + fakeWine + "\" \"" + folder + "/shadow.exe\" -service tcp -ip 10.1.2.3\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("Environment: WINEPREFIX=" + disk.path() + "/prefix\n"), std::string::npos) << log;
    EXPECT_NE(log.find("out line\n"), std::string::npos) << log;
    EXPECT_EQ(ReadFileText(state.File("quillet-peer/game.log.1")), "the run before\n");
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(WineSettingsTest, FailuresSayWhatIsWrong)
{
    TScriptedDialogs dialogs;
    const std::string folder = disk.path() + "/Shadow Company";
    const std::string exe = Game(folder);
    auto config = Make();
    config->SetProgramDirText(folder + "/");

    // No Wine: what it is needed for and how to get it; nothing starts.
    config->wine->wineprogram->setText("no-such-wine-program");
    config->RunGame(TGameServer("", "1235"));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, platform::DialogKind::Error);
    EXPECT_EQ(dialogs.shown[0].text.toStdString(),
              "Wine is needed to run the Windows game " + exe + ", but the Wine program (no-such-wine-program) was "
              "not found.\nInstall Wine (on Debian or Ubuntu: sudo apt install wine wine64), or name the Wine "
              "program on the \"Wine\" page of the configuration.");

    // A prefix that is not there.
    config->wine->wineprogram->setText(QString::fromStdString(fakeWine));
    config->wine->wineprefix->setText(QString::fromStdString(disk.path() + "/gone"));
    config->RunGame(TGameServer("", "1235"));
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[1].text.toStdString(),
              "The Wine prefix (" + disk.path() + "/gone) does not exist, check your configuration");

    // A line that sets nothing.
    config->wine->wineprefix->clear();
    config->wine->wineenv->setPlainText("GOOD=1\nWINEDEBUG -all");
    config->RunGame(TGameServer("", "1235"));
    ASSERT_EQ(dialogs.shown.size(), 3u);
    EXPECT_EQ(dialogs.shown[2].text.toStdString(),
              "The line \"WINEDEBUG -all\" of the Wine environment is not NAME=value, check your configuration");
    EXPECT_FALSE(platform::FileExists(tools.File("record")));

    // Wine starts but the game fails at once: the code and the log's place.
    config->wine->wineenv->setPlainText("FAKE_WINE_EXIT=53");
    config->RunGame(TGameServer("", "1235"));
    ASSERT_TRUE(WaitUntil([&] { return dialogs.shown.size() == 4u; }));
    EXPECT_EQ(dialogs.shown[3].text.toStdString(), "The game ended as it started, with exit code 53.\n"
                                                   "The game's output is in " +
                                                       state.path() + "/quillet-peer/game.log");

    // A game that ends well, or fails only after the first moments, is the player's business.
    config->wine->quickEndMs = 0;
    config->RunGame(TGameServer("", "1235"));
    config->wine->wineenv->clear();
    config->RunGame(TGameServer("", "1235"));
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 1500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(dialogs.shown.size(), 4u);
}

// The prefix named on the page is the first disk the search looks on.
TEST_F(WineSettingsTest, SearchLooksInTheNamedPrefixFirst)
{
    TScriptedDialogs dialogs;
    Game(disk.path() + "/other disk/Shadow Company");
    Game(disk.path() + "/my prefix/drive_c/Program Files/Shadow Company");
    setenv("QP_FIXED_DISKS", (disk.path() + "/other disk").c_str(), 1);
    auto config = Make();
    config->dirfind_buttClick();
    EXPECT_EQ(config->ProgramDirText(), disk.path() + "/other disk/Shadow Company");
    config->wine->wineprefix->setText(QString::fromStdString(disk.path() + "/my prefix"));
    config->dirfind_buttClick();
    unsetenv("QP_FIXED_DISKS");
    EXPECT_EQ(config->ProgramDirText(), disk.path() + "/my prefix/drive_c/Program Files/Shadow Company");
    EXPECT_TRUE(dialogs.shown.empty());
}
