#include "viewer/model/ViewerModel.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "data/core/ParamImage.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "viewer/commlog/CommLogWriter.h"

namespace gascal {

namespace {

constexpr const char* kLiveLogPath = "\\BIN\\RxTx.TXT";
constexpr const char* kRecordingSuffix = ".vfl";

int ClosestChoice(int v) {
    for (int c : kCylinderChoices)
        if (c == v) return v;
    return 4;
}

}  // namespace

ViewerTexts LoadViewerTexts(const EcuSession& session) {
    // The entries after "[FrmView]", in this order; the English texts are
    // the fallbacks.
    const QStringList english{
        QStringLiteral("View"),
        QStringLiteral("Run"),
        QStringLiteral("Stop"),
        QStringLiteral("open"),
        QStringLiteral("reload"),
        QStringLiteral("save"),
        QStringLiteral("reset"),
        QStringLiteral("csv"),
        QStringLiteral("Setting"),
        QStringLiteral("Esc"),
        QStringLiteral("Cilinder && Coil "),
        QStringLiteral("CYLINDER"),
        QStringLiteral("COIL"),
        QStringLiteral("LOADING"),
        QStringLiteral("SAVING"),
        QStringLiteral("WAITING FOR THE ECU"),
        QStringLiteral("NO CHECK!"),
        QStringLiteral("DO YOU WANT SAVE LAST DATA?"),
        QStringLiteral("Up"),
        QStringLiteral("Down"),
        QStringLiteral("Zoom +"),
        QStringLiteral("Zoom -"),
        QStringLiteral("Inj"),
        QStringLiteral("s/div"),
        QStringLiteral("Click: second cursor. Right click: remove it. Wheel: zoom."),
        QStringLiteral("Diff"),
        QStringLiteral("The file is not a log, a recording or a table text file:"),
        QStringLiteral("The file could not be written:"),
    };
    // Texts kept after the channel names.
    const QStringList later = {
        QStringLiteral("The live log cannot be saved over; choose another name:"),
    };
    QStringList fallbacks = english;
    for (int c = 0; c < kViewChannels; ++c)
        fallbacks << QString::fromLatin1(ChannelDef(c).nameText);
    fallbacks << later;
    const QStringList t = session.SectionTexts(QStringLiteral("[FrmView]"), fallbacks);
    ViewerTexts v;
    int i = 0;
    for (QString* s :
         {&v.view,       &v.run,     &v.stop,          &v.open,      &v.reload,   &v.save,
          &v.reset,      &v.csv,     &v.setting,       &v.esc,       &v.cylCoil,  &v.cylinder,
          &v.coil,       &v.loading, &v.saving,        &v.linkWait,  &v.noCheck,  &v.saveLastData,
          &v.up,         &v.down,    &v.zoomIn,        &v.zoomOut,   &v.injector, &v.secDiv,
          &v.cursorHint, &v.delta,   &v.notRecognised, &v.notWritten})
        *s = t[i++];
    for (int c = 0; c < kViewChannels; ++c) v.names[static_cast<size_t>(c)] = t[i++];
    v.liveLogTarget = t[i++];
    return v;
}

ViewerModel::ViewerModel(EcuSession& session, PollingCycle& cycle, QObject* parent)
    : QObject(parent), session_(session), cycle_(cycle), texts_(LoadViewerTexts(session)) {
    channels_ = DefaultChannelSettings();
    ticked_.fill(true);
    timer_ = std::make_unique<Timer>("FrmView.Timer1", kViewTimerMs, [this] { Timer1_Timer(); });
    for (int c = 0; c < kViewChannels; ++c)
        signalLabels_[static_cast<size_t>(c)] = texts_.names[static_cast<size_t>(c)];
}

ViewerModel::~ViewerModel() {
    if (timer_) timer_->SetEnabled(false);
}

CommLogWriter* ViewerModel::Log() const {
    return dynamic_cast<CommLogWriter*>(&CommLog());
}

QString ViewerModel::LiveLogPath() const {
    if (const CommLogWriter* w = Log()) return w->LogPath();
    return SystemPath(QString::fromLatin1(kLiveLogPath));
}

bool ViewerModel::IsLiveLog(const QString& path) const {
    return SameFilePath(path, LiveLogPath());
}

// --- Start and close ----------------------------------------------------------------------

void ViewerModel::Form_Load() {
    loadingForm_ = true;
    samples_.clear();
    window_ = LogWindow();
    secDiv_ = kSecDivDefault;
    zoom_ = 1;
    EnsureSamplesFolder();
    channels_ = DefaultChannelSettings();
    LoadViewerSettings(SystemPath(QString::fromLatin1(kOsciConfigPath)), channels_);
    const ParamImage& image = session_.Image();
    cylinders_ = ClosestChoice(image.Mem3Block.NumCylinders);
    coils_ = ClosestChoice(image.Mem3Block.NumCoils);
    selected_ = 0;
    scales_ = ViewScales::FromImage(image);
    if (session_.Comm().ComState() == COM_STOP) {
        // Offline: nothing to sample; the files can still be read.
        StartLog();
        runMode_ = false;
        runStopEnabled_ = false;
        currentFile_ = LiveLogPath();
        SetCaption(currentFile_);
    } else {
        // Run mode starts the log itself: started twice, the traffic before
        // the viewer opened would be pushed out of RxTx_Last.TXT by a log
        // holding nothing but its header.
        runStopEnabled_ = true;
        EnterRunMode();
    }
    loadingForm_ = false;
    emit channelsChanged();
    emit controlsChanged();
}

bool ViewerModel::Form_QueryUnload() {
    if (!runMode_) return true;
    // The tick that handles the stop closes the window.
    OptRun_Click(1);
    closeRequested_ = true;
    return false;
}

void ViewerModel::StartLog() {
    CommLogWriter* log = Log();
    if (!log) return;
    // The log records the constants the live samples are decoded with.
    log->StartLogRxTx(session_.ProductTitle(),
                      CommLogWriter::Constants{scales_.RpmConstant, session_.Image().KLambda});
}

// --- Modes -----------------------------------------------------------------------------------

void ViewerModel::OptRun_Click(int index) {
    if (index == 0) {
        // Not while a file is read: the reader would go on appending its
        // samples to the sweep that the run has just emptied.
        if (!runStopEnabled_ || runMode_ || busy_) return;
        EnterRunMode();
    } else {
        if (!runMode_) return;
        stopRequested_ = true;
    }
}

void ViewerModel::EnterRunMode() {
    runMode_ = true;
    zoom_ = 1;
    ClearSecondCursor();
    emit controlsChanged();
    SaveSettings();
    // Live samples carry the image's factors, with the revolution constant
    // the cylinder and coil frame chose, if any.
    const double chosen = cylCoilChosen_ ? scales_.RpmConstant : 0;
    scales_ = ViewScales::FromImage(session_.Image());
    if (cylCoilChosen_) scales_.RpmConstant = chosen;
    // The new log starts before the first sample, so that the recording
    // holds every sample of the run.
    StartLog();
    StartRun();
    timer_->SetEnabled(true);
}

void ViewerModel::StartRun() {
    sliderValue_ = 0;
    samples_.clear();
    samples_.reserve(kLiveSweepSamples);
    prevSamples_.clear();
    prevX_.clear();
    drawnX_.clear();
    drawnIndex_.clear();
    sweepHead_ = 0;
    firstVisible_ = 0;
    currentFile_ = LiveLogPath();
    window_ = LogWindow();
    SetCaption(QString());
    ClsComm& comm = session_.Comm();
    if (!comm.WDogPresente()) comm.SendAndWait(BuildRequest(CMD_READ_MEM1));
    const ParamImage& image = session_.Image();
    samples_.push_back(SampleFromLive(image.Mem1Block, image, scales_.RpmConstant));
    sampleIndex_ = 0;
    drawnX_.push_back(0);
    drawnIndex_.push_back(0);
    window_.recordingStartMs = samples_.front().SampleTimeMs;
    UpdateSampleTimes();
    emit pictureCleared();
}

void ViewerModel::RestartSweep() {
    restartSweep_ = true;
}

void ViewerModel::Timer1_Timer() {
    if (tickBusy_) return;
    tickBusy_ = true;
    if (restartSweep_) {
        restartSweep_ = false;
        samples_.clear();
        samples_.reserve(kLiveSweepSamples);
        prevSamples_.clear();
        prevX_.clear();
        drawnX_.clear();
        drawnIndex_.clear();
        sweepHead_ = 0;
        sampleIndex_ = -1;
        emit pictureCleared();
    }
    ClsComm& comm = session_.Comm();
    if (comm.WDogPresente()) {
        // The link lost the ECU: no request until it answers again.
        ShowLoading(texts_.linkWait);
    } else {
        if (loadingVisible_) HideLoading();
        if (comm.SendAndWait(BuildRequest(CMD_READ_MEM1)) && runMode_) TakeSample();
    }
    // The requests of the tick are carried out whether or not the link
    // answered: a viewer without an ECU can still be stopped and closed.
    EndOfTick();
    tickBusy_ = false;
}

void ViewerModel::TakeSample() {
    const ParamImage& image = session_.Image();
    const ViewSample s = SampleFromLive(image.Mem1Block, image, scales_.RpmConstant);
    ++sampleIndex_;
    if (sampleIndex_ == 0) {
        // A new sweep: the old one stays on the picture right of the head.
        prevSamples_ = std::move(samples_);
        prevX_ = std::move(drawnX_);
        samples_.clear();
        samples_.reserve(kLiveSweepSamples);
        drawnX_.clear();
        drawnIndex_.clear();
        samples_.push_back(s);
        drawnX_.push_back(0);
        drawnIndex_.push_back(0);
        sweepHead_ = 0;
    } else {
        samples_.push_back(s);
        int n = sampleIndex_;
        const LiveSegment segment = DrawLinee(n);
        emit segmentDrawn(segment);
        if (n < 0) sampleIndex_ = -1;
    }
    UpdateSampleTimes();
    ShowReadout(cursorX_.value_or(-1));
}

void ViewerModel::EndOfTick() {
    if (switchRequested_) {
        switchRequested_ = false;
        // The main window's fuel switch (key on, no change pending).
        cycle_.RequestFuelChange();
    }
    if (stopRequested_) StopRun();
    if (closeRequested_) {
        timer_->SetEnabled(false);
        emit closeNow();
    }
}

void ViewerModel::StopRun() {
    stopRequested_ = false;
    timer_->SetEnabled(false);
    runMode_ = false;
    emit controlsChanged();
    if (Ask().MessageBox(texts_.saveLastData, texts_.view, BoxIcon::Question, BoxButtons::YesNo) ==
        BoxResult::Yes)
        SaveViewFile();
    if (FileExists(currentFile_)) {
        OpenViewFile(currentFile_, 0);
        CaricaScalaTemporale(false);
        RedrawSignals();
        HideLoading();
    }
    emit controlsChanged();
}

// --- Files -------------------------------------------------------------------------------------

ViewFileKind ViewerModel::OpenViewFile(const QString& path, int direction) {
    // The readers' error boxes are the viewer's too.
    ScopedPrompts scope(Ask());
    busy_ = true;
    CommLogWriter* log = IsLiveLog(path) ? Log() : nullptr;
    // The link's lines are held meanwhile and written when the log reopens.
    if (log) log->Close();
    ReadHooks hooks;
    hooks.loading = [this] { ShowLoading(texts_.loading); };
    hooks.yield = [] { Events().ProcessEvents(); };
    const ViewFileKind kind = RecogniseViewFile(path);
    lastLoad_ = LoadStats();
    switch (kind) {
        case ViewFileKind::Log:
            CaricaCostantiRxTx(path, scales_);
            CaricaLogRxTx(path, direction, scales_, window_, samples_, hooks, &lastLoad_);
            break;
        case ViewFileKind::Table: {
            LoadTableFile(path, runMode_, samples_, hooks, &lastLoad_);
            const qint64 length = QFileInfo(path).size();
            window_ = LogWindow();
            window_.fileLength = length;
            window_.hasRecordingStart = !samples_.empty();
            window_.recordingStartMs = samples_.empty() ? 0 : samples_.front().SampleTimeMs;
            break;
        }
        case ViewFileKind::Missing:
        case ViewFileKind::Unrecognised:
            samples_.clear();
            window_ = LogWindow();
            break;
    }
    if (log) log->Reopen();
    busy_ = false;
    ClearSecondCursor();
    UpdateSampleTimes();
    if (kind == ViewFileKind::Unrecognised)
        Ask().MessageBox(texts_.notRecognised + QLatin1Char(' ') + path, texts_.view,
                         BoxIcon::Information, BoxButtons::Ok);
    emit controlsChanged();
    return kind;
}

void ViewerModel::LoadFile(const QString& path, int direction, bool setCaption) {
    ShowLoading(texts_.loading);
    if (setCaption) {
        currentFile_ = path;
        SetCaption(path);
        SaveSettings();
    }
    OpenViewFile(path, direction);
    CaricaScalaTemporale(false);
    RedrawSignals();
    HideLoading();
    if (cursorX_) ShowReadout(*cursorX_);
}

void ViewerModel::CmdOpen_Click() {
    if (runMode_ || busy_) return;
    FileDialogRequest req;
    req.title = texts_.open;
    req.filter = QString::fromLatin1(kViewFilter);
    req.startFolder = SystemPath(QString::fromLatin1(kSamplesFolder));
    req.overwritePrompt = false;
    const QString path = Ask().OpenFile(req);
    if (path.isEmpty()) return;
    // Another file starts at its beginning.
    window_.position = 1;
    sliderValue_ = 0;
    LoadFile(path, 0, true);
}

void ViewerModel::CmdReload_Click() {
    if (runMode_ || busy_ || currentFile_.isEmpty()) return;
    LoadFile(currentFile_, 0, false);
}

void ViewerModel::SeekWindow(int direction) {
    if (runMode_ || busy_ || currentFile_.isEmpty()) return;
    LoadFile(currentFile_, direction, false);
}

bool ViewerModel::SaveViewFile() {
    if (busy_) return false;
    FileDialogRequest req;
    req.title = texts_.save;
    req.filter = QString::fromLatin1(kSaveFilter);
    req.startFolder = SystemPath(QString::fromLatin1(kSamplesFolder));
    req.overwritePrompt = true;
    QString path = Ask().SaveFile(req);
    if (path.isEmpty()) return false;
    // A name typed without an extension gets the recordings' one, so the
    // open dialog finds it again.
    if (QFileInfo(path).suffix().isEmpty()) path += QLatin1String(kRecordingSuffix);
    // The link keeps the live log open for appending: a recording saved
    // over it would be cleaned into a new file while the link goes on
    // writing to the old one, and every later line would be lost.
    if (IsLiveLog(path)) {
        Ask().MessageBox(texts_.liveLogTarget + QLatin1Char(' ') + path, texts_.view,
                         BoxIcon::Warning, BoxButtons::Ok);
        return false;
    }
    ScopedPrompts scope(Ask());
    ShowLoading(texts_.saving);
    bool ok = true;
    if (!SameFilePath(path, currentFile_)) {
        busy_ = true;
        CommLogWriter* log = IsLiveLog(currentFile_) ? Log() : nullptr;
        if (log) log->Close();
        ok = CopyViewFile(currentFile_, path);
        if (log) log->Reopen();
        busy_ = false;
    }
    if (!ok) {
        HideLoading();
        Ask().MessageBox(texts_.notWritten + QLatin1Char(' ') + path, texts_.view,
                         BoxIcon::Critical, BoxButtons::Ok);
        return false;
    }
    currentFile_ = path;
    SetCaption(path);
    if (RecogniseViewFile(path) == ViewFileKind::Log) CleanLogRxTx(path);
    HideLoading();
    return true;
}

bool ViewerModel::CmdExportCsv_Click() {
    if (busy_ || drawnIndex_.empty()) return false;
    FileDialogRequest req;
    req.title = texts_.csv;
    req.filter = QString::fromLatin1(kCsvFilter);
    req.startFolder = SystemPath(QString::fromLatin1(kSamplesFolder));
    req.overwritePrompt = true;
    QString path = Ask().SaveFile(req);
    if (path.isEmpty()) return false;
    if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".csv");
    if (ExportCsv(path)) return true;
    Ask().MessageBox(texts_.notWritten + QLatin1Char(' ') + path, texts_.view, BoxIcon::Critical,
                     BoxButtons::Ok);
    return false;
}

