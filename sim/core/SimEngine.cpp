#include "sim/core/SimEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace gascal::sim {

namespace {
constexpr double kCrankRpm = 220;
constexpr double kCrankTimeS = 0.8;
constexpr double kWarmIdleRpm = 850;
constexpr double kColdIdleExtraRpm = 300;
constexpr double kRpmTauS = 0.4;
constexpr double kOverrunTauS = 1.2;  // engine braking with the throttle closed
constexpr double kStopTauS = 0.3;
constexpr double kWarmCoolantC = 88;
constexpr double kCoolantWarmTauS = 420;
constexpr double kCoolantCoolTauS = 1800;
constexpr double kReducerTauS = 60;
constexpr double kGasTempTauS = 90;
constexpr double kClosedLoopCoolantC = 35;
constexpr double kTrimTauS = 1.5;  // long-term trim time constant
constexpr double kTrimMin = 0.6;
constexpr double kTrimMax = 1.6;
constexpr double kLambdaOscAmplitude = 0.025;
constexpr double kLambdaFilterTauS = 0.08;
constexpr double kLpgPressMbar = 1100;
constexpr double kCngPressMbar = 2000;
constexpr double kPressRiseTauS = 0.3;
constexpr double kPressDecayTauS = 20;
constexpr double kTankEmpty = 0.02;
// Fuel used from a full tank per second at full demand (a tank lasts hours).
constexpr double kTankUsePerMsRev = 2.0e-9;

double Relax(double value, double target, double dt, double tau) {
    return target + (value - target) * std::exp(-dt / tau);
}

// Small differences between the cylinders' demands.
double CylinderFactor(int i) {
    return 1.0 + 0.012 * ((i % 4) - 1.5);
}
}  // namespace

SimEngine::SimEngine() {
    SetWarm(false);
}

void SimEngine::SetWarm(bool warm) {
    if (warm) {
        state_.coolantC = kWarmCoolantC;
        state_.reducerC = 72;
        state_.gasC = 38;
    } else {
        state_.coolantC = state_.reducerC = state_.gasC = controls_.ambientC;
    }
}

double SimEngine::IdleRpm() const {
    const double cold = std::clamp((60.0 - state_.coolantC) / 60.0, 0.0, 1.0);
    return kWarmIdleRpm + kColdIdleExtraRpm * cold;
}

double InjectorCurve::GasTimeMs(double petrolMs) const {
    if (!(petrolMs > 0)) return 0;
    return slope * petrolMs + opening + extra * std::exp(-petrolMs / decayMs);
}

double InjectorCurve::PetrolForGasMs(double gasMs) const {
    if (!(gasMs > GasTimeMs(1e-9))) {
        // Below the opening time the injector delivers a share of its smallest pulse.
        return std::max(0.0, gasMs / slope - 0.3);
    }
    double t = std::max(0.0, (gasMs - opening) / slope);
    for (int i = 0; i < 8; ++i) {
        const double f = GasTimeMs(t) - gasMs;
        const double d = slope - extra / decayMs * std::exp(-t / decayMs);
        t -= f / d;
        if (t < 0) t = 0;
    }
    return t;
}

namespace {
struct NamedCurve {
    const char* name;
    InjectorCurve curve;
};
// Corrections needed at idle (about 3.3 ms) and at a raised speed under
// road load (about 6.1 ms): default 0.80 / 1.09, steep 0.75 / 1.29, flat
// 0.72 / 0.67, bent 0.93 / 1.09.
constexpr NamedCurve kCurves[] = {
    {"default", {1.12, 0.35, 0.25, 2.0}},
    {"steep", {1.21, 0.0, 0.25, 2.0}},
    {"flat", {0.99, 0.72, 0.15, 2.0}},
    {"bent", {1.10, 0.40, 0.60, 3.0}},
};
constexpr const char* kCurveNames[] = {"default", "steep", "flat", "bent", nullptr};
}  // namespace

const InjectorCurve* NamedInjectorCurve(const char* name) {
    for (const NamedCurve& c : kCurves)
        if (std::strcmp(c.name, name) == 0) return &c.curve;
    return nullptr;
}

const char* const* InjectorCurveNames() {
    return kCurveNames;
}

