#include "winesettings.h"

#include "app/shellutil.h"
#include "config_main.h"
#include "formstorage.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/wine.h"

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <chrono>
#include <ctime>

using platform::FromAnsi;
using platform::ToAnsi;

namespace {

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Fail(QWidget* owner, const std::string& text)
{
    platform::ShowMessage(owner, platform::DialogKind::Error, FromAnsi(text));
}

std::string LogNote(bool logged)
{
    return logged ? "\nThe game's output is in " + platform::GameLogPath() : std::string();
}

} // namespace

TWineSettings::TWineSettings(QTabWidget* pages, QLineEdit* gameFolder, QObject* owner)
    : QObject(owner), gameFolder_(gameFolder)
{
    winepage = new QWidget;
    winepage->setObjectName("winepage");
    winepage->setAutoFillBackground(true);
    auto label = [this](const char* text, const char* name, int y) {
        auto* l = new QLabel(text, winepage);
        l->setObjectName(name);
        l->move(6, y + 3);
        l->adjustSize();
        return l;
    };
    auto edit = [this](const char* name, int y) {
        auto* e = new QLineEdit(winepage);
        e->setObjectName(name);
        e->setGeometry(86, y, 190, 21);
        return e;
    };
    auto browse = [this](const char* name, int y) {
        auto* b = new QToolButton(winepage);
        b->setObjectName(name);
        b->setGeometry(276, y, 21, 21);
        b->setText("...");
        return b;
    };
    wineprogramlab = label("Wine program:", "wineprogramlab", 4);
    wineprogram = edit("wineprogram", 4);
    wineprogram->setToolTip("The program that runs the Windows game; empty for $WINE, else wine");
    wineprogram_browse = browse("wineprogram_browse", 4);
    wineprefixlab = label("Wine prefix:", "wineprefixlab", 28);
    wineprefix = edit("wineprefix", 28);
    wineprefix->setToolTip("The Wine prefix the game is installed in; empty for the one the game's "
                           "directory lies in, else Wine's own");
    wineprefix_browse = browse("wineprefix_browse", 28);
    wineenvlab = label("Environment:", "wineenvlab", 52);
    wineenv = new QPlainTextEdit(winepage);
    wineenv->setObjectName("wineenv");
    wineenv->setGeometry(86, 52, 211, 62);
    wineenv->setPlaceholderText("NAME=value, one a line");
    wineenv->setToolTip("Extra environment for the game, one NAME=value a line,\n"
                        "for example WINEDLLOVERRIDES=ddraw=n,b");
    pages->addTab(winepage, "Wine");

    connect(wineprogram_browse, &QToolButton::clicked, this, [this] {
        QString chosen = QFileDialog::getOpenFileName(winepage, "Select the Wine program", wineprogram->text());
        if (!chosen.isEmpty())
            wineprogram->setText(chosen);
    });
    connect(wineprefix_browse, &QToolButton::clicked, this, [this] {
        QString chosen = QFileDialog::getExistingDirectory(winepage, "Select the Wine prefix", wineprefix->text());
        if (!chosen.isEmpty())
            wineprefix->setText(chosen);
    });
    // The defaults in force show in the empty fields, the prefix following the game's directory.
    connect(gameFolder_, &QLineEdit::textChanged, this, [this] { ShowDefaults(); });
    ShowDefaults();
}

TWineSettings::~TWineSettings()
{
    for (auto& game : watched_)
        platform::CloseProcessHandle(game.process);
}

void TWineSettings::ShowDefaults()
{
    wineprogram->setPlaceholderText(FromAnsi(platform::WineProgramName()));
    std::string derived = platform::WinePrefixOf(ToAnsi(gameFolder_->text()));
    wineprefix->setPlaceholderText(derived.empty() ? QString("Wine's own (WINEPREFIX, else ~/.wine)")
                                                   : FromAnsi(derived));
}

std::string TWineSettings::ProgramName() const
{
    return platform::WineProgramName(platform::ExpandHome(ToAnsi(wineprogram->text().trimmed())));
}

std::string TWineSettings::Prefix(const std::string& gameFolder) const
{
    std::string chosen = platform::ExpandHome(ToAnsi(wineprefix->text().trimmed()));
    if (!chosen.empty())
        return chosen;
    return platform::WinePrefixOf(gameFolder);
}

std::vector<std::string> TWineSettings::SearchRoots(const std::vector<std::string>& roots) const
{
    const std::string chosen = platform::ExpandHome(ToAnsi(wineprefix->text().trimmed()));
    std::string drive = chosen.empty() ? std::string() : platform::JoinPath(chosen, "drive_c/");
    if (drive.empty() || !platform::DirectoryExists(drive))
        return roots;
    std::vector<std::string> all{drive};
    for (const auto& root : roots)
        if (root != drive)
            all.push_back(root);
    return all;
}