bool ViewerModel::ExportCsv(const QString& path) const {
    // The samples in view: those drawn inside the picture.
    size_t begin = 0, end = 0;
    for (size_t k = 0; k < drawnX_.size(); ++k) {
        if (drawnX_[k] > kPictureWidth) break;
        if (end == 0) begin = static_cast<size_t>(drawnIndex_[k]);
        end = static_cast<size_t>(drawnIndex_[k]) + 1;
    }
    return AtomicWrite(path,
                       SamplesTable(samples_, begin, end, injector_, RecordingStartMs(), true));
}

void ViewerModel::SetCaption(const QString& path) {
    caption_ = QLatin1String(kViewCaption) + QLatin1Char('[') +
               (path.isEmpty() ? QString::fromLatin1(kNoFileCaption) : path) + QLatin1Char(']');
    emit captionChanged(caption_);
}

void ViewerModel::ShowLoading(const QString& text) {
    if (loadingVisible_ && loadingText_ == text) return;
    loadingVisible_ = true;
    loadingText_ = text;
    emit loading(true, text);
}

void ViewerModel::HideLoading() {
    if (!loadingVisible_) return;
    loadingVisible_ = false;
    emit loading(false, loadingText_);
}

void ViewerModel::UpdateSampleTimes() {
    if (samples_.empty()) {
        firstSampleMs_ = lastSampleMs_ = 0;
        return;
    }
    firstSampleMs_ = samples_.front().SampleTimeMs;
    lastSampleMs_ = std::nearbyint(samples_.back().SampleTimeMs);
}

