// The game-server records and their UDP status query.
//
// TCustomServer → TGameServer → TUDPQueryServer → TKovaServer → TBGateServer.
// A record is made with an address and a query port; Query sends "\status\"
// to that port, collects the reply datagrams until one holds "\final", and
// fills the record from them (with up to Retries further attempts after a
// time-out). A TGameServer also describes a game the lobby launches: the
// host's address and the port the game uses; such a record is never queried.
//
// A server owns its rules, players, player keys, query timer and query
// socket. Destroying a server while its query runs ends the query without
// calling back.
#pragma once

#include "serverrecords.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TCustomServer;
class TCustomWSockets;
class TQueryClock;
class TQueryTimer;
class TUDPClient;

// Completion of a query: the server, whether it succeeded or not.
using TServerDone = std::function<void(TCustomServer* Server)>;

// A class reference for servers: makes one from address and query port.
using TServerClass = std::unique_ptr<TCustomServer> (*)(const std::string& Address, const std::string& QueryPort);

template <typename TServer>
std::unique_ptr<TCustomServer> NewServer(const std::string& Address, const std::string& QueryPort)
{
    return std::make_unique<TServer>(Address, QueryPort);
}

class TCustomServer {
public:
    TCustomServer(std::string Address, std::string QueryPort);
    virtual ~TCustomServer();
    TCustomServer(const TCustomServer&) = delete;
    TCustomServer& operator=(const TCustomServer&) = delete;

    std::string Address;     // IPv4 address as text
    std::string QueryPort;   // UDP port for status queries
    std::string GamePort;    // port players connect to: the reply's "hostport"
    std::string Name;
    int32_t Timeout = 2000;  // ms allowed for one attempt
    int32_t Ping = 9999;     // ms; 9999 until a query has finished
    bool Succeeded = false;  // the attempt runs or completed; false after a time-out
    int32_t Attempt = 0;     // retries used so far in the current query
    int32_t Retries = 1;     // retries allowed after the first attempt
    bool Busy = false;       // a query is running
    int32_t NumPlayers = 0;
    int32_t MaxPlayers = 0;
    std::vector<TRule> Rules;
    std::unique_ptr<TQueryTimer> QueryTimer;   // exists while an attempt runs
    TServerDone OnDone;

    // Time source of the query; the system clock unless a list or a test
    // hands in another. Not owned.
    TQueryClock* Clock;

    virtual TPlayerClass PlayerClass() const = 0;
    virtual int32_t ColumnCount() const = 0;
    // A new title list with the tags of the numeric columns.
    virtual TColumnTitles ColumnTitles() const = 0;
    // Starts a query; `Callback` receives the server when it has ended.
    // A query of a server that is already busy is left running as it is.
    virtual void Query(TServerDone Callback);
    // Appends one text per column.
    virtual void FillRow(std::vector<std::string>& Row) const = 0;
    virtual void TimedOut();
    virtual void Finish();
    // Fills Rules from the pairs of `Text` that no other field took.
    virtual void ParseRules(const std::string& Text);

protected:
    // Ends a running attempt without calling back: timer first.
    void DropTimer();
};

class TGameServer : public TCustomServer {
public:
    TGameServer(std::string Address, std::string QueryPort);
    ~TGameServer() override;

    std::string MapName;
    std::string GameType;
    std::string GameMode;
    std::string GameVersion;
    int32_t Location = 0;
    std::vector<std::unique_ptr<TCustomPlayer>> Players;
    uint32_t QueryStart = 0;  // tick count when the attempt's request went out
    int32_t RoundTrip = 0;    // ms from sending to completion of the last attempt

    // A plain game record has no query protocol of its own: it shows no
    // columns, and a query of it sends nothing and ends by time-out.
    TPlayerClass PlayerClass() const override { return nullptr; }
    int32_t ColumnCount() const override { return 0; }
    TColumnTitles ColumnTitles() const override { return {}; }
    void FillRow(std::vector<std::string>& Row) const override {}

    void Query(TServerDone Callback) override;
    void Finish() override;
    virtual void OpenSocket() {}
    virtual void CloseSocket() {}
    virtual void SendQuery() {}
    // Adds a datagram to the reply; true when the reply is complete.
    virtual bool AddReply(const std::string& Text) { return false; }
    virtual void ParseReply() {}
    virtual void DataReceived(const std::string& Text);
};

class TUDPQueryServer : public TGameServer {
public:
    TUDPQueryServer(std::string Address, std::string QueryPort);
    ~TUDPQueryServer() override;

    std::string Reply;                        // reply text collected so far
    std::unique_ptr<TUDPClient> QuerySocket;  // the running attempt's socket

    void OpenSocket() override;
    void CloseSocket() override;

    // OnData of QuerySocket: one datagram.
    void QueryData(TCustomWSockets* Sender, uint32_t Socket);
};

// A server of the master network's generic family.
class TKovaServer : public TUDPQueryServer {
public:
    TKovaServer(std::string Address, std::string QueryPort);

    bool Secure = false;  // send the secure form of the request
    // Key names of one player record.
    std::vector<std::string> PlayerKeys{"player", "frags", "deaths", "ping", "team", "id"};

    TPlayerClass PlayerClass() const override { return &NewPlayer<TKovaPlayer>; }
    int32_t ColumnCount() const override { return 5; }
    TColumnTitles ColumnTitles() const override;
    void FillRow(std::vector<std::string>& Row) const override;
    void SendQuery() override;
    bool AddReply(const std::string& Text) override;
    void ParseReply() override;
    // Replaces Players with the records of `Text`, taking them out of it.
    virtual void ParsePlayers(std::string& Text);

protected:
    void ParsePlayerRecords(std::string& Text, int32_t Count);
    // The five cells, with `Mode` in the last column.
    void FillServerRow(std::vector<std::string>& Row, const std::string& Mode) const;
};

// A server of the game named "bgate"; its players are characters.
class TBGateServer : public TKovaServer {
public:
    TBGateServer(std::string Address, std::string QueryPort);

    int32_t NumCharacters = 0;  // player records in the reply

    TPlayerClass PlayerClass() const override { return &NewPlayer<TBGatePlayer>; }
    TColumnTitles ColumnTitles() const override;
    void FillRow(std::vector<std::string>& Row) const override;
    void ParseReply() override;
    void ParsePlayers(std::string& Text) override;
};
