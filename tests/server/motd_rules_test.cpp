// The message-of-the-day service's rules without sockets: requests, the
// news file, the replies each version gets, the web pages' answers, the
// datagram rate and what goes into the log.
#include "motdmaster.h"
#include "motdrules.h"
#include "newsfile.h"

#include "motd/motdtext.h"
#include "motd/newsverify.h"
#include "newssign.h"
#include "motd/rtfreader.h"
#include "options.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <filesystem>
#include <random>

namespace {

TMotdRequestFields Fields(const std::string& version, bool notify = true)
{
    TMotdRequestFields f;
    f.version = version;
    f.product = "quillet";
    f.email = "secret.mail@example.org";
    f.code = "Ab12-Cd34-Ef56-Gh78";
    f.notify = notify;
    f.realname = "Secret Realname";
    f.age = "77";
    f.zip = "ZIP4242";
    return f;
}

TMotdRequest Request(const std::string& version, bool notify = true)
{
    return *ParseMotdRequest(BuildMotdRequest(Fields(version, notify)));
}

const TNews kNews = ParseNewsFile("# the operator's news\n"
                                  "bannerinterval=60000\n"
                                  "\n"
                                  "updatever=1.6\n"
                                  "updatedesc=Faster lobby\n"
                                  "dlcount=1\n"
                                  "dl1=http://dl.example.org/qp16.exe\n"
                                  "dl1desc=Example mirror\n"
                                  "MOTD\n"
                                  "Welcome!\r\n"
                                  "Second line\r\n");

struct TLogCapture {
    std::vector<std::string> lines;
    TLog Log()
    {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    std::string All() const
    {
        std::string all;
        for (const std::string& l : lines)
            all += l + "\n";
        return all;
    }
};

} // namespace

TEST(MotdRules, RequestsAsTheClientBuildsThem)
{
    TMotdRequestFields f = Fields("150101", false);
    f.distcode = "";
    std::optional<TMotdRequest> r = ParseMotdRequest(BuildMotdRequest(f));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->version, "150101");
    EXPECT_EQ(r->product, "quillet");
    EXPECT_EQ(r->code, "Ab12-Cd34-Ef56-Gh78");
    EXPECT_EQ(r->distcode, "N");
    EXPECT_EQ(r->flag, "1");
    EXPECT_EQ(r->notify, "0");
    EXPECT_EQ(r->zip, "ZIP4242");
    // A bar in the name makes more fields; still a request.
    f.realname = "a|b";
    EXPECT_TRUE(ParseMotdRequest(BuildMotdRequest(f)));
}

TEST(MotdRules, WhatIsNoRequest)
{
    for (std::string text : {"", "MOTD", "MOTD|150101|", "MOTD|150101|quillet|||||||", "motd|150101|q||c|N|1|1||||",
                             "MOTD||q||c|N|1|1||||", "MOTD|15a101|q||c|N|1|1||||", "MOTD|1234567890|q||c|N|1|1||||",
                             "GET / HTTP/1.0\r\n\r\n", "\xFF\xFE|||||||||||||"})
        EXPECT_FALSE(ParseMotdRequest(text)) << text;
    EXPECT_TRUE(ParseMotdRequest("MOTD|1" + std::string(10, '|')));
    EXPECT_FALSE(ParseMotdRequest("MOTD|1" + std::string(9, '|')));
}

TEST(MotdRules, NewsFileHeadersMarkerAndMessage)
{
    EXPECT_EQ(kNews.headers, (std::vector<std::string>{"bannerinterval=60000", "updatever=1.6", "updatedesc=Faster lobby",
                                                      "dlcount=1", "dl1=http://dl.example.org/qp16.exe",
                                                      "dl1desc=Example mirror"}));
    EXPECT_EQ(kNews.body, "Welcome!\r\nSecond line\r\n");

    TNews rtf = ParseNewsFile("a=1\r\nMOTD-EXPIRED\r\n{\\rtf1 x\\par\r\nMOTD\r\n}");
    EXPECT_EQ(rtf.headers, std::vector<std::string>{"a=1"});
    EXPECT_EQ(rtf.body, "{\\rtf1 x\\par\r\nMOTD\r\n}");

    // Without a marker line the whole file is the message.
    TNews bare = ParseNewsFile("Just news.\nMore.\n");
    EXPECT_TRUE(bare.headers.empty());
    EXPECT_EQ(bare.body, "Just news.\nMore.\n");
    EXPECT_TRUE(ParseNewsFile("").body.empty());
}

