// The News window against a scripted message-of-the-day service: what it
// asks, what it stores, when it shows itself, and the version prompts.
#include "motdfixture.h"
#include "scriptedmotd.h"

#include "text/textfuncs.h"
#include "config/config_main.h"
#include "motd/docking.h"
#include "net/HttpProt.h"
#include "newssign.h"
#include "platform/eventloop.h"
#include "support/tempdir.h"
#include "update/update_main.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>

#include <ctime>
#include <optional>

namespace {

const QString kNewVersion = "There is a new version available.\r\nWould you like to launch the auto-update program now?";
const QString kExpiredUpdater =
    "This program has expired. You must download a newer version\r\nWould you like to launch the auto-update program now?";
const QString kExpiredWebStart = "This program has expired. You must download a newer version\r\n"
                                 "A new version may be available at: ";

QTextCharFormat FormatAt(QTextDocument* doc, int position)
{
    QTextCursor cursor(doc);
    cursor.setPosition(position + 1);
    return cursor.charFormat();
}

class MotdServiceTest : public MotdWindowTest {
protected:
    // The window against the scripted service, over HTTP or UDP.
    void Start(bool udp = false, const std::function<void(Tconfig_form&)>& prepare = {})
    {
        MakeConfig("http://127.0.0.1:" + std::to_string(service.HttpPort()) + "/motd.asp?cmd=",
                   "127.0.0.1:" + std::to_string(service.UdpPort()), [&](Tconfig_form& c) {
                       (udp ? c.udpmotdbutt : c.httpmotdbutt)->setChecked(true);
                       if (prepare)
                           prepare(c);
                   });
        Open();
    }
    // Runs until the HTTP request is over; false when it never ended.
    bool Fetch() { return RunLoop() == kRequestDone; }
    QString DownloadPrompt() const
    {
        return kExpiredWebStart
               + QString::fromStdString(config->linkTable[std::size_t(Tconfig_form::LinkIndex("download"))].url)
               + "\r\nWould you like to go there now?";
    }

    TScriptedMotd service;
};

} // namespace

TEST_F(MotdServiceTest, RequestCarriesElevenFieldsOverHttpAndUdp)
{
    auto personal = [](Tconfig_form& c) {
        c.email->setText("me@x.org");
        c.realname->setText("Ann Lee");
        c.age->setText("42");
        c.zip->setText("12|34");   // a "|" typed by the user splits the field
        c.notify_box->setChecked(false);
    };
    platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "distcode", "D7");
    service.ReplyWith("");
    Start(false, personal);
    ASSERT_TRUE(Fetch());
    ASSERT_EQ(service.httpRequests.size(), 1u);
    const std::string code = config->installationCode;
    ASSERT_EQ(code.size(), 19u);
    const std::string expected = "MOTD|150101|quillet|me@x.org|" + code + "|D7|1|0|Ann Lee|42|12|34|";
    EXPECT_EQ(MotdCommandOf(service.httpRequests[0]), expected);
    // URL-encoded on the request line: "|" as %7C, a blank as "+".
    EXPECT_EQ(service.httpRequests[0].rfind("GET /motd.asp?cmd=MOTD%7C150101%7Cquillet%7Cme%40x%2Eorg%7C", 0), 0u)
        << service.httpRequests[0];
    EXPECT_NE(service.httpRequests[0].find("%7CAnn+Lee%7C42%7C12%7C34%7C HTTP/1.0\r\n"), std::string::npos);

    // Over UDP the same text is the datagram, padded with blanks after its
    // last field so that the service may answer it in full; without a
    // distribution code it says "N".
    platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "distcode", "");
    service.udpReply = "MOTD\r\nhello";
    Start(true, personal);
    ASSERT_TRUE(WaitUntil([&] { return form->isVisible(); }));
    ASSERT_EQ(service.datagrams.size(), 1u);
    const std::string fields = "MOTD|150101|quillet|me@x.org|" + code + "|N|1|0|Ann Lee|42|12|34|";
    EXPECT_EQ(service.datagrams[0], fields + std::string(470 - fields.size(), ' '));
    EXPECT_EQ(Shown(), "hello");
}

