#include "mainwindow/controller/SettingsModel.h"

#include <algorithm>
#include <cmath>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "ecu/Captions.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"

namespace gascal {

namespace {
constexpr double kSeqSteps = 1000.0 / 25.0;  // sequence entry (s) to ECU steps
constexpr long long kSeqStepMs = 25;         // one ECU step of the switchover sequence
constexpr double kBarToRaw = 1000.0;         // end-of-gas pressure entry (bar) to raw
constexpr long kTypeMismatch = 13;           // error number of a text that is no number
constexpr long kOverflow = 6;                // error number of a value too large for its field
constexpr double kShoRpmWaitUs = 250000;
constexpr int kMaxCylinders = 8;

const ListEntry* At(const EntryList& l, int index) {
    return (index >= 0 && index < static_cast<int>(l.size())) ? &l[static_cast<size_t>(index)]
                                                              : nullptr;
}
}  // namespace

SettingsModel::SettingsModel(EcuSession& session, PollingCycle& cycle)
    : session_(session), cycle_(cycle) {
    // Block 3 read back different from what was shown: show it.
    cycle_.OnSettingsChanged([this] { Refresh(); });
    cycle_.OnFirstRefresh([this] { Refresh(); });
    // A file loaded with the link stopped went into the image only.
    cycle_.OnConfigLoaded([this](const QString&, const ConfigLoad::Result& r) {
        if (r.linkStopped) Refresh();
    });
}

QString SettingsModel::Text(int entry) const {
    return session_.Text(entry);
}

bool SettingsModel::AutoTuning() const {
    return cycle_.AutoTuning();
}

void SettingsModel::FillLists() {
    QStringList lines;
    ReadConfigLines(SystemPath(QString::fromLatin1(kScaleFilePath)), lines);
    QString error;
    const bool ok = lists_.Fill(
        lines, session_.Scale(), session_.Caption(Cap::LambdaNone),
        {session_.Caption(Cap::EmptyGasPetrol), session_.Caption(Cap::EmptyGasCompensate)}, &error);
    delayList_ = lists_.DelayTableFor(session_.Image().Shown().Mem3Block.SwitchTempRaw);
    // The box says "Config error"; what could not be read goes with the
    // error number, as in the other readers of the file.
    if (!ok)
        ErrorReport(QStringLiteral("RiempiCmbSwtch_Err"), QStringLiteral("Config error"), false,
                    kTypeMismatch, QStringLiteral("Type mismatch (%1)").arg(error));
    emit listsRefilled();
}

SettingsSelection SettingsModel::CurrentSettings() const {
    // A list shows the pick still waiting to be written, not the value the
    // ECU had before it: the settings show the image with the pending edits.
    const PendingEditsRecord shown = session_.Image().Shown();
    const auto& m3 = shown.Mem3Block;
    const auto& m5 = shown.Mem5Block;
    SettingsSelection s;
    s.rpm = FirstAtLeast(lists_.rpm, m3.SwitchRpm);
    s.temp = FirstAtLeast(lists_.temp, m3.SwitchTempRaw);
    s.delay = FirstAtLeast(delayList_, m3.SwitchDelay);
    s.bar = FirstAtLeast(lists_.bar, m3.SwitchPressRaw / kBarToRaw);
    s.delayPress = FirstAtLeast(lists_.delayPress, m3.SwitchPressDelay);
    s.force = FirstAtLeast(lists_.force, m3.ForceTime);
    s.seq = FirstAtLeast(lists_.seq, m5.SwitchSequence / kSeqSteps);
    s.cylinders = FirstAtLeast(lists_.cylinders, m3.NumCylinders);
    s.coils = FirstAtLeast(lists_.coils, m3.NumCoils);
    s.lambda = IndexOfCode(lists_.lambda, m3.LambdaTypeCode);
    s.injector = IndexOfCode(lists_.injector, m3.InjTypeCode);
    s.level = IndexOfCode(lists_.level, m3.LevelTypeCode);
    s.emptyGas = m3.EmptyGasMode < static_cast<int>(lists_.emptyGas.size()) ? m3.EmptyGasMode : -1;
    for (size_t i = 0; i < lists_.shoRpmPairs.size(); ++i)
        if (lists_.shoRpmPairs[i].first == m5.ShowRpmLow &&
            lists_.shoRpmPairs[i].second == m5.ShowRpmHigh)
            s.shoRpm = static_cast<int>(i);
    s.fuelType = m3.FuelType == 1 ? 1 : 0;
    s.volCompVisible = m3.EmptyGasMode != 0;
    return s;
}

void SettingsModel::Refresh() {
    filling_ = true;
    const ParamImage& image = session_.Image();
    const Mem3Fields shown = image.Shown().Mem3Block;
    delayList_ = lists_.DelayTableFor(shown.SwitchTempRaw);
    const ScaleConfig& scale = session_.Scale();
    if (const auto* lt = scale.LambdaAt(scale.LambdaIndexByCode(shown.LambdaTypeCode)))
        ApplyLambdaFactor(lt->Factor);
    const bool allowed = image.Mem2Block.VacuumAcqEnable != 0;
    if (!allowed) cycle_.SetAutoTuning(false);
    emit autoTuningShown(allowed, cycle_.AutoTuning());
    emit injectorCount(std::clamp(image.Mem3Block.NumCylinders, 0, kMaxCylinders));
    emit selectionChanged();
    filling_ = false;
}

void SettingsModel::ShowSelectionAgain() {
    filling_ = true;
    emit selectionChanged();
    filling_ = false;
}

// Each handler ignores what the program itself selects while it fills.
#define GASCAL_IGNORE_WHILE_FILLING \
    if (filling_) return

void SettingsModel::CmbSwtchRpm_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.rpm, index)) {
        session_.Image().PendingEdits.Mem3Block.SwitchRpm = e->value;
        cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    }
}

