// Saves and restores a dialog's control properties as string values named
// "<control>_<property>" in one registry key, together with the dialog's
// own window placement ("Flags", "ShowCmd", "PixelsPerInch", "MinMaxPos",
// "NormPos").
#pragma once

#include "platform/regstore.h"

#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QRadioButton;
class QWidget;
class TRadioGroup;

class TFormStorage {
public:
    TFormStorage(QWidget* form, std::string key);

    // Properties in the order they are saved and restored.
    void AddText(QLineEdit* edit);
    void AddText(QComboBox* combo);
    void AddText(QPlainTextEdit* memo);
    void AddChecked(QCheckBox* box);
    void AddChecked(QRadioButton* button);
    void AddItemIndex(QComboBox* combo);
    void AddItemIndex(TRadioGroup* group);

    void Save(platform::RegistryStore& store) const;
    // A value that is absent leaves the control as it is.
    void Restore(const platform::RegistryStore& store) const;

    std::vector<std::string> ValueNames() const;

private:
    struct Entry {
        std::string name;
        std::function<std::string()> get;
        std::function<void(const std::string&)> set;
    };
    void Add(QWidget* control, const char* property, std::function<std::string()> get,
             std::function<void(const std::string&)> set);

    QWidget* form_;
    std::string key_;
    std::vector<Entry> entries_;
};
