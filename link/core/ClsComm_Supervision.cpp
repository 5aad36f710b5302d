// ClsComm, connection supervision: the link's work on each tick of the link
// timer (open or search, keep-alive, answer handling, recovery, offline),
// and when that timer has work next.
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/EventService.h"
#include "common/LogSink.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

namespace {
constexpr uint8_t kLastSearchPort = 9;
constexpr double kNothingDue = std::numeric_limits<double>::infinity();

QByteArray KeepAliveFrame() {
    return BuildRequest(CMD_GET_ECO, QByteArrayLiteral("ECO"));
}
}  // namespace

void ClsComm::SupervisionStep() {
    lastStepUs_ = MicroSeconds();
    if (ComStateNumber(comState_) != lastLoggedState_) {
        CommLog().WriteLogRxTx(QStringLiteral("C "), QString::number(ComStateNumber(comState_)));
        lastLoggedState_ = ComStateNumber(comState_);
    }
    switch (comState_) {
        case ComState::Reopen:
            CloseComPort();
            WaitMicroSeconds(REOPEN_PAUSE_USEC);
            // A stop or a new port chosen during the pause wins.
            if (comState_ == ComState::Reopen) ComStateTo(ComState::OpenOrSearch);
            wDogPresente_ = true;
            break;
        case ComState::Idle:
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
        case ComState::AwaitingAnswer:
            AnswerHandling();
            break;
        case ComState::LinkError:
            ComStateTo(ComState::Reopen);
            break;
        case ComState::OpenOrSearch:
            OpenStep();
            break;
        case ComState::Stopped:
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
        ComStateTo(ComState::Idle);
        SendMsg(KeepAliveFrame());
        Silenzio(KEEP_ALIVE_PERIOD_MS, true);
        return;
    }
    ComStateTo(ComState::Reopen);
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
    WakeLinkTimer();
    WriteSetCom(pathIni);
}

// --- Link timer -------------------------------------------------------------------

void ClsComm::SetLinkTimer(Timer* timer) {
    if (linkTimer_ == timer) return;
    if (Port* port = ActivePort()) port->SetInputWatcher(nullptr);
    linkTimer_ = timer;
    WakeLinkTimer();
}

void ClsComm::WakeLinkTimer() {
    if (linkTimer_) linkTimer_->Wake();
}

void ClsComm::ComStateTo(gascal::ComState state) {
    comState_ = state;
    WakeLinkTimer();
}

bool ClsComm::LinkTimerRunning() const {
    return linkTimer_ && linkTimer_->Enabled() && !linkTimer_->Busy();
}

bool ClsComm::AwaitingAnswerBytes() const {
    return comState_ == ComState::AwaitingAnswer && CkWDogSend() &&
           MicroSeconds() >= readNotBefore_ && !CtrlEndRecive();
}

double ClsComm::NextDueUs() {
    const double now = MicroSeconds();
    // The step logs every change of state, and the window shows it.
    if (ComStateNumber(comState_) != lastLoggedState_) return now;
    switch (comState_) {
        case ComState::Idle:
            // The keep-alive goes once the silence is over (strictly after it).
            if (ecuState_ == ECU_RUN || ecuState_ == ECU_SLAVE)
                return std::nextafter(silenceDeadline_, kNothingDue);
            return kNothingDue;
        case ComState::Sending:
            return kNothingDue;
        case ComState::AwaitingAnswer: {
            if (!CkWDogSend() || CtrlEndRecive()) return now;
            if (now < readNotBefore_) return std::min(readNotBefore_, answerDeadline_);
            // While the port fails, every look logs it, as it always did.
            if (inputCheckFailed_) return now;
            double due = answerDeadline_;
            Port* port = ActivePort();
            if (!port) return now;
            const double next = port->NextInputUs();
            if (!std::isnan(next))
                due = std::min(due, next);
            else if (!port->NotifiesInput())
                due = std::min(due, now + INPUT_POLL_USEC);
            return due;
        }
        case ComState::Stopped:
            return IsOpen() || wDogPresente_ || !inBuffer_.isEmpty() || !outBuffer_.isEmpty()
                       ? now
                       : kNothingDue;
        case ComState::Reopen:
        case ComState::LinkError:
        case ComState::OpenOrSearch:
            return now;
        default:
            return kNothingDue;
    }
}

void ClsComm::SleepLinkTimer() {
    if (!linkTimer_) return;
    if (Port* port = ActivePort()) {
        if (AwaitingAnswerBytes() && port->NotifiesInput())
            port->SetInputWatcher([this] { WakeLinkTimer(); });
        else
            port->SetInputWatcher(nullptr);
    }
    linkTimer_->SleepUntil(NextDueUs());
}

}  // namespace gascal
