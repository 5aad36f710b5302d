// The time and event seam of the tool.
//
// The tool is single-threaded: a few timers drive everything, and every wait
// lets other timers and device events run while it waits. All of that goes
// through one process-wide event service so that the same code runs on the
// real monotonic clock with Qt timers, or on a deterministic virtual clock in
// tests (where a minute of link traffic takes milliseconds and never varies).
#pragma once

#include <QDateTime>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace gascal {

class EventService;

// A periodic timer of a window or of the link (Timer1, Timer2, ...).
// The handler is never re-entered: a tick that falls due while the handler
// is still running (inside one of its own waits) is skipped, which is what
// each handler's busy flag guarantees.
//
// A timer can sleep: SleepUntil(us) skips its ticks until the clock reaches
// `us` (the first of its regular ticks at or after `us` runs) unless Wake()
// comes first. The ticks stay on the same grid as without sleeping, so a
// handler that sleeps only through ticks that would have done nothing sees
// its work at the same ticks as before; a sleeping tick costs the process no
// wake-up. Enabling the timer ends a sleep.
class Timer {
  public:
    Timer(std::string name, int intervalMs, std::function<void()> handler);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void SetEnabled(bool on);
    bool Enabled() const { return enabled_; }
    void SetInterval(int ms);
    int Interval() const { return intervalMs_; }
    bool Busy() const { return busy_; }
    const std::string& Name() const { return name_; }
    uint64_t Ticks() const { return ticks_; }
    uint64_t SkippedTicks() const { return skipped_; }

    // Skips ticks until the clock reaches `us` (infinity: until woken).
    // Called from the handler it takes effect after the handler returns.
    void SleepUntil(double us);
    // Ends a sleep: the next regular tick runs.
    void Wake();
    // The clock value before which ticks are skipped (-infinity when awake).
    double SleepingUntil() const { return sleepUntilUs_; }
    // Ticks skipped because the timer slept, where the service visits them
    // (virtual time; the real service arms no slept tick at all).
    uint64_t SleptTicks() const { return slept_; }

    // Called by the event service when the tick due at `tickUs` falls due;
    // true when the handler ran.
    bool Fire(double tickUs);

  private:
    void SleepChanged();

    std::string name_;
    int intervalMs_;
    std::function<void()> handler_;
    bool enabled_ = false;
    bool busy_ = false;
    uint64_t ticks_ = 0;
    uint64_t skipped_ = 0;
    uint64_t slept_ = 0;
    double sleepUntilUs_;
    EventService* service_ = nullptr;
    friend class EventService;
};

class EventService {
  public:
    virtual ~EventService() = default;

    // Monotonic microseconds; only differences matter.
    virtual double MicroSeconds() = 0;
    // Calendar time (for the link's open time and the seconds wait).
    virtual QDateTime Now() = 0;
    // Runs events until the clock reaches the deadline.
    virtual void WaitUntil(double deadlineUs) = 0;
    // Runs events until at least one has run (a timer tick whose handler
    // ran, a posted event, any event of the window system) or the clock
    // reaches the deadline; true when woken by an event. Waits for a
    // condition that only events change use it instead of polling.
    virtual bool WaitForEvents(double deadlineUs) = 0;
    // Runs what is pending now without waiting (one pass of the event loop).
    virtual void ProcessEvents() = 0;
    // Runs `fn` once at (or just after) the given clock value. Used for device
    // events such as bytes arriving on a simulated line.
    virtual void Post(double atUs, std::function<void()> fn) = 0;

    // Timer registration, called by Timer itself.
    virtual void TimerChanged(Timer* t) = 0;
    virtual void TimerRemoved(Timer* t) = 0;
    // A timer began or ended a sleep (outside its handler).
    virtual void TimerSleepChanged(Timer* /*t*/) {}
};

// The process-wide service. Production code never sets it; tests install a
// virtual one for their duration.
EventService& Events();
void SetEvents(EventService* service);  // nullptr restores the real service

// Scoped installation of a service (tests).
class ScopedEvents {
  public:
    explicit ScopedEvents(EventService& s);
    ~ScopedEvents();

  private:
    EventService* previous_;
};

// --- Shared clock helpers ----------------------------------------------------

// Microsecond clock of the tool.
double MicroSeconds();
// Processes events until the clock has advanced by `us` microseconds.
void WaitMicroSeconds(double us);
// Processes events until one has run or the clock reaches `deadlineUs`;
// true when woken by an event.
bool WaitForEvents(double deadlineUs);
// Processes events until the seconds-since-midnight timer has advanced by `s`.
void WaitSeconds(double s);
// Seconds since midnight of the event service's calendar clock.
double SecondsSinceMidnight();

