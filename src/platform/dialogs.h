// Every message box of the program goes through here. The program shows
// real message boxes; tests install an implementation of their own (the
// scripted dialogs of tests/support), which records what would have been
// shown and answers as scripted.
#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace platform {

enum class DialogKind { Plain, Information, Warning, Error, Confirmation };
enum class DialogButtons { Ok, YesNo, YesNoCancel };
enum class DialogResult { Ok, Yes, No, Cancel };

// Changes the text of a box while it is open.
using DialogRetext = std::function<void(const QString& text)>;

struct DialogRequest {
    DialogKind kind;
    QString caption;   // empty: the application's title
    QString text;
    DialogButtons buttons;
    // When set, the box puts into it a way to change its text while it is
    // open, and empties it again when it closes.
    DialogRetext* retext = nullptr;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal: the message loop keeps running while the box is open.
    virtual DialogResult Show(QWidget* owner, const DialogRequest& request) = 0;
};

// The dialogs in force; never null.
Dialogs& CurrentDialogs();
// Installs another implementation (not owned); null restores the real one.
void SetDialogs(Dialogs* dialogs);

// Shorthands used across the program.
void ShowMessage(QWidget* owner, DialogKind kind, const QString& text, const QString& caption = {});
bool AskYesNo(QWidget* owner, DialogKind kind, const QString& text, const QString& caption = {});
// An OK box whose text the caller may change through `retext` while it is open.
void ShowMessage(QWidget* owner, DialogKind kind, const QString& text, DialogRetext& retext,
                 const QString& caption = {});

} // namespace platform

class QDialog;

namespace platform {

// Shows one of the program's own dialogs modally and returns its result.
// Tests install a runner that answers for the user.
int RunModal(QDialog& dialog);
void SetModalRunner(std::function<int(QDialog&)> runner);

} // namespace platform

#include <exception>

namespace platform {

// The application's general error handler: shows the error's text in an
// error box; the message loop goes on.
void ShowException(const std::exception& error);

} // namespace platform
