// The News window against parlevod's message-of-the-day service, a real
// process on loopback: the repository's sample news over both transports,
// and the service's version rules turned into the client's prompts.
#include "motdfixture.h"

#include "support/parlevodprocess.h"
#include "support/runprogram.h"

#include <QCheckBox>
#include <QRadioButton>

#include <sys/stat.h>

namespace {

class MotdParlevodTest : public MotdWindowTest {
protected:
    // parlevod serving `news` (a file of the test's own unless a path is given).
    void Serve(const std::string& newsFile, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--motd-file", newsFile});
        server = std::make_unique<TParlevodProcess>(args);
        httpPort = server->ServicePort("motd-http");
        udpPort = server->ServicePort("motd-udp");
        ASSERT_NE(httpPort, 0);
        ASSERT_NE(udpPort, 0);
    }
    void Start(bool udp, bool notify = true)
    {
        MakeConfig("http://127.0.0.1:" + std::to_string(httpPort) + "/motd.asp?cmd=",
                   "127.0.0.1:" + std::to_string(udpPort), [&](Tconfig_form& c) {
                       (udp ? c.udpmotdbutt : c.httpmotdbutt)->setChecked(true);
                       c.notify_box->setChecked(notify);
                   });
        Open();
    }

    TempDir files;
    std::unique_ptr<TParlevodProcess> server;
    uint16_t httpPort = 0;
    uint16_t udpPort = 0;
};

const std::string kUpdateNews = "bannerinterval=250000\n"
                                "updatever=16.0\n"
                                "updatedesc=A faster lobby\n"
                                "dlcount=1\n"
                                "dl1=http://dl.example/quillet16.exe\n"
                                "MOTD\n"
                                "Version 16 is out.\n";

} // namespace

TEST_F(MotdParlevodTest, SampleNewsArrivesOverBothTransports)
{
    Serve(QP_SOURCE_DIR "/server/motd/sample-news.txt");
    for (bool udp : {false, true}) {
        SCOPED_TRACE(udp ? "UDP" : "HTTP");
        platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "motdck", "");
        Start(udp);
        ASSERT_TRUE(WaitUntil([&] { return form->isVisible(); }, 10000));
        EXPECT_EQ(Shown().rfind("Welcome to Quillet Peer\n", 0), 0u) << Shown();
        EXPECT_NE(Shown().find("be kind in the chat channel."), std::string::npos);
        EXPECT_EQ(Setting("bannerinterval"), "300000");
        EXPECT_NE(Setting("motdck"), "");
        EXPECT_TRUE(dialogs.shown.empty());
    }
    EXPECT_TRUE(server->WaitForLog("quillet")) << server->LogText();
}

TEST_F(MotdParlevodTest, UpdateLinesGoToOlderBuildsThatAskToBeTold)
{
    Serve(files.Write("news.txt", kUpdateNews), {"--latest-version", "160000"});

    // Not asking: the rest of the news, no announcement.
    Start(false, false);
    EXPECT_EQ(RunLoop(), kRequestDone);
    EXPECT_EQ(Setting("bannerinterval"), "250000");
    EXPECT_EQ(Setting("updatever"), "");
    EXPECT_TRUE(dialogs.shown.empty());

    // Asking: the update information is stored and the prompt follows.
    dialogs.answers = {platform::DialogResult::No};
    Start(true, true);
    ASSERT_TRUE(WaitUntil([&] { return !dialogs.shown.empty(); }, 10000));
    EXPECT_EQ(dialogs.shown[0].text,
              "There is a new version available.\r\nWould you like to launch the auto-update program now?");
    EXPECT_EQ(Setting("updatever"), "16.0");
    EXPECT_EQ(Setting("dl1"), "http://dl.example/quillet16.exe");
    EXPECT_EQ(Shown(), "Version 16 is out.");
}

TEST_F(MotdParlevodTest, BuildBelowTheMinimumVersionEnds)
{
    Serve(files.Write("news.txt", kUpdateNews), {"--min-version", "160000", "--latest-version", "160000"});
    dialogs.answers = {platform::DialogResult::Yes};
    Start(false);
    EXPECT_EQ(RunLoop(), 0);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "This program has expired. You must download a newer version\r\n"
                                     "Would you like to launch the auto-update program now?");
    EXPECT_EQ(modals.size(), 1u);   // the updater, closed without a download
}

TEST_F(MotdParlevodTest, NewsSignedByParlevodIsVerifiedOverBothTransports)
{
    // The operator makes a key: the secret for parlevod, the public key for the players.
    const std::string keyFile = files.File("news.key");
    const std::string parlevod = TParlevodProcess::BinaryPath("parlevod");
    TRunResult made = RunProgram({parlevod, "--make-news-key", keyFile}, 10000);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    ASSERT_EQ(made.out.size(), 45u) << made.out;
    const std::string publicKey = made.out.substr(0, 44);
    struct stat st {};
    ASSERT_EQ(::stat(keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string secret = ReadFileText(keyFile);
    EXPECT_NE(RunProgram({parlevod, "--make-news-key", keyFile}, 10000).exitCode, 0);
    EXPECT_EQ(ReadFileText(keyFile), secret);   // never overwritten

    Serve(files.Write("news.txt", "lobbyhost=10.1.2.3\nMOTD\nSigned hello.\n"), {"--news-key", keyFile});
    platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "newskey", publicKey);
    for (bool udp : {false, true}) {
        SCOPED_TRACE(udp ? "UDP" : "HTTP");
        platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "lobbyhost", "");
        platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "newstime", "");
        Start(udp);
        ASSERT_TRUE(WaitUntil([&] { return form->isVisible(); }, 10000));
        EXPECT_EQ(Shown(), "Signed hello.");
        EXPECT_EQ(Setting("lobbyhost"), "10.1.2.3");   // only signed news moves the hosts
        EXPECT_NE(Setting("newstime"), "");
    }

    // A key file others may read stops parlevod, naming the file.
    server.reset();
    ASSERT_EQ(::chmod(keyFile.c_str(), 0644), 0);
    try {
        Serve(files.File("news.txt"), {"--news-key", keyFile});
        ADD_FAILURE() << "parlevod started with a key file others can read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(keyFile), std::string::npos) << e.what();
    }
}