void ViewerModel::SaveSettings() {
    // A settings file that cannot be written keeps its old content; the
    // viewer goes on with the settings it has.
    SaveViewerSettings(SystemPath(QString::fromLatin1(kOsciConfigPath)), channels_);
}

// --- Channels -----------------------------------------------------------------------------------

bool ViewerModel::ChannelDrawn(int c) const {
    return c >= 0 && c < kViewChannels && ticked_[static_cast<size_t>(c)] &&
           channels_[static_cast<size_t>(c)].shown;
}

bool ViewerModel::AnyChannelDrawn() const {
    for (int c = 0; c < kViewChannels; ++c)
        if (ChannelDrawn(c)) return true;
    return false;
}

double ViewerModel::ChannelY(int c, const ViewSample& s) const {
    const ChannelSetting& ch = channels_[static_cast<size_t>(c)];
    return ch.pos + kZeroOffset - DrawnValue(s, c, injector_) * ch.gain;
}

void ViewerModel::AfterChannelChange() {
    emit channelsChanged();
    SaveSettings();
    if (!runMode_) {
        CaricaScalaTemporale(false);
        RedrawSignals();
    }
    if (cursorX_) ShowReadout(*cursorX_);
}

void ViewerModel::ChkSignal_Click(int channel, bool ticked) {
    if (channel < 0 || channel >= kViewChannels) return;
    ticked_[static_cast<size_t>(channel)] = ticked;
    if (std::none_of(ticked_.begin(), ticked_.end(), [](bool t) { return t; })) {
        Ask().MessageBox(texts_.noCheck, texts_.view, BoxIcon::Critical, BoxButtons::Ok);
        ticked_[0] = true;
    }
    emit channelsChanged();
    if (!runMode_) RedrawSignals();
    if (cursorX_) ShowReadout(*cursorX_);
}

