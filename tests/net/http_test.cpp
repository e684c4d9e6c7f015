// THttpCli against scripted HTTP servers on loopback: the request it sends,
// the order of its events, relocations, limits and its own failures.
#include "scriptedpeer.h"
#include "net/HttpProt.h"

#include "text/errors.h"
#include "platform/eventloop.h"

#include <QBuffer>
#include <QCoreApplication>

#include <gtest/gtest.h>

using platform::ProcessEventsUntil;
using namespace std::string_literals;

namespace {

const char* StateName(THttpState s)
{
    static const char* const kNames[] = {"ready", "not connected", "connected", "name lookup",
                                         "lookup done", "waiting header", "waiting body", "aborting"};
    return kNames[s];
}

// The events of one client as short texts, in order; the body collected.
struct HttpLog {
    std::vector<std::string> events;
    std::string body;
    int pieces = 0;
    bool done = false;

    explicit HttpLog(THttpCli& c)
    {
        c.OnStateChange = [this](THttpCli* s) { events.push_back("state "s + StateName(s->HttpState())); };
        c.OnHeaderData = [this](THttpCli* s) { events.push_back("header " + s->HeaderLine()); };
        c.OnHeaderEnd = [this](THttpCli*) { events.push_back("header end"); };
        c.OnLocationChange = [this](THttpCli* s) { events.push_back("location " + s->Location()); };
        c.OnDocBegin = [this](THttpCli*) { events.push_back("doc begin"); };
        c.OnDocData = [this](THttpCli*, const char* data, int len) {
            body.append(data, std::size_t(len));
            ++pieces;
        };
        c.OnDocEnd = [this](THttpCli* s) { events.push_back("doc end "s + StateName(s->HttpState())); };
        c.OnRequestDone = [this](THttpCli*) {
            events.push_back("done");
            done = true;
        };
    }
    int Count(const std::string& e) const { return int(std::count(events.begin(), events.end(), e)); }
};

// A server that reads one request per connection, keeps it and answers with
// `replies[index]` (the last one for any later connection), then closes.
TScriptedPeer::Script Answer(std::vector<std::string> replies)
{
    return [replies](TScriptedPeer& peer, int fd, int index) {
        peer.Keep(TScriptedPeer::ReadUntil(fd, "\r\n\r\n"));
        WriteAll(fd, replies[std::min<std::size_t>(std::size_t(index), replies.size() - 1)]);
    };
}

bool Fetch(THttpCli& c, HttpLog& log, int timeoutMs = 10000)
{
    c.StartGet();
    return ProcessEventsUntil([&] { return log.done; }, timeoutMs);
}

} // namespace

TEST(HttpCli, OneDocumentWithEveryEventInOrder)
{
    TScriptedPeer server(Answer({"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello world"}));
    THttpCli c;
    HttpLog log(c);
    c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/news/today.txt";
    ASSERT_TRUE(Fetch(c, log));
    EXPECT_EQ(server.Kept(), std::vector<std::string>{"GET /news/today.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"});
    EXPECT_EQ(log.events, (std::vector<std::string>{
                              "state not connected", "state name lookup", "state lookup done", "state connected",
                              "state waiting header", "header HTTP/1.0 200 OK", "header Content-Type: text/plain",
                              "header end", "state waiting body", "doc begin", "doc end waiting body",
                              "state ready", "done"}));
    EXPECT_EQ(log.body, "hello world");
    EXPECT_EQ(c.Status(), 200);
    EXPECT_EQ(c.Reason(), "OK");
    EXPECT_EQ(c.BodyCount(), 11);
    EXPECT_EQ(c.ContentType(), "text/plain");
    EXPECT_EQ(c.ReplyHeader(), (std::vector<std::string>{"HTTP/1.0 200 OK", "Content-Type: text/plain"}));
}

