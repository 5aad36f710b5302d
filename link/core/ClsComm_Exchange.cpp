// ClsComm, message exchange: sending a request byte by byte, gathering the
// answer, checking it, resending, the answer time-out and send-and-wait.
#include <algorithm>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/LogSink.h"
#include "common/Prompts.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

namespace {
// Send-and-wait normally leaves the answer to the link timer. When no
// supervision step has run for this long (the link timer is not running or
// is blocked higher up the call stack), it drives the answer handling itself
// so that a request can never hang for ever.
constexpr double kStalledLinkTimerUsec = 200000;

const QByteArray kEobdTimeoutEntry = QByteArray::fromHex("00FFFF");
}  // namespace

bool ClsComm::SendMsg(const QByteArray& msg) {
    // Only an event (a link-timer tick, a window's action) frees the link.
    const double deadline = MicroSeconds() + SEND_READY_TIMEOUT_USEC;
    while (comState_ != ComState::Idle) {
        if (MicroSeconds() >= deadline) return false;
        WaitForEvents(deadline);
    }
    ComStateTo(ComState::Sending);
    // Whatever was decoded while this request waited for its turn (a
    // keep-alive answer) is not its answer.
    answerDecoded_ = false;
    outBuffer_ = msg;
    const QByteArray frame = msg;

    enum class Outcome { Sent, Collision, WriteError, Abandoned };
    Outcome outcome = Outcome::Sent;
    const bool usb = usbCom_ == 1;
    const int n = static_cast<int>(frame.size());
    for (int i = 0; i < n; ++i) {
        const bool statusOk = QueueCheck(usb ? "FT_GetQueueStatus Send" : "ClearCommError Send");
        // The cable does not look for a collision before the last byte.
        const bool look = usb ? (i != n - 1) : true;
        if (look && statusOk && lngRxByte_ > 0) {
            WaitMicroSeconds(attesaGlobale_);
            CleanInputCom();
            outcome = Outcome::Collision;
            break;
        }
        Port* port = ActivePort();
        const uint8_t b = FrameByte(frame, i);
        uint32_t written = 0;
        const uint32_t st = port ? port->Write(&b, 1, written) : PORT_INVALID_HANDLE;
        const bool writeOk = st == PORT_OK && written == 1;
        byteWitn_ = written;
        lastSystemError_ = writeOk ? PORT_OK : (st == PORT_OK ? PORT_IO_ERROR : st);
        ftStatus_ = usb ? static_cast<int32_t>(lastSystemError_) : (writeOk ? 1 : 0);
        if (!writeOk) LogPortFailure(usb ? "FT_Write Send" : "WriteFile Send");
        WaitMicroSeconds(attesaByteTx_);
        if (!writeOk) {
            outcome = Outcome::WriteError;
            break;
        }
        if (comState_ != ComState::Sending) {
            // The link was stopped or reset while this request went out (the
            // waits let the link timer run): the port may be gone.
            outcome = Outcome::Abandoned;
            break;
        }
    }

    const QString hex = BytesToHex(frame);
    switch (outcome) {
        case Outcome::Sent:
            CommLog().WriteLogRxTx(QStringLiteral("T "), hex);
            break;
        case Outcome::Collision:
            CommLog().WriteLogRxTx(QStringLiteral("D "), hex);
            break;
        case Outcome::WriteError:
            CommLog().WriteLogRxTx(QStringLiteral("H "), QString::number(lastSystemError_) + hex);
            break;
        case Outcome::Abandoned:
            CommLog().WriteLogRxTx(QStringLiteral("? "), hex);
            return false;
    }
    // Stopped or reset during a collision pause or a failed write: leave the
    // new state alone.
    if (comState_ != ComState::Sending) return false;

    readNotBefore_ = MicroSeconds() + idle_;
    LoadWDogSend();
    ComStateTo(ComState::AwaitingAnswer);
    return true;
}

