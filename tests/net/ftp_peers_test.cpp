// TFtpClient against real FTP servers from Debian packages (pyftpdlib and
// vsftpd), each started by the test on a free port with its own
// configuration: logins, the waiting steps, downloads in passive and active
// mode, resume, abort, and a passive reply that names another host.
#include "net/Ftpcli.h"
#include "support/ftpservers.h"
#include "support/tempdir.h"

#include "platform/eventloop.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <random>

using platform::ProcessEventsUntil;

namespace {

enum class Server { Pyftpd, Vsftpd };

void PrintTo(Server s, std::ostream* out) { *out << (s == Server::Pyftpd ? "pyftpdlib" : "vsftpd"); }

std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = char(rng());
    return s;
}

std::unique_ptr<TPeerServer> StartServer(Server kind, TFtpServerOptions options = {})
{
    if (kind == Server::Pyftpd)
        return std::make_unique<TPyftpdServer>(std::move(options));
    return std::make_unique<TVsftpdServer>(std::move(options));
}

// A client and what it reported.
struct FtpRun {
    TFtpClient client;
    std::vector<std::string> log;
    std::vector<int64_t> progress;
    std::vector<std::pair<TFtpRequest, int>> done;
    std::function<void(int64_t, bool&)> onProgress;

    FtpRun(uint16_t port, const std::string& dir, const std::string& file, const std::string& local)
    {
        client.HostName = "127.0.0.1";
        client.Port = std::to_string(port);
        client.UserName = "anonymous";
        client.PassWord = "tester@example.net";
        client.HostDirName = dir;
        client.HostFileName = file;
        client.LocalFileName = local;
        client.OnDisplay = [this](TFtpClient*, const std::string& m) { log.push_back(m); };
        client.OnProgress = [this](TFtpClient*, int64_t n, bool& abort) {
            progress.push_back(n);
            if (onProgress)
                onProgress(n, abort);
        };
        client.OnRequestDone = [this](TFtpClient*, TFtpRequest rq, int error) {
            if (rq == ftpGetAsync || rq == ftpResumeGetAsync || rq == ftpRestartGetAsync)
                done.push_back({rq, error});
        };
    }

    bool Prepare() { return client.Login() && client.ChangeDir() && client.SetTransferType() && client.QuerySize(); }
    bool WaitDone(int ms = 30000) { return ProcessEventsUntil([&] { return !done.empty(); }, ms); }
    bool Logged(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }
    bool LoggedPrefix(const std::string& prefix) const
    {
        return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    std::string Log() const
    {
        std::string all;
        for (const auto& l : log)
            all += l + "\n";
        return all;
    }
};

class FtpPeers : public ::testing::TestWithParam<std::tuple<Server, bool>> {
protected:
    void SetUp() override
    {
        kind = std::get<0>(GetParam());
        passive = std::get<1>(GetParam());
        if (kind == Server::Pyftpd && !TPyftpdServer::Available())
            GTEST_SKIP() << "pyftpdlib is not installed";
        if (kind == Server::Vsftpd && (!TVsftpdServer::Available() || geteuid() != 0))
            GTEST_SKIP() << "vsftpd needs to be installed and started as root";
    }
    std::unique_ptr<TPeerServer> Start(TFtpServerOptions options = {})
    {
        return StartServer(kind, std::move(options));
    }
    std::unique_ptr<FtpRun> Run(TPeerServer& s, const std::string& dir, const std::string& file)
    {
        auto r = std::make_unique<FtpRun>(s.Port(), dir, file, local.File(file.empty() ? "none" : file));
        r->client.PassiveMode = passive;
        return r;
    }

    Server kind = Server::Pyftpd;
    bool passive = true;
    TempDir local;
};

} // namespace

TEST_P(FtpPeers, DownloadIsByteExactAndLogged)
{
    auto server = Start();
    const std::string body = RandomBytes(3 * 1024 * 1024 + 17, 1);
    server->Write("pub/releases/sc-update.exe", body);
    auto run = Run(*server, "/releases/", "sc-update.exe");

    ASSERT_TRUE(run->Prepare()) << run->client.ErrorMessage() << "\n" << run->Log();
    EXPECT_TRUE(run->client.IsConnected());
    EXPECT_EQ(run->client.RemoteSize(), int64_t(body.size()));
    EXPECT_TRUE(run->Logged("> USER anonymous"));
    EXPECT_TRUE(run->Logged("> CWD /releases/"));
    EXPECT_TRUE(run->Logged("> TYPE I"));
    EXPECT_TRUE(run->Logged("> SIZE sc-update.exe"));
    EXPECT_TRUE(run->LoggedPrefix("230"));

    run->client.StartDownload();
    EXPECT_EQ(run->client.FtpState(), ftpTransfer);   // returns at once
    ASSERT_TRUE(run->WaitDone()) << run->Log();
    EXPECT_EQ(run->done[0], std::make_pair(ftpGetAsync, 0)) << run->client.ErrorMessage() << "\n" << run->Log();
    EXPECT_EQ(run->client.FtpState(), ftpReady);
    EXPECT_TRUE(run->Logged(passive ? "> PASV" : "> RETR sc-update.exe"));
    EXPECT_TRUE(run->LoggedPrefix(passive ? "> PASV" : "> PORT 127,0,0,1,")) << run->Log();
    EXPECT_TRUE(run->LoggedPrefix("! " + std::to_string(body.size()) + " bytes received in ")) << run->Log();
    ASSERT_FALSE(run->progress.empty());
    EXPECT_EQ(run->progress.back(), int64_t(body.size()));
    EXPECT_TRUE(std::is_sorted(run->progress.begin(), run->progress.end()));
    EXPECT_EQ(ReadFileText(local.File("sc-update.exe")), body);
}

