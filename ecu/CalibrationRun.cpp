// The calibration's driver and its measuring steps: Timer3's tick (events,
// reads, engine check, the state's step, the exchanges the step asked for),
// the state table, and the steps of states 0 to 21 and the two-point check.
#include <algorithm>
#include <cmath>

#include "ecu/Calibration.h"
#include "ecu/EcuSession.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {
// The first two cycles of each step are short and fixed.
constexpr int kTaraMaxFirstN = 4, kTaraMaxSecondN = 6;
constexpr int kTaraMinFirstN = 6, kTaraMinSecondN = 4;
constexpr int kTaraMaxFirstSettle = 8, kTaraMinFirstSettle = 4;
constexpr int kFirstStableTaraMin = 3;  // the first two idle cycles never count as stable
constexpr double kStartWaitUs = 1e6;
constexpr double kTableSettleUs = 10 * 20000.0;  // ten waits of 20 ms after the table write
constexpr double kPetrolSettleUs = 500000;
constexpr double kGasEndWaitUs = 4e6;
constexpr double kTolerance = 1e-7;

double Thousandths(double v) {
    return std::nearbyint(v * 1000) / 1000;
}
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

const CalStateRow* Calibration::RowOf(CalState s) {
    for (const CalStateRow& r : StateTable())
        if (r.state == s) return &r;
    return nullptr;
}

// --- Life -------------------------------------------------------------------------------

