// The firmware upgrade: the procedure behind the upgrade window (FrmUpdate)
// and `gascal-cli upgrade`, as a state machine over the ECU session. It has
// no widgets: a front end presses its buttons (Next, Esc) and shows what it
// reports (stage, step, message, bar, which buttons are there).
//
// Stages (the window's numbers): 0 checking, 1 ready, 4 finished, 5 aborted.
// "Next" in stage 0 reads the live values: the upgrade is refused while the
// engine turns or the key is on; otherwise stage 1 invites the fitter to
// start. "Next" in stage 1 runs the steps, numbered as the window shows them:
//   1 SaveConfiguration  blocks 2, 3, the correction table, block 5 (from
//                        \LNG\Default.Xar at firmware 132 or lower), the test
//                        data; the firmware file is verified again and the
//                        configuration written to a backup file
//   2 Initialization     programming mode
//   3 EraseFlash         the flash is erased
//   4 WriteMemory        128-byte chunks, all-0xFF chunks not sent, three tries
//   5 WriteEnd           end of writing: the ECU restarts into the new firmware
//   6 ReadIdentity       both identities read again; the ECU must report the file's
//   7 Configuration      the saved configuration written back, samples and
//                        errors cleared
//   8 SaveFlash          the ECU saves it to flash
//   9 EndUpgrade         done
// Each exchange is tried three times; a try is not started once the ECU has
// not answered anything for two minutes, so a silent link ends the run within
// minutes.
//
// Safety: nothing reaches the ECU before the configuration is in the backup
// file and the firmware file verified; a chunk skipped at the fitter's choice
// ends the upgrade as incomplete (the end of writing is not sent: the ECU
// waits in its boot loader); an ECU found waiting for its program (an
// interrupted upgrade) is written again and gets its configuration from the
// newest backup of the installation folder (or the one given).
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

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
    Incomplete = 2,  // a chunk was skipped: the ECU waits for its program
    Failed = 3,      // stopped by a failure (the ECU may or may not have been touched)
    Cancelled = 4,   // refused, declined or aborted before anything was changed
};

// Why an upgrade stopped.
enum class UpgradeStop : uint8_t {
    None = 0,
    Link = 1,          // the ECU did not answer
    NotAllowed = 2,    // engine turning or key on
    FirmwareFile = 3,  // the firmware file did not verify
    Backup = 4,        // the backup could not be written, or none to resume from
    DefaultSet = 5,    // \LNG\Default.Xar holds no usable block 5
    Declined = 6,      // the fitter said no before the erase
    Cancelled = 7,     // "Esc"
    ChunkFailed = 8,   // a chunk failed three times and was not skipped
    ChunkSkipped = 9,  // a chunk was skipped
    LinkLost = 10,     // the ECU stopped answering while it was being written
    Identity = 11,     // after writing, the ECU does not report the file's firmware
};

inline constexpr int kFlashChunkBytes = 128;
inline constexpr int kUpgradeAttempts = 3;
// A try is not started after this long without any valid answer.
inline constexpr double kUpgradeSilenceUs = 120e6;
// The slow commands (programming mode, erase) wait AttesaGlobale_usec times
// MolAttesaGlobale for their answer, but never longer than this.
inline constexpr double kSlowCommandMaxWaitUs = 15e6;
inline constexpr double kUpgradeSaveFlashWaitUs = 6e6;
inline constexpr double kFlashEndSettleUs = 4e6;

class FirmwareUpgrade {
public:
    struct Options {
        // After a chunk failed three times: true goes on without it (the
        // upgrade then ends incomplete), false stops. Unset: the fitter is
        // asked (Yes goes on).
        std::optional<bool> skipFailedChunks;
        // Asked once the backup is written and before the ECU is changed;
        // false cancels. Unset: no question (the window's "Next" was it).
        std::function<bool(const QString& backupPath)> confirmErase;
        // Where the backup goes (default: named after the ECU and the time in
        // the installation folder); for an interrupted upgrade, the backup to
        // restore from (default: the newest in the installation folder).
        QString backupPath;
    };

