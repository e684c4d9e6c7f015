#include "lobbyview.h"

namespace {

// The beginnings of the reasons the lobby service and its master give.
constexpr std::pair<std::string_view, std::string_view> kKinds[] = {
    {"closed by the client", "client_closed"},
    {"send queue above", "slow_reader"},
    {"frame length", "oversized_frame"},
    {"no name within", "no_name"},
    {"silent for", "silent"},
    {"The lobby is full", "lobby_full"},
    {"Too many connections from your address", "address_limit"},
    {"server stopping", "stopping"},
};

} // namespace

std::string_view TLobbyCounters::DropKindOf(std::string_view reason)
{
    for (const auto& [start, kind] : kKinds)
        if (reason.substr(0, start.size()) == start)
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
