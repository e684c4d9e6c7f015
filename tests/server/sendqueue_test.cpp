// A client's send queue: the newest record of each player and game, one
// rebuild behind them, and what has no slot in arrival order.
#include "sendqueue.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <unordered_map>

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

TFrame F(const std::string& text) { return std::make_shared<const std::string>(text); }

// Everything waiting, as one text.
std::string Waiting(const TSendQueue& q)
{
    std::string_view pieces[256];
    std::size_t n = q.Peek(pieces, 256);
    std::string all;
    for (std::size_t i = 0; i < n; ++i)
        all += pieces[i];
    return all;
}

} // namespace

TEST(SendQueue, ANewerRecordTakesTheWaitingOnesPlaceAndAge)
{
    TSendQueue q;
    q.Push(F("[chat1]"), {}, 10, kNoLimit);
    q.Push(F("[p1 v1]"), {TSlot::Player, 1}, 20, kNoLimit);
    q.Push(F("[g1 v1]"), {TSlot::Game, 1}, 30, kNoLimit);
    q.Push(F("[chat2]"), {}, 40, kNoLimit);
    q.Push(F("[p1 version 2]"), {TSlot::Player, 1}, 50, kNoLimit);
    q.Push(F("[p2 v1]"), {TSlot::Player, 2}, 60, kNoLimit);
    q.Push(F("[g1 v2]"), {TSlot::Game, 1}, 70, kNoLimit);
    EXPECT_EQ(Waiting(q), "[chat1][p1 version 2][g1 v2][chat2][p2 v1]");
    EXPECT_EQ(q.Frames(), 5u);
    EXPECT_EQ(q.Bytes(), Waiting(q).size());
    EXPECT_EQ(q.LooseBytes(), 14u);
    EXPECT_EQ(q.WaitingSince(), 10u);
    q.Consume(7);   // the first chat line
    EXPECT_EQ(q.WaitingSince(), 20u);   // the replaced record kept its place's age
}

TEST(SendQueue, ARecordBeingWrittenGoesOutWholeAndTheNewerOneFollows)
{
    TSendQueue q;
    q.Push(F("[p1 v1]"), {TSlot::Player, 1}, 0, kNoLimit);
    q.Push(F("[chat]"), {}, 0, kNoLimit);
    q.Consume(3);
    q.Push(F("[p1 v2]"), {TSlot::Player, 1}, 0, kNoLimit);
    q.Push(F("[p1 v3]"), {TSlot::Player, 1}, 0, kNoLimit);
    EXPECT_EQ(Waiting(q), " v1][chat][p1 v3]");
    // Once written, a record's slot is free for a new one at the end.
    q.Consume(Waiting(q).size());
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(q.Bytes(), 0u);
    q.Push(F("[p1 v4]"), {TSlot::Player, 1}, 0, kNoLimit);
    EXPECT_EQ(Waiting(q), "[p1 v4]");
}

TEST(SendQueue, OneRebuildWaitsAtMostAlwaysBehindTheRecords)
{
    TSendQueue q;
    q.Push(F("[refresh]"), {TSlot::Refresh, 0}, 0, kNoLimit);
    q.Push(F("[p1]"), {TSlot::Player, 1}, 0, kNoLimit);
    q.Push(F("[refresh]"), {TSlot::Refresh, 0}, 0, kNoLimit);
    q.Push(F("[chat]"), {}, 0, kNoLimit);
    q.Push(F("[p2]"), {TSlot::Player, 2}, 0, kNoLimit);
    q.Push(F("[refresh]"), {TSlot::Refresh, 0}, 0, kNoLimit);
    EXPECT_EQ(Waiting(q), "[p1][chat][p2][refresh]");
    EXPECT_EQ(q.Frames(), 4u);
    EXPECT_EQ(q.Bytes(), Waiting(q).size());
    // One already being written stays; the next goes behind it.
    q.Consume(Waiting(q).size() - 2);
    q.Push(F("[p3]"), {TSlot::Player, 3}, 0, kNoLimit);
    q.Push(F("[refresh]"), {TSlot::Refresh, 0}, 0, kNoLimit);
    EXPECT_EQ(Waiting(q), "h][p3][refresh]");
}