void ViewerModel::PctMostra_Click(int channel) {
    if (channel < 0 || channel >= kViewChannels) return;
    ChannelSetting& ch = channels_[static_cast<size_t>(channel)];
    ch.shown = !ch.shown;
    if (!AnyChannelDrawn()) {
        Ask().MessageBox(texts_.noCheck, texts_.view, BoxIcon::Critical, BoxButtons::Ok);
        ch.shown = true;
    }
    emit channelsChanged();
    SaveSettings();
    if (!runMode_) RedrawSignals();
    if (cursorX_) ShowReadout(*cursorX_);
}

void ViewerModel::LblSignal_Click(int channel) {
    if (channel < 0 || channel >= kViewChannels) return;
    selected_ = channel;
    emit channelsChanged();
}

void ViewerModel::CmbChnInj_Click(int index) {
    if (index < 0 || index >= kViewInjectors) return;
    injector_ = index;
    if (!runMode_) RedrawSignals();
    if (cursorX_) ShowReadout(*cursorX_);
}

void ViewerModel::CmdUp_Click() {
    double& pos = channels_[static_cast<size_t>(selected_)].pos;
    pos = ChannelUp(pos);
    AfterChannelChange();
}

void ViewerModel::CmdDw_Click() {
    double& pos = channels_[static_cast<size_t>(selected_)].pos;
    pos = ChannelDown(pos);
    AfterChannelChange();
}

