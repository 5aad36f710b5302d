#include "viewer/model/ViewerModel.h"

#include <QFileInfo>

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

constexpr const char* kRecordingSuffix = ".vfl";

int ClosestChoice(int v) {
    for (int c : kCylinderChoices)
        if (c == v) return v;
    return 4;
}

QString SettingsPath() {
    return SystemPath(QString::fromLatin1(kOsciConfigPath));
}

}  // namespace

ViewerModel::ViewerModel(EcuSession& session, PollingCycle& cycle, QObject* parent)
    : QObject(parent),
      session_(session),
      cycle_(cycle),
      texts_(LoadViewerTexts(session)),
      readout_(store_, trace_, channels_, axis_, texts_) {
    timer_ = std::make_unique<Timer>("FrmView.Timer1", kViewTimerMs, [this] { Timer1_Timer(); });
}

ViewerModel::~ViewerModel() {
    if (timer_) timer_->SetEnabled(false);
}

// --- Start and close ----------------------------------------------------------------------

void ViewerModel::Form_Load() {
    loadingForm_ = true;
    store_.Clear();
    axis_.Reset();
    EnsureSamplesFolder();
    channels_.LoadFile(SettingsPath());
    const ParamImage& image = session_.Image();
    cylinders_ = ClosestChoice(image.Mem3Block.NumCylinders);
    coils_ = ClosestChoice(image.Mem3Block.NumCoils);
    store_.SetScales(ViewScales::FromImage(image));
    if (session_.Comm().ComState() == ComState::Stopped) {
        // Offline: nothing to sample; the files can still be read.
        StartLog();
        runMode_ = false;
        runStopEnabled_ = false;
        store_.SetCurrentFile(LiveLogPath());
        SetCaption(store_.CurrentFile());
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
    CommLogWriter* log = dynamic_cast<CommLogWriter*>(&CommLog());
    if (!log) return;
    // The log records the constants the live samples are decoded with.
    log->StartLogRxTx(session_.ProductTitle(), CommLogWriter::Constants{store_.Scales().RpmConstant,
                                                                        session_.Image().KLambda});
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
    axis_.ResetZoom();
    ClearSecondCursor();
    emit controlsChanged();
    SaveSettings();
    // Live samples carry the image's factors, with the revolution constant
    // the cylinder and coil frame chose, if any.
    const double chosen = cylCoilChosen_ ? store_.Scales().RpmConstant : 0;
    ViewScales scales = ViewScales::FromImage(session_.Image());
    if (cylCoilChosen_) scales.RpmConstant = chosen;
    store_.SetScales(scales);
    // The new log starts before the first sample, so that the recording
    // holds every sample of the run.
    StartLog();
    StartRun();
    timer_->SetEnabled(true);
}

void ViewerModel::StartRun() {
    axis_.SetSliderValue(0);
    store_.Clear();
    store_.EmptySweep();
    trace_.Clear(-1);
    store_.SetCurrentFile(LiveLogPath());
    SetCaption(QString());
    ClsComm& comm = session_.Comm();
    if (!comm.WDogPresente()) comm.SendAndWait(BuildRequest(CMD_READ_MEM1));
    const ParamImage& image = session_.Image();
    store_.StartRun(SampleFromLive(image.Mem1Block, image, store_.Scales().RpmConstant));
    trace_.StartRun();
    emit pictureCleared();
}

void ViewerModel::Timer1_Timer() {
    if (tickBusy_) return;
    tickBusy_ = true;
    if (restartSweep_) {
        restartSweep_ = false;
        store_.EmptySweep();
        trace_.Clear(-1);
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
    const ViewSample s = SampleFromLive(image.Mem1Block, image, store_.Scales().RpmConstant);
    if (trace_.NextSample() == 0) {
        // A new sweep: the old one stays on the picture right of the head.
        trace_.StartSweep(store_.StartSweep(s));
    } else {
        store_.Append(s);
        int n = trace_.SampleIndex();
        const LiveSegment segment = DrawLiveSegment(n);
        emit segmentDrawn(segment);
    }
    ShowReadout(readout_.CursorX().value_or(-1));
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
    if (FileExists(store_.CurrentFile())) {
        OpenViewFile(store_.CurrentFile(), 0);
        FitTimeScale(false);
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
    ReadHooks hooks;
    hooks.loading = [this] { ShowLoading(texts_.loading); };
    hooks.yield = [] { Events().ProcessEvents(); };
    const ViewFileKind kind = store_.Read(path, direction, runMode_, hooks);
    busy_ = false;
    ClearSecondCursor();
    if (kind == ViewFileKind::Unrecognised)
        Ask().MessageBox(texts_.notRecognised + QLatin1Char(' ') + path, texts_.view,
                         BoxIcon::Information, BoxButtons::Ok);
    emit controlsChanged();
    return kind;
}

void ViewerModel::LoadFile(const QString& path, int direction, bool setCaption) {
    ShowLoading(texts_.loading);
    if (setCaption) {
        store_.SetCurrentFile(path);
        SetCaption(path);
        SaveSettings();
    }
    OpenViewFile(path, direction);
    FitTimeScale(false);
    RedrawSignals();
    HideLoading();
    if (const auto x = readout_.CursorX()) ShowReadout(*x);
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
    store_.RewindWindow();
    axis_.SetSliderValue(0);
    LoadFile(path, 0, true);
}

void ViewerModel::CmdReload_Click() {
    SeekWindow(0);
}

void ViewerModel::SeekWindow(int direction) {
    if (runMode_ || busy_ || store_.CurrentFile().isEmpty()) return;
    LoadFile(store_.CurrentFile(), direction, false);
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
    busy_ = true;
    const bool ok = store_.CopyCurrentTo(path);
    busy_ = false;
    if (!ok) {
        HideLoading();
        Ask().MessageBox(texts_.notWritten + QLatin1Char(' ') + path, texts_.view,
                         BoxIcon::Critical, BoxButtons::Ok);
        return false;
    }
    store_.SetCurrentFile(path);
    SetCaption(path);
    if (RecogniseViewFile(path) == ViewFileKind::Log) CleanRecording(path);
    HideLoading();
    return true;
}

bool ViewerModel::CmdExportCsv_Click() {
    if (busy_ || trace_.DrawnIndex().empty()) return false;
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
    const auto [begin, end] = trace_.InView();
    return AtomicWrite(path, SamplesTable(store_.Samples(), begin, end, channels_.Injector(),
                                          RecordingStartMs(), true));
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

void ViewerModel::SaveSettings() {
    channels_.SaveFile(SettingsPath());
}

}  // namespace gascal
