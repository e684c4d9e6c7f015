// The updater window: its texts, the site list read from the settings store,
// the progress text on a driven clock, the standalone start, and downloads
// from nginx and pyftpdlib (started by the tests on free ports) that end in
// the release being started, or refused and not started.
#include "update/update_main.h"

#include "net/Ftpcli.h"
#include "net/HttpProt.h"
#include "net/Pinger.h"
#include "update/debugbox.h"
#include "platform/eventloop.h"
#include "platform/regstore.h"
#include "support/ftpservers.h"
#include "support/peerservers.h"
#include "support/scripteddialogs.h"
#include "support/tempdir.h"

#include <QCryptographicHash>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>

using platform::DialogKind;
using platform::DialogResult;
using platform::ProcessEventsUntil;

namespace {

const char* const kKey = "Software\\Parlevo\\quillet\\scompany";

std::string Sha256(const std::string& bytes)
{
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256).toHex().toStdString();
}

class Updater : public ::testing::Test {
protected:
    void Store(const std::vector<std::pair<std::string, std::string>>& values)
    {
        platform::RegistryStore store = platform::RegistryStore::CurrentUser();
        ASSERT_TRUE(store.WriteStrings(kKey, values));
    }

    // A window as the version prompts open it, with the program's folder,
    // the clock and the program's end in the test's hands.
    void Make()
    {
        form = std::make_unique<Tupdate_form>();
        form->program_dir = programDir.path();
        form->EndProgram = [this](int code) { endCode = code; };
        form->arguments = {};
    }
    // Shows it with the settings key and waits until the list is loaded.
    void Open(const std::string& key = kKey)
    {
        if (!form)
            Make();
        form->settings_key = key;
        form->show();
        ASSERT_TRUE(ProcessEventsUntil([&] { return !form->regtimer->isActive(); }, 5000));
    }
    int Rows() const { return form->downloadlist->topLevelItemCount(); }
    QTreeWidgetItem* Row(int i) const { return form->downloadlist->topLevelItem(i); }
    bool WaitEnd(int ms = 30000) { return ProcessEventsUntil([&] { return endCode != -1; }, ms); }
    bool WaitIdle(int ms = 30000) { return ProcessEventsUntil([&] { return !form->IsBusy(); }, ms); }
    bool SawText(const QString& part) const
    {
        for (const auto& r : dialogs.shown)
            if (r.text.contains(part))
                return true;
        return false;
    }
    std::string Shown() const
    {
        std::string all;
        for (const auto& r : dialogs.shown)
            all += r.text.toStdString() + "\n";
        return all;
    }
    std::string LogText() const
    {
        std::string all;
        for (int i = form->DebugBox1->count() - 1; i >= 0; --i)
            all += form->DebugBox1->item(i)->text().toStdString() + "\n";
        return all;
    }

    ScopedSettingsHome home;
    TScriptedDialogs dialogs;
    TempDir programDir;
    std::unique_ptr<Tupdate_form> form;
    int endCode = -1;
};

// A program the updater may start: it leaves a mark that it ran.
std::string MarkerProgram(const std::string& marker) { return "#!/bin/sh\necho ran > '" + marker + "'\n"; }

} // namespace

TEST_F(Updater, WindowTextsAndComponents)
{
    Make();
    EXPECT_EQ(form->windowTitle(), "Parlevo Industries Updater 1.0");
    EXPECT_EQ(form->size(), QSize(446, 352));
    EXPECT_EQ(form->Label1->text(), "       Select a Download Location Below and Click Download to Start");
    EXPECT_TRUE(form->Label1->font().bold());
    EXPECT_EQ(form->Label2->text(),
              "If you are having trouble downloading this update, you can download it directly from:");
    EXPECT_EQ(form->GroupBox1->title(), " Update Information ");
    EXPECT_EQ(form->GroupBox2->title(), " Progress ");
    EXPECT_EQ(form->download_butt->text(), "Download");
    EXPECT_TRUE(form->download_butt->isDefault());
    EXPECT_EQ(form->cancel_butt->text(), "Cancel");
    EXPECT_EQ(form->config_butt->text(), "Configure");
    EXPECT_EQ(form->config_butt->toolTip(), "Configure proxy/firewall settings");
    QTreeWidgetItem* header = form->downloadlist->headerItem();
    EXPECT_EQ(header->text(0), "Ping");
    EXPECT_EQ(header->text(1), "Type");
    EXPECT_EQ(header->text(2), "Name");
    EXPECT_EQ(header->text(3), "Address");
    EXPECT_EQ(form->downloadlist->columnWidth(2), 200);
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_EQ(form->FtpClient1->Timeout, 15);
    EXPECT_EQ(form->Ping1->NPings, 4);
    EXPECT_EQ(form->Ping1->Timeout, 2000);
    EXPECT_EQ(form->regtimer->interval(), 50);
    EXPECT_FALSE(form->regtimer->isActive());   // never runs for a window that is not shown
    EXPECT_TRUE(form->settings_key.empty());
    form->show();
    EXPECT_EQ(form->DebugBoxHeight(), 0);
}