TEST(SendQueue, AGameOpenedAgainAtAClosedGamesIndexComesAfterTheClosing)
{
    TSendQueue q;
    q.Push(F("[g4 old]"), {TSlot::Game, 4}, 0, kNoLimit);
    q.Push(F("[g4 gone]"), {TSlot::GameGone, 4}, 0, kNoLimit);
    q.Push(F("[g4 new]"), {TSlot::Game, 4}, 0, kNoLimit);
    q.Push(F("[g4 newer]"), {TSlot::Game, 4}, 0, kNoLimit);
    EXPECT_EQ(Waiting(q), "[g4 old][g4 gone][g4 newer]");
}

TEST(SendQueue, OnlyFramesWithoutASlotCountAgainstTheLimit)
{
    TSendQueue q;
    EXPECT_TRUE(q.Push(F("0123456789"), {}, 0, 20));
    EXPECT_TRUE(q.Push(F("0123456789"), {}, 0, 20));
    EXPECT_FALSE(q.Push(F("x"), {}, 0, 20));
    EXPECT_EQ(q.Frames(), 2u);
    // A lobby's worth of records waits whatever the limit.
    for (int p = 1; p <= 100; ++p)
        EXPECT_TRUE(q.Push(F(std::string(100, 'p')), {TSlot::Player, p}, 0, 20));
    EXPECT_TRUE(q.Push(F("[refresh]"), {TSlot::Refresh, 0}, 0, 20));
    EXPECT_EQ(q.Bytes(), 20u + 100u * 100u + 9u);
    // Written out, the limit has room again.
    q.Consume(10);
    EXPECT_EQ(q.LooseBytes(), 10u);
    EXPECT_TRUE(q.Push(F("x"), {}, 0, 20));
}

TEST(SendQueue, AStormOfUpdatesWaitsAsOneRecordAPlayerAndGame)
{
    TSendQueue q;
    q.Push(F("[first]"), {}, 0, kNoLimit);
    q.Consume(1);   // a write under way, as with a reader that has stopped
    for (int round = 0; round < 2000; ++round) {
        int p = 1 + round % 50;
        q.Push(F("[player " + std::to_string(p) + " round " + std::to_string(round) + "]"), {TSlot::Player, p},
               uint64_t(round), kNoLimit);
        q.Push(F("[game]"), {TSlot::Game, 1 + round % 5}, uint64_t(round), kNoLimit);
        q.Push(F("[refresh]"), {TSlot::Refresh, 0}, uint64_t(round), kNoLimit);
    }
    EXPECT_EQ(q.Frames(), 1u + 50u + 5u + 1u);
    const std::string all = Waiting(q);
    EXPECT_EQ(all.size(), q.Bytes());
    EXPECT_NE(all.find("[player 50 round 1999]"), std::string::npos);
    EXPECT_EQ(all.find("round 1949]"), std::string::npos);
    EXPECT_EQ(all.substr(all.size() - 9), "[refresh]");
    // Written out in pieces of every size, it leaves nothing behind.
    std::size_t total = all.size(), written = 0, step = 1;
    while (!q.Empty()) {
        std::size_t n = std::min(step++, q.Bytes());
        written += n;
        q.Consume(n);
        EXPECT_EQ(q.Bytes(), total - written);
    }
    EXPECT_EQ(q.Frames(), 0u);
    EXPECT_EQ(q.LooseBytes(), 0u);
}

TEST(SendQueue, TheSlotIndexAgreesWithAMapThroughAddsRemovalsAndClears)
{
    // Keys as the queue makes them: a kind above an index, many sharing runs.
    TSlotIndex index;
    std::unordered_map<uint64_t, uint64_t> model;
    std::mt19937 rng(7);
    for (int step = 0; step < 200000; ++step) {
        uint64_t key = uint64_t(1 + rng() % 3) << 32 | (rng() % 700);
        switch (rng() % 5) {
        case 0:
        case 1:
            index.Set(key, uint64_t(step));
            model[key] = uint64_t(step);
            break;
        case 2:
            index.Erase(key);
            model.erase(key);
            break;
        default: {
            const uint64_t* v = index.Find(key);
            auto it = model.find(key);
            ASSERT_EQ(v != nullptr, it != model.end()) << step;
            if (v) {
                ASSERT_EQ(*v, it->second) << step;
            }
        }
        }
        ASSERT_EQ(index.Size(), model.size());
        if (step % 50000 == 49999) {
            index.Clear();
            model.clear();
        }
    }
    for (auto& [key, value] : model) {
        const uint64_t* v = index.Find(key);
        ASSERT_TRUE(v);
        EXPECT_EQ(*v, value);
    }
}

