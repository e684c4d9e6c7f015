#include "configfixture.h"

#include "config/radiogroup.h"
#include "config/resmeter.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

using platform::DialogResult;

namespace {

class ConfigDialogTest : public ConfigFormTest {
protected:
    // A configuration on screen with a nickname, as the user meets it.
    std::unique_ptr<Tconfig_form> Shown()
    {
        auto form = Make();
        form->SetNickText("Bob");
        form->show();
        return form;
    }

    TScriptedDialogs dialogs;
    TempDir game;
};

} // namespace

TEST_F(ConfigDialogTest, OkAppendsTheSeparatorAndLooksForTheGameInside)
{
    game.Write("shadow.exe", "MZ");
    auto form = Shown();
    form->SetProgramDirText(game.path());
    form->ok_butt->click();
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(form->ProgramDirText(), game.path() + "/");
    EXPECT_EQ(Stored("program_dir_Text"), game.path() + "/");
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_FALSE(form->isVisible());

    // Without the game there the question names the folder with its separator.
    TempDir empty;
    form->show();
    form->SetProgramDirText(empty.path());
    form->ok_butt->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text.toStdString(),
              "shadow.exe not found in " + empty.path() + "/\nDo you want to change the directory?");
    EXPECT_EQ(dialogs.shown[0].kind, platform::DialogKind::Confirmation);
    EXPECT_EQ(dialogs.shown[0].buttons, platform::DialogButtons::YesNo);
}

TEST_F(ConfigDialogTest, OkLeavesADirectoryNamingAnExeUnchanged)
{
    std::string exe = game.Write("Launcher.EXE", "MZ");
    auto form = Shown();
    form->SetProgramDirText(exe);
    form->ok_butt->click();
    EXPECT_EQ(form->ProgramDirText(), exe);
    EXPECT_TRUE(dialogs.shown.empty());

    // Also when no such file exists: only the question follows.
    form->show();
    form->SetProgramDirText(game.File("gone.exe"));
    form->ok_butt->click();
    EXPECT_EQ(form->ProgramDirText(), game.File("gone.exe"));
    EXPECT_EQ(dialogs.shown.size(), 1u);

    // An empty directory stays empty.
    form->show();
    form->SetProgramDirText("");
    form->ok_butt->click();
    EXPECT_EQ(Stored("program_dir_Text"), "");
}

TEST_F(ConfigDialogTest, NoToBothQuestionsSavesAndCloses)
{
    auto form = Shown();
    form->SetNickText("");
    form->SetProgramDirText(game.path());
    form->email->setText("bob@example.test");
    dialogs.answers = {DialogResult::No, DialogResult::No};
    form->ok_butt->click();
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_TRUE(dialogs.shown[0].text.startsWith("shadow.exe not found in "));
    EXPECT_EQ(dialogs.shown[1].text, "You did not enter a nickname, would you like to?");
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(Stored("program_dir_Text"), game.path() + "/");
    EXPECT_EQ(Stored("email_Text"), "bob@example.test");
}

TEST_F(ConfigDialogTest, YesKeepsTheDialogOpenAndStillSaves)
{
    auto form = Shown();
    form->SetNickText("");
    form->SetProgramDirText(game.path());
    form->zip->setText("90210");
    dialogs.answers = {DialogResult::Yes, DialogResult::No};
    form->ok_butt->click();
    ASSERT_EQ(dialogs.shown.size(), 2u);   // the nickname question still follows
    EXPECT_EQ(dialogs.shown[1].text, "You did not enter a nickname, would you like to?");
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->result(), 0);
    EXPECT_EQ(Stored("zip_Text"), "90210");

    // Yes to the nickname question alone keeps it open too.
    dialogs.shown.clear();
    game.Write("shadow.exe", "MZ");
    dialogs.answers = {DialogResult::Yes};
    form->ok_butt->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(ConfigDialogTest, CancelAfterEditsRestoresTheStoredValues)
{
    game.Write("shadow.exe", "MZ");
    auto form = Shown();
    form->SetProgramDirText(game.path());
    form->proxyaddr->setText("proxy.test");
    form->ok_butt->click();

    form->show();
    form->SetNickText("Mallory");
    form->SetProgramDirText("/elsewhere");
    form->proxyaddr->setText("other.test");
    form->useproxies->click();
    form->udpmotdbutt->setChecked(true);
    form->speedbox->setCurrentIndex(6);
    ASSERT_TRUE(form->proxybox->isEnabled());
    form->cancel_butt->click();
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->NickText(), "Bob");
    EXPECT_EQ(form->ProgramDirText(), game.path() + "/");
    EXPECT_EQ(form->proxyaddr->text(), "proxy.test");
    EXPECT_FALSE(form->useproxies->isChecked());
    EXPECT_FALSE(form->proxybox->isEnabled());   // the check box's handler ran on restore
    EXPECT_TRUE(form->httpmotdbutt->isChecked());
    EXPECT_EQ(form->speedbox->currentIndex(), 2);

    // Escape (or closing the window) leaves the dialog the same way.
    form->show();
    form->SetNickText("Eve");
    form->reject();
    EXPECT_EQ(form->NickText(), "Bob");
    EXPECT_EQ(form->result(), QDialog::Rejected);
}