bool ClsComm::ReciveMsg() {
    if (MicroSeconds() < readNotBefore_) return false;
    const bool usb = usbCom_ == 1;
    const bool statusOk = QueueCheck(usb ? "FT_GetQueueStatus Recive" : "ClearCommError Recive");
    inputCheckFailed_ = !statusOk;
    if (statusOk && lngRxByte_ > 0) {
        // Read exactly what waits. The receive buffer never holds more than
        // the longest frame: bytes beyond that are read and dropped, and a
        // buffer that never completes is cleared by the time-out.
        uint8_t buf[FRAME_MAX_BYTES];
        uint32_t left = lngRxByte_;
        bytesRead_ = 0;
        while (left > 0) {
            Port* port = ActivePort();
            uint32_t got = 0;
            const uint32_t want = std::min<uint32_t>(left, sizeof buf);
            const uint32_t st = port ? port->Read(buf, want, got) : PORT_INVALID_HANDLE;
            got = std::min(got, want);
            bytesRead_ += got;
            lastSystemError_ = st;
            ftStatus_ = usb ? static_cast<int32_t>(st) : (st == PORT_OK ? 1 : 0);
            const qsizetype room = FRAME_MAX_BYTES - inBuffer_.size();
            inBuffer_.append(reinterpret_cast<const char*>(buf),
                             std::min<qsizetype>(room, static_cast<qsizetype>(got)));
            if (st != PORT_OK) {
                LogPortFailure(usb ? "FT_Read Recive" : "ReadFile Recive");
                inputCheckFailed_ = true;
                break;
            }
            if (got == 0) break;
            left -= got;
        }
        CommLog().WriteLogRxTx(QStringLiteral("R "), BytesToHex(inBuffer_));
    }
    // A port that fails is looked at again after the poll time, not on
    // every tick of the link timer: a pulled cable would keep the process
    // busy for all of the exchange's resends.
    if (inputCheckFailed_) readNotBefore_ = MicroSeconds() + FAILED_PORT_POLL_USEC;
    // The cable's status is turned into the serial convention: -1 success.
    if (usb) ftStatus_ = ftStatus_ == PORT_OK ? -1 : 0;
    if (ftStatus_ == 0)
        CommLog().WriteLogRxTx(QStringLiteral("H "), QString::number(lastSystemError_) +
                                                         QLatin1Char(' ') + BytesToHex(inBuffer_));
    return true;
}

bool ClsComm::CtrlEndRecive() const {
    if (inBuffer_.size() <= 2) return false;
    if (FrameByte(inBuffer_, 0) != FRAME_ANSWER_START ||
        FrameByte(inBuffer_, 1) != FRAME_ANSWER_SECOND)
        return false;
    return inBuffer_.size() >= FrameByte(inBuffer_, 2) + 2;
}

void ClsComm::ShowLinkError(const char* message) {
    if (ServiceView())
        UserPrompts().MessageBox(QString::fromLatin1(message), QString(), BoxIcon::Critical,
                                 BoxButtons::Ok);
}

void ClsComm::ExchangeFailed(const char* message) {
    if (!ReSend(outBuffer_)) {
        // Only broken or refused answers came: no ECU that can be used there.
        RecordAttempt(PortFault::NoAnswer);
        ShowLinkError(message);
        ComStateTo(ComState::LinkError);
    }
}

void ClsComm::AnswerHandling() {
    lastStepUs_ = MicroSeconds();
    if (CkWDogSend()) {
        ReciveMsg();
        if (CtrlEndRecive()) {
            AnswerCheck();
            Silenzio(KEEP_ALIVE_PERIOD_MS, true);
        }
        return;
    }
    // The answer deadline has passed.
    const QByteArray request = outBuffer_;
    if (ReSend(request)) return;
    RecordAttempt(PortFault::NoAnswer);
    if (flagRicercaCom_ == SEARCH_OFF) {
        if (FrameCommand(request) == CMD_EOBD) queue_.Push(kEobdTimeoutEntry);
        ShowLinkError(MSG_WDOG_ERR);
        inBuffer_.clear();
        wDogPresente_ = true;
        SetNumWDogSend(numWDogSend_ + 1);
        TimeCom_RSet();
        ComStateTo(ComState::LinkError);
    } else {
        // Searching: nothing answers here, try the next candidate.
        flagRicercaCom_ = static_cast<uint8_t>(flagRicercaCom_ + 1);
        CloseComPort();
        ComStateTo(ComState::OpenOrSearch);
    }
}

