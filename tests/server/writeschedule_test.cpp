// The lobby service's write schedule and input pacing on their own: the
// timers they ask for are fired by hand, the time is given.
#include "inputpacer.h"
#include "writescheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <memory>

using std::chrono::microseconds;

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Connections with a send queue each, and the timers the scheduler asked for.
struct TScheduleRig {
    std::map<TConnId, std::unique_ptr<TSendQueue>> queues;
    std::map<TConnId, std::unique_ptr<TWriteState>> states;
    std::vector<microseconds> settles, rounds;
    TWriteScheduler scheduler{30'000,
                              {[this](microseconds d) { settles.push_back(d); },
                               [this](microseconds d) { rounds.push_back(d); }},
                              [this](TConnId id) -> TWriteState* {
                                  auto it = states.find(id);
                                  return it == states.end() ? nullptr : it->second.get();
                              }};

    TWriteState& Conn(TConnId id)
    {
        if (!states.count(id)) {
            queues[id] = std::make_unique<TSendQueue>();
            states[id] = std::make_unique<TWriteState>(*queues[id]);
        }
        return *states[id];
    }
    // `frames` frames queued for `id`, then the scheduler told.
    void Queue(TConnId id, bool urgent, std::size_t frames = 1, uint64_t nowMs = 0)
    {
        TWriteState& s = Conn(id);
        for (std::size_t i = 0; i < frames; ++i)
            queues[id]->Push(std::make_shared<const std::string>("[frame]"), {}, 0, kNoLimit);
        scheduler.Queued(id, s, urgent, states.size(), nowMs);
    }
    // A settle as the server runs it: the writes it takes empty their queues.
    std::vector<TConnId> Settle()
    {
        scheduler.SettleFired();
        std::vector<TConnId> written = scheduler.TakeWrites();
        for (TConnId id : written)
            queues[id]->Consume(queues[id]->Bytes());
        return written;
    }
};

} // namespace

