#include "lobbymaster.h"

#include "text/textfuncs.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

using lobby::GameRecord;
using lobby::PlayerRecord;

namespace {

constexpr int32_t kMinPlayers = 2;
constexpr int32_t kMaxPlayers = 32;

// Chat colours (0x00BBGGRR), all readable on a light background.
constexpr uint32_t kColors[] = {
    0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080, 0x0050A0, 0xA05000,
};

std::string Num(int64_t v) { return std::to_string(v); }

int32_t Lenient(const std::string& param, std::string_view key, int32_t def = 0)
{
    return StrToIntDef(LookupValue(param, key), def);
}

// The lowest free index of a table (entry 0 is never used), or a new entry at
// its end; the entry starts afresh either way.
template <class TEntry>
int32_t TakeFreeIndex(std::vector<TEntry>& table, std::set<int32_t>& free)
{
    if (free.empty()) {
        table.emplace_back();
        return int32_t(table.size() - 1);
    }
    const int32_t index = *free.begin();
    free.erase(free.begin());
    table[std::size_t(index)] = TEntry{};
    return index;
}

} // namespace

namespace {

// A blank as a reader sees one: the space and the no-break space.
bool IsBlank(unsigned char ch) { return ch == ' ' || ch == 0xA0; }

// The control bytes, and the bytes Windows-1252 leaves without a character.
bool IsControl(unsigned char ch)
{
    return ch < 0x20 || ch == 0x7F || ch == 0x81 || ch == 0x8D || ch == 0x8F || ch == 0x90 || ch == 0x9D;
}

} // namespace

std::string NameProblem(std::string_view name)
{
    if (name.empty())
        return "Please choose a nickname.";
    if (name.size() > 31)
        return "That nickname is too long: at most 31 characters.";
    for (unsigned char ch : name) {
        if (ch == '\\')
            return "A nickname may not contain a backslash.";
        if (IsControl(ch))
            return "A nickname may not contain control characters.";
    }
    // Never trimmed: the client knows itself by the exact name it asked for.
    if (IsBlank(static_cast<unsigned char>(name.front())) || IsBlank(static_cast<unsigned char>(name.back())))
        return "A nickname may not begin or end with a blank.";
    // "Admin: server restarts. Bob" would make its chat read as Admin's.
    for (std::size_t i = 0; i + 1 < name.size(); ++i)
        if (name[i] == ':' && IsBlank(static_cast<unsigned char>(name[i + 1])))
            return "A nickname may not contain a colon followed by a blank.";
    return {};
}

std::string NameKey(std::string_view name)
{
    std::string key(name);
    for (char& c : key) {
        const auto ch = static_cast<unsigned char>(c);
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 0xC0 && ch <= 0xDE && ch != 0xD7))
            c = char(ch + 0x20);
        else if (ch == 0x8A || ch == 0x8C || ch == 0x8E)   // S, OE, Z with caron or ligature
            c = char(ch + 0x10);
        else if (ch == 0x9F)                               // Y with diaeresis
            c = char(0xFF);
        else if (ch == 0xA0)
            c = ' ';
    }
    return key;
}

TFrame MakeFrame(uint8_t type, std::string_view param)
{
    auto frame = std::make_shared<std::string>();
    frame->reserve(4 + 40 + param.size());
    lobby::TFrameWriter(*frame, type, 0).Text(param).Finish();
    return frame;
}

const TFrame& RefreshFrame()
{
    static const TFrame frame = MakeFrame(cmRefresh, {});
    return frame;
}

const TFrame& PingFrame()
{
    static const TFrame frame = MakeFrame(cmPing, {});
    return frame;
}

TLobbyMaster::TLobbyMaster(const TLobbyLimits& limits, TLobbyOutput& out, TLog log, uint64_t nowMs)
    : limits_(limits), out_(out), log_(std::move(log)), now_(nowMs), nextPing_(nowMs + limits.keepAliveMs)
{
    players_.resize(1);
    games_.resize(1);
}

// --- connections ---------------------------------------------------------------

