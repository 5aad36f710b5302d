// The ECU's configuration as the firmware upgrade saves it before the flash
// is erased, and the backup file that keeps it.
//
// The configuration travels as the data bytes the ECU answered (blocks 2, 3
// and 5, the correction table in its four chunks, the test-data block), so
// that it is written back byte for byte, never through the image's units.
//
// The backup file is a parameter file (it loads with "Load configuration"
// like any other) followed by an "[UPGRADE]" section with those bytes and
// the ECU's identity, from which an interrupted upgrade restores the ECU:
//   [UPGRADE]
//   EcuIdentity=<identity text, hexadecimal Latin-1>
//   EcuVersion=<version number>
//   Completed=<0 while the upgrade runs, 1 once it completed>
//   Mem2=<hex>  Mem3=<hex>  Mem5=<hex>  CorTable=<hex>  TestData=<hex>
// (one item a line). The parameter file's reader ignores the section.
//
// The upgrade keeps this backup as a restore point of the ECU (reason
// "upgrade", the section above at its end), so the history holds it and an
// interrupted upgrade finds it by the ECU's serial number. A point is never
// rewritten: the upgrade's completion is a second point (reason "upgraded")
// that names the first in its header. A backup file named by the fitter,
// and those of earlier versions in the installation folder, keep the file
// form above with its "Completed" line.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "ecu/History.h"

namespace gascal {

class ParamImage;

struct SavedConfiguration {
    std::vector<uint8_t> mem2, mem3,
        mem5;                       // block data as answered (block 5 as it is to be written)
    std::vector<uint8_t> table;     // 192 entries of the correction table, 384 bytes
    std::vector<uint8_t> testData;  // the 16 data bytes of CMD_READ_DCOL_FL
    QString ecuIdentity;            // the ECU's identity text when it was saved
    int ecuVersion = 0;
    bool completed = false;  // the upgrade it was taken for completed

    // Every part has the length the ECU's blocks have.
    bool Complete() const;
    // The serial number of the test data (bytes 0..3, little-endian).
    uint32_t SerialNumber() const;
};

inline constexpr const char* kUpgradeBackupPrefix = "UpgradeBackup_";

// "UpgradeBackup_<serial>_<version>_<yyyyMMdd-HHmmss>.var" in `folder`; a
// name already taken gets "_2", "_3", ... before the extension.
QString UpgradeBackupPath(const QString& folder, const SavedConfiguration& c,
                          const QDateTime& when);

// Writes the backup (atomically). `image` is the configuration as the image
// holds it, for the parameter-file part; `fileVersion` is the version of the
// firmware the ECU is to run (it decides whether block 5 is in that part).
bool WriteUpgradeBackup(const QString& path, const SavedConfiguration& c, const ParamImage& image,
                        int fileVersion, const QString& productTitle);

// Reads the "[UPGRADE]" section. Nothing (with `why`) when the file cannot
// be read or the section is missing, damaged or incomplete.
std::optional<SavedConfiguration> ReadUpgradeBackup(const QString& path, QString* why = nullptr);

// The newest backup in the folder, by the time in its name; empty when none.
QString NewestUpgradeBackup(const QString& folder);

// A backup of the folder whose upgrade did not complete.
struct UpgradeBackupInfo {
    QString path;
    uint32_t serial = 0;
    QString time;  // "yyyy-MM-dd HH:mm:ss"
};
// The backups of upgrades that did not complete (those an interrupted
// upgrade may restore from), newest first; damaged files are left out.
std::vector<UpgradeBackupInfo> IncompleteUpgradeBackups(const QString& folder);

// The path the next restore point of the configuration's ECU will take.
QString PlannedUpgradePointPath(const QString& historyRoot, const SavedConfiguration& c);

// Writes the configuration as a restore point: `reason` Upgrade before the
// flash is erased, Upgraded once the upgrade completed (`completes` the ID
// of the Upgrade point). Nothing, with `why`, when it cannot be written.
std::optional<RestorePoint> WriteUpgradePoint(const QString& historyRoot,
                                              const SavedConfiguration& c, const ParamImage& image,
                                              int fileVersion, const QString& productTitle,
                                              PointReason reason, const QDateTime& when,
                                              const QString& completes = QString(),
                                              QString* why = nullptr);

// The restore points of upgrades that did not complete, newest first: the
// ECU's own when its serial number is known, every ECU's otherwise; then
// the incomplete backups of earlier versions in `legacyFolder`.
std::vector<UpgradeBackupInfo> IncompleteUpgradePoints(const QString& historyRoot,
                                                       std::optional<uint32_t> serial,
                                                       const QString& legacyFolder);

// Marks the backup's upgrade completed (its "Completed" line); false when
// the file cannot be rewritten.
bool MarkUpgradeBackupCompleted(const QString& path);

}  // namespace gascal
