#include "queryclock.h"

#include "platform/fireevent.h"
#include "platform/ticks.h"

#include <QTimer>

namespace {

class TLoopTimer : public TQueryTimer {
public:
    TLoopTimer() : timer_(new QTimer)
    {
        // A coarse timer may fire a few percent early; a time-out is a
        // promise to wait at least that long.
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_, &QTimer::timeout, [this] { Fire(); });
    }

    ~TLoopTimer() override
    {
        timer_->stop();
        if (!firing_) {
            delete timer_;
            return;
        }
        // Destroyed from inside its own OnTimer: the QTimer is still
        // delivering its signal, so it goes once control is back in the loop.
        timer_->disconnect();
        timer_->deleteLater();
    }

    void Start(int32_t IntervalMs) override { timer_->start(IntervalMs < 0 ? 0 : IntervalMs); }
    void Stop() override { timer_->stop(); }
    bool Running() const override { return timer_->isActive(); }

private:
    void Fire()
    {
        // The handler may destroy this timer, and with it OnTimer.
        firing_ = true;
        if (platform::FireEvent(std::weak_ptr<int>(life_), OnTimer))
            firing_ = false;
    }

    QTimer* timer_;
    bool firing_ = false;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);   // goes with the timer
};

class TSystemClock : public TQueryClock {
public:
    uint32_t Ticks() override { return platform::GetTickCount(); }
    std::unique_ptr<TQueryTimer> NewTimer() override { return std::make_unique<TLoopTimer>(); }
};

} // namespace

TQueryClock& SystemClock()
{
    static TSystemClock clock;
    return clock;
}