void ViewerModel::CmdZoomIn_Click() {
    double& gain = channels_[static_cast<size_t>(selected_)].gain;
    gain = GainZoomIn(gain);
    AfterChannelChange();
}

void ViewerModel::CmdZoomOut_Click() {
    double& gain = channels_[static_cast<size_t>(selected_)].gain;
    gain = GainZoomOut(gain);
    AfterChannelChange();
}

void ViewerModel::CmdReset_Click() {
    const ChannelSettings defaults = DefaultChannelSettings();
    for (size_t c = 0; c < channels_.size(); ++c) {
        channels_[c].gain = defaults[c].gain;
        channels_[c].pos = defaults[c].pos;
    }
    AfterChannelChange();
}

QString ViewerModel::GainText() const {
    return QString::number(channels_[static_cast<size_t>(selected_)].gain, 'f', 3)
        .replace(QLatin1Char('.'), QLatin1Char(','));
}

QString ViewerModel::OffsetText() const {
    return QString::number(channels_[static_cast<size_t>(selected_)].pos, 'f', 3)
        .replace(QLatin1Char('.'), QLatin1Char(','));
}

// --- Time base and slider ---------------------------------------------------------------------

void ViewerModel::CmdSecDivP_Click() {
    secDiv_ = SecDivUp(secDiv_);
    zoom_ = 1;
    emit controlsChanged();
    SaveSettings();
    CaricaScalaTemporale(false);
    if (runMode_) {
        RestartSweep();
    } else {
        RedrawSignals();
        if (cursorX_) ShowReadout(*cursorX_);
    }
}

