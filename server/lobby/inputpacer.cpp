#include "inputpacer.h"

#include <algorithm>

TInputBudget TInputPacer::NewBudget(uint64_t nowMs) const
{
    TInputBudget b;
    b.bytes = TTokenBucket(limits_.inputRate, limits_.inputBurst, nowMs);
    b.frames = TTokenBucket(limits_.frameRate, limits_.frameBurst, nowMs);
    return b;
}

bool TInputPacer::MayRead(TInputBudget& b, uint64_t nowMs) const
{
    return !limits_.floodLimit || b.bytes.Level(nowMs) > 0;
}

void TInputPacer::Read(TInputBudget& b, std::size_t bytes, uint64_t nowMs) const
{
    b.bytes.Charge(nowMs, double(bytes));
}

bool TInputPacer::TakeFrame(TInputBudget& b, uint64_t nowMs) const
{
    return !limits_.floodLimit || b.frames.Take(nowMs);
}

std::optional<std::string> TInputPacer::Pause(TConnId id, TInputBudget& b, uint64_t nowMs)
{
    if (b.overBudgetSince == 0) {
        b.overBudgetSince = nowMs;
    } else if (nowMs - b.overBudgetSince >= limits_.inputFloodMs) {
        return "input flood: over its input budget for " + std::to_string(nowMs - b.overBudgetSince) + " ms";
    }
    const uint64_t wait = std::max(b.bytes.WaitFor(nowMs, 1), b.frames.WaitFor(nowMs, 1));
    b.paused = true;
    paused_.emplace(nowMs + std::max<uint64_t>(wait, 1), id);
    return std::nullopt;
}

uint64_t TInputPacer::TimerToSet()
{
    if (paused_.empty())
        return 0;
    const uint64_t first = paused_.begin()->first;
    if (timerAt_ != 0 && timerAt_ <= first)
        return 0;
    timerAt_ = first;
    return first;
}

std::vector<TConnId> TInputPacer::TakeDue(uint64_t nowMs)
{
    timerAt_ = 0;
    std::vector<TConnId> due;
    while (!paused_.empty() && paused_.begin()->first <= nowMs) {
        due.push_back(paused_.begin()->second);
        paused_.erase(paused_.begin());
    }
    return due;
}