TEST_P(FtpPeers, ResumeContinuesFromTheLocalSize)
{
    auto server = Start();
    const std::string body = RandomBytes(200000, 2);
    server->Write("pub/sc.exe", body);
    local.Write("sc.exe", body.substr(0, 1000));
    auto run = Run(*server, "/", "sc.exe");
    ASSERT_TRUE(run->Prepare()) << run->client.ErrorMessage();

    run->client.StartResume();
    ASSERT_TRUE(run->WaitDone()) << run->Log();
    EXPECT_EQ(run->done[0], std::make_pair(ftpResumeGetAsync, 0)) << run->client.ErrorMessage() << run->Log();
    EXPECT_TRUE(run->Logged("> REST 1000"));
    EXPECT_TRUE(run->LoggedPrefix("350")) << run->Log();
    ASSERT_FALSE(run->progress.empty());
    EXPECT_GT(run->progress.front(), 1000);
    EXPECT_EQ(run->progress.back(), int64_t(body.size()));
    // Only the rest came over the wire.
    EXPECT_TRUE(run->LoggedPrefix("! " + std::to_string(body.size() - 1000) + " bytes received")) << run->Log();
    EXPECT_EQ(ReadFileText(local.File("sc.exe")), body);
}

TEST_P(FtpPeers, ResumeOfAnEmptyFileFetchesItWhole)
{
    auto server = Start();
    const std::string body = RandomBytes(50000, 3);
    server->Write("pub/sc.exe", body);
    local.Write("sc.exe", "");
    auto run = Run(*server, "/", "sc.exe");
    ASSERT_TRUE(run->Prepare());

    run->client.StartResume();
    ASSERT_TRUE(run->WaitDone());
    EXPECT_EQ(run->done[0], std::make_pair(ftpRestartGetAsync, 0)) << run->client.ErrorMessage();
    EXPECT_FALSE(run->LoggedPrefix("> REST"));
    EXPECT_EQ(ReadFileText(local.File("sc.exe")), body);
}

TEST_P(FtpPeers, AbortTransferEndsTheDownload)
{
    auto server = Start();
    server->Write("pub/big.bin", RandomBytes(64 * 1024 * 1024, 4));
    auto run = Run(*server, "/", "big.bin");
    ASSERT_TRUE(run->Prepare());
    run->onProgress = [&](int64_t, bool&) {
        if (run->progress.size() == 1)
            run->client.AbortTransfer();
    };
    run->client.StartDownload();
    ASSERT_TRUE(run->WaitDone());
    EXPECT_EQ(run->done[0], std::make_pair(ftpGetAsync, 426));
    EXPECT_EQ(run->client.ErrorMessage(), "426 Operation aborted.");
    EXPECT_EQ(run->client.FtpState(), ftpReady);
    EXPECT_FALSE(run->client.IsConnected());
    EXPECT_EQ(run->progress.size(), 1u);

    // The abort flag of the progress event does the same, and says so.
    auto again = Run(*server, "/", "big.bin");
    ASSERT_TRUE(again->Prepare());
    again->onProgress = [](int64_t, bool& abort) { abort = true; };
    again->client.StartDownload();
    ASSERT_TRUE(again->WaitDone());
    EXPECT_EQ(again->done[0].second, 426);
    EXPECT_TRUE(again->Logged("! Abort requested"));
}

TEST_P(FtpPeers, FailingStepsReportTheServersReply)
{
    auto server = Start();
    server->Write("pub/sc.exe", "x");
    auto run = Run(*server, "/missing/", "sc.exe");
    ASSERT_TRUE(run->client.Login());
    EXPECT_FALSE(run->client.ChangeDir());
    EXPECT_EQ(run->client.ErrorMessage().substr(0, 3), "550") << run->client.ErrorMessage();
    run->client.HostDirName = "/";
    ASSERT_TRUE(run->client.ChangeDir());
    run->client.HostFileName = "nothere.exe";
    EXPECT_FALSE(run->client.QuerySize());
    EXPECT_EQ(run->client.ErrorMessage().substr(0, 3), "550") << run->client.ErrorMessage();
    EXPECT_EQ(run->client.FtpState(), ftpReady);

    // Connecting again while connected.
    EXPECT_FALSE(run->client.Login());
    EXPECT_EQ(run->client.ErrorMessage(), "FTP component already connected");

    // A file that is not there ends the background download with the reply.
    run->client.StartDownload();
    ASSERT_TRUE(run->WaitDone());
    EXPECT_EQ(run->done[0].second, 550) << run->Log();
}

