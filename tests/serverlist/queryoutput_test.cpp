// What quillet-query prints, and how it reads its command line.
#include "queryargs.h"
#include "queryoutput.h"

#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fstream>

namespace {

std::unique_ptr<TBGateServer> Server(const std::string& port, const std::string& reply, int32_t ping)
{
    auto s = std::make_unique<TBGateServer>("10.0.0.1", port);
    s->Reply = reply;
    s->RoundTrip = ping;
    s->ParseReply();
    s->Succeeded = !reply.empty();
    return s;
}

} // namespace

TEST(QueryOutput, TableSortedByPingThenPlayersWithNumbersAlignedRight)
{
    auto slow = Server("1", "\\hostname\\Slow\\numplayers\\1\\maxplayers\\8\\mapname\\m1\\gamemode\\coop", 250);
    auto busy = Server("2", "\\hostname\\Busy\\numplayers\\12\\maxplayers\\16\\mapname\\m2\\gamemode\\dm", 30);
    auto quiet = Server("3", "\\hostname\\Quiet\\numplayers\\2\\maxplayers\\16\\mapname\\m3\\gamemode\\dm", 30);
    auto silent = std::make_unique<TBGateServer>("10.0.0.2", "4");
    silent->Ping = 9999;
    const std::string table = FormatTable({slow.get(), silent.get(), quiet.get(), busy.get()});
    EXPECT_EQ(table,
              "Address     Server Name  Ping  Players  Map  Game Mode\n"
              "10.0.0.1:2  Busy           30    12/16  m2   dm\n"
              "10.0.0.1:3  Quiet          30     2/16  m3   dm\n"
              "10.0.0.1:1  Slow          250      1/8  m1   coop\n"
              "10.0.0.2:4  (no reply)   9999      0/0\n");
    EXPECT_EQ(FormatTable({}), "Address\n");
}

TEST(QueryOutput, TextsFromTheNetworkMadeHarmless)
{
    // Windows-1252 becomes UTF-8; control characters, including the C1 ones
    // a terminal may obey, become "?".
    EXPECT_EQ(DisplayText("Caf\xE9 \x80"), "Caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(DisplayText("a\x1B[2Jb\x7F"), "a?[2Jb?");
    EXPECT_EQ(JsonString("say \"hi\"\\\x01\xE9"), "\"say \\\"hi\\\"\\\\\\u0001\xC3\xA9\"");
}

TEST(QueryOutput, JsonHasEveryFieldPlayersAndRules)
{
    auto s = Server("27910",
                    "\\hostname\\Gate\\hostport\\27911\\numplayers\\1\\numcharacters\\1\\maxplayers\\8\\mapname\\m"
                    "\\gamemode\\coop\\gametype\\rpg\\gamever\\1.2\\location\\4\\player_0\\Zug\\team_0\\Bob"
                    "\\class_0\\Mage\\race_0\\Orc\\level_0\\12\\frags_0\\3\\ping_0\\50\\motd\\hello",
                    42);
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(FormatJson({s.get()})));
    ASSERT_TRUE(doc.isArray());
    const QJsonObject o = doc.array().at(0).toObject();
    EXPECT_EQ(o["Class"].toString(), "TBGateServer");
    EXPECT_EQ(o["Address"].toString(), "10.0.0.1");
    EXPECT_EQ(o["QueryPort"].toString(), "27910");
    EXPECT_EQ(o["GamePort"].toString(), "27911");
    EXPECT_EQ(o["Name"].toString(), "Gate");
    EXPECT_EQ(o["Ping"].toInt(), 42);
    EXPECT_EQ(o["RoundTrip"].toInt(), 42);
    EXPECT_EQ(o["Timeout"].toInt(), 2000);
    EXPECT_EQ(o["Retries"].toInt(), 1);
    EXPECT_TRUE(o["Succeeded"].toBool());
    EXPECT_EQ(o["MaxPlayers"].toInt(), 8);
    EXPECT_EQ(o["GameType"].toString(), "rpg");
    EXPECT_EQ(o["GameMode"].toString(), "coop");
    EXPECT_EQ(o["GameVersion"].toString(), "1.2");
    EXPECT_EQ(o["Location"].toInt(), 4);
    EXPECT_EQ(o["NumCharacters"].toInt(), 1);
    EXPECT_EQ(o["Reply"].toString(), "\\motd\\hello");
    EXPECT_EQ(o["PlayerKeys"].toArray().size(), 9);
    const QJsonObject p = o["Players"].toArray().at(0).toObject();
    EXPECT_EQ(p["Name"].toString(), "Zug");
    EXPECT_EQ(p["Team"].toString(), "Bob");
    EXPECT_EQ(p["CharClass"].toString(), "Mage");
    EXPECT_EQ(p["Race"].toString(), "Orc");
    EXPECT_EQ(p["Level"].toString(), "12");
    EXPECT_EQ(p["Frags"].toInt(), 3);
    EXPECT_EQ(p["Ping"].toInt(), 50);
    const QJsonObject rule = o["Rules"].toArray().at(0).toObject();
    EXPECT_EQ(rule["Name"].toString(), "motd");
    EXPECT_EQ(rule["Value"].toString(), "hello");
}

TEST(QueryArgs, CommandLines)
{
    TQueryArgs a;
    std::string error;
    ASSERT_TRUE(ParseQueryArgs({"--master", "list.example.org", "--game", "kova", "--filter", "\\x\\1", "--json"}, a,
                               error)) << error;
    EXPECT_TRUE(a.FromMaster);
    EXPECT_EQ(a.MasterHost, "list.example.org");
    EXPECT_EQ(a.MasterPort, "28900");
    EXPECT_FALSE(a.BGate);
    EXPECT_EQ(a.Filter, "\\x\\1");
    EXPECT_TRUE(a.Json);
    EXPECT_EQ(a.MaxQueries, 10);

    TempDir dir;
    const std::string file = dir.path() + "/servers";
    std::ofstream(file) << "# mine\n10.0.0.1:27910\n\n  10.0.0.2  \n";
    TQueryArgs b;
    ASSERT_TRUE(ParseQueryArgs({"--servers", file, "10.0.0.3:5", "--max-queries", "3"}, b, error)) << error;
    ASSERT_EQ(b.Servers.size(), 3u);
    EXPECT_EQ(b.Servers[1].Address + ":" + b.Servers[1].Port, "10.0.0.2:1025");
    EXPECT_EQ(b.Servers[2].Address + ":" + b.Servers[2].Port, "10.0.0.3:5");
    EXPECT_EQ(b.MaxQueries, 3);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"--master"}, {"--master", "h:0"}, {"--master", "h:99999"}, {"--servers"},
             {"--servers", "nofile"}, {"--servers", "1.2.3.4:x"}, {"--master", "h", "--servers", "1.2.3.4:5"},
             {"--master", "h", "--game", "quake"}, {"--master", "h", "--max-queries", "0"},
             {"--servers", "1.2.3.4:5", "--filter", "x"}, {"--bogus"}}) {
        TQueryArgs c;
        EXPECT_FALSE(ParseQueryArgs(bad, c, error)) << ::testing::PrintToString(bad);
        EXPECT_FALSE(error.empty());
    }
}
