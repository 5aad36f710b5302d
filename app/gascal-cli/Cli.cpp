#include "app/gascal-cli/Cli.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cmath>
#include <csignal>
#include <map>
#include <optional>
#include <set>

#include "app/gascal-cli/CliFields.h"
#include "app/gascal-cli/CliUpgrade.h"
#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/InstallTree.h"
#include "common/Prompts.h"
#include "data/core/ClsLingue.h"
#include "data/core/DataTexts.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "data/errors/EcuErrors.h"
#include "ecu/Calibration.h"
#include "ecu/Captions.h"
#include "ecu/ConfigLoad.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/ErrorList.h"
#include "ecu/FirmwareCheck.h"
#include "ecu/FirmwareUpgrade.h"
#include "ecu/FuelSwitch.h"
#include "ecu/InjectionMap.h"
#include "ecu/ModelEditor.h"
#include "ecu/ModelFit.h"
#include "ecu/ParamCompare.h"
#include "ecu/UpgradeTexts.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/core/MachinePorts.h"
#include "link/core/PortDiagnosis.h"
#include "link/firmware/FlashImage.h"
#include "link/firmware/FlashTable.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimFitter.h"
#include "sim/core/SimPort.h"
#include "viewer/commlog/CommLogWriter.h"
#include "viewer/model/RecordingFiles.h"

namespace gascal {

namespace {

constexpr double kDefaultTimeoutS = 30;
constexpr double kCalibrateLookUs = 50000;  // how often `calibrate` looks for Ctrl+C and the end

// Ctrl+C or SIGTERM during `calibrate`: the calibration is aborted with its
// full restore before the program ends.
volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

// The handlers of SIGINT and SIGTERM while it lives; the previous ones after.
class InterruptGuard {
  public:
    InterruptGuard() {
        gInterrupted = 0;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

  private:
    struct sigaction oldInt_ {
    }, oldTerm_{};
};
const char* const kSetComPath = "\\BIN\\SetCom.ini";

struct CliOptions {
    QString installDir;
    QString port;
    bool sim = false;
    double timeoutS = kDefaultTimeoutS;
    int lang = -1;
    bool help = false;
    bool listPorts = false;
    QString command;
    QStringList args;
};

class UsageError {
  public:
    explicit UsageError(QString m) : message(std::move(m)) {}
    QString message;
};

CliOptions ParseOptions(const QStringList& args) {
    CliOptions o;
    int i = 0;
    auto value = [&](const QString& opt) {
        if (i + 1 >= args.size()) throw UsageError(opt + QStringLiteral(" needs a value"));
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!o.command.isEmpty()) {
            o.args << a;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.help = true;
        } else if (a == QLatin1String("--install-dir")) {
            o.installDir = value(a);
        } else if (a == QLatin1String("--port")) {
            o.port = value(a);
        } else if (a == QLatin1String("--sim")) {
            o.sim = true;
        } else if (a == QLatin1String("--list-ports")) {
            o.listPorts = true;
        } else if (a == QLatin1String("--timeout")) {
            const auto v = ParseCliNumber(value(a));
            if (!v || *v <= 0)
                throw UsageError(QStringLiteral("--timeout needs a positive number of seconds"));
            o.timeoutS = *v;
        } else if (a == QLatin1String("--lang")) {
            bool ok = false;
            o.lang = value(a).toInt(&ok);
            if (!ok || o.lang < 0)
                throw UsageError(QStringLiteral("--lang needs a language number (0, 1, ...)"));
        } else if (a.startsWith(QLatin1String("--"))) {
            throw UsageError(QStringLiteral("unknown option ") + a);
        } else {
            o.command = a;
        }
    }
    return o;
}

// A command's own flags: removes `flag` from args, true when present.
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

void NoMoreArgs(const QStringList& args, const QString& command) {
    if (!args.isEmpty())
        throw UsageError(QStringLiteral("%1: unexpected argument %2").arg(command, args.first()));
}

// One `set` item checked against the field table.
struct SetItem {
    const CliField* field;
    double value;
};

// One edit of `write-model`, in the order given.
struct ModelAction {
    enum class Kind : uint8_t { Reset, ResetLine, Press } kind = Kind::Press;
    EditButton button = EditButton::Up;
    int point = -1;  // the point label clicked first (point buttons)
    int count = 0;   // steps while the button is held
};

constexpr int kMaxPressCount = 100000;

std::vector<ModelAction> ParseModelActions(const QStringList& args) {
    static const std::map<QString, EditButton> kButtons{
        {QStringLiteral("up"), EditButton::Up},
        {QStringLiteral("down"), EditButton::Down},
        {QStringLiteral("left"), EditButton::Left},
        {QStringLiteral("right"), EditButton::Right},
        {QStringLiteral("alfa-up"), EditButton::AlfaUp},
        {QStringLiteral("alfa-down"), EditButton::AlfaDown},
        {QStringLiteral("offset-up"), EditButton::OffsetUp},
        {QStringLiteral("offset-down"), EditButton::OffsetDown},
    };
    std::vector<ModelAction> actions;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--reset")) {
            actions.push_back({ModelAction::Kind::Reset});
            continue;
        }
        if (a == QLatin1String("--reset-line")) {
            actions.push_back({ModelAction::Kind::ResetLine});
            continue;
        }
        if (a != QLatin1String("--press"))
            throw UsageError(QStringLiteral("write-model: unexpected argument ") + a);
        if (i + 1 >= args.size())
            throw UsageError(QStringLiteral("--press needs NAME[:POINT]=COUNT"));
        const QString item = args[++i];
        const int eq = item.indexOf(QLatin1Char('='));
        if (eq <= 0)
            throw UsageError(QStringLiteral("--press: expected NAME[:POINT]=COUNT, got ") + item);
        QString name = item.left(eq).trimmed().toLower();
        ModelAction act;
        const int colon = name.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            bool ok = false;
            act.point = name.mid(colon + 1).trimmed().toInt(&ok);
            if (!ok || act.point < 0 || act.point >= kModelPoints)
                throw UsageError(
                    QStringLiteral("--press %1: the point is a number from 0 to 6").arg(item));
            name = name.left(colon).trimmed();
        }
        const auto b = kButtons.find(name);
        if (b == kButtons.end())
            throw UsageError(QStringLiteral("--press: unknown button ") + name);
        act.button = b->second;
        if (IsLineButton(act.button) && colon >= 0)
            throw UsageError(
                QStringLiteral("--press %1: %2 moves the whole line and takes no point")
                    .arg(item, name));
        if (!IsLineButton(act.button) && colon < 0)
            throw UsageError(
                QStringLiteral("--press %1: %2 needs a point (%2:POINT=COUNT)").arg(item, name));
        bool ok = false;
        act.count = item.mid(eq + 1).trimmed().toInt(&ok);
        if (!ok || act.count <= 0 || act.count > kMaxPressCount)
            throw UsageError(QStringLiteral("--press %1: the count is a whole number from 1 to %2")
                                 .arg(item)
                                 .arg(kMaxPressCount));
        actions.push_back(act);
    }
    return actions;
}

// The map command's options.
struct MapOptions {
    QString file, save;
    bool csv = false;
    bool clear = false;
    MapFuel clearFuel = MapFuel::Petrol;
};

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

MapOptions ParseMapOptions(QStringList args) {
    MapOptions m;
    m.csv = TakeFlag(args, QStringLiteral("--csv"));
    m.file = TakeValueOption(args, QStringLiteral("--file"));
    m.save = TakeValueOption(args, QStringLiteral("--save"));
    const QString clear = TakeValueOption(args, QStringLiteral("--clear")).toLower();
    if (!clear.isEmpty()) {
        if (clear != QLatin1String("petrol") && clear != QLatin1String("gas"))
            throw UsageError(QStringLiteral("--clear takes petrol or gas"));
        m.clear = true;
        m.clearFuel = clear == QLatin1String("gas") ? MapFuel::Gas : MapFuel::Petrol;
    }
    if (m.clear && !m.file.isEmpty())
        throw UsageError(
            QStringLiteral("--clear works on the ECU's samples; it cannot be used with --file"));
    NoMoreArgs(args, QStringLiteral("map"));
    return m;
}

// `fit`: a map file instead of the ECU's samples, and a fit that writes nothing.
struct FitOptions {
    QString file;
    bool dryRun = false;
    bool save = false;  // store the written table in the ECU's flash
};

FitOptions ParseFitOptions(QStringList args) {
    FitOptions f;
    f.dryRun = TakeFlag(args, QStringLiteral("--dry-run"));
    f.save = TakeFlag(args, QStringLiteral("--save"));
    f.file = TakeValueOption(args, QStringLiteral("--map"));
    NoMoreArgs(args, QStringLiteral("fit"));
    return f;
}

// A time or a model coordinate: three decimals, decimal point.
QString Ms3(double v) {
    QString s = QString::number(v, 'f', 3);
    if (s == QLatin1String("-0.000")) s = QStringLiteral("0.000");
    return s;
}

// Everything a command needs once the ECU answers.
class CliSession {
  public:
    CliSession(const CliOptions& o, QTextStream& out, QTextStream& err, const CliEnvironment& env)
        : o_(o), out_(out), err_(err), env_(env) {}
    ~CliSession();

