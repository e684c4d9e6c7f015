#include "scconfig_main.h"

#include "app/textfuncs.h"
#include "serverlist/customserver.h"

#include <QTabWidget>

void Tscconfig_form::SetProfileDefaults()
{
    Tconfig_form::SetProfileDefaults();
    productNumber = 3;
    versionParts = {"15", "01", "01"};
    productGameName = "quillet";
    gameExecutableName = "shadow.exe";
    gameFolderName = "Shadow Company";
    settingsKeyBase = "Software\\Parlevo\\quillet\\scompany";
    settingsKeySuffix = "";
    dialogKey = "\\Software\\Parlevo\\quillet\\scompany";
    skinsFolder = "\\unrealskins\\";
    skinColours.primary = 0x434E4A;
    skinColours.secondary = 0x67747B;
    skinColours.primaryFont = 0xFFFFFF;
    skinColours.secondaryFont = 0xFFFFFF;
    skinColours.tertiary = skinColours.secondary;
    skinColours.tertiaryFont = 0xFFFFFF;
    skinColours.highlight = 0x00FFFF;
    launchShowMode = 0;

    const std::string web = webHostDefault;
    const std::string ads = web + "/cgi-bin/accipiter/";
    linkDefaults[0].text = ads + "adserver.exe/SITE=QUILLET/AREA=SCOMPANY/";
    linkDefaults[0].url = ads + "adclick.exe/SITE=QUILLET/AREA=SCOMPANY/";
    linkDefaults[12].hint = "Powered by Parlevo";
    linkDefaults[13].url = web + "/quillet/unreal";
    linkDefaults[14].url = web + "/quillet/unreal";
    linkDefaults[16].url = web + "/quillet/unreal";
    linkDefaults[17].url = "http://" + HostOf(listHostDefault) + ":8000/scrollerunreal.txt";
    linkDefaults[18].url = web + "/skins";
}

bool Tscconfig_form::BuildLaunchArguments(const TGameServer& server)
{
    if (!server.Address.empty())
        launchArguments = "-service tcp -ip " + server.Address;
    else
        launchArguments = "-service tcp -host";
    return true;
}

void Tscconfig_form::BuildControls()
{
    Tconfig_form::BuildControls();
    // Only the "General" page is shown in this build.
    for (int i = pages->count() - 1; i >= 1; --i)
        pages->setTabVisible(i, false);
}
