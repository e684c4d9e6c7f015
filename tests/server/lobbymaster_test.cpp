// The lobby master's rules on their own: a clock the test turns and an
// output that keeps what the master asked for, no sockets.
#include "lobbymaster.h"
#include "lobbyserver.h"

#include "text/textfuncs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

namespace {

struct TSent {
    TConnId conn;
    LobbyRecord record;
    TSlot slot;
    TFrame frame;
};

class TRecordingOutput : public TLobbyOutput {
public:
    void Send(TConnId conn, const TFrame& frame, TSlot slot) override
    {
        // Nothing may go to a connection once it has been closed.
        EXPECT_EQ(dropped.count(conn), 0u) << "frame for closed connection " << conn;
        lobby::SplitResult r = lobby::SplitFrame(*frame);
        ASSERT_EQ(r.status, lobby::SplitStatus::Frame);
        ASSERT_EQ(r.used, frame->size());
        sent.push_back({conn, r.record, slot, frame});
    }
    void Drop(TConnId conn, const std::string& reason) override
    {
        EXPECT_EQ(dropped.count(conn), 0u) << "closed twice: " << conn;
        dropped[conn] = reason;
    }

    // Records sent to `conn` of `type`, taken out of what was sent.
    std::vector<LobbyRecord> Take(TConnId conn, uint8_t type)
    {
        std::vector<LobbyRecord> out;
        auto keep = std::stable_partition(sent.begin(), sent.end(), [&](const TSent& s) {
            return !(s.conn == conn && s.record.type == type);
        });
        for (auto it = keep; it != sent.end(); ++it)
            out.push_back(it->record);
        sent.erase(keep, sent.end());
        return out;
    }
    std::vector<std::string> Messages(TConnId conn)
    {
        std::vector<std::string> out;
        for (const auto& r : Take(conn, cmMessage))
            out.push_back(LookupValue(r.param, "message"));
        return out;
    }

    std::vector<TSent> sent;
    std::map<TConnId, std::string> dropped;
};

class LobbyMasterTest : public ::testing::Test {
protected:
    void Start(const TLobbyLimits& l = {})
    {
        limits = l;
        master.emplace(limits, out, [this](const std::string& line) { log.push_back(line); }, now);
    }
    // A connection from `address`, admitted and told to the master.
    TConnId Connect(const std::string& address = "10.0.0.1")
    {
        std::string why;
        EXPECT_TRUE(master->Admit(address, now, why)) << why;
        TConnId id = nextId++;
        master->Connected(id, address, now);
        return id;
    }
    void Send(TConnId conn, uint8_t type, const std::string& param)
    {
        master->Received(conn, LobbyRecord{type, 0, param}, now);
    }
    // A named player: its index from its own record.
    int32_t Named(TConnId conn, const std::string& name)
    {
        Send(conn, cmNameWanted, "\\namewanted\\" + name);
        for (const auto& r : out.Take(conn, cmPlayer)) {
            lobby::PlayerRecord p;
            lobby::UnpackPlayer(LookupValue(r.param, "prec"), p);
            if (p.active && p.Name() == name)
                return p.index;
        }
        return -1;
    }
    TConnId Player(const std::string& name)
    {
        TConnId c = Connect();
        EXPECT_GT(Named(c, name), 0);
        return c;
    }
    void Advance(uint64_t ms)
    {
        now += ms;
        master->Tick(now);
    }
    std::vector<std::string> Chat(TConnId conn)
    {
        std::vector<std::string> out_;
        for (const auto& r : out.Take(conn, cmChat))
            out_.push_back(LookupValue(r.param, "text"));
        return out_;
    }
    int LogLinesWith(const std::string& text) const
    {
        return int(std::count_if(log.begin(), log.end(), [&](auto& l) { return l.find(text) != std::string::npos; }));
    }

    uint64_t now = 1'000'000;
    TConnId nextId = 1;
    TLobbyLimits limits;
    TRecordingOutput out;
    std::vector<std::string> log;
    std::optional<TLobbyMaster> master;
};

lobby::PlayerRecord PlayerIn(const LobbyRecord& r)
{
    lobby::PlayerRecord p;
    lobby::UnpackPlayer(LookupValue(r.param, "prec"), p);
    return p;
}

} // namespace

