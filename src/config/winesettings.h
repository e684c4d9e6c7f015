// Playing the Windows game through Wine on systems without Windows: the
// configuration dialog's "Wine" page (the Wine program, the Wine prefix and
// extra environment lines for the game) and the start of the game with them,
// its output kept in the game log and its failures told plainly.
#pragma once

#include "platform/process.h"

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTabWidget;
class QTimer;
class QToolButton;
class QWidget;

class TWineSettings : public QObject {
public:
    // Adds the page to `pages`; `gameFolder` is the game directory's edit,
    // whose text the default prefix follows.
    TWineSettings(QTabWidget* pages, QLineEdit* gameFolder, QObject* owner);
    // Games still running are let go; they are reaped when they end.
    ~TWineSettings() override;

    // The Wine program: the field's text, else $WINE, else "wine".
    std::string ProgramName() const;
    // The prefix for a game in `gameFolder`: the field's text; else the
    // prefix the folder lies in; else empty, which leaves Wine its own default.
    std::string Prefix(const std::string& gameFolder) const;

    // The disks the executable search visits: the drive_c of the prefix
    // named in the field first, when there is one, then `roots`.
    std::vector<std::string> SearchRoots(const std::vector<std::string>& roots) const;

    // Starts the game `path` with `arguments` in `folder` (the current folder
    // already). A Windows program runs through the Wine program with
    // WINEPREFIX and the extra environment set for it alone; its output goes
    // to the game log. Returns the process id, or 0 when nothing started
    // (the user has been told why in an error box over `owner`).
    int32_t StartGame(QWidget* owner, const std::string& path, const std::string& arguments,
                      const std::string& folder);

    // How long after its start a game's failing end is still reported.
    int quickEndMs = 10000;

    QWidget* winepage = nullptr;
    QLabel* wineprogramlab = nullptr;
    QLineEdit* wineprogram = nullptr;
    QToolButton* wineprogram_browse = nullptr;
    QLabel* wineprefixlab = nullptr;
    QLineEdit* wineprefix = nullptr;
    QToolButton* wineprefix_browse = nullptr;
    QLabel* wineenvlab = nullptr;
    QPlainTextEdit* wineenv = nullptr;

private:
    void ShowDefaults();
    void WatchGame(platform::ProcessHandle process, QWidget* owner, bool logged);
    void CheckGames();

    QLineEdit* gameFolder_;
    QTimer* watchTimer_ = nullptr;
    struct Watched {
        platform::ProcessHandle process;
        int64_t startedMs;
        QPointer<QWidget> owner;
        bool logged;
        uint32_t exitCode;
    };
    std::vector<Watched> watched_;
};