TEST(MotdRules, UpdateLines)
{
    for (std::string line : {"updatever=1", "UPDATEDESC=x", "updatesize=", "updateurl=http://x", "dlcount=2", "dl1=x",
                             "DL12=x", "dl3desc=x", "dl3DESC=x"})
        EXPECT_TRUE(IsUpdateLine(line)) << line;
    for (std::string line : {"dl=x", "dlx=x", "download=x", "dl1descx=x", "updatevers=x", "motdck=1", "dldesc=x",
                             "bannerinterval=1"})
        EXPECT_FALSE(IsUpdateLine(line)) << line;
}

TEST(MotdRules, VersionRules)
{
    TVersionRules none;
    EXPECT_FALSE(JudgeRequest(Request("000001"), none).expired);
    EXPECT_FALSE(JudgeRequest(Request("000001"), none).update);

    TVersionRules rules{150101, 150200};
    TMotdVerdict old = JudgeRequest(Request("150100"), rules);
    EXPECT_TRUE(old.expired);
    EXPECT_TRUE(old.update);
    TMotdVerdict current = JudgeRequest(Request("150101"), rules);
    EXPECT_FALSE(current.expired);
    EXPECT_TRUE(current.update);
    EXPECT_FALSE(JudgeRequest(Request("150101", false), rules).update);
    TMotdVerdict latest = JudgeRequest(Request("150200"), rules);
    EXPECT_FALSE(latest.expired || latest.update);
    // Compared as numbers, not as texts.
    EXPECT_FALSE(JudgeRequest(Request("99999999"), rules).expired);
    EXPECT_TRUE(JudgeRequest(Request("99999"), rules).expired);
    EXPECT_FALSE(JudgeRequest(Request("00150101"), rules).expired);
}

TEST(MotdRules, RepliesWithAndWithoutTheUpdateLines)
{
    EXPECT_EQ(ComposeMotdReply(kNews, {}), "bannerinterval=60000\r\nMOTD\r\nWelcome!\r\nSecond line\r\n");
    std::string both = ComposeMotdReply(kNews, {true, true});
    EXPECT_EQ(both, "bannerinterval=60000\r\nupdatever=1.6\r\nupdatedesc=Faster lobby\r\ndlcount=1\r\n"
                    "dl1=http://dl.example.org/qp16.exe\r\ndl1desc=Example mirror\r\nMOTD-EXPIRED\r\n"
                    "Welcome!\r\nSecond line\r\n");
    // What the client makes of it.
    TMotdReply seen = SplitMotdReply(both);
    EXPECT_TRUE(seen.expired);
    EXPECT_TRUE(MotdHeaderSettings(seen.headers).newVersion);
    EXPECT_EQ(MotdHeaderValue(seen.headers, "dl1"), "http://dl.example.org/qp16.exe");
    EXPECT_EQ(seen.body, (std::vector<std::string>{"Welcome!", "Second line"}));
}

TEST(MotdRules, NothingToTellIsAnEmptyReply)
{
    EXPECT_EQ(ComposeMotdReply({}, {}), "");
    EXPECT_EQ(ComposeMotdReply({}, {}, 1400), "");
    EXPECT_EQ(ComposeMotdReply({}, {true, false}), "MOTD-EXPIRED\r\n");
    // Update lines the request does not get are nothing either.
    TNews updateOnly = ParseNewsFile("updatever=1.6\ndl1=http://x/y.exe\nMOTD\n");
    EXPECT_EQ(ComposeMotdReply(updateOnly, {}), "");
    EXPECT_EQ(ComposeMotdReply(updateOnly, {false, true}), "updatever=1.6\r\ndl1=http://x/y.exe\r\nMOTD\r\n");
    EXPECT_EQ(ComposeMotdReply(ParseNewsFile("a=1\nMOTD\n"), {}), "a=1\r\nMOTD\r\n");
    EXPECT_EQ(ComposeMotdReply(ParseNewsFile("MOTD\nx"), {}), "MOTD\r\nx");

    TMotdMaster master({}, [](const std::string&) {});
    EXPECT_FALSE(master.Datagram(BuildMotdRequest(Fields("150101")), "10.0.0.1", 0));
    THttpAnswer web = master.Http("GET", "/motd.asp?cmd=" + BuildMotdRequest(Fields("150101")), "10.0.0.1");
    EXPECT_EQ(web.status, 200);
    EXPECT_EQ(web.body, "");
}

