// The connection to the lobby master: connecting, naming, keep-alive,
// reading the stream, and the dispatch of received records.
#include "plb_cmain.h"

#include "text/textfuncs.h"
#include "net/WSockets.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"

#include <QApplication>
#include <QListWidget>
#include <QTextEdit>
#include <QTimer>

namespace {
constexpr uint32_t kStatusColour = 255;   // red
// Player and game numbers above this are not believed: the tables would
// grow without bound on a hostile master's word.
constexpr int32_t kMaxTableIndex = 100000;
// What TCPData takes from the socket in one turn of the loop: the records of
// one turn are handled before the next is read, so a master streaming records
// cannot hold the window up for long.
constexpr int kReadPerTurn = 16 * 1024;
} // namespace

void Tplb_c::ConnectToMaster()
{
    if (!TCP) {
        TCP = new TTCPClient(this);
        TCP->OnConnect = [this](TCustomWSockets* s, TSocket socket) { TCPConnect(s, socket); };
        TCP->OnData = [this](TCustomWSockets* s, TSocket socket) { TCPData(s, socket); };
        TCP->OnClose = [this](TCustomWSockets* s, TSocket socket) { TCPClose(s, socket); };
        TCP->OnError = [this](TCustomWSockets* s, int error, const std::string& msg) { TCPError(s, error, msg); };
    }
    const std::string master = config->HostValue("lobbyhost");
    TCP->Close();
    TCP->Host = HostOf(master);
    TCP->Port = PortOf(master, lobbyPort);
    TCP->Open();
    AddChatLine(mainchat, "Attemping to connect to master...", kStatusColour);
}

void Tplb_c::RequestName()
{
    SendRecord(LobbyRecord{cmNameWanted, selfIndex, "\\namewanted\\" + config->NickText()});
}

void Tplb_c::ResetLobby()
{
    ShrinkTables();
    playerbox->clear();
    selfIndex = -1;
    // The user is in no game now: the game-chat pane closes.
    if (gamePaneOpen) {
        gamePaneOpen = false;
        AnimateGamePane(bottompanel->height(), 0);
    }
}

void Tplb_c::SendRecord(const LobbyRecord& record)
{
    // Nothing can be said to a master we are not connected to; the name is
    // asked for again as soon as the connection stands.
    if (!TCP || TCP->State() != ssConnected)
        return;
    // The socket component queues what the socket does not take at once, so
    // a frame always goes out whole; it refuses only when the master has not
    // read for a long while (TCPError drops the connection then).
    const std::string frame = lobby::BuildFrame(record);
    TCP->SendBuffer(frame.data(), int(frame.size()));
}

void Tplb_c::TCPConnect(TCustomWSockets*, uint32_t)
{
    ResetLobby();
    receiveBuffer.clear();
    RequestName();
    AddChatLine(mainchat, "Connect successful...", kStatusColour);
}

void Tplb_c::TCPData(TCustomWSockets*, uint32_t socket)
{
    int taken = 0;
    while (TCP && TCP->State() == ssConnected && TCP->Socket() == socket && taken < kReadPerTurn) {
        if (BacklogFull()) {
            // Read no more until the window has caught up: the bytes stay in
            // the kernel, whose window then makes the master wait.
            readPaused = true;
            return;
        }
        if (TCP->BytesAvailable(socket) <= 0)
            return;
        std::string piece = TCP->ReadText(socket, kReadPerTurn - taken);
        if (piece.empty())
            return;
        taken += int(piece.size());
        receiveBuffer += piece;
        SplitReceiveBuffer(socket);
    }
    // Anything left is read on the next turn: the read notification is armed.
}

void Tplb_c::RecordHandled()
{
    if (readPaused && BacklogEased()) {
        readPaused = false;
        if (TCP && TCP->State() == ssConnected)
            TCP->RearmRead(TCP->Socket());
    }
    UpdateDisplayUpdate();
}

void Tplb_c::TCPClose(TCustomWSockets*, uint32_t)
{
    ResetLobby();
    receiveBuffer.clear();
    readPaused = false;
    if (platform::AskYesNo(this, platform::DialogKind::Confirmation,
                           "The server has disconnected or is not available, do you want to reconnect?", "Info"))
        ConnectToMaster();
    else
        QApplication::quit();
}

void Tplb_c::TCPError(TCustomWSockets* sender, int error, const std::string& msg)
{
    if (error == 10035)
        return;
    if (error == 10060 || error == 10061) {
        TCPClose(sender, 0);
        return;
    }
    if (error == 10055 && TCP && TCP->Queued() > TCP->MaxQueued) {
        // Our frames pile up unread: the master is gone or will not listen.
        DropConnection("The master has stopped taking what this client sends (" + std::to_string(TCP->Queued() >> 10) +
                       " KiB waiting); the connection is dropped.");
        return;
    }
    platform::ShowMessage(this, platform::DialogKind::Error, platform::FromAnsi(msg));
}

