// TFtpClient against scripted servers on loopback: servers that never
// answer (each waiting step gives up after its time limit), steps refused
// before anything is sent, greetings in several lines, and a data connection
// offered by a host other than the server.
#include "scriptedpeer.h"
#include "net/Ftpcli.h"

#include "platform/eventloop.h"
#include "support/tempdir.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

using platform::ProcessEventsUntil;

namespace {

using Clock = std::chrono::steady_clock;

void Send(int fd, const std::string& text) { WriteAll(fd, text); }
std::string Command(int fd) { return TScriptedPeer::ReadUntil(fd, "\r\n", 10000); }

// Greets, takes USER and PASS.
void LogIn(int fd)
{
    Send(fd, "220 ready\r\n");
    Command(fd);
    Send(fd, "331 password\r\n");
    Command(fd);
    Send(fd, "230 in\r\n");
}

void Point(TFtpClient& c, uint16_t port)
{
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(port);
    c.UserName = "anonymous";
    c.PassWord = "tester@example.net";
    c.HostDirName = "/";
    c.HostFileName = "sc.exe";
}

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A connection to `port` on 127.0.0.1 made from `from`.
int ConnectFrom(const char* from, uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(FtpClient, EachWaitingStepGivesUpAfterItsTimeout)
{
    // Connection 0 never greets; connections 1..3 log in and then never
    // answer CWD, TYPE and SIZE in turn.
    TScriptedPeer server(
        [](TScriptedPeer& peer, int fd, int index) {
            if (index > 0) {
                LogIn(fd);
                peer.Keep(Command(fd));
            }
            TScriptedPeer::WaitClosed(fd, 20000);
        },
        4);
    TFtpClient c;
    Point(c, server.Port());
    c.Timeout = 1;

    auto expectTimeout = [&](const std::function<bool()>& step, const char* name) {
        const auto start = Clock::now();
        EXPECT_FALSE(step()) << name;
        const double took = SecondsSince(start);
        EXPECT_GE(took, 0.9) << name;
        EXPECT_LT(took, 5.0) << name;
        EXPECT_EQ(c.ErrorMessage(), "426 Timeout") << name;
        EXPECT_EQ(c.FtpState(), ftpReady) << name;
        EXPECT_FALSE(c.IsConnected()) << name;   // the request was aborted
    };
    expectTimeout([&] { return c.Login(); }, "Login");
    ASSERT_TRUE(c.Login());
    expectTimeout([&] { return c.ChangeDir(); }, "ChangeDir");
    ASSERT_TRUE(c.Login());
    expectTimeout([&] { return c.SetTransferType(); }, "SetTransferType");
    ASSERT_TRUE(c.Login());
    expectTimeout([&] { return c.QuerySize(); }, "QuerySize");
    const auto kept = server.Kept();
    EXPECT_EQ(kept, (std::vector<std::string>{"CWD /\r\n", "TYPE I\r\n", "SIZE sc.exe\r\n"}));
}

TEST(FtpClient, DefaultTimeoutIsFifteenSeconds)
{
    TScriptedPeer silent([](TScriptedPeer&, int fd, int) { TScriptedPeer::WaitClosed(fd, 30000); });
    TFtpClient c;
    EXPECT_EQ(c.Timeout, 15);
    Point(c, silent.Port());
    const auto start = Clock::now();
    EXPECT_FALSE(c.Login());
    const double took = SecondsSince(start);
    EXPECT_GE(took, 14.9);
    EXPECT_LT(took, 20.0);
    EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
}

TEST(FtpClient, StepsRefusedBeforeAnythingIsSent)
{
    TFtpClient c;
    EXPECT_FALSE(c.Login());
    EXPECT_EQ(c.ErrorMessage(), "UserName emtpy");
    c.UserName = "anonymous";
    EXPECT_FALSE(c.Login());
    EXPECT_EQ(c.ErrorMessage(), "Password emtpy");
    EXPECT_FALSE(c.ChangeDir());
    EXPECT_EQ(c.ErrorMessage(), "HostDirName emtpy");
    EXPECT_EQ(c.FtpState(), ftpReady);

    // A step started while another waits is refused; the first goes on.
    TScriptedPeer server([](TScriptedPeer&, int fd, int) {
        LogIn(fd);
        TScriptedPeer::WaitClosed(fd);
    });
    Point(c, server.Port());
    std::string nested;
    bool tried = false;
    c.OnDisplay = [&](TFtpClient* s, const std::string&) {
        if (!tried) {
            tried = true;
            s->QuerySize();
            nested = s->ErrorMessage();
        }
    };
    EXPECT_TRUE(c.Login()) << c.ErrorMessage();
    EXPECT_EQ(nested, "FTP component not ready");
    EXPECT_TRUE(c.IsConnected());

    // A background request that cannot start ends from the event loop.
    c.OnDisplay = nullptr;
    c.LocalFileName.clear();
    int error = -1;
    c.OnRequestDone = [&](TFtpClient*, TFtpRequest, int e) { error = e; };
    c.StartDownload();
    EXPECT_EQ(error, -1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return error != -1; }, 5000));
    EXPECT_NE(error, 0);
    EXPECT_EQ(c.ErrorMessage(), "LocalFileName emtpy");
    c.AbortTransfer();   // lets the server go
}