TEST(HttpCli, ProxyRequestNamesTheWholeUrlWithCredentials)
{
    TScriptedPeer proxy(Answer({"HTTP/1.0 200 OK\r\n\r\nx"}), 2);
    THttpCli c;
    HttpLog log(c);
    c.URL = "http://files.example:8080/my file.exe";
    c.Proxy = "127.0.0.1";
    c.ProxyPort = std::to_string(proxy.Port());
    c.ProxyUsername = "bob";
    c.ProxyPassword = "pwd";
    c.NoCache = true;
    ASSERT_TRUE(Fetch(c, log));
    log.done = false;
    c.ProxyUsername.clear();   // no user: no credentials, whatever the password
    ASSERT_TRUE(Fetch(c, log));
    EXPECT_EQ(proxy.Kept(), (std::vector<std::string>{
                                "GET http://files.example:8080/my%20file.exe HTTP/1.0\r\nHost: files.example\r\n"
                                "Pragma: no-cache\r\nProxy-Authorization: Basic Ym9iOnB3ZA==\r\n\r\n",
                                "GET http://files.example:8080/my%20file.exe HTTP/1.0\r\nHost: files.example\r\n"
                                "Pragma: no-cache\r\n\r\n"}));
}

TEST(HttpCli, RelocationsAreFollowedAndCounted)
{
    // Absolute, "/"-relative and folder-relative locations; the redirect's
    // own body is never delivered.
    TScriptedPeer server(
        [](TScriptedPeer& peer, int fd, int index) {
            peer.Keep(TScriptedPeer::ReadUntil(fd, "\r\n"));
            const std::string moved = "HTTP/1.1 302 Found\r\nContent-Length: 4\r\nLocation: ";
            const std::string replies[] = {
                moved + "/dir/b\r\n\r\nskip",
                moved + "c?x=1\r\n\r\nskip",
                moved + "http://127.0.0.1:" + std::to_string(peer.Port()) + "/d\r\n\r\nskip",
                "HTTP/1.1 200 OK\r\n\r\nfinal"};
            WriteAll(fd, replies[index]);
        },
        4);
    THttpCli c;
    HttpLog log(c);
    c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/a";
    ASSERT_TRUE(Fetch(c, log));
    EXPECT_EQ(server.Kept(), (std::vector<std::string>{"GET /a HTTP/1.0\r\n", "GET /dir/b HTTP/1.0\r\n",
                                                       "GET /dir/c?x=1 HTTP/1.0\r\n", "GET /d HTTP/1.0\r\n"}));
    EXPECT_EQ(log.Count("header end"), 4);
    EXPECT_EQ(log.Count("doc begin"), 1);
    EXPECT_EQ(log.Count("doc end waiting body"), 1);
    EXPECT_EQ(log.Count("location /dir/b"), 1);
    EXPECT_EQ(log.Count("state not connected"), 4);
    EXPECT_EQ(log.body, "final");
    EXPECT_EQ(c.Status(), 200);
    EXPECT_EQ(c.Relocations(), 3);
    EXPECT_EQ(c.URL, "http://127.0.0.1:" + std::to_string(server.Port()) + "/d");
}

TEST(HttpCli, EndlessRelocationsEndAfterTen)
{
    TScriptedPeer server(Answer({"HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n"}), 20);
    THttpCli c;
    HttpLog log(c);
    c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    ASSERT_TRUE(Fetch(c, log));
    EXPECT_EQ(server.Accepted(), 11);
    EXPECT_EQ(log.Count("location /again"), 10);
    EXPECT_EQ(log.Count("doc begin"), 0);
    EXPECT_EQ(c.Status(), 404);
    EXPECT_EQ(c.Reason(), "Too many relocations");
    EXPECT_EQ(c.HttpState(), httpReady);
}

