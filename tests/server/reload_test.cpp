// SIGHUP to a running parlevod: the news file and the game keys are read
// again while players stay connected, in their game, and chatting.
#include "lobbytesthelpers.h"
#include "webhttp.h"

#include "app/shellutil.h"
#include "motd/motdtext.h"
#include "motd/newsverify.h"
#include "newssign.h"
#include "serverlist/serverrecords.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <ctime>

#include <filesystem>
#include <functional>

namespace {

// Reads from `fd` until `done` holds for what came, the peer closes or
// five seconds pass.
std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done(got)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t n = 0;
        if (left <= 0 || poll(&p, 1, int(left)) <= 0 || (n = recv(fd, buffer, sizeof buffer, 0)) <= 0)
            break;
        got.append(buffer, std::size_t(n));
    }
    return got;
}

// One list client's conversation with the master list, proving itself with
// a game name and key and asking for that game's servers: what came back.
std::string AskForList(uint16_t port, const std::string& game, const std::string& key)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0)
            close(fd);
        return "(no connection)";
    }
    // "\basic\\secure\" and six characters.
    const std::string greeting = ReadUntil(fd, [](const std::string& got) { return got.size() >= 21; });
    const std::string request = "\\gamename\\" + game + "\\gamever\\01\\location\\0\\validate\\"
                                + ValidateValue(LookupValue(greeting, "secure"), key) + "\\final\\\\list\\\\gamename\\"
                                + game;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string answer = ReadUntil(fd, [](const std::string& got) {
        return got.find("\\final\\") != std::string::npos || got.find("\\error\\") != std::string::npos;
    });
    close(fd);
    return answer;
}

std::string News(uint16_t port)
{
    TMotdRequestFields f;
    f.version = "150101";
    f.product = "quillet";
    return WebRequest(port, "/motd.asp?cmd=" + UrlEncode(BuildMotdRequest(f))).body;
}

} // namespace

TEST(ParlevodHangup, RereadsNewsAndKeysWhilePlayersStayInTheirGame)
{
    TempDir dir;
    const std::string news = dir.Write("news.txt", "MOTD\nThe first news\n");
    const std::string keys = dir.Write("keys", "# our games\nfirstgame Abc123\n");
    TParlevodProcess server({"--motd-file", news, "--game-keys", keys});
    const uint16_t web = server.ServicePort("motd-http");
    const uint16_t list = server.ServicePort("list");
    ASSERT_NE(web, 0);
    ASSERT_NE(list, 0);
    EXPECT_NE(AskForList(list, "firstgame", "Abc123").find("\\final\\"), std::string::npos);
    EXPECT_NE(News(web).find("The first news"), std::string::npos);

    TClientPtr host = Join(server, "Hosting");
    TClientPtr member = Join(server, "Member");
    ASSERT_TRUE(HostAndJoin(*host, *member, "Evening Game", 4));

    dir.Write("news.txt", "MOTD\nThe second news\n");
    dir.Write("keys", "secondgame Xyz789\n");
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    EXPECT_TRUE(server.WaitForLog("news file " + news + " read again")) << server.LogText();
    EXPECT_TRUE(server.WaitForLog("game keys read again, 2 games")) << server.LogText();
    EXPECT_TRUE(server.Running());

    // Both players are still there, in the same game, and hear each other.
    host->ClearHistory();
    member->Send(cmChat, "\\chan\\1\\text\\still here");
    auto line = host->WaitFor(cmChat, 2000, [](const LobbyRecord& r) {
        return LookupValue(r.param, "text") == "Member: still here";
    });
    EXPECT_TRUE(line.has_value());
    EXPECT_EQ(CountType(host->History(), cmGameGone), 0);
    EXPECT_NE(WebRequest(web, "/lobby.json").body.find("\"name\":\"Evening Game\""), std::string::npos);

    // The new keys are in force, the old game's are gone; so is the old news.
    EXPECT_NE(AskForList(list, "secondgame", "Xyz789").find("\\final\\"), std::string::npos);
    EXPECT_NE(AskForList(list, "firstgame", "Abc123").find("\\error\\"), std::string::npos);
    EXPECT_NE(News(web).find("The second news"), std::string::npos);
    EXPECT_EQ(server.LogText().find("dropped"), std::string::npos) << server.LogText();
}

TEST(ParlevodHangup, FilesThatCannotBeReadLeaveTheLastInForce)
{
    TempDir dir;
    const std::string news = dir.Write("news.txt", "MOTD\nThe news\n");
    const std::string keys = dir.Write("keys", "ourgame Abc123\n");
    TParlevodProcess server({"--motd-file", news, "--game-keys", keys});
    const uint16_t list = server.ServicePort("list");
    TClientPtr player = Join(server, "Staying");

    dir.Write("keys", "ourgame has three words\n");
    std::filesystem::remove(news);
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    EXPECT_TRUE(server.WaitForLog("the keys in force stay")) << server.LogText();
    EXPECT_TRUE(server.WaitForLog("the last news stays")) << server.LogText();
    EXPECT_NE(AskForList(list, "ourgame", "Abc123").find("\\final\\"), std::string::npos);

    // A second signal, with nothing changed, is just as harmless.
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    player->Send(cmChat, "\\chan\\0\\text\\hello");
    EXPECT_TRUE(player->WaitFor(cmChat, 2000).has_value());
    EXPECT_TRUE(server.Running());
}

TEST(ParlevodHangup, WithoutFilesItOnlySaysSo)
{
    // A hang-up used to end the server (the signal's default action).
    TParlevodProcess server;
    TClientPtr player = Join(server, "Alone");
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    EXPECT_TRUE(server.WaitForLog("no game keys file to read again")) << server.LogText();
    EXPECT_TRUE(server.WaitForLog("no news file to read again"));
    player->Send(cmChat, "\\chan\\0\\text\\hello");
    EXPECT_TRUE(player->WaitFor(cmChat, 2000).has_value());
}

TEST(ParlevodHangup, RereadsTheNewsKey)
{
    TempDir dir;
    std::string error;
    const std::string first = TNewsKey::Make(dir.File("news.key"), error).value_or("");
    const std::string second = TNewsKey::Make(dir.File("next.key"), error).value_or("");
    ASSERT_EQ(second.size(), 44u) << error;
    TParlevodProcess server({"--motd-file", dir.Write("news.txt", "MOTD\nThe news\n"), "--news-key",
                             dir.File("news.key")});
    const uint16_t web = server.ServicePort("motd-http");
    const int64_t now = std::time(nullptr);
    EXPECT_EQ(VerifyNews(News(web), first, 0, now).check, TNewsCheck::Verified);

    std::filesystem::rename(dir.File("next.key"), dir.File("news.key"));
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    ASSERT_TRUE(server.WaitForLog("read again")) << server.LogText();
    EXPECT_EQ(VerifyNews(News(web), second, 0, now).check, TNewsCheck::Verified);
}
