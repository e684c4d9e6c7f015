#include "lobbyfixture.h"

#include "platform/eventloop.h"
#include "platform/regstore.h"

#include <QCoreApplication>
#include <QListWidget>
#include <QThread>

void LobbyTest::SetUp()
{
    game.Write("shadow.exe", "MZ");
    platform::SetModalRunner([this](QDialog& d) { return modal ? modal(d) : int(QDialog::Rejected); });
}

void LobbyTest::TearDown()
{
    delete lobby;
    lobby = nullptr;
    windows = {};
    platform::SetModalRunner({});
    QCoreApplication::processEvents();
}

void LobbyTest::StartLobby(bool waitForName)
{
    platform::RegistryStore store = platform::RegistryStore::CurrentUser();
    store.WriteStrings("Software\\Parlevo\\quillet\\scompany\\config",
                       {{"nick_Text", nick}, {"program_dir_Text", game.path() + "/"}});
    if (writeLobbyHost)
        store.WriteString("Software\\Parlevo\\quillet\\scompany", "lobbyhost",
                          "127.0.0.1:" + std::to_string(master.Port()));
    // The News window asks a closed port, so a message-of-the-day service
    // running on this machine never reaches the lobby's tests.
    store.WriteStrings("Software\\Parlevo\\quillet\\scompany",
                       {{"motdurl", "http://127.0.0.1:1/motd.asp?cmd="}, {"motdudp", "127.0.0.1:1"}});
    windows = CreateStartupWindows();
    lobby = windows.lobby;
    lobby->pingListenPort = pingListenPort;
    lobby->show();
    if (waitForName) {
        ASSERT_GE(master.WaitFor(cmNameWanted), 0) << "the window did not ask for its name";
    }
}

void LobbyTest::JoinAs(int32_t index)
{
    DeliverPlayer(TScriptedMaster::Player(index, nick));
    DeliverRefresh();
    ASSERT_EQ(lobby->selfIndex, index);
}

bool LobbyTest::WaitUntil(const std::function<bool()>& done, int timeoutMs)
{
    return platform::ProcessEventsUntil(done, timeoutMs);
}

void LobbyTest::Pump(int ms)
{
    platform::ProcessEventsUntil([] { return false; }, ms);
}

void LobbyTest::Deliver(const LobbyRecord& record)
{
    master.Send(record);
    Settle();
}

void LobbyTest::Settle()
{
    // A ping round trip through the window: when its answer arrives, every
    // record sent before the ping has been handled.
    const std::size_t from = master.received.size();
    master.Send(LobbyRecord{cmPing, 0, ""});
    const int pong = master.WaitFor(cmPong, 3000, from);
    QCoreApplication::processEvents();
    ASSERT_GE(pong, 0) << "the window did not answer the settling ping: records sent before it may be unhandled";
}

bool LobbyTest::SelectPlayer(int32_t index)
{
    for (int row = 0; row < lobby->playerbox->count(); ++row)
        if (!lobby->RowIsGame(row) && lobby->RowEntry(row) == index) {
            lobby->playerbox->setCurrentRow(row);
            return true;
        }
    return false;
}

bool LobbyTest::SelectGame(int32_t index)
{
    for (int row = 0; row < lobby->playerbox->count(); ++row)
        if (lobby->RowIsGame(row) && lobby->RowEntry(row) == index) {
            lobby->playerbox->setCurrentRow(row);
            return true;
        }
    return false;
}

std::vector<std::string> LobbyTest::Rows() const
{
    std::vector<std::string> rows;
    for (int row = 0; row < lobby->playerbox->count(); ++row)
        rows.push_back((lobby->RowIsGame(row) ? "G" : "P") + std::to_string(lobby->RowEntry(row)));
    return rows;
}

std::vector<LobbyRecord> LobbyTest::Sent(uint8_t type) const
{
    std::vector<LobbyRecord> out;
    for (const auto& r : master.received)
        if (r.type == type)
            out.push_back(r);
    return out;
}
