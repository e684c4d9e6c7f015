// The live lobby's page, JSON and metrics: rendered from made-up lobbies and
// read back by real readers (Python's HTML and JSON parsers, the Prometheus
// client's text parser), then served by a real parlevod with real players.
#include "lobbypages.h"
#include "lobbytesthelpers.h"
#include "webhttp.h"

#include "support/runprogram.h"

#include <gtest/gtest.h>

namespace {

// Runs a script over `input` with Debian's Python (which has the Prometheus
// client package); its standard output.
std::string Python(const std::string& script, const std::string& input)
{
    TRunResult r = RunProgram({"/usr/bin/python3", "-c", script}, 30000, {}, input);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

// The page as a browser's parser sees it: every tag opened, then the text.
std::string PageTagsAndText(const std::string& html)
{
    return Python(R"(
import sys
from html.parser import HTMLParser
class P(HTMLParser):
    def __init__(self):
        super().__init__(); self.tags = set(); self.text = []
    def handle_starttag(self, tag, attrs): self.tags.add(tag)
    def handle_data(self, data): self.text.append(data)
p = P(); p.feed(sys.stdin.read())
print(' '.join(sorted(p.tags)))
print(''.join(p.text))
)", html);
}

// Prometheus' own reader of the text format: one "name{labels} value" a sample.
std::string MetricSamples(const std::string& text)
{
    return Python(R"(
import sys
from prometheus_client.parser import text_string_to_metric_families
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        labels = ','.join('%s=%s' % kv for kv in sorted(s.labels.items()))
        print('%s{%s} %g' % (s.name, labels, s.value))
)", text);
}

// The JSON read back by Python's parser and told in a plain line each.
std::string JsonSummary(const std::string& json)
{
    return Python(R"(
import json, sys
lobby = json.load(sys.stdin)
for p in lobby['players']:
    print('player', p['index'], p['name'], p['game'])
for g in lobby['games']:
    print('game', g['index'], g['name'], 'host', g['host']['name'],
          'members', '|'.join(m['name'] for m in g['players']),
          g['maxPlayers'], g['inviteOnly'], g['state'])
)", json);
}

const char* const kHostile = "</td><script>alert('x')</script>&amp;";

TLobbySnapshot MadeUpLobby()
{
    TLobbySnapshot lobby;
    lobby.connections = 4;
    lobby.players = {{1, "Ren\xE9", 1}, {2, kHostile, 1}, {3, "Idle \x80", 0}};
    TLobbyGameView game;
    game.index = 1;
    game.name = "Night Raid (2v2)";
    game.host = 1;
    game.members = {1, 2};
    game.maxPlayers = 4;
    game.inviteOnly = true;
    game.inProgress = true;
    lobby.games = {game};
    return lobby;
}

} // namespace

TEST(LobbyTexts, NamesAreEscapedAndBecomeUtf8)
{
    EXPECT_EQ(HtmlText("<b>\"Tom\" & 'Jerry'</b>"), "&lt;b&gt;&quot;Tom&quot; &amp; &#39;Jerry&#39;&lt;/b&gt;");
    EXPECT_EQ(HtmlText("Ren\xE9 \x80"), "Ren\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(JsonText("a\"b\\c\x01<&>"), "\"a\\\"b\\\\c\\u0001\\u003c\\u0026\\u003e\"");
    EXPECT_EQ(JsonText("Ren\xE9"), "\"Ren\xC3\xA9\"");
}

