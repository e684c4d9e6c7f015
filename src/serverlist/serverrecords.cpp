#include "serverrecords.h"

#include "text/textfuncs.h"

#include <algorithm>
#include <array>

// --- players --------------------------------------------------------------

TCustomPlayer::TCustomPlayer(std::string& Record, ReadOn)
{
    Name = TakeValue(Record, "player", true);
    Frags = TakeNumber(Record, "frags");
    Ping = TakeNumber(Record, "ping");
}

TColumnTitles TCustomPlayer::ColumnTitles() const { return {{"Name", 0}, {"Frags", 0}, {"Ping", 1}}; }

void TCustomPlayer::FillRow(std::vector<std::string>& Row) const
{
    Row.push_back(Name);
    Row.push_back(std::to_string(Frags));
    Row.push_back(std::to_string(Ping));
}

TKovaPlayer::TKovaPlayer(std::string& Record, ReadOn) : TCustomPlayer(Record, ReadOn{})
{
    Deaths = TakeNumber(Record, "deaths");
    Team = TakeValue(Record, "team", true);
    Id = TakeValue(Record, "id", true);
}

TColumnTitles TKovaPlayer::ColumnTitles() const
{
    return {{"Name", 0}, {"Frags", 0}, {"Deaths", 0}, {"Ping", 1}, {"Team", 0}};
}

void TKovaPlayer::FillRow(std::vector<std::string>& Row) const
{
    Row.push_back(Name);
    Row.push_back(std::to_string(Frags));
    Row.push_back(std::to_string(Deaths));
    Row.push_back(std::to_string(Ping));
    Row.push_back(Team);
}

TBGatePlayer::TBGatePlayer(std::string& Record, ReadOn) : TKovaPlayer(Record, ReadOn{})
{
    CharClass = TakeValue(Record, "class", true);
    Level = TakeValue(Record, "level", true);
    Race = TakeValue(Record, "race", true);
}

TColumnTitles TBGatePlayer::ColumnTitles() const
{
    return {{"Name", 0}, {"Owner", 0}, {"Class", 0}, {"Race", 0}, {"Level", 0}};
}

void TBGatePlayer::FillRow(std::vector<std::string>& Row) const
{
    Row.push_back(Name);
    Row.push_back(Team);
    Row.push_back(CharClass);
    Row.push_back(Race);
    Row.push_back(Level);
}

// --- status replies -------------------------------------------------------

bool HoldsFinal(std::string_view Datagram) { return Datagram.find("\\final") != std::string_view::npos; }

int32_t TakeNumber(std::string& Reply, std::string_view Key)
{
    return StrToIntDef(TakeValue(Reply, Key, true), 0);
}

TServerFields TakeServerFields(std::string& Reply)
{
    TServerFields f;
    f.HostPort = TakeValue(Reply, "hostport", true);
    f.HostName = TakeValue(Reply, "hostname", true);
    f.MaxPlayers = TakeNumber(Reply, "maxplayers");
    f.NumPlayers = TakeNumber(Reply, "numplayers");
    f.MapName = TakeValue(Reply, "mapname", true);
    f.GameType = TakeValue(Reply, "gametype", true);
    f.GameMode = TakeValue(Reply, "gamemode", true);
    f.Location = TakeNumber(Reply, "location");
    f.GameVersion = TakeValue(Reply, "gamever", true);
    return f;
}

std::vector<std::string> TakePlayerRecords(std::string& Reply, const std::vector<std::string>& Keys,
                                           int32_t Count)
{
    std::vector<std::string> records;
    const int32_t count = std::min(Count, kMaxPlayerRecords);
    if (count <= 0)
        return records;
    records.reserve(std::size_t(count));
    std::string key;
    for (int32_t n = 0; n < count; ++n) {
        const std::string suffix = "_" + std::to_string(n);
        std::string record;
        for (const std::string& k : Keys) {
            key.assign(k).append(suffix);
            record += '\\';
            record += k;
            record += '\\';
            record += TakeValue(Reply, key, true);
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<TRule> RulesOfText(std::string_view Text)
{
    std::string copy;
    copy.reserve(Text.size());
    for (char c : Text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 32 && b <= 127)
            copy += c;
    }
    // Sequential field reading (as NextField does) over a read position
    // instead of cutting the front off the text each time.
    std::size_t at = 0;
    auto nextField = [&]() -> std::string {
        const std::size_t slash = copy.find('\\', at);
        if (slash != std::string::npos)
            at = slash + 1;
        if (at >= copy.size())
            return {};
        const std::size_t end = copy.find('\\', at);
        std::string field = copy.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? copy.size() : end;
        return field;
    };
    std::vector<TRule> rules;
    rules.reserve(std::size_t(std::count(copy.begin(), copy.end(), '\\')) / 2);
    while (copy.find('\\', at) != std::string::npos) {
        std::string key = nextField();
        std::string value = nextField();
        if (!key.empty() && key != "final" && key != "queryid" && key != "gamename")
            rules.emplace_back(std::move(key), std::move(value));
    }
    return rules;
}

// --- the master's list --------------------------------------------------------

std::vector<TListedServer> TakeListedServers(std::string& ListText)
{
    static constexpr std::string_view kPattern = "\\ip\\";
    std::vector<TListedServer> servers;
    std::size_t at = ListText.find(kPattern);
    const std::size_t first = at;
    // Each record runs from one "\ip\" to the next or to the end, so cutting
    // them all out leaves the text before the first one.
    while (at != std::string::npos) {
        const std::size_t next = ListText.find(kPattern, at + 1);
        const std::string_view record =
            std::string_view(ListText).substr(at, next == std::string::npos ? std::string_view::npos : next - at);
        const std::string value = LookupValue(record, "ip");
        if (IsAddressText(value))
            servers.push_back({HostOf(value), PortOf(value, "1025")});
        at = next;
    }
    if (first != std::string::npos)
        ListText.erase(first);
    return servers;
}

std::string ValidateValue(std::string_view Challenge, std::string_view Key)
{
    std::array<unsigned char, 6> bytes{};
    std::copy_n(Challenge.begin(), std::min(Challenge.size(), bytes.size()), bytes.begin());
    Crypt(bytes.data(), bytes.size(), Key, false);
    return EncodeBase64(bytes.data(), bytes.size());
}
