// The server list: the master conversation against a master played by the
// test over loopback TCP, and the batches of status queries against
// simulated game servers; the 30-second and 2-second time-outs run on a
// clock the test advances.
#include "gamesim.h"
#include "loopback.h"
#include "manualclock.h"

#include "net/WSockets.h"
#include "platform/eventloop.h"
#include "serverlist/customserverlist.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>

using platform::ProcessEventsUntil;

namespace {

std::vector<TSimServer> Sims(int count, int answerFrom)
{
    std::vector<TSimServer> out;
    for (int i = 0; i < count; ++i) {
        TSimServer s;
        s.reply = SimReply(i, 2, 1, true);
        s.answerFrom = answerFrom;
        out.push_back(std::move(s));
    }
    return out;
}

// The master's end of the connection, played by the test.
struct Master {
    LoopbackListener listener;
    int peer = -1;

    ~Master()
    {
        if (peer >= 0)
            ::close(peer);
    }
    bool Accept()
    {
        peer = listener.Accept();
        if (peer >= 0)
            fcntl(peer, F_SETFL, O_NONBLOCK);
        return peer >= 0;
    }
    void Send(const std::string& text) { ASSERT_TRUE(WriteAll(peer, text)); }
    // What the client sent, once it contains `until`.
    std::string ReceiveUntil(const std::string& until)
    {
        ProcessEventsUntil([&] {
            char buf[4096];
            ssize_t n;
            while ((n = ::read(peer, buf, sizeof buf)) > 0)
                received.append(buf, std::size_t(n));
            return received.find(until) != std::string::npos;
        }, 5000);
        return received;
    }
    void Close()
    {
        ::close(peer);
        peer = -1;
    }
    std::string received;
};

// A list with its events recorded.
struct ListRun {
    ListRun()
    {
        list.OnStatus = [this](TCustomServerList* sender, int32_t percent, const std::string& text) {
            EXPECT_EQ(sender, &list);
            statuses.push_back(text);
            percents.push_back(percent);
            maxActive = std::max(maxActive, list.Active);
        };
        list.OnServerUpdate = [this](TCustomServerList*, TCustomServer* s) {
            ++updates[s];
            maxActive = std::max(maxActive, list.Active);
        };
        list.OnComplete = [this](TCustomServerList*) { ++completes; };
    }

    std::vector<TServerPtr> ServersOf(const TGameSim& sim)
    {
        std::vector<TServerPtr> out;
        for (std::size_t i = 0; i < sim.Count(); ++i)
            out.push_back(list.CreateServer("127.0.0.1", std::to_string(sim.Port(i))));
        return out;
    }
    int Count(const std::string& text) const { return int(std::count(statuses.begin(), statuses.end(), text)); }
    // GetList (or Refresh) against `master`, which takes the connection.
    bool Listen(Master& master, bool refresh = false)
    {
        list.MasterHost = "127.0.0.1";
        list.MasterPort = std::to_string(master.listener.port());
        refresh ? list.Refresh() : list.GetList();
        return master.Accept();
    }
    // The master's greeting; what the list answered, up to its request.
    std::string Greet(Master& master)
    {
        master.Send("\\basic\\\\secure\\ABCDEF");
        return master.ReceiveUntil("\\gamename\\bgate");
    }
    bool WaitComplete(int ms = 5000) { return ProcessEventsUntil([&] { return completes > 0; }, ms); }

    TManualClock clock;
    TKovaBGateServerList list{&clock};
    std::vector<std::string> statuses;
    std::vector<int32_t> percents;
    std::map<TCustomServer*, int> updates;
    int completes = 0;
    int32_t maxActive = 0;
};

std::string IpList(const TGameSim& sim)
{
    std::string text;
    for (std::size_t i = 0; i < sim.Count(); ++i)
        text += "\\ip\\127.0.0.1:" + std::to_string(sim.Port(i));
    return text;
}

} // namespace

TEST(ServerList, InitialValues)
{
    TKovaBGateServerList list;
    EXPECT_EQ(list.State, lsIdle);
    EXPECT_EQ(list.MaxQueries, 10);
    EXPECT_EQ(list.MasterPort, "28900");
    EXPECT_FALSE(list.MasterHost.empty());
    EXPECT_TRUE(list.Filter.empty());
    EXPECT_FALSE(list.ListTimer->Running());
    EXPECT_EQ(list.ServerClass(), &NewServer<TBGateServer>);
    auto server = list.CreateServer("1.2.3.4", "5");
    EXPECT_NE(dynamic_cast<TBGateServer*>(server.get()), nullptr);
    EXPECT_EQ(server->Clock, &list.Clock());
}

