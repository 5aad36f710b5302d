#include "pages/level/LevelPage.h"

#include <algorithm>

#include "common/Helpers.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"

namespace gascal {

namespace {
constexpr double kZeroScaleDivisor = 0.000001;  // a type whose top threshold is 0
}

LevelPageModel::LevelPageModel(EcuSession& session, PollingCycle& cycle)
    : session_(session), cycle_(cycle) {
    // The section's entries: the window caption, the sensor-voltage label,
    // the reading label, the gas level label, "Default" and "Back".
    const QStringList t = session_.SectionTexts(
        QStringLiteral("[FrmLevel]"),
        {QStringLiteral("Level"), QStringLiteral("Sensor (V)"), QStringLiteral("Reading"),
         QStringLiteral("Gas level"), QStringLiteral("Default"), QStringLiteral("Back")});
    texts_ = {session_.ProductTitle() + QStringLiteral(" - ") + t[0], t[1], t[2], t[3], t[4], t[5]};
}

const GasLevelTypeEntry* LevelPageModel::Type() const {
    const ScaleConfig& scale = session_.Scale();
    return scale.LevelAt(scale.LevelIndexByCode(session_.Image().Mem3Block.LevelTypeCode));
}

int LevelPageModel::LevelMode() const {
    const GasLevelTypeEntry* t = Type();
    return t ? t->LevelMode : 0;
}

QString LevelPageModel::TypeCaption() const {
    const GasLevelTypeEntry* t = Type();
    return t ? t->Caption : QString();
}

int LevelPageModel::ElementOfBar(int bar) const {
    return LevelMode() == 0 ? bar + 1 : kLevelBars - bar;
}

void LevelPageModel::Fill() {
    const auto& thresholds = session_.Image().Mem3Block.LevelThresholds;
    for (int i = 0; i < kLevelBars; ++i)
        bars_[static_cast<size_t>(i)] =
            std::clamp(thresholds[static_cast<size_t>(ElementOfBar(i))], 0, kLevelBarMax);
    filledCode_ = session_.Image().Mem3Block.LevelTypeCode;
}

QString LevelPageModel::DisplayText(int raw) const {
    const GasLevelTypeEntry* t = Type();
    if (!t) return FormatFixed(0, 2, 1);
    const double top =
        t->Thresholds[kLevelBars] != 0 ? t->Thresholds[kLevelBars] : kZeroScaleDivisor;
    return FormatFixed(t->Value * raw / top, 2, 1);
}

int LevelPageModel::BarMoved(int bar, int value) {
    if (bar < 0 || bar >= kLevelBars) return 0;
    value = std::clamp(value, 0, kLevelBarMax);
    // The thresholds keep their order: rising from left to right in the
    // rising mode, falling in the other (the bars are drawn reversed).
    const bool rising = LevelMode() == 0;
    if (bar > 0) {
        const int left = bars_[static_cast<size_t>(bar - 1)];
        if (rising ? value < left : value > left) value = left;
    }
    if (bar < kLevelBars - 1) {
        const int right = bars_[static_cast<size_t>(bar + 1)];
        if (rising ? value > right : value < right) value = right;
    }
    bars_[static_cast<size_t>(bar)] = value;
    session_.Image()
        .PendingEdits.Mem3Block.LevelThresholds[static_cast<size_t>(ElementOfBar(bar))] = value;
    cycle_.Scheduler().StartWriteDelay(Block::Mem3, kScrollWriteDelay);
    return value;
}

bool LevelPageModel::Defaults() {
    const GasLevelTypeEntry* t = Type();
    if (!t) return false;
    // Put every bar first, then store them: a move checks its neighbours,
    // which already hold the type's values.
    for (int i = 0; i < kLevelBars; ++i)
        bars_[static_cast<size_t>(i)] =
            std::clamp(t->Thresholds[static_cast<size_t>(ElementOfBar(i))], 0, kLevelBarMax);
    for (int i = 0; i < kLevelBars; ++i) BarMoved(i, bars_[static_cast<size_t>(i)]);
    return true;
}

QString LevelPageModel::SensorVoltsText() const {
    const ParamImage& image = session_.Image();
    return FormatFixed(image.Mem1Block.LevelRaw * image.KLevel / 1000.0 + 1e-9, 3, 1);
}

int LevelPageModel::Reading() const {
    return static_cast<int>(session_.Image().Mem1Block.LevelRaw);
}

LevelPageModel::Quarters LevelPageModel::LevelQuarters() const {
    const ParamImage& image = session_.Image();
    const double raw = image.Mem1Block.LevelRaw;
    const auto& t = image.Mem3Block.LevelThresholds;
    Quarters q;
    if (LevelMode() == 0) {
        q.reserveBlinks = !(raw > t[1]);
        q.filled[0] = !q.reserveBlinks;
        for (int k = 1; k < kLevelQuarters; ++k)
            q.filled[static_cast<size_t>(k)] = raw > t[static_cast<size_t>(k + 1)];
    } else {
        q.reserveBlinks = raw >= t[4];
        q.filled[0] = !q.reserveBlinks;
        for (int k = 1; k < kLevelQuarters; ++k)
            q.filled[static_cast<size_t>(k)] = raw < t[static_cast<size_t>(kLevelQuarters - k)];
    }
    return q;
}

bool LevelPageModel::TypeChanged() const {
    return filledCode_ != session_.Image().Mem3Block.LevelTypeCode;
}

}  // namespace gascal