void ViewerModel::CmdSecDivM_Click() {
    secDiv_ = SecDivDown(secDiv_);
    zoom_ = 1;
    emit controlsChanged();
    SaveSettings();
    CaricaScalaTemporale(false);
    if (runMode_) {
        RestartSweep();
    } else {
        RedrawSignals();
        if (cursorX_) ShowReadout(*cursorX_);
    }
}

void ViewerModel::WheelZoom(int steps, double x) {
    if (runMode_ || busy_ || steps == 0) return;
    const double atMs = x / K() + sliderValue_;
    const double zoom = std::clamp(zoom_ * std::pow(kWheelZoomStep, steps), 1.0, kWheelZoomMax);
    if (zoom == zoom_) return;
    zoom_ = zoom;
    // The time under the pointer stays under it.
    sliderValue_ = static_cast<int>(std::clamp(std::nearbyint(atMs - x / K()), 0.0,
                                               static_cast<double>(std::max(sliderMax_, 0))));
    CaricaScalaTemporale(false);
    emit controlsChanged();
    RedrawSignals();
    if (cursorX_) ShowReadout(*cursorX_);
}

void ViewerModel::CaricaScalaTemporale(bool force) {
    const int remembered = sliderValue_;
    const double span = lastSampleMs_ - firstSampleMs_;
    if (span < 2) return;
    scrollSuppressed_ = true;
    sliderMax_ = static_cast<int>(std::min(span, 2147483647.0));
    // Half a screen.
    sliderLargeStep_ = std::max(1, static_cast<int>(kVisibleDivs * secDiv_ / 2 * 1000 / zoom_));
    if (!runMode_ && !force) {
        if (sliderMax_ < remembered) sliderValue_ = sliderMax_;
    } else {
        sliderValue_ = sliderMax_;
    }
    scrollSuppressed_ = false;
    emit controlsChanged();
}

void ViewerModel::SldSample_Scroll(int value) {
    if (scrollSuppressed_ || runMode_ || busy_) return;
    sliderValue_ = std::clamp(value, 0, std::max(sliderMax_, 0));
    RedrawSignals();
    if (cursorX_) ShowReadout(*cursorX_);
}

// --- Frames
// ------------------------------------------------------------------------------------------

void ViewerModel::ShowSettingsFrame() {
    settingsFrame_ = true;
    cylCoilFrame_ = true;
    emit controlsChanged();
}

void ViewerModel::CmdEscSet_Click() {
    SaveSettings();
    settingsFrame_ = false;
    emit controlsChanged();
    emit channelsChanged();
    if (runMode_) {
        RestartSweep();
    } else {
        RedrawSignals();
    }
}