TEST_F(LobbyMasterTest, KeepAlivePingsAndDropsTheSilentButNotTheAnswering)
{
    TLobbyLimits l;
    l.keepAliveMs = 1000;
    Start(l);
    TConnId live = Player("Live");
    TConnId mute = Player("Mute");
    out.sent.clear();
    for (int period = 1; period <= 3; ++period) {
        Advance(1000);
        EXPECT_EQ(out.Take(live, cmPing).size(), 1u) << period;
        Send(live, cmPong, "");
    }
    // Silent for two periods: gone, and the others are told.
    EXPECT_EQ(out.dropped.count(mute), 1u);
    EXPECT_EQ(out.dropped.count(live), 0u);
    auto gone = out.Take(live, cmPlayer);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_FALSE(PlayerIn(gone[0]).active);
    EXPECT_EQ(PlayerIn(gone[0]).Name(), "Mute");
    EXPECT_EQ(master->PlayerCount(), 1u);
}

TEST_F(LobbyMasterTest, NameDeadlineDropsOnlyTheUnnamed)
{
    TLobbyLimits l;
    l.nameDeadlineMs = 300;
    Start(l);
    TConnId unnamed = Connect();
    TConnId late = Connect();
    Advance(150);
    EXPECT_GT(Named(late, "JustInTime"), 0);
    Advance(149);
    EXPECT_TRUE(out.dropped.empty());
    Advance(1);
    EXPECT_EQ(out.dropped.count(unnamed), 1u);
    EXPECT_NE(out.dropped[unnamed].find("no name"), std::string::npos);
    Advance(10'000);
    EXPECT_EQ(out.dropped.count(late), 0u);
}

TEST_F(LobbyMasterTest, TheLastClientDroppedByADeadlineEmptiesTheTablesAsALeavingOneDoes)
{
    TLobbyLimits l;
    l.keepAliveMs = 100;
    Start(l);
    const std::size_t empty = master->TableEntries();
    std::vector<TConnId> crowd;
    for (int i = 0; i < 50; ++i)
        crowd.push_back(Player("p" + std::to_string(i)));
    TConnId host = crowd[0];
    Send(host, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\0");
    EXPECT_GT(master->TableEntries(), empty + 50);
    // Everyone falls silent; the deadline takes them all.
    Advance(100);
    Advance(100);
    EXPECT_EQ(out.dropped.size(), crowd.size());
    EXPECT_EQ(master->ClientCount(), 0u);
    EXPECT_EQ(master->TableEntries(), empty);
    // And the lobby works afresh.
    TConnId again = Connect();
    EXPECT_EQ(Named(again, "Again"), 1);
}

TEST_F(LobbyMasterTest, ChatBucketLetsABurstThroughThenTheRateWarningOnce)
{
    TLobbyLimits l;
    l.chatBurst = 3;
    l.chatRate = 1;
    Start(l);
    TConnId flooder = Player("Flooder");
    TConnId calm = Player("Calm");
    for (int i = 0; i < 6; ++i)
        Send(flooder, cmChat, "\\chan\\0\\text\\line " + std::to_string(i));
    Send(calm, cmChat, "\\chan\\0\\text\\calm line");
    EXPECT_EQ(Chat(calm), (std::vector<std::string>{"Flooder: line 0", "Flooder: line 1", "Flooder: line 2",
                                                     "Calm: calm line"}));
    EXPECT_EQ(out.Messages(flooder).size(), 1u);   // warned once for the run
    now += 999;
    Send(flooder, cmChat, "\\chan\\0\\text\\too soon");
    EXPECT_TRUE(Chat(calm).empty());
    now += 1;
    Send(flooder, cmChat, "\\chan\\0\\text\\again");
    EXPECT_EQ(Chat(calm), std::vector<std::string>{"Flooder: again"});
    // A new run of drops is warned again.
    Send(flooder, cmChat, "\\chan\\0\\text\\x");
    EXPECT_EQ(out.Messages(flooder).size(), 1u);
}

TEST_F(LobbyMasterTest, ChatAndPrivateMessagesLongerThanALineAreRefused)
{
    Start();
    TConnId a = Player("A");
    TConnId b = Player("B");
    Send(a, cmChat, "\\chan\\0\\text\\" + std::string(500, 'x'));
    EXPECT_EQ(Chat(b).size(), 1u);
    Send(a, cmChat, "\\chan\\0\\text\\" + std::string(501, 'x'));
    EXPECT_TRUE(Chat(b).empty());
    Send(a, cmPrivMsg, "\\to\\2\\text\\" + std::string(501, 'y'));
    EXPECT_TRUE(out.Take(b, cmPrivMsg).empty());
    auto why = out.Messages(a);
    ASSERT_EQ(why.size(), 2u);
    EXPECT_NE(why[0].find("too long"), std::string::npos);
    Send(a, cmPrivMsg, "\\to\\2\\text\\" + std::string(500, 'y'));
    EXPECT_EQ(out.Take(b, cmPrivMsg).size(), 1u);
}

TEST_F(LobbyMasterTest, RequestsThatChangeTheLobbyShareABudgetWithOneWarning)
{
    TLobbyLimits l;
    l.actionBurst = 4;
    l.actionRate = 2;
    Start(l);
    TConnId renamer = Player("R");
    TConnId reader = Player("Reader");
    out.sent.clear();
    // A burst of renames, hosting and starts: four get through, one warning.
    for (int i = 0; i < 3; ++i)
        Send(renamer, cmNameWanted, "\\namewanted\\R" + std::to_string(i));
    Send(renamer, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\0");
    for (int i = 0; i < 100; ++i) {
        Send(renamer, cmStart, "\\start\\1");
        Send(renamer, cmNameWanted, "\\namewanted\\X" + std::to_string(i));
    }
    EXPECT_EQ(out.Take(reader, cmGame).size(), 1u);   // hosted; no start went through
    auto records = out.Take(reader, cmPlayer);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(PlayerIn(records.back()).Name(), "R2");
    EXPECT_EQ(out.Messages(renamer).size(), 1u);
    EXPECT_EQ(LogLinesWith("renamed"), 3);
    // The rate refills it: one more half a second later.
    now += 500;
    Send(renamer, cmNameWanted, "\\namewanted\\Later");
    records = out.Take(reader, cmPlayer);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(PlayerIn(records[0]).Name(), "Later");
    // Chat has a budget of its own.
    Send(renamer, cmChat, "\\chan\\0\\text\\still talking");
    EXPECT_EQ(Chat(reader).size(), 1u);
}

TEST_F(LobbyMasterTest, RequestsFromOneAddressShareABudgetBesidesEachPlayers)
{
    TLobbyLimits l;
    l.actionBurst = 4;
    l.actionRate = 2;
    l.addressActionBurst = 10;
    l.addressActionRate = 5;
    Start(l);
    // Six players from one address, each within its own budget.
    std::vector<TConnId> crowd;
    for (int i = 0; i < 6; ++i) {
        crowd.push_back(Connect("10.0.0.7"));
        ASSERT_GT(Named(crowd.back(), "C" + std::to_string(i)), 0);
    }
    TConnId elsewhere = Connect("10.0.0.8");
    ASSERT_GT(Named(elsewhere, "Elsewhere"), 0);
    TConnId reader = Connect("10.0.0.9");
    ASSERT_GT(Named(reader, "Reader"), 0);
    now += 10'000;   // every budget full again
    out.sent.clear();
    // Hosting and leaving, two requests each: 12 in all, 10 get through.
    for (TConnId c : crowd) {
        Send(c, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\0");
        Send(c, cmLeave, "");
    }
    EXPECT_EQ(out.Take(reader, cmGameGone).size(), 5u);
    // The last player was told once, why.
    EXPECT_EQ(out.Messages(crowd.back()), std::vector<std::string>{"Too many requests from your address just now; yours was dropped."});
    // Another address is not held back.
    Send(elsewhere, cmHost, "\\name\\Mine\\maxplayers\\4\\inviteonly\\0");
    EXPECT_EQ(out.Take(reader, cmGame).size(), 6u);
    // A second later the address has five more.
    now += 1000;
    for (int round = 0; round < 2; ++round)
        for (TConnId c : crowd)
            Send(c, cmHost, "\\name\\Again\\maxplayers\\4\\inviteonly\\0");
    EXPECT_EQ(out.Take(reader, cmGame).size(), 5u);
}

TEST_F(LobbyMasterTest, OneRecipientGetsALimitedShareOfPrivateMessagesAndInvitations)
{
    TLobbyLimits l;
    l.inboxBurst = 5;
    l.inboxRate = 1;
    l.chatBurst = 20;
    Start(l);
    TConnId victim = Player("Victim");
    std::vector<TConnId> senders;
    for (int i = 0; i < 4; ++i)
        senders.push_back(Player("S" + std::to_string(i)));
    // Each sender stays within its own bucket (10 at once).
    for (int round = 0; round < 10; ++round)
        for (TConnId s : senders)
            Send(s, cmPrivMsg, "\\to\\1\\text\\hello");
    EXPECT_EQ(out.Take(victim, cmPrivMsg).size(), 5u);
    for (TConnId s : senders) {
        auto told = out.Messages(s);
        ASSERT_EQ(told.size(), 1u) << s;   // once, however many were turned away
        EXPECT_NE(told[0].find("too many messages"), std::string::npos);
    }
    // An invitation counts alike.
    TConnId host = senders[0];
    now += 1000;   // one place again, and the senders' buckets too
    Send(host, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\1");
    Send(host, cmInvite, "\\whoto\\1\\whatto\\1");
    EXPECT_EQ(out.Take(victim, cmInvite).size(), 1u);
    Send(host, cmInvite, "\\whoto\\1\\whatto\\1");
    EXPECT_TRUE(out.Take(victim, cmInvite).empty());
    EXPECT_TRUE(out.Messages(host).empty());   // told already in this flood
    // After a quiet spell the inbox is full again; a new flood tells again.
    now += 10'000;
    for (int i = 0; i < 6; ++i)
        Send(senders[1], cmPrivMsg, "\\to\\1\\text\\again");
    EXPECT_EQ(out.Take(victim, cmPrivMsg).size(), 5u);
    EXPECT_EQ(out.Messages(senders[1]).size(), 1u);
}

TEST_F(LobbyMasterTest, AnInvitationTurnedAwayDoesNotOpenTheGame)
{
    TLobbyLimits l;
    l.inboxBurst = 1;
    l.inboxRate = 0.001;
    Start(l);
    TConnId host = Player("Host");
    TConnId guest = Player("Guest");
    TConnId other = Player("Other");
    Send(host, cmHost, "\\name\\Secret\\maxplayers\\4\\inviteonly\\1");
    Send(other, cmPrivMsg, "\\to\\2\\text\\hi");   // takes the guest's only place
    Send(host, cmInvite, "\\whoto\\2\\whatto\\1");
    EXPECT_TRUE(out.Take(guest, cmInvite).empty());
    out.sent.clear();
    Send(guest, cmJoin, "\\to\\1\\invited\\1");
    EXPECT_EQ(out.Messages(guest), std::vector<std::string>{"That game is by invitation only."});
}

TEST_F(LobbyMasterTest, MalformedFramesAreForgivenAFewTimesThenTheConnectionGoes)
{
    TLobbyLimits l;
    l.badFrames = 10;
    Start(l);
    TConnId good = Player("Good");
    TConnId bad = Player("Bad");
    out.sent.clear();
    for (int i = 0; i < 9; ++i)
        master->BadFrame(bad, "frame without a cmtype value", now);
    EXPECT_TRUE(out.dropped.empty());
    Send(bad, cmChat, "\\chan\\0\\text\\still here");
    EXPECT_EQ(Chat(good).size(), 1u);
    master->BadFrame(bad, "frame without a cmtype value", now);
    EXPECT_EQ(out.dropped.count(bad), 1u);
    EXPECT_NE(out.dropped[bad].find("malformed"), std::string::npos);
    auto gone = out.Take(good, cmPlayer);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_FALSE(PlayerIn(gone[0]).active);
    // After it went, nothing more of it counts.
    master->BadFrame(bad, "frame without a cmtype value", now);
    EXPECT_EQ(master->ClientCount(), 1u);
}

TEST_F(LobbyMasterTest, LogLinesAboutOneConnectionAreCountedPastItsBudget)
{
    TLobbyLimits l;
    l.logLines = 5;
    l.actionBurst = 1000;
    Start(l);
    TConnId renamer = Player("R");
    const std::size_t before = log.size();
    for (int i = 0; i < 500; ++i)
        Send(renamer, cmNameWanted, "\\namewanted\\R" + std::to_string(i));
    EXPECT_LE(log.size() - before, 5u);
    // A minute on, a line is written again, with the count of those held back.
    now += 60'000;
    Send(renamer, cmNameWanted, "\\namewanted\\Again");
    EXPECT_NE(log.back().find("held back"), std::string::npos) << log.back();
    for (int i = 0; i < 100; ++i)
        Send(renamer, cmNameWanted, "\\namewanted\\S" + std::to_string(i));
    // The last line of a connection is always written, with what was held back.
    master->Disconnected(renamer, "closed by the client");
    EXPECT_NE(log.back().find("closed by the client"), std::string::npos);
    EXPECT_NE(log.back().find("held back"), std::string::npos);
    EXPECT_LE(log.size() - before, 5u + 5u + 1u);
    // Malformed frames: the first is told, the rest are counted in the last line.
    TConnId bad = Connect();
    const std::size_t at = log.size();
    for (int i = 0; i < 9; ++i)
        master->BadFrame(bad, "frame without a cmtype value", now);
    master->Disconnected(bad, "closed by the client");
    EXPECT_EQ(log.size() - at, 2u);
}

TEST_F(LobbyMasterTest, AClientConnectingAgainAndAgainIsAFewLinesAMinute)
{
    TLobbyLimits l;
    l.logLines = 10;
    Start(l);
    TConnId player = Player("Player");
    const std::size_t before = log.size();
    for (int i = 0; i < 1000; ++i) {
        TConnId c = Connect("10.0.0.66");
        master->BadFrame(c, "frame without a cmtype value", now);
        master->Disconnected(c, "closed by the client");
    }
    EXPECT_LE(log.size() - before, 10u);
    // A player's own lines are not held back by what its address's crowd did.
    Send(player, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\0");
    EXPECT_NE(log.back().find("hosted"), std::string::npos);
    // Quiet for a minute: the count of what was held back is written.
    Advance(60'000);
    EXPECT_NE(log.back().find("10.0.0.66"), std::string::npos);
    EXPECT_NE(log.back().find("2990 lines about it held back"), std::string::npos) << log.back();
}

TEST_F(LobbyMasterTest, UnnamedConnectionsMaySendOnlyANameAndPongs)
{
    Start();
    TConnId named = Player("Named");
    TConnId unnamed = Connect();
    out.sent.clear();
    Send(unnamed, cmChat, "\\chan\\0\\text\\sneaky");
    Send(unnamed, cmPrivMsg, "\\to\\1\\text\\sneaky");
    Send(unnamed, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\0");
    Send(unnamed, cmPong, "");
    EXPECT_TRUE(out.sent.empty());
    EXPECT_GT(Named(unnamed, "Later"), 0);
    EXPECT_EQ(out.Take(named, cmPlayer).size(), 1u);
}

TEST_F(LobbyMasterTest, AFullLobbyMakesRoomByDroppingTheOldestUnnamedNeverAPlayer)
{
    TLobbyLimits l;
    l.maxClients = 4;
    l.perAddress = 3;
    Start(l);
    TConnId player = Player("Player");
    now += 10;
    TConnId oldest = Connect("10.0.0.2");
    now += 10;
    TConnId middle = Connect("10.0.0.3");
    now += 10;
    TConnId newest = Connect("10.0.0.4");
    // Full: a newcomer takes the place of the oldest that has no name.
    TConnId newcomer = Connect("10.0.0.5");
    EXPECT_EQ(out.dropped.count(oldest), 1u);
    EXPECT_EQ(master->ClientCount(), 4u);
    EXPECT_GT(Named(newcomer, "Newcomer"), 0);
    TConnId next = Connect("10.0.0.6");
    EXPECT_EQ(out.dropped.count(middle), 1u);
    EXPECT_GT(Named(next, "Next"), 0);
    EXPECT_GT(Named(newest, "Newest"), 0);
    // Everyone named: the lobby is full for real.
    std::string why;
    EXPECT_FALSE(master->Admit("10.0.0.7", now, why));
    EXPECT_EQ(why, "The lobby is full, please try again later.");
    EXPECT_EQ(out.dropped.count(player), 0u);
    EXPECT_EQ(out.dropped.size(), 2u);
}

TEST_F(LobbyMasterTest, AFullLobbyStillKeepsTheLimitPerAddress)
{
    TLobbyLimits l;
    l.maxClients = 2;
    l.perAddress = 1;
    Start(l);
    Connect("10.0.0.1");
    Connect("10.0.0.2");
    // A newcomer over its address's limit pushes nobody out.
    std::string why;
    EXPECT_FALSE(master->Admit("10.0.0.1", now, why));
    EXPECT_EQ(why, "Too many connections from your address.");
    EXPECT_TRUE(out.dropped.empty());
}

TEST_F(LobbyMasterTest, PlayerAndGameRecordsNameTheirSlots)
{
    Start();
    TConnId a = Player("A");
    TConnId b = Player("B");
    out.sent.clear();
    Send(a, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\0");
    Send(a, cmLeave, "");
    bool sawGame = false, sawGone = false, sawPlayer = false, sawRefresh = false;
    for (const TSent& s : out.sent) {
        if (s.conn != b)
            continue;
        switch (s.record.type) {
        case cmGame: sawGame = true; EXPECT_EQ(s.slot.kind, TSlot::Game); EXPECT_EQ(s.slot.index, 1); break;
        case cmGameGone: sawGone = true; EXPECT_EQ(s.slot.kind, TSlot::GameGone); EXPECT_EQ(s.slot.index, 1); break;
        case cmPlayer: sawPlayer = true; EXPECT_EQ(s.slot.kind, TSlot::Player); EXPECT_EQ(s.slot.index, 1); break;
        case cmRefresh: sawRefresh = true; EXPECT_EQ(s.slot.kind, TSlot::Refresh); break;
        default: EXPECT_EQ(s.slot.kind, TSlot::None); break;
        }
    }
    EXPECT_TRUE(sawGame && sawGone && sawPlayer && sawRefresh);
    Send(a, cmChat, "\\chan\\0\\text\\hi");
    ASSERT_FALSE(out.sent.empty());
    EXPECT_EQ(out.sent.back().slot.kind, TSlot::None);
}

TEST_F(LobbyMasterTest, RecordFramesAreMadeOnceAndRemadeWhenTheRecordChanges)
{
    Start();
    TConnId a = Player("A");
    TConnId b = Player("B");
    // What a newcomer is sent of the lobby is the frames everyone has had.
    auto framesTo = [&](TConnId conn, uint8_t type) {
        std::map<int32_t, TFrame> frames;
        for (const TSent& s : out.sent)
            if (s.conn == conn && s.record.type == type)
                frames[StrToInt(LookupValue(s.record.param, "index"))] = s.frame;
        return frames;
    };
    auto toA = framesTo(a, cmPlayer);
    ASSERT_EQ(toA.count(2), 1u);
    out.sent.clear();

    Send(a, cmHost, "\\name\\Room\\maxplayers\\4\\inviteonly\\0");
    auto hostToA = framesTo(a, cmPlayer);
    auto hostToB = framesTo(b, cmPlayer);
    auto gameToA = framesTo(a, cmGame);
    auto gameToB = framesTo(b, cmGame);
    ASSERT_EQ(hostToA.count(1), 1u);
    ASSERT_EQ(gameToA.count(1), 1u);
    // One frame for every receiver.
    EXPECT_EQ(hostToA[1], hostToB[1]);
    EXPECT_EQ(gameToA[1], gameToB[1]);

    // A newcomer gets those same frames; B's record, unchanged, too.
    out.sent.clear();
    TConnId d = Connect();
    Send(d, cmNameWanted, "\\namewanted\\D");
    auto lobbyToD = framesTo(d, cmPlayer);
    auto gamesToD = framesTo(d, cmGame);
    EXPECT_EQ(lobbyToD[1], hostToA[1]);
    EXPECT_EQ(gamesToD[1], gameToA[1]);
    EXPECT_EQ(lobbyToD[2], toA[2]);

    // A change makes a new frame that carries it.
    out.sent.clear();
    Send(a, cmLeave, "");
    auto leftToB = framesTo(b, cmPlayer);
    ASSERT_EQ(leftToB.count(1), 1u);
    EXPECT_NE(leftToB[1], hostToA[1]);
    lobby::SplitResult r = lobby::SplitFrame(*leftToB[1]);
    EXPECT_EQ(PlayerIn(r.record).hostedGame, 0);
    EXPECT_EQ(PlayerIn(lobby::SplitFrame(*hostToA[1]).record).hostedGame, 1);
}

TEST(LobbyRounds, RoundsGrowWithTheLobbyAndStayWellWithinTheSlowReaderLimit)
{
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    EXPECT_EQ(RoundSpacing(2, 30'000), milliseconds(1));
    EXPECT_EQ(RoundSpacing(500, 30'000), milliseconds(50));
    EXPECT_EQ(RoundSpacing(2'000, 30'000), milliseconds(200));
    EXPECT_EQ(RoundSpacing(20'000, 30'000), milliseconds(250));
    // A record waiting for its round must not make a healthy reader look
    // slow, whatever limit the operator set.
    for (uint32_t sendWait : {10u, 40u, 100u, 400u, 1'000u}) {
        for (std::size_t n : {1u, 100u, 1'000u, 5'000u}) {
            EXPECT_LE(RoundSpacing(n, sendWait) * 4, milliseconds(sendWait)) << n << " " << sendWait;
            EXPECT_GE(RoundSpacing(n, sendWait), milliseconds(1)) << n << " " << sendWait;
        }
    }
    EXPECT_EQ(RoundSpacing(5'000, 100), microseconds(25'000));
}
