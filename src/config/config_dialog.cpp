// What the configuration dialog does when the user works it: OK, Cancel,
// About, the folder buttons, the proxy check boxes, and the proxy settings
// it hands to the network clients.
#include "config_main.h"

#include "text/textfuncs.h"
#include "exesearch.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "resmeter.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>

#include <cstdio>

using platform::FromAnsi;
using platform::ToAnsi;

void Tconfig_form::useproxiesClick()
{
    proxybox->setEnabled(useproxies->isChecked());
    if (useproxies->isChecked())
        httpmotdbutt->setChecked(true);   // a proxy that passes web pages may not pass datagrams
}

void Tconfig_form::usesocksproxiesClick()
{
    socksproxybox->setEnabled(usesocksproxies->isChecked());
    if (usesocksproxies->isChecked())
        httpmotdbutt->setChecked(true);
}

void Tconfig_form::program_dir_browseClick()
{
    const QString prompt = "Select directory containing " + FromAnsi(gameExecutableName);
    QString chosen = OnBrowseFolder ? OnBrowseFolder(prompt, program_dir->text())
                                    : QFileDialog::getExistingDirectory(this, prompt, program_dir->text());
    if (!chosen.isEmpty())
        program_dir->setText(chosen);
}

void Tconfig_form::ok_buttClick()
{
    setResult(QDialog::Accepted);
    bool keepOpen = false;

    std::string dir = ProgramDirText();
    if (!dir.empty() && UpperCase(dir).find(".EXE") == std::string::npos && dir.back() != platform::kPathDelim) {
        dir += platform::kPathDelim;
        SetProgramDirText(dir);
    }
    if (!GameExecutableFound()) {
        if (platform::AskYesNo(this, platform::DialogKind::Confirmation,
                               FromAnsi(gameExecutableName + " not found in " + dir) + "\n" +
                                   "Do you want to change the directory?"))
            keepOpen = true;
    }
    if (nick->text().isEmpty()) {
        if (platform::AskYesNo(this, platform::DialogKind::Confirmation,
                               "You did not enter a nickname, would you like to?"))
            keepOpen = true;
    }

    SaveSettings();   // in every case, also when the dialog stays open
    if (keepOpen)
        setResult(0);
    else
        accept();
}

void Tconfig_form::cancel_buttClick()
{
    LoadSettings();
    QDialog::reject();
}

void Tconfig_form::reject() { cancel_buttClick(); }

QString Tconfig_form::AboutText() const
{
    uint16_t system = 0, user = 0, gdi = 0;
    FreeSystemResources(system, user, gdi);
    char resources[128];
    std::snprintf(resources, sizeof resources, "System = %d%%\rUser = %d%%\rGDI = %d%%", int(system), int(user),
                  int(gdi));
    return "Quillet\n"
           "Copyright (c) 1999 Parlevo Networks\n"
           "\n"
           "Version " + FromAnsi(VersionText()) + "\n" +
           FromAnsi(linkTable[LinkIndex("parlevo")].url) + "\n" + QString::fromLatin1(resources);
}

void Tconfig_form::about_buttClick()
{
    // Message boxes break lines at "\n"; the resource figures use "\r".
    QString text = AboutText();
    text.replace('\r', '\n');
    platform::ShowMessage(this, platform::DialogKind::Information, text);
}

void Tconfig_form::dirfind_buttClick()
{
    // A click during a search asks it to stop after the folder it is scanning.
    if (searching) {
        searching = false;
        return;
    }
    // A search that was asked to stop is still finishing: no second one inside it.
    if (searchRunning_)
        return;

    const std::vector<std::string> roots = platform::FixedDiskRoots();
    searching = true;
    searchRunning_ = true;
    program_dir->clear();
    findanim->setRange(0, 0);   // an endless busy bar
    findanim->show();

    QPointer<Tconfig_form> alive(this);
    auto enter = [this, &alive](const std::string& folder) {
        QCoreApplication::processEvents();
        if (!alive)
            return false;
        if (OnSearchFolder)
            OnSearchFolder(folder);
        return bool(alive);
    };
    for (const auto& candidate : ExecutableSearchCandidates(roots, gameFolderName)) {
        std::string found = FindFileInTree(candidate, gameExecutableName, enter);
        if (!alive)
            return;
        if (!found.empty())
            SetProgramDirText(found);
        if (!program_dir->text().isEmpty() || !searching)
            break;
    }

    findanim->hide();
    findanim->setRange(0, 1);
    if (program_dir->text().isEmpty())
        platform::ShowMessage(this, platform::DialogKind::Plain, FromAnsi(gameExecutableName + " was not found"));
    searching = false;
    searchRunning_ = false;
}

void Tconfig_form::ApplyHttpProxy(THttpProxySettings& client, TSocksSettings& clientSocket) const
{
    if (useproxies->isChecked()) {
        client.ProxyHost = ToAnsi(proxyaddr->text());
        client.ProxyPort = ToAnsi(proxyport->text());
        client.ProxyUser = ToAnsi(proxyuser->text());
        client.ProxyPass = ToAnsi(proxypass->text());
        return;
    }
    client.ProxyHost.clear();
    client.ProxyPort.clear();
    client.ProxyUser.clear();
    client.ProxyPass.clear();
    // Also when SOCKS is off, so a socket does not keep settings the user has since turned off.
    ApplySocksProxy(clientSocket);
}

void Tconfig_form::ApplySocksProxy(TSocksSettings& socket) const
{
    if (usesocksproxies->isChecked()) {
        socket.SocksServer = ToAnsi(socksproxyaddr->text());
        socket.SocksPort = "1080";
        socket.SocksUserCode = ToAnsi(socksproxyuser->text());
        socket.SocksPassword = ToAnsi(socksproxypass->text());
        socket.SocksLevel = socks5butt->isChecked() ? "5" : "4";
        socket.SocksAuthentication = !socket.SocksUserCode.empty();
        return;
    }
    socket.SocksServer.clear();
    socket.SocksPort.clear();
    socket.SocksUserCode.clear();
    socket.SocksPassword.clear();
}

void Tconfig_form::showEvent(QShowEvent* event)
{
    // Centred on the screen at every showing.
    if (QScreen* s = screen()) {
        QRect area = s->availableGeometry();
        QRect frame = frameGeometry();
        move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
    QDialog::showEvent(event);
}