bool TLobbyMaster::Admit(const std::string& address, uint64_t nowMs, std::string& why)
{
    now_ = nowMs;
    if (limits_.perAddress != 0) {
        auto it = perAddress_.find(address);
        if (it != perAddress_.end() && it->second >= limits_.perAddress) {
            why = "Too many connections from your address.";
            return false;
        }
    }
    if (clients_.size() < limits_.maxClients)
        return true;
    if (unnamed_.empty()) {
        why = "The lobby is full, please try again later.";
        return false;
    }
    // A crowd that never says who it is must not keep players out: the
    // oldest of it makes room.
    DropClient(unnamed_.begin()->second, "replaced by a newcomer, the lobby being full");
    return true;
}

void TLobbyMaster::Connected(TConnId conn, const std::string& address, uint64_t nowMs)
{
    now_ = nowMs;
    TClient& c = clients_[conn];
    c.address = address;
    c.connectedAt = c.lastHeard = nowMs;
    c.chat = TTokenBucket(limits_.chatRate, limits_.chatBurst, nowMs);
    c.actions = TTokenBucket(limits_.actionRate, limits_.actionBurst, nowMs);
    c.log = TLogBudget(limits_.logLines, nowMs);
    unnamed_.emplace(nowMs, conn);
    ++perAddress_[address];
    LogAbout(conn, "connection " + Num(conn) + " from " + address);
}

void TLobbyMaster::Disconnected(TConnId conn, const std::string& reason)
{
    Forget(conn, reason);
    if (clients_.empty())
        ReleaseEmptyLobby();
}

void TLobbyMaster::DropClient(TConnId conn, const std::string& reason)
{
    Forget(conn, reason);
    out_.Drop(conn, reason);
    if (clients_.empty())
        ReleaseEmptyLobby();
}

void TLobbyMaster::DismissClient(TConnId conn, const std::string& notice, const std::string& reason)
{
    SendToConn(conn, cmMessage, "\\message\\" + notice);
    Forget(conn, reason);
    out_.Dismiss(conn, reason);
    if (clients_.empty())
        ReleaseEmptyLobby();
}

bool TLobbyMaster::Dismiss(const std::string& name, const std::string& notice, const std::string& reason)
{
    auto it = names_.find(NameKey(name));
    if (it == names_.end())
        return false;
    DismissClient(players_[it->second].conn, notice, reason);
    return true;
}

bool TLobbyMaster::Notify(const std::string& name, const std::string& text)
{
    TFrame frame = MakeFrame(cmMessage, "\\message\\" + text);
    if (name.empty()) {
        Broadcast(frame, {});
        return true;
    }
    auto it = names_.find(NameKey(name));
    if (it == names_.end())
        return false;
    SendTo(it->second, frame);
    return true;
}

bool TLobbyMaster::Muted(int32_t p) const
{
    return guard_.muted && guard_.muted(players_[p].rec.Name());
}

void TLobbyMaster::ReleaseEmptyLobby()
{
    // Nobody is left to hold an index: start the tables afresh and give back
    // what a crowd made them grow to.
    std::vector<TPlayer>(1).swap(players_);
    std::vector<TGame>(1).swap(games_);
    std::set<int32_t>().swap(freePlayers_);
    std::set<int32_t>().swap(freeGames_);
    std::unordered_map<std::string, int32_t>().swap(names_);
    std::unordered_map<TConnId, TClient>().swap(clients_);
    std::set<std::pair<uint64_t, TConnId>>().swap(unnamed_);
    std::unordered_map<std::string, uint32_t>().swap(perAddress_);
    std::unordered_map<std::string, TTokenBucket>().swap(addressActions_);
}

