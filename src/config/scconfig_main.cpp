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

bool IsDottedIPv4(std::string_view text)
{
    int parts = 0;
    std::size_t at = 0;
    while (parts < 4) {
        std::size_t digits = 0;
        int value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        ++parts;
        if (parts < 4) {
            if (at >= text.size() || text[at] != '.')
                return false;
            ++at;
        }
    }
    return at == text.size();
}

bool Tscconfig_form::BuildLaunchArguments(const TGameServer& server)
{
    // The address is one argument, never more: anything but a dotted
    // address (blanks, quotes, more switches) starts nothing.
    if (!server.Address.empty() && !IsDottedIPv4(server.Address))
        return false;
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
    // Taller than the design by the rows of the nickname's warning and the
    // server, and with room for the wider fonts of this system.
    constexpr int height = 161 + 52 + 20;
    setFixedSize(418, height);
    pages->setGeometry(2, 0, 331, height);
    buttonpanel->setGeometry(418 - 83, 0, 83, height);
    about_butt->move(4, height - 33);
    for (int i = pages->count() - 1; i >= 1; --i)
        pages->setTabVisible(i, false);

    // Labels beside their edits, so everything fits the shorter page.
    use_taskbar->hide();
    dirlab->move(6, 7);
    program_dir->setGeometry(66, 4, 190, 21);
    program_dir_browse->move(256, 4);
    dirfind_butt->move(284, 4);
    nicklab->move(6, 31);
    nick->setGeometry(66, 28, 134, 21);
    speedlab->move(206, 31);
    speedbox->setGeometry(206, 50, 116, 21);
    nickwarn->move(66, 52);
    nickwarn->setFixedWidth(136);
    nickwarn->setWordWrap(true);
    serverlab->move(6, 79);
    server->setGeometry(66, 76, 256, 21);
    use_taskbar->move(use_taskbar->x(), 300);

    demobox->setGeometry(4, 100, 313, 81);
    realnamelab->hide();
    realname->hide();
    emaillab->move(8, 18);
    email->setGeometry(8, 32, 180, 21);
    agelab->move(196, 18);
    age->setGeometry(196, 32, 30, 21);
    ziplab->move(234, 18);
    zip->setGeometry(234, 32, 70, 21);
    notify_box->move(8, 57);
    // The notification and log choices come to this page, the only one shown.
    desktopnotify->setParent(generalpage);
    desktopnotify->setText("Desktop notifications");
    desktopnotify->adjustSize();
    desktopnotify->move(8, 184);
    desktopnotify->show();
    chatlogs->setParent(generalpage);
    chatlogs->move(170, 184);
    chatlogs->show();

    // Still there, and still stored, but below the visible area.
    interfacestyle->move(interfacestyle->x(), 400);
}
