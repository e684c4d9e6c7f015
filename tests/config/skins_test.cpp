#include "configfixture.h"

#include "config/skins.h"
#include "platform/shell.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

#include <cstdlib>
#include <filesystem>

namespace {

class SkinsTest : public ConfigFormTest {
protected:
    std::string Skin(const std::string& folder, const std::string& colors)
    {
        return program.Write("unrealskins/" + folder + "/skin.ini", "[general]\nprimarycolor=1\n\n[colors]\n" + colors);
    }
    static QColor Colour(QWidget* w, QPalette::ColorRole role) { return w->palette().color(role); }
};

const QColor kGameBackground(0x4A, 0x4E, 0x43);
const QColor kGamePanel(0x7B, 0x74, 0x67);
const QColor kYellow(0xFF, 0xFF, 0x00);

} // namespace

TEST_F(SkinsTest, NoSkinsFolderGivesTheProfileColours)
{
    auto form = Make();
    EXPECT_EQ(Colour(form.get(), QPalette::Window), kGameBackground);
    EXPECT_EQ(Colour(form.get(), QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(Colour(form->buttonpanel, QPalette::Window), kGamePanel);
    EXPECT_EQ(Colour(form->buttonpanel, QPalette::ButtonText), QColor(Qt::white));
    EXPECT_EQ(Colour(form->getskinshere, QPalette::WindowText), kYellow);
    EXPECT_EQ(Colour(form->nick, QPalette::WindowText), QColor(Qt::white));   // carried to the controls

    auto base = Make<Tconfig_form>();
    EXPECT_EQ(Colour(base.get(), QPalette::Window), QColor(0x00, 0x33, 0x00));
    EXPECT_EQ(Colour(base->buttonpanel, QPalette::Window), QColor(0x33, 0x33, 0x33));
}

TEST_F(SkinsTest, ColoursFromTheDefaultSkin)
{
    // The design name "Default" meets the folder "default".
    Skin("default", "primarycolor=$0000FF\n"
                    "primaryfontcolor=banana\n"
                    "tertiarycolor=  0x00FF00\n"
                    "tertiaryfontcolor=\n"
                    "highlightcolor=-x1\n"
                    "secondarycolor=255\n");
    auto form = Make();
    EXPECT_EQ(form->skinpathbox->currentText(), "Default");
    EXPECT_EQ(form->skinColours.primary, 0x0000FFu);
    EXPECT_EQ(Colour(form.get(), QPalette::Window), QColor(Qt::red));
    EXPECT_EQ(Colour(form.get(), QPalette::WindowText), QColor(Qt::white));   // a word keeps the default
    EXPECT_EQ(Colour(form->buttonpanel, QPalette::Window), QColor(Qt::green));
    EXPECT_EQ(form->skinColours.tertiaryFont, 0xFFFFFFu);                       // empty keeps it too
    EXPECT_EQ(form->skinColours.highlight, 0xFFFFFFFFu);                        // signed hexadecimal
    EXPECT_EQ(form->skinColours.secondary, 255u);
}

TEST_F(SkinsTest, AChosenSkinAndADeletedOne)
{
    Skin("default", "primarycolor=$0000FF\n");
    Skin("Dark", "primarycolor=$202020\n");
    Store("skinpathbox_Text", "dark");
    EXPECT_EQ(Make()->skinColours.primary, 0x202020u);

    std::filesystem::remove_all(program.File("unrealskins/Dark"));
    auto form = Make();
    EXPECT_EQ(form->skinColours.primary, 0x0000FFu);
    EXPECT_EQ(form->skinpathbox->currentText(), "dark");   // the stored name stays

    // Neither the skin nor "default": the profile's colours, nothing said.
    std::filesystem::remove_all(program.File("unrealskins/default"));
    TScriptedDialogs dialogs;
    EXPECT_EQ(Make()->skinColours.primary, 0x434E4Au);
    EXPECT_TRUE(dialogs.shown.empty());

    // An empty name reads "default".
    Skin("default", "primarycolor=7\n");
    Store("skinpathbox_Text", "");
    form = Make();
    EXPECT_EQ(form->skinColours.primary, 7u);
    EXPECT_EQ(form->skinpathbox->currentText(), "default");
}

TEST_F(SkinsTest, SkinFoldersAndTheirNames)
{
    EXPECT_EQ(SkinsBasePath("/opt/qp", "\\unrealskins\\"), "/opt/qp/unrealskins/");
    EXPECT_EQ(SkinsBasePath("/", "\\skins"), "/skins/");
    program.MakeDir("unrealskins/default");
    // A name is a folder name, not a path out of the skins folder.
    EXPECT_EQ(FindSkinFolder(program.path(), "\\unrealskins\\", "../unrealskins/default"),
              program.File("unrealskins/default"));
    EXPECT_EQ(FindSkinFolder(program.path(), "\\unrealskins\\", "DEFAULT"), program.File("unrealskins/default"));
    EXPECT_EQ(FindSkinFolder(program.path(), "\\skins", "default"), "");
}

TEST_F(SkinsTest, TheListShowsLowerCaseFolderNames)
{
    program.MakeDir("unrealskins/Dark");
    program.MakeDir("unrealskins/default");
    program.Write("unrealskins/README.txt", "not a skin");
    auto form = Make();
    form->skinpathbox->setCurrentText("Mine");
    form->show();
    form->skinpathbox->showPopup();   // dropping the list down fills it
    form->skinpathbox->hidePopup();
    QStringList items;
    for (int i = 0; i < form->skinpathbox->count(); ++i)
        items << form->skinpathbox->itemText(i);
    items.sort();
    EXPECT_EQ(items, (QStringList{"dark", "default"}));
    EXPECT_EQ(form->skinpathbox->currentText(), "Mine");

    // No skins folder: an empty list.
    std::filesystem::remove_all(program.File("unrealskins"));
    form->ListSkins();
    EXPECT_EQ(form->skinpathbox->count(), 0);
}

TEST_F(SkinsTest, GetSkinsHereOpensTheSkinsAddress)
{
    std::vector<QString> opened;
    platform::SetShellOpener([&](const QString& a) {
        opened.push_back(a);
        return true;
    });
    auto form = Make<Tconfig_form>();
    form->show();
    QPointF at(3, 3);
    QMouseEvent press(QEvent::MouseButtonPress, at, form->getskinshere->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, form->getskinshere->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(form->getskinshere, &press);
    QApplication::sendEvent(form->getskinshere, &release);
    platform::SetShellOpener({});
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toStdString(), form->linkTable[18].url);
    EXPECT_EQ(form->getskinshere->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(form->getskinshere->font().underline());
}

TEST_F(SkinsTest, TheShippedSkinsLieBesideTheBuiltClient)
{
    // The client started from the build tree (./run.sh) finds the skins the
    // packages ship, and takes the default one's colours.
    const char* bin = std::getenv("QP_BUILD_BIN");
    ASSERT_NE(bin, nullptr);
    for (const char* skin : {"default", "desert", "night"})
        EXPECT_TRUE(std::filesystem::is_regular_file(std::string(bin) + "/unrealskins/" + skin + "/skin.ini")) << skin;
    std::unique_ptr<Tconfig_form> form(new Tscconfig_form(nullptr));
    form->programFolder = bin;
    form->FormCreate();
    form->ListSkins();
    EXPECT_GE(form->skinpathbox->findText("night"), 0);
    EXPECT_GE(form->skinpathbox->findText("desert"), 0);
}
