// The Shadow Company build of the lobby window: its constants, colours and
// look, and the two operations that start the game.
#pragma once

#include "plb_cmain.h"
#include "serverlist/customserver.h"

#include <memory>

class Tscplb_cform : public Tplb_c {
    Q_OBJECT
public:
    explicit Tscplb_cform(QWidget* parent = nullptr) : Tplb_c(parent) {}

    void FormCreate() override;
    void JoinRunningGame() override;
    void StartHostedGame() override;
    bool JoinedGameRunning() override;

protected:
    void SetBuildLook() override;
    void SetKeyCaptions() override;

private:
    // The game JoinRunningGame starts: the host of the user's game.
    std::unique_ptr<TGameServer> JoinedServer() const;
};
