// The calibration's driver: the state table, the events (clicks, close,
// Ctrl+C), Timer3's tick (events, reads, engine check, the state's step,
// the exchanges the step asked for) and the steps of states 0, 1, 2, 3 and
// 20. The measuring steps are in CalibrationSteps.cpp.
#include <algorithm>
#include <cmath>

#include "ecu/Calibration.h"
#include "ecu/EcuSession.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {
constexpr double kStartWaitUs = 1e6;
constexpr double kTableSettleUs = 10 * 20000.0;  // ten waits of 20 ms after the table write
constexpr double kPetrolSettleUs = 500000;
constexpr double kGasEndWaitUs = 4e6;
}  // namespace

// --- The state table ------------------------------------------------------------------

const std::vector<CalStateRow>& Calibration::StateTable() {
    using S = CalState;
    using I = CalInstruction;
    using C = Calibration;
    // state, step, text, instruction, progress band, Yes, Esc, step handler
    static const std::vector<CalStateRow> rows = {
        {S::Idle, -1, CalText::MsgIdle, I::None, 0, 0, true, false, &C::HandleIdle},
        {S::AbortQuestion, -1, CalText::MsgQuestion, I::None, 0, 0, true, true, &C::HandleQuestion},
        {S::Start, 0, CalText::MsgStart, I::WarmUp, 2, 2, false, true, &C::HandleStart},
        {S::WaitGasTemp, 0, CalText::MsgWarmUp, I::WarmUp, 4, 5, false, true,
         &C::HandleWaitGasTemp},
        {S::IdleSettle, 1, CalText::MsgIdleSettle, I::Idle, 5, 15, false, true,
         &C::HandleIdleSettle},
        {S::IdleReference, 1, CalText::MsgIdleReference, I::Idle, 20, 20, false, true,
         &C::HandleIdleReference},
        {S::RaisedWait, 2, CalText::MsgRaise, I::RaisedSpeed, 22, 22, false, true,
         &C::HandleRaisedWait},
        {S::RaisedReference, 2, CalText::MsgRaisedReference, I::RaisedSpeed, 28, 28, false, true,
         &C::HandleRaisedReference},
        {S::TaraMax, 2, CalText::MsgTaraMax, I::RaisedSpeed, 30, 65, false, true,
         &C::HandleTaraMax},
        {S::TaraMaxSettle, 2, CalText::MsgTaraMax, I::RaisedSpeed, 30, 65, false, true,
         &C::HandleTaraMaxSettle},
        {S::IdleWait, 3, CalText::MsgReturnIdle, I::Idle, 66, 66, false, true, &C::HandleIdleWait},
        {S::TaraMin, 3, CalText::MsgTaraMin, I::Idle, 70, 95, false, true, &C::HandleTaraMin},
        {S::TaraMinSettle, 3, CalText::MsgTaraMin, I::Idle, 70, 95, false, true,
         &C::HandleTaraMinSettle},
        {S::End, -1, CalText::MsgEnd, I::Idle, 100, 100, true, true, &C::HandleEnd},
        {S::EndWithLimit, -1, CalText::MsgEndLimit, I::Idle, 100, 100, true, true, &C::HandleEnd},
        {S::Abort, -1, CalText::MsgRestoring, I::None, 0, 0, false, false, &C::HandleAbort},
        {S::ConfirmRaisedWait, 4, CalText::MsgConfirmRaise, I::RaisedSpeed, 95, 95, false, true,
         &C::HandleConfirmRaisedWait},
        {S::ConfirmTaraMax, 4, CalText::MsgConfirmMax, I::RaisedSpeed, 95, 95, false, true,
         &C::HandleConfirmTaraMax},
        {S::ConfirmSettle, 4, CalText::MsgConfirmMax, I::RaisedSpeed, 95, 95, false, true,
         &C::HandleConfirmSettle},
        {S::ConfirmIdleWait, 4, CalText::MsgConfirmReturnIdle, I::Idle, 97, 97, false, true,
         &C::HandleConfirmIdleWait},
        {S::ConfirmTaraMin, 4, CalText::MsgConfirmMin, I::Idle, 97, 97, false, true,
         &C::HandleConfirmTaraMin},
    };
    return rows;
}

QString Calibration::RowText() const {
    const CalStateRow* row = RowOf(state_);
    return row ? T(row->text) : QString();
}

const CalStateRow* Calibration::RowOf(CalState s) {
    for (const CalStateRow& r : StateTable())
        if (r.state == s) return &r;
    return nullptr;
}

// --- Life -------------------------------------------------------------------------------

