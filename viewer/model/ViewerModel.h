// The signal viewer (FrmView) without widgets: its two modes, the samples
// it shows, the channels' settings, the time base and scroll position, the
// geometry of what is drawn, the cursor read-outs and the window's commands.
//
// Run mode: the viewer's own timer (Timer1) asks the ECU for the live-data
// block on every tick and the newest sample extends the sweeping trace.
// Stop mode: a file (the live log, a saved recording or a table text file)
// is decoded into samples that are scrolled, zoomed and read with two
// cursors. The widget draws what this model computes (DrawLinee gives the
// live segment, RedrawSignals the x of every drawn sample) and forwards the
// user's actions to the commands here, named as the window's handlers.
#pragma once

#include <QObject>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "common/EventService.h"
#include "common/Prompts.h"
#include "viewer/model/RecordingFiles.h"
#include "viewer/model/ViewSample.h"
#include "viewer/model/ViewerSettings.h"

namespace gascal {

class CommLogWriter;
class EcuSession;
class PollingCycle;

inline constexpr int kViewTimerMs = 50;         // Timer1: one live sample per tick
inline constexpr int kLiveSweepSamples = 2401;  // samples of one sweep (120 s at 50 ms)
inline constexpr const char* kViewCaption = "View 1.1 - ";
inline constexpr const char* kNoFileCaption = "- - -";
inline constexpr const char* kHiddenValue = "- - -";
inline constexpr const char* kViewFilter = "View Files  (*.vfl)|*.vfl|Text Files  (*.txt)|*.txt";
inline constexpr const char* kSaveFilter = "View Files  (*.vfl)|*.vfl|";
inline constexpr const char* kCsvFilter = "CSV Files  (*.csv)|*.csv|";
inline constexpr int kCylinderChoices[] = {1, 2, 3, 4, 5, 6, 8};
// Mouse-wheel zoom of the time axis: a factor on top of the time base.
inline constexpr double kWheelZoomStep = 1.25;
inline constexpr double kWheelZoomMax = 32;

// The texts of the window (dictionary section "[FrmView]").
struct ViewerTexts {
    QString view;  // caption of the window's title, box titles and the main window's button
    QString run, stop, open, reload, save, reset, csv;
    QString setting, esc, cylCoil, cylinder, coil;
    QString loading, saving, linkWait;
    QString noCheck, saveLastData;
    QString up, down, zoomIn, zoomOut, injector, secDiv;
    QString cursorHint, delta;
    QString notRecognised, notWritten, liveLogTarget;
    std::array<QString, kViewChannels> names;  // channel name and unit
};
ViewerTexts LoadViewerTexts(const EcuSession& session);

// One live segment as DrawLinee computed it.
struct LiveSegment {
    double x1 = 0, x2 = 0;
    // Per channel: drawn, and the heights before and after the step.
    std::array<bool, kViewChannels> drawn{};
    std::array<double, kViewChannels> y1{}, y2{};
    bool erase = false;    // the erase band from x2 + 15 to x2 + 150 over the full height
    bool restart = false;  // x1 lay beyond the picture: the next sample starts a new sweep
};

class ViewerModel : public QObject {
    Q_OBJECT
  public:
    ViewerModel(EcuSession& session, PollingCycle& cycle, QObject* parent = nullptr);
    ~ViewerModel() override;
    ViewerModel(const ViewerModel&) = delete;
    ViewerModel& operator=(const ViewerModel&) = delete;

    const ViewerTexts& Texts() const { return texts_; }

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
    void Timer1_Timer();
    Timer& SampleTimer() { return *timer_; }
    // The fuel switch picture was released: the main window's fuel switch
    // is asked for at the end of the next tick.
    void PctCommutatore_Click() { switchRequested_ = true; }

    // --- Files ----------------------------------------------------------------------------
    const QString& CurrentFile() const { return currentFile_; }
    QString LiveLogPath() const;
    bool IsLiveLog(const QString& path) const;
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
    const LogWindow& Window() const { return window_; }
    bool WindowButtonsVisible() const { return window_.windowed && windowButtonsShown_; }
    // Label1_Click ("CYLINDER"): shows or hides the window buttons.
    void Label1_Click() {
        windowButtonsShown_ = !windowButtonsShown_;
        emit controlsChanged();
    }
    const LoadStats& LastLoad() const { return lastLoad_; }

    // --- Samples ----------------------------------------------------------------------------
    const std::vector<ViewSample>& Samples() const { return samples_; }
    const ViewScales& Scales() const { return scales_; }
    double RecordingStartMs() const { return window_.recordingStartMs; }
    double FirstSampleMs() const { return firstSampleMs_; }
    double LastSampleMs() const { return lastSampleMs_; }

    // --- Channels -----------------------------------------------------------------------------
    const ChannelSettings& Channels() const { return channels_; }
    bool Ticked(int c) const { return ticked_[static_cast<size_t>(c)]; }
    // Ticked and shown: drawn and read out.
    bool ChannelDrawn(int c) const;
    int SelectedChannel() const { return selected_; }
    int SelectedInjector() const { return injector_; }
    void ChkSignal_Click(int channel, bool ticked);
    void PctMostra_Click(int channel);
    void LblSignal_Click(int channel);
    void CmbChnInj_Click(int index);
    void CmdUp_Click();
    void CmdDw_Click();
    void CmdZoomIn_Click();
    void CmdZoomOut_Click();
    void CmdReset_Click();
    // "1024,000" with three decimals, and the position.
    QString GainText() const;
    QString OffsetText() const;
    // Height of channel c's value in a sample, in drawing units.
    double ChannelY(int c, const ViewSample& s) const;
    double ZeroLineY(int c) const { return channels_[static_cast<size_t>(c)].pos + kZeroOffset; }

