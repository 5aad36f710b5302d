#include "mainwindow/controller/LiveModel.h"

#include <algorithm>

#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"

namespace gascal {

LiveModel::LiveModel(EcuSession& session, PollingCycle& cycle) : session_(session), cycle_(cycle) {
    cycle_.OnSlot(Slot::Div2, [this] {
        const LiveInputs in = CurrentInputs();
        display_.UpdateRpm(in);
        display_.UpdateInjTimes(in);
        emit changed(LivePart::RpmAndInj);
    });
    cycle_.OnSlot(Slot::Div5, [this] {
        UpdateLambda();
        display_.UpdateMarks(CurrentInputs());
        emit changed(LivePart::LambdaAndMarks);
    });
    cycle_.OnSlot(Slot::Div24, [this] {
        display_.UpdateStatus(CurrentInputs(), cycle_.AutoTuning());
        display_.UpdateConnectionTime(session_.Comm().TimeCom() / 1000.0);
        emit changed(LivePart::Status);
    });
    // Without an ECU the slots do not run: what they showed last is not
    // live any more.
    cycle_.OnTickStart([this] {
        const bool online = cycle_.Online();
        if (online == shownOnline_) return;
        shownOnline_ = online;
        if (online) return;
        display_.ShowUnknown();
        emit changed(LivePart::RpmAndInj);
        emit changed(LivePart::Status);
    });
    cycle_.OnSlot(Slot::Div54, [this] {
        display_.UpdateTemperatures(CurrentInputs());
        emit changed(LivePart::Temperatures);
    });
}

void LiveModel::ShowInjectors(int n) {
    // Only a new count lays the controls out again: each settings refresh
    // passes the count, and the injector the fitter picked stays picked.
    n = std::clamp(n, 0, kMaxInjectors);
    if (n == injectors_) return;
    injectors_ = n;
    display_.SetSelectedInjector(0);
    emit injectorsChanged(injectors_);
}

LiveInputs LiveModel::CurrentInputs() const {
    const ParamImage& image = session_.Image();
    const ScaleConfig& scale = session_.Scale();
    const auto& m1 = image.Mem1Block;
    const auto& m2 = image.Mem2Block;
    const auto& m3 = image.Mem3Block;
    LiveInputs in;
    in.rpm = m1.Rpm;
    in.keyOn = m1.KeyOn != 0;
    in.valve1Open = m1.Valve1Open != 0;
    in.valve2Open = m1.Valve2Open != 0;
    in.petrolInjTimes = m1.PetrolInjTimes;
    // The ECU reports the gas correction of each injector; the fitter reads
    // the gas time actually driven: petrol time plus correction while the
    // injector runs on gas (its signed gas time above 0), else nothing.
    for (size_t k = 0; k < in.gasInjTimes.size() && k < m1.GasInjTimes.size(); ++k)
        in.gasInjTimes[k] =
            m1.SignedInjTimes[k] > 0 ? m1.PetrolInjTimes[k] + m1.GasInjTimes[k] : 0.0;
    in.cutOff = m2.CutOff == 1;
    in.mem2Byte1 = m2.Mem2Byte1;
    in.ecuMode = m2.EcuMode;
    in.gasPressureRaw = m1.GasPressureRaw;
    in.vacuumRaw = m1.VacuumRaw;
    in.vacuumAcqEnable = m2.VacuumAcqEnable != 0;
    in.lambdaVolts = m1.LambdaVolts;
    in.reducerTemp = m1.ReducerTemp;
    in.gasTemp = m1.GasTemp;
    in.supplyVolts = m1.SupplyVolts;
    in.levelRaw = m1.LevelRaw;
    in.levelThresholds = m3.LevelThresholds;
    if (const auto* lt = scale.LevelAt(scale.LevelIndexByCode(m3.LevelTypeCode)))
        in.levelReversed = lt->LevelMode != 0;
    in.numCylinders = m3.NumCylinders;
    for (int i = 0; i < kMaxInjectors; ++i)
        in.injEnable[static_cast<size_t>(i)] = m3.InjEnable[static_cast<size_t>(i)];
    in.switchTemp = m3.SwitchTempRaw;
    in.showRpmLow = image.Mem5Block.ShowRpmLow;
    in.showRpmHigh = image.Mem5Block.ShowRpmHigh;
    return in;
}

void LiveModel::UpdateLambda() {
    const ScaleConfig& scale = session_.Scale();
    LambdaScale s;
    if (const auto* lt =
            scale.LambdaAt(scale.LambdaIndexByCode(session_.Image().Mem3Block.LambdaTypeCode)))
        s.marks = lt->Scale;
    if (s.marks[0] == s.marks[10]) {
        for (int i = 0; i <= 10; ++i) s.marks[static_cast<size_t>(i)] = 0.1 * i;  // 0..1 V
    }
    display_.UpdateLambda(CurrentInputs(), s);
}

}  // namespace gascal
