// The master list's texts over arbitrary bytes, from both ends: the list a
// client takes addresses from, and what the list service reads from list
// clients, game servers' heartbeats and its game keys file.
#include "masterlist.h"
#include "serverlist/serverrecords.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct TNoOutput : TMasterListOutput {
    void SendDatagram(const TPeer&, std::string_view datagram) override
    {
        if (datagram.size() > 23)   // the shortest heartbeat a probe answers
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    // A client reading the list.
    std::string text = input;
    // Address texts are checked for their characters and dots only, so
    // ":.2.3.4" gives an empty host and "1.2:3.4.5" the host "1.2"; number
    // ranges are not examined.
    for (const TListedServer& s : TakeListedServers(text)) {
        if (s.Port.empty() || s.Address.find_first_not_of("0123456789.") != std::string::npos)
            std::abort();
    }
    if (text.find("\\ip\\") != std::string::npos || input.compare(0, text.size(), text) != 0)
        std::abort();

    // The service reading a list client, in two pieces.
    TGameKeys keys = DefaultGameKeys();
    TListSession session("Qw3rty");
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    if (session.Received(std::string_view(input).substr(0, cut), keys, 4096) == TListSession::TStep::More)
        (void)session.Received(std::string_view(input).substr(cut), keys, 4096);
    if (session.Refusal().find_first_of("\\", 7) != std::string::npos)
        std::abort();   // a reason never adds pairs of its own

    // Heartbeats and probe answers from one address.
    TNoOutput out;
    TListLimits limits;
    TMasterList master(limits, out, [](const std::string&) {});
    THeartbeat beat;
    if (ParseHeartbeat(input, beat) && (beat.queryPort == 0 || beat.gameName.empty()))
        std::abort();
    master.Datagram({0x7F000001, 1000}, input, 1);
    master.Datagram({0x7F000001, beat.queryPort}, "\\final\\", 2);
    if (master.ListFor(beat.gameName).count != master.ServerCount())
        std::abort();
    master.Tick(1'000'000'000);
    if (master.ServerCount() != 0 || master.ProbeCount() != 0)
        std::abort();

    std::string error;
    (void)ReadGameKeys(input, keys, error);
    return 0;
}
