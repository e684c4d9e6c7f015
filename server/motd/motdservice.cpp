#include "motdservice.h"

#include <stdexcept>

namespace asio = boost::asio;

namespace {

TMotdMasterLimits LimitsOf(const TMotdOptions& o)
{
    TMotdMasterLimits l;
    l.versions.minVersion = o.minVersion;
    l.versions.latestVersion = o.latestVersion;
    l.udpRate = o.udpRate;
    l.udpTotalRate = o.udpTotalRate;
    return l;
}

THttpListener::TLimits HttpLimitsOf(const TServerOptions& o)
{
    THttpListener::TLimits l;
    l.maxConnections = o.motd.maxConnections;
    l.perAddress = o.motd.perAddress;
    l.idle = std::chrono::milliseconds(o.motd.idleMs);
    l.logLines = o.limits.logLines;
    return l;
}

} // namespace

TMotdService::TMotdService(asio::io_context& io, const TServerOptions& options, TLog log)
    : options_(options),
      log_(log),
      epoch_(std::chrono::steady_clock::now()),
      news_(options.motd.file, log),
      // The lines about a web request go through its address's log budget.
      master_(LimitsOf(options.motd),
              [this](const std::string& line) {
                  if (webClient_)
                      http_.LogAbout(*webClient_, line);
                  else
                      log_(line);
              }),
      http_(io,
            [this](std::string_view method, std::string_view target, const std::string& address) {
                if (pages_)
                    if (std::optional<THttpAnswer> page = pages_(method, target))
                        return *page;
                Refresh();
                webClient_ = &address;
                THttpAnswer answer = master_.Http(method, target, address);
                webClient_ = nullptr;
                return answer;
            },
            log, HttpLimitsOf(options)),
      udp_(io,
           [this](std::string_view datagram, const std::string& address) {
               Refresh();
               return master_.Datagram(datagram, address, Now());
           },
           log)
{
}

uint64_t TMotdService::Now() const
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch_)
                        .count());
}

void TMotdService::Refresh()
{
    if (news_.Refresh(Now()))
        master_.SetNews(news_.News());
}

bool TMotdService::LoadKey()
{
    std::string error;
    std::optional<TNewsKey> key = TNewsKey::Load(options_.motd.newsKeyFile, error);
    if (!key) {
        keyError_ = error;
        return false;
    }
    master_.SetNewsKey(std::move(key));
    return true;
}

void TMotdService::Reload()
{
    if (!options_.motd.newsKeyFile.empty()) {
        if (LoadKey())
            log_("news key " + options_.motd.newsKeyFile + " read again");
        else
            log_("cannot read the news key " + options_.motd.newsKeyFile + " again (" + keyError_
                 + "); the last key stays in force");
    }
    if (options_.motd.file.empty()) {
        log_("no news file to read again");
        return;
    }
    if (news_.Reread(Now()))
        master_.SetNews(news_.News());
}

void TMotdService::Start()
{
    const TMotdOptions& o = options_.motd;
    if (!o.newsKeyFile.empty() && !LoadKey())
        throw std::runtime_error("cannot use the news key " + o.newsKeyFile + ": " + keyError_);
    std::string error;
    if (!news_.Load(error))
        throw std::runtime_error("cannot read the news file " + o.file + ": " + error);
    master_.SetNews(news_.News());
    if (o.latestVersion == 0) {
        for (const std::string& line : news_.News().headers)
            if (IsUpdateLine(line)) {
                log_("the news file announces a new version, but without --latest-version nobody is told");
                break;
            }
    }
    auto address = asio::ip::make_address(options_.bind);
    auto bind = [&](const char* what, int port, auto&& start) {
        try {
            start(port);
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("cannot listen for ") + what + " on " + options_.bind + " port "
                                     + std::to_string(port) + ": " + e.what());
        }
    };
    bind("message-of-the-day HTTP", o.httpPort, [&](int port) { http_.Start({address, uint16_t(port)}); });
    bind("message-of-the-day UDP", o.udpPort, [&](int port) { udp_.Start({address, uint16_t(port)}); });
}

void TMotdService::Stop()
{
    http_.Stop();
    udp_.Stop();
}
