#include "ecu/ConfigLoad.h"

#include "data/core/DataTexts.h"
#include "data/core/ParamImage.h"
#include "ecu/RequestBridge.h"
#include "link/core/ClsComm.h"

namespace gascal {

QString ConfigLoad::RefusedText() {
    return Text(DataText::ParamFileRefused);
}

ParamLoadReport ConfigLoad::CheckFile(const QString& path, const ParamImage& image,
                                      const ParamLoadOptions& options) {
    ParamImage trial = image;
    trial.SetHost(nullptr);
    ParamLoadOptions quiet = options;
    quiet.reportBadLines = false;
    ParamLoadReport report;
    LoadParamFile(path, trial, nullptr, quiet, &report);
    return report;
}

bool ConfigLoad::Stopped() const {
    return comm_.ComState() == ComState::Stopped;
}

ConfigLoad::Result ConfigLoad::Attempt(const QString& path, const ParamLoadOptions& options,
                                       ParamLoadReport* report) {
    Result r;
    if (!Stopped() && fuel_.OnGas()) {
        // The first switch of a load remembers how the car ran; a later
        // attempt finds it in slave mode already.
        if (!toggled_) wasRunning_ = !fuel_.InSlaveMode();
        const bool slaveBefore = fuel_.InSlaveMode();
        const bool switched = fuel_.WriteInSlaveMode(Fuel::Petrol);
        // Slave mode set by us counts as a toggle even when the fuel did not
        // follow: the car is to be put back to running on its own.
        if (switched || (!slaveBefore && fuel_.InSlaveMode())) toggled_ = true;
        if (!switched) {
            // Loading on gas is what the switch is there to avoid.
            r.fuelNotSwitched = true;
            r.linkStopped = Stopped();
            return r;
        }
    }
    r.written = LoadParamFile(path, image_, &requests_, options, report);
    r.linkStopped = Stopped();
    if (r.written && !r.linkStopped) {
        r.tableRead = requests_.ReadCorTable();
        if (r.tableRead) image_.CorTable = image_.CorTableEcu;
    }
    if (r.written && r.tableRead) {
        // The car goes back to gas before the configuration is saved: saved
        // while it was switched for the load, petrol would be its fuel again
        // after its next reset or key cycle. A car that cannot be switched
        // back is not saved; the load is tried again.
        if (toggled_) r.fuelReturned = ReturnFuel();
        if (!toggled_) r.saved = requests_.SaveFlash();
    }
    r.ok = r.saved;
    return r;
}

bool ConfigLoad::ReturnFuel() {
    if (!toggled_) return true;
    if (Stopped()) return false;
    if (!fuel_.WriteInSlaveMode(Fuel::Gas)) return false;
    if (wasRunning_ && !fuel_.SetRunning()) return false;
    toggled_ = false;
    return true;
}

}  // namespace gascal
