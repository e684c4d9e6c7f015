// How fast the lobby service reads each client: what is read from it is
// bounded by its input budget, bytes and frames, each a rate with a burst.
// While the budget is spent the client is not read (the kernel pushes back
// on it) until it has refilled; one that stays over its budget without a
// pause for the flood limit is dropped, since slowed down it could still
// keep a backlog in the kernel long after it is gone.
//
// Pure: the caller gives the time (milliseconds on its own clock) and runs
// the one timer the pacer asks for, so the rules are tested without sockets.
#pragma once

#include "options.h"
#include "ratelimit.h"
#include "sendqueue.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// One connection's input budget; kept with the connection.
struct TInputBudget {
    TTokenBucket bytes;
    TTokenBucket frames;
    bool paused = false;             // over its budget: not read until it has refilled
    uint64_t overBudgetSince = 0;    // first paused since its socket was last found empty (0: not)
};

class TInputPacer {
public:
    explicit TInputPacer(const TLobbyLimits& limits) : limits_(limits) {}

    // A newcomer's budget, full.
    TInputBudget NewBudget(uint64_t nowMs) const;
    // Whether there is budget left to read from it at all.
    bool MayRead(TInputBudget& b, uint64_t nowMs) const;
    // `bytes` were read: charged in full, so a client over its budget waits
    // until it is paid off.
    void Read(TInputBudget& b, std::size_t bytes, uint64_t nowMs) const;
    // Its socket had no more to give: it does not send faster than it is read.
    void CaughtUp(TInputBudget& b) const { b.overBudgetSince = 0; }
    // One frame may be handled (and is counted), or the budget is spent.
    bool TakeFrame(TInputBudget& b, uint64_t nowMs) const;

    // The budget is spent: the connection rests until it has refilled.
    // Returns why it is to be dropped instead, when it has been over its
    // budget for the flood limit.
    std::optional<std::string> Pause(TConnId id, TInputBudget& b, uint64_t nowMs);
    // When the owner's timer must fire next, if it must be set (again); 0 when
    // the timer already set comes soon enough, or nobody rests.
    uint64_t TimerToSet();
    // The owner's timer fired: the connections whose rest is over, in the
    // order they are due. The owner clears their `paused` and reads them.
    std::vector<TConnId> TakeDue(uint64_t nowMs);

private:
    TLobbyLimits limits_;
    std::set<std::pair<uint64_t, TConnId>> paused_;   // by when they may be read again
    uint64_t timerAt_ = 0;                            // when the owner's timer fires; 0 = not set
};
