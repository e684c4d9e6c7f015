// The game actions, the invitation question and the idle-time update that
// enables the actions from the lobby state.
#include "plb_cmain.h"

#include "text/textfuncs.h"
#include "config/host_main.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "splitbar.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QCheckBox>
#include <QSpinBox>
#include <QTextEdit>

namespace {

enum class Selection { None, OtherPlayer, Game };

} // namespace

bool Tplb_c::AskGameSettings(std::string& param)
{
    Thost_form* dialog = hostForm;
    if (!dialog)
        return false;
    dialog->maxplayers->setMaximum(maxPlayersLimit);
    dialog->maxplayers->setMinimum(minPlayers);
    dialog->maxplayers->setValue(maxPlayersLimit);
    if (platform::RunModal(*dialog) != QDialog::Accepted)
        return false;
    const std::string name = Trim(platform::ToAnsi(dialog->gamename->text()));
    dialog->gamename->setText(platform::FromAnsi(name));
    if (lobby::ValidGameName(name).empty()) {
        platform::ShowMessage(this, platform::DialogKind::Warning, "That is not a valid gamename");
        return false;
    }
    param = "\\name\\" + name + "\\maxplayers\\" + std::to_string(dialog->maxplayers->value()) + "\\inviteonly\\" +
            (dialog->inviteonly->isChecked() ? "1" : "0");
    return true;
}

void Tplb_c::HostGameExecute()
{
    std::string param;
    if (AskGameSettings(param))
        SendRecord(LobbyRecord{cmHost, selfIndex, param});
}

void Tplb_c::gamesettingsExecute()
{
    std::string param;
    if (!AskGameSettings(param))
        return;
    const int32_t hosted = ValidPlayer(selfIndex) ? players[std::size_t(selfIndex)].hostedGame : 0;
    SendRecord(LobbyRecord{cmHost, selfIndex, param + "\\index\\" + std::to_string(hosted)});
}

void Tplb_c::JoinGameExecute()
{
    int row = SelectedRow();
    if (row < 0)
        return;
    while (row > 0 && !RowIsGame(row)) {
        --row;
        playerbox->setCurrentRow(row);
    }
    if (!RowIsGame(row))
        return;
    const int32_t g = RowEntry(row);
    if (ValidGame(g) && games[std::size_t(g)].state == 1) {
        platform::ShowMessage(this, platform::DialogKind::Information, "Sorry, that game is already in progress");
        return;
    }
    SendRecord(LobbyRecord{cmJoin, selfIndex, "\\to\\" + std::to_string(g) + "\\invited\\0"});
}

void Tplb_c::LeaveGameExecute() { SendRecord(LobbyRecord{cmLeave, selfIndex, ""}); }

void Tplb_c::InvitePlayerExecute()
{
    const int row = SelectedRow();
    if (row < 0 || RowIsGame(row))
        return;
    const int32_t p = RowEntry(row);
    const int32_t g = GameOfPlayer(p);
    if (ValidGame(g) && games[std::size_t(g)].state != 0) {
        platform::ShowMessage(this, platform::DialogKind::Information, "Sorry, that user is currently playing a game");
        return;
    }
    SendRecord(LobbyRecord{cmInvite, selfIndex,
                           "\\whoto\\" + std::to_string(p) + "\\whatto\\" + std::to_string(GameOfPlayer(selfIndex))});
}

void Tplb_c::kickplayerExecute()
{
    const int row = SelectedRow();
    if (row < 0 || RowIsGame(row))
        return;
    const int32_t p = RowEntry(row);
    if (!ValidPlayer(p))
        return;
    if (platform::AskYesNo(this, platform::DialogKind::Confirmation,
                           "Are you sure you want to kick " + platform::FromAnsi(players[std::size_t(p)].Name()) + "?"))
        SendRecord(LobbyRecord{cmKick, selfIndex, "\\who\\" + std::to_string(p)});
}

