#include "skins.h"

#include "app/shellutil.h"
#include "text/textfuncs.h"
#include "config_main.h"
#include "exesearch.h"
#include "platform/ansi.h"
#include "platform/files.h"
#include "platform/inifile.h"

#include <QComboBox>
#include <QLabel>
#include <QPalette>
#include <QTabBar>
#include <QTabWidget>

#include <fstream>
#include <sstream>

namespace {

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

std::string ExistingSkin(const std::string& base, const std::string& name)
{
    if (name.empty() || name.find(platform::kPathDelim) != std::string::npos || name == "." || name == "..")
        return {};
    return ResolveFolderIgnoringCase(base, name);
}

void SetColour(QWidget* widget, QPalette::ColorRole role, uint32_t colour)
{
    QPalette palette = widget->palette();
    palette.setColor(role, ColourOf(colour));
    widget->setPalette(palette);
}

} // namespace

std::string SkinsBasePath(const std::string& programDir, const std::string& skinsFolder)
{
    std::string path = programDir + platform::kPathDelim + skinsFolder + platform::kPathDelim;
    std::string result;
    for (char c : path) {
        if (c == '\\')
            c = platform::kPathDelim;
        if (c == platform::kPathDelim && !result.empty() && result.back() == platform::kPathDelim)
            continue;
        result += c;
    }
    return result;
}

std::string FindSkinFolder(const std::string& programDir, const std::string& skinsFolder, const std::string& name)
{
    const std::string base = SkinsBasePath(programDir, skinsFolder);
    std::string folder = ExistingSkin(base, name);
    if (folder.empty())
        folder = ExistingSkin(base, "default");
    return folder;
}

void ParseSkinColours(std::string_view iniText, TSkinColours& colours)
{
    const std::pair<const char*, uint32_t*> keys[] = {
        {"primarycolor", &colours.primary},           {"secondarycolor", &colours.secondary},
        {"primaryfontcolor", &colours.primaryFont},   {"secondaryfontcolor", &colours.secondaryFont},
        {"highlightcolor", &colours.highlight},       {"tertiarycolor", &colours.tertiary},
        {"tertiaryfontcolor", &colours.tertiaryFont},
    };
    for (const auto& [key, colour] : keys) {
        std::string text = platform::IniValue(iniText, "colors", key);
        int32_t value;
        if (!text.empty() && TryStrToInt(text, value))
            *colour = static_cast<uint32_t>(value);
    }
}

std::vector<std::string> SkinNames(const std::string& programDir, const std::string& skinsFolder)
{
    std::vector<std::string> names;
    for (const auto& e : platform::ListDirectory(SkinsBasePath(programDir, skinsFolder)))
        if (e.isDirectory)
            names.push_back(LowerCase(e.name));
    return names;
}

QColor ColourOf(uint32_t colour)
{
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

// --- the configuration object's side ------------------------------------------

std::string Tconfig_form::ProgramFolder() const
{
    return programFolder.empty() ? platform::ExecutableDir() : programFolder;
}

void Tconfig_form::LoadSkinColours()
{
    if (skinpathbox->currentText().isEmpty())
        skinpathbox->setCurrentText("default");
    std::string folder = FindSkinFolder(ProgramFolder(), skinsFolder, platform::ToAnsi(skinpathbox->currentText()));
    if (folder.empty())
        return;
    ParseSkinColours(ReadTextFile(platform::JoinPath(folder, "skin.ini")), skinColours);
}

void Tconfig_form::ApplySkinColours()
{
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ColourOf(skinColours.primary));
    palette.setColor(QPalette::WindowText, ColourOf(skinColours.primaryFont));
    setPalette(palette);
    setAutoFillBackground(true);

    // The page tabs in the dialog's colours too, so their captions stay readable.
    QPalette tabs = pages->tabBar()->palette();
    tabs.setColor(QPalette::Window, ColourOf(skinColours.primary));
    tabs.setColor(QPalette::Button, ColourOf(skinColours.primary));
    tabs.setColor(QPalette::WindowText, ColourOf(skinColours.primaryFont));
    tabs.setColor(QPalette::ButtonText, ColourOf(skinColours.primaryFont));
    pages->tabBar()->setPalette(tabs);

    QPalette panel = buttonpanel->palette();
    panel.setColor(QPalette::Window, ColourOf(skinColours.tertiary));
    panel.setColor(QPalette::WindowText, ColourOf(skinColours.tertiaryFont));
    panel.setColor(QPalette::ButtonText, ColourOf(skinColours.tertiaryFont));
    buttonpanel->setPalette(panel);
    buttonpanel->setAutoFillBackground(true);

    SetColour(getskinshere, QPalette::WindowText, skinColours.highlight);
}

void Tconfig_form::ListSkins()
{
    // Replacing the items must not lose the name the user has chosen.
    const QString chosen = skinpathbox->currentText();
    skinpathbox->clear();
    for (const auto& name : SkinNames(ProgramFolder(), skinsFolder))
        skinpathbox->addItem(platform::FromAnsi(name));
    skinpathbox->setCurrentText(chosen);
}

void Tconfig_form::getskinshereClick() { OpenBrowser(linkTable[LinkIndex("skins")].url); }
