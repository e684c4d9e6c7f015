#include "writescheduler.h"

#include <algorithm>

namespace {

// How far apart the rounds that write the lobby's state are, per connection,
// within the bounds: a round costs a write to every connection that has
// something waiting, so spacing them by the lobby's size holds the rounds to
// at most 10,000 writes a second however big the lobby grows (100
// connections: 10 ms apart; 500: 50 ms; 2,000: 200 ms).
constexpr std::chrono::microseconds kRoundPerConnection(100);
constexpr std::chrono::microseconds kLongestRound(250'000);

} // namespace

std::chrono::microseconds RoundSpacing(std::size_t connections, uint32_t sendWaitMs)
{
    // A record waits for its round, and a frame that waits --send-wait
    // makes its reader a slow one: a round comes well within that time.
    const auto gather = TWriteScheduler::kGather;
    const auto longest = std::min<std::chrono::microseconds>(kLongestRound, std::chrono::milliseconds(sendWaitMs) / 4);
    return std::clamp(int64_t(connections) * kRoundPerConnection, gather,
                      std::max<std::chrono::microseconds>(longest, gather));
}

TWriteScheduler::TWriteScheduler(uint32_t sendWaitMs, TTimers timers, TFind find)
    : sendWaitMs_(sendWaitMs), timers_(std::move(timers)), find_(std::move(find))
{
}

void TWriteScheduler::Queued(TConnId id, TWriteState& s, bool urgent, std::size_t connections, uint64_t nowMs)
{
    if (s.awaitingWritable)
        return;   // written once the socket takes more
    if (!s.inRound) {
        s.inRound = true;
        round_.push_back(id);
        // The lobby's state goes out in rounds, the more players the further
        // apart: every change is told to every player, so a crowd arriving
        // one by one would otherwise cost a write to each player for each
        // arrival. What waits for a round is bounded by the send queues' own
        // rules. A record that changes again within a round is sent once
        // (see TSendQueue), and what a player waits for goes at once all the same.
        if (!roundPending_) {
            roundPending_ = true;
            timers_.round(RoundSpacing(connections, sendWaitMs_));
        }
    }
    if (urgent) {
        // Listed among the first, also when it waits among the others already:
        // its place there is passed over once it has been written.
        if (!s.prompt) {
            s.prompt = true;
            s.due = true;
            if (prompt_.empty())
                promptSince_ = nowMs;
            prompt_.push_back(id);
            RequestSettle();
        }
    } else if (s.queue->Frames() >= kRoundBacklog && !s.due) {
        // A queue that holds a good many records already goes without waiting
        // for the round: one write carries them all the same, and what waits
        // for a round stays small however fast the lobby changes.
        s.due = true;
        due_.push_back(id);
        RequestSettle();
    }
}

void TWriteScheduler::CloseSoon(TConnId id, TWriteState& s, const std::string& reason)
{
    if (s.closing)
        return;
    s.closing = true;
    closes_.emplace_back(id, reason);
    RequestSettle();
}

void TWriteScheduler::RequestSettle(bool gather)
{
    // Waits a moment for what else is on its way: the lines that several
    // clients send at once then go out with one write per receiver instead
    // of one each. A settle left over from a busy turn goes as soon as the
    // handlers already due have run.
    if (settlePending_)
        return;
    settlePending_ = true;
    timers_.settle(gather ? kGather : std::chrono::microseconds(0));
}

void TWriteScheduler::Round()
{
    roundPending_ = false;
    for (TConnId id : round_) {
        TWriteState* s = find_(id);
        if (!s)
            continue;
        s->inRound = false;
        if (!s->due && !s->awaitingWritable && !s->closing && !s->queue->Empty()) {
            s->due = true;
            due_.push_back(id);
        }
    }
    round_.clear();
}

void TWriteScheduler::TakeFrom(std::vector<TConnId>& list, bool prompt, std::size_t& taken)
{
    const std::size_t cap = prompt ? kPromptWritesPerSettle : kWritesPerSettle;
    std::size_t i = 0;
    for (; i < list.size() && taken < cap; ++i, ++taken) {
        TWriteState* s = find_(list[i]);
        // Passed over: gone, written already, or listed among the first.
        if (!s || !s->due || (!prompt && s->prompt))
            continue;
        s->due = false;
        s->prompt = false;
        if (!s->closing)
            writing_.push_back(list[i]);
    }
    list.erase(list.begin(), list.begin() + std::ptrdiff_t(i));
}

const std::vector<TConnId>& TWriteScheduler::TakeWrites()
{
    // What is queued goes out before the closes: closing tells everyone of
    // each departure, and must not hold up what was already on its way.
    // What a player waits for goes first: a burst of the lobby's changes
    // fills the second list, and a chat line does not wait behind it.
    writing_.clear();
    std::size_t taken = 0;   // entries looked at, written or passed over
    TakeFrom(prompt_, true, taken);
    TakeFrom(due_, false, taken);
    return writing_;
}

const std::vector<TConnId>& TWriteScheduler::TakePromptWrites()
{
    writing_.clear();
    std::size_t taken = 0;
    TakeFrom(prompt_, true, taken);
    return writing_;
}

std::vector<std::pair<TConnId, std::string>> TWriteScheduler::TakeCloses()
{
    const std::size_t n = std::min(closes_.size(), kClosesPerSettle);
    std::vector<std::pair<TConnId, std::string>> taken(std::make_move_iterator(closes_.begin()),
                                                       std::make_move_iterator(closes_.begin() + std::ptrdiff_t(n)));
    closes_.erase(closes_.begin(), closes_.begin() + std::ptrdiff_t(n));
    return taken;
}

void TWriteScheduler::SettleDone()
{
    // Whatever the closes brought waits for a turn of its own, behind the
    // handlers already due, so a crowd leaving at once is told in rounds.
    if (!prompt_.empty() || !due_.empty() || !closes_.empty())
        RequestSettle(false);
}

void TWriteScheduler::ReleaseMemory()
{
    std::vector<TConnId>().swap(round_);
    std::vector<TConnId>().swap(prompt_);
    std::vector<TConnId>().swap(due_);
}
