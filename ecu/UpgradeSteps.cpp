// The firmware upgrade's step handlers: each takes the result of its
// state's exchange (or question, or due time), decides and enters the next
// state. None of them waits or processes events.
#include <algorithm>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareCheck.h"
#include "ecu/FirmwareUpgrade.h"
#include "ecu/RequestBridge.h"
#include "ecu/UpgradeTexts.h"
#include "link/core/FirmwareIdentity.h"
#include "link/firmware/FlashImage.h"

namespace gascal {

namespace {
constexpr double kBlinkUs = 100000;
constexpr int kWriteEndBlinks = 21;
constexpr int kEndBlinks = 10;
constexpr double kBarGrowUs = 20000;
constexpr int kBarGrowSteps = 10;
constexpr const char* kProgrammingFailed = "COMUNICATION ERROR, SEND MESSAGE";

QString Address6(uint32_t a) {
    return QStringLiteral("%1").arg(a, 6, 16, QLatin1Char('0')).toUpper();
}
}  // namespace

// --- Stage 0 ------------------------------------------------------------------------------

void FirmwareUpgrade::OnPressRead(bool ok) {
    // Every press reads the live values once, whatever comes of it.
    freshValues_ = ok;
    if (pressedIn_ == UpgradeStage::Checking) {
        Enter(UpState::CheckRead);
        return;
    }
    // The sequence starts only on live values read now that show the engine
    // stopped and the key off (an ECU waiting for its program has none).
    const Mem1Fields& m = session_.Image().Mem1Block;
    if (!resuming_ && (!freshValues_ || m.Rpm != 0 || m.KeyOn != 0)) {
        stop_ = freshValues_ ? UpgradeStop::NotAllowed : UpgradeStop::Link;
        message_ = Text(freshValues_ ? UpText::MsgNotAllowed : UpText::MsgCommFailure);
        Enter(UpState::Checking);
        return;
    }
    if (!StartSequence()) return;
}

void FirmwareUpgrade::OnCheckRead(bool ok) {
    if (!ok) {
        // An ECU left in its boot loader by an interrupted upgrade answers no
        // block: is it waiting for its program?
        Enter(UpState::ModeRead);
        return;
    }
    const Mem1Fields& m = session_.Image().Mem1Block;
    if (m.Rpm != 0 || m.KeyOn != 0) {
        stop_ = UpgradeStop::NotAllowed;
        message_ = Text(UpText::MsgNotAllowed);
        Enter(UpState::Checking);
        return;
    }
    // An ECU that runs the file's firmware already, version and date alike,
    // has nothing to be done (unless the upgrade is forced).
    const ClsComm& comm = session_.Comm();
    if (!options_.force && !comm.FirmwareEcu().isEmpty() &&
        JudgeFirmware(comm.FirmwareEcu(), fileIdentity_) == FirmwareVerdict::Accepted) {
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::NothingToDo, Text(UpText::MsgNothingToDo));
        return;
    }
    stop_ = UpgradeStop::None;
    message_ = Text(UpText::MsgInvitation);
    Enter(UpState::Ready);
}

void FirmwareUpgrade::OnModeRead(bool ok) {
    // The mode byte 2: the boot loader waits for a program.
    if (ok && answer_.front() == ECU_PROGRAMMING) {
        Enter(UpState::SerialRead);
        return;
    }
    dueUs_ = MicroSeconds() + kCheckFailPauseUs;
    repeat_ = 0;
    stop_ = UpgradeStop::Link;
    Enter(UpState::CheckFailPause);
}

void FirmwareUpgrade::OnCheckFailPause(bool) {
    // The failure stays shown 11 x 100 ms, then the press acts as "Esc".
    if (++repeat_ < kCheckFailPauses) {
        dueUs_ += kCheckFailPauseUs;
        Enter(UpState::CheckFailPause);
        return;
    }
    Abort(UpgradeStop::Link);
}