void SettingsModel::CmbSwtchTemp_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.temp, index);
    if (!e) return;
    ParamImage& image = session_.Image();
    image.PendingEdits.Mem3Block.SwitchTempRaw = e->value;
    // The delay list depends on the temperature: refill it and keep the
    // delay that is now selected.
    delayList_ = lists_.DelayTableFor(e->value);
    int sel = FirstAtLeast(delayList_, image.Shown().Mem3Block.SwitchDelay);
    if (sel < 0 && !delayList_.empty()) sel = static_cast<int>(delayList_.size()) - 1;
    if (const auto* d = At(delayList_, sel)) image.PendingEdits.Mem3Block.SwitchDelay = d->value;
    cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    ShowSelectionAgain();
}

void SettingsModel::CmbSwtchDelay_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(delayList_, index)) {
        session_.Image().PendingEdits.Mem3Block.SwitchDelay = e->value;
        cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    }
}

void SettingsModel::CmbSwtchBar_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.bar, index)) {
        session_.Image().PendingEdits.Mem3Block.SwitchPressRaw = std::round(e->value * kBarToRaw);
        cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    }
}

void SettingsModel::CmbSwtchDelayPress_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.delayPress, index)) {
        session_.Image().PendingEdits.Mem3Block.SwitchPressDelay = e->value;
        cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    }
}

void SettingsModel::CmbSwtchForce_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.force, index)) {
        session_.Image().PendingEdits.Mem3Block.ForceTime = e->value;
        cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    }
}

void SettingsModel::CmbSwtchBobine_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.coils, index)) {
        session_.Image().PendingEdits.Mem3Block.NumCoils = static_cast<int>(e->value);
        cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    }
}

void SettingsModel::CmbSwtchCilindri_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.cylinders, index);
    if (!e) return;
    const int n = static_cast<int>(e->value);
    Mem3Fields& p = session_.Image().PendingEdits.Mem3Block;
    p.NumCylinders = n;
    for (int k = n; k < kMaxCylinders; ++k) p.InjEnable[static_cast<size_t>(k)] = 0;
    // The injectors up to the new count are brought into service.
    cycle_.Injectors().Request(InjModeRequest::BelowCount, n, 3);
    cycle_.Scheduler().StartWriteDelay(Block::Mem3);
}

void SettingsModel::ApplyLambdaFactor(double factor) {
    // The chosen type's factor converts the lambda word from now on: the
    // live voltage shown and the one the viewer's log records.
    lambdaFactor_ = factor;
    if (factor > 0) session_.Image().KLambda = factor;
}

void SettingsModel::CmbSwtchLambdaType_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.lambda, index);
    if (!e) return;
    session_.Image().PendingEdits.Mem3Block.LambdaTypeCode = e->code;
    const ScaleConfig& scale = session_.Scale();
    if (const auto* lt = scale.LambdaAt(scale.LambdaIndexByCode(e->code)))
        ApplyLambdaFactor(lt->Factor);
    cycle_.Scheduler().StartWriteDelay(Block::Mem3);
}

