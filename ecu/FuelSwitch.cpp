#include "ecu/FuelSwitch.h"

#include "common/EventService.h"
#include "data/core/ParamImage.h"
#include "ecu/RequestBridge.h"
#include "link/core/CommandTable.h"

namespace gascal {

bool FuelSwitch::OnGas() const {
    return image_.Mem2Block.Mem2Byte1 == static_cast<uint8_t>(Fuel::Gas);
}

bool FuelSwitch::InSlaveMode() const {
    return image_.Mem2Block.EcuMode == static_cast<uint8_t>(EcuRunMode::Slave);
}

bool FuelSwitch::Write(Fuel fuel) {
    image_.PendingEdits.Mem2Block.WorkMode = static_cast<uint8_t>(fuel);
    if (requests_.WriteBlock(2)) return true;
    image_.PendingEdits.Mem2Block.WorkMode = kPendingByte;
    return false;
}

bool FuelSwitch::Request(Fuel fuel) {
    if (!Write(fuel)) return false;
    if (fuel == Fuel::Gas) {
        for (int i = 0; i < kFuelReadBackTries; ++i) {
            WaitMicroSeconds(kFuelReadBackWaitUs);
            if (!requests_.ReadBlock(2) ||
                image_.Mem2Block.WorkMode == static_cast<uint8_t>(Fuel::Gas))
                break;
        }
    }
    return true;
}

bool FuelSwitch::Toggle() {
    const uint8_t now = image_.Mem2Block.WorkMode;
    if (now == static_cast<uint8_t>(Fuel::Petrol)) return Request(Fuel::Gas);
    if (now == static_cast<uint8_t>(Fuel::Gas)) return Request(Fuel::Petrol);
    return false;
}

bool FuelSwitch::WriteInSlaveMode(Fuel fuel) {
    if (!InSlaveMode()) {
        if (!requests_.SendFixed(FRAME_SET_ECU_SLAVE)) return false;
        image_.Mem2Block.EcuMode = static_cast<uint8_t>(EcuRunMode::Slave);
    }
    return Write(fuel);
}

bool FuelSwitch::SetRunning() {
    if (!requests_.SendFixed(FRAME_SET_ECU_RUN)) return false;
    image_.Mem2Block.EcuMode = static_cast<uint8_t>(EcuRunMode::Running);
    return true;
}

}  // namespace gascal
