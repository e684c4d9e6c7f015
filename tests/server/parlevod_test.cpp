// The lobby master's rules, seen through real TCP clients.
#include "lobbytesthelpers.h"

#include "log.h"

#include <sys/socket.h>

namespace {

std::string Host(const std::string& name, int maxPlayers, bool inviteOnly)
{
    return "\\name\\" + name + "\\maxplayers\\" + std::to_string(maxPlayers) + "\\inviteonly\\"
           + (inviteOnly ? "1" : "0");
}

} // namespace

TEST(Parlevod, NamesIndicesAndNameTaken)
{
    TParlevodProcess server;
    auto alice = Join(server, "Alice");
    EXPECT_EQ(alice->SelfIndex(), 1);
    auto bob = Join(server, "Bob");
    EXPECT_EQ(bob->SelfIndex(), 2);

    // The newcomer learnt Alice, with the address the server sees.
    bool sawAlice = false;
    for (const auto& r : bob->History())
        if (r.type == cmPlayer && PlayerOf(r).Name() == "Alice") {
            sawAlice = true;
            EXPECT_EQ(PlayerOf(r).Address(), "127.0.0.1");
            EXPECT_EQ(LookupValue(r.param, "index"), "1");
        }
    EXPECT_TRUE(sawAlice);
    // Alice was told of Bob and asked to rebuild her list.
    auto bobSeen = WaitPlayer(*alice, 2, [](auto& p) { return p.active && p.Name() == "Bob"; });
    ASSERT_TRUE(bobSeen);
    EXPECT_EQ(bobSeen->hostPlayer, 0);
    EXPECT_EQ(bobSeen->hostedGame, 0);
    EXPECT_TRUE(alice->WaitFor(cmRefresh));

    // A name in use: taken.
    TLobbyTestClient carol;
    ASSERT_TRUE(carol.Connect(server.Port()));
    carol.Send(cmNameWanted, "\\namewanted\\Alice");
    auto taken = carol.WaitFor(cmNameTaken);
    ASSERT_TRUE(taken);
    EXPECT_EQ(LookupValue(taken->param, "namewanted"), "Alice");
    EXPECT_EQ(carol.Name("Carol"), 3);

    // Asking again for one's own name keeps the index; a new name renames.
    EXPECT_EQ(alice->Name("Alice"), 1);
    alice->Send(cmNameWanted, "\\namewanted\\Alicia");
    EXPECT_TRUE(WaitPlayer(*bob, 1, [](auto& p) { return p.active && p.Name() == "Alicia"; }));
    carol.Send(cmNameWanted, "\\namewanted\\Alice");   // free again
    EXPECT_TRUE(WaitPlayer(*bob, 3, [](auto& p) { return p.Name() == "Alice"; }));

    // A freed index is the lowest free one and is given again.
    bob->Close();
    EXPECT_TRUE(WaitPlayer(*alice, 2, [](auto& p) { return !p.active; }));
    auto dave = Join(server, "Dave");
    EXPECT_EQ(dave->SelfIndex(), 2);
}

TEST(Parlevod, BadNamesAreRefusedWithAReason)
{
    TParlevodProcess server;
    TLobbyTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    // (A backslash or control byte ends the value, so it never reaches the
    // name; DEL is the control byte that can.)
    for (std::string bad : {std::string(32, 'n'), std::string("del\x7f"), std::string("")}) {
        c.Send(cmNameWanted, "\\namewanted\\" + bad);
        auto why = WaitMessage(c);
        ASSERT_TRUE(why) << bad;
        EXPECT_FALSE(why->empty());
    }
    EXPECT_EQ(c.Name(std::string(31, 'n')), 1);
}

TEST(Parlevod, LookAlikeAndForgingNamesAreRefused)
{
    TParlevodProcess server;
    auto alice = Join(server, "Alice");
    auto zoe = Join(server, "Zo\xEB \xC9LAN");   // "Zoë ÉLAN" in Windows-1252
    TLobbyTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    // Names that can never be had are told why, and never trimmed.
    for (std::string bad : {std::string("Alice "), std::string(" Alice"), std::string("Alice\xA0"), std::string("   "),
                            std::string("\xA0"), std::string("Admin: server restarts. Bob"), std::string("Admin:\xA0" "Bob"),
                            std::string("bad\x81")}) {
        c.Send(cmNameWanted, "\\namewanted\\" + bad);
        auto why = WaitMessage(c);
        ASSERT_TRUE(why) << bad;
        EXPECT_FALSE(why->empty()) << bad;
    }
    EXPECT_EQ(c.WaitFor(cmNameTaken, 100), std::nullopt);
    // Look-alikes of names in use are taken, so the client tries another.
    for (std::string alike : {std::string("alice"), std::string("ALICE"), std::string("zO\xCB \xE9lan")}) {
        c.Send(cmNameWanted, "\\namewanted\\" + alike);
        auto taken = c.WaitFor(cmNameTaken);
        ASSERT_TRUE(taken) << alike;
        EXPECT_EQ(LookupValue(taken->param, "namewanted"), alike);
    }
    // Blanks and colons inside a name are fine; a player may change its own case.
    EXPECT_EQ(c.Name("Alice B:Cole"), 3);
    alice->Send(cmNameWanted, "\\namewanted\\ALICE");
    EXPECT_TRUE(WaitPlayer(c, 1, [](auto& p) { return p.active && p.Name() == "ALICE"; }));
    // The no-break space reads as a space.
    TLobbyTestClient d;
    ASSERT_TRUE(d.Connect(server.Port()));
    d.Send(cmNameWanted, "\\namewanted\\alice\xA0" "b:cole");
    EXPECT_TRUE(d.WaitFor(cmNameTaken));
}

