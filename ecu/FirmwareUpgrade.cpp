#include "ecu/FirmwareUpgrade.h"

#include <algorithm>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/RequestBridge.h"
#include "ecu/UpgradeTexts.h"
#include "link/core/CommandTable.h"
#include "link/core/FirmwareIdentity.h"
#include "link/core/Frame.h"
#include "link/firmware/FlashImage.h"

namespace gascal {

namespace {
constexpr const char* kChunkQuestion = "COMUNICATION ERROR, SEND MESSAGE";
constexpr const char* kChunkQuestionEnd = "YES TO CONTINUE!";
constexpr const char* kChunkQuestionTitle = " - ScaricaFirmwareDefaultParametri ";
constexpr const char* kProgrammingFailed = "COMUNICATION ERROR, SEND MESSAGE";
constexpr const char* kProgramNotLoaded = "Il Programma non \xE8 stato Caricato Correttamente !";
const QString kOk = QStringLiteral("%OK");
const QString kKo = QStringLiteral("%KO");

constexpr double kCheckFailPauseUs = 100000;
constexpr int kCheckFailPauses = 11;
constexpr double kBlinkUs = 100000;
constexpr int kWriteEndBlinks = 21;
constexpr int kEndBlinks = 10;
constexpr double kBarGrowUs = 20000;
constexpr int kBarGrowSteps = 10;
constexpr double kReopenMarginUs = 2e6;
constexpr double kReopenPollUs = 10000;
constexpr uint32_t kModeByteAddress = 0x0000013A;
constexpr size_t kTestDataBytes = 16;

// Waits until the link is idle again after it had to reopen the port.
void WaitForLink(ClsComm& comm) {
    const double until = MicroSeconds() + comm.AttesaGlobaleDefault_usec() + kReopenMarginUs;
    while (comm.ComState() != COM_IDLE && comm.ComState() != COM_STOP && MicroSeconds() < until)
        WaitMicroSeconds(kReopenPollUs);
}

QByteArray Bytes(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

QString Address6(uint32_t a) { return QStringLiteral("%1").arg(a, 6, 16, QLatin1Char('0')).toUpper(); }
}  // namespace

bool EcuWaitsForProgram(EcuSession& session) {
    ClsComm& comm = session.Comm();
    if (comm.ComState() == COM_STOP) return false;
    WaitForLink(comm);
    QByteArray data;
    for (int shift = 24; shift >= 0; shift -= 8) data.append(static_cast<char>(kModeByteAddress >> shift));
    data.append('\x01');
    session.Requests().ForgetAnswer(CMD_READ_MEM_ZONE);
    if (!comm.SendAndWait(BuildRequest(CMD_READ_MEM_ZONE, data))) return false;
    const std::vector<uint8_t> mode = HexToBytes(session.Requests().LastAnswer(CMD_READ_MEM_ZONE));
    return !mode.empty() && mode[0] == ECU_PROGRAMMING;
}

FirmwareUpgrade::FirmwareUpgrade(EcuSession& session, Options options)
    : session_(session), options_(std::move(options)), fileIdentity_(session.Comm().FirmwareFle()) {}

// --- What is shown -------------------------------------------------------------------

QString FirmwareUpgrade::StepLabel(UpgradeStep step) {
    switch (step) {
        case UpgradeStep::None: return QString();
        case UpgradeStep::SaveConfiguration: return QString();
        case UpgradeStep::Initialization: return QStringLiteral("Inizialization ");
        case UpgradeStep::EraseFlash: return QStringLiteral("Erase Flash ");
        case UpgradeStep::WriteMemory: return QStringLiteral("Write Memory");
        case UpgradeStep::WriteEnd: return QStringLiteral("Write End");
        case UpgradeStep::ReadIdentity: return QString();
        case UpgradeStep::Configuration: return QStringLiteral("Configuration ");
        case UpgradeStep::SaveFlash: return QStringLiteral("Save Flash ");
        case UpgradeStep::EndUpgrade: return QStringLiteral("End UpGrade ");
    }
    return QString();
}

QString FirmwareUpgrade::EcuRelease() const {
    const ClsComm& c = session_.Comm();
    return c.FirmwareEcuVersStr() + QStringLiteral(" - ") + c.FirmwareEcuDataStr();
}

QString FirmwareUpgrade::FileRelease() const {
    const ClsComm& c = session_.Comm();
    return c.FirmwareFleVersStr() + QStringLiteral(" - ") + c.FirmwareFleDataStr();
}

void FirmwareUpgrade::Changed() {
    for (const auto& f : listeners_) f();
}

void FirmwareUpgrade::Say(const QString& text) {
    message_ = text;
    Changed();
}

QString FirmwareUpgrade::Text(UpText id) const { return UpgradeText(id, session_.Lookup()); }

void FirmwareUpgrade::SetStep(UpgradeStep s) {
    step_ = s;
    Changed();
}

void FirmwareUpgrade::Finish(UpgradeOutcome outcome, UpgradeStop why, const QString& text) {
    outcome_ = outcome;
    stop_ = why;
    result_ = outcome == UpgradeOutcome::Complete;
    stage_ = UpgradeStage::Finished;
    nextVisible_ = false;
    barVisible_ = false;
    escEnabled_ = true;
    busy_ = false;
    figures_.endUs = MicroSeconds();
    Say(text);
}

void FirmwareUpgrade::Fail(UpgradeStop why, const QString& reason) {
    if (!touched_) {
        Finish(UpgradeOutcome::Failed, why, reason + QStringLiteral("\n") + Text(UpText::MsgNotStarted));
        return;
    }
    // The ECU may wait for its program now: where its configuration is.
    Finish(UpgradeOutcome::Failed, why,
           reason + QStringLiteral("\n\n") + Text(UpText::MsgFailed) + QStringLiteral("\n") + backupPath_);
}

// --- Buttons ---------------------------------------------------------------------------

void FirmwareUpgrade::Next() {
    if (busy_ || !nextVisible_ || !nextEnabled_ || closeRequested_) return;
    if (stage_ != UpgradeStage::Checking && stage_ != UpgradeStage::Ready) return;
    nextEnabled_ = false;
    Changed();
    // Every press reads the live values once, whatever comes of it.
    const bool fresh = ReadLiveValues();
    if (stage_ == UpgradeStage::Checking)
        Check();
    else
        Run(fresh);
}

void FirmwareUpgrade::Esc() {
    if (busy_ || !escEnabled_ || closeRequested_) return;
    switch (stage_) {
        case UpgradeStage::Finished:
            // Closes with what the upgrade achieved: only a complete upgrade is a success.
            closeRequested_ = true;
            break;
        case UpgradeStage::Aborted:
            result_ = false;
            closeRequested_ = true;
            break;
        case UpgradeStage::Checking:
        case UpgradeStage::Ready:
            stage_ = UpgradeStage::Aborted;
            nextVisible_ = false;
            outcome_ = UpgradeOutcome::Cancelled;
            stop_ = UpgradeStop::Cancelled;
            message_ = QStringLiteral("\n") + Text(UpText::MsgAborted) + QStringLiteral("\n");
            break;
    }
    Changed();
}

// --- Stage 0 ------------------------------------------------------------------------------

bool FirmwareUpgrade::ReadLiveValues() { return session_.Requests().ReadBlock(1); }

bool FirmwareUpgrade::EngineOrKeyOn() const {
    const Mem1Fields& m = session_.Image().Mem1Block;
    return m.Rpm != 0 || m.KeyOn != 0;
}

void FirmwareUpgrade::Check() {
    if (!ReadLiveValues()) {
        // An ECU left in its boot loader by an interrupted upgrade answers no
        // block: it is written again.
        if (EcuWaitsForProgram(session_)) {
            PrepareResume();
            return;
        }
        Say(Text(UpText::MsgCommFailure));
        for (int i = 0; i < kCheckFailPauses; ++i) WaitMicroSeconds(kCheckFailPauseUs);
        stop_ = UpgradeStop::Link;
        Esc();
        stop_ = UpgradeStop::Link;
        return;
    }
    if (EngineOrKeyOn()) {
        stop_ = UpgradeStop::NotAllowed;
        nextEnabled_ = true;
        Say(Text(UpText::MsgNotAllowed));
        return;
    }
    stop_ = UpgradeStop::None;
    stage_ = UpgradeStage::Ready;
    nextEnabled_ = true;
    Say(Text(UpText::MsgInvitation));
}

void FirmwareUpgrade::PrepareResume() {
    const QString path =
        options_.backupPath.isEmpty() ? NewestUpgradeBackup(InstallDir()) : options_.backupPath;
    if (path.isEmpty()) {
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::Backup, Text(UpText::MsgNoBackup));
        return;
    }
    QString why;
    const std::optional<SavedConfiguration> saved = ReadUpgradeBackup(path, &why);
    // A backup of another project's ECU is not put into this one.
    const QString fileCode = IdentityDescWord(fileIdentity_, 2).toUpper();
    if (saved && !fileCode.isEmpty() && IdentityDescWord(saved->ecuIdentity, 2).toUpper() != fileCode)
        why = QStringLiteral("%1 was saved from an ECU of project \"%2\"")
                  .arg(path, IdentityDescWord(saved->ecuIdentity, 2).trimmed());
    if (!saved || !why.isEmpty()) {
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::Backup,
               Text(UpText::MsgBackupUnusable) + QStringLiteral("\n") + why);
        return;
    }
    saved_ = *saved;
    backupPath_ = path;
    resuming_ = true;
    stage_ = UpgradeStage::Ready;
    nextEnabled_ = true;
    Say(Text(UpText::MsgResume) + QStringLiteral("\n") + path);
}

