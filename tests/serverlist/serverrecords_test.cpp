// Status replies and master lists read into records: the parsing rules of
// the server, player and rule classes, without any socket.
#include "serverlist/customserver.h"
#include "serverlist/serverrecords.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

std::vector<std::string> Row(const TCustomServer& s)
{
    std::vector<std::string> row;
    s.FillRow(row);
    return row;
}

std::vector<std::string> Row(const TCustomPlayer& p)
{
    std::vector<std::string> row;
    p.FillRow(row);
    return row;
}

std::vector<std::string> Texts(const TColumnTitles& titles)
{
    std::vector<std::string> out;
    for (const auto& t : titles)
        out.push_back(t.Text + "/" + std::to_string(t.Tag));
    return out;
}

std::vector<std::string> RuleTexts(const TCustomServer& s)
{
    std::vector<std::string> out;
    for (const TRule& r : s.Rules)
        out.push_back(r.Name + "=" + r.Value);
    return out;
}

template <typename TServer = TKovaServer>
std::unique_ptr<TServer> Parsed(const std::string& reply, int32_t roundTrip = 42)
{
    auto s = std::make_unique<TServer>("10.0.0.1", "27910");
    s->Reply = reply;
    s->RoundTrip = roundTrip;
    s->ParseReply();
    return s;
}

} // namespace

TEST(ServerRecords, FreshServersShowNoPingAndNoPlayers)
{
    TKovaServer kova("10.0.0.1", "27910");
    EXPECT_EQ(Row(kova), (std::vector<std::string>{"", "9999", "0/0", "", ""}));
    EXPECT_EQ(kova.GamePort, "27910");
    EXPECT_EQ(kova.Timeout, 2000);
    EXPECT_EQ(kova.Retries, 1);
    EXPECT_FALSE(kova.Busy);
    EXPECT_EQ(kova.PlayerKeys, (std::vector<std::string>{"player", "frags", "deaths", "ping", "team", "id"}));
    TBGateServer bgate("10.0.0.1", "27910");
    EXPECT_EQ(bgate.PlayerKeys,
              (std::vector<std::string>{"player", "frags", "deaths", "ping", "team", "id", "class", "level", "race"}));
}

TEST(ServerRecords, ColumnsOfBothFamiliesWithTheirTags)
{
    TKovaServer kova("1.2.3.4", "1");
    TBGateServer bgate("1.2.3.4", "1");
    EXPECT_EQ(kova.ColumnCount(), 5);
    EXPECT_EQ(bgate.ColumnCount(), 5);
    EXPECT_EQ(Texts(kova.ColumnTitles()),
              (std::vector<std::string>{"Server Name/0", "Ping/1", "Players/2", "Map/0", "Game Type/0"}));
    EXPECT_EQ(Texts(bgate.ColumnTitles()),
              (std::vector<std::string>{"Server Name/0", "Ping/1", "Players/2", "Map/0", "Game Mode/0"}));

    const std::string reply = "\\hostname\\Arena\\gametype\\ctf\\gamemode\\open\\mapname\\dm1\\numplayers\\5"
                              "\\maxplayers\\16\\final\\";
    EXPECT_EQ(Row(*Parsed<TKovaServer>(reply, 33)), (std::vector<std::string>{"Arena", "33", "5/16", "dm1", "ctf"}));
    EXPECT_EQ(Row(*Parsed<TBGateServer>(reply, 33)), (std::vector<std::string>{"Arena", "33", "5/16", "dm1", "open"}));
}

TEST(ServerRecords, PlayerColumnsAndRows)
{
    TCustomPlayer plain("\\player\\Ann\\frags\\7\\ping\\55");
    EXPECT_EQ(Texts(plain.ColumnTitles()), (std::vector<std::string>{"Name/0", "Frags/0", "Ping/1"}));
    EXPECT_EQ(Row(plain), (std::vector<std::string>{"Ann", "7", "55"}));

    TKovaPlayer kova("\\player\\Ann\\frags\\7\\deaths\\2\\ping\\55\\team\\red\\id\\9");
    EXPECT_EQ(kova.ColumnCount(), 5);
    EXPECT_EQ(Texts(kova.ColumnTitles()),
              (std::vector<std::string>{"Name/0", "Frags/0", "Deaths/0", "Ping/1", "Team/0"}));
    EXPECT_EQ(Row(kova), (std::vector<std::string>{"Ann", "7", "2", "55", "red"}));
    EXPECT_EQ(kova.Id, "9");

    // A character's owner is its "team" value.
    TBGatePlayer character("\\player\\Zug\\team\\Bob\\class\\Mage\\race\\Orc\\level\\12");
    EXPECT_EQ(Texts(character.ColumnTitles()),
              (std::vector<std::string>{"Name/0", "Owner/0", "Class/0", "Race/0", "Level/0"}));
    EXPECT_EQ(Row(character), (std::vector<std::string>{"Zug", "Bob", "Mage", "Orc", "12"}));
}