    int Run();

  private:
    int RunCommand();
    void StartUp();
    int Connect();
    int CheckCompatibility();
    QString PortDescription() const;
    void PrintIdentity();

    bool ReadBlock(int n) { return direct_->ReadBlock(n); }
    bool HasBlock5() const { return ecu_->HasBlock5(); }
    bool SwitchRpmFits();

    int CmdIdentify();
    int CmdLive(QStringList args);
    int CmdGet(QStringList args);
    int CmdSet(QStringList args);
    int CmdSaveParams(QStringList args);
    int CmdLoadParams(QStringList args);
    int CmdReadTable(QStringList args);
    int CmdErrors(QStringList args);
    int CmdClearErrors(QStringList args);
    int CmdFuel(QStringList args);
    int CmdModel(QStringList args);
    int CmdWriteModel(QStringList args);
    int CmdSaveFlash(QStringList args);
    // Stores the ECU's working memory in its flash and says so.
    int StoreInFlash();
    int CmdMap(QStringList args);
    int CmdCalibrate(QStringList args);
    int CmdFit(QStringList args);
    int ReadMapAndTable(InjectionMap& map, const QString& file);
    void PrintModel(const LineModel& m);
    int CmdDiff(const QStringList& args);
    ParamFileRead ReadForDiff(const QString& path, const ParamImage& base);
    int CmdExport(QStringList args);

    void PrintField(const CliField& f);
    std::vector<SetItem> ParseSetItems(const QStringList& args);

    const CliOptions& o_;
    QTextStream& out_;
    QTextStream& err_;
    const CliEnvironment& env_;

    CommLogWriter log_;
    std::shared_ptr<sim::SimEcu> simEcu_;
    std::unique_ptr<sim::SimUsbProvider> simProvider_;
    std::unique_ptr<ChainedPortProvider> provider_;
    std::unique_ptr<EcuSession> ecu_;
    std::unique_ptr<DirectRequests> direct_;
    std::vector<CliField> fields_;  // built once the scale factors are known
};

CliSession::~CliSession() {
    direct_.reset();
    ecu_.reset();
    log_.Stop();
    SetCommLog(nullptr);
}

void CliSession::StartUp() {
    if (o_.sim) {
        simEcu_ = env_.simEcu;
        if (!simEcu_) {
            sim::SimOptions so;
            so.key = true;
            so.engineRunning = true;
            so.warm = true;
            simEcu_ = std::make_shared<sim::SimEcu>(so);
        }
        simProvider_ = std::make_unique<sim::SimUsbProvider>(simEcu_);
    }
    provider_ = MakeMachinePortProvider(simProvider_.get());
    ecu_ = std::make_unique<EcuSession>(InstallDir(), provider_.get());
    direct_ = std::make_unique<DirectRequests>(*ecu_);
    // An ECU that stops answering is given up after the time-out, as one
    // that never answered.
    direct_->SetGiveUpAfter(o_.timeoutS * 1e6);
    const ClsLingue& lingue = ecu_->Lingue();
    int language = o_.lang >= 0 ? o_.lang : std::max(0, lingue.IdLingua());
    if (language > lingue.UboundLingue() && lingue.UboundLingue() >= 0) {
        err_ << "Language " << language << " is not in the dictionary; using language 0.\n";
        language = 0;
    }
    ecu_->SetLanguage(language);
    fields_ = CliFieldTable(ecu_->Image());
    const QString title = ecu_->ProductTitle();
    SetAppTitle(title);

    // Every exchange goes to the communication log, as in the window.
    log_.Install();
    log_.StartLogRxTx(title);

    ClsComm& comm = ecu_->Comm();
    // An explicit port (or the simulator) is used for this run only: no
    // search, and the settings file is left as it is.
    if (!o_.port.isEmpty()) {
        QString error;
        ApplyPortOption(o_.port, comm, &error);
    } else if (o_.sim) {
        comm.SetUsbCom(1);
        comm.SetUsbDeviceIndex(0);
        comm.SetFlagRicercaCom(SEARCH_OFF);
        comm.SetMemoDatiCom(false);
    }
    ecu_->StartLink();
}

QString CliSession::PortDescription() const {
    if (ecu_->Comm().UsbCom() == 1) {
        QString d = QStringLiteral("USB %1").arg(ecu_->Comm().UsbDeviceIndex());
        if (o_.sim && ecu_->Comm().UsbDeviceIndex() == 0) d += QStringLiteral(" (simulated ECU)");
        return d;
    }
    QString d = ecu_->Comm().ComPortNome();
    const QString dev = SerialDevicePath(ecu_->Comm().ComPort());
    if (!dev.isEmpty()) d += QStringLiteral(" (") + dev + QLatin1Char(')');
    return d;
}

int CliSession::Connect() {
    err_ << "Looking for the ECU...\n";
    err_.flush();
    const bool found = direct_->Connect(o_.timeoutS * 1e6, [this](const QString& port) {
        err_ << "SEARCH COMUNICATION PORT: " << port << "\n";
        err_.flush();
    });
    if (found) return CLI_OK;
    err_ << "No ECU answered within " << o_.timeoutS << " s.\n";
    // What each port tried said, with the fix for a missing permission.
    const std::vector<PortAttempt>& tried = ecu_->Comm().SearchReport().Attempts();
    if (!tried.empty()) err_ << PortSearchMessage(tried, PortTextDefaults()) << "\n";
    return CLI_LINK;
}

void CliSession::PrintIdentity() {
    out_ << "Port: " << PortDescription() << "\n";
    out_ << "FirmwareEcu: " << ecu_->Comm().FirmwareEcu() << "\n";
    out_ << "FirmwareEcuVersStr: " << ecu_->Comm().FirmwareEcuVersStr() << "\n";
    out_ << "FirmwareEcuDataStr: " << ecu_->Comm().FirmwareEcuDataStr() << "\n";
    out_ << "DescProgettoEcu_KTXXX: " << ecu_->Comm().DescProgettoEcu_KTXXX() << "\n";
    out_ << "DescProgettoEcu_CLIENTE: " << ecu_->Comm().DescProgettoEcu_CLIENTE() << "\n";
    out_ << "DescProgettoEcu_CODICE: " << ecu_->Comm().DescProgettoEcu_CODICE() << "\n";
    out_ << "FirmwareFle: " << ecu_->Comm().FirmwareFle() << "\n";
    out_ << "FirmwareFleVersStr: " << ecu_->Comm().FirmwareFleVersStr() << "\n";
    out_ << "FirmwareFleDataStr: " << ecu_->Comm().FirmwareFleDataStr() << "\n";
    out_ << "DescProgettoFle_KTXXX: " << ecu_->Comm().DescProgettoFle_KTXXX() << "\n";
    out_ << "DescProgettoFle_CLIENTE: " << ecu_->Comm().DescProgettoFle_CLIENTE() << "\n";
    out_ << "DescProgettoFle_CODICE: " << ecu_->Comm().DescProgettoFle_CODICE() << "\n";
}

int CliSession::CheckCompatibility() {
    ClsComm& comm = ecu_->Comm();
    auto describe = [&](const QString& who, const QString& vers, const QString& date,
                        const QString& customer, const QString& code) {
        err_ << "  " << who << ": version " << vers << ", date " << date << ", customer "
             << customer << ", project " << code << "\n";
    };
    auto both = [&] {
        describe(QStringLiteral("ECU"), comm.FirmwareEcuVersStr(), comm.FirmwareEcuDataStr(),
                 comm.DescProgettoEcu_CLIENTE(), comm.DescProgettoEcu_CODICE());
        describe(QStringLiteral("Firmware file"), comm.FirmwareFleVersStr(),
                 comm.FirmwareFleDataStr(), comm.DescProgettoFle_CLIENTE(),
                 comm.DescProgettoFle_CODICE());
    };
    const QString fwPath = FirmwareFilePath();
    if (!FileExists(fwPath) || comm.FirmwareFle().isEmpty()) {
        // The window's own text: the file's path and, for a damaged file,
        // the line that is wrong.
        err_ << FirmwareFileMessage(ecu_->Lookup(), fwPath,
                                    FileExists(fwPath) ? comm.FirmwareFileError() : QString())
             << "\n";
        both();
        return CLI_FILE;
    }
    // The window's verdict; the command line reports it instead of opening
    // the upgrade window.
    switch (JudgeFirmware(comm.FirmwareEcu(), comm.FirmwareFle())) {
        case FirmwareVerdict::Incompatible:
            err_ << "This ECU's project does not match the firmware file: it is not served by "
                    "this installation.\n";
            both();
            return CLI_INCOMPATIBLE;
        case FirmwareVerdict::EcuNewer:
            err_ << "The ECU's firmware is newer than this installation's firmware file:\n";
            both();
            return CLI_INCOMPATIBLE;
        case FirmwareVerdict::UpgradeNeeded:
            err_ << "The ECU's firmware is older than the firmware file: an upgrade is offered "
                    "(gascal-cli upgrade, or the window's firmware upgrade).\n";
            both();
            break;
        case FirmwareVerdict::UpgradeOffered:
            err_ << "The firmware file is more recent than the ECU's firmware: an upgrade is "
                    "offered (gascal-cli upgrade, or the window's firmware upgrade).\n";
            both();
            break;
        case FirmwareVerdict::Accepted:
            break;
    }
    // The port found by a search is remembered for the next start.
    if (comm.FlagRicercaCom() != SEARCH_OFF) comm.StopSearchAndRemember();
    // Whether the petrol times of block 1 get the injection offset added back
    // depends on the firmware's date, as in the window.
    ecu_->CheckPetrolControl();
    return CLI_OK;
}

