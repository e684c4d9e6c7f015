// Rates with a burst, on a millisecond clock the caller passes in, so every
// rule built on them can be driven by a test's own clock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

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

// Log lines about the clients of one address: each address has a TLogBudget
// of its own, so one address that connects or asks again and again is a few
// lines a minute while the lines about everyone else go on as before. An
// address is forgotten once its budget is full again; past `maxAddresses`
// at once, lines about new ones are held back (and counted) until then.
class TAddressLogBudget {
public:
    // `what` names the clients in the closing line ("web clients").
    TAddressLogBudget(std::string what, uint32_t perMinute, std::size_t maxAddresses = 4096);

    // Writes `line` about `address` through `write` when its budget allows.
    void Write(const std::string& address, std::string line, uint64_t nowMs, const std::function<void(const std::string&)>& write);
    // Forgets the addresses whose budget is full again; for each that had
    // lines held back, one closing line goes through `write`.
    void ForgetRested(uint64_t nowMs, const std::function<void(const std::string&)>& write);
    std::size_t Addresses() const { return budgets_.size(); }
    uint64_t Unplaced() const { return unplaced_; }

private:
    std::string what_;
    uint32_t perMinute_;
    std::size_t maxAddresses_;
    std::unordered_map<std::string, TLogBudget> budgets_;
    uint64_t unplaced_ = 0;   // lines about addresses there was no room to follow
};