// --- Stage 1 ------------------------------------------------------------------------------

void FirmwareUpgrade::Run(bool freshValues) {
    // The sequence starts only on live values read now that show the engine
    // stopped and the key off (an ECU waiting for its program has none).
    if (!resuming_ && (!freshValues || EngineOrKeyOn())) {
        stage_ = UpgradeStage::Checking;
        nextEnabled_ = true;
        stop_ = freshValues ? UpgradeStop::NotAllowed : UpgradeStop::Link;
        Say(Text(freshValues ? UpText::MsgNotAllowed : UpText::MsgCommFailure));
        return;
    }
    figures_ = Figures();
    figures_.startUs = MicroSeconds();
    busy_ = true;
    Changed();
    Sequence();
    busy_ = false;
    Changed();
}

void FirmwareUpgrade::Sequence() {
    // 1. The configuration, the firmware file, the backup.
    SetStep(UpgradeStep::SaveConfiguration);
    if (!resuming_ && !SaveConfiguration()) return;
    if (!VerifyFirmwareFile()) return;
    if (!resuming_ && !WriteBackup()) return;
    if (options_.confirmErase && !options_.confirmErase(backupPath_)) {
        Finish(UpgradeOutcome::Cancelled, UpgradeStop::Declined, Text(UpText::MsgAborted));
        return;
    }

    // 2. Programming mode.
    nextVisible_ = false;
    barVisible_ = true;
    progress_ = 0;
    touched_ = true;
    SetStep(UpgradeStep::Initialization);
    if (!EnterProgramming()) {
        UserPrompts().MessageBox(QString::fromLatin1(kProgrammingFailed), Text(UpText::UpdateCaption),
                                 BoxIcon::Critical, BoxButtons::Ok);
        Fail(UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }

    // 3. Erase.
    SetStep(UpgradeStep::EraseFlash);
    if (!EraseAllFlash()) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }

    // 4. Write.
    SetStep(UpgradeStep::WriteMemory);
    const WriteResult written = WriteFlash();
    if (written == WriteResult::Failed) return;
    if (written == WriteResult::Skipped) {
        // The end of writing is not sent: a program with a hole never runs.
        // The ECU stays in its boot loader until the upgrade is run again.
        Finish(UpgradeOutcome::Incomplete, UpgradeStop::ChunkSkipped,
               Text(UpText::MsgIncomplete) + QStringLiteral("\n") + backupPath_);
        return;
    }

    // 5, 6. End of writing, both identities again.
    if (!EndAndIdentify()) return;

    // 7. Configuration.
    SetStep(UpgradeStep::Configuration);
    if (!RestoreConfiguration()) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }

    // 8. Save to flash.
    SetStep(UpgradeStep::SaveFlash);
    if (!SaveFlash()) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return;
    }

    // 9. Done.
    SetStep(UpgradeStep::EndUpgrade);
    progress_ = 1;
    barVisible_ = true;
    Blink(kEndBlinks);
    Finish(UpgradeOutcome::Complete, UpgradeStop::None, Text(UpText::MsgCompleted));
}

