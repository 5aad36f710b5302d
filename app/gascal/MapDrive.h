// A drive of the simulated car that fills the map, then reads it and places
// the targets: the load sweep of SimDrive (each speed and load held on
// petrol, then on gas), with the fuel asked for as the window's logo asks
// for it, then "Read" and "Compute". The Simulator menu's "Drive" runs it
// (the gas points of an earlier drive are forgotten first, since they were
// measured with another table), and so does the picture run of the Map and
// Modeling tabs (hidden option --screenshot-drive of `gascal --sim`). It
// runs on the real clock, about two and a half minutes.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "sim/core/SimDrive.h"
#include "sim/core/SimEcu.h"

class QTimer;

namespace gascal {

class MainSession;

class MapDrive : public QObject {
  public:
    MapDrive(MainSession& session, std::shared_ptr<sim::SimEcu> ecu, std::function<void()> done,
             QObject* parent = nullptr);

    bool Running() const;
    // What the drive does now, for the simulator panel.
    QString Progress() const;

  private:
    enum class Phase : uint8_t { Online, Driving, Reading, Done };
    void Step();
    void AskFuel(bool gas);

    MainSession& session_;
    std::shared_ptr<sim::SimEcu> ecu_;
    std::function<void()> done_;
    QTimer* timer_;
    sim::SimDrive drive_;
    Phase phase_ = Phase::Online;
    int waited_ = 0;
};

}  // namespace gascal
