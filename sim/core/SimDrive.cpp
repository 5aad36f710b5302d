#include "sim/core/SimDrive.h"

#include <algorithm>
#include <cmath>

#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"

namespace gascal::sim {

const std::vector<DriveLoad>& SimDrive::Loads() {
    // Speeds inside the default acquisition window (2200 to 2700 rpm), loads
    // from a light cruise to a strong pull, so the petrol times cover about
    // 3.5 to 8.5 ms in eight pressure steps.
    static const std::vector<DriveLoad> kLoads = {{2250, 0.10}, {2300, 0.22}, {2350, 0.34},
                                                  {2400, 0.46}, {2450, 0.58}, {2500, 0.70},
                                                  {2550, 0.82}, {2600, 0.92}};
    return kLoads;
}

double SimDrive::NominalSeconds() {
    return 2 * (kSettleS + kHoldS * static_cast<double>(Loads().size()));
}

SimDrive::SimDrive(SimEcu& ecu, FuelRequest askFuel) : ecu_(ecu), askFuel_(std::move(askFuel)) {
    if (!askFuel_) askFuel_ = [this](bool gas) { ecu_.SetFuelSwitch(gas); };
    const int n = static_cast<int>(Loads().size());
    for (bool gas : {false, true}) {
        phases_.push_back({Phase::Kind::Fuel, gas, 0});
        phases_.push_back({Phase::Kind::Settle, gas, 0});
        for (int i = 0; i < n; ++i) phases_.push_back({Phase::Kind::Hold, gas, i});
    }
}

void SimDrive::Start(double nowUs) {
    ecu_.AdvanceTo(nowUs);
    started_ = true;
    done_ = failed_ = false;
    phase_ = 0;
    Enter(nowUs);
}

void SimDrive::Enter(double nowUs) {
    phaseStartUs_ = nowUs;
    progressChanged_ = true;
    if (phase_ >= phases_.size()) {
        // Back to idle on the fuel the drive ended on.
        ecu_.SetTargetRpm(0);
        ecu_.SetLoad(0.2);
        done_ = true;
        return;
    }
    const Phase& p = phases_[phase_];
    const DriveLoad& l = Loads()[static_cast<size_t>(p.index)];
    ecu_.SetTargetRpm(l.rpm);
    ecu_.SetLoad(l.load);
    if (p.kind == Phase::Kind::Fuel) askFuel_(p.gas);
}

bool SimDrive::Step(double nowUs) {
    if (!Running()) return false;
    ecu_.AdvanceTo(nowUs);
    const double heldS = (nowUs - phaseStartUs_) / 1e6;
    const Phase& p = phases_[phase_];
    bool next = false;
    switch (p.kind) {
        case Phase::Kind::Fuel:
            if (ecu_.OnGas() == p.gas) {
                next = true;
            } else if (heldS >= kSwitchS) {
                failed_ = done_ = true;
                progressChanged_ = true;
                return false;
            }
            break;
        case Phase::Kind::Settle:
            next = heldS >= kSettleS;
            break;
        case Phase::Kind::Hold:
            next = heldS >= kHoldS;
            break;
    }
    if (next) {
        ++phase_;
        Enter(nowUs);
    }
    return !done_;
}

QString SimDrive::Progress() const {
    if (!started_) return QStringLiteral("not started");
    if (failed_) return QStringLiteral("stopped: the car did not change fuel");
    if (done_) return QStringLiteral("done, back at idle");
    const Phase& p = phases_[phase_];
    const char* fuel = p.gas ? "gas" : "petrol";
    switch (p.kind) {
        case Phase::Kind::Fuel:
            return QStringLiteral("asking for %1").arg(QLatin1String(fuel));
        case Phase::Kind::Settle:
            return QStringLiteral("settling on %1").arg(QLatin1String(fuel));
        case Phase::Kind::Hold:
            break;
    }
    const DriveLoad& l = Loads()[static_cast<size_t>(p.index)];
    return QStringLiteral("%1 %2/%3: %4 rpm, load %5")
        .arg(QLatin1String(fuel))
        .arg(p.index + 1)
        .arg(Loads().size())
        .arg(l.rpm, 0, 'f', 0)
        .arg(l.load, 0, 'f', 2);
}

bool SimDrive::TakeProgressChanged() {
    const bool c = progressChanged_;
    progressChanged_ = false;
    return c;
}

double GasResidualMs(const SimEcu& ecu, double petrolMs) {
    return ecu.GasTimeMs(0, petrolMs) - ecu.Engine().Controls().curve.GasTimeMs(petrolMs);
}

MappedResidual MappedResidualOf(const SimEcu& ecu) {
    MappedResidual r;
    for (const SamplePoint& s : ecu.Samples(false)) {
        if (s.pressure == 0) continue;
        const double d =
            std::fabs(GasResidualMs(ecu, s.timeRaw * kInjMsPerCount + kPetrolOffsetMs));
        r.largest = std::max(r.largest, d);
        r.mean += d;
        ++r.points;
    }
    if (r.points > 0) r.mean /= r.points;
    return r;
}

}  // namespace gascal::sim
