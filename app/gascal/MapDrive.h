// A drive of the simulated car for the pictures of the Map and Modeling
// tabs (hidden option --screenshot-drive of `gascal --sim`): a few speeds
// and loads inside the ECU's acquisition window on petrol, the same on gas,
// then "Read" and "Compute", so both tabs show real operating points and
// targets. It runs on the real clock, about a minute.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "sim/core/SimEcu.h"

class QTimer;

namespace gascal {

class MainSession;

class MapDrive : public QObject {
public:
    MapDrive(MainSession& session, std::shared_ptr<sim::SimEcu> ecu, std::function<void()> done,
             QObject* parent = nullptr);

private:
    void Step();
    void AskFuel(bool gas);

    MainSession& session_;
    std::shared_ptr<sim::SimEcu> ecu_;
    std::function<void()> done_;
    QTimer* timer_;
    int phase_ = 0;
    int waited_ = 0;
};

}  // namespace gascal