TEST_F(Updater, RowsComeFromTheStoreUpToTheCount)
{
    Store({{"updatever", "1.60"},
           {"updatedesc", "Shadow Company patch"},
           {"updatesize", "12 MB"},
           {"updateurl", "http://www.example.net/patch"},
           {"dlcount", "2"},
           {"dl1", "ftp://player:pw@127.0.0.1:2121/pub/sc/patch.exe"},
           {"dl1desc", "Main site"},
           {"dl2", "http://127.0.0.1/patch.exe"},
           {"dl2desc", "Mirror"},
           {"dl3", "http://127.0.0.1/third.exe"}});
    Open();
    EXPECT_EQ(form->verslab->text(), "1.60");
    EXPECT_EQ(form->desclab->text(), "Shadow Company patch");
    EXPECT_EQ(form->sizelab->text(), "12 MB");
    EXPECT_EQ(form->updateurllab->text(), "http://www.example.net/patch");
    // News values are never rich text.
    for (const QLabel* label : {form->verslab, form->desclab, form->sizelab, form->updateurllab, form->proglab})
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Row(0)->text(1), "ftp");
    EXPECT_EQ(Row(0)->text(2), "Main site");
    EXPECT_EQ(Row(0)->text(3), "ftp://player:pw@127.0.0.1:2121/pub/sc/patch.exe");
    EXPECT_EQ(Row(1)->text(1), "http");
    EXPECT_EQ(Row(1)->text(2), "Mirror");
    const TDLInfo* info = Tupdate_form::RowInfo(Row(0));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->host, "127.0.0.1");
    EXPECT_EQ(info->port, "2121");
    EXPECT_EQ(info->user, "player");
    EXPECT_EQ(info->password, "pw");
    EXPECT_EQ(info->path, "/pub/sc/patch.exe");
    EXPECT_TRUE(Row(0)->isSelected());
    EXPECT_EQ(endCode, -1);
}

TEST_F(Updater, EmptyFirstEntryGivesNoRows)
{
    Store({{"dlcount", "0"}, {"dl1", ""}, {"dl2", "http://127.0.0.1/patch.exe"}});
    Open();
    EXPECT_EQ(Rows(), 0);
    form->download_butt->click();
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "You must select a download location");
    EXPECT_EQ(dialogs.shown[0].caption, "Error");
    EXPECT_EQ(endCode, -1);
}

TEST_F(Updater, KeyAndCommandLineFailuresEndTheProgram)
{
    // No such key.
    Open("Software\\Parlevo\\nothing");
    EXPECT_TRUE(dialogs.Saw("Bad Registry Key"));
    EXPECT_EQ(dialogs.shown.back().caption, "Error");
    EXPECT_EQ(endCode, 1);
    EXPECT_EQ(Rows(), 0);

    // Standalone, without exactly one argument.
    form.reset();
    endCode = -1;
    Make();
    form->arguments = {"a", "b"};
    Open("");
    EXPECT_TRUE(dialogs.Saw("No Command Line"));
    EXPECT_EQ(endCode, 1);
}

TEST_F(Updater, ValueOfTheWrongTypeIsAReadingError)
{
    Store({{"dl1", "http://127.0.0.1/patch.exe"}});
    std::string text = ReadFileText(home.storePath());
    const std::string at = "\"dl1\"=";
    text.insert(text.find(at), "\"dlcount\"=dword:00000002\r\n");
    std::FILE* f = std::fopen(home.storePath().c_str(), "wb");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    Open();
    EXPECT_TRUE(dialogs.Saw("Error reading registry")) << Shown();
    EXPECT_EQ(endCode, 1);
}

