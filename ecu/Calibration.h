// The automatic calibration: with the engine running, the tool switches the
// ECU between petrol and gas by itself, averages the petrol time that the
// car's own petrol controller demands on each fuel, and moves OFFSET until
// the demand on gas matches the demand on petrol, first at a raised engine
// speed ("TaraMax" cycles), then at idle ("TaraMin" cycles). At the end the
// model is bent by the injector type's shape text and brought within the
// limits of the configuration. Every cycle is logged in \TaraCorr.txt. An
// abort puts back everything the calibration changed.
//
// No widgets: the Calibration tab and gascal-cli show what it says (message,
// step, progress, blinking boxes) and forward "Yes" (CmdCalStart_Click) and
// "Esc" (CmdCalCancel_Click). Timer3 (250 ms) runs it on the time and event
// layer while a calibration runs; its requests go through the link's send
// and wait with the window's three attempts, so the polling cycle may run
// beside it.
//
// States (CalState keeps the system's numbers) and steps:
//
//            Yes
//   [0 Idle] ---> [2 Start] --slave--> [3 WaitGasTemp] --warm--> [6 IdleSettle]   step 00 / 01
//      ^                                    |  engine check fails:       |
//      |                                    |  abort at once             v
//      |                                    |                  [7 IdleReference]
//      |                                    v                            |
//      |                               (state 23)                        v
//      |                                                        [8 RaisedWait]         step 02
//      |                                                               |
//      |                                                               v
//      |                                                     [9 RaisedReference]
//      |                                                               |
//      |                                       +-----------------------+
//      |                                       v                      |
//      |                 [11 TaraMaxSettle] <--+-- [10 TaraMax] <-----+
//      |                          |   (not done)        ^  | done (stable or cycles)
//      |                          +---------------------+  v
//      |                                            [12 IdleWait]         step 03
//      |                                                   |
//      |                 [14 TaraMinSettle] <-- [13 TaraMin]<+
//      |                          +----------------------^  |
//      |                                                    | done
//      |              two-point on: [24 ConfirmRaisedWait] -> [25 ConfirmTaraMax]   step 04
//      |                             (before, then after the new line, via 26)
//      |                             -> [27 ConfirmIdleWait] -> [28 ConfirmTaraMin]
//      |                                                    |
//      |                                    point 1, shape text, final limits
//      |                                          |                   |
//      |    Yes: gas, then idle        [20 End] <-- Yes -- [21 EndWithLimit]
//      +-------------------------------------+                        | Esc
//      |                                                              v
//      +--------------------------- restored ------------------ [23 Abort]
//
//   Esc in any other state asks first: [1 AbortQuestion] (Yes resumes the
//   state it came from, Esc goes to 23). An engine check that fails (ECU
//   not ready, engine stopped, ECU out of slave mode) shows the engine
//   message and aborts 9 ticks later; while waiting for the gas temperature
//   it aborts at once.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

#include "common/EventService.h"
#include "data/core/ParamImage.h"
#include "ecu/CalibrationMath.h"
#include "ecu/LineModel.h"

