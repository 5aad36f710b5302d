// The signal viewer (FrmView) without widgets: its two modes and the
// window's commands, over the parts that hold the viewer's state:
//   SampleStore    the samples, the file they came from, the live sweep
//   TimeAxis       time base, wheel zoom and scroll slider
//   ChannelSet     the eight channels' settings, ticks and selection
//   TraceLayout    where the samples lie on the picture
//   CursorReadout  the time and values at the cursors
//
// Run mode: the viewer's own timer (Timer1) asks the ECU for the live-data
// block on every tick and the newest sample extends the sweeping trace.
// Stop mode: a file (the live log, a saved recording or a table text file)
// is decoded into samples that are scrolled, zoomed and read with two
// cursors. The widget draws what the model computes and forwards the
// user's actions to the commands here, named as the window's handlers.
#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "common/EventService.h"
#include "common/Prompts.h"
#include "viewer/model/ChannelSet.h"
#include "viewer/model/CursorReadout.h"
#include "viewer/model/RecordingFiles.h"
#include "viewer/model/SampleStore.h"
#include "viewer/model/TimeAxis.h"
#include "viewer/model/TraceLayout.h"
#include "viewer/model/ViewSample.h"
#include "viewer/model/ViewerSettings.h"
#include "viewer/model/ViewerTexts.h"

namespace gascal {

class CommLogWriter;
class EcuSession;
class PollingCycle;

inline constexpr int kViewTimerMs = 50;  // Timer1: one live sample per tick
inline constexpr const char* kViewCaption = "View 1.1 - ";
inline constexpr const char* kNoFileCaption = "- - -";
inline constexpr const char* kViewFilter = "View Files  (*.vfl)|*.vfl|Text Files  (*.txt)|*.txt";
inline constexpr const char* kSaveFilter = "View Files  (*.vfl)|*.vfl|";
inline constexpr const char* kCsvFilter = "CSV Files  (*.csv)|*.csv|";
inline constexpr int kCylinderChoices[] = {1, 2, 3, 4, 5, 6, 8};

class ViewerModel : public QObject {
    Q_OBJECT
  public:
    ViewerModel(EcuSession& session, PollingCycle& cycle, QObject* parent = nullptr);
    ~ViewerModel() override;
    ViewerModel(const ViewerModel&) = delete;
    ViewerModel& operator=(const ViewerModel&) = delete;

    const ViewerTexts& Texts() const { return texts_; }
    const SampleStore& Store() const { return store_; }
    const TimeAxis& Axis() const { return axis_; }
    const TraceLayout& Trace() const { return trace_; }
    const CursorReadout& Readout() const { return readout_; }

    // --- Start and close ---------------------------------------------------------
    // Form_Load: empty list, settings file, samples folder, the log started
    // with the viewer's constants, then run mode (stop mode with run and stop
    // disabled while the link is stopped).
    void Form_Load();
    // Closing the window: while running, the close waits for the end of the
    // next tick (stop first); returns true when the window may close now.
    bool Form_QueryUnload();
    bool CloseRequested() const { return closeRequested_; }

    // --- Modes ------------------------------------------------------------------------
    bool RunMode() const { return runMode_; }
    bool RunStopEnabled() const { return runStopEnabled_; }
    // OptRun(0) run, OptRun(1) stop (handled at the end of the next tick).
    void OptRun_Click(int index);
    bool StopRequested() const { return stopRequested_; }
    // One live sample per tick, then the stop, close and fuel switch asked for.
    void Timer1_Timer();
    Timer& SampleTimer() { return *timer_; }
    // The fuel switch picture was released: the main window's fuel switch
    // is asked for at the end of the next tick.
    void PctCommutatore_Click() { switchRequested_ = true; }

