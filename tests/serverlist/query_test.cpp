// The UDP status query of one server against simulated game servers on
// loopback; time-outs run on a clock the test advances.
#include "gamesim.h"
#include "manualclock.h"

#include "platform/eventloop.h"
#include "serverlist/customserver.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

using platform::ProcessEventsUntil;

namespace {

struct QueryRun {
    explicit QueryRun(TSimServer behaviour, bool bgate = false) : sim({std::move(behaviour)})
    {
        sim.Start();
        const std::string port = std::to_string(sim.Port(0));
        if (bgate)
            server = std::make_unique<TBGateServer>("127.0.0.1", port);
        else
            server = std::make_unique<TKovaServer>("127.0.0.1", port);
        server->Clock = &clock;
    }

    void Start()
    {
        server->Query([this](TCustomServer* s) {
            ++done;
            EXPECT_EQ(s, server.get());
        });
    }
    bool WaitDone(int ms = 5000) { return ProcessEventsUntil([&] { return done > 0; }, ms); }
    bool WaitRequests(int n) { return ProcessEventsUntil([&] { return sim.Requests(0) >= n; }, 5000); }

    TManualClock clock;
    TGameSim sim;
    std::unique_ptr<TKovaServer> server;
    int done = 0;
};

std::vector<std::string> RuleNames(const TCustomServer& s)
{
    std::vector<std::string> out;
    for (const TRule& r : s.Rules)
        out.push_back(r.Name);
    return out;
}

} // namespace

TEST(StatusQuery, ReplyInThreeDatagramsCompletesOnTheThird)
{
    TSimServer b;
    b.reply = SimReply(7, 3, 3, false);
    b.straggler = "\\straggler\\1";
    ASSERT_EQ(b.reply.size(), 3u);
    ASSERT_FALSE(HoldsFinal(b.reply[0]));
    ASSERT_FALSE(HoldsFinal(b.reply[1]));
    QueryRun run(b);
    run.Start();
    EXPECT_TRUE(run.server->Busy);
    run.clock.Advance(15);   // the reply is read 15 ms after the request went
    ASSERT_TRUE(run.WaitDone());

    const TKovaServer& s = *run.server;
    EXPECT_TRUE(s.Succeeded);
    EXPECT_FALSE(s.Busy);
    EXPECT_EQ(s.Ping, 15);
    EXPECT_EQ(s.RoundTrip, 15);
    EXPECT_EQ(s.Name, "Sim Server 7");
    EXPECT_EQ(s.MapName, "map2");
    EXPECT_EQ(s.NumPlayers, 3);
    ASSERT_EQ(s.Players.size(), 3u);
    EXPECT_EQ(s.Players[2]->Name, "Player2");
    EXPECT_EQ(dynamic_cast<TKovaPlayer&>(*s.Players[1]).Team, "red");
    // Rules from the first and last datagrams, nothing from the straggler.
    EXPECT_EQ(RuleNames(s), (std::vector<std::string>{"fraglimit", "timelimit"}));
    EXPECT_EQ(run.sim.LastRequest(0), "\\status\\");
    EXPECT_EQ(run.sim.Requests(0), 1);
    EXPECT_EQ(run.clock.RunningTimers(), 0);
    EXPECT_EQ(run.done, 1);
}

TEST(StatusQuery, ServerAnsweringOnlyTheSecondRequest)
{
    TSimServer b;
    b.reply = SimReply(1, 2, 1, true);
    b.answerFrom = 2;
    QueryRun run(b, true);
    run.Start();
    ASSERT_TRUE(run.WaitRequests(1));
    run.clock.Advance(2000);            // first attempt times out, the second starts
    EXPECT_EQ(run.done, 0);
    EXPECT_EQ(run.server->Attempt, 1);
    run.clock.Advance(40);
    ASSERT_TRUE(run.WaitDone());
    EXPECT_TRUE(run.server->Succeeded);
    EXPECT_EQ(run.server->Ping, 40);    // the second attempt's time
    EXPECT_EQ(run.server->Attempt, 0);
    EXPECT_EQ(run.server->Name, "Sim Server 1");
    EXPECT_EQ(run.sim.Requests(0), 2);
    ASSERT_EQ(run.server->Players.size(), 2u);
    EXPECT_EQ(dynamic_cast<TBGatePlayer&>(*run.server->Players[0]).CharClass, "Knight");
}

TEST(StatusQuery, SilentServerReportedAfterTwoTimeOuts)
{
    TSimServer b;
    b.answerFrom = 0;
    QueryRun run(b);
    const uint32_t started = run.clock.Ticks();
    run.Start();
    ASSERT_TRUE(run.WaitRequests(1));
    run.clock.Advance(1999);
    EXPECT_EQ(run.done, 0);
    run.clock.Advance(1);
    ASSERT_TRUE(run.WaitRequests(2));
    EXPECT_EQ(run.done, 0);
    run.clock.Advance(2000);
    EXPECT_EQ(run.done, 1);
    EXPECT_EQ(run.clock.Ticks() - started, 4000u);
    EXPECT_FALSE(run.server->Succeeded);
    EXPECT_FALSE(run.server->Busy);
    EXPECT_EQ(run.server->Ping, 2000);
    EXPECT_EQ(run.server->Name, "");
    EXPECT_EQ(run.server->Attempt, 0);
    EXPECT_EQ(run.clock.RunningTimers(), 0);
    run.clock.Advance(10000);
    EXPECT_EQ(run.done, 1);
}