TEST(MotdRules, DatagramRepliesCutAtLineEnds)
{
    TNews news;
    news.headers = {"a=" + std::string(20, 'a'), "b=" + std::string(20, 'b')};
    news.body = "line one\r\nline two\nline three\rlast without end";
    // Room for everything.
    EXPECT_EQ(ComposeMotdReply(news, {}, 1400).size(), 22 + 2 + 22 + 2 + 6 + news.body.size());
    // The message loses its last lines first, and the one without a line end
    // goes whenever anything is cut.
    std::string cut = ComposeMotdReply(news, {}, 80);
    EXPECT_EQ(cut, news.headers[0] + "\r\n" + news.headers[1] + "\r\nMOTD\r\nline one\r\nline two\n");
    // Header lines go whole, in order, while they fit; the marker always.
    EXPECT_EQ(ComposeMotdReply(news, {}, 35), news.headers[0] + "\r\nMOTD\r\n");
    EXPECT_EQ(ComposeMotdReply(news, {true, false}, 20), "MOTD-EXPIRED\r\n");
    EXPECT_EQ(ComposeMotdReply(news, {}, 3), "MOTD\r\n");

    // Any message, any room: within it, and the message a whole-line prefix.
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        TNews n;
        for (int i = int(random() % 5); i > 0; --i)
            n.headers.push_back("h" + std::to_string(i) + "=" + std::string(random() % 60, 'v'));
        const char* ends[] = {"\r\n", "\n", "\r"};
        for (int i = int(random() % 40); i > 0; --i)
            n.body += std::string(random() % 90, 'x') + ends[random() % 3];
        std::size_t limit = 20 + random() % 1500;
        std::string reply = ComposeMotdReply(n, {}, limit);
        ASSERT_LE(reply.size(), limit);
        TMotdReply seen = SplitMotdReply(reply);
        std::string message = reply.substr(reply.find("MOTD\r\n") + 6);
        EXPECT_EQ(n.body.compare(0, message.size(), message), 0);
        EXPECT_TRUE(message.empty() || message.back() == '\n' || message.back() == '\r' || message == n.body);
        EXPECT_LE(seen.headers.size(), n.headers.size());
        for (std::size_t i = 0; i < seen.headers.size(); ++i)
            EXPECT_EQ(seen.headers[i], n.headers[i]);
    }
}

TEST(MotdRules, QueryStrings)
{
    EXPECT_EQ(UrlDecode("a+b%7Cc%2B%zz%4"), "a b|c+%zz%4");
    EXPECT_EQ(UrlDecode("%e9%E9%00x"), std::string("\xE9\xE9\0x", 4));
    EXPECT_EQ(QueryValue("cmd=MOTD%7C1&cmd=other", "cmd"), "MOTD|1");
    EXPECT_EQ(QueryValue("product=3&area=5&url=http%3A%2F%2Fx", "url"), "http://x");
    EXPECT_EQ(QueryValue("flag&x=1", "flag"), "");
    EXPECT_FALSE(QueryValue("xcmd=1&cmdx=2", "cmd"));
    EXPECT_FALSE(QueryValue("", "cmd"));
}

