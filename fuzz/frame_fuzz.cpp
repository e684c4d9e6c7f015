// The lobby's frame splitter and record decoders over arbitrary bytes: the
// receive loop as a reader runs it, then every value a record can carry.
#include "text/textfuncs.h"
#include "lobby/protocol.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first byte picks a frame limit, so the limit check is reached with
    // small inputs too.
    uint32_t limit = size > 0 ? (uint32_t(data[0]) << 4) + 1 : lobby::kMaxFrameLength;

    std::string buffer(input);
    for (uint32_t max : {lobby::kMaxFrameLength, limit}) {
        std::string_view rest = buffer;
        // The same bytes deciphered in place, frame by frame, as the master
        // reads them: the same frames and records as the copying splitter.
        std::string inPlace(input);
        std::size_t at = 0;
        while (!rest.empty()) {
            lobby::SplitResult r = lobby::SplitFrame(rest, max);
            lobby::OpenedFrame o = lobby::OpenFrame(inPlace.data() + at, inPlace.size() - at, max);
            if (o.status != r.status || o.used != r.used || o.oversized != r.oversized)
                std::abort();
            if (r.status == lobby::SplitStatus::Frame
                && (o.record.type != r.record.type || o.record.player != r.record.player
                    || o.record.param != r.record.param))
                std::abort();
            if (r.status == lobby::SplitStatus::Incomplete)
                break;
            if (r.used == 0 || r.used > rest.size())
                std::abort();   // the loop would spin or read past the buffer
            rest.remove_prefix(r.used);
            at += o.used;
            if (r.status != lobby::SplitStatus::Frame)
                continue;
            lobby::PlayerRecord p;
            lobby::UnpackPlayer(LookupValue(r.record.param, "prec"), p);
            (void)p.Name();
            (void)p.Address();
            lobby::GameRecord g;
            lobby::UnpackGame(LookupValue(r.record.param, "grec"), g);
            (void)g.Name();
            // What was decoded encodes and decodes to the same record.
            lobby::SplitResult again = lobby::SplitFrame(lobby::BuildFrame(r.record));
            if (again.status != lobby::SplitStatus::Frame || again.record.param != r.record.param
                || again.record.type != r.record.type)
                std::abort();
        }
    }

    // The input as plain record text, and as the two fixed records. The
    // decoder's shortcut for the usual start gives what the keys say.
    LobbyRecord record;
    const bool decoded = lobby::DecodeRecord(input, record);
    const std::string type = LookupValue(input, "cmtype");
    if (decoded != !type.empty())
        std::abort();
    if (decoded) {
        std::size_t at = input.find("\\cmparam\\");
        std::string param = at == std::string_view::npos ? std::string() : std::string(input.substr(at + 9));
        if (!param.empty() && param.back() == '\0')
            param.pop_back();
        if (record.type != uint8_t(uint8_t(type[0]) - 32)
            || record.player != DecimalToIntDef(LookupValue(input, "player"), 0) || record.param != param)
            std::abort();
    }
    lobby::PlayerRecord p;
    lobby::UnpackPlayer(input, p);
    (void)p.Name();
    lobby::GameRecord g;
    lobby::UnpackGame(input, g);
    (void)g.Name();
    return 0;
}