// --- Step 1 --------------------------------------------------------------------------------

bool FirmwareUpgrade::ReadRaw(int block, uint8_t command, size_t bytes, std::vector<uint8_t>& out) {
    RequestBridge& bridge = session_.Requests();
    return Attempt([&] {
        bridge.ForgetAnswer(command);
        if (!bridge.ReadBlock(block)) return false;
        bool ok = false;
        out = HexToBytes(bridge.LastAnswer(command), &ok);
        return ok && out.size() == bytes;
    });
}

bool FirmwareUpgrade::ReadTableRaw(std::vector<uint8_t>& out) {
    ClsComm& comm = session_.Comm();
    ParamImage& image = session_.Image();
    out.clear();
    for (int c = 0; c < kCorChunks; ++c) {
        const int start = c * kCorChunkCount;
        QByteArray chunk;
        const bool ok = Attempt([&] {
            comm.Queue().Clear();
            QByteArray request;
            request.append(static_cast<char>(start));
            request.append(static_cast<char>(kCorChunkCount));
            if (!comm.SendAndWait(BuildRequest(CMD_READ_TBL_COR, request))) return false;
            chunk = comm.AnswerQueuePop();
            return chunk.size() == kCorChunkDataBytes;
        });
        if (!ok) return false;
        const std::vector<uint8_t> data(chunk.begin(), chunk.end());
        image.DecodeCorChunk(start, data);
        out.insert(out.end(), data.begin(), data.end());
    }
    image.CorTable = image.CorTableEcu;
    return true;
}