void ViewerModel::CmdEscCylCoil_Click(int cylinders, int coils) {
    cylinders_ = cylinders;
    coils_ = coils;
    // Computed in single precision, as the ECU's own constant is.
    scales_.RpmConstant = static_cast<float>(ParamImage::RpmConstantFor(coils, cylinders));
    cylCoilChosen_ = true;
    ApplyRpmConstant();
    cylCoilFrame_ = false;
    emit controlsChanged();
    if (runMode_) {
        RestartSweep();
    } else {
        RedrawSignals();
        if (cursorX_) ShowReadout(*cursorX_);
    }
}

void ViewerModel::ApplyRpmConstant() {
    for (ViewSample& s : samples_)
        if (s.RpmPeriod > 0) s.Rpm = RpmOfPeriod(scales_.RpmConstant, s.RpmPeriod);
}

// --- Drawing
// -------------------------------------------------------------------------------------------

LiveSegment ViewerModel::DrawLinee(int& n) {
    LiveSegment seg;
    if (n < 1 || n >= static_cast<int>(samples_.size())) return seg;
    const ViewSample& a = samples_[static_cast<size_t>(n - 1)];
    const ViewSample& b = samples_[static_cast<size_t>(n)];
    const double k = UnitsPerMs(secDiv_);
    seg.x1 = std::nearbyint((a.SampleTimeMs - samples_.front().SampleTimeMs) * k);
    seg.x2 = std::nearbyint(seg.x1 + (b.SampleTimeMs - a.SampleTimeMs) * k);
    drawnX_.push_back(seg.x2);
    drawnIndex_.push_back(n);
    for (int c = 0; c < kViewChannels; ++c) {
        const size_t i = static_cast<size_t>(c);
        seg.drawn[i] = ChannelDrawn(c) && a.SampleTimeMs > 0;
        if (!seg.drawn[i]) continue;
        seg.y1[i] = ChannelY(c, a);
        seg.y2[i] = ChannelY(c, b);
    }
    if (seg.x1 > kPictureWidth) {
        // The next live sample starts the sweep again at the left edge.
        seg.restart = true;
        n = -1;
    } else {
        seg.erase = true;
        sweepHead_ = seg.x2;
    }
    return seg;
}

void ViewerModel::RedrawSignals() {
    drawnX_.clear();
    drawnIndex_.clear();
    firstVisible_ = static_cast<int>(samples_.size());
    if (!samples_.empty()) {
        const double t0 = samples_.front().SampleTimeMs;
        int first = -1;
        for (size_t i = 0; i < samples_.size(); ++i) {
            if (samples_[i].SampleTimeMs - t0 >= sliderValue_) {
                first = static_cast<int>(i);
                break;
            }
        }
        if (first >= 0) {
            firstVisible_ = first;
            const double k = K();
            double x = 0;
            drawnX_.push_back(0);
            drawnIndex_.push_back(first);
            for (size_t i = static_cast<size_t>(first) + 1; i < samples_.size(); ++i) {
                x = std::nearbyint(x +
                                   (samples_[i].SampleTimeMs - samples_[i - 1].SampleTimeMs) * k);
                drawnX_.push_back(x);
                drawnIndex_.push_back(static_cast<int>(i));
                // The segment that leaves the picture is the last one drawn.
                if (x > kPictureWidth) break;
            }
        }
    }
    emit redrawn();
}

// --- Cursors
// -------------------------------------------------------------------------------------------

QString ViewerModel::MinutesText(double ms) {
    const qint64 total = std::max<qint64>(0, static_cast<qint64>(std::nearbyint(ms)));
    const qint64 minutes = total / 60000;
    const qint64 seconds = (total % 60000) / 1000;
    const qint64 millis = total % 1000;
    // Minutes, seconds of two digits and milliseconds of three: "1:05.250 min".
    return QStringLiteral("%1:%2.%3 min")
        .arg(minutes)
        .arg(seconds, 2, 10, QLatin1Char('0'))
        .arg(millis, 3, 10, QLatin1Char('0'));
}

double ViewerModel::ReadoutTimeMs(double x) const {
    double ms = x / K() + sliderValue_;
    // A later window of a long file counts from the recording's start.
    if (window_.position > 1 && !samples_.empty()) ms += firstSampleMs_ - window_.recordingStartMs;
    return ms;
}

