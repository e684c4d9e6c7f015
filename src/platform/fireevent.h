// Firing a component's event safely. The handler is called through a copy,
// so that it may replace or clear the member it was called through, or free
// the component that holds it (and the member with it). The result says
// whether the component survived: the caller goes on only when it did, and
// touches none of its members otherwise.
#pragma once

#include <QObject>
#include <QPointer>

#include <memory>
#include <utility>

namespace platform {

// For a component that is a QObject. A handler that is not set is not
// called; the component then survives.
template <typename Handler, typename... Args>
bool FireEvent(QObject* component, const Handler& handler, Args&&... args)
{
    if (!handler)
        return true;
    QPointer<QObject> alive(component);
    Handler copy = handler;
    copy(std::forward<Args>(args)...);
    return !alive.isNull();
}

// For a component that keeps a life token (a shared_ptr that goes with it),
// given as a weak_ptr to the token.
template <typename Token, typename Handler, typename... Args>
bool FireEvent(const std::weak_ptr<Token>& life, const Handler& handler, Args&&... args)
{
    if (!handler)
        return true;
    Handler copy = handler;
    copy(std::forward<Args>(args)...);
    return !life.expired();
}

// For a call that is the component's last act: nothing of it is used after
// the handler returns, so nobody asks whether it survived.
template <typename Handler, typename... Args>
void FireLastEvent(const Handler& handler, Args&&... args)
{
    if (!handler)
        return;
    Handler copy = handler;
    copy(std::forward<Args>(args)...);
}

} // namespace platform
