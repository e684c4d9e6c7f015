// The moderation state on a real database file with a clock the tests turn,
// the commands' parser, and the commands carried out against a lobby that
// records what it is asked to do.
#include "moderation.h"
#include "modstore.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

namespace {

uint32_t Ip(const char* text) { return *ParseIPv4(text); }

TBanTarget Target(const char* text)
{
    std::string error;
    auto t = ParseBanTarget(text, error);
    EXPECT_TRUE(t) << text << ": " << error;
    return t.value_or(TBanTarget{});
}

} // namespace

TEST(ModCommand, DurationsTargetsAndRefusals)
{
    EXPECT_EQ(ParseDuration("30m"), 1800);
    EXPECT_EQ(ParseDuration("12h"), 43200);
    EXPECT_EQ(ParseDuration("7d"), 604800);
    for (const char* bad : {"", "5", "m", "0m", "-5m", "5x", "1.5h", "99999999999d", "5 m"})
        EXPECT_FALSE(ParseDuration(bad)) << bad;

    TBanTarget range = Target("10.1.2.3/8");
    EXPECT_EQ(range.kind, TBanTarget::TKind::Range);
    EXPECT_EQ(range.text, "10.0.0.0/8");
    EXPECT_TRUE(range.Matches(Ip("10.255.0.1")));
    EXPECT_FALSE(range.Matches(Ip("11.0.0.1")));
    EXPECT_TRUE(Target("0.0.0.0/0").Matches(Ip("192.0.2.1")));
    EXPECT_EQ(Target("192.0.2.7").kind, TBanTarget::TKind::Address);
    EXPECT_EQ(Target("Grief*").kind, TBanTarget::TKind::Name);
    EXPECT_EQ(Target("1234").kind, TBanTarget::TKind::Name);
    std::string error;
    for (const char* bad : {"1.2.3.256", "1.2.3", "1.2.3.4.5", "1.2.3.4/33", "1.2.3.4/", "1..2.3", "***", "a\\b",
                            "0123456789012345678901234567890123"})
        EXPECT_FALSE(ParseBanTarget(bad, error)) << bad;

    EXPECT_TRUE(NamePatternMatches("grief*", "GrIeFer"));
    EXPECT_TRUE(NamePatternMatches("*bad*guy", "a-BAD-x-guy"));
    EXPECT_FALSE(NamePatternMatches("*bad*guy", "a-bad-guys"));
    EXPECT_FALSE(NamePatternMatches("bob", "bobby"));
    EXPECT_FALSE(NamePatternMatches("*a*a*a*a*a*a*a*a*b", std::string(31, 'a')));

    // Every refusal says what is wrong; the words are the shell's.
    struct TCase {
        std::vector<std::string> words;
        const char* says;
    };
    for (const TCase& c : std::vector<TCase>{
             {{}, "no command"},
             {{"frobnicate"}, "unknown command"},
             {{"ban"}, "needs a target"},
             {{"ban", "1.2.3.999"}, "not an IPv4 address"},
             {{"ban", "x", "--for", "soon"}, "not a duration"},
             {{"ban", "x", "--for"}, "needs a value"},
             {{"kick", "bob", "--for", "1h"}, "kick takes no --for"},
             {{"kick", "bob", "alice"}, "one target"},
             {{"notice"}, "needs a text"},
             {{"notice", "a\\b"}, "backslash"},
             {{"log", "--last", "0"}, "positive number"},
             {{"players", "--verbose"}, "unknown option"},
         }) {
        std::string why;
        EXPECT_FALSE(ParseModCommand(c.words, why)) << JoinRequest(c.words);
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
    }
    auto notice = ParseModCommand({"notice", "--to", "bob", "Server", "restarts", "soon"}, error);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->to, "bob");
    EXPECT_EQ(notice->text, "Server restarts soon");
    EXPECT_EQ(SplitRequest(JoinRequest({"ban", "a b", "--reason", ""})),
              (std::vector<std::string>{"ban", "a b", "--reason", ""}));
}

TEST(ModerationStore, BansByAddressRangeAndNameLastAcrossReopeningAndExpire)
{
    TempDir dir;
    const std::string path = dir.File("state.db");
    int64_t now = 1'800'000'000;
    auto clock = [&now] { return now; };
    {
        TModerationStore store(path, clock);
        store.AddBan(Target("192.0.2.7"), 0, "spam", "op");
        store.AddBan(Target("198.51.100.0/24"), 3600, "", "op");
        store.AddBan(Target("grief*"), 86400, "griefing", "op");
        store.Mute("loud", 1800, "op");
    }
    TModerationStore store(path, clock);
    EXPECT_TRUE(store.AddressBan(Ip("192.0.2.7")));
    EXPECT_FALSE(store.AddressBan(Ip("192.0.2.8")));
    EXPECT_TRUE(store.AddressBan(Ip("198.51.100.200")));
    ASSERT_TRUE(store.NameBan("GRIEFER"));
    EXPECT_EQ(store.NameBan("GRIEFER")->reason, "griefing");
    EXPECT_FALSE(store.NameBan("agriefer"));
    EXPECT_TRUE(store.Muted("loud"));
    EXPECT_FALSE(store.Muted("Loud"));
    EXPECT_EQ(store.ActiveBans(), 3u);

    now += 1800;   // the mute has run out
    EXPECT_FALSE(store.Muted("loud"));
    now += 1800;   // and the range's hour
    EXPECT_FALSE(store.AddressBan(Ip("198.51.100.200")));
    EXPECT_TRUE(store.NameBan("griefer"));
    now += 86400;
    EXPECT_FALSE(store.NameBan("griefer"));
    EXPECT_TRUE(store.AddressBan(Ip("192.0.2.7")));   // for ever
    // Listing removes what has run out, from the file too.
    ASSERT_EQ(store.Bans().size(), 1u);
    TModerationStore again(path, clock);
    EXPECT_EQ(again.Bans().size(), 1u);
    // Banning a target again replaces it; lifting by id or by target.
    TBan b = again.AddBan(Target("192.0.2.7"), 60, "again", "op2");
    ASSERT_EQ(again.Bans().size(), 1u);
    EXPECT_EQ(again.Bans()[0].reason, "again");
    EXPECT_TRUE(again.RemoveBan(std::to_string(b.id)));
    EXPECT_FALSE(again.RemoveBan("192.0.2.7"));
    again.AddBan(Target("10.0.0.0/8"), 0, "", "op");
    EXPECT_TRUE(again.RemoveBan("10.9.9.9/8"));
    EXPECT_FALSE(again.AddressBan(Ip("10.1.1.1")));
}

