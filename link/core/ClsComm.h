// ClsComm: the one link object between the tool and the ECU.
//
// It owns the open port (USB cable, serial port or whatever the installed
// PortProvider offers), the line timing read from \BIN\SetCom.ini, the
// exchange of framed requests and answers, the command decoder, the answer
// queue, the firmware identities and the per-tick supervision step.
//
// API in short (names are the system's own):
//   Port side   SetComm, CloseComPort, CleanInputCom, CleanOutputCom,
//               VerificaStatoComunicazione, SendDelay, Silenzio,
//               LoadWDogSend / UnloadWDogSend / CkWDogSend, TimeCom,
//               ReadSetCom / WriteSetCom, AttesaGlobale_usec_Default.
//   Exchange    SendMsg(frame) sends when ComState is 1 and leaves the answer
//               to the link timer; SendAndWait(frame) sends and processes
//               events until the answer was decoded (true) or given up
//               (false). Build frames with BuildRequest (Frame.h) and the
//               CMD_ codes (CommandTable.h).
//   Answers     A valid answer goes through the command decoder: the link
//               keeps what belongs to it (EcuState, identity, ErrInj,
//               variable addresses, keep-alive, answer queue) and hands block,
//               sample and test-data answers to the installed AnswerSink.
//               Table, memory-zone and EOBD answers go into the answer queue:
//               after SendAndWait, the requester takes them with
//               AnswerQueuePop().
//   Timer1      SupervisionStep() is the link's work for one 1 ms tick of the
//               main window's link timer (open, search, keep-alive, answer
//               handling, recovery, offline). With SetLinkTimer the link
//               wakes that timer itself (state changed from outside, bytes
//               of an awaited answer arriving), and SleepLinkTimer() at the
//               end of a tick lets it skip the ticks until NextDueUs().
// Everything runs on the one thread; every wait goes through the event
// service, so timers keep running during waits and ComState is the guard
// that keeps requests from overlapping.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "common/Port.h"
#include "link/core/AnswerQueue.h"
#include "link/core/PortDiagnosis.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/FlashTable.h"

