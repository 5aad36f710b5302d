#include "ecu/EcuSession.h"

#include <QFileInfo>
#include <QRegularExpression>

#include "common/Helpers.h"
#include "data/core/DataTexts.h"
#include "link/core/MachinePorts.h"

namespace gascal {

namespace {
// Until block 3 tells the real count, the window lays out eight injectors.
constexpr int kCylindersBeforeFirstRead = 8;
constexpr int kHighestCom = 9;
}  // namespace

EcuSession::EcuSession(const QString& installDir, PortProvider* provider)
    : linkTimer_("Timer1", kLinkTimerMs, [this] { LinkTick(); }) {
    SetInstallDir(installDir);
    scale_.Load(SystemPath(QString::fromLatin1(kScaleFilePath)));
    lingue_.SetPathDizionario(SystemPath(QStringLiteral("\\LNG\\M3.diz")));
    lingue_.SetPathAttualeLingua(SystemPath(QStringLiteral("\\LNG\\M3.con")));
    lingue_.LoadDizionario();
    SetDataDictionary(&lingue_);
    if (provider) comm_.SetPortProvider(provider);
    comm_.SetFirmwareFileReader([this](QString& identity, QString* error) {
        return ReadFirmwareFileIdentity(flashTable_, flashImage_, identity, error);
    });
    comm_.ReadSetCom(QString::fromLatin1(kSetComIniPath));
    image_.ApplyScale(scale_);
    image_.Mem3Block.NumCylinders = kCylindersBeforeFirstRead;
    // The installation's level-gas, injector and lambda types.
    const QString scalePath = SystemPath(QString::fromLatin1(kScaleFilePath));
    scale_.IniziaLevelGasType(scalePath);
    scale_.IniziaTipoInj(scalePath);
    scale_.IniziaTipoLambda(scalePath, Caption(Cap::LambdaNone));
    requests_ = std::make_unique<RequestBridge>(comm_, image_);
    requests_->Requests().SetCorDumpPath(SystemPath(QStringLiteral("\\TEMPI4.TXT")));
    supervisor_ = std::make_unique<LinkSupervisor>(comm_);
    // The link wakes its timer on port data and link changes.
    supervisor_->SetLinkTimer(&linkTimer_);
    SetAppTitle(ProductTitle());
}

EcuSession::~EcuSession() {
    linkTimer_.SetEnabled(false);
    supervisor_->SetLinkTimer(nullptr);
    requests_.reset();
    comm_.SetAnswerSink(nullptr);
    comm_.CloseComPort();
    SetDataDictionary(nullptr);
}

void EcuSession::LinkTick() {
    supervisor_->ApplyOfflineRequest();
    for (const auto& f : beforeStep_) f();
    supervisor_->StepAndShow();
    for (const auto& f : afterStep_) f();
    // The timer sleeps until the link has work due. Stopped, it keeps ticking:
    // the link reset applies what the fitter edits offline, and those edits
    // wake nobody.
    if (comm_.ComState() != ComState::Stopped) supervisor_->SleepUntilDue();
}

int EcuSession::Language() const {
    return language_ >= 0 ? language_ : std::max(0, lingue_.IdLingua());
}

void EcuSession::SetLanguage(int language) {
    language_ = language;
}

QString EcuSession::Text(int entry) const {
    return lingue_.VoceDizionario(Language(), entry);
}

QString EcuSession::Caption(Cap id) const {
    return gascal::Caption(id, Lookup());
}

std::function<QString(int)> EcuSession::Lookup() const {
    return [this](int entry) { return Text(entry); };
}

QStringList EcuSession::SectionTexts(const QString& marker, const QStringList& fallbacks) const {
    QStringList out = fallbacks;
    const int lang = Language();
    const int last = lingue_.UboundVociLingua(lang);
    for (int i = 0; i <= last; ++i) {
        if (lingue_.VoceDizionario(lang, i) != marker) continue;
        for (int k = 0; k < out.size(); ++k) {
            const QString t = lingue_.VoceDizionario(lang, i + 1 + k);
            if (!t.isEmpty()) out[k] = t;
        }
        break;
    }
    return out;
}

ParamLoadOptions EcuSession::LoadOptions() const {
    ParamLoadOptions o;
    o.defaultSetPath = SystemPath(QString::fromLatin1(kDefaultSetPath));
    o.sl6Cil = scale_.SL_6Cil;
    o.sl8Cil = scale_.SL_8Cil;
    o.block5Expected = HasBlock5();
    return o;
}

void EcuSession::CheckPetrolControl() {
    image_.PetrolControlEnabled = CheckPetrolControlFirmware(
        scale_.ControlPetrolFirmware, comm_.FirmwareEcuVersNum(), comm_.FirmwareEcuYearNum(),
        comm_.FirmwareEcuMonthNum(), comm_.FirmwareEcuDayNum());
}

PortOption ClassifyPortOption(const QString& port, int* com, QString* message) {
    const QString p = port.trimmed();
    // COM followed by a number names one of the serial ports COM1..COM9;
    // any other number is a typing mistake, not a device path.
    static const QRegularExpression comNumber(QStringLiteral("^COM([0-9]+)$"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (p.compare(QLatin1String("USB"), Qt::CaseInsensitive) == 0) return PortOption::Usb;
    if (const auto m = comNumber.match(p); m.hasMatch()) {
        const int n = m.captured(1).toInt();
        if (m.captured(1).size() == 1 && n >= 1 && n <= kHighestCom) {
            if (com) *com = n;
            return PortOption::Com;
        }
        if (message)
            *message = QStringLiteral("--port %1: the serial ports are COM1 to COM9").arg(p);
        return PortOption::BadComNumber;
    }
    if (QFileInfo::exists(p)) return PortOption::Device;
    if (message) *message = QStringLiteral("The port device does not exist: %1").arg(p);
    return PortOption::NoSuchDevice;
}

bool ApplyPortOption(const QString& port, ClsComm& comm, QString* error) {
    int n = 0;
    switch (ClassifyPortOption(port, &n, error)) {
        case PortOption::Usb:
            comm.SetUsbCom(1);
            break;
        case PortOption::Com:
            comm.SetUsbCom(0);
            comm.SetComPort(n);
            break;
        case PortOption::Device:
            // The device stands for the configured serial port (COM1 when the
            // settings name none).
            comm.SetUsbCom(0);
            n = comm.ComPort();
            if (n < 1 || n > kHighestCom) n = 1;
            SetSerialOverride(port.trimmed(), n);
            comm.SetComPort(n);
            break;
        case PortOption::BadComNumber:
        case PortOption::NoSuchDevice:
            return false;
    }
    comm.SetFlagRicercaCom(SEARCH_OFF);
    comm.SetMemoDatiCom(false);
    return true;
}

void UseSimulatedEcuPort(ClsComm& comm) {
    comm.SetUsbCom(1);
    comm.SetUsbDeviceIndex(0);
    comm.SetFlagRicercaCom(SEARCH_OFF);
    comm.SetMemoDatiCom(false);
}

}  // namespace gascal