void TLobbyMaster::Forget(TConnId conn, const std::string& reason)
{
    auto it = clients_.find(conn);
    if (it == clients_.end())
        return;
    TClient c = std::move(it->second);
    clients_.erase(it);
    auto pa = perAddress_.find(c.address);
    if (pa != perAddress_.end() && --pa->second == 0) {
        perAddress_.erase(pa);
        addressActions_.erase(c.address);
    }
    if (c.player == 0) {
        unnamed_.erase({c.connectedAt, conn});
        std::string line = "connection " + Num(conn) + " from " + c.address + " closed: " + reason;
        if (PassForAddress(c.address, line))
            log_(line);
        return;
    }
    int32_t p = c.player;
    std::string line = "player " + Describe(p) + " left: " + reason;
    c.log.Last(line);
    log_(line);
    if (players_[p].rec.hostedGame != 0)
        CloseGame(players_[p].rec.hostedGame);
    else
        LeaveGame(p);
    for (TGame& g : games_)
        g.invited.erase(p);
    for (TPlayer& other : players_)
        other.toldFull.erase(p);
    names_.erase(NameKey(players_[p].rec.Name()));
    players_[p].rec.active = 0;
    players_[p].rec.hostPlayer = 0;
    players_[p].rec.hostedGame = 0;
    players_[p].conn = 0;
    players_[p].toldFull.clear();
    AnnouncePlayer(p);
    BroadcastRefresh();
    freePlayers_.insert(p);
}

void TLobbyMaster::Tick(uint64_t nowMs)
{
    now_ = nowMs;
    std::vector<std::pair<TConnId, std::string>> drops;
    for (auto& [conn, c] : clients_) {
        if (c.player == 0 && nowMs - c.connectedAt >= limits_.nameDeadlineMs)
            drops.emplace_back(conn, "no name within " + Num(limits_.nameDeadlineMs) + " ms");
        else if (nowMs - c.lastHeard >= 2ull * limits_.keepAliveMs)
            drops.emplace_back(conn, "silent for two keep-alive periods");
    }
    for (auto& [conn, reason] : drops)
        DropClient(conn, reason);
    ForgetRestedAddresses();
    if (nowMs >= nextPing_) {
        nextPing_ = nowMs + limits_.keepAliveMs;
        for (auto& entry : clients_)
            out_.Send(entry.first, PingFrame(), {});
    }
}

void TLobbyMaster::BadFrame(TConnId conn, const std::string& error, uint64_t nowMs)
{
    now_ = nowMs;
    auto it = clients_.find(conn);
    if (it == clients_.end())
        return;
    TClient& c = it->second;
    c.lastHeard = nowMs;
    if (++c.badFrames >= limits_.badFrames) {
        DropClient(conn, Num(c.badFrames) + " malformed frames, the last a " + error);
        return;
    }
    // The first tells what is wrong; the count goes with the connection's last line.
    if (c.badFrames == 1)
        LogAbout(conn, "connection " + Num(conn) + ": dropped a " + error);
}

// --- records -------------------------------------------------------------------

void TLobbyMaster::Received(TConnId conn, const LobbyRecord& r, uint64_t nowMs)
{
    now_ = nowMs;
    auto it = clients_.find(conn);
    if (it == clients_.end())
        return;
    TClient& c = it->second;
    c.lastHeard = nowMs;
    if (c.player == 0) {
        // Nothing but a name and pongs before naming.
        if (r.type == cmNameWanted)
            HandleName(conn, c, r);
        return;
    }
    switch (r.type) {
    case cmNameWanted:
    case cmHost:
    case cmJoin:
    case cmLeave:
    case cmKick:
    case cmStart:
        // Each of these is told to every player: a few a second at most.
        if (!TakeActionToken(c) || !TakeAddressToken(c))
            return;
        break;
    default:
        break;
    }
    switch (r.type) {
    case cmNameWanted: HandleName(conn, c, r); break;
    case cmHost: HandleHost(c, r); break;
    case cmJoin: HandleJoin(c, r); break;
    case cmLeave: HandleLeave(c); break;
    case cmKick: HandleKick(c, r); break;
    case cmInvite: HandleInvite(c, r); break;
    case cmStart: HandleStart(c, r); break;
    case cmChat: HandleChat(c, r); break;
    case cmPrivMsg: HandlePrivMsg(c, r); break;
    default: return;   // cmPong and anything a client has no business sending
    }
    // The player sees the outcome of its own request at once; the others
    // hear of it with the lobby's next round.
    out_.Hurry(conn);
}

