#include "sendqueue.h"

#include <algorithm>

std::size_t TSlotIndex::Home(uint64_t key) const
{
    // Fibonacci hashing: the slot keys are small, dense numbers.
    return std::size_t((key * 0x9E3779B97F4A7C15ull) >> 32) & (cells_.size() - 1);
}

uint64_t* TSlotIndex::Find(uint64_t key)
{
    if (size_ == 0)
        return nullptr;
    const std::size_t mask = cells_.size() - 1;
    for (std::size_t i = Home(key);; i = (i + 1) & mask) {
        if (cells_[i].key == key)
            return &cells_[i].value;
        if (cells_[i].key == 0)
            return nullptr;
    }
}

void TSlotIndex::Grow()
{
    std::vector<TCell> old;
    old.swap(cells_);
    cells_.resize(old.empty() ? 16 : old.size() * 2);
    const std::size_t mask = cells_.size() - 1;
    for (const TCell& c : old) {
        if (c.key == 0)
            continue;
        std::size_t i = Home(c.key);
        while (cells_[i].key != 0)
            i = (i + 1) & mask;
        cells_[i] = c;
    }
}

void TSlotIndex::Set(uint64_t key, uint64_t value)
{
    if (uint64_t* v = Find(key)) {
        *v = value;
        return;
    }
    // At most half full, so that a search ends soon.
    if ((size_ + 1) * 2 > cells_.size())
        Grow();
    const std::size_t mask = cells_.size() - 1;
    std::size_t i = Home(key);
    while (cells_[i].key != 0)
        i = (i + 1) & mask;
    cells_[i] = TCell{key, value};
    ++size_;
}

void TSlotIndex::Erase(uint64_t key)
{
    if (size_ == 0)
        return;
    const std::size_t mask = cells_.size() - 1;
    std::size_t i = Home(key);
    while (cells_[i].key != key) {
        if (cells_[i].key == 0)
            return;
        i = (i + 1) & mask;
    }
    // Move later cells of the same run back into the gap, so that every
    // key stays reachable from its home without markers for removed ones.
    std::size_t gap = i;
    for (std::size_t j = (gap + 1) & mask; cells_[j].key != 0; j = (j + 1) & mask) {
        std::size_t home = Home(cells_[j].key);
        // Cell j may fill the gap when its home is not within (gap, j].
        bool between = gap <= j ? (home > gap && home <= j) : (home > gap || home <= j);
        if (!between) {
            cells_[gap] = cells_[j];
            gap = j;
        }
    }
    cells_[gap] = TCell{};
    --size_;
}

void TSlotIndex::Clear()
{
    if (cells_.size() > 16)
        std::vector<TCell>().swap(cells_);
    else
        std::fill(cells_.begin(), cells_.end(), TCell{});
    size_ = 0;
}

namespace {

// Entries waiting before a queue keeps an index of its record slots. Below
// this a search from the back is as quick, and the queues that a round fills
// (a few dozen records each, hundreds of them at once) hold no index.
constexpr std::size_t kIndexFrom = 64;

} // namespace

uint64_t TSendQueue::Key(TSlot::TKind kind, int32_t index)
{
    return uint64_t(kind) << 32 | uint32_t(index);
}

std::optional<uint64_t> TSendQueue::Latest(uint64_t key)
{
    if (indexed_) {
        if (const uint64_t* seq = slots_.Find(key))
            return *seq;
        return std::nullopt;
    }
    const unsigned bit = Bit(key);
    if ((mayHold_[bit / 64] >> (bit % 64) & 1) == 0)
        return std::nullopt;
    // A closing of the game in this slot ends the search: a record of a game
    // opened later at the index must come after it.
    const uint64_t barrier = key >> 32 == TSlot::Game ? Key(TSlot::GameGone, int32_t(uint32_t(key))) : 0;
    for (std::size_t i = entries_.size(); i > head_; --i) {
        const uint64_t k = entries_[i - 1].key;
        if (k == key)
            return firstSeq_ + i - 1;
        if (k == barrier && barrier != 0)
            return std::nullopt;
    }
    return std::nullopt;
}

void TSendQueue::BuildIndex()
{
    // The same index as one kept all along: the newest of each slot, and
    // none for a game closed since its last record.
    for (std::size_t i = head_; i < entries_.size(); ++i) {
        const uint64_t k = entries_[i].key;
        if (k == 0)
            continue;
        if (k >> 32 == TSlot::GameGone)
            slots_.Erase(Key(TSlot::Game, int32_t(uint32_t(k))));
        else
            slots_.Set(k, firstSeq_ + i);
    }
    indexed_ = true;
}

TSendQueue::TEntry* TSendQueue::Untouched(uint64_t seq)
{
    if (seq < firstSeq_ + head_)
        return nullptr;   // written already
    std::size_t at = std::size_t(seq - firstSeq_);
    if (at == head_ && frontSent_ > 0)
        return nullptr;   // being written: it goes out as it is
    return &entries_[at];
}