TEST(MotdRules, RedirectOnlyToWebAddresses)
{
    EXPECT_EQ(RedirectLocation("http://example.org/a?b=c"), "http://example.org/a?b=c");
    EXPECT_EQ(RedirectLocation("HTTPS://example.org"), "HTTPS://example.org");
    // Nothing that could end the header line or start another.
    EXPECT_EQ(RedirectLocation("http://x.org/a b\r\nSet-Cookie: y\x01\xE9"),
              "http://x.org/a%20b%0D%0ASet-Cookie:%20y%01%E9");
    for (std::string url : {"", "javascript:alert(1)", "ftp://x.org/f", "file:///etc/passwd", "//evil.org",
                            "http:/x.org", "http://", "http:///x", "https://\\evil", " http://x.org",
                            "mailto:a@b", "httpx://a", "data:text/html,x"})
        EXPECT_FALSE(RedirectLocation(url)) << url;
}

TEST(MotdRules, LogSafeText)
{
    EXPECT_EQ(LogSafe("quillet"), "quillet");
    EXPECT_EQ(LogSafe("a\nb\x1B\xE9"), "a?b??");
    EXPECT_EQ(LogSafe(std::string(100, 'x'), 10), "xxxxxxxxxx...");
}

TEST(MotdMaster, WebPages)
{
    TLogCapture log;
    TMotdMaster master({}, log.Log());
    master.SetNews(kNews);
    std::string cmd = "/motd.asp?cmd=" + std::string("MOTD%7C150101%7Cquillet%7C%7Ccode%7CN%7C1%7C1%7C%7C%7C%7C");

    THttpAnswer motd = master.Http("GET", cmd, "10.0.0.1");
    EXPECT_EQ(motd.status, 200);
    EXPECT_EQ(motd.body, ComposeMotdReply(kNews, {}));
    EXPECT_EQ(motd.contentType, "text/plain; charset=windows-1252");
    // Path in any case; the whole address in the target, as through a proxy.
    EXPECT_EQ(master.Http("HEAD", "/MOTD.ASP?" + cmd.substr(10), "10.0.0.1").status, 200);
    EXPECT_EQ(master.Http("GET", "http://motd.example.org:29080" + cmd, "10.0.0.1").body, motd.body);

    EXPECT_EQ(master.Http("GET", "/motd.asp", "10.0.0.1").status, 400);
    EXPECT_EQ(master.Http("GET", "/motd.asp?cmd=hello", "10.0.0.1").status, 400);
    EXPECT_EQ(master.Http("GET", "/", "10.0.0.1").status, 404);
    EXPECT_EQ(master.Http("GET", "/motd.asp.bak?cmd=x", "10.0.0.1").status, 404);
    EXPECT_EQ(master.Http("GET", "http://host", "10.0.0.1").status, 404);
    THttpAnswer post = master.Http("POST", cmd, "10.0.0.1");
    EXPECT_EQ(post.status, 405);
    EXPECT_EQ(post.allow, "GET, HEAD");

    THttpAnswer go = master.Http("GET", "/redirect.asp?product=3&area=5&url=https%3A%2F%2Fexample.org%2Fa%2Bb", "10.0.0.2");
    EXPECT_EQ(go.status, 302);
    EXPECT_EQ(go.location, "https://example.org/a+b");
    THttpAnswer refused = master.Http("GET", "/redirect.asp?product=3&area=5&url=javascript%3Aalert(1)", "10.0.0.2");
    EXPECT_EQ(refused.status, 400);
    EXPECT_TRUE(refused.location.empty());
    EXPECT_EQ(master.Http("GET", "/redirect.asp?product=3&area=5", "10.0.0.2").status, 400);

    // One line a request.
    EXPECT_EQ(log.lines.size(), 12u) << log.All();
    EXPECT_NE(log.All().find("motd http 10.0.0.1 product=quillet version=150101 code=code"), std::string::npos);
    EXPECT_NE(log.All().find("redirect http 10.0.0.2 product=3 area=5 to https://example.org/a+b"), std::string::npos);
}

