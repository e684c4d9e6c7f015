// The frames waiting to be written to one client. A client needs only the
// newest record of each player and game, so a record still waiting is
// replaced in place by a newer one, and one request to rebuild the list
// waits at most, behind every record: what waits is bounded by the size of
// the lobby, not by how often anyone changes it. Frames are shared between
// queues and never copied; a write gathers them as they stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using TConnId = uint64_t;
// A whole frame as it goes on the wire, shared by every receiver of a broadcast.
using TFrame = std::shared_ptr<const std::string>;

// What a frame is to the queue it waits in.
struct TSlot {
    enum TKind : uint8_t {
        None,       // a frame of its own: a chat line, a notice, a ping
        Player,     // the record of player `index`: a newer one replaces it while it waits
        Game,       // the record of game `index`: likewise
        GameGone,   // game `index` closed: a record of a new game there comes after it
        Refresh,    // rebuild the list: one waits at most, always behind the records
    };
    TKind kind = None;
    int32_t index = 0;
};

// Record slot -> sequence number, in one open-addressed table: adding a
// record to a queue allocates nothing once the table has grown.
class TSlotIndex {
public:
    // The value stored for `key`, or null. Keys are never 0.
    uint64_t* Find(uint64_t key);
    void Set(uint64_t key, uint64_t value);
    void Erase(uint64_t key);
    // Empties the table, giving back its storage when it had grown large.
    void Clear();
    std::size_t Size() const { return size_; }

private:
    struct TCell {
        uint64_t key = 0;    // 0: empty
        uint64_t value = 0;
    };
    std::size_t Home(uint64_t key) const;
    void Grow();

    std::vector<TCell> cells_;   // a power of two long, or empty
    std::size_t size_ = 0;
};

class TSendQueue {
public:
    // Adds a frame queued at `nowMs`. Frames that have no record slot count
    // against `looseLimit` bytes: false, and nothing added, when this one
    // would pass it.
    bool Push(const TFrame& frame, TSlot slot, uint64_t nowMs, std::size_t looseLimit);

    // Up to `max` pieces of what waits, in order; the first begins after
    // what has been written of it. Returns the number of pieces.
    std::size_t Peek(std::string_view* pieces, std::size_t max) const;
    // The first `bytes` of what Peek gave have been written.
    void Consume(std::size_t bytes);

    bool Empty() const { return head_ == entries_.size(); }
    std::size_t Bytes() const { return bytes_; }
    std::size_t LooseBytes() const { return loose_; }
    std::size_t Frames() const { return frames_; }
    // When the frame at the front was queued: the queue has waited since.
    // Only when not empty.
    uint64_t WaitingSince() const { return entries_[head_].queuedAt; }

private:
    struct TEntry {
        TFrame frame;         // empty: a request to rebuild that moved further back
        uint64_t key = 0;     // its record slot, or the game a closing is for; 0 for any other frame
        uint64_t queuedAt = 0;
    };
    static uint64_t Key(TSlot::TKind kind, int32_t index);
    // Counted against the limit for frames without a slot.
    static bool Loose(uint64_t key) { return key == 0 || key >> 32 == TSlot::GameGone; }
    static unsigned Bit(uint64_t key) { return unsigned((key * 0x9E3779B97F4A7C15ull) >> 56); }
    // The sequence number of the newest record waiting in slot `key`, or
    // null: by the index in a long queue, by a search from the back in a
    // short one (as most are), which needs no index at all.
    std::optional<uint64_t> Latest(uint64_t key);
    void BuildIndex();
    void Append(const TFrame& frame, uint64_t key, uint64_t nowMs);
    // The entry with sequence number `seq` when it still waits and no byte
    // of it has been written, else null.
    TEntry* Untouched(uint64_t seq);
    void PopFront();
    void DropHoles();

    std::vector<TEntry> entries_;   // waiting from head_ on
    std::size_t head_ = 0;
    uint64_t firstSeq_ = 0;         // sequence number of entries_[0]
    std::size_t frontSent_ = 0;     // bytes of the front frame already written
    std::size_t bytes_ = 0;
    std::size_t loose_ = 0;
    std::size_t frames_ = 0;
    TSlotIndex slots_;              // record slot -> sequence number, in a long queue
    bool indexed_ = false;          // slots_ is kept
    // In a short queue: a bit for each slot that may have a record waiting
    // (one bit may stand for several), so that a record new to the queue,
    // as most are, is appended without a search.
    uint64_t mayHold_[4] = {};
};
