// The engine and car behind the simulated ECU: ignition key, cranking, idle and
// raised speed, load and manifold pressure, the car's own petrol controller
// with its lambda loop and long-term trim, warm-up of coolant, reducer and gas,
// gas pressure behind the valves, tank level and supply voltage.
//
// The gas injectors follow a hidden true curve: the gas time that delivers the
// same fuel as a petrol time T is TrueGasTimeMs(T). When the ECU's correction
// is wrong, the mixture on gas is off, the lambda loop sees it and the car's
// petrol controller lengthens (lean) or shortens (rich) its demand until the
// mixture is right again; that drift of the petrol time on gas is what the
// injection map and the automatic calibration measure.
#pragma once

#include <array>
#include <functional>

namespace gascal::sim {

enum class EnginePhase { Off, Cranking, Running };

// A gas injector's true curve: the gas time that delivers the fuel of petrol
// time T is slope × T + opening + extra × e^(−T / decayMs) ms (an opening
// time, and a little more on short pulses while the injector is still
// opening). The tool never sees it; the map and the calibration find it
// through the car's petrol controller.
struct InjectorCurve {
    double slope = 1.12;
    double opening = 0.35;
    double extra = 0.25;
    double decayMs = 2.0;

    double GasTimeMs(double petrolMs) const;
    // The petrol time whose fuel a gas time delivers.
    double PetrolForGasMs(double gasMs) const;
};

// The hidden curves the simulator offers (--curve): "default" is the curve
// above; "steep" needs more slope than the model's line, "flat" less, "bent"
// a stronger bend on short pulses. Null for an unknown name.
const InjectorCurve* NamedInjectorCurve(const char* name);
// Their names, "default" first.
const char* const* InjectorCurveNames();

// What a driver or a scenario sets.
struct EngineControls {
    bool key = false;       // ignition key on
    bool engineOn = false;  // the engine is started (cranks, then runs) while the key is on
    double targetRpm = 0;   // requested speed; at or below idle means idle
    double load = 0;        // 0 (throttle closed) .. 1 (full load)
    double ambientC = 20;
    double tankLevel = 0.7;  // 0 .. 1
    int cylinders = 4;       // the engine's own cylinder count
    bool lpg = true;         // LPG (reducer about 1.1 bar), else CNG (about 2 bar)
    InjectorCurve curve;     // the gas injectors' hidden true curve
};

// What the gas ECU does to the engine during a step.
struct EcuDrive {
    bool valvesOpen = false;
    std::array<bool, 8> gasDriven{};  // cylinder i runs on gas
    // Gas time the ECU drives on cylinder i for petrol time t (ms).
    std::function<double(int, double)> gasTimeMs;
};

struct EngineState {
    EnginePhase phase = EnginePhase::Off;
    double rpm = 0;
    double mapMbar = 1000;  // manifold pressure, absolute
    double coolantC = 20;
    double reducerC = 20;
    double gasC = 20;
    double gasPressMbar = 0;  // above manifold pressure
    double trim = 1.0;        // the car's long-term trim (petrol time factor)
    double lambdaV = 0.45;
    double supplyV = 12.5;
    double runTimeS = 0;  // since the engine last started
    bool cutOff = false;  // the car cuts fuel on overrun
    bool closedLoop = false;
    double mixture = 1.0;              // delivered / needed fuel, 1 = stoichiometric
    std::array<double, 8> petrolMs{};  // petrol time the car demands per cylinder
};

class SimEngine {
  public:
    SimEngine();

    EngineControls& Controls() { return controls_; }
    const EngineControls& Controls() const { return controls_; }
    const EngineState& State() const { return state_; }

    // Puts the temperatures where a warm engine has them (or back to ambient).
    void SetWarm(bool warm);

    // Advances the model by dt seconds under the ECU's drive.
    void Step(double dt, const EcuDrive& drive);

    double IdleRpm() const;

    // The default hidden injector curve and its inverse (the car's own
    // curve is Controls().curve).
    static double TrueGasTimeMs(double petrolMs) { return InjectorCurve{}.GasTimeMs(petrolMs); }
    static double PetrolForGasMs(double gasMs) { return InjectorCurve{}.PetrolForGasMs(gasMs); }

  private:
    EngineControls controls_;
    EngineState state_;
    double crankS_ = 0;
    double oscPhase_ = 0;
};

}  // namespace gascal::sim