TEST_F(MotdServiceTest, PlainMessageShowsTheFloatingWindowAndItsLinksOpenThroughTheRedirect)
{
    const std::string reply = "MOTD\r\nWelcome to the news.\r\nSee http://example.org/Path?a=1 today.\r\n";
    service.ReplyWith(reply);
    Start();
    ASSERT_TRUE(Fetch());

    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), "News");
    EXPECT_EQ(form->size(), QSize(426, 249));
    EXPECT_EQ(Shown(), "Welcome to the news.\nSee http://example.org/Path?a=1 today.");
    EXPECT_TRUE(form->motd_headers.empty());
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(Setting("motdck"), std::to_string(int32_t(TextChecksum(reply))));
    // The game build's skin: its window colour behind the message, white text.
    EXPECT_EQ(form->motd_text->palette().color(QPalette::Base), QColor(0x4A, 0x4E, 0x43));
    EXPECT_EQ(form->motd_text->palette().color(QPalette::Text), QColor(Qt::white));

    QTextDocument* doc = form->motd_text->document();
    const int at = doc->toPlainText().indexOf("http://");
    EXPECT_EQ(FormatAt(doc, at).anchorHref(), "http://example.org/Path?a=1");
    EXPECT_TRUE(FormatAt(doc, at).fontUnderline());
    // A blue that can be read on the skin's dark window colour.
    const QColor link = FormatAt(doc, at).foreground().color();
    EXPECT_GT(link.blue(), link.red());
    EXPECT_GE(link.lightness(), 160);
    EXPECT_FALSE(FormatAt(doc, at - 2).isAnchor());

    // A click on the link opens it through the redirect page with area 5.
    QTextCursor cursor(doc);
    cursor.setPosition(at + 5);
    const QPoint point = form->motd_text->cursorRect(cursor).center();
    QTest::mouseClick(form->motd_text->viewport(), Qt::LeftButton, {}, point);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], "http://web.example/redirect.asp?product=3&area=5&url=http%3A%2F%2Fexample%2Eorg%2FPath%3Fa%3D1");
}

TEST_F(MotdServiceTest, HeaderLinesBecomeSettings)
{
    service.ReplyWith("downloadurl=http://dl.example/new\r\nname<x=1\r\nUpdateDesc=first\r\nupdatedesc=second\r\n"
                      "UpdateVer=9\r\nno setting here\r\nupdatesize=\r\nMOTD\r\nhi");
    Start();
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(form->motd_headers.size(), 7u);
    EXPECT_EQ(Setting("downloadurl"), "http://dl.example/new");
    // The link table was read again, so the expiry prompt would offer it.
    EXPECT_EQ(config->linkTable[std::size_t(Tconfig_form::LinkIndex("download"))].url, "http://dl.example/new");
    EXPECT_EQ(Setting("name<x"), "");
    EXPECT_EQ(Setting("UpdateDesc"), "first");   // both lines write the first one's value
    EXPECT_EQ(Setting("UpdateVer"), "9");
    EXPECT_EQ(Setting("no setting here"), "");
    // "UpdateVer" is not "updatever": nothing is announced.
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(Shown(), "hi");
}

TEST_F(MotdServiceTest, RtfMessageKeepsItsFormattingAndRtfHeadersLoadPlainBodiesAsRtf)
{
    service.ReplyWith("MOTD\r\n{\\rtf1{\\colortbl;\\red200\\green0\\blue0;}{\\b Bold} {\\cf1 Red} "
                      "mailto:op@example.org\\par Second\\par}\r\n");
    Start();
    ASSERT_TRUE(Fetch());
    QTextDocument* doc = form->motd_text->document();
    EXPECT_EQ(Shown(), "Bold Red mailto:op@example.org\nSecond");
    EXPECT_EQ(FormatAt(doc, 0).fontWeight(), QFont::Bold);
    EXPECT_EQ(FormatAt(doc, 5).foreground().color(), QColor(200, 0, 0));
    EXPECT_EQ(FormatAt(doc, 9).anchorHref(), "mailto:op@example.org");

    // "{\rtf" above the marker makes the body RTF; a body that is not RTF
    // keeps its backslashes and braces.
    service.ReplyWith("x={\\rtf\r\nMOTD\r\nC:\\games {new}\r\n");
    Start();
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Shown(), "C:\\games {new}");
}

