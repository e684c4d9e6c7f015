// A lobby window driven from stdin, for the tests that run several real
// clients (each in its own network namespace) against a real parlevod.
//
// The window is made exactly as the program makes it (the game build's
// lobby window and its host dialog, settings from the settings file, the
// master address from "lobbyhost"), and runs on the real event loop with
// real sockets, the real peer ping and the real game launch. Only the user
// is replaced: message boxes answer Yes / OK, the host dialog is filled in
// from the "host" command, and buttons are pressed by commands.
//
// Commands, one a line; every answer ends with a line holding ".":
//   dump           "self N", then "player I ACTIVE HOST HOSTED PING ADDRESS NAME"
//                  and "game I ACTIVE STATE HOSTPLAYER NAME" for each table entry,
//                  and "dialog TEXT" for each message box shown so far
//   host NAME      hosts a game called NAME
//   join GAME      selects the game's row and joins it
//   launch         the launch action
//   quit           closes the window and ends
#include "app/application.h"
#include "main/startup.h"
#include "config/host_main.h"
#include "lobby/client/scplb_cmain.h"
#include "platform/dialogs.h"
#include "support/scripteddialogs.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

namespace {

std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = '|';
    return text;
}

class TDriver {
public:
    TDriver(Tscplb_cform* lobby, TScriptedDialogs* dialogs) : lobby_(lobby), dialogs_(dialogs) {}

    void Run(const std::string& line)
    {
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::string rest;
        std::getline(in, rest);
        if (!rest.empty() && rest[0] == ' ')
            rest.erase(0, 1);
        if (command == "dump")
            Dump();
        else if (command == "host")
            Host(rest);
        else if (command == "join")
            Join(std::atoi(rest.c_str()));
        else if (command == "launch")
            lobby_->LaunchGameExecute();
        else if (command == "quit") {
            Reply("bye");
            QApplication::quit();
            return;
        }
        else
            Reply("error unknown command " + command);
        Reply(".");
    }

private:
    void Reply(const std::string& text)
    {
        std::fputs((text + "\n").c_str(), stdout);
        std::fflush(stdout);
    }

    void Dump()
    {
        Reply("self " + std::to_string(lobby_->selfIndex));
        for (std::size_t i = 1; i < lobby_->players.size(); ++i) {
            const lobby::PlayerRecord& p = lobby_->players[i];
            Reply("player " + std::to_string(i) + " " + std::to_string(p.active) + " " +
                  std::to_string(p.hostPlayer) + " " + std::to_string(p.hostedGame) + " " + std::to_string(p.ping) +
                  " " + (p.Address().empty() ? "-" : p.Address()) + " " + OneLine(p.Name()));
        }
        for (std::size_t i = 1; i < lobby_->games.size(); ++i) {
            const lobby::GameRecord& g = lobby_->games[i];
            Reply("game " + std::to_string(i) + " " + std::to_string(g.active) + " " + std::to_string(g.state) + " " +
                  std::to_string(g.hostPlayer) + " " + OneLine(g.Name()));
        }
        for (const platform::DialogRequest& box : dialogs_->shown)
            Reply("dialog " + OneLine(box.text.toStdString()));
    }

    void Host(const std::string& name)
    {
        platform::SetModalRunner([this, name](QDialog& d) {
            Thost_form* form = lobby_->hostForm;
            if (&d != form)
                return int(QDialog::Rejected);
            form->gamename->setText(QString::fromStdString(name));
            return int(QDialog::Accepted);
        });
        lobby_->HostGameExecute();
        platform::SetModalRunner({});
    }

    void Join(int32_t game)
    {
        for (int row = 0; row < lobby_->playerbox->count(); ++row)
            if (lobby_->RowIsGame(row) && lobby_->RowEntry(row) == game) {
                lobby_->playerbox->setCurrentRow(row);
                lobby_->JoinGameExecute();
                return;
            }
        Reply("error no row for game " + std::to_string(game));
    }

    Tscplb_cform* lobby_;
    TScriptedDialogs* dialogs_;
};

} // namespace

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    QApplication::setApplicationName("Quillet Peer");
    QApplication::setApplicationDisplayName("Quillet Peer");

    // Message boxes are answered as a willing user would: Yes, OK.
    TScriptedDialogs dialogs;
    dialogs.onShow = [](const platform::DialogRequest& request) {
        return request.buttons == platform::DialogButtons::Ok ? platform::DialogResult::Ok : platform::DialogResult::Yes;
    };
    platform::SetModalRunner([](QDialog&) { return int(QDialog::Rejected); });

    TStartupWindows windows = CreateStartupWindows();
    Tscplb_cform* lobby = windows.lobby;
    lobby->show();

    TDriver driver(lobby, &dialogs);
    ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
    std::string pending;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n == 0) {
            // The test went away: so does the driver.
            input.setEnabled(false);
            QApplication::quit();
            return;
        }
        if (n < 0)
            return;
        pending.append(buffer, std::size_t(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            driver.Run(line);
        }
    });

    const int result = app.exec();
    delete lobby;
    return result;
}