void FirmwareUpgrade::OnSerialRead(bool ok) {
    // The test data of a boot loader that keeps them names the ECU.
    ecuSerial_.reset();
    if (ok && answer_.size() >= 4) {
        const uint32_t serial = uint32_t{answer_[0]} | uint32_t{answer_[1]} << 8 |
                                uint32_t{answer_[2]} << 16 | uint32_t{answer_[3]} << 24;
        if (serial != 0 && serial != 0xFFFFFFFFu) ecuSerial_ = serial;
    }
    StartResume();
}

void FirmwareUpgrade::StartResume() {
    if (!options_.backupPath.isEmpty()) {
        candidates_.clear();
        backupPath_ = options_.backupPath;
        OnChooseBackup(true);
        return;
    }
    candidates_.clear();
    for (const UpgradeBackupInfo& b :
         IncompleteUpgradePoints(HistoryRoot(), ecuSerial_, InstallDir()))
        if (!ecuSerial_ || b.serial == *ecuSerial_)
            candidates_.push_back({b.path, b.serial, b.time});
    if (candidates_.empty()) {
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::Backup, Text(UpText::MsgNoBackup));
        return;
    }
    if (ecuSerial_ && candidates_.size() == 1) {
        backupPath_ = candidates_.front().path;
        OnChooseBackup(true);
        return;
    }
    // Unknown serial number, or several interrupted upgrades of it: the
    // fitter chooses.
    if (!options_.chooseBackup) {
        QString list;
        for (const BackupCandidate& c : candidates_)
            list += QStringLiteral("\n%1  %2  %3").arg(c.serial).arg(c.time, c.path);
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::ChooseBackup,
               Text(UpText::MsgChooseBackup) + list);
        return;
    }
    Enter(UpState::ChooseBackup);
}

void FirmwareUpgrade::OnChooseBackup(bool ok) {
    if (!ok || backupPath_.isEmpty()) {
        backupPath_.clear();
        Abort(UpgradeStop::Cancelled);
        return;
    }
    QString why;
    const std::optional<SavedConfiguration> saved = ReadUpgradeBackup(backupPath_, &why);
    // A backup of another project's ECU is not put into this one.
    const QString fileCode = IdentityDescWord(fileIdentity_, 2).toUpper();
    if (saved && !fileCode.isEmpty() &&
        IdentityDescWord(saved->ecuIdentity, 2).toUpper() != fileCode)
        why = QStringLiteral("%1 was saved from an ECU of project \"%2\"")
                  .arg(backupPath_, IdentityDescWord(saved->ecuIdentity, 2).trimmed());
    if (saved && ecuSerial_ && saved->SerialNumber() != *ecuSerial_)
        why = QStringLiteral("%1 was saved from the ECU with serial number %2, this one has %3")
                  .arg(backupPath_)
                  .arg(saved->SerialNumber())
                  .arg(*ecuSerial_);
    if (!saved || !why.isEmpty()) {
        backupPath_.clear();
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::Backup,
               Text(UpText::MsgBackupUnusable) + QStringLiteral("\n") + why);
        return;
    }
    saved_ = *saved;
    resuming_ = true;
    message_ = Text(UpText::MsgResume) + QStringLiteral("\n") + backupPath_;
    Enter(UpState::Ready);
}

// --- Stage 1: the configuration, the firmware file, the backup -------------------------------

bool FirmwareUpgrade::StartSequence() {
    figures_ = Figures();
    figures_.startUs = MicroSeconds();
    nextShown_ = true;
    if (resuming_) {
        if (!VerifyFirmwareFile()) return false;
        touched_ = true;
        Enter(UpState::Programming);
        return true;
    }
    saved_ = SavedConfiguration();
    saved_.ecuIdentity = session_.Comm().FirmwareEcu();
    saved_.ecuVersion = session_.Comm().FirmwareEcuVersNum();
    Enter(UpState::SaveBlock2);
    return true;
}

void FirmwareUpgrade::OnSaveBlock(bool ok) {
    if (!ok) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    if (state_ == UpState::SaveBlock2) {
        Enter(UpState::SaveBlock3);
    } else if (state_ == UpState::SaveBlock3) {
        index_ = 0;
        saved_.table.clear();
        Enter(UpState::SaveTable);
    } else {
        Enter(UpState::SaveTestData);
    }
}

