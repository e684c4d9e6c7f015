#include "config_main.h"

#include "text/errors.h"
#include "app/shellutil.h"
#include "text/textfuncs.h"
#include "formstorage.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/ticks.h"
#include "serverlist/customserver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include <chrono>

using platform::FromAnsi;
using platform::ToAnsi;

namespace {

// Link-table entry names by index; indices 6 to 10 and 15 have none.
const char* const kLinkNames[19] = {"banner", "lb1", "lb2", "lb3", "lb4", "lb5", nullptr, nullptr, nullptr, nullptr,
                                    nullptr, "company", "parlevo", "help", "download", nullptr, "feedback",
                                    "scroller", "skins"};

// The order in which the link table is read from the store.
const char* const kLinkLoadOrder[] = {"banner", "company", "parlevo", "help", "download", "scroller", "feedback",
                                      "skins", "lb1", "lb2", "lb3", "lb4", "lb5"};

} // namespace

Tconfig_form::Tconfig_form(QWidget* owner) : QDialog(owner)
{
    setObjectName("config_form");
}

Tconfig_form::~Tconfig_form()
{
    delete FormStorage1;
}

void Tconfig_form::FormCreate()
{
    // 1. Seed the random generator. (The lobby window, which makes this
    // object, hands it to every unit that needs the settings.)
    RandomSeed(platform::GetTickCount());

    // 2. The build profile.
    SetProfileDefaults();
    BuildControls();
    RegisterStoredControls();

    // 3. The installation code, made once per settings key.
    installationCode = ReadSetting("code");
    if (installationCode.empty()) {
        RandomSeed(static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
        installationCode = RandomText(4) + "-" + RandomText(4) + "-" + RandomText(4) + "-" + RandomText(4);
        WriteSetting("code", installationCode);
    }

    // 4-8.
    LoadLinkTable();
    homechannellabel->hide();
    homechanneledit->hide();
    LoadSettings();
    LoadSkinColours();
    ApplySkinColours();
    searching = false;

    // 9. Ask for the configuration before anything else when the game is not there.
    if (ProgramDirText().empty() || !GameExecutableFound())
        platform::RunModal(*this);
}

void Tconfig_form::SetProfileDefaults()
{
    productNumber = 0;
    versionParts = {"00", "00", "02"};
    productGameName = "gmtest";
    // The build's hosts (CMake cache values QP_LOBBY_HOST ... QP_LIST_HOST).
    hostDefaults = {{"lobbyhost", QP_LOBBY_HOST}, {"motdurl", QP_MOTD_URL}, {"motdudp", QP_MOTD_UDP},
                    {"webhost", QP_WEB_HOST}, {"listhost", QP_LIST_HOST}};
    motdHost = HostOf(hostDefaults["motdudp"]);
    motdPort = PortOf(hostDefaults["motdudp"], "25636");
    motdUrlPrefix = hostDefaults["motdurl"];
    hostDefaults["motdudp"] = motdHost + ":" + motdPort;
    gameExecutableName = "cmdline.exe";
    gameFolderName = "quake";
    settingsKeyBase = "Software\\Parlevo\\quillet";
    settingsKeySuffix = "\\test";
    dialogKey = "\\Software\\Parlevo\\quillet";
    skinsFolder = "\\skins";
    skinColours.primary = 0x003300;
    skinColours.secondary = 0x333333;
    skinColours.primaryFont = 0xFFFFFF;
    skinColours.secondaryFont = 0xFFFFFF;
    skinColours.tertiary = skinColours.secondary;
    skinColours.tertiaryFont = skinColours.secondaryFont;
    skinColours.highlight = 0x00FFFF;
    launchShowMode = 3;
    serverListClass = "TKovaBGateServerList";

    const std::string web = hostDefaults["webhost"];
    const std::string ads = web + "/cgi-bin/accipiter/";
    linkDefaults = {};
    linkDefaults[0] = {ads + "adserver.exe/SITE=QUILLET/AREA=UNREAL/", ads + "adclick.exe/SITE=QUILLET/AREA=UNREAL/", ""};
    linkDefaults[1] = {"Parlevo News", web + "/news", "What is new on the Parlevo network"};
    linkDefaults[2] = {"Game Servers", web + "/servers", "Find a server to play on"};
    linkDefaults[3] = {"Clans", web + "/clans", "Clans and ladders of the community"};
    linkDefaults[4] = {"Files", web + "/files", "Maps, mods and patches"};
    linkDefaults[5] = {"Forums", web + "/forums", "Talk with other players"};
    linkDefaults[11] = {"", web + "/vendor", web + "/vendor"};
    linkDefaults[12] = {"", web + "/", "Powered by Parlevo"};
    linkDefaults[13] = {"", web + "/help", ""};
    linkDefaults[14] = {"", web + "/download", ""};
    linkDefaults[16] = {"", web + "/feedback", ""};
    linkDefaults[17] = {"", "http://" + HostOf(hostDefaults["listhost"]) + ":8000/scroller2.txt", ""};
    linkDefaults[18] = {"", web + "/skins", ""};
}

void Tconfig_form::LoadSettings()
{
    if (FormStorage1)
        FormStorage1->Restore(Store());
}

void Tconfig_form::SaveSettings()
{
    if (!FormStorage1)
        return;
    platform::RegistryStore store = Store();
    FormStorage1->Save(store);
}

void Tconfig_form::LoadLinkTable()
{
    for (const char* name : kLinkLoadOrder) {
        int i = LinkIndex(name);
        const std::string entry = name;
        std::string text = ReadSetting(entry + "text");
        std::string url = ReadSetting(entry + "url");
        std::string hint = ReadSetting(entry + "hint");
        linkTable[i].text = text.empty() ? linkDefaults[i].text : text;
        linkTable[i].url = url.empty() ? linkDefaults[i].url : url;
        linkTable[i].hint = hint.empty() ? linkDefaults[i].hint : hint;
    }
    std::string interval = ReadSetting("bannerinterval");
    if (!interval.empty())
        bannerInterval = StrToIntDef(interval, bannerInterval);
    distributionCode = ReadSetting("distcode");
    if (distributionCode.empty())
        distributionCode = "N";
}

bool Tconfig_form::BuildLaunchArguments(const TGameServer& server)
{
    launchArguments = "+connect " + server.Address + ":" + server.GamePort;
    launchShowMode = 3;
    return true;
}

void Tconfig_form::RunGame(const TGameServer& server)
{
    launchArguments.clear();
    const std::string dir = ProgramDirText();
    std::string path = UpperCase(dir).find(".EXE") != std::string::npos ? dir : platform::JoinPath(dir, gameExecutableName);
    if (!platform::FileExists(path)) {
        platform::ShowMessage(this, platform::DialogKind::Error,
                              FromAnsi("The file to launch (" + path + ") does not exist, check your configuration"));
        return;
    }
    if (!BuildLaunchArguments(server))
        return;
    // The game runs in its own folder: the folder of the file a text naming
    // the executable gives, or else the directory text without its final separator.
    std::string folder = dir;
    if (UpperCase(dir).find(".EXE") != std::string::npos) {
        std::size_t slash = folder.find_last_of(platform::kPathDelim);
        folder = slash == std::string::npos ? std::string() : folder.substr(0, slash == 0 ? 1 : slash);
    }
    while (folder.size() > 1 && folder.back() == platform::kPathDelim)
        folder.pop_back();
    if (!platform::SetCurrentDir(folder))
        throw EInOutError("I/O error 3", 3);
    uint32_t threadId = 0;
    platform::ProcessHandle process;
    const int32_t pid = RunProgram("", ProgramCommandLine(path, launchArguments), launchShowMode, false, process,
                                   threadId);
    platform::CloseProcessHandle(process);
    game_ = platform::ProcessWatch(pid);
    gameServer_ = server.Address + ":" + server.GamePort;
}

bool Tconfig_form::GameRunning(const TGameServer& server) const
{
    return gameServer_ == server.Address + ":" + server.GamePort && game_.Running();
}

std::string Tconfig_form::ReadSetting(const std::string& name) const
{
    std::string value;
    if (!Store().ReadString(SettingsKey(), name, value))
        return {};
    return value;
}

void Tconfig_form::WriteSetting(const std::string& name, const std::string& text)
{
    platform::RegistryStore store = Store();
    store.WriteString(SettingsKey(), name, text);
}

void Tconfig_form::WriteSettings(const std::vector<std::pair<std::string, std::string>>& values)
{
    platform::RegistryStore store = Store();
    store.WriteStrings(SettingsKey(), values);
}

bool Tconfig_form::GameExecutableFound() const
{
    const std::string dir = ProgramDirText();
    if (platform::FileExists(platform::JoinPath(dir, gameExecutableName)))
        return true;
    return platform::FileExists(dir) && UpperCase(dir).find(".EXE") != std::string::npos;
}

std::string Tconfig_form::DialogSettingsKey() const { return dialogKey + "\\config"; }

std::string Tconfig_form::HostValue(const std::string& name) const
{
    std::string value = ReadSetting(name);
    if (!value.empty())
        return value;
    auto known = hostDefaults.find(name);
    return known == hostDefaults.end() ? std::string() : known->second;
}

int Tconfig_form::LinkIndex(const std::string& name)
{
    for (int i = 0; i < 19; ++i)
        if (kLinkNames[i] && name == kLinkNames[i])
            return i;
    return -1;
}

std::string Tconfig_form::NickText() const { return ToAnsi(nick->text()); }
void Tconfig_form::SetNickText(const std::string& text) { nick->setText(FromAnsi(text)); }
std::string Tconfig_form::ProgramDirText() const { return ToAnsi(program_dir->text()); }
void Tconfig_form::SetProgramDirText(const std::string& dir) { program_dir->setText(FromAnsi(dir)); }
std::string Tconfig_form::EmailForMotd() const { return ToAnsi(email->text()); }

platform::RegistryStore Tconfig_form::Store() const { return platform::RegistryStore::CurrentUser(); }

void Tconfig_form::RegisterStoredControls()
{
    delete FormStorage1;
    FormStorage1 = new TFormStorage(this, DialogSettingsKey());
    FormStorage1->AddText(nick);
    FormStorage1->AddText(program_dir);
    FormStorage1->AddChecked(chatconnect);
    FormStorage1->AddChecked(hidejoins);
    FormStorage1->AddChecked(useproxies);
    FormStorage1->AddText(proxyaddr);
    FormStorage1->AddText(proxypass);
    FormStorage1->AddText(proxyport);
    FormStorage1->AddText(proxyuser);
    FormStorage1->AddChecked(httpmotdbutt);
    FormStorage1->AddChecked(udpmotdbutt);
    FormStorage1->AddText(homechanneledit);
    FormStorage1->AddChecked(use_taskbar);
    FormStorage1->AddText(socksproxyaddr);
    FormStorage1->AddText(socksproxypass);
    FormStorage1->AddText(socksproxyuser);
    FormStorage1->AddChecked(usesocksproxies);
    FormStorage1->AddChecked(socks4butt);
    FormStorage1->AddChecked(socks5butt);
    FormStorage1->AddText(realname);
    FormStorage1->AddText(age);
    FormStorage1->AddText(email);
    FormStorage1->AddText(zip);
    FormStorage1->AddChecked(notify_box);
    FormStorage1->AddItemIndex(speedbox);
    FormStorage1->AddChecked(noautoaway);
    FormStorage1->AddText(skinpathbox);
    FormStorage1->AddChecked(tcppingbutt);
    FormStorage1->AddChecked(icmppingbutt);
    FormStorage1->AddItemIndex(interfacestyle);
}