void SettingsModel::OptTypFuel_Click(int option) {
    GASCAL_IGNORE_WHILE_FILLING;
    session_.Image().PendingEdits.Mem3Block.FuelType = option == 0 ? 0 : 1;
    cycle_.Scheduler().StartWriteDelay(Block::Mem3);
}

void SettingsModel::CmbTpyGLS_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.level, index);
    if (!e) return;
    const ScaleConfig& scale = session_.Scale();
    const auto* t = scale.LevelAt(scale.LevelIndexByCode(e->code));
    if (!t) return;
    Mem3Fields& p = session_.Image().PendingEdits.Mem3Block;
    p.LevelTypeCode = static_cast<uint8_t>(t->Code);
    p.LevelThresholds = t->Thresholds;
    cycle_.Scheduler().StartWriteDelay(Block::Mem3);
}

void SettingsModel::CmbTpyInj_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const ScaleConfig& scale = session_.Scale();
    const auto* e = At(lists_.injector, index);
    const auto* t = e ? scale.InjectorAt(scale.InjectorIndexByCode(e->code)) : nullptr;
    const QString title =
        session_.ProductTitle() + QStringLiteral(" - ") + QString::fromLatin1(kSoftwareVersionText);
    if (t && UserPrompts().AskYesNo(session_.Caption(Cap::MsgInjTypeQuestion), title)) {
        Mem3Fields& p = session_.Image().PendingEdits.Mem3Block;
        p.InjTypeCode = static_cast<uint8_t>(t->Code);
        p.InjOpenTime = t->OpenTime;
        p.InjPwmTime1 = t->PwmTime1;
        p.InjPwmTime2 = t->PwmTime2;
        cycle_.Scheduler().StartWriteDelay(Block::Mem3);
        return;
    }
    // Declined: the list goes back to the type shown before.
    ShowSelectionAgain();
}

void SettingsModel::CmbEmptyGas_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (!At(lists_.emptyGas, index)) return;
    Mem3Fields& p = session_.Image().PendingEdits.Mem3Block;
    p.EmptyGasMode = index;
    if (index == 0) p.VolCompEnable = 0;
    cycle_.Scheduler().StartWriteDelay(Block::Mem3);
    // The volumetric compensation controls follow the pick at once.
    ShowSelectionAgain();
}

void SettingsModel::CmbSwtchSeq_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.seq, index);
    if (!e) return;
    // Integer part of (entry x 1000) / 25, computed on whole numbers so that
    // 1.5 gives exactly 60.
    const long long steps = std::llround(e->value * 1000.0) / kSeqStepMs;
    if (steps < 0 || steps >= kPendingByte) {
        // The ECU keeps the sequence in one byte, and 255 means "unchanged":
        // an entry of the configuration file beyond that is refused, not
        // sent as some other time, and the list shows the value again.
        ErrorReport(QStringLiteral("CmbSwtchSeq_Click_Err"), QString(), false, kOverflow,
                    QStringLiteral("Overflow (%1)").arg(e->text));
        ShowSelectionAgain();
        return;
    }
    session_.Image().PendingEdits.Mem5Block.SwitchSequence = static_cast<uint8_t>(steps);
    cycle_.Scheduler().StartWriteDelay(Block::Mem5);
}

void SettingsModel::CmbShoRpm_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (index < 0 || index >= static_cast<int>(lists_.shoRpmPairs.size())) return;
    const auto [lo, hi] = lists_.shoRpmPairs[static_cast<size_t>(index)];
    Mem5Fields& p = session_.Image().PendingEdits.Mem5Block;
    p.ShowRpmLow = lo;
    p.ShowRpmHigh = hi;
    // The samples of both fuels were taken in the old window: they go, in
    // the ECU and on the Map tab (points, markers, the map-changed flag).
    cycle_.ClearMapSamples(MapFuel::Gas);
    cycle_.ClearMapSamples(MapFuel::Petrol);
    cycle_.Scheduler().StartWriteDelay(Block::Mem5);
    emit busy(true);
    WaitMicroSeconds(kShoRpmWaitUs);
    emit busy(false);
}

void SettingsModel::ChkAbilAcqVacum_Click(bool ticked) {
    GASCAL_IGNORE_WHILE_FILLING;
    const bool allowed = session_.Image().Mem2Block.VacuumAcqEnable != 0;
    const bool on = allowed && ticked;
    cycle_.SetAutoTuning(on);
    cycle_.Scheduler().SetSampleDelay(on ? 1 : 0);
    filling_ = true;
    emit autoTuningShown(allowed, on);
    filling_ = false;
}

#undef GASCAL_IGNORE_WHILE_FILLING

}  // namespace gascal
