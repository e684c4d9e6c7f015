// Skins: folders beside the program, one per skin, each with a "skin.ini"
// whose section "colors" holds the dialog colours.
#pragma once

#include <QColor>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TSkinColours;

// The folder holding the skins: the program's folder followed by the
// profile's skins folder ("\" read as the separator, doubled separators as
// one), with a trailing separator.
std::string SkinsBasePath(const std::string& programDir, const std::string& skinsFolder);

// The folder whose colours a skin name stands for. The name is looked up as
// written, then without regard to letter case (so the design name "Default"
// meets the folder "default"); when neither exists the "default" skin is
// looked up the same way. Empty when there is no folder to read.
std::string FindSkinFolder(const std::string& programDir, const std::string& skinsFolder, const std::string& name);

// Reads the "colors" section of a skin file's text over `colours`. A key that
// is missing, empty or not an integer (decimal, or hexadecimal after "$",
// "x" or "0x", signed, leading blanks allowed) keeps its colour.
void ParseSkinColours(std::string_view iniText, TSkinColours& colours);

// The subfolders of the skins folder, lower-cased, in file-system order.
std::vector<std::string> SkinNames(const std::string& programDir, const std::string& skinsFolder);

// A 0x00BBGGRR colour number as a Qt colour.
QColor ColourOf(uint32_t colour);