TEST(ServerRecords, KnownKeysFillTheRecord)
{
    auto s = Parsed("\\hostname\\Arena\\hostport\\27000\\maxplayers\\16\\numplayers\\0\\mapname\\dm2"
                    "\\gametype\\ffa\\gamemode\\openplaying\\location\\3\\gamever\\1.05\\final\\\\queryid\\1.1",
                    87);
    EXPECT_EQ(s->Name, "Arena");
    EXPECT_EQ(s->GamePort, "27000");
    EXPECT_EQ(s->Ping, 87);
    EXPECT_EQ(s->MaxPlayers, 16);
    EXPECT_EQ(s->MapName, "dm2");
    EXPECT_EQ(s->GameType, "ffa");
    EXPECT_EQ(s->GameMode, "openplaying");
    EXPECT_EQ(s->Location, 3);
    EXPECT_EQ(s->GameVersion, "1.05");
    EXPECT_TRUE(s->Rules.empty());   // final and queryid are no rules

    // Without "hostport" players connect to the query port.
    EXPECT_EQ(Parsed("\\hostname\\A\\final\\")->GamePort, "27910");
}

TEST(ServerRecords, PlayerRecordsByIndexWithMissingKeysEmpty)
{
    auto s = Parsed("\\numplayers\\2\\player_0\\Ann\\frags_0\\5\\ping_0\\40\\player_1\\Bob\\final\\");
    ASSERT_EQ(s->Players.size(), 2u);
    auto* ann = dynamic_cast<TKovaPlayer*>(s->Players[0].get());
    auto* bob = dynamic_cast<TKovaPlayer*>(s->Players[1].get());
    ASSERT_TRUE(ann && bob);
    EXPECT_EQ(ann->Name, "Ann");
    EXPECT_EQ(ann->Frags, 5);
    EXPECT_EQ(ann->Ping, 40);
    EXPECT_EQ(bob->Name, "Bob");
    EXPECT_EQ(bob->Frags, 0);
    EXPECT_EQ(bob->Team, "");
    EXPECT_EQ(bob->Id, "");
    EXPECT_TRUE(s->Rules.empty());

    // Records at or above the count are left to the rules.
    auto one = Parsed("\\numplayers\\1\\player_0\\Ann\\player_1\\Bob\\final\\");
    EXPECT_EQ(one->Players.size(), 1u);
    EXPECT_EQ(RuleTexts(*one), (std::vector<std::string>{"player_1=Bob"}));
}

TEST(ServerRecords, UnreadablePlayerCountLeavesPlayerKeysAsRules)
{
    auto s = Parsed("\\numplayers\\abc\\player_0\\Ann\\frags_0\\5\\final\\");
    EXPECT_EQ(s->NumPlayers, 0);
    EXPECT_TRUE(s->Players.empty());
    EXPECT_EQ(RuleTexts(*s), (std::vector<std::string>{"player_0=Ann", "frags_0=5"}));
}

TEST(ServerRecords, CharactersCountedByNumCharacters)
{
    auto s = Parsed<TBGateServer>("\\numplayers\\1\\numcharacters\\2\\player_0\\Zug\\team_0\\Bob\\class_0\\Mage"
                                  "\\race_0\\Orc\\level_0\\12\\player_1\\Mog\\final\\");
    EXPECT_EQ(s->NumCharacters, 2);
    EXPECT_EQ(s->NumPlayers, 1);
    ASSERT_EQ(s->Players.size(), 2u);
    auto* zug = dynamic_cast<TBGatePlayer*>(s->Players[0].get());
    ASSERT_TRUE(zug);
    EXPECT_EQ(Row(*zug), (std::vector<std::string>{"Zug", "Bob", "Mage", "Orc", "12"}));
    EXPECT_EQ(Row(*s->Players[1]), (std::vector<std::string>{"Mog", "", "", "", ""}));
    EXPECT_TRUE(s->Rules.empty());
}