// A name request is refused, renames a player, or brings a newcomer in.
void TLobbyMaster::HandleName(TConnId conn, TClient& c, const LobbyRecord& r)
{
    const std::string name = LookupValue(r.param, "namewanted");
    if (RefuseName(conn, c, name))
        return;
    // A banned name is told so and shown the door, whoever asks for it.
    if (std::string notice = guard_.nameRefusal ? guard_.nameRefusal(name) : ""; !notice.empty()) {
        DismissClient(conn, notice, "banned name '" + name + "'");
        return;
    }
    if (c.player != 0)
        RenamePlayer(conn, c.player, name);
    else
        JoinLobby(conn, c, name);
}

bool TLobbyMaster::RefuseName(TConnId conn, const TClient& c, const std::string& name)
{
    std::string problem = NameProblem(name);
    if (!problem.empty()) {
        SendToConn(conn, cmMessage, "\\message\\" + problem);
        return true;
    }
    // A player asking again for its own name (or another case of it) is
    // not refused. Any other name that reads the same as one in use is
    // taken: names are told apart without regard to case.
    const auto holder = names_.find(NameKey(name));
    if (holder != names_.end() && holder->second != c.player) {
        SendToConn(conn, cmNameTaken, "\\namewanted\\" + name);
        return true;
    }
    return false;
}

void TLobbyMaster::RenamePlayer(TConnId conn, int32_t p, const std::string& name)
{
    std::string old = players_[p].rec.Name();
    if (old == name) {
        // Its own name again: it keeps its index and hears its record again.
        out_.Send(conn, PlayerFrame(p), {TSlot::Player, p});
        out_.Send(conn, RefreshFrame(), {TSlot::Refresh, 0});
        return;
    }
    names_.erase(NameKey(old));
    names_[NameKey(name)] = p;
    players_[p].rec.SetName(name);
    LogPlayer(p, "player " + Num(p) + " '" + LogText(old) + "' renamed to '" + LogText(name) + "'");
    AnnouncePlayer(p);
    BroadcastRefresh();
}

void TLobbyMaster::JoinLobby(TConnId conn, TClient& c, const std::string& name)
{
    const int32_t p = TakeFreeIndex(players_, freePlayers_);
    TPlayer& pl = players_[p];
    pl.conn = conn;
    pl.color = kColors[p % std::size(kColors)];
    pl.rec.active = 1;
    pl.rec.index = p;
    pl.rec.SetName(name);
    pl.rec.SetAddress(c.address);
    pl.rec.ping = 9999;
    c.player = p;
    unnamed_.erase({c.connectedAt, conn});
    names_[NameKey(name)] = p;
    pl.inbox = TTokenBucket(limits_.inboxRate, limits_.inboxBurst, now_);
    LogPlayer(p, "player " + Describe(p) + " named, from " + c.address);

    AnnouncePlayer(p, p);
    BroadcastRefresh(p);
    SendWholeLobby(conn);
}

void TLobbyMaster::SendWholeLobby(TConnId conn)
{
    // The newcomer gets the whole lobby, itself included, then rebuilds its
    // list. Each is a record in its slot, so however big the lobby, nothing
    // of it counts as a burst against the newcomer.
    for (std::size_t i = 1; i < players_.size(); ++i)
        if (players_[i].rec.active)
            out_.Send(conn, PlayerFrame(int32_t(i)), {TSlot::Player, int32_t(i)});
    for (std::size_t g = 1; g < games_.size(); ++g)
        if (games_[g].rec.active)
            out_.Send(conn, GameFrame(int32_t(g)), {TSlot::Game, int32_t(g)});
    out_.Send(conn, RefreshFrame(), {TSlot::Refresh, 0});
    out_.Hurry(conn);
}

