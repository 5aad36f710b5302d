// Why no ECU was found: the link records, for each port it tried, what went
// wrong there (no device, permission denied, busy, no answer), and the
// window and gascal-cli turn the record into the same text, with the fix for
// a missing permission (the dialout group for the serial ports, the udev
// rule for the USB cable).
//
// The texts come in the order of the dictionary's "[Ports]" section
// (docs/dictionary.md); PortTextDefaults() gives the English ones.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <vector>

namespace gascal {

class PortProvider;

enum class PortFault : uint8_t {
    NoDevice,          // nothing there (no such device, no USB cable)
    PermissionDenied,  // the user may not read and write the device
    Busy,              // another program holds it
    NoAnswer,          // it opened, but no ECU answered the keep-alive
    OpenFailed,        // it did not open for another reason
    Opens,             // it opens (a port listing, where nothing is sent)
};

// The fault of an open that failed with a port status.
PortFault FaultOfStatus(uint32_t status);

struct PortAttempt {
    bool usb = false;
    int number = 0;  // USB device index (0-based), or the COM number
    QString device;  // what a COM number stands for ("/dev/ttyUSB0"); empty when nothing
    PortFault fault = PortFault::NoDevice;
};

// What the ports tried since the last answer said.
class PortSearchReport {
  public:
    // Forgets everything: a new search, a port chosen.
    void Clear();
    // An ECU answered: what failed before does not matter any more, and the
    // round it answered in is no failed round.
    void Answered();
    // The outcome at a port, kept in the order of the search (USB devices,
    // then COM1 to COM9); a port tried again keeps its latest outcome.
    void Record(const PortAttempt& attempt);
    // A whole round of the search (every USB device, COM1 to COM9) ended; it
    // failed unless an ECU answered during it.
    void RoundEnded();
    // Rounds that ended without an answer since the last answer or Clear.
    int FailedRounds() const { return failedRounds_; }
    const std::vector<PortAttempt>& Attempts() const { return attempts_; }

  private:
    std::vector<PortAttempt> attempts_;
    int failedRounds_ = 0;
    bool answeredThisRound_ = false;
};

// Texts of the "[Ports]" section, by position.
enum class PortText : int {
    Heading = 0,  // "No ECU answered. Ports tried:"
    NoDevice,     // the faults, in PortFault order
    PermissionDenied,
    Busy,
    NoAnswer,
    OpenFailed,
    Opens,
    FixSerialGroup,    // %1 user, %2 group
    FixSerialRelogin,  // %1 user, %2 group
    FixUsbRule,
    FixBusy,
    FixNoAnswer,
    SearchGoesOn,
    OfferSimulator,
    Count
};
QStringList PortTextDefaults();
// The text at a position; the English default when `texts` lacks it.
QString PortTextOf(const QStringList& texts, PortText which);

// The text of a fault ("permission denied").
QString PortFaultText(const QStringList& texts, PortFault fault);
// "USB", "USB 2", "COM3 (/dev/ttyUSB0)", "COM4".
QString PortLabel(const PortAttempt& attempt);
// One line per port ("COM3 (/dev/ttyUSB0): permission denied").
QStringList PortLines(const std::vector<PortAttempt>& attempts, const QStringList& texts);
// What the serial-permission fix says: the user, the group that may use the
// device and whether the user joined that group after logging in.
struct AccessAdvice {
    QString user;
    QString group = QStringLiteral("dialout");
    bool reloginNeeded = false;
};
// Looks the device up on this machine: its group (dialout when it cannot
// tell), the user running the tool and that user's groups.
AccessAdvice AdviceForDevice(const QString& device);
using AdviceLookup = std::function<AccessAdvice(const QString& device)>;

// What to do about the faults found: a missing permission on a serial port
// names the device's group and the user, on the USB cable the udev rule;
// busy ports and ports without an answer get their own advice. Each fix once.
QStringList PortFixLines(const std::vector<PortAttempt>& attempts, const QStringList& texts,
                         const AdviceLookup& advice = AdviceForDevice);
// The whole message after a search that found no ECU: heading, the ports,
// the fixes.
QString PortSearchMessage(const std::vector<PortAttempt>& attempts, const QStringList& texts,
                          const AdviceLookup& advice = AdviceForDevice);

// Tries every port without sending anything (gascal-cli --list-ports):
// COM1..COM9 and every USB cable, each opened and closed again. A USB count
// of zero gives one "USB" entry with no device.
std::vector<PortAttempt> ProbePorts(PortProvider& provider);

}  // namespace gascal
