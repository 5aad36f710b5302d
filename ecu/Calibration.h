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
// step, progress, blinking boxes) and forward "Yes" (`Yes()`, the window's
// CmdCalStart_Click), "Esc" (`Esc()`, CmdCalCancel_Click), the window's close
// and Ctrl+C.
//
// A step machine. Timer3 (250 ms) is its driver: each tick it reads blocks
// 1 and 2, checks the engine, runs the step of the state (a handler of the
// state table) and then carries out the exchanges that step asked for (fuel
// switch, slave and running mode, backup reads, table write, the abort's
// restore) through the link's send and wait with the window's three
// attempts. A step never waits and never processes events: it decides,
// records the exchanges it wants and when the next step is due ("wait 1 s"
// becomes a due time, the timer sleeps until then), and returns; the next
// step sees the exchanges' outcomes. The fitter's clicks, the window's
// close and Ctrl+C are events queued to the machine and taken between
// steps, never inside one.
//
// Files: CalibrationRun.cpp (driver, state table, events, start and end),
// CalibrationSteps.cpp (the measuring steps),
// CalibrationRestore.cpp (backups, abort, restore, the exchanges),
// CalibrationReport.cpp (texts, \TaraCorr.txt, the result text),
// CalSettings.cpp (the parameters read at "Yes").
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
//
//   "Yes" in state 0 only once the ECU's blocks have been read. The backups
//   an abort puts back are taken in state 2 from blocks 2, 3, 5 and the
//   table read fresh from this ECU, after a passing engine check; an abort
//   before that has nothing to put back. State 23 retries what it could not
//   put back (running mode, blocks 2, 3 and 5, the table) for 2 minutes
//   while the ECU does not answer, ends by itself once everything is back,
//   and only then says so; after the 2 minutes it names what is not back.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "common/EventService.h"
#include "data/core/ParamImage.h"
#include "ecu/CalibrationMath.h"
#include "ecu/FuelSwitch.h"
#include "ecu/LineModel.h"

namespace gascal {

class EcuSession;
class ScaleConfig;

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
    MsgAborted,          // state 23, everything is back
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
    MsgRestoreFailed,  // the abort gave up: %1 = what is not back
    CmdYes,            // CmdCalStart's caption
    CmdEsc,            // CmdCalCancel's caption
    MsgRestoring,      // state 23 while it puts things back
    PartRunning,       // what an abort puts back, named when it could not
    PartBlock2,
    PartBlock3,
    PartBlock5,
    PartTable,
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
// How long an abort keeps trying to put things back while the ECU does not
// answer, and how long state 0 tries to give the ECU back its running mode:
// as long, since with the ECU silent a round of exchanges lasts the link's
// resends (some 20 s), and a cable back within that time must still find
// the car leaving slave mode.
inline constexpr double kRestoreRetryUs = 120e6;
inline constexpr double kRunningRetryUs = kRestoreRetryUs;

// Why the engine check failed.
enum class EngineReason : uint8_t { None = 0, NotReady, EngineStopped, NotSlave };

// The calibration parameters ("[PARAMETRI DI TARATURA]"), read once at
// "Yes", and the limits of the injector type of block 3 as read at step 00.
struct CalSettings {
    double warmGasTemp = 0;         // 1: gas temperature to exceed (°C)
    int idleSettleTicks = 0;        // 2
    int idleRefStart = 0;           // 3: start value of the idle reference average
    int raisedHoldTicks = 0;        // 4
    int raisedRefStart = 0;         // 5
    int taraMaxSamples = 0;         // 6: samples from the third "TaraMax" cycle on
    int taraMaxSettle = 0;          // 7: settle ticks after the second and later cycles
    double taraMaxStableEnd = 0;    // 8: cycles without correction that end step 02
    double taraMaxCyclesEnd = 0;    // 9: cycles that end step 02
    double raisedRpm = 0;           // 10
    double raisedRpmTolerance = 0;  // 11
    double taraMaxBand = 0;         // 12
    double taraMaxGain = 0;         // 13
    double taraMaxLargest = 0;      // 14 (ms)
    double idleRpmTolerance = 0;    // 15
    int idleWaitTicks = 0;          // 16
    int taraMinSamples = 0;         // 17
    int taraMinSettle = 0;          // 18
    double taraMinStableEnd = 0;    // 19
    double taraMinBand = 0;         // 20
    double taraMinGain = 0;         // 21
    double taraMinCyclesEnd = 0;    // 22
    double taraMinLargest = 0;      // 23 (ms)
    double offsetMax = 0;           // 24 (ms; infinite when the file has none)
    double alfaMax = 0;             // 31
    double alfaMin = 0;             // 32
    double offsetMin = 0;           // 33 (ms)
    // T1, T2 and the shape text of the injector type (none without one).
    std::optional<double> t1, t2;
    QString modelPoints;