TEST(ModerationStore, RefusesANewerOrUnreadableFileByName)
{
    TempDir dir;
    const std::string path = dir.File("state.db");
    auto clock = [] { return int64_t(1'800'000'000); };
    { TModerationStore store(path, clock); }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    try {
        TModerationStore store(path, clock);
        FAIL() << "opened a newer database";
    } catch (const TStoreError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
    }
    const std::string garbage = dir.Write("garbage.db", std::string(8192, 'x'));
    try {
        TModerationStore store(garbage, clock);
        FAIL() << "opened a file that is no database";
    } catch (const TStoreError& e) {
        EXPECT_NE(std::string(e.what()).find(garbage), std::string::npos) << e.what();
    }
    EXPECT_THROW(TModerationStore(dir.File("no/such/folder/state.db"), clock), TStoreError);
}

namespace {

// The lobby as far as moderation sees it: players, and what it was asked.
class TRecordingLobby : public TModeratedLobby {
public:
    std::vector<TModPlayer> players;
    std::vector<std::pair<std::string, std::string>> kicked, notices;

    std::vector<TModPlayer> Players() const override { return players; }
    std::vector<TModGame> Games() const override { return {}; }
    bool Kick(const std::string& name, const std::string& notice, const std::string&) override
    {
        for (auto it = players.begin(); it != players.end(); ++it)
            if (it->name == name) {
                kicked.emplace_back(name, notice);
                players.erase(it);
                return true;
            }
        return false;
    }
    bool Notice(const std::string& name, const std::string& text) override
    {
        for (const TModPlayer& p : players)
            if (name.empty() || p.name == name) {
                notices.emplace_back(name, text);
                return true;
            }
        return false;
    }
};

} // namespace

TEST(Moderation, ABanKicksWhomItMatchesAndARefusalChangesNothing)
{
    TempDir dir;
    int64_t now = 1'800'000'000;
    TModerationStore store(dir.File("state.db"), [&now] { return now; });
    TRecordingLobby lobby;
    lobby.players = {{1, "alice", "192.0.2.1", 0}, {2, "Griefer", "192.0.2.2", 0}, {3, "bob", "198.51.100.9", 0}};
    std::vector<std::string> lines;
    TModeration mod(store, lobby, [&](const std::string& l) { lines.push_back(l); }, {});

    EXPECT_EQ(mod.Execute("op", {"ban", "GRIEF*", "--for", "1d", "--reason", "griefing"}), "OK\n1\n");
    ASSERT_EQ(lobby.kicked.size(), 1u);
    EXPECT_EQ(lobby.kicked[0].first, "Griefer");
    EXPECT_EQ(lobby.kicked[0].second,
              "You are banned from this lobby: griefing. The ban ends " + UtcText(now + 86400) + ".");
    EXPECT_EQ(mod.Execute("op", {"ban", "198.51.100.0/24"}), "OK\n2\n");
    EXPECT_EQ(lobby.kicked.size(), 2u);
    EXPECT_EQ(mod.AddressRefusal("198.51.100.77"), "You are banned from this lobby. The ban has no end.");
    EXPECT_EQ(mod.AddressRefusal("192.0.2.1"), "");

    EXPECT_EQ(mod.Execute("op", {"mute", "nobody"}), "ERROR no player named nobody is connected\n");
    EXPECT_EQ(mod.Execute("op", {"unban", "7"}), "ERROR no ban in force matches 7\n");
    EXPECT_EQ(mod.Execute("op", {"frobnicate"}), "ERROR unknown command: frobnicate\n");
    EXPECT_EQ(store.ActiveMutes(), 0u);
    EXPECT_EQ(store.ActiveBans(), 2u);

    EXPECT_EQ(mod.Execute("op", {"mute", "alice", "--for", "30m"}), "OK\n");
    EXPECT_TRUE(mod.Muted("alice"));
    EXPECT_EQ(mod.Figures().kicks, 2u);
    EXPECT_EQ(mod.Figures().refusedBanned, 1u);
    // One log line a command that changes something, refusals included.
    EXPECT_EQ(lines.size(), 6u);
    auto log = store.Log(3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].by, "op");
    EXPECT_EQ(log[2].command, "mute");
    EXPECT_EQ(log[1].result, "refused: unknown command: frobnicate");
}