TEST_P(FtpPeers, PassiveReplyNamingAnotherHostIsNotFollowed)
{
    if (!passive)
        GTEST_SKIP() << "passive mode only";
    auto server = Start({.passiveAddress = "10.9.9.9"});
    const std::string body = RandomBytes(100000, 5);
    server->Write("pub/sc.exe", body);
    auto run = Run(*server, "/", "sc.exe");
    ASSERT_TRUE(run->Prepare());
    run->client.StartDownload();
    ASSERT_TRUE(run->WaitDone(20000));
    EXPECT_EQ(run->done[0].second, 0) << run->client.ErrorMessage() << "\n" << run->Log();
    EXPECT_TRUE(run->LoggedPrefix("227")) << run->Log();
    EXPECT_TRUE(run->Logged("! Passive address 10.9.9.9 ignored; data connection to 127.0.0.1")) << run->Log();
    EXPECT_EQ(ReadFileText(local.File("sc.exe")), body);
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpPeers,
                         ::testing::Combine(::testing::Values(Server::Pyftpd, Server::Vsftpd),
                                            ::testing::Values(true, false)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) == Server::Pyftpd ? "pyftpdlib" : "vsftpd") +
                                    (std::get<1>(info.param) ? "_PASV" : "_PORT");
                         });

// Logins other than anonymous, and a server that refuses REST: pyftpdlib
// only (vsftpd would need system accounts for the first).
TEST(FtpPyftpd, LoginWithCredentialsAndRefusedRest)
{
    if (!TPyftpdServer::Available())
        GTEST_SKIP() << "pyftpdlib is not installed";
    TPyftpdServer server({.user = "player", .password = "s3cret", .refuseRest = true});
    const std::string body = RandomBytes(30000, 6);
    server.Write("pub/sc.exe", body);
    TempDir local;
    local.Write("sc.exe", body.substr(0, 1000) + "stale");

    FtpRun wrong(server.Port(), "/", "sc.exe", local.File("sc.exe"));
    wrong.client.UserName = "player";
    wrong.client.PassWord = "guess";
    EXPECT_FALSE(wrong.client.Login());
    EXPECT_EQ(wrong.client.ErrorMessage().substr(0, 3), "530") << wrong.client.ErrorMessage();

    FtpRun run(server.Port(), "/", "sc.exe", local.File("sc.exe"));
    run.client.UserName = "player";
    run.client.PassWord = "s3cret";
    run.client.PassiveMode = true;
    ASSERT_TRUE(run.Prepare()) << run.client.ErrorMessage();
    EXPECT_TRUE(run.Logged("> USER player"));
    EXPECT_TRUE(run.LoggedPrefix("331"));
    // The server refuses to continue: the whole file comes anew.
    run.client.StartResume();
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.done[0], std::make_pair(ftpRestartGetAsync, 0)) << run.client.ErrorMessage();
    EXPECT_TRUE(run.Logged("> REST 1005"));
    EXPECT_EQ(ReadFileText(local.File("sc.exe")), body);
}

// Both connections through a SOCKS 5 proxy (microsocks, with a login): the
// data connection is then always made outward, to the server's name.
TEST(FtpPyftpd, DownloadThroughSocks)
{
    if (!TPyftpdServer::Available() || !TPeerServer::Available("microsocks"))
        GTEST_SKIP() << "needs pyftpdlib and microsocks";
    TPyftpdServer server;
    TMicrosocksServer proxy("sockuser", "sockpass");
    const std::string body = RandomBytes(500000, 8);
    server.Write("pub/sc.exe", body);
    TempDir local;
    FtpRun run(server.Port(), "/", "sc.exe", local.File("sc.exe"));
    for (TWSocket* s : {run.client.ControlSocket(), run.client.DataSocket()}) {
        s->SocksServer = "127.0.0.1";
        s->SocksPort = std::to_string(proxy.Port());
        s->SocksUsercode = "sockuser";
        s->SocksPassword = "sockpass";
        s->SocksAuthentication = true;
    }
    run.client.PassiveMode = false;   // through SOCKS the client goes passive by itself
    ASSERT_TRUE(run.Prepare()) << run.client.ErrorMessage();
    run.client.StartDownload();
    ASSERT_TRUE(run.WaitDone());
    EXPECT_EQ(run.done[0].second, 0) << run.client.ErrorMessage() << "\n" << run.Log();
    EXPECT_TRUE(run.Logged("> PASV"));
    EXPECT_EQ(ReadFileText(local.File("sc.exe")), body);
}
