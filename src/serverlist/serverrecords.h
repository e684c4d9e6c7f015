// The player and rule records of a game server, and the texts they are read
// from: a server's status reply and the master's list of addresses. Pure
// C++ (no Qt, no sockets), so the parsers can be tested and fuzzed alone;
// the server classes in customserver.h put them together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One column title of a list view with its tag: 1 marks the ping column,
// 2 the player count; both hold numbers. 0 for every other column.
struct TColumnTitle {
    std::string Text;
    int32_t Tag = 0;
};
using TColumnTitles = std::vector<TColumnTitle>;

// A server setting the reply carries beyond the keys the records know.
struct TRule {
    TRule(std::string Name, std::string Value) : Name(std::move(Name)), Value(std::move(Value)) {}
    std::string Name;
    std::string Value;
};

// --- players --------------------------------------------------------------

// A player, read from one player record ("\player\Bob\frags\3\ping\40").
// Each class reads its own keys with removal after the classes it derives
// from, so a key is taken once even where values look like keys.
class TCustomPlayer {
public:
    explicit TCustomPlayer(std::string Record) : TCustomPlayer(Record, ReadOn{}) {}
    virtual ~TCustomPlayer() = default;

    std::string Name;
    int32_t Frags = 0;
    int32_t Ping = 0;

    virtual int32_t ColumnCount() const { return 3; }
    virtual TColumnTitles ColumnTitles() const;
    // Appends one text per column.
    virtual void FillRow(std::vector<std::string>& Row) const;

protected:
    struct ReadOn {};
    // Reads this class's keys out of `Record`, leaving the rest for the
    // derived class.
    TCustomPlayer(std::string& Record, ReadOn);
};

class TKovaPlayer : public TCustomPlayer {
public:
    explicit TKovaPlayer(std::string Record) : TKovaPlayer(Record, ReadOn{}) {}

    int32_t Deaths = 0;
    std::string Team;
    std::string Id;

    int32_t ColumnCount() const override { return 5; }
    TColumnTitles ColumnTitles() const override;
    void FillRow(std::vector<std::string>& Row) const override;

protected:
    TKovaPlayer(std::string& Record, ReadOn);
};

// A character of a "bgate" server; its "team" value is the owning player.
class TBGatePlayer : public TKovaPlayer {
public:
    explicit TBGatePlayer(std::string Record) : TBGatePlayer(Record, ReadOn{}) {}

    std::string Race;
    std::string CharClass;
    std::string Level;

    int32_t ColumnCount() const override { return 5; }
    TColumnTitles ColumnTitles() const override;
    void FillRow(std::vector<std::string>& Row) const override;

protected:
    TBGatePlayer(std::string& Record, ReadOn);
};

// A class reference for players: makes one from a record.
using TPlayerClass = std::unique_ptr<TCustomPlayer> (*)(std::string Record);

template <typename TPlayer>
std::unique_ptr<TCustomPlayer> NewPlayer(std::string Record)
{
    return std::make_unique<TPlayer>(std::move(Record));
}

// --- status replies -------------------------------------------------------

// Bounds on what one server's reply may cost. Real replies hold a few
// kilobytes and a few dozen players; a reply beyond these is cut short.
constexpr std::size_t kMaxReplyText = 32 * 1024;
constexpr int32_t kMaxPlayerRecords = 256;

// A datagram holding "\final" anywhere completes a reply.
bool HoldsFinal(std::string_view Datagram);

// The known keys of a server, taken out of `Reply` in the order the records
// read them: hostport, hostname, maxplayers, numplayers, mapname, gametype,
// gamemode, location, gamever. Numbers are 0 when missing or not numbers.
struct TServerFields {
    std::string HostPort;
    std::string HostName;
    int32_t MaxPlayers = 0;
    int32_t NumPlayers = 0;
    std::string MapName;
    std::string GameType;
    std::string GameMode;
    int32_t Location = 0;
    std::string GameVersion;
};
TServerFields TakeServerFields(std::string& Reply);

// A number taken out of `Reply` with its key; 0 when missing or not a number.
int32_t TakeNumber(std::string& Reply, std::string_view Key);

// Cuts `Count` player records out of `Reply`: for record N, each key K of
// `Keys` in order, "K_N" is taken out and "\K\value" appended (the value may
// be empty). At most kMaxPlayerRecords records; none when Count <= 0.
std::vector<std::string> TakePlayerRecords(std::string& Reply, const std::vector<std::string>& Keys,
                                           int32_t Count);

// The pairs of `Text` as rules, in order, after every byte below 32 or above
// 127 has been dropped; "final", "queryid", "gamename" and empty keys are no
// rules.
std::vector<TRule> RulesOfText(std::string_view Text);

// --- the master's list --------------------------------------------------------

struct TListedServer {
    std::string Address;
    std::string Port;
};

// Cuts every "\ip\..." record out of `ListText` and returns the servers whose
// value is an address text (digits, dots and colons, three dots, not
// starting with "0"); the port is the number after the first colon, or
// "1025". What came before the first record stays in `ListText`.
std::vector<TListedServer> TakeListedServers(std::string& ListText);

// The secret key that belongs to the game name this program announces.
constexpr std::string_view kListGameName = "quillet";
constexpr std::string_view kListGameKey = "tRvKwb";

// The answer to the master's challenge: the challenge bytes enciphered with
// the data-driven keystream under `Key`, in the 6-bit text code. The
// exchange always uses 6 bytes: a longer challenge is cut, a shorter one
// filled with zero bytes, so the answer always has 8 characters.
std::string ValidateValue(std::string_view Challenge, std::string_view Key);
