// ClsComm, connection supervision: the link's work on each tick of the link
// timer (open or search, keep-alive, answer handling, recovery, offline).
#include "common/EventService.h"
#include "common/LogSink.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

namespace {
constexpr uint8_t kLastSearchPort = 9;

QByteArray KeepAliveFrame() {
    return BuildRequest(CMD_GET_ECO, QByteArrayLiteral("ECO"));
}
}  // namespace

void ClsComm::SupervisionStep() {
    lastStepUs_ = MicroSeconds();
    if (comState_ != lastLoggedState_) {
        CommLog().WriteLogRxTx(QStringLiteral("C "), QString::number(comState_));
        lastLoggedState_ = comState_;
    }
    switch (comState_) {
        case COM_REOPEN:
            CloseComPort();
            WaitMicroSeconds(REOPEN_PAUSE_USEC);
            // A stop or a new port chosen during the pause wins.
            if (comState_ == COM_REOPEN) comState_ = COM_OPEN;
            wDogPresente_ = true;
            break;
        case COM_IDLE:
            if (Silenzio(KEEP_ALIVE_PERIOD_MS, false) &&
                (ecuState_ == ECU_RUN || ecuState_ == ECU_SLAVE)) {
                CleanInputCom();
                CleanOutputCom();
                inBuffer_.clear();
                outBuffer_.clear();
                SendMsg(KeepAliveFrame());
                Silenzio(KEEP_ALIVE_PERIOD_MS, true);
            }
            break;
        case COM_WAIT_ANSWER:
            AnswerHandling();
            break;
        case COM_LINK_ERROR:
            comState_ = COM_REOPEN;
            break;
        case COM_OPEN:
            OpenStep();
            break;
        case COM_STOP:
            CloseComPort();
            wDogPresente_ = false;
            inBuffer_.clear();
            outBuffer_.clear();
            break;
        default:
            break;
    }
}

void ClsComm::OpenStep() {
    if (flagRicercaCom_ != SEARCH_OFF) {
        // Every USB device is tried before the serial ports.
        if (flagRicercaCom_ == 1 && usbCount_ > 0 && usbIndex_ < usbCount_ - 1) flagRicercaCom_ = 0;
        if (flagRicercaCom_ == 0) {
            usbCom_ = 1;
            comPort_ = 0;
        } else {
            usbCom_ = 0;
            comPort_ = flagRicercaCom_;
        }
    }
    if (usbCom_ == 1) {
        uint32_t count = 0;
        const uint32_t st = Provider().UsbDeviceCount(count);
        if (st != PORT_OK || count == 0) {
            usbCount_ = 0;
            usbPrevCount_ = 0;
            usbIndex_ = 0;
        } else {
            if (usbIndex_ < count - 1 && count == usbPrevCount_) {
                ++usbIndex_;
            } else {
                usbIndex_ = 0;
                usbPrevCount_ = count;
            }
            usbCount_ = count;
            numReSendState_ = 0;
        }
    }
    if (SetComm()) {
        CleanInputCom();
        CleanOutputCom();
        inBuffer_.clear();
        outBuffer_.clear();
        comState_ = COM_IDLE;
        SendMsg(KeepAliveFrame());
        Silenzio(KEEP_ALIVE_PERIOD_MS, true);
        return;
    }
    comState_ = COM_REOPEN;
    // A cursor past COM9 is no port: nothing was tried there.
    if (usbCom_ == 1 || !ComPortNome().isEmpty())
        RecordAttempt(
            FaultOfStatus(usbCom_ == 1 ? static_cast<uint32_t>(ftStatus_) : lastSystemError_));
    if (flagRicercaCom_ != SEARCH_OFF) {
        WaitMicroSeconds(SEARCH_NEXT_PAUSE_USEC);
        // The user may have chosen a port during the pause.
        if (flagRicercaCom_ == SEARCH_OFF) return;
        if (flagRicercaCom_ >= kLastSearchPort) {
            // Every port has been tried once since the cable.
            flagRicercaCom_ = 0;
            searchReport_.RoundEnded();
        } else {
            ++flagRicercaCom_;
        }
    }
}

void ClsComm::RecordAttempt(PortFault fault) {
    PortAttempt a;
    a.usb = usbCom_ == 1;
    a.number = a.usb ? static_cast<int>(usbIndex_) : comPort_;
    if (!a.usb) a.device = QString::fromStdString(Provider().SerialDeviceName(comPort_));
    a.fault = fault;
    searchReport_.Record(a);
}

void ClsComm::StopSearchAndRemember(const QString& pathIni) {
    flagRicercaCom_ = SEARCH_OFF;
    WriteSetCom(pathIni);
}

}  // namespace gascal