namespace {

// The queue's rules written out plainly: a list searched from the back.
class TPlainQueue {
public:
    void Push(const std::string& text, TSlot slot)
    {
        auto replaceable = [&](std::size_t i) { return !(i == 0 && sent_ > 0); };
        if (slot.kind == TSlot::Player || slot.kind == TSlot::Game || slot.kind == TSlot::Refresh) {
            for (std::size_t i = list_.size(); i-- > 0;) {
                const TItem& e = list_[i];
                if (slot.kind == TSlot::Game && e.kind == TSlot::GameGone && e.index == slot.index)
                    break;
                if (e.kind != slot.kind || e.index != slot.index)
                    continue;
                if (replaceable(i)) {
                    if (slot.kind != TSlot::Refresh) {
                        list_[i].text = text;
                        return;
                    }
                    list_.erase(list_.begin() + std::ptrdiff_t(i));
                }
                break;
            }
        }
        list_.push_back({text, slot.kind, slot.index});
    }
    void Consume(std::size_t n)
    {
        while (n > 0) {
            std::size_t left = list_.front().text.size() - sent_;
            if (n < left) {
                sent_ += n;
                return;
            }
            n -= left;
            list_.erase(list_.begin());
            sent_ = 0;
        }
    }
    std::string Waiting() const
    {
        std::string all;
        for (const TItem& e : list_)
            all += e.text;
        return all.substr(sent_);
    }
    std::size_t Frames() const { return list_.size(); }

private:
    struct TItem {
        std::string text;
        TSlot::TKind kind;
        int32_t index;
    };
    std::vector<TItem> list_;
    std::size_t sent_ = 0;
};

} // namespace

TEST(SendQueue, ShortAndLongQueuesFollowTheSameRulesAsAPlainList)
{
    // Queues grow past the length at which they index their slots and
    // shrink again, written in pieces of every size along the way.
    std::mt19937 rng(11);
    for (int run = 0; run < 40; ++run) {
        TSendQueue q;
        TPlainQueue plain;
        const int players = 1 + int(rng() % 120);
        const std::size_t high = 10 + rng() % 300;
        bool filling = true;
        for (int step = 0; step < 3000; ++step) {
            if (q.Frames() > high)
                filling = false;
            else if (q.Empty())
                filling = true;
            if (filling || rng() % 3 != 0) {
                const TSlot::TKind kinds[] = {TSlot::None, TSlot::Player, TSlot::Player, TSlot::Game,
                                              TSlot::GameGone, TSlot::Refresh};
                TSlot slot{kinds[rng() % 6], 0};
                slot.index = slot.kind == TSlot::Player ? 1 + int32_t(rng() % uint32_t(players))
                             : slot.kind == TSlot::Game || slot.kind == TSlot::GameGone ? 1 + int32_t(rng() % 8)
                                                                                         : 0;
                const std::string text = "[" + std::to_string(slot.kind) + ":" + std::to_string(slot.index) + " "
                                         + std::to_string(step) + "]";
                q.Push(F(text), slot, 0, kNoLimit);
                plain.Push(text, slot);
            } else {
                const std::size_t n = std::min<std::size_t>(q.Bytes(), 1 + rng() % 60);
                q.Consume(n);
                plain.Consume(n);
            }
            std::string_view pieces[1024];
            std::string all;
            for (std::size_t i = 0, n = q.Peek(pieces, 1024); i < n; ++i)
                all += pieces[i];
            ASSERT_EQ(all, plain.Waiting()) << "run " << run << " step " << step;
            ASSERT_EQ(q.Frames(), plain.Frames()) << "run " << run << " step " << step;
            ASSERT_EQ(q.Bytes(), all.size());
        }
    }
}
