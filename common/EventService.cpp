#include "common/EventService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <queue>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace gascal {

// --- Timer -------------------------------------------------------------------

namespace {
constexpr double kAwake = -std::numeric_limits<double>::infinity();
}

Timer::Timer(std::string name, int intervalMs, std::function<void()> handler)
    : name_(std::move(name)),
      intervalMs_(std::max(1, intervalMs)),
      handler_(std::move(handler)),
      sleepUntilUs_(kAwake) {}

Timer::~Timer() {
    if (service_) service_->TimerRemoved(this);
}

void Timer::SetEnabled(bool on) {
    if (service_ && on == enabled_) return;  // enabling a running timer does not restart it
    enabled_ = on;
    sleepUntilUs_ = kAwake;
    service_ = &Events();
    service_->TimerChanged(this);
}

void Timer::SetInterval(int ms) {
    intervalMs_ = std::max(1, ms);
    if (service_) service_->TimerChanged(this);
}

void Timer::SleepUntil(double us) {
    if (us == sleepUntilUs_) return;
    sleepUntilUs_ = us;
    SleepChanged();
}

void Timer::Wake() {
    if (sleepUntilUs_ == kAwake) return;
    sleepUntilUs_ = kAwake;
    SleepChanged();
}

void Timer::SleepChanged() {
    // Inside the handler nothing needs to happen now: the service arms the
    // next tick when the handler returns.
    if (service_ && enabled_ && !busy_) service_->TimerSleepChanged(this);
}

bool Timer::Fire(double tickUs) {
    if (!enabled_) return false;
    if (busy_) {
        ++skipped_;
        return false;
    }
    if (tickUs < sleepUntilUs_) {
        ++slept_;
        return false;
    }
    sleepUntilUs_ = kAwake;
    busy_ = true;
    ++ticks_;
    handler_();
    busy_ = false;
    return true;
}

// --- Process-wide service ----------------------------------------------------

namespace {
EventService* g_override = nullptr;

RealEventService& RealService() {
    static RealEventService real;
    return real;
}
}  // namespace

EventService& Events() {
    return g_override ? *g_override : RealService();
}

void SetEvents(EventService* service) {
    g_override = service;
}

ScopedEvents::ScopedEvents(EventService& s) : previous_(g_override) {
    g_override = &s;
}
ScopedEvents::~ScopedEvents() {
    g_override = previous_;
}

double MicroSeconds() {
    return Events().MicroSeconds();
}

void WaitMicroSeconds(double us) {
    EventService& ev = Events();
    ev.WaitUntil(ev.MicroSeconds() + std::max(0.0, us));
}

