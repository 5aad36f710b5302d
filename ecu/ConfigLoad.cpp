#include "ecu/ConfigLoad.h"

#include <algorithm>

#include "data/core/DataTexts.h"
#include "data/core/ParamFields.h"
#include "data/core/ParamImage.h"
#include "ecu/ParamCompare.h"
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

bool ConfigLoad::SwitchToPetrol() {
    // The first switch of a load remembers how the car ran; a later
    // attempt finds it in slave mode already.
    if (!toggled_) wasRunning_ = !fuel_.InSlaveMode();
    const bool slaveBefore = fuel_.InSlaveMode();
    const bool switched = fuel_.WriteInSlaveMode(Fuel::Petrol);
    // Slave mode set by us counts as a toggle even when the fuel did not
    // follow: the car is to be put back to running on its own.
    if (switched || (!slaveBefore && fuel_.InSlaveMode())) toggled_ = true;
    return switched;
}

ConfigLoad::Result ConfigLoad::Attempt(const QString& path, const ParamLoadOptions& options,
                                       ParamLoadReport* report) {
    Result r;
    if (!Stopped() && fuel_.OnGas() && !SwitchToPetrol()) {
        // Loading on gas is what the switch is there to avoid.
        r.fuelNotSwitched = true;
        r.linkStopped = Stopped();
        return r;
    }
    r.written = LoadParamFile(path, image_, &requests_, options, report);
    r.linkStopped = Stopped();
    // What the ECU is to hold once the load is stored.
    ParamImage sent = image_;
    sent.SetHost(nullptr);
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
    r.ok = r.saved && StoredAsSent(sent, r);
    return r;
}

QString ConfigLoad::PartName(int part) {
    return part == 0 ? QStringLiteral("the correction table")
                     : QStringLiteral("block %1").arg(part);
}

std::optional<ConfigLoad::Parts> ConfigLoad::PartsNotHeld(const ParamImage& sent, bool withBlock5) {
    Parts blocks = {2, 3};
    if (withBlock5) blocks.push_back(5);
    for (int n : blocks)
        if (Stopped() || !requests_.ReadBlock(n)) return std::nullopt;
    if (Stopped() || !requests_.ReadCorTable()) return std::nullopt;
    image_.CorTable = image_.CorTableEcu;

    ParamSide want;
    want.image = &sent;
    want.table = &sent.CorTable;
    want.hasBlock5 = withBlock5;
    ParamSide held;
    held.image = &image_;
    held.table = &image_.CorTableEcu;
    held.hasBlock5 = withBlock5;
    // The table entries are compared one by one: the model follows them.
    Parts parts;
    for (const ParamDifference& d : CompareParams(want, held, CorModelReader())) {
        int part = 0;
        if (d.part != ParamPart::Table) {
            part = static_cast<int>(d.part);
            // The fuel, the mode and the hour counters are the ECU's own,
            // never the file's.
            const auto ref = FindParamField(d.name);
            if (ref && (ref->field->ReadOnly() || ref->field->name == "WorkMode")) continue;
        }
        if (std::find(parts.begin(), parts.end(), part) == parts.end()) parts.push_back(part);
    }
    return parts;
}

bool ConfigLoad::WriteAgain(const ParamImage& sent, const Parts& parts) {
    for (int part : parts) {
        if (Stopped()) return false;
        bool ok = false;
        switch (part) {
            case 2: {
                const Mem2Fields own = image_.Mem2Block;
                image_.Mem2Block = sent.Mem2Block;
                image_.Mem2Block.WorkMode = own.WorkMode;
                image_.Mem2Block.Mem2Byte1 = own.Mem2Byte1;
                image_.Mem2Block.EcuMode = own.EcuMode;
                image_.Mem2Block.HoursCounter1 = own.HoursCounter1;
                image_.Mem2Block.HoursCounter2 = own.HoursCounter2;
                ok = requests_.WriteBlock(2);
                break;
            }
            case 3: {
                // A fitted injector stays in the state the ECU moved it to.
                const Mem3Fields own = image_.Mem3Block;
                image_.Mem3Block = sent.Mem3Block;
                for (size_t i = 0; i < own.InjEnable.size(); ++i)
                    if (own.InjEnable[i] != 0 && sent.Mem3Block.InjEnable[i] != 0)
                        image_.Mem3Block.InjEnable[i] = own.InjEnable[i];
                ok = requests_.WriteBlock(3);
                break;
            }
            case 5:
                image_.Mem5Block = sent.Mem5Block;
                ok = requests_.WriteBlock(5);
                break;
            default:
                // The table's write reads it back and writes it again itself.
                image_.CorTable = sent.CorTable;
                ok = requests_.WriteCorTable();
                if (ok) image_.CorTable = image_.CorTableEcu;
                break;
        }
        if (!ok) return false;
    }
    return true;
}

bool ConfigLoad::StoredAsSent(const ParamImage& sent, Result& r) {
    const bool withBlock5 = requests_.FirmwareEcuVersNum() > kFirmwareWithBlock5;
    for (int round = 0;; ++round) {
        const std::optional<Parts> parts = PartsNotHeld(sent, withBlock5);
        // A read-back that failed proves nothing: the load is tried again.
        if (!parts) {
            r.saved = false;
            return false;
        }
        if (parts->empty()) {
            r.notHeld.clear();
            return true;
        }
        r.notHeld.clear();
        for (int part : *parts) r.notHeld << PartName(part);
        if (round == kRewriteRounds) {
            r.saved = false;
            return false;
        }
        // Written again as the load writes: a car on gas switched to petrol
        // meanwhile, and back before the store.
        if (!Stopped() && fuel_.OnGas() && !SwitchToPetrol()) {
            r.fuelNotSwitched = true;
            return false;
        }
        const bool written = WriteAgain(sent, *parts);
        if (toggled_) r.fuelReturned = ReturnFuel() || r.fuelReturned;
        if (!written || toggled_ || !requests_.SaveFlash()) {
            r.saved = false;
            return false;
        }
    }
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