TEST(Parlevod, NamesAreLoggedInUtf8)
{
    TParlevodProcess server;
    auto zoe = Join(server, "Zo\xEB M\xFCller");
    zoe->Send(cmHost, "\\name\\Cafe\\maxplayers\\8\\inviteonly\\0");
    EXPECT_TRUE(server.WaitForLog("player 1 'Zo\u00EB M\u00FCller' named, from 127.0.0.1"));
    EXPECT_TRUE(server.WaitForLog("game 1 'Cafe' hosted by 1 'Zo\u00EB M\u00FCller'"));
    EXPECT_EQ(server.LogText().find("\xEB"), std::string::npos);
    // Control characters never reach a line as they are.
    EXPECT_EQ(LogText(std::string("a\x1b[2Jb\x7f\\c\n")), "a\\x1b[2Jb\\x7f\\x5cc\\x0a");
}

TEST(Parlevod, HostJoinLeaveAndGameRules)
{
    // The host sends its requests far faster than a player could: the
    // budget for them is tested on its own.
    TParlevodProcess server({"--action-burst", "100"});
    auto host = Join(server, "Host");
    auto m1 = Join(server, "One");
    auto m2 = Join(server, "Two");

    // Name rule as the client's: trimmed; invalid names refused.
    host->Send(cmHost, Host("bad_name", 4, false));
    EXPECT_EQ(WaitMessage(*host), "That is not a valid gamename");
    host->Send(cmHost, Host("  Alpha Base ", 1, false));
    auto game = WaitGame(*m1, [](auto& g) { return g.active; });
    ASSERT_TRUE(game);
    EXPECT_EQ(game->Name(), "Alpha Base");
    EXPECT_EQ(game->maxPlayers, 2);   // clamped up to two
    EXPECT_EQ(game->hostPlayer, host->SelfIndex());
    EXPECT_EQ(game->state, 0);
    int32_t g = game->index;
    EXPECT_TRUE(WaitPlayer(*m1, host->SelfIndex(), [&](auto& p) { return p.hostedGame == g; }));

    // Hosting twice is refused; the settings change with the index.
    host->Send(cmHost, Host("Other", 4, false));
    EXPECT_TRUE(WaitMessage(*host));
    host->Send(cmHost, Host("Alpha Base", 99, false) + "\\index\\" + std::to_string(g + 1));
    EXPECT_TRUE(WaitMessage(*host));
    host->Send(cmHost, Host("Alpha Base", 2, false) + "\\index\\" + std::to_string(g));
    EXPECT_TRUE(WaitGame(*m2, [&](auto& gr) { return gr.index == g && gr.maxPlayers == 2; }));

    // Join fills the game (host + one); the next is refused.
    m1->Send(cmJoin, "\\to\\" + std::to_string(g) + "\\invited\\0");
    EXPECT_TRUE(WaitPlayer(*m2, m1->SelfIndex(), [&](auto& p) { return p.hostPlayer == host->SelfIndex(); }));
    m2->Send(cmJoin, "\\to\\" + std::to_string(g) + "\\invited\\0");
    EXPECT_EQ(WaitMessage(*m2), "Sorry, that game is full.");
    m2->Send(cmJoin, "\\to\\99\\invited\\0");
    EXPECT_TRUE(WaitMessage(*m2));

    // Kick: only by the host, only of a member.
    m2->Send(cmKick, "\\who\\" + std::to_string(m1->SelfIndex()));
    EXPECT_TRUE(WaitMessage(*m2));
    host->Send(cmKick, "\\who\\" + std::to_string(m2->SelfIndex()));
    EXPECT_TRUE(WaitMessage(*host));
    host->Send(cmKick, "\\who\\" + std::to_string(m1->SelfIndex()));
    EXPECT_TRUE(WaitPlayer(*m2, m1->SelfIndex(), [](auto& p) { return p.hostPlayer == 0; }));
    EXPECT_TRUE(WaitMessage(*m1));   // told of the kick

    // Start sends cmStart to the members and marks the game; joining is then refused.
    host->Send(cmHost, Host("Alpha Base", 3, false) + "\\index\\" + std::to_string(g));
    m1->Send(cmJoin, "\\to\\" + std::to_string(g) + "\\invited\\0");
    EXPECT_TRUE(WaitPlayer(*m1, m1->SelfIndex(), [&](auto& p) { return p.hostPlayer == host->SelfIndex(); }));
    m1->Send(cmStart, "\\start\\1");
    EXPECT_TRUE(WaitMessage(*m1));   // not the host
    host->Send(cmStart, "\\start\\1");
    EXPECT_TRUE(m1->WaitFor(cmStart));
    EXPECT_TRUE(WaitGame(*m2, [&](auto& gr) { return gr.index == g && gr.state == 1; }));
    m2->Send(cmJoin, "\\to\\" + std::to_string(g) + "\\invited\\0");
    EXPECT_EQ(WaitMessage(*m2), "Sorry, that game is already in progress");
    EXPECT_EQ(CountType(m2->Drain(150), cmStart), 0);   // not a member: no start
    host->Send(cmStart, "\\start\\0");
    EXPECT_TRUE(WaitGame(*m2, [&](auto& gr) { return gr.index == g && gr.state == 0; }));

    // A member leaving stays in the lobby; the host leaving closes the game.
    m2->Send(cmJoin, "\\to\\" + std::to_string(g) + "\\invited\\0");
    EXPECT_TRUE(WaitPlayer(*host, m2->SelfIndex(), [&](auto& p) { return p.hostPlayer == host->SelfIndex(); }));
    m2->Send(cmLeave, "");
    EXPECT_TRUE(WaitPlayer(*host, m2->SelfIndex(), [](auto& p) { return p.active && p.hostPlayer == 0; }));
    host->Send(cmLeave, "");
    auto gone = m2->WaitFor(cmGameGone);
    ASSERT_TRUE(gone);
    EXPECT_EQ(LookupValue(gone->param, "index"), std::to_string(g));
    EXPECT_TRUE(WaitPlayer(*m2, m1->SelfIndex(), [](auto& p) { return p.hostPlayer == 0; }));
    EXPECT_TRUE(WaitPlayer(*m2, host->SelfIndex(), [](auto& p) { return p.hostedGame == 0; }));
    EXPECT_TRUE(m2->WaitFor(cmRefresh));
}

