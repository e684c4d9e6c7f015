#include "customserverlist.h"

#include "text/textfuncs.h"
#include "net/WSockets.h"
#include "queryclock.h"
#include "platform/fireevent.h"

#include <QCoreApplication>

#include <algorithm>

#ifndef QP_LIST_HOST
#define QP_LIST_HOST "127.0.0.1"
#endif

namespace {

// Nothing new starts and nothing is reported while the program ends.
bool Terminating() { return QCoreApplication::closingDown(); }

} // namespace

// --- TCustomServerList --------------------------------------------------------

TCustomServerList::TCustomServerList(TQueryClock* Clock)
    : MasterHost(HostOf(QP_LIST_HOST)), MasterPort(PortOf(QP_LIST_HOST, "28900")),
      clock_(Clock ? Clock : &SystemClock())
{
    ListTimer = clock_->NewTimer();
    ListTimer->OnTimer = [this] { ListTimeout(); };
}

TCustomServerList::~TCustomServerList()
{
    // Queries still running finish without reporting to a list that is gone.
    life_.reset();
    ListTimer->Stop();
}

bool TCustomServerList::Report(int32_t Percent, const std::string& Text)
{
    return platform::FireEvent(Lifeline(), OnStatus, this, Percent, Text);
}

void TCustomServerList::Abort()
{
    if (Terminating())
        return;
    const bool first = !Aborted;
    Aborted = true;
    if (first && !Report(-1, "Aborting Updates"))
        return;
    if (State == lsListing)
        EndList();
}

void TCustomServerList::Refresh()
{
    Servers.clear();
    GetList();
}

void TCustomServerList::QueryServers(std::vector<TServerPtr> List)
{
    Aborted = false;
    Servers = std::move(List);
    Next = 0;
    State = lsQuerying;
    QueryNext();
}

void TCustomServerList::GetList()
{
    Aborted = false;
    State = lsListing;
    ListTimer->Start(kListTimeoutMs);
    Report(-1, "Server List");
}

void TCustomServerList::ListReceived()
{
    State = lsQuerying;
    Next = 0;
    QueryNext();
}

void TCustomServerList::EndList() { ListReceived(); }

void TCustomServerList::QueryNext()
{
    if (Terminating())
        return;
    while (Active < std::max(MaxQueries, 1)) {
        if (Next >= int32_t(Servers.size()) || Aborted) {
            if (State == lsQuerying && Active == 0)
                UpdatesComplete();
            return;
        }
        const TServerPtr server = Servers[std::size_t(Next)];
        if (!server || server->Busy) {
            // Already being queried (a set queried again before its last run
            // ended): it reports once, when that query ends.
            ++Next;
            continue;
        }
        const int32_t count = std::max(int32_t(Servers.size()), 1);
        if (!Report((Next - Active) * 100 / count, "Updating Servers"))
            return;
        ++Active;
        ++Next;
        running_.push_back(server);
        std::weak_ptr<int> alive = life_;
        server->Query([this, alive](TCustomServer* s) {
            if (!alive.expired())
                ServerDone(s);
        });
    }
}

TServerPtr TCustomServerList::CreateServer(const std::string& Address, const std::string& Port)
{
    TServerPtr server(ServerClass()(Address, Port));
    server->Clock = clock_;
    return server;
}

void TCustomServerList::ServerDone(TCustomServer* Server)
{
    if (Terminating())
        return;
    // Held until this returns; the last reference may be this one.
    TServerPtr keep;
    auto it = std::find_if(running_.begin(), running_.end(), [&](const TServerPtr& s) { return s.get() == Server; });
    if (it != running_.end()) {
        keep = std::move(*it);
        running_.erase(it);
    }
    if (!Aborted && !platform::FireEvent(Lifeline(), OnServerUpdate, this, Server))
        return;
    --Active;
    QueryNext();
}

void TCustomServerList::ListTimeout()
{
    ListTimer->Stop();
    if (State != lsListing)
        return;
    if (Report(0, "List Timed Out"))
        Abort();
}

void TCustomServerList::UpdatesComplete()
{
    ListTimer->Stop();
    State = lsIdle;
    if (Terminating())
        return;
    if (!Report(0, "Updates Complete"))
        return;
    platform::FireEvent(Lifeline(), OnComplete, this);
}

// --- TCustomKovaServerList ----------------------------------------------------

TCustomKovaServerList::TCustomKovaServerList(TQueryClock* Clock)
    : TCustomServerList(Clock), MasterSocket(std::make_unique<TTCPClient>())
{
    MaxQueries = 10;
}

TCustomKovaServerList::~TCustomKovaServerList() = default;

void TCustomKovaServerList::GetList()
{
    std::weak_ptr<int> alive = Lifeline();
    TCustomServerList::GetList();
    if (alive.expired())
        return;
    ListText.clear();
    MasterSocket->Host = MasterHost;
    MasterSocket->Port = MasterPort;
    MasterSocket->OnData = [this](TCustomWSockets* Sender, TSocket Socket) { MasterData(Sender, Socket); };
    MasterSocket->OnClose = [this](TCustomWSockets* Sender, TSocket Socket) { MasterClose(Sender, Socket); };
    MasterSocket->Open();
}

void TCustomKovaServerList::SendValidate(const std::string& Greeting)
{
    const std::string challenge = LookupValue(Greeting, "secure");
    const std::string validate = challenge.empty() ? std::string() : ValidateValue(challenge, kListGameKey);
    MasterSocket->SendText("\\gamename\\" + std::string(kListGameName) + "\\gamever\\01\\location\\0\\validate\\"
                           + validate + "\\final\\\\queryid\\1.1");
    SendListRequest();
}

void TCustomKovaServerList::MasterData(TCustomWSockets* Sender, uint32_t Socket)
{
    const std::string text = MasterSocket->ReadText();
    // Data after an abort, or after the list has ended, is read and dropped.
    if (Aborted || State != lsListing)
        return;
    if (ListTimer->Running())
        ListTimer->Start(kListTimeoutMs);
    if (text.find("\\basic\\") != std::string::npos) {
        // A failing send reports to the socket's owner, who may end the run.
        std::weak_ptr<int> alive = Lifeline();
        SendValidate(text);
        if (alive.expired() || State != lsListing)
            return;
    } else {
        if (ListText.size() + text.size() > kMaxListText) {
            // A list beyond all reason: what fits is used, the rest dropped.
            ListText.append(text, 0, kMaxListText - ListText.size());
            EndList();
            return;
        }
        ListText += text;
    }
    if (!Report(-1, "Server List (" + std::to_string(ListText.size()) + ")"))
        return;
    if (text.find("\\final\\") != std::string::npos)
        ListReceived();
}

void TCustomKovaServerList::MasterClose(TCustomWSockets* Sender, uint32_t Socket)
{
    if (State == lsListing)
        ListReceived();
}

void TCustomKovaServerList::ListReceived()
{
    for (const TListedServer& s : TakeListedServers(ListText))
        Servers.push_back(CreateServer(s.Address, s.Port));
    TCustomServerList::ListReceived();
}

void TCustomKovaServerList::EndList()
{
    MasterSocket->Close();
    TCustomServerList::EndList();
}

// --- TKovaBGateServerList -----------------------------------------------------

void TKovaBGateServerList::SendListRequest() { MasterSocket->SendText("\\list\\\\gamename\\bgate" + Filter); }
