// The firmware upgrade's exchanges and questions: one try of each state's
// ECU request, and the questions to the fitter. The driver calls them
// outside any step (they wait in the link's send and wait, or for the
// fitter), tries an exchange up to three times, and hands the result to the
// state's handler.
#include <QStringList>
#include <algorithm>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareUpgrade.h"
#include "ecu/RequestBridge.h"
#include "ecu/UpgradeTexts.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/firmware/FlashImage.h"

namespace gascal {

namespace {
constexpr const char* kChunkQuestion = "COMUNICATION ERROR, SEND MESSAGE";
constexpr const char* kChunkQuestionEnd = "YES TO CONTINUE!";
constexpr const char* kChunkQuestionTitle = " - ScaricaFirmwareDefaultParametri ";
constexpr const char* kProgramNotLoaded = "Il Programma non \xE8 stato Caricato Correttamente !";
constexpr uint32_t kModeByteAddress = 0x0000013A;
constexpr size_t kTestDataBytes = 16;

QByteArray Bytes(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<qsizetype>(v.size()));
}

// Sends a slow command with the longer answer wait, then restores the wait.
bool SendSlow(ClsComm& comm, const QByteArray& frame, double waitUs) {
    comm.SetAttesaGlobale_usec(waitUs);
    const bool ok = comm.SendAndWait(frame);
    comm.AttesaGlobale_usec_Default();
    return ok;
}
}  // namespace

// --- Stage 0 ------------------------------------------------------------------------------

bool FirmwareUpgrade::XReadLive() {
    // An ECU waiting for its program has no live values: asking for them
    // would only cost the link a reopening.
    if (resuming_) return false;
    return session_.Requests().ReadBlock(1);
}

bool FirmwareUpgrade::XModeRead() {
    QByteArray data;
    for (int shift = 24; shift >= 0; shift -= 8)
        data.append(static_cast<char>(kModeByteAddress >> shift));
    data.append('\x01');
    session_.Requests().ForgetAnswer(CMD_READ_MEM_ZONE);
    if (!session_.Comm().SendAndWait(BuildRequest(CMD_READ_MEM_ZONE, data))) return false;
    answer_ = HexToBytes(session_.Requests().LastAnswer(CMD_READ_MEM_ZONE));
    return !answer_.empty();
}

bool FirmwareUpgrade::XSerialRead() {
    answer_.clear();
    return ReadRaw(kBlockTestData, CMD_READ_DCOL_FL, kTestDataBytes, answer_);
}

bool FirmwareUpgrade::QChooseBackup() {
    backupPath_ = options_.chooseBackup ? options_.chooseBackup(candidates_) : QString();
    return !backupPath_.isEmpty();
}

// --- Step 1 --------------------------------------------------------------------------------

bool FirmwareUpgrade::ReadRaw(int block, uint8_t command, size_t bytes, std::vector<uint8_t>& out) {
    RequestBridge& bridge = session_.Requests();
    bridge.ForgetAnswer(command);
    if (!bridge.ReadBlock(block)) return false;
    bool ok = false;
    out = HexToBytes(bridge.LastAnswer(command), &ok);
    return ok && out.size() == bytes;
}

bool FirmwareUpgrade::XSaveBlock2() {
    return ReadRaw(2, CMD_READ_MEM2, kMem2Bytes, saved_.mem2);
}
bool FirmwareUpgrade::XSaveBlock3() {
    return ReadRaw(3, CMD_READ_MEM3, kMem3Bytes, saved_.mem3);
}

bool FirmwareUpgrade::XSaveBlock5() {
    RequestBridge& bridge = session_.Requests();
    bridge.ForgetAnswer(CMD_READ_MEM5);
    if (!bridge.ReadBlock(5)) return false;
    bool ok = false;
    std::vector<uint8_t> data = HexToBytes(bridge.LastAnswer(CMD_READ_MEM5), &ok);
    if (!ok) return false;
    if (data.size() == static_cast<size_t>(kMem5ShortBytes)) {
        // A firmware that answers only fields 1 to 8: the rest take the
        // values the image gives them (its defaults), as the image itself
        // does, so that the block is written back whole.
        ParamImage image = session_.Image();
        image.SetHost(nullptr);
        image.ResetPendingEdits();
        image.DecodeMem5(data);
        const std::vector<uint8_t> whole = image.BuildMem5Payload();
        if (whole.size() != static_cast<size_t>(kMem5Bytes)) return false;
        data.insert(data.end(), whole.begin() + kMem5ShortBytes, whole.end());
    }
    if (data.size() != static_cast<size_t>(kMem5Bytes)) return false;
    saved_.mem5 = std::move(data);
    return true;
}

