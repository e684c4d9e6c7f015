// Message boxes answered as a test scripts them: while an instance lives it
// is the program's dialogs; it records every box that would have been shown.
#pragma once

#include "platform/dialogs.h"

#include <deque>
#include <functional>
#include <vector>

class TScriptedDialogs : public platform::Dialogs {
public:
    TScriptedDialogs();
    ~TScriptedDialogs() override;
    TScriptedDialogs(const TScriptedDialogs&) = delete;
    TScriptedDialogs& operator=(const TScriptedDialogs&) = delete;

    platform::DialogResult Show(QWidget* owner, const platform::DialogRequest& request) override;

    // Answers given in order; when none is queued, Ok for an OK box and No
    // for a question.
    std::deque<platform::DialogResult> answers;
    std::function<platform::DialogResult(const platform::DialogRequest&)> onShow;   // answers first when set
    std::vector<platform::DialogRequest> shown;

    int Count(const QString& text) const;
    bool Saw(const QString& text) const { return Count(text) > 0; }

private:
    platform::Dialogs* previous_;
};
