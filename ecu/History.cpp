#include "ecu/History.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>

#include "common/Helpers.h"
#include "common/TextFile.h"

namespace gascal {

namespace {

const char* const kReasonNames[] = {"connection", "load",        "calibration", "upgrade",
                                    "upgraded",   "model-reset", "set",         "write-model",
                                    "close",      "offline",     "restore"};
constexpr int kReasons = static_cast<int>(std::size(kReasonNames));
constexpr int kSequenceDigits = 4;
const QString kTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss");
const QString kCheckKey = QStringLiteral("Check=");
// Block 2's settings in the parameter file's "B2" line (after "B2"): bytes
// 11 and 12; the fuel and mode bytes, hour counters and cut-off flag are
// the ECU's state.
constexpr int kMem2SettingsAt = 11;
constexpr int kMem2SettingsBytes = 2;

const QRegularExpression& IdPattern() {
    static const QRegularExpression re(
        QStringLiteral("^(\\d{1,10})-(\\d{%1,})$").arg(kSequenceDigits));
    return re;
}

// The check of a point: every line but the check's own, each ended by CR LF.
QString CheckOf(const QStringList& lines) {
    QCryptographicHash h(QCryptographicHash::Sha1);
    for (const QString& l : lines) {
        if (l.startsWith(kCheckKey)) continue;
        h.addData(ToLatin1(l));
        h.addData(QByteArrayView("\r\n"));
    }
    return QString::fromLatin1(h.result().toHex().toUpper());
}

// The points' files of one folder with their sequence numbers.
struct Named {
    QString path, id;
    int sequence = 0;
};
std::vector<Named> PointFiles(const QString& folder) {
    std::vector<Named> out;
    const QDir dir(folder);
    for (const QString& n : dir.entryList({QStringLiteral("*.var")}, QDir::Files)) {
        const QString id = n.left(n.size() - 4);
        const auto m = IdPattern().match(id);
        if (!m.hasMatch()) continue;
        out.push_back({dir.filePath(n), id, m.captured(2).toInt()});
    }
    std::sort(out.begin(), out.end(),
              [](const Named& a, const Named& b) { return a.sequence > b.sequence; });
    return out;
}

// The reason in a point's header, read from the top of the file only (the
// header stands before the blocks): what retention needs of an old point.
std::optional<PointReason> PeekReason(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    constexpr int kHeaderLines = 16;
    for (int i = 0; i < kHeaderLines && !f.atEnd(); ++i) {
        const QString line = QString::fromLatin1(f.readLine()).trimmed();
        if (line.startsWith(QLatin1String("Reason=")))
            return PointReasonFromName(line.mid(int(sizeof("Reason=")) - 1));
        if (line.startsWith(QLatin1String("B2"))) break;
    }
    return std::nullopt;
}

}  // namespace

QString PointReasonName(PointReason r) {
    const int i = static_cast<int>(r);
    return i < kReasons ? QString::fromLatin1(kReasonNames[i]) : QString();
}

std::optional<PointReason> PointReasonFromName(const QString& name) {
    for (int i = 0; i < kReasons; ++i)
        if (name == QLatin1String(kReasonNames[i])) return static_cast<PointReason>(i);
    return std::nullopt;
}

bool PointKeptForever(PointReason r) {
    return r == PointReason::Upgrade || r == PointReason::Calibration;
}

QString DataFolder() {
    QString dir = qEnvironmentVariable(kDataDirVariable);
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
              QStringLiteral("/gascal");
    return dir;
}

QString HistoryRoot() {
    return QDir(DataFolder()).filePath(QStringLiteral("History"));
}

QString HistoryFolder(const QString& root, uint32_t serial) {
    return QDir(root).filePath(QString::number(serial));
}

bool ReadPointLines(const QString& path, QStringList& lines) {
    return FileExists(path) && ReadLatin1Lines(path, lines);
}

RestorePoint ReadRestorePoint(const QString& path) {
    RestorePoint p;
    p.path = path;
    p.id = QFileInfo(path).completeBaseName();
    const auto m = IdPattern().match(p.id);
    if (m.hasMatch()) {
        p.serial = m.captured(1).toUInt();
        p.sequence = m.captured(2).toInt();
    }
    const auto damaged = [&p](const QString& why) {
        p.damaged = true;
        p.why = why;
        return p;
    };
    QStringList lines;
    if (!ReadPointLines(path, lines)) return damaged(QStringLiteral("the file cannot be read"));
    // The parameter-file reader drops a last line without its line end;
    // so does the check, as a point cut short.
    QFile raw(path);
    if (raw.open(QIODevice::ReadOnly) && raw.size() > 0 && raw.seek(raw.size() - 1)) {
        char last = 0;
        if (raw.getChar(&last) && last != '\n')
            return damaged(QStringLiteral("the file ends inside its last line"));
    }
    const qsizetype start = lines.indexOf(QLatin1String(kHistorySection));
    if (start < 0) return damaged(QStringLiteral("no %1 section").arg(kHistorySection));
    QString check;
    bool haveSerial = false, haveTime = false, haveReason = false;
    for (qsizetype i = start + 1; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (line.startsWith(QLatin1Char('['))) break;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) continue;
        const QString key = line.left(eq), value = line.mid(eq + 1).trimmed();
        bool ok = true;
        if (key == QLatin1String("Serial")) {
            haveSerial = value.toUInt(&ok) == p.serial && ok;
            if (!haveSerial)
                return damaged(QStringLiteral("its serial number is not its folder's"));
        } else if (key == QLatin1String("EcuIdentity")) {
            const std::vector<uint8_t> b = HexToBytes(value, &ok);
            p.ecuIdentity = QString::fromLatin1(reinterpret_cast<const char*>(b.data()),
                                                static_cast<qsizetype>(b.size()));
        } else if (key == QLatin1String("EcuVersion")) {
            p.ecuVersion = value.toInt(&ok);
        } else if (key == QLatin1String("Time")) {
            p.time = QDateTime::fromString(value, kTimeFormat);
            ok = haveTime = p.time.isValid();
        } else if (key == QLatin1String("Reason")) {
            const auto r = PointReasonFromName(value);
            ok = haveReason = r.has_value();
            if (r) p.reason = *r;
        } else if (key == QLatin1String("Flash")) {
            p.flash = value == QLatin1String("1");
        } else if (key == QLatin1String("Completes")) {
            p.completes = value;
        } else if (key == QLatin1String("Check")) {
            check = value;
        }
        if (!ok) return damaged(QStringLiteral("line %1 cannot be read").arg(i + 1));
    }
    if (!haveSerial || !haveTime || !haveReason || check.isEmpty())
        return damaged(QStringLiteral("its header is incomplete"));
    if (check.compare(CheckOf(lines), Qt::CaseInsensitive) != 0)
        return damaged(QStringLiteral("its contents do not match their check"));
    return p;
}

