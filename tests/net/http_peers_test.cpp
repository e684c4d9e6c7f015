// THttpCli against real servers and proxies from Debian packages, each
// started by the test on a free port with a configuration of its own.
#include "support/peerservers.h"
#include "support/tempdir.h"
#include "net/HttpProt.h"

#include "platform/eventloop.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <memory>

using platform::ProcessEventsUntil;

namespace {

struct Fetched {
    int status = 0;
    std::string reason, body, location;
    int64_t contentLength = -1;
    int headerEnds = 0, docBegins = 0, docEnds = 0, pieces = 0;
};

// One GET from start to ready.
Fetched Get(const std::string& url, const std::function<void(THttpCli&)>& setup = {})
{
    THttpCli c;
    Fetched f;
    bool done = false;
    c.OnHeaderEnd = [&](THttpCli*) { ++f.headerEnds; };
    c.OnDocBegin = [&](THttpCli*) { ++f.docBegins; };
    c.OnDocData = [&](THttpCli*, const char* data, int len) {
        f.body.append(data, std::size_t(len));
        ++f.pieces;
    };
    c.OnDocEnd = [&](THttpCli*) { ++f.docEnds; };
    c.OnRequestDone = [&](THttpCli*) { done = true; };
    c.URL = url;
    if (setup)
        setup(c);
    c.StartGet();
    EXPECT_TRUE(ProcessEventsUntil([&] { return done; }, 30000)) << url;
    f.status = c.Status();
    f.reason = c.Reason();
    f.location = c.Location();
    f.contentLength = c.ContentLength();
    return f;
}

// nginx with a small, a large, an empty and a server-side-include document,
// a redirect chain and nothing at /missing.
std::unique_ptr<TNginxServer> StartNginx(const std::string& large)
{
    auto nginx = std::make_unique<TNginxServer>(
        "    location = /r1 { return 302 /r2; }\n"
        "    location = /r2 { return 301 http://127.0.0.1:$server_port/small.txt; }\n"
        "    location /ssi/ { ssi on; ssi_types *; }\n");
    nginx->Write("www/small.txt", "hello from nginx\n");
    nginx->Write("www/large.bin", large);
    nginx->Write("www/empty.txt", "");
    nginx->Write("www/ssi/page.txt", "included <!--# echo var=\"server_port\" --> here\n");
    return nginx;
}

void ExpectDocument(const Fetched& f, const std::string& body)
{
    EXPECT_EQ(f.status, 200) << f.reason;
    EXPECT_EQ(f.body.size(), body.size());
    EXPECT_TRUE(f.body == body);
    EXPECT_EQ(f.docBegins, 1);
    EXPECT_EQ(f.docEnds, 1);
}

} // namespace

TEST(HttpPeers, Nginx)
{
    const std::string large = RandomBytes(6 << 20, 1);
    auto nginx = StartNginx(large);

    Fetched f = Get(nginx->Url("/small.txt"));
    ExpectDocument(f, "hello from nginx\n");
    EXPECT_EQ(f.reason, "OK");
    EXPECT_EQ(f.contentLength, 17);

    f = Get(nginx->Url("/large.bin"));
    ExpectDocument(f, large);
    EXPECT_GT(f.pieces, 1);

    // Without a length (the include filter drops it): the close ends it.
    f = Get(nginx->Url("/ssi/page.txt"));
    ExpectDocument(f, "included " + std::to_string(nginx->Port()) + " here\n");
    EXPECT_EQ(f.contentLength, -1);

    f = Get(nginx->Url("/r1"));
    ExpectDocument(f, "hello from nginx\n");
    EXPECT_EQ(f.headerEnds, 3);

    f = Get(nginx->Url("/missing"));
    EXPECT_EQ(f.status, 404);
    EXPECT_EQ(f.reason, "Not Found");
    EXPECT_NE(f.body.find("404 Not Found"), std::string::npos);
    EXPECT_EQ(f.docEnds, 1);

    f = Get(nginx->Url("/empty.txt"));
    EXPECT_EQ(f.status, 200);
    EXPECT_EQ(f.docBegins + f.docEnds, 0);
}

