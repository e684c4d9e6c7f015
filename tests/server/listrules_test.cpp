// The master list's rules without sockets: heartbeats, probes, expiry, the
// limits per address, and a list client's conversation.
#include "masterlist.h"

#include "serverlist/serverrecords.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Sent {
    TPeer to;
    std::string datagram;
};

struct ListRules : public ::testing::Test, public TMasterListOutput {
    void SendDatagram(const TPeer& To, std::string_view Datagram) override { sent.push_back({To, std::string(Datagram)}); }

    TMasterList& Make()
    {
        master = std::make_unique<TMasterList>(limits, *this, [this](const std::string& line) { log.push_back(line); });
        return *master;
    }
    // A heartbeat from `ip`:`from` for a server whose query port is `port`.
    void Beat(uint32_t ip, uint16_t from, uint16_t port, const std::string& game = "bgate")
    {
        master->Datagram({ip, from}, "\\heartbeat\\" + std::to_string(port) + "\\gamename\\" + game, now);
    }
    void Answer(uint32_t ip, uint16_t port, const std::string& game = "bgate")
    {
        master->Datagram({ip, port}, "\\gamename\\" + game + "\\hostname\\x\\final\\", now);
    }
    std::string List(const std::string& game = "bgate") { return master->ListFor(game).text; }

    TListLimits limits;
    std::unique_ptr<TMasterList> master;
    std::vector<Sent> sent;
    std::vector<std::string> log;
    uint64_t now = 5000;
};

constexpr uint32_t kA = 0x0A000001;   // 10.0.0.1
constexpr uint32_t kB = 0x0A000002;   // 10.0.0.2

} // namespace

TEST_F(ListRules, ListedOnlyAfterTheProbeIsAnswered)
{
    Make();
    Beat(kA, 40000, 27910);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to.Text(), "10.0.0.1:27910");
    EXPECT_EQ(sent[0].datagram, "\\status\\");
    EXPECT_EQ(List(), "\\final\\");

    // Answers from another port or another address prove nothing.
    Answer(kA, 27911);
    Answer(kB, 27910);
    EXPECT_EQ(List(), "\\final\\");
    EXPECT_TRUE(log.empty());

    Answer(kA, 27910);
    EXPECT_EQ(List(), "\\ip\\10.0.0.1:27910\\final\\");
    EXPECT_EQ(List("kova"), "\\final\\");
    EXPECT_EQ(master->ListFor("bgate").count, 1u);
    EXPECT_EQ(log, (std::vector<std::string>{"master list: registered bgate server 10.0.0.1:27910"}));
    EXPECT_EQ(master->ProbeCount(), 0u);

    // A second answer to the same probe changes nothing.
    Answer(kA, 27910);
    EXPECT_EQ(master->ServerCount(), 1u);
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(ListRules, ProbesAreNeverLongerThanHeartbeats)
{
    Make();
    const std::string shortest = "\\heartbeat\\1024\\gamename\\x";
    master->Datagram({kA, 1000}, shortest, now);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_LE(sent[0].datagram.size(), shortest.size());
}

TEST_F(ListRules, MalformedHeartbeatsAreIgnored)
{
    Make();
    for (const std::string& bad : std::vector<std::string>{
             "\\heartbeat\\0\\gamename\\bgate", "\\heartbeat\\65536\\gamename\\bgate", "\\heartbeat\\abc\\gamename\\bgate",
          "\\heartbeat\\-5\\gamename\\bgate", "\\heartbeat\\27910", "\\heartbeat\\27910\\gamename\\",
          "\\heartbeat\\27910\\gamename\\b gate", std::string("\\heartbeat\\27910\\gamename\\b\x01", 25),
          "\\heartbeat\\27910\\gamename\\" + std::string(65, 'g'), "x\\heartbeat\\27910\\gamename\\bgate",
          "\\status\\", ""})
        master->Datagram({kA, 1000}, bad, now);
    EXPECT_TRUE(sent.empty());
    THeartbeat beat;
    ASSERT_TRUE(ParseHeartbeat("\\heartbeat\\65535\\gamename\\bgate\\extra\\1", beat));
    EXPECT_EQ(beat.queryPort, 65535);
    EXPECT_EQ(beat.gameName, "bgate");
}