bool FirmwareUpgrade::XSaveTestData() {
    return ReadRaw(kBlockTestData, CMD_READ_DCOL_FL, kTestDataBytes, saved_.testData);
}

bool FirmwareUpgrade::XSaveTable() {
    ClsComm& comm = session_.Comm();
    const int start = index_ * kCorChunkCount;
    comm.Queue().Clear();
    QByteArray request;
    request.append(static_cast<char>(start));
    request.append(static_cast<char>(kCorChunkCount));
    if (!comm.SendAndWait(BuildRequest(CMD_READ_TBL_COR, request))) return false;
    const QByteArray chunk = comm.AnswerQueuePop();
    if (chunk.size() != kCorChunkDataBytes) return false;
    const std::vector<uint8_t> data(chunk.begin(), chunk.end());
    session_.Image().DecodeCorChunk(start, data);
    saved_.table.resize(static_cast<size_t>(start) * 2);
    saved_.table.insert(saved_.table.end(), data.begin(), data.end());
    return true;
}

bool FirmwareUpgrade::QConfirm() {
    const QString planned = options_.backupPath.isEmpty()
                                ? PlannedUpgradePointPath(HistoryRoot(), saved_)
                                : options_.backupPath;
    return options_.confirmErase(planned);
}

// --- Steps 2 to 4 ------------------------------------------------------------------------

bool FirmwareUpgrade::XProgramming() {
    ClsComm& comm = session_.Comm();
    // An ECU that writes its flash already is in programming mode.
    if (comm.EcuState() == ECU_FLASH_WRITE) return true;
    return SendSlow(comm, BuildRequest(CMD_SET_ECU_PRG, QByteArray(1, '\0')), SlowWaitUs());
}

bool FirmwareUpgrade::XErase() {
    ClsComm& comm = session_.Comm();
    const FlashTable& table = session_.Flash();
    // The flash is erased whole; it is erased at all only when a record of
    // the file lies in one of its blocks.
    bool anyBlock = false;
    for (const QString& a : RecordAddressList(FirmwareFilePath(), table)) {
        if (a.isEmpty()) {
            UserPrompts().MessageBox(QString::fromLatin1(kProgramNotLoaded),
                                     Text(UpText::UpdateCaption), BoxIcon::Warning, BoxButtons::Ok);
            return false;
        }
        anyBlock = anyBlock || table.BlockOf(a.toUInt(nullptr, 16)) >= 0;
    }
    if (!anyBlock) return false;
    return SendSlow(comm, BuildRequest(CMD_ERASE_FLASH, QByteArray(1, '\0')), SlowWaitUs());
}

bool FirmwareUpgrade::XWriteChunk() {
    const FlashImage& image = session_.FirmwareImage();
    const uint32_t address = session_.Flash().BaseAddress() + static_cast<uint32_t>(offset_);
    const int64_t offset = static_cast<int64_t>(offset_);
    // The last chunk of an image whose size is not a multiple of 128 stops
    // at the image's end: nothing is written beyond the flash.
    const int64_t n = std::min<int64_t>(kFlashChunkBytes, image.TableFlashUBound() + 1 - offset);
    chunk_.clear();
    if (n <= 0) return false;
    bool blank = true;
    for (int64_t i = 0; i < n; ++i) blank = blank && image.TableFlash(offset + i) == 0xFF;
    if (blank) return true;  // erased flash holds 0xFF already: "%OK" without sending
    for (int64_t i = 0; i < n; ++i) chunk_.push_back(image.TableFlash(offset + i));
    QByteArray data;
    data.append('\0');
    data.append(static_cast<char>(address >> 16));
    data.append(static_cast<char>(address >> 8));
    data.append(static_cast<char>(address));
    data.append(Bytes(chunk_));
    return session_.Comm().SendAndWait(BuildRequest(CMD_WRT_FLASH_ZONE, data));
}