int CliSession::Run() {
    // A file is decoded without the link: no log is started (it would move
    // aside the live log that may be the very file to export).
    if (o_.command == QLatin1String("export")) return CmdExport(o_.args);
    StartUp();
    // Names and values are checked before the ECU is even looked for, so a
    // typing mistake sends nothing at all.
    if (o_.command == QLatin1String("set")) {
        QStringList a = o_.args;
        TakeFlag(a, QStringLiteral("--save"));
        ParseSetItems(a);
    } else if (o_.command == QLatin1String("get")) {
        for (const QString& a : o_.args)
            if (!FindCliField(fields_, a)) throw UsageError(QStringLiteral("unknown field ") + a);
    } else if (o_.command == QLatin1String("model")) {
        NoMoreArgs(o_.args, QStringLiteral("model"));
    } else if (o_.command == QLatin1String("write-model")) {
        QStringList a = o_.args;
        TakeFlag(a, QStringLiteral("--save"));
        ParseModelActions(a);
    } else if (o_.command == QLatin1String("calibrate")) {
        QStringList a = o_.args;
        TakeFlag(a, QStringLiteral("--yes"));
        TakeFlag(a, QStringLiteral("--two-point"));
        TakeFlag(a, QStringLiteral("--save"));
        NoMoreArgs(a, QStringLiteral("calibrate"));
    } else if (o_.command == QLatin1String("map")) {
        const MapOptions m = ParseMapOptions(o_.args);
        if (!m.file.isEmpty() && !FileExists(m.file)) {
            err_ << "The map file cannot be read: " << m.file << "\n";
            return CLI_FILE;
        }
    } else if (o_.command == QLatin1String("fit")) {
        const FitOptions f = ParseFitOptions(o_.args);
        if (!f.file.isEmpty() && !FileExists(f.file)) {
            err_ << "The map file cannot be read: " << f.file << "\n";
            return CLI_FILE;
        }
    } else if (o_.command == QLatin1String("diff")) {
        // The files are checked first; two files need no ECU at all.
        if (o_.args.isEmpty() || o_.args.size() > 2)
            throw UsageError(QStringLiteral("diff needs FILE [FILE2]"));
        for (const QString& path : o_.args)
            if (!ReadForDiff(path, ecu_->Image()).Usable()) return CLI_FILE;
        if (o_.args.size() == 2) return CmdDiff(o_.args);
    }
    UpgradeCommand upgrade;
    QString upgradeError;
    if (o_.command == QLatin1String("upgrade") &&
        !ParseUpgradeArgs(o_.args, upgrade, &upgradeError))
        throw UsageError(upgradeError);
    int rc = Connect();
    if (rc != CLI_OK) return rc;
    // The upgrade judges the ECU itself (one waiting for its program after
    // an interrupted upgrade has no firmware to judge).
    if (o_.command == QLatin1String("upgrade")) {
        QTextStream stdinStream(stdin);
        // Ctrl+C or SIGTERM ends the upgrade at its next safe point.
        InterruptGuard interrupts;
        return RunUpgradeCommand(*ecu_, upgrade, out_, err_, env_.input ? *env_.input : stdinStream,
                                 [] { return gInterrupted != 0; });
    }
    // An ECU left in programming state by an interrupted upgrade runs no
    // program, whatever identity it reports.
    if (o_.command == QLatin1String("identify") && EcuWaitsForProgram(*ecu_)) {
        NoMoreArgs(o_.args, o_.command);
        PrintIdentity();
        err_ << UpgradeText(UpText::MsgProgrammingState, ecu_->Lookup()) << "\n";
        return CLI_UPGRADE;
    }
    rc = CheckCompatibility();
    if (rc != CLI_OK) return rc;
    err_ << "ECU found on " << PortDescription() << ", firmware "
         << ecu_->Comm().FirmwareEcuVersStr() << " " << ecu_->Comm().FirmwareEcuDataStr() << "\n";
    err_.flush();
    // Ctrl+C or SIGTERM during a command that writes to the ECU ends it once
    // its writes are over: ended in the middle, it could leave part of a
    // change in the ECU, or a car switched to petrol for a load in slave
    // mode, and say nothing.
    static const QStringList kWriting{QStringLiteral("set"),          QStringLiteral("load-params"),
                                      QStringLiteral("clear-errors"), QStringLiteral("fuel"),
                                      QStringLiteral("write-model"),  QStringLiteral("save-flash")};
    std::optional<InterruptGuard> interrupts;
    if (kWriting.contains(o_.command)) interrupts.emplace();
    const int result = RunCommand();
    if (interrupts && gInterrupted)
        err_ << "Interrupted: the command was finished first, so that the ECU is not left with "
                "part of the change.\n";
    return result;
}

int CliSession::RunCommand() {
    QStringList args = o_.args;
    const QString& c = o_.command;
    if (c == QLatin1String("identify")) return NoMoreArgs(args, c), CmdIdentify();
    if (c == QLatin1String("live")) return CmdLive(args);
    if (c == QLatin1String("get")) return CmdGet(args);
    if (c == QLatin1String("set")) return CmdSet(args);
    if (c == QLatin1String("save-params")) return CmdSaveParams(args);
    if (c == QLatin1String("load-params")) return CmdLoadParams(args);
    if (c == QLatin1String("read-table")) return CmdReadTable(args);
    if (c == QLatin1String("errors")) return CmdErrors(args);
    if (c == QLatin1String("clear-errors")) return CmdClearErrors(args);
    if (c == QLatin1String("fuel")) return CmdFuel(args);
    if (c == QLatin1String("model")) return CmdModel(args);
    if (c == QLatin1String("write-model")) return CmdWriteModel(args);
    if (c == QLatin1String("save-flash")) return CmdSaveFlash(args);
    if (c == QLatin1String("map")) return CmdMap(args);
    if (c == QLatin1String("calibrate")) return CmdCalibrate(args);
    if (c == QLatin1String("fit")) return CmdFit(args);
    if (c == QLatin1String("diff")) return CmdDiff(args);
    throw UsageError(QStringLiteral("unknown command ") + c);
}

// --- Commands -------------------------------------------------------------------

int CliSession::CmdIdentify() {
    PrintIdentity();
    return CLI_OK;
}

int CliSession::CmdLive(QStringList args) {
    const bool csv = TakeFlag(args, QStringLiteral("--csv"));
    const int count = TakeIntOption(args, QStringLiteral("--count"), 10);
    NoMoreArgs(args, QStringLiteral("live"));
    // The engine speed needs the coil and cylinder counts of block 3.
    if (!ReadBlock(3)) {
        err_ << "Block 3 could not be read.\n";
        return CLI_LINK;
    }
    const QStringList names = Mem1FieldNames();
    if (csv) out_ << names.join(QLatin1Char(',')) << "\n";
    for (int n = 0; n < count; ++n) {
        if (!ReadBlock(1)) {
            err_ << "Block 1 could not be read.\n";
            return CLI_LINK;
        }
        const std::vector<double> values = Mem1FieldValues(ecu_->Image().Mem1Block);
        QStringList cells;
        for (size_t k = 0; k < values.size(); ++k) {
            const QString v = FormatCliNumber(values[k], 3);
            cells << (csv ? v : names[static_cast<int>(k)] + QLatin1Char('=') + v);
        }
        out_ << cells.join(csv ? QLatin1Char(',') : QLatin1Char(' ')) << "\n";
        out_.flush();
    }
    return CLI_OK;
}

void CliSession::PrintField(const CliField& f) {
    out_ << f.name << "=" << FormatCliNumber(f.get(ecu_->Image()), f.decimals) << "\n";
}

int CliSession::CmdGet(QStringList args) {
    // A block-5 field asked for by name on a firmware without block 5 is not
    // silently left out: the script asking for it is told, and nothing is read.
    if (!HasBlock5()) {
        for (const QString& a : args) {
            const CliField* f = FindCliField(fields_, a);
            if (f && f->block == 5) {
                err_ << "This ECU's firmware (" << ecu_->Comm().FirmwareEcuVersStr()
                     << ") has no block 5: " << f->name << " cannot be read.\n";
                return CLI_USAGE;
            }
        }
    }
    if (!direct_->ReadSettings()) {
        err_ << "The ECU's settings could not be read.\n";
        return CLI_LINK;
    }
    for (const CliField& f : fields_) {
        if (f.block == 5 && !HasBlock5()) continue;
        if (!args.isEmpty()) {
            bool wanted = false;
            for (const QString& a : args) wanted |= a.compare(f.name, Qt::CaseInsensitive) == 0;
            if (!wanted) continue;
        }
        PrintField(f);
    }
    return CLI_OK;
}

