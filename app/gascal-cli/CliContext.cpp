// What every gascal-cli command starts from: the ECU session with its link
// and communication log, the search for the ECU and the firmware verdict,
// and what several commands print.
#include <csignal>
#include <cstdio>

#include "app/gascal-cli/CliCommand.h"
#include "common/Helpers.h"
#include "common/InstallTree.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareCheck.h"
#include "ecu/SessionFacts.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"
#include "viewer/commlog/CommLogWriter.h"

namespace gascal {

namespace {
volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}
}  // namespace

InterruptGuard::InterruptGuard() {
    gInterrupted = 0;
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &oldInt_);
    sigaction(SIGTERM, &sa, &oldTerm_);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
}

bool InterruptGuard::Interrupted() {
    return gInterrupted != 0;
}

bool TakeFlag(QStringList& args, const QString& flag) {
    return args.removeAll(flag) > 0;
}

int TakeIntOption(QStringList& args, const QString& opt, int def) {
    const int i = args.indexOf(opt);
    if (i < 0) return def;
    if (i + 1 >= args.size()) throw UsageError(opt + QStringLiteral(" needs a value"));
    bool ok = false;
    const int v = args[i + 1].toInt(&ok);
    if (!ok || v <= 0) throw UsageError(opt + QStringLiteral(" needs a positive number"));
    args.removeAt(i + 1);
    args.removeAt(i);
    return v;
}

QString TakeValueOption(QStringList& args, const QString& opt) {
    const int i = args.indexOf(opt);
    if (i < 0) return {};
    if (i + 1 >= args.size() || args[i + 1].isEmpty())
        throw UsageError(opt + QStringLiteral(" needs a value"));
    const QString v = args[i + 1];
    args.removeAt(i + 1);
    args.removeAt(i);
    if (args.contains(opt)) throw UsageError(opt + QStringLiteral(" may be given once"));
    return v;
}

void NoMoreArgs(const QStringList& args, const QString& command) {
    if (!args.isEmpty())
        throw UsageError(QStringLiteral("%1: unexpected argument %2").arg(command, args.first()));
}

int CheckNoArgs(CliContext& cx, const QStringList& args) {
    NoMoreArgs(args, cx.options.command);
    return CLI_OK;
}

QString Ms3(double v) {
    QString s = QString::number(v, 'f', 3);
    if (s == QLatin1String("-0.000")) s = QStringLiteral("0.000");
    return s;
}

CliContext::CliContext(const CliOptions& o, QTextStream& outStream, QTextStream& errStream,
                       const CliEnvironment& environment)
    : options(o), out(outStream), err(errStream), env(environment) {}

CliContext::~CliContext() {
    direct_.reset();
    ecu_.reset();
    if (log_) {
        log_->Stop();
        SetCommLog(nullptr);
    }
}

QTextStream& CliContext::Input() {
    if (env.input) return *env.input;
    if (!stdin_) stdin_ = std::make_unique<QTextStream>(stdin);
    return *stdin_;
}

void CliContext::SetUpSession(bool link) {
    if (link && options.sim) {
        simEcu_ = env.simEcu;
        if (!simEcu_) {
            sim::SimOptions so;
            so.key = true;
            so.engineRunning = true;
            so.warm = true;
            simEcu_ = std::make_shared<sim::SimEcu>(so);
        }
        simProvider_ = std::make_unique<sim::SimUsbProvider>(simEcu_);
    }
    if (link) ports_ = std::make_unique<MachinePortChain>(simProvider_.get());
    ecu_ = std::make_unique<EcuSession>(InstallDir(), link ? ports_->Provider() : nullptr);
    direct_ = std::make_unique<DirectRequests>(*ecu_);
    // An ECU that stops answering is given up after the time-out, as one
    // that never answered.
    direct_->SetGiveUpAfter(options.timeoutS * 1e6);
    const int stored = ecu_->Lingue().IdLingua();
    const int highest = ecu_->Lingue().UboundLingue();
    int language = options.lang >= 0 ? options.lang : std::max(0, stored);
    if (language > highest && highest >= 0) {
        err << "Language " << language << " is not in the dictionary; using language 0.\n";
        language = 0;
    }
    ecu_->SetLanguage(language);
    fields_ = CliFieldTable(ecu_->Image());
    SetAppTitle(ecu_->ProductTitle());
}

void CliContext::StartOffline() {
    SetUpSession(false);
}

void CliContext::StartLink() {
    SetUpSession(true);
    // Every exchange goes to the communication log, as in the window.
    log_ = std::make_unique<CommLogWriter>();
    log_->Install();
    log_->StartLogRxTx(ecu_->ProductTitle());
    // An explicit port (or the simulator) is used for this run only: no
    // search, and the settings file is left as it is.
    if (!options.port.isEmpty()) {
        QString error;
        ApplyPortOption(options.port, ecu_->Comm(), &error);
    } else if (options.sim) {
        UseSimulatedEcuPort(ecu_->Comm());
    }
    ecu_->StartLink();
}