TEST_F(ConfigDialogTest, SettingsWrittenByOkAreInTheStoreAndReadBackByAFreshObject)
{
    game.Write("shadow.exe", "MZ");
    auto form = Shown();
    form->SetProgramDirText(game.path());
    form->realname->setText("Bob Builder");
    form->age->setText("42");
    form->email->setText("bob@example.test");
    form->notify_box->setChecked(false);
    form->usesocksproxies->click();
    form->socksproxyaddr->setText("socks.test");
    form->socks4butt->setChecked(true);
    form->speedbox->setCurrentIndex(7);
    form->interfacestyle->SetItemIndex(1);
    form->use_taskbar->setChecked(true);   // hidden in this build, still stored
    form->skinpathbox->setCurrentText("dark");
    form->ok_butt->click();

    const std::string file = ReadFileText(home.storePath());
    const std::string section = "[HKEY_CURRENT_USER\\Software\\Parlevo\\quillet\\scompany\\config]";
    ASSERT_NE(file.find(section), std::string::npos) << file;
    const std::string values = file.substr(file.find(section));
    for (const char* line : {"\"nick_Text\"=\"Bob\"", "\"realname_Text\"=\"Bob Builder\"", "\"age_Text\"=\"42\"",
                             "\"notify_box_Checked\"=\"False\"", "\"usesocksproxies_Checked\"=\"True\"",
                             "\"socks4butt_Checked\"=\"True\"", "\"speedbox_ItemIndex\"=\"7\"",
                             "\"interfacestyle_ItemIndex\"=\"1\"", "\"use_taskbar_Checked\"=\"True\"",
                             "\"skinpathbox_Text\"=\"dark\"", "\"httpmotdbutt_Checked\"=\"True\""})
        EXPECT_NE(values.find(line), std::string::npos) << line;

    form.reset();
    auto fresh = Make();
    EXPECT_EQ(fresh->NickText(), "Bob");
    EXPECT_EQ(fresh->ProgramDirText(), game.path() + "/");
    EXPECT_EQ(fresh->realname->text(), "Bob Builder");
    EXPECT_EQ(fresh->EmailForMotd(), "bob@example.test");
    EXPECT_FALSE(fresh->notify_box->isChecked());
    EXPECT_TRUE(fresh->socksproxybox->isEnabled());
    EXPECT_EQ(fresh->socksproxyaddr->text(), "socks.test");
    EXPECT_TRUE(fresh->socks4butt->isChecked());
    EXPECT_EQ(fresh->speedbox->currentIndex(), 7);
    EXPECT_EQ(fresh->interfacestyle->ItemIndex(), 1);
    EXPECT_TRUE(fresh->use_taskbar->isChecked());
    EXPECT_EQ(fresh->skinpathbox->currentText(), "dark");
}