TEST(MotdMaster, PersonalFieldsAreNeverLogged)
{
    TLogCapture log;
    TMotdMaster master({}, log.Log());
    std::string request = BuildMotdRequest(Fields("150101"));
    std::string encoded;
    for (char c : request)
        encoded += c == '|' ? std::string("%7C") : c == ' ' ? std::string("+") : std::string(1, c);
    master.Http("GET", "/motd.asp?cmd=" + encoded, "10.0.0.1");
    master.Http("GET", "/motd.asp?cmd=" + encoded.substr(0, encoded.size() - 20), "10.0.0.1");   // not a request
    master.Http("GET", "/nothing?cmd=" + encoded, "10.0.0.1");
    master.Datagram(request, "10.0.0.1", 0);
    master.Datagram(request.substr(0, 60), "10.0.0.1", 0);
    master.Datagram(request, "10.0.0.1", 100'000);
    std::string all = log.All();
    EXPECT_NE(all.find("code=Ab12-Cd34-Ef56-Gh78"), std::string::npos);
    for (std::string secret : {"secret", "Secret", "Realname", "77", "ZIP4242", "example.org"})
        EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in\n" << all;
}

TEST(MotdMaster, DatagramsAnsweredOnlyForRequestsAndWithinTheRate)
{
    TLogCapture log;
    TMotdMasterLimits limits;
    limits.udpRate = 2;          // a burst of 4, then 2 a second
    limits.udpAddresses = 3;
    TMotdMaster master(limits, log.Log());
    master.SetNews(kNews);
    const std::string request = BuildMotdRequest(Fields("150101"));

    EXPECT_FALSE(master.Datagram("", "10.0.0.1", 0));
    EXPECT_FALSE(master.Datagram("hello", "10.0.0.1", 0));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(master.Datagram(request, "10.0.0.1", 10)) << i;
    EXPECT_FALSE(master.Datagram(request, "10.0.0.1", 10));
    // Another address has its own share.
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(master.Datagram(request, "10.0.0.2", 10)) << i;
    // Half a second gives one more.
    EXPECT_TRUE(master.Datagram(request, "10.0.0.1", 510));
    EXPECT_FALSE(master.Datagram(request, "10.0.0.1", 520));

    // The table of addresses is bounded: a new one waits until an old one
    // has its whole share back.
    EXPECT_TRUE(master.Datagram(request, "10.0.0.3", 600));
    EXPECT_FALSE(master.Datagram(request, "10.0.0.4", 600));
    EXPECT_LE(master.RateTableSize(), 3u);
    EXPECT_TRUE(master.Datagram(request, "10.0.0.4", 5000));
    EXPECT_LE(master.RateTableSize(), 3u);

    // Unanswered datagrams are told in one line a minute, not one each.
    std::size_t before = log.lines.size();
    for (int i = 0; i < 1000; ++i)
        master.Datagram("junk", "10.0.0.9", 6000 + uint64_t(i));
    EXPECT_EQ(log.lines.size(), before);
    master.Datagram("junk", "10.0.0.9", 70'000);
    ASSERT_EQ(log.lines.size(), before + 1);
    EXPECT_NE(log.lines.back().find("1003 datagrams that were no request and 3 requests over the rate limit"), std::string::npos) << log.lines.back();
}

TEST(MotdMaster, RepliesToAllAddressesHaveABound)
{
    TMotdMasterLimits limits;
    limits.udpRate = 5;
    limits.udpTotalRate = 10;    // a burst of 20, then 10 a second
    limits.udpAddresses = 100'000;
    TMotdMaster master(limits, [](const std::string&) {});
    master.SetNews(kNews);
    const std::string request = BuildMotdRequest(Fields("150101"));
    auto fromMany = [&](int first, int count, uint64_t nowMs) {
        int answered = 0;
        for (int i = first; i < first + count; ++i)
            if (master.Datagram(request, "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250), nowMs))
                ++answered;
        return answered;
    };
    // Each forged source is new, and within its own rate; all of them together are not.
    EXPECT_EQ(fromMany(0, 200, 0), 20);
    EXPECT_EQ(fromMany(200, 200, 100), 1);
    EXPECT_EQ(fromMany(400, 200, 1100), 10);
    // Quiet for two seconds: the whole burst again.
    EXPECT_EQ(fromMany(600, 200, 3100), 20);
}

TEST(MotdMaster, NoRateLimitWhenTurnedOff)
{
    TMotdMasterLimits limits;
    limits.udpRate = 0;
    limits.udpTotalRate = 0;
    TMotdMaster master(limits, [](const std::string&) {});
    master.SetNews(kNews);
    const std::string request = BuildMotdRequest(Fields("150101"));
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(master.Datagram(request, "10.0.0.1", 0));
    EXPECT_EQ(master.RateTableSize(), 0u);
}

TEST(NewsFile, ReadAgainWhenItChanges)
{
    TempDir dir;
    std::string path = dir.Write("news.txt", "a=1\nMOTD\nfirst\n");
    TLogCapture log;
    TNewsFile file(path, log.Log());
    std::string error;
    ASSERT_TRUE(file.Load(error)) << error;
    EXPECT_EQ(file.News().body, "first\n");
    EXPECT_FALSE(file.Refresh(0));

    // Replaced by another file (as editors save), with the same size.
    std::string next = dir.Write("news.new", "a=2\nMOTD\nsecnd\n");
    std::filesystem::rename(next, path);
    EXPECT_FALSE(file.Refresh(500));   // looked less than a second ago
    EXPECT_TRUE(file.Refresh(1000));
    EXPECT_EQ(file.News().headers, std::vector<std::string>{"a=2"});
    EXPECT_FALSE(file.Refresh(2000));

    // Gone, or too large: the last news stays, told once.
    std::filesystem::remove(path);
    EXPECT_FALSE(file.Refresh(3000));
    EXPECT_FALSE(file.Refresh(4000));
    EXPECT_EQ(file.News().body, "secnd\n");
    dir.Write("news.txt", std::string(TNewsFile::kMaxBytes + 1, 'x'));
    EXPECT_FALSE(file.Refresh(5000));
    EXPECT_EQ(file.News().body, "secnd\n");
    dir.Write("news.txt", "MOTD\nback\n");
    EXPECT_TRUE(file.Refresh(6000));
    EXPECT_EQ(file.News().body, "back\n");
    std::string all = log.All();
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 5) << all;
    EXPECT_NE(all.find("No such file"), std::string::npos);
    EXPECT_NE(all.find("larger than"), std::string::npos);
}

TEST(NewsFile, ProblemsAtStart)
{
    TempDir dir;
    std::string error;
    TNewsFile missing(dir.File("none.txt"), [](const std::string&) {});
    EXPECT_FALSE(missing.Load(error));
    EXPECT_NE(error.find("No such file"), std::string::npos);
    TNewsFile folder(dir.path(), [](const std::string&) {});
    EXPECT_FALSE(folder.Load(error));
    TNewsFile none("", [](const std::string&) {});
    EXPECT_TRUE(none.Load(error));
    EXPECT_FALSE(none.Refresh(5000));
    EXPECT_EQ(ComposeMotdReply(none.News(), {}), "");
    TNewsFile empty(dir.Write("empty.txt", ""), [](const std::string&) {});
    EXPECT_TRUE(empty.Load(error));
}

TEST(NewsFile, Utf8BecomesThePlayersCodePage)
{
    EXPECT_EQ(NewsFileText("\xEF\xBB\xBFMOTD\nCaf\xC3\xA9 \xE2\x82\xAC 5 \xE2\x98\x83"), "MOTD\nCaf\xE9 \x80 5 ?");
    // Already in the code page (not UTF-8): byte for byte.
    EXPECT_EQ(NewsFileText("Caf\xE9 \x80 \xC3"), "Caf\xE9 \x80 \xC3");
    EXPECT_EQ(NewsFileText("plain"), "plain");
}

TEST(MotdOptions, ParsedAndChecked)
{
    TServerOptions o = ParseOptions({"--http-port", "0", "--motd-udp-port", "4000", "--motd-file", "news.txt",
                                     "--min-version", "150101", "--latest-version", "000200",
                                     "--http-max-connections", "9", "--http-idle", "500", "--motd-udp-rate", "0"});
    EXPECT_EQ(o.motd.httpPort, 0);
    EXPECT_EQ(o.motd.udpPort, 4000);
    EXPECT_EQ(o.motd.file, "news.txt");
    EXPECT_EQ(o.motd.minVersion, 150101u);
    EXPECT_EQ(o.motd.latestVersion, 200u);
    EXPECT_EQ(o.motd.maxConnections, 9u);
    EXPECT_EQ(o.motd.idleMs, 500u);
    EXPECT_EQ(o.motd.udpRate, 0u);
    TServerOptions d = ParseOptions({});
    EXPECT_EQ(d.motd.httpPort, 29080);
    EXPECT_EQ(d.motd.udpPort, 25636);
    for (std::string bad : {"1.5", "abc", "", "-1", "1234567890", "$10"})
        EXPECT_THROW(ParseOptions({"--min-version", bad}), std::invalid_argument) << bad;
    EXPECT_THROW(ParseOptions({"--http-port", "70000"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--http-max-connections", "0"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--motd-file"}), std::invalid_argument);
    EXPECT_NE(UsageText().find("--motd-file FILE"), std::string::npos);
}

TEST(NewsFile, TheSampleShipsAsRtfNews)
{
    TNewsFile sample(QP_SOURCE_DIR "/server/motd/sample-news.txt", [](const std::string&) {});
    std::string error;
    ASSERT_TRUE(sample.Load(error)) << error;
    EXPECT_EQ(sample.News().headers, std::vector<std::string>{"bannerinterval=300000"});
    TMotdReply seen = SplitMotdReply(ComposeMotdReply(sample.News(), {}));
    EXPECT_TRUE(seen.rtf);
    TRtfDocument doc = ReadRtf(seen.BodyText());
    EXPECT_TRUE(doc.rtf);
    EXPECT_FALSE(doc.truncated || doc.tooDeep);
    EXPECT_EQ(doc.paragraphs.at(0).runs.at(0).text, "Welcome to Quillet Peer");
    EXPECT_TRUE(doc.paragraphs.at(0).runs.at(0).format.bold);
    EXPECT_EQ(doc.paragraphs.at(0).align, TRtfAlign::Centre);
}

TEST(MotdMaster, WithANewsKeyEveryReplyIsSignedAndADatagramStaysWithinItsSize)
{
    TempDir dir;
    std::string error;
    const std::string pub = TNewsKey::Make(dir.File("news.key"), error).value_or("");
    ASSERT_EQ(pub.size(), 44u) << error;
    TMotdMaster master({}, [](const std::string&) {});
    master.SetNewsKey(TNewsKey::Load(dir.File("news.key"), error));
    master.wallClock = [] { return int64_t(1'800'000'000); };
    TNews news;
    news.headers = {"updatedesc=" + std::string(200, 'd')};
    for (int i = 0; i < 60; ++i)
        news.body += "line " + std::to_string(i) + " of a long message\r\n";
    master.SetNews(news);
    const std::string request = BuildMotdRequest(Fields("150101"));

    // The client pads its datagram so that the reply may fill a whole one.
    const std::optional<std::string> datagram = master.Datagram(PadMotdDatagram(request), "10.0.0.1", 0);
    ASSERT_TRUE(datagram);
    EXPECT_LE(datagram->size(), 1400u);
    EXPECT_GT(datagram->size(), 1300u);
    EXPECT_EQ(datagram->rfind("newssig=", 0), 0u);
    TNewsVerdict verdict = VerifyNews(*datagram, pub, 0, 1'800'000'000);
    EXPECT_EQ(verdict.check, TNewsCheck::Verified);
    EXPECT_EQ(verdict.time, 1'800'000'000);
    // The two lines: "newssig=" and 88 characters, "newstime=" and 10 digits, each with CR LF.
    EXPECT_EQ(TNewsKey::Overhead(1'800'000'000), 119u);
    EXPECT_EQ(WithoutSignatureLines(*datagram), ComposeMotdReply(news, {}, 1400 - 119));

    const THttpAnswer web = master.Http("GET", "/motd.asp?cmd=" + request, "10.0.0.1");
    EXPECT_EQ(VerifyNews(web.body, pub, 0, 1'800'000'000).check, TNewsCheck::Verified);
    EXPECT_EQ(WithoutSignatureLines(web.body), ComposeMotdReply(news, {}));
}