TEST_F(ListRules, ServersExpireWithoutHeartbeats)
{
    limits.serverExpirySeconds = 600;
    Make();
    Beat(kA, 27910, 27910);
    Answer(kA, 27910);
    const uint64_t registered = now;

    now = registered + 300'000;
    Beat(kA, 27910, 27910);      // a later heartbeat, answered, renews the entry
    Answer(kA, 27910);
    master->Tick(registered + 600'000);
    EXPECT_EQ(master->ServerCount(), 1u);
    master->Tick(now + 599'999);
    EXPECT_EQ(master->ServerCount(), 1u);
    master->Tick(now + 600'000);
    EXPECT_EQ(master->ServerCount(), 0u);
    EXPECT_EQ(log.back(), "master list: bgate server 10.0.0.1:27910 expired");
    EXPECT_EQ(List(), "\\final\\");
}

TEST_F(ListRules, UnansweredProbesLapseAndMayBeRepeated)
{
    limits.probeTimeoutMs = 5000;
    Make();
    Beat(kA, 1000, 27910);
    Beat(kA, 1000, 27910);   // already asked
    EXPECT_EQ(sent.size(), 1u);
    master->Tick(now + 4999);
    EXPECT_EQ(master->ProbeCount(), 1u);
    master->Tick(now + 5000);
    EXPECT_EQ(master->ProbeCount(), 0u);
    // The late answer proves nothing any more.
    Answer(kA, 27910);
    EXPECT_EQ(master->ServerCount(), 0u);
    Beat(kA, 1000, 27910);
    EXPECT_EQ(sent.size(), 2u);
}

TEST_F(ListRules, ARecentlyAnsweredServerIsNotProbedAgainAtOnce)
{
    limits.probeTimeoutMs = 5000;
    Make();
    Beat(kA, 1000, 27910);
    Answer(kA, 27910);
    now += 1000;
    Beat(kA, 1000, 27910);
    EXPECT_EQ(sent.size(), 1u);
    // ... unless it now says it runs another game.
    Beat(kA, 1000, 27910, "kova");
    EXPECT_EQ(sent.size(), 2u);
    Answer(kA, 27910, "kova");
    EXPECT_EQ(List("kova"), "\\ip\\10.0.0.1:27910\\final\\");
    EXPECT_EQ(List("bgate"), "\\final\\");
    now += 5000;
    Beat(kA, 1000, 27910, "kova");
    EXPECT_EQ(sent.size(), 3u);
}

TEST_F(ListRules, LimitsPerAddress)
{
    limits.perAddress = 2;
    Make();
    for (uint16_t port = 2001; port <= 2003; ++port)
        Beat(kA, 999, port);
    EXPECT_EQ(sent.size(), 2u);   // two probes at most wait for one address
    Beat(kB, 999, 2001);
    EXPECT_EQ(sent.size(), 3u);   // another address has its own share
    Answer(kA, 2001);
    Answer(kA, 2002);
    Beat(kA, 999, 2003);
    ASSERT_EQ(sent.size(), 4u);
    Answer(kA, 2003);
    EXPECT_EQ(List(), "\\ip\\10.0.0.1:2001\\ip\\10.0.0.1:2002\\final\\");
    // Once one expires there is room again.
    master->Tick(now + uint64_t(limits.serverExpirySeconds) * 1000);
    EXPECT_EQ(master->ServerCount(), 0u);
    Beat(kA, 999, 2003);
    Answer(kA, 2003);
    EXPECT_EQ(List(), "\\ip\\10.0.0.1:2003\\final\\");
}

TEST_F(ListRules, OnlyAStatusReplyOfTheClaimedGameCounts)
{
    Make();
    // Anything but a status reply naming the game proves nothing: an echo
    // of the probe, a reply of another game, a reply without a game.
    Beat(kA, 1000, 27910);
    master->Datagram({kA, 27910}, "\\status\\", now);
    master->Datagram({kA, 27910}, "garbage", now);
    Answer(kA, 27910, "kova");
    master->Datagram({kA, 27910}, "\\hostname\\x\\final\\", now);
    EXPECT_EQ(master->ServerCount(), 0u);
    EXPECT_EQ(master->ProbeCount(), 1u);
    Answer(kA, 27910, "bgate");
    EXPECT_EQ(List(), "\\ip\\10.0.0.1:27910\\final\\");

    // A forged heartbeat naming another game: the server's own answer keeps
    // it where it is, and counts as heard.
    now += 10'000;
    Beat(kB, 5555, 27910);           // (another address: not this server)
    master->Datagram({kA, 4444}, "\\heartbeat\\27910\\gamename\\kova", now);
    ASSERT_EQ(sent.back().to.Text(), "10.0.0.1:27910");
    Answer(kA, 27910, "bgate");
    EXPECT_EQ(List("kova"), "\\final\\");
    EXPECT_EQ(List("bgate"), "\\ip\\10.0.0.1:27910\\final\\");
    EXPECT_EQ(master->ProbeCount(), 1u);   // only kB's
    // A game claimed while the probe waited counts too.
    now += 10'000;
    Beat(kA, 4444, 27910, "kova");
    Beat(kA, 4444, 27910, "arena");
    Answer(kA, 27910, "arena");
    EXPECT_EQ(List("arena"), "\\ip\\10.0.0.1:27910\\final\\");
}

TEST_F(ListRules, OwnPortsAndPortsBelow1024AreNeverProbed)
{
    Make();
    master->AddOwnPort(27900);
    master->AddOwnPort(28900);
    for (uint16_t port : {uint16_t(27900), uint16_t(28900), uint16_t(1), uint16_t(53), uint16_t(1023)})
        Beat(kA, 1000, port);
    EXPECT_TRUE(sent.empty());
    Beat(kA, 1000, 1024);
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(ListRules, NewProbesBudgetedPerNetworkListedServersFirst)
{
    limits.probeRate = 10;
    limits.probeBurst = 20;
    limits.maxNewProbes = 50;
    limits.perAddress = 1000;
    Make();
    // A listed server in the network the flood comes from.
    Beat(kA, 1000, 27910);
    Answer(kA, 27910);
    sent.clear();
    // Forged heartbeats of made-up servers from one /24: its budget, no more.
    for (uint32_t i = 0; i < 1000; ++i)
        Beat(0x0A000000 + (i % 250), 1000, uint16_t(20000 + i));
    EXPECT_EQ(sent.size(), 19u);   // the registration took one of the 20
    // Another network has its own budget.
    Beat(0x0A000101, 1000, 27910);
    EXPECT_EQ(sent.size(), 20u);
    // Forged heartbeats from many networks fill the table of new probes...
    for (uint32_t i = 0; i < 1000; ++i)
        Beat(0x0B000001 + (i << 8), 1000, 27910);
    EXPECT_EQ(sent.size(), 50u);
    // ... but the listed server is asked again all the same, and heard.
    now += 10'000;
    sent.clear();
    Beat(kA, 1000, 27910);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to.Text(), "10.0.0.1:27910");
    Answer(kA, 27910);
    master->Tick(now + 5000);   // the flood's probes lapse
    EXPECT_EQ(master->ProbeCount(), 0u);
    master->Tick(now + uint64_t(limits.serverExpirySeconds) * 1000 - 1);
    EXPECT_EQ(master->ServerCount(), 1u);
    // Later, the network's whole budget again.
    sent.clear();
    now += 6000;
    for (uint32_t i = 0; i < 100; ++i)
        Beat(0x0A000000 + (i % 250), 1000, uint16_t(30000 + i));
    EXPECT_EQ(sent.size(), 20u);
}

TEST_F(ListRules, GameKeysFile)
{
    TGameKeys keys = DefaultGameKeys();
    EXPECT_EQ(keys.at("quillet"), "tRvKwb");
    std::string error;
    EXPECT_TRUE(ReadGameKeys("# games of the network\n\nbgate  Xy12ab\r\n  kova\tK0va  \n", keys, error)) << error;
    EXPECT_EQ(keys.at("bgate"), "Xy12ab");
    EXPECT_EQ(keys.at("kova"), "K0va");
    EXPECT_EQ(keys.size(), 3u);
    EXPECT_FALSE(ReadGameKeys("ok key\nbroken\n", keys, error));
    EXPECT_EQ(error, "line 2: expected 'gamename key'");
    EXPECT_FALSE(ReadGameKeys("a b c\n", keys, error));
    EXPECT_FALSE(ReadGameKeys("game ke\\y\n", keys, error));
}

namespace {

std::string ClientText(const std::string& challenge, const std::string& key = "tRvKwb",
                       const std::string& game = "quillet")
{
    return "\\gamename\\" + game + "\\gamever\\01\\location\\0\\validate\\" + ValidateValue(challenge, key)
           + "\\final\\\\queryid\\1.1\\list\\\\gamename\\bgate";
}

} // namespace

TEST(ListSession, ConversationInAnyPieces)
{
    const TGameKeys keys = DefaultGameKeys();
    const std::string text = ClientText("Qw3rty");
    // The request has no end mark, so its game name counts as whole once it
    // has come: cuts inside it are not tried.
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 0; cut <= text.size() - 5; ++cut)
        cuts.push_back(cut);
    cuts.push_back(text.size());
    for (std::size_t cut : cuts) {
        TListSession s("Qw3rty");
        EXPECT_EQ(s.Greeting(), "\\basic\\\\secure\\Qw3rty");
        TListSession::TStep step = s.Received(text.substr(0, cut), keys, 4096);
        if (cut < text.size()) {
            ASSERT_EQ(step, TListSession::TStep::More) << cut;
            step = s.Received(text.substr(cut), keys, 4096);
        }
        ASSERT_EQ(step, TListSession::TStep::List) << cut;
        EXPECT_EQ(s.GameName(), "bgate");
    }
}

TEST(ListSession, Refusals)
{
    TGameKeys keys = DefaultGameKeys();
    auto run = [&](const std::string& text, const std::string& challenge = "Qw3rty") {
        TListSession s(challenge);
        const TListSession::TStep step = s.Received(text, keys, 4096);
        return step == TListSession::TStep::Refuse ? s.Refusal() : std::string("(no refusal)");
    };
    EXPECT_EQ(run(ClientText("Qw3rty"), "Other1"), "\\error\\wrong validate value");
    EXPECT_EQ(run(ClientText("Qw3rty", "tRvKwb", "nogame")), "\\error\\unknown game name nogame");
    EXPECT_EQ(run("\\list\\\\gamename\\bgate"), "\\error\\no game name");
    EXPECT_EQ(run("\\gamename\\quillet\\final\\"), "\\error\\wrong validate value");
    keys["other"] = "s3cret";
    EXPECT_EQ(run(ClientText("Qw3rty", "s3cret", "other")), "(no refusal)");

    TListSession big("Qw3rty");
    EXPECT_EQ(big.Received(std::string(4000, 'x'), keys, 4096), TListSession::TStep::More);
    EXPECT_EQ(big.Received(std::string(100, 'x'), keys, 4096), TListSession::TStep::Refuse);
    EXPECT_EQ(big.Reason(), "request too long");
}
