#include "motdmaster.h"

#include "text/textfuncs.h"

#include <ctime>

#include <algorithm>

namespace {

constexpr uint64_t kDropReportMs = 60'000;

THttpAnswer Text(int status, std::string body)
{
    THttpAnswer a;
    a.status = status;
    a.contentType = "text/plain";
    a.body = std::move(body);
    return a;
}

} // namespace

TMotdMaster::TMotdMaster(const TMotdMasterLimits& limits, TLog log) : limits_(limits), log_(std::move(log)) {}

THttpAnswer TMotdMaster::Http(std::string_view method, std::string_view target, const std::string& address)
{
    std::string path;
    std::string_view query;
    SplitTarget(target, path, query);
    const bool motd = path == "/motd.asp";
    if (!motd && path != "/redirect.asp") {
        log_("http " + address + " " + LogSafe(method, 16) + " " + LogSafe(path, 120) + ": not found");
        return Text(404, "Not found.\n");
    }
    if (method != "GET" && method != "HEAD") {
        log_("http " + address + " " + LogSafe(method, 16) + " " + path + ": method not allowed");
        THttpAnswer a = Text(405, "Only GET and HEAD are served here.\n");
        a.allow = "GET, HEAD";
        return a;
    }
    return motd ? Motd(query, address) : Redirect(query, address);
}

THttpAnswer TMotdMaster::Motd(std::string_view query, const std::string& address)
{
    std::optional<std::string> cmd = QueryValue(query, "cmd");
    std::optional<TMotdRequest> request = cmd ? ParseMotdRequest(*cmd) : std::nullopt;
    if (!request) {
        // The query may hold personal fields: it is not logged.
        log_("motd http " + address + ": not a message-of-the-day request");
        return Text(400, "Not a message-of-the-day request.\n");
    }
    THttpAnswer a;
    a.body = Reply(*request, "http", address, 0);
    return a;
}

THttpAnswer TMotdMaster::Redirect(std::string_view query, const std::string& address)
{
    std::string url = QueryValue(query, "url").value_or("");
    std::string where = "redirect http " + address + " product=" + LogSafe(QueryValue(query, "product").value_or(""), 16)
                        + " area=" + LogSafe(QueryValue(query, "area").value_or(""), 16);
    std::optional<std::string> location = RedirectLocation(url);
    if (!location) {
        log_(where + ": refused " + LogSafe(url, 120));
        return Text(400, "Only http:// and https:// addresses are redirected.\n");
    }
    log_(where + " to " + LogSafe(*location, 200));
    THttpAnswer a = Text(302, "");
    a.location = *location;
    return a;
}

std::optional<std::string> TMotdMaster::Datagram(std::string_view bytes, const std::string& address, uint64_t nowMs)
{
    std::optional<std::string> reply;
    bool dropped = true;
    std::optional<TMotdRequest> request = ParseMotdRequest(bytes);
    if (!request) {
        ++notRequests_;
    } else if (!AllowReply(address, nowMs) || !AllowAnyReply(nowMs)) {
        ++overRate_;
    } else {
        dropped = false;
        // The source of a datagram can be forged: never send it much more
        // than it sent. Cut at a line end like any reply that does not fit.
        const std::size_t limit = std::min(limits_.datagramBytes, limits_.replyFactor * bytes.size());
        // Nothing to tell: no datagram, so the client shows no empty window.
        std::string text = Reply(*request, "udp", address, limit);
        if (!text.empty())
            reply = std::move(text);
    }
    if (dropped && !dropsPending_) {
        dropsPending_ = true;
        droppedSince_ = nowMs;
    }
    if (dropsPending_ && nowMs - droppedSince_ >= kDropReportMs) {
        log_("motd udp: " + std::to_string(notRequests_) + " datagrams that were no request and "
             + std::to_string(overRate_) + " requests over the rate limit left unanswered");
        notRequests_ = overRate_ = 0;
        dropsPending_ = false;
    }
    return reply;
}

std::string TMotdMaster::Reply(const TMotdRequest& request, const char* transport, const std::string& address,
                               std::size_t limit)
{
    TMotdVerdict verdict = JudgeRequest(request, limits_.versions);
    const int64_t signedAt = key_ ? (wallClock ? wallClock() : int64_t(std::time(nullptr))) : 0;
    if (key_ && limit > 0) {
        const std::size_t lines = TNewsKey::Overhead(signedAt);
        limit = limit > lines ? limit - lines : 1;
    }
    std::string reply = ComposeMotdReply(news_, verdict, limit);
    if (key_ && !reply.empty())
        reply = key_->Sign(reply, signedAt);
    log_(std::string("motd ") + transport + " " + address + " product=" + LogSafe(request.product)
         + " version=" + request.version + " code=" + LogSafe(request.code) + (verdict.expired ? " expired" : "")
         + (verdict.update ? " update" : "") + (reply.empty() ? " (no news)" : ""));
    return reply;
}

bool TMotdMaster::AllowAnyReply(uint64_t nowMs)
{
    // Forged sources can be as many as the forger likes: the replies to
    // all of them together have a bound of their own.
    if (limits_.udpTotalRate == 0)
        return true;
    const double rate = limits_.udpTotalRate;
    const double burst = 2 * rate;
    if (!allStarted_) {
        allStarted_ = true;
        all_ = TBucket{burst, nowMs};
    }
    all_.tokens = std::min(burst, all_.tokens + double(nowMs - all_.at) * rate / 1000.0);
    all_.at = nowMs;
    if (all_.tokens < 1)
        return false;
    all_.tokens -= 1;
    return true;
}

bool TMotdMaster::AllowReply(const std::string& address, uint64_t nowMs)
{
    if (limits_.udpRate == 0)
        return true;
    const double rate = limits_.udpRate;
    const double burst = 2 * rate;
    auto refill = [&](TBucket& b) {
        b.tokens = std::min(burst, b.tokens + double(nowMs - b.at) * rate / 1000.0);
        b.at = nowMs;
    };
    auto it = buckets_.find(address);
    if (it == buckets_.end()) {
        if (buckets_.size() >= limits_.udpAddresses) {
            // Forget the addresses that have their whole share back.
            for (auto b = buckets_.begin(); b != buckets_.end();) {
                refill(b->second);
                b = b->second.tokens >= burst ? buckets_.erase(b) : std::next(b);
            }
            if (buckets_.size() >= limits_.udpAddresses)
                return false;
        }
        it = buckets_.emplace(address, TBucket{burst, nowMs}).first;
    }
    refill(it->second);
    if (it->second.tokens < 1)
        return false;
    it->second.tokens -= 1;
    return true;
}