    // --- Time base and slider ---------------------------------------------------------------
    double SecDiv() const { return secDiv_; }
    double TimeZoom() const { return zoom_; }
    // Drawing units per millisecond with the wheel zoom.
    double K() const { return UnitsPerMs(secDiv_) * zoom_; }
    bool SecDivPlusEnabled() const { return secDiv_ < kSecDivMax; }
    bool SecDivMinusEnabled() const { return secDiv_ > kSecDivMin; }
    QString SecDivLabel() const { return SecDivText(secDiv_ / zoom_); }
    void CmdSecDivP_Click();
    void CmdSecDivM_Click();
    // Mouse wheel over the picture in stop mode: `steps` notches (positive
    // zooms in), keeping the time under `x` in place.
    void WheelZoom(int steps, double x);
    void CaricaScalaTemporale(bool force);
    int SliderMax() const { return sliderMax_; }
    int SliderValue() const { return sliderValue_; }
    int SliderLargeStep() const { return sliderLargeStep_; }
    bool SliderVisible() const { return !runMode_; }
    bool ScrollSuppressed() const { return scrollSuppressed_; }
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
    // DrawLinee: the live segment ending at sample n (n >= 1). Sets n to -1
    // when the sweep starts again.
    LiveSegment DrawLinee(int& n);
    // RedrawSignals: the x of every sample drawn from the first visible one.
    void RedrawSignals();
    const std::vector<double>& DrawnX() const { return drawnX_; }
    const std::vector<int>& DrawnIndex() const { return drawnIndex_; }
    int FirstVisible() const { return firstVisible_; }
    double SweepHead() const { return sweepHead_; }
    int SampleIndex() const { return sampleIndex_; }
    // The previous sweep, still on the picture right of the head.
    const std::vector<ViewSample>& PreviousSweep() const { return prevSamples_; }
    const std::vector<double>& PreviousSweepX() const { return prevX_; }
    // Where the viewer's questions and file dialogs go (the process's
    // prompts unless the window gives its own).
    void SetPrompts(Prompts* prompts) { prompts_ = prompts; }
    Prompts& Ask() const { return prompts_ ? *prompts_ : UserPrompts(); }
    bool Busy() const { return busy_; }

    // --- Cursors ------------------------------------------------------------------------------
    // ShowReadout: the time label and the eight value labels for the cursor x.
    void ShowReadout(double x);
    std::optional<double> CursorX() const { return cursorX_; }
    const QString& TimeLabel() const { return timeLabel_; }
    const QString& SignalLabel(int c) const { return signalLabels_[static_cast<size_t>(c)]; }
    // The second cursor: placed on the sample under x (stop mode only);
    // the read-out then gives the differences in time and value from it.
    void SetSecondCursor(double x);
    void ClearSecondCursor();
    std::optional<int> SecondCursorSample() const { return secondSample_; }
    // The x of the second cursor's sample when it is drawn.
    std::optional<double> SecondCursorX() const;
    const QString& DeltaTimeLabel() const { return deltaTimeLabel_; }
    const QString& DeltaLabel(int c) const { return deltaLabels_[static_cast<size_t>(c)]; }
    // The sample under cursor x (stop mode: of the drawn ones), or -1.
    int SampleUnder(double x) const;
    // " 1: 05. 250 min " for 65.25 s.
    static QString MinutesText(double ms);

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
    void RestartSweep();
    void SaveSettings();
    void SeekWindow(int direction);
    void LoadFile(const QString& path, int direction, bool setCaption);
    void SetCaption(const QString& path);
    void ShowLoading(const QString& text);
    void HideLoading();
    void AfterChannelChange();
    bool AnyChannelDrawn() const;
    void TakeSample();
    void EndOfTick();
    void UpdateSampleTimes();
    void ApplyRpmConstant();
    CommLogWriter* Log() const;
    double ReadoutTimeMs(double x) const;
    void ShowDeltas(int sampleA);

    EcuSession& session_;
    PollingCycle& cycle_;
    ViewerTexts texts_;
    ViewScales scales_;
    std::unique_ptr<Timer> timer_;

    // Samples and file.
    std::vector<ViewSample> samples_;
    QString currentFile_;
    LogWindow window_;
    LoadStats lastLoad_;
    double firstSampleMs_ = 0, lastSampleMs_ = 0;
    bool windowButtonsShown_ = true;

    // Channels.
    ChannelSettings channels_;
    std::array<bool, kViewChannels> ticked_{};
    int selected_ = 0;
    int injector_ = 0;
    int cylinders_ = 4, coils_ = 4;
    bool cylCoilChosen_ = false;  // the frame's revolution constant is in use

    // Time base and slider.
    double secDiv_ = kSecDivDefault;
    double zoom_ = 1;
    int sliderMax_ = 0, sliderValue_ = 0, sliderLargeStep_ = 0;

    // Drawing.
    int sampleIndex_ = -1;
    std::vector<double> drawnX_;
    std::vector<int> drawnIndex_;
    int firstVisible_ = 0;
    double sweepHead_ = 0;
    std::vector<ViewSample> prevSamples_;
    std::vector<double> prevX_;

    // Cursors.
    std::optional<double> cursorX_;
    QString timeLabel_;
    std::array<QString, kViewChannels> signalLabels_;
    std::optional<int> secondSample_;
    QString deltaTimeLabel_;
    std::array<QString, kViewChannels> deltaLabels_;

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
    bool scrollSuppressed_ = false;
    bool tickBusy_ = false;
    bool switchRequested_ = false;
    bool readoutBusy_ = false;
};

}  // namespace gascal