namespace gascal {

class Timer;

// ComState: the link's communication state. The numbers are the system's
// own: the communication log writes them on its "C " lines.
enum class ComState : uint8_t {
    Reopen = 0,          // port to be (re)opened: closed, then opened again
    Idle = 1,            // open and idle, ready to send
    Sending = 2,         // a request is going out byte by byte
    AwaitingAnswer = 3,  // request sent, answer awaited
    LinkError = 5,       // the resends are exhausted: reopened through state 0
    OpenOrSearch = 7,    // open the port or search for the ECU (the state at creation)
    Stopped = 8,         // close requested (offline): the port stays closed
};
// The log's number of a state.
constexpr int ComStateNumber(ComState s) {
    return static_cast<int>(s);
}

// EcuState values.
constexpr uint8_t ECU_RUN = 0;
constexpr uint8_t ECU_SLAVE = 1;
constexpr uint8_t ECU_PROGRAMMING = 2;
constexpr uint8_t ECU_FLASH_WRITE = 3;

// FlagRicercaCom: no search, use the configured port.
constexpr uint8_t SEARCH_OFF = 255;

// Timing defaults of the line (microseconds unless named otherwise).
constexpr double DEFAULT_ATTESA_BYTE_TX_USEC = 500;
constexpr double DEFAULT_ATTESA_GLOBALE_USEC = 4000000;
constexpr double DEFAULT_MOL_ATTESA_GLOBALE = 500;
constexpr double DEFAULT_IDLE_USEC = 100000;
constexpr int DEFAULT_NUM_RESEND = 10;
constexpr int KEEP_ALIVE_PERIOD_MS = 4000;
constexpr double SEND_READY_TIMEOUT_USEC = 500000;
// A port that cannot tell when input arrives (the USB cable) is looked at
// this often while the bytes of an answer are awaited.
constexpr double INPUT_POLL_USEC = 5000;
// How often a port whose input check failed is looked at again.
constexpr double FAILED_PORT_POLL_USEC = 20000;
constexpr double REOPEN_PAUSE_USEC = 400000;
constexpr double SEARCH_NEXT_PAUSE_USEC = 200000;
constexpr double FLASH_END_STEP_USEC = 2000000;
constexpr int FLASH_END_STEPS = 5;
constexpr double ALIGN_BURST_PAUSE_USEC = 50000;
constexpr int ALIGN_BURST_FRAMES = 31;
constexpr int ERR_INJ_COUNT = 64;
constexpr int VAR_ADDRESS_COUNT = 16;

// Texts of the link's own error boxes (service view only).
inline constexpr const char* MSG_WDOG_ERR = "COMUNICATION ERROR: WDOG ERR";
inline constexpr const char* MSG_RX_CHECKSUM = "COMUNICATION ERROR: RX CHECK SUM ";
inline constexpr const char* MSG_ECO_COMMAND = "COMUNICATION ERROR: ECO COMMAND";
inline constexpr const char* MSG_TX_CHECKSUM = "COMUNICATION ERROR: TX CHECK SUM";
inline constexpr const char* MSG_EXE_ERR = "COMUNICATION ERROR: EXE ERR";
inline constexpr const char* MSG_NOT_DEFINE = "COMUNICATION ERROR: NOT DEFINE";

// The main window's service view: link error boxes are shown only while on.
bool ServiceView();
void SetServiceView(bool on);

// Receiver of the answers whose meaning belongs to the data layer. Data are
// the answer data bytes (offset 5 up to the checksum) as hexadecimal text.
class AnswerSink {
  public:
    virtual ~AnswerSink() = default;
    virtual void OnMem1(const QString& /*hex*/) {}
    virtual void OnMem2(const QString& /*hex*/) {}
    virtual void OnMem3(const QString& /*hex*/) {}
    virtual void OnMem5(const QString& /*hex*/) {}
    // CMD_WRT_MEM2 acknowledged: the write-acknowledge marker becomes 255, 255.
    virtual void OnWriteMem2Ack() {}
    // CMD_READ_SMPL_BNZ / _GAS / _BNZ1 / _GAS1.
    virtual void OnSamples(uint8_t /*command*/, const QString& /*hex*/) {}
    // CMD_CANC_SMPL_BNZ / _GAS acknowledged.
    virtual void OnSamplesCleared(uint8_t /*command*/) {}
    // CMD_READ_DCOL_FL: the whole answer frame as hexadecimal text.
    virtual void OnTestData(const QString& /*frameHex*/) {}
    // CMD_READ_ERR stored or CMD_CANC_ERR cleared the error flags.
    virtual void OnErrorFlags() {}
    // Every valid answer, after the link's own handling.
    virtual void OnAnswer(uint8_t /*command*/, const QString& /*dataHex*/) {}
};

class ClsComm {
  public:
    ClsComm();
    ~ClsComm();
    ClsComm(const ClsComm&) = delete;
    ClsComm& operator=(const ClsComm&) = delete;

    // --- Wiring -------------------------------------------------------------
    // Where ports come from. Not owned; without one the machine's own ports
    // (USB cable, then serial ports) are used.
    void SetPortProvider(PortProvider* provider);
    PortProvider& Provider();
    void SetAnswerSink(AnswerSink* sink) { sink_ = sink; }
    // The file side of the identity read: fills the firmware file's identity
    // text, false when the flash table or the firmware file cannot be read
    // (then `error` says why, naming the bad line where there is one).
    // By default it reads \BIN\Flash.ini and the firmware file into the
    // link's own flash table and image.
    using FirmwareFileReader = std::function<bool(QString& firmwareFle, QString* error)>;
    void SetFirmwareFileReader(FirmwareFileReader reader) { fileReader_ = std::move(reader); }
    // Firmware file the default reader loads (the installation's file when empty).
    void SetFirmwareFilePath(const QString& path) { firmwarePath_ = path; }
    QString FirmwareFilePathUsed() const;
    FlashTable& Flash() { return flashTable_; }
    FlashImage& TableFlashImage() { return flashImage_; }