TEST(ServerRecords, FirstOccurrenceWinsEvenInsideAValue)
{
    // "\mapname\" first occurs where gametype's value starts.
    auto s = Parsed("\\gametype\\mapname\\mapname\\dm1\\final\\");
    EXPECT_EQ(s->MapName, "mapname");
    EXPECT_EQ(s->GameType, "dm1");
}

TEST(ServerRecords, WhichPairsBecomeRules)
{
    auto s = Parsed("\\hostname\\A\\fraglimit\\20\\gamename\\bgate\\\\orphan\\timelimit\\30\\final\\\\queryid\\7.1");
    EXPECT_EQ(RuleTexts(*s), (std::vector<std::string>{"fraglimit=20", "timelimit=30"}));

    // Bytes below 32 or above 127 vanish from rules ...
    auto r = Parsed("\\mo\ttd\\W\xE9lcome\x01!\\final\\");
    EXPECT_EQ(RuleTexts(*r), (std::vector<std::string>{"motd=Wlcome!"}));
    // ... while in a known key a control character ends the value and
    // bytes above 127 stay.
    auto k = Parsed("\\hostname\\Caf\xE9 Arena\\mapname\\dm\r1\\final\\");
    EXPECT_EQ(k->Name, "Caf\xE9 Arena");
    EXPECT_EQ(k->MapName, "dm");
}

TEST(ServerRecords, HostileCountsAndSizesAreBounded)
{
    // A count of two thousand million records is cut to what a reply can
    // sensibly hold, and parsing stays quick.
    std::string reply = "\\numplayers\\2000000000";
    for (int i = 0; i < 300; ++i)
        reply += "\\player_" + std::to_string(i) + "\\P" + std::to_string(i);
    reply += "\\final\\";
    const auto start = std::chrono::steady_clock::now();
    auto s = Parsed(reply);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(s->NumPlayers, 2000000000);
    EXPECT_EQ(int32_t(s->Players.size()), kMaxPlayerRecords);
    EXPECT_EQ(s->Players.back()->Name, "P" + std::to_string(kMaxPlayerRecords - 1));

    // A reply that never ends keeps its first kMaxReplyText bytes.
    TKovaServer flood("1.2.3.4", "1");
    const std::string datagram(1400, 'x');
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(flood.AddReply(datagram));
    EXPECT_EQ(flood.Reply.size(), kMaxReplyText);
    EXPECT_TRUE(flood.AddReply("\\final\\"));
}

TEST(ServerRecords, FinalAnywhereEndsAReply)
{
    EXPECT_TRUE(HoldsFinal("\\final\\"));
    EXPECT_TRUE(HoldsFinal("\\hostname\\x\\finalscore\\10"));
    EXPECT_FALSE(HoldsFinal("\\hostname\\fina"));
    EXPECT_FALSE(HoldsFinal("\\hostname\\the final"));
}

TEST(ServerRecords, MasterListEntries)
{
    // Only digits, dots and colons pass, so "9.9.9.9:x" and a host name are
    // dropped; a port that is no number becomes 1025.
    std::string text = "junk\\ip\\1.2.3.4:28000\\ip\\0.1.2.3:5\\ip\\1.2.3\\ip\\5.6.7.8\\ip\\9.9.9.9:x"
                       "\\ip\\host.name.example.org\\ip\\2.2.2.2:\\ip\\3.3.3.3:4:5\\ip\\10.0.0.1:27960\r\n\\final\\";
    const std::vector<TListedServer> servers = TakeListedServers(text);
    std::vector<std::string> got;
    for (const auto& s : servers)
        got.push_back(s.Address + " " + s.Port);
    EXPECT_EQ(got, (std::vector<std::string>{"1.2.3.4 28000", "5.6.7.8 1025", "2.2.2.2 1025", "3.3.3.3 1025",
                                        "10.0.0.1 27960"}));
    EXPECT_EQ(text, "junk");

    std::string none = "\\final\\";
    EXPECT_TRUE(TakeListedServers(none).empty());
    EXPECT_EQ(none, "\\final\\");
}