    static CalSettings From(const ScaleConfig& scale);
    void SetInjectorType(const ScaleConfig& scale, int injTypeCode);
    FinalLimitParams Limits() const;
    double RaisedThreshold() const { return (1 - raisedRpmTolerance) * raisedRpm; }
};

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
    int samples = 0;  // petrol times averaged into TInjMed
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

// The parts an abort puts back on the ECU (the model is the tool's own and
// always goes back at once).
enum CalRestorePart : uint8_t {
    RestoreRunning = 1,
    RestoreBlock2 = 2,
    RestoreBlock3 = 4,
    RestoreBlock5 = 8,
    RestoreTable = 16,
};

// What the fitter and the window send the machine; taken between steps.
enum class CalEvent : uint8_t { Yes, Esc, Abort, Close, EndOnPetrol };

// The outcome of an exchange a step asked for.
enum class CalDone : uint8_t { None = 0, Ok, Failed };

class Calibration;

// A number as the calibration's messages show it, with the decimal separator.
QString CalNumber(double v, int decimals);

// One row of the state table: what a state shows and which step runs in it.
struct CalStateRow {
    CalState state;
    int step;  // "00".."04" shown, -1 none
    CalText text;
    CalInstruction instruction;
    int progressFrom, progressTo;  // the progress bar's band
    bool yes, esc;                 // the buttons enabled
    void (Calibration::*handler)();
};

class Calibration {
  public:
    explicit Calibration(EcuSession& session);
    ~Calibration();
    Calibration(const Calibration&) = delete;
    Calibration& operator=(const Calibration&) = delete;

    // --- Events ---------------------------------------------------------------------
    // "Yes": start (0), resume after the question (1), switch to gas and end
    // (20), accept a result with a limit (21).
    void Yes() { Post(CalEvent::Yes); }  // CmdCalStart_Click
    // "Esc": asks first; at the question, at 21 and at 23 it aborts.
    void Esc() { Post(CalEvent::Esc); }  // CmdCalCancel_Click
    bool StartEnabled() const;
    bool CancelEnabled() const;
    // Aborts without the question (Ctrl+C); Timer3's next ticks run the
    // abort and its restore.
    void RequestAbort() { Post(CalEvent::Abort); }
    // The window closes: a finished calibration (20) is kept and the ECU
    // goes back to its running mode; any other is aborted (a result with a
    // limit was not accepted yet). Timer3's next ticks do it.
    void EndForClose() { Post(CalEvent::Close); }
    // At the end (20 or 21), without switching to gas: the result stays,
    // the ECU goes back to its running mode on the fuel it runs on.
    void EndOnPetrol() { Post(CalEvent::EndOnPetrol); }
    // Queues an event; taken at once when no tick is under way, else by the
    // tick outside its step (after its reads, or once its exchanges are
    // over).
    void Post(CalEvent e);