    // --- Port selection and status (port side) -----------------------------
    uint8_t UsbCom() const { return usbCom_; }
    void SetUsbCom(uint8_t v) {
        usbCom_ = v;
        WakeLinkTimer();
    }
    int ComPort() const { return usbCom_ == 1 ? 0 : comPort_; }
    void SetComPort(int v) {
        comPort_ = static_cast<int16_t>(v);
        WakeLinkTimer();
    }
    QString ComPortNome() const;
    uint32_t nPorta() const { return nPorta_; }
    uint32_t LngHand() const { return lngHand_; }
    bool IsOpen() const { return (usbCom_ == 1 ? lngHand_ : nPorta_) != 0; }
    uint32_t UsbDeviceIndex() const { return usbIndex_; }
    void SetUsbDeviceIndex(uint32_t i) {
        usbIndex_ = i;
        WakeLinkTimer();
    }
    uint32_t UsbDeviceCount() const { return usbCount_; }

    int32_t FtStatus() const { return ftStatus_; }
    uint32_t ErrorCom() const { return errorCom_; }
    uint32_t ComStat_fBitFields() const { return comStatBits_; }
    uint32_t ComStat_cbInQue() const { return cbInQue_; }
    uint32_t ComStat_cbOutQue() const { return cbOutQue_; }
    uint32_t LngRxByte() const { return lngRxByte_; }
    uint32_t ByteWitn() const { return byteWitn_; }
    uint32_t BytesRead() const { return bytesRead_; }

    bool SetComm();
    bool CloseComPort();
    void CleanInputCom();
    void CleanOutputCom();
    bool VerificaStatoComunicazione();

    // --- Timing -------------------------------------------------------------
    bool SendDelay(int periodoMSec);
    bool Silenzio(int periodoMSec, bool resetta);
    void LoadWDogSend();
    void UnloadWDogSend();
    bool CkWDogSend() const;
    void TimeCom_RSet();
    // Milliseconds the link has been open (0 and reset while it is closed).
    qint64 TimeCom();
    void AttesaGlobale_usec_Default() { attesaGlobale_ = attesaGlobaleDefault_; }

    double AttesaByteTx_usec() const { return attesaByteTx_; }
    void SetAttesaByteTx_usec(double v) { attesaByteTx_ = v; }
    double AttesaGlobale_usec() const { return attesaGlobale_; }
    void SetAttesaGlobale_usec(double v) { attesaGlobale_ = v; }
    double AttesaGlobaleDefault_usec() const { return attesaGlobaleDefault_; }
    void SetAttesaGlobaleDefault_usec(double v) { attesaGlobaleDefault_ = v; }
    double MolAttesaGlobale() const { return molAttesaGlobale_; }
    void SetMolAttesaGlobale(double v) { molAttesaGlobale_ = v; }
    double Idle_usec() const { return idle_; }
    void SetIdle_usec(double v) { idle_ = v; }
    int NumReSend() const { return numReSend_; }
    void SetNumReSend(int v) { numReSend_ = static_cast<int16_t>(v); }
    int NumReSendState() const { return numReSendState_; }
    uint8_t FlagRicercaCom() const { return flagRicercaCom_; }
    void SetFlagRicercaCom(int v) {
        flagRicercaCom_ = static_cast<uint8_t>(v);
        WakeLinkTimer();
    }
    bool MemoDatiCom() const { return memoDatiCom_; }
    void SetMemoDatiCom(bool v) { memoDatiCom_ = v; }
    uint32_t DcbFlags() const { return dcbFlags_; }
    void SetDcbFlags(uint32_t v) { dcbFlags_ = v; }
    QString PortText() const { return portText_; }
    void SetPortText(const QString& v) { portText_ = v; }
    QString MemoPath() const { return memoPath_; }
    void SetMemoPath(const QString& v) { memoPath_ = v; }
    QString Titolo() const { return titolo_; }
    void SetTitolo(const QString& v) { titolo_ = v; }

