// The calibration's measuring steps: idle settling and the references,
// the raised-speed and idle waits, the "TaraMax" and "TaraMin" cycles and
// their settling on petrol, the two-point check, and the end of step 03
// (point 1, the shape text, the final limits). Each runs inside Timer3's
// tick as one step: it asks for its fuel switch or table write and returns.
#include <algorithm>
#include <cmath>

#include "ecu/Calibration.h"
#include "ecu/EcuSession.h"

namespace gascal {

namespace {
// The first two cycles of each step are short and fixed.
constexpr int kTaraMaxFirstN = 4, kTaraMaxSecondN = 6;
constexpr int kTaraMinFirstN = 6, kTaraMinSecondN = 4;
constexpr int kTaraMaxFirstSettle = 8, kTaraMinFirstSettle = 4;
constexpr int kFirstStableTaraMin = 3;  // the first two idle cycles never count as stable
constexpr double kTolerance = 1e-7;

double Thousandths(double v) {
    return std::nearbyint(v * 1000) / 1000;
}
}  // namespace

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

void Calibration::HandleIdleSettle() {
    WorkflowStep step("calibration");
    SetStep(1);
    Show(RowText() + QLatin1Char(' ') + QString::number(calCounter_ / kCalTicksPerSecond));
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
    Show(RowText());
    if (Average(settings_.idleRefStart, idleRefTime_, idleRefRpm_)) {
        calCounter_ = settings_.raisedHoldTicks;
        SetState(CalState::RaisedWait);
    }
}

void Calibration::HandleRaisedReference() {
    WorkflowStep step("calibration");
    SetStep(2);
    Show(RowText());
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
    const QString msg = RowText().arg(CalNumber(settings_.raisedRpm, 0));
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

// The measuring half of a cycle, the same at raised speed and at idle: to
// gas, n samples there, back to petrol. True on the step where the cycle is
// over and the ECU runs on petrol again.
bool Calibration::CycleOnGas(int n, bool idle) {
    if (!cycleSampled_) {
        if (!OnGas()) {
            WantFuel(true);
            return false;
        }
        if (!SampleCycle(n, idle)) return false;
        cycleSampled_ = true;
        WantFuel(false);
        return false;
    }
    // The cycle is over once the ECU is back on petrol.
    if (lastFuel_ != CalDone::Ok && OnGas()) {
        WantFuel(false);
        return false;
    }
    cycleSampled_ = false;
    return true;
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
    Show(confirm ? RowText() : RowText().arg(calCycles_ + 1));
    if (!confirm) ShowProgress(calCycles_ / std::max(1.0, settings_.taraMaxCyclesEnd));
    if (!CycleOnGas(n, false)) return;
    // The average of the samples taken: the cycle's first tick only clears
    // the sum, so there is one sample fewer than the cycle's ticks.
    tInjMed_ = samples_ > 0 ? sumTime_ / samples_ : 0;
    const double before = session_.Model().Model().OFFSET;
    CalCycle c;
    c.reference = tInjRef_;
    c.measured = tInjMed_;
    c.offsetBefore = before;
    c.samples = samples_;
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
    const QString msg = RowText();
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
    Show(confirm ? RowText() : RowText().arg(calCycles_ + 1));
    if (!confirm) ShowProgress(calCycles_ / std::max(1.0, settings_.taraMinCyclesEnd));
    if (!CycleOnGas(n, true)) return;
    const double k = samples_ > 0 ? 1.0 / samples_ : 0;
    tInjMed_ = sumTime_ * k;
    meanRpm_ = sumRpm_ * k;
    meanPress_ = sumPress_ * k;
    meanTemp_ = sumTemp_ * k;
    CalCycle c;
    c.reference = idleRefTime_;
    c.measured = tInjMed_;
    c.offsetBefore = session_.Model().Model().OFFSET;
    c.samples = samples_;
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

}  // namespace gascal