TEST_F(ConfigDialogTest, LineBreaksNeitherGetIntoFieldsNorCostTheOtherSettings)
{
    game.Write("shadow.exe", "MZ");
    auto form = Shown();
    form->SetProgramDirText(game.path());
    // Pasted text loses its line breaks, as in a browser's text field.
    QApplication::clipboard()->setText("bob@example.org\r\n");
    form->email->clear();
    form->email->paste();
    EXPECT_EQ(form->email->text(), "bob@example.org");
    QApplication::clipboard()->setText("Bob\nBuilder\u2028");
    form->realname->clear();
    form->realname->paste();
    EXPECT_EQ(form->realname->text(), "BobBuilder");

    // Nor does the program put one in.
    form->zip->setText("12\r\n34");
    EXPECT_EQ(form->zip->text(), "1234");
    form->ok_butt->click();
    form.reset();
    auto fresh = Make();
    EXPECT_EQ(fresh->NickText(), "Bob");
    EXPECT_EQ(fresh->ProgramDirText(), game.path() + "/");
    EXPECT_EQ(fresh->email->text(), "bob@example.org");

    // A stored value with line breaks (an older file) costs no other setting.
    Store("email_Text", "a\r\nb");
    auto older = Make();
    EXPECT_EQ(older->NickText(), "Bob");
    EXPECT_EQ(older->email->text(), "ab");
    EXPECT_EQ(Stored("email_Text"), "a\r\nb");
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ConfigDialogTest, ProxyCheckBoxesEnableTheirBoxesAndChooseHttp)
{
    auto form = Make();
    EXPECT_FALSE(form->proxybox->isEnabled());
    EXPECT_FALSE(form->socksproxybox->isEnabled());

    form->udpmotdbutt->setChecked(true);
    form->usesocksproxies->click();
    EXPECT_TRUE(form->socksproxybox->isEnabled());
    EXPECT_TRUE(form->httpmotdbutt->isChecked());
    form->usesocksproxies->click();
    EXPECT_FALSE(form->socksproxybox->isEnabled());

    form->udpmotdbutt->setChecked(true);
    form->useproxies->click();
    EXPECT_TRUE(form->proxybox->isEnabled());
    EXPECT_TRUE(form->httpmotdbutt->isChecked());
    form->udpmotdbutt->setChecked(true);
    form->useproxies->click();
    EXPECT_FALSE(form->proxybox->isEnabled());
    EXPECT_TRUE(form->udpmotdbutt->isChecked());   // unchecking leaves the choice alone

    // The message-of-the-day choice and the ping choice are independent pairs.
    form->tcppingbutt->setChecked(true);
    EXPECT_TRUE(form->udpmotdbutt->isChecked());
    EXPECT_TRUE(form->socks5butt->isChecked());
}

TEST_F(ConfigDialogTest, ProxySettingsForTheNetworkClients)
{
    auto form = Make();
    THttpProxySettings http{"stale", "1", "u", "p"};
    TSocksSettings socket{"stale.test", "9", "u", "p", "4", true};

    // Neither proxy: everything cleared.
    form->ApplyHttpProxy(http, socket);
    EXPECT_EQ(http.ProxyHost + http.ProxyPort + http.ProxyUser + http.ProxyPass, "");
    EXPECT_EQ(socket.SocksServer + socket.SocksPort + socket.SocksUserCode + socket.SocksPassword, "");

    // SOCKS only: the HTTP client's socket goes through it, always on port 1080.
    form->usesocksproxies->click();
    form->socksproxyaddr->setText("socks.test");
    form->socksproxyuser->setText("bob");
    form->socksproxypass->setText("pw");
    form->ApplyHttpProxy(http, socket);
    EXPECT_EQ(http.ProxyHost, "");
    EXPECT_EQ(socket.SocksServer, "socks.test");
    EXPECT_EQ(socket.SocksPort, "1080");
    EXPECT_EQ(socket.SocksUserCode, "bob");
    EXPECT_EQ(socket.SocksPassword, "pw");
    EXPECT_EQ(socket.SocksLevel, "5");
    EXPECT_TRUE(socket.SocksAuthentication);

    form->socks4butt->setChecked(true);
    form->socksproxyuser->clear();
    TSocksSettings ftpSocket;
    form->ApplySocksProxy(ftpSocket);
    EXPECT_EQ(ftpSocket.SocksLevel, "4");
    EXPECT_FALSE(ftpSocket.SocksAuthentication);

    // The HTTP proxy: its four values, the socket left as it is.
    form->useproxies->click();
    form->proxyaddr->setText("proxy.test");
    form->proxyport->setText("3128");
    form->proxyuser->setText("alice");
    form->proxypass->setText("secret");
    form->ApplyHttpProxy(http, socket);
    EXPECT_EQ(http.ProxyHost, "proxy.test");
    EXPECT_EQ(http.ProxyPort, "3128");
    EXPECT_EQ(http.ProxyUser, "alice");
    EXPECT_EQ(http.ProxyPass, "secret");
}