std::vector<SetItem> CliSession::ParseSetItems(const QStringList& args) {
    std::vector<SetItem> items;
    if (args.isEmpty()) throw UsageError(QStringLiteral("set needs FIELD=VALUE items"));
    for (const QString& a : args) {
        const int eq = a.indexOf(QLatin1Char('='));
        if (eq <= 0) throw UsageError(QStringLiteral("set: expected FIELD=VALUE, got ") + a);
        const QString name = a.left(eq).trimmed();
        const CliField* f = FindCliField(fields_, name);
        if (!f) throw UsageError(QStringLiteral("unknown field ") + name);
        if (!f->writable)
            throw UsageError(name + QStringLiteral(" is reported by the ECU and cannot be set"));
        const auto v = ParseCliNumber(a.mid(eq + 1));
        if (!v)
            throw UsageError(QStringLiteral("%1: \"%2\" is not a number").arg(name, a.mid(eq + 1)));
        if (*v < f->min - 1e-9 || *v > f->max + 1e-9)
            throw UsageError(QStringLiteral("%1=%2 is out of range (%3 to %4)")
                                 .arg(name, a.mid(eq + 1), FormatCliNumber(f->min, f->decimals),
                                      FormatCliNumber(f->max, f->decimals)));
        if (f->decimals == 0 && std::fabs(*v - std::round(*v)) > 1e-9)
            throw UsageError(name + QStringLiteral(" takes whole numbers"));
        items.push_back({f, *v});
    }
    return items;
}

bool CliSession::SwitchRpmFits() {
    const SwitchRpmCheck c = CheckSwitchRpm(ecu_->Image());
    if (c.fits) return true;
    err_ << "SwitchRpm " << FormatCliNumber(c.rpm, 0) << " cannot be sent with " << c.coils
         << " coils on " << c.cylinders << " cylinders: the lowest switchover speed is "
         << FormatCliNumber(c.lowest, 0) << " rpm. Nothing was changed.\n";
    return false;
}

int CliSession::CmdSet(QStringList args) {
    const bool save = TakeFlag(args, QStringLiteral("--save"));
    // Everything is checked before anything is sent.
    const std::vector<SetItem> items = ParseSetItems(args);
    std::set<int> blocks;
    for (const SetItem& it : items) blocks.insert(it.field->block);
    if (blocks.count(5) && !ecu_->HasBlock5()) {
        err_ << "This ECU's firmware (" << ecu_->Comm().FirmwareEcuVersStr()
             << ") has no writable block 5; nothing was changed.\n";
        return CLI_USAGE;
    }
    ParamImage& image = ecu_->Image();
    image.ResetPendingEdits();
    for (const SetItem& it : items) it.field->pend(image, it.value);
    bool refused = false;
    const DirectRequests::WriteResult w = direct_->WriteBlocks(blocks, [&](int block) {
        refused = block == 3 && !SwitchRpmFits();
        return !refused;
    });
    image.ResetPendingEdits();
    if (refused) return CLI_USAGE;
    switch (w.failed) {
        case DirectRequests::WriteStep::FreshRead:
            err_ << "Block " << w.block << " could not be read; it was not written.\n";
            return CLI_LINK;
        case DirectRequests::WriteStep::Write:
            err_ << "Block " << w.block << " could not be written.\n";
            return CLI_LINK;
        case DirectRequests::WriteStep::ReadBack:
            err_ << "Block " << w.block << " was written but could not be read back.\n";
            return CLI_LINK;
        case DirectRequests::WriteStep::Done:
            break;
    }
    for (const SetItem& it : items) PrintField(*it.field);
    if (save) return StoreInFlash();
    if (ecu_->Requests().Store().Unstored())
        err_ << "Not stored in the ECU's flash: the ECU's next reset loses the change (--save, or "
                "gascal-cli save-flash, stores it).\n";
    return CLI_OK;
}

int CliSession::StoreInFlash() {
    if (!direct_->SaveFlash()) {
        err_ << "The ECU did not confirm the store: the changes are not stored in its flash.\n";
        return CLI_LINK;
    }
    err_ << "Stored in the ECU's flash.\n";
    return CLI_OK;
}

int CliSession::CmdSaveFlash(QStringList args) {
    NoMoreArgs(args, QStringLiteral("save-flash"));
    return StoreInFlash();
}

int CliSession::CmdSaveParams(QStringList args) {
    if (args.size() != 1) throw UsageError(QStringLiteral("save-params needs one FILE"));
    const QString path = args.first();
    if (!direct_->ReadSettings() || !direct_->ReadTable()) {
        err_ << "The ECU's settings could not be read; no file was written.\n";
        return CLI_LINK;
    }
    if (!SaveParamFile(path, ecu_->Image(), ecu_->EcuVersion(), ecu_->ProductTitle())) {
        err_ << "The parameter file could not be written: " << path << "\n";
        return CLI_FILE;
    }
    err_ << "Parameters saved to " << path << "\n";
    return CLI_OK;
}

int CliSession::CmdLoadParams(QStringList args) {
    const bool partial = TakeFlag(args, QStringLiteral("--partial"));
    if (args.size() != 1) throw UsageError(QStringLiteral("load-params needs one FILE"));
    const QString path = args.first();
    if (!FileExists(path)) {
        err_ << "The parameter file cannot be read: " << path << "\n";
        return CLI_FILE;
    }
    ParamLoadOptions opts = ecu_->LoadOptions();
    opts.reportBadLines = false;
    // The file is checked before anything reaches the ECU: something that
    // is no parameter file, or a value the ECU cannot hold, is refused; a
    // partial file (parts missing, a table cut short, lines that cannot be
    // read) only when asked for, so a production line never programs half
    // a configuration by mistake.
    const ParamLoadReport check = ConfigLoad::CheckFile(path, ecu_->Image(), opts);
    if (!check.fileFound) {
        err_ << "The parameter file cannot be read: " << path << "\n";
        return CLI_FILE;
    }
    const bool refused = check.NotParameterFile() || !check.outOfRange.isEmpty();
    if (refused || (check.Partial() && !partial)) {
        err_ << path << ":\n"
             << ParamFileProblems(check).replace(QLatin1String("\r\n"), QLatin1String("\n"))
             << "\n";
        if (!refused)
            err_ << "The parameter file is partial; nothing was sent to the ECU (--partial loads "
                    "what it holds and keeps the ECU's own values for the rest).\n";
        else
            err_ << Text(DataText::ParamFileRefused) << "\n";
        return CLI_FILE;
    }
    if (check.Partial()) {
        err_ << path << ":\n"
             << ParamFileProblems(check).replace(QLatin1String("\r\n"), QLatin1String("\n"))
             << "\n";
        err_ << "Loading the partial file: the ECU keeps its own values for the rest.\n";
    }
    // The image starts from the ECU's own blocks and table, as in the window,
    // so whatever the file does not hold is written back unchanged.
    if (!direct_->ReadConfiguration()) {
        err_ << "The ECU's settings could not be read; nothing was loaded.\n";
        return CLI_LINK;
    }
    ConfigLoad load(ecu_->Comm(), ecu_->Image(), ecu_->Requests());
    ParamLoadReport report;
    const ConfigLoad::Result r = load.Attempt(path, opts, &report);
    const bool switched = load.FuelToggled() || r.fuelReturned;
    if (switched) err_ << "The ECU runs on gas: switched to petrol while loading.\n";
    if (r.fuelNotSwitched)
        err_ << "The ECU could not be switched to petrol; nothing was loaded.\n";
    else if (!report.fileFound)
        err_ << "The parameter file cannot be read: " << path << "\n";
    else if (!r.ok)
        err_ << "The configuration could not be written to the ECU completely.\n";
    // Whatever happened, a car switched for the load goes back to gas, and
    // to running on its own when it did, as it was found.
    if (load.FuelToggled() && !load.ReturnFuel())
        err_ << "The ECU could not be switched back to gas: it is in slave mode on petrol.\n";
    else if (switched)
        err_ << "Switched back to gas.\n";
    if (r.fuelNotSwitched) return CLI_LINK;
    if (!report.fileFound) return CLI_FILE;
    if (!r.ok) return CLI_LINK;
    err_ << "Parameters loaded from " << path << " and saved to the ECU's flash.\n";
    return CLI_OK;
}

int CliSession::CmdReadTable(QStringList args) {
    const bool csv = TakeFlag(args, QStringLiteral("--csv"));
    NoMoreArgs(args, QStringLiteral("read-table"));
    if (!direct_->ReadTable()) {
        err_ << "The correction table could not be read.\n";
        return CLI_LINK;
    }
    if (csv) out_ << "Index,PetrolTimeMs,CorrectionMs\n";
    for (int k = 0; k < kCorTimeEntries; ++k) {
        const double petrol = k * 0.128;
        const double cor = ecu_->Image().CorTableEcu[k];
        if (csv)
            out_ << k << "," << FormatCliNumber(petrol, 3) << "," << FormatCliNumber(cor, 3)
                 << "\n";
        else
            out_ << QStringLiteral("%1  %2 ms  %3 ms\n")
                        .arg(k, 3)
                        .arg(FormatCliNumber(petrol, 3), 7)
                        .arg(FormatCliNumber(cor, 3), 7);
    }
    return CLI_OK;
}