namespace gascal {

class EcuSession;

enum class CalState : uint8_t {
    Idle = 0,
    AbortQuestion = 1,
    Start = 2,
    WaitGasTemp = 3,
    IdleSettle = 6,
    IdleReference = 7,
    RaisedWait = 8,
    RaisedReference = 9,
    TaraMax = 10,
    TaraMaxSettle = 11,
    IdleWait = 12,
    TaraMin = 13,
    TaraMinSettle = 14,
    End = 20,
    EndWithLimit = 21,
    Abort = 23,
    // The two-point check, after step 03 (beyond the numbers above).
    ConfirmRaisedWait = 24,
    ConfirmTaraMax = 25,
    ConfirmSettle = 26,
    ConfirmIdleWait = 27,
    ConfirmTaraMin = 28,
};

// The calibration's texts: the entries after the dictionary's "[FrmCal]"
// marker, in this order.
enum class CalText : int {
    Title = 0,           // LblCalStep's first line
    MsgIdle,             // state 0
    MsgStart,            // step 00
    MsgWarmUp,           // step 00, waiting for the gas temperature
    MsgIdleSettle,       // step 01, followed by the seconds left
    MsgIdleReference,    // step 01
    MsgRaise,            // step 02, %1 = target speed
    MsgRaisedReference,  // step 02
    MsgTaraMax,          // step 02, %1 = cycle
    MsgReturnIdle,       // step 03
    MsgTaraMin,          // step 03, %1 = cycle
    MsgEnd,              // state 20, %1 = OFFSET
    MsgEndLimit,         // state 21, %1 = the limit
    MsgQuestion,         // state 1
    MsgAborted,          // state 23
    MsgNotReady,         // engine message, %1 = seconds left
    MsgEngineStopped,
    MsgNotSlave,
    TwoPointBox,      // the option's check box
    MsgConfirmRaise,  // step 04, %1 = target speed
    MsgConfirmMax,
    MsgConfirmReturnIdle,
    MsgConfirmMin,
    PlotOffset,  // the convergence plot's legend
    PlotDifference,
    PlotCycle,
    LimitOffsetMin,
    LimitOffsetMax,
    LimitAlfaMin,
    LimitAlfaMax,
    LimitTable,      // %1 = entries
    RpmLabel,        // TxtRpm's caption
    TwoPointResult,  // %1 ALFA, %2 OFFSET, %3..%6 residuals
    TwoPointImpossible,
    AskGas,            // gascal-cli's question before switching to gas at the end
    AskStart,          // gascal-cli's question before it starts
    MsgGasFailed,      // the switch to gas at the end failed
    MsgRestoreFailed,  // the abort could not put everything back
    CmdYes,            // CmdCalStart's caption
    CmdEsc,            // CmdCalCancel's caption
    Count
};

// What the fitter at the car is asked to do in a state.
enum class CalInstruction : uint8_t { None = 0, WarmUp = 1, Idle = 2, RaisedSpeed = 3 };

inline constexpr int kCalTimerMs = 250;
inline constexpr int kCalTicksPerSecond = 4;
inline constexpr int kEngineMessageTicks = 9;
inline constexpr double kCalReadWaitUs = 1e6;  // the link's global wait during Timer3's reads
inline constexpr double kMinEngineRpm = 10;
inline constexpr int kCalTableBackupEntries = 191;  // CorTableEcu entries 0..190
inline constexpr const char* kTaraCorrPath = "\\TaraCorr.txt";

// Why the engine check failed.
enum class EngineReason : uint8_t { None = 0, NotReady, EngineStopped, NotSlave };

// One measuring cycle, for the report and the convergence plot.
struct CalCycle {
    enum Kind : uint8_t { TaraMax, TaraMin, ConfirmBefore, ConfirmAfter, ConfirmIdle };
    Kind kind = TaraMax;
    int number = 0;           // CalCycles after the cycle
    double reference = 0;     // TInjRef, or the idle reference time
    double measured = 0;      // TInjMed
    double correction = 0;    // TCorr
    double offsetBefore = 0;  // OFFSET the cycle measured with
    double offsetAfter = 0;
    double Difference() const { return measured - reference; }
};

// How a calibration ended.
struct CalResult {
    CalState endState = CalState::Idle;  // End or EndWithLimit
    FinalLimitResult limits;
    double savedOffset = 0;  // OFFSET at the end of step 03
    // Two-point line (when asked for).
    bool twoPointAsked = false;
    TwoPointLine twoPoint;
    double offsetRaised = 0, offsetIdle = 0;  // the balances of steps 02 and 03
    std::optional<double> residualIdleBefore, residualIdleAfter;
    std::optional<double> residualRaisedBefore, residualRaisedAfter;
};

class Calibration {
  public:
    explicit Calibration(EcuSession& session);
    ~Calibration();
    Calibration(const Calibration&) = delete;
    Calibration& operator=(const Calibration&) = delete;