TEST_F(MotdServiceTest, EmptyAnswersAndAbsentServices)
{
    // An empty web reply raises no document events: nothing is processed.
    service.httpReply = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    Start();
    ASSERT_TRUE(Fetch());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Setting("motdck"), "");

    // An error page is processed all the same, as header lines only.
    service.httpReply = "HTTP/1.0 404 Not Found\r\n\r\n<html>\r\ndistcode=value\r\n</html>\r\n";
    Start();
    ASSERT_TRUE(Fetch());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(Setting("distcode"), "value");
    EXPECT_EQ(Shown(), "");

    // An empty datagram is an empty reply: shown, with an empty message.
    platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "motdck", "");
    service.udpReply = "";
    Start(true);
    ASSERT_TRUE(WaitUntil([&] { return form->isVisible(); }));
    EXPECT_EQ(Setting("motdck"), "0");
    EXPECT_EQ(Shown(), "");

    // A closed datagram port is no reply at all, and a stored port that is
    // not a number is no reason to fail.
    const uint16_t closed = [] {
        TScriptedMotd gone;
        return gone.UdpPort();
    }();
    MakeConfig("http://127.0.0.1:1/motd.asp?cmd=", "127.0.0.1:" + std::to_string(closed),
               [](Tconfig_form& c) { c.udpmotdbutt->setChecked(true); });
    Open();
    ASSERT_TRUE(WaitUntil([&] { return form->UDPmotdcli->LastError() != 0; }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(form->isVisible());
    MakeConfig("http://127.0.0.1:1/motd.asp?cmd=", "127.0.0.1:notaport",
               [](Tconfig_form& c) { c.udpmotdbutt->setChecked(true); });
    EXPECT_NO_THROW(Open());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MotdServiceTest, OversizedRepliesAreCut)
{
    // 5,000 header lines: only the first 1,000 become settings.
    std::string headers;
    for (int i = 0; i < 5000; ++i)
        headers += "dl" + std::to_string(i) + "=v\r\n";
    // A message of 3 MiB: the window shows its first whole lines up to 1 MiB.
    std::string body;
    for (int i = 0; body.size() < (3u << 20); ++i)
        body += "line " + std::to_string(i) + " http://example.org/" + std::to_string(i) + "\n";
    service.ReplyWith(headers + "MOTD\r\n" + body);
    Start();
    ASSERT_TRUE(Fetch());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(Setting("dl999"), "v");
    EXPECT_EQ(Setting("dl1000"), "");
    const std::string shown = Shown();
    EXPECT_LT(shown.size(), std::size_t(Tmotd_form::kMaxReplyBytes));
    EXPECT_GT(shown.size(), std::size_t(Tmotd_form::kMaxReplyBytes) - headers.size() - 100);
    EXPECT_EQ(shown.substr(0, 7), "line 0 ");
    // The last line shown is whole.
    const std::string last = shown.substr(shown.rfind('\n') + 1);
    const std::string number = last.substr(5, last.find(' ', 5) - 5);
    EXPECT_EQ(last, "line " + number + " http://example.org/" + number);
}

TEST_F(MotdServiceTest, ProxiesOfTheConfigurationCarryTheHttpRequest)
{
    // Through the HTTP proxy the request names the whole address; the
    // service's own host is never looked up.
    MakeConfig("http://motd.invalid/motd.asp?cmd=", "127.0.0.1:1", [&](Tconfig_form& c) {
        c.useproxies->setChecked(true);
        c.proxyaddr->setText("127.0.0.1");
        c.proxyport->setText(QString::number(service.HttpPort()));
    });
    service.ReplyWith("MOTD\r\nvia proxy");
    Open();
    ASSERT_TRUE(Fetch());
    ASSERT_EQ(service.httpRequests.size(), 1u);
    EXPECT_EQ(service.httpRequests[0].rfind("GET http://motd.invalid/motd.asp?cmd=MOTD%7C", 0), 0u);
    EXPECT_EQ(Shown(), "via proxy");

    // Without an HTTP proxy the SOCKS settings go to the client's socket.
    MakeConfig("http://127.0.0.1:1/motd.asp?cmd=", "127.0.0.1:1", [&](Tconfig_form& c) {
        c.usesocksproxies->setChecked(true);
        c.socksproxyaddr->setText("127.0.0.9");   // an address: no look-up left running at the end
        c.socksproxyuser->setText("sam");
        c.socks4butt->setChecked(true);
    });
    Open();
    const TWSocket& socket = form->Httpmotdcli->CtrlSocket();
    EXPECT_EQ(form->Httpmotdcli->Proxy, "");
    EXPECT_EQ(socket.SocksServer, "127.0.0.9");
    EXPECT_EQ(socket.SocksPort, "1080");
    EXPECT_EQ(socket.SocksLevel, "4");
    EXPECT_EQ(socket.SocksUsercode, "sam");
    EXPECT_TRUE(socket.SocksAuthentication);
}

// --- showing rules, straight through ProcessMotd ------------------------------------

TEST_F(MotdWindowTest, DockedWindowComesForwardOnlyForNewOrExpiredNews)
{
    MakeConfig("http://127.0.0.1:1/motd.asp?cmd=", "127.0.0.1:1");
    TPageControlEx pages;
    pages.addTab(new QWidget, "Lobby");
    auto dockedWindow = [&] {
        Open(false).ManualDock(&pages);
        pages.setCurrentIndex(0);
        return form.get();
    };

    dockedWindow()->ProcessMotd("MOTD\r\nnews one");
    EXPECT_EQ(pages.currentWidget(), form->parentWidget());
    EXPECT_EQ(Shown(), "news one");

    // The next start, the same news: the tab stays behind, the message is loaded.
    dockedWindow()->ProcessMotd("MOTD\r\nnews one");
    EXPECT_EQ(pages.currentIndex(), 0);
    EXPECT_EQ(Shown(), "news one");

    // Expired news comes forward even when it is not new; without header
    // lines nothing is asked.
    dockedWindow()->ProcessMotd("MOTD-EXPIRED\r\nold build");
    EXPECT_EQ(pages.currentWidget(), form->parentWidget());
    dockedWindow()->ProcessMotd("MOTD-EXPIRED\r\nold build");
    EXPECT_EQ(pages.currentWidget(), form->parentWidget());
    EXPECT_TRUE(form->motd_headers.empty());
    EXPECT_TRUE(dialogs.shown.empty());

    // A floating window shows itself whatever the checksum says.
    Open(false).ProcessMotd("MOTD\r\nnews one");
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->HostDockSite(), nullptr);
}

