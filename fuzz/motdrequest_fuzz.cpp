// What parlevod's message-of-the-day service reads from the network and
// from the operator's file, over arbitrary bytes: a request (datagram or
// decoded query), query strings, redirect targets, the news file and the
// replies composed from it.
#include "motdrules.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);

    std::optional<TMotdRequest> request = ParseMotdRequest(input);
    if (request && (request->version.empty() || request->version.size() > 9))
        std::abort();
    for (std::string_view key : {"cmd", "url", "product"})
        if (std::optional<std::string> value = QueryValue(input, key); value && value->size() > size)
            std::abort();
    if (std::optional<std::string> location = RedirectLocation(UrlDecode(input))) {
        for (char c : *location)
            if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                std::abort();
    }
    (void)LogSafe(input);

    TNews news = ParseNewsFile(input);
    TMotdRequest anyone;
    anyone.version = "1";
    anyone.notify = "1";
    for (bool expired : {false, true}) {
        TMotdVerdict verdict{expired, true};
        (void)ComposeMotdReply(news, verdict);
        for (std::size_t limit : {std::size_t(1), std::size_t(64), std::size_t(1400)}) {
            std::string reply = ComposeMotdReply(news, verdict, limit);
            if (reply.size() > std::max<std::size_t>(limit, expired ? 14 : 6))
                std::abort();
        }
    }
    (void)JudgeRequest(request.value_or(anyone), TVersionRules{150101, 150200});
    return 0;
}
