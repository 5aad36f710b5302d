// What a front end says about its ECU session without reaching into the link:
// the firmware identities of the ECU and of the installation's file, the
// firmware file's usability, the port in use, why no ECU answered, and the
// machine's ports (the chain a session opens its ports from, and the list of
// what each port stands for). gascal-cli and the window's start-up use these
// instead of the link's own headers.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "ecu/FirmwareCheck.h"

namespace gascal {

class EcuSession;
class PortProvider;
class ChainedPortProvider;

// The six identity texts of one side (the ECU, or the firmware file).
struct FirmwareSide {
    QString identity;  // the whole identity text (version, date, descriptor)
    QString version, date;
    QString project;   // the KTXXX descriptor
    QString customer;  // the CLIENTE descriptor
    QString code;      // the CODICE descriptor
};
FirmwareSide EcuFirmware(const EcuSession& session);
FirmwareSide FileFirmware(const EcuSession& session);

// "Key: value" lines of both identities, keys as the link names them
// (FirmwareEcu, FirmwareEcuVersStr, ..., DescProgettoFle_CODICE).
QStringList IdentityLines(const EcuSession& session);

// The verdict on the ECU's firmware against the installation's file.
FirmwareVerdict JudgeSessionFirmware(const EcuSession& session);

// Empty when the firmware file is there and was read; otherwise the window's
// text for it (the path and, for a damaged file, the line that is wrong).
QString FirmwareFileProblem(const EcuSession& session);

// "USB 0" (with " (simulated ECU)" for the simulator's device when
// `simulated`), or "COM3 (/dev/ttyUSB0)".
QString PortDescription(const EcuSession& session, bool simulated);

// After a search that found no ECU: the ports tried, why each failed and
// the fixes (the dictionary's English port texts). Empty when no port was tried.
QString NoAnswerReport(const EcuSession& session);

// The port found by a search is written to the settings file for the next
// start (nothing when the port was given for this run).
void RememberFoundPort(EcuSession& session);

// --list-ports: one line a port ("COM1 = /dev/ttyS0: can be opened",
// "USB = (none)"), then, after an empty line, the fixes. A device path
// given as `portOption` is listed as COM1.
QStringList PortListing(const QString& portOption);

// The machine's own ports with, when given, a provider's USB devices in
// front (the simulated ECU): what a session opens its ports from.
class MachinePortChain {
  public:
    explicit MachinePortChain(PortProvider* frontUsb = nullptr);
    ~MachinePortChain();
    MachinePortChain(const MachinePortChain&) = delete;
    MachinePortChain& operator=(const MachinePortChain&) = delete;

    PortProvider* Provider();
    // A provider taken on while the tool runs goes before all others.
    void AddUsbFront(PortProvider* p);

  private:
    std::unique_ptr<ChainedPortProvider> chain_;
};

}  // namespace gascal