int ViewerModel::SampleUnder(double x) const {
    if (runMode_) {
        if (x > sweepHead_) return -1;
    }
    // The last drawn sample whose x is below the cursor.
    const auto it = std::lower_bound(drawnX_.begin(), drawnX_.end(), x);
    if (it == drawnX_.begin()) return -1;
    const size_t k = static_cast<size_t>(it - drawnX_.begin()) - 1;
    return drawnIndex_[k];
}

void ViewerModel::ShowReadout(double x) {
    if (busy_ || readoutBusy_) return;
    readoutBusy_ = true;
    if (x < 0) {
        cursorX_.reset();
    } else {
        cursorX_ = x;
    }
    timeLabel_ = runMode_ || !cursorX_ ? QString() : MinutesText(ReadoutTimeMs(x));
    const ViewSample* s = nullptr;
    int index = -1;
    if (cursorX_) {
        index = SampleUnder(x);
        if (index >= 0) {
            s = &samples_[static_cast<size_t>(index)];
        } else if (runMode_ && x > sweepHead_) {
            // Right of the head the previous sweep is still on the picture.
            const auto it = std::lower_bound(prevX_.begin(), prevX_.end(), x);
            if (it != prevX_.begin()) {
                const size_t k = static_cast<size_t>(it - prevX_.begin()) - 1;
                if (prevX_[k] > sweepHead_ && k < prevSamples_.size()) s = &prevSamples_[k];
            }
        }
    }
    for (int c = 0; c < kViewChannels; ++c) {
        const size_t i = static_cast<size_t>(c);
        QString label = texts_.names[i];
        if (s)
            label += QLatin1Char('\n') + (ChannelDrawn(c)
                                              ? ReadoutText(ReadoutValue(*s, c, injector_), c)
                                              : QString::fromLatin1(kHiddenValue));
        signalLabels_[i] = label;
    }
    ShowDeltas(runMode_ ? -1 : index);
    readoutBusy_ = false;
    emit readoutChanged();
}

void ViewerModel::ShowDeltas(int sampleA) {
    deltaTimeLabel_.clear();
    for (QString& d : deltaLabels_) d.clear();
    if (!secondSample_ || *secondSample_ >= static_cast<int>(samples_.size())) return;
    const ViewSample& b = samples_[static_cast<size_t>(*secondSample_)];
    if (sampleA < 0) {
        // Only the second cursor: where it stands.
        deltaTimeLabel_ = MinutesText(b.SampleTimeMs - window_.recordingStartMs);
        return;
    }
    const ViewSample& a = samples_[static_cast<size_t>(sampleA)];
    const double dt = (a.SampleTimeMs - b.SampleTimeMs) / 1000;
    deltaTimeLabel_ = texts_.delta + QLatin1Char(' ') +
                      (dt >= 0 ? QStringLiteral("+") : QString()) +
                      QString::number(dt, 'f', 3).replace(QLatin1Char('.'), QLatin1Char(',')) +
                      QStringLiteral(" s");
    for (int c = 0; c < kViewChannels; ++c) {
        if (!ChannelDrawn(c)) {
            deltaLabels_[static_cast<size_t>(c)] = QString::fromLatin1(kHiddenValue);
            continue;
        }
        const double d = ReadoutValue(a, c, injector_) - ReadoutValue(b, c, injector_);
        const QString t = ReadoutText(d, c);
        deltaLabels_[static_cast<size_t>(c)] =
            (t.startsWith(QLatin1Char('-')) ? QString() : QStringLiteral("+")) + t;
    }
}

void ViewerModel::SetSecondCursor(double x) {
    if (runMode_ || busy_) return;
    const int index = SampleUnder(x);
    if (index < 0) return;
    secondSample_ = index;
    ShowReadout(cursorX_.value_or(x));
}

void ViewerModel::ClearSecondCursor() {
    if (!secondSample_) return;
    secondSample_.reset();
    ShowDeltas(-1);
    emit readoutChanged();
}

std::optional<double> ViewerModel::SecondCursorX() const {
    if (!secondSample_ || drawnIndex_.empty()) return std::nullopt;
    const int k = *secondSample_ - drawnIndex_.front();
    if (k < 0 || k >= static_cast<int>(drawnX_.size())) return std::nullopt;
    return drawnX_[static_cast<size_t>(k)];
}

}  // namespace gascal