int CliSession::CmdErrors(QStringList args) {
    NoMoreArgs(args, QStringLiteral("errors"));
    // The window's reading: the items this installation does not fit (by
    // block 3) are cleared, and the list says whether an error is present.
    ErrorList errors(*ecu_);
    errors.LoadDefinitions();
    if (!ReadBlock(3) || !direct_->Try([&] { return errors.Read(); })) {
        err_ << "The error list could not be read.\n";
        return CLI_LINK;
    }
    const EcuErrorDefinitions& defs = errors.Definitions();
    const ErrorFlags flags = errors.Flags();
    int shown = 0;
    for (int k = 0; k < kErrorItems; ++k) {
        const int present = flags[static_cast<size_t>(k)];
        const int stored = flags[static_cast<size_t>(k + kErrorItems)];
        const QString name = defs.ItemName(k);
        if (name.isEmpty()) continue;  // an item the dictionary does not define is ignored
        auto state = [&](int v) {
            if (v == 255) return QStringLiteral("n/a");
            const QString t = defs.StateText(k, v);
            if (!t.isEmpty()) return t;
            return v == 0 ? QStringLiteral("none") : QString::number(v);
        };
        out_ << name << ": present=" << state(present) << " stored=" << state(stored) << "\n";
        ++shown;
    }
    if (shown == 0) out_ << "No error items are defined.\n";
    err_ << (errors.ErrorsPresent() ? "Errors are present.\n" : "No error is present.\n");
    return CLI_OK;
}

int CliSession::CmdClearErrors(QStringList args) {
    NoMoreArgs(args, QStringLiteral("clear-errors"));
    ErrorList errors(*ecu_);
    if (!direct_->Try([&] { return errors.Clear(); })) {
        err_ << "The error memory could not be cleared.\n";
        return CLI_LINK;
    }
    err_ << "The ECU's error memory was cleared.\n";
    return CLI_OK;
}

int CliSession::CmdFuel(QStringList args) {
    if (args.size() > 1) throw UsageError(QStringLiteral("fuel takes gas, petrol or nothing"));
    const QString want = args.value(0).toLower();
    if (!want.isEmpty() && want != QLatin1String("gas") && want != QLatin1String("petrol"))
        throw UsageError(
            QStringLiteral("fuel: \"%1\" is neither gas nor petrol").arg(args.first()));
    if (!ReadBlock(1) || !ReadBlock(2)) {
        err_ << "The ECU's state could not be read.\n";
        return CLI_LINK;
    }
    // As with the window's logo: the fuel is switched with the key on only.
    if (ecu_->Image().Mem1Block.KeyOn == 0) {
        err_ << "The ignition key is off: the fuel is not switched.\n";
        return CLI_USAGE;
    }
    FuelSwitch fuel(ecu_->Requests(), ecu_->Image());
    const bool ok = want.isEmpty()                 ? fuel.Toggle()
                    : want == QLatin1String("gas") ? fuel.Request(Fuel::Gas)
                                                   : fuel.Request(Fuel::Petrol);
    if (!ok) {
        err_ << "The ECU did not take the fuel request.\n";
        return CLI_LINK;
    }
    if (!ReadBlock(2)) {
        err_ << "The fuel was asked for but block 2 could not be read back.\n";
        return CLI_LINK;
    }
    const Mem2Fields& m = ecu_->Image().Mem2Block;
    out_ << "WorkMode=" << int(m.WorkMode) << "\nMem2Byte1=" << int(m.Mem2Byte1)
         << "\nEcuMode=" << int(m.EcuMode) << "\n";
    return CLI_OK;
}

void CliSession::PrintModel(const LineModel& m) {
    out_ << "ALFA=" << Ms3(m.ALFA) << "\n";
    out_ << "OFFSET=" << Ms3(m.OFFSET) << "\n";
    for (size_t i = 0; i < kModelPoints; ++i)
        out_ << "P" << i << "=" << Ms3(m.ModX[i]) << ";" << Ms3(m.ModY[i]) << "\n";
}

int CliSession::CmdModel(QStringList args) {
    NoMoreArgs(args, QStringLiteral("model"));
    if (!direct_->ReadTable()) {
        err_ << "The correction table could not be read.\n";
        return CLI_LINK;
    }
    ecu_->RebuildModelFromTable();
    PrintModel(ecu_->Model().Model());
    return CLI_OK;
}

int CliSession::CmdWriteModel(QStringList args) {
    const bool save = TakeFlag(args, QStringLiteral("--save"));
    const std::vector<ModelAction> actions = ParseModelActions(args);
    if (!direct_->ReadTable()) {
        err_ << "The correction table could not be read; nothing was written.\n";
        return CLI_LINK;
    }
    ecu_->RebuildModelFromTable();
    if (actions.empty()) {
        PrintModel(ecu_->Model().Model());
        return CLI_OK;
    }
    // Each press as the Modeling tab's buttons do it: the point's label is
    // clicked, then the button is held for COUNT steps, every step within
    // its limits and the model's invariants.
    ModelEditor& editor = ecu_->Model();
    for (const ModelAction& a : actions) {
        switch (a.kind) {
            case ModelAction::Kind::Reset:
                editor.Reset();
                break;
            case ModelAction::Kind::ResetLine:
                editor.ResetLine();
                break;
            case ModelAction::Kind::Press:
                if (!IsLineButton(a.button)) editor.LblPntMod_Click(a.point);
                editor.Hold(a.button, a.count);
                break;
        }
    }
    ecu_->BuildTableFromModel();
    if (!direct_->Try([&] { return ecu_->Requests().WriteCorTable(); })) {
        err_ << "The correction table could not be written; the ECU keeps its own.\n";
        return CLI_LINK;
    }
    // What the ECU holds now, as `model` reads it.
    LineModel written = editor.Model();
    CorTableArray table = ecu_->Image().CorTableEcu;
    written.FromTable(table);
    PrintModel(written);
    err_ << "Correction table written.\n";
    if (save) return StoreInFlash();
    if (ecu_->Requests().Store().Unstored())
        err_ << "Not stored in the ECU's flash: the ECU's next reset loses the table (--save, or "
                "gascal-cli save-flash, stores it).\n";
    return CLI_OK;
}

int CliSession::CmdMap(QStringList args) {
    const MapOptions o = ParseMapOptions(args);
    InjectionMap& map = ecu_->Map();
    if (o.clear && !direct_->ClearSamples(o.clearFuel)) {
        err_ << "The ECU did not clear its " << (o.clearFuel == MapFuel::Gas ? "gas" : "petrol")
             << " samples.\n";
        return CLI_LINK;
    }
    // The targets are placed with the table the ECU works with.
    if (const int rc = ReadMapAndTable(map, o.file); rc != CLI_OK) return rc;
    const MapStepResult step = map.Step(true, false, false, ecu_->Image().CorTable);
    if (!o.save.isEmpty() && !map.Save(o.save)) {
        err_ << "The map file could not be written: " << o.save << "\n";
        return CLI_FILE;
    }

    const QString sep = o.csv ? QStringLiteral(",") : QStringLiteral(" ");
    if (o.csv) out_ << "Kind,Fuel,PressureMbar,TimeMs,GasTimeMs\n";
    auto points = [&](const char* kind, const MapPoints& p) {
        for (MapFuel fuel : {MapFuel::Petrol, MapFuel::Gas}) {
            const char* name = fuel == MapFuel::Gas ? "gas" : "petrol";
            for (size_t i = 0; i < kMapPoints; ++i) {
                const double pressure = p.Pressure(fuel)[i], time = p.Time(fuel)[i];
                if (pressure == 0 && time == 0) continue;
                out_ << kind << sep << name << sep << FormatCliNumber(pressure, 1) << sep
                     << Ms3(time);
                out_ << (o.csv ? ",\n" : "\n");
            }
        }
    };
    points("mapped", map.Mapped());
    points("selected", map.Selected());
    for (const TargetMarker& t : map.Targets()) {
        if (o.csv)
            out_ << "target,," << FormatCliNumber(t.pressure, 1) << "," << Ms3(t.petrolMs) << ","
                 << Ms3(t.gasMs) << "\n";
        else
            out_ << "target " << Ms3(t.petrolMs) << " " << Ms3(t.gasMs) << "\n";
    }
    err_ << step.matches << " petrol point(s) with a gas point at the same pressure.\n";
    if (!o.save.isEmpty()) err_ << "Map saved to " << o.save << "\n";
    return CLI_OK;
}

// --- fit: the line model fitted to the map's targets -------------------------------

