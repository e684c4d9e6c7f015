#include "text/textfuncs.h"
#include "config/scconfig_main.h"
#include "platform/dialogs.h"
#include "platform/regstore.h"
#include "serverlist/customserver.h"
#include "support/scripteddialogs.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>

#include <memory>
#include <regex>

namespace {

const char* kKey = "Software\\Parlevo\\quillet\\scompany";
const char* kConfigKey = "Software\\Parlevo\\quillet\\scompany\\config";

// A fresh settings store and a modal runner that counts showings and answers Cancel.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetModalRunner([this](QDialog&) {
            ++modalShown;
            return int(QDialog::Rejected);
        });
    }
    void TearDown() override { platform::SetModalRunner({}); }

    std::unique_ptr<Tconfig_form> Make() { return std::unique_ptr<Tconfig_form>(Tscconfig_form::Create(nullptr)); }
    std::string Stored(const char* key, const char* name)
    {
        std::string v;
        platform::RegistryStore::CurrentUser().ReadString(key, name, v);
        return v;
    }

    ScopedSettingsHome home;
    int modalShown = 0;
};

} // namespace

TEST_F(ConfigTest, FirstStartWritesACodeAndAsksForTheConfiguration)
{
    auto config = Make();
    EXPECT_EQ(modalShown, 1);
    EXPECT_TRUE(std::regex_match(config->installationCode, std::regex("[0-9A-Za-z]{4}(-[0-9A-Za-z]{4}){3}")))
        << config->installationCode;
    EXPECT_EQ(Stored(kKey, "code"), config->installationCode);
    EXPECT_EQ(config->distributionCode, "N");
    EXPECT_EQ(config->bannerInterval, 300000);

    // The code is kept from then on.
    auto again = Make();
    EXPECT_EQ(again->installationCode, config->installationCode);
}

TEST_F(ConfigTest, GameBuildProfile)
{
    auto config = Make();
    EXPECT_EQ(config->productNumber, 3);
    EXPECT_EQ(config->VersionText(), "150101");
    EXPECT_EQ(config->productGameName, "quillet");
    EXPECT_EQ(config->gameExecutableName, "shadow.exe");
    EXPECT_EQ(config->SettingsKey(), kKey);
    EXPECT_EQ(config->skinColours.primary, 0x434E4Au);
    EXPECT_EQ(config->launchShowMode, 0);
    std::unique_ptr<Tconfig_form> base(Tconfig_form::Create(nullptr));
    EXPECT_EQ(base->SettingsKey(), "Software\\Parlevo\\quillet\\test");
    EXPECT_EQ(base->gameExecutableName, "cmdline.exe");
    EXPECT_EQ(base->launchShowMode, 3);
}

TEST_F(ConfigTest, LinkTableBannerIntervalAndDistributionCode)
{
    auto config = Make();
    std::string defaultDownload = config->linkTable[14].url;
    EXPECT_FALSE(defaultDownload.empty());
    config->WriteSetting("downloadurl", "");
    config->WriteSetting("bannerinterval", "$10");
    config->WriteSetting("distcode", "Q");
    config->LoadLinkTable();
    EXPECT_EQ(config->linkTable[14].url, defaultDownload);
    EXPECT_EQ(config->bannerInterval, 16);
    EXPECT_EQ(config->distributionCode, "Q");

    config->WriteSetting("downloadurl", "http://mirror.test/new");
    config->WriteSetting("bannerinterval", "soon");
    config->LoadLinkTable();
    EXPECT_EQ(config->linkTable[14].url, "http://mirror.test/new");
    EXPECT_EQ(config->bannerInterval, 16);
}