// A chat line waits only for the gather; a lobby record waits for the
// round, spaced by the lobby's size; a long backlog does not wait for it.
TEST(WriteScheduler, ChatGoesAfterTheGatherRecordsWithTheirRound)
{
    TScheduleRig rig;
    for (TConnId id = 1; id <= 500; ++id)
        rig.Conn(id);
    rig.Queue(1, false);
    EXPECT_TRUE(rig.settles.empty());
    ASSERT_EQ(rig.rounds, std::vector<microseconds>{RoundSpacing(500, 30'000)});
    rig.Queue(2, true);
    rig.Queue(3, true);
    rig.Queue(4, false, TWriteScheduler::kRoundBacklog);
    EXPECT_EQ(rig.settles, std::vector<microseconds>{TWriteScheduler::kGather}) << "one settle for all";
    EXPECT_EQ(rig.rounds.size(), 1u) << "one round for all";
    EXPECT_EQ(rig.Settle(), (std::vector<TConnId>{2, 3, 4}));

    rig.Conn(5).awaitingWritable = true;   // a full socket is written when it is writable
    rig.Queue(5, true);
    rig.scheduler.Round();
    EXPECT_EQ(rig.Settle(), std::vector<TConnId>{1});
    rig.Queue(1, false);
    EXPECT_EQ(rig.rounds.size(), 2u) << "the next change asks for the next round";
}

// A crowd's records are handled in shares: the rest of the writes and
// closes go in a settle of their own, at once, and a connection closing is
// not written.
TEST(WriteScheduler, ASettleTakesABoundedShareAndAsksAgainAtOnce)
{
    TScheduleRig rig;
    const std::size_t crowd = TWriteScheduler::kWritesPerSettle + 10;
    for (TConnId id = 1; id <= crowd; ++id)
        rig.Queue(id, false, TWriteScheduler::kRoundBacklog);
    for (TConnId id = 1; id <= TWriteScheduler::kClosesPerSettle + 2; ++id)
        rig.scheduler.CloseSoon(id, rig.Conn(id), "gone");
    rig.scheduler.CloseSoon(1, rig.Conn(1), "again");   // once only

    const std::vector<TConnId> first = rig.Settle();
    EXPECT_EQ(first.size(), TWriteScheduler::kWritesPerSettle - TWriteScheduler::kClosesPerSettle - 2);
    EXPECT_EQ(first.front(), TWriteScheduler::kClosesPerSettle + 3);
    EXPECT_EQ(rig.scheduler.TakeCloses().size(), TWriteScheduler::kClosesPerSettle);
    rig.scheduler.SettleDone();
    ASSERT_EQ(rig.settles.back(), microseconds(0));
    EXPECT_EQ(rig.Settle().size(), 10u);
    EXPECT_EQ(rig.scheduler.TakeCloses().size(), 2u);
    rig.scheduler.SettleDone();
    EXPECT_EQ(rig.settles.size(), 2u) << "nothing left, no settle asked";
}

// A burst of the lobby's changes does not hold up a chat line: queues
// with something a player waits for are written first, each once, also
// when they were waiting among the records already.
TEST(WriteScheduler, ChatIsWrittenAheadOfABacklogOfRecords)
{
    TScheduleRig rig;
    const TConnId crowd = 2 * TWriteScheduler::kWritesPerSettle;
    for (TConnId id = 1; id <= crowd; ++id)
        rig.Queue(id, false, TWriteScheduler::kRoundBacklog);
    rig.Queue(crowd, true);
    rig.Queue(crowd + 1, true);
    rig.Queue(7, true);

    std::vector<TConnId> first = rig.Settle();
    ASSERT_LE(first.size(), TWriteScheduler::kWritesPerSettle);
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(std::vector<TConnId>(first.begin(), first.begin() + 3), (std::vector<TConnId>{crowd, crowd + 1, 7}));
    rig.scheduler.SettleDone();
    std::vector<TConnId> all = first, second = rig.Settle();
    all.insert(all.end(), second.begin(), second.end());
    rig.scheduler.SettleDone();
    std::vector<TConnId> third = rig.Settle();
    all.insert(all.end(), third.begin(), third.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "each queue written once";
    EXPECT_EQ(all.size(), crowd + 1);
}

// The settle of a chat line can be queued behind a crowd's input: once
// the line has waited past the gather, the server writes the urgent
// queues alone between two clients' input, and the records keep waiting.
TEST(WriteScheduler, AChatLinePastItsGatherIsOverdueAndGoesWithoutTheRecords)
{
    TScheduleRig rig;
    rig.Queue(1, false, TWriteScheduler::kRoundBacklog, 10);
    EXPECT_FALSE(rig.scheduler.PromptOverdue(100)) << "records alone are never overdue";
    rig.Queue(2, true, 1, 10);
    rig.Queue(3, true, 1, 11);
    EXPECT_FALSE(rig.scheduler.PromptOverdue(10 + TWriteScheduler::kGatherMs)) << "within the gather";
    ASSERT_TRUE(rig.scheduler.PromptOverdue(12));
    EXPECT_EQ(rig.scheduler.TakePromptWrites(), (std::vector<TConnId>{2, 3}));
    EXPECT_FALSE(rig.scheduler.PromptOverdue(100));
    EXPECT_EQ(rig.Settle(), std::vector<TConnId>{1});
}

// A client over its budget rests until it has refilled; one that is over
// it again and again without its socket running dry is a flood.
TEST(InputPacer, RestsUntilRefilledAndDropsAFlood)
{
    TLobbyLimits limits;
    limits.inputRate = 1000;
    limits.inputBurst = 1000;
    limits.inputFloodMs = 100;
    TInputPacer pacer(limits);
    const uint64_t t0 = 1000;
    TInputBudget b = pacer.NewBudget(t0);
    pacer.Read(b, 1500, t0);
    EXPECT_FALSE(pacer.MayRead(b, t0));
    EXPECT_FALSE(pacer.Pause(7, b, t0));
    EXPECT_TRUE(b.paused);
    const uint64_t at = pacer.TimerToSet();
    EXPECT_GE(at, t0 + 500) << "half a second of debt at 1000 bytes a second";
    EXPECT_LE(at, t0 + 502);
    EXPECT_TRUE(pacer.TakeDue(at - 1).empty());
    EXPECT_EQ(pacer.TakeDue(at), std::vector<TConnId>{7});
    EXPECT_TRUE(pacer.MayRead(b, at));

    pacer.Read(b, 1000, at);
    EXPECT_TRUE(pacer.Pause(7, b, at).has_value()) << "over its budget since t0, for over 100 ms";
    pacer.CaughtUp(b);   // its socket was found empty in between: a fresh start
    EXPECT_FALSE(pacer.Pause(7, b, at));

    limits.floodLimit = false;
    TInputPacer unlimited(limits);
    EXPECT_TRUE(unlimited.MayRead(b, at));
}

// One timer serves every resting client: set for the earliest, set again
// only for an earlier one, and after it fires for the next still resting.
TEST(InputPacer, OneTimerForTheEarliestRest)
{
    TLobbyLimits limits;
    limits.inputRate = 1000;
    limits.inputBurst = 1000;
    TInputPacer pacer(limits);
    TInputBudget late = pacer.NewBudget(0), early = pacer.NewBudget(0);
    pacer.Read(late, 3000, 0);   // two seconds of debt
    pacer.Read(early, 1500, 0);  // half a second
    EXPECT_FALSE(pacer.Pause(1, late, 0));
    const uint64_t lateAt = pacer.TimerToSet();
    EXPECT_FALSE(pacer.Pause(2, early, 0));
    const uint64_t earlyAt = pacer.TimerToSet();
    EXPECT_LT(earlyAt, lateAt);
    EXPECT_NE(earlyAt, 0u);
    EXPECT_FALSE(pacer.Pause(3, late, 10));
    EXPECT_EQ(pacer.TimerToSet(), 0u) << "the timer set comes sooner";
    EXPECT_EQ(pacer.TakeDue(earlyAt), std::vector<TConnId>{2});
    EXPECT_EQ(pacer.TimerToSet(), lateAt);
}
