// Restore points: every ECU's configuration history, kept by the tool
// itself in the per-user data folder, one folder per ECU serial number:
//   <data folder>/History/<serial>/<serial>-<sequence>.var
// The base name is the point's ID: short, stable, unique across ECUs, and
// its sequence number orders an ECU's points (the clock may repeat itself,
// the sequence never does).
//
// A point is an ordinary parameter file (it loads with "Load configuration"
// like any other) with a header section after the "[INFO]" lines, which the
// parameter-file reader skips as it skips every line it does not know:
//   [RESTOREPOINT]
//   Serial=<serial number of the test data>
//   EcuIdentity=<identity text, hexadecimal Latin-1>
//   EcuVersion=<firmware version number>
//   Time=<yyyy-MM-ddTHH:mm:ss>
//   Reason=<connection, load, calibration, upgrade, ...>
//   Flash=<1 when the configuration was stored in the ECU's flash>
//   Completes=<ID of the point an upgrade was taken at>  (after an upgrade only)
//   Check=<SHA-1 of every other line of the file>
// A point is written atomically and never rewritten; one whose check does
// not hold (cut short, edited, a disk fault) is listed as damaged and never
// loaded.
//
// Retention, per ECU: the newest kHistoryKeep points, and every point taken
// before an upgrade or a calibration; the rest go, oldest first. Listing an
// ECU's history reads only its own folder.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace gascal {

inline constexpr int kHistoryKeep = 100;
inline constexpr const char* kHistorySection = "[RESTOREPOINT]";
// The environment variable that names the data folder (tests, a portable
// installation); otherwise the user's data folder of the system.
inline constexpr const char* kDataDirVariable = "GASCAL_DATA_DIR";

// Why a point was taken.
enum class PointReason : uint8_t {
    Connection = 0,   // connected, the configuration differs from the newest point
    Load = 1,         // before a parameter-file load
    Calibration = 2,  // before an automatic calibration
    Upgrade = 3,      // before a firmware upgrade (the upgrade's saved configuration)
    Upgraded = 4,     // after a firmware upgrade completed
    ModelReset = 5,   // before the factory set is loaded
    Set = 6,          // before gascal-cli set
    WriteModel = 7,   // before gascal-cli write-model
    Close = 8,        // the window closed after changes
    Offline = 9,      // the link was taken offline after changes
    Restore = 10,     // after a point was restored
};
QString PointReasonName(PointReason r);
std::optional<PointReason> PointReasonFromName(const QString& name);
// Points of these reasons are kept whatever their age.
bool PointKeptForever(PointReason r);

// The per-user data folder (made when missing); History/ hangs off it.
QString DataFolder();
QString HistoryRoot();
// The folder of one ECU's points.
QString HistoryFolder(const QString& root, uint32_t serial);

// What a point's header says (and where it is).
struct RestorePoint {
    QString id, path;
    int sequence = 0;
    uint32_t serial = 0;
    QString ecuIdentity;
    int ecuVersion = 0;
    QDateTime time;
    PointReason reason = PointReason::Connection;
    bool flash = false;
    QString completes;  // Upgraded: the Upgrade point it completes
    bool damaged = false;
    QString why;  // what is wrong with a damaged point
};

// The header of a point to be written.
struct PointHeader {
    uint32_t serial = 0;
    QString ecuIdentity;
    int ecuVersion = 0;
    QDateTime time;
    PointReason reason = PointReason::Connection;
    bool flash = false;
    QString completes;
};

// Reads and checks a point file (the whole file: the check covers it).
RestorePoint ReadRestorePoint(const QString& path);

// An ECU's points, newest first; damaged ones included, marked.
std::vector<RestorePoint> ListHistory(const QString& root, uint32_t serial);
// The newest undamaged point of an ECU (only the files down to it are read).
std::optional<RestorePoint> NewestRestorePoint(const QString& root, uint32_t serial);
// The serial numbers that have a history folder, in ascending order.
std::vector<uint32_t> HistorySerials(const QString& root);
// The point of that ID, in whichever ECU's folder it is; nothing when no
// such file exists (a damaged one is returned marked).
std::optional<RestorePoint> FindRestorePoint(const QString& root, const QString& id);
// A text that can be an ID: "<serial>-<sequence>".
bool LooksLikePointId(const QString& text);

// Writes a new point: the parameter-file lines `paramLines` (as
// ParamFileLines gives them), the header after their "[INFO]" lines, and
// `extraLines` at the end (a section of its own that the reader skips).
// Nothing (with `why`) when the folder or the file cannot be written; an
// existing point is never replaced. Retention runs after a point is written.
std::optional<RestorePoint> WriteRestorePoint(const QString& root, const PointHeader& header,
                                              const QStringList& paramLines,
                                              const QStringList& extraLines = {},
                                              QString* why = nullptr);

// The path the next point of that ECU will take.
QString NextRestorePointPath(const QString& root, uint32_t serial);

// Drops what retention does not keep; the number of files removed.
int PruneHistory(const QString& root, uint32_t serial);

// The configuration a point file holds, in the form that compares: the
// block lines and the tables, without the date, the header and the bytes of
// block 2 that are the ECU's state rather than its configuration.
QStringList ComparableConfiguration(const QStringList& lines);
// The lines of a point's file; false when it cannot be read.
bool ReadPointLines(const QString& path, QStringList& lines);

}  // namespace gascal