    FirmwareUpgrade(EcuSession& session, Options options);
    explicit FirmwareUpgrade(EcuSession& session) : FirmwareUpgrade(session, Options()) {}
    FirmwareUpgrade(const FirmwareUpgrade&) = delete;
    FirmwareUpgrade& operator=(const FirmwareUpgrade&) = delete;

    // --- Buttons -----------------------------------------------------------------
    void Next();  // CmdUpdate_Click
    void Esc();   // CmdEsc_Click

    // --- What the window shows ------------------------------------------------------
    UpgradeStage Stage() const { return stage_; }
    UpgradeStep Step() const { return step_; }
    // The step label's text ("Erase Flash ", ...); steps 1 and 6 have none
    // (the label keeps showing the one before).
    static QString StepLabel(UpgradeStep step);
    const QString& Message() const { return message_; }
    QString EcuRelease() const;   // "01.00.32 - 25/03/15"
    QString FileRelease() const;
    double Progress() const { return progress_; }  // the bar, 0..1
    bool BarVisible() const { return barVisible_; }
    bool NextVisible() const { return nextVisible_; }
    bool NextEnabled() const { return nextEnabled_; }
    bool EscEnabled() const { return escEnabled_ && !busy_; }
    bool Busy() const { return busy_; }  // hourglass: a step runs
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

    // --- The system's own operations --------------------------------------------------
    // Erases the flash: false (after the warning) when the firmware file's
    // record list is unusable, or when the ECU does not report flash writing.
    bool EraseAllFlash();
    // Writes the 128 image bytes of this flash address: "%OK" or "%KO"; a
    // chunk of 0xFF only is "%OK" without being sent.
    QString WriteMemoryToTab(uint32_t address);

private:
    void Changed();
    void Say(const QString& text);
    QString Text(UpText id) const;
    bool ReadLiveValues();
    bool EngineOrKeyOn() const;
    void Check();
    void PrepareResume();
    void Run(bool freshValues);
    void Sequence();
    void SetStep(UpgradeStep s);
    bool SaveConfiguration();
    bool ReadRaw(int block, uint8_t command, size_t bytes, std::vector<uint8_t>& out);
    bool ReadTableRaw(std::vector<uint8_t>& out);
    bool Block5FromDefaultSet(std::vector<uint8_t>& out);
    bool VerifyFirmwareFile();
    bool WriteBackup();
    bool EnterProgramming();
    enum class WriteResult { Done, Skipped, Failed };
    WriteResult WriteFlash();
    bool SkipChunk(uint32_t address);
    bool EndAndIdentify();
    bool RestoreConfiguration();
    bool SaveFlash();
    void Blink(int times);
    bool Attempt(const std::function<bool()>& request);
    bool Silent() const;
    double SlowWaitUs() const;
    void Finish(UpgradeOutcome outcome, UpgradeStop why, const QString& text);
    void Fail(UpgradeStop why, const QString& reason);

    EcuSession& session_;
    Options options_;
    UpgradeStage stage_ = UpgradeStage::Checking;
    UpgradeStep step_ = UpgradeStep::None;
    QString message_;
    double progress_ = 0;
    bool barVisible_ = false;
    bool nextVisible_ = true;
    bool nextEnabled_ = true;
    bool escEnabled_ = true;
    bool busy_ = false;
    bool closeRequested_ = false;
    bool result_ = false;
    UpgradeOutcome outcome_ = UpgradeOutcome::Pending;
    UpgradeStop stop_ = UpgradeStop::None;
    bool touched_ = false;
    bool resuming_ = false;
    QString fileIdentity_;  // the firmware file's identity the upgrade writes
    QString backupPath_;
    SavedConfiguration saved_;
    uint32_t failedAddress_ = 0;
    Figures figures_;
    std::vector<std::function<void()>> listeners_;
};

// The ECU's mode byte says it waits for a program: an upgrade was
// interrupted after the flash was erased. One memory-zone read, after the
// link is back when it was reopening.
bool EcuWaitsForProgram(EcuSession& session);

}  // namespace gascal