Calibration::Calibration(EcuSession& session)
    : session_(session), timer_("Timer3", kCalTimerMs, [this] { Tick(); }) {
    static_assert(static_cast<int>(CalText::Count) == 46);
    ReloadTexts();
    Show(T(CalText::MsgIdle));
}

Calibration::~Calibration() {
    timer_.SetEnabled(false);
}

// --- Events -------------------------------------------------------------------------------

void Calibration::Post(CalEvent e) {
    events_.push_back(e);
    // Inside a tick (a click during one of its exchanges) the event waits
    // for the tick's end; otherwise it is taken now.
    if (!timer_.Busy()) {
        TakeEvents();
        Publish();
    }
}

void Calibration::TakeEvents() {
    while (!events_.empty()) {
        const CalEvent e = events_.front();
        events_.pop_front();
        WorkflowStep step("calibration");
        Take(e);
    }
}

void Calibration::Take(CalEvent e) {
    const CalState was = state_;
    switch (e) {
        case CalEvent::Yes:
            if (!StartEnabled()) return;
            switch (state_) {
                case CalState::Idle:
                    ResetRun();
                    settings_ = CalSettings::From(session_.Scale());
                    SetState(CalState::Start);
                    timer_.SetEnabled(true);
                    break;
                case CalState::AbortQuestion:
                    SetState(savedState_);
                    break;
                case CalState::End:
                    // Gas, as the logo's fuel switch does it, after this
                    // step; then 4 s, and state 0 gives the ECU back its
                    // running mode.
                    gasAsked_ = true;
                    lastGas_ = CalDone::None;
                    wanted_.gasEnd = true;
                    break;
                case CalState::EndWithLimit:
                    SetState(CalState::End);
                    Show(T(CalText::MsgEnd).arg(CalNumber(result_.savedOffset, 3)));
                    break;
                default:
                    break;
            }
            break;
        case CalEvent::Esc:
            if (!CancelEnabled()) return;
            switch (state_) {
                case CalState::AbortQuestion:
                case CalState::EndWithLimit:
                case CalState::Abort:
                    SetState(CalState::Abort);
                    abortRequested_ = true;
                    break;
                case CalState::Idle:
                    return;
                default:
                    savedState_ = state_;
                    SetState(CalState::AbortQuestion);
                    Show(T(CalText::MsgQuestion));
                    break;
            }
            break;
        case CalEvent::Close:
            // A finished calibration is kept (the switch to gas, once asked
            // for, goes on); any other is aborted.
            if (state_ == CalState::End && gasAsked_) return;
            if (state_ == CalState::End) {
                Take(CalEvent::EndOnPetrol);
                return;
            }
            [[fallthrough]];
        case CalEvent::Abort:
            if (state_ == CalState::Idle) return;  // at most the return to running mode
            SetState(CalState::Abort);
            abortRequested_ = true;
            break;
        case CalEvent::EndOnPetrol:
            if (state_ != CalState::End && state_ != CalState::EndWithLimit) return;
            if (gasAsked_) return;
            ToIdle();
            break;
    }
    if (state_ != was || wanted_.gasEnd) {
        // A new state runs at the next tick, whatever the step before waited for.
        dueUs_ = 0;
        timer_.SetEnabled(true);
        timer_.Wake();
    }
}

// --- Timer3: the driver ----------------------------------------------------------------------

void Calibration::Tick() {
    // A tick that comes while another handler's request is going out on
    // the line (its pauses between bytes let the timers run) comes back at
    // the next one: no request of its own could go out before.
    if (session_.Comm().ComState() == ComState::Sending) return;
    TakeEvents();
    if (MicroSeconds() < dueUs_) {
        timer_.SleepUntil(dueUs_);
        Publish();
        return;
    }
    blinkPhase_ = !blinkPhase_;
    // The abort needs no live values (its restore reads each block it
    // writes): with the ECU gone the time goes to the restore's retries.
    if (state_ != CalState::Abort && (!loadingConfig_ || !loadingConfig_())) readsOk_ = ReadLive();
    // The fitter's clicks during the reads come before the step.
    TakeEvents();
    RunStep();
    const Wanted w = std::exchange(wanted_, Wanted{});
    CarryOut(w);
    if (dueAfterUs_ > 0) {
        dueUs_ = MicroSeconds() + dueAfterUs_;
        dueAfterUs_ = 0;
        timer_.SleepUntil(dueUs_);
    }
    TakeEvents();
    Publish();
}