bool FirmwareUpgrade::QSkipChunk() {
    const QString text = QString::fromLatin1(kChunkQuestion) + QStringLiteral("\n\n") +
                         QString::fromLatin1(kChunkQuestionEnd);
    return UserPrompts().MessageBox(
               text, Text(UpText::UpdateCaption) + QString::fromLatin1(kChunkQuestionTitle),
               BoxIcon::Question, BoxButtons::YesNo) == BoxResult::Yes;
}

// --- Steps 5 to 8 --------------------------------------------------------------------------

bool FirmwareUpgrade::XWriteEnd() {
    return session_.Comm().SendAndWait(BuildRequest(CMD_WRT_FLASH_END));
}

bool FirmwareUpgrade::XReadIdentity() {
    return session_.Comm().ReadFirmwareIdentity();
}

bool FirmwareUpgrade::Block5Needed() const {
    return session_.Comm().FirmwareEcuVersNum() > kFirmwareWithBlock5;
}

std::vector<int> FirmwareUpgrade::RestoreParts() const {
    std::vector<int> parts{kPartBlock2, kPartBlock3};
    for (int c = 0; c < kCorChunks; ++c) parts.push_back(kPartTable0 + c);
    if (Block5Needed()) parts.push_back(kPartBlock5);
    parts.push_back(kPartTestData);
    return parts;
}

std::vector<uint8_t> FirmwareUpgrade::SavedPart(int part) const {
    switch (part) {
        case kPartBlock2:
            return saved_.mem2;
        case kPartBlock3:
            return saved_.mem3;
        case kPartBlock5:
            return saved_.mem5;
        case kPartTestData:
            return saved_.testData;
        default: {
            const auto from = saved_.table.begin() + (part - kPartTable0) * kCorChunkDataBytes;
            return std::vector<uint8_t>(from, from + kCorChunkDataBytes);
        }
    }
}

QString FirmwareUpgrade::PartNames(uint32_t parts) const {
    QStringList names;
    for (int p : RestoreParts()) {
        if (!(parts & (1u << p))) continue;
        switch (p) {
            case kPartBlock2:
                names << QStringLiteral("block 2");
                break;
            case kPartBlock3:
                names << QStringLiteral("block 3");
                break;
            case kPartBlock5:
                names << QStringLiteral("block 5");
                break;
            case kPartTestData:
                names << QStringLiteral("test data");
                break;
            default: {
                const int first = (p - kPartTable0) * kCorChunkCount;
                names << QStringLiteral("correction table %1-%2")
                             .arg(first)
                             .arg(first + kCorChunkCount - 1);
            }
        }
    }
    return names.join(QStringLiteral(", "));
}

void FirmwareUpgrade::BuildRestoreFrames(uint32_t parts, bool clears) {
    frames_.clear();
    for (int p : RestoreParts()) {
        if (!(parts & (1u << p))) continue;
        const QByteArray data = Bytes(SavedPart(p));
        switch (p) {
            case kPartBlock2:
                frames_.push_back(BuildRequest(CMD_WRT_MEM2, data));
                break;
            case kPartBlock3:
                frames_.push_back(BuildRequest(CMD_WRT_MEM3, data));
                break;
            case kPartBlock5:
                frames_.push_back(BuildRequest(CMD_WRT_MEM5, data));
                break;
            case kPartTestData:
                frames_.push_back(BuildRequest(CMD_WRIT_DCOL, data));
                break;
            default: {
                QByteArray chunk;
                chunk.append(static_cast<char>((p - kPartTable0) * kCorChunkCount));
                chunk.append(static_cast<char>(kCorChunkCount));
                frames_.push_back(BuildRequest(CMD_WRT_TBL_COR, chunk + data));
            }
        }
    }
    if (!clears) return;
    frames_.push_back(BuildRequest(CMD_CANC_SMPL_BNZ));
    frames_.push_back(BuildRequest(CMD_CANC_SMPL_GAS));
    frames_.push_back(BuildRequest(CMD_CANC_ERR));
}

bool FirmwareUpgrade::XRestore() {
    return session_.Comm().SendAndWait(frames_[static_cast<size_t>(index_)]);
}