void Tplb_c::ReportBadFrame(const std::string& why, int count)
{
    AddChatLine(mainchat,
                "Dropped data from the master that is not a lobby record: " + why +
                    (count > 1 ? " (" + std::to_string(count) + " frames)" : std::string()),
                kStatusColour);
}

void Tplb_c::FramingLost()
{
    // The stream no longer starts at a frame: nothing after this point can be
    // trusted, so the connection is dropped and the user asked to reconnect.
    DropConnection({});
}

void Tplb_c::DropConnection(const std::string& why)
{
    if (dropPending)
        return;   // said once; the drop is on its way
    dropPending = true;
    if (!why.empty())
        AddChatLine(mainchat, why, kStatusColour);
    QTimer::singleShot(0, this, [this] {
        dropPending = false;
        if (TCP && TCP->State() == ssConnected) {
            TCP->Close();
            TCPClose(TCP, 0);
        }
    });
}

void Tplb_c::RecordFailed(const std::exception& error)
{
    const QString text = platform::FromAnsi(error.what());
    if (recordErrorOpen) {
        // One box at a time: the later errors are counted into it.
        ++recordErrorsSince;
        if (recordErrorRetext)
            recordErrorRetext(recordErrorText + "\r\n\r\n(" + QString::number(recordErrorsSince) +
                              (recordErrorsSince == 1 ? " more error" : " more errors") + " since)");
        return;
    }
    recordErrorOpen = true;
    recordErrorsSince = 0;
    recordErrorText = text;
    platform::ShowMessage(QApplication::activeWindow(), platform::DialogKind::Error, text, recordErrorRetext,
                          QApplication::applicationName());
    recordErrorOpen = false;
}

void Tplb_c::HandleRecord(const LobbyRecord& record, uint32_t)
{
    const std::string& param = record.param;
    switch (record.type) {
    case cmPlayer:
        HandlePlayer(record);
        break;
    case cmNameTaken:
        config->SetNickText(LookupValue(param, "namewanted") + "_");
        RequestName();
        break;
    case cmGame:
        HandleGame(record);
        break;
    case cmGameGone: {
        int32_t index = DecimalToInt(LookupValue(param, "index"));
        if (index > 0 && ValidGame(index))
            games[std::size_t(index)].active = 0;
        break;
    }
    case cmPing:
        SendRecord(LobbyRecord{cmPong, selfIndex, ""});
        break;
    case cmChat:
        HandleChat(record);
        break;
    case cmPrivMsg:
        ShowReceivedMessage(DecimalToIntDef(LookupValue(param, "to"), 0), LookupValue(param, "text"));
        break;
    case cmInvite: {
        int32_t inviter = DecimalToInt(LookupValue(param, "whoto"));
        int32_t game = DecimalToInt(LookupValue(param, "whatto"));
        ReceiveInvite(inviter, game);
        break;
    }
    case cmStart: {
        // A start repeated while the game is being started, or while the
        // game this client started for it still runs, starts nothing more.
        if (startingGame || JoinedGameRunning())
            break;
        startingGame = true;
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{startingGame};
        JoinRunningGame();
        break;
    }
    case cmMessage:
        ShowNotice(LookupValue(param, "message"));
        break;
    case cmRefresh:
        RebuildPlayerList();
        break;
    default:
        break;   // requests of other clients' kind: not for us
    }
}

void Tplb_c::HandlePlayer(const LobbyRecord& record)
{
    int32_t index = DecimalToInt(LookupValue(record.param, "index"));
    if (index <= 0 || index > kMaxTableIndex)
        return;   // entry 0 is the placeholder, never a player
    EnsurePlayer(index);
    lobby::PlayerRecord& entry = players[std::size_t(index)];
    const uint16_t ping = entry.ping;
    const uint32_t lastPingTick = entry.lastPingTick;
    lobby::UnpackPlayer(LookupValue(record.param, "prec"), entry);
    entry.ping = ping;
    entry.lastPingTick = lastPingTick;
    if (entry.Name() == config->NickText())
        selfIndex = index;
}

void Tplb_c::HandleGame(const LobbyRecord& record)
{
    int32_t index = DecimalToInt(LookupValue(record.param, "index"));
    if (index <= 0 || index > kMaxTableIndex)
        return;   // entry 0 is the "No Game" placeholder
    EnsureGame(index);
    lobby::UnpackGame(LookupValue(record.param, "grec"), games[std::size_t(index)]);
}
