// What the simulator panel can do to a simulated car and ECU. The program
// that runs the tool on the simulator implements it; the window only knows
// this interface (no tool code knows the simulator itself).
#pragma once

#include <QString>
#include <QStringList>

#include "ecu/Calibration.h"

namespace gascal {

class SimControl {
  public:
    virtual ~SimControl() = default;
    virtual void SetKey(bool on) = 0;
    virtual bool Key() const = 0;
    virtual void SetEngineRunning(bool on) = 0;
    virtual void SetTargetRpm(double rpm) = 0;  // 0 = idle
    virtual void SetLoad(double load) = 0;      // 0..1
    // Named failures the panel offers ("corrupt byte", "port vanishes", ...).
    virtual QStringList FailureNames() const = 0;
    virtual void InjectFailure(int index) = 0;
    virtual void ClearFailures() = 0;
    // The simulated fitter: while it is on, the simulated car does what the
    // automatic calibration asks of the person at the car (warm up, hold
    // the raised speed, return to idle), so a calibration runs unattended.
    virtual void SetFitterOn(bool on) = 0;
    virtual bool FitterOn() const = 0;
    // The calibration's instruction now, and the speed it asks for.
    virtual void FollowCalibration(CalInstruction instruction, double askedRpm) = 0;
    // A short line on what the simulated car does now.
    virtual QString Summary() const = 0;
    // The drive that fills the map: the load sweep held on petrol and on
    // gas, then "Read" and "Compute". False when a drive runs already or
    // the simulator cannot drive.
    virtual bool StartDrive() { return false; }
    virtual bool Driving() const { return false; }
};

}  // namespace gascal
