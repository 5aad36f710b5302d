// The firmware upgrade: the procedure behind the upgrade window (FrmUpdate)
// and `gascal-cli upgrade`, as a step machine over the ECU session. It has
// no widgets: a front end presses its buttons (Next, Esc) and shows what it
// reports (stage, step, message, bar, which buttons are there).
//
// Stages (the window's numbers): 0 checking, 1 ready, 4 finished, 5 aborted.
// "Next" in stage 0 reads the live values: the upgrade is refused while the
// engine turns or the key is on; otherwise stage 1 invites the fitter to
// start. "Next" in stage 1 runs the steps, numbered as the window shows them:
//   1 SaveConfiguration  blocks 2, 3, the correction table, block 5 (from
//                        \LNG\Default.Xar at firmware 132 or lower), the test
//                        data; the firmware file is verified again and, once
//                        the fitter agreed, the configuration is written to a
//                        backup file
//   2 Initialization     programming mode (skipped while the ECU writes flash)
//   3 EraseFlash         the flash is erased
//   4 WriteMemory        128-byte chunks, all-0xFF chunks not sent, three tries
//   5 WriteEnd           end of writing: the ECU restarts into the new firmware
//   6 ReadIdentity       both identities read again; the ECU must report the file's
//   7 Configuration      the saved configuration written back, samples and
//                        errors cleared
//   8 SaveFlash          the ECU saves it to flash; the backup is marked completed;
//                        the configuration is read back and compared with the
//                        one put back: a part the ECU does not hold (an ECU
//                        reset took it with its working memory) is written
//                        and saved again, up to three rounds
//   9 EndUpgrade         done
//
// How it runs. The machine is in one state of the table in
// FirmwareUpgrade.cpp (state, step, text, bar band, buttons, handler).
// A state either waits for a button, or has one ECU exchange, one question
// to the fitter, or a due time. The driver, a posted event of the event
// service, carries out the exchange (send and wait, up to three tries) or
// asks the question OUTSIDE any step, then calls the state's handler with
// the result. A handler never waits and never processes events: it decides
// and enters the next state. Buttons, the close box and an interrupt
// (gascal-cli's SIGINT and SIGTERM) are events taken between steps: "Esc"
// while an exchange is under way is kept and wins when the exchange is
// over, so nothing is erased after it.
//
//        Next                  Next
//   Checking -> PressRead -> Ready -> PressRead -> Save... -> [Confirm] ->
//      ^   |                                 (backup written)
//      |   +-> CheckRead -> [ModeRead -> SerialRead -> (ChooseBackup)]
//      +---- refused / CheckFailPause (11 x 100 ms) -> Aborted
//   Programming -> Erase -> Write (chunk by chunk, [SkipQuestion]) ->
//   WriteEnd -> EndSettle (4 s) -> EndBlink (21 x 100 ms) -> ReadIdentity ->
//   Restore <-> RestoreGrow (10 x 20 ms each) -> SaveFlash -> Verify (part by
//   part; a part that differs: Restore again) -> FinalBlink (10 x 100 ms) ->
//   Finished
// Any failure goes to Finished with its outcome; Esc before programming
// goes to Aborted.
//
// Safety: nothing reaches the ECU before the configuration is in the backup
// file and the firmware file verified; a chunk skipped at the fitter's choice
// ends the upgrade as incomplete (the end of writing is not sent: the ECU
// waits in its boot loader); an ECU found waiting for its program (an
// interrupted upgrade) is written again and gets its configuration from the
// backup of its own interrupted upgrade: only backups not marked completed
// are candidates, only those of its serial number when it can be read, and
// the fitter chooses when that leaves more than one, or the serial number is
// unknown.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/Prompts.h"
#include "ecu/UpgradeBackup.h"

