// Loading a parameter file into the ECU, as the window and gascal-cli both
// do it: a car running on gas is put in slave mode and switched to petrol
// while its configuration changes, the file is written (blocks and
// correction table), the table is read back, the car goes back to the fuel
// and mode it was found in, and the configuration is saved to flash (with
// the car's own fuel in it, not the petrol of the load).
//
// A load that fails is tried again by its caller; the fuel toggle is
// remembered across attempts, so the car returns to gas (and to running on
// its own) once the load is done or dropped, never left in slave mode.
#pragma once

#include <QString>

#include "data/core/ParamFile.h"
#include "ecu/FuelSwitch.h"

namespace gascal {

class ClsComm;
class RequestBridge;
class ParamImage;

class ConfigLoad {
  public:
    ConfigLoad(ClsComm& comm, ParamImage& image, RequestBridge& requests)
        : comm_(comm), image_(image), requests_(requests), fuel_(requests, image) {}

    struct Result {
        bool ok = false;               // written, table read back, saved to flash
        bool written = false;          // every block and the table reached the ECU
        bool tableRead = false;        // the correction table was read back
        bool saved = false;            // the ECU saved it to flash
        bool linkStopped = false;      // the link was (or went) offline: nothing more was sent
        bool fuelNotSwitched = false;  // the car runs on gas and could not be switched
        bool fuelReturned = false;     // the car went back to gas after the load
    };

    // Reads the file into a copy of the image, sending nothing: what a load
    // would find wrong in it (a file with lines that cannot be read is
    // refused before anything reaches the ECU).
    static ParamLoadReport CheckFile(const QString& path, const ParamImage& image,
                                     const ParamLoadOptions& options);
    // What a refused file's report ends with: nothing was sent to the ECU.
    static QString RefusedText();

    // One attempt. With the link stopped the file goes into the image only.
    Result Attempt(const QString& path, const ParamLoadOptions& options,
                   ParamLoadReport* report = nullptr);

    // The car was switched to petrol for a load and is not back on gas yet.
    bool FuelToggled() const { return toggled_; }
    // Puts a car switched for a load back on gas, and in running mode when
    // it ran on its own. True when it is back (or was never switched).
    bool ReturnFuel();
    // The link was stopped by the user: whatever car is found next starts
    // afresh (it may not be the one that was switched).
    void Forget() { toggled_ = false; }

  private:
    bool Stopped() const;

    ClsComm& comm_;
    ParamImage& image_;
    RequestBridge& requests_;
    FuelSwitch fuel_;
    bool toggled_ = false;
    bool wasRunning_ = false;
};

}  // namespace gascal
