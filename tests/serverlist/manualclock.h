// A clock for the server-list engine that moves only when a test says so:
// Advance(ms) fires every timer that falls due, in order of due time, with
// the tick count set to that time. Timers may be made, started, stopped
// and destroyed from inside their own handlers.
#pragma once

#include "serverlist/queryclock.h"

#include <algorithm>
#include <memory>
#include <vector>

class TManualClock : public TQueryClock {
public:
    uint32_t Ticks() override { return now_; }

    std::unique_ptr<TQueryTimer> NewTimer() override { return std::make_unique<TTimer>(*this); }

    void Advance(uint32_t ms)
    {
        const uint64_t until = uint64_t(now_) + ms;
        for (;;) {
            TTimer* due = nullptr;
            for (TTimer* t : timers_)
                if (t->running_ && t->due_ <= until && (!due || t->due_ < due->due_))
                    due = t;
            if (!due)
                break;
            now_ = uint32_t(due->due_);
            due->due_ += uint64_t(std::max(due->interval_, 1));
            due->Fire();
        }
        now_ = uint32_t(until);
    }

    // Timers that are counting now.
    int RunningTimers() const
    {
        return int(std::count_if(timers_.begin(), timers_.end(), [](const TTimer* t) { return t->running_; }));
    }

private:
    class TTimer : public TQueryTimer {
    public:
        explicit TTimer(TManualClock& clock) : clock_(clock) { clock_.timers_.push_back(this); }
        ~TTimer() override
        {
            auto& all = clock_.timers_;
            all.erase(std::remove(all.begin(), all.end(), this), all.end());
        }
        void Start(int32_t IntervalMs) override
        {
            interval_ = IntervalMs;
            due_ = uint64_t(clock_.now_) + uint64_t(std::max(IntervalMs, 0));
            running_ = true;
        }
        void Stop() override { running_ = false; }
        bool Running() const override { return running_; }
        void Fire()
        {
            auto handler = OnTimer;   // the handler may destroy this timer
            if (handler)
                handler();
        }

        TManualClock& clock_;
        int32_t interval_ = 0;
        uint64_t due_ = 0;
        bool running_ = false;
    };

    uint32_t now_ = 1000;
    std::vector<TTimer*> timers_;
};