namespace gascal {

class EcuSession;
enum class UpText;

enum class UpgradeStage : uint8_t { Checking = 0, Ready = 1, Finished = 4, Aborted = 5 };

enum class UpgradeStep : uint8_t {
    None = 0,
    SaveConfiguration = 1,
    Initialization = 2,
    EraseFlash = 3,
    WriteMemory = 4,
    WriteEnd = 5,
    ReadIdentity = 6,
    Configuration = 7,
    SaveFlash = 8,
    EndUpgrade = 9,
};

enum class UpgradeOutcome : uint8_t {
    Pending = 0,
    Complete = 1,    // new firmware, configuration restored and saved
    Incomplete = 2,  // a chunk was skipped, or interrupted: the ECU waits for its program
    Failed = 3,      // stopped by a failure (the ECU may or may not have been touched)
    Cancelled = 4,   // refused, declined or aborted before anything was changed
};

// Why an upgrade stopped.
enum class UpgradeStop : uint8_t {
    None = 0,
    Link = 1,           // the ECU did not answer
    NotAllowed = 2,     // engine turning or key on
    FirmwareFile = 3,   // the firmware file did not verify
    Backup = 4,         // the backup could not be written, or none to resume from
    DefaultSet = 5,     // \LNG\Default.Xar holds no usable block 5
    Declined = 6,       // the fitter said no before the erase
    Cancelled = 7,      // "Esc"
    ChunkFailed = 8,    // a chunk failed three times and was not skipped
    ChunkSkipped = 9,   // a chunk was skipped
    LinkLost = 10,      // the ECU stopped answering while it was being written
    Identity = 11,      // after writing, the ECU does not report the file's firmware
    Interrupted = 12,   // gascal-cli got SIGINT or SIGTERM
    ChooseBackup = 13,  // several backups (or an unknown serial number): one must be chosen
    NothingToDo = 14,   // the ECU runs the file's firmware already
    NotHeld = 15,       // the ECU does not keep the configuration written back
};

// The internal states of the machine; the table gives each its step,
// text, bar band, buttons and handler.
enum class UpState : uint8_t {
    Checking,
    PressRead,
    CheckRead,
    ModeRead,
    SerialRead,
    ChooseBackup,
    CheckFailPause,
    Ready,
    SaveBlock2,
    SaveBlock3,
    SaveTable,
    SaveBlock5,
    SaveTestData,
    Confirm,
    Programming,
    Erase,
    Write,
    SkipQuestion,
    WriteEnd,
    EndSettle,
    EndBlink,
    ReadIdentity,
    Restore,
    RestoreGrow,
    SaveFlash,
    Verify,
    FinalBlink,
    Finished,
    Aborted,
    Count
};

inline constexpr int kFlashChunkBytes = 128;
inline constexpr int kUpgradeAttempts = 3;
// A try waits this long at most for the link to come back (a cable pulled
// and put back), and an ECU silent this long has stopped answering.
inline constexpr double kUpgradeSilenceUs = 120e6;
// The slow commands (programming mode, erase) wait AttesaGlobale_usec times
// MolAttesaGlobale for their answer, but never longer than this.
inline constexpr double kSlowCommandMaxWaitUs = 15e6;
inline constexpr double kUpgradeSaveFlashWaitUs = 6e6;
inline constexpr double kFlashEndSettleUs = 4e6;
inline constexpr double kCheckFailPauseUs = 100000;
// Rounds of write, save and read-back before the upgrade gives up on an ECU
// that does not keep its configuration.
inline constexpr int kRestoreRounds = 3;
inline constexpr int kCheckFailPauses = 11;

// A backup an interrupted upgrade may restore from.
struct BackupCandidate {
    QString path;
    uint32_t serial = 0;
    QString time;  // "yyyy-MM-dd HH:mm:ss", from the file's name
};

class FirmwareUpgrade {
  public:
    struct Options {
        // After a chunk failed three times: true goes on without it (the
        // upgrade then ends incomplete), false stops. Unset: the fitter is
        // asked (Yes goes on).
        std::optional<bool> skipFailedChunks;
        // Asked once the configuration is read and the firmware file
        // verified, before the backup is written and before the ECU is
        // changed, with the path the backup will take; false cancels and
        // nothing is written. Unset: no question (the window's "Next" was it).
        std::function<bool(const QString& backupPath)> confirmErase;
        // Where the backup goes (default: named after the ECU and the time in
        // the installation folder); for an interrupted upgrade, the backup to
        // restore from (default: chosen among the installation folder's).
        QString backupPath;
        // An interrupted upgrade with several candidate backups, or with an
        // ECU whose serial number cannot be read: the fitter chooses one
        // (its path; empty cancels). Unset: the upgrade stops and lists them.
        std::function<QString(const std::vector<BackupCandidate>&)> chooseBackup;
        // Upgrade an ECU that already runs the file's firmware.
        bool force = false;
        // Looked at between steps: true ends the upgrade at the next safe
        // point (gascal-cli's SIGINT and SIGTERM).
        std::function<bool()> interrupted;
    };