TEST_F(Updater, StandaloneTakesTheKeyFromItsOneArgument)
{
    Store({{"updatever", "2.0"}, {"dl1", "http://127.0.0.1/patch.exe"}});
    Make();
    form->arguments = {QString::fromLatin1(kKey)};
    Open("");
    EXPECT_EQ(form->settings_key, kKey);
    EXPECT_EQ(form->verslab->text(), "2.0");
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(endCode, -1);
}

TEST_F(Updater, ProgressTextOnADrivenClock)
{
    Make();
    uint32_t now = 5000;
    form->Clock = [&] { return now; };
    form->start_tick = form->last_tick = 5000;
    form->total_bytes = 100000;

    form->received_bytes = 20000;
    now = 5900;   // under a second since the last rewrite: only the bar moves
    form->UpdateProgress();
    EXPECT_EQ(form->ProgressBar1->value(), 20);
    EXPECT_EQ(form->proglab->text(), "");

    form->received_bytes = 50000;
    now = 7000;
    form->UpdateProgress();
    EXPECT_EQ(form->ProgressBar1->value(), 50);
    EXPECT_EQ(form->proglab->text(), "50000 of 100000 (25.00 k/s) 0:02 left");

    // Slow: minutes and seconds, the rate never below 0.1 k/s.
    form->received_bytes = 100;
    form->total_bytes = 100000;
    now = 5000 + 600000;
    form->UpdateProgress();
    EXPECT_EQ(form->proglab->text(), "100 of 100000 (0.10 k/s) 16:39 left");

    // Without a length: the byte count alone, and the bar stays at 0.
    form->total_bytes = 0;
    form->received_bytes = 4096;
    now += 1000;
    form->UpdateProgress();
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(form->proglab->text(), "4096 of Unknown");

    // The tick counter wraps.
    form->start_tick = form->last_tick = 0xFFFFF000u;
    form->total_bytes = 100000;
    form->received_bytes = 50000;
    now = 0xFFFFF000u + 2000;
    form->UpdateProgress();
    EXPECT_EQ(form->proglab->text(), "50000 of 100000 (25.00 k/s) 0:02 left");
}

TEST_F(Updater, DebugBoxKeepsTheNewestLinesOnTop)
{
    Make();
    for (int i = 0; i < TDebugBox::kMaxLines + 5; ++i)
        form->DebugBox1->AddDebugLine("line " + std::to_string(i));
    EXPECT_EQ(form->DebugBox1->count(), TDebugBox::kMaxLines + 1);
    EXPECT_TRUE(form->DebugBox1->item(0)->text().endsWith(" line 30004"));
    EXPECT_TRUE(form->DebugBox1->item(TDebugBox::kMaxLines)->text().endsWith(" line 4"));
}

TEST(DownloadNames, OnlyTheLastComponentAndNeverAFolder)
{
    EXPECT_EQ(DownloadFileName("/pub/sc/patch.exe"), "patch.exe");
    EXPECT_EQ(DownloadFileName("patch.exe"), "patch.exe");
    EXPECT_EQ(DownloadFileName("/pub/..\\..\\evil.exe"), "evil.exe");
    EXPECT_EQ(DownloadFileName("/pub/"), "");
    EXPECT_EQ(DownloadFileName("/pub/.."), "");
    EXPECT_EQ(DownloadFileName("/pub/."), "");
    EXPECT_EQ(DownloadFileName(""), "");
    EXPECT_EQ(DownloadDirName("/pub/sc/patch.exe"), "/pub/sc/");
    EXPECT_EQ(DownloadDirName("/patch.exe"), "/");
    EXPECT_EQ(DownloadDirName(""), "");
}

// --- downloads ---------------------------------------------------------------------

class UpdaterHttp : public Updater {
protected:
    void SetUp() override
    {
        nginx = std::make_unique<TNginxServer>(
            "    location /slow/ { limit_rate 200k; }\n"
            "    location /ssi/ { ssi on; ssi_types *; }\n"
            "    location = /moved.sh { return 302 /files/run.sh; }\n");
        marker = programDir.File("ran.txt");
        program = MarkerProgram(marker);
        nginx->Write("www/files/run.sh", program);
    }
    std::unique_ptr<TNginxServer> nginx;
    std::string marker;
    std::string program;
};

