// Opening the updater window from the version prompts (start-up hands it to
// the News window): a new window with no
// owner, its settings key set to the key the update information was written
// to, shown modally. Returns when the updater is closed.
#pragma once

#include <string>

class Tconfig_form;

void ShowUpdaterModal(Tconfig_form* config, const std::string& settingsKey);
