#include "updaterlaunch.h"

#include "config/config_main.h"
#include "platform/dialogs.h"
#include "update/update_main.h"

// The one place that knows how the updater window is made and shown: with
// the configuration (for its proxies) and the settings key, as a modal dialog
// through the program's modal runner, which tests answer.
void ShowUpdaterModal(Tconfig_form* config, const std::string& settingsKey)
{
    Tupdate_form form(nullptr, config);
    form.settings_key = settingsKey;
    platform::RunModal(form);
}
