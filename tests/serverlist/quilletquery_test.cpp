// quillet-query as a user runs it: against parlevod's master list with
// simulated game servers registered by heartbeat, or against servers named
// on the command line. The table, the JSON and the exit status.
#include "simprocess.h"
#include "support/parlevodprocess.h"

#include "support/lobbyclient.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

struct TQueryRun {
    int status;
    std::string out;
    std::string err;
};

TQueryRun Query(std::vector<std::string> args, int timeoutMs = 20000)
{
    args.insert(args.begin(), TParlevodProcess::BinaryPath("quillet-query"));
    TChildProcess p(TChildProcess::TOptions{.args = args});
    TQueryRun r;
    r.status = p.Finish(timeoutMs);
    r.out = p.Output(TChildProcess::TStream::Out);
    r.err = p.Output(TChildProcess::TStream::Err);
    return r;
}

// A parlevod whose master list holds the given simulators, registered by
// their own heartbeats.
struct Network {
    explicit Network(std::vector<std::string> extra = {}) : server(std::move(extra)) {}

    bool Wait(const std::string& text) { return server.WaitForLog(text, 10000); }
    std::string Master() { return "127.0.0.1:" + std::to_string(server.ServicePort("list")); }
    std::string Heartbeats() { return std::to_string(server.ServicePort("heartbeat")); }

    TParlevodProcess server;
};

} // namespace

TEST(QuilletQuery, HelpAndBadArguments)
{
    TQueryRun help = Query({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: quillet-query --master HOST[:PORT]", 0), 0u) << help.out;
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {}, {"--master"}, {"--servers", "no-such-file"}, {"--master", "h", "--max-queries", "x"}}) {
        TQueryRun r = Query(bad);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(bad);
        EXPECT_EQ(r.err.rfind("quillet-query: ", 0), 0u) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(QuilletQuery, TableFromTheMasterList)
{
    Network net;
    TSimProcess sims({"--servers", "3", "--players", "2", "--pieces", "2", "--bgate", "--heartbeat", net.Heartbeats()});
    for (std::size_t i = 0; i < sims.ports.size(); ++i)
        ASSERT_TRUE(net.Wait("registered bgate server " + sims.Address(i))) << net.server.LogText();

    TQueryRun r = Query({"--master", net.Master()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(std::regex_replace(lines[0], std::regex(" +"), " "), "Address Server Name Ping Players Map Game Mode");
    for (std::size_t i = 0; i < sims.ports.size(); ++i) {
        const std::string name = "Sim Server " + std::to_string(i);
        const auto row = std::find_if(lines.begin() + 1, lines.end(),
                                      [&](const std::string& l) { return l.rfind(sims.Address(i) + " ", 0) == 0; });
        ASSERT_NE(row, lines.end()) << r.out;
        EXPECT_TRUE(std::regex_search(*row, std::regex(name + " +\\d+ +2/16 +map" + std::to_string(i % 5)
                                                       + " +openplaying$")))
            << *row;
    }
    EXPECT_TRUE(r.err.empty()) << r.err;   // no terminal: no progress lines
    EXPECT_TRUE(net.Wait("sent 3 bgate servers to 127.0.0.1"));
}

TEST(QuilletQuery, JsonFromTheMasterList)
{
    Network net;
    TSimProcess sims({"--servers", "2", "--players", "1", "--heartbeat", net.Heartbeats(), "--gamename", "kova"});
    for (std::size_t i = 0; i < sims.ports.size(); ++i)
        ASSERT_TRUE(net.Wait("registered kova server " + sims.Address(i)));

    TQueryRun r = Query({"--master", net.Master(), "--game", "kova", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out));
    ASSERT_TRUE(doc.isArray()) << r.out;
    ASSERT_EQ(doc.array().size(), 2);
    for (const QJsonValue& v : doc.array()) {
        const QJsonObject o = v.toObject();
        EXPECT_EQ(o["Class"].toString(), "TKovaServer");
        EXPECT_TRUE(o["Succeeded"].toBool());
        EXPECT_EQ(o["NumPlayers"].toInt(), 1);
        EXPECT_EQ(o["Players"].toArray().at(0).toObject()["Name"].toString(), "Player0");
        EXPECT_EQ(o["Players"].toArray().at(0).toObject()["Team"].toString(), "blue");
        EXPECT_EQ(o["Rules"].toArray().size(), 2);   // fraglimit and timelimit
        EXPECT_LT(o["Ping"].toInt(), 2000);
    }
}

TEST(QuilletQuery, MasterThatRefusesOrIsNotThere)
{
    // Nobody listening: reported at once, not after the list's 30 seconds.
    const auto start = std::chrono::steady_clock::now();
    TParlevodProcess probe;   // a free port: parlevod's lobby port once it has gone
    const std::string port = std::to_string(probe.Port());
    probe.Stop();
    TQueryRun gone = Query({"--master", "127.0.0.1:" + port});
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("Connection refused"), std::string::npos) << gone.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    // A master that does not accept our key.
    TempDir dir;
    const std::string keys = dir.path() + "/keys";
    std::ofstream(keys) << "quillet notTheKey\n";
    Network net({"--game-keys", keys});
    TQueryRun refused = Query({"--master", net.Master()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("refused: wrong validate value"), std::string::npos) << refused.err;
}

TEST(QuilletQuery, ServersFromFileAndCommandLineWithASilentOne)
{
    TSimProcess sims({"--servers", "3", "--players", "1", "--bgate", "--silent-every", "3"});
    TempDir dir;
    const std::string file = dir.path() + "/servers";
    std::ofstream(file) << "# two of them\n" << sims.Address(0) << "\n" << sims.Address(2) << "\n";
    const auto start = std::chrono::steady_clock::now();
    TQueryRun r = Query({"--servers", file, sims.Address(1), "--max-queries", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The silent one takes its two attempts of two seconds.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[3].rfind(sims.Address(2) + "  (no reply)", 0), 0u) << r.out;
    // Its ping is the time of its last attempt, about two seconds (the
    // tick count and the timers may differ by a few milliseconds).
    EXPECT_TRUE(std::regex_search(lines[3], std::regex(R"(\(no reply\) +(19[5-9]\d|20\d\d) +0/0$)"))) << r.out;
}