// The operating points of both fuels, from a map file or from the ECU, and
// the ECU's correction table.
int CliSession::ReadMapAndTable(InjectionMap& map, const QString& file) {
    if (!file.isEmpty()) {
        if (!map.Open(file)) {
            err_ << "The map file cannot be read: " << file << "\n";
            return CLI_FILE;
        }
    } else if (!direct_->ReadSamples(MapFuel::Petrol) || !direct_->ReadSamples(MapFuel::Gas)) {
        err_ << "The ECU's samples could not be read.\n";
        return CLI_LINK;
    }
    if (!direct_->ReadTable()) {
        err_ << "The correction table could not be read.\n";
        return CLI_LINK;
    }
    return CLI_OK;
}

int CliSession::CmdFit(QStringList args) {
    const FitOptions o = ParseFitOptions(args);
    InjectionMap& map = ecu_->Map();
    // The targets are placed with the table the ECU works with, and the fit
    // starts from the model of that table.
    if (const int rc = ReadMapAndTable(map, o.file); rc != CLI_OK) return rc;
    ecu_->RebuildModelFromTable();
    map.Step(true, false, false, ecu_->Image().CorTable);
    const std::vector<FitTarget> targets = FitTargets(map.Targets());
    ModelEditor& editor = ecu_->Model();
    const LineModel current = editor.Model();
    const FitResult r = FitModel(current, targets, FitLimitsOf(ecu_->Scale()));

    bool written = false;
    if (!o.dryRun && r.outcome != FitOutcome::Nothing && r.Changed(current)) {
        editor.Apply(r.model);
        ecu_->BuildTableFromModel();
        if (!direct_->Try([&] { return ecu_->Requests().WriteCorTable(); })) {
            err_ << "The correction table could not be written; the ECU keeps its own.\n";
            return CLI_LINK;
        }
        written = true;
    }
    // The model as `model` would read it now.
    LineModel shown = r.model;
    if (written) {
        CorTableArray table = ecu_->Image().CorTableEcu;
        shown.FromTable(table);
    }
    PrintModel(shown);
    for (size_t i = 0; i < targets.size(); ++i)
        out_ << "target " << Ms3(targets[i].petrolMs) << " " << Ms3(targets[i].gasMs) << " "
             << Ms3(r.modelGasMs[i]) << "\n";
    out_ << "fit before=" << Ms3(r.before.largest) << "/" << Ms3(r.before.mean)
         << " after=" << Ms3(r.after.largest) << "/" << Ms3(r.after.mean) << "\n";

    if (r.outcome == FitOutcome::Nothing) {
        err_ << "No petrol point has a gas point at its pressure: nothing to fit.\n";
        return CLI_NOTHING_TO_FIT;
    }
    if (r.outcome == FitOutcome::OffsetOnly)
        err_ << "All targets lie at one petrol time: only OFFSET was fitted.\n";
    if (r.alfaLimited)
        err_ << "The targets ask for an ALFA beyond the configuration's limits; ALFA is held "
                "there.\n";
    if (r.offsetLimited)
        err_ << "The targets ask for an OFFSET beyond the configuration's limits; OFFSET is held "
                "there.\n";
    if (written)
        err_ << "Correction table written.\n";
    else if (o.dryRun)
        err_ << "Dry run: nothing was written.\n";
    else
        err_ << "The model already fits: nothing was written.\n";
    if (o.dryRun) return CLI_OK;
    // The table is in the ECU's working memory: stored when asked for.
    if (o.save) return StoreInFlash();
    if (ecu_->Requests().Store().Unstored())
        err_ << "Not stored in the ECU's flash: the ECU's next reset loses the table (--save, or "
                "gascal-cli save-flash, stores it).\n";
    return CLI_OK;
}

ParamFileRead CliSession::ReadForDiff(const QString& path, const ParamImage& base) {
    ParamFileRead file = ReadParamFileForCompare(path, base, ecu_->LoadOptions());
    if (!file.found) {
        err_ << "The parameter file cannot be read: " << path << "\n";
    } else if (!file.Usable()) {
        // Only what cannot be compared is named here; what the file lacks
        // is listed with the differences.
        ParamLoadReport problems = file.report;
        problems.missing.clear();
        err_ << path << ":\n"
             << ParamFileProblems(problems).replace(QLatin1String("\r\n"), QLatin1String("\n"))
             << "\n";
        err_ << "The parameter file is not compared.\n";
    }
    return file;
}

int CliSession::CmdDiff(const QStringList& args) {
    const QString& firstPath = args.first();
    std::vector<ParamDifference> diffs;
    QStringList notInFile;  // "NAME: not in the file ..."
    if (args.size() == 2) {
        // Both files on the same image, so what neither file carries is the same.
        const ParamFileRead first = ReadForDiff(firstPath, ecu_->Image());
        const ParamFileRead second = ReadForDiff(args[1], ecu_->Image());
        if (!first.Usable() || !second.Usable()) return CLI_FILE;
        err_ << "Comparing " << firstPath << " (first) with " << args[1] << " (second)\n";
        diffs = CompareParams(first.Side(), second.Side());
        auto lacks = [&](const ParamFileRead& f, const ParamFileRead& other, const char* which) {
            QStringList parts = f.NotInFile();
            // Without an ECU no block 5 is expected; one file holding it is
            // enough to name it as missing from the other.
            if (!f.hasBlock5 && other.hasBlock5 && !parts.contains(QLatin1String("[BLK5]")))
                parts.prepend(QStringLiteral("[BLK5]"));
            for (const QString& p : parts)
                notInFile << p + QStringLiteral(": not in the file (") + QLatin1String(which) +
                                 QLatin1Char(')');
        };
        lacks(first, second, "first");
        lacks(second, first, "second");
    } else {
        // The file goes onto the ECU's own image, as a load would.
        if (!direct_->ReadSettings() || !direct_->ReadTable()) {
            err_ << "The ECU's settings could not be read.\n";
            return CLI_LINK;
        }
        const ParamFileRead file = ReadForDiff(firstPath, ecu_->Image());
        if (!file.Usable()) return CLI_FILE;
        err_ << "Comparing " << firstPath << " (first) with the ECU (second)\n";
        diffs = CompareParams(file.Side(), EcuSide(*ecu_));
        for (const QString& p : file.NotInFile())
            notInFile << p + QStringLiteral(": not in the file");
    }
    for (const ParamDifference& d : diffs)
        out_ << d.name << ": " << FormatCliNumber(d.first, d.decimals) << " | "
             << FormatCliNumber(d.second, d.decimals) << "\n";
    // What a load would leave as the ECU has it.
    for (const QString& l : notInFile) out_ << l << "\n";
    if (diffs.empty()) {
        err_ << (notInFile.isEmpty() ? "No differences.\n"
                                     : "No differences in what the file holds.\n");
        return CLI_OK;
    }
    err_ << diffs.size() << (diffs.size() == 1 ? " difference.\n" : " differences.\n");
    return CLI_DIFFERENT;
}

int CliSession::CmdExport(QStringList args) {
    const bool csv = TakeFlag(args, QStringLiteral("--csv"));
    const int inj = TakeIntOption(args, QStringLiteral("--inj"), 1);
    if (inj > kViewInjectors)
        throw UsageError(QStringLiteral("--inj takes an injector from 1 to 8"));
    if (args.size() != 1) throw UsageError(QStringLiteral("export needs one FILE"));
    const QString path = args.first();
    if (!QFileInfo(path).isFile()) {
        err_ << "The file cannot be read: " << path << "\n";
        return CLI_FILE;
    }
    // The installation's factors (injection times, supply voltage), as the
    // viewer decodes with them.
    ecu_ = std::make_unique<EcuSession>(InstallDir(), nullptr);
    SetAppTitle(ecu_->ProductTitle());
    ViewScales scales = ViewScales::FromImage(ecu_->Image());
    std::vector<ViewSample> samples;
    size_t rows = 0;
    switch (RecogniseViewFile(path)) {
        case ViewFileKind::Log: {
            CaricaCostantiRxTx(path, scales);
            // Window by window: each line is in exactly one window.
            LogWindow w;
            int direction = 0;
            do {
                if (!CaricaLogRxTx(path, direction, scales, w, samples)) {
                    err_ << "The file cannot be read: " << path << "\n";
                    return CLI_FILE;
                }
                out_ << SamplesTable(samples, 0, samples.size(), inj - 1, w.recordingStartMs, csv,
                                     direction == 0);
                rows += samples.size();
                direction = 1;
            } while (w.windowed && w.nextEnabled);
            break;
        }
        case ViewFileKind::Table:
            if (!LoadTableFile(path, false, samples)) {
                err_ << "The file cannot be read: " << path << "\n";
                return CLI_FILE;
            }
            out_ << SamplesTable(samples, 0, samples.size(), inj - 1,
                                 samples.empty() ? 0 : samples.front().SampleTimeMs, csv);
            rows = samples.size();
            break;
        case ViewFileKind::Missing:
        case ViewFileKind::Unrecognised:
            err_ << "Not a log, a recording or a table text file: " << path << "\n";
            return CLI_FILE;
    }
    out_.flush();
    err_ << rows << " samples\n";
    return CLI_OK;
}