    // --- Options --------------------------------------------------------------------
    // Two-point calibration: ALFA from the balances at raised speed and idle.
    void SetTwoPoint(bool on) { twoPoint_ = on; }
    bool TwoPoint() const { return twoPoint_; }
    // Timer3 skips its reads while a parameter file is being loaded.
    void SetLoadingConfig(std::function<bool()> f) { loadingConfig_ = std::move(f); }
    // Whether the ECU's blocks have been read since it was connected:
    // "Yes" starts nothing before.
    void SetEcuReady(std::function<bool()> f) { ecuReady_ = std::move(f); }

    // --- Timer3: the driver -------------------------------------------------------------
    Timer& CalTimer() { return timer_; }
    void Tick();  // Timer3_Timer

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
    // The switch to gas at the end and its 4 s are under way (wait cursor).
    bool SwitchingToGas() const { return gasAsked_; }
    int EngineMessageTicks() const { return engineMsgTicks_; }
    const std::vector<CalCycle>& Cycles() const { return cycles_; }
    const CalResult& Result() const { return result_; }
    QString ResultText() const;
    // After an abort that gave up: the parts not put back (CalRestorePart
    // bits) and their names; 0 and empty otherwise.
    int NotRestored() const { return notRestored_; }
    QStringList NotRestoredNames() const;
    // The settings of the run (read at "Yes").
    const CalSettings& Settings() const { return settings_; }
    // The dictionary texts of the calibration ("[FrmCal]").
    const QStringList& Texts() const { return texts_; }
    void ReloadTexts();
    // The English texts that stand where the dictionary lacks the section
    // (the same as the shipped dictionary's English entries).
    static const QStringList& EnglishTexts();
    // The state table, and a state's row (nullptr for a number without one).
    static const std::vector<CalStateRow>& StateTable();
    static const CalStateRow* RowOf(CalState s);

    // Measured values.
    double TInjRef() const { return tInjRef_; }
    double IdleRefTime() const { return idleRefTime_; }
    double RaisedRefRpm() const { return raisedRefRpm_; }
    double IdleRefRpm() const { return idleRefRpm_; }
    int CalCycles() const { return calCycles_; }
    int CalStableCycles() const { return calStableCycles_; }
    int CalCounter() const { return calCounter_; }

    // --- Listeners ------------------------------------------------------------------------
    // Anything shown changed (after every tick and event).
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
    // What a step asks the driver to carry out after it.
    struct Wanted {
        bool backupReads = false;  // blocks 2, 3 (5) and the table, fresh
        bool slave = false;
        bool running = false;
        std::optional<Fuel> fuel;
        bool gasEnd = false;  // gas at the end, read back as the logo does
        bool restore = false;
    };
    // --- Driver (CalibrationRun.cpp) ---
    void TakeEvents();
    void Take(CalEvent e);
    void RunStep();
    void EngineMessage(EngineReason reason);
    EngineReason CheckEngine() const;
    void Publish();
    // --- Exchanges (CalibrationRestore.cpp), outside any step ---
    void CarryOut(const Wanted& w);
    bool ReadLive();
    bool ReadBackups();
    void Restore();
    bool RestoreBlock(int n);
    bool SendTable(const CorTableArray& table);

    // --- Steps: handlers of the state table ---
    void HandleIdle();
    void HandleQuestion();
    void HandleStart();
    void HandleWaitGasTemp();
    void HandleIdleSettle();
    void HandleIdleReference();
    void HandleRaisedReference();
    void HandleRaisedWait();
    void HandleConfirmRaisedWait();
    void HandleTaraMax();
    void HandleConfirmTaraMax();
    void HandleTaraMaxSettle();
    void HandleTaraMinSettle();
    void HandleConfirmSettle();
    void HandleIdleWait();
    void HandleConfirmIdleWait();
    void HandleTaraMin();
    void HandleConfirmTaraMin();
    void HandleEnd();
    void HandleAbort();