TEST(LobbyPage, ShowsPlayersAndGamesWithNamesAsText)
{
    const std::string html = LobbyPageHtml(MadeUpLobby());
    const std::string seen = PageTagsAndText(html);
    const std::string tags = seen.substr(0, seen.find('\n'));
    // Only the page's own elements: a name never becomes one.
    EXPECT_EQ(tags, "a body footer h1 h2 head header html li main meta p span style table tbody td th thead title tr ul");
    EXPECT_NE(seen.find("Ren\xC3\xA9"), std::string::npos);
    EXPECT_NE(seen.find(kHostile), std::string::npos) << "the hostile name, as text";
    EXPECT_NE(seen.find("Idle \xE2\x82\xAC"), std::string::npos);
    EXPECT_NE(seen.find("Night Raid (2v2) (by invitation)"), std::string::npos);
    EXPECT_NE(seen.find("(2/4)"), std::string::npos);
    EXPECT_NE(seen.find("in progress"), std::string::npos);
    EXPECT_NE(seen.find("3 players online, 1 game open"), std::string::npos);
    EXPECT_NE(html.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
    EXPECT_EQ(html.find("http://"), std::string::npos) << "nothing from elsewhere";
    EXPECT_EQ(html.find("https://"), std::string::npos);

    const std::string empty = PageTagsAndText(LobbyPageHtml({}));
    EXPECT_NE(empty.find("Nobody is online."), std::string::npos);
    EXPECT_NE(empty.find("No games are open."), std::string::npos);
    EXPECT_NE(empty.find("0 players online, 0 games open"), std::string::npos);
}

TEST(LobbyJson, ReadsBackAsTheSameLobby)
{
    EXPECT_EQ(JsonSummary(LobbyJson(MadeUpLobby())),
              "player 1 Ren\xC3\xA9 1\n"
              "player 2 " + std::string(kHostile) + " 1\n"
              "player 3 Idle \xE2\x82\xAC None\n"
              "game 1 Night Raid (2v2) host Ren\xC3\xA9 members Ren\xC3\xA9|" + kHostile + " 4 True in progress\n");
    EXPECT_EQ(JsonSummary(LobbyJson({})), "");
}

TEST(LobbyMetrics, PrometheusReadsEveryFigure)
{
    TServerFigures f;
    f.lobby = MadeUpLobby();
    f.counters.framesIn = 11;
    f.counters.framesOut = 22;
    f.counters.bytesIn = 333;
    f.counters.bytesOut = 4444;
    f.counters.Dropped("closed by the client");
    f.counters.Dropped("closed by the client");
    f.counters.Dropped("more than 1024 bytes of chat and notices waiting (slow reader)");
    f.counters.Dropped("slow reader: a frame waited 30001 ms");
    f.counters.Dropped("10 malformed frames, the last a frame without a type");
    f.counters.Dropped("Connection reset by peer");
    f.listServers = 5;
    f.listProbes = 1;
    const std::string samples = MetricSamples(MetricsText(f));
    for (const char* line : {"parlevod_lobby_connections{} 4", "parlevod_lobby_players{} 3",
                             "parlevod_lobby_games{state=open} 0", "parlevod_lobby_games{state=in_progress} 1",
                             "parlevod_lobby_frames_received_total{} 11", "parlevod_lobby_frames_sent_total{} 22",
                             "parlevod_lobby_received_bytes_total{} 333", "parlevod_lobby_sent_bytes_total{} 4444",
                             "parlevod_lobby_drops_total{reason=client_closed} 2",
                             "parlevod_lobby_drops_total{reason=slow_reader} 2",
                             "parlevod_lobby_drops_total{reason=malformed_frames} 1",
                             "parlevod_lobby_drops_total{reason=other} 1",
                             "parlevod_lobby_drops_total{reason=no_name} 0", "parlevod_list_servers{} 5",
                             "parlevod_list_probes{} 1"})
        EXPECT_NE(samples.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << samples;
}

TEST(LobbyPages, AnswerTheirPathsOnly)
{
    int asked = 0;
    TLobbyPages pages([&] {
        ++asked;
        TServerFigures f;
        f.lobby = MadeUpLobby();
        return f;
    });
    EXPECT_FALSE(pages.Answer("GET", "/motd.asp?cmd=x").has_value());
    EXPECT_FALSE(pages.Answer("GET", "/lobby.json.bak").has_value());
    EXPECT_FALSE(pages.Answer("GET", "/index.html").has_value());
    EXPECT_EQ(asked, 0);

    auto page = pages.Answer("GET", "/?from=site");
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->contentType, "text/html; charset=utf-8");
    auto header = [](const THttpAnswer& a, const std::string& name) {
        for (const auto& [n, v] : a.headers)
            if (n == name)
                return v;
        return std::string();
    };
    EXPECT_EQ(header(*page, "Content-Security-Policy").rfind("default-src 'none';", 0), 0u);
    EXPECT_EQ(header(*page, "X-Content-Type-Options"), "nosniff");

    auto json = pages.Answer("HEAD", "http://lobby.example/LOBBY.json");
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ(json->contentType, "application/json");
    EXPECT_EQ(header(*json, "Access-Control-Allow-Origin"), "*");
    auto metrics = pages.Answer("GET", "/metrics");
    ASSERT_TRUE(metrics.has_value());
    EXPECT_EQ(metrics->contentType, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(asked, 3);

    auto post = pages.Answer("POST", "/");
    ASSERT_TRUE(post.has_value());
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->allow, "GET, HEAD");
    EXPECT_EQ(asked, 3);
}

TEST(LobbyPages, MadeAtMostOnceASecondAndShared)
{
    int asked = 0;
    uint64_t now = 5000;
    TLobbySnapshot lobby = MadeUpLobby();
    TLobbyPages pages(
        [&] {
            ++asked;
            TServerFigures f;
            f.lobby = lobby;
            return f;
        },
        [&] { return now; });
    const std::string first = pages.Answer("GET", "/")->body;
    for (int i = 0; i < 240; ++i)
        ASSERT_EQ(pages.Answer(i % 2 ? "GET" : "HEAD", "/?n=" + std::to_string(i))->body, first);
    EXPECT_EQ(asked, 1);
    // What changed shows within the second.
    lobby.players.pop_back();
    now += 999;
    EXPECT_EQ(pages.Answer("GET", "/")->body, first);
    now += 1;
    EXPECT_NE(pages.Answer("GET", "/")->body, first);
    EXPECT_EQ(asked, 2);
    // Each page is made on its own.
    pages.Answer("GET", "/lobby.json");
    pages.Answer("GET", "/lobby.json");
    pages.Answer("GET", "/metrics");
    EXPECT_EQ(asked, 4);
}

TEST(ParlevodWeb, ServesTheLobbyItHoldsAndCountsWhatHappened)
{
    TParlevodProcess server({"--per-address", "3"});
    const uint16_t web = server.ServicePort("motd-http");
    ASSERT_NE(web, 0);
    TClientPtr host = Join(server, "Hosting");
    TClientPtr guest = Join(server, "<i>Guest</i>");
    ASSERT_TRUE(HostAndJoin(*host, *guest, "Dawn Patrol", 6));
    {
        TLobbyTestClient passing;   // comes and goes without a name
        ASSERT_TRUE(passing.Connect(server.Port()));
        TLobbyTestClient refused;   // one too many from this address
        ASSERT_TRUE(refused.Connect(server.Port()));
        EXPECT_TRUE(refused.WaitClosed(2000));
    }
    ASSERT_TRUE(server.WaitForLog("closed: closed by the client"));

    const TWebReply json = WebRequest(web, "/lobby.json");
    ASSERT_EQ(json.status, 200);
    EXPECT_EQ(JsonSummary(json.body),
              "player 1 Hosting 1\nplayer 2 <i>Guest</i> 1\n"
              "game 1 Dawn Patrol host Hosting members Hosting|<i>Guest</i> 6 False open\n");

    const std::string samples = MetricSamples(WebRequest(web, "/metrics").body);
    for (const char* line : {"parlevod_lobby_connections{} 2", "parlevod_lobby_players{} 2",
                             "parlevod_lobby_games{state=open} 1", "parlevod_lobby_drops_total{reason=client_closed} 1",
                             "parlevod_lobby_drops_total{reason=address_limit} 1"})
        EXPECT_NE(samples.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << samples;
    // Two names, a game, a join: frames both ways and their bytes.
    for (const char* counter : {"frames_received", "frames_sent", "received_bytes", "sent_bytes"})
        EXPECT_EQ(samples.find(std::string("parlevod_lobby_") + counter + "_total{} 0\n"), std::string::npos)
            << counter;

    const TWebReply head = WebRequest(web, "/", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_NE(head.Header("Content-Length"), "0");
    EXPECT_NE(WebRequest(web, "/").body.find("&lt;i&gt;Guest&lt;/i&gt;"), std::string::npos);
    // The message of the day's pages are where they were.
    EXPECT_EQ(WebRequest(web, "/redirect.asp?url=http://example.org/").status, 302);
    EXPECT_EQ(WebRequest(web, "/nothing-here").status, 404);
}
