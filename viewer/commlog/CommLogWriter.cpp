#include "viewer/commlog/CommLogWriter.h"

#include <QFileInfo>
#include <cmath>
#include <cstdio>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/TextFile.h"
#include "link/core/CommandTable.h"

namespace gascal {

namespace {

constexpr int kSignificantDigits = 15;

QByteArray Quoted(const QString& text) {
    return '"' + ToLatin1(text) + "\"\r\n";
}

// Up to 15 significant digits, never an exponent, no trailing zeros.
QString PlainDigits(double magnitude) {
    QString s = QString::number(magnitude, 'g', kSignificantDigits);
    if (s.contains(QLatin1Char('e'))) {
        const int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
        const int decimals = std::max(0, kSignificantDigits - 1 - exponent);
        s = QString::number(magnitude, 'f', decimals);
    }
    if (s.contains(QLatin1Char('.'))) {
        while (s.endsWith(QLatin1Char('0'))) s.chop(1);
        if (s.endsWith(QLatin1Char('.'))) s.chop(1);
    }
    return s;
}

}  // namespace

CommLogWriter::CommLogWriter() = default;

CommLogWriter::CommLogWriter(const QString& logPath, const QString& lastLogPath)
    : logPath_(logPath), lastLogPath_(lastLogPath) {}

CommLogWriter::~CommLogWriter() {
    if (&CommLog() == this) SetCommLog(nullptr);
    Stop();
}

void CommLogWriter::Install() {
    SetCommLog(this);
}

QString CommLogWriter::SharedLogPath() const {
    return logPath_.isEmpty() ? SystemPath(QStringLiteral("\\BIN\\RxTx.TXT")) : logPath_;
}

QString CommLogWriter::LogPath() const {
    return lock_ ? ownPath_ : SharedLogPath();
}

namespace {
constexpr int kMaxOwnLogs = 99;  // RxTx_2.TXT .. RxTx_99.TXT

// "RxTx.TXT" numbered: "RxTx_2.TXT".
QString NumberedLog(const QString& shared, int n) {
    const QFileInfo f(shared);
    return f.path() + QLatin1Char('/') + f.completeBaseName() + QStringLiteral("_%1.").arg(n) +
           f.suffix();
}
// The lock beside a log: ".RxTx.TXT.lck" (hidden, so folder listings and
// copies of the installation pass it by).
QString LockPath(const QString& log) {
    const QFileInfo f(log);
    return f.path() + QStringLiteral("/.") + f.fileName() + QStringLiteral(".lck");
}
}  // namespace

bool CommLogWriter::LockLog() {
    const QString shared = SharedLogPath();
    // Held already; a writer on a log of its own tries the shared one again
    // (its own number is free again if that is still taken).
    if (lock_ && ownPath_ == shared) return true;
    lock_.reset();
    ownPath_.clear();
    for (int n = 1; n <= kMaxOwnLogs; ++n) {
        const QString path = n == 1 ? shared : NumberedLog(shared, n);
        auto lock = std::make_unique<QLockFile>(LockPath(path));
        // Only a lock of a program that is no longer running is stale.
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0)) continue;
        lock_ = std::move(lock);
        ownPath_ = path;
        return true;
    }
    return false;
}

QString CommLogWriter::LastLogPath() const {
    return lastLogPath_.isEmpty() ? SystemPath(QStringLiteral("\\BIN\\RxTx_Last.TXT"))
                                  : lastLogPath_;
}

// --- Line forms ----------------------------------------------------------------

QString CommLogWriter::TimeText(double microSeconds) {
    return QString::number(static_cast<qint64>(std::nearbyint(microSeconds / 1000.0)));
}