void TLobbyMaster::HandleHost(TClient& c, const LobbyRecord& r)
{
    int32_t p = c.player;
    TPlayer& pl = players_[p];
    std::string name = lobby::ValidGameName(LookupValue(r.param, "name"));
    if (name.empty()) {
        Refuse(p, "That is not a valid gamename");
        return;
    }
    int32_t maxPlayers = std::clamp(Lenient(r.param, "maxplayers", kMaxPlayers), kMinPlayers, kMaxPlayers);
    bool inviteOnly = Lenient(r.param, "inviteonly") != 0;
    std::string indexText = LookupValue(r.param, "index");
    int32_t g;
    if (!indexText.empty()) {
        g = StrToIntDef(indexText, -1);
        if (g <= 0 || g != pl.rec.hostedGame) {
            Refuse(p, "You can only change the settings of the game you host.");
            return;
        }
        LogPlayer(p, "game " + Num(g) + " changed by " + Describe(p) + ": '" + LogText(name) + "'");
    } else {
        if (pl.rec.hostedGame != 0) {
            Refuse(p, "You already host a game.");
            return;
        }
        if (pl.rec.hostPlayer != 0) {
            Refuse(p, "Leave your game before hosting one.");
            return;
        }
        g = TakeFreeIndex(games_, freeGames_);
        games_[g].rec.active = 1;
        games_[g].rec.index = g;
        games_[g].rec.hostPlayer = p;
        pl.rec.hostedGame = g;
        LogPlayer(p, "game " + Num(g) + " '" + LogText(name) + "' hosted by " + Describe(p));
    }
    GameRecord& gr = games_[g].rec;
    gr.SetName(name);
    gr.maxPlayers = uint16_t(maxPlayers);
    gr.inviteOnly = inviteOnly ? 1 : 0;
    AnnounceGame(g);
    AnnouncePlayer(p);
    BroadcastRefresh();
}

void TLobbyMaster::HandleJoin(TClient& c, const LobbyRecord& r)
{
    int32_t p = c.player;
    TPlayer& pl = players_[p];
    int32_t g = Lenient(r.param, "to", -1);
    if (!IsGame(g)) {
        Refuse(p, "That game is no longer open.");
        return;
    }
    TGame& game = games_[g];
    if (pl.rec.hostedGame != 0) {
        Refuse(p, "You host a game: leave it before joining another.");
        return;
    }
    if (pl.rec.hostPlayer == game.rec.hostPlayer)
        return;   // already there
    if (game.rec.state != 0) {
        Refuse(p, "Sorry, that game is already in progress");
        return;
    }
    if (MembersOf(g) >= int32_t(game.rec.maxPlayers)) {
        Refuse(p, "Sorry, that game is full.");
        return;
    }
    if (game.rec.inviteOnly && game.invited.count(p) == 0) {
        Refuse(p, "That game is by invitation only.");
        return;
    }
    if (pl.rec.hostPlayer != 0)
        LeaveGame(p);
    game.invited.erase(p);
    game.members.insert(p);
    pl.rec.hostPlayer = game.rec.hostPlayer;
    LogPlayer(p, "player " + Describe(p) + " joined game " + Num(g));
    AnnouncePlayer(p);
    BroadcastRefresh();
}

void TLobbyMaster::HandleLeave(TClient& c)
{
    int32_t p = c.player;
    if (players_[p].rec.hostedGame != 0) {
        CloseGame(players_[p].rec.hostedGame);
        BroadcastRefresh();
    } else if (players_[p].rec.hostPlayer != 0) {
        LeaveGame(p);
        BroadcastRefresh();
    }
}

void TLobbyMaster::HandleKick(TClient& c, const LobbyRecord& r)
{
    int32_t p = c.player;
    int32_t g = players_[p].rec.hostedGame;
    if (g == 0) {
        Refuse(p, "Only the host of a game can kick players.");
        return;
    }
    int32_t who = Lenient(r.param, "who", -1);
    if (!IsPlayer(who) || who == p || players_[who].rec.hostPlayer != p) {
        Refuse(p, "That player is not in your game.");
        return;
    }
    games_[g].invited.erase(who);
    LogPlayer(p, "player " + Describe(who) + " kicked from game " + Num(g) + " by " + Describe(p));
    LeaveGame(who);
    Refuse(who, "You have been kicked from " + games_[g].rec.Name() + ".");
    BroadcastRefresh();
}

