// Loading a parameter file into the ECU, as the window and gascal-cli both
// do it: a car running on gas is put in slave mode and switched to petrol
// while its configuration changes, the file is written (blocks and
// correction table), the table is read back, the car goes back to the fuel
// and mode it was found in, and the configuration is saved to flash (with
// the car's own fuel in it, not the petrol of the load).
//
// Once stored, blocks 2, 3 and 5 and the table are read back and compared
// with what the load sent: an ECU reset before the store takes the parts
// written before it with its working memory, and the store then keeps the
// old ones. The parts the ECU does not hold are written and stored again,
// a bounded number of times; a load whose parts are still not held fails
// and names them.
//
// A load that fails is tried again by its caller; the fuel toggle is
// remembered across attempts, so the car returns to gas (and to running on
// its own) once the load is done or dropped, never left in slave mode.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
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
        // Parts of the file the ECU does not hold after the load wrote and
        // stored them again ("block 3", "the correction table"): the load
        // failed.
        QStringList notHeld;
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

    // Times the parts the ECU does not hold after the store are written
    // and stored again before the load gives up on them.
    static constexpr int kRewriteRounds = 2;

  private:
    // A part of what a load writes: block 2, 3 or 5, or the table (0).
    using Parts = std::vector<int>;

    bool Stopped() const;
    // Puts a car running on gas in slave mode on petrol; false when it
    // stays on gas.
    bool SwitchToPetrol();
    // Reads blocks 2, 3 and 5 and the table back and names the parts that
    // differ from `sent`; nothing when a read failed.
    std::optional<Parts> PartsNotHeld(const ParamImage& sent, bool withBlock5);
    // Writes the parts again as `sent` holds them (the ECU's own bytes of
    // block 2 and an injector's state stay as the ECU has them).
    bool WriteAgain(const ParamImage& sent, const Parts& parts);
    // After the store: reads back, writes and stores again what differs.
    bool StoredAsSent(const ParamImage& sent, Result& r);
    static QString PartName(int part);

    ClsComm& comm_;
    ParamImage& image_;
    RequestBridge& requests_;
    FuelSwitch fuel_;
    bool toggled_ = false;
    bool wasRunning_ = false;
};

}  // namespace gascal
