// The configuration object of the Shadow Company build: its profile, its
// launch arguments and its smaller dialog.
#pragma once

#include "config_main.h"

class Tscconfig_form : public Tconfig_form {
    Q_OBJECT
public:
    static Tconfig_form* Create(QWidget* owner) { return CreateForm<Tscconfig_form>(owner); }

    explicit Tscconfig_form(QWidget* owner) : Tconfig_form(owner) {}

    void SetProfileDefaults() override;
    bool BuildLaunchArguments(const TGameServer& server) override;

protected:
    void BuildControls() override;
};
