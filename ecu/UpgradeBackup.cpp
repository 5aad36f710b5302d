#include "ecu/UpgradeBackup.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#include "common/Helpers.h"
#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"

namespace gascal {

namespace {
const QString kSection = QStringLiteral("[UPGRADE]");
constexpr size_t kTestDataBytes = 16;
constexpr size_t kTableBytes = 2 * kCorTableSize;

struct Item {
    const char* key;
    std::vector<uint8_t> SavedConfiguration::*part;
    size_t bytes;
};
const Item kItems[] = {
    {"Mem2", &SavedConfiguration::mem2, kMem2Bytes},
    {"Mem3", &SavedConfiguration::mem3, kMem3Bytes},
    {"Mem5", &SavedConfiguration::mem5, kMem5Bytes},
    {"CorTable", &SavedConfiguration::table, kTableBytes},
    {"TestData", &SavedConfiguration::testData, kTestDataBytes},
};
}  // namespace

bool SavedConfiguration::Complete() const {
    for (const Item& it : kItems)
        if ((this->*it.part).size() != it.bytes) return false;
    return true;
}

uint32_t SavedConfiguration::SerialNumber() const {
    if (testData.size() < 4) return 0;
    return uint32_t{testData[0]} | uint32_t{testData[1]} << 8 | uint32_t{testData[2]} << 16 |
           uint32_t{testData[3]} << 24;
}

QString UpgradeBackupPath(const QString& folder, const SavedConfiguration& c,
                          const QDateTime& when) {
    const QString stem =
        QStringLiteral("%1%2_%3_%4")
            .arg(QLatin1String(kUpgradeBackupPrefix))
            .arg(c.SerialNumber())
            .arg(c.ecuIdentity.left(4).isEmpty() ? QStringLiteral("0000") : c.ecuIdentity.left(4))
            .arg(when.toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QDir dir(folder);
    QString path = dir.filePath(stem + QStringLiteral(".var"));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = dir.filePath(QStringLiteral("%1_%2.var").arg(stem).arg(n));
    return path;
}

bool WriteUpgradeBackup(const QString& path, const SavedConfiguration& c, const ParamImage& image,
                        int fileVersion, const QString& productTitle) {
    if (!c.Complete()) return false;
    QStringList lines = ParamFileLines(image, fileVersion, productTitle);
    lines << kSection;
    lines << QStringLiteral("EcuIdentity=") + BytesToHex(ToLatin1(c.ecuIdentity));
    lines << QStringLiteral("EcuVersion=%1").arg(c.ecuVersion);
    lines << QStringLiteral("Completed=%1").arg(c.completed ? 1 : 0);
    for (const Item& it : kItems)
        lines << QLatin1String(it.key) + QLatin1Char('=') + BytesToHex(c.*it.part);
    if (!WriteLatin1Lines(path, lines)) return false;
    // What was written is what an interrupted upgrade will read back.
    const std::optional<SavedConfiguration> back = ReadUpgradeBackup(path);
    return back && back->mem2 == c.mem2 && back->mem3 == c.mem3 && back->mem5 == c.mem5 &&
           back->table == c.table && back->testData == c.testData;
}

std::optional<SavedConfiguration> ReadUpgradeBackup(const QString& path, QString* why) {
    const auto fail = [why](const QString& reason) -> std::optional<SavedConfiguration> {
        if (why) *why = reason;
        return std::nullopt;
    };
    QStringList lines;
    if (!FileExists(path) || !ReadLatin1Lines(path, lines))
        return fail(QStringLiteral("%1 cannot be read").arg(path));
    const qsizetype start = lines.indexOf(kSection);
    if (start < 0) return fail(QStringLiteral("%1 holds no %2 section").arg(path, kSection));
    SavedConfiguration c;
    for (qsizetype i = start + 1; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) continue;
        const QString key = line.left(eq), value = line.mid(eq + 1).trimmed();
        bool ok = false;
        if (key == QLatin1String("EcuIdentity")) {
            const std::vector<uint8_t> b = HexToBytes(value, &ok);
            if (!ok)
                return fail(QStringLiteral("%1, line %2: damaged identity").arg(path).arg(i + 1));
            c.ecuIdentity = QString::fromLatin1(reinterpret_cast<const char*>(b.data()),
                                                static_cast<qsizetype>(b.size()));
            continue;
        }
        if (key == QLatin1String("EcuVersion")) {
            c.ecuVersion = value.toInt(&ok);
            if (!ok)
                return fail(QStringLiteral("%1, line %2: damaged version").arg(path).arg(i + 1));
            continue;
        }
        if (key == QLatin1String("Completed")) {
            c.completed = value == QLatin1String("1");
            continue;
        }
        for (const Item& it : kItems) {
            if (key != QLatin1String(it.key)) continue;
            std::vector<uint8_t> b = HexToBytes(value, &ok);
            if (!ok || b.size() != it.bytes)
                return fail(QStringLiteral("%1, line %2: %3 is not %4 bytes of hexadecimal text")
                                .arg(path)
                                .arg(i + 1)
                                .arg(QLatin1String(it.key))
                                .arg(it.bytes));
            c.*it.part = std::move(b);
        }
    }
    if (!c.Complete())
        return fail(QStringLiteral("%1: the %2 section is incomplete").arg(path, kSection));
    return c;
}

namespace {
struct Named {
    QString path, key, time;
};
// The folder's backups with the time of their name, newest first.
std::vector<Named> BackupsByTime(const QString& folder) {
    static const QRegularExpression stamp(QStringLiteral("_(\\d{8}-\\d{6})(_(\\d+))?\\.var$"),
                                          QRegularExpression::CaseInsensitiveOption);
    const QDir dir(folder);
    const QStringList names =
        dir.entryList({QLatin1String(kUpgradeBackupPrefix) + QStringLiteral("*.var")}, QDir::Files);
    std::vector<Named> found;
    for (const QString& n : names) {
        const auto m = stamp.match(n);
        if (!m.hasMatch()) continue;
        // The time first, then the number a second backup of the same second got.
        const QString key = m.captured(1) + QStringLiteral("%1").arg(m.captured(3).toInt(), 6, 10,
                                                                     QLatin1Char('0'));
        const QDateTime t = QDateTime::fromString(m.captured(1), QStringLiteral("yyyyMMdd-HHmmss"));
        found.push_back({dir.filePath(n), key, t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))});
    }
    std::sort(found.begin(), found.end(),
              [](const Named& a, const Named& b) { return a.key > b.key; });
    return found;
}
}  // namespace