void FirmwareUpgrade::OnSaveTable(bool ok) {
    if (!ok) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    if (++index_ < kCorChunks) {
        Enter(UpState::SaveTable);
        return;
    }
    session_.Image().CorTable = session_.Image().CorTableEcu;
    // Firmware 132 and lower has no block 5 of its own to keep: the ECU gets
    // the default set's.
    if (saved_.ecuVersion <= kFirmwareWithBlock5) {
        if (!Block5FromDefaultSet(saved_.mem5)) return;
        Enter(UpState::SaveTestData);
        return;
    }
    Enter(UpState::SaveBlock5);
}

bool FirmwareUpgrade::Block5FromDefaultSet(std::vector<uint8_t>& out) {
    const QString path = SystemPath(QString::fromLatin1(kDefaultSetPath));
    QStringList lines;
    out.clear();
    if (FileExists(path) && ReadLatin1Lines(path, lines)) {
        for (const QString& raw : lines) {
            const QString line = raw.trimmed();
            if (!line.startsWith(QLatin1String("B5"))) continue;
            bool ok = false;
            out = HexToBytes(line.mid(2).trimmed(), &ok);
            if (!ok) out.clear();
            break;
        }
    }
    if (out.size() != static_cast<size_t>(kMem5Bytes)) {
        out.clear();
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::DefaultSet,
               Text(UpText::MsgDefaultSetMissing) + QStringLiteral("\n") + path);
        return false;
    }
    LoadBlock5FromFile(path, session_.Image());
    return true;
}

void FirmwareUpgrade::OnSaveTestData(bool ok) {
    if (!ok) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    if (!VerifyFirmwareFile()) return;
    if (options_.confirmErase) {
        Enter(UpState::Confirm);
        return;
    }
    OnConfirm(true);
}

bool FirmwareUpgrade::VerifyFirmwareFile() {
    // The file is read and checked again now, record by record: what is
    // written is the image of a file that verified, and the firmware the
    // fitter was shown.
    QString identity, error;
    const bool read =
        ReadFirmwareFileIdentity(session_.Flash(), session_.FirmwareImage(), identity, &error);
    if (read && RecordAddressList(FirmwareFilePath(), session_.Flash()).contains(QString()))
        error = QStringLiteral("The record list of %1 cannot be used").arg(FirmwareFilePath());
    if (read && error.isEmpty() && !fileIdentity_.isEmpty() && identity != fileIdentity_)
        error = QStringLiteral("%1 changed since the ECU was checked against it")
                    .arg(FirmwareFilePath());
    if (!read || !error.isEmpty() || identity.isEmpty()) {
        Fail(UpgradeStop::FirmwareFile,
             Text(UpText::MsgFileNotVerified) + QStringLiteral("\n") + error);
        return false;
    }
    fileIdentity_ = identity;
    return true;
}

void FirmwareUpgrade::OnConfirm(bool ok) {
    if (!ok) {
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::Declined, Text(UpText::MsgAborted));
        return;
    }
    // The fitter agreed: only now is a backup written.
    if (!WriteBackup()) return;
    touched_ = true;
    Enter(UpState::Programming);
}

ParamImage FirmwareUpgrade::BackupImage() const {
    ParamImage image = session_.Image();
    image.SetHost(nullptr);
    image.ResetPendingEdits();
    image.CorTable = image.CorTableEcu;
    return image;
}

bool FirmwareUpgrade::WriteBackup() {
    // The backup is the ECU's restore point, unless the fitter named a file.
    QString why;
    const int fileVersion = IdentityVersNum(fileIdentity_, true);
    if (options_.backupPath.isEmpty()) {
        const std::optional<RestorePoint> p = WriteUpgradePoint(
            HistoryRoot(), saved_, BackupImage(), fileVersion, session_.ProductTitle(),
            PointReason::Upgrade, Events().Now(), {}, &why);
        backupPath_ = p ? p->path : QString();
    } else if (WriteUpgradeBackup(options_.backupPath, saved_, BackupImage(), fileVersion,
                                  session_.ProductTitle())) {
        backupPath_ = options_.backupPath;
    } else {
        why = options_.backupPath;
    }
    if (backupPath_.isEmpty()) {
        Fail(UpgradeStop::Backup, Text(UpText::MsgBackupFailed) + QStringLiteral("\n") + why);
        return false;
    }
    message_ = Text(UpText::MsgBackupSaved) + QStringLiteral("\n") + backupPath_;
    return true;
}

