// The simulator panel's view of the in-process simulated ECU: key, engine,
// speed, load and the failures a user can inject.
#pragma once

#include <memory>

#include "app/gascal/MapDrive.h"
#include "mainwindow/widgets/SimControl.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimFitter.h"

namespace gascal {

class SimBridge : public SimControl {
  public:
    explicit SimBridge(std::shared_ptr<sim::SimEcu> ecu) : ecu_(ecu), fitter_(std::move(ecu)) {}
    void SetKey(bool on) override;
    bool Key() const override;
    void SetEngineRunning(bool on) override;
    void SetTargetRpm(double rpm) override;
    void SetLoad(double load) override;
    QStringList FailureNames() const override;
    void InjectFailure(int index) override;
    void ClearFailures() override;
    void SetFitterOn(bool on) override { fitterOn_ = on; }
    bool FitterOn() const override { return fitterOn_; }
    void FollowCalibration(CalInstruction instruction, double askedRpm) override;
    QString Summary() const override;
    bool StartDrive() override;
    bool Driving() const override { return drive_ && drive_->Running(); }
    // The session the drive reads the map with (set once the window's session exists).
    void SetSession(MainSession* session) { session_ = session; }

  private:
    std::shared_ptr<sim::SimEcu> ecu_;
    sim::SimFitter fitter_;
    bool fitterOn_ = true;
    MainSession* session_ = nullptr;
    std::unique_ptr<MapDrive> drive_;
};

}  // namespace gascal