bool FirmwareUpgrade::Block5FromDefaultSet(std::vector<uint8_t>& out) {
    // Firmware 132 and lower has no block 5 of its own to keep: the ECU gets
    // the default set's, and only when the set really holds one.
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

bool FirmwareUpgrade::SaveConfiguration() {
    const ClsComm& comm = session_.Comm();
    SavedConfiguration c;
    c.ecuIdentity = comm.FirmwareEcu();
    c.ecuVersion = comm.FirmwareEcuVersNum();
    const auto failed = [this] {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
        return false;
    };
    if (!ReadRaw(2, CMD_READ_MEM2, kMem2Bytes, c.mem2)) return failed();
    if (!ReadRaw(3, CMD_READ_MEM3, kMem3Bytes, c.mem3)) return failed();
    if (!ReadTableRaw(c.table)) return failed();
    if (c.ecuVersion <= kFirmwareWithBlock5) {
        if (!Block5FromDefaultSet(c.mem5)) return false;
    } else if (!ReadRaw(5, CMD_READ_MEM5, kMem5Bytes, c.mem5)) {
        return failed();
    }
    if (!ReadRaw(kBlockTestData, CMD_READ_DCOL_FL, kTestDataBytes, c.testData)) return failed();
    saved_ = std::move(c);
    return true;
}

bool FirmwareUpgrade::VerifyFirmwareFile() {
    // The file is read and checked again now, record by record: what is
    // written is the image of a file that verified, and the firmware the
    // fitter was shown.
    QString identity, error;
    const bool read = ReadFirmwareFileIdentity(session_.Flash(), session_.FirmwareImage(), identity, &error);
    if (read && RecordAddressList(FirmwareFilePath(), session_.Flash()).contains(QString()))
        error = QStringLiteral("The record list of %1 cannot be used").arg(FirmwareFilePath());
    if (read && error.isEmpty() && !fileIdentity_.isEmpty() && identity != fileIdentity_)
        error = QStringLiteral("%1 changed since the ECU was checked against it").arg(FirmwareFilePath());
    if (!read || !error.isEmpty() || identity.isEmpty()) {
        Fail(UpgradeStop::FirmwareFile, Text(UpText::MsgFileNotVerified) + QStringLiteral("\n") + error);
        return false;
    }
    fileIdentity_ = identity;
    return true;
}

bool FirmwareUpgrade::WriteBackup() {
    backupPath_ = options_.backupPath.isEmpty()
                      ? UpgradeBackupPath(InstallDir(), saved_, Events().Now())
                      : options_.backupPath;
    ParamImage image = session_.Image();
    image.SetHost(nullptr);
    image.ResetPendingEdits();
    image.CorTable = image.CorTableEcu;
    if (!WriteUpgradeBackup(backupPath_, saved_, image, IdentityVersNum(fileIdentity_, true),
                            session_.ProductTitle())) {
        const QString path = backupPath_;
        backupPath_.clear();
        Fail(UpgradeStop::Backup, Text(UpText::MsgBackupFailed) + QStringLiteral("\n") + path);
        return false;
    }
    Say(Text(UpText::MsgBackupSaved) + QStringLiteral("\n") + backupPath_);
    return true;
}

// --- Steps 2 to 4 ------------------------------------------------------------------------

double FirmwareUpgrade::SlowWaitUs() const {
    const ClsComm& comm = session_.Comm();
    const double normal = comm.AttesaGlobaleDefault_usec();
    return std::max(normal, std::min(normal * comm.MolAttesaGlobale(), kSlowCommandMaxWaitUs));
}

bool FirmwareUpgrade::EnterProgramming() {
    ClsComm& comm = session_.Comm();
    if (comm.EcuState() == ECU_FLASH_WRITE) return true;
    return Attempt([&] {
        comm.SetAttesaGlobale_usec(SlowWaitUs());
        const bool ok = comm.SendAndWait(BuildRequest(CMD_SET_ECU_PRG, QByteArray(1, '\0')));
        comm.AttesaGlobale_usec_Default();
        return ok;
    });
}

bool FirmwareUpgrade::EraseAllFlash() {
    ClsComm& comm = session_.Comm();
    const FlashTable& table = session_.Flash();
    // The flash is erased whole; it is erased at all only when a record of
    // the file lies in one of its blocks.
    bool anyBlock = false;
    for (const QString& a : RecordAddressList(FirmwareFilePath(), table)) {
        if (a.isEmpty()) {
            UserPrompts().MessageBox(QString::fromLatin1(kProgramNotLoaded), Text(UpText::UpdateCaption),
                                     BoxIcon::Warning, BoxButtons::Ok);
            return false;
        }
        anyBlock = anyBlock || table.BlockOf(a.toUInt(nullptr, 16)) >= 0;
    }
    if (!anyBlock) return false;
    const bool ok = Attempt([&] {
        comm.SetAttesaGlobale_usec(SlowWaitUs());
        const bool sent = comm.SendAndWait(BuildRequest(CMD_ERASE_FLASH, QByteArray(1, '\0')));
        comm.AttesaGlobale_usec_Default();
        return sent;
    });
    return ok && comm.EcuState() == ECU_FLASH_WRITE;
}

QString FirmwareUpgrade::WriteMemoryToTab(uint32_t address) {
    const FlashImage& image = session_.FirmwareImage();
    const int64_t offset = int64_t{address} - session_.Flash().BaseAddress();
    // The last chunk of an image whose size is not a multiple of 128 stops
    // at the image's end: nothing is written beyond the flash.
    const int64_t n = std::min<int64_t>(kFlashChunkBytes, image.TableFlashUBound() + 1 - offset);
    if (offset < 0 || n <= 0) return kKo;
    QByteArray bytes;
    bool blank = true;
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t b = image.TableFlash(offset + i);
        blank = blank && b == 0xFF;
        bytes.append(static_cast<char>(b));
    }
    if (blank) return kOk;  // erased flash holds 0xFF already
    QByteArray data;
    data.append('\0');
    data.append(static_cast<char>(address >> 16));
    data.append(static_cast<char>(address >> 8));
    data.append(static_cast<char>(address));
    data.append(bytes);
    return session_.Comm().SendAndWait(BuildRequest(CMD_WRT_FLASH_ZONE, data)) ? kOk : kKo;
}