void TSendQueue::Append(const TFrame& frame, uint64_t key, uint64_t nowMs)
{
    entries_.push_back(TEntry{frame, key, nowMs});
    bytes_ += frame->size();
    ++frames_;
    if (indexed_) {
        if (key >> 32 == TSlot::GameGone)
            slots_.Erase(Key(TSlot::Game, int32_t(uint32_t(key))));
        else if (key != 0)
            slots_.Set(key, firstSeq_ + entries_.size() - 1);
    } else if (entries_.size() - head_ > kIndexFrom) {
        BuildIndex();
    } else if (key != 0 && !Loose(key)) {
        const unsigned bit = Bit(key);
        mayHold_[bit / 64] |= uint64_t(1) << (bit % 64);
    }
}

bool TSendQueue::Push(const TFrame& frame, TSlot slot, uint64_t nowMs, std::size_t looseLimit)
{
    switch (slot.kind) {
    case TSlot::Player:
    case TSlot::Game: {
        const uint64_t key = Key(slot.kind, slot.index);
        if (const std::optional<uint64_t> seq = Latest(key)) {
            if (TEntry* e = Untouched(*seq)) {
                // The newer record takes the waiting one's place (and age).
                bytes_ = bytes_ - e->frame->size() + frame->size();
                e->frame = frame;
                return true;
            }
        }
        Append(frame, key, nowMs);
        return true;
    }
    case TSlot::Refresh: {
        const uint64_t key = Key(TSlot::Refresh, 0);
        if (const std::optional<uint64_t> seq = Latest(key)) {
            if (TEntry* e = Untouched(*seq)) {
                // One rebuild behind everything does for both. In a long
                // queue the older one leaves a hole, so that the index's
                // sequence numbers stay true; a short one has no index and
                // closes up.
                bytes_ -= e->frame->size();
                --frames_;
                if (indexed_)
                    e->frame.reset();
                else
                    entries_.erase(entries_.begin() + (e - entries_.data()));
            }
        }
        Append(frame, key, nowMs);
        DropHoles();
        return true;
    }
    case TSlot::GameGone:
    case TSlot::None:
        break;
    }
    if (loose_ + frame->size() > looseLimit)
        return false;
    loose_ += frame->size();
    // A closing is marked with its game, so that a record of a game opened
    // later at the same index does not take a place in front of it.
    Append(frame, slot.kind == TSlot::GameGone ? Key(TSlot::GameGone, slot.index) : 0, nowMs);
    return true;
}

std::size_t TSendQueue::Peek(std::string_view* pieces, std::size_t max) const
{
    std::size_t n = 0;
    for (std::size_t i = head_; i < entries_.size() && n < max; ++i) {
        const TFrame& f = entries_[i].frame;
        if (!f)
            continue;
        std::size_t skip = i == head_ ? frontSent_ : 0;
        pieces[n++] = std::string_view(*f).substr(skip);
    }
    return n;
}

void TSendQueue::PopFront()
{
    TEntry& e = entries_[head_];
    if (indexed_ && e.key != 0) {
        const uint64_t* seq = slots_.Find(e.key);
        if (seq && *seq == firstSeq_ + head_)
            slots_.Erase(e.key);
    }
    e.frame.reset();
    ++head_;
    frontSent_ = 0;
}

void TSendQueue::DropHoles()
{
    while (head_ < entries_.size() && !entries_[head_].frame)
        PopFront();
}

void TSendQueue::Consume(std::size_t bytes)
{
    bytes_ -= bytes;
    while (bytes > 0 && head_ < entries_.size()) {
        TEntry& e = entries_[head_];
        std::size_t left = e.frame->size() - frontSent_;
        if (bytes < left) {
            frontSent_ += bytes;
            break;
        }
        bytes -= left;
        if (Loose(e.key))
            loose_ -= e.frame->size();
        --frames_;
        PopFront();
        DropHoles();
    }
    if (Empty()) {
        // All written: start afresh, giving back what a burst took. Every
        // queue holds a round's worth of records now and then, so what
        // little an idle one keeps is kept small.
        firstSeq_ += entries_.size();
        head_ = 0;
        if (entries_.capacity() > 8)
            std::vector<TEntry>().swap(entries_);
        else
            entries_.clear();
        slots_.Clear();
        indexed_ = false;
        std::fill(std::begin(mayHold_), std::end(mayHold_), 0);
    } else if (head_ >= 64 && head_ * 2 >= entries_.size()) {
        // Keep the written entries from piling up in front of a slow reader.
        entries_.erase(entries_.begin(), entries_.begin() + std::ptrdiff_t(head_));
        firstSeq_ += head_;
        head_ = 0;
    }
}
