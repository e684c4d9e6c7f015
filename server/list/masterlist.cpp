#include "masterlist.h"

#include "text/textfuncs.h"
#include "serverlist/serverrecords.h"

#include <algorithm>
#include <vector>

namespace {

bool IsNameChar(unsigned char c) { return c > 32 && c < 127 && c != '\\'; }

bool IsName(std::string_view text, std::size_t maxLength)
{
    return !text.empty() && text.size() <= maxLength
           && std::all_of(text.begin(), text.end(), [](char c) { return IsNameChar(static_cast<unsigned char>(c)); });
}

// A name from the network made safe for a log line or a reply: printable,
// no backslashes, and short.
std::string Printable(std::string_view text)
{
    std::string out;
    for (char c : text.substr(0, 32))
        out += IsNameChar(static_cast<unsigned char>(c)) ? c : '?';
    if (text.size() > 32)
        out += "...";
    return out;
}

constexpr std::size_t kMaxGameName = 64;

} // namespace

// --- game keys ------------------------------------------------------------------

TGameKeys DefaultGameKeys() { return {{std::string(kListGameName), std::string(kListGameKey)}}; }

bool ReadGameKeys(std::string_view Text, TGameKeys& Keys, std::string& Error)
{
    std::size_t lineNo = 0;
    while (!Text.empty()) {
        ++lineNo;
        const std::size_t nl = Text.find('\n');
        std::string line = Trim(Text.substr(0, nl));
        Text = nl == std::string_view::npos ? std::string_view() : Text.substr(nl + 1);
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> words;
        std::size_t at = 0;
        while (at < line.size()) {
            std::size_t end = line.find_first_of(" \t", at);
            if (end == std::string::npos)
                end = line.size();
            if (end > at)
                words.push_back(line.substr(at, end - at));
            at = end + 1;
        }
        if (words.size() != 2 || !IsName(words[0], kMaxGameName) || !IsName(words[1], 256)) {
            Error = "line " + std::to_string(lineNo) + ": expected 'gamename key'";
            return false;
        }
        Keys[words[0]] = words[1];
    }
    return true;
}

// --- heartbeats -------------------------------------------------------------------

std::string TPeer::AddressText() const
{
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." + std::to_string((ip >> 8) & 255)
           + "." + std::to_string(ip & 255);
}

std::string TPeer::Text() const { return AddressText() + ":" + std::to_string(port); }

bool ParseHeartbeat(std::string_view Datagram, THeartbeat& Heartbeat)
{
    static constexpr std::string_view kStart = "\\heartbeat\\";
    if (Datagram.substr(0, kStart.size()) != kStart)
        return false;
    const std::string port = LookupValue(Datagram, "heartbeat");
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const int value = std::stoi(port);
    if (value < 1 || value > 65535)
        return false;
    std::string game = LookupValue(Datagram, "gamename");
    if (!IsName(game, kMaxGameName))
        return false;
    Heartbeat.queryPort = uint16_t(value);
    Heartbeat.gameName = std::move(game);
    return true;
}

TMasterList::TMasterList(const TListLimits& Limits, TMasterListOutput& Out, TLog Log)
    : limits_(Limits), out_(Out), log_(std::move(Log))
{
}

void TMasterList::Count(std::unordered_map<uint32_t, uint32_t>& Counts, uint32_t Ip, int Delta)
{
    uint32_t& n = Counts[Ip];
    n = uint32_t(int64_t(n) + Delta);
    if (n == 0)
        Counts.erase(Ip);
}

std::string StatusReplyGame(std::string_view Datagram)
{
    if (Datagram.empty() || Datagram[0] != '\\')
        return {};
    std::string game = LookupValue(Datagram, "gamename");
    return IsName(game, kMaxGameName) ? game : std::string();
}

