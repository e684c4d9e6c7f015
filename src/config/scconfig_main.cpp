#include "scconfig_main.h"

#include "text/textfuncs.h"
#include "radiogroup.h"
#include "serverlist/customserver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>

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
    // The text and link colours are the base profile's.
    skinColours.primary = 0x434E4A;
    skinColours.secondary = 0x67747B;
    skinColours.tertiary = skinColours.secondary;
    launchShowMode = 0;

    const std::string web = hostDefaults["webhost"];
    const std::string ads = web + "/cgi-bin/accipiter/";
    linkDefaults[0].text = ads + "adserver.exe/SITE=QUILLET/AREA=SCOMPANY/";
    linkDefaults[0].url = ads + "adclick.exe/SITE=QUILLET/AREA=SCOMPANY/";
    linkDefaults[12].hint = "Powered by Parlevo";
    linkDefaults[13].url = web + "/quillet/unreal";
    linkDefaults[14].url = web + "/quillet/unreal";
    linkDefaults[16].url = web + "/quillet/unreal";
    linkDefaults[17].url = "http://" + HostOf(hostDefaults["listhost"]) + ":8000/scrollerunreal.txt";
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
    // A shorter dialog: only the "General" page, with About kept at the bottom.
    setFixedSize(418, 161);
    pages->setGeometry(2, 0, 331, 161);
    buttonpanel->setGeometry(418 - 83, 0, 83, 161);
    about_butt->move(4, 161 - 33);
    for (int i = pages->count() - 1; i >= 1; --i)
        pages->setTabVisible(i, false);

    // Labels beside their edits, so everything fits the shorter page.
    use_taskbar->hide();
    dirlab->move(6, 7);
    program_dir->setGeometry(66, 4, 190, 21);
    program_dir_browse->move(256, 4);
    dirfind_butt->move(284, 4);
    nicklab->move(6, 31);
    nick->setGeometry(66, 28, 74, 21);
    speedlab->move(146, 31);
    speedbox->setGeometry(238, 28, 84, 21);

    demobox->setGeometry(4, 48, 313, 81);
    realnamelab->hide();
    realname->hide();
    emaillab->move(8, 18);
    email->setGeometry(8, 32, 180, 21);
    agelab->move(196, 18);
    age->setGeometry(196, 32, 30, 21);
    ziplab->move(234, 18);
    zip->setGeometry(234, 32, 70, 21);
    notify_box->move(8, 57);

    // Still there, and still stored, but below the visible area.
    interfacestyle->move(interfacestyle->x(), 200);
}