TEST(HttpCli, TheBodyEndsAtItsLengthOrAtTheClose)
{
    struct Case {
        std::string reply;
        bool serverKeepsOpen;
        std::string body;
        int status;
        std::string reason;
    };
    const Case cases[] = {
        // No length: the close ends it.
        {"HTTP/1.0 200 OK\r\n\r\nall of it", false, "all of it", 200, "OK"},
        // A length ends it without waiting for the close; more is not document.
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", true, "hello", 200, "OK"},
        // Empty bodies raise no document events.
        {"HTTP/1.1 204 No Content\r\n\r\n", false, "", 204, "No Content"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true, "", 200, "OK"},
        // A document cut short is not reported as whole.
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this", false, "only this", 404,
         "Connection closed before the end of the document"},
        {"HTTP/1.1 200 OK\r\nContent-Le", false, "", 404, "Connection closed before the end of the reply header"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.reply);
        TScriptedPeer server([&](TScriptedPeer&, int fd, int) {
            TScriptedPeer::ReadUntil(fd, "\r\n\r\n");
            WriteAll(fd, k.reply);
            if (k.serverKeepsOpen)
                TScriptedPeer::WaitClosed(fd);
        });
        THttpCli c;
        HttpLog log(c);
        c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
        ASSERT_TRUE(Fetch(c, log));
        EXPECT_EQ(log.body, k.body);
        EXPECT_EQ(log.Count("doc begin"), k.body.empty() ? 0 : 1);
        EXPECT_EQ(log.Count("doc end waiting body"), k.body.empty() ? 0 : 1);
        EXPECT_EQ(c.Status(), k.status);
        EXPECT_EQ(c.Reason(), k.reason);
    }
}

TEST(HttpCli, OversizedHeadersEndTheRequest)
{
    // Stops the raise of "HTTP line too long" on its way to the application
    // and notes it.
    struct RaiseCatcher : QObject {
        int seen = 0;
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() != THttpCli::RaiseEventType())
                return false;
            ++seen;
            return true;
        }
    } catcher;
    QCoreApplication::instance()->installEventFilter(&catcher);

    const std::string longLine = "X-Long: " + std::string(http::kMaxLine, 'a') + "\r\n";
    std::string manyLines;
    for (int i = 0; i < 10; ++i)
        manyLines += "X-Many: " + std::string(8000, 'm') + "\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"HTTP/1.0 200 OK\r\n" + longLine + "\r\nbody", "HTTP line too long"},
        {"HTTP/1.0 200 OK\r\n" + manyLines + "\r\nbody", "HTTP header too long"},
    };
    for (const auto& [text, reason] : cases) {
        const std::string reply = text;
        TScriptedPeer server([&](TScriptedPeer&, int fd, int) {
            TScriptedPeer::ReadUntil(fd, "\r\n\r\n");
            WriteAll(fd, reply);
            TScriptedPeer::WaitClosed(fd);
        });
        THttpCli c;
        HttpLog log(c);
        c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
        ASSERT_TRUE(Fetch(c, log));
        EXPECT_EQ(c.Status(), 404);
        EXPECT_EQ(c.Reason(), reason);
        EXPECT_EQ(log.Count("doc begin"), 0);
        ProcessEventsUntil([&] { return catcher.seen > 0; }, 200);
    }
    QCoreApplication::instance()->removeEventFilter(&catcher);
    EXPECT_EQ(catcher.seen, 1);   // the line, not the header, is raised
}

