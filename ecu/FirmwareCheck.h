// The firmware check when an ECU is found: the verdict on the ECU's
// firmware against the installation's firmware file is a pure function of
// the two identity texts, shared by the window (which goes online, offers
// or runs the upgrade, or closes) and gascal-cli (which reports and sets its
// exit code).
#pragma once

#include <QString>
#include <functional>

namespace gascal {

enum class FirmwareVerdict : uint8_t {
    // The ECU's project code differs from the file's (and the file has one).
    Incompatible = 0,
    // Same version, the file's date not later: the ECU is accepted.
    Accepted = 1,
    // Same version, the file is dated later: an upgrade is offered.
    UpgradeOffered = 2,
    // The ECU's version is lower than the file's: it must be upgraded.
    UpgradeNeeded = 3,
    // The ECU's version is higher than the file's: this installation is too old.
    EcuNewer = 4,
};

// The verdict for the ECU's identity text and the firmware file's (12
// hexadecimal characters of version and date, then the project descriptor).
FirmwareVerdict JudgeFirmware(const QString& ecuIdentity, const QString& fileIdentity);

// "<caption>: <version> <date> <customer> <code>" for each side, on two
// lines, as the boxes of the check show them.
QString DescribeFirmwares(const QString& ecuIdentity, const QString& fileIdentity,
                          const QString& ecuCaption, const QString& fileCaption);

}  // namespace gascal
