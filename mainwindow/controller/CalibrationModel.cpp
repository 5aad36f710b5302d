#include "mainwindow/controller/CalibrationModel.h"

#include <QPointer>
#include <algorithm>
#include <cmath>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/DataTexts.h"
#include "ecu/PollingCycle.h"
#include "mainwindow/controller/MainController.h"

namespace gascal {

namespace {
constexpr double kPlotStepMs = 0.2;   // the plot's vertical range grows in these steps
constexpr double kPlotCycleStep = 5;  // ... and its horizontal one in these
constexpr double kMinCycles = 10;
}  // namespace

CalibrationModel::CalibrationModel(Calibration& calibration, MainController& controller)
    : cal_(calibration), controller_(controller) {
    // The session owns both: the listener lives as long as the calibration.
    // The switch to gas at the end and its 4 s show the wait cursor.
    cal_.OnChanged([this] {
        if (cal_.SwitchingToGas() != gasWait_) {
            gasWait_ = cal_.SwitchingToGas();
            emit waitCursor(gasWait_);
        }
        startEnabled_ = cal_.StartEnabled();
        // From the result straight back to idle: the result was kept (an
        // abort passes through its own state first). The offer comes once
        // the calibration has stopped, between its ticks.
        const CalState now = cal_.State();
        if (now == CalState::Idle && lastState_ == CalState::End && cal_.NotRestored() == 0)
            offerStore_ = true;
        if (offerStore_ && !cal_.Running()) {
            offerStore_ = false;
            // The window may be gone by then (closed at the result).
            QPointer<CalibrationModel> self(this);
            Events().Post(MicroSeconds(), [self] {
                if (self) self->OfferStore();
            });
        }
        if (now != lastState_) lastState_ = now;
        emit changed();
    });
    connect(&controller_, &MainController::languageChanged, this, [this] {
        // The captions again; the idle message in the new language.
        cal_.ReloadTexts();
        emit changed();
    });
}

CalibrationModel::~CalibrationModel() = default;

QString CalibrationModel::Text(CalText t) const {
    return cal_.Texts().value(static_cast<int>(t));
}

void CalibrationModel::OfferStore() {
    // Offline (the window closing, the link taken down) the store could not
    // be sent: closing asks its own question.
    if (cal_.Running() || !controller_.Cycle().Online() || !controller_.Unstored()) return;
    if (UserPrompts().AskYesNo(gascal::Text(DataText::StoreAskCalibration), AppTitle()))
        controller_.MnuFileStore_Click();
}

void CalibrationModel::RefreshButtons() {
    if (cal_.StartEnabled() == startEnabled_) return;
    startEnabled_ = cal_.StartEnabled();
    emit changed();
}

void CalibrationModel::CmdCalStart_Click() {
    if (beforeStart_ && cal_.State() == CalState::Idle && cal_.StartEnabled() && !beforeStart_())
        return;
    cal_.Yes();
}

void CalibrationModel::CmdCalCancel_Click() {
    cal_.Esc();
}

void CalibrationModel::SetTwoPoint(bool on) {
    if (!TwoPointEnabled() || on == cal_.TwoPoint()) return;
    cal_.SetTwoPoint(on);
    emit changed();
}

CalibrationModel::Plot CalibrationModel::PlotData() const {
    Plot p;
    double lo = p.yMin, hi = p.yMax;
    int x = 0;
    for (const CalCycle& c : cal_.Cycles()) {
        ++x;
        p.offset.emplace_back(x, c.offsetBefore);
        p.difference.emplace_back(x, c.Difference());
        lo = std::min({lo, c.offsetBefore, c.Difference()});
        hi = std::max({hi, c.offsetBefore, c.Difference()});
    }
    p.xMax = std::max(kMinCycles, std::ceil((x + 1) / kPlotCycleStep) * kPlotCycleStep);
    p.yMin = std::floor(lo / kPlotStepMs + 1e-9) * kPlotStepMs;
    p.yMax = std::ceil(hi / kPlotStepMs - 1e-9) * kPlotStepMs;
    return p;
}

}  // namespace gascal