int32_t TWineSettings::StartGame(QWidget* owner, const std::string& path, const std::string& arguments,
                                 const std::string& folder)
{
    const platform::EnvironmentLines extra = platform::ParseEnvironmentLines(ToAnsi(wineenv->toPlainText()));
    if (!extra.badLine.empty()) {
        Fail(owner, "The line \"" + extra.badLine + "\" of the Wine environment is not NAME=value, check your "
                    "configuration");
        return 0;
    }
    platform::LaunchOptions options;
    options.newSession = true;
    std::string how;
    if (platform::IsWindowsProgram(path)) {
        options.wine = ProgramName();
        const std::string wine = platform::FindProgram(options.wine);
        if (wine.empty()) {
            Fail(owner, "Wine is needed to run the Windows game " + path + ", but the Wine program (" + options.wine +
                            ") was not found.\nInstall Wine (on Debian or Ubuntu: sudo apt install wine wine64), "
                            "or name the Wine program on the \"Wine\" page of the configuration.");
            return 0;
        }
        const std::string prefix = Prefix(folder);
        if (!prefix.empty() && !platform::DirectoryExists(prefix)) {
            Fail(owner, "The Wine prefix (" + prefix + ") does not exist, check your configuration");
            return 0;
        }
        if (!prefix.empty())
            options.environment.push_back("WINEPREFIX=" + prefix);
        how = platform::QuoteArgument(wine) + " ";
    }
    options.environment.insert(options.environment.end(), extra.entries.begin(), extra.entries.end());

    // The log begins with what was started, so a player can see it beside the game's own output.
    const std::time_t now = std::time(nullptr);
    char when[64] = "";
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::string header = std::string("Quillet Peer started the game at ") + when + "\n" +
                         "Command: " + how + ProgramCommandLine(path, arguments) + "\n" + "Folder: " + folder + "\n";
    for (const auto& entry : options.environment)
        header += "Environment: " + entry + "\n";
    header += "\n";
    const bool logged = platform::StartGameLog(header);
    if (logged)
        options.outputFile = platform::GameLogPath();

    platform::LaunchResult started =
        platform::LaunchProcess("", ProgramCommandLine(path, arguments), true, options);
    if (started.error != 0) {
        Fail(owner, "Failed to execute program.  Error Code " + std::to_string(started.error) + LogNote(logged));
        return 0;
    }
    const int32_t pid = started.handle.pid;
    WatchGame(started.handle, owner, logged);
    return pid;
}

void TWineSettings::WatchGame(platform::ProcessHandle process, QWidget* owner, bool logged)
{
    watched_.push_back(Watched{process, NowMs(), owner, logged, 0});
    if (!watchTimer_) {
        watchTimer_ = new QTimer(this);
        watchTimer_->setInterval(200);
        connect(watchTimer_, &QTimer::timeout, this, [this] { CheckGames(); });
    }
    watchTimer_->start();
}

void TWineSettings::CheckGames()
{
    // A game that fails as it starts (Wine cannot run it, a library is
    // missing) ends within moments with a failing code: say so, and where
    // its output is. Later ends are the player's own and pass quietly.
    std::vector<Watched> failed;
    for (auto it = watched_.begin(); it != watched_.end();) {
        if (platform::TryWaitProcess(it->process, it->exitCode)) {
            if (it->exitCode != 0 && NowMs() - it->startedMs <= quickEndMs)
                failed.push_back(*it);
            it = watched_.erase(it);
        } else {
            ++it;
        }
    }
    if (watched_.empty())
        watchTimer_->stop();
    // The boxes come last: each runs the message loop, which may come back here.
    for (const auto& game : failed)
        Fail(game.owner, "The game ended as it started, with exit code " + std::to_string(game.exitCode) + "." +
                             LogNote(game.logged));
}

// --- the configuration object's side ------------------------------------------

void Tconfig_form::BuildWineControls()
{
#ifndef _WIN32
    wine = new TWineSettings(pages, program_dir, this);
    FormStorage1->AddText(wine->wineprogram);
    FormStorage1->AddText(wine->wineprefix);
    FormStorage1->AddText(wine->wineenv);
#endif
}

int32_t Tconfig_form::StartGame(const std::string& path, const std::string& folder)
{
#ifdef _WIN32
    (void)folder;
    uint32_t threadId = 0;
    platform::ProcessHandle process;
    const int32_t pid = RunProgram("", ProgramCommandLine(path, launchArguments), launchShowMode, false, process,
                                   threadId);
    platform::CloseProcessHandle(process);
    return pid;
#else
    return wine->StartGame(this, path, launchArguments, folder);
#endif
}
