#include "dialogs.h"

#include <QApplication>
#include <QMessageBox>

namespace platform {

namespace {

class RealDialogs : public Dialogs {
public:
    DialogResult Show(QWidget* owner, const DialogRequest& r) override
    {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        switch (r.kind) {
        case DialogKind::Plain: icon = QMessageBox::NoIcon; break;
        case DialogKind::Information: icon = QMessageBox::Information; break;
        case DialogKind::Warning: icon = QMessageBox::Warning; break;
        case DialogKind::Error: icon = QMessageBox::Critical; break;
        case DialogKind::Confirmation: icon = QMessageBox::Question; break;
        }
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        if (r.buttons == DialogButtons::YesNo)
            buttons = QMessageBox::Yes | QMessageBox::No;
        else if (r.buttons == DialogButtons::YesNoCancel)
            buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        QString caption = r.caption.isEmpty() ? QApplication::applicationName() : r.caption;
        QMessageBox box(icon, caption, r.text, buttons, owner);
        // Texts carry names, notices and news from the network: shown as they
        // are, never read as markup.
        box.setTextFormat(Qt::PlainText);
        if (r.retext)
            *r.retext = [&box](const QString& text) { box.setText(text); };
        const int answer = box.exec();
        if (r.retext)
            *r.retext = nullptr;
        switch (answer) {
        case QMessageBox::Yes: return DialogResult::Yes;
        case QMessageBox::No: return DialogResult::No;
        case QMessageBox::Cancel: return DialogResult::Cancel;
        default: return r.buttons == DialogButtons::Ok ? DialogResult::Ok : DialogResult::Cancel;
        }
    }
};

RealDialogs g_real;
Dialogs* g_current = &g_real;

} // namespace

Dialogs& CurrentDialogs() { return *g_current; }

void SetDialogs(Dialogs* dialogs) { g_current = dialogs ? dialogs : &g_real; }

void ShowMessage(QWidget* owner, DialogKind kind, const QString& text, const QString& caption)
{
    CurrentDialogs().Show(owner, DialogRequest{kind, caption, text, DialogButtons::Ok});
}

void ShowMessage(QWidget* owner, DialogKind kind, const QString& text, DialogRetext& retext, const QString& caption)
{
    CurrentDialogs().Show(owner, DialogRequest{kind, caption, text, DialogButtons::Ok, &retext});
}

bool AskYesNo(QWidget* owner, DialogKind kind, const QString& text, const QString& caption)
{
    return CurrentDialogs().Show(owner, DialogRequest{kind, caption, text, DialogButtons::YesNo}) == DialogResult::Yes;
}

} // namespace platform

#include <QDialog>

namespace platform {

namespace {
std::function<int(QDialog&)> g_modalRunner;
}

int RunModal(QDialog& dialog)
{
    if (g_modalRunner)
        return g_modalRunner(dialog);
    return dialog.exec();
}

void SetModalRunner(std::function<int(QDialog&)> runner) { g_modalRunner = std::move(runner); }

} // namespace platform

#include "ansi.h"

namespace platform {

void ShowException(const std::exception& error)
{
    ShowMessage(QApplication::activeWindow(), DialogKind::Error, FromAnsi(error.what()), QApplication::applicationName());
}

} // namespace platform
