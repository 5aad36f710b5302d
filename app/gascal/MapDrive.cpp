#include "app/gascal/MapDrive.h"

#include <QTimer>
#include <utility>

#include "common/EventService.h"
#include "ecu/PollingCycle.h"
#include "ecu/RequestScheduler.h"
#include "mainwindow/controller/MainSession.h"

namespace gascal {

namespace {
constexpr int kReadTicks = 12;  // 3 s from "Read" to "Compute": both fuels' answers are in
}  // namespace

MapDrive::MapDrive(MainSession& session, std::shared_ptr<sim::SimEcu> ecu,
                   std::function<void()> done, QObject* parent)
    : QObject(parent),
      session_(session),
      ecu_(std::move(ecu)),
      done_(std::move(done)),
      timer_(new QTimer(this)),
      drive_(*ecu_, [this](bool gas) { AskFuel(gas); }) {
    connect(timer_, &QTimer::timeout, this, [this] { Step(); });
    timer_->start(static_cast<int>(sim::SimDrive::kLookUs / 1000));
}

bool MapDrive::Running() const {
    return phase_ != Phase::Done;
}

QString MapDrive::Progress() const {
    switch (phase_) {
        case Phase::Online:
            return QStringLiteral("waiting for the ECU");
        case Phase::Driving:
            return drive_.Progress();
        case Phase::Reading:
            return QStringLiteral("reading the map");
        case Phase::Done:
            break;
    }
    return drive_.Failed() ? drive_.Progress()
                           : QStringLiteral("done: the targets are on the Modeling tab");
}

void MapDrive::AskFuel(bool gas) {
    // As the window's logo does: the fuel asked for through block 2.
    session_.Ecu().Image().PendingEdits.Mem2Block.WorkMode = gas ? 3 : 0;
    session_.Cycle().Scheduler().StartWriteDelay(Block::Mem2);
}

void MapDrive::Step() {
    PollingCycle& cycle = session_.Cycle();
    switch (phase_) {
        case Phase::Online:
            if (!cycle.Online() || cycle.FirstRefreshPending()) return;
            // Gas points of an earlier drive were measured with another table.
            cycle.ClearMapSamples(MapFuel::Gas);
            drive_.Start(MicroSeconds());
            phase_ = Phase::Driving;
            return;
        case Phase::Driving:
            if (drive_.Step(MicroSeconds())) return;
            if (drive_.Failed()) break;
            cycle.ReadMapSamples();
            phase_ = Phase::Reading;
            waited_ = 0;
            return;
        case Phase::Reading:
            if (++waited_ < kReadTicks) return;
            cycle.ComputeMap();
            break;
        case Phase::Done:
            return;
    }
    phase_ = Phase::Done;
    timer_->stop();
    if (done_) done_();
}

}  // namespace gascal
