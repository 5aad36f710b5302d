#include "pages/injector/InjectorPage.h"

#include <algorithm>
#include <cmath>

#include "common/Helpers.h"
#include "data/core/MicroInjection.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "ecu/EcuSession.h"
#include "ecu/FuelSwitch.h"
#include "ecu/PollingCycle.h"

namespace gascal {

namespace {
constexpr int kStateOff = 0;
constexpr int kStateOnGas = 3;
constexpr int kStateGasForced = 4;
constexpr int kTrimUnitsPerStep = 10;  // a scroll step is ten units of the injection-time scale

QString Ms2(double v) {
    return FormatFixed(v, 2, 1);
}
}  // namespace

InjectorPageModel::InjectorPageModel(EcuSession& session, PollingCycle& cycle)
    : session_(session), cycle_(cycle) {
    // The section's entries: the row heading, the gas-time heading, the
    // offset heading, the mode heading, the modes of list index 0, 2 and 1,
    // the window caption, and the message of a gas mode refused on petrol.
    const QStringList t = session_.SectionTexts(
        QStringLiteral("[FrmInj]"),
        {QStringLiteral("Injector"), QStringLiteral("Gas (ms)"), QStringLiteral("OffSet"),
         QStringLiteral("Mode"), QStringLiteral("Gas"), QStringLiteral("Petrol"),
         QStringLiteral("Gas only"), QStringLiteral("Injector"),
         QStringLiteral("An injector can be held on gas only while the engine runs on gas.")});
    texts_.injector = t[0];
    texts_.gasTime = t[1];
    texts_.offset = t[2];
    texts_.mode = t[3];
    texts_.modes = {t[4], t[6], t[5]};  // list index 0, 1, 2
    texts_.caption = session_.ProductTitle() + QStringLiteral(" - ") + t[7];
    texts_.needsGas = t[8];
}

QString InjectorPageModel::TrimText(double ms) {
    QString s = QString::number(std::round(ms * 1000.0) / 1000.0, 'f', 3);
    while (s.endsWith(QLatin1Char('0'))) s.chop(1);
    if (s.endsWith(QLatin1Char('.'))) s.chop(1);
    if (s == QLatin1String("-0")) s = QStringLiteral("0");
    s.replace(QLatin1Char('.'), DecimalSeparator());
    return s;
}

int InjectorPageModel::Rows() const {
    return std::clamp(session_.Image().Mem3Block.NumCylinders, 0, kInjectorRows);
}

InjMode InjectorPageModel::ModeOf(int injEnable) {
    if (injEnable == kStateGasForced) return InjMode::GasForced;
    return injEnable != 0 ? InjMode::OnGas : InjMode::Off;
}

InjMode InjectorPageModel::Mode(int row) const {
    if (row < 0 || row >= kInjectorRows) return InjMode::Off;
    return ModeOf(session_.Image().Mem3Block.InjEnable[static_cast<size_t>(row)]);
}

double InjectorPageModel::TrimMs(int row) const {
    if (row < 0 || row >= kInjectorRows) return 0;
    return session_.Image().Mem3Block.InjTrim[static_cast<size_t>(row)];
}

int InjectorPageModel::TrimScroll(int row) const {
    const double step = session_.Image().KInj * kTrimUnitsPerStep;
    if (!(step > 0)) return 0;
    return std::clamp(static_cast<int>(TrimMs(row) / step), kTrimScrollMin, kTrimScrollMax);
}

double InjectorPageModel::TrimScrolled(int row, int scroll) {
    if (row < 0 || row >= kInjectorRows) return 0;
    ParamImage& image = session_.Image();
    const double ms =
        image.KInj * kTrimUnitsPerStep * std::clamp(scroll, kTrimScrollMin, kTrimScrollMax);
    image.PendingEdits.Mem3Block.InjTrim[static_cast<size_t>(row)] = ms;
    cycle_.Scheduler().StartWriteDelay(Block::Mem3, kScrollWriteDelay);
    return ms;
}

InjectorPageModel::ModeOutcome InjectorPageModel::ModeChosen(int row, InjMode mode) {
    if (row < 0 || row >= kInjectorRows) return ModeOutcome::Unchanged;
    const ParamImage& image = session_.Image();
    const int state = image.Mem3Block.InjEnable[static_cast<size_t>(row)];
    switch (mode) {
        case InjMode::OnGas:
            cycle_.Injectors().Request(InjModeRequest::OneInjector, row, kStateOnGas);
            return ModeOutcome::Requested;
        case InjMode::Off:
            if (state == kStateOff) return ModeOutcome::Unchanged;
            cycle_.Injectors().Request(InjModeRequest::OneInjector, row, kStateOff);
            return ModeOutcome::Requested;
        case InjMode::GasForced:
            if (state == kStateGasForced) return ModeOutcome::Unchanged;
            if (image.Mem2Block.Mem2Byte1 != static_cast<uint8_t>(Fuel::Gas))
                return ModeOutcome::NeedsGas;
            cycle_.Injectors().Request(InjModeRequest::OneInjector, row, kStateGasForced);
            return ModeOutcome::Requested;
    }
    return ModeOutcome::Unchanged;
}

bool InjectorPageModel::RequestPending() const {
    return cycle_.Injectors().Active();
}

int InjectorPageModel::Sensitivity() const {
    return session_.Image().Mem3Block.BadBitStep;
}

void InjectorPageModel::SensitivityChanged(int value) {
    if (value == Sensitivity() || !BadBitStepHasTime(value)) return;
    session_.Image().PendingEdits.Mem3Block.BadBitStep = static_cast<uint8_t>(value);
    cycle_.Scheduler().StartWriteDelay(Block::Mem3);
}

QString InjectorPageModel::SensitivityText(int value) const {
    if (!BadBitStepHasTime(value)) return QStringLiteral("[%1]").arg(value);
    return QString::number(BadBitStepMs(value), 'f', 1)
        .replace(QLatin1Char('.'), DecimalSeparator());
}

std::pair<int, int> InjectorPageModel::SensitivityRange() const {
    const int v = Sensitivity();
    return {std::min(kBadBitFirstStep, v), std::max(kBadBitLastStep, v)};
}

QString InjectorPageModel::PetrolText(int row) const {
    const ParamImage& image = session_.Image();
    if (image.Mem1Block.KeyOn == 0 || row < 0 || row >= kInjectorRows) return QStringLiteral("0");
    return Ms2(image.Mem1Block.PetrolInjTimes[static_cast<size_t>(row)]);
}

QString InjectorPageModel::GasText(int row) const {
    const ParamImage& image = session_.Image();
    if (image.Mem1Block.KeyOn == 0 || row < 0 || row >= kInjectorRows) return QStringLiteral("0");
    const auto k = static_cast<size_t>(row);
    const int state = image.Mem3Block.InjEnable[k];
    if ((state == kStateOnGas || state == kStateGasForced) &&
        image.Mem2Block.WorkMode == static_cast<uint8_t>(Fuel::Gas))
        return Ms2(image.Mem1Block.PetrolInjTimes[k] + image.Mem1Block.GasInjTimes[k]);
    return QStringLiteral("0");
}

}  // namespace gascal
