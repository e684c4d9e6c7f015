// What the HTTP client reads from the network: replies (whole and cut into
// pieces, which must read the same), their status and header lines, the
// URLs of relocations and download lists, and the SOCKS proxy's replies.
#include "net/httpparse.h"
#include "net/socksproto.h"
#include "piecewise.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct Transcript {
    std::string lines;   // status and header lines, and the header's end
    std::string body;
    bool refused = false;
    bool operator==(const Transcript&) const = default;
};

// Reads the reply fed in pieces of `stride` bytes (0: all at once).
Transcript Read(std::string_view input, std::size_t stride)
{
    Transcript t;
    http::ReplyCursor cursor;
    std::string pending;
    std::size_t fed = 0;
    while (fed < input.size()) {
        const std::size_t n = stride ? std::min(stride, input.size() - fed) : input.size();
        pending.append(input.substr(fed, n));
        fed += n;
        std::size_t taken = 0;
        for (;;) {
            const std::string_view rest = std::string_view(pending).substr(taken);
            http::ReplyPiece r = http::NextPiece(cursor, rest);
            if (r.piece == http::Piece::Incomplete)
                break;
            if (r.piece == http::Piece::LineTooLong || r.piece == http::Piece::HeaderTooLong) {
                t.refused = true;
                return t;
            }
            if (r.used == 0 || r.used > rest.size())
                std::abort();   // the reader would spin or read past the input
            if (r.piece == http::Piece::Body) {
                t.body += r.text;
            } else {
                if (r.text.size() > http::kMaxLine || r.next.headerBytes > http::kMaxHeader)
                    std::abort();
                t.lines += std::string(r.text) + "\n";
                if (r.piece == http::Piece::StatusLine)
                    (void)http::ParseStatusLine(r.text);
                std::string_view name, value;
                if (http::SplitHeader(r.text, name, value))
                    (void)http::ParseContentLength(value);
            }
            cursor = r.next;
            taken += r.used;
        }
        pending.erase(0, taken);
    }
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);

    // However the bytes arrive, the reply reads the same; a refused reply is
    // refused at the same line. Repeated, the input also reaches the line and
    // header limits.
    CheckPiecewiseReading(input, http::kMaxHeader + http::kMaxLine, Read);

    TUrlParts url = SplitURL(input);
    if (url.Host.find('/') != std::string::npos || url.Port.find('/') != std::string::npos)
        std::abort();

    for (bool offered : {false, true})
        if (socks::ReadSocks5Method(input, offered).used > size)
            std::abort();
    for (socks::Reply r : {socks::ReadSocks5Login(input), socks::ReadSocks5Connect(input), socks::ReadSocks4Connect(input)})
        if (r.used > size || (r.status == socks::ReplyStatus::Granted && r.used == 0))
            std::abort();
    return 0;
}