void TLobbyMaster::HandleInvite(TClient& c, const LobbyRecord& r)
{
    int32_t p = c.player;
    int32_t who = Lenient(r.param, "whoto", -1);
    int32_t g = Lenient(r.param, "whatto", -1);
    if (!IsPlayer(who) || who == p) {
        Refuse(p, "That player is no longer in the lobby.");
        return;
    }
    if (!IsGame(g) || GameOf(p) != g) {
        Refuse(p, "You can only invite players to your own game.");
        return;
    }
    TGame& game = games_[g];
    if (GameOf(who) == g) {
        Refuse(p, "That player is already in your game.");
        return;
    }
    if (game.rec.hostPlayer != p && game.rec.inviteOnly) {
        Refuse(p, "Only the host can invite players to this game.");
        return;
    }
    if (!TakeChatToken(c) || Muted(p))
        return;
    if (!DeliverTo(p, who, MakeFrame(cmInvite, "\\whoto\\" + Num(p) + "\\whatto\\" + Num(g))))
        return;
    if (game.rec.hostPlayer == p)
        game.invited.insert(who);
}

void TLobbyMaster::HandleStart(TClient& c, const LobbyRecord& r)
{
    int32_t p = c.player;
    int32_t g = players_[p].rec.hostedGame;
    if (g == 0) {
        Refuse(p, "Only the host can start a game.");
        return;
    }
    bool start = Lenient(r.param, "start") != 0;
    games_[g].rec.state = start ? 1 : 0;
    LogPlayer(p, "game " + Num(g) + (start ? " started" : " finished"));
    AnnounceGame(g);
    BroadcastRefresh();
    if (start) {
        TFrame frame = MakeFrame(cmStart, "\\start\\1");
        for (int32_t member : games_[g].members)
            SendTo(member, frame);
    }
}

bool TLobbyMaster::TakeChatToken(TClient& c)
{
    return TakeToken(c, c.chat, c.chatWarned, "You are sending messages too fast; lines are being dropped.");
}

bool TLobbyMaster::TakeActionToken(TClient& c)
{
    return TakeToken(c, c.actions, c.actionsWarned,
                     "You are changing your name or game too fast; requests are being dropped.");
}

bool TLobbyMaster::TakeAddressToken(TClient& c)
{
    if (!limits_.floodLimit)
        return true;
    auto it = addressActions_.find(c.address);
    if (it == addressActions_.end())
        it = addressActions_
                 .emplace(c.address, TTokenBucket(limits_.addressActionRate, limits_.addressActionBurst, now_))
                 .first;
    return TakeToken(c, it->second, c.addressWarned,
                     "Too many requests from your address just now; yours was dropped.");
}

bool TLobbyMaster::TakeToken(TClient& c, TTokenBucket& bucket, bool& warned, const char* warning)
{
    if (!limits_.floodLimit || bucket.Take(now_)) {
        warned = false;
        return true;
    }
    // Told once for each run of refused requests.
    if (!warned) {
        warned = true;
        Refuse(c.player, warning);
    }
    return false;
}

bool TLobbyMaster::DeliverTo(int32_t from, int32_t to, const TFrame& frame)
{
    TPlayer& target = players_[to];
    if (limits_.floodLimit) {
        // Quiet for long enough to fill up: a new flood tells its senders again.
        if (target.inbox.Level(now_) >= limits_.inboxBurst)
            target.toldFull.clear();
        if (!target.inbox.Take(now_)) {
            if (target.toldFull.insert(from).second)
                Refuse(from, "That player is being sent too many messages just now; yours was not delivered.");
            return false;
        }
    }
    SendTo(to, frame);
    return true;
}

bool TLobbyMaster::TextTooLong(int32_t p, const std::string& text)
{
    if (text.size() <= limits_.maxText)
        return false;
    Refuse(p, "That line is too long: at most " + Num(limits_.maxText) + " characters.");
    return true;
}