TEST(HttpPeers, PythonHttpServer)
{
    TPythonHttpServer python;
    const std::string large = RandomBytes(3 << 20, 2);
    python.Write("www/large.bin", large);
    python.Write("www/folder/note.txt", "a note");

    ExpectDocument(Get(python.Url("/large.bin")), large);
    // A folder without its "/" is redirected to it.
    Fetched f = Get(python.Url("/folder"));
    EXPECT_EQ(f.status, 200);
    EXPECT_EQ(f.headerEnds, 2);
    EXPECT_NE(f.body.find("note.txt"), std::string::npos);

    f = Get(python.Url("/nothing-here"));
    EXPECT_EQ(f.status, 404);
    EXPECT_EQ(f.reason, "File not found");
    EXPECT_NE(f.body.find("404"), std::string::npos);
    EXPECT_EQ(f.docBegins, 1);
}

TEST(HttpPeers, ThroughTinyproxyWithTheCredentialsItDemands)
{
    const std::string large = RandomBytes(2 << 20, 3);
    auto nginx = StartNginx(large);
    TTinyproxyServer proxy("alice", "s3cret");
    auto viaProxy = [&](const std::string& user, const std::string& password) {
        return [&, user, password](THttpCli& c) {
            c.Proxy = "127.0.0.1";
            c.ProxyPort = std::to_string(proxy.Port());
            c.ProxyUsername = user;
            c.ProxyPassword = password;
        };
    };
    ExpectDocument(Get(nginx->Url("/large.bin"), viaProxy("alice", "s3cret")), large);
    Fetched refused = Get(nginx->Url("/large.bin"), viaProxy("", ""));
    EXPECT_EQ(refused.status, 407);
    EXPECT_EQ(refused.reason, "Proxy Authentication Required");
    EXPECT_EQ(Get(nginx->Url("/large.bin"), viaProxy("alice", "wrong")).status, 401);
}

TEST(HttpPeers, ThroughMicrosocks)
{
    const std::string large = RandomBytes(2 << 20, 4);
    auto nginx = StartNginx(large);
    TMicrosocksServer open;
    TMicrosocksServer guarded("bob", "pw");
    auto viaSocks = [&](uint16_t port, const std::string& user, const std::string& password) {
        return [=](THttpCli& c) {
            TWSocket& s = c.CtrlSocket();
            s.SocksServer = "127.0.0.1";
            s.SocksPort = std::to_string(port);
            s.SocksLevel = "5";
            s.SocksUsercode = user;
            s.SocksPassword = password;
            s.SocksAuthentication = !user.empty();
        };
    };
    ExpectDocument(Get(nginx->Url("/large.bin"), viaSocks(open.Port(), "", "")), large);
    // A name goes to the proxy to be looked up there.
    const std::string byName = "http://localhost:" + std::to_string(nginx->Port()) + "/large.bin";
    ExpectDocument(Get(byName, viaSocks(guarded.Port(), "bob", "pw")), large);

    Fetched refused = Get(nginx->Url("/large.bin"), viaSocks(guarded.Port(), "bob", "nope"));
    EXPECT_EQ(refused.status, 404);
    EXPECT_EQ(refused.reason, "Permission denied (Error #10013)");
}

TEST(HttpPeers, ThroughDanteSocks4)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "danted starts as root";
    const std::string large = RandomBytes(2 << 20, 5);
    auto nginx = StartNginx(large);
    TDanteServer dante;
    ExpectDocument(Get(nginx->Url("/large.bin"),
                       [&](THttpCli& c) {
                           c.CtrlSocket().SocksServer = "127.0.0.1";
                           c.CtrlSocket().SocksPort = std::to_string(dante.Port());
                           c.CtrlSocket().SocksLevel = "4";
                       }),
                   large);
}
