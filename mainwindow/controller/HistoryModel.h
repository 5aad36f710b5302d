// The window's restore points: the points the window takes by itself (at
// every connection once the ECU's blocks and table are read, before a
// parameter file or the factory set is written, before "Yes" starts a
// calibration, and when the window closes or the link goes offline after
// changes), and the model of the "History..." window: the connected ECU's
// points newest first, the other ECUs' serial numbers, the comparison of a
// point with the ECU or with another point, and the restore of a point,
// which is the ordinary parameter-file load with its question.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

#include "ecu/History.h"
#include "ecu/ParamCompare.h"
#include "ecu/RestorePoints.h"

namespace gascal {

class EcuSession;
class PollingCycle;
class CalibrationModel;
class MainController;

// Texts of the History window (dictionary entries 481 to 497).
enum class HistText {
    Menu = 0,  // File menu: "&History..."
    Title,     // window caption
    Ecu,       // the serial number list's label
    Time,
    Reason,
    Flash,
    CompareEcu,    // button: compare the chosen point with the ECU
    ComparePoint,  // button: compare the chosen point with another
    Restore,       // button
    Close,         // button
    Yes,           // the flash column
    No,
    Damaged,      // the reason column of a damaged point
    AskRestore,   // %1 the point, %2 its time
    PointFailed,  // followed by the reason
    OtherEcu,     // %1 the point's serial number, %2 the ECU's
    NoEcu,
    Count
};
inline constexpr int kHistTextFirstEntry = 481;
QString HistoryText(const EcuSession& session, HistText t);
// A point's reason as the window shows it, in the dictionary's language
// (entries from 560, in the order of `PointReason`); files and gascal-cli
// keep the reason's key (`PointReasonName`).
inline constexpr int kReasonTextFirstEntry = 560;
QString PointReasonText(const EcuSession& session, PointReason r);

class HistoryModel {
  public:
    HistoryModel(EcuSession& session, PollingCycle& cycle);
    ~HistoryModel();
    HistoryModel(const HistoryModel&) = delete;
    HistoryModel& operator=(const HistoryModel&) = delete;
    // The model of the window whose polling cycle this is (the History
    // window is opened by name with the session and its cycle).
    static HistoryModel* Of(const PollingCycle& cycle);

    // Takes the window's points from now on.
    void Install(CalibrationModel& calibration, MainController& controller);

    RestorePoints& Points() { return points_; }
    QString Root() const { return points_.Root(); }
    // The last point that could not be written, and why (empty when none).
    const QString& LastFailure() const { return lastFailure_; }

    // --- The History window -------------------------------------------------------
    // The connected ECU's serial number; nothing before its test data were read.
    std::optional<uint32_t> ConnectedSerial() const;
    // The serial numbers with a history: the connected ECU's first.
    std::vector<uint32_t> Serials() const;
    std::vector<RestorePoint> PointsOf(uint32_t serial) const;
    // The point (first) with the ECU as last read (second).
    FileCompareResult CompareWithEcu(const RestorePoint& p) const;
    // The point (first) with another point (second).
    std::vector<ParamDifference> ComparePoints(const RestorePoint& first,
                                               const RestorePoint& second) const;
    // Asks, then loads the point as a parameter file is loaded: the point
    // before the load is taken then, and the restored configuration gets a
    // point of its own once loaded. False when nothing is to be loaded
    // (damaged, declined, another ECU's point declined).
    bool Restore(const RestorePoint& p);

  private:
    bool TakeBefore(PointReason reason);
    void Failed(const QString& why);

    EcuSession& session_;
    PollingCycle& cycle_;
    RestorePoints points_;
    QString lastFailure_;
    QString restoring_;  // the point being loaded
};

}  // namespace gascal