Calibration::Calibration(EcuSession& session)
    : session_(session), timer_("Timer3", kCalTimerMs, [this] { Timer3_Timer(); }) {
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

void Calibration::Timer3_Timer() {
    // A tick that comes while another handler's request is going out on
    // the line (its pauses between bytes let the timers run) comes back at
    // the next one: no request of its own could go out before.
    if (session_.Comm().ComState() == COM_SENDING) return;
    TakeEvents();
    if (MicroSeconds() < dueUs_) {
        timer_.SleepUntil(dueUs_);
        Publish();
        return;
    }
    blinkPhase_ = !blinkPhase_;
    if (!loadingConfig_ || !loadingConfig_()) readsOk_ = ReadLive();
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
    if (s != state_ && s != CalState::AbortQuestion && state_ != CalState::AbortQuestion)
        phase_ = 0;
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

// --- Live values ---------------------------------------------------------------------

double Calibration::TempVap() const {
    return session_.Image().Mem1Block.ReducerTemp;
}
double Calibration::PressVap() const {
    return session_.Image().Mem1Block.GasPressureRaw / 1000.0;
}
double Calibration::Rpm() const {
    return session_.Image().Mem1Block.Rpm;
}
double Calibration::MeanPetrolTime() const {
    const auto& t = session_.Image().Mem1Block.PetrolInjTimes;
    return (t[0] + t[1] + t[2] + t[3]) / 4;
}
bool Calibration::OnGas() const {
    return FuelSwitch(session_.Requests(), session_.Image()).OnGas();
}
bool Calibration::InSlaveMode() const {
    return FuelSwitch(session_.Requests(), session_.Image()).InSlaveMode();
}
double Calibration::RaisedTargetRpm() const {
    return settings_.raisedRpm > 0 ? settings_.raisedRpm : session_.Scale().CalParam(10);
}

// --- Steps ------------------------------------------------------------------------------------

void Calibration::HandleIdle() {
    WorkflowStep step("calibration");
    SetStep(-1);
    QString msg = T(CalText::MsgIdle);
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
    Show(T(CalText::MsgQuestion));
}

void Calibration::HandleStart() {
    WorkflowStep step("calibration");
    SetStep(0);
    Show(T(CalText::MsgStart));
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
            Show(T(CalText::MsgWarmUp) + QLatin1Char('\n') + CalNumber(TempVap(), 2) +
                 QStringLiteral(" < ") + CalNumber(limit, 2));
            blinkTemp_ = true;
            ShowProgress(0);
            return;
        }
        Show(T(CalText::MsgWarmUp));
        phase_ = 1;
        if (!modelReset_) {
            LineModel m;
            m.DisponiMatriceModDefault();
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
    ShowProgress(1);
}

void Calibration::HandleIdleSettle() {
    WorkflowStep step("calibration");
    SetStep(1);
    Show(T(CalText::MsgIdleSettle) + QLatin1Char(' ') +
         QString::number(calCounter_ / kCalTicksPerSecond));
    if (calCounter_ > 0) --calCounter_;
    ShowProgress(1 - calCounter_ / std::max(1.0, double(settings_.idleSettleTicks)));
    if (calCounter_ <= 0) {
        calCounter_ = settings_.idleRefStart;
        SetState(CalState::IdleReference);
    }
}

bool Calibration::Average(int startValue, double& timeOut, double& rpmOut) {
    // The first tick only clears the sums: the average is of the ticks after it.
    const int start = std::max(2, startValue);
    if (calCounter_ >= start) {
        sumTime_ = sumRpm_ = 0;
        samples_ = 0;
        calCounter_ = start - 1;
        return false;
    }
    sumTime_ += MeanPetrolTime();
    sumRpm_ += Rpm();
    ++samples_;
    if (--calCounter_ > 0) return false;
    timeOut = sumTime_ / samples_;
    rpmOut = sumRpm_ / samples_;
    return true;
}

void Calibration::HandleIdleReference() {
    WorkflowStep step("calibration");
    SetStep(1);
    Show(T(CalText::MsgIdleReference));
    if (Average(settings_.idleRefStart, idleRefTime_, idleRefRpm_)) {
        calCounter_ = settings_.raisedHoldTicks;
        SetState(CalState::RaisedWait);
    }
}

void Calibration::HandleRaisedReference() {
    WorkflowStep step("calibration");
    SetStep(2);
    Show(T(CalText::MsgRaisedReference));
    if (Average(settings_.raisedRefStart, tInjRef_, raisedRefRpm_)) {
        calCycles_ = calStableCycles_ = 0;
        calCounter_ = kTaraMaxFirstN;
        SetState(CalState::TaraMax);
    }
}

void Calibration::HandleRaisedWait() {
    WorkflowStep step("calibration");
    RaisedWait(CalState::RaisedReference, settings_.raisedRefStart, false);
}
void Calibration::HandleConfirmRaisedWait() {
    WorkflowStep step("calibration");
    RaisedWait(CalState::ConfirmTaraMax, settings_.taraMaxSamples, true);
}

void Calibration::RaisedWait(CalState next, int nextCounter, bool confirm) {
    SetStep(confirm ? 4 : 2);
    const QString msg = T(confirm ? CalText::MsgConfirmRaise : CalText::MsgRaise)
                            .arg(CalNumber(settings_.raisedRpm, 0));
    const double threshold = settings_.RaisedThreshold();
    if (!(Rpm() > threshold)) {
        Show(msg + QLatin1Char('\n') + CalNumber(Rpm(), 0) + QStringLiteral(" < ") +
             CalNumber(threshold, 0));
        blinkRpm_ = true;
        return;
    }
    Show(msg);
    if (calCounter_ > 0) --calCounter_;
    if (calCounter_ <= 0) {
        calCounter_ = nextCounter;
        SetState(next);
    }
}

int Calibration::TaraMaxN() const {
    if (calCycles_ == 0) return kTaraMaxFirstN;
    if (calCycles_ == 1) return kTaraMaxSecondN;
    return settings_.taraMaxSamples;
}

int Calibration::TaraMinN() const {
    if (calCycles_ == 0) return kTaraMinFirstN;
    if (calCycles_ == 1) return kTaraMinSecondN;
    return settings_.taraMinSamples;
}

bool Calibration::SampleCycle(int n, bool idle) {
    if (calCounter_ <= 0) return true;
    if (calCounter_ >= n) {
        sumTime_ = sumRpm_ = sumPress_ = sumTemp_ = 0;
        samples_ = 0;
    } else {
        // The same measure as the references: the mean of injectors 1 to 4.
        // Injector 1 alone against the mean would carry its own difference
        // from the other cylinders into OFFSET.
        sumTime_ += MeanPetrolTime();
        if (idle) {
            sumRpm_ += Rpm();
            sumPress_ += PressVap();
            sumTemp_ += TempVap();
        }
        ++samples_;
    }
    return --calCounter_ <= 0;
}

void Calibration::WantFuel(bool gas) {
    lastFuel_ = CalDone::None;
    wanted_.fuel = gas ? Fuel::Gas : Fuel::Petrol;
}

void Calibration::HandleTaraMax() {
    WorkflowStep step("calibration");
    TaraMaxCycle(false);
}
void Calibration::HandleConfirmTaraMax() {
    WorkflowStep step("calibration");
    TaraMaxCycle(true);
}

void Calibration::TaraMaxCycle(bool confirm) {
    SetStep(confirm ? 4 : 2);
    const int n = std::max(2, confirm ? settings_.taraMaxSamples : TaraMaxN());
    Show(confirm ? T(CalText::MsgConfirmMax) : T(CalText::MsgTaraMax).arg(calCycles_ + 1));
    if (!confirm) ShowProgress(calCycles_ / std::max(1.0, settings_.taraMaxCyclesEnd));
    if (!cycleSampled_) {
        if (!OnGas()) {
            WantFuel(true);
            return;
        }
        if (!SampleCycle(n, false)) return;
        cycleSampled_ = true;
        WantFuel(false);
        return;
    }
    // The cycle is over once the ECU is back on petrol.
    if (lastFuel_ != CalDone::Ok && OnGas()) {
        WantFuel(false);
        return;
    }
    cycleSampled_ = false;
    // The average of the samples taken: the cycle's first tick only clears
    // the sum, so there is one sample fewer than the cycle's ticks.
    tInjMed_ = samples_ > 0 ? sumTime_ / samples_ : 0;
    const double before = session_.Model().Model().OFFSET;
    CalCycle c;
    c.reference = tInjRef_;
    c.measured = tInjMed_;
    c.offsetBefore = before;
    if (confirm) {
        c.kind = confirmAfter_ ? CalCycle::ConfirmAfter : CalCycle::ConfirmBefore;
        c.number = calCycles_;
        c.offsetAfter = before;
        WriteReport(c,
                    confirmAfter_ ? QStringLiteral("TaraMax Verifica Dopo ")
                                  : QStringLiteral("TaraMax Verifica Prima "),
                    TempVap(), PressVap());
        cycles_.push_back(c);
        if (!confirmAfter_) {
            result_.residualRaisedBefore = c.Difference();
            ApplyTwoPoint();
            confirmAfter_ = true;
            calCounter_ = settings_.taraMaxSettle;
            SetState(CalState::ConfirmSettle);
        } else {
            result_.residualRaisedAfter = c.Difference();
            calCounter_ = settings_.idleWaitTicks;
            SetState(CalState::ConfirmIdleWait);
        }
        return;
    }
    const CalSettings& s = settings_;
    tCorr_ = CorrectionA(tInjMed_, tInjRef_, 0, raisedRefRpm_, s.taraMaxBand, s.taraMaxGain,
                         s.taraMaxLargest);
    ++calCycles_;
    c.kind = CalCycle::TaraMax;
    c.number = calCycles_;
    c.correction = tCorr_;
    WriteReport(c, QStringLiteral("TaraMax Ciclo %1 ").arg(calCycles_), TempVap(), PressVap());
    if (tCorr_ != 0)
        MoveOffset(tCorr_);
    else
        ++calStableCycles_;
    c.offsetAfter = session_.Model().Model().OFFSET;
    cycles_.push_back(c);
    if (calStableCycles_ >= s.taraMaxStableEnd || calCycles_ >= s.taraMaxCyclesEnd) {
        result_.offsetRaised = c.offsetAfter;
        calCounter_ = s.idleWaitTicks;
        SetState(CalState::IdleWait);
    } else {
        calCounter_ = calCycles_ == 1 ? kTaraMaxFirstSettle : s.taraMaxSettle;
        SetState(CalState::TaraMaxSettle);
    }
}

void Calibration::HandleTaraMaxSettle() {
    WorkflowStep step("calibration");
    Settle(CalState::TaraMax, TaraMaxN());
}
void Calibration::HandleTaraMinSettle() {
    WorkflowStep step("calibration");
    Settle(CalState::TaraMin, TaraMinN());
}
void Calibration::HandleConfirmSettle() {
    WorkflowStep step("calibration");
    Settle(CalState::ConfirmTaraMax, settings_.taraMaxSamples);
}

void Calibration::Settle(CalState back, int nextCounter) {
    if (OnGas()) {
        WantFuel(false);
        return;
    }
    if (calCounter_ > 0) --calCounter_;
    if (calCounter_ <= 0) {
        calCounter_ = nextCounter;
        SetState(back);
    }
}

void Calibration::HandleIdleWait() {
    WorkflowStep step("calibration");
    IdleWait(CalState::TaraMin, false);
}
void Calibration::HandleConfirmIdleWait() {
    WorkflowStep step("calibration");
    IdleWait(CalState::ConfirmTaraMin, true);
}

void Calibration::IdleWait(CalState next, bool confirm) {
    SetStep(confirm ? 4 : 3);
    const QString msg = T(confirm ? CalText::MsgConfirmReturnIdle : CalText::MsgReturnIdle);
    const double threshold = (1 - settings_.idleRpmTolerance) * idleRefRpm_;
    if (!(Rpm() > threshold)) {
        Show(msg + QLatin1Char('\n') + CalNumber(Rpm(), 0) + QStringLiteral(" < ") +
             CalNumber(threshold, 0));
        blinkRpm_ = true;
        return;
    }
    Show(msg);
    if (calCounter_ > 0) --calCounter_;
    if (calCounter_ <= 0) {
        calCounter_ = confirm ? settings_.taraMinSamples : kTaraMinFirstN;
        if (!confirm) calCycles_ = calStableCycles_ = 0;
        SetState(next);
    }
}

void Calibration::HandleTaraMin() {
    WorkflowStep step("calibration");
    TaraMinCycle(false);
}
void Calibration::HandleConfirmTaraMin() {
    WorkflowStep step("calibration");
    TaraMinCycle(true);
}

void Calibration::TaraMinCycle(bool confirm) {
    SetStep(confirm ? 4 : 3);
    const int n = std::max(2, confirm ? settings_.taraMinSamples : TaraMinN());
    Show(confirm ? T(CalText::MsgConfirmMin) : T(CalText::MsgTaraMin).arg(calCycles_ + 1));
    if (!confirm) ShowProgress(calCycles_ / std::max(1.0, settings_.taraMinCyclesEnd));
    if (!cycleSampled_) {
        if (!OnGas()) {
            WantFuel(true);
            return;
        }
        if (!SampleCycle(n, true)) return;
        cycleSampled_ = true;
        WantFuel(false);
        return;
    }
    if (lastFuel_ != CalDone::Ok && OnGas()) {
        WantFuel(false);
        return;
    }
    cycleSampled_ = false;
    const double k = samples_ > 0 ? 1.0 / samples_ : 0;
    tInjMed_ = sumTime_ * k;
    meanRpm_ = sumRpm_ * k;
    meanPress_ = sumPress_ * k;
    meanTemp_ = sumTemp_ * k;
    CalCycle c;
    c.reference = idleRefTime_;
    c.measured = tInjMed_;
    c.offsetBefore = session_.Model().Model().OFFSET;
    if (confirm) {
        c.kind = CalCycle::ConfirmIdle;
        c.number = calCycles_;
        c.offsetAfter = c.offsetBefore;
        WriteReport(c, QStringLiteral("TaraMin Verifica Dopo "), meanTemp_, meanPress_);
        cycles_.push_back(c);
        result_.residualIdleAfter = c.Difference();
        FinishCalibration();
        return;
    }
    const CalSettings& s = settings_;
    tCorr_ = CorrectionB(tInjMed_, idleRefTime_, s.taraMinBand, s.taraMinGain, s.taraMinLargest);
    ++calCycles_;
    c.kind = CalCycle::TaraMin;
    c.number = calCycles_;
    c.correction = tCorr_;
    WriteReport(c, QStringLiteral("TaraMin Ciclo %1 ").arg(calCycles_), meanTemp_, meanPress_);
    if (tCorr_ != 0) {
        calStableCycles_ = 0;
        MoveOffset(tCorr_);
    } else if (calCycles_ >= kFirstStableTaraMin) {
        ++calStableCycles_;
    }
    c.offsetAfter = session_.Model().Model().OFFSET;
    cycles_.push_back(c);
    result_.residualIdleBefore = c.Difference();
    if (calCycles_ >= s.taraMinCyclesEnd || calStableCycles_ >= s.taraMinStableEnd) {
        EndOfStep03();
    } else {
        calCounter_ = calCycles_ == 1 ? kTaraMinFirstSettle : s.taraMinSettle;
        SetState(CalState::TaraMinSettle);
    }
}

void Calibration::EndOfStep03() {
    result_.offsetIdle = session_.Model().Model().OFFSET;
    if (twoPoint_) {
        result_.twoPoint = TwoPointFromBalances(tInjRef_, result_.offsetRaised, idleRefTime_,
                                                result_.offsetIdle, settings_.Limits());
        if (result_.twoPoint.possible) {
            confirmAfter_ = false;
            calCycles_ = 0;
            calCounter_ = settings_.raisedHoldTicks;
            SetState(CalState::ConfirmRaisedWait);
            return;
        }
    }
    FinishCalibration();
}

void Calibration::ApplyTwoPoint() {
    LineModel m = session_.Model().Model();
    m.ALFA = result_.twoPoint.alfa;
    m.OFFSET = result_.twoPoint.offset;
    // The line may not end above 31 ms.
    if (m.LineTop() > kModelMaxMs)
        m.OFFSET = std::max(0.0, Thousandths(kModelMaxMs - m.ALFA * kLineEndMs));
    m.Recompute();
    m.EnforceInvariants();
    SetModel(m);
    WantModelTable();
}

void Calibration::FinishCalibration() {
    LineModel m = session_.Model().Model();
    result_.savedOffset = m.OFFSET;
    PlacePoint1(m, idleRefTime_);
    ApplyShapeRules(m, ParseShapeText(settings_.modelPoints));
    // The limits are checked on a copy of the table: OFFSET or ALFA is
    // brought within its limit in the model itself, table entries out of
    // their band are reported (state 21) but not written on their own. The
    // ECU gets the model's table, so the model, the ECU and a saved file
    // hold one and the same table.
    result_.limits = ApplyFinalLimits(m, idleRefTime_, settings_.Limits());
    SetModel(m);
    WantModelTable();
    result_.endState = result_.limits.Any() ? CalState::EndWithLimit : CalState::End;
    SetState(result_.endState);
    SetStep(-1);
    Show(ResultText());
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

// --- Model and table ------------------------------------------------------------------------

void Calibration::MoveOffset(double tCorr) {
    LineModel m = session_.Model().Model();
    double offset = m.OFFSET + tCorr;
    if (offset < settings_.offsetMin) offset = settings_.offsetMin;
    if (offset >= settings_.offsetMax) offset = settings_.offsetMax;
    offset = std::max(0.0, offset);
    // The line's top stays at 31 ms at most.
    offset = std::min(offset, kModelMaxMs - m.ALFA * kLineEndMs);
    offset = Thousandths(offset);
    const bool changed = std::fabs(offset - m.OFFSET) > kTolerance;
    m.OFFSET = offset;
    m.Recompute();
    m.EnforceInvariants();
    SetModel(m);
    if (changed) WantModelTable();
}

void Calibration::SetModel(const LineModel& m) {
    session_.Model().SetModel(m);
}

void Calibration::WantModelTable() {
    pendingTable_ = session_.Model().Model().Table();
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