    // --- Files ----------------------------------------------------------------------------
    const QString& CurrentFile() const { return store_.CurrentFile(); }
    QString LiveLogPath() const { return store_.LiveLogPath(); }
    bool IsLiveLog(const QString& path) const { return store_.IsLiveLog(path); }
    // Recognises the file and reads it (a log: its constants, then one
    // window moved by `direction`). An unrecognised file leaves the list empty.
    ViewFileKind OpenViewFile(const QString& path, int direction);
    void CmdOpen_Click();
    void CmdReload_Click();
    void CmdSeekNext_Click() { SeekWindow(1); }
    void CmdSeekPrev_Click() { SeekWindow(-1); }
    // Asks for a file name, copies the current file there, cleans the copy
    // when it is a log and makes it the current file. True when saved.
    bool SaveViewFile();
    void CmdSaveLogOsc_Click() { SaveViewFile(); }
    // The samples in view to a CSV file (asks for the name).
    bool CmdExportCsv_Click();
    bool ExportCsv(const QString& path) const;
    const LogWindow& Window() const { return store_.Window(); }
    bool WindowButtonsVisible() const { return Window().windowed && windowButtonsShown_; }
    // "CYLINDER" shows or hides the window buttons.
    void Label1_Click() {
        windowButtonsShown_ = !windowButtonsShown_;
        emit controlsChanged();
    }
    const LoadStats& LastLoad() const { return store_.LastLoad(); }

    // --- Samples ----------------------------------------------------------------------------
    const std::vector<ViewSample>& Samples() const { return store_.Samples(); }
    const ViewScales& Scales() const { return store_.Scales(); }
    double RecordingStartMs() const { return store_.RecordingStartMs(); }
    double FirstSampleMs() const { return store_.FirstSampleMs(); }
    double LastSampleMs() const { return store_.LastSampleMs(); }

    // --- Channels -----------------------------------------------------------------------------
    const ChannelSettings& Channels() const { return channels_.Settings(); }
    bool Ticked(int c) const { return channels_.Ticked(c); }
    bool ChannelDrawn(int c) const { return channels_.Drawn(c); }
    int SelectedChannel() const { return channels_.Selected(); }
    int SelectedInjector() const { return channels_.Injector(); }
    void ChkSignal_Click(int channel, bool ticked);
    void PctMostra_Click(int channel);
    void LblSignal_Click(int channel);
    void CmbChnInj_Click(int index);
    void CmdUp_Click();
    void CmdDw_Click();
    void CmdZoomIn_Click();
    void CmdZoomOut_Click();
    void CmdReset_Click();
    QString GainText() const { return channels_.GainText(); }
    QString OffsetText() const { return channels_.PositionText(); }
    double ChannelY(int c, const ViewSample& s) const { return channels_.Y(c, s); }
    double ZeroLineY(int c) const { return channels_.ZeroLineY(c); }

    // --- Time base and slider ---------------------------------------------------------------
    double SecDiv() const { return axis_.SecDiv(); }
    double TimeZoom() const { return axis_.Zoom(); }
    double K() const { return axis_.K(); }
    bool SecDivPlusEnabled() const { return axis_.PlusEnabled(); }
    bool SecDivMinusEnabled() const { return axis_.MinusEnabled(); }
    QString SecDivLabel() const { return axis_.Label(); }
    void CmdSecDivP_Click();
    void CmdSecDivM_Click();
    // Mouse wheel over the picture in stop mode: `steps` notches (positive
    // zooms in), keeping the time under `x` in place.
    void WheelZoom(int steps, double x);
    // The slider's range from the loaded samples and the time base
    // (CaricaScalaTemporale); in run mode, or forced, it shows the newest.
    void FitTimeScale(bool force);
    int SliderMax() const { return axis_.SliderMax(); }
    int SliderValue() const { return axis_.SliderValue(); }
    int SliderLargeStep() const { return axis_.SliderLargeStep(); }
    bool SliderVisible() const { return !runMode_; }
    bool ScrollSuppressed() const { return axis_.ScrollSuppressed(); }
    void SldSample_Scroll(int value);

    // --- Frames ------------------------------------------------------------------------------
    bool SettingsFrameVisible() const { return settingsFrame_; }
    bool CylCoilFrameVisible() const { return cylCoilFrame_; }
    // Ctrl+Shift+Alt+S shows the "Setting" frame (and the cylinder frame).
    void ShowSettingsFrame();
    void CmdEscSet_Click();
    // Applies the counts chosen in CmbCyl and CmbCoil: the viewer's
    // revolution constant becomes coils * 240000000 / (16 * cylinders).
    void CmdEscCylCoil_Click(int cylinders, int coils);
    int Cylinders() const { return cylinders_; }
    int Coils() const { return coils_; }