TEST(ServerList, TwentyFiveSilentServersTenAtATime)
{
    TGameSim sim(Sims(25, 0));
    sim.Start();
    ListRun run;
    run.list.QueryServers(run.ServersOf(sim));
    EXPECT_EQ(run.list.State, lsQuerying);
    EXPECT_EQ(run.list.Active, 10);   // the first ten start at once
    EXPECT_EQ(run.list.Next, 10);
    EXPECT_EQ(run.clock.RunningTimers(), 10);

    // Each round of ten takes two time-outs; each completion starts the next.
    run.clock.Advance(4000);
    EXPECT_EQ(run.updates.size(), 10u);
    EXPECT_EQ(run.list.Active, 10);
    run.clock.Advance(4000);
    EXPECT_EQ(run.updates.size(), 20u);
    EXPECT_EQ(run.list.Active, 5);
    EXPECT_EQ(run.completes, 0);
    run.clock.Advance(4000);
    EXPECT_EQ(run.updates.size(), 25u);
    EXPECT_EQ(run.completes, 1);
    EXPECT_EQ(run.list.State, lsIdle);
    EXPECT_LE(run.maxActive, 10);

    for (const auto& [server, count] : run.updates) {
        EXPECT_EQ(count, 1);
        EXPECT_FALSE(server->Succeeded);
    }
    EXPECT_EQ(run.Count("Updating Servers"), 25);
    EXPECT_EQ(run.Count("Updates Complete"), 1);
    EXPECT_EQ(run.statuses.back(), "Updates Complete");
    // Percentages of finished queries: 0 for the first ten, then rising.
    EXPECT_EQ(run.percents.front(), 0);
    EXPECT_EQ(run.percents[10], 4);   // the eleventh starts when one of 25 has finished
    EXPECT_TRUE(std::is_sorted(run.percents.begin(), run.percents.end() - 1));
    for (std::size_t i = 0; i < sim.Count(); ++i)
        ASSERT_TRUE(ProcessEventsUntil([&] { return sim.Requests(i) == 2; }, 5000)) << i;
}

TEST(ServerList, AnsweringServersAllReportedOnce)
{
    TGameSim sim(Sims(25, 1));
    sim.Start();
    ListRun run;
    run.list.QueryServers(run.ServersOf(sim));
    ASSERT_TRUE(run.WaitComplete());
    ProcessEventsUntil([] { return false; }, 30);
    EXPECT_EQ(run.completes, 1);
    EXPECT_EQ(run.updates.size(), 25u);
    for (const auto& [server, count] : run.updates) {
        EXPECT_EQ(count, 1);
        EXPECT_TRUE(server->Succeeded);
        EXPECT_EQ(dynamic_cast<TGameServer*>(server)->Players.size(), 2u);
    }
    EXPECT_LE(run.maxActive, 10);
    EXPECT_EQ(run.Count("Updating Servers"), 25);
    EXPECT_EQ(run.Count("Updates Complete"), 1);
}

TEST(ServerList, MasterConversationAndListQueried)
{
    TGameSim sim(Sims(3, 1));
    sim.Start();
    Master master;
    ListRun run;
    run.list.Filter = "\\where\\x";
    ASSERT_TRUE(run.Listen(master));
    EXPECT_EQ(run.list.State, lsListing);
    EXPECT_TRUE(run.list.ListTimer->Running());
    run.Greet(master);
    const std::string sent = master.ReceiveUntil("\\where\\x");
    EXPECT_EQ(sent, "\\gamename\\quillet\\gamever\\01\\location\\0\\validate\\++OOUvW8\\final\\\\queryid\\1.1"
                    "\\list\\\\gamename\\bgate\\where\\x");

    // The list in two pieces, with an entry the list refuses.
    const std::string list = IpList(sim) + "\\ip\\0.1.2.3:5\\final\\";
    master.Send(list.substr(0, 20));
    ASSERT_TRUE(ProcessEventsUntil([&] { return run.list.ListText.size() == 20; }, 5000));
    EXPECT_EQ(run.list.State, lsListing);
    master.Send(list.substr(20));
    ASSERT_TRUE(run.WaitComplete());

    EXPECT_EQ(run.list.Servers.size(), 3u);
    EXPECT_EQ(run.updates.size(), 3u);
    for (const TServerPtr& s : run.list.Servers) {
        EXPECT_TRUE(s->Succeeded);
        EXPECT_NE(dynamic_cast<TBGateServer*>(s.get()), nullptr);
    }
    const std::vector<std::string> expected = {"Server List", "Server List (0)", "Server List (20)",
                                               "Server List (" + std::to_string(list.size()) + ")",
                                               "Updating Servers", "Updating Servers", "Updating Servers",
                                               "Updates Complete"};
    EXPECT_EQ(run.statuses, expected);
    EXPECT_EQ(run.completes, 1);
    EXPECT_FALSE(run.list.ListTimer->Running());

    // More from the master after its list has ended changes nothing.
    master.Send(IpList(sim) + "\\final\\");
    ProcessEventsUntil([] { return false; }, 100);
    EXPECT_EQ(run.list.Servers.size(), 3u);
    EXPECT_EQ(run.completes, 1);
    for (std::size_t i = 0; i < sim.Count(); ++i)
        EXPECT_EQ(sim.Requests(i), 1);
}

