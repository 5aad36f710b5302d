#include "sim/core/SimFitter.h"

#include "common/EventService.h"
#include "sim/core/SimEcu.h"

namespace gascal::sim {

SimFitter::SimFitter(std::shared_ptr<SimEcu> ecu, FitterOptions options)
    : ecu_(std::move(ecu)), options_(options), random_(options.seed) {}

FitterTask TaskForInstruction(int instruction) {
    switch (instruction) {
        case 1:
            return FitterTask::WarmUp;
        case 2:
            return FitterTask::Idle;
        case 3:
            return FitterTask::RaisedSpeed;
        default:
            return FitterTask::None;
    }
}

void SimFitter::Follow(FitterTask task, double askedRpm) {
    if (!ecu_ || task == task_) return;
    task_ = task;
    if (task == FitterTask::None) return;
    // The car has run up to now before the fitter touches it.
    ecu_->AdvanceTo(MicroSeconds());
    if (!ecu_->Engine().Controls().key) ecu_->SetKey(true);
    if (!ecu_->Engine().Controls().engineOn) ecu_->SetEngineRunning(true);
    if (task == FitterTask::RaisedSpeed) {
        const double jitter = (2 * random_.Uniform() - 1) * options_.jitterRpm;
        heldRpm_ = askedRpm + options_.raisedMarginRpm + jitter;
        ecu_->SetTargetRpm(heldRpm_);
        ecu_->SetLoad(options_.raisedLoad);
        ++holds_;
    } else {
        heldRpm_ = 0;
        ecu_->SetTargetRpm(0);
        ecu_->SetLoad(0);
    }
}

}  // namespace gascal::sim