// --list-ports: what each port stands for and whether it can be opened.
int ListPorts(const CliOptions& o, QTextStream& out) {
    // A device path given with --port is listed as COM1.
    if (!o.port.isEmpty() && ClassifyPortOption(o.port) == PortOption::Device)
        SetSerialOverride(o.port.trimmed(), 1);
    auto provider = MakeMachinePortProvider();
    const std::vector<PortAttempt> ports = ProbePorts(*provider);
    const QStringList texts = PortTextDefaults();
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
        out << line << "\n";
    }
    const QStringList fixes = PortFixLines(ports, texts);
    if (!fixes.isEmpty()) out << "\n" << fixes.join(QLatin1Char('\n')) << "\n";
    out.flush();
    return CLI_OK;
}

}  // namespace

int CliSession::CmdCalibrate(QStringList args) {
    const bool yes = TakeFlag(args, QStringLiteral("--yes"));
    const bool twoPoint = TakeFlag(args, QStringLiteral("--two-point"));
    const bool save = TakeFlag(args, QStringLiteral("--save"));
    NoMoreArgs(args, QStringLiteral("calibrate"));
    // The calibration starts from what the ECU holds: its blocks, its table
    // and the model rebuilt from that table.
    if (!ReadBlock(1) || !direct_->ReadConfiguration()) {
        err_ << "The ECU's configuration could not be read; nothing was changed.\n";
        return CLI_LINK;
    }
    ecu_->RebuildModelFromTable();

    Calibration cal(*ecu_);
    cal.SetTwoPoint(twoPoint);
    // The ECU's blocks and table were just read.
    cal.SetEcuReady([] { return true; });
    std::unique_ptr<sim::SimFitter> fitter;
    if (simEcu_) fitter = std::make_unique<sim::SimFitter>(simEcu_);
    QString shown;
    cal.OnChanged([&] {
        if (cal.Message() != shown) {
            shown = cal.Message();
            err_ << shown << "\n";
            err_.flush();
        }
        // Under --sim the simulated fitter does what the screen says.
        if (fitter) {
            const CalInstruction i = cal.Instruction();
            const sim::FitterTask task = i == CalInstruction::WarmUp ? sim::FitterTask::WarmUp
                                         : i == CalInstruction::Idle ? sim::FitterTask::Idle
                                         : i == CalInstruction::RaisedSpeed
                                             ? sim::FitterTask::RaisedSpeed
                                             : sim::FitterTask::None;
            fitter->Follow(task, cal.RaisedTargetRpm());
        }
    });
    cal.OnStepChanged([&](int step) {
        if (step < 0) return;
        err_ << QStringLiteral("step %1").arg(step, 2, 10, QLatin1Char('0')) << "\n";
        err_.flush();
    });
    cal.OnReportEntry([&](const QString& line) {
        out_ << '"' << line << '"' << "\n";
        out_.flush();
    });
    const auto T = [&](CalText t) { return cal.Texts().value(static_cast<int>(t)); };
    if (!yes && !UserPrompts().AskYesNo(T(CalText::AskStart), ecu_->ProductTitle())) {
        err_ << "Not started; nothing was changed.\n";
        return CLI_ABORTED;
    }

    // The calibration runs on its own Timer3 ticks; this loop only looks
    // and answers its questions. Ctrl+C is one more event: the abort and
    // its restore then run to their end before the program exits.
    InterruptGuard interrupts;
    bool aborted = false, interruptTold = false, resultTaken = false;
    cal.CmdCalStart_Click();
    while (cal.Running()) {
        WaitMicroSeconds(kCalibrateLookUs);
        if (gInterrupted && !interruptTold) {
            interruptTold = true;
            err_ << "Interrupted: the calibration is aborted; everything is put back before the "
                    "program ends.\n";
            err_.flush();
            // A finished calibration is kept (as when the window closes).
            if (cal.State() != CalState::End) aborted = true;
            cal.EndForClose();
            continue;
        }
        const CalState st = cal.State();
        if (st == CalState::Abort) aborted = true;
        if (resultTaken || interruptTold || (st != CalState::End && st != CalState::EndWithLimit))
            continue;
        resultTaken = true;
        // The result, as the window shows it, and what the fitter says to it.
        const CalResult& res = cal.Result();
        out_ << "result: state " << static_cast<int>(st);
        switch (res.limits.line) {
            case LimitApplied::OffsetMin:
                out_ << ", limit: smallest OFFSET";
                break;
            case LimitApplied::OffsetMax:
                out_ << ", limit: largest OFFSET";
                break;
            case LimitApplied::AlfaMin:
                out_ << ", limit: smallest ALFA";
                break;
            case LimitApplied::AlfaMax:
                out_ << ", limit: largest ALFA";
                break;
            case LimitApplied::None:
                break;
        }
        if (res.limits.entriesRaised > 0)
            out_ << ", table entries raised: " << res.limits.entriesRaised;
        if (res.limits.entriesLowered > 0)
            out_ << ", table entries lowered: " << res.limits.entriesLowered;
        out_ << ", OFFSET at the end of step 03: " << Ms3(res.savedOffset) << "\n";
        if (res.twoPointAsked) {
            const auto r = [](const std::optional<double>& v) {
                return v ? Ms3(*v) : QStringLiteral("?");
            };
            if (res.twoPoint.possible)
                out_ << "two-point: ALFA " << Ms3(res.twoPoint.alfa)
                     << (res.twoPoint.alfaLimited ? " (limited)" : "") << ", OFFSET "
                     << Ms3(res.twoPoint.offset) << ", idle " << r(res.residualIdleBefore) << " -> "
                     << r(res.residualIdleAfter) << " ms, raised speed "
                     << r(res.residualRaisedBefore) << " -> " << r(res.residualRaisedAfter)
                     << " ms\n";
            else
                out_ << "two-point: not possible\n";
        }
        out_.flush();
        if (st == CalState::EndWithLimit) {
            if (yes || UserPrompts().AskYesNo(cal.Message(), ecu_->ProductTitle())) {
                cal.CmdCalStart_Click();  // the result is kept
            } else {
                cal.CmdCalCancel_Click();  // everything put back
                aborted = true;
                continue;
            }
        }
        if (yes || UserPrompts().AskYesNo(T(CalText::AskGas), ecu_->ProductTitle())) {
            cal.CmdCalStart_Click();  // gas, then the ECU's own running mode
        } else {
            cal.EndOnPetrol();
            err_ << "The car stays on petrol; the ECU is back in running mode.\n";
        }
    }
    if (cal.NotRestored() != 0) {
        // The abort gave up: exactly what is not as it was.
        err_ << "Not put back: " << cal.NotRestoredNames().join(QStringLiteral("; ")) << "\n";
        err_.flush();
        return CLI_NOT_RESTORED;
    }
    if (aborted) return CLI_ABORTED;
    // The model the ECU holds now, as `model` prints it.
    if (direct_->ReadTable()) {
        LineModel held = ecu_->Model().Model();
        CorTableArray table = ecu_->Image().CorTableEcu;
        held.FromTable(table);
        PrintModel(held);
    } else {
        PrintModel(ecu_->Model().Model());
    }
    // The result is in the ECU's working memory: stored when asked for.
    if (save) return StoreInFlash();
    if (ecu_->Requests().Store().Unstored())
        err_
            << "Not stored in the ECU's flash: the ECU's next reset loses the calibration (--save, "
               "or gascal-cli save-flash, stores it).\n";
    return CLI_OK;
}

