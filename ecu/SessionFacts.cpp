#include "ecu/SessionFacts.h"

#include "common/Helpers.h"
#include "ecu/Captions.h"
#include "ecu/EcuSession.h"
#include "link/core/MachinePorts.h"
#include "link/core/PortDiagnosis.h"
#include "link/firmware/FlashImage.h"

namespace gascal {

FirmwareSide EcuFirmware(const EcuSession& session) {
    const ClsComm& c = session.Comm();
    return {c.FirmwareEcu(),           c.FirmwareEcuVersStr(),      c.FirmwareEcuDataStr(),
            c.DescProgettoEcu_KTXXX(), c.DescProgettoEcu_CLIENTE(), c.DescProgettoEcu_CODICE()};
}

FirmwareSide FileFirmware(const EcuSession& session) {
    const ClsComm& c = session.Comm();
    return {c.FirmwareFle(),           c.FirmwareFleVersStr(),      c.FirmwareFleDataStr(),
            c.DescProgettoFle_KTXXX(), c.DescProgettoFle_CLIENTE(), c.DescProgettoFle_CODICE()};
}

QStringList IdentityLines(const EcuSession& session) {
    QStringList lines;
    auto side = [&](const QString& who, const FirmwareSide& s) {
        lines << QStringLiteral("Firmware%1: %2").arg(who, s.identity)
              << QStringLiteral("Firmware%1VersStr: %2").arg(who, s.version)
              << QStringLiteral("Firmware%1DataStr: %2").arg(who, s.date)
              << QStringLiteral("DescProgetto%1_KTXXX: %2").arg(who, s.project)
              << QStringLiteral("DescProgetto%1_CLIENTE: %2").arg(who, s.customer)
              << QStringLiteral("DescProgetto%1_CODICE: %2").arg(who, s.code);
    };
    side(QStringLiteral("Ecu"), EcuFirmware(session));
    side(QStringLiteral("Fle"), FileFirmware(session));
    return lines;
}

FirmwareVerdict JudgeSessionFirmware(const EcuSession& session) {
    return JudgeFirmware(session.Comm().FirmwareEcu(), session.Comm().FirmwareFle());
}

QString FirmwareFileProblem(const EcuSession& session) {
    const QString path = FirmwareFilePath();
    const bool there = FileExists(path);
    if (there && !session.Comm().FirmwareFle().isEmpty()) return {};
    return FirmwareFileMessage(session.Lookup(), path,
                               there ? session.Comm().FirmwareFileError() : QString());
}

QString PortDescription(const EcuSession& session, bool simulated) {
    const ClsComm& comm = session.Comm();
    if (comm.UsbCom() == 1) {
        QString d = QStringLiteral("USB %1").arg(comm.UsbDeviceIndex());
        if (simulated && comm.UsbDeviceIndex() == 0) d += QStringLiteral(" (simulated ECU)");
        return d;
    }
    QString d = comm.ComPortNome();
    const QString dev = SerialDevicePath(comm.ComPort());
    if (!dev.isEmpty()) d += QStringLiteral(" (") + dev + QLatin1Char(')');
    return d;
}

QString NoAnswerReport(const EcuSession& session) {
    const std::vector<PortAttempt>& tried = session.Comm().SearchReport().Attempts();
    if (tried.empty()) return {};
    return PortSearchMessage(tried, PortTextDefaults());
}

void RememberFoundPort(EcuSession& session) {
    ClsComm& comm = session.Comm();
    if (comm.FlagRicercaCom() != SEARCH_OFF) comm.StopSearchAndRemember();
}

QStringList PortListing(const QString& portOption) {
    // A device path given with --port is listed as COM1.
    if (!portOption.isEmpty() && ClassifyPortOption(portOption) == PortOption::Device)
        SetSerialOverride(portOption.trimmed(), 1);
    auto provider = MakeMachinePortProvider();
    const std::vector<PortAttempt> ports = ProbePorts(*provider);
    const QStringList texts = PortTextDefaults();
    QStringList lines;
    for (const PortAttempt& p : ports) {
        const QString name = p.usb ? PortLabel(p) : QStringLiteral("COM%1").arg(p.number);
        const bool present = p.usb ? p.fault != PortFault::NoDevice : !p.device.isEmpty();
        QString line = name + QStringLiteral(" = ");
        if (!present) {
            line += QStringLiteral("(none)");
        } else {
            line += (p.usb ? QStringLiteral("FTDI USB cable") : p.device) + QStringLiteral(": ") +
                    PortFaultText(texts, p.fault);
        }
        lines << line;
    }
    const QStringList fixes = PortFixLines(ports, texts);
    if (!fixes.isEmpty()) lines << QString() << fixes;
    return lines;
}

MachinePortChain::MachinePortChain(PortProvider* frontUsb)
    : chain_(MakeMachinePortProvider(frontUsb)) {}

MachinePortChain::~MachinePortChain() = default;

PortProvider* MachinePortChain::Provider() {
    return chain_.get();
}

void MachinePortChain::AddUsbFront(PortProvider* p) {
    chain_->AddUsbFront(p);
}

}  // namespace gascal