TEST(FtpClient, GreetingInSeveralLinesAndAPreliminaryReply)
{
    TScriptedPeer server([](TScriptedPeer& peer, int fd, int) {
        Send(fd, "120 in a moment\r\n220-Welcome\r\n220-to the site\r\n220 ready\r\n");
        peer.Keep(Command(fd));
        Send(fd, "230-Logged in\r\n 230 without a password\r\n230 ok\r\n");
        TScriptedPeer::WaitClosed(fd);
    });
    TFtpClient c;
    Point(c, server.Port());
    std::vector<std::string> log;
    c.OnDisplay = [&](TFtpClient*, const std::string& m) { log.push_back(m); };
    ASSERT_TRUE(c.Login()) << c.ErrorMessage();
    EXPECT_EQ(server.Kept(), std::vector<std::string>{"USER anonymous\r\n"});   // no PASS after 230
    EXPECT_EQ(log, (std::vector<std::string>{"120 in a moment", "220-Welcome", "220-to the site", "220 ready",
                                             "> USER anonymous", "230-Logged in", " 230 without a password",
                                             "230 ok"}));
}

TEST(FtpClient, ActiveModeTakesDataOnlyFromTheServer)
{
    // After PORT the script first connects from 127.0.0.2 (another host, as
    // far as the client can tell) with bytes of its own, then brings the file
    // from the server's address.
    TScriptedPeer server([](TScriptedPeer& peer, int fd, int) {
        LogIn(fd);
        const std::string port = Command(fd);
        peer.Keep(port);
        unsigned h1, h2, h3, h4, p1, p2;
        if (std::sscanf(port.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
            return;
        Send(fd, "200 PORT ok\r\n");
        peer.Keep(Command(fd));
        const uint16_t dataPort = uint16_t(p1 * 256 + p2);
        int intruder = ConnectFrom("127.0.0.2", dataPort);
        if (intruder >= 0) {
            WriteAll(intruder, "not the file");
            TScriptedPeer::WaitClosed(intruder);
            ::close(intruder);
        }
        Send(fd, "150 here it comes\r\n");
        int data = ConnectFrom("127.0.0.1", dataPort);
        WriteAll(data, "the real file");
        ::close(data);
        Send(fd, "226 done\r\n");
        TScriptedPeer::WaitClosed(fd);
    });
    TempDir dir;
    TFtpClient c;
    Point(c, server.Port());
    c.LocalFileName = dir.File("sc.exe");
    std::vector<std::string> log;
    c.OnDisplay = [&](TFtpClient*, const std::string& m) { log.push_back(m); };
    int error = -1;
    c.OnRequestDone = [&](TFtpClient*, TFtpRequest rq, int e) {
        if (rq == ftpGetAsync)
            error = e;
    };
    ASSERT_TRUE(c.Login());
    c.StartDownload();
    ASSERT_TRUE(ProcessEventsUntil([&] { return error != -1; }, 10000));
    EXPECT_EQ(error, 0) << c.ErrorMessage();
    EXPECT_EQ(ReadFileText(dir.File("sc.exe")), "the real file");
    EXPECT_NE(std::find(log.begin(), log.end(), "! Data connection from 127.0.0.2 refused"), log.end());
    const auto kept = server.Kept();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].rfind("PORT 127,0,0,1,", 0), 0u);
    EXPECT_EQ(kept[1], "RETR sc.exe\r\n");
}

TEST(FtpClient, LocalFileThatCannotBeOpenedEndsTheRequest)
{
    TScriptedPeer server([](TScriptedPeer&, int fd, int) {
        LogIn(fd);
        TScriptedPeer::WaitClosed(fd);
    });
    TFtpClient c;
    Point(c, server.Port());
    c.LocalFileName = "/nonexistent-folder/sc.exe";
    int error = -1;
    c.OnRequestDone = [&](TFtpClient*, TFtpRequest rq, int e) {
        if (rq == ftpGetAsync)
            error = e;
    };
    ASSERT_TRUE(c.Login());
    c.StartDownload();
    ASSERT_TRUE(ProcessEventsUntil([&] { return error != -1; }, 5000));
    EXPECT_NE(error, 0);
    EXPECT_EQ(c.ErrorMessage(), "Unable to open local file /nonexistent-folder/sc.exe");
    EXPECT_EQ(c.FtpState(), ftpReady);
    c.AbortTransfer();
}
