// The News window of the game build over a fresh settings store, with a
// configuration object made the way the lobby window makes it, scripted
// message boxes, a modal runner that notes every dialog the program opens,
// and the browser replaced by a list of the addresses it was asked to open.
#pragma once

#include "config/scconfig_main.h"
#include "motd/motd_main.h"
#include "platform/regstore.h"
#include "support/scripteddialogs.h"
#include "support/tempdir.h"

#include <QDialog>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class MotdWindowTest : public ::testing::Test {
protected:
    // The loop's result when the request is over and the program did not ask to end.
    static constexpr int kRequestDone = 7;

    void SetUp() override;
    void TearDown() override;

    // Writes the services' addresses and the game folder to the store and
    // makes the configuration object. `prepare` may set its controls before
    // the window reads them.
    void MakeConfig(const std::string& motdUrl, const std::string& motdUdp,
                    const std::function<void(Tconfig_form&)>& prepare = {});
    // Makes the News window; with `request`, its create handler sends the request.
    Tmotd_form& Open(bool request = true);

    // Runs the program's message loop, as the program does, until it asks to
    // end (0), until the HTTP request is over and handled (kRequestDone), or
    // until the bound passes (-1).
    int RunLoop(int timeoutMs = 10000);
    bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

    std::string Setting(const std::string& name) const { return config->ReadSetting(name); }
    std::string Shown() const;   // the message view's text

    ScopedSettingsHome home;
    TempDir game;
    TScriptedDialogs dialogs;
    std::vector<QString> opened;   // addresses given to the browser
    std::vector<QDialog*> modals;  // the program's own dialogs, as they were opened
    std::function<void(QDialog&)> onModal;
    std::unique_ptr<Tconfig_form> config;
    std::unique_ptr<Tmotd_form> form;
};