void Calibration::RunStep() {
    const auto run = [this] {
        blinkRpm_ = blinkTemp_ = false;
        const CalStateRow* row = RowOf(state_);
        if (!row) {
            SetState(CalState::Abort);
            return;
        }
        (this->*row->handler)();
    };
    if (abortRequested_) {
        run();
        return;
    }
    const EngineReason why = CheckEngine();
    if (engineMsgTicks_ > 0 || why != EngineReason::None) {
        if (state_ == CalState::Idle)
            HandleIdle();
        else if (state_ == CalState::Abort)
            HandleAbort();
        else
            EngineMessage(why != EngineReason::None ? why : engineReason_);
    } else if (pendingTable_ && state_ != CalState::Idle && state_ != CalState::Abort) {
        // The next measurement waits until the ECU has taken the table.
    } else if (InSlaveMode() || state_ == CalState::Start || state_ == CalState::Abort) {
        run();
    } else if (state_ == CalState::Idle) {
        HandleIdle();
    } else {
        EngineMessage(EngineReason::NotSlave);
    }
}

EngineReason Calibration::CheckEngine() const {
    if (!readsOk_ || session_.Image().Mem1Block.KeyOn == 0) return EngineReason::NotReady;
    if (Rpm() < kMinEngineRpm) return EngineReason::EngineStopped;
    return EngineReason::None;
}

void Calibration::EngineMessage(EngineReason reason) {
    WorkflowStep step("calibration");
    engineReason_ = reason;
    CalText t = CalText::MsgNotReady;
    if (reason == EngineReason::EngineStopped) t = CalText::MsgEngineStopped;
    if (reason == EngineReason::NotSlave) t = CalText::MsgNotSlave;
    if (state_ == CalState::WaitGasTemp) {
        Show(T(t).arg(0));
        SetState(CalState::Abort);
        return;
    }
    if (engineMsgTicks_ == 0) {
        engineMsgTicks_ = kEngineMessageTicks;
    } else if (engineMsgTicks_ > 1) {
        --engineMsgTicks_;
    } else {
        SetState(CalState::Abort);
        engineMsgTicks_ = 0;
    }
    Show(T(t).arg(engineMsgTicks_ / kCalTicksPerSecond));
}

void Calibration::Publish() {
    Notify();
}

bool Calibration::StartEnabled() const {
    const CalStateRow* row = RowOf(state_);
    if (!row || !row->yes || gasAsked_) return false;
    // "Yes" starts only once the ECU's blocks have been read, and not while
    // the last run still gives the ECU back its running mode.
    if (state_ == CalState::Idle) return ecuReady_ && ecuReady_() && !timer_.Enabled();
    return true;
}

bool Calibration::CancelEnabled() const {
    const CalStateRow* row = RowOf(state_);
    return row && row->esc && !gasAsked_;
}

void Calibration::SetState(CalState s) {
    // The question keeps the interrupted step where it stood.
    if (s != state_ && s != CalState::AbortQuestion && state_ != CalState::AbortQuestion) {
        phase_ = 0;
        // A new band of the progress bar starts at its beginning.
        const CalStateRow* from = RowOf(state_);
        const CalStateRow* to = RowOf(s);
        if (!from || !to || from->progressFrom != to->progressFrom) fraction_ = 0;
    }
    state_ = s;
}

void Calibration::ToIdle() {
    SetState(CalState::Idle);
    abortRequested_ = false;
    engineMsgTicks_ = 0;
    pendingTable_.reset();
    gasAsked_ = false;
    idleSinceUs_ = MicroSeconds();
    lastRunning_ = CalDone::None;
    progress_ = 0;
    fraction_ = 0;
    timer_.SetEnabled(true);  // the idle step gives back the running mode, then stops it
}

void Calibration::DueAfter(double us) {
    dueAfterUs_ = std::max(dueAfterUs_, us);
}

void Calibration::ShowProgress(double fraction) {
    fraction_ = std::clamp(fraction, 0.0, 1.0);
}

void Calibration::ResetRun() {
    abortRequested_ = false;
    engineMsgTicks_ = 0;
    engineReason_ = EngineReason::None;
    started_ = tableTouched_ = modelReset_ = gasAsked_ = abortBegun_ = false;
    pendingTable_.reset();
    restoreLeft_ = notRestored_ = 0;
    lastFuel_ = lastSlave_ = lastRunning_ = lastBackup_ = lastGas_ = CalDone::None;
    wanted_ = Wanted{};
    dueUs_ = dueAfterUs_ = gasEndUs_ = 0;
    confirmAfter_ = cycleSampled_ = false;
    calCounter_ = calCycles_ = calStableCycles_ = 0;
    tInjRef_ = raisedRefRpm_ = idleRefTime_ = idleRefRpm_ = tInjMed_ = tCorr_ = 0;
    cycles_.clear();
    result_ = CalResult{};
    result_.twoPointAsked = twoPoint_;
}

// --- Steps ------------------------------------------------------------------------------------