bool FirmwareUpgrade::SkipChunk(uint32_t address) {
    if (options_.skipFailedChunks) return *options_.skipFailedChunks;
    const QString text = QString::fromLatin1(kChunkQuestion) + QStringLiteral("\n\n") +
                         QString::fromLatin1(kChunkQuestionEnd);
    (void)address;
    return UserPrompts().MessageBox(text, Text(UpText::UpdateCaption) + QString::fromLatin1(kChunkQuestionTitle),
                                    BoxIcon::Question, BoxButtons::YesNo) == BoxResult::Yes;
}

FirmwareUpgrade::WriteResult FirmwareUpgrade::WriteFlash() {
    const ClsComm& comm = session_.Comm();
    const FlashTable& table = session_.Flash();
    const FlashImage& image = session_.FirmwareImage();
    const uint32_t base = table.BaseAddress();
    const uint32_t larg = table.LargFlash();
    figures_.writeStartUs = MicroSeconds();
    figures_.chunks = static_cast<int>(larg / kFlashChunkBytes + 1);
    bool skipped = false;
    for (uint64_t offset = 0; offset <= larg; offset += kFlashChunkBytes) {
        progress_ = larg ? static_cast<double>(offset) / larg : 1.0;
        Changed();
        const uint32_t address = base + static_cast<uint32_t>(offset);
        bool blank = true;
        for (uint64_t i = 0; i < kFlashChunkBytes && blank; ++i)
            blank = image.TableFlash(static_cast<int64_t>(offset + i)) == 0xFF;
        if (Attempt([&] { return WriteMemoryToTab(address) == kOk; })) {
            ++(blank ? figures_.blank : figures_.sent);
        } else {
            failedAddress_ = address;
            const QString where = Text(UpText::MsgChunkRefused) + QLatin1Char(' ') + Address6(address) + QLatin1Char('.');
            // An ECU that stopped answering is not asked chunk after chunk.
            if (Silent() || comm.ComState() == COM_STOP) {
                Fail(UpgradeStop::LinkLost, Text(UpText::MsgLinkLost) + QLatin1Char(' ') + where);
                return WriteResult::Failed;
            }
            if (!SkipChunk(address)) {
                Fail(UpgradeStop::ChunkFailed, where);
                return WriteResult::Failed;
            }
            skipped = true;
            ++figures_.skipped;
            continue;
        }
        // The ECU left flash writing (it restarted, or the link was reset).
        if (comm.EcuState() != ECU_FLASH_WRITE) {
            Fail(UpgradeStop::Link, Text(UpText::MsgCommFailure));
            return WriteResult::Failed;
        }
    }
    progress_ = 1;
    figures_.writeEndUs = MicroSeconds();
    Changed();
    return skipped ? WriteResult::Skipped : WriteResult::Done;
}