void SimEngine::Step(double dt, const EcuDrive& drive) {
    EngineState& s = state_;
    const EngineControls& c = controls_;
    const int cylinders = std::clamp(c.cylinders, 1, 8);

    // Phase: key and starter.
    if (!c.key || !c.engineOn) {
        s.phase = EnginePhase::Off;
        crankS_ = 0;
    } else if (s.phase == EnginePhase::Off) {
        s.phase = EnginePhase::Cranking;
        crankS_ = 0;
    }
    if (s.phase == EnginePhase::Cranking) {
        crankS_ += dt;
        if (crankS_ >= kCrankTimeS) {
            s.phase = EnginePhase::Running;
            s.runTimeS = 0;
        }
    }

    // Speed.
    const double idle = IdleRpm();
    const double target = std::max(idle, c.targetRpm);
    switch (s.phase) {
        case EnginePhase::Off:
            s.rpm = s.rpm < 5 ? 0 : Relax(s.rpm, 0, dt, kStopTauS);
            break;
        case EnginePhase::Cranking:
            s.rpm = kCrankRpm;
            break;
        case EnginePhase::Running:
            s.rpm = Relax(s.rpm, target, dt,
                          s.rpm > target && controls_.load < 0.02 ? kOverrunTauS : kRpmTauS);
            s.runTimeS += dt;
            break;
    }
    const bool running = s.phase == EnginePhase::Running;
    const double load = std::clamp(c.load, 0.0, 1.0);

    // Overrun: throttle closed while the engine is pulled above the speed asked for.
    s.cutOff = running && load < 0.02 && s.rpm > target + 250 && s.rpm > 1300;

    // Manifold pressure.
    if (!running && s.phase != EnginePhase::Cranking) {
        s.mapMbar = Relax(s.mapMbar, 1000, dt, 0.5);
    } else if (s.cutOff) {
        s.mapMbar = 200;
    } else {
        const double free = 310 - 20 * (s.rpm - kWarmIdleRpm) / 1000.0;
        s.mapMbar = std::clamp(free + (980 - free) * load, 200.0, 1000.0);
    }

    // The car's petrol demand and its lambda loop.
    const double cold = std::clamp((60.0 - s.coolantC) / 60.0, 0.0, 1.0);
    const double base = (0.7 + 8.5 * s.mapMbar / 1000.0) * (1.0 + 0.35 * cold);
    s.closedLoop = running && !s.cutOff && s.coolantC > kClosedLoopCoolantC;
    double delivered = 0, needed = 0;
    for (int i = 0; i < 8; ++i) {
        if (i >= cylinders || !(running || s.phase == EnginePhase::Cranking) || s.cutOff) {
            s.petrolMs[i] = 0;
            continue;
        }
        const double need = base * CylinderFactor(i);
        const double tp = need * s.trim;
        s.petrolMs[i] = tp;
        needed += need;
        if (drive.gasDriven[i] && drive.gasTimeMs) {
            delivered += c.curve.PetrolForGasMs(drive.gasTimeMs(i, tp));
        } else {
            delivered += tp;
        }
    }
    s.mixture = needed > 0 ? delivered / needed : 1.0;
    if (s.closedLoop) {
        // Integral action: rich shortens the petrol time, lean lengthens it.
        s.trim -= (s.mixture - 1.0) * dt / kTrimTauS;
        s.trim = std::clamp(s.trim, kTrimMin, kTrimMax);
    } else if (!running) {
        s.trim = Relax(s.trim, 1.0, dt, 30.0);
    }

    // Lambda sensor: switches around stoichiometric with the loop's oscillation.
    oscPhase_ += dt * (0.8 + s.rpm / 2500.0);
    oscPhase_ -= std::floor(oscPhase_);
    const double tri = oscPhase_ < 0.5 ? (4 * oscPhase_ - 1) : (3 - 4 * oscPhase_);
    double lambdaTarget;
    if (!running) {
        lambdaTarget = 0.0;
    } else if (s.cutOff) {
        lambdaTarget = 0.05;
    } else if (!s.closedLoop) {
        lambdaTarget = 0.45;
    } else {
        lambdaTarget = (s.mixture - 1.0 + kLambdaOscAmplitude * tri) > 0 ? 0.8 : 0.1;
    }
    s.lambdaV = Relax(s.lambdaV, lambdaTarget, dt, kLambdaFilterTauS);

    // Temperatures.
    if (running) {
        s.coolantC = Relax(s.coolantC, kWarmCoolantC + 4, dt, kCoolantWarmTauS);
    } else {
        s.coolantC = Relax(s.coolantC, c.ambientC, dt, kCoolantCoolTauS);
    }
    double gasShare = 0;
    for (int i = 0; i < cylinders; ++i) gasShare += drive.gasDriven[i] ? 1.0 : 0.0;
    gasShare /= cylinders;
    const double flow = gasShare * (s.rpm / 3000.0) * (s.mapMbar / 1000.0);
    const double reducerTarget =
        running ? c.ambientC + (s.coolantC - c.ambientC) * 0.9 - 10 * flow : s.coolantC;
    s.reducerC = Relax(s.reducerC, reducerTarget, dt, kReducerTauS);
    const double gasTarget =
        gasShare > 0 ? c.ambientC + 0.4 * (s.reducerC - c.ambientC) : (s.reducerC + c.ambientC) / 2;
    s.gasC = Relax(s.gasC, gasTarget, dt, kGasTempTauS);

    // Gas pressure behind the valves.
    const double nominal = c.lpg ? kLpgPressMbar : kCngPressMbar;
    if (drive.valvesOpen && controls_.tankLevel > kTankEmpty) {
        s.gasPressMbar =
            Relax(s.gasPressMbar, nominal - 150 * std::min(flow, 1.0), dt, kPressRiseTauS);
    } else if (drive.valvesOpen) {
        s.gasPressMbar = Relax(s.gasPressMbar, 0, dt, 2.0);
    } else {
        s.gasPressMbar = Relax(s.gasPressMbar, 0, dt, kPressDecayTauS);
    }

    // Tank: gas used in proportion to the gas times and speed.
    if (gasShare > 0 && running) {
        double gasMs = 0;
        for (int i = 0; i < cylinders; ++i)
            if (drive.gasDriven[i] && drive.gasTimeMs) gasMs += drive.gasTimeMs(i, s.petrolMs[i]);
        controls_.tankLevel =
            std::max(0.0, controls_.tankLevel - gasMs * s.rpm * kTankUsePerMsRev * dt);
    }

    // Supply voltage.
    if (!c.key) {
        s.supplyV = 12.5;
    } else if (s.phase == EnginePhase::Cranking) {
        s.supplyV = 10.6;
    } else if (running) {
        s.supplyV = 14.1;
    } else {
        s.supplyV = 12.3;
    }
}

}  // namespace gascal::sim