void Calibration::HandleIdle() {
    WorkflowStep step("calibration");
    SetStep(-1);
    QString msg = RowText();
    if (notRestored_)
        msg += QLatin1Char('\n') +
               T(CalText::MsgRestoreFailed).arg(NotRestoredNames().join(QStringLiteral(", ")));
    Show(msg);
    progress_ = 0;
    blinkRpm_ = blinkTemp_ = false;
    // The ECU goes back to its own rules before Timer3 stops; a car is
    // never left in slave mode while the link lets the tool say so.
    if (InSlaveMode() && !session_.LinkStopped() && lastRunning_ != CalDone::Ok &&
        MicroSeconds() - idleSinceUs_ < kRunningRetryUs) {
        wanted_.running = true;
        return;
    }
    timer_.SetEnabled(false);
}

void Calibration::HandleQuestion() {
    WorkflowStep step("calibration");
    Show(RowText());
}

void Calibration::HandleStart() {
    WorkflowStep step("calibration");
    SetStep(0);
    Show(RowText());
    if (phase_ == 0 || lastBackup_ == CalDone::Failed) {
        // The backups come from this ECU, read now, after a passing check.
        wanted_.backupReads = true;
        phase_ = 1;
        return;
    }
    if (phase_ == 1) {
        if (lastBackup_ != CalDone::Ok) return;
        TakeBackups();
        phase_ = 2;
    }
    if (InSlaveMode()) {
        SetState(CalState::WaitGasTemp);
        return;
    }
    // The PC chooses the fuel from now on; the next step goes on from the
    // mode the ECU reports.
    wanted_.slave = true;
    DueAfter(kStartWaitUs);
}

void Calibration::HandleWaitGasTemp() {
    WorkflowStep step("calibration");
    SetStep(0);
    if (phase_ == 0) {
        const double limit = settings_.warmGasTemp;
        if (!(TempVap() > limit)) {
            Show(RowText() + QLatin1Char('\n') + CalNumber(TempVap(), 2) + QStringLiteral(" < ") +
                 CalNumber(limit, 2));
            blinkTemp_ = true;
            ShowProgress(0);
            return;
        }
        Show(RowText());
        phase_ = 1;
        if (!modelReset_) {
            LineModel m;
            m.SetDefaults();
            m.Recompute();
            SetModel(m);
            modelReset_ = true;
            WantModelTable();
            DueAfter(kTableSettleUs);
            return;
        }
    }
    if (phase_ == 1) {
        if (OnGas()) WantFuel(false);
        phase_ = 2;
        DueAfter(kPetrolSettleUs);
        return;
    }
    if (lastFuel_ == CalDone::Failed) {
        // A failed switch is tried again.
        phase_ = 1;
        return;
    }
    LineModel m = session_.Model().Model();
    if (m.OFFSET != 0) {
        m.OFFSET = 0;
        m.Recompute();
        SetModel(m);
    }
    tInjRef_ = raisedRefRpm_ = idleRefTime_ = idleRefRpm_ = tInjMed_ = tCorr_ = 0;
    meanRpm_ = meanPress_ = meanTemp_ = 0;
    calCounter_ = settings_.idleSettleTicks;
    SetState(CalState::IdleSettle);
}

void Calibration::HandleEnd() {
    WorkflowStep step("calibration");
    if (!gasAsked_) return;
    if (lastGas_ == CalDone::None) return;  // the switch is still to come
    if (lastGas_ == CalDone::Failed) {
        gasAsked_ = false;
        lastGas_ = CalDone::None;
        Show(T(CalText::MsgGasFailed));
        return;
    }
    if (gasEndUs_ == 0) {
        gasEndUs_ = MicroSeconds() + kGasEndWaitUs;
        DueAfter(kGasEndWaitUs);
        return;
    }
    if (MicroSeconds() < gasEndUs_) return;
    gasEndUs_ = 0;
    ToIdle();
}

// --- Shown ---------------------------------------------------------------------------------------

void Calibration::SetStep(int step) {
    if (step == step_) return;
    step_ = step;
    for (const auto& f : stepChanged_) f(step);
}

CalInstruction Calibration::Instruction() const {
    const CalState s = state_ == CalState::AbortQuestion ? savedState_ : state_;
    const CalStateRow* row = RowOf(s);
    return row ? row->instruction : CalInstruction::None;
}

void Calibration::Notify() {
    if (const CalStateRow* row = RowOf(state_); row && state_ != CalState::Idle &&
                                                state_ != CalState::Abort &&
                                                state_ != CalState::AbortQuestion)
        progress_ =
            row->progressFrom + static_cast<int>((row->progressTo - row->progressFrom) * fraction_);
    for (const auto& f : changed_) f();
}

}  // namespace gascal
