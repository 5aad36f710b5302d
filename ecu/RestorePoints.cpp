#include "ecu/RestorePoints.h"

#include "common/EventService.h"
#include "data/core/ParamFile.h"
#include "ecu/EcuSession.h"
#include "link/core/ClsComm.h"

namespace gascal {

namespace {
// The test-data answer: 5 header bytes (0x42, 0x01, length, command,
// status), 16 data bytes, the checksum. The serial number is the first
// four data bytes, little-endian.
constexpr int kTestDataFrameBytes = 22;
constexpr int kTestDataSerialAt = 5;
}  // namespace

std::optional<uint32_t> EcuSerialNumber(const ClsComm& comm) {
    const QByteArray& f = comm.MemoDataCollaudo();
    if (f.size() < kTestDataFrameBytes) return std::nullopt;
    const QByteArray frame = f.right(kTestDataFrameBytes);
    const auto b = [&frame](int i) { return uint32_t{static_cast<uint8_t>(frame[i])}; };
    return b(kTestDataSerialAt) | b(kTestDataSerialAt + 1) << 8 | b(kTestDataSerialAt + 2) << 16 |
           b(kTestDataSerialAt + 3) << 24;
}

RestorePoints::RestorePoints(EcuSession& session, QString root)
    : session_(session),
      root_(std::move(root)),
      writesAtLastPoint_(session.Requests().ConfigWrites()) {}

QStringList RestorePoints::CurrentLines() const {
    return ParamFileLines(session_.Image(), session_.EcuVersion(), session_.ProductTitle());
}

void RestorePoints::MarkTaken() {
    writesAtLastPoint_ = session_.Requests().ConfigWrites();
}

std::optional<RestorePoint> RestorePoints::Take(PointReason reason, QString* why) {
    const auto fail = [why](const QString& reason) -> std::optional<RestorePoint> {
        if (why) *why = QStringLiteral("the restore point could not be written: ") + reason;
        return std::nullopt;
    };
    const ClsComm& comm = session_.Comm();
    const std::optional<uint32_t> serial = EcuSerialNumber(comm);
    if (!serial)
        return fail(QStringLiteral("the ECU's test data (its serial number) were not read"));
    PointHeader h;
    h.serial = *serial;
    h.ecuIdentity = comm.FirmwareEcu();
    h.ecuVersion = comm.FirmwareEcuVersNum();
    h.time = Events().Now();
    h.reason = reason;
    h.flash = !session_.Requests().Store().Unstored();
    QString error;
    std::optional<RestorePoint> p = WriteRestorePoint(root_, h, CurrentLines(), {}, &error);
    if (!p) return fail(error);
    MarkTaken();
    return p;
}

std::optional<RestorePoint> RestorePoints::Newest() const {
    const std::optional<uint32_t> serial = EcuSerialNumber(session_.Comm());
    if (!serial) return std::nullopt;
    return NewestRestorePoint(root_, *serial);
}

bool RestorePoints::TakeIfChanged(PointReason reason, QString* why,
                                  std::optional<RestorePoint>* taken) {
    if (taken) taken->reset();
    if (const std::optional<RestorePoint> newest = Newest()) {
        QStringList lines;
        if (ReadPointLines(newest->path, lines) &&
            ComparableConfiguration(lines) == ComparableConfiguration(CurrentLines())) {
            MarkTaken();
            return true;
        }
    }
    std::optional<RestorePoint> p = Take(reason, why);
    if (taken) *taken = p;
    return p.has_value();
}

bool RestorePoints::WrittenSinceLastPoint() const {
    return session_.Requests().ConfigWrites() != writesAtLastPoint_;
}

bool RestorePoints::TakeIfWritten(PointReason reason, QString* why,
                                  std::optional<RestorePoint>* taken) {
    if (taken) taken->reset();
    if (!WrittenSinceLastPoint()) return true;
    return TakeIfChanged(reason, why, taken);
}

}  // namespace gascal
