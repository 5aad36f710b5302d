#include "mainwindow/controller/LiveDisplay.h"

#include <algorithm>
#include <cmath>

#include "common/Helpers.h"

namespace gascal {

namespace {
constexpr int kGasFuel = 3;
constexpr int kPetrolFuel = 0;
constexpr double kMinShownSupply = 1.0;  // V: below this the supply shows 0
constexpr double kNoPressureReading = 65535;

bool Fitted(const LiveInputs& in, int i) {
    return i < std::clamp(in.numCylinders, 0, kMaxInjectors) &&
           in.injEnable[static_cast<size_t>(i)] != 0;
}

int BarValue(double ms) {
    return static_cast<int>(std::lround(std::max(0.0, ms) * 100.0));
}
}  // namespace

QString LiveDisplay::Fixed2(double v) {
    QString s = QString::number(v, 'f', 2);
    if (s == QLatin1String("-0.00")) s = QStringLiteral("0.00");
    s.replace(QLatin1Char('.'), DecimalSeparator());
    return s;
}

QString LiveDisplay::InjTime2(double ms) {
    return FormatFixed(std::max(0.0, ms), 2, 1);
}

QStringList LiveDisplay::InjectorListEntries(int numCylinders) {
    QStringList list{QStringLiteral("Inj_##")};
    const int n = std::clamp(numCylinders, 0, kMaxInjectors);
    for (int k = 1; k <= n; ++k) list << QStringLiteral("Inj_%1").arg(k);
    return list;
}

void LiveDisplay::UpdateRpm(const LiveInputs& in) {
    if (in.keyOn) {
        // Two-sample smoothing against the value shown before.
        rpmShown_ = static_cast<int>((static_cast<long long>(in.rpm) + rpmShown_) / 2);
    } else {
        rpmShown_ = 0;
    }
    rpmText = (QStringLiteral("0000") + QString::number(rpmShown_)).right(4);
}

void LiveDisplay::UpdateInjTimes(const LiveInputs& in) {
    for (int i = 0; i < kMaxInjectors; ++i) {
        const auto k = static_cast<size_t>(i);
        petShown_[k] = (in.petrolInjTimes[k] + petShown_[k]) / 2.0;
        gasShown_[k] = (in.gasInjTimes[k] + gasShown_[k]) / 2.0;
        petBar[k] = BarValue(petShown_[k]);
        gasBar[k] = BarValue(gasShown_[k]);
    }
    if (in.cutOff) {
        injTimePetText = injTimeGasText = QStringLiteral("C.OFF");
        return;
    }
    double pet = 0, gas = 0;
    if (selectedInj_ >= 1 && selectedInj_ <= kMaxInjectors) {
        pet = petShown_[static_cast<size_t>(selectedInj_ - 1)];
        gas = gasShown_[static_cast<size_t>(selectedInj_ - 1)];
    } else {
        // "Inj_##": the mean over the fitted injectors.
        int n = 0;
        for (int i = 0; i < kMaxInjectors; ++i) {
            if (!Fitted(in, i)) continue;
            pet += petShown_[static_cast<size_t>(i)];
            gas += gasShown_[static_cast<size_t>(i)];
            ++n;
        }
        if (n > 0) {
            pet /= n;
            gas /= n;
        }
    }
    injTimePetText = InjTime2(pet);
    injTimeGasText = InjTime2(gas);
}

void LiveDisplay::UpdateLambda(const LiveInputs& in, const LambdaScale& scale) {
    lambdaText = Fixed2(in.lambdaVolts);
    const double lo = scale.marks[0];
    const double hi = scale.marks[10];
    lambdaLabels = {Fixed2(lo), Fixed2(scale.marks[5]), Fixed2(hi)};
    if (hi == lo) {
        lambdaBar = 0;
        return;
    }
    // Position on the scale in percent; a falling scale reads right to left.
    const double pos = (in.lambdaVolts - lo) / (hi - lo) * BarRanges::kLambdaMax;
    lambdaBar = static_cast<int>(std::lround(std::clamp(pos, 0.0, 1.0 * BarRanges::kLambdaMax)));
}

void LiveDisplay::UpdateMarks(const LiveInputs& in) {
    int passed = 0;
    for (int t : in.levelThresholds) {
        if (t <= 0) continue;
        if (in.levelReversed ? in.levelRaw <= t : in.levelRaw >= t) ++passed;
    }
    gasLevel = passed;
    switchTempReached = in.reducerTemp >= in.switchTemp;
    runningOnGas = in.mem2Byte1 == kGasFuel;
    // The calibration page's copies of the injection times, at this slot's pace.
    calInjTpText = injTimePetText;
    calInjTgText = injTimeGasText;
}

void LiveDisplay::ShowUnknown() {
    rpmShown_ = 0;
    rpmText = QStringLiteral("----");
    boxes.known = false;
    boxes.key = boxes.ev1 = boxes.ev2 = false;
}

void LiveDisplay::UpdateStatus(const LiveInputs& in, bool autoTuning) {
    boxes.known = true;
    boxes.key = in.keyOn;
    boxes.ev1 = in.valve1Open;
    boxes.ev2 = in.valve2Open;
    if (in.mem2Byte1 == kGasFuel) {
        boxes.fuel = BoxState::Ticked;
        boxes.fuelCaption = QStringLiteral("GAS");
    } else if (in.mem2Byte1 == kPetrolFuel) {
        boxes.fuel = BoxState::Unticked;
        boxes.fuelCaption = QStringLiteral("BNZ");
    } else {
        boxes.fuel = BoxState::Unchanged;
    }
    if (in.ecuMode == 0) {
        boxes.ecu = BoxState::Ticked;
        boxes.ecuCaption = QStringLiteral("RUN");
    } else if (in.ecuMode == 1) {
        boxes.ecu = BoxState::Unticked;
        boxes.ecuCaption = QStringLiteral("SLV");
    } else {
        boxes.ecu = BoxState::Unchanged;
    }

    // Only a missing reading shows "- - -": a gas line closed on petrol
    // reads 0 bar, and that is what the box shows.
    const auto pressure = [](double raw) {
        if (raw >= kNoPressureReading) return QStringLiteral("- - -");
        return Fixed2(std::max(raw, 0.0) / 1000.0);
    };
    pressureText = pressure(in.gasPressureRaw);
    vacuumText = pressure(in.vacuumRaw);
    vacuumVisible = !in.vacuumAcqEnable;
    rpmWindowHighlight = autoTuning && rpmShown_ >= in.showRpmLow && rpmShown_ <= in.showRpmHigh;
}

void LiveDisplay::UpdateConnectionTime(double seconds) {
    const long long s = std::max(0LL, static_cast<long long>(seconds));
    timeText = QStringLiteral("Time: %1:%2:%3")
                   .arg(s / 3600)
                   .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
                   .arg(s % 60, 2, 10, QLatin1Char('0'));
}

void LiveDisplay::UpdateTemperatures(const LiveInputs& in) {
    tempVapText = QString::number(in.reducerTemp);
    tempGasText = QString::number(in.gasTemp);
    supplyText = Fixed2(in.supplyVolts < kMinShownSupply ? 0.0 : in.supplyVolts);
}

}  // namespace gascal
