// The live lobby page in a real browser: headless Chromium loads it from a
// real parlevod with two players connected and one game hosted, and the
// page it renders lists them. The screenshot it takes is kept in the build
// folder (test-output/lobby-page.png) for a person to look at.
#include "lobbytesthelpers.h"

#include "support/runprogram.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// Chromium with a profile of its own, nothing fetched from anywhere but the
// page, and a bound on its time.
TRunResult Chromium(const TempDir& profile, std::vector<std::string> what)
{
    std::vector<std::string> args = {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                     "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                                     "--user-data-dir=" + profile.path()};
    args.insert(args.end(), what.begin(), what.end());
    return RunProgram(args, 120000);
}

} // namespace

TEST(LobbyPageInChromium, ListsThePlayersAndTheirGame)
{
    TParlevodProcess server;
    const uint16_t web = server.ServicePort("motd-http");
    ASSERT_NE(web, 0);
    TClientPtr host = Join(server, "Commander Vex");
    TClientPtr guest = Join(server, "<b>Rook</b> & Co");
    ASSERT_TRUE(HostAndJoin(*host, *guest, "Operation Dawn [Europe]", 8));
    const std::string url = "http://127.0.0.1:" + std::to_string(web) + "/";

    TempDir profile;
    TRunResult dom = Chromium(profile, {"--dump-dom", url});
    ASSERT_EQ(dom.exitCode, 0) << dom.err;
    const std::string& page = dom.out;
    EXPECT_NE(page.find("<p id=\"summary\">2 players online, 1 game open</p>"), std::string::npos) << page;
    EXPECT_NE(page.find("<td class=\"game\">Operation Dawn [Europe]</td><td>Commander Vex</td>"), std::string::npos)
        << page;
    // The second player's name is text in the rendered page, not markup.
    EXPECT_NE(page.find("Commander Vex, &lt;b&gt;Rook&lt;/b&gt; &amp; Co <span class=\"count\">(2/8)</span>"),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find("<b>Rook"), std::string::npos);
    EXPECT_NE(page.find("<span class=\"state open\">open</span>"), std::string::npos);
    EXPECT_NE(page.find("<li data-player=\"1\">Commander Vex<span class=\"where\">in Operation Dawn [Europe]</span></li>"),
              std::string::npos);
    EXPECT_NE(page.find("<li data-player=\"2\">&lt;b&gt;Rook&lt;/b&gt; &amp; Co<span class=\"where\">"),
              std::string::npos);

    const std::string shots = std::string(QP_TEST_OUTPUT_DIR);
    std::filesystem::create_directories(shots);
    const std::string png = shots + "/lobby-page.png";
    std::filesystem::remove(png);
    TRunResult shot = Chromium(profile, {"--window-size=760,420", "--screenshot=" + png, url});
    ASSERT_EQ(shot.exitCode, 0) << shot.err;
    const std::string bytes = ReadFileText(png);
    ASSERT_GT(bytes.size(), 2000u) << "a blank or missing screenshot";
    EXPECT_EQ(bytes.substr(0, 8), "\x89PNG\r\n\x1A\n");
}