void TLobbyMaster::HandleChat(TClient& c, const LobbyRecord& r)
{
    int32_t p = c.player;
    int32_t chan = Lenient(r.param, "chan");
    std::string text = LookupValue(r.param, "text");
    if (text.empty())
        return;
    int32_t g = 0;
    if (chan != 0) {
        g = GameOf(p);
        if (g == 0) {
            Refuse(p, "You are not in a game.");
            return;
        }
    }
    if (!TakeChatToken(c) || TextTooLong(p, text))
        return;
    // Made once, straight into the buffer every receiver shares.
    auto line = std::make_shared<std::string>();
    const std::string name = players_[p].rec.Name();
    line->reserve(4 + 40 + 40 + name.size() + 2 + text.size() + 1);
    lobby::TFrameWriter(*line, cmChat, 0)
        .Text("\\chan\\").Number(chan != 0 ? 1 : 0)
        .Text("\\color\\").Number(players_[p].color)
        .Text("\\text\\").Text(name).Text(": ").Text(text)
        .Finish();
    TFrame frame = std::move(line);
    if (Muted(p)) {
        // Its own echo alone: the line looks sent.
        SendTo(p, frame);
        return;
    }
    if (g == 0) {
        Broadcast(frame, {});
        return;
    }
    SendTo(games_[g].rec.hostPlayer, frame);
    for (int32_t member : games_[g].members)
        SendTo(member, frame);
}

void TLobbyMaster::HandlePrivMsg(TClient& c, const LobbyRecord& r)
{
    int32_t p = c.player;
    int32_t to = Lenient(r.param, "to", -1);
    if (!IsPlayer(to)) {
        Refuse(p, "That player is no longer in the lobby.");
        return;
    }
    std::string text = LookupValue(r.param, "text");
    if (!TakeChatToken(c) || TextTooLong(p, text) || Muted(p))
        return;
    DeliverTo(p, to, MakeFrame(cmPrivMsg, "\\to\\" + Num(p) + "\\text\\" + text));
}

// --- games ---------------------------------------------------------------------

void TLobbyMaster::CloseGame(int32_t g)
{
    TGame& game = games_[g];
    int32_t host = game.rec.hostPlayer;
    LogPlayer(host, "game " + Num(g) + " '" + LogText(game.rec.Name()) + "' closed");
    game.rec.active = 0;
    game.invited.clear();
    Broadcast(MakeFrame(cmGameGone, "\\index\\" + Num(g)), {TSlot::GameGone, g});
    for (int32_t member : std::exchange(game.members, {})) {
        players_[member].rec.hostPlayer = 0;
        AnnouncePlayer(member);
    }
    if (IsPlayer(host)) {
        players_[host].rec.hostedGame = 0;
        AnnouncePlayer(host);
    }
    freeGames_.insert(g);
}

void TLobbyMaster::LeaveGame(int32_t p)
{
    PlayerRecord& pr = players_[p].rec;
    if (pr.hostPlayer == 0)
        return;
    LogPlayer(p, "player " + Describe(p) + " left the game of player " + Num(pr.hostPlayer));
    if (const int32_t g = GameOf(p))
        games_[g].members.erase(p);
    pr.hostPlayer = 0;
    AnnouncePlayer(p);
}

int32_t TLobbyMaster::GameOf(int32_t p) const
{
    const PlayerRecord& pr = players_[p].rec;
    if (pr.hostedGame != 0)
        return pr.hostedGame;
    if (pr.hostPlayer != 0 && IsPlayer(pr.hostPlayer))
        return players_[pr.hostPlayer].rec.hostedGame;
    return 0;
}

bool TLobbyMaster::IsPlayer(int32_t i) const
{
    return i > 0 && std::size_t(i) < players_.size() && players_[i].rec.active;
}

bool TLobbyMaster::IsGame(int32_t i) const
{
    return i > 0 && std::size_t(i) < games_.size() && games_[i].rec.active;
}

int32_t TLobbyMaster::MembersOf(int32_t g) const
{
    return 1 + int32_t(games_[g].members.size());
}

