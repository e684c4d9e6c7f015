#include "scripteddialogs.h"

using platform::DialogButtons;
using platform::DialogResult;

TScriptedDialogs::TScriptedDialogs() : previous_(&platform::CurrentDialogs()) { platform::SetDialogs(this); }

TScriptedDialogs::~TScriptedDialogs() { platform::SetDialogs(previous_ == this ? nullptr : previous_); }

DialogResult TScriptedDialogs::Show(QWidget*, const platform::DialogRequest& request)
{
    shown.push_back(request);
    if (onShow)
        return onShow(request);
    if (!answers.empty()) {
        DialogResult a = answers.front();
        answers.pop_front();
        return a;
    }
    return request.buttons == DialogButtons::Ok ? DialogResult::Ok : DialogResult::No;
}

int TScriptedDialogs::Count(const QString& text) const
{
    int n = 0;
    for (const auto& r : shown)
        if (r.text == text)
            ++n;
    return n;
}