TEST_F(ConfigDialogTest, AboutShowsVersionAddressAndFreeResources)
{
    uint16_t system = 0, user = 0, gdi = 0;
    FreeSystemResources(system, user, gdi);
    EXPECT_EQ(system, 100);
    EXPECT_EQ(user, 100);
    EXPECT_EQ(gdi, 100);

    auto form = Make();
    EXPECT_TRUE(form->AboutText().endsWith("System = 100%\rUser = 100%\rGDI = 100%"));
    form->about_butt->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].kind, platform::DialogKind::Information);
    QStringList lines = dialogs.shown[0].text.split('\n');
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines[0], "Quillet");
    EXPECT_TRUE(lines[1].contains("1999"));
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "Version 150101");
    EXPECT_EQ(lines[4].toStdString(), form->linkTable[Tconfig_form::LinkIndex("parlevo")].url);
    EXPECT_EQ(lines.mid(5).join('|'), "System = 100%|User = 100%|GDI = 100%");
}

TEST_F(ConfigDialogTest, BrowseAsksForTheGameFolder)
{
    auto form = Make();
    QString prompt;
    form->OnBrowseFolder = [&](const QString& p, const QString&) {
        prompt = p;
        return QString::fromStdString(game.path());
    };
    form->program_dir_browse->click();
    EXPECT_EQ(prompt, "Select directory containing shadow.exe");
    EXPECT_EQ(form->ProgramDirText(), game.path());

    form->OnBrowseFolder = [](const QString&, const QString&) { return QString(); };   // cancelled
    form->program_dir_browse->click();
    EXPECT_EQ(form->ProgramDirText(), game.path());
}

TEST_F(ConfigDialogTest, ShownModallyItReportsHowItWasLeft)
{
    game.Write("shadow.exe", "MZ");
    auto form = Make();
    form->SetNickText("Bob");
    form->SetProgramDirText(game.path());
    platform::SetModalRunner({});
    QTimer::singleShot(0, form.get(), [&] { form->ok_butt->click(); });
    EXPECT_EQ(platform::RunModal(*form), QDialog::Accepted);
    QTimer::singleShot(0, form.get(), [&] { form->cancel_butt->click(); });
    EXPECT_EQ(platform::RunModal(*form), QDialog::Rejected);
}

TEST_F(ConfigDialogTest, TheGameBuildShowsOnlyTheGeneralPage)
{
    auto base = Make<Tconfig_form>();
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(base->pages->isTabVisible(i));
    EXPECT_FALSE(base->findanim->isVisibleTo(base.get()));
    EXPECT_FALSE(base->homechanneledit->isVisibleTo(base.get()));

    auto game = Make();
    for (int i = 1; i < 5; ++i)
        EXPECT_FALSE(game->pages->isTabVisible(i));
    game->show();
    EXPECT_FALSE(game->use_taskbar->isVisible());
    EXPECT_FALSE(game->realname->isVisible());
    EXPECT_TRUE(game->email->isVisible());
    // Everything shown fits the shorter page; the interface style lies below it.
    QWidget* page = game->generalpage;
    for (QWidget* w : {static_cast<QWidget*>(game->program_dir), static_cast<QWidget*>(game->dirfind_butt),
                       static_cast<QWidget*>(game->speedbox), static_cast<QWidget*>(game->demobox)})
        EXPECT_TRUE(page->rect().contains(w->geometry())) << w->objectName().toStdString();
    EXPECT_GE(game->interfacestyle->y(), page->height());
    EXPECT_LE(game->about_butt->geometry().bottom(), game->height());
}
