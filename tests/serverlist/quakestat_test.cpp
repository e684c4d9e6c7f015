// The simulated game servers as a real tool sees them: Debian's quakestat
// (qstat) in its "gps" mode reads them, and reads the same things from
// them as quillet-query does.
#include "simprocess.h"
#include "support/parlevodprocess.h"

#include "support/lobbyclient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.push_back(line);
    return out;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ',');)
        out.push_back(f);
    return out;
}

} // namespace

TEST(Quakestat, ReadsTheSimulatorsInOneOrSeveralDatagrams)
{
    TSimProcess sims({"--servers", "3", "--pieces", "3", "--players", "2", "--bgate", "--silent-every", "3"});
    ASSERT_EQ(sims.ports.size(), 3u);
    TChildProcess qstat(TChildProcess::TOptions{.args = {"/usr/bin/quakestat", "-gps", sims.Address(0), "-gps", sims.Address(2), "-P", "-R", "-raw",
                        ",", "-retry", "1", "-interval", "1"}});
    ASSERT_EQ(qstat.Finish(20000), 0) << qstat.Output(TChildProcess::TStream::Err);
    const std::vector<std::string> lines = Lines(qstat.Output(TChildProcess::TStream::Out));
    // The silent one timed out; the other's line is followed by its rules
    // and one line a player.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "GPS," + sims.Address(2) + ",TIMEOUT"), lines.end()) << qstat.Output(TChildProcess::TStream::Out);
    const auto at = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.rfind("GPS," + sims.Address(0) + ",", 0) == 0; });
    ASSERT_NE(at, lines.end()) << qstat.Output(TChildProcess::TStream::Out);
    ASSERT_GE(lines.end() - at, 4) << qstat.Output(TChildProcess::TStream::Out);

    // Server line: type, address, name, map, max players, players, ...
    const std::vector<std::string> server = Fields(at[0]);
    ASSERT_GE(server.size(), 6u) << at[0];
    EXPECT_EQ(server[2], "Sim Server 0");
    EXPECT_EQ(server[3], "map0");
    EXPECT_EQ(server[4], "16");
    EXPECT_EQ(server[5], "2");
    // Rules: every pair quakestat did not take as a field, from all three
    // datagrams.
    EXPECT_NE(at[1].find("gamename=bgate"), std::string::npos) << at[1];
    EXPECT_NE(at[1].find("timelimit=30"), std::string::npos) << at[1];
    EXPECT_NE(at[1].find("numcharacters=2"), std::string::npos) << at[1];
    EXPECT_EQ(Fields(at[2])[0].rfind("Player", 0), 0u) << at[2];
    EXPECT_EQ(Fields(at[3])[0].rfind("Player", 0), 0u) << at[3];
}

TEST(Quakestat, AgreesWithQuilletQuery)
{
    TSimProcess sims({"--servers", "4", "--pieces", "2", "--players", "3"});
    std::vector<std::string> qstatArgs = {"/usr/bin/quakestat", "-raw", ","};
    std::vector<std::string> ourArgs = {TParlevodProcess::BinaryPath("quillet-query"), "--game", "kova", "--servers"};
    for (std::size_t i = 0; i < sims.ports.size(); ++i) {
        qstatArgs.insert(qstatArgs.end(), {"-gps", sims.Address(i)});
        ourArgs.push_back(sims.Address(i));
    }
    TChildProcess qstat(TChildProcess::TOptions{.args = qstatArgs});
    TChildProcess ours(TChildProcess::TOptions{.args = ourArgs});
    ASSERT_EQ(qstat.Finish(20000), 0) << qstat.Output(TChildProcess::TStream::Err);
    ASSERT_EQ(ours.Finish(20000), 0) << ours.Output(TChildProcess::TStream::Err);

    for (const std::string& line : Lines(qstat.Output(TChildProcess::TStream::Out))) {
        const std::vector<std::string> f = Fields(line);
        ASSERT_GE(f.size(), 6u) << line;
        // The same server in our table: name, "players/max" and map.
        const std::string row = [&] {
            for (const std::string& r : Lines(ours.Output(TChildProcess::TStream::Out)))
                if (r.rfind(f[1] + " ", 0) == 0)
                    return r;
            return std::string();
        }();
        ASSERT_FALSE(row.empty()) << f[1] << "\n" << ours.Output(TChildProcess::TStream::Out);
        EXPECT_NE(row.find(f[2]), std::string::npos) << row;
        EXPECT_NE(row.find(f[5] + "/" + f[4]), std::string::npos) << row;
        EXPECT_NE(row.find(f[3]), std::string::npos) << row;
    }
}
