// Glue between the program's units and the Qt event loop, which plays the
// part of the window message loop: posting to the main window and running
// work whenever the loop is about to wait.
#pragma once

#include <QEvent>
#include <QObject>

#include <functional>

class QWidget;

namespace platform {

// Event types of the program's own posted messages.
constexpr QEvent::Type kLobbyRecordEvent = static_cast<QEvent::Type>(QEvent::User + 1);

// Runs `handler` every time the event loop is about to block, for as long
// as `owner` lives.
void InstallIdleHandler(QObject* owner, std::function<void()> handler);

// Runs pending events until `done` is true or `timeoutMs` has passed;
// true when `done` became true. For tests and modal waits.
bool ProcessEventsUntil(const std::function<bool()>& done, int timeoutMs);

} // namespace platform