bool WaitForEvents(double deadlineUs) {
    return Events().WaitForEvents(deadlineUs);
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

// --- Workflow steps ------------------------------------------------------------

namespace {
const char* g_step = nullptr;
StepWaitHandler& WaitHandler() {
    static StepWaitHandler handler;
    return handler;
}
}  // namespace

WorkflowStep::WorkflowStep(const char* workflow) : previous_(g_step) {
    g_step = workflow;
}
WorkflowStep::~WorkflowStep() {
    g_step = previous_;
}

const char* CurrentWorkflowStep() {
    return g_step;
}

void SetStepWaitHandler(StepWaitHandler handler) {
    WaitHandler() = std::move(handler);
}

void CheckNoWorkflowStep(const char* wait) {
    if (!g_step) return;
    if (WaitHandler()) {
        WaitHandler()(g_step, wait);
    } else {
        qWarning("%s: a step of the workflow waited (%s)", g_step, wait);
    }
}

// --- Real service ------------------------------------------------------------

namespace {
// Sleeps in the system (no events are handled meanwhile).
void SleepFor(double us) {
    if (us > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(static_cast<int64_t>(us * 1000)));
}

int WholeMs(double ms) {
    return static_cast<int>(
        std::clamp(ms, 0.0, static_cast<double>(std::numeric_limits<int>::max())));
}
// Whole milliseconds for a Qt timer that must not fire before `us` have passed.
int MsNotBefore(double us) {
    return WholeMs(std::ceil(us / 1000.0));
}
// Whole milliseconds for a Qt timer that fires at most a millisecond early.
int MsBefore(double us) {
    return WholeMs(std::floor(us / 1000.0));
}

// Blocks in the event loop until an event arrives; a precise timer ends the
// wait after `ms` at the latest.
void BlockInEventLoop(int ms) {
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(ms);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
}  // namespace

// Each Timer has one single-shot Qt timer, armed for the next tick that is to
// run. Ticks lie on a grid from the moment the timer was (re)started; a
// sleeping timer runs its tick at the end of its sleep itself (the Qt timer
// wakes the process up to a millisecond early and the rest is slept), and a
// woken timer at once.
struct RealEventService::Impl {
    struct Armed {
        QTimer* qt = nullptr;  // owned; deleted later (it may be inside its own signal)
        double phaseUs = 0;
        double dueUs = 0;
        bool exact = false;  // the end of a sleep: run no earlier than dueUs
    };
    QElapsedTimer clock;
    std::map<Timer*, Armed> timers;
    std::unique_ptr<QObject> context;

    // Arms the timer for its first regular tick after `afterUs`, or for the
    // end of its sleep when that is later; stops it while it sleeps until
    // woken.
    static void Arm(Timer* t, Armed& a, double nowUs, double afterUs) {
        if (!t->Enabled()) {
            a.qt->stop();
            return;
        }
        const double iv = t->Interval() * 1000.0;
        const double grid = a.phaseUs + (std::floor((afterUs - a.phaseUs) / iv) + 1) * iv;
        const double sleep = t->SleepingUntil();
        if (sleep > grid && std::isinf(sleep)) {
            a.qt->stop();
            return;
        }
        a.exact = sleep > grid;
        a.dueUs = a.exact ? sleep : grid;
        a.qt->start(a.exact ? MsBefore(a.dueUs - nowUs) : MsNotBefore(a.dueUs - nowUs));
    }
    static void ArmNow(Armed& a, double nowUs) {
        a.exact = false;
        a.dueUs = nowUs;
        a.qt->start(0);
    }
};

RealEventService::RealEventService() : impl_(std::make_unique<Impl>()) {
    impl_->clock.start();
#ifdef __linux__
    // Short sleeps end when asked (a 500 us pause after each request byte),
    // not up to the system's default slack of 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
}

RealEventService::~RealEventService() {
    for (auto& [t, a] : impl_->timers) delete a.qt;
}

double RealEventService::MicroSeconds() {
    return impl_->clock.nsecsElapsed() / 1000.0;
}

QDateTime RealEventService::Now() {
    return QDateTime::currentDateTime();
}

void RealEventService::ProcessEvents() {
    CheckNoWorkflowStep("ProcessEvents");
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RealEventService::WaitUntil(double deadlineUs) {
    CheckNoWorkflowStep("WaitUntil");
    for (;;) {
        const double rem = deadlineUs - MicroSeconds();
        if (rem <= 0) return;
        const bool loop = QCoreApplication::instance() != nullptr;
        if (loop && rem > kFinalSleepUs) {
            // Sleep in the event loop until an event arrives or shortly
            // before the deadline (whole milliseconds, at least one).
            BlockInEventLoop(static_cast<int>((rem - kWakeBeforeDeadlineUs) / 1000));
            continue;
        }
        // The last part: what is pending runs, then one sleep to the deadline.
        if (loop) QCoreApplication::processEvents(QEventLoop::AllEvents);
        SleepFor(deadlineUs - MicroSeconds());
    }
}

bool RealEventService::WaitForEvents(double deadlineUs) {
    CheckNoWorkflowStep("WaitForEvents");
    const double rem = deadlineUs - MicroSeconds();
    if (rem <= 0) return false;
    if (!QCoreApplication::instance()) {
        SleepFor(rem);
        return false;
    }
    BlockInEventLoop(MsNotBefore(rem));
    return MicroSeconds() < deadlineUs;
}

void RealEventService::Post(double atUs, std::function<void()> fn) {
    if (!impl_->context) impl_->context = std::make_unique<QObject>();
    QTimer::singleShot(MsNotBefore(atUs - MicroSeconds()), Qt::PreciseTimer, impl_->context.get(),
                       std::move(fn));
}

void RealEventService::TimerChanged(Timer* t) {
    Impl::Armed& a = impl_->timers[t];
    if (!a.qt) {
        a.qt = new QTimer;
        a.qt->setSingleShot(true);
        a.qt->setTimerType(Qt::PreciseTimer);
        QTimer* qt = a.qt;
        QObject::connect(qt, &QTimer::timeout, [this, t, qt] {
            auto it = impl_->timers.find(t);
            if (it == impl_->timers.end() || it->second.qt != qt) return;
            const double tick = it->second.dueUs;
            // The end of a sleep: the last part of the millisecond is slept.
            if (it->second.exact) SleepFor(tick - MicroSeconds());
            t->Fire(tick);
            // The handler may have removed or restarted the timer.
            it = impl_->timers.find(t);
            if (it == impl_->timers.end() || it->second.qt != qt) return;
            const double now = MicroSeconds();
            Impl::Arm(t, it->second, now, std::max(now, tick));
        });
    }
    const double now = MicroSeconds();
    a.phaseUs = now;
    Impl::Arm(t, a, now, now);
}

void RealEventService::TimerSleepChanged(Timer* t) {
    auto it = impl_->timers.find(t);
    if (it == impl_->timers.end()) return;
    const double now = MicroSeconds();
    if (t->SleepingUntil() <= now)
        Impl::ArmNow(it->second, now);  // woken: the tick runs at once
    else
        Impl::Arm(t, it->second, now, now);
}

void RealEventService::TimerRemoved(Timer* t) {
    auto it = impl_->timers.find(t);
    if (it == impl_->timers.end()) return;
    it->second.qt->stop();
    if (QCoreApplication::instance())
        it->second.qt->deleteLater();
    else
        delete it->second.qt;
    impl_->timers.erase(it);
}

// --- Virtual service ---------------------------------------------------------

namespace {
struct Entry {
    double due;
    uint64_t seq;
    Timer* timer;         // null for a posted event
    uint64_t generation;  // timer entries: valid only for this generation
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

void VirtualEventService::TimerRemoved(Timer* t) {
    impl_->generation.erase(t);
}

bool VirtualEventService::RunNext() {
    Entry e = impl_->queue.top();
    impl_->queue.pop();
    nowUs_ = std::max(nowUs_, e.due);
    ++eventsRun_;
    bool ran = false;
    if (!e.timer) {
        e.fn();
        ran = true;
    } else {
        auto g = impl_->generation.find(e.timer);
        if (g == impl_->generation.end() || g->second != e.generation) return false;  // stale
        // The next tick is queued before the handler runs, so ticks that fall
        // due while the handler waits reach it and are skipped by its busy
        // flag (a real timer is not armed meanwhile: the same ticks run).
        Timer* t = e.timer;
        impl_->queue.push(Entry{e.due + t->Interval() * 1000.0, impl_->seq++, t, e.generation, {}});
        ran = t->Fire(e.due);
    }
    if (ran) CountWakeUp();
    return ran;
}

void VirtualEventService::CountWakeUp() {
    if (nowUs_ == lastWakeUpUs_) return;
    lastWakeUpUs_ = nowUs_;
    ++wakeUps_;
}

void VirtualEventService::Advance(double deadlineUs, bool ownWait) {
    while (!impl_->queue.empty() && impl_->queue.top().due <= deadlineUs) RunNext();
    if (deadlineUs > nowUs_) {
        nowUs_ = deadlineUs;
        // A wait of the tool's own ends with a wake-up at its deadline.
        if (ownWait) CountWakeUp();
    }
}

void VirtualEventService::WaitUntil(double deadlineUs) {
    CheckNoWorkflowStep("WaitUntil");
    Advance(deadlineUs, true);
}

bool VirtualEventService::WaitForEvents(double deadlineUs) {
    CheckNoWorkflowStep("WaitForEvents");
    while (!impl_->queue.empty() && impl_->queue.top().due <= deadlineUs)
        if (RunNext()) return true;
    if (std::isfinite(deadlineUs)) Advance(deadlineUs, true);
    return false;
}

void VirtualEventService::ProcessEvents() {
    CheckNoWorkflowStep("ProcessEvents");
    Advance(nowUs_, true);
}

void VirtualEventService::RunFor(double us) {
    Advance(nowUs_ + us, false);
}

bool VirtualEventService::RunUntil(const std::function<bool()>& pred, double maxUs) {
    const double end = nowUs_ + maxUs;
    while (!pred()) {
        if (nowUs_ >= end) return false;
        double step = end - nowUs_;
        if (!impl_->queue.empty())
            step = std::min(step, std::max(0.0, impl_->queue.top().due - nowUs_));
        Advance(nowUs_ + step, false);
        if (step == 0 && impl_->queue.empty()) return pred();
    }
    return true;
}

}  // namespace gascal
