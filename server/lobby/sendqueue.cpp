#include "sendqueue.h"

uint64_t TSendQueue::Key(TSlot::TKind kind, int32_t index)
{
    return uint64_t(kind) << 32 | uint32_t(index);
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
    if (key != 0)
        slots_[key] = firstSeq_ + entries_.size() - 1;
}

bool TSendQueue::Push(const TFrame& frame, TSlot slot, uint64_t nowMs, std::size_t looseLimit)
{
    switch (slot.kind) {
    case TSlot::Player:
    case TSlot::Game: {
        const uint64_t key = Key(slot.kind, slot.index);
        auto it = slots_.find(key);
        if (it != slots_.end()) {
            if (TEntry* e = Untouched(it->second)) {
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
        auto it = slots_.find(key);
        if (it != slots_.end()) {
            if (TEntry* e = Untouched(it->second)) {
                // One rebuild behind everything does for both.
                bytes_ -= e->frame->size();
                --frames_;
                e->frame.reset();
            }
        }
        Append(frame, key, nowMs);
        DropHoles();
        return true;
    }
    case TSlot::GameGone:
        // A record of a game opened later at the same index must not take a
        // place in front of this.
        slots_.erase(Key(TSlot::Game, slot.index));
        break;
    case TSlot::None:
        break;
    }
    if (loose_ + frame->size() > looseLimit)
        return false;
    loose_ += frame->size();
    Append(frame, 0, nowMs);
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
    if (e.key != 0) {
        auto it = slots_.find(e.key);
        if (it != slots_.end() && it->second == firstSeq_ + head_)
            slots_.erase(it);
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
        if (e.key == 0)
            loose_ -= e.frame->size();
        --frames_;
        PopFront();
        DropHoles();
    }
    if (Empty()) {
        // All written: start afresh, giving back what a burst took.
        firstSeq_ += entries_.size();
        head_ = 0;
        if (entries_.capacity() > 64)
            std::vector<TEntry>().swap(entries_);
        else
            entries_.clear();
        if (slots_.bucket_count() > 64)
            std::unordered_map<uint64_t, uint64_t>().swap(slots_);
        else
            slots_.clear();
    } else if (head_ >= 64 && head_ * 2 >= entries_.size()) {
        // Keep the written entries from piling up in front of a slow reader.
        entries_.erase(entries_.begin(), entries_.begin() + std::ptrdiff_t(head_));
        firstSeq_ += head_;
        head_ = 0;
    }
}
