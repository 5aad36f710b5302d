// The switchover and system settings of the Configuration tab: filling the
// lists, showing the image's values in them, and the change handlers that
// store a new value in PendingEdits and start the write delay of its block.
#include <cmath>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "mainwindow/controller/Captions.h"
#include "mainwindow/controller/MainController.h"

namespace gascal {

namespace {
constexpr const char* kScaleFile = "\\LNG\\ConfigScale.ini";
constexpr const char* kVersionText = " Software ver. 01.01.05";
constexpr double kSeqSteps = 1000.0 / 25.0;  // sequence entry (s) to ECU steps
constexpr double kBarToRaw = 1000.0;         // end-of-gas pressure entry (bar) to raw
constexpr long kTypeMismatch = 13;           // error number of a text that is no number
constexpr long kOverflow = 6;                // error number of a value too large for its field
constexpr long long kSeqStepMs = 25;         // one ECU step of the switchover sequence

const ListEntry* At(const EntryList& l, int index) {
    return (index >= 0 && index < static_cast<int>(l.size())) ? &l[static_cast<size_t>(index)]
                                                              : nullptr;
}
}  // namespace

void MainController::RiempiCmbSwtch() {
    QStringList lines;
    ReadConfigLines(SystemPath(QString::fromLatin1(kScaleFile)), lines);
    QString error;
    const bool ok = lists_.Fill(lines, scale_, CaptionText(static_cast<int>(Cap::LambdaNone)),
                                {CaptionText(static_cast<int>(Cap::EmptyGasPetrol)),
                                 CaptionText(static_cast<int>(Cap::EmptyGasCompensate))},
                                &error);
    delayList_ = lists_.DelayTableFor(image_.Shown().Mem3Block.SwitchTempRaw);
    // The box says "Config error"; what could not be read goes with the
    // error number, as in the other readers of the file.
    if (!ok)
        ErrorReport(QStringLiteral("RiempiCmbSwtch_Err"), QStringLiteral("Config error"), false,
                    kTypeMismatch, QStringLiteral("Type mismatch (%1)").arg(error));
    view_->ListsRefilled();
}

SettingsSelection MainController::CurrentSettings() const {
    // A list shows the pick still waiting to be written, not the value the
    // ECU had before it: the settings show the image with the pending edits.
    const PendingEditsRecord shown = image_.Shown();
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
        if (lists_.shoRpmPairs[i].first == m5.ShowRpmLow && lists_.shoRpmPairs[i].second == m5.ShowRpmHigh)
            s.shoRpm = static_cast<int>(i);
    s.fuelType = m3.FuelType == 1 ? 1 : 0;
    s.volCompVisible = m3.EmptyGasMode != 0;
    return s;
}

void MainController::RefreshSettingsNow() {
    FillingControls = true;
    const Mem3Fields shown = image_.Shown().Mem3Block;
    delayList_ = lists_.DelayTableFor(shown.SwitchTempRaw);
    if (const auto* lt = scale_.LambdaAt(scale_.LambdaIndexByCode(shown.LambdaTypeCode)))
        lambdaFactor_ = lt->Factor;
    const bool allowed = image_.Mem2Block.VacuumAcqEnable != 0;
    if (!allowed) autoTuning_ = false;
    view_->ShowAutoTuning(allowed, autoTuning_);
    view_->IstanzaInj(std::clamp(image_.Mem3Block.NumCylinders, 0, 8));
    view_->RefreshSettings();
    FillingControls = false;
}

// Each handler ignores what the program itself selects while it fills.
#define GASCAL_IGNORE_WHILE_FILLING \
    if (FillingControls) return

void MainController::CmbSwtchRpm_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.rpm, index)) {
        image_.PendingEdits.Mem3Block.SwitchRpm = e->value;
        delays.DelayWriteMem3 = 1;
    }
}

void MainController::CmbSwtchTemp_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.temp, index);
    if (!e) return;
    image_.PendingEdits.Mem3Block.SwitchTempRaw = e->value;
    // The delay list depends on the temperature: refill it and keep the
    // delay that is now selected.
    delayList_ = lists_.DelayTableFor(e->value);
    int sel = FirstAtLeast(delayList_, image_.Shown().Mem3Block.SwitchDelay);
    if (sel < 0 && !delayList_.empty()) sel = static_cast<int>(delayList_.size()) - 1;
    if (const auto* d = At(delayList_, sel)) image_.PendingEdits.Mem3Block.SwitchDelay = d->value;
    delays.DelayWriteMem3 = 1;
    FillingControls = true;
    view_->ListsRefilled();
    view_->RefreshSettings();
    FillingControls = false;
}

void MainController::CmbSwtchDelay_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(delayList_, index)) {
        image_.PendingEdits.Mem3Block.SwitchDelay = e->value;
        delays.DelayWriteMem3 = 1;
    }
}

void MainController::CmbSwtchBar_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.bar, index)) {
        image_.PendingEdits.Mem3Block.SwitchPressRaw = std::round(e->value * kBarToRaw);
        delays.DelayWriteMem3 = 1;
    }
}

