#include "viewer/model/RecordingFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "viewer/model/ViewerSettings.h"

namespace gascal {

namespace {

constexpr int kYieldEveryLines = 500;
constexpr qint64 kCopyChunkBytes = 1 << 20;

// The fields of a line split at single spaces, padded to `count`.
QStringList SpaceFields(const QString& line, int count) {
    QStringList f = line.split(QLatin1Char(' '));
    while (f.size() < count) f << QString();
    return f;
}

QString ErrText(const QString& description, const char* procedure) {
    return description + QLatin1Char(' ') + QLatin1String(procedure);
}

// Opens a file for reading; on failure the user may try again (Retry) or
// give up (Cancel).
bool OpenForReading(QFile& f, const char* procedure, LoadStats* stats) {
    while (!f.open(QIODevice::ReadOnly)) {
        const BoxResult r = UserPrompts().MessageBox(
            ErrText(f.errorString() + QStringLiteral(": ") + f.fileName(), procedure), AppTitle(),
            BoxIcon::Critical, BoxButtons::RetryCancel);
        if (r != BoxResult::Retry) {
            if (stats) stats->cancelled = true;
            return false;
        }
    }
    return true;
}

// Reads `count` bytes from `from`. A read that fails or comes back short
// (the file shrank or the disk failed) is reported; the user may try again
// (Retry) or give up (Cancel), and then nothing of the file is used.
bool ReadWhole(QFile& f, qint64 from, qint64 count, QByteArray& bytes, const char* procedure,
               LoadStats& st) {
    for (;;) {
        bytes.clear();
        if (count <= 0) return true;
        if (f.seek(from)) bytes = f.read(count);
        if (bytes.size() == count) return true;
        const QString why =
            f.error() != QFileDevice::NoError
                ? f.errorString()
                : QStringLiteral("%1 of %2 bytes read").arg(bytes.size()).arg(count);
        const BoxResult r =
            UserPrompts().MessageBox(ErrText(why + QStringLiteral(": ") + f.fileName(), procedure),
                                     AppTitle(), BoxIcon::Critical, BoxButtons::RetryCancel);
        if (r != BoxResult::Retry) {
            bytes.clear();
            st.cancelled = true;
            return false;
        }
    }
}

// Calls `each` for every line of `bytes` (split at LF, a CR before it
// dropped); a final piece without a line end is a line too.
template <typename Each>
void ForEachLine(const QByteArray& bytes, Each each) {
    const char* p = bytes.constData();
    const char* end = p + bytes.size();
    while (p < end) {
        const char* lf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* lineEnd = lf ? lf : end;
        const char* e = lineEnd;
        if (e > p && e[-1] == '\r') --e;
        each(p, static_cast<int>(e - p));
        p = lf ? lf + 1 : end;
    }
}

// The first line start at or after `offset` (0-based): `offset` itself when
// the byte before it ends a line, else the byte after the next line end,
// searched at most kMaxLineBytes on. The file's length when there is none.
qint64 FirstLineStart(QFile& f, qint64 offset, qint64 length) {
    if (offset <= 0) return 0;
    if (offset >= length) return length;
    if (!f.seek(offset - 1)) return length;
    const QByteArray chunk = f.read(std::min(kMaxLineBytes + 1, length - offset + 1));
    const int lf = static_cast<int>(chunk.indexOf('\n'));
    if (lf < 0) return std::min(length, offset + kMaxLineBytes);
    return offset - 1 + lf + 1;
}

// The time of a data line: the first field without its opening quote.
bool LineTime(const QString& field, double& ms) {
    QString t = field;
    if (t.startsWith(QLatin1Char('"'))) t.remove(0, 1);
    bool ok = false;
    const qlonglong v = t.toLongLong(&ok);
    if (!ok || t.isEmpty() || !t.at(0).isDigit()) return false;
    ms = static_cast<double>(v);
    return true;
}

// The first pass: the time of the file's first line that looks like a
// live-data answer, the recording's start.
bool FindRecordingStart(QFile& f, double& startMs) {
    f.seek(0);
    while (!f.atEnd()) {
        QByteArray raw = f.readLine();
        while (raw.endsWith('\n') || raw.endsWith('\r')) raw.chop(1);
        if (raw.size() < kMinDataLineChars) continue;
        const QStringList fields = SpaceFields(QString::fromLatin1(raw), 3);
        const QString& hex = fields[2];
        if (fields[1] == QLatin1String("R") && hex.size() > kMinDataHexChars &&
            hex.mid(6, 2) == QLatin1String("0C"))
            return LineTime(fields[0], startMs);
    }
    return false;
}

// The fields of a table line: split at "|", trimmed of blanks, padded to 13.
constexpr int kTableFields = 13;
constexpr int kTableDataFields = 12;

bool TableNumber(const QString& text, double& v) {
    if (text.isEmpty()) {
        v = 0;
        return true;
    }
    return ReadSettingsNumber(text, v);
}

int16_t ToInt16(double v) {
    return static_cast<int16_t>(std::clamp(std::nearbyint(v), -32768.0, 32767.0));
}

// One table data line, or false when the line is no data line (a heading,
// a garbled line).
bool TableSample(const QString& line, double timeMs, ViewSample& s) {
    QStringList f = line.split(QLatin1Char('|'));
    if (f.size() < kTableDataFields) return false;
    while (f.size() < kTableFields) f << QString();
    double v[kTableDataFields];
    for (int i = 0; i < kTableDataFields; ++i)
        if (!TableNumber(f[i].trimmed(), v[i])) return false;
    s = ViewSample();
    s.SignedInjTimes.fill(v[0] / 1000);
    s.PetrolInjTimes.fill(v[1] / 1000);
    s.ThirdInjBlock[0] = v[2] / 1000;
    s.GasInjTimes[0] = v[3] / 1000;
    s.Rpm = static_cast<int32_t>(std::clamp(std::nearbyint(v[4]), -2147483647.0, 2147483647.0));
    s.GasPressureRaw = v[5];
    s.VacuumRaw = v[6];
    s.LambdaVolts = v[7] / 1000;
    s.LevelRaw = v[8];
    s.ReducerTemp = ToInt16(v[9]);
    s.GasTemp = ToInt16(v[10]);
    s.SupplyVolts = v[11];
    s.SampleTimeMs = timeMs;
    return true;
}

}  // namespace

// --- Recognising ----------------------------------------------------------------------

ViewFileKind RecogniseViewFile(const QString& path) {
    QFile f(path);
    if (!QFileInfo(path).isFile()) return ViewFileKind::Missing;
    if (!f.open(QIODevice::ReadOnly)) return ViewFileKind::Unrecognised;
    while (!f.atEnd()) {
        QByteArray raw = f.readLine();
        while (raw.endsWith('\n') || raw.endsWith('\r')) raw.chop(1);
        if (raw.isEmpty()) continue;
        const QStringList fields = SpaceFields(QString::fromLatin1(raw), 7);
        if (fields[1].isEmpty() || fields[2].isEmpty()) continue;
        if (fields[1] == QLatin1String("T") && fields[2].startsWith(QLatin1String("4102")))
            return ViewFileKind::Log;
        if (fields[1] == QLatin1String("|") && fields[3] == QLatin1String("|"))
            return ViewFileKind::Table;
    }
    return ViewFileKind::Unrecognised;
}

// --- Constants ---------------------------------------------------------------------------

ViewScales ReadLogConstants(const QString& path, ViewScales scales) {
    if (!QFileInfo(path).isFile()) return scales;
    scales.RpmConstant = kDefaultRpmConstant;
    scales.KLambda = kDefaultKLambda;
    QFile f(path);
    if (!OpenForReading(f, "CaricaCostantiRxTx_Err:", nullptr)) return scales;
    // The lines that begin within the first 1000 bytes, as comma-delimited
    // fields with their quotes taken off.
    QStringList lines;
    while (!f.atEnd() && f.pos() <= kConstantsSearchBytes) {
        QByteArray raw = f.readLine();
        while (raw.endsWith('\n') || raw.endsWith('\r')) raw.chop(1);
        lines << QString::fromLatin1(raw);
    }
    // The value line after a key found at the limit is still read.
    if (!f.atEnd()) {
        QByteArray raw = f.readLine();
        while (raw.endsWith('\n') || raw.endsWith('\r')) raw.chop(1);
        lines << QString::fromLatin1(raw);
    }
    const auto find = [&](const char* key, double& target) {
        for (int i = 0; i + 1 < lines.size(); ++i) {
            bool found = false;
            for (QString field : lines[i].split(QLatin1Char(','))) {
                field = field.trimmed();
                if (field.startsWith(QLatin1Char('"'))) field.remove(0, 1);
                if (field.endsWith(QLatin1Char('"'))) field.chop(1);
                if (field == QLatin1String(key)) found = true;
            }
            if (!found) continue;
            double v = 0;
            if (ReadSettingsNumber(lines[i + 1], v) && v > 0 && std::isfinite(v)) {
                target = v;
            } else {
                UserPrompts().MessageBox(
                    ErrText(
                        QStringLiteral("The value after %1 is not a positive number (\"%2\"); the "
                                       "default is used.")
                            .arg(QLatin1String(key), lines[i + 1].trimmed()),
                        "CaricaCostantiRxTx_Err:"),
                    AppTitle(), BoxIcon::Critical, BoxButtons::RetryCancel);
            }
            return;
        }
    };
    find("[K_gm]", scales.RpmConstant);
    find("[K_Lambda]", scales.KLambda);
    return scales;
}

// --- Logs ------------------------------------------------------------------------------------

SampleRead ReadLog(const QString& path, int direction, const ViewScales& scales,
                   const LogWindow& from, const ReadHooks& hooks) {
    SampleRead result;
    result.window = from;
    LogWindow& w = result.window;
    LoadStats& st = result.stats;
    std::vector<ViewSample>& samples = result.samples;
    if (!QFileInfo(path).isFile()) return result;
    if (hooks.loading) hooks.loading();
    QFile f(path);
    if (!OpenForReading(f, "CaricaLogRxTx_Err:", &st)) return result;

    w.hasRecordingStart = FindRecordingStart(f, w.recordingStartMs);
    if (!w.hasRecordingStart) w.recordingStartMs = 0;

    const qint64 length = f.size();
    w.fileLength = length;
    qint64 start = 0, to = length;
    if (length <= kLogWindowBytes) {
        w.position = 1;
        w.windowed = w.prevEnabled = w.nextEnabled = false;
    } else {
        if (w.position < 1 || w.position > length) w.position = 1;  // another file, or a new log
        const auto nextStart = [&](qint64 position) {
            return FirstLineStart(f, position - 1 + kLogWindowBytes, length);
        };
        if (direction > 0) {
            // Forward only when lines begin beyond this window.
            if (nextStart(w.position) < length) w.position += kLogWindowBytes;
        } else if (direction < 0) {
            w.position = w.position - kLogWindowBytes > 0 ? w.position - kLogWindowBytes : 1;
        }
        // The lines that begin inside the window, the last one read to its end.
        start = FirstLineStart(f, w.position - 1, length);
        to = nextStart(w.position);
        w.windowed = true;
        w.prevEnabled = w.position >= kLogWindowBytes;
        w.nextEnabled = to < length;
    }

    // The window lets the user interface run before the bytes are read:
    // the first pass over a long log takes a while.
    if (hooks.yield) hooks.yield();
    QByteArray bytes;
    const bool read = ReadWhole(f, start, to - start, bytes, "CaricaLogRxTx_Err:", st);
    f.close();
    if (!read) return result;

    ViewSample s;
    ForEachLine(bytes, [&](const char* line, int n) {
        if (st.cancelled) return;
        ++st.lines;
        switch (DecodeLogLine(line, n, scales, s)) {
            case LineVerdict::Sample:
                samples.push_back(s);
                ++st.samples;
                break;
            case LineVerdict::BadChecksum:
                ++st.badChecksums;
                break;
            case LineVerdict::NotData:
                break;
        }
        if (hooks.yield && st.lines % kYieldEveryLines == 0) hooks.yield();
    });
    result.ok = true;
    return result;
}

// --- Table text files ----------------------------------------------------------------------

SampleRead ReadTableFile(const QString& path, bool runMode, const ReadHooks& hooks) {
    SampleRead result;
    LoadStats& st = result.stats;
    std::vector<ViewSample>& samples = result.samples;
    if (!QFileInfo(path).isFile()) return result;
    if (hooks.loading) hooks.loading();
    QFile f(path);
    if (!OpenForReading(f, "LoadTableFile_Err:", &st)) return result;
    const qint64 length = f.size();
    if (hooks.yield) hooks.yield();
    // The tail of a growing file in run mode: its first piece is part of a line.
    const qint64 from = runMode && length > kTableTailBytes
                            ? FirstLineStart(f, length - kTableTailBytes, length)
                            : 0;
    QByteArray bytes;
    const bool read = ReadWhole(f, from, length - from, bytes, "LoadTableFile_Err:", st);
    f.close();
    if (!read) return result;

    double runningMs = 0;
    ViewSample s;
    ForEachLine(bytes, [&](const char* p, int n) {
        ++st.lines;
        const QString line = QString::fromLatin1(p, n);
        if (line.contains(QLatin1Char('|'))) {
            if (TableSample(line, runningMs, s)) {
                samples.push_back(s);
                ++st.samples;
            }
        } else if (line.startsWith(QLatin1Char('>')) && line.size() > 3) {
            // A time step in whole milliseconds.
            double step = 0;
            if (ReadSettingsNumber(line.mid(1).trimmed(), step)) runningMs += std::trunc(step);
        }
        if (hooks.yield && st.lines % kYieldEveryLines == 0) hooks.yield();
    });
    result.ok = true;
    return result;
}

// --- Cleaning and copying --------------------------------------------------------------------

QStringList CleanedLines(const QStringList& lines) {
    const auto kind = [&lines](int i) {
        if (i == 0) return QString();
        const int a = lines[i].indexOf(QLatin1Char(' '));
        if (a < 0) return QString();
        const int b = lines[i].indexOf(QLatin1Char(' '), a + 1);
        return lines[i].mid(a + 1, b < 0 ? -1 : b - a - 1);
    };
    QStringList out;
    for (int i = 0; i < lines.size(); ++i) {
        if (i + 1 < lines.size() && kind(i + 1) == kind(i)) continue;
        if (!lines[i].isEmpty()) out << lines[i];
    }
    return out;
}

bool CleanRecording(const QString& path) {
    if (!QFileInfo(path).isFile()) return false;
    QStringList lines;
    if (!ReadLatin1Lines(path, lines)) {
        UserPrompts().MessageBox(
            ErrText(QStringLiteral("The file cannot be read: ") + path, "CleanLogRxTx_Err: "),
            QStringLiteral("CleanLogRxTx_Err"), BoxIcon::Critical, BoxButtons::Ok);
        return false;
    }
    if (!WriteLatin1Lines(path, CleanedLines(lines))) {
        UserPrompts().MessageBox(
            ErrText(QStringLiteral("The file cannot be written: ") + path, "CleanLogRxTx_Err: "),
            QStringLiteral("CleanLogRxTx_Err"), BoxIcon::Critical, BoxButtons::Ok);
        return false;
    }
    return true;
}

bool CopyViewFile(const QString& from, const QString& to) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) return false;
    QSaveFile out(to);
    if (!out.open(QIODevice::WriteOnly)) return false;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(kCopyChunkBytes);
        if (chunk.isEmpty() && in.error() != QFileDevice::NoError) {
            out.cancelWriting();
            return false;
        }
        if (out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            return false;
        }
    }
    return out.commit();
}