// --- Steps 5 to 8 --------------------------------------------------------------------------

bool FirmwareUpgrade::EndAndIdentify() {
    ClsComm& comm = session_.Comm();
    SetStep(UpgradeStep::WriteEnd);
    const bool ended = Attempt([&] { return comm.SendAndWait(BuildRequest(CMD_WRT_FLASH_END)); });
    if (ended) WaitMicroSeconds(kFlashEndSettleUs);
    Blink(kWriteEndBlinks);

    // Whether or not the end was answered, the ECU's own identity decides:
    // it must now report the firmware of the file.
    SetStep(UpgradeStep::ReadIdentity);
    const bool read = Attempt([&] { return comm.ReadFirmwareIdentity(); });
    Changed();
    if (read && comm.FirmwareEcu() == fileIdentity_) return true;
    if (!read) {
        Fail(Silent() ? UpgradeStop::LinkLost : UpgradeStop::Link, Text(UpText::MsgCommFailure));
    } else {
        Fail(UpgradeStop::Identity, Text(UpText::MsgIdentityMismatch));
    }
    return false;
}

bool FirmwareUpgrade::RestoreConfiguration() {
    ClsComm& comm = session_.Comm();
    ParamImage& image = session_.Image();
    const bool withBlock5 = comm.FirmwareEcuVersNum() > kFirmwareWithBlock5;
    std::vector<QByteArray> frames;
    frames.push_back(BuildRequest(CMD_WRT_MEM2, Bytes(saved_.mem2)));
    frames.push_back(BuildRequest(CMD_WRT_MEM3, Bytes(saved_.mem3)));
    for (int c = 0; c < kCorChunks; ++c) {
        QByteArray data;
        data.append(static_cast<char>(c * kCorChunkCount));
        data.append(static_cast<char>(kCorChunkCount));
        data.append(Bytes(std::vector<uint8_t>(saved_.table.begin() + c * kCorChunkDataBytes,
                                               saved_.table.begin() + (c + 1) * kCorChunkDataBytes)));
        frames.push_back(BuildRequest(CMD_WRT_TBL_COR, data));
    }
    if (withBlock5) frames.push_back(BuildRequest(CMD_WRT_MEM5, Bytes(saved_.mem5)));
    frames.push_back(BuildRequest(CMD_WRIT_DCOL, Bytes(saved_.testData)));
    frames.push_back(BuildRequest(CMD_CANC_SMPL_BNZ));
    frames.push_back(BuildRequest(CMD_CANC_SMPL_GAS));
    frames.push_back(BuildRequest(CMD_CANC_ERR));

    progress_ = 0;
    Changed();
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!Attempt([&] { return comm.SendAndWait(frames[i]); })) return false;
        // The bar grows between the exchanges.
        for (int k = 1; k <= kBarGrowSteps; ++k) {
            WaitMicroSeconds(kBarGrowUs);
            progress_ = (static_cast<double>(i) + static_cast<double>(k) / kBarGrowSteps) / frames.size();
            Changed();
        }
    }
    // The image shows the configuration the ECU holds again.
    image.DecodeMem2(saved_.mem2);
    image.DecodeMem3(saved_.mem3);
    if (withBlock5) image.DecodeMem5(saved_.mem5);
    for (int c = 0; c < kCorChunks; ++c)
        image.DecodeCorChunk(c * kCorChunkCount,
                             std::vector<uint8_t>(saved_.table.begin() + c * kCorChunkDataBytes,
                                                  saved_.table.begin() + (c + 1) * kCorChunkDataBytes));
    image.CorTable = image.CorTableEcu;
    return true;
}

