// Taking restore points of the connected ECU: what the window and
// gascal-cli both do at a connection, before a workflow that writes a whole
// configuration or many settings, and when the window closes or the link
// goes offline after changes.
//
// A point holds the configuration as the session's image has it, so it is
// taken once the ECU's blocks, test data and correction table have been
// read (ReadConfigurationForPoint does that for a front end without the
// polling cycle). The ECU is named by the serial number of its test data.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "ecu/History.h"

namespace gascal {

class ClsComm;
class EcuSession;

// The serial number in the ECU's test data (the last CMD_READ_DCOL_FL
// answer); nothing before the test data were read.
std::optional<uint32_t> EcuSerialNumber(const ClsComm& comm);

class RestorePoints {
  public:
    explicit RestorePoints(EcuSession& session, QString root = HistoryRoot());

    const QString& Root() const { return root_; }

    // Takes a point of the image's configuration now. Nothing, with `why`
    // ("the restore point could not be written: ..."), when it cannot be.
    std::optional<RestorePoint> Take(PointReason reason, QString* why = nullptr);
    // Takes a point only when the configuration differs from this ECU's
    // newest point (a damaged one does not count). True when nothing needed
    // taking or the point was written; `taken` receives the new point.
    bool TakeIfChanged(PointReason reason, QString* why = nullptr,
                       std::optional<RestorePoint>* taken = nullptr);
    // The ECU acknowledged configuration writes since the last point (or
    // since this object began).
    bool WrittenSinceLastPoint() const;
    // At a window's close or the link going offline: a point when anything
    // was written since the last one and the configuration changed.
    bool TakeIfWritten(PointReason reason, QString* why = nullptr,
                       std::optional<RestorePoint>* taken = nullptr);

    // The newest undamaged point of the connected ECU; nothing without one.
    std::optional<RestorePoint> Newest() const;

  private:
    QStringList CurrentLines() const;
    void MarkTaken();

    EcuSession& session_;
    QString root_;
    uint64_t writesAtLastPoint_ = 0;
};

}  // namespace gascal