void ClsComm::AnswerCheck() {
    // A frame too short to hold a command and a status counts as garbled.
    if (inBuffer_.size() < ANSWER_MIN_BYTES || Checksum(inBuffer_) != 0) {
        ExchangeFailed(MSG_RX_CHECKSUM);
        return;
    }
    if (FrameCommand(inBuffer_) != FrameCommand(outBuffer_)) {
        ExchangeFailed(MSG_ECO_COMMAND);
        return;
    }
    switch (FrameByte(inBuffer_, ANSWER_STATUS_OFFSET)) {
        case ANSWER_STATUS_DONE:
            searchReport_.Answered();
            ecuAnswered_ = true;
            DecodeAnswer();
            wDogPresente_ = false;
            numWDogSend_ = 0;
            numReSendState_ = 0;
            answerDecoded_ = true;
            ComStateTo(ComState::Idle);
            break;
        case ANSWER_STATUS_CHECKSUM_ERROR:
            ExchangeFailed(MSG_TX_CHECKSUM);
            break;
        case ANSWER_STATUS_EXEC_ERROR:
            ExchangeFailed(MSG_EXE_ERR);
            break;
        default:
            ExchangeFailed(MSG_NOT_DEFINE);
            break;
    }
}

bool ClsComm::ReSend(QByteArray frame) {
    CleanInputCom();
    inBuffer_.clear();
    CleanOutputCom();
    outBuffer_.clear();
    ++numReSendState_;
    if (numReSend_ < numReSendState_) {
        numReSendState_ = 0;
        return false;
    }
    ComStateTo(ComState::Idle);
    SendMsg(frame);
    return true;
}

bool ClsComm::SendAndWait(const QByteArray& msg) {
    if (!SendMsg(msg)) return false;
    while (!answerDecoded_ &&
           (comState_ == ComState::AwaitingAnswer || comState_ == ComState::Sending)) {
        const double now = MicroSeconds();
        if (giveUpAtUs_ > 0 && now >= giveUpAtUs_) {
            // Given up: the port is closed and opened again, as after the
            // last resend.
            ComStateTo(ComState::Reopen);
            return false;
        }
        double until = now + kStalledLinkTimerUsec;
        if (giveUpAtUs_ > 0) until = std::min(until, giveUpAtUs_);
        if (LinkTimerRunning()) {
            // The link timer completes the exchange, and wakes for the answer.
            lastStepUs_ = now;
        } else if (comState_ == ComState::AwaitingAnswer) {
            if (now - lastStepUs_ >= kStalledLinkTimerUsec) {
                AnswerHandling();
                continue;
            }
            until = lastStepUs_ + kStalledLinkTimerUsec;
        }
        // Only events change the outcome: sleep until one ran.
        WaitForEvents(until);
    }
    if (answerDecoded_) return true;
    if (comState_ == ComState::LinkError) ComStateTo(ComState::Reopen);
    return false;
}

bool ClsComm::RipristinaAlignErr_EX() {
    WaitMicroSeconds(ALIGN_BURST_PAUSE_USEC);
    const QByteArray one = BuildRequest(CMD_GET_ECO, QByteArray(1, '\x03'));
    const QByteArray burst = one.repeated(ALIGN_BURST_FRAMES);
    inBuffer_.clear();
    outBuffer_.clear();
    CommLog().WriteLogRxTx(QStringLiteral("T "), BytesToHex(burst));
    const bool usb = usbCom_ == 1;
    for (int i = 0; i < burst.size(); ++i) {
        Port* port = ActivePort();
        const uint8_t b = FrameByte(burst, i);
        uint32_t written = 0;
        const uint32_t st = port ? port->Write(&b, 1, written) : PORT_INVALID_HANDLE;
        byteWitn_ = written;
        ftStatus_ = usb ? static_cast<int32_t>(st) : (st == PORT_OK ? 1 : 0);
        WaitMicroSeconds(ALIGN_BURST_PAUSE_USEC);
        if (!QueueCheck(usb ? "FT_GetQueueStatus Send" : "ClearCommError Send")) return false;
        if (lngRxByte_ > 0) return true;
    }
    return false;
}

}  // namespace gascal