void TMasterList::Datagram(const TPeer& From, std::string_view Data, uint64_t NowMs)
{
    THeartbeat beat;
    if (ParseHeartbeat(Data, beat)) {
        Heartbeat(From, beat, NowMs);
        return;
    }
    if (probes_.count(From.Key()))
        Answered(From, Data, NowMs);
}

void TMasterList::Heartbeat(const TPeer& From, const THeartbeat& Beat, uint64_t NowMs)
{
    const TPeer target{From.ip, Beat.queryPort};
    // Ports below 1024 are other services' (and a heartbeat's source can
    // be forged): never probed, nor the server's own.
    if (target.port < 1024 || ownPorts_.count(target.port))
        return;
    const auto waiting = probes_.find(target.Key());
    if (waiting != probes_.end()) {
        // Already asked; the answer settles it, for any game claimed meanwhile.
        std::vector<std::string>& games = waiting->second.games;
        if (games.size() < 4 && std::find(games.begin(), games.end(), Beat.gameName) == games.end())
            games.push_back(Beat.gameName);
        return;
    }
    // A server that answered a moment ago is not asked again yet, so that a
    // stream of heartbeats does not become a stream of probes.
    const auto listed = servers_.find(target.Key());
    if (listed != servers_.end() && NowMs - listed->second.lastHeard < limits_.probeTimeoutMs
        && listed->second.gameName == Beat.gameName)
        return;
    // A listed server's probe goes whatever new ones are waiting: forged
    // heartbeats of made-up servers cannot keep the real ones from being
    // heard again.
    const bool isListed = listed != servers_.end();
    if (!isListed && !RoomForNewProbe(target.ip, NowMs))
        return;
    probes_[target.Key()] = TProbe{{Beat.gameName}, NowMs, isListed};
    Count(probesPerIp_, target.ip, +1);
    if (!isListed)
        ++newProbes_;
    out_.SendDatagram(target, kProbe);
}

bool TMasterList::RoomForNewProbe(uint32_t Ip, uint64_t NowMs)
{
    const auto probesHere = probesPerIp_.find(Ip);
    if ((probesHere != probesPerIp_.end() && probesHere->second >= limits_.perAddress)
        || newProbes_ >= limits_.maxNewProbes)
        return false;
    const uint32_t net = Ip >> 8;
    auto bucket = probesPerNet_.find(net);
    if (bucket == probesPerNet_.end()) {
        if (probesPerNet_.size() >= std::size_t(limits_.maxNewProbes) * 4) {
            // Forget the networks that have their whole budget back.
            for (auto b = probesPerNet_.begin(); b != probesPerNet_.end();)
                b = b->second.Level(NowMs) >= limits_.probeBurst ? probesPerNet_.erase(b) : std::next(b);
            if (probesPerNet_.size() >= std::size_t(limits_.maxNewProbes) * 4)
                return false;
        }
        bucket = probesPerNet_.emplace(net, TTokenBucket(limits_.probeRate, limits_.probeBurst, NowMs)).first;
    }
    return bucket->second.Take(NowMs);
}

void TMasterList::EndProbe(std::unordered_map<uint64_t, TProbe>::iterator Probe)
{
    Count(probesPerIp_, uint32_t(Probe->first >> 16), -1);
    if (!Probe->second.listed)
        --newProbes_;
    probes_.erase(Probe);
}