TEST_F(UpdaterHttp, CompletedDownloadIsStartedAndTheProgramEnds)
{
    Store({{"dl1", nginx->Url("/moved.sh")}, {"dl1desc", "nginx"}, {"updatesha256", Sha256(program)}});
    Open();
    ASSERT_EQ(Rows(), 1);
    form->download_butt->click();
    EXPECT_EQ(form->DebugBoxHeight(), 75);
    ASSERT_TRUE(WaitEnd()) << Shown();
    EXPECT_EQ(endCode, 0);
    EXPECT_EQ(form->local_file, programDir.File("moved.sh"));
    EXPECT_EQ(ReadFileText(programDir.File("moved.sh")), program);
    EXPECT_TRUE(form->relocated);
    // The started program ran.
    EXPECT_TRUE(ProcessEventsUntil([&] { return QFile::exists(QString::fromStdString(marker)); }, 10000));
    EXPECT_TRUE(dialogs.shown.empty()) << Shown();
    EXPECT_NE(LogText().find("HTTP/1.1 302"), std::string::npos) << LogText();
}

TEST_F(UpdaterHttp, ErrorPageIsNotStartedAndNotKept)
{
    Store({{"dl1", nginx->Url("/files/missing.exe")}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->proglab->text() == "DONE"; }, 5000));
    EXPECT_EQ(endCode, -1);
    EXPECT_TRUE(dialogs.Saw("Not Found")) << Shown();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(programDir.File("missing.exe"))));
    EXPECT_TRUE(form->isVisible());
}

TEST_F(UpdaterHttp, HashMismatchIsDeletedAndNotStarted)
{
    Store({{"dl1", nginx->Url("/files/run.sh")}, {"dl1sha256", Sha256("something else")},
           {"updatesha256", Sha256(program)}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(WaitIdle());
    ProcessEventsUntil([&] { return !dialogs.shown.empty(); }, 5000);
    EXPECT_EQ(endCode, -1);
    EXPECT_TRUE(SawText("SHA-256")) << Shown();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(programDir.File("run.sh"))));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(marker)));
}

TEST_F(UpdaterHttp, CancelDuringTheDownload)
{
    nginx->Write("www/slow/big.exe", RandomBytes(4 << 20, 7));
    Store({{"dl1", nginx->Url("/slow/big.exe")}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->received_bytes > 0; }, 10000));
    EXPECT_GT(form->total_bytes, 0);
    EXPECT_TRUE(form->IsBusy());
    // Download again while busy: the offer to cancel, declined.
    dialogs.answers = {DialogResult::No};
    form->download_butt->click();
    EXPECT_TRUE(dialogs.Saw("A download is in progress, do you wish to cancel it?"));
    EXPECT_TRUE(form->IsBusy());
    form->cancel_butt->click();
    EXPECT_FALSE(form->IsBusy());
    EXPECT_TRUE(dialogs.Saw("Connection aborted on request")) << Shown();
    EXPECT_EQ(endCode, -1);
    // The part stays on disk; the window stays open.
    EXPECT_TRUE(QFile::exists(QString::fromStdString(programDir.File("big.exe"))));
    EXPECT_TRUE(form->isVisible());

    // Cancel when idle asks first; No keeps the window.
    dialogs.answers = {DialogResult::No};
    form->cancel_butt->click();
    EXPECT_TRUE(dialogs.Saw("Are you sure you want to close the updater?"));
    EXPECT_TRUE(form->isVisible());
}

TEST_F(UpdaterHttp, WithoutALengthTheCountStandsAlone)
{
    nginx->Write("www/ssi/run.sh", program + "# <!--# echo var=\"server_port\" -->\n");
    Store({{"dl1", nginx->Url("/ssi/run.sh")}});
    Make();
    uint32_t now = 0;
    form->Clock = [&] { return now += 1500; };
    std::vector<QString> texts;
    auto docData = form->HttpCli1->OnDocData;
    form->HttpCli1->OnDocData = [&, docData](THttpCli* s, const char* data, int len) {
        docData(s, data, len);
        texts.push_back(form->proglab->text());
    };
    Open();
    form->download_butt->click();
    ASSERT_TRUE(WaitEnd()) << Shown();
    EXPECT_EQ(form->total_bytes, 0);
    ASSERT_FALSE(texts.empty());
    EXPECT_TRUE(texts.back().endsWith(" of Unknown")) << texts.back().toStdString();
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(endCode, 0);
}

TEST_F(UpdaterHttp, PathsThatNameNoFileAreRefused)
{
    for (const std::string path : {"/files/", "/files/.."}) {
        Store({{"dl1", nginx->Url(path)}});
        form.reset();
        Open();
        dialogs.shown.clear();
        form->download_butt->click();
        EXPECT_TRUE(SawText("does not name a file")) << path << "\n" << Shown();
        EXPECT_FALSE(form->IsBusy());
    }
    EXPECT_EQ(endCode, -1);
}

