// Rates with a burst, on a millisecond clock the caller passes in, so every
// rule built on them can be driven by a test's own clock.
#pragma once

#include <cstdint>
#include <string>

// A token bucket: `burst` tokens at most, refilled at `rate` a second. It
// starts full.
class TTokenBucket {
public:
    TTokenBucket() = default;
    TTokenBucket(double rate, double burst, uint64_t nowMs);

    // Takes `n` tokens when that many are there; otherwise takes none.
    bool Take(uint64_t nowMs, double n = 1);
    // Takes `n` tokens whatever is there: the bucket may go into debt, which
    // the refill pays off before anything can be taken again.
    void Charge(uint64_t nowMs, double n);
    double Level(uint64_t nowMs);
    // Milliseconds from `nowMs` until the bucket holds at least `n` tokens
    // (0 when it does already).
    uint64_t WaitFor(uint64_t nowMs, double n = 1);

private:
    void Refill(uint64_t nowMs);

    double rate_ = 1;
    double burst_ = 1;
    double tokens_ = 1;
    uint64_t at_ = 0;
};

// Log lines about one subject (a connection, a player): a burst of them,
// then `perMinute` a minute. Lines over that are held back and counted; the
// count goes out with the next line that passes, and with the last one.
class TLogBudget {
public:
    TLogBudget() = default;
    TLogBudget(uint32_t perMinute, uint64_t nowMs);

    // True when `line` is to be written now; it then carries the count of
    // the lines held back before it. False: held back and counted.
    bool Pass(std::string& line, uint64_t nowMs);
    // The subject's last line: always written, with the count held back.
    void Last(std::string& line);
    uint64_t HeldBack() const { return held_; }
    // True once it has been quiet long enough to be full again.
    bool Rested(uint64_t nowMs) { return bucket_.Level(nowMs) >= burst_; }

private:
    void Tell(std::string& line);

    TTokenBucket bucket_;
    double burst_ = 1;
    uint64_t held_ = 0;
};