    // --- Drawing ----------------------------------------------------------------------------
    // The live segment ending at sample n (n >= 1), DrawLinee. Sets n to -1
    // when the sweep starts again.
    LiveSegment DrawLiveSegment(int& n);
    // Lays out every sample drawn from the first visible one.
    void RedrawSignals();
    const std::vector<double>& DrawnX() const { return trace_.DrawnX(); }
    const std::vector<int>& DrawnIndex() const { return trace_.DrawnIndex(); }
    int FirstVisible() const { return trace_.FirstVisible(); }
    double SweepHead() const { return trace_.SweepHead(); }
    int SampleIndex() const { return trace_.SampleIndex(); }
    const std::vector<ViewSample>& PreviousSweep() const { return trace_.PreviousSweep(); }
    const std::vector<double>& PreviousSweepX() const { return trace_.PreviousSweepX(); }
    // Where the viewer's questions and file dialogs go (the process's
    // prompts unless the window gives its own).
    void SetPrompts(Prompts* prompts) { prompts_ = prompts; }
    Prompts& Ask() const { return prompts_ ? *prompts_ : UserPrompts(); }
    bool Busy() const { return busy_; }

    // --- Cursors ------------------------------------------------------------------------------
    // The time label and the eight value labels for the cursor x.
    void ShowReadout(double x);
    std::optional<double> CursorX() const { return readout_.CursorX(); }
    const QString& TimeLabel() const { return readout_.TimeLabel(); }
    const QString& SignalLabel(int c) const { return readout_.SignalLabel(c); }
    // The second cursor: placed on the sample under x (stop mode only);
    // the read-out then gives the differences in time and value from it.
    void SetSecondCursor(double x);
    void ClearSecondCursor();
    std::optional<int> SecondCursorSample() const { return readout_.SecondCursorSample(); }
    std::optional<double> SecondCursorX() const { return readout_.SecondCursorX(); }
    const QString& DeltaTimeLabel() const { return readout_.DeltaTimeLabel(); }
    const QString& DeltaLabel(int c) const { return readout_.DeltaLabel(c); }
    // The sample under cursor x (stop mode: of the drawn ones), or -1.
    int SampleUnder(double x) const { return trace_.SampleUnder(x, runMode_); }

    // --- Caption and indicator ------------------------------------------------------------
    const QString& Caption() const { return caption_; }
    bool LoadingVisible() const { return loadingVisible_; }
    const QString& LoadingText() const { return loadingText_; }
    bool FileCommandsEnabled() const { return !runMode_; }

  signals:
    void loading(bool visible, const QString& text);
    void pictureCleared();
    void segmentDrawn(const gascal::LiveSegment& segment);
    void redrawn();
    void readoutChanged();
    void captionChanged(const QString& caption);
    // Modes, buttons, slider range and position, frames.
    void controlsChanged();
    // Channel labels, zero markers, selection, gain and position labels.
    void channelsChanged();
    // The window is to close now (after the tick that handled the stop).
    void closeNow();

  private:
    void EnterRunMode();
    void StartRun();
    void StopRun();
    void StartLog();
    void SaveSettings();
    void SeekWindow(int direction);
    void LoadFile(const QString& path, int direction, bool setCaption);
    void SetCaption(const QString& path);
    void ShowLoading(const QString& text);
    void HideLoading();
    void NoChannelLeft();
    void AfterChannelChange();
    void AfterTimeBaseChange();
    // In stop mode the picture is laid out again; the read-out follows.
    void RedrawAndRead();
    void TakeSample();
    void EndOfTick();

    EcuSession& session_;
    PollingCycle& cycle_;
    ViewerTexts texts_;
    std::unique_ptr<Timer> timer_;

    SampleStore store_;
    TimeAxis axis_;
    ChannelSet channels_;
    TraceLayout trace_;
    CursorReadout readout_;

    bool windowButtonsShown_ = true;
    int cylinders_ = 4, coils_ = 4;
    bool cylCoilChosen_ = false;  // the frame's revolution constant is in use

    // Window state.
    QString caption_;
    bool loadingVisible_ = false;
    QString loadingText_;
    bool settingsFrame_ = false;
    bool cylCoilFrame_ = true;

    // Flags.
    bool runMode_ = false;
    bool runStopEnabled_ = true;
    Prompts* prompts_ = nullptr;
    bool busy_ = false;         // a file is being read
    bool loadingForm_ = false;  // set during Form_Load
    bool stopRequested_ = false;
    bool closeRequested_ = false;
    bool restartSweep_ = false;
    bool tickBusy_ = false;
    bool switchRequested_ = false;
    bool readoutBusy_ = false;
};

}  // namespace gascal
