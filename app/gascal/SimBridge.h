// The simulator panel's view of the in-process simulated ECU: key, engine,
// speed, load and the failures a user can inject.
#pragma once

#include <memory>

#include "mainwindow/widgets/SimControl.h"
#include "sim/core/SimEcu.h"

namespace gascal {

class SimBridge : public SimControl {
public:
    explicit SimBridge(std::shared_ptr<sim::SimEcu> ecu) : ecu_(std::move(ecu)) {}
    void SetKey(bool on) override;
    bool Key() const override;
    void SetEngineRunning(bool on) override;
    void SetTargetRpm(double rpm) override;
    void SetLoad(double load) override;
    QStringList FailureNames() const override;
    void InjectFailure(int index) override;
    void ClearFailures() override;
    QString Summary() const override;

private:
    std::shared_ptr<sim::SimEcu> ecu_;
};

}  // namespace gascal
