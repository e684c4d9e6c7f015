// The floods of lobby_hostile against the web port, the news datagrams, the
// master list's heartbeats and a lobby crowd that keeps changing it; each
// runs against a parlevod of its own with the default limits.
#pragma once

#include <functional>
#include <string>

// Runs the floods `wanted` names ("web_slots", "news_amplification",
// "forged_heartbeats", "lobby_churn"), printing "name value unit" lines and
// a "target_..." line per target; true when every target was met.
bool RunServiceFloods(const std::function<bool(const std::string&)>& wanted);
