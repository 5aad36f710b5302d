#include "mainwindow/controller/ConfigLoad.h"

#include "data/core/ParamImage.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "mainwindow/controller/EcuRequests.h"

namespace gascal {

namespace {
constexpr int kSlaveMode = 1;
constexpr int kRunMode = 0;
}  // namespace

bool ConfigLoad::Stopped() const { return comm_.ComState() == COM_STOP; }

bool ConfigLoad::SwitchFuel(int workMode) {
    if (image_.Mem2Block.EcuMode != kSlaveMode) {
        if (!requests_.SendFrameAndWait(FrameFromHex(QString::fromLatin1(FRAME_SET_ECU_SLAVE))))
            return false;
        image_.Mem2Block.EcuMode = kSlaveMode;
    }
    image_.PendingEdits.Mem2Block.WorkMode = static_cast<uint8_t>(workMode);
    if (requests_.WriteBlock(2)) return true;
    // A fuel request the ECU did not take is not sent later with some other
    // block-2 write.
    image_.PendingEdits.Mem2Block.WorkMode = kPendingByte;
    return false;
}

ConfigLoad::Result ConfigLoad::Attempt(const QString& path, const ParamLoadOptions& options,
                                       ParamLoadReport* report) {
    Result r;
    if (!Stopped() && image_.Mem2Block.Mem2Byte1 == kWorkModeGas) {
        // The first switch of a load remembers how the car ran; a later
        // attempt finds it in slave mode already.
        if (!toggled_) wasRunning_ = image_.Mem2Block.EcuMode == kRunMode;
        const bool slaveBefore = image_.Mem2Block.EcuMode == kSlaveMode;
        const bool switched = SwitchFuel(kWorkModePetrol);
        // Slave mode set by us counts as a toggle even when the fuel did not
        // follow: the car is to be put back to running on its own.
        if (switched || (!slaveBefore && image_.Mem2Block.EcuMode == kSlaveMode)) toggled_ = true;
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
    if (r.written && r.tableRead) r.saved = requests_.SaveFlash();
    r.ok = r.saved;
    if (r.ok && toggled_) r.fuelReturned = ReturnFuel();
    return r;
}

bool ConfigLoad::ReturnFuel() {
    if (!toggled_) return true;
    if (Stopped()) return false;
    if (!SwitchFuel(kWorkModeGas)) return false;
    if (wasRunning_) {
        if (!requests_.SendFrameAndWait(FrameFromHex(QString::fromLatin1(FRAME_SET_ECU_RUN))))
            return false;
        image_.Mem2Block.EcuMode = kRunMode;
    }
    toggled_ = false;
    return true;
}

}  // namespace gascal