TEST(Parlevod, InvitationsAreRelayedAndOpenInvitationOnlyGames)
{
    TParlevodProcess server;
    auto host = Join(server, "Host");
    auto guest = Join(server, "Guest");
    auto other = Join(server, "Other");
    host->Send(cmHost, Host("Secret", 4, true));
    auto game = WaitGame(*guest, [](auto& gr) { return gr.active && gr.inviteOnly; });
    ASSERT_TRUE(game);
    std::string g = std::to_string(game->index);

    guest->Send(cmJoin, "\\to\\" + g + "\\invited\\1");
    EXPECT_EQ(WaitMessage(*guest), "That game is by invitation only.");
    other->Send(cmInvite, "\\whoto\\" + std::to_string(guest->SelfIndex()) + "\\whatto\\" + g);
    EXPECT_TRUE(WaitMessage(*other));   // not in that game

    host->Send(cmInvite, "\\whoto\\" + std::to_string(guest->SelfIndex()) + "\\whatto\\" + g);
    auto invite = guest->WaitFor(cmInvite);
    ASSERT_TRUE(invite);
    EXPECT_EQ(LookupValue(invite->param, "whoto"), std::to_string(host->SelfIndex()));
    EXPECT_EQ(LookupValue(invite->param, "whatto"), g);
    guest->Send(cmJoin, "\\to\\" + g + "\\invited\\1");
    EXPECT_TRUE(WaitPlayer(*other, guest->SelfIndex(), [&](auto& p) { return p.hostPlayer == host->SelfIndex(); }));
    // The invitation is used up: after leaving, a new one is needed.
    guest->Send(cmLeave, "");
    EXPECT_TRUE(WaitPlayer(*other, guest->SelfIndex(), [](auto& p) { return p.hostPlayer == 0; }));
    guest->Send(cmJoin, "\\to\\" + g + "\\invited\\1");
    EXPECT_EQ(WaitMessage(*guest), "That game is by invitation only.");
}