// --- Export ------------------------------------------------------------------------------------

QByteArray SamplesTable(const std::vector<ViewSample>& samples, size_t begin, size_t end, int inj,
                        double recordingStartMs, bool csv, bool header) {
    constexpr int kColumnWidth = 12;
    end = std::min(end, samples.size());
    QByteArray out;
    const auto cell = [&](const QString& text, bool first) {
        if (csv) {
            if (!first) out += ',';
            out += text.toLatin1();
        } else {
            if (!first) out += ' ';
            out += text.rightJustified(kColumnWidth).toLatin1();
        }
    };
    if (header) {
        cell(QStringLiteral("time_ms"), true);
        for (int c = 0; c < kViewChannels; ++c) cell(QLatin1String(ChannelDef(c).caption), false);
        out += '\n';
    }
    for (size_t i = begin; i < end; ++i) {
        const ViewSample& s = samples[i];
        cell(QString::number(RecordingTimeMs(s, recordingStartMs), 'f', 3), true);
        for (int c = 0; c < kViewChannels; ++c) {
            double v = ReadoutValue(s, c, inj);
            if (std::fabs(v) < 0.0005) v = 0;
            cell(QString::number(v, 'f', 3), false);
        }
        out += '\n';
    }
    return out;
}

}  // namespace gascal
