// The configuration object of the Shadow Company build: its profile, its
// launch arguments and its smaller dialog.
#pragma once

#include "config_main.h"

#include <string_view>

// Four decimal numbers of 0 to 255 joined by dots, nothing else: the only
// host address the game is ever pointed at (it comes from the lobby master,
// and goes onto the game's command line).
bool IsDottedIPv4(std::string_view text);

class Tscconfig_form : public Tconfig_form {
    Q_OBJECT
public:
    static Tconfig_form* Create(QWidget* owner) { return CreateForm<Tscconfig_form>(owner); }

    explicit Tscconfig_form(QWidget* owner) : Tconfig_form(owner) {}

    void SetProfileDefaults() override;
    // False, and nothing started, when the address is not a dotted IPv4 address.
    bool BuildLaunchArguments(const TGameServer& server) override;

protected:
    void BuildControls() override;
};
