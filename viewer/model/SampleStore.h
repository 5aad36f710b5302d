// The signal viewer's samples and where they came from: the file being
// shown (the live log, a saved recording or a table text file) with the
// window of a long log, the factors its samples were decoded with, what the
// last read made of it, and in run mode the live sweep being filled.
#pragma once

#include <QString>
#include <vector>

#include "viewer/model/RecordingFiles.h"
#include "viewer/model/ViewSample.h"

namespace gascal {

// Samples of one live sweep (120 s at 50 ms).
inline constexpr int kLiveSweepSamples = 2401;

class SampleStore {
  public:
    // The live communication log: the link keeps it open for appending.
    QString LiveLogPath() const;
    bool IsLiveLog(const QString& path) const;

    const std::vector<ViewSample>& Samples() const { return samples_; }
    const ViewScales& Scales() const { return scales_; }
    void SetScales(const ViewScales& scales) { scales_ = scales; }
    const QString& CurrentFile() const { return currentFile_; }
    void SetCurrentFile(const QString& path) { currentFile_ = path; }
    const LogWindow& Window() const { return window_; }
    const LoadStats& LastLoad() const { return lastLoad_; }
    double RecordingStartMs() const { return window_.recordingStartMs; }
    double FirstSampleMs() const { return firstSampleMs_; }
    // The last sample's time rounded to a whole millisecond.
    double LastSampleMs() const { return lastSampleMs_; }
    // The time at the picture's left edge counted from the recording's
    // start rather than from the window's first sample: a later window of
    // a long log adds the time before it.
    double WindowOffsetMs() const;

    // No samples and no window (the sample times are kept).
    void Clear();
    // Another file starts at its beginning.
    void RewindWindow() { window_.position = 1; }

    // Recognises the file and reads it: a log with its constants, the
    // window moved by `direction`; a table file (in run mode only its
    // tail). A missing or unrecognised file leaves no samples. The live log
    // is closed meanwhile: the link's lines are held and written when it
    // reopens.
    ViewFileKind Read(const QString& path, int direction, bool runMode, const ReadHooks& hooks);
    // Copies the current file to `path` (nothing to copy when it is that
    // file), the live log closed meanwhile. False when the copy failed.
    bool CopyCurrentTo(const QString& path) const;

    // --- Live sweep -------------------------------------------------------------
    // The list emptied for a new run or sweep.
    void EmptySweep();
    // The first sample of a run: its time is the recording's start.
    void StartRun(const ViewSample& first);
    // The sweep so far, moved out; the list starts again with `first`.
    std::vector<ViewSample> StartSweep(const ViewSample& first);
    void Append(const ViewSample& s);

    // A new revolution constant: every sample that knows its revolution
    // period takes the speed the constant gives.
    void SetRevolutionConstant(double rpmConstant);

  private:
    ViewFileKind ReadFile(const QString& path, int direction, bool runMode, const ReadHooks& hooks);
    void UpdateSampleTimes();

    std::vector<ViewSample> samples_;
    ViewScales scales_;
    QString currentFile_;
    LogWindow window_;
    LoadStats lastLoad_;
    double firstSampleMs_ = 0, lastSampleMs_ = 0;
};

}  // namespace gascal
