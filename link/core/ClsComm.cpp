// ClsComm, port side: opening, configuring, flushing and closing the port,
// the link's small timers and the settings file \BIN\SetCom.ini.
#include "link/core/ClsComm.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/LogSink.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "link/core/Frame.h"
#include "link/core/MachinePorts.h"

namespace gascal {

namespace {
bool g_serviceView = false;

constexpr const char* kDefaultPortText = "38400,N,8,1";
constexpr const char* kDefaultTitolo = "Default Setting";

// Serial line time-outs applied on open (ms): read interval, write total.
constexpr uint32_t kSerialReadIntervalMs = 5;
constexpr uint32_t kSerialWriteTotalMs = 50;
constexpr uint32_t kUsbTimeoutMs = 50;
constexpr int kCloseAttempts = 3;

QString Hex(uint32_t v) {
    return QString::number(v, 16).toUpper();
}
}  // namespace

bool ServiceView() {
    return g_serviceView;
}
void SetServiceView(bool on) {
    g_serviceView = on;
}

ClsComm::ClsComm()
    : portText_(QString::fromLatin1(kDefaultPortText)),
      memoPath_(InstallDir()),
      titolo_(QString::fromLatin1(kDefaultTitolo)) {
    timeComRef_ = Events().Now();
    sendDelayDeadline_ = MicroSeconds();
    // The first keep-alive silence is already over.
    silenceDeadline_ = sendDelayDeadline_ - 1;
    ComStateTo(ComState::OpenOrSearch);
}

ClsComm::~ClsComm() {
    usbPort_.reset();
    serialPort_.reset();
}

void ClsComm::SetPortProvider(PortProvider* provider) {
    provider_ = provider;
}

PortProvider& ClsComm::Provider() {
    if (provider_) return *provider_;
    if (!ownProvider_) ownProvider_ = MakeMachinePortProvider();
    return *ownProvider_;
}

QString ClsComm::ComPortNome() const {
    const int n = ComPort();
    if (n >= 1 && n <= 9) return QStringLiteral("COM") + QString::number(n);
    return {};
}

Port* ClsComm::ActivePort() const {
    return usbCom_ == 1 ? usbPort_.get() : serialPort_.get();
}

// --- Diagnostics ---------------------------------------------------------------

void ClsComm::LogPortFailure(const char* call) {
    LogSink& log = CommLog();
    log.WriteLogRxTx(QString::fromLatin1(call), QString());
    if (usbCom_ == 1) {
        log.WriteLogRxTx(QStringLiteral("FtStatus_Val "), Hex(static_cast<uint32_t>(ftStatus_)));
        log.WriteLogRxTx(QStringLiteral("LastDllError "), Hex(lastSystemError_));
    } else {
        log.WriteLogRxTx(QStringLiteral("lpErrors "), Hex(errorCom_));
        log.WriteLogRxTx(QStringLiteral("GetLastError "), Hex(lastSystemError_));
        log.WriteLogRxTx(QStringLiteral("LastDllError "), Hex(lastSystemError_));
    }
}

// Queue check of the selected transport: FT_GetQueueStatus on the cable,
// ClearCommError on a serial port. Updates the status fields; true when the
// call succeeded.
bool ClsComm::QueueCheck(const char* callName) {
    Port* port = ActivePort();
    PortQueue q;
    const uint32_t st = port ? port->QueueStatus(q) : PORT_INVALID_HANDLE;
    lastSystemError_ = st;
    if (usbCom_ == 1) {
        ftStatus_ = static_cast<int32_t>(st);
        lngRxByte_ = st == PORT_OK ? q.inQue : 0;
    } else {
        ftStatus_ = st == PORT_OK ? 1 : 0;
        errorCom_ = q.errors;
        comStatBits_ = 0;
        cbInQue_ = st == PORT_OK ? q.inQue : 0;
        cbOutQue_ = st == PORT_OK ? q.outQue : 0;
        lngRxByte_ = cbInQue_;
    }
    if (st != PORT_OK && callName) LogPortFailure(callName);
    return st == PORT_OK;
}

// --- Opening and closing -------------------------------------------------------

bool ClsComm::SetComm() {
    if (usbCom_ == 1) {
        uint32_t st = PORT_OK;
        usbPort_ = Provider().OpenUsb(usbIndex_, st);
        if (!usbPort_ || st != PORT_OK) {
            usbPort_.reset();
            ftStatus_ = static_cast<int32_t>(st == PORT_OK ? PORT_DEVICE_NOT_OPENED : st);
            lngHand_ = 0;
            return false;
        }
        lngHand_ = nextHandle_++;
        LineSettings s;
        s.readTimeoutMs = kUsbTimeoutMs;
        s.writeTimeoutMs = kUsbTimeoutMs;
        st = usbPort_->Configure(s);
        ftStatus_ = static_cast<int32_t>(st);
        return st == PORT_OK;
    }

    // Serial port COM1..COM9; any other number has no name and cannot open.
    uint32_t st = PORT_DEVICE_NOT_FOUND;
    if (!ComPortNome().isEmpty()) serialPort_ = Provider().OpenSerial(ComPort(), st);
    if (!serialPort_ || st != PORT_OK) {
        serialPort_.reset();
        nPorta_ = 0;
        ftStatus_ = 0;
        lastSystemError_ = st;
        FileHandleVerificaChiusura();
        return false;
    }
    nPorta_ = nextHandle_++;
    FileHandleRecord(nPorta_);
    LineSettings s;
    s.readTimeoutMs = kSerialReadIntervalMs;
    s.writeTimeoutMs = kSerialWriteTotalMs;
    s.dcbFlags = dcbFlags_;
    st = serialPort_->Configure(s);
    ftStatus_ = st == PORT_OK ? 1 : 0;
    lastSystemError_ = st;
    return st == PORT_OK;
}

bool ClsComm::CloseComPort() {
    ecuAnswered_ = false;
    if (usbCom_ == 1) {
        if (lngHand_ != 0) {
            if (usbPort_) ftStatus_ = static_cast<int32_t>(usbPort_->Close());
            usbPort_.reset();
            lngHand_ = 0;
        }
        return true;
    }
    if (nPorta_ != 0) {
        uint32_t st = PORT_INVALID_HANDLE;
        for (int attempt = 0; attempt < kCloseAttempts && serialPort_; ++attempt) {
            st = serialPort_->Close();
            if (st == PORT_OK) break;
        }
        lastSystemError_ = st;
        if (st == PORT_OK || !serialPort_) {
            serialPort_.reset();
            nPorta_ = 0;
            FileHandleClear();
        } else {
            // The handle stays recorded in the handle file; a later failing
            // open closes it (FileHandleVerificaChiusura).
            staleHandles_[nPorta_] = std::move(serialPort_);
            nPorta_ = 0;
        }
    }
    return true;
}

void ClsComm::CleanInputCom() {
    Port* port = ActivePort();
    if (!port) return;
    if (usbCom_ == 1) {
        ftStatus_ = static_cast<int32_t>(port->Purge(PURGE_RX | PURGE_TX));
        return;
    }
    if (QueueCheck(nullptr) && cbInQue_ > 0) {
        // Read what waits and throw it away, in slices of a frame.
        uint8_t buf[FRAME_MAX_BYTES];
        uint32_t left = cbInQue_;
        while (left > 0) {
            uint32_t got = 0;
            const uint32_t want = std::min<uint32_t>(left, sizeof buf);
            if (port->Read(buf, want, got) != PORT_OK || got == 0) break;
            left -= std::min(left, got);
        }
    }
}

void ClsComm::CleanOutputCom() {
    Port* port = ActivePort();
    if (!port) return;
    const uint32_t st = port->Purge(PURGE_TX);
    if (usbCom_ == 1)
        ftStatus_ = static_cast<int32_t>(st);
    else
        ftStatus_ = st == PORT_OK ? 1 : 0;
}

bool ClsComm::VerificaStatoComunicazione() {
    return QueueCheck(nullptr);
}

// --- Timers ----------------------------------------------------------------------

bool ClsComm::SendDelay(int periodoMSec) {
    const double now = MicroSeconds();
    if (now > sendDelayDeadline_) {
        sendDelayDeadline_ = now + periodoMSec * 1000.0;
        return true;
    }
    return false;
}

bool ClsComm::Silenzio(int periodoMSec, bool resetta) {
    const double now = MicroSeconds();
    const bool past = now > silenceDeadline_;
    if (resetta) silenceDeadline_ = now + periodoMSec * 1000.0;
    return past;
}

void ClsComm::LoadWDogSend() {
    answerDeadline_ = MicroSeconds() + attesaGlobale_ + idle_;
    WakeLinkTimer();
}
void ClsComm::UnloadWDogSend() {
    answerDeadline_ = MicroSeconds();
    WakeLinkTimer();
}
bool ClsComm::CkWDogSend() const {
    return MicroSeconds() < answerDeadline_;
}

void ClsComm::TimeCom_RSet() {
    timeComRef_ = Events().Now();
}

qint64 ClsComm::TimeCom() {
    if (!IsOpen()) TimeCom_RSet();
    return timeComRef_.msecsTo(Events().Now());
}

// --- Settings file ---------------------------------------------------------------

namespace {
enum class SetComKey {
    Setport,
    Comport,
    MemoPath,
    Titolo,
    AttesaByteTx,
    AttesaGlobale,
    MolAttesaGlobale,
    Idle,
    NumResend,
    UsbCom,
    SearchCom,
    DcbFlags
};

struct KeyName {
    const char* key;
    SetComKey id;
};

constexpr KeyName kSetComKeys[] = {
    {"[Setport]", SetComKey::Setport},
    {"[Comport]", SetComKey::Comport},
    {"[MemoPath]", SetComKey::MemoPath},
    {"[Titolo]", SetComKey::Titolo},
    {"[AttesaByteTx_usec]", SetComKey::AttesaByteTx},
    {"[AttesaGlobale_usec]", SetComKey::AttesaGlobale},
    {"[MolAttesaGlobale]", SetComKey::MolAttesaGlobale},
    {"[Idle_usec]", SetComKey::Idle},
    {"[NumResend]", SetComKey::NumResend},
    {"[UsbCom]", SetComKey::UsbCom},
    {"[SearchCom]", SetComKey::SearchCom},
    {"[DCB_fBitFields]", SetComKey::DcbFlags},
};

// Error numbers of the conversions, as the error box shows them.
constexpr long kErrOverflow = 6;
constexpr long kErrTypeMismatch = 13;

// Whole number from a settings value: decimal digits with an optional sign,
// or a decimal number (comma or point) rounded half to even. Values outside
// [lo, hi] are an overflow.
bool ParseWhole(const QString& text, double lo, double hi, double& out, long& err) {
    QString t = text.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (!ok || t.isEmpty() || !std::isfinite(v)) {
        err = kErrTypeMismatch;
        return false;
    }
    const double r = std::nearbyint(v);  // default rounding: half to even
    if (r < lo || r > hi) {
        err = kErrOverflow;
        return false;
    }
    out = r;
    return true;
}

QString ErrorDescription(long err) {
    return err == kErrOverflow ? QStringLiteral("Overflow") : QStringLiteral("Type mismatch");
}

QString WholeText(double v) {
    return QString::number(static_cast<qlonglong>(std::llround(v)));
}
}  // namespace

void ClsComm::ReadSetCom(const QString& pathIni) {
    portText_ = QString::fromLatin1(kDefaultPortText);
    comPort_ = 1;
    memoPath_ = InstallDir();
    titolo_ = QString::fromLatin1(kDefaultTitolo);
    attesaByteTx_ = DEFAULT_ATTESA_BYTE_TX_USEC;
    attesaGlobaleDefault_ = DEFAULT_ATTESA_GLOBALE_USEC;
    molAttesaGlobale_ = DEFAULT_MOL_ATTESA_GLOBALE;
    idle_ = DEFAULT_IDLE_USEC;
    numReSend_ = DEFAULT_NUM_RESEND;
    usbCom_ = 1;
    flagRicercaCom_ = 0;
    dcbFlags_ = 0;

    QStringList lines;
    if (!ReadLatin1Lines(SystemPath(pathIni), lines)) {
        memoDatiCom_ = true;
        attesaGlobale_ = attesaGlobaleDefault_;
        WakeLinkTimer();
        return;
    }
    flagRicercaCom_ = SEARCH_OFF;

    constexpr double kInt16Min = std::numeric_limits<int16_t>::min();
    constexpr double kInt16Max = std::numeric_limits<int16_t>::max();
    constexpr double kInt32Min = std::numeric_limits<int32_t>::min();
    constexpr double kInt32Max = std::numeric_limits<int32_t>::max();

    for (int i = 0; i < lines.size(); ++i) {
        const QString key = lines[i].trimmed().toUpper();
        const KeyName* match = nullptr;
        for (const auto& k : kSetComKeys)
            if (key == QString::fromLatin1(k.key).toUpper()) match = &k;
        if (!match) continue;
        if (i + 1 >= lines.size()) break;  // a key on the last line has no value
        const QString value = lines[++i].trimmed();
        double v = 0;
        long err = 0;
        bool ok = true;
        switch (match->id) {
            case SetComKey::Setport:
                portText_ = value;
                break;
            case SetComKey::MemoPath:
                memoPath_ = value;
                break;
            case SetComKey::Titolo:
                titolo_ = value;
                break;
            case SetComKey::Comport:
                if ((ok = ParseWhole(value, kInt16Min, kInt16Max, v, err)))
                    comPort_ = static_cast<int16_t>(v);
                break;
            case SetComKey::AttesaByteTx:
                if ((ok = ParseWhole(value, kInt32Min, kInt32Max, v, err))) attesaByteTx_ = v;
                break;
            case SetComKey::AttesaGlobale:
                if ((ok = ParseWhole(value, kInt32Min, kInt32Max, v, err)))
                    attesaGlobaleDefault_ = v;
                break;
            case SetComKey::MolAttesaGlobale:
                if ((ok = ParseWhole(value, kInt32Min, kInt32Max, v, err))) molAttesaGlobale_ = v;
                break;
            case SetComKey::Idle:
                if ((ok = ParseWhole(value, kInt32Min, kInt32Max, v, err))) idle_ = v;
                break;
            case SetComKey::NumResend:
                if ((ok = ParseWhole(value, kInt16Min, kInt16Max, v, err)))
                    numReSend_ = static_cast<int16_t>(v);
                break;
            case SetComKey::UsbCom:
                usbCom_ = value == QLatin1String("1") ? 1 : 0;
                break;
            case SetComKey::SearchCom:
                if ((ok = ParseWhole(value, 0, 255, v, err)))
                    flagRicercaCom_ = static_cast<uint8_t>(v);
                break;
            case SetComKey::DcbFlags:
                if ((ok = ParseWhole(value, kInt32Min, kInt32Max, v, err)))
                    dcbFlags_ = static_cast<uint32_t>(static_cast<int32_t>(v));
                break;
        }
        if (!ok)
            ErrorReport(QStringLiteral("ReadSetCom_Err"), QString(), false, err,
                        ErrorDescription(err));
    }
    memoDatiCom_ = false;
    attesaGlobale_ = attesaGlobaleDefault_;
    WakeLinkTimer();
}

void ClsComm::WriteSetCom(const QString& pathIni) {
    if (portText_.isEmpty()) portText_ = QString::fromLatin1(kDefaultPortText);
    if (comPort_ < 1) comPort_ = 1;
    if (memoPath_.isEmpty()) memoPath_ = InstallDir();
    if (titolo_.isEmpty()) titolo_ = QString::fromLatin1(kDefaultTitolo);
    if (!(attesaByteTx_ > 0)) attesaByteTx_ = DEFAULT_ATTESA_BYTE_TX_USEC;
    if (!(attesaGlobaleDefault_ > 0)) attesaGlobaleDefault_ = DEFAULT_ATTESA_GLOBALE_USEC;
    if (!(molAttesaGlobale_ > 0)) molAttesaGlobale_ = DEFAULT_MOL_ATTESA_GLOBALE;

    const QStringList lines = {
        QStringLiteral("[Setport]"),
        portText_,
        QStringLiteral("[Comport]"),
        QString::number(comPort_),
        QStringLiteral("[MemoPath]"),
        memoPath_,
        QStringLiteral("[Titolo]"),
        titolo_,
        QStringLiteral("[AttesaByteTx_usec]"),
        WholeText(attesaByteTx_),
        QStringLiteral("[AttesaGlobale_usec]"),
        WholeText(attesaGlobaleDefault_),
        QStringLiteral("[MolAttesaGlobale]"),
        WholeText(molAttesaGlobale_),
        QStringLiteral("[Idle_usec]"),
        WholeText(idle_),
        QStringLiteral("[NumResend]"),
        QString::number(numReSend_),
        QStringLiteral("[UsbCom]"),
        QString::number(usbCom_),
        QStringLiteral("[SearchCom]"),
        QString::number(flagRicercaCom_),
        QStringLiteral("[DCB_fBitFields]"),
        QString::number(static_cast<int32_t>(dcbFlags_)),
    };
    WriteLatin1Lines(SystemPath(pathIni), lines);  // write errors are ignored
}

// --- Handle file -------------------------------------------------------------------

namespace {
const QString kHandleFile = QStringLiteral("\\BIN\\Handle.ini");
}

void ClsComm::FileHandleRecord(uint32_t handle) {
    WriteLatin1Lines(SystemPath(kHandleFile), {QString::number(handle)});
}

void ClsComm::FileHandleClear() {
    const QString path = SystemPath(kHandleFile);
    if (FileExists(path)) WriteLatin1Lines(path, {QString()});
}

void ClsComm::FileHandleVerificaChiusura() {
    const QString path = SystemPath(kHandleFile);
    if (!FileExists(path)) return;
    QStringList lines;
    if (!ReadLatin1Lines(path, lines)) {
        UserPrompts().MessageBox(QStringLiteral("FileHandleVerificaChiusura: cannot read ") + path,
                                 QString(), BoxIcon::None, BoxButtons::Ok);
        return;
    }
    const QString first = lines.isEmpty() ? QString() : lines.first().trimmed();
    bool ok = false;
    const qlonglong h = first.toLongLong(&ok);
    if (!ok || h <= 0) return;
    // Only a handle this process opened (and failed to close) is closed here;
    // the number left by an earlier run means nothing to this process.
    auto it = staleHandles_.find(static_cast<uint32_t>(h));
    if (it == staleHandles_.end()) return;
    if (it->second->Close() == PORT_OK) {
        staleHandles_.erase(it);
        WriteLatin1Lines(path, {QString()});
    }
}

}  // namespace gascal
