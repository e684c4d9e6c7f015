// Shared pieces of the parlevod tests.
#pragma once

#include "text/textfuncs.h"
#include "support/lobbyclient.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using TClientPtr = std::unique_ptr<TLobbyTestClient>;

inline TClientPtr Join(TParlevodProcess& server, const std::string& name)
{
    auto c = std::make_unique<TLobbyTestClient>();
    EXPECT_TRUE(c->Connect(server.Port()));
    EXPECT_GT(c->Name(name), 0) << name;
    // The lobby's state follows the own record and ends with cmRefresh.
    EXPECT_TRUE(c->WaitFor(cmRefresh));
    return c;
}

// Waits for the cmPlayer of `index` whose record satisfies `match`.
template <typename F>
std::optional<lobby::PlayerRecord> WaitPlayer(TLobbyTestClient& c, int32_t index, F match, int ms = 2000)
{
    auto r = c.WaitFor(cmPlayer, ms, [&](const LobbyRecord& rec) {
        const lobby::PlayerRecord p = PlayerOf(rec);
        return p.index == index && match(p);
    });
    if (!r)
        return std::nullopt;
    return PlayerOf(*r);
}

template <typename F>
std::optional<lobby::GameRecord> WaitGame(TLobbyTestClient& c, F match, int ms = 2000)
{
    auto r = c.WaitFor(cmGame, ms, [&](const LobbyRecord& rec) {
        const lobby::GameRecord g = GameOf(rec);
        return match(g);
    });
    if (!r)
        return std::nullopt;
    return GameOf(*r);
}

inline std::optional<std::string> WaitMessage(TLobbyTestClient& c, int ms = 2000)
{
    auto r = c.WaitFor(cmMessage, ms);
    if (!r)
        return std::nullopt;
    return LookupValue(r->param, "message");
}

inline int CountType(const std::vector<LobbyRecord>& records, uint8_t type)
{
    int n = 0;
    for (const auto& r : records)
        n += r.type == type;
    return n;
}

// `host` hosts an open game of that name and `guest` joins it; the game's
// record once the host has seen the guest come in.
inline std::optional<lobby::GameRecord> HostAndJoin(TLobbyTestClient& host, TLobbyTestClient& guest,
                                                    const std::string& name, int maxPlayers)
{
    host.Send(cmHost, "\\name\\" + name + "\\maxplayers\\" + std::to_string(maxPlayers) + "\\inviteonly\\0");
    auto game = WaitGame(guest, [&](const lobby::GameRecord& g) { return g.active && g.Name() == name; });
    if (!game)
        return std::nullopt;
    guest.Send(cmJoin, "\\to\\" + std::to_string(game->index));
    if (!WaitPlayer(host, guest.SelfIndex(), [&](const lobby::PlayerRecord& p) { return p.hostPlayer == host.SelfIndex(); }))
        return std::nullopt;
    return game;
}