TEST(ServerList, EmptyListCompletesAtOnce)
{
    Master master;
    ListRun run;
    ASSERT_TRUE(run.Listen(master));
    run.Greet(master);
    master.Send("\\final\\");
    ASSERT_TRUE(run.WaitComplete());
    EXPECT_EQ(run.statuses, (std::vector<std::string>{"Server List", "Server List (0)", "Server List (7)",
                                                      "Updates Complete"}));
    EXPECT_TRUE(run.list.Servers.empty());
}

TEST(ServerList, RefusedMasterTimesOutAfterThirtySeconds)
{
    ListRun run;
    run.list.MasterHost = "127.0.0.1";
    run.list.MasterPort = std::to_string(UnusedTcpPort());
    run.list.GetList();
    // The refusal is only stored: no handler, no event.
    ASSERT_TRUE(ProcessEventsUntil([&] { return run.list.MasterSocket->LastError() == 10061; }, 5000));
    EXPECT_EQ(run.statuses, (std::vector<std::string>{"Server List"}));
    run.clock.Advance(29999);
    EXPECT_EQ(run.completes, 0);
    run.clock.Advance(1);
    EXPECT_EQ(run.statuses,
              (std::vector<std::string>{"Server List", "List Timed Out", "Aborting Updates", "Updates Complete"}));
    EXPECT_EQ(run.percents, (std::vector<int32_t>{-1, 0, -1, 0}));
    EXPECT_EQ(run.completes, 1);
    EXPECT_TRUE(run.updates.empty());
    EXPECT_EQ(run.list.State, lsIdle);
    run.clock.Advance(60000);
    EXPECT_EQ(run.completes, 1);
}

TEST(ServerList, DataFromTheMasterRestartsTheTimeOut)
{
    Master master;
    ListRun run;
    ASSERT_TRUE(run.Listen(master));
    run.clock.Advance(20000);
    run.Greet(master);
    ASSERT_EQ(run.Count("Server List (0)"), 1);
    run.clock.Advance(29000);
    EXPECT_EQ(run.Count("List Timed Out"), 0);
    run.clock.Advance(1000);
    EXPECT_EQ(run.Count("List Timed Out"), 1);
    EXPECT_EQ(run.completes, 1);
}

TEST(ServerList, AbortWhileListingReportsOnceAndDropsLaterData)
{
    TGameSim sim(Sims(2, 1));
    sim.Start();
    Master master;
    ListRun run;
    ASSERT_TRUE(run.Listen(master));
    run.Greet(master);
    master.Send(IpList(sim));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !run.list.ListText.empty(); }, 5000));

    run.list.Abort();
    run.list.Abort();
    EXPECT_EQ(run.Count("Aborting Updates"), 1);
    // What arrived is parsed, but nothing is queried.
    EXPECT_EQ(run.list.Servers.size(), 2u);
    EXPECT_EQ(run.completes, 1);
    EXPECT_EQ(run.Count("Updating Servers"), 0);
    EXPECT_EQ(run.statuses.back(), "Updates Complete");
    EXPECT_EQ(run.list.MasterSocket->State(), ssClosed);
    ProcessEventsUntil([] { return false; }, 50);
    EXPECT_EQ(sim.Requests(0), 0);
}

TEST(ServerList, AbortWhileQueryingLetsRunningQueriesFinishUnreported)
{
    TGameSim sim(Sims(15, 0));
    sim.Start();
    ListRun run;
    run.list.QueryServers(run.ServersOf(sim));
    run.clock.Advance(2000);
    run.list.Abort();
    EXPECT_EQ(run.completes, 0);
    run.clock.Advance(2000);
    EXPECT_EQ(run.completes, 1);
    EXPECT_TRUE(run.updates.empty());
    EXPECT_EQ(run.list.Active, 0);
    EXPECT_EQ(run.list.Next, 10);   // the last five never started
}

