#include "common/InstallTree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <map>

#include "common/Helpers.h"
#include "common/TextFile.h"

namespace gascal {

namespace {

constexpr const char* kUserTreeName = "gascal";

// Checksum of a file's content as hexadecimal text; empty when it cannot be read.
QByteArray FileSum(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    if (!h.addData(&f)) return {};
    return h.result().toHex();
}

// The record: one line per copied file, "<checksum> <relative path>", the
// checksum of the content copied.
std::map<QString, QByteArray> ReadRecord(const QString& path) {
    std::map<QString, QByteArray> record;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return record;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        const int blank = line.indexOf(' ');
        if (blank <= 0) continue;
        record[QString::fromUtf8(line.mid(blank + 1))] = line.left(blank);
    }
    return record;
}

bool WriteRecord(const QString& path, const std::map<QString, QByteArray>& record) {
    QByteArray out;
    for (const auto& [file, sum] : record) out += sum + ' ' + file.toUtf8() + '\n';
    return AtomicWrite(path, out);
}

bool CopyContent(const QString& from, const QString& to) {
    QFile src(from);
    if (!src.open(QIODevice::ReadOnly)) return false;
    if (!QDir().mkpath(QFileInfo(to).absolutePath())) return false;
    return AtomicWrite(to, src.readAll());
}

bool Hidden(const QString& relative) {
    for (const QString& part : relative.split(QLatin1Char('/')))
        if (part.startsWith(QLatin1Char('.'))) return true;
    return false;
}

}  // namespace

bool IsInstallTree(const QString& dir) {
    return !dir.isEmpty() && IsFolder(dir + QStringLiteral("/BIN")) &&
           IsFolder(dir + QStringLiteral("/LNG"));
}

bool SyncUserTree(const QString& defaults, const QString& userTree, QStringList* copied,
                  QString* error) {
    auto fail = [&](const QString& what) {
        if (error) *error = what;
        return false;
    };
    if (!QDir().mkpath(userTree))
        return fail(QStringLiteral("cannot create the folder %1").arg(userTree));
    const QString recordPath = userTree + QLatin1Char('/') + QLatin1String(kDefaultsRecord);
    std::map<QString, QByteArray> record = ReadRecord(recordPath);
    bool recordChanged = false;
    const QDir base(defaults);
    QDirIterator it(defaults, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString relative = base.relativeFilePath(source);
        if (Hidden(relative) || QFileInfo(source).isExecutable()) continue;
        const QByteArray sourceSum = FileSum(source);
        if (sourceSum.isEmpty()) continue;  // unreadable: nothing to copy
        const QString target = userTree + QLatin1Char('/') + relative;
        const auto known = record.find(relative);
        if (QFileInfo::exists(target)) {
            // Only an untouched copy of an installed file that has changed
            // since is replaced; anything else is the user's.
            if (known == record.end() || known->second == sourceSum) continue;
            if (FileSum(target) != known->second) continue;
        }
        if (!CopyContent(source, target))
            return fail(QStringLiteral("cannot copy %1 to %2").arg(source, target));
        record[relative] = sourceSum;
        recordChanged = true;
        if (copied) *copied << relative;
    }
    if (recordChanged && !WriteRecord(recordPath, record))
        return fail(QStringLiteral("cannot write %1").arg(recordPath));
    return true;
}

InstallLocation LocateInstallDir(const QString& programFolder, const QString& explicitDir,
                                 const QString& dataHome) {
    InstallLocation loc;
    if (!explicitDir.isEmpty()) {
        if (IsFolder(explicitDir))
            loc.dir = QDir(explicitDir).absolutePath();
        else
            loc.error =
                QStringLiteral("The installation folder does not exist: %1").arg(explicitDir);
        return loc;
    }
    const QString folder = QDir::fromNativeSeparators(programFolder);
    const QString parent = DeriveInstallDir(folder);
    QString defaults;
    if (IsInstallTree(parent)) {
        if (QFileInfo(parent + QStringLiteral("/BIN")).isWritable()) {
            loc.dir = parent;
            return loc;
        }
        defaults = parent;
    } else {
        const QString shared =
            QDir::cleanPath(folder + QStringLiteral("/../share/") + QLatin1String(kUserTreeName));
        if (!IsInstallTree(shared)) {
            loc.error =
                QStringLiteral(
                    "No installation found: neither %1 nor %2 holds the BIN and LNG folders")
                    .arg(parent.isEmpty() ? folder : parent, shared);
            return loc;
        }
        defaults = shared;
    }
    QString home = dataHome;
    if (home.isEmpty())
        home = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (home.isEmpty()) {
        loc.error =
            QStringLiteral("No folder for the user's own files (set HOME or XDG_DATA_HOME)");
        return loc;
    }
    const QString userTree =
        QDir::cleanPath(home + QLatin1Char('/') + QLatin1String(kUserTreeName));
    QString error;
    if (!SyncUserTree(defaults, userTree, &loc.copied, &error)) {
        loc.error = QStringLiteral("The user's copy of the installation %1 cannot be made: %2")
                        .arg(userTree, error);
        return loc;
    }
    loc.dir = userTree;
    loc.defaults = defaults;
    return loc;
}

}  // namespace gascal
