// Relations derived from the player and game tables, and the list content.
#include "plb_cmain.h"

#include "platform/ansi.h"

#include <QListWidget>

#include <unordered_map>

namespace {
const QString kGameMarker = QStringLiteral("\\\\\\GAME\\\\\\");
constexpr int kEntryRole = Qt::UserRole;
} // namespace

int32_t Tplb_c::GameOfPlayer(int32_t p) const
{
    if (!ValidPlayer(p))
        return 0;
    const lobby::PlayerRecord& player = players[std::size_t(p)];
    if (player.hostedGame != 0)
        return player.hostedGame;
    if (player.hostPlayer != 0)
        return ValidPlayer(player.hostPlayer) ? players[std::size_t(player.hostPlayer)].hostedGame : 0;
    return 0;
}

bool Tplb_c::IsHost(int32_t p) const { return ValidPlayer(p) && players[std::size_t(p)].hostedGame > 0; }

bool Tplb_c::InGame(int32_t p) const { return ValidPlayer(p) && players[std::size_t(p)].hostPlayer > 0; }

bool Tplb_c::IsFree(int32_t p) const { return !IsHost(p) && !InGame(p); }

bool Tplb_c::SameGame(int32_t a, int32_t b) const
{
    if (a == b)
        return true;
    if (!ValidPlayer(a) || !ValidPlayer(b))
        return false;
    const lobby::PlayerRecord& pa = players[std::size_t(a)];
    const lobby::PlayerRecord& pb = players[std::size_t(b)];
    return b == pa.hostPlayer || a == pb.hostPlayer || (pa.hostPlayer != 0 && pa.hostPlayer == pb.hostPlayer);
}

int32_t Tplb_c::PlayersInGame(int32_t g) const
{
    if (g > 0 && (!ValidGame(g) || !games[std::size_t(g)].active))
        return 0;
    int32_t count = 0;
    for (std::size_t i = 1; i < players.size(); ++i)
        if (players[i].active && GameOfPlayer(int32_t(i)) == g)
            ++count;
    return count;
}

bool Tplb_c::GameFull(int32_t g) const
{
    return g > 0 && ValidGame(g) && PlayersInGame(g) >= int32_t(games[std::size_t(g)].maxPlayers);
}

bool Tplb_c::RowIsGame(int row) const
{
    QListWidgetItem* item = playerbox->item(row);
    return item && item->text() == kGameMarker;
}

int32_t Tplb_c::RowEntry(int row) const
{
    QListWidgetItem* item = playerbox->item(row);
    return item ? item->data(kEntryRole).toInt() : -1;
}

int Tplb_c::SelectedRow() const
{
    QListWidgetItem* item = playerbox->currentItem();
    return item && item->isSelected() ? playerbox->row(item) : -1;
}

void Tplb_c::RebuildPlayerList()
{
    // 1. Remember the selection.
    const int selected = SelectedRow();
    const bool selectedGameRow = selected >= 0 && RowIsGame(selected);
    const int32_t selectedEntry = selected >= 0 ? RowEntry(selected) : -1;
    int32_t selectedGame = -1;
    if (selected >= 0)
        selectedGame = selectedGameRow ? selectedEntry : GameOfPlayer(selectedEntry);
    const int32_t ownGame = GameOfPlayer(selfIndex);

    // The members of each game, by host, in table order (one pass instead of
    // one pass per game).
    std::unordered_map<int32_t, std::vector<int32_t>> membersByHost;
    std::vector<int32_t> freePlayers;
    for (std::size_t i = 1; i < players.size(); ++i) {
        const lobby::PlayerRecord& p = players[i];
        if (!p.active)
            continue;
        if (p.hostPlayer != 0)
            membersByHost[p.hostPlayer].push_back(int32_t(i));
        if (IsFree(int32_t(i)))
            freePlayers.push_back(int32_t(i));
    }

    // 2. Suspend updates and clear.
    playerbox->setUpdatesEnabled(false);
    playerbox->clear();
    auto addRow = [this](const QString& text, int32_t entry) {
        auto* item = new QListWidgetItem(text);
        item->setData(kEntryRole, entry);
        playerbox->addItem(item);
    };
    auto addPlayer = [&](int32_t p) {
        if (ValidPlayer(p))
            addRow(platform::FromAnsi(players[std::size_t(p)].Name()), p);
    };

    // 3. The open games, each with its host and members when shown.
    for (std::size_t i = 1; i < games.size(); ++i) {
        const lobby::GameRecord& g = games[i];
        if (!g.active)
            continue;
        addRow(kGameMarker, int32_t(i));
        if (!showAll && int32_t(i) != selectedGame && int32_t(i) != ownGame)
            continue;
        if (g.hostPlayer > 0) {
            addPlayer(g.hostPlayer);
            auto members = membersByHost.find(g.hostPlayer);
            if (members != membersByHost.end())
                for (int32_t m : members->second)
                    addPlayer(m);
        }
    }

    // 4. "No Game" and the players in no game.
    addRow(kGameMarker, 0);
    for (int32_t p : freePlayers)
        addPlayer(p);

    // 5. Resume and select the row of the same entry again.
    playerbox->setUpdatesEnabled(true);
    if (selected >= 0) {
        for (int row = 0; row < playerbox->count(); ++row)
            if (RowIsGame(row) == selectedGameRow && RowEntry(row) == selectedEntry) {
                playerbox->setCurrentRow(row);
                break;
            }
    }
}

void Tplb_c::playerboxClick()
{
    if (!showAll)
        RebuildPlayerList();
}

void Tplb_c::ShowAllExecute()
{
    showAll = !showAll;
    ShowAll->setChecked(showAll);
    RebuildPlayerList();
}
