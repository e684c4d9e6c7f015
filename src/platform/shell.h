// Opening an address with the user's browser.
#pragma once

#include <QString>

#include <functional>

namespace platform {

// Asks the desktop to open the address; false when it could not.
bool ShellOpen(const QString& address);

// Replaces the desktop's opener (tests record the addresses instead of
// starting a browser). An empty function restores the desktop's.
void SetShellOpener(std::function<bool(const QString&)> opener);

} // namespace platform
