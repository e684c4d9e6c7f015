// The message-of-the-day service's answers, apart from any socket: a web
// request (method, target, the client's address) gets a status, headers and
// a body; a datagram gets a reply or nothing. The I/O layer hands in the
// news and the time and carries the answers out. One log line a request;
// the personal fields of a request (e-mail, name, age, zip) are never
// logged or kept.
#pragma once

#include "httpanswer.h"
#include "log.h"
#include "motdrules.h"
#include "newssign.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct TMotdMasterLimits {
    TVersionRules versions;
    std::size_t datagramBytes = 1400;   // largest reply datagram
    // A reply is at most this many times the request, so a forged source
    // gets little more than the forger sent.
    std::size_t replyFactor = 3;
    uint32_t udpRate = 5;               // replies a second to one address; 0 = no limit
    uint32_t udpTotalRate = 200;        // replies a second to all addresses together; 0 = no limit
    std::size_t udpAddresses = 4096;    // addresses whose rate is followed at once
};

class TMotdMaster {
public:
    TMotdMaster(const TMotdMasterLimits& limits, TLog log);

    void SetNews(TNews news) { news_ = std::move(news); }
    // With a key every reply is signed (a datagram's reply is cut so that it
    // stays within its size with the two lines the signature adds).
    void SetNewsKey(std::optional<TNewsKey> key) { key_ = std::move(key); }
    // The clock the signature's time is read from: seconds since 1970.
    std::function<int64_t()> wallClock;
    const TNews& News() const { return news_; }

    THttpAnswer Http(std::string_view method, std::string_view target, const std::string& address);
    // Nothing for a datagram that is not a request, or when the address has
    // had its share of replies for now.
    std::optional<std::string> Datagram(std::string_view bytes, const std::string& address, uint64_t nowMs);

    std::size_t RateTableSize() const { return buckets_.size(); }

private:
    THttpAnswer Motd(std::string_view query, const std::string& address);
    THttpAnswer Redirect(std::string_view query, const std::string& address);
    std::string Reply(const TMotdRequest& request, const char* transport, const std::string& address,
                      std::size_t limit);
    bool AllowReply(const std::string& address, uint64_t nowMs);
    bool AllowAnyReply(uint64_t nowMs);

    struct TBucket {
        double tokens = 0;
        uint64_t at = 0;
    };

    TMotdMasterLimits limits_;
    TLog log_;
    TNews news_;
    std::optional<TNewsKey> key_;
    std::unordered_map<std::string, TBucket> buckets_;
    TBucket all_;                       // every address's replies together
    bool allStarted_ = false;
    // Datagrams left unanswered, told in one log line a minute at most.
    uint64_t notRequests_ = 0;
    uint64_t overRate_ = 0;
    uint64_t droppedSince_ = 0;
    bool dropsPending_ = false;
};