    // \BIN\SetCom.ini (path relative to the installation folder).
    void ReadSetCom(const QString& pathIni);
    void WriteSetCom(const QString& pathIni);

    // --- Exchange -----------------------------------------------------------
    gascal::ComState ComState() const { return comState_; }
    // Going offline and closing: the link timer closes the port and leaves
    // it closed (state 8) until the link is reopened.
    void Stop() { ComStateTo(ComState::Stopped); }
    // The port is closed and opened again on the next link-timer tick
    // (state 0): after a change of port, a search asked for, or an ECU
    // that is not accepted.
    void Reopen() { ComStateTo(ComState::Reopen); }
    uint8_t EcuState() const { return ecuState_; }
    void SetEcuState(uint8_t v) {
        ecuState_ = v;
        WakeLinkTimer();
    }
    const QByteArray& OutBuffer() const { return outBuffer_; }
    // The request whose answer is being handed to the answer sink (what a
    // write carried, which chunk a table read asked for).
    const QByteArray& AnsweredRequest() const { return answeredRequest_; }
    const QByteArray& InBuffer() const { return inBuffer_; }
    // An ECU answered on the port now open (cleared when the port closes):
    // until then the port status never reads OK.
    bool EcuAnswered() const { return ecuAnswered_; }
    bool WDogPresente() const { return wDogPresente_; }
    // An exchange of SendAndWait still running at this time is given up as
    // after its last resend (0: none).
    double GiveUpAtUs() const { return giveUpAtUs_; }
    void SetGiveUpAtUs(double us) { giveUpAtUs_ = us; }
    void SetWDogPresente(bool v) {
        wDogPresente_ = v;
        WakeLinkTimer();
    }
    int NumWDogSend() const { return numWDogSend_; }
    void SetNumWDogSend(int v) { numWDogSend_ = static_cast<int16_t>(v < 0 ? 0 : v); }

    bool SendMsg(const QByteArray& msg);
    bool ReciveMsg();
    bool CtrlEndRecive() const;
    // Sends one request and lets the link timer complete it. True when a
    // valid answer was decoded.
    bool SendAndWait(const QByteArray& msg);
    // The state-3 work of one link-timer tick: gather, check, time out.
    void AnswerHandling();
    // Validates the complete answer in InBuffer.
    void AnswerCheck();
    // Sends the request again if the limit allows; false when exhausted.
    // Takes its own copy: the frame is usually OutBuffer, which it empties.
    bool ReSend(QByteArray frame);
    bool RipristinaAlignErr_EX();

    // --- Command set --------------------------------------------------------
    void DecodeAnswer();
    void AggiornaIndVar(const QByteArray& answer);
    bool RichiediIndVar() const { return richiediIndVar_; }
    void SetRichiediIndVar(bool v) { richiediIndVar_ = v; }
    uint8_t IndVar(int i) const { return (i >= 0 && i < VAR_ADDRESS_COUNT) ? indVar_[i] : 0; }

    uint8_t ErrInj(int i) const { return (i >= 0 && i < ERR_INJ_COUNT) ? errInj_[i] : 0; }
    void SetErrInj(int i, uint8_t v) {
        if (i >= 0 && i < ERR_INJ_COUNT) errInj_[i] = v;
    }
    void ErrInjClr() { errInj_.fill(0); }
    int ErrInjUBound() const { return ERR_INJ_COUNT - 1; }

    AnswerQueue& Queue() { return queue_; }
    void AnswerQueuePush(const QByteArray& text) { queue_.Push(text); }
    QByteArray AnswerQueuePop() { return queue_.Pop(); }

    const QByteArray& LastKeepAliveAnswer() const { return lastEco_; }
    const QByteArray& MemoDataCollaudo() const { return memoDataCollaudo_; }

