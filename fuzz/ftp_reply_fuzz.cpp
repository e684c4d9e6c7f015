// What the FTP client reads from the network: server replies (whole and cut
// into pieces, which must read the same), and the passive-mode address and
// the file size inside them.
#include "net/ftpparse.h"
#include "piecewise.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct Transcript {
    std::string replies;   // each reply's code and lines
    bool refused = false;
    bool operator==(const Transcript&) const = default;
};

// Reads the replies fed in pieces of `stride` bytes (0: all at once), the
// way the client gathers them.
Transcript Read(std::string_view input, std::size_t stride)
{
    Transcript t;
    std::string pending;
    std::size_t fed = 0;
    while (fed < input.size()) {
        const std::size_t n = stride ? std::min(stride, input.size() - fed) : input.size();
        pending.append(input.substr(fed, n));
        fed += n;
        for (;;) {
            const ftp::Reply r = ftp::NextReply(pending);
            if (r.status == ftp::ReplyStatus::Incomplete)
                break;
            if (r.status == ftp::ReplyStatus::TooLong) {
                t.refused = true;
                return t;
            }
            if (r.used == 0 || r.used > pending.size() || r.lines.empty() || r.code < 0 || r.code > 999)
                std::abort();   // the reader would spin or read past the input
            t.replies += std::to_string(r.code) + ":";
            for (std::string_view line : r.lines) {
                if (line.size() > ftp::kMaxLine || line.data() < pending.data() ||
                    line.data() + line.size() > pending.data() + r.used)
                    std::abort();
                t.replies += std::string(line) + "\n";
                (void)ftp::ParsePassiveReply(line);
                if (auto size = ftp::ParseSizeReply(line); size && *size < 0)
                    std::abort();
            }
            pending.erase(0, r.used);
        }
    }
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);

    // However the bytes arrive, the replies read the same. Repeated, the input
    // also reaches the line and reply limits.
    CheckPiecewiseReading(input, ftp::kMaxReply + ftp::kMaxLine, Read);

    if (auto a = ftp::ParsePassiveReply(input)) {
        // What was found reads back the same when written as a PORT argument.
        auto again = ftp::ParsePassiveReply("227 (" + ftp::PortArgument(a->host, a->port) + ")");
        if (!again || again->host != a->host || again->port != a->port)
            std::abort();
    }
    return 0;
}
