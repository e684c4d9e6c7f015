#include "ratelimit.h"

#include <algorithm>
#include <cmath>

namespace {

// Refills add up fractions of a token: a whole one may come out a hair short.
constexpr double kSlack = 1e-9;

} // namespace

TTokenBucket::TTokenBucket(double rate, double burst, uint64_t nowMs)
    : rate_(rate), burst_(burst), tokens_(burst), at_(nowMs)
{
}

void TTokenBucket::Refill(uint64_t nowMs)
{
    // A clock that went back (it never should) refills nothing.
    if (nowMs > at_)
        tokens_ = std::min(burst_, tokens_ + double(nowMs - at_) * rate_ / 1000.0);
    at_ = std::max(at_, nowMs);
}

bool TTokenBucket::Take(uint64_t nowMs, double n)
{
    Refill(nowMs);
    if (tokens_ + kSlack < n)
        return false;
    tokens_ -= n;
    return true;
}

void TTokenBucket::Charge(uint64_t nowMs, double n)
{
    Refill(nowMs);
    tokens_ -= n;
}

double TTokenBucket::Level(uint64_t nowMs)
{
    Refill(nowMs);
    return tokens_;
}

uint64_t TTokenBucket::WaitFor(uint64_t nowMs, double n)
{
    Refill(nowMs);
    if (tokens_ + kSlack >= n)
        return 0;
    if (rate_ <= 0)
        return UINT64_MAX;
    return uint64_t(std::ceil((n - tokens_) * 1000.0 / rate_));
}

// A subject may write a few lines at once (a player arriving, hosting and
// naming its game), then the steady rate.
constexpr double kLogBurstMinutes = 1.0;

TLogBudget::TLogBudget(uint32_t perMinute, uint64_t nowMs)
    : bucket_(perMinute / 60.0, std::max(1.0, perMinute * kLogBurstMinutes), nowMs),
      burst_(std::max(1.0, perMinute * kLogBurstMinutes))
{
}

void TLogBudget::Tell(std::string& line)
{
    if (held_ == 0)
        return;
    line += " (" + std::to_string(held_) + (held_ == 1 ? " line" : " lines") + " about it held back)";
    held_ = 0;
}

bool TLogBudget::Pass(std::string& line, uint64_t nowMs)
{
    if (!bucket_.Take(nowMs)) {
        ++held_;
        return false;
    }
    Tell(line);
    return true;
}

void TLogBudget::Last(std::string& line) { Tell(line); }

TAddressLogBudget::TAddressLogBudget(std::string what, uint32_t perMinute, std::size_t maxAddresses)
    : what_(std::move(what)), perMinute_(perMinute), maxAddresses_(maxAddresses)
{
}

void TAddressLogBudget::Write(const std::string& address, std::string line, uint64_t nowMs,
                              const std::function<void(const std::string&)>& write)
{
    auto it = budgets_.find(address);
    if (it == budgets_.end()) {
        if (budgets_.size() >= maxAddresses_)
            ForgetRested(nowMs, write);
        if (budgets_.size() >= maxAddresses_) {
            ++unplaced_;
            return;
        }
        it = budgets_.emplace(address, TLogBudget(perMinute_, nowMs)).first;
    }
    if (it->second.Pass(line, nowMs))
        write(line);
}

void TAddressLogBudget::ForgetRested(uint64_t nowMs, const std::function<void(const std::string&)>& write)
{
    for (auto it = budgets_.begin(); it != budgets_.end();) {
        if (!it->second.Rested(nowMs)) {
            ++it;
            continue;
        }
        if (it->second.HeldBack() != 0) {
            std::string line = what_ + " from " + it->first + " quiet again";
            it->second.Last(line);
            write(line);
        }
        it = budgets_.erase(it);
    }
}