TEST_F(MotdWindowTest, MessageSurvivesDockingAndClosingReturnsToTheLastDock)
{
    MakeConfig("http://127.0.0.1:1/motd.asp?cmd=", "127.0.0.1:1");
    Open(false).ProcessMotd("MOTD\r\n{\\rtf1{\\colortbl;\\red0\\green128\\blue0;}\\qc{\\b\\fs40 Big news}\\par "
                            "{\\cf1 green} caf\\'e9 \\u8364? http://example.org/x\\par}");
    const QString before = form->motd_text->toPlainText();
    TPageControlEx pages;
    form->ManualDock(&pages);
    EXPECT_EQ(form->HostDockSite(), &pages);
    EXPECT_EQ(form->last_dock_site, &pages);
    EXPECT_EQ(form->dock_rtf, nullptr);
    EXPECT_EQ(form->motd_text->toPlainText(), before);
    QTextDocument* doc = form->motd_text->document();
    EXPECT_EQ(FormatAt(doc, 0).fontWeight(), QFont::Bold);
    EXPECT_DOUBLE_EQ(FormatAt(doc, 0).fontPointSize(), 20.0);
    EXPECT_EQ(doc->begin().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(FormatAt(doc, before.indexOf("green")).foreground().color(), QColor(0, 128, 0));
    EXPECT_EQ(FormatAt(doc, before.indexOf("http")).anchorHref(), "http://example.org/x");

    form->ManualFloat();
    EXPECT_TRUE(form->isWindow());
    EXPECT_EQ(pages.count(), 0);
    EXPECT_EQ(form->motd_text->toPlainText(), before);

    // Closing the floating window puts it back where it was docked.
    EXPECT_FALSE(form->close());
    EXPECT_EQ(form->HostDockSite(), &pages);
    EXPECT_EQ(form->motd_text->toPlainText(), before);
    form->ManualFloat();   // before the page control goes
}

// --- the version prompts ----------------------------------------------------------

TEST_F(MotdServiceTest, ExpiredBuildEndsTheProgramWhateverTheAnswers)
{
    struct TCase {
        const char* what;
        std::string headers;
        std::vector<platform::DialogResult> answers;
        std::vector<QString> prompts;   // "" for the download prompt
        bool updater;
        bool browser;
    };
    using platform::DialogResult;
    const std::vector<TCase> cases = {
        {"no new version, Yes", "a=1\r\n", {DialogResult::Yes}, {""}, false, true},
        {"no new version, No", "a=1\r\n", {DialogResult::No}, {""}, false, false},
        {"new version, No", "updatever=2.0\r\n", {DialogResult::No, DialogResult::No}, {kExpiredUpdater, ""}, false, false},
        {"new version, Yes", "updatever=2.0\r\n", {DialogResult::Yes}, {kExpiredUpdater}, true, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        dialogs.shown.clear();
        dialogs.answers.assign(c.answers.begin(), c.answers.end());
        opened.clear();
        modals.clear();
        bool updaterOpened = false;
        onModal = [&](QDialog& dialog) {
            updaterOpened = dynamic_cast<Tupdate_form*>(&dialog) != nullptr;
        };
        service.ReplyWith(c.headers + "MOTD-EXPIRED\r\nThis build is old.");
        Start();
        EXPECT_EQ(RunLoop(), 0) << "the program did not ask to end";
        ASSERT_EQ(dialogs.shown.size(), c.prompts.size());
        for (std::size_t i = 0; i < c.prompts.size(); ++i) {
            EXPECT_EQ(dialogs.shown[i].text, c.prompts[i].isEmpty() ? DownloadPrompt() : c.prompts[i]);
            EXPECT_EQ(dialogs.shown[i].kind, platform::DialogKind::Warning);
            EXPECT_EQ(dialogs.shown[i].buttons, platform::DialogButtons::YesNo);
        }
        EXPECT_EQ(updaterOpened, c.updater);
        EXPECT_EQ(modals.size(), c.updater ? 1u : 0u);
        // The download page opens directly, not through the redirect.
        EXPECT_EQ(opened.size(), c.browser ? 1u : 0u);
        if (c.browser && !opened.empty()) {
            EXPECT_EQ(opened[0].toStdString(), config->linkTable[std::size_t(Tconfig_form::LinkIndex("download"))].url);
        }
        EXPECT_TRUE(form->isVisible());
    }

    // An expired build without header lines is shown, asks nothing, and goes on.
    dialogs.shown.clear();
    service.ReplyWith("MOTD-EXPIRED\r\nThis build is old.");
    Start();
    EXPECT_EQ(RunLoop(), kRequestDone);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(form->isVisible());
}

TEST_F(MotdServiceTest, NewVersionOffersTheUpdaterOnTheSettingsKey)
{
    const std::string info = "updatever=\r\nupdatedesc=Faster lobby\r\ndlcount=1\r\ndl1=http://dl.example/q.exe\r\n";
    // Answer No: nothing else happens; the update information stays stored.
    dialogs.answers = {platform::DialogResult::No};
    service.ReplyWith(info + "MOTD\r\nnews");
    Start();
    EXPECT_EQ(RunLoop(), kRequestDone);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, kNewVersion);
    EXPECT_TRUE(modals.empty());
    EXPECT_EQ(Setting("updatedesc"), "Faster lobby");
    EXPECT_EQ(Setting("dl1"), "http://dl.example/q.exe");

    // Answer Yes: the updater opens modally, with no owner, while a
    // stay-on-top window of the program is a normal one.
    QWidget onTop;
    onTop.setWindowFlag(Qt::WindowStaysOnTopHint);
    onTop.show();
    bool normalWhileOpen = false;
    QWidget* owner = &onTop;
    onModal = [&](QDialog& dialog) {
        normalWhileOpen = !onTop.windowFlags().testFlag(Qt::WindowStaysOnTopHint) && onTop.isVisible();
        owner = dialog.parentWidget();
        Tupdate_form* updater = dynamic_cast<Tupdate_form*>(&dialog);
        ASSERT_NE(updater, nullptr);
        // The key the update information was written to.
        EXPECT_EQ(updater->settings_key, "Software\\Parlevo\\quillet\\scompany");
    };
    dialogs.answers = {platform::DialogResult::Yes};
    dialogs.shown.clear();
    service.ReplyWith(info + "MOTD\r\nnews");
    Start();
    EXPECT_EQ(RunLoop(), kRequestDone);
    EXPECT_EQ(dialogs.shown.size(), 1u);
    ASSERT_EQ(modals.size(), 1u);
    EXPECT_TRUE(normalWhileOpen);
    EXPECT_EQ(owner, nullptr);
    EXPECT_TRUE(onTop.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(onTop.isVisible());
}

// --- what the news may change -------------------------------------------------

TEST_F(MotdServiceTest, UnsignedNewsCannotMoveTheHostsNorTouchTheClientsOwnValues)
{
    platform::RegistryStore::CurrentUser().WriteString("Software\\Parlevo\\quillet\\scompany", "code", "Mine-Mine-Mine-Mine");
    service.ReplyWith("lobbyhost=evil.example\r\nmotdurl=http://evil.example/?cmd=\r\nmotdudp=evil.example\r\n"
                      "webhost=http://evil.example\r\nListHost=evil.example\r\ncode=AAAA-BBBB-CCCC-DDDD\r\n"
                      "newskey=AAAA\r\nmotdck=1\r\nupdatedesc=Spring\r\ndl2sha256=ab\r\nskinsurl=http://s.example\r\n"
                      "MOTD\r\nnews");
    Start();
    ASSERT_TRUE(Fetch());
    for (const char* name : {"lobbyhost", "motdurl", "motdudp", "webhost", "listhost", "newskey"})
        EXPECT_EQ(Setting(name).find("evil"), std::string::npos) << name;
    EXPECT_EQ(Setting("newskey"), "");
    EXPECT_EQ(Setting("code"), "Mine-Mine-Mine-Mine");
    EXPECT_NE(Setting("motdck"), "1");
    EXPECT_EQ(Setting("updatedesc"), "Spring");
    EXPECT_EQ(Setting("dl2sha256"), "ab");
    EXPECT_EQ(Setting("skinsurl"), "http://s.example");
    EXPECT_EQ(Shown(), "news");
}

TEST_F(MotdServiceTest, AFloodOfDatagramsIsOneReplyAndOnePrompt)
{
    service.udpReply = "updatever=2\r\nMOTD\r\nnews";
    service.udpRepeats = 500;
    int prompts = 0;
    dialogs.onShow = [&](const platform::DialogRequest&) {
        ++prompts;
        // The prompt's own loop runs while the rest of the flood arrives.
        platform::ProcessEventsUntil([] { return false; }, 500);
        return platform::DialogResult::No;
    };
    Start(true);
    ASSERT_TRUE(WaitUntil([&] { return prompts > 0; }));
    platform::ProcessEventsUntil([] { return false; }, 500);
    EXPECT_EQ(prompts, 1);
}

// --- signed news --------------------------------------------------------------

class SignedNewsTest : public MotdServiceTest {
protected:
    void SetUp() override
    {
        MotdServiceTest::SetUp();
        std::string error;
        const std::string path = keys.File("news.key");
        publicKey = TNewsKey::Make(path, error).value_or("");
        ASSERT_EQ(publicKey.size(), 44u) << error;
        key = TNewsKey::Load(path, error);
        ASSERT_TRUE(key) << error;
    }
    // The window with the community's key set, against the scripted service.
    void StartWithKey(bool udp = false)
    {
        Start(udp, [&](Tconfig_form& c) { c.WriteSetting("newskey", publicKey); });
        form->OnStatusLine = [this](const std::string& line) { statusLines.push_back(line); };
    }
    std::string Signed(const std::string& reply, int64_t at = std::time(nullptr)) { return key->Sign(reply, at); }

    TempDir keys;
    std::string publicKey;
    std::optional<TNewsKey> key;
    std::vector<std::string> statusLines;
};

TEST_F(SignedNewsTest, WithAKeyOnlySignedNewsIsTakenAndItMayMoveTheHosts)
{
    const std::string moved = "lobbyhost=10.9.8.7:4000\r\nwebhost=http://moved.example\r\ncode=AAAA-BBBB-CCCC-DDDD\r\n"
                              "updatedesc=Signed\r\nMOTD\r\nsigned news";
    // Unsigned, over HTTP: nothing stored, nothing shown, one red line.
    service.ReplyWith("lobbyhost=evil.example\r\nupdatever=9\r\nMOTD\r\nunsigned");
    StartWithKey();
    ASSERT_TRUE(Fetch());
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Setting("motdck"), "");
    EXPECT_EQ(Setting("updatever"), "");
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(statusLines, std::vector<std::string>{"The news could not be verified and was ignored."});

    // Signed: every value but the client's own, the hosts among them.
    statusLines.clear();
    const std::string code = Setting("code");
    const int64_t now = std::time(nullptr);
    service.ReplyWith(Signed(moved, now));
    StartWithKey();
    ASSERT_TRUE(Fetch());
    EXPECT_TRUE(statusLines.empty());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(Shown(), "signed news");
    EXPECT_EQ(Setting("lobbyhost"), "10.9.8.7:4000");
    EXPECT_EQ(config->HostValue("lobbyhost"), "10.9.8.7:4000");   // where the next start connects
    EXPECT_EQ(Setting("webhost"), "http://moved.example");
    EXPECT_EQ(Setting("code"), code);
    EXPECT_EQ(Setting("newssig"), "");
    EXPECT_EQ(Setting("newstime"), std::to_string(now));

    // The same news played again later is older than what was taken: dropped.
    service.udpReply = Signed("lobbyhost=old.example\r\nMOTD\r\nold", now - 60);
    StartWithKey(true);
    ASSERT_TRUE(WaitUntil([&] { return !statusLines.empty(); }));
    EXPECT_EQ(Setting("lobbyhost"), "10.9.8.7:4000");

    // Signed news over UDP is taken too.
    statusLines.clear();
    service.udpReply = Signed("updatedesc=By datagram\r\nMOTD\r\nudp", now + 1);
    form->RequestMotd();
    ASSERT_TRUE(WaitUntil([&] { return Setting("updatedesc") == "By datagram"; }));
    EXPECT_TRUE(statusLines.empty());
}

TEST_F(SignedNewsTest, WithoutAKeySignedNewsKeepsToTheAllowListAndItsLinesAreNoSettings)
{
    service.ReplyWith(Signed("lobbyhost=moved.example\r\nupdatedesc=Fine\r\nMOTD\r\nhello"));
    Start();
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Shown(), "hello");
    EXPECT_EQ(Setting("updatedesc"), "Fine");
    EXPECT_EQ(Setting("lobbyhost"), "");
    EXPECT_EQ(Setting("newssig"), "");
    EXPECT_EQ(Setting("newstime"), "");
}
