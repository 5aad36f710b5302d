#include "app/gascal/MapDrive.h"

#include <QTimer>
#include <array>
#include <utility>

#include "ecu/PollingCycle.h"
#include "ecu/RequestScheduler.h"
#include "mainwindow/controller/MainSession.h"

namespace gascal {

namespace {
constexpr int kTickMs = 500;
constexpr int kTicksPerLoad = 8;  // 4 s at each speed and load
// Speeds (rpm) and loads inside the acquisition window.
constexpr std::array<std::pair<double, double>, 6> kDrive = {
    {{2250, 0.1}, {2350, 0.25}, {2450, 0.4}, {2550, 0.55}, {2600, 0.7}, {2400, 0.85}}};
constexpr int kLoads = static_cast<int>(kDrive.size());
}  // namespace

MapDrive::MapDrive(MainSession& session, std::shared_ptr<sim::SimEcu> ecu, std::function<void()> done,
                   QObject* parent)
    : QObject(parent), session_(session), ecu_(std::move(ecu)), done_(std::move(done)), timer_(new QTimer(this)) {
    connect(timer_, &QTimer::timeout, this, [this] { Step(); });
    timer_->start(kTickMs);
}

void MapDrive::AskFuel(bool gas) {
    // As the window's logo does: the fuel asked for through block 2.
    session_.Ecu().Image().PendingEdits.Mem2Block.WorkMode = gas ? 3 : 0;
    session_.Cycle().Scheduler().StartWriteDelay(Block::Mem2);
}

void MapDrive::Step() {
    PollingCycle& cycle = session_.Cycle();
    // Phases: 0 online, 1 on petrol, 2..7 the loads, 8 on gas, 9..14 the
    // loads, 15 read, 16 compute and done.
    if (phase_ == 0) {
        if (!cycle.Online() || cycle.FirstRefreshPending()) return;
        AskFuel(false);
        ++phase_;
        return;
    }
    if (phase_ == 1 || phase_ == kLoads + 2) {
        const bool gas = phase_ != 1;
        if (ecu_->OnGas() != gas) return;
        ++phase_;
        waited_ = 0;
        return;
    }
    const bool petrolLoads = phase_ >= 2 && phase_ < kLoads + 2;
    const bool gasLoads = phase_ >= kLoads + 3 && phase_ < 2 * kLoads + 3;
    if (petrolLoads || gasLoads) {
        const auto& [rpm, load] = kDrive[static_cast<size_t>(phase_ - (petrolLoads ? 2 : kLoads + 3))];
        if (waited_ == 0) {
            ecu_->SetTargetRpm(rpm);
            ecu_->SetLoad(load);
        }
        if (++waited_ < kTicksPerLoad) return;
        waited_ = 0;
        if (++phase_ == kLoads + 2) AskFuel(true);
        return;
    }
    if (phase_ == 2 * kLoads + 3) {
        ecu_->SetTargetRpm(0);
        ecu_->SetLoad(0.2);
        cycle.ReadMapSamples();
        ++phase_;
        return;
    }
    if (++waited_ < 6) return;
    cycle.ComputeMap();
    timer_->stop();
    if (done_) done_();
}

}  // namespace gascal
