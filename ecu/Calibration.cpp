#include "ecu/Calibration.h"

#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/Helpers.h"
#include "common/TextFile.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/FuelSwitch.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {
// The first two cycles of each step are short and fixed.
constexpr int kTaraMaxFirstN = 4, kTaraMaxSecondN = 6;
constexpr int kTaraMinFirstN = 6, kTaraMinSecondN = 4;
constexpr int kTaraMaxFirstSettle = 8, kTaraMinFirstSettle = 4;
constexpr int kFirstStableTaraMin = 3;  // the first two idle cycles never count as stable
constexpr double kStartWaitUs = 1e6;
constexpr int kTableSettleWaits = 10;
constexpr double kTableSettleWaitUs = 20000;
constexpr double kPetrolSettleUs = 500000;
constexpr double kGasEndWaitUs = 4e6;
constexpr int kRetryTicks = 40;  // 10 s of retrying the return to running mode or a restore
constexpr double kTolerance = 1e-7;

double Thousandths(double v) {
    return std::nearbyint(v * 1000) / 1000;
}

QString Num(double v, int decimals) {
    QString s = QString::number(v, 'f', decimals);
    if (s.startsWith(QLatin1Char('-')) && s.mid(1).remove(QLatin1Char('0')) == QLatin1String("."))
        s.remove(0, 1);
    s.replace(QLatin1Char('.'), DecimalSeparator());
    return s;
}

// A value of a report entry: rounded to 4 decimals, written without
// trailing zeros, with the decimal comma.
QString Num4(double v) {
    const double r = std::nearbyint(v * 1e4) / 1e4;
    QString s = QString::number(r, 'f', 4);
    while (s.contains(QLatin1Char('.')) &&
           (s.endsWith(QLatin1Char('0')) || s.endsWith(QLatin1Char('.'))))
        s.chop(1);
    if (s == QLatin1String("-0")) s = QStringLiteral("0");
    s.replace(QLatin1Char('.'), QLatin1Char(','));
    return s;
}

}  // namespace

const QStringList& Calibration::EnglishTexts() {
    static const QStringList t = {
        QStringLiteral("Automatic calibration"),
        QStringLiteral(
            "Start the engine and let it idle. Press Yes to start the automatic calibration."),
        QStringLiteral(
            "Step 00: the PC takes over the fuel choice (slave mode). Keep the engine at idle."),
        QStringLiteral("Step 00: let the engine idle until the reducer is warm."),
        QStringLiteral(
            "Step 01: keep the engine at idle, do not touch the accelerator. Seconds left:"),
        QStringLiteral("Step 01: measuring the petrol time at idle. Keep the engine at idle."),
        QStringLiteral("Step 02: raise the engine speed to %1 rpm and hold it steady."),
        QStringLiteral("Step 02: hold the speed: measuring the petrol time on petrol."),
        QStringLiteral("Step 02: hold the speed: comparing gas with petrol, cycle %1."),
        QStringLiteral("Step 03: release the accelerator and let the engine idle."),
        QStringLiteral("Step 03: keep the engine at idle: comparing gas with petrol, cycle %1."),
        QStringLiteral("Calibration finished: OFFSET %1 ms. Press Yes to switch to gas and end."),
        QStringLiteral(
            "Calibration finished, but a limit was applied: %1. Yes keeps the result, Esc puts "
            "everything back as it was."),
        QStringLiteral(
            "Abort the calibration? Yes goes on, Esc aborts and puts everything back as it was."),
        QStringLiteral(
            "Calibration aborted: the model, the correction table and the settings are back as "
            "they were."),
        QStringLiteral(
            "The ECU is not ready (link or ignition key). The calibration stops in %1 s."),
        QStringLiteral("The engine is not running. The calibration stops in %1 s."),
        QStringLiteral("The ECU is not in slave mode. The calibration stops in %1 s."),
        QStringLiteral("Two-point calibration (sets ALFA too)"),
        QStringLiteral(
            "Step 04: two-point check: raise the engine speed to %1 rpm and hold it steady."),
        QStringLiteral("Step 04: two-point check at raised speed: hold the speed."),
        QStringLiteral(
            "Step 04: two-point check: release the accelerator and let the engine idle."),
        QStringLiteral("Step 04: two-point check at idle: keep the engine at idle."),
        QStringLiteral("OFFSET (ms)"),
        QStringLiteral("TInjMed - reference (ms)"),
        QStringLiteral("Cycle"),
        QStringLiteral("smallest OFFSET"),
        QStringLiteral("largest OFFSET"),
        QStringLiteral("smallest ALFA"),
        QStringLiteral("largest ALFA"),
        QStringLiteral("%1 table entries"),
        QStringLiteral("Engine speed (rpm)"),
        QStringLiteral(
            "Two-point: ALFA %1, OFFSET %2 ms. Gas minus petrol at idle %3 -> %4 ms, at raised "
            "speed %5 -> %6 ms."),
        QStringLiteral(
            "Two-point not possible: the petrol times at idle and at raised speed are too close."),
        QStringLiteral("Switch the car to gas and end the calibration?"),
        QStringLiteral(
            "The calibration switches the car between petrol and gas by itself. Start it?"),
        QStringLiteral("The ECU did not take the switch to gas. Press Yes to try again."),
        QStringLiteral(
            "Not everything could be put back (link lost?). Check the model and the settings."),
        QStringLiteral("Yes"),
        QStringLiteral("Esc"),
    };
    return t;
}

