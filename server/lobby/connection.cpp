#include "connection.h"

#include <array>

TLobbyConnection::TLobbyConnection(TConnId id, boost::asio::ip::tcp::socket socket, std::string address)
    : id_(id), socket_(std::move(socket)), address_(std::move(address))
{
}

bool TLobbyConnection::Queue(const TFrame& frame, std::size_t limit)
{
    if (queued_ + frame->size() > limit + reserved_)
        return false;
    queue_.push_back(frame);
    queued_ += frame->size();
    return true;
}

bool TLobbyConnection::Flush(bool& blocked, std::string& error)
{
    blocked = false;
    while (head_ < queue_.size()) {
        std::array<boost::asio::const_buffer, 64> buffers;   // unused ones stay empty
        std::size_t n = 0;
        for (std::size_t i = head_; i < queue_.size() && n < buffers.size(); ++i, ++n) {
            std::size_t skip = n == 0 ? frontSent_ : 0;
            buffers[n] = boost::asio::buffer(queue_[i]->data() + skip, queue_[i]->size() - skip);
        }
        boost::system::error_code ec;
        std::size_t written = socket_.write_some(buffers, ec);
        if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
            blocked = true;
            // Keep the written entries from piling up in front of a slow reader.
            if (head_ >= 64 && head_ * 2 >= queue_.size()) {
                queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(head_));
                head_ = 0;
            }
            return true;
        }
        if (ec) {
            error = ec.message();
            return false;
        }
        queued_ -= written;
        while (written > 0) {
            std::size_t left = queue_[head_]->size() - frontSent_;
            if (written >= left) {
                written -= left;
                queue_[head_++].reset();
                frontSent_ = 0;
            } else {
                frontSent_ += written;
                written = 0;
            }
        }
    }
    // All written: start the queue afresh, giving back memory a burst took.
    head_ = 0;
    reserved_ = 0;
    if (queue_.capacity() > 64)
        std::vector<TFrame>().swap(queue_);
    else
        queue_.clear();
    return true;
}