void FirmwareUpgrade::ApplyRestoredImage() {
    // The image shows the configuration the ECU holds again.
    ParamImage& image = session_.Image();
    image.DecodeMem2(saved_.mem2);
    image.DecodeMem3(saved_.mem3);
    if (Block5Needed()) image.DecodeMem5(saved_.mem5);
    for (int c = 0; c < kCorChunks; ++c)
        image.DecodeCorChunk(
            c * kCorChunkCount,
            std::vector<uint8_t>(saved_.table.begin() + c * kCorChunkDataBytes,
                                 saved_.table.begin() + (c + 1) * kCorChunkDataBytes));
    image.CorTable = image.CorTableEcu;
}

bool FirmwareUpgrade::XSaveFlash() {
    return SendSlow(session_.Comm(), FrameFromHex(QString::fromLatin1(FRAME_SAVE_FLASH)),
                    kUpgradeSaveFlashWaitUs);
}

namespace {
// The bytes of a part that are configuration: block 2's fuel asked for and
// its two enables (the rest is the ECU's own count and state), block 3 with
// an injector's check state taken as "fitted".
constexpr size_t kMem2WorkModeAt = 0;
constexpr size_t kMem2SettingsAt = 11;
constexpr size_t kMem2SettingsBytes = 2;
constexpr size_t kMem3InjEnableAt = 14;
constexpr size_t kCylinders = 8;

std::vector<uint8_t> ConfigBytes(int block, std::vector<uint8_t> bytes) {
    if (block == 2 && bytes.size() >= kMem2SettingsAt + kMem2SettingsBytes) {
        std::vector<uint8_t> out{bytes[kMem2WorkModeAt]};
        out.insert(out.end(), bytes.begin() + kMem2SettingsAt,
                   bytes.begin() + kMem2SettingsAt + kMem2SettingsBytes);
        return out;
    }
    if (block == 3)
        for (size_t i = kMem3InjEnableAt; i < kMem3InjEnableAt + kCylinders && i < bytes.size();
             ++i)
            bytes[i] = bytes[i] != 0;
    return bytes;
}
}  // namespace

bool FirmwareUpgrade::XVerify() {
    // One part read back and compared with what was put back.
    const int part = verifyParts_[static_cast<size_t>(index_)];
    const std::vector<uint8_t> want = SavedPart(part);
    std::vector<uint8_t> got;
    bool same = false;
    switch (part) {
        case kPartBlock2:
            if (!ReadRaw(2, CMD_READ_MEM2, kMem2Bytes, got)) return false;
            same = ConfigBytes(2, got) == ConfigBytes(2, want);
            break;
        case kPartBlock3:
            if (!ReadRaw(3, CMD_READ_MEM3, kMem3Bytes, got)) return false;
            same = ConfigBytes(3, got) == ConfigBytes(3, want);
            break;
        case kPartBlock5: {
            // A firmware that answers fields 1 to 8 only shows those.
            RequestBridge& bridge = session_.Requests();
            bridge.ForgetAnswer(CMD_READ_MEM5);
            if (!bridge.ReadBlock(5)) return false;
            bool ok = false;
            got = HexToBytes(bridge.LastAnswer(CMD_READ_MEM5), &ok);
            if (!ok || (got.size() != static_cast<size_t>(kMem5Bytes) &&
                        got.size() != static_cast<size_t>(kMem5ShortBytes)))
                return false;
            same = std::equal(got.begin(), got.end(), want.begin());
            break;
        }
        case kPartTestData:
            if (!ReadRaw(kBlockTestData, CMD_READ_DCOL_FL, kTestDataBytes, got)) return false;
            same = got == want;
            break;
        default: {
            ClsComm& comm = session_.Comm();
            const int start = (part - kPartTable0) * kCorChunkCount;
            comm.Queue().Clear();
            QByteArray request;
            request.append(static_cast<char>(start));
            request.append(static_cast<char>(kCorChunkCount));
            if (!comm.SendAndWait(BuildRequest(CMD_READ_TBL_COR, request))) return false;
            const QByteArray chunk = comm.AnswerQueuePop();
            if (chunk.size() != kCorChunkDataBytes) return false;
            got.assign(chunk.begin(), chunk.end());
            session_.Image().DecodeCorChunk(start, got);
            same = got == want;
        }
    }
    if (same)
        differing_ &= ~(1u << part);
    else
        differing_ |= 1u << part;
    return true;
}

}  // namespace gascal
