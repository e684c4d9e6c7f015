// Moderation in a real parlevod on a real database file, driven by the real
// parlevoctl: bans keep people out and outlive a kill -9, kicks and notices
// reach the clients as notices, a mute is seen by nobody but the muted, and
// the control socket lets in only those it should.
#include "lobbytesthelpers.h"
#include "support/runprogram.h"
#include "support/tempdir.h"
#include "webhttp.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cstring>

namespace {

// A parlevod whose state lives in `dir`, which outlives it.
struct TModeratedServer {
    TModeratedServer(const TempDir& dir)
        : socket(dir.File("control")),
          server({"--state-db", dir.File("state.db"), "--control-socket", dir.File("control")})
    {
    }
    TRunResult Ctl(std::vector<std::string> words)
    {
        words.insert(words.begin(), {TParlevodProcess::BinaryPath("parlevoctl"), "--socket", socket});
        return RunProgram(words, 10000);
    }
    std::string socket;
    TParlevodProcess server;
};

std::string Me()
{
    passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_name : "";
}

// A newcomer is refused with a notice, then closed.
std::optional<std::string> RefusedWith(TParlevodProcess& server, const std::string& name = {})
{
    TLobbyTestClient c;
    if (!c.Connect(server.Port()))
        return std::nullopt;
    if (!name.empty())
        c.Send(cmNameWanted, "\\namewanted\\" + name);
    auto notice = WaitMessage(c);
    if (!notice || !c.WaitClosed(3000))
        return std::nullopt;
    return notice;
}

int ConnectUnix(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(ModerationParlevod, BansKeepPeopleOutAndOutliveAKill)
{
    TempDir dir;
    auto first = std::make_unique<TModeratedServer>(dir);
    TClientPtr alice = Join(first->server, "alice");
    TClientPtr griefer = Join(first->server, "Griefer");

    // A name pattern: the connected player is told and shown the door.
    TRunResult ban = first->Ctl({"ban", "grief*", "--reason", "griefing", "--for", "7d"});
    ASSERT_EQ(ban.exitCode, 0) << ban.err;
    auto notice = WaitMessage(*griefer);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->rfind("You are banned from this lobby: griefing. The ban ends ", 0), 0u) << *notice;
    EXPECT_TRUE(griefer->WaitClosed(3000));
    EXPECT_TRUE(WaitPlayer(*alice, 2, [](const lobby::PlayerRecord& p) { return !p.active; }));
    // ... and a newcomer asking for a matching name at the name request.
    EXPECT_TRUE(RefusedWith(first->server, "GRIEFER_2"));

    // A range, then the server killed the moment parlevoctl returned.
    ASSERT_EQ(first->Ctl({"ban", "127.0.0.0/8", "--reason", "range"}).exitCode, 0);
    kill(first->server.Pid(), SIGKILL);
    alice.reset();
    first.reset();

    TModeratedServer second(dir);
    // Refused before it sends a byte.
    auto refused = RefusedWith(second.server);
    ASSERT_TRUE(refused) << second.server.LogText();
    EXPECT_EQ(*refused, "You are banned from this lobby: range. The ban has no end.");
    TRunResult bans = second.Ctl({"bans"});
    EXPECT_EQ(bans.exitCode, 0);
    EXPECT_NE(bans.out.find("\tgrief*\tuntil "), std::string::npos) << bans.out;
    EXPECT_NE(bans.out.find("\t127.0.0.0/8\tfor ever\t" + Me() + "\trange\n"), std::string::npos) << bans.out;

    // Lifted by its target as written, the range lets people in again; an
    // address of their own keeps them out once more.
    ASSERT_EQ(second.Ctl({"unban", "127.1.2.3/8"}).exitCode, 0);
    TClientPtr bob = Join(second.server, "bob");
    TRunResult one = second.Ctl({"ban", "127.0.0.1"});
    ASSERT_EQ(one.exitCode, 0);
    EXPECT_TRUE(WaitMessage(*bob));
    EXPECT_TRUE(bob->WaitClosed(3000));
    EXPECT_TRUE(RefusedWith(second.server));

    const TWebReply metrics = WebRequest(second.server.ServicePort("motd-http"), "/metrics");
    EXPECT_NE(metrics.body.find("\nparlevod_moderation_bans 2\n"), std::string::npos) << metrics.body;
    EXPECT_NE(metrics.body.find("\nparlevod_moderation_kicks_total 1\n"), std::string::npos) << metrics.body;
    EXPECT_NE(metrics.body.find("\nparlevod_moderation_refused_total 2\n"), std::string::npos) << metrics.body;
    // The id that ban printed lifts it.
    one.out.pop_back();
    EXPECT_EQ(second.Ctl({"unban", one.out}).exitCode, 0);
    Join(second.server, "carol");
}

TEST(ModerationParlevod, KickMuteAndNoticesReachWhomTheyShould)
{
    TempDir dir;
    TModeratedServer s(dir);
    TClientPtr alice = Join(s.server, "alice");
    TClientPtr bob = Join(s.server, "bob");
    TClientPtr carol = Join(s.server, "carol");

    ASSERT_EQ(s.Ctl({"mute", "bob", "--for", "1h"}).exitCode, 0);
    alice->ClearHistory();
    carol->ClearHistory();
    bob->Send(cmChat, "\\chan\\0\\text\\anyone there?");
    bob->Send(cmPrivMsg, "\\to\\" + std::to_string(alice->SelfIndex()) + "\\text\\psst");
    auto echo = bob->WaitFor(cmChat);
    ASSERT_TRUE(echo);
    EXPECT_EQ(LookupValue(echo->param, "text"), "bob: anyone there?");
    // Alice's line comes after bob's would have: nothing of bob's reached carol.
    alice->Send(cmChat, "\\chan\\0\\text\\hello");
    auto line = carol->WaitFor(cmChat);
    ASSERT_TRUE(line);
    EXPECT_EQ(LookupValue(line->param, "text"), "alice: hello");
    EXPECT_EQ(CountType(alice->History(), cmPrivMsg), 0);
    TRunResult players = s.Ctl({"players"});
    EXPECT_NE(players.out.find("\tbob\t127.0.0.1\t0\tmuted\n"), std::string::npos) << players.out;

    ASSERT_EQ(s.Ctl({"notice", "Server", "restarts", "at", "noon"}).exitCode, 0);
    for (TLobbyTestClient* c : {alice.get(), bob.get(), carol.get()})
        EXPECT_EQ(WaitMessage(*c), "Server restarts at noon");
    ASSERT_EQ(s.Ctl({"notice", "--to", "carol", "just you"}).exitCode, 0);
    EXPECT_EQ(WaitMessage(*carol), "just you");

    TRunResult kick = s.Ctl({"kick", "bob", "--reason", "calm down"});
    ASSERT_EQ(kick.exitCode, 0) << kick.err;
    EXPECT_EQ(WaitMessage(*bob), "You have been removed from the lobby by a moderator: calm down");
    EXPECT_TRUE(bob->WaitClosed(3000));
    EXPECT_EQ(CountType(alice->Drain(200), cmMessage), 0);

    // Refusals: nothing changes, the reason on standard error.
    TRunResult nobody = s.Ctl({"kick", "bob"});
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_EQ(nobody.err, "parlevoctl: no player named bob is connected\n");
    EXPECT_EQ(s.Ctl({"ban", "300.1.1.1"}).exitCode, 2);
    EXPECT_EQ(s.Ctl({"mute", "alice", "--for", "forever"}).exitCode, 2);
    TRunResult away = RunProgram({TParlevodProcess::BinaryPath("parlevoctl"), "--socket", dir.File("none"), "bans"},
                                 10000);
    EXPECT_EQ(away.exitCode, 3);

    // The audit log names the moderator's user, refusals included.
    TRunResult log = s.Ctl({"log", "--last", "2"});
    ASSERT_EQ(log.exitCode, 0);
    EXPECT_NE(log.out.find("\t" + Me() + "\tkick\tbob\tcalm down\tkicked\n"), std::string::npos) << log.out;
    EXPECT_NE(log.out.find("\t" + Me() + "\tkick\tbob\t\trefused: no player named bob is connected\n"),
              std::string::npos)
        << log.out;
    EXPECT_TRUE(s.server.WaitForLog("moderation: " + Me() + ": kick bob (calm down): kicked"));
}

TEST(ModerationParlevod, TheControlSocketLetsInOnlyItsOwnersAndCutsOffGarbage)
{
    TempDir dir;
    TModeratedServer s(dir);
    struct stat st{};
    ASSERT_EQ(stat(s.socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    // Someone else, in no group of the socket's, is turned away by the system.
    if (getuid() == 0) {
        pid_t child = fork();
        if (child == 0) {
            chmod(dir.path().c_str(), 0755);
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            int fd = ConnectUnix(s.socket);
            _exit(fd < 0 && errno == EACCES ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    // An endless line is answered and cut off; so is one that never ends.
    int fd = ConnectUnix(s.socket);
    ASSERT_GE(fd, 0);
    std::string flood(10000, 'x');
    send(fd, flood.data(), flood.size(), MSG_NOSIGNAL);
    char buf[256];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, std::size_t(n)).rfind("ERROR the request is longer", 0), 0u);
    close(fd);
    fd = ConnectUnix(s.socket);
    ASSERT_GE(fd, 0);
    send(fd, "players", 7, MSG_NOSIGNAL);
    timeval tv{8, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(recv(fd, buf, sizeof buf, 0), 0);   // closed within the deadline
    close(fd);
    // And the server goes on.
    EXPECT_EQ(s.Ctl({"players", "--json"}).out, "[]\n");
}