QString NewestUpgradeBackup(const QString& folder) {
    const std::vector<Named> all = BackupsByTime(folder);
    return all.empty() ? QString() : all.front().path;
}

std::vector<UpgradeBackupInfo> IncompleteUpgradeBackups(const QString& folder) {
    std::vector<UpgradeBackupInfo> out;
    for (const Named& n : BackupsByTime(folder)) {
        const std::optional<SavedConfiguration> c = ReadUpgradeBackup(n.path);
        if (c && !c->completed) out.push_back({n.path, c->SerialNumber(), n.time});
    }
    return out;
}

namespace {
QStringList UpgradeSectionLines(const SavedConfiguration& c) {
    QStringList lines;
    lines << kSection;
    lines << QStringLiteral("EcuIdentity=") + BytesToHex(ToLatin1(c.ecuIdentity));
    lines << QStringLiteral("EcuVersion=%1").arg(c.ecuVersion);
    lines << QStringLiteral("Completed=%1").arg(c.completed ? 1 : 0);
    for (const Item& it : kItems)
        lines << QLatin1String(it.key) + QLatin1Char('=') + BytesToHex(c.*it.part);
    return lines;
}
}  // namespace

QString PlannedUpgradePointPath(const QString& historyRoot, const SavedConfiguration& c) {
    return NextRestorePointPath(historyRoot, c.SerialNumber());
}

std::optional<RestorePoint> WriteUpgradePoint(const QString& historyRoot,
                                              const SavedConfiguration& c, const ParamImage& image,
                                              int fileVersion, const QString& productTitle,
                                              PointReason reason, const QDateTime& when,
                                              const QString& completes, QString* why) {
    if (!c.Complete()) {
        if (why) *why = QStringLiteral("the saved configuration is incomplete");
        return std::nullopt;
    }
    PointHeader h;
    h.serial = c.SerialNumber();
    h.ecuIdentity = c.ecuIdentity;
    h.ecuVersion = c.ecuVersion;
    h.time = when;
    h.reason = reason;
    h.flash = true;
    h.completes = completes;
    std::optional<RestorePoint> p =
        WriteRestorePoint(historyRoot, h, ParamFileLines(image, fileVersion, productTitle),
                          UpgradeSectionLines(c), why);
    if (!p) return p;
    // What was written is what an interrupted upgrade will read back.
    const std::optional<SavedConfiguration> back = ReadUpgradeBackup(p->path, why);
    if (!back || back->mem2 != c.mem2 || back->mem3 != c.mem3 || back->mem5 != c.mem5 ||
        back->table != c.table || back->testData != c.testData) {
        if (why && back) *why = QStringLiteral("%1 does not read back as written").arg(p->path);
        return std::nullopt;
    }
    return p;
}

std::vector<UpgradeBackupInfo> IncompleteUpgradePoints(const QString& historyRoot,
                                                       std::optional<uint32_t> serial,
                                                       const QString& legacyFolder) {
    std::vector<UpgradeBackupInfo> out;
    std::vector<uint32_t> serials;
    if (serial)
        serials.push_back(*serial);
    else
        serials = HistorySerials(historyRoot);
    for (uint32_t s : serials) {
        const std::vector<RestorePoint> points = ListHistory(historyRoot, s);
        QStringList completed;
        for (const RestorePoint& p : points)
            if (!p.damaged && p.reason == PointReason::Upgraded) completed << p.completes;
        for (const RestorePoint& p : points)
            if (!p.damaged && p.reason == PointReason::Upgrade && !completed.contains(p.id))
                out.push_back(
                    {p.path, p.serial, p.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))});
    }
    // Newest first across the ECUs too (the time's text sorts as the time).
    std::stable_sort(
        out.begin(), out.end(),
        [](const UpgradeBackupInfo& a, const UpgradeBackupInfo& b) { return a.time > b.time; });
    if (!legacyFolder.isEmpty())
        for (const UpgradeBackupInfo& b : IncompleteUpgradeBackups(legacyFolder))
            if (!serial || b.serial == *serial) out.push_back(b);
    return out;
}

bool MarkUpgradeBackupCompleted(const QString& path) {
    QStringList lines;
    if (!FileExists(path) || !ReadLatin1Lines(path, lines)) return false;
    const qsizetype start = lines.indexOf(kSection);
    if (start < 0) return false;
    bool marked = false;
    for (qsizetype i = start + 1; i < lines.size(); ++i) {
        if (!lines[i].startsWith(QLatin1String("Completed="))) continue;
        lines[i] = QStringLiteral("Completed=1");
        marked = true;
    }
    if (!marked) lines.insert(start + 1, QStringLiteral("Completed=1"));
    return WriteLatin1Lines(path, lines);
}

}  // namespace gascal