    // --- Buttons -----------------------------------------------------------------
    // "Yes": start (0), resume after the question (1), switch to gas and end
    // (20), accept a result with a limit (21).
    void CmdCalStart_Click();
    // "Esc": asks first; at the question, at 21 and at 23 it aborts.
    void CmdCalCancel_Click();
    bool StartEnabled() const { return startEnabled_; }
    bool CancelEnabled() const { return cancelEnabled_; }
    // Aborts at once, whatever the state, and runs the abort now: what a
    // program being stopped (Ctrl+C) needs before it exits. Not from inside
    // another handler's exchange (it would wait for that exchange).
    void AbortNow();
    // Aborts without the question; Timer3's next ticks run the abort.
    void RequestAbort();
    // The window closes: a finished calibration (20) is kept and the ECU
    // goes back to its running mode; any other is aborted (a result with a
    // limit was not accepted yet). Timer3's next ticks do it.
    void EndForClose();
    // At the end (20 or 21), without switching to gas: the result stays,
    // the ECU goes back to its running mode on the fuel it runs on.
    void EndOnPetrol();

    // --- Options --------------------------------------------------------------------
    // Two-point calibration: ALFA from the balances at raised speed and idle.
    void SetTwoPoint(bool on) { twoPoint_ = on; }
    bool TwoPoint() const { return twoPoint_; }
    // Timer3 skips its reads while a parameter file is being loaded.
    void SetLoadingConfig(std::function<bool()> f) { loadingConfig_ = std::move(f); }

    // --- Timer3 ------------------------------------------------------------------------
    Timer& CalTimer() { return timer_; }
    void Timer3_Timer();

    // --- What is shown ----------------------------------------------------------------------
    CalState State() const { return state_; }
    // Step 0..3 (4: the two-point check); -1 when none is shown.
    int Step() const { return step_; }
    bool Running() const { return state_ != CalState::Idle || timer_.Enabled(); }
    QString Message() const { return message_; }        // LblCalMsg
    QString StepText() const;                           // LblCalStep: title, newline, "02"
    int Progress() const { return progress_; }          // ShpCalStep, 0..100
    bool RpmOutOfRange() const { return blinkRpm_; }    // TxtRpm blinks
    bool TempOutOfRange() const { return blinkTemp_; }  // TxtTmpVap(1) blinks
    bool BlinkPhase() const { return blinkPhase_; }     // toggles every tick
    CalInstruction Instruction() const;
    double RaisedTargetRpm() const;
    int EngineMessageTicks() const { return engineMsgTicks_; }
    const std::vector<CalCycle>& Cycles() const { return cycles_; }
    const CalResult& Result() const { return result_; }
    QString ResultText() const;
    // The dictionary texts of the calibration ("[FrmCal]").
    const QStringList& Texts() const { return texts_; }
    void ReloadTexts();
    // The English texts that stand where the dictionary lacks the section
    // (the same as the shipped dictionary's English entries).
    static const QStringList& EnglishTexts();

    // Measured values.
    double TInjRef() const { return tInjRef_; }
    double IdleRefTime() const { return idleRefTime_; }
    double RaisedRefRpm() const { return raisedRefRpm_; }
    double IdleRefRpm() const { return idleRefRpm_; }
    int CalCycles() const { return calCycles_; }
    int CalStableCycles() const { return calStableCycles_; }
    int CalCounter() const { return calCounter_; }

    // --- Listeners ------------------------------------------------------------------------
    // Anything shown changed (after every tick and click).
    void OnChanged(std::function<void()> f) { changed_.push_back(std::move(f)); }
    // A report entry was written (the line as it stands in the file).
    void OnReportEntry(std::function<void(const QString&)> f) { entry_.push_back(std::move(f)); }
    // The step shown changed (-1 when none).
    void OnStepChanged(std::function<void(int)> f) { stepChanged_.push_back(std::move(f)); }

    // The report line of a cycle, as written between its quotes.
    static QString ReportLine(const QString& label, double tInjRef, double tInjMed, double tCorr,
                              double offset, double tempVap, double pressVap);
    // Appends one entry to \TaraCorr.txt, written whole. False when it could not.
    static bool AppendReportEntry(const QString& path, const QString& line);

  private:
    void RunHandler();
    void EngineMessage(EngineReason reason);
    EngineReason CheckEngine() const;
    bool ReadLive();

