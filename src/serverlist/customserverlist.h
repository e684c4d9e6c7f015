// The server list: asks the master server for the addresses of one game's
// servers, answering its challenge on the way, makes a server record for
// each address and queries them, MaxQueries at a time, reporting progress
// through its events.
//
// TCustomServerList holds the list logic, TCustomKovaServerList the master
// conversation over TCP, TKovaBGateServerList asks for the game "bgate".
//
// The list shares its server records with its owner: it keeps those of the
// current run in Servers, keeps every server whose query runs alive until
// the query has ended, and never ends a query itself.
#pragma once

#include "customserver.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TCustomServerList;
class TCustomWSockets;
class TQueryClock;
class TQueryTimer;
class TTCPClient;

using TServerPtr = std::shared_ptr<TCustomServer>;

using TListNotify = std::function<void(TCustomServerList* Sender)>;
using TServerUpdate = std::function<void(TCustomServerList* Sender, TCustomServer* Server)>;
// Percent -1 means no percentage.
using TListStatus = std::function<void(TCustomServerList* Sender, int32_t Percent, const std::string& Text)>;

enum TListState : uint8_t {
    lsIdle = 0,
    lsListing = 1,   // waiting for the master's list
    lsQuerying = 2,  // status queries running
};

class TCustomServerList {
public:
    // `Clock` (not owned) times the list and its servers; the system clock
    // when none is given.
    explicit TCustomServerList(TQueryClock* Clock = nullptr);
    virtual ~TCustomServerList();
    TCustomServerList(const TCustomServerList&) = delete;
    TCustomServerList& operator=(const TCustomServerList&) = delete;

    uint8_t State = lsIdle;
    int32_t MaxQueries = 15;       // status queries running at once
    // The network's master list: the build's list host, port 28900 unless
    // the host names another.
    std::string MasterHost;
    std::string MasterPort;
    TListNotify OnComplete;
    TServerUpdate OnServerUpdate;
    TListStatus OnStatus;
    int32_t Active = 0;            // queries running now
    int32_t Next = 0;              // index of the next server to query
    bool Aborted = false;
    std::vector<TServerPtr> Servers;
    std::unique_ptr<TQueryTimer> ListTimer;   // the listing phase's time-out

    virtual TServerClass ServerClass() const = 0;
    virtual void Abort();
    // Forgets the servers of the previous run, then GetList.
    virtual void Refresh();
    // Queries the given servers again without the master.
    virtual void QueryServers(std::vector<TServerPtr> List);
    virtual void GetList();
    virtual void ListReceived();
    virtual void EndList();
    virtual void QueryNext();
    virtual TServerPtr CreateServer(const std::string& Address, const std::string& Port);

    // The completion callback of every query the list starts.
    void ServerDone(TCustomServer* Server);
    void ListTimeout();
    void UpdatesComplete();

    TQueryClock& Clock() const { return *clock_; }

    // The listing phase's time-out, ms.
    static constexpr int32_t kListTimeoutMs = 30000;

protected:
    // Fires OnStatus; false when its handler destroyed the list.
    bool Report(int32_t Percent, const std::string& Text);
    // A token that expires with the list, for work that may outlive it.
    std::weak_ptr<int> Lifeline() const { return life_; }

private:
    TQueryClock* clock_;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
    // Servers whose query runs, kept alive until they report.
    std::vector<TServerPtr> running_;
};

class TCustomKovaServerList : public TCustomServerList {
public:
    explicit TCustomKovaServerList(TQueryClock* Clock = nullptr);
    ~TCustomKovaServerList() override;

    std::string Filter;                       // appended to the list request
    std::unique_ptr<TTCPClient> MasterSocket;
    std::string ListText;                     // list text received so far

    TServerClass ServerClass() const override { return &NewServer<TKovaServer>; }
    void GetList() override;
    void ListReceived() override;
    void EndList() override;
    virtual void SendListRequest() = 0;

    void SendValidate(const std::string& Greeting);
    void MasterData(TCustomWSockets* Sender, uint32_t Socket);
    void MasterClose(TCustomWSockets* Sender, uint32_t Socket);

    // The most list text kept; a master that sends more has its list ended
    // with what arrived up to there.
    static constexpr std::size_t kMaxListText = 4 * 1024 * 1024;
};

class TKovaBGateServerList : public TCustomKovaServerList {
public:
    using TCustomKovaServerList::TCustomKovaServerList;

    TServerClass ServerClass() const override { return &NewServer<TBGateServer>; }
    void SendListRequest() override;
};
