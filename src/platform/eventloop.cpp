#include "eventloop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace platform {

void InstallIdleHandler(QObject* owner, std::function<void()> handler)
{
    auto* dispatcher = QAbstractEventDispatcher::instance(owner->thread());
    if (!dispatcher)
        return;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, owner, [h = std::move(handler)] { h(); });
}

bool ProcessEventsUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
        if (!done())
            QThread::usleep(200);
    }
    return true;
}

} // namespace platform
