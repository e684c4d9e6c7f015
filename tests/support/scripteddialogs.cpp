#include "scripteddialogs.h"

using platform::DialogButtons;
using platform::DialogResult;

TScriptedDialogs::TScriptedDialogs() : previous_(&platform::CurrentDialogs()) { platform::SetDialogs(this); }

TScriptedDialogs::~TScriptedDialogs() { platform::SetDialogs(previous_ == this ? nullptr : previous_); }

DialogResult TScriptedDialogs::Show(QWidget*, const platform::DialogRequest& request)
{
    const std::size_t index = shown.size();
    shown.push_back(request);
    shown.back().retext = nullptr;
    // A box the program may change while it is open: its record follows.
    if (request.retext)
        *request.retext = [this, index](const QString& text) { shown[index].text = text; };
    DialogResult answer = request.buttons == DialogButtons::Ok ? DialogResult::Ok : DialogResult::No;
    if (onShow) {
        answer = onShow(request);
    } else if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    if (request.retext)
        *request.retext = nullptr;
    return answer;
}

int TScriptedDialogs::Count(const QString& text) const
{
    int n = 0;
    for (const auto& r : shown)
        if (r.text == text)
            ++n;
    return n;
}