    void HandleIdle();
    void TakeBackups();
    void HandleStart();
    void HandleWaitGasTemp();
    void HandleIdleSettle();
    bool HandleAverage(int startValue, double& timeOut, double& rpmOut);
    void HandleRaisedWait(CalState next, int nextCounter);
    void HandleTaraMax(bool confirm);
    void HandleTaraMin(bool confirm);
    void HandleSettle(CalState back, int nextCounter);
    void HandleIdleWait(CalState next);
    void HandleAbort();
    void UpdateButtons();
    void ResetRun();
    void EndOfStep03();
    void FinishCalibration();
    void ApplyTwoPoint();

    // One cycle's samples; true when the cycle is complete.
    bool SampleCycle(int n, bool idle);
    bool SwitchFuel(bool gas);
    bool OnGas() const;
    bool InSlaveMode() const;
    void MoveOffset(double tCorr);
    void SetModel(const LineModel& m);
    bool WriteModelTable();
    bool WriteTable(const CorTableArray& table);
    bool RestoreBlocks();
    void WriteReport(const CalCycle& c, const QString& label, double tempVap, double pressVap);
    int TaraMaxN() const;
    int TaraMinN() const;

    void SetState(CalState s) { state_ = s; }
    void SetStep(int step);
    void Show(const QString& message) { message_ = message; }
    QString T(CalText t) const;
    double P(int n) const;
    double OffsetMax() const;
    FinalLimitParams LimitParams() const;
    double TempVap() const;
    double PressVap() const;
    double Rpm() const;
    double MeanPetrolTime() const;
    void Notify();

    EcuSession& session_;
    Timer timer_;
    QStringList texts_;
    std::function<bool()> loadingConfig_;
    bool twoPoint_ = false;

    CalState state_ = CalState::Idle;
    CalState savedState_ = CalState::Idle;  // CalSavedState
    bool abortRequested_ = false;           // CalAbortRequested
    int calCounter_ = 0;                    // CalCounter
    int calCycles_ = 0;                     // CalCycles
    int calStableCycles_ = 0;               // CalStableCycles
    int engineMsgTicks_ = 0;                // CalEngineMsgTicks
    EngineReason engineReason_ = EngineReason::None;
    bool readsOk_ = true;
    bool started_ = false;  // backups taken: an abort has something to restore
    bool tableTouched_ = false;
    bool modelReset_ = false;
    bool tableWritePending_ = false;
    CorTableArray pendingTable_{};
    int retryTicks_ = 0;  // ticks the idle or the abort handler has retried
    bool restoreRun_ = false, restoreBlocks_ = false, restoreTable_ = false;

    // Averages.
    double sumTime_ = 0, sumRpm_ = 0, sumPress_ = 0, sumTemp_ = 0;
    int samples_ = 0;
    // Measured values.
    double tInjRef_ = 0, raisedRefRpm_ = 0, idleRefTime_ = 0, idleRefRpm_ = 0;
    double tInjMed_ = 0, tCorr_ = 0;
    double meanRpm_ = 0, meanPress_ = 0, meanTemp_ = 0;
    // Two-point check.
    bool confirmAfter_ = false;
    bool abortingNow_ = false;  // AbortNow runs the handlers itself: Timer3 keeps out

    // Backups taken at the start.
    Mem2Fields backupMem2_;
    Mem3Fields backupMem3_;
    Mem5Fields backupMem5_;
    CorTableArray backupTable_{};
    LineModel backupModel_;
    double t1_ = 0, t2_ = 0;
    bool haveInjectorType_ = false;
    QString modelPoints_;

    // Shown.
    int step_ = -1;
    QString message_;
    int progress_ = 0;
    bool startEnabled_ = true, cancelEnabled_ = false;
    bool blinkRpm_ = false, blinkTemp_ = false, blinkPhase_ = false;
    std::vector<CalCycle> cycles_;
    CalResult result_;

    std::vector<std::function<void()>> changed_;
    std::vector<std::function<void(const QString&)>> entry_;
    std::vector<std::function<void(int)>> stepChanged_;
};

}  // namespace gascal