    FirmwareUpgrade(EcuSession& session, Options options);
    explicit FirmwareUpgrade(EcuSession& session) : FirmwareUpgrade(session, Options()) {}
    ~FirmwareUpgrade();
    FirmwareUpgrade(const FirmwareUpgrade&) = delete;
    FirmwareUpgrade& operator=(const FirmwareUpgrade&) = delete;

    // --- Events (taken between steps) ----------------------------------------------
    void Next();  // CmdUpdate_Click
    void Esc();   // CmdEsc_Click, the Escape key, the close box
    // SIGINT or SIGTERM (gascal-cli): the upgrade ends at the next safe point.
    void Interrupt();

    // --- What the window shows ------------------------------------------------------
    UpgradeStage Stage() const { return stage_; }
    UpgradeStep Step() const { return step_; }
    UpState State() const { return state_; }
    // The step label's text ("Erase Flash ", ...); steps 1 and 6 have none
    // (the label keeps showing the one before).
    static QString StepLabel(UpgradeStep step);
    const QString& Message() const { return message_; }
    QString EcuRelease() const;  // "01.00.32 - 25/03/15"
    QString FileRelease() const;
    double Progress() const { return progress_; }  // the bar, 0..1
    bool BarVisible() const { return barVisible_; }
    bool NextVisible() const;
    bool NextEnabled() const;
    bool EscEnabled() const;
    bool Busy() const;  // hourglass: the sequence runs by itself
    // Nothing runs by itself: the machine waits for a button, or is over.
    bool Waiting() const;
    // The window is to close now, with this result.
    bool CloseRequested() const { return closeRequested_; }
    bool Result() const { return result_; }
    // Called after every change of what is shown.
    void OnChanged(std::function<void()> f) { listeners_.push_back(std::move(f)); }

    // --- Outcome -------------------------------------------------------------------
    UpgradeOutcome Outcome() const { return outcome_; }
    UpgradeStop StopReason() const { return stop_; }
    // Programming mode was asked for: the ECU may no longer run its program.
    bool EcuTouched() const { return touched_; }
    // The ECU was found waiting for its program after an interrupted upgrade.
    bool Resuming() const { return resuming_; }
    // The backup written (or restored from); empty before.
    const QString& BackupPath() const { return backupPath_; }
    // The backups the fitter has to choose from (StopReason ChooseBackup).
    const std::vector<BackupCandidate>& Candidates() const { return candidates_; }
    const SavedConfiguration& Saved() const { return saved_; }
    // The chunk that failed last (its flash address).
    uint32_t FailedAddress() const { return failedAddress_; }

    struct Figures {
        int chunks = 0;   // chunks of the image
        int sent = 0;     // written to the ECU
        int blank = 0;    // all 0xFF, not sent
        int skipped = 0;  // failed three times and skipped
        int retries = 0;  // tries beyond the first, every exchange
        double startUs = 0, writeStartUs = 0, writeEndUs = 0, endUs = 0;
    };
    const Figures& Counts() const { return figures_; }

    // One row of the state table.
    struct Row;
    static const Row& RowOf(UpState s);

  private:
    static const Row kTable[static_cast<size_t>(UpState::Count)];
    // The parts of the configuration put back: each is one exchange to
    // write and one to read back.
    enum ConfigPart : int {
        kPartBlock2,
        kPartBlock3,
        kPartTable0,  // the correction table's four chunks
        kPartBlock5 = kPartTable0 + 4,
        kPartTestData,
    };
    friend struct UpgradeStates;
    // --- Driver (FirmwareUpgrade.cpp) ---
    void Enter(UpState s);
    void Schedule(double atUs);
    void Drive();
    bool RunExchange(const Row& row);
    bool AwaitLink();
    bool TakeEvent(const Row& row);
    void Changed();
    void Say(const QString& text);
    QString Text(UpText id) const;
    void Finish(UpgradeOutcome outcome, UpgradeStop why, const QString& text);
    void Fail(UpgradeStop why, const QString& reason);
    void Abort(UpgradeStop why);
    void Box(const QString& text, BoxIcon icon);
    bool Silent() const;
    double SlowWaitUs() const;
    void SetProgress(double fraction);

    // --- Exchanges: one try each, run by the driver (UpgradeExchanges.cpp) ---
    bool XReadLive();
    bool XModeRead();
    bool XSerialRead();
    bool XSaveBlock2();
    bool XSaveBlock3();
    bool XSaveTable();
    bool XSaveBlock5();
    bool XSaveTestData();
    bool XProgramming();
    bool XErase();
    bool XWriteChunk();
    bool XWriteEnd();
    bool XReadIdentity();
    bool XRestore();
    bool XSaveFlash();
    bool XVerify();
    bool ReadRaw(int block, uint8_t command, size_t bytes, std::vector<uint8_t>& out);
    // --- Questions, asked by the driver ---
    bool QChooseBackup();
    bool QConfirm();
    bool QSkipChunk();