TEST(ServerList, FinalSplitAcrossPiecesWaitsForTheClose)
{
    TGameSim sim(Sims(1, 1));
    sim.Start();
    Master master;
    ListRun run;
    ASSERT_TRUE(run.Listen(master));
    run.Greet(master);
    const std::string text = IpList(sim) + "\\fin";
    master.Send(text);
    ASSERT_TRUE(ProcessEventsUntil([&] { return run.list.ListText.size() == text.size(); }, 5000));
    master.Send("al\\");
    ASSERT_TRUE(ProcessEventsUntil([&] { return run.list.ListText.size() == text.size() + 3; }, 5000));
    EXPECT_EQ(run.list.State, lsListing);
    master.Close();
    ASSERT_TRUE(run.WaitComplete());
    EXPECT_EQ(run.list.Servers.size(), 1u);
    EXPECT_EQ(run.updates.size(), 1u);
}

TEST(ServerList, GetListKeepsEarlierServersAndRefreshForgetsThem)
{
    TGameSim sim(Sims(1, 1));
    sim.Start();
    ListRun run;
    auto once = [&](bool refresh) {
        Master master;
        const int before = run.completes;
        ASSERT_TRUE(run.Listen(master, refresh));
        run.Greet(master);
        master.Send(IpList(sim) + "\\final\\");
        ASSERT_TRUE(ProcessEventsUntil([&] { return run.completes > before; }, 5000));
    };
    once(false);
    once(false);
    EXPECT_EQ(run.list.Servers.size(), 2u);
    once(true);
    EXPECT_EQ(run.list.Servers.size(), 1u);
}

TEST(ServerList, OversizedListEndsWithWhatArrived)
{
    TGameSim sim(Sims(1, 1));
    sim.Start();
    Master master;
    ListRun run;
    ASSERT_TRUE(run.Listen(master));
    run.Greet(master);
    master.Send(IpList(sim) + "\\motd\\");
    fcntl(master.peer, F_SETFL, 0);   // the flood blocks until the list reads
    std::thread flood([&] { WriteAll(master.peer, std::string(TCustomKovaServerList::kMaxListText, 'x')); });
    const bool done = run.WaitComplete(20000);
    ::shutdown(master.peer, SHUT_RDWR);
    flood.join();
    ASSERT_TRUE(done);
    EXPECT_LE(run.list.ListText.size(), TCustomKovaServerList::kMaxListText);
    EXPECT_EQ(run.list.Servers.size(), 1u);
    EXPECT_EQ(run.updates.size(), 1u);
}

TEST(ServerList, DestroyingTheListWhileQueriesRun)
{
    TGameSim sim(Sims(3, 0));
    sim.Start();
    TManualClock clock;
    std::vector<TServerPtr> servers;
    {
        TKovaBGateServerList list(&clock);
        int updates = 0;
        list.OnServerUpdate = [&](TCustomServerList*, TCustomServer*) { ++updates; };
        for (std::size_t i = 0; i < sim.Count(); ++i)
            servers.push_back(list.CreateServer("127.0.0.1", std::to_string(sim.Port(i))));
        list.QueryServers(servers);
    }
    // The servers go on and finish without a list to report to.
    clock.Advance(4000);
    for (const TServerPtr& s : servers)
        EXPECT_FALSE(s->Busy);
}

TEST(ServerList, HandlerMayDestroyTheList)
{
    TGameSim sim(Sims(3, 1));
    sim.Start();
    TManualClock clock;
    auto list = std::make_unique<TKovaBGateServerList>(&clock);
    std::vector<TServerPtr> servers;
    for (std::size_t i = 0; i < sim.Count(); ++i)
        servers.push_back(list->CreateServer("127.0.0.1", std::to_string(sim.Port(i))));
    int updates = 0;
    list->OnServerUpdate = [&](TCustomServerList*, TCustomServer*) {
        ++updates;
        list.reset();
    };
    list->QueryServers(servers);
    ASSERT_TRUE(ProcessEventsUntil([&] { return updates > 0; }, 5000));
    ProcessEventsUntil([&] { return std::none_of(servers.begin(), servers.end(), [](auto& s) { return s->Busy; }); },
                       5000);
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(list, nullptr);
}