void TMasterList::Answered(const TPeer& From, std::string_view Data, uint64_t NowMs)
{
    // Only a status reply naming a game counts: any other service at that
    // port answering something proves nothing.
    const std::string game = StatusReplyGame(Data);
    if (game.empty())
        return;
    auto probe = probes_.find(From.Key());
    auto it = servers_.find(From.Key());
    const std::vector<std::string>& claimed = probe->second.games;
    const bool claimedGame = std::find(claimed.begin(), claimed.end(), game) != claimed.end();
    if (it != servers_.end() && it->second.gameName == game) {
        // Still the game it is listed for, whatever a heartbeat claimed.
        it->second.lastHeard = NowMs;
        EndProbe(probe);
        return;
    }
    // A game no heartbeat named: perhaps another piece of the reply names
    // the right one; the probe waits on until it lapses.
    if (!claimedGame)
        return;
    EndProbe(probe);
    if (it != servers_.end()) {
        log_("master list: " + From.Text() + " now a " + game + " server");
        it->second.gameName = game;
        it->second.lastHeard = NowMs;
        return;
    }
    const auto here = serversPerIp_.find(From.ip);
    if ((here != serversPerIp_.end() && here->second >= limits_.perAddress) || servers_.size() >= limits_.maxServers)
        return;
    log_("master list: registered " + game + " server " + From.Text());
    servers_.emplace(From.Key(), TServer{game, NowMs});
    Count(serversPerIp_, From.ip, +1);
}

void TMasterList::Tick(uint64_t NowMs)
{
    for (auto it = probes_.begin(); it != probes_.end();) {
        if (NowMs - it->second.sentAt >= limits_.probeTimeoutMs) {
            auto lapsed = it++;
            EndProbe(lapsed);
        } else {
            ++it;
        }
    }
    const uint64_t expiry = uint64_t(limits_.serverExpirySeconds) * 1000;
    for (auto it = servers_.begin(); it != servers_.end();) {
        if (NowMs - it->second.lastHeard >= expiry) {
            const TPeer peer{uint32_t(it->first >> 16), uint16_t(it->first & 0xFFFF)};
            log_("master list: " + it->second.gameName + " server " + peer.Text() + " expired");
            Count(serversPerIp_, peer.ip, -1);
            it = servers_.erase(it);
        } else {
            ++it;
        }
    }
}

TMasterList::TListReply TMasterList::ListFor(std::string_view GameName) const
{
    TListReply reply;
    for (const auto& [key, server] : servers_) {
        if (server.gameName != GameName)
            continue;
        const TPeer peer{uint32_t(key >> 16), uint16_t(key & 0xFFFF)};
        reply.text += "\\ip\\" + peer.Text();
        ++reply.count;
    }
    reply.text += "\\final\\";
    return reply;
}

// --- list clients -----------------------------------------------------------------

TListSession::TListSession(std::string Challenge) : challenge_(std::move(Challenge)) {}

std::string TListSession::Greeting() const { return "\\basic\\\\secure\\" + challenge_; }

TListSession::TStep TListSession::Refuse(std::string Reason)
{
    reason_ = std::move(Reason);
    return TStep::Refuse;
}

TListSession::TStep TListSession::Received(std::string_view Bytes, const TGameKeys& Keys, uint32_t MaxRequest)
{
    if (received_.size() + Bytes.size() > MaxRequest)
        return Refuse("request too long");
    received_.append(Bytes);
    const std::size_t listAt = received_.find("\\list\\");
    if (!validated_) {
        // The validation ends with its "\final\", or where the list request starts.
        const std::size_t end = std::min(listAt, received_.find("\\final\\"));
        if (end == std::string::npos)
            return TStep::More;
        const std::string_view head = std::string_view(received_).substr(0, end);
        const std::string game = LookupValue(head, "gamename");
        if (game.empty())
            return Refuse("no game name");
        const auto key = Keys.find(game);
        if (key == Keys.end())
            return Refuse("unknown game name " + Printable(game));
        const std::string validate = LookupValue(head, "validate");
        if (validate.empty() || validate != ValidateValue(challenge_, key->second))
            return Refuse("wrong validate value");
        validated_ = true;
    }
    if (listAt == std::string::npos)
        return TStep::More;
    // The request carries no end mark: its game name is complete once the
    // bytes sent so far have been read.
    listGame_ = LookupValue(std::string_view(received_).substr(listAt), "gamename");
    if (listGame_.empty())
        return TStep::More;
    if (!IsName(listGame_, kMaxGameName))
        return Refuse("bad game name " + Printable(listGame_));
    return TStep::List;
}