TEST(HttpCli, AbortDuringTheBody)
{
    TScriptedPeer server([](TScriptedPeer& peer, int fd, int) {
        TScriptedPeer::ReadUntil(fd, "\r\n\r\n");
        WriteAll(fd, "HTTP/1.0 200 OK\r\n\r\nfirst part");
        peer.Keep(TScriptedPeer::WaitClosed(fd) ? "closed" : "left open");
    });
    THttpCli c;
    HttpLog log(c);
    c.OnDocData = [&](THttpCli* s, const char*, int) { s->AbortRequest(); };
    c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    ASSERT_TRUE(Fetch(c, log));
    const std::vector<std::string> tail(log.events.end() - 5, log.events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"doc begin", "state aborting", "doc end aborting", "state ready", "done"}));
    EXPECT_EQ(c.Status(), 404);
    EXPECT_EQ(c.Reason(), "Connection aborted on request");
    EXPECT_EQ(c.BodyCount(), 10);
    ProcessEventsUntil([&] { return !server.Kept().empty(); }, 5000);
    EXPECT_EQ(server.Kept(), std::vector<std::string>{"closed"});
    c.AbortRequest();   // ready: nothing happens
    EXPECT_EQ(log.Count("done"), 1);

    // Before the name is even looked up: nothing of the look-up is heard of.
    THttpCli early;
    HttpLog earlyLog(early);
    early.URL = "http://localhost:" + std::to_string(server.Port()) + "/";
    early.StartGet();
    early.AbortRequest();
    ProcessEventsUntil([] { return false; }, 200);
    EXPECT_EQ(earlyLog.events, (std::vector<std::string>{"state not connected", "state name lookup", "state aborting",
                                                         "state ready", "done"}));
    EXPECT_EQ(early.Reason(), "Connection aborted on request");
}

TEST(HttpCli, BusyAndTheClientsOwnFailures)
{
    const std::string refusedPort = std::to_string(UnusedTcpPort());
    const std::pair<std::string, std::string> cases[] = {
        {"http://127.0.0.1:" + refusedPort + "/", "Connection refused (Error #10061)"},
        {"http://nonexistent.invalid/", "can't resolve hostname to IP address"},
        {"http://255.255.255.255/", "can't connect: Network is unreachable (Error #10051)"},
        {"http://127.0.0.1:web/", "'web' is not a valid integer value"},
    };
    for (const auto& [url, reason] : cases) {
        SCOPED_TRACE(url);
        THttpCli c;
        HttpLog log(c);
        c.URL = url;
        c.StartGet();
        try {
            c.StartGet();
            ADD_FAILURE() << "no error";
        } catch (const EError& e) {
            EXPECT_STREQ(e.what(), "HTTP component is busy");
        }
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.done; }, 30000));
        EXPECT_EQ(c.Status(), 404);
        EXPECT_EQ(c.Reason(), reason);
        EXPECT_EQ(log.events.back(), "done");
        EXPECT_EQ(log.Count("state ready"), 1);
        EXPECT_EQ(log.Count("header end"), 0);
    }
}

TEST(HttpCli, BodyStreamGetsTheDocumentOrTheRequestFails)
{
    const std::string doc(300000, 'd');
    TScriptedPeer server(Answer({"HTTP/1.0 200 OK\r\n\r\n" + doc}), 2);
    QBuffer stored;
    stored.open(QIODevice::WriteOnly);
    THttpCli c;
    HttpLog log(c);
    c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    c.BodyStream = &stored;
    ASSERT_TRUE(Fetch(c, log));
    EXPECT_EQ(stored.data().toStdString(), doc);

    // A stream that takes nothing: the request ends as aborted, so the
    // document is not taken as complete.
    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    c.BodyStream = &readOnly;
    HttpLog second(c);
    ASSERT_TRUE(Fetch(c, second));
    EXPECT_EQ(c.Status(), 404);
    EXPECT_EQ(c.Reason().rfind("Can't write the document", 0), 0u) << c.Reason();
    EXPECT_EQ(second.Count("doc end aborting"), 1);
}

TEST(HttpCli, MayBeDestroyedFromItsOwnHandlers)
{
    TScriptedPeer server(Answer({"HTTP/1.0 200 OK\r\n\r\n" + std::string(100000, 'x')}));
    auto* c = new THttpCli;
    bool gone = false;
    c->URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    c->OnDocData = [&](THttpCli* s, const char*, int) {
        delete s;
        gone = true;
    };
    c->StartGet();
    ASSERT_TRUE(ProcessEventsUntil([&] { return gone; }, 5000));
    ProcessEventsUntil([] { return false; }, 100);
}