TLobbySnapshot TLobbyMaster::Snapshot() const
{
    TLobbySnapshot s;
    s.connections = clients_.size();
    for (std::size_t i = 1; i < players_.size(); ++i)
        if (players_[i].rec.active)
            s.players.push_back({int32_t(i), players_[i].rec.Name(), GameOf(int32_t(i)), players_[i].rec.Address()});
    for (std::size_t g = 1; g < games_.size(); ++g) {
        const GameRecord& rec = games_[g].rec;
        if (!rec.active)
            continue;
        TLobbyGameView view{int32_t(g), rec.Name(), rec.hostPlayer, {}, rec.maxPlayers, rec.inviteOnly != 0,
                            rec.state != 0};
        if (IsPlayer(rec.hostPlayer))
            view.members.push_back(rec.hostPlayer);
        view.members.insert(view.members.end(), games_[g].members.begin(), games_[g].members.end());
        s.games.push_back(std::move(view));
    }
    return s;
}

// --- sending -------------------------------------------------------------------

void TLobbyMaster::SendTo(int32_t player, const TFrame& frame, TSlot slot)
{
    if (IsPlayer(player))
        out_.Send(players_[player].conn, frame, slot);
}

void TLobbyMaster::SendToConn(TConnId conn, uint8_t type, std::string param)
{
    out_.Send(conn, MakeFrame(type, std::move(param)), {});
}

void TLobbyMaster::Refuse(int32_t player, const std::string& why)
{
    SendTo(player, MakeFrame(cmMessage, "\\message\\" + why));
}

void TLobbyMaster::Broadcast(const TFrame& frame, TSlot slot, int32_t except)
{
    for (std::size_t i = 1; i < players_.size(); ++i)
        if (players_[i].rec.active && int32_t(i) != except)
            out_.Send(players_[i].conn, frame, slot);
}

void TLobbyMaster::AnnouncePlayer(int32_t p, int32_t except) { Broadcast(PlayerFrame(p), {TSlot::Player, p}, except); }
void TLobbyMaster::AnnounceGame(int32_t g) { Broadcast(GameFrame(g), {TSlot::Game, g}); }
void TLobbyMaster::BroadcastRefresh(int32_t except) { Broadcast(RefreshFrame(), {TSlot::Refresh, 0}, except); }

namespace {

// The record's frame, made again when the record differs from the copy it
// was made from. Comparing the bytes, rather than marking every change,
// keeps a frame from going stale whichever code path changes the record.
template <class TRecord>
const TFrame& CurrentFrame(const TRecord& rec, TRecord& framed, TFrame& frame,
                           void (*append)(const TRecord&, std::string&))
{
    if (!frame || std::memcmp(&rec, &framed, sizeof rec) != 0) {
        auto made = std::make_shared<std::string>();
        append(rec, *made);
        frame = std::move(made);
        framed = rec;
    }
    return frame;
}

} // namespace

const TFrame& TLobbyMaster::PlayerFrame(int32_t p)
{
    TPlayer& pl = players_[p];
    return CurrentFrame(pl.rec, pl.framed, pl.frame, lobby::AppendPlayerFrame);
}

const TFrame& TLobbyMaster::GameFrame(int32_t g)
{
    TGame& game = games_[g];
    return CurrentFrame(game.rec, game.framed, game.frame, lobby::AppendGameFrame);
}

std::string TLobbyMaster::Describe(int32_t p) const
{
    return Num(p) + " '" + LogText(players_[p].rec.Name()) + "'";
}

void TLobbyMaster::LogAbout(TConnId conn, std::string line)
{
    auto it = clients_.find(conn);
    if (it == clients_.end())
        log_(line);
    else if (it->second.player == 0 ? PassForAddress(it->second.address, line) : it->second.log.Pass(line, now_))
        log_(line);
}

bool TLobbyMaster::PassForAddress(const std::string& address, std::string& line)
{
    auto it = addressLog_.try_emplace(address, limits_.logLines, now_).first;
    return it->second.Pass(line, now_);
}

void TLobbyMaster::ForgetRestedAddresses()
{
    for (auto it = addressLog_.begin(); it != addressLog_.end();) {
        if (!it->second.Rested(now_)) {
            ++it;
            continue;
        }
        if (it->second.HeldBack() != 0) {
            std::string line = "connections from " + it->first + " quiet again";
            it->second.Last(line);
            log_(line);
        }
        it = addressLog_.erase(it);
    }
}

void TLobbyMaster::LogPlayer(int32_t p, std::string line)
{
    LogAbout(players_[p].conn, std::move(line));
}
