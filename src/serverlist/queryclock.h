// Where the server-list engine takes its time from: the tick count that
// round trips are measured with, and the timers of the query time-outs and
// of the list's time-out. The program uses the system clock and the event
// loop's timers; a test hands in a clock it advances itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// A repeating timer: once started, OnTimer fires every interval until it is
// stopped. The timer may be destroyed from inside its own OnTimer.
class TQueryTimer {
public:
    virtual ~TQueryTimer() = default;
    // Starts counting a full interval from now (again, when running).
    virtual void Start(int32_t IntervalMs) = 0;
    virtual void Stop() = 0;
    virtual bool Running() const = 0;

    std::function<void()> OnTimer;
};

class TQueryClock {
public:
    virtual ~TQueryClock() = default;
    // Milliseconds of a 32-bit wrapping tick counter.
    virtual uint32_t Ticks() = 0;
    virtual std::unique_ptr<TQueryTimer> NewTimer() = 0;
};

// The platform's tick counter and the event loop's timers. Has no state of
// its own, so one instance serves every list and server.
TQueryClock& SystemClock();