    // --- Step handlers (UpgradeSteps.cpp) ---
    void OnPressRead(bool ok);
    void OnCheckRead(bool ok);
    void OnModeRead(bool ok);
    void OnSerialRead(bool ok);
    void OnChooseBackup(bool ok);
    void OnCheckFailPause(bool ok);
    void OnSaveBlock(bool ok);
    void OnSaveTable(bool ok);
    void OnSaveTestData(bool ok);
    void OnConfirm(bool ok);
    void OnProgramming(bool ok);
    void OnErase(bool ok);
    void OnWrite(bool ok);
    void OnSkipQuestion(bool ok);
    void OnWriteEnd(bool ok);
    void OnEndSettle(bool ok);
    void OnBlink(bool ok);
    void OnReadIdentity(bool ok);
    void OnRestore(bool ok);
    void OnRestoreGrow(bool ok);
    void OnSaveFlash(bool ok);
    void OnVerify(bool ok);
    bool StartSequence();
    void StartResume();
    bool Block5FromDefaultSet(std::vector<uint8_t>& out);
    bool VerifyFirmwareFile();
    bool WriteBackup();
    // The image as the backup keeps it: no pending edits, the ECU's table.
    ParamImage BackupImage() const;
    bool NextChunk();
    void BuildRestoreFrames(uint32_t parts, bool clears);
    std::vector<int> RestoreParts() const;
    std::vector<uint8_t> SavedPart(int part) const;
    QString PartNames(uint32_t parts) const;
    void ApplyRestoredImage();
    bool Block5Needed() const;

    EcuSession& session_;
    Options options_;
    UpState state_ = UpState::Checking;
    UpgradeStage stage_ = UpgradeStage::Checking;
    UpgradeStep step_ = UpgradeStep::None;
    QString message_;
    double progress_ = 0;
    bool barVisible_ = false;
    bool nextShown_ = true;  // "Next" stays hidden once an Esc or the sequence hid it
    bool closeRequested_ = false;
    bool result_ = false;
    UpgradeOutcome outcome_ = UpgradeOutcome::Pending;
    UpgradeStop stop_ = UpgradeStop::None;
    bool touched_ = false;
    bool resuming_ = false;
    bool written_ = false;  // the end of writing was answered
    // Events waiting for the step in progress to end.
    bool escPending_ = false;
    bool interruptPending_ = false;
    // The driver's next run is posted.
    bool scheduled_ = false;
    double dueUs_ = 0;
    // The press's own read of block 1 succeeded (its values are fresh).
    bool freshValues_ = false;
    // The stage "Next" was pressed in.
    UpgradeStage pressedIn_ = UpgradeStage::Checking;
    // Counters of the repeated states (chunks, table parts, blinks, frames).
    int index_ = 0;
    int repeat_ = 0;
    uint64_t offset_ = 0;
    bool skipped_ = false;
    std::vector<uint8_t> chunk_;   // the bytes of the chunk being written (empty: all 0xFF)
    std::vector<uint8_t> answer_;  // the test data of an ECU waiting for its program
    QString boxText_;              // a box the driver shows once the step is over
    BoxIcon boxIcon_ = BoxIcon::None;
    std::vector<QByteArray> frames_;
    // The read-back of the configuration: the parts to compare, the parts
    // found different, and the rounds of write, save and read-back so far.
    std::vector<int> verifyParts_;
    uint32_t differing_ = 0;
    int restoreRound_ = 0;
    std::optional<uint32_t> ecuSerial_;
    QString fileIdentity_;  // the firmware file's identity the upgrade writes
    QString backupPath_;
    std::vector<BackupCandidate> candidates_;
    SavedConfiguration saved_;
    uint32_t failedAddress_ = 0;
    Figures figures_;
    std::vector<std::function<void()>> listeners_;
    std::shared_ptr<bool> alive_;
};

// The ECU's mode byte says it waits for a program: an upgrade was
// interrupted after programming mode was asked for. One memory-zone read,
// after the link is back when it was reopening (a script's own call, not a
// step).
bool EcuWaitsForProgram(EcuSession& session);

}  // namespace gascal
