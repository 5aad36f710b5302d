// ClsComm, command set: the decoder for valid answers, the variable
// addresses, the firmware identity read and its split properties, and the
// slow flash save.
#include "common/EventService.h"
#include "common/Helpers.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/FirmwareIdentity.h"
#include "link/core/Frame.h"

namespace gascal {

namespace {
// Memory-zone addresses the link itself asks for.
const QString kAdrEcuMode = QStringLiteral("0000013A");
const QString kAdrBootIdentity = QStringLiteral("00FFE000");
const QString kAdrDescriptor = QStringLiteral("00FF8006");
constexpr uint8_t kNoModeByte = 2;  // mode byte missing: leaves EcuState alone

QByteArray MemZoneRequest(const QString& address, uint8_t length) {
    QByteArray data = FrameFromHex(address);
    data.append(static_cast<char>(length));
    return BuildRequest(CMD_READ_MEM_ZONE, data);
}
}  // namespace

void ClsComm::AggiornaIndVar(const QByteArray& answer) {
    const QByteArray data = AnswerData(answer);
    for (int i = 0; i < VAR_ADDRESS_COUNT; ++i)
        indVar_[static_cast<size_t>(i)] = i < data.size() ? static_cast<uint8_t>(data[i]) : 255;
    richiediIndVar_ = true;
}

void ClsComm::DecodeAnswer() {
    const QByteArray frame = inBuffer_;
    const QByteArray request = outBuffer_;
    const int cmdValue = FrameCommand(frame);
    if (cmdValue < 0) return;
    answeredRequest_ = request;
    const auto cmd = static_cast<uint8_t>(cmdValue);
    const QByteArray data = AnswerData(frame);
    const QString hex = BytesToHex(data);

    switch (cmd) {
        case CMD_GET_ADR_VAR:
            AggiornaIndVar(frame);
            break;
        case CMD_READ_MEM_ZONE: {
            const QString address = BytesToHex(request.mid(4, 4));
            if (address == kAdrEcuMode) {
                const uint8_t mode = data.isEmpty() ? kNoModeByte : static_cast<uint8_t>(data[0]);
                if (mode == ECU_RUN || mode == ECU_SLAVE) ecuState_ = mode;
            } else if (address == kAdrBootIdentity || address == kAdrDescriptor) {
                if (!data.isEmpty()) queue_.Push(data);
            }
            break;
        }
        case CMD_SET_ECU_SLAVE:
            ecuState_ = ECU_SLAVE;
            break;
        case CMD_SET_ECU_RUN:
            ecuState_ = ECU_RUN;
            break;
        case CMD_SET_ECU_PRG:
            ecuState_ = ECU_PROGRAMMING;
            break;
        case CMD_ERASE_FLASH:
        case CMD_WRT_FLASH_ZONE:
            ecuState_ = ECU_FLASH_WRITE;
            break;
        case CMD_GET_ECO:
            lastEco_ = frame;
            wDogPresente_ = false;
            if (memoDatiCom_) {
                memoDatiCom_ = false;
                WriteSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
            }
            break;
        case CMD_WRT_FLASH_END:
            // The ECU restarts into its new firmware: keep the answer
            // deadline in the future for 10 s while it does.
            LoadWDogSend();
            for (int i = 0; i < FLASH_END_STEPS; ++i) {
                WaitMicroSeconds(FLASH_END_STEP_USEC);
                LoadWDogSend();
            }
            ecuState_ = ECU_RUN;
            break;
        case CMD_EOBD:
        case CMD_READ_TBL_COR:
        case CMD_READ_TBL_ADT:
            queue_.Push(data);
            break;
        case CMD_READ_MEM1:
            if (sink_) sink_->OnMem1(hex);
            break;
        case CMD_READ_MEM2:
            if (sink_) sink_->OnMem2(hex);
            break;
        case CMD_READ_MEM3:
            if (sink_) sink_->OnMem3(hex);
            break;
        case CMD_READ_MEM5:
            if (sink_) sink_->OnMem5(hex);
            break;
        case CMD_WRT_MEM2:
            if (sink_) sink_->OnWriteMem2Ack();
            break;
        case CMD_CANC_ERR:
            ErrInjClr();
            if (sink_) sink_->OnErrorFlags();
            break;
        case CMD_READ_ERR:
            for (int i = 0; i < data.size() && i < ERR_INJ_COUNT; ++i)
                errInj_[static_cast<size_t>(i)] = static_cast<uint8_t>(data[i]);
            if (sink_) sink_->OnErrorFlags();
            break;
        case CMD_READ_SMPL_BNZ:
        case CMD_READ_SMPL_GAS:
        case CMD_READ_SMPL_BNZ1:
        case CMD_READ_SMPL_GAS1:
            if (sink_) sink_->OnSamples(cmd, hex);
            break;
        case CMD_CANC_SMPL_BNZ:
        case CMD_CANC_SMPL_GAS:
            if (sink_) sink_->OnSamplesCleared(cmd);
            break;
        case CMD_READ_FIRMWARE:
            firmwareEcu_ = IdentityFromBytes(data);
            break;
        case CMD_READ_DCOL_FL:
            memoDataCollaudo_ = frame;
            if (sink_) sink_->OnTestData(BytesToHex(frame));
            break;
        default:
            break;
    }
    inBuffer_.clear();
    outBuffer_.clear();
    if (sink_) sink_->OnAnswer(cmd, hex);
}

bool ClsComm::ReadFirmwareIdentity() {
    if (comState_ == ComState::Stopped) {
        firmwareEcu_.clear();
    } else {
        const QByteArray req = BuildRequest(CMD_READ_FIRMWARE);
        firmwareEcu_.clear();
        if (!SendAndWait(req) && !SendAndWait(req)) {
            // An older firmware does not know the command: read the boot
            // block's copy of the identity bytes and the descriptor instead.
            // Stale entries would be taken for the identity, so the queue
            // starts empty.
            queue_.Clear();
            SendAndWait(MemZoneRequest(kAdrBootIdentity, IDENTITY_BYTES));
            QByteArray joined = queue_.Pop();
            SendAndWait(MemZoneRequest(kAdrDescriptor, DESCRIPTOR_CHARS));
            joined.append(queue_.Pop());
            firmwareEcu_ = IdentityFromBytes(joined);
        }
    }
    QString fle;
    bool fileOk = false;
    firmwareFileError_.clear();
    if (fileReader_) {
        fileOk = fileReader_(fle, &firmwareFileError_);
    } else {
        fileOk = ReadFirmwareFileIdentity(flashTable_, flashImage_,
                                          SystemPath(QStringLiteral("\\BIN\\Flash.ini")),
                                          FirmwareFilePathUsed(), fle, &firmwareFileError_);
    }
    if (!fileOk) {
        if (firmwareFileError_.isEmpty())
            firmwareFileError_ = QStringLiteral("The firmware file cannot be read");
        return false;
    }
    firmwareFle_ = fle;
    return !firmwareEcu_.isEmpty();
}

QString ClsComm::FirmwareFilePathUsed() const {
    return firmwarePath_.isEmpty() ? FirmwareFilePath() : firmwarePath_;
}

bool ClsComm::SaveFlash() {
    attesaGlobale_ = attesaGlobale_ * molAttesaGlobale_;
    const bool ok = SendAndWait(FrameFromHex(QString::fromLatin1(FRAME_SAVE_FLASH)));
    AttesaGlobale_usec_Default();
    return ok;
}

// --- Identity split properties ---------------------------------------------------

QString ClsComm::FirmwareEcuVersStr() const {
    return IdentityVersStr(firmwareEcu_);
}
int ClsComm::FirmwareEcuVersNum() const {
    return IdentityVersNum(firmwareEcu_, false);
}
QString ClsComm::FirmwareEcuDataStr() const {
    return IdentityDataStr(firmwareEcu_);
}
int ClsComm::FirmwareEcuDayNum() const {
    return IdentityDayNum(firmwareEcu_);
}
int ClsComm::FirmwareEcuMonthNum() const {
    return IdentityMonthNum(firmwareEcu_);
}
int ClsComm::FirmwareEcuYearNum() const {
    return IdentityYearNum(firmwareEcu_);
}
QString ClsComm::DescProgettoEcu_KTXXX() const {
    return IdentityDescWord(firmwareEcu_, 0);
}
QString ClsComm::DescProgettoEcu_CLIENTE() const {
    return IdentityDescWord(firmwareEcu_, 1);
}
QString ClsComm::DescProgettoEcu_CODICE() const {
    return IdentityDescWord(firmwareEcu_, 2);
}
QString ClsComm::FirmwareFleVersStr() const {
    return IdentityVersStr(firmwareFle_);
}
int ClsComm::FirmwareFleVersNum() const {
    return IdentityVersNum(firmwareFle_, true);
}
QString ClsComm::FirmwareFleDataStr() const {
    return IdentityDataStr(firmwareFle_);
}
int ClsComm::FirmwareFleDayNum() const {
    return IdentityDayNum(firmwareFle_);
}
int ClsComm::FirmwareFleMonthNum() const {
    return IdentityMonthNum(firmwareFle_);
}
int ClsComm::FirmwareFleYearNum() const {
    return IdentityYearNum(firmwareFle_);
}
QString ClsComm::DescProgettoFle_KTXXX() const {
    return IdentityDescWord(firmwareFle_, 0);
}
QString ClsComm::DescProgettoFle_CLIENTE() const {
    return IdentityDescWord(firmwareFle_, 1);
}
QString ClsComm::DescProgettoFle_CODICE() const {
    return IdentityDescWord(firmwareFle_, 2);
}

}  // namespace gascal