// --- Programming, erase, writing ---------------------------------------------------------------

void FirmwareUpgrade::OnProgramming(bool ok) {
    if (!ok) {
        Box(QString::fromLatin1(kProgrammingFailed), BoxIcon::Critical);
        Fail(UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    Enter(UpState::Erase);
}

void FirmwareUpgrade::OnErase(bool ok) {
    if (!ok || session_.Comm().EcuState() != ECU_FLASH_WRITE) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    const uint32_t larg = session_.Flash().LargFlash();
    figures_.writeStartUs = MicroSeconds();
    figures_.chunks = static_cast<int>(larg / kFlashChunkBytes + 1);
    offset_ = 0;
    skipped_ = false;
    Enter(UpState::Write);
}

bool FirmwareUpgrade::NextChunk() {
    // Next chunk, or the end of writing when the image is done.
    offset_ += kFlashChunkBytes;
    const uint32_t larg = session_.Flash().LargFlash();
    if (offset_ <= larg) {
        SetProgress(larg ? static_cast<double>(offset_) / larg : 1.0);
        Enter(UpState::Write);
        return true;
    }
    progress_ = 1;
    figures_.writeEndUs = MicroSeconds();
    Changed();
    if (skipped_) {
        // The end of writing is not sent: a program with a hole never runs.
        // The ECU stays in its boot loader until the upgrade is run again.
        Finish(UpgradeOutcome::Incomplete, UpgradeStop::ChunkSkipped,
               Text(UpText::MsgIncomplete) + QStringLiteral("\n") + backupPath_);
        return false;
    }
    Enter(UpState::WriteEnd);
    return false;
}

void FirmwareUpgrade::OnWrite(bool ok) {
    const ClsComm& comm = session_.Comm();
    const uint32_t address = session_.Flash().BaseAddress() + static_cast<uint32_t>(offset_);
    if (!ok) {
        failedAddress_ = address;
        const QString where =
            Text(UpText::MsgChunkRefused) + QLatin1Char(' ') + Address6(address) + QLatin1Char('.');
        // An ECU that stopped answering is not asked chunk after chunk.
        if (Silent() || comm.ComState() == ComState::Stopped) {
            Fail(UpgradeStop::LinkLost, Text(UpText::MsgLinkLost) + QLatin1Char(' ') + where);
            return;
        }
        if (options_.skipFailedChunks) {
            OnSkipQuestion(*options_.skipFailedChunks);
            return;
        }
        Enter(UpState::SkipQuestion);
        return;
    }
    ++(chunk_.empty() ? figures_.blank : figures_.sent);
    // The ECU left flash writing (it restarted, or the link was reset).
    if (comm.EcuState() != ECU_FLASH_WRITE) {
        Fail(UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    NextChunk();
}

void FirmwareUpgrade::OnSkipQuestion(bool skip) {
    if (!skip) {
        Fail(UpgradeStop::ChunkFailed, Text(UpText::MsgChunkRefused) + QLatin1Char(' ') +
                                           Address6(failedAddress_) + QLatin1Char('.'));
        return;
    }
    skipped_ = true;
    ++figures_.skipped;
    NextChunk();
}

// --- End of writing, identity ------------------------------------------------------------------

void FirmwareUpgrade::OnWriteEnd(bool ok) {
    // Whether or not the end was answered, the ECU's own identity decides.
    written_ = ok;
    dueUs_ = MicroSeconds() + (ok ? kFlashEndSettleUs : 0);
    Enter(UpState::EndSettle);
}

void FirmwareUpgrade::OnEndSettle(bool) {
    repeat_ = 0;
    dueUs_ = MicroSeconds() + kBlinkUs;
    barVisible_ = !barVisible_;
    Enter(UpState::EndBlink);
}

void FirmwareUpgrade::OnBlink(bool) {
    const bool final = state_ == UpState::FinalBlink;
    if (++repeat_ < (final ? kEndBlinks : kWriteEndBlinks)) {
        barVisible_ = !barVisible_;
        dueUs_ += kBlinkUs;
        Enter(state_);
        return;
    }
    barVisible_ = true;
    if (final) {
        Finish(UpgradeOutcome::Complete, UpgradeStop::None, Text(UpText::MsgCompleted));
        return;
    }
    Enter(UpState::ReadIdentity);
}

void FirmwareUpgrade::OnReadIdentity(bool ok) {
    if (ok && session_.Comm().FirmwareEcu() == fileIdentity_) {
        written_ = true;
        restoreRound_ = 0;
        uint32_t parts = 0;
        for (int p : RestoreParts()) parts |= 1u << p;
        BuildRestoreFrames(parts, true);
        index_ = 0;
        Enter(UpState::Restore);
        return;
    }
    if (!ok) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
    } else {
        Fail(UpgradeStop::Identity, Text(UpText::MsgIdentityMismatch));
    }
}

// --- Configuration, save -----------------------------------------------------------------------

void FirmwareUpgrade::OnRestore(bool ok) {
    if (!ok) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    // The bar grows between the exchanges.
    repeat_ = 0;
    dueUs_ = MicroSeconds() + kBarGrowUs;
    Enter(UpState::RestoreGrow);
}

void FirmwareUpgrade::OnRestoreGrow(bool) {
    ++repeat_;
    SetProgress((static_cast<double>(index_) + static_cast<double>(repeat_) / kBarGrowSteps) /
                frames_.size());
    if (repeat_ < kBarGrowSteps) {
        dueUs_ += kBarGrowUs;
        Enter(UpState::RestoreGrow);
        return;
    }
    if (++index_ < static_cast<int>(frames_.size())) {
        Enter(UpState::Restore);
        return;
    }
    ApplyRestoredImage();
    Enter(UpState::SaveFlash);
}

void FirmwareUpgrade::OnSaveFlash(bool ok) {
    if (!ok) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    // What the ECU holds now is read back: an ECU reset during the write-back
    // or the save takes the parts it had not saved with its working memory.
    verifyParts_ = RestoreParts();
    differing_ = 0;
    index_ = 0;
    Enter(UpState::Verify);
}

void FirmwareUpgrade::OnVerify(bool ok) {
    if (!ok) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }
    if (++index_ < static_cast<int>(verifyParts_.size())) {
        Enter(UpState::Verify);
        return;
    }
    if (differing_ == 0) {
        // The backup is of a completed upgrade now: never a candidate to
        // resume from. A restore point is not rewritten: a second point says so.
        const RestorePoint taken = ReadRestorePoint(backupPath_);
        if (!taken.damaged && taken.reason == PointReason::Upgrade)
            WriteUpgradePoint(HistoryRoot(), saved_, BackupImage(),
                              IdentityVersNum(fileIdentity_, true), session_.ProductTitle(),
                              PointReason::Upgraded, Events().Now(), taken.id);
        else
            MarkUpgradeBackupCompleted(backupPath_);
        repeat_ = 0;
        dueUs_ = MicroSeconds() + kBlinkUs;
        Enter(UpState::FinalBlink);
        return;
    }
    // The parts the ECU does not hold are written and saved again.
    if (++restoreRound_ < kRestoreRounds) {
        BuildRestoreFrames(differing_, false);
        index_ = 0;
        Enter(UpState::Restore);
        return;
    }
    Finish(UpgradeOutcome::Failed, UpgradeStop::NotHeld,
           Text(UpText::MsgConfigNotHeld) + QLatin1Char(' ') + PartNames(differing_) +
               QStringLiteral("\n") + backupPath_);
}

}  // namespace gascal