TEST_F(UpdaterHttp, WithANewsKeyOnlyAVerifiedChecksumIsDownloaded)
{
    // Signed news vouched for other checksums only: refused before any request.
    Store({{"newskey", "c29tZSBrZXk="}, {"newssha256", Sha256("other") + ","},
           {"dl1", nginx->Url("/files/run.sh")}, {"updatesha256", Sha256(program)}});
    Open();
    form->download_butt->click();
    EXPECT_TRUE(dialogs.Saw("This release's checksum did not come in verified news, so it is not downloaded."))
        << Shown();
    EXPECT_FALSE(form->IsBusy());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(programDir.File("run.sh"))));

    // Without a key the same release is taken on its checksum alone.
    form.reset();
    Store({{"newskey", ""}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(WaitEnd()) << Shown();
    EXPECT_EQ(endCode, 0);

    // With the key again, once verified news carried it (any case of digits).
    form.reset();
    endCode = -1;
    Store({{"newskey", "c29tZSBrZXk="},
           {"newssha256", Sha256("other") + "," + QString::fromStdString(Sha256(program)).toUpper().toStdString() + ","}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(WaitEnd()) << Shown();
    EXPECT_EQ(endCode, 0);
    EXPECT_EQ(ReadFileText(programDir.File("run.sh")), program);
}

// A mirror that sends no length and goes on past the ceiling the test sets:
// the download is stopped there, its file deleted, and the player told.
TEST_F(Updater, DownloadPastTheCeilingIsStoppedAndDeleted)
{
    QTcpServer mirror;
    ASSERT_TRUE(mirror.listen(QHostAddress::LocalHost));
    std::vector<QTcpSocket*> peers;
    QObject::connect(&mirror, &QTcpServer::newConnection, [&] {
        QTcpSocket* peer = mirror.nextPendingConnection();
        peers.push_back(peer);
        QObject::connect(peer, &QTcpSocket::readyRead, [peer] {
            if (!peer->readAll().contains("\r\n\r\n"))
                return;
            peer->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n");
            peer->write(QByteArray(300000, 'x'));
        });
    });
    Store({{"dl1", "http://127.0.0.1:" + std::to_string(mirror.serverPort()) + "/big.exe"},
           {"updatemaxsize", "50000"}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !dialogs.shown.empty() && !form->IsBusy(); }, 10000)) << Shown();
    EXPECT_TRUE(SawText("went past the largest size the updater takes (50000 bytes)")) << Shown();
    EXPECT_EQ(dialogs.shown.size(), 1u) << Shown();
    EXPECT_TRUE(form->proglab->text().contains("stopped and deleted")) << form->proglab->text().toStdString();
    EXPECT_LE(form->received_bytes, 300000);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(programDir.File("big.exe"))));
    EXPECT_EQ(endCode, -1);
}

class UpdaterFtp : public Updater {
protected:
    void SetUp() override
    {
        if (!TPyftpdServer::Available())
            GTEST_SKIP() << "pyftpdlib is not installed";
        server = std::make_unique<TPyftpdServer>(TFtpServerOptions{.user = "player", .password = "s3cret"});
        marker = programDir.File("ran.txt");
        program = MarkerProgram(marker) + "# " + std::string(100000, 'x') + "\n";
        server->Write("pub/sc/patch.sh", program);
    }
    std::string Url(const std::string& login, const std::string& path) const
    {
        return "ftp://" + login + "127.0.0.1:" + std::to_string(server->Port()) + path;
    }
    std::unique_ptr<TPyftpdServer> server;
    std::string marker;
    std::string program;
};