    void RaisedWait(CalState next, int nextCounter, bool confirm);
    void TaraMaxCycle(bool confirm);
    bool CycleOnGas(int n, bool idle);
    void TaraMinCycle(bool confirm);
    void Settle(CalState back, int nextCounter);
    void IdleWait(CalState next, bool confirm);
    bool Average(int startValue, double& timeOut, double& rpmOut);
    void ResetRun();
    void TakeBackups();
    void EndOfStep03();
    void FinishCalibration();
    void ApplyTwoPoint();
    bool SampleCycle(int n, bool idle);
    // Asks for a fuel; the outcome is the next step's lastFuel_.
    void WantFuel(bool gas);
    bool OnGas() const;
    bool InSlaveMode() const;
    void MoveOffset(double tCorr);
    void SetModel(const LineModel& m);
    void WantModelTable();
    void WriteReport(const CalCycle& c, const QString& label, double tempVap, double pressVap);
    int TaraMaxN() const;
    int TaraMinN() const;
    // The next step is due this long after the step's exchanges.
    void DueAfter(double us);

    void SetState(CalState s);
    void ToIdle();
    void SetStep(int step);
    void Show(const QString& message) { message_ = message; }
    void ShowProgress(double fraction);
    QString T(CalText t) const;
    // The instruction text of the state's row.
    QString RowText() const;
    double TempVap() const;
    double PressVap() const;
    double Rpm() const;
    double MeanPetrolTime() const;
    void Notify();

    EcuSession& session_;
    Timer timer_;
    QStringList texts_;
    std::function<bool()> loadingConfig_;
    std::function<bool()> ecuReady_;
    bool twoPoint_ = false;
    CalSettings settings_;

    // Events and the driver.
    std::deque<CalEvent> events_;
    Wanted wanted_;
    double dueUs_ = 0;  // the next step runs at or after this clock value
    double dueAfterUs_ = 0;
    CalDone lastFuel_ = CalDone::None, lastSlave_ = CalDone::None;
    CalDone lastRunning_ = CalDone::None, lastBackup_ = CalDone::None;
    CalDone lastGas_ = CalDone::None;
    std::optional<CorTableArray> pendingTable_;  // a table the ECU has not taken yet

    CalState state_ = CalState::Idle;
    CalState savedState_ = CalState::Idle;  // CalSavedState
    int phase_ = 0;                         // where a state's step stands
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
    bool gasAsked_ = false;
    double gasEndUs_ = 0;
    double idleSinceUs_ = 0;
    // The abort.
    bool abortBegun_ = false;
    double restoreUntilUs_ = 0;
    int restoreLeft_ = 0;  // CalRestorePart bits not yet back
    int notRestored_ = 0;

    // Averages.
    double sumTime_ = 0, sumRpm_ = 0, sumPress_ = 0, sumTemp_ = 0;
    int samples_ = 0;
    bool cycleSampled_ = false;  // the cycle's samples are in; petrol asked for
    // Measured values.
    double tInjRef_ = 0, raisedRefRpm_ = 0, idleRefTime_ = 0, idleRefRpm_ = 0;
    double tInjMed_ = 0, tCorr_ = 0;
    double meanRpm_ = 0, meanPress_ = 0, meanTemp_ = 0;
    // Two-point check.
    bool confirmAfter_ = false;

    // Backups taken at step 00 from blocks read fresh.
    Mem2Fields backupMem2_;
    Mem3Fields backupMem3_;
    Mem5Fields backupMem5_;
    CorTableArray backupTable_{};
    LineModel backupModel_;
    bool backupHasBlock5_ = false;

    // Shown.
    int step_ = -1;
    QString message_;
    int progress_ = 0;
    double fraction_ = 0;
    bool blinkRpm_ = false, blinkTemp_ = false, blinkPhase_ = false;
    std::vector<CalCycle> cycles_;
    CalResult result_;

    std::vector<std::function<void()>> changed_;
    std::vector<std::function<void(const QString&)>> entry_;
    std::vector<std::function<void(int)>> stepChanged_;
};

}  // namespace gascal