TEST(StatusQuery, PartialReplyIsParsedAtTheTimeOut)
{
    TSimServer b;
    b.reply = SimReply(3, 1, 2, false);
    b.reply.pop_back();   // the datagram with "\final\" never comes
    QueryRun run(b);
    run.Start();
    ASSERT_TRUE(run.WaitRequests(1));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !run.server->Reply.empty(); }, 5000));
    run.clock.Advance(2000);
    // The retry starts from an empty reply ...
    EXPECT_TRUE(run.server->Reply.empty());
    EXPECT_EQ(run.server->Name, "Sim Server 3");
    ASSERT_TRUE(run.WaitRequests(2));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !run.server->Reply.empty(); }, 5000));
    run.clock.Advance(2000);
    // ... and the record keeps what the last attempt's part said.
    ASSERT_EQ(run.done, 1);
    EXPECT_FALSE(run.server->Succeeded);
    EXPECT_EQ(run.server->Name, "Sim Server 3");
    EXPECT_EQ(run.server->NumPlayers, 1);
}

TEST(StatusQuery, FinalAsTheStartOfAKeyEndsTheReply)
{
    TSimServer b;
    b.reply = {"\\hostname\\Scores\\finalscore\\10"};
    QueryRun run(b);
    run.Start();
    ASSERT_TRUE(run.WaitDone());
    EXPECT_TRUE(run.server->Succeeded);
    EXPECT_EQ(run.server->Name, "Scores");
    EXPECT_EQ(RuleNames(*run.server), (std::vector<std::string>{"finalscore"}));
}

TEST(StatusQuery, SecureRequestCarriesSixRandomCharacters)
{
    TSimServer b;
    b.reply = SimReply(0, 0, 1, false);
    QueryRun run(b);
    run.server->Secure = true;
    run.Start();
    ASSERT_TRUE(run.WaitDone());
    const std::string request = run.sim.LastRequest(0);
    const std::string head = "\\status\\\\secure\\";
    ASSERT_EQ(request.size(), head.size() + 6) << request;
    EXPECT_EQ(request.substr(0, head.size()), head);
    for (char c : request.substr(head.size()))
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << request;
}

TEST(StatusQuery, DestroyingABusyServerEndsItsQuery)
{
    TSimServer b;
    b.reply = SimReply(0, 1, 1, false);
    QueryRun run(b);
    run.Start();
    EXPECT_EQ(run.clock.RunningTimers(), 1);
    run.server.reset();
    EXPECT_EQ(run.clock.RunningTimers(), 0);
    // The reply arrives at a socket that is gone; nothing calls back.
    ASSERT_TRUE(run.WaitRequests(1));
    ProcessEventsUntil([] { return false; }, 50);
    run.clock.Advance(5000);
    EXPECT_EQ(run.done, 0);
}

TEST(StatusQuery, QueryPortThatIsNoNumberEndsByTimeOut)
{
    TManualClock clock;
    TKovaServer server("127.0.0.1", "status");
    server.Clock = &clock;
    int done = 0;
    EXPECT_NO_THROW(server.Query([&](TCustomServer*) { ++done; }));
    clock.Advance(4000);
    EXPECT_EQ(done, 1);
    EXPECT_FALSE(server.Succeeded);
}

TEST(StatusQuery, QueryOfABusyServerLeavesTheRunningOneAlone)
{
    TSimServer b;
    b.answerFrom = 0;
    QueryRun run(b);
    run.Start();
    int second = 0;
    run.server->Query([&](TCustomServer*) { ++second; });
    EXPECT_EQ(run.clock.RunningTimers(), 1);
    run.clock.Advance(4000);
    EXPECT_EQ(run.done, 1);
    EXPECT_EQ(second, 0);
}

TEST(StatusQuery, TheEventLoopTimerEndsAnAttempt)
{
    // The system clock's own timers, with a short time-out on this record.
    TGameSim sim({TSimServer{{}, 0, {}}});
    sim.Start();
    TKovaServer server("127.0.0.1", std::to_string(sim.Port(0)));
    server.Timeout = 60;
    int done = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    server.Query([&](TCustomServer*) { ++done; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return done > 0; }, 5000));
    EXPECT_GE(elapsed.elapsed(), 120);
    EXPECT_FALSE(server.Succeeded);
    // The round trip counts from the request having gone, which is a moment
    // after the attempt's timer started: opening the socket and sending may
    // take a millisecond or more under the sanitizers.
    EXPECT_GE(server.Ping, 40);
    EXPECT_LE(server.Ping, elapsed.elapsed());
    EXPECT_TRUE(ProcessEventsUntil([&] { return sim.Requests(0) == 2; }, 5000));
}
