// Switching the fuel: block 2's WorkMode asks the ECU for petrol (0) or gas
// (3); Mem2Byte1 tells which fuel it runs on. In running mode the ECU still
// applies its own switchover rules to a request for gas; in slave mode the
// PC chooses the fuel.
//
// The logo of the main window toggles the fuel and, going to gas, reads
// block 2 back until the ECU reports it; a configuration load puts a car
// that runs on gas in slave mode on petrol while it writes, and back.
// gascal-cli reaches the same procedure with its "fuel" command.
#pragma once

#include <cstdint>

namespace gascal {

class ParamImage;
class RequestBridge;

// Numbers of block 2's WorkMode and Mem2Byte1.
enum class Fuel : uint8_t { Petrol = 0, Gas = 3 };
// Numbers of block 2's EcuMode.
enum class EcuRunMode : uint8_t { Running = 0, Slave = 1 };

inline constexpr int kFuelReadBackTries = 20;
inline constexpr double kFuelReadBackWaitUs = 500000;

class FuelSwitch {
  public:
    FuelSwitch(RequestBridge& requests, ParamImage& image) : requests_(requests), image_(image) {}

    // Writes block 2 asking for `fuel`. A request the ECU does not take is
    // over: it is not sent later with some other block-2 write.
    bool Write(Fuel fuel);
    // Asks for `fuel`; going to gas, reads block 2 back every 0.5 s, up to
    // 20 times, until the ECU reports it asks for gas or a read fails. True
    // when the ECU took the request.
    bool Request(Fuel fuel);
    // The logo: asks for the other fuel than block 2 asks for now (nothing
    // when it asks for neither). True when a request was taken.
    bool Toggle();
    // Slave mode first (unless the ECU is in it), then `fuel`.
    bool WriteInSlaveMode(Fuel fuel);
    // The ECU chooses the fuel again by its own rules.
    bool SetRunning();

    bool OnGas() const;
    bool InSlaveMode() const;

  private:
    RequestBridge& requests_;
    ParamImage& image_;
};

}  // namespace gascal