    // Firmware identities (12 hexadecimal characters + 32-character
    // project descriptor).
    QString FirmwareEcu() const { return firmwareEcu_; }
    void SetFirmwareEcu(const QString& v) { firmwareEcu_ = v; }
    QString FirmwareFle() const { return firmwareFle_; }
    void SetFirmwareFle(const QString& v) { firmwareFle_ = v; }
    // Reads both identities; true when both could be determined.
    bool ReadFirmwareIdentity();
    // Why the file side of the last identity read failed (the flash table or
    // the firmware file, with the bad line); empty when it succeeded.
    const QString& FirmwareFileError() const { return firmwareFileError_; }

    QString FirmwareEcuVersStr() const;
    int FirmwareEcuVersNum() const;
    QString FirmwareEcuDataStr() const;
    int FirmwareEcuDayNum() const;
    int FirmwareEcuMonthNum() const;
    int FirmwareEcuYearNum() const;
    QString DescProgettoEcu_KTXXX() const;
    QString DescProgettoEcu_CLIENTE() const;
    QString DescProgettoEcu_CODICE() const;
    QString FirmwareFleVersStr() const;
    int FirmwareFleVersNum() const;
    QString FirmwareFleDataStr() const;
    int FirmwareFleDayNum() const;
    int FirmwareFleMonthNum() const;
    int FirmwareFleYearNum() const;
    QString DescProgettoFle_KTXXX() const;
    QString DescProgettoFle_CLIENTE() const;
    QString DescProgettoFle_CODICE() const;

    // Slow command: CMD_SAVE_FLASH with the global wait stretched by
    // MolAttesaGlobale, then the default restored.
    bool SaveFlash();

    // --- Supervision (one Timer1 tick) --------------------------------------
    void SupervisionStep();

    // --- Link timer -------------------------------------------------------------
    // The timer whose ticks run SupervisionStep (not owned; nullptr detaches,
    // as the owner must before the timer goes). The link wakes it whenever
    // its state is changed from outside the step and when the bytes of an
    // awaited answer arrive; send-and-wait then sleeps until an event ran
    // instead of looking every millisecond.
    void SetLinkTimer(Timer* timer);
    Timer* LinkTimer() const { return linkTimer_; }
    // When the step next has work (a clock value; now or earlier: at once;
    // infinity: nothing until the link is changed from outside). Port input
    // that a watcher reports (see SleepLinkTimer) is not counted in it.
    //   state changed and not yet logged: now
    //   1 idle: end of the keep-alive silence (nothing while programming)
    //   2 sending: nothing (the sender wakes the timer when it is done)
    //   3 answer awaited: the first read after the idle time; then the
    //     answer time-out, the port's next byte when the port knows it
    //     (simulated line), else a look every INPUT_POLL_USEC when the port
    //     cannot notify (USB cable); at once while the port fails
    //   0, 5, 7: now; 8 stopped: now until the port is closed, then nothing
    double NextDueUs();
    // The end of a link-timer tick: the port's input watcher is on while an
    // answer's bytes are awaited, and the timer sleeps until NextDueUs().
    void SleepLinkTimer();
    // The main window's confirmation that the port found answers the right
    // ECU: the search stops and the settings file remembers the port.
    void StopSearchAndRemember(const QString& pathIni = QStringLiteral("\\BIN\\SetCom.ini"));
    int LastLoggedState() const { return lastLoggedState_; }
    // What the ports tried since the last valid answer said (busy, no
    // permission, no device, no answer), and how many whole search rounds
    // ended without an ECU.
    PortSearchReport& SearchReport() { return searchReport_; }
    const PortSearchReport& SearchReport() const { return searchReport_; }

    // Handle file \BIN\Handle.ini.
    void FileHandleRecord(uint32_t handle);
    void FileHandleClear();
    void FileHandleVerificaChiusura();

  private:
    // Every change of ComState goes here: the link timer logs and shows it.
    void ComStateTo(gascal::ComState state);
    // Tests put the link in any state, including ones no operation leads
    // to, through LinkStateAccess (tests/link/LinkStateAccess.h).
    friend struct LinkStateAccess;
    void WakeLinkTimer();
    // The link timer is attached, enabled and not inside its own handler:
    // it completes the exchange and wakes for it.
    bool LinkTimerRunning() const;
    // ComState 3 after the idle time with the answer not complete: the bytes
    // still to come are what the link waits for.
    bool AwaitingAnswerBytes() const;
    // Port calls with the status fields and diagnostics of each transport.
    bool QueueCheck(const char* sendOrRecive);
    void LogPortFailure(const char* call);
    Port* ActivePort() const;
    void OpenStep();
    // Records the outcome at the port just tried.
    void RecordAttempt(PortFault fault);
    void ExchangeFailed(const char* message);
    void ShowLinkError(const char* message);