// --- Workflow steps ------------------------------------------------------------

// A workflow that talks to the ECU over many exchanges (calibration, firmware
// upgrade) runs as a step machine: a step decides, asks for its exchanges or
// its next time, and returns; it never waits and never processes events, so
// no timer tick and no click can run in the middle of it. A step marks itself
// with a WorkflowStep for its duration. A wait or an event pass made while a
// step is on the stack is a fault: it is reported to the step-wait handler
// (the test suite fails the running test on it) and then carried out.
class WorkflowStep {
  public:
    explicit WorkflowStep(const char* workflow);
    ~WorkflowStep();
    WorkflowStep(const WorkflowStep&) = delete;
    WorkflowStep& operator=(const WorkflowStep&) = delete;

  private:
    const char* previous_;
};
// The workflow whose step is running, or nullptr.
const char* CurrentWorkflowStep();
// Told of every wait made inside a step: the workflow and the kind of wait.
using StepWaitHandler = std::function<void(const char* workflow, const char* wait)>;
// Installs the handler (an empty one restores the default, a warning).
void SetStepWaitHandler(StepWaitHandler handler);
// Called by every wait of the event services.
void CheckNoWorkflowStep(const char* wait);

// --- Real implementation -----------------------------------------------------

// Monotonic clock and Qt precise timers. Waits block in the Qt event loop
// (or, without a Qt application, in the system) until the next event or
// shortly before the deadline, then sleep the last part once, so an idle
// tool uses no CPU and a 500 us pause stays a 500 us pause. Each timer is
// armed for its next due tick only: a sleeping timer is armed for the end of
// its sleep, never for the ticks it skips.
class RealEventService : public EventService {
  public:
    RealEventService();
    ~RealEventService() override;
    double MicroSeconds() override;
    QDateTime Now() override;
    void WaitUntil(double deadlineUs) override;
    bool WaitForEvents(double deadlineUs) override;
    void ProcessEvents() override;
    void Post(double atUs, std::function<void()> fn) override;
    void TimerChanged(Timer* t) override;
    void TimerRemoved(Timer* t) override;
    void TimerSleepChanged(Timer* t) override;
    // Below this much time before a deadline a wait sleeps in the system
    // instead of the event loop (whose timers count whole milliseconds); the
    // event loop is left at least kWakeBeforeDeadlineUs before the deadline.
    static constexpr double kFinalSleepUs = 1500;
    static constexpr double kWakeBeforeDeadlineUs = 500;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// --- Virtual implementation --------------------------------------------------

// Deterministic virtual time. Nothing happens until somebody waits or calls
// RunFor: then due timers and posted events run in time order, and the clock
// jumps from one event to the next. Ties run in registration order. Every
// tick of a timer is visited, sleeping or not, so sleeping never changes the
// order of anything; a tick skipped by sleeping counts as no event.
class VirtualEventService : public EventService {
  public:
    explicit VirtualEventService(QDateTime start = QDateTime(QDate(2026, 1, 15), QTime(10, 0, 0)));
    ~VirtualEventService() override;
    double MicroSeconds() override { return nowUs_; }
    QDateTime Now() override;
    void WaitUntil(double deadlineUs) override;
    bool WaitForEvents(double deadlineUs) override;
    void ProcessEvents() override;
    void Post(double atUs, std::function<void()> fn) override;
    void TimerChanged(Timer* t) override;
    void TimerRemoved(Timer* t) override;

    // Advances virtual time by `us`, running everything that falls due.
    void RunFor(double us);
    // Advances until `pred` holds or `maxUs` have passed; true when it held.
    bool RunUntil(const std::function<bool()>& pred, double maxUs);
    uint64_t EventsRun() const { return eventsRun_; }
    // Timer ticks whose handler ran plus posted events run: what would wake
    // a real process.
    uint64_t WakeUps() const { return wakeUps_; }

  private:
    // Runs the earliest entry; true when a handler or a posted event ran.
    bool RunNext();
    void Advance(double deadlineUs, bool ownWait);
    void CountWakeUp();

    struct Impl;
    std::unique_ptr<Impl> impl_;
    double nowUs_ = 0;
    double lastWakeUpUs_ = -1;
    uint64_t eventsRun_ = 0;
    uint64_t wakeUps_ = 0;
    QDateTime start_;
};

}  // namespace gascal
