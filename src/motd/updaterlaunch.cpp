#include "updaterlaunch.h"

#include "config/config_main.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "update/update_main.h"

#include <QDialog>
#include <QVBoxLayout>

#include <memory>
#include <type_traits>

// The updater window is built in its own unit, which is still growing; this
// is the one place that knows how it is made and shown. It is made with its
// owner and the configuration when it takes them, given the settings key
// when it has the field, and run as a modal dialog (through the program's
// modal runner, which tests answer); a window that is not yet a dialog is
// shown inside one.

namespace {

[[maybe_unused]] void SetKey(std::string& field, const std::string& key) { field = key; }
[[maybe_unused]] void SetKey(QString& field, const std::string& key) { field = platform::FromAnsi(key); }

template <class Form>
Form* MakeUpdater(QWidget* owner, Tconfig_form* config)
{
    if constexpr (std::is_constructible_v<Form, QWidget*, Tconfig_form*>)
        return new Form(owner, config);
    else
        return new Form(owner);
}

template <class Form>
void RunUpdater(Tconfig_form* config, const std::string& settingsKey)
{
    if constexpr (std::is_base_of_v<QDialog, Form>) {
        std::unique_ptr<Form> form(MakeUpdater<Form>(nullptr, config));
        if constexpr (requires { form->settings_key; })
            SetKey(form->settings_key, settingsKey);
        platform::RunModal(*form);
    } else {
        QDialog host;
        Form* form = MakeUpdater<Form>(&host, config);
        if constexpr (requires { form->settings_key; })
            SetKey(form->settings_key, settingsKey);
        host.setWindowTitle(form->windowTitle());
        auto* layout = new QVBoxLayout(&host);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(form);
        platform::RunModal(host);
    }
}

} // namespace

void ShowUpdaterModal(Tconfig_form* config, const std::string& settingsKey)
{
    RunUpdater<Tupdate_form>(config, settingsKey);
}