bool FirmwareUpgrade::SaveFlash() {
    ClsComm& comm = session_.Comm();
    return Attempt([&] {
        comm.SetAttesaGlobale_usec(kUpgradeSaveFlashWaitUs);
        const bool ok = comm.SendAndWait(FrameFromHex(QString::fromLatin1(FRAME_SAVE_FLASH)));
        comm.AttesaGlobale_usec_Default();
        return ok;
    });
}

void FirmwareUpgrade::Blink(int times) {
    for (int i = 0; i < times; ++i) {
        barVisible_ = !barVisible_;
        Changed();
        WaitMicroSeconds(kBlinkUs);
    }
    barVisible_ = true;
    Changed();
}

// --- Tries ------------------------------------------------------------------------------------

bool FirmwareUpgrade::Silent() const {
    const double last = std::max(session_.Requests().LastAnswerUs(), figures_.startUs);
    return MicroSeconds() - last > kUpgradeSilenceUs;
}

bool FirmwareUpgrade::Attempt(const std::function<bool()>& request) {
    ClsComm& comm = session_.Comm();
    for (int attempt = 0; attempt < kUpgradeAttempts; ++attempt) {
        if (comm.ComState() == COM_STOP) return false;
        if (attempt > 0) {
            if (Silent()) return false;
            ++figures_.retries;
        }
        // After a link error the supervision reopens the port first.
        WaitForLink(comm);
        if (request()) return true;
    }
    return false;
}

}  // namespace gascal