Calibration::Calibration(EcuSession& session)
    : session_(session), timer_("Timer3", kCalTimerMs, [this] { Timer3_Timer(); }) {
    static_assert(static_cast<int>(CalText::Count) == 40);
    ReloadTexts();
    Show(T(CalText::MsgIdle));
}

Calibration::~Calibration() {
    timer_.SetEnabled(false);
}

void Calibration::ReloadTexts() {
    texts_ = session_.SectionTexts(QStringLiteral("[FrmCal]"), EnglishTexts());
    if (state_ == CalState::Idle) Show(T(CalText::MsgIdle));
}

QString Calibration::T(CalText t) const {
    const int i = static_cast<int>(t);
    return i < texts_.size() ? texts_[i] : EnglishTexts().value(i);
}

double Calibration::P(int n) const {
    return session_.Scale().CalParam(n);
}

double Calibration::OffsetMax() const {
    const auto& p = session_.Scale().CalParams[24];
    return p.known ? p.value : std::numeric_limits<double>::infinity();
}

FinalLimitParams Calibration::LimitParams() const {
    FinalLimitParams p;
    p.offsetMin = P(33);
    p.offsetMax = OffsetMax();
    p.alfaMin = P(32);
    p.alfaMax = P(31);
    if (haveInjectorType_) {
        p.t1 = t1_;
        p.t2 = t2_;
    }
    return p;
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

bool Calibration::ReadLive() {
    ClsComm& comm = session_.Comm();
    if (comm.ComState() == COM_STOP) return false;
    DirectRequests direct(session_);
    comm.SetAttesaGlobale_usec(kCalReadWaitUs);
    const bool ok1 = direct.ReadBlock(1);
    const bool ok2 = direct.ReadBlock(2);
    comm.AttesaGlobale_usec_Default();
    return ok1 && ok2;
}

EngineReason Calibration::CheckEngine() const {
    if (!readsOk_ || session_.Image().Mem1Block.KeyOn == 0) return EngineReason::NotReady;
    if (Rpm() < kMinEngineRpm) return EngineReason::EngineStopped;
    return EngineReason::None;
}

// --- Buttons -------------------------------------------------------------------------------

void Calibration::ResetRun() {
    abortRequested_ = false;
    engineMsgTicks_ = 0;
    engineReason_ = EngineReason::None;
    started_ = tableTouched_ = modelReset_ = tableWritePending_ = false;
    restoreRun_ = restoreBlocks_ = restoreTable_ = false;
    confirmAfter_ = false;
    retryTicks_ = 0;
    calCounter_ = calCycles_ = calStableCycles_ = 0;
    tInjRef_ = raisedRefRpm_ = idleRefTime_ = idleRefRpm_ = tInjMed_ = tCorr_ = 0;
    cycles_.clear();
    result_ = CalResult{};
    result_.twoPointAsked = twoPoint_;
}

void Calibration::CmdCalStart_Click() {
    if (!startEnabled_) return;
    startEnabled_ = false;
    Notify();
    switch (state_) {
        case CalState::Idle:
            ResetRun();
            TakeBackups();
            SetState(CalState::Start);
            timer_.SetEnabled(true);
            break;
        case CalState::AbortQuestion:
            SetState(savedState_);
            break;
        case CalState::End: {
            // Gas, as the logo's fuel switch does it; then the idle handler
            // gives the ECU back its running mode.
            FuelSwitch fuel(session_.Requests(), session_.Image());
            DirectRequests direct(session_);
            if (direct.Try([&] { return fuel.Request(Fuel::Gas); })) {
                WaitMicroSeconds(kGasEndWaitUs);
                SetState(CalState::Idle);
                timer_.SetEnabled(true);
            } else {
                Show(T(CalText::MsgGasFailed));
            }
            break;
        }
        case CalState::EndWithLimit:
            SetState(CalState::End);
            Show(T(CalText::MsgEnd).arg(Num(result_.savedOffset, 3)));
            break;
        default:
            break;
    }
    UpdateButtons();
    Notify();
}

void Calibration::CmdCalCancel_Click() {
    if (!cancelEnabled_) return;
    switch (state_) {
        case CalState::AbortQuestion:
        case CalState::EndWithLimit:
        case CalState::Abort:
            SetState(CalState::Abort);
            abortRequested_ = true;
            timer_.SetEnabled(true);
            break;
        case CalState::Idle:
            return;
        default:
            savedState_ = state_;
            SetState(CalState::AbortQuestion);
            Show(T(CalText::MsgQuestion));
            break;
    }
    UpdateButtons();
    Notify();
}

void Calibration::AbortNow() {
    if (abortingNow_ || (state_ == CalState::Idle && !timer_.Enabled())) return;
    // The handlers' waits let Timer3 tick: it stays out meanwhile.
    abortingNow_ = true;
    if (state_ != CalState::Idle) {
        SetState(CalState::Abort);
        abortRequested_ = true;
    }
    // The abort handler retries what it could not put back; give it its ticks.
    for (int i = 0; i <= kRetryTicks && state_ == CalState::Abort; ++i) {
        HandleAbort();
        if (state_ == CalState::Abort) WaitMicroSeconds(kCalTimerMs * 1000.0);
    }
    // Running mode again, and Timer3 stops.
    for (int i = 0; i <= kRetryTicks && timer_.Enabled(); ++i) {
        readsOk_ = ReadLive();
        HandleIdle();
        if (timer_.Enabled()) WaitMicroSeconds(kCalTimerMs * 1000.0);
    }
    timer_.SetEnabled(false);
    abortingNow_ = false;
    Notify();
}

void Calibration::RequestAbort() {
    if (state_ == CalState::Idle) return;  // at most the idle handler's return to running mode
    SetState(CalState::Abort);
    abortRequested_ = true;
    timer_.SetEnabled(true);
    UpdateButtons();
    Notify();
}

void Calibration::EndForClose() {
    if (state_ == CalState::End)
        EndOnPetrol();
    else
        RequestAbort();
}

void Calibration::EndOnPetrol() {
    if (state_ != CalState::End && state_ != CalState::EndWithLimit) return;
    SetState(CalState::Idle);
    timer_.SetEnabled(true);  // the idle handler gives back the running mode
    UpdateButtons();
    Notify();
}

void Calibration::UpdateButtons() {
    switch (state_) {
        case CalState::Idle:
            startEnabled_ = true;
            cancelEnabled_ = false;
            break;
        case CalState::AbortQuestion:
        case CalState::End:
        case CalState::EndWithLimit:
            startEnabled_ = true;
            cancelEnabled_ = true;
            break;
        case CalState::Abort:
            startEnabled_ = false;
            cancelEnabled_ = false;
            break;
        default:
            startEnabled_ = false;
            cancelEnabled_ = true;
            break;
    }
}

// --- Timer3 --------------------------------------------------------------------------------

void Calibration::Timer3_Timer() {
    // A tick that comes while another handler is sending a request (its
    // pauses between bytes let the timers run) waits for the next one: its
    // own requests could not go out before that send is over.
    if (session_.Comm().ComState() == COM_SENDING || abortingNow_) return;
    blinkPhase_ = !blinkPhase_;
    if (!loadingConfig_ || !loadingConfig_()) readsOk_ = ReadLive();
    if (abortRequested_) {
        RunHandler();
    } else if (tableWritePending_ && !WriteTable(pendingTable_)) {
        // A cycle never measures with a table the ECU has not taken.
    } else {
        const EngineReason why = CheckEngine();
        if (engineMsgTicks_ > 0 || why != EngineReason::None) {
            if (state_ == CalState::Idle)
                HandleIdle();
            else if (state_ == CalState::Abort)
                HandleAbort();
            else
                EngineMessage(why != EngineReason::None ? why : engineReason_);
        } else if (InSlaveMode() || state_ == CalState::Start || state_ == CalState::Abort) {
            RunHandler();
        } else if (state_ == CalState::Idle) {
            HandleIdle();
        } else {
            EngineMessage(EngineReason::NotSlave);
        }
    }
    UpdateButtons();
    Notify();
}

void Calibration::EngineMessage(EngineReason reason) {
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

void Calibration::RunHandler() {
    blinkRpm_ = blinkTemp_ = false;
    switch (state_) {
        case CalState::Idle:
            HandleIdle();
            break;
        case CalState::AbortQuestion:
            Show(T(CalText::MsgQuestion));
            break;
        case CalState::Start:
            HandleStart();
            break;
        case CalState::WaitGasTemp:
            HandleWaitGasTemp();
            break;
        case CalState::IdleSettle:
            HandleIdleSettle();
            break;
        case CalState::IdleReference: {
            SetStep(1);
            Show(T(CalText::MsgIdleReference));
            if (HandleAverage(static_cast<int>(P(3)), idleRefTime_, idleRefRpm_)) {
                calCounter_ = static_cast<int>(P(4));
                SetState(CalState::RaisedWait);
            }
            progress_ = 20;
            break;
        }
        case CalState::RaisedWait:
            HandleRaisedWait(CalState::RaisedReference, static_cast<int>(P(5)));
            break;
        case CalState::RaisedReference: {
            SetStep(2);
            Show(T(CalText::MsgRaisedReference));
            if (HandleAverage(static_cast<int>(P(5)), tInjRef_, raisedRefRpm_)) {
                calCycles_ = calStableCycles_ = 0;
                calCounter_ = kTaraMaxFirstN;
                SetState(CalState::TaraMax);
            }
            progress_ = 28;
            break;
        }
        case CalState::TaraMax:
            HandleTaraMax(false);
            break;
        case CalState::TaraMaxSettle:
            HandleSettle(CalState::TaraMax, TaraMaxN());
            break;
        case CalState::IdleWait:
            HandleIdleWait(CalState::TaraMin);
            break;
        case CalState::TaraMin:
            HandleTaraMin(false);
            break;
        case CalState::TaraMinSettle:
            HandleSettle(CalState::TaraMin, TaraMinN());
            break;
        case CalState::End:
        case CalState::EndWithLimit:
            break;
        case CalState::Abort:
            HandleAbort();
            break;
        case CalState::ConfirmRaisedWait:
            HandleRaisedWait(CalState::ConfirmTaraMax, static_cast<int>(P(6)));
            break;
        case CalState::ConfirmTaraMax:
            HandleTaraMax(true);
            break;
        case CalState::ConfirmSettle:
            HandleSettle(CalState::ConfirmTaraMax, static_cast<int>(P(6)));
            break;
        case CalState::ConfirmIdleWait:
            HandleIdleWait(CalState::ConfirmTaraMin);
            break;
        case CalState::ConfirmTaraMin:
            HandleTaraMin(true);
            break;
        default:
            SetState(CalState::Abort);
            break;
    }
}

// --- Handlers --------------------------------------------------------------------------------

void Calibration::HandleIdle() {
    SetStep(-1);
    Show(T(CalText::MsgIdle));
    progress_ = 0;
    blinkRpm_ = blinkTemp_ = false;
    // The ECU goes back to its own rules before Timer3 stops; a car is
    // never left in slave mode while the link lets the tool say so.
    if (InSlaveMode() && session_.Comm().ComState() != COM_STOP) {
        FuelSwitch fuel(session_.Requests(), session_.Image());
        if (!DirectRequests(session_).Try([&] { return fuel.SetRunning(); }) &&
            ++retryTicks_ < kRetryTicks)
            return;
    }
    retryTicks_ = 0;
    timer_.SetEnabled(false);
}

void Calibration::TakeBackups() {
    // Everything an abort puts back, as it is at "Yes" (at every start: a
    // setting changed since an earlier calibration is the one to keep).
    ParamImage& image = session_.Image();
    backupMem2_ = image.Mem2Block;
    backupMem3_ = image.Mem3Block;
    backupMem5_ = image.Mem5Block;
    backupTable_ = image.CorTableEcu;
    backupModel_ = session_.Model().Model();
    const ScaleConfig& scale = session_.Scale();
    const InjectorTypeEntry* type =
        scale.InjectorAt(scale.InjectorIndexByCode(image.Mem3Block.InjTypeCode));
    haveInjectorType_ = type != nullptr;
    t1_ = type ? type->CalValue1 : 0;
    t2_ = type ? type->CalValue2 : 0;
    modelPoints_ = type ? type->ModelPoints : QString();
    started_ = true;
}

void Calibration::HandleStart() {
    SetStep(0);
    Show(T(CalText::MsgStart));
    if (InSlaveMode()) {
        SetState(CalState::WaitGasTemp);
    } else {
        // The PC chooses the fuel from now on; the mode is marked once the
        // ECU took the request (the next tick goes on from there).
        RequestBridge& requests = session_.Requests();
        if (DirectRequests(session_).Try([&] { return requests.SendFixed(FRAME_SET_ECU_SLAVE); }))
            session_.Image().Mem2Block.EcuMode = static_cast<uint8_t>(EcuRunMode::Slave);
    }
    progress_ = 2;
    WaitMicroSeconds(kStartWaitUs);
}

void Calibration::HandleWaitGasTemp() {
    SetStep(0);
    const double limit = P(1);
    if (!(TempVap() > limit)) {
        Show(T(CalText::MsgWarmUp) + QLatin1Char('\n') + Num(TempVap(), 2) + QStringLiteral(" < ") +
             Num(limit, 2));
        blinkTemp_ = true;
        progress_ = 4;
        return;
    }
    Show(T(CalText::MsgWarmUp));
    if (!modelReset_) {
        LineModel m;
        m.DisponiMatriceModDefault();
        m.Recompute();
        SetModel(m);
        modelReset_ = true;
        WriteModelTable();
        for (int i = 0; i < kTableSettleWaits; ++i) WaitMicroSeconds(kTableSettleWaitUs);
    }
    if (OnGas() && !SwitchFuel(false)) return;
    WaitMicroSeconds(kPetrolSettleUs);
    LineModel m = session_.Model().Model();
    if (m.OFFSET != 0) {
        m.OFFSET = 0;
        m.Recompute();
        SetModel(m);
    }
    tInjRef_ = raisedRefRpm_ = idleRefTime_ = idleRefRpm_ = tInjMed_ = tCorr_ = 0;
    meanRpm_ = meanPress_ = meanTemp_ = 0;
    calCounter_ = static_cast<int>(P(2));
    SetState(CalState::IdleSettle);
    progress_ = 5;
}

void Calibration::HandleIdleSettle() {
    SetStep(1);
    Show(T(CalText::MsgIdleSettle) + QLatin1Char(' ') +
         QString::number(calCounter_ / kCalTicksPerSecond));
    if (calCounter_ > 0) --calCounter_;
    const double total = std::max(1.0, P(2));
    progress_ = 5 + static_cast<int>(10 * (1 - calCounter_ / total));
    if (calCounter_ <= 0) {
        calCounter_ = static_cast<int>(P(3));
        SetState(CalState::IdleReference);
    }
}

bool Calibration::HandleAverage(int startValue, double& timeOut, double& rpmOut) {
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

double Calibration::RaisedTargetRpm() const {
    return P(10);
}

void Calibration::HandleRaisedWait(CalState next, int nextCounter) {
    const bool confirm = next == CalState::ConfirmTaraMax;
    SetStep(confirm ? 4 : 2);
    const QString msg =
        T(confirm ? CalText::MsgConfirmRaise : CalText::MsgRaise).arg(Num(P(10), 0));
    const double threshold = (1 - P(11)) * P(10);
    progress_ = confirm ? 95 : 22;
    if (!(Rpm() > threshold)) {
        Show(msg + QLatin1Char('\n') + Num(Rpm(), 0) + QStringLiteral(" < ") + Num(threshold, 0));
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
    return static_cast<int>(P(6));
}

int Calibration::TaraMinN() const {
    if (calCycles_ == 0) return kTaraMinFirstN;
    if (calCycles_ == 1) return kTaraMinSecondN;
    return static_cast<int>(P(17));
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

void Calibration::HandleTaraMax(bool confirm) {
    SetStep(confirm ? 4 : 2);
    const int n = std::max(2, confirm ? static_cast<int>(P(6)) : TaraMaxN());
    Show(confirm ? T(CalText::MsgConfirmMax) : T(CalText::MsgTaraMax).arg(calCycles_ + 1));
    if (!confirm)
        progress_ = 30 + static_cast<int>(35 * std::min(1.0, calCycles_ / std::max(1.0, P(9))));
    if (calCounter_ > 0) {
        if (!OnGas()) {
            SwitchFuel(true);
            return;
        }
        if (!SampleCycle(n, false)) return;
    }
    if (!SwitchFuel(false)) return;
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
            calCounter_ = static_cast<int>(P(7));
            SetState(CalState::ConfirmSettle);
        } else {
            result_.residualRaisedAfter = c.Difference();
            calCounter_ = static_cast<int>(P(16));
            SetState(CalState::ConfirmIdleWait);
        }
        return;
    }
    tCorr_ = CorrectionA(tInjMed_, tInjRef_, 0, raisedRefRpm_, P(12), P(13), P(14));
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
    if (calStableCycles_ >= P(8) || calCycles_ >= P(9)) {
        result_.offsetRaised = c.offsetAfter;
        calCounter_ = static_cast<int>(P(16));
        SetState(CalState::IdleWait);
    } else {
        calCounter_ = calCycles_ == 1 ? kTaraMaxFirstSettle : static_cast<int>(P(7));
        SetState(CalState::TaraMaxSettle);
    }
}

void Calibration::HandleSettle(CalState back, int nextCounter) {
    if (OnGas() && !SwitchFuel(false)) return;
    if (calCounter_ > 0) --calCounter_;
    if (calCounter_ <= 0) {
        calCounter_ = nextCounter;
        SetState(back);
    }
}

void Calibration::HandleIdleWait(CalState next) {
    const bool confirm = next == CalState::ConfirmTaraMin;
    SetStep(confirm ? 4 : 3);
    const QString msg = T(confirm ? CalText::MsgConfirmReturnIdle : CalText::MsgReturnIdle);
    const double threshold = (1 - P(15)) * idleRefRpm_;
    progress_ = confirm ? 97 : 66;
    if (!(Rpm() > threshold)) {
        Show(msg + QLatin1Char('\n') + Num(Rpm(), 0) + QStringLiteral(" < ") + Num(threshold, 0));
        blinkRpm_ = true;
        return;
    }
    Show(msg);
    if (calCounter_ > 0) --calCounter_;
    if (calCounter_ <= 0) {
        calCounter_ = confirm ? static_cast<int>(P(17)) : kTaraMinFirstN;
        if (!confirm) calCycles_ = calStableCycles_ = 0;
        SetState(next);
    }
}

void Calibration::HandleTaraMin(bool confirm) {
    SetStep(confirm ? 4 : 3);
    const int n = std::max(2, confirm ? static_cast<int>(P(17)) : TaraMinN());
    Show(confirm ? T(CalText::MsgConfirmMin) : T(CalText::MsgTaraMin).arg(calCycles_ + 1));
    if (!confirm)
        progress_ = 70 + static_cast<int>(25 * std::min(1.0, calCycles_ / std::max(1.0, P(22))));
    if (calCounter_ > 0) {
        if (!OnGas()) {
            SwitchFuel(true);
            return;
        }
        if (!SampleCycle(n, true)) return;
    }
    if (!SwitchFuel(false)) return;
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
    tCorr_ = CorrectionB(tInjMed_, idleRefTime_, P(20), P(21), P(23));
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
    if (calCycles_ >= P(22) || calStableCycles_ >= P(19)) {
        EndOfStep03();
    } else {
        calCounter_ = calCycles_ == 1 ? kTaraMinFirstSettle : static_cast<int>(P(18));
        SetState(CalState::TaraMinSettle);
    }
}

void Calibration::EndOfStep03() {
    result_.offsetIdle = session_.Model().Model().OFFSET;
    if (twoPoint_) {
        result_.twoPoint = TwoPointFromBalances(tInjRef_, result_.offsetRaised, idleRefTime_,
                                                result_.offsetIdle, LimitParams());
        if (result_.twoPoint.possible) {
            confirmAfter_ = false;
            calCycles_ = 0;
            calCounter_ = static_cast<int>(P(4));
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
    WriteModelTable();
}

void Calibration::FinishCalibration() {
    LineModel m = session_.Model().Model();
    result_.savedOffset = m.OFFSET;
    PlacePoint1(m, idleRefTime_);
    ApplyShapeRules(m, ParseShapeText(modelPoints_));
    result_.limits = ApplyFinalLimits(m, idleRefTime_, LimitParams());
    SetModel(m);
    WriteTable(result_.limits.table);
    result_.endState = result_.limits.Any() ? CalState::EndWithLimit : CalState::End;
    SetState(result_.endState);
    SetStep(-1);
    progress_ = 100;
    Show(ResultText());
}

QString Calibration::ResultText() const {
    QString text;
    if (result_.endState == CalState::EndWithLimit) {
        QStringList which;
        switch (result_.limits.line) {
            case LimitApplied::OffsetMin:
                which << T(CalText::LimitOffsetMin);
                break;
            case LimitApplied::OffsetMax:
                which << T(CalText::LimitOffsetMax);
                break;
            case LimitApplied::AlfaMin:
                which << T(CalText::LimitAlfaMin);
                break;
            case LimitApplied::AlfaMax:
                which << T(CalText::LimitAlfaMax);
                break;
            case LimitApplied::None:
                break;
        }
        const int entries = result_.limits.entriesRaised + result_.limits.entriesLowered;
        if (entries > 0) which << T(CalText::LimitTable).arg(entries);
        text = T(CalText::MsgEndLimit).arg(which.join(QStringLiteral(", ")));
    } else {
        text = T(CalText::MsgEnd).arg(Num(result_.savedOffset, 3));
    }
    if (result_.twoPointAsked) {
        text += QLatin1Char('\n');
        if (!result_.twoPoint.possible) {
            text += T(CalText::TwoPointImpossible);
        } else {
            const auto r = [](const std::optional<double>& v) {
                return v ? Num(*v, 3) : QStringLiteral("?");
            };
            text += T(CalText::TwoPointResult)
                        .arg(Num(result_.twoPoint.alfa, 3), Num(result_.twoPoint.offset, 3),
                             r(result_.residualIdleBefore), r(result_.residualIdleAfter),
                             r(result_.residualRaisedBefore), r(result_.residualRaisedAfter));
        }
    }
    return text;
}

void Calibration::HandleAbort() {
    Show(T(CalText::MsgAborted));
    SetStep(-1);
    blinkRpm_ = blinkTemp_ = false;
    if (started_) {
        DirectRequests direct(session_);
        FuelSwitch fuel(session_.Requests(), session_.Image());
        if (!restoreRun_ && (!InSlaveMode() || direct.Try([&] { return fuel.SetRunning(); })))
            restoreRun_ = true;
        if (!restoreBlocks_) restoreBlocks_ = RestoreBlocks();
        if (!restoreTable_) {
            if (!(session_.Model().Model() == backupModel_)) SetModel(backupModel_);
            if (tableTouched_) {
                CorTableArray t = session_.Image().CorTableEcu;
                std::copy_n(backupTable_.begin(), kCalTableBackupEntries, t.begin());
                restoreTable_ = WriteTable(t);
            } else {
                restoreTable_ = true;
            }
        }
        const bool all = restoreRun_ && restoreBlocks_ && restoreTable_;
        if (!all && session_.Comm().ComState() != COM_STOP && ++retryTicks_ < kRetryTicks) return;
        if (!all) Show(T(CalText::MsgAborted) + QLatin1Char('\n') + T(CalText::MsgRestoreFailed));
        started_ = false;
    }
    tableWritePending_ = false;
    retryTicks_ = 0;
    engineMsgTicks_ = 0;
    progress_ = 0;
    SetState(CalState::Idle);
}

bool Calibration::RestoreBlocks() {
    ParamImage& image = session_.Image();
    DirectRequests direct(session_);
    RequestBridge& requests = session_.Requests();
    // Each block is read fresh and written only when it differs from the
    // backup. Block 2: only what the tool writes there (the fuel asked for
    // and the two enables); the hour counters go on counting in the ECU.
    if (!direct.ReadBlock(2)) return false;
    const Mem2Fields& m2 = image.Mem2Block;
    if (m2.WorkMode != backupMem2_.WorkMode || m2.RpmCompEnable != backupMem2_.RpmCompEnable ||
        m2.VacuumAcqEnable != backupMem2_.VacuumAcqEnable) {
        image.PendingEdits.Mem2Block.WorkMode = backupMem2_.WorkMode;
        image.PendingEdits.Mem2Block.RpmCompEnable = backupMem2_.RpmCompEnable;
        image.PendingEdits.Mem2Block.VacuumAcqEnable = backupMem2_.VacuumAcqEnable;
        if (!direct.Try([&] { return requests.WriteBlock(2); })) {
            image.PendingEdits.Mem2Block.WorkMode = kPendingByte;
            return false;
        }
    }
    if (!direct.ReadBlock(3)) return false;
    if (!(image.Mem3Block == backupMem3_)) {
        image.PendingEdits.Mem3Block = backupMem3_;
        if (!direct.Try([&] { return requests.WriteBlock(3); })) return false;
    }
    if (session_.HasBlock5()) {
        if (!direct.ReadBlock(5)) return false;
        if (!(image.Mem5Block == backupMem5_)) {
            image.PendingEdits.Mem5Block = backupMem5_;
            if (!direct.Try([&] { return requests.WriteBlock(5); })) return false;
        }
    }
    return true;
}

// --- Fuel, model and table ---------------------------------------------------------------------

bool Calibration::SwitchFuel(bool gas) {
    // A failed switch leaves the state as it is: the next tick tries again.
    FuelSwitch fuel(session_.Requests(), session_.Image());
    return DirectRequests(session_).Try([&] { return fuel.Write(gas ? Fuel::Gas : Fuel::Petrol); });
}

void Calibration::MoveOffset(double tCorr) {
    LineModel m = session_.Model().Model();
    double offset = m.OFFSET + tCorr;
    if (offset < P(33)) offset = P(33);
    if (offset >= OffsetMax()) offset = OffsetMax();
    offset = std::max(0.0, offset);
    // The line's top stays at 31 ms at most.
    offset = std::min(offset, kModelMaxMs - m.ALFA * kLineEndMs);
    offset = Thousandths(offset);
    const bool changed = std::fabs(offset - m.OFFSET) > kTolerance;
    m.OFFSET = offset;
    m.Recompute();
    m.EnforceInvariants();
    SetModel(m);
    if (changed) WriteModelTable();
}

void Calibration::SetModel(const LineModel& m) {
    session_.Model().SetModel(m);
}

bool Calibration::WriteModelTable() {
    return WriteTable(session_.Model().Model().Table());
}

bool Calibration::WriteTable(const CorTableArray& table) {
    ParamImage& image = session_.Image();
    tableTouched_ = true;
    image.CorTable = table;
    if (session_.Requests().WriteCorTable()) {
        tableWritePending_ = false;
        return true;
    }
    pendingTable_ = table;
    tableWritePending_ = true;
    return false;
}

// --- Report --------------------------------------------------------------------------------------

QString Calibration::ReportLine(const QString& label, double tInjRef, double tInjMed, double tCorr,
                                double offset, double tempVap, double pressVap) {
    return label + QStringLiteral(" TInjRef ") + Num4(tInjRef) + QStringLiteral(" TInjMed ") +
           Num4(tInjMed) + QStringLiteral(" TCorr ") + Num4(tCorr) + QStringLiteral(" Offset ") +
           Num4(offset) + QStringLiteral(" TempVap ") + Num4(tempVap) +
           QStringLiteral(" PressVap ") + Num4(pressVap);
}

bool Calibration::AppendReportEntry(const QString& path, const QString& line) {
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite)) return false;
    // An entry cut short by a crash is closed first, so the next one starts
    // on its own line.
    QByteArray record;
    const qint64 size = f.size();
    if (size > 0) {
        f.seek(size - 1);
        if (f.read(1) != QByteArray("\n")) record += "\r\n";
    }
    record += '"' + ToLatin1(line) + "\"\r\n";
    // The entry goes in one write and reaches the disk before the next.
    f.seek(size);
    const bool ok = f.write(record) == record.size() && f.flush();
    const bool synced = ok && ::fsync(f.handle()) == 0;
    f.close();
    return ok && synced;
}

void Calibration::WriteReport(const CalCycle& c, const QString& label, double tempVap,
                              double pressVap) {
    const QString line =
        ReportLine(label, c.reference, c.measured, c.correction, c.offsetBefore, tempVap, pressVap);
    AppendReportEntry(SystemPath(QString::fromLatin1(kTaraCorrPath)), line);
    for (const auto& f : entry_) f(line);
}

// --- Shown ---------------------------------------------------------------------------------------

void Calibration::SetStep(int step) {
    if (step == step_) return;
    step_ = step;
    for (const auto& f : stepChanged_) f(step);
}

QString Calibration::StepText() const {
    if (step_ < 0) return QString();
    return T(CalText::Title) + QLatin1Char('\n') +
           QStringLiteral("%1").arg(step_, 2, 10, QLatin1Char('0'));
}

CalInstruction Calibration::Instruction() const {
    const CalState s = state_ == CalState::AbortQuestion ? savedState_ : state_;
    switch (s) {
        case CalState::Start:
        case CalState::WaitGasTemp:
            return CalInstruction::WarmUp;
        case CalState::IdleSettle:
        case CalState::IdleReference:
        case CalState::IdleWait:
        case CalState::TaraMin:
        case CalState::TaraMinSettle:
        case CalState::ConfirmIdleWait:
        case CalState::ConfirmTaraMin:
        case CalState::End:
        case CalState::EndWithLimit:
            return CalInstruction::Idle;
        case CalState::RaisedWait:
        case CalState::RaisedReference:
        case CalState::TaraMax:
        case CalState::TaraMaxSettle:
        case CalState::ConfirmRaisedWait:
        case CalState::ConfirmTaraMax:
        case CalState::ConfirmSettle:
            return CalInstruction::RaisedSpeed;
        default:
            return CalInstruction::None;
    }
}

void Calibration::Notify() {
    for (const auto& f : changed_) f();
}

}  // namespace gascal