std::vector<RestorePoint> ListHistory(const QString& root, uint32_t serial) {
    std::vector<RestorePoint> out;
    for (const Named& n : PointFiles(HistoryFolder(root, serial)))
        out.push_back(ReadRestorePoint(n.path));
    return out;
}

std::optional<RestorePoint> NewestRestorePoint(const QString& root, uint32_t serial) {
    for (const Named& n : PointFiles(HistoryFolder(root, serial))) {
        RestorePoint p = ReadRestorePoint(n.path);
        if (!p.damaged) return p;
    }
    return std::nullopt;
}

std::vector<uint32_t> HistorySerials(const QString& root) {
    std::vector<uint32_t> out;
    for (const QString& n : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const uint32_t s = n.toUInt(&ok);
        if (ok && QString::number(s) == n) out.push_back(s);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool LooksLikePointId(const QString& text) {
    return IdPattern().match(text).hasMatch();
}

std::optional<RestorePoint> FindRestorePoint(const QString& root, const QString& id) {
    const auto m = IdPattern().match(id);
    if (!m.hasMatch()) return std::nullopt;
    const QString path =
        QDir(HistoryFolder(root, m.captured(1).toUInt())).filePath(id + QStringLiteral(".var"));
    if (!QFileInfo(path).isFile()) return std::nullopt;
    return ReadRestorePoint(path);
}

QString NextRestorePointPath(const QString& root, uint32_t serial) {
    const QString folder = HistoryFolder(root, serial);
    const std::vector<Named> existing = PointFiles(folder);
    for (int sequence = existing.empty() ? 1 : existing.front().sequence + 1;; ++sequence) {
        const QString path =
            QDir(folder).filePath(QStringLiteral("%1-%2.var")
                                      .arg(serial)
                                      .arg(sequence, kSequenceDigits, 10, QLatin1Char('0')));
        if (!QFileInfo::exists(path)) return path;
    }
}

std::optional<RestorePoint> WriteRestorePoint(const QString& root, const PointHeader& header,
                                              const QStringList& paramLines,
                                              const QStringList& extraLines, QString* why) {
    const auto fail = [why](const QString& reason) -> std::optional<RestorePoint> {
        if (why) *why = reason;
        return std::nullopt;
    };
    const QString folder = HistoryFolder(root, header.serial);
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("the folder %1 cannot be made").arg(folder));
    const QString path = NextRestorePointPath(root, header.serial);
    QStringList head;
    head << QLatin1String(kHistorySection);
    head << QStringLiteral("Serial=%1").arg(header.serial);
    head << QStringLiteral("EcuIdentity=") + BytesToHex(ToLatin1(header.ecuIdentity));
    head << QStringLiteral("EcuVersion=%1").arg(header.ecuVersion);
    head << QStringLiteral("Time=") + header.time.toString(kTimeFormat);
    head << QStringLiteral("Reason=") + PointReasonName(header.reason);
    head << QStringLiteral("Flash=%1").arg(header.flash ? 1 : 0);
    if (!header.completes.isEmpty()) head << QStringLiteral("Completes=") + header.completes;
    // After the "[INFO]" lines, before the first block.
    QStringList lines = paramLines;
    const qsizetype at = std::min<qsizetype>(2, lines.size());
    for (qsizetype k = 0; k < head.size(); ++k) lines.insert(at + k, head[k]);
    lines << extraLines;
    lines.insert(at + head.size(), kCheckKey + CheckOf(lines));
    if (!WriteLatin1Lines(path, lines))
        return fail(QStringLiteral("%1 cannot be written").arg(path));
    RestorePoint p = ReadRestorePoint(path);
    if (p.damaged) return fail(QStringLiteral("%1 does not read back: %2").arg(path, p.why));
    PruneHistory(root, header.serial);
    return p;
}

int PruneHistory(const QString& root, uint32_t serial) {
    int kept = 0, removed = 0;
    for (const Named& n : PointFiles(HistoryFolder(root, serial))) {
        if (kept < kHistoryKeep) {
            ++kept;
            continue;
        }
        const std::optional<PointReason> reason = PeekReason(n.path);
        if (reason && PointKeptForever(*reason)) continue;
        if (QFile::remove(n.path)) ++removed;
    }
    return removed;
}

QStringList ComparableConfiguration(const QStringList& lines) {
    static const QStringList kParamSections = {QStringLiteral("[BLK2]"), QStringLiteral("[BLK3]"),
                                               QStringLiteral("[BLK5]"), QStringLiteral("[COR]"),
                                               QStringLiteral("[ADT]")};
    QStringList out;
    bool skipping = false;  // inside a section of no parameter file: the header, the upgrade's
    for (qsizetype i = 2; i < lines.size(); ++i) {  // after "[INFO]" and the date
        const QString& l = lines[i];
        if (l.startsWith(QLatin1Char('['))) skipping = !kParamSections.contains(l);
        if (skipping) continue;
        if (l.startsWith(QLatin1String("B2")))
            out << QStringLiteral("B2") + l.mid(2 + 2 * kMem2SettingsAt, 2 * kMem2SettingsBytes);
        else
            out << l;
    }
    return out;
}

}  // namespace gascal