void Tplb_c::LaunchGameExecute()
{
    const int32_t hosted = ValidPlayer(selfIndex) ? players[std::size_t(selfIndex)].hostedGame : 0;
    if (PlayersInGame(hosted) < minPlayers &&
        !platform::AskYesNo(this, platform::DialogKind::Confirmation,
                            "You have less than the minimum number of players, are you sure you want to launch?"))
        return;
    if (!IsHost(selfIndex)) {
        JoinRunningGame();
        return;
    }
    SendRecord(LobbyRecord{cmStart, selfIndex, "\\start\\1"});
    try {
        StartHostedGame();
    } catch (const std::exception& error) {
        // The game is marked as started on the master: it must be marked as
        // finished again below, even when the game could not be started.
        platform::ShowException(error);
    }
    platform::ShowMessage(this, platform::DialogKind::Information, "Game in Progress\r\nPress OK when the game is finished");
    SendRecord(LobbyRecord{cmStart, selfIndex, "\\start\\0"});
}

void Tplb_c::ReceiveInvite(int32_t inviter, int32_t game)
{
    if (inviter <= 0 || !ValidPlayer(inviter) || game <= 0 || !ValidGame(game))
        return;   // no such player or game
    if (invitePromptOpen) {
        SendRecord(LobbyRecord{cmPrivMsg, selfIndex,
                               "\\to\\" + std::to_string(inviter) +
                                   "\\text\\That player is considering another invitation. Try again in a few seconds."});
        return;
    }
    invitePromptOpen = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{invitePromptOpen};
    const std::string text = players[std::size_t(inviter)].Name() + " has invited you to join " +
                             games[std::size_t(game)].Name() + "\r\nDo you want to join?";
    if (platform::AskYesNo(this, platform::DialogKind::Information, platform::FromAnsi(text)))
        SendRecord(LobbyRecord{cmJoin, selfIndex, "\\to\\" + std::to_string(game) + "\\invited\\1"});
}

void Tplb_c::UpdateDisplayUpdate()
{
    if (selfIndex <= 0 || !playerbox)
        return;

    // The game-chat pane is open exactly while the user hosts or has joined a game.
    const bool shouldOpen = !IsFree(selfIndex);
    if (shouldOpen != gamePaneOpen) {
        gamePaneOpen = shouldOpen;
        if (gamePaneOpen)
            AnimateGamePane(0, backpanel->height() * 3 / 4);
        else
            AnimateGamePane(midsplit->geometry().top(), 0);
        ScrollToEnd(mainchat);
        ScrollToEnd(subchat);
    }

    Selection kind = Selection::None;
    int32_t entry = -1;
    const int row = SelectedRow();
    if (row >= 0) {
        entry = RowEntry(row);
        if (RowIsGame(row))
            kind = entry != 0 ? Selection::Game : Selection::None;
        else
            kind = entry != selfIndex ? Selection::OtherPlayer : Selection::None;
    }
    const bool hosts = IsHost(selfIndex);
    const bool otherPlayer = kind == Selection::OtherPlayer;
    const int32_t ownGame = GameOfPlayer(selfIndex);

    SetConfig->setEnabled(true);
    HostGame->setEnabled(!gamePaneOpen);
    LeaveGame->setEnabled(gamePaneOpen);
    InvitePlayer->setEnabled(gamePaneOpen && otherPlayer && !SameGame(selfIndex, entry));
    bool join = false;
    if (kind == Selection::Game)
        join = !SameGame(selfIndex, ValidGame(entry) ? games[std::size_t(entry)].hostPlayer : 0);
    else if (otherPlayer)
        join = !SameGame(selfIndex, entry) && !IsFree(entry);
    JoinGame->setEnabled(join);
    SendPrivMessage->setEnabled(otherPlayer);
    kickplayer->setEnabled(otherPlayer && hosts && ValidPlayer(entry) &&
                           players[std::size_t(entry)].hostPlayer == selfIndex);
    gamesettings->setEnabled(hosts);
    LaunchGame->setEnabled(hosts || (ValidGame(ownGame) && games[std::size_t(ownGame)].state == 1));
}
