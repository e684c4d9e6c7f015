// The game started through the real Wine, as a Linux player meets it: a
// 64-bit Windows stand-in for shadow.exe in a folder inside a Wine prefix,
// started by the lobby window for the host and then for a member, with the
// prefix found from the game folder (host) or named in the settings
// (member) and extra environment from the settings.
#include "support/lobbyfixture.h"

#include "config/winesettings.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/wine.h"

#include <QLineEdit>
#include <QPlainTextEdit>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

const std::string kPrefix = QP_WINE_PREFIX;
const std::string kStandIn = QP_WINE_STANDIN;
// Wine's first start of a program in a prefix takes seconds on a busy machine.
constexpr int kWineMs = 120000;

class WineGameTest : public LobbyTest {
protected:
    void SetUp() override
    {
        if (platform::FindProgram(platform::WineProgramName()).empty())
            GTEST_SKIP() << "wine is not installed (apt-get install wine wine64): the game through Wine is not tested";
        if (kStandIn.empty() || !platform::FileExists(kStandIn))
            GTEST_SKIP() << "x86_64-w64-mingw32-gcc is not installed (apt-get install gcc-mingw-w64-x86-64): "
                            "no stand-in shadow.exe to run through Wine";
        if (!platform::FileExists(kPrefix + "/system.reg"))
            GTEST_SKIP() << "no Wine prefix in " << kPrefix << " (the wine_prefix fixture makes it)";
        LobbyTest::SetUp();
        oldDir_ = platform::CurrentDir();
        unsetenv("WINEPREFIX");   // the prefix comes from the client, not from us
        top = kPrefix + "/drive_c/qp-wine-" + std::to_string(::getpid());
        folder = top + "/Shadow Company";
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(kStandIn, folder + "/shadow.exe");
        if (const char* state = std::getenv("XDG_STATE_HOME"))
            log = std::string(state) + "/quillet-peer/game.log";
    }
    void TearDown() override
    {
        if (top.empty())
            return;
        platform::SetCurrentDir(oldDir_);
        LobbyTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(top, ec);
    }
    std::string Record() const
    {
        std::string text = ReadFileText(folder + "/standin-record.txt");
        if (text.rfind("\xEF\xBB\xBF", 0) == 0)
            text.erase(0, 3);
        return Unix(text);
    }
    // Windows programs end their lines with CR LF.
    static std::string Unix(std::string text)
    {
        std::erase(text, '\r');
        return text;
    }
    std::string Log() const { return platform::FileExists(log) ? Unix(ReadFileText(log)) : "no game log"; }
    bool Has(const std::string& text, const std::string& line) const { return text.find(line + "\n") != std::string::npos; }
    // The run is over when the stand-in's last words are in the log.
    bool WaitForGame()
    {
        return WaitUntil([&] { return platform::FileExists(folder + "/standin-record.txt") &&
                                      platform::FileExists(log) &&
                                      Log().find("stand-in: standard error") != std::string::npos; },
                         kWineMs);
    }
    // Windows' name for the game folder: inside drive_c, on C:.
    std::string WindowsFolder() const
    {
        return "C:\\qp-wine-" + std::to_string(::getpid()) + "\\Shadow Company";
    }

    std::string top, folder, log, oldDir_;
};

} // namespace

TEST_F(WineGameTest, HostAndMemberStartTheWindowsGameThroughWine)
{
    StartLobby();
    TWineSettings& wine = *lobby->config->wine;
    lobby->config->SetProgramDirText(folder + "/");
    const std::string quiet = "WINEDEBUG=-all\nWINEDLLOVERRIDES=mscoree,mshtml=\n";

    // The host: the prefix is the one the game folder lies in.
    wine.wineprefix->clear();
    wine.wineenv->setPlainText(QString::fromStdString(quiet + "QP_PLAYER=the host"));
    JoinAs(1);
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 0, 1));
    DeliverPlayer(TScriptedMaster::Player(2, "Member", 1, 0));
    DeliverGame(TScriptedMaster::Game(1, 1, "Mine"));
    dialogs.onShow = [](const platform::DialogRequest&) { return platform::DialogResult::Ok; };
    lobby->LaunchGameExecute();
    Settle();
    ASSERT_TRUE(WaitForGame()) << Log();
    std::string record = Record();
    EXPECT_TRUE(Has(record, "command=\"" + WindowsFolder() + "\\shadow.exe\" -service tcp -host")) << record;
    EXPECT_TRUE(Has(record, "folder=" + WindowsFolder())) << record;
    EXPECT_TRUE(Has(record, "environment=WINEPREFIX=" + kPrefix)) << record;
    EXPECT_TRUE(Has(record, "environment=QP_PLAYER=the host")) << record;
    std::string hostLog = Log();
    EXPECT_TRUE(Has(hostLog, "Folder: " + folder)) << hostLog;
    EXPECT_TRUE(Has(hostLog, "Environment: WINEPREFIX=" + kPrefix)) << hostLog;
    EXPECT_NE(hostLog.find("-service tcp -host\n"), std::string::npos) << hostLog;
    EXPECT_TRUE(Has(hostLog, "stand-in: standard output")) << hostLog;
    EXPECT_EQ(dialogs.shown.size(), 1u);   // the "Game in Progress" box alone

    // A member: the prefix named in the settings, pointed at the host.
    std::filesystem::remove(folder + "/standin-record.txt");
    wine.wineprefix->setText(QString::fromStdString(kPrefix));
    wine.wineenv->setPlainText(QString::fromStdString(quiet + "QP_PLAYER=a member"));
    DeliverPlayer(TScriptedMaster::Player(3, "Host3", 0, 2, "10.20.30.40"));
    DeliverPlayer(TScriptedMaster::Player(1, "Bob", 3, 0));
    DeliverGame(TScriptedMaster::Game(2, 3, "Theirs", 4, 1));
    Deliver(LobbyRecord{cmStart, 0, ""});
    ASSERT_TRUE(WaitForGame()) << Log();
    record = Record();
    EXPECT_TRUE(Has(record, "command=\"" + WindowsFolder() + "\\shadow.exe\" -service tcp -ip 10.20.30.40")) << record;
    EXPECT_TRUE(Has(record, "folder=" + WindowsFolder())) << record;
    EXPECT_TRUE(Has(record, "environment=WINEPREFIX=" + kPrefix)) << record;
    EXPECT_TRUE(Has(record, "environment=QP_PLAYER=a member")) << record;
    EXPECT_FALSE(Has(record, "environment=QP_PLAYER=the host")) << record;
    EXPECT_EQ(Unix(ReadFileText(log + ".1")), hostLog);   // the host's run, kept
    EXPECT_TRUE(Has(Log(), "stand-in: standard error"));
    EXPECT_EQ(dialogs.shown.size(), 1u);
}