QString CliContext::Port() const {
    return PortDescription(*ecu_, options.sim);
}

int CliContext::Connect() {
    err << "Looking for the ECU...\n";
    err.flush();
    const bool found = direct_->Connect(options.timeoutS * 1e6, [this](const QString& port) {
        err << "SEARCH COMUNICATION PORT: " << port << "\n";
        err.flush();
    });
    if (found) return CLI_OK;
    err << "No ECU answered within " << options.timeoutS << " s.\n";
    // What each port tried said, with the fix for a missing permission.
    const QString why = NoAnswerReport(*ecu_);
    if (!why.isEmpty()) err << why << "\n";
    return CLI_LINK;
}

void CliContext::PrintIdentity() {
    out << "Port: " << Port() << "\n";
    for (const QString& line : IdentityLines(*ecu_)) out << line << "\n";
}

int CliContext::CheckCompatibility() {
    auto describe = [&](const QString& who, const FirmwareSide& s) {
        err << "  " << who << ": version " << s.version << ", date " << s.date << ", customer "
            << s.customer << ", project " << s.code << "\n";
    };
    auto both = [&] {
        describe(QStringLiteral("ECU"), EcuFirmware(*ecu_));
        describe(QStringLiteral("Firmware file"), FileFirmware(*ecu_));
    };
    // The window's own text: the file's path and, for a damaged file, the
    // line that is wrong.
    const QString fileProblem = FirmwareFileProblem(*ecu_);
    if (!fileProblem.isEmpty()) {
        err << fileProblem << "\n";
        both();
        return CLI_FILE;
    }
    // The window's verdict; the command line reports it instead of opening
    // the upgrade window.
    switch (JudgeSessionFirmware(*ecu_)) {
        case FirmwareVerdict::Incompatible:
            err << "This ECU's project does not match the firmware file: it is not served by "
                   "this installation.\n";
            both();
            return CLI_INCOMPATIBLE;
        case FirmwareVerdict::EcuNewer:
            err << "The ECU's firmware is newer than this installation's firmware file:\n";
            both();
            return CLI_INCOMPATIBLE;
        case FirmwareVerdict::UpgradeNeeded:
            err << "The ECU's firmware is older than the firmware file: an upgrade is offered "
                   "(gascal-cli upgrade, or the window's firmware upgrade).\n";
            both();
            break;
        case FirmwareVerdict::UpgradeOffered:
            err << "The firmware file is more recent than the ECU's firmware: an upgrade is "
                   "offered (gascal-cli upgrade, or the window's firmware upgrade).\n";
            both();
            break;
        case FirmwareVerdict::Accepted:
            break;
    }
    RememberFoundPort(*ecu_);
    // Whether the petrol times of block 1 get the injection offset added back
    // depends on the firmware's date, as in the window.
    ecu_->CheckPetrolControl();
    return CLI_OK;
}

void CliContext::PrintField(const CliField& f) {
    out << f.name << "=" << FormatCliNumber(f.get(ecu_->Image()), f.decimals) << "\n";
}

void CliContext::PrintModel(const LineModel& m) {
    out << "ALFA=" << Ms3(m.ALFA) << "\n";
    out << "OFFSET=" << Ms3(m.OFFSET) << "\n";
    for (size_t i = 0; i < kModelPoints; ++i)
        out << "P" << i << "=" << Ms3(m.ModX[i]) << ";" << Ms3(m.ModY[i]) << "\n";
}

void CliContext::PrintHeldModel(LineModel m) {
    CorTableArray table = ecu_->Image().CorTableEcu;
    m.FromTable(table);
    PrintModel(m);
}

int CliContext::StoreInFlash() {
    if (!direct_->SaveFlash()) {
        err << "The ECU did not confirm the store: the changes are not stored in its flash.\n";
        return CLI_LINK;
    }
    err << "Stored in the ECU's flash.\n";
    return CLI_OK;
}

int CliContext::StoreOrWarn(bool save, const char* what) {
    if (save) return StoreInFlash();
    if (ecu_->Requests().Store().Unstored())
        err << "Not stored in the ECU's flash: the ECU's next reset loses " << what
            << " (--save, or gascal-cli save-flash, stores it).\n";
    return CLI_OK;
}

bool CliContext::SayTableNotWhole() {
    const QString missing = Ecu().Requests().Requests().CorMissingEntries();
    if (missing.isEmpty()) return false;
    err << "The correction table could not be written whole: the ECU may hold its old values "
           "for the "
        << missing
        << " and the new ones elsewhere. The restore point taken before this command "
           "(gascal-cli history) holds the table as it was.\n";
    return true;
}

}  // namespace gascal