QString CommLogWriter::HeaderDateText(const QDateTime& when) {
    return when.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

QString CommLogWriter::NumberText(double value) {
    if (!std::isfinite(value)) value = 0;
    if (value == 0) return QStringLiteral(" 0 ");
    QString digits = PlainDigits(std::fabs(value));
    digits.replace(QLatin1Char('.'), QLatin1Char(','));
    return (value < 0 ? QStringLiteral("-") : QStringLiteral(" ")) + digits + QLatin1Char(' ');
}

QString CommLogWriter::CommandNameFor(const QString& text) {
    // Request frames start 41 02; their command code is the fourth byte.
    // A text too short to hold it is no frame and gets no name line.
    constexpr int kCodeAt = 6;
    if (!text.startsWith(QLatin1String("41")) || text.size() < kCodeAt + 2) return QString();
    const int hi = HexDigitValue(text[kCodeAt]), lo = HexDigitValue(text[kCodeAt + 1]);
    const uint8_t code = (hi < 0 || lo < 0) ? 0 : static_cast<uint8_t>(hi * 16 + lo);
    return CommandLogName(code);
}

// --- Writing -------------------------------------------------------------------

void CommLogWriter::WriteLogRxTx(const QString& kind, const QString& text) {
    if (!started_) return;
    QByteArray lines;
    const QString name = CommandNameFor(text);
    if (!name.isEmpty()) lines += Quoted(name);
    lines += Quoted(TimeText(MicroSeconds()) + QLatin1Char(' ') + kind + text);
    Emit(lines);
}

void CommLogWriter::Emit(const QByteArray& lines) {
    if (!started_) return;
    if (closedForReader_) {
        if (static_cast<std::size_t>(held_.size() + lines.size()) > kMaxHeldBytes) {
            ++dropped_;
            return;
        }
        held_ += lines;
        return;
    }
    if (!file_.isOpen()) return;
    // One write of whole lines on an unbuffered file: a reader sees all of
    // them or none.
    if (file_.write(lines) != lines.size()) ++dropped_;
}

bool CommLogWriter::OpenForAppend() {
    file_.setFileName(LogPath());
    return file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
}

void CommLogWriter::FlushHeld() {
    if (held_.isEmpty()) return;
    QFile old(LogPath());
    if (!old.open(QIODevice::WriteOnly | QIODevice::Append) || old.write(held_) != held_.size())
        ++dropped_;
    held_.clear();
}

bool CommLogWriter::Rotate() {
    const QString log = LogPath(), last = LastLogPath();
    if (!QFileInfo::exists(log)) return true;
    // rename() replaces the previous RxTx_Last.TXT in one step.
    if (std::rename(QFile::encodeName(log).constData(), QFile::encodeName(last).constData()) == 0)
        return true;
    QFile::remove(last);
    return QFile::copy(log, last) && QFile::remove(log);
}

bool CommLogWriter::StartLogRxTx(const QString& productTitle, std::optional<Constants> constants) {
    // Lines held for a reader belong to the log being closed.
    if (file_.isOpen()) file_.close();
    FlushHeld();
    closedForReader_ = false;
    started_ = false;
    // Another running program's log is never rotated nor truncated: this
    // one writes its own, started afresh.
    if (!LockLog()) return false;
    if (ownPath_ == SharedLogPath()) {
        // When the old log cannot be moved aside, the new lines are appended
        // to it rather than destroying it.
        Rotate();
    } else {
        QFile::remove(ownPath_);
    }
    if (!OpenForAppend()) return false;
    started_ = true;

    QByteArray lines =
        Quoted(TimeText(MicroSeconds()) + QStringLiteral(" O ") + QLatin1String(kSoftwareVersion) +
               QLatin1Char(' ') + productTitle + QLatin1Char(' ') + HeaderDateText(Events().Now()));
    if (constants) {
        lines += Quoted(QStringLiteral("[K_gm]"));
        lines += ToLatin1(NumberText(constants->rpmConstant)) + "\r\n";
        lines += Quoted(QStringLiteral("[K_Lambda]"));
        lines += ToLatin1(NumberText(constants->kLambda)) + "\r\n";
    }
    Emit(lines);
    return true;
}

void CommLogWriter::Close() {
    if (!started_ || closedForReader_) return;
    file_.close();
    closedForReader_ = true;
}

bool CommLogWriter::Reopen() {
    if (!started_) return false;
    if (!closedForReader_) return file_.isOpen();
    if (!OpenForAppend()) return false;
    closedForReader_ = false;
    if (!held_.isEmpty()) {
        const QByteArray held = held_;
        held_.clear();
        Emit(held);
    }
    return true;
}

void CommLogWriter::Stop() {
    if (closedForReader_) Reopen();
    FlushHeld();
    if (file_.isOpen()) file_.close();
    started_ = false;
    closedForReader_ = false;
    // The log is free for the next program.
    lock_.reset();
    ownPath_.clear();
}

}  // namespace gascal
