// The files the signal viewer shows: the live communication log
// ("\BIN\RxTx.TXT"), saved recordings (a cleaned copy of a log, "*.vfl",
// by default in "\SAMPLES") and bar-separated table text files.
//
// A log is read in windows of 3 000 000 bytes. A window shows the lines
// that start inside it; the line that runs over its end is read to its end,
// and the next window passes over its rest. So a line that straddles a
// window edge is seen in exactly one window.
//
// Errors are reported through the prompts interface as the system does
// ("CaricaLogRxTx_Err:" with Retry and Cancel, ...); nothing here throws.
#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "viewer/model/ViewSample.h"

namespace gascal {

inline constexpr qint64 kLogWindowBytes = 3000000;
inline constexpr qint64 kConstantsSearchBytes = 1000;
inline constexpr qint64 kTableTailBytes = 50000;
// How far a window reads on past its end to complete its last line.
inline constexpr qint64 kMaxLineBytes = 65536;
inline constexpr const char* kSamplesFolder = "\\SAMPLES";

enum class ViewFileKind : uint8_t { Missing = 0, Unrecognised = 1, Log = 2, Table = 3 };

// How a file is recognised: the first line whose second field (split at
// single spaces) is "T" and whose third begins with "4102" makes a log;
// one whose second and fourth fields are both "|" a table text file.
ViewFileKind RecogniseViewFile(const QString& path);

// Calls the readers make while they work.
struct ReadHooks {
    std::function<void()> loading;  // the "LOADING" indicator is to be shown
    std::function<void()> yield;    // let the user interface run (every few hundred lines)
};

// The revolution constant ("[K_gm]") and the lambda factor ("[K_Lambda]")
// of a log, searched within its first 1000 bytes (CaricaCostantiRxTx): the
// factors `scales` with the log's constants. A missing file gives `scales`
// as they are; otherwise a constant the file does not carry takes its
// default (15000000, 0.001). A value that is not a positive number keeps
// the default and is reported ("CaricaCostantiRxTx_Err:").
ViewScales ReadLogConstants(const QString& path, ViewScales scales);

// Where a log window stands.
struct LogWindow {
    qint64 position = 1;  // 1-based byte offset of the window in the file
    qint64 fileLength = 0;
    bool windowed = false;     // longer than one window: the window buttons are shown
    bool prevEnabled = false;  // "<<"
    bool nextEnabled = false;  // ">>"
    bool hasRecordingStart = false;
    double recordingStartMs = 0;  // time of the file's first data line
};

struct LoadStats {
    int lines = 0;  // lines handed to the decoder
    int samples = 0;
    int badChecksums = 0;    // live-data answers whose checksum failed
    bool cancelled = false;  // the user chose Cancel on an error
};

// What a reader made of a file.
struct SampleRead {
    bool ok = false;  // read through: false for a missing file, or one given up on
    std::vector<ViewSample> samples;
    LogWindow window;  // a log: where its window stands now
    LoadStats stats;
};

// Reads a log (CaricaLogRxTx): the whole file up to 3 000 000 bytes, else
// the window that stood at `from` moved by `direction` (1 next, -1
// previous, 0 the same). Not ok when the file does not exist or cannot be
// read: a failed open or a short read asks Retry or Cancel, and Cancel
// leaves no samples.
SampleRead ReadLog(const QString& path, int direction, const ViewScales& scales,
                   const LogWindow& from, const ReadHooks& hooks = {});

// Reads a bar-separated table text file (LoadTableFile). `runMode`: only the last 50 000
// bytes of a longer file. The first sample's time (0) is the recording's
// start. Errors as for a log ("LoadTableFile_Err:").
SampleRead ReadTableFile(const QString& path, bool runMode, const ReadHooks& hooks = {});

// Cleans a saved recording in place (CleanLogRxTx): of every run of
// consecutive lines of the same kind (second field at single spaces; the
// first line's kind counts as empty) only the last is kept; empty lines go.
// The file is rewritten through a temporary file. False when it cannot be
// read or written (reported "CleanLogRxTx_Err: ").
bool CleanRecording(const QString& path);
// The lines a cleaning keeps.
QStringList CleanedLines(const QStringList& lines);

// Copies a file through a temporary file beside the target (replacing it).
bool CopyViewFile(const QString& from, const QString& to);

// The recording time of a sample, in milliseconds from the recording's start.
inline double RecordingTimeMs(const ViewSample& s, double recordingStartMs) {
    return s.SampleTimeMs - recordingStartMs;
}

// The samples as a table: a header with "time_ms" and the eight channel
// captions, then one row per sample with the recording time and the eight
// read-out values of injector `inj` (0..7), with a decimal point and three
// decimals. `csv`: comma-separated; otherwise aligned columns.
QByteArray SamplesTable(const std::vector<ViewSample>& samples, size_t begin, size_t end, int inj,
                        double recordingStartMs, bool csv, bool header = true);

}  // namespace gascal