    PortProvider* provider_ = nullptr;
    std::unique_ptr<PortProvider> ownProvider_;
    AnswerSink* sink_ = nullptr;
    QByteArray answeredRequest_;
    FirmwareFileReader fileReader_;
    QString firmwarePath_;
    FlashTable flashTable_;
    FlashImage flashImage_;

    std::unique_ptr<Port> usbPort_;
    std::unique_ptr<Port> serialPort_;
    // Serial ports whose close failed, by handle, so the handle file can
    // recover them later. Only handles this process opened are ever here.
    std::map<uint32_t, std::unique_ptr<Port>> staleHandles_;
    uint32_t nextHandle_ = 0x100;

    uint8_t usbCom_ = 1;
    int16_t comPort_ = 1;
    uint32_t nPorta_ = 0;
    uint32_t lngHand_ = 0;
    uint32_t usbIndex_ = 0;
    uint32_t usbCount_ = 0;
    uint32_t usbPrevCount_ = 0;

    int32_t ftStatus_ = 0;
    uint32_t lastSystemError_ = 0;
    uint32_t errorCom_ = 0;
    uint32_t comStatBits_ = 0;
    uint32_t cbInQue_ = 0;
    uint32_t cbOutQue_ = 0;
    uint32_t lngRxByte_ = 0;
    uint32_t byteWitn_ = 0;
    uint32_t bytesRead_ = 0;

    QString portText_;
    QString memoPath_;
    QString titolo_;
    double attesaByteTx_ = DEFAULT_ATTESA_BYTE_TX_USEC;
    double attesaGlobaleDefault_ = DEFAULT_ATTESA_GLOBALE_USEC;
    double attesaGlobale_ = DEFAULT_ATTESA_GLOBALE_USEC;
    double molAttesaGlobale_ = DEFAULT_MOL_ATTESA_GLOBALE;
    double idle_ = DEFAULT_IDLE_USEC;
    int16_t numReSend_ = DEFAULT_NUM_RESEND;
    int16_t numReSendState_ = 0;
    uint8_t flagRicercaCom_ = 0;
    uint32_t dcbFlags_ = 0;
    bool memoDatiCom_ = true;

    double sendDelayDeadline_ = 0;
    double silenceDeadline_ = 0;
    double answerDeadline_ = 0;
    double readNotBefore_ = 0;
    QDateTime timeComRef_;

    gascal::ComState comState_ = ComState::OpenOrSearch;
    uint8_t ecuState_ = ECU_RUN;
    QByteArray outBuffer_;
    QByteArray inBuffer_;
    bool wDogPresente_ = false;
    int16_t numWDogSend_ = 0;
    bool richiediIndVar_ = false;
    std::array<uint8_t, VAR_ADDRESS_COUNT> indVar_{};
    std::array<uint8_t, ERR_INJ_COUNT> errInj_{};
    AnswerQueue queue_;
    QByteArray lastEco_;
    QByteArray memoDataCollaudo_;
    QString firmwareEcu_;
    QString firmwareFle_;
    QString firmwareFileError_;

    int lastLoggedState_ = -1;
    PortSearchReport searchReport_;
    // Last time the link timer looked after the link (its step ran, or it
    // was running and asleep while send-and-wait waited).
    double lastStepUs_ = 0;
    bool answerDecoded_ = false;
    bool ecuAnswered_ = false;
    double giveUpAtUs_ = 0;
    Timer* linkTimer_ = nullptr;
    // The last look for answer bytes found the port failing.
    bool inputCheckFailed_ = false;
};

}  // namespace gascal
