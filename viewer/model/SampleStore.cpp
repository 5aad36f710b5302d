#include "viewer/model/SampleStore.h"

#include <QFileInfo>
#include <cmath>

#include "common/Helpers.h"
#include "common/LogSink.h"
#include "data/core/ParamImage.h"
#include "viewer/commlog/CommLogWriter.h"

namespace gascal {

namespace {

constexpr const char* kLiveLogPath = "\\BIN\\RxTx.TXT";

CommLogWriter* LiveLog() {
    return dynamic_cast<CommLogWriter*>(&CommLog());
}

// Closes the live log while a file is read or copied, when that file is it.
class LiveLogClosed {
  public:
    explicit LiveLogClosed(bool closing) : log_(closing ? LiveLog() : nullptr) {
        if (log_) log_->Close();
    }
    ~LiveLogClosed() {
        if (log_) log_->Reopen();
    }
    LiveLogClosed(const LiveLogClosed&) = delete;
    LiveLogClosed& operator=(const LiveLogClosed&) = delete;

  private:
    CommLogWriter* log_;
};

}  // namespace

QString SampleStore::LiveLogPath() const {
    if (const CommLogWriter* w = LiveLog()) return w->LogPath();
    return SystemPath(QString::fromLatin1(kLiveLogPath));
}

bool SampleStore::IsLiveLog(const QString& path) const {
    return SameFilePath(path, LiveLogPath());
}

bool SampleStore::CopyCurrentTo(const QString& path) const {
    if (SameFilePath(path, currentFile_)) return true;
    LiveLogClosed closed(IsLiveLog(currentFile_));
    return CopyViewFile(currentFile_, path);
}

double SampleStore::WindowOffsetMs() const {
    if (window_.position > 1 && !samples_.empty()) return firstSampleMs_ - window_.recordingStartMs;
    return 0;
}

void SampleStore::Clear() {
    samples_.clear();
    window_ = LogWindow();
}

ViewFileKind SampleStore::Read(const QString& path, int direction, bool runMode,
                               const ReadHooks& hooks) {
    LiveLogClosed closed(IsLiveLog(path));
    return ReadFile(path, direction, runMode, hooks);
}

ViewFileKind SampleStore::ReadFile(const QString& path, int direction, bool runMode,
                                   const ReadHooks& hooks) {
    const ViewFileKind kind = RecogniseViewFile(path);
    lastLoad_ = LoadStats();
    // The list is empty while the file is read.
    samples_.clear();
    switch (kind) {
        case ViewFileKind::Log: {
            scales_ = ReadLogConstants(path, scales_);
            SampleRead read = ReadLog(path, direction, scales_, window_, hooks);
            samples_ = std::move(read.samples);
            window_ = read.window;
            lastLoad_ = read.stats;
            break;
        }
        case ViewFileKind::Table: {
            SampleRead read = ReadTableFile(path, runMode, hooks);
            samples_ = std::move(read.samples);
            lastLoad_ = read.stats;
            window_ = LogWindow();
            window_.fileLength = QFileInfo(path).size();
            window_.hasRecordingStart = !samples_.empty();
            window_.recordingStartMs = samples_.empty() ? 0 : samples_.front().SampleTimeMs;
            break;
        }
        case ViewFileKind::Missing:
        case ViewFileKind::Unrecognised:
            window_ = LogWindow();
            break;
    }
    UpdateSampleTimes();
    return kind;
}

void SampleStore::EmptySweep() {
    samples_.clear();
    samples_.reserve(kLiveSweepSamples);
}

void SampleStore::StartRun(const ViewSample& first) {
    window_ = LogWindow();
    samples_.push_back(first);
    window_.recordingStartMs = first.SampleTimeMs;
    UpdateSampleTimes();
}

std::vector<ViewSample> SampleStore::StartSweep(const ViewSample& first) {
    std::vector<ViewSample> old = std::move(samples_);
    EmptySweep();
    Append(first);
    return old;
}

void SampleStore::Append(const ViewSample& s) {
    samples_.push_back(s);
    UpdateSampleTimes();
}

void SampleStore::SetRevolutionConstant(double rpmConstant) {
    scales_.RpmConstant = rpmConstant;
    for (ViewSample& s : samples_)
        if (s.RpmPeriod > 0) s.Rpm = RpmOfPeriod(rpmConstant, s.RpmPeriod);
}

void SampleStore::UpdateSampleTimes() {
    if (samples_.empty()) {
        firstSampleMs_ = lastSampleMs_ = 0;
        return;
    }
    firstSampleMs_ = samples_.front().SampleTimeMs;
    lastSampleMs_ = std::nearbyint(samples_.back().SampleTimeMs);
}

}  // namespace gascal
