// A lobby window of the game build, on the offscreen platform, connected to a
// scripted master over loopback, with scripted message boxes and dialogs.
#pragma once

#include "main/startup.h"
#include "lobby/client/scplb_cmain.h"
#include "support/scripteddialogs.h"
#include "support/scriptedmaster.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

class LobbyTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the settings (nickname, game folder, master address), creates
    // and shows the window and waits for its first name request.
    void StartLobby(bool waitForName = true);
    // The master names the user: its player record and a refresh.
    void JoinAs(int32_t index);

    bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 3000);
    void Pump(int ms);

    // Sends a record from the master and waits until the window handled it.
    void Deliver(const LobbyRecord& record);
    void DeliverPlayer(const lobby::PlayerRecord& p) { master.SendPlayer(p); Settle(); }
    void DeliverGame(const lobby::GameRecord& g) { master.SendGame(g); Settle(); }
    void DeliverRefresh() { master.SendRefresh(); Settle(); }
    // Waits until the records sent so far have been handled.
    void Settle();

    // Selects the list row that refers to this player (or game) entry.
    bool SelectPlayer(int32_t index);
    bool SelectGame(int32_t index);
    std::vector<std::string> Rows() const;   // "G<index>" or "P<index>" per row

    // What the window sent of a type since the last ClearSent.
    std::vector<LobbyRecord> Sent(uint8_t type) const;
    void ClearSent() { master.received.clear(); }

    ScopedSettingsHome home;
    TempDir game;
    TScriptedDialogs dialogs;
    std::function<int(QDialog&)> modal;    // answers the program's own dialogs
    std::unique_ptr<TScriptedMaster> masterPtr = std::make_unique<TScriptedMaster>();
    TScriptedMaster& master = *masterPtr;
    TStartupWindows windows;
    Tscplb_cform* lobby = nullptr;   // windows.lobby
    std::string nick = "Bob";
    bool writeLobbyHost = true;
    // The port the window's peer ping listens on: any free one, so the tests
    // run beside a player's open client, which holds the protocol's 15321.
    std::string pingListenPort = "0";
};