TEST(Parlevod, ChatGoesToItsChannelWithNameAndColour)
{
    TParlevodProcess server;
    auto host = Join(server, "Host");
    auto member = Join(server, "Member");
    auto outsider = Join(server, "Outsider");
    host->Send(cmHost, Host("Room", 4, false));
    auto game = WaitGame(*member, [](auto& gr) { return gr.active; });
    ASSERT_TRUE(game);
    member->Send(cmJoin, "\\to\\" + std::to_string(game->index) + "\\invited\\0");
    ASSERT_TRUE(WaitPlayer(*outsider, member->SelfIndex(), [](auto& p) { return p.hostPlayer != 0; }));

    outsider->Send(cmChat, "\\chan\\0\\text\\hello all");
    for (auto* c : {host.get(), member.get(), outsider.get()}) {
        auto line = c->WaitFor(cmChat);
        ASSERT_TRUE(line);
        EXPECT_EQ(LookupValue(line->param, "chan"), "0");
        EXPECT_EQ(LookupValue(line->param, "text"), "Outsider: hello all");
        EXPECT_GT(StrToIntDef(LookupValue(line->param, "color"), 0), 0);
    }
    member->Send(cmChat, "\\chan\\1\\text\\game only");
    for (auto* c : {host.get(), member.get()}) {
        auto line = c->WaitFor(cmChat);
        ASSERT_TRUE(line);
        EXPECT_EQ(LookupValue(line->param, "chan"), "1");
        EXPECT_EQ(LookupValue(line->param, "text"), "Member: game only");
    }
    EXPECT_EQ(CountType(outsider->Drain(200), cmChat), 0);
    outsider->Send(cmChat, "\\chan\\1\\text\\nobody");
    EXPECT_EQ(WaitMessage(*outsider), "You are not in a game.");

    // Private message: to the named player only, `to` now the sender.
    host->Send(cmPrivMsg, "\\to\\" + std::to_string(outsider->SelfIndex()) + "\\text\\psst~nthere");
    auto pm = outsider->WaitFor(cmPrivMsg);
    ASSERT_TRUE(pm);
    EXPECT_EQ(LookupValue(pm->param, "to"), std::to_string(host->SelfIndex()));
    EXPECT_EQ(LookupValue(pm->param, "text"), "psst~nthere");
    EXPECT_EQ(CountType(member->Drain(200), cmPrivMsg), 0);
}

TEST(Parlevod, DisconnectAnnouncesThePlayerGoneAndClosesItsGame)
{
    TParlevodProcess server;
    auto host = Join(server, "Host");
    auto member = Join(server, "Member");
    host->Send(cmHost, Host("Room", 4, false));
    auto game = WaitGame(*member, [](auto& gr) { return gr.active; });
    ASSERT_TRUE(game);
    member->Send(cmJoin, "\\to\\" + std::to_string(game->index) + "\\invited\\0");
    ASSERT_TRUE(WaitPlayer(*member, member->SelfIndex(), [](auto& p) { return p.hostPlayer != 0; }));
    int32_t hostIndex = host->SelfIndex();
    host.reset();
    EXPECT_TRUE(member->WaitFor(cmGameGone));
    EXPECT_TRUE(WaitPlayer(*member, member->SelfIndex(), [](auto& p) { return p.active && p.hostPlayer == 0; }));
    EXPECT_TRUE(WaitPlayer(*member, hostIndex, [](auto& p) { return !p.active; }));
    EXPECT_TRUE(member->WaitFor(cmRefresh));
    // The game is closed for a newcomer too.
    auto late = Join(server, "Late");
    EXPECT_EQ(CountType(late->History(), cmGame), 0);
    EXPECT_NE(server.LogText().find("Host"), std::string::npos);
}

TEST(Parlevod, AChatLineNeverOvertakesTheRecordsQueuedBeforeIt)
{
    // The records of the lobby's state wait for their round, a chat line
    // goes at once: it takes what waits ahead of it along, in order.
    TParlevodProcess server;
    auto host = Join(server, "Host");
    auto member = Join(server, "Member");
    std::vector<TClientPtr> crowd;
    for (int i = 0; i < 20; ++i)
        crowd.push_back(Join(server, "Crowd" + std::to_string(i)));
    host->Send(cmHost, Host("Room", 8, false));
    auto game = WaitGame(*member, [](auto& gr) { return gr.active; });
    ASSERT_TRUE(game);
    host->ClearHistory();
    member->Send(cmJoin, "\\to\\" + std::to_string(game->index) + "\\invited\\0");
    member->Send(cmChat, "\\chan\\1\\text\\here");
    ASSERT_TRUE(host->WaitFor(cmChat));
    bool joined = false;
    for (const LobbyRecord& r : host->History()) {
        if (r.type == cmPlayer && PlayerOf(r).index == member->SelfIndex())
            joined = PlayerOf(r).hostPlayer == host->SelfIndex();
        if (r.type == cmChat) {
            EXPECT_EQ(LookupValue(r.param, "text"), "Member: here");
            break;
        }
    }
    EXPECT_TRUE(joined) << "the member's record came after its chat line";
}