TEST_F(UpdaterFtp, DownloadWithUrlCredentialsIsStarted)
{
    Store({{"dl1", Url("player:s3cret@", "/sc/patch.sh")}, {"dl1sha256", Sha256(program)}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(WaitEnd()) << Shown() << LogText();
    EXPECT_EQ(endCode, 0);
    EXPECT_EQ(form->total_bytes, int64_t(program.size()));
    EXPECT_EQ(form->received_bytes, int64_t(program.size()));
    EXPECT_EQ(ReadFileText(programDir.File("patch.sh")), program);
    EXPECT_TRUE(ProcessEventsUntil([&] { return QFile::exists(QString::fromStdString(marker)); }, 10000));
    const std::string log = LogText();
    EXPECT_NE(log.find("> USER player"), std::string::npos) << log;
    EXPECT_NE(log.find("> CWD /sc/"), std::string::npos) << log;
    EXPECT_NE(log.find("> SIZE patch.sh"), std::string::npos) << log;
    EXPECT_NE(log.find("226"), std::string::npos) << log;
    EXPECT_TRUE(dialogs.shown.empty()) << Shown();
}

TEST_F(UpdaterFtp, ExistingFileIsResumedWhenTheUserSaysSo)
{
    programDir.Write("patch.sh", program.substr(0, 1000));
    Store({{"dl1", Url("", "/sc/patch.sh")}});
    Open();
    dialogs.answers = {DialogResult::Yes};
    form->download_butt->click();
    ASSERT_TRUE(WaitEnd()) << Shown() << LogText();
    ASSERT_GE(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text.toStdString(),
              "The file: " + programDir.File("patch.sh") +
                  " already exists, would you like to attempt to resume the download?");
    const std::string log = LogText();
    EXPECT_NE(log.find("> USER anonymous"), std::string::npos) << log;
    EXPECT_NE(log.find("> REST 1000"), std::string::npos) << log;
    EXPECT_EQ(ReadFileText(programDir.File("patch.sh")), program);
    EXPECT_EQ(endCode, 0);
}

TEST_F(UpdaterFtp, FailuresLeaveTheWindowForAnotherSite)
{
    Store({{"dl1", Url("", "/sc/missing.exe")},
           {"dl2", Url("player:wrong@", "/sc/patch.sh")},
           {"dl3", Url("", "/sc/patch.sh")},
           {"dl3sha256", Sha256("not this")}});
    Open();
    ASSERT_EQ(Rows(), 3);
    form->download_butt->click();
    EXPECT_TRUE(dialogs.Saw("FTP Error, please try another site")) << Shown();

    dialogs.shown.clear();
    form->downloadlist->setCurrentItem(Row(1));
    form->download_butt->click();
    EXPECT_TRUE(dialogs.Saw("Unable to connect to FTP server, please try another site")) << Shown();

    // A file that does not match the announced checksum is not started.
    dialogs.shown.clear();
    form->downloadlist->setCurrentItem(Row(2));
    form->download_butt->click();
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(ProcessEventsUntil([&] { return !dialogs.shown.empty(); }, 5000));
    EXPECT_TRUE(SawText("SHA-256")) << Shown();
    EXPECT_EQ(form->proglab->text(), "FTP Error");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(programDir.File("patch.sh"))));
    EXPECT_EQ(endCode, -1);
}

// The file grows between SIZE and RETR: the site sends more than it
// announced, and the download is stopped there and deleted.
TEST_F(UpdaterFtp, MoreThanTheAnnouncedSizeIsStoppedAndDeleted)
{
    server->Write("pub/grows.exe", std::string(1000, 'a'));
    Store({{"dl1", Url("", "/grows.exe")}});
    Make();
    auto display = form->FtpClient1->OnDisplay;
    form->FtpClient1->OnDisplay = [&, display](TFtpClient* s, const std::string& msg) {
        if (msg.rfind("> RETR", 0) == 0 || msg.rfind("> PASV", 0) == 0 || msg.rfind("> PORT", 0) == 0)
            server->Write("pub/grows.exe", RandomBytes(4 << 20, 3));
        display(s, msg);
    };
    Open();
    form->download_butt->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !dialogs.shown.empty() && !form->IsBusy(); }, 15000))
        << Shown() << LogText();
    EXPECT_EQ(form->total_bytes, 1000);
    EXPECT_TRUE(SawText("sent more than the 1000 bytes it announced")) << Shown() << LogText();
    EXPECT_EQ(dialogs.shown.size(), 1u) << Shown();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(programDir.File("grows.exe"))));
    EXPECT_EQ(endCode, -1);
}

TEST_F(UpdaterFtp, CancelAbortsTheTransfer)
{
    server->Write("pub/big.exe", RandomBytes(256 << 20, 9));
    Store({{"dl1", Url("", "/big.exe")}});
    Open();
    form->download_butt->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form->received_bytes > 0; }, 10000));
    form->cancel_butt->click();
    EXPECT_FALSE(form->IsBusy());
    EXPECT_TRUE(dialogs.Saw("FTP Error: 426 Operation aborted.")) << Shown();
    EXPECT_EQ(form->proglab->text(), "FTP Error");
    EXPECT_EQ(endCode, -1);
}
