#include "lobbyview.h"

namespace {

// Words that tell apart the reasons the lobby service and its master give.
constexpr std::pair<std::string_view, std::string_view> kKinds[] = {
    {"closed by the client", "client_closed"},
    {"slow reader", "slow_reader"},
    {"frame length", "oversized_frame"},
    {"malformed frames", "malformed_frames"},
    {"input flood", "input_flood"},
    {"no name within", "no_name"},
    {"silent for", "silent"},
    {"replaced by a newcomer", "replaced"},
    {"The lobby is full", "lobby_full"},
    {"Too many connections from your address", "address_limit"},
    {"server stopping", "stopping"},
};

} // namespace

std::string_view TLobbyCounters::DropKindOf(std::string_view reason)
{
    for (const auto& [words, kind] : kKinds)
        if (reason.find(words) != std::string_view::npos)
            return kind;
    return "other";
}

std::vector<std::string_view> TLobbyCounters::DropKinds()
{
    std::vector<std::string_view> kinds;
    for (const auto& entry : kKinds)
        kinds.push_back(entry.second);
    kinds.push_back("other");
    return kinds;
}
