// The simulated fitter: the person at the car while the tool runs an
// automatic calibration. The tool tells the fitter what to do (warm the
// engine up, hold a raised speed, let it idle); on a real car a person reads
// it off the screen, on the simulated car this fitter does it at once, so a
// whole calibration runs unattended, in virtual time in the tests and on the
// real clock under `gascal --sim` and `gascal-cli --sim calibrate`.
//
// The raised speed is held as on a roller bench: some way above the speed
// asked for, under a road load, so the petrol times there differ from those
// at idle and a slope that differs from the model's shows. Where within its
// band each hold lands comes from the seed, so runs are repeatable.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/core/SimFaults.h"

namespace gascal::sim {

class SimEcu;

// What the fitter is asked to do.
enum class FitterTask : uint8_t { None = 0, WarmUp = 1, Idle = 2, RaisedSpeed = 3 };

// What the calibration's instruction to the fitter, by the number the tool
// gives it (1 warm the engine up, 2 let it idle, 3 hold the raised speed),
// asks of the fitter; any other number asks nothing. The one place where
// the tool's instructions meet the simulated fitter's tasks.
FitterTask TaskForInstruction(int instruction);

struct FitterOptions {
    double raisedMarginRpm = 300;  // held this far above the speed asked for
    double jitterRpm = 40;         // ... give or take this much, by the seed
    double raisedLoad = 0.5;       // road load while the raised speed is held
    uint64_t seed = 1;
};

class SimFitter {
  public:
    explicit SimFitter(std::shared_ptr<SimEcu> ecu, FitterOptions options = {});

    // Acts on the car for a task: an engine that is not running is started;
    // idle and warm-up release the accelerator; a raised speed is held with
    // the road load. `askedRpm` is the speed the tool asks for (raised speed).
    // The same task asked again changes nothing (the hold stays where it is).
    void Follow(FitterTask task, double askedRpm = 0);
    FitterTask Task() const { return task_; }
    // The speed the fitter holds now (0 at idle).
    double HeldRpm() const { return heldRpm_; }
    int Holds() const { return holds_; }

  private:
    std::shared_ptr<SimEcu> ecu_;
    FitterOptions options_;
    SimRandom random_;
    FitterTask task_ = FitterTask::None;
    double heldRpm_ = 0;
    int holds_ = 0;
};

}  // namespace gascal::sim