void MainController::CmbSwtchDelayPress_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.delayPress, index)) {
        image_.PendingEdits.Mem3Block.SwitchPressDelay = e->value;
        delays.DelayWriteMem3 = 1;
    }
}

void MainController::CmbSwtchForce_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.force, index)) {
        image_.PendingEdits.Mem3Block.ForceTime = e->value;
        delays.DelayWriteMem3 = 1;
    }
}

void MainController::CmbSwtchBobine_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (const auto* e = At(lists_.coils, index)) {
        image_.PendingEdits.Mem3Block.NumCoils = static_cast<int>(e->value);
        delays.DelayWriteMem3 = 1;
    }
}

void MainController::CmbSwtchCilindri_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.cylinders, index);
    if (!e) return;
    const int n = static_cast<int>(e->value);
    image_.PendingEdits.Mem3Block.NumCylinders = n;
    for (int k = n; k < 8; ++k) image_.PendingEdits.Mem3Block.InjEnable[static_cast<size_t>(k)] = 0;
    InjModeRequestState = 3;
    InjModeRequestIndex = n;
    InjModeRequestFlag = 2;
    delays.DelayWriteMem3 = 1;
}

void MainController::CmbSwtchLambdaType_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.lambda, index);
    if (!e) return;
    image_.PendingEdits.Mem3Block.LambdaTypeCode = e->code;
    if (const auto* lt = scale_.LambdaAt(scale_.LambdaIndexByCode(e->code))) lambdaFactor_ = lt->Factor;
    delays.DelayWriteMem3 = 1;
}

void MainController::OptTypFuel_Click(int option) {
    GASCAL_IGNORE_WHILE_FILLING;
    image_.PendingEdits.Mem3Block.FuelType = option == 0 ? 0 : 1;
    delays.DelayWriteMem3 = 1;
}

void MainController::CmbTpyGLS_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.level, index);
    if (!e) return;
    const auto* t = scale_.LevelAt(scale_.LevelIndexByCode(e->code));
    if (!t) return;
    image_.PendingEdits.Mem3Block.LevelTypeCode = static_cast<uint8_t>(t->Code);
    image_.PendingEdits.Mem3Block.LevelThresholds = t->Thresholds;
    delays.DelayWriteMem3 = 1;
}

void MainController::CmbTpyInj_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    const auto* e = At(lists_.injector, index);
    const auto* t = e ? scale_.InjectorAt(scale_.InjectorIndexByCode(e->code)) : nullptr;
    const QString title = ProductTitle() + QStringLiteral(" - ") + QString::fromLatin1(kVersionText);
    if (t && UserPrompts().AskYesNo(CaptionText(static_cast<int>(Cap::MsgInjTypeQuestion)), title)) {
        auto& p = image_.PendingEdits.Mem3Block;
        p.InjTypeCode = static_cast<uint8_t>(t->Code);
        p.InjOpenTime = t->OpenTime;
        p.InjPwmTime1 = t->PwmTime1;
        p.InjPwmTime2 = t->PwmTime2;
        delays.DelayWriteMem3 = 1;
        return;
    }
    // Declined: the list goes back to the type the ECU has.
    FillingControls = true;
    view_->RefreshSettings();
    FillingControls = false;
}

void MainController::CmbEmptyGas_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (!At(lists_.emptyGas, index)) return;
    image_.PendingEdits.Mem3Block.EmptyGasMode = index;
    if (index == 0) image_.PendingEdits.Mem3Block.VolCompEnable = 0;
    delays.DelayWriteMem3 = 1;
    // The volumetric compensation controls follow the pick at once.
    FillingControls = true;
    view_->RefreshSettings();
    FillingControls = false;
}

void MainController::CmbSwtchSeq_Click(int index) {
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
        FillingControls = true;
        view_->RefreshSettings();
        FillingControls = false;
        return;
    }
    image_.PendingEdits.Mem5Block.SwitchSequence = static_cast<uint8_t>(steps);
    delays.DelayWriteMem5 = 1;
}

void MainController::CmbShoRpm_Click(int index) {
    GASCAL_IGNORE_WHILE_FILLING;
    if (index < 0 || index >= static_cast<int>(lists_.shoRpmPairs.size())) return;
    const auto [lo, hi] = lists_.shoRpmPairs[static_cast<size_t>(index)];
    image_.PendingEdits.Mem5Block.ShowRpmLow = lo;
    image_.PendingEdits.Mem5Block.ShowRpmHigh = hi;
    flags.PendingCancSmplGas = flags.PendingCancSmplBnz = true;
    delays.DelayWriteMem5 = 1;
    view_->SetWaitCursor(true);
    WaitMicroSeconds(kShoRpmWaitUs);
    view_->SetWaitCursor(false);
}

void MainController::ChkAbilAcqVacum_Click(bool ticked) {
    GASCAL_IGNORE_WHILE_FILLING;
    const bool allowed = image_.Mem2Block.VacuumAcqEnable != 0;
    autoTuning_ = allowed && ticked;
    delays.DelaySamples = autoTuning_ ? 1 : 0;
    FillingControls = true;
    view_->ShowAutoTuning(allowed, autoTuning_);
    FillingControls = false;
}

#undef GASCAL_IGNORE_WHILE_FILLING

}  // namespace gascal
