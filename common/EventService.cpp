#include "common/EventService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <map>
#include <queue>
#include <thread>
#include <vector>

namespace gascal {

// --- Timer -------------------------------------------------------------------

Timer::Timer(std::string name, int intervalMs, std::function<void()> handler)
    : name_(std::move(name)), intervalMs_(std::max(1, intervalMs)), handler_(std::move(handler)) {}

Timer::~Timer() {
    if (service_) service_->TimerRemoved(this);
}

void Timer::SetEnabled(bool on) {
    if (service_ && on == enabled_) return;  // enabling a running timer does not restart it
    enabled_ = on;
    service_ = &Events();
    service_->TimerChanged(this);
}

void Timer::SetInterval(int ms) {
    intervalMs_ = std::max(1, ms);
    if (service_) service_->TimerChanged(this);
}

void Timer::Fire() {
    if (!enabled_) return;
    if (busy_) {
        ++skipped_;
        return;
    }
    busy_ = true;
    ++ticks_;
    handler_();
    busy_ = false;
}

// --- Process-wide service ----------------------------------------------------

namespace {
EventService* g_override = nullptr;

RealEventService& RealService() {
    static RealEventService real;
    return real;
}
}  // namespace

EventService& Events() { return g_override ? *g_override : RealService(); }

void SetEvents(EventService* service) { g_override = service; }

ScopedEvents::ScopedEvents(EventService& s) : previous_(g_override) { g_override = &s; }
ScopedEvents::~ScopedEvents() { g_override = previous_; }

double MicroSeconds() { return Events().MicroSeconds(); }

void WaitMicroSeconds(double us) {
    EventService& ev = Events();
    ev.WaitUntil(ev.MicroSeconds() + std::max(0.0, us));
}

double SecondsSinceMidnight() {
    const QTime t = Events().Now().time();
    return t.msecsSinceStartOfDay() / 1000.0;
}

void WaitSeconds(double s) {
    // The seconds timer restarts at midnight; a wait that crosses it counts on
    // from the previous value instead of waiting for ever.
    EventService& ev = Events();
    const double start = SecondsSinceMidnight();
    double last = start;
    double carried = 0;
    for (;;) {
        const double now = SecondsSinceMidnight();
        if (now < last) carried += 86400.0;
        last = now;
        const double elapsed = now + carried - start;
        if (elapsed >= s) return;
        ev.WaitUntil(ev.MicroSeconds() + std::min(100000.0, (s - elapsed) * 1e6));
    }
}

// --- Real service ------------------------------------------------------------

struct RealEventService::Impl {
    QElapsedTimer clock;
    std::map<Timer*, std::unique_ptr<QTimer>> timers;
    std::unique_ptr<QObject> context;
};

RealEventService::RealEventService() : impl_(std::make_unique<Impl>()) { impl_->clock.start(); }

RealEventService::~RealEventService() = default;

double RealEventService::MicroSeconds() { return impl_->clock.nsecsElapsed() / 1000.0; }

QDateTime RealEventService::Now() { return QDateTime::currentDateTime(); }

void RealEventService::ProcessEvents() {
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RealEventService::WaitUntil(double deadlineUs) {
    for (;;) {
        const double now = MicroSeconds();
        const double rem = deadlineUs - now;
        if (rem <= 0) return;
        if (!QCoreApplication::instance()) {
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(rem)));
            continue;
        }
        if (rem > 1500) {
            // Sleep in the event loop until an event arrives or shortly before
            // the deadline; a precise timer wakes us up.
            QTimer wake;
            wake.setSingleShot(true);
            wake.setTimerType(Qt::PreciseTimer);
            wake.start(static_cast<int>((rem - 500) / 1000));
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        } else {
            // Below the timer resolution: handle what is pending, then sleep
            // for a short slice instead of spinning.
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            const double left = deadlineUs - MicroSeconds();
            if (left > 0)
                std::this_thread::sleep_for(
                    std::chrono::microseconds(static_cast<int64_t>(std::min(left, 250.0))));
        }
    }
}