QString CliHelpText() {
    return QStringLiteral(
        "Usage: gascal-cli [--install-dir DIR] [--port USB|COM1..COM9|PATH] [--sim]\n"
        "                  [--timeout SECONDS] [--lang N] COMMAND [ARGS]\n"
        "\n"
        "The tool's link and data layers without a window: the same frames, in the same\n"
        "order, and the same communication log (BIN/RxTx.TXT) as the window.\n"
        "\n"
        "Port:\n"
        "  --port USB        the USB cable (device 0); COM1..COM9 a serial port; a device\n"
        "                    path (e.g. /dev/ttyUSB0 or a pseudo-terminal) stands for the\n"
        "                    configured serial port (COM1 when none is configured).\n"
        "                    Disables the port search; the\n"
        "                    settings file is left unchanged.\n"
        "  --sim             use the built-in simulated ECU (USB device 0).\n"
        "  --list-ports      show what COM1..COM9 and the USB cable stand for on this\n"
        "                    machine, whether each can be opened (no device, permission\n"
        "                    denied, busy) and how to fix a missing permission; with\n"
        "                    --port PATH that device is listed as COM1.\n"
        "  Neither: BIN/SetCom.ini decides; without it the ports are searched (USB, COM1\n"
        "  .. COM9) and the port found is written to the settings file.\n"
        "  --timeout S       how long to wait for an ECU (default 30 s).\n"
        "  --install-dir DIR installation folder (default: the parent of the program's folder).\n"
        "  --lang N          dictionary language for texts (default: the current language).\n"
        "\n"
        "On connecting the ECU is identified and checked against the firmware file: a\n"
        "missing firmware file, a foreign project code or a newer ECU firmware stop with\n"
        "both descriptions; an available upgrade is only mentioned (see upgrade).\n"
        "\n"
        "Commands:\n"
        "  identify                      firmware identity of the ECU and of the file\n"
        "  live [--count N] [--csv]      N readings of the live values (default 10)\n"
        "  get [FIELD...]                settings of blocks 2, 3 and 5 (all, or the named)\n"
        "  set FIELD=VALUE... [--save]   change settings (checked first; each block is read,\n"
        "                                written and read back); --save stores them in the\n"
        "                                ECU's flash, else the ECU's next reset loses them\n"
        "                                (said on standard error)\n"
        "  save-flash                    store what the ECU holds in its working memory in\n"
        "                                its flash (set, write-model: changes are kept over\n"
        "                                the ECU's next reset only once stored)\n"
        "  save-params FILE              save the whole configuration (*.var)\n"
        "  load-params [--partial] FILE  load a configuration into the ECU and store it in\n"
        "                                its flash. Checked first: a file that is not a\n"
        "                                parameter file, or holds a value the ECU cannot\n"
        "                                hold, is refused (exit 4, nothing sent); a partial\n"
        "                                file (sections missing, [COR] cut short, lines that\n"
        "                                cannot be read) is refused naming what is missing,\n"
        "                                unless --partial: then the ECU keeps its own\n"
        "                                values for what the file does not hold\n"
        "  read-table [--csv]            the ECU's correction table\n"
        "  errors                        the ECU's error list\n"
        "  clear-errors                  clear the ECU's error memory\n"
        "  fuel [gas|petrol]             ask the ECU for a fuel (nothing: the other one),\n"
        "                                with the ignition key on, as the window's logo\n"
        "  model                         the line model rebuilt from the ECU's correction\n"
        "                                table: ALFA=, OFFSET=, P0=x;y .. P6=x;y (ms)\n"
        "  write-model [--reset] [--reset-line] [--press NAME[:POINT]=COUNT]... [--save]\n"
        "                                edit the model as the Modeling tab's buttons do\n"
        "                                (in the order given, every limit kept), write the\n"
        "                                table once and print the model as `model` does.\n"
        "                                NAME: up, down (points 1-5), left (+0.128 ms),\n"
        "                                right (-0.128 ms) (points 1-4), alfa-up, alfa-down,\n"
        "                                offset-up, offset-down (no POINT); COUNT: steps\n"
        "                                while held. A press the button would ignore does\n"
        "                                nothing. Without edits nothing is written.\n"
        "                                --save stores the table in the ECU's flash.\n"
        "  map [--file F.map] [--clear petrol|gas] [--save F.map] [--csv]\n"
        "                                the injection map: both fuels' operating points\n"
        "                                from the ECU (or from a map file), one line per\n"
        "                                point: mapped|selected petrol|gas PRESSURE TIME,\n"
        "                                then target PETROL_TIME GAS_TIME for every petrol\n"
        "                                point with a gas point at its pressure (with the\n"
        "                                ECU's table); --clear makes the ECU forget that\n"
        "                                fuel's points first; --save writes a map file;\n"
        "                                --csv: Kind,Fuel,PressureMbar,TimeMs,GasTimeMs\n"
        "  upgrade [--yes] [--force] [--backup FILE] [--skip-failed]\n"
        "                                write the firmware file into the ECU (engine off,\n"
        "                                key off). Asks before erasing unless --yes; once\n"
        "                                agreed, the configuration is saved to a backup file\n"
        "                                (FILE, or one named after the ECU and the time in\n"
        "                                the installation folder; its path is printed),\n"
        "                                written back and saved. An ECU on the file's\n"
        "                                firmware already has nothing to do unless --force.\n"
        "                                A chunk that fails three times stops it, with\n"
        "                                --skip-failed it ends incomplete; Ctrl+C ends it at\n"
        "                                the next safe point (exit 7). Run it again after an\n"
        "                                interruption: the ECU waiting for its program gets\n"
        "                                it, and its configuration from FILE or from the one\n"
        "                                unfinished backup of its serial number; otherwise\n"
        "                                the candidates are listed (exit 7)\n"
        "  export FILE [--inj N] [--csv] the samples of a log, a saved recording (*.vfl) or a\n"
        "                                table text file as the signal viewer reads them:\n"
        "                                time_ms and the eight channels' read-out values\n"
        "                                (injector N, default 1); no ECU needed\n"
        "  calibrate [--yes] [--two-point] [--save]\n"
        "                                automatic calibration on the running engine, as the\n"
        "                                window's Calibration tab: the fitter's instructions\n"
        "                                and a line `step 00`..`step 03` on standard error,\n"
        "                                each report entry (TaraCorr.txt), the result and\n"
        "                                the final model (as `model`) on standard output.\n"
        "                                Asks before it starts and before it switches to gas\n"
        "                                at the end, unless --yes. --two-point sets ALFA from\n"
        "                                the raised-speed and idle balances and checks it.\n"
        "                                Ctrl+C or SIGTERM aborts and puts everything back;\n"
        "                                while the ECU does not answer the abort keeps\n"
        "                                trying for 2 minutes. With --sim a simulated fitter\n"
        "                                follows the instructions. Exit 0 when it ends, 6\n"
        "                                when aborted with everything put back, 10 when the\n"
        "                                abort could not put everything back (named on\n"
        "                                standard error). --save stores the result in the\n"
        "                                ECU's flash.\n"
        "  fit [--map F.map] [--dry-run] [--save]\n"
        "                                fit the line model to the map's targets: the\n"
        "                                ECU's samples (or a map file) and table, ALFA,\n"
        "                                OFFSET and the points in the targets' range moved\n"
        "                                on the Modeling tab's steps within every limit\n"
        "                                (least squares). Prints the model as `model`,\n"
        "                                target PETROL_TIME TARGET_GAS_TIME MODEL_GAS_TIME\n"
        "                                per target and fit before=MAX/MEAN after=MAX/MEAN\n"
        "                                (ms); writes the table unless --dry-run; --save\n"
        "                                stores it in the ECU's flash. Exit 9 when there\n"
        "                                is nothing to fit\n"
        "  diff FILE [FILE2]             compare a parameter file with the ECU, or two files:\n"
        "                                every field, model value and table entry that a\n"
        "                                load would change, as NAME: FIRST | SECOND; what a\n"
        "                                partial file does not hold as NAME: not in the\n"
        "                                file (a load keeps the ECU's). The hour counters,\n"
        "                                WorkMode, Mem2Byte1 and EcuMode are never loaded and\n"
        "                                never compared. A file that is not a parameter\n"
        "                                file, or holds a value the ECU cannot hold, or a\n"
        "                                line that cannot be read, is refused (exit 4)\n"
        "\n"
        "Numbers are printed with a decimal point; values may be typed with a point or a\n"
        "comma. Data go to standard output, messages to standard error.\n"
        "\n"
        "Exit codes: 0 success, 1 differences found (diff), 2 usage or invalid input,\n"
        "3 no ECU or link failure, 4 file error, 5 ECU incompatible,\n"
        "6 calibration aborted, 7 upgrade failed or incomplete, 9 nothing to fit (fit),\n"
        "10 calibration aborted but not everything put back.\n");
}

int RunCli(const QStringList& args, QTextStream& out, QTextStream& err, const CliEnvironment& env) {
    try {
        CliOptions o = ParseOptions(args);
        if (o.help) {
            out << CliHelpText();
            return CLI_OK;
        }
        if (o.listPorts) return ListPorts(o, out);
        if (o.command.isEmpty()) throw UsageError(QStringLiteral("no command given"));
        static const QStringList commands{
            "identify",    "live",        "get",        "set",          "save-params",
            "load-params", "read-table",  "errors",     "clear-errors", "fuel",
            "model",       "write-model", "map",        "upgrade",      "export",
            "calibrate",   "diff",        "save-flash", "fit"};
        if (!commands.contains(o.command))
            throw UsageError(QStringLiteral("unknown command ") + o.command);
        if (o.port.isEmpty() == false && o.sim &&
            o.port.compare(QLatin1String("USB"), Qt::CaseInsensitive) != 0)
            throw UsageError(
                QStringLiteral("--sim is the USB device; it cannot be used with --port ") + o.port);
        if (!o.port.isEmpty()) {
            QString message;
            const PortOption kind = ClassifyPortOption(o.port, nullptr, &message);
            if (kind == PortOption::BadComNumber) throw UsageError(message);
            if (kind == PortOption::NoSuchDevice) {
                err << message << "\n";
                return CLI_LINK;
            }
        }
        QString dir = o.installDir;
        if (dir.isEmpty()) dir = env.defaultInstallDir;
        // The build tree beside the program, else the user's own copy of the
        // installed tree (docs/installing.md).
        const InstallLocation location =
            LocateInstallDir(QCoreApplication::applicationDirPath(), dir);
        if (location.dir.isEmpty()) {
            err << location.error << "\n";
            return CLI_FILE;
        }
        SetInstallDir(location.dir);
        o.installDir = InstallDir();
        CliSession session(o, out, err, env);
        const int rc = session.Run();
        out.flush();
        err.flush();
        return rc;
    } catch (const UsageError& e) {
        err << "gascal-cli: " << e.message << "\n(see gascal-cli --help)\n";
        err.flush();
        return CLI_USAGE;
    }
}

}  // namespace gascal
