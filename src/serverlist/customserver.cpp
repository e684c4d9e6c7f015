#include "customserver.h"

#include "text/errors.h"
#include "text/textfuncs.h"
#include "net/WSockets.h"
#include "queryclock.h"
#include "platform/fireevent.h"

// --- TCustomServer ----------------------------------------------------------

TCustomServer::TCustomServer(std::string Address, std::string QueryPort)
    : Address(std::move(Address)), QueryPort(std::move(QueryPort)), GamePort(this->QueryPort), Clock(&SystemClock())
{
}

TCustomServer::~TCustomServer() { DropTimer(); }

void TCustomServer::DropTimer()
{
    if (QueryTimer) {
        QueryTimer->Stop();
        QueryTimer.reset();
    }
}

void TCustomServer::Query(TServerDone Callback)
{
    if (Busy)
        return;
    Busy = true;
    OnDone = std::move(Callback);
    Succeeded = true;
    QueryTimer = Clock->NewTimer();
    TQueryTimer* timer = QueryTimer.get();
    QueryTimer->OnTimer = [this, timer] {
        // Only the current attempt's timer counts, and only while it runs.
        if (QueryTimer.get() != timer || !timer->Running())
            return;
        timer->Stop();
        TimedOut();
    };
    QueryTimer->Start(Timeout);
}

void TCustomServer::TimedOut()
{
    Succeeded = false;
    Finish();
}

void TCustomServer::Finish()
{
    DropTimer();
    if (Succeeded || Attempt >= Retries) {
        Attempt = 0;
        Busy = false;
        // Last: the receiver may destroy this server.
        platform::FireLastEvent(OnDone, this);
        return;
    }
    ++Attempt;
    Busy = false;
    Query(OnDone);
}

void TCustomServer::ParseRules(const std::string& Text) { Rules = RulesOfText(Text); }

// --- TGameServer --------------------------------------------------------------

TGameServer::TGameServer(std::string Address, std::string QueryPort)
    : TCustomServer(std::move(Address), std::move(QueryPort))
{
}

TGameServer::~TGameServer() = default;

void TGameServer::Query(TServerDone Callback)
{
    if (Busy)
        return;
    TCustomServer::Query(std::move(Callback));
    OpenSocket();
    SendQuery();
    QueryStart = Clock->Ticks();
}

void TGameServer::Finish()
{
    RoundTrip = int32_t(Clock->Ticks() - QueryStart);
    ParseReply();
    CloseSocket();
    TCustomServer::Finish();
}

void TGameServer::DataReceived(const std::string& Text)
{
    if (Text.empty())
        return;
    if (Succeeded && AddReply(Text))
        Finish();
}

// --- TUDPQueryServer ----------------------------------------------------------

TUDPQueryServer::TUDPQueryServer(std::string Address, std::string QueryPort)
    : TGameServer(std::move(Address), std::move(QueryPort))
{
}

TUDPQueryServer::~TUDPQueryServer()
{
    // The running attempt ends before anything else of the server goes.
    DropTimer();
    CloseSocket();
}

void TUDPQueryServer::OpenSocket()
{
    QuerySocket = std::make_unique<TUDPClient>();
    QuerySocket->Host = Address;
    QuerySocket->Port = QueryPort;
    QuerySocket->OnData = [this](TCustomWSockets* Sender, TSocket Socket) { QueryData(Sender, Socket); };
    try {
        QuerySocket->Open();
    } catch (const EConvertError&) {
        // A query port that is no number: like an address that cannot be
        // resolved, the attempt sends nothing and ends by time-out.
    }
}

void TUDPQueryServer::CloseSocket()
{
    if (!QuerySocket)
        return;
    QuerySocket->OnData = nullptr;
    QuerySocket->Close();
    QuerySocket.reset();
}

void TUDPQueryServer::QueryData(TCustomWSockets* Sender, uint32_t Socket)
{
    if (!QuerySocket)
        return;
    DataReceived(QuerySocket->ReadText());
}

// --- TKovaServer ----------------------------------------------------------------

TKovaServer::TKovaServer(std::string Address, std::string QueryPort)
    : TUDPQueryServer(std::move(Address), std::move(QueryPort))
{
}

TColumnTitles TKovaServer::ColumnTitles() const
{
    return {{"Server Name", 0}, {"Ping", 1}, {"Players", 2}, {"Map", 0}, {"Game Type", 0}};
}

void TKovaServer::FillRow(std::vector<std::string>& Row) const { FillServerRow(Row, GameType); }

void TKovaServer::FillServerRow(std::vector<std::string>& Row, const std::string& Mode) const
{
    Row.push_back(Name);
    Row.push_back(std::to_string(Ping));
    Row.push_back(std::to_string(NumPlayers) + "/" + std::to_string(MaxPlayers));
    Row.push_back(MapName);
    Row.push_back(Mode);
}

void TKovaServer::SendQuery()
{
    Reply.clear();
    if (!QuerySocket || QuerySocket->Socket() == InvalidSocket)
        return;
    QuerySocket->SendText(Secure ? "\\status\\\\secure\\" + RandomText(6) : std::string("\\status\\"));
}

bool TKovaServer::AddReply(const std::string& Text)
{
    // A reply that will not end is kept to its first kMaxReplyText bytes;
    // its final datagram still completes it.
    if (Reply.size() < kMaxReplyText)
        Reply.append(Text, 0, kMaxReplyText - Reply.size());
    return HoldsFinal(Text);
}

void TKovaServer::ParseReply()
{
    TServerFields f = TakeServerFields(Reply);
    GamePort = f.HostPort.empty() ? QueryPort : f.HostPort;
    Name = std::move(f.HostName);
    Ping = RoundTrip;
    MaxPlayers = f.MaxPlayers;
    NumPlayers = f.NumPlayers;
    MapName = std::move(f.MapName);
    GameType = std::move(f.GameType);
    GameMode = std::move(f.GameMode);
    Location = f.Location;
    GameVersion = std::move(f.GameVersion);
    ParsePlayers(Reply);
    ParseRules(Reply);
}

void TKovaServer::ParsePlayers(std::string& Text) { ParsePlayerRecords(Text, NumPlayers); }

void TKovaServer::ParsePlayerRecords(std::string& Text, int32_t Count)
{
    Players.clear();
    const TPlayerClass playerClass = PlayerClass();
    for (std::string& record : TakePlayerRecords(Text, PlayerKeys, Count))
        Players.push_back(playerClass(std::move(record)));
}

// --- TBGateServer ---------------------------------------------------------------

TBGateServer::TBGateServer(std::string Address, std::string QueryPort)
    : TKovaServer(std::move(Address), std::move(QueryPort))
{
    PlayerKeys.insert(PlayerKeys.end(), {"class", "level", "race"});
}

TColumnTitles TBGateServer::ColumnTitles() const
{
    return {{"Server Name", 0}, {"Ping", 1}, {"Players", 2}, {"Map", 0}, {"Game Mode", 0}};
}

void TBGateServer::FillRow(std::vector<std::string>& Row) const { FillServerRow(Row, GameMode); }

void TBGateServer::ParseReply()
{
    NumCharacters = TakeNumber(Reply, "numcharacters");
    TKovaServer::ParseReply();
}

void TBGateServer::ParsePlayers(std::string& Text) { ParsePlayerRecords(Text, NumCharacters); }
