#include "formstorage.h"

#include "text/textfuncs.h"
#include "platform/ansi.h"
#include "radiogroup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QWidget>

#include <cstdio>

using platform::FromAnsi;
using platform::ToAnsi;

namespace {

std::string BoolText(bool b) { return b ? "True" : "False"; }

bool ParseBool(const std::string& text, bool& value)
{
    std::string t = LowerCase(text);
    if (t == "true" || t == "1") {
        value = true;
        return true;
    }
    if (t == "false" || t == "0") {
        value = false;
        return true;
    }
    return false;
}

} // namespace

TFormStorage::TFormStorage(QWidget* form, std::string key) : form_(form), key_(std::move(key)) {}

void TFormStorage::Add(QWidget* control, const char* property, std::function<std::string()> get,
                       std::function<void(const std::string&)> set)
{
    entries_.push_back(Entry{control->objectName().toStdString() + "_" + property, std::move(get), std::move(set)});
}

void TFormStorage::AddText(QLineEdit* edit)
{
    Add(edit, "Text", [edit] { return Trim(ToAnsi(edit->text())); },
        [edit](const std::string& v) { edit->setText(FromAnsi(Trim(v))); });
}

void TFormStorage::AddText(QComboBox* combo)
{
    Add(combo, "Text", [combo] { return Trim(ToAnsi(combo->currentText())); },
        [combo](const std::string& v) { combo->setCurrentText(FromAnsi(Trim(v))); });
}

void TFormStorage::AddChecked(QCheckBox* box)
{
    Add(box, "Checked", [box] { return BoolText(box->isChecked()); },
        [box](const std::string& v) {
            bool b;
            if (ParseBool(v, b) && box->isChecked() != b)
                box->click();   // runs the box's click handler, as a user's click would
        });
}

void TFormStorage::AddChecked(QRadioButton* button)
{
    Add(button, "Checked", [button] { return BoolText(button->isChecked()); },
        [button](const std::string& v) {
            bool b;
            if (ParseBool(v, b))
                button->setChecked(b);
        });
}

void TFormStorage::AddItemIndex(QComboBox* combo)
{
    Add(combo, "ItemIndex", [combo] { return std::to_string(combo->currentIndex()); },
        [combo](const std::string& v) {
            int32_t i;
            if (TryStrToInt(v, i) && i >= -1 && i < combo->count())
                combo->setCurrentIndex(i);
        });
}

void TFormStorage::AddItemIndex(TRadioGroup* group)
{
    Add(group, "ItemIndex", [group] { return std::to_string(group->ItemIndex()); },
        [group](const std::string& v) {
            int32_t i;
            if (TryStrToInt(v, i))
                group->SetItemIndex(i);
        });
}

std::vector<std::string> TFormStorage::ValueNames() const
{
    std::vector<std::string> names;
    for (const auto& e : entries_)
        names.push_back(e.name);
    return names;
}

void TFormStorage::Save(platform::RegistryStore& store) const
{
    std::vector<std::pair<std::string, std::string>> values;
    QRect r = form_->geometry();
    char pos[64];
    std::snprintf(pos, sizeof pos, "%d,%d,%d,%d", r.left(), r.top(), r.left() + r.width(), r.top() + r.height());
    values.emplace_back("Flags", "0");
    values.emplace_back("ShowCmd", form_->isVisible() ? "1" : "0");
    values.emplace_back("PixelsPerInch", std::to_string(form_->logicalDpiY()));
    values.emplace_back("MinMaxPos", "-1,-1,-1,-1");
    values.emplace_back("NormPos", pos);
    for (const auto& e : entries_)
        values.emplace_back(e.name, e.get());
    store.WriteStrings(key_, values);
}

void TFormStorage::Restore(const platform::RegistryStore& store) const
{
    std::string v;
    if (store.ReadString(key_, "NormPos", v)) {
        int l, t, r, b;
        if (std::sscanf(v.c_str(), "%d,%d,%d,%d", &l, &t, &r, &b) == 4 && r > l && b > t) {
            // Only a position that is still on one of the screens is taken.
            if (QScreen* screen = form_->screen(); screen && screen->availableVirtualGeometry().contains(QPoint(l, t)))
                form_->move(l, t);
        }
    }
    for (const auto& e : entries_)
        if (store.ReadString(key_, e.name, v))
            e.set(v);
}