TEST_F(ConfigTest, HostsComeFromTheStoreWhenSet)
{
    auto config = Make();
    EXPECT_EQ(config->HostValue("lobbyhost"), config->hostDefaults.at("lobbyhost"));
    config->WriteSetting("lobbyhost", "lobby.test:4000");
    config->WriteSetting("webhost", "http://web.test");
    EXPECT_EQ(config->HostValue("lobbyhost"), "lobby.test:4000");
    EXPECT_EQ(config->HostValue("webhost"), "http://web.test");
    // Every host has a build default; the UDP service's carries its port.
    for (const char* name : {"motdurl", "motdudp", "listhost"})
        EXPECT_FALSE(config->HostValue(name).empty()) << name;
    EXPECT_EQ(config->HostValue("motdudp"), config->motdHost + ":" + config->motdPort);
    EXPECT_EQ(config->HostValue("nohost"), "");
}

TEST_F(ConfigTest, GameExecutableFoundByFolderOrByExeFile)
{
    TempDir game;
    game.Write("shadow.exe", "MZ");
    std::string other = game.Write("Other.ExE.bak", "x");
    auto config = Make();
    config->SetProgramDirText(game.path());
    EXPECT_TRUE(config->GameExecutableFound());
    config->SetProgramDirText(game.path() + "/");
    EXPECT_TRUE(config->GameExecutableFound());
    config->SetProgramDirText(other);
    EXPECT_TRUE(config->GameExecutableFound());   // any existing file with ".EXE" in its name
    config->SetProgramDirText(game.File("missing.exe"));
    EXPECT_FALSE(config->GameExecutableFound());
    config->SetProgramDirText("");
    EXPECT_FALSE(config->GameExecutableFound());
}

TEST_F(ConfigTest, StartWithAValidGameDirectoryDoesNotAsk)
{
    TempDir game;
    game.Write("shadow.exe", "MZ");
    platform::RegistryStore::CurrentUser().WriteString(kConfigKey, "program_dir_Text", game.path());
    auto config = Make();
    EXPECT_EQ(modalShown, 0);
}

TEST_F(ConfigTest, DialogSettingsRoundTripUnderTheirNames)
{
    auto config = Make();
    config->SetNickText("  Bob \"the\" \\Builder\t");
    config->useproxies->click();
    config->proxyport->setText("8080");
    config->socks4butt->setChecked(true);
    config->zip->setText("12345");
    config->SaveSettings();
    EXPECT_EQ(Stored(kConfigKey, "nick_Text"), "Bob \"the\" \\Builder");
    EXPECT_EQ(Stored(kConfigKey, "useproxies_Checked"), "True");
    EXPECT_EQ(Stored(kConfigKey, "socks5butt_Checked"), "False");
    EXPECT_EQ(Stored(kConfigKey, "speedbox_ItemIndex"), "2");
    EXPECT_EQ(Stored(kConfigKey, "interfacestyle_ItemIndex"), "0");
    EXPECT_EQ(Stored(kConfigKey, "skinpathbox_Text"), "Default");
    EXPECT_EQ(Stored(kConfigKey, "PixelsPerInch").empty(), false);
    EXPECT_TRUE(std::regex_match(Stored(kConfigKey, "NormPos"), std::regex("-?\\d+,-?\\d+,-?\\d+,-?\\d+")));

    auto fresh = Make();
    EXPECT_EQ(fresh->NickText(), "Bob \"the\" \\Builder");
    EXPECT_TRUE(fresh->useproxies->isChecked());
    EXPECT_TRUE(fresh->proxybox->isEnabled());   // the click handler ran on restore
    EXPECT_EQ(fresh->proxyport->text(), "8080");
    EXPECT_TRUE(fresh->socks4butt->isChecked());
    EXPECT_FALSE(fresh->socks5butt->isChecked());
    EXPECT_EQ(fresh->zip->text(), "12345");
}

TEST_F(ConfigTest, RunGameReportsAMissingExecutable)
{
    TScriptedDialogs dialogs;
    TempDir game;
    auto config = Make();
    config->SetProgramDirText(game.path() + "/");
    TGameServer server("", "1235");
    config->RunGame(server);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text.toStdString(),
              "The file to launch (" + game.path() + "/shadow.exe) does not exist, check your configuration");
    EXPECT_EQ(dialogs.shown[0].kind, platform::DialogKind::Error);
}
