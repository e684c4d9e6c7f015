// A configuration object of the game build over a fresh settings store and a
// program folder of the test's own, with the start-up dialog answered Cancel.
#pragma once

#include "config/scconfig_main.h"
#include "platform/dialogs.h"
#include "platform/regstore.h"
#include "support/scripteddialogs.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QDialog>

#include <memory>

inline const char* kConfigKey = "Software\\Parlevo\\quillet\\scompany\\config";

class ConfigFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetModalRunner([](QDialog&) { return int(QDialog::Rejected); });
    }
    void TearDown() override { platform::SetModalRunner({}); }

    // Created the way the main window creates it, with the skins read from `program`.
    template <class Form = Tscconfig_form>
    std::unique_ptr<Tconfig_form> Make()
    {
        std::unique_ptr<Tconfig_form> form(new Form(nullptr));
        form->programFolder = program.path();
        form->FormCreate();
        return form;
    }

    static void Store(const char* name, const std::string& value)
    {
        platform::RegistryStore::CurrentUser().WriteString(kConfigKey, name, value);
    }
    static std::string Stored(const char* name)
    {
        std::string v;
        platform::RegistryStore::CurrentUser().ReadString(kConfigKey, name, v);
        return v;
    }

    ScopedSettingsHome home;
    TempDir program;
};
