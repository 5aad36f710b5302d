// A drive of the simulated car that fills both fuels' operating points: a
// sweep of speeds and loads inside the ECU's acquisition window, each held
// on petrol, then the same sweep on gas after the car's controller has
// settled on the new fuel. It is what a fitter does on the road before
// reading the map; `gascal-ecusim --drive`, the window's Simulator menu
// ("Drive") and the tests run it.
//
// The drive runs on the caller's clock: Step(now) brings the car up to
// `now` and moves to the next speed and load when the current one has been
// held long enough. The fuel is asked for through the car's fuel switch
// unless the caller asks for it its own way (the tool's block-2 write).
#pragma once

#include <QString>
#include <functional>
#include <vector>

namespace gascal::sim {

class SimEcu;

struct DriveLoad {
    double rpm = 0;
    double load = 0;
};

class SimDrive {
  public:
    using FuelRequest = std::function<void(bool gas)>;

    static constexpr double kHoldS = 7;        // each speed and load
    static constexpr double kSettleS = 8;      // on a new fuel before the sweep
    static constexpr double kSwitchS = 30;     // a fuel that does not come ends the drive
    static constexpr double kLookUs = 250000;  // how often a caller should step it

    // The sweep: eight loads across the map at 2250 to 2600 rpm.
    static const std::vector<DriveLoad>& Loads();
    // How long the whole drive takes when each fuel comes at once (s).
    static double NominalSeconds();

    explicit SimDrive(SimEcu& ecu, FuelRequest askFuel = {});

    void Start(double nowUs);
    // Runs the drive up to `nowUs`. True while it still drives.
    bool Step(double nowUs);
    bool Running() const { return started_ && !done_; }
    bool Done() const { return done_; }
    // A fuel was asked for and did not come: the drive ended early.
    bool Failed() const { return failed_; }
    // What the drive does now ("petrol 3/8: 2450 rpm, load 0.35"), and
    // whether it changed since the last look.
    QString Progress() const;
    bool TakeProgressChanged();

  private:
    struct Phase {
        enum class Kind : uint8_t { Fuel, Settle, Hold } kind = Kind::Hold;
        bool gas = false;
        int index = 0;  // of the load
    };
    void Enter(double nowUs);

    SimEcu& ecu_;
    FuelRequest askFuel_;
    std::vector<Phase> phases_;
    size_t phase_ = 0;
    double phaseStartUs_ = 0;
    bool started_ = false, done_ = false, failed_ = false;
    bool progressChanged_ = false;
};

// What the ECU's table gives at a petrol time against what the car's gas
// injectors need there (ms): gas supplied minus gas needed; positive is too
// rich. The simulator knows the injectors' hidden curve; the tool never does.
double GasResidualMs(const SimEcu& ecu, double petrolMs);

// The residual at every petrol time of the ECU's petrol operating points
// (the times the car demanded on petrol, before the map's rounding): the
// largest and the mean of its size (ms).
struct MappedResidual {
    int points = 0;
    double largest = 0;
    double mean = 0;
};
MappedResidual MappedResidualOf(const SimEcu& ecu);

}  // namespace gascal::sim