void RealEventService::Post(double atUs, std::function<void()> fn) {
    if (!impl_->context) impl_->context = std::make_unique<QObject>();
    const double delay = std::max(0.0, atUs - MicroSeconds());
    QTimer::singleShot(static_cast<int>(delay / 1000), Qt::PreciseTimer, impl_->context.get(),
                       std::move(fn));
}

void RealEventService::TimerChanged(Timer* t) {
    auto& qt = impl_->timers[t];
    if (!qt) {
        qt = std::make_unique<QTimer>();
        qt->setTimerType(Qt::PreciseTimer);
        QObject::connect(qt.get(), &QTimer::timeout, [t] { t->Fire(); });
    }
    if (t->Enabled()) {
        qt->start(t->Interval());
    } else {
        qt->stop();
    }
}

void RealEventService::TimerRemoved(Timer* t) { impl_->timers.erase(t); }

// --- Virtual service ---------------------------------------------------------

namespace {
struct Entry {
    double due;
    uint64_t seq;
    Timer* timer;          // null for a posted event
    uint64_t generation;   // timer entries: valid only for this generation
    std::function<void()> fn;
};
struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
        if (a.due != b.due) return a.due > b.due;
        return a.seq > b.seq;
    }
};
}  // namespace

struct VirtualEventService::Impl {
    std::priority_queue<Entry, std::vector<Entry>, Later> queue;
    std::map<Timer*, uint64_t> generation;
    uint64_t seq = 0;
};

VirtualEventService::VirtualEventService(QDateTime start)
    : impl_(std::make_unique<Impl>()), start_(std::move(start)) {}

VirtualEventService::~VirtualEventService() = default;

QDateTime VirtualEventService::Now() {
    return start_.addMSecs(static_cast<qint64>(nowUs_ / 1000.0));
}

void VirtualEventService::Post(double atUs, std::function<void()> fn) {
    impl_->queue.push(Entry{std::max(atUs, nowUs_), impl_->seq++, nullptr, 0, std::move(fn)});
}

void VirtualEventService::TimerChanged(Timer* t) {
    const uint64_t gen = ++impl_->generation[t];
    if (t->Enabled())
        impl_->queue.push(Entry{nowUs_ + t->Interval() * 1000.0, impl_->seq++, t, gen, {}});
}

void VirtualEventService::TimerRemoved(Timer* t) { impl_->generation.erase(t); }

void VirtualEventService::WaitUntil(double deadlineUs) {
    while (!impl_->queue.empty() && impl_->queue.top().due <= deadlineUs) {
        Entry e = impl_->queue.top();
        impl_->queue.pop();
        nowUs_ = std::max(nowUs_, e.due);
        ++eventsRun_;
        if (!e.timer) {
            e.fn();
            continue;
        }
        auto g = impl_->generation.find(e.timer);
        if (g == impl_->generation.end() || g->second != e.generation) continue;  // stale
        // The next tick is queued before the handler runs, so ticks that fall
        // due while the handler waits reach it and are skipped by its busy
        // flag, as they are with real timers.
        Timer* t = e.timer;
        impl_->queue.push(Entry{e.due + t->Interval() * 1000.0, impl_->seq++, t, e.generation, {}});
        t->Fire();
    }
    nowUs_ = std::max(nowUs_, deadlineUs);
}

void VirtualEventService::ProcessEvents() { WaitUntil(nowUs_); }

void VirtualEventService::RunFor(double us) { WaitUntil(nowUs_ + us); }

bool VirtualEventService::RunUntil(const std::function<bool()>& pred, double maxUs) {
    const double end = nowUs_ + maxUs;
    while (!pred()) {
        if (nowUs_ >= end) return false;
        double step = end - nowUs_;
        if (!impl_->queue.empty()) step = std::min(step, std::max(0.0, impl_->queue.top().due - nowUs_));
        WaitUntil(nowUs_ + step);
        if (step == 0 && impl_->queue.empty()) return pred();
    }
    return true;
}

}  // namespace gascal
