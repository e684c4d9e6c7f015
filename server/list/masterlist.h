// The master server list's rules, apart from any socket.
//
// Game servers announce themselves with a UDP heartbeat
// "\heartbeat\QUERYPORT\gamename\NAME". A server is listed only once it has
// answered a "\status\" probe sent to the heartbeat's address and query
// port, so nobody can list an address that is not theirs; each heartbeat
// that is answered keeps it listed for the expiry time.
//
// A list client is greeted with a challenge, proves it knows the secret key
// of the game name it sends, asks for the servers of a game name and gets
// one "\ip\ADDR:PORT" per server and "\final\".
#pragma once

#include "log.h"
#include "options.h"
#include "ratelimit.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>
#include <string>
#include <string_view>
#include <unordered_map>

// Game names and their secret keys.
using TGameKeys = std::map<std::string, std::string, std::less<>>;

// The built-in keys: the game name this network's clients announce.
TGameKeys DefaultGameKeys();

// Adds the "gamename key" lines of `Text` (blank lines and lines starting
// with "#" are skipped). False with `Error` naming the line when one is not
// two words of printable characters without backslashes.
bool ReadGameKeys(std::string_view Text, TGameKeys& Keys, std::string& Error);

// An IPv4 address and port, in host byte order.
struct TPeer {
    uint32_t ip = 0;
    uint16_t port = 0;
    uint64_t Key() const { return uint64_t(ip) << 16 | port; }
    std::string AddressText() const;          // "a.b.c.d"
    std::string Text() const;                 // "a.b.c.d:port"
};

struct THeartbeat {
    uint16_t queryPort = 0;
    std::string gameName;
};

// A heartbeat datagram: "\heartbeat\" first, a query port from 1 to 65535
// and a game name of 1 to 64 printable characters. False for anything else.
bool ParseHeartbeat(std::string_view Datagram, THeartbeat& Heartbeat);

// An answer to a probe: a status reply ("\\" first) and the game name it
// gives; empty when the datagram is no status reply or names no game.
std::string StatusReplyGame(std::string_view Datagram);

// The probe sent to a server that announced itself. Never longer than a
// valid heartbeat, so the list cannot be used to send more than it gets.
constexpr std::string_view kProbe = "\\status\\";

class TMasterListOutput {
public:
    virtual ~TMasterListOutput() = default;
    virtual void SendDatagram(const TPeer& To, std::string_view Datagram) = 0;
};

class TMasterList {
public:
    TMasterList(const TListLimits& Limits, TMasterListOutput& Out, TLog Log);

    // A datagram on the heartbeat port: a heartbeat, or the answer to a probe.
    void Datagram(const TPeer& From, std::string_view Data, uint64_t NowMs);
    // The server's own ports: never probed, whatever a heartbeat says, so
    // the list can never be made to list or talk to itself.
    void AddOwnPort(uint16_t Port) { ownPorts_.insert(Port); }
    // Ends probes that got no answer and lists servers that expired.
    void Tick(uint64_t NowMs);

    struct TListReply {
        std::string text;
        std::size_t count = 0;
    };
    // "\ip\ADDR:PORT" per listed server of `GameName`, then "\final\".
    TListReply ListFor(std::string_view GameName) const;

    std::size_t ServerCount() const { return servers_.size(); }
    std::size_t ProbeCount() const { return probes_.size(); }

private:
    struct TServer {
        std::string gameName;
        uint64_t lastHeard = 0;
    };
    struct TProbe {
        // The game names heartbeats claimed while the probe waited; the
        // answer counts when it names one of them.
        std::vector<std::string> games;
        uint64_t sentAt = 0;
        bool listed = false;         // a re-probe of a listed server
    };

    void Heartbeat(const TPeer& From, const THeartbeat& Beat, uint64_t NowMs);
    void Answered(const TPeer& From, std::string_view Data, uint64_t NowMs);
    // Room for a probe of a server not listed yet: within the probes waiting
    // in all and for the address, and its /24 network's budget.
    bool RoomForNewProbe(uint32_t Ip, uint64_t NowMs);
    void EndProbe(std::unordered_map<uint64_t, TProbe>::iterator Probe);
    static void Count(std::unordered_map<uint32_t, uint32_t>& Counts, uint32_t Ip, int Delta);

    TListLimits limits_;
    TMasterListOutput& out_;
    TLog log_;
    std::map<uint64_t, TServer> servers_;             // by address and query port
    std::unordered_map<uint64_t, TProbe> probes_;     // probes waiting for an answer
    std::unordered_map<uint32_t, uint32_t> serversPerIp_;
    std::unordered_map<uint32_t, uint32_t> probesPerIp_;
    std::size_t newProbes_ = 0;                       // probes of servers not listed
    std::unordered_map<uint32_t, TTokenBucket> probesPerNet_;   // by /24 network
    std::set<uint16_t> ownPorts_;
};

// One list client's conversation, fed with the bytes it sends.
class TListSession {
public:
    // `Challenge`: six characters, fresh for each connection.
    explicit TListSession(std::string Challenge);

    // "\basic\\secure\" and the challenge.
    std::string Greeting() const;

    enum class TStep {
        More,    // wait for more bytes
        List,    // send the list of GameName(), then close
        Refuse,  // send Refusal(), then close
    };
    TStep Received(std::string_view Bytes, const TGameKeys& Keys, uint32_t MaxRequest);

    const std::string& GameName() const { return listGame_; }
    const std::string& Reason() const { return reason_; }
    // "\error\" and the reason.
    std::string Refusal() const { return "\\error\\" + reason_; }

private:
    TStep Refuse(std::string Reason);

    std::string challenge_;
    std::string received_;
    bool validated_ = false;
    std::string listGame_;
    std::string reason_;
};
