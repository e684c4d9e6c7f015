// When the lobby service writes its clients' send queues. A chat line, a
// notice or a ping goes after a short gather, so that what several clients
// send at once reaches each receiver in one write; the lobby's player and
// game records wait for the next round, which comes the later the bigger
// the lobby is; a queue that holds many records already goes without
// waiting for its round. The queues with something a player waits for are
// written first, all in one turn, and those with records alone after them,
// so however fast the lobby changes, chat is not kept behind the changes.
// One settle writes at most so many queues of records and closes at most
// so many connections, and asks for another turn for the rest, so a crowd
// arriving or leaving at once is handled in rounds with the others' events
// between them.
//
// The scheduler only keeps lists and decides; its owner does the writing
// and the closing, and runs its two timers (TTimers), so the rules are
// tested with timers fired by hand.
#pragma once

#include "sendqueue.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// How far apart the rounds that write the lobby's state to `connections`
// clients are, for a slow-reader limit of `sendWaitMs`.
std::chrono::microseconds RoundSpacing(std::size_t connections, uint32_t sendWaitMs);

// How far one connection is in the schedule; kept with the connection.
struct TWriteState {
    explicit TWriteState(const TSendQueue& queue) : queue(&queue) {}
    const TSendQueue* queue;
    bool awaitingWritable = false;   // its socket was full: written again once it takes more
    bool inRound = false;            // listed for the next round
    bool due = false;                // listed for the next settle's writes
    bool prompt = false;             // listed among the writes that go first
    bool closing = false;            // listed for the next settle's closes: nothing more is read or written
};

class TWriteScheduler {
public:
    // The owner's timers. Each is asked for only while it is not pending;
    // when it fires, the owner calls SettleFired() then Settle..., or Round().
    struct TTimers {
        // A settle after `delay`; zero: behind the handlers already due.
        std::function<void(std::chrono::microseconds delay)> settle;
        std::function<void(std::chrono::microseconds delay)> round;
    };
    // A connection's state, or null once it is gone.
    using TFind = std::function<TWriteState*(TConnId)>;

    // Queues written and connections closed in one settle. The queues with
    // something a player waits for may go past kWritesPerSettle, up to
    // kPromptWritesPerSettle: a chat line reaches the whole lobby (up to
    // the default --max-clients) in one turn, and a burst of the lobby's
    // changes handled meanwhile does not come between its receivers.
    static constexpr std::size_t kWritesPerSettle = 256;
    static constexpr std::size_t kPromptWritesPerSettle = 8192;
    static constexpr std::size_t kClosesPerSettle = 16;
    // Frames a queue may hold before it is written without waiting for the round.
    static constexpr std::size_t kRoundBacklog = 48;
    // How long frames wait for others to the same receivers before they are written.
    static constexpr std::chrono::microseconds kGather{1000};
    static constexpr uint64_t kGatherMs = std::chrono::duration_cast<std::chrono::milliseconds>(kGather).count();

    TWriteScheduler(uint32_t sendWaitMs, TTimers timers, TFind find);

    // Something was queued for the connection: it is written in the next
    // round, or in the next settle when `urgent` (or its queue is long).
    // `connections`: how many there are, which spaces the rounds.
    // `nowMs`: the owner's clock, which times how long urgent queues wait.
    void Queued(TConnId id, TWriteState& s, bool urgent, std::size_t connections, uint64_t nowMs = 0);
    // The connection is closed in the next settle, after the writes due.
    void CloseSoon(TConnId id, TWriteState& s, const std::string& reason);
    // A settle is wanted (after the gather, or at once) for whatever is due.
    void RequestSettle(bool gather = true);

    // The owner's settle timer fired.
    void SettleFired() { settlePending_ = false; }
    // The round came: its connections with something to write become due.
    // The owner settles right after.
    void Round();
    // A settle's writes: the ids of the due queues, none closing, those
    // listed as urgent first (at most kPromptWritesPerSettle), then the
    // others while fewer than kWritesPerSettle are taken. Their `due` is
    // cleared.
    const std::vector<TConnId>& TakeWrites();
    // Then its closes: at most kClosesPerSettle, in the order asked.
    std::vector<std::pair<TConnId, std::string>> TakeCloses();
    // Then: another settle at once if either list still holds more.
    void SettleDone();

    // Urgent queues have waited past the gather: the owner writes them
    // before it handles more input. The settle would come only behind every
    // handler already due, and a crowd's burst of requests, each told to the
    // whole lobby, can hold those back by a hundred milliseconds.
    bool PromptOverdue(uint64_t nowMs) const { return !prompt_.empty() && nowMs > promptSince_ + kGatherMs; }
    // Their writes, at most kPromptWritesPerSettle; the rest keep their settle.
    const std::vector<TConnId>& TakePromptWrites();

    // The lobby is empty: the lists give their memory back.
    void ReleaseMemory();

private:
    // Takes the due queues of `list` into writing_ while `taken` (entries
    // looked at, written or passed over) is below the list's cap.
    void TakeFrom(std::vector<TConnId>& list, bool prompt, std::size_t& taken);

    uint32_t sendWaitMs_;
    TTimers timers_;
    TFind find_;
    std::vector<TConnId> round_;      // queued to since the last round
    std::vector<TConnId> prompt_;     // to be written first in the next settle
    std::vector<TConnId> due_;        // to be written in the next settle, after prompt_
    std::vector<TConnId> writing_;    // a settle's writes, kept between settles
    std::vector<std::pair<TConnId, std::string>> closes_;
    uint64_t promptSince_ = 0;        // when prompt_ last went from empty to listing one
    bool settlePending_ = false;
    bool roundPending_ = false;
};
