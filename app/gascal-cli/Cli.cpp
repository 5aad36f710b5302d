// gascal-cli: the program's options, the table of commands and the
// dispatcher that runs one row of it (CliCommand.h).
#include "app/gascal-cli/Cli.h"

#include <QCoreApplication>
#include <optional>

#include "app/gascal-cli/CliCommand.h"
#include "app/gascal-cli/CliHistory.h"
#include "common/InstallTree.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareUpgrade.h"
#include "ecu/SessionFacts.h"
#include "ecu/UpgradeTexts.h"

namespace gascal {

namespace {

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

// Every command, in the order --help lists them.
const std::vector<CliCommand>& CommandTable() {
    static const std::vector<CliCommand> table = [] {
        std::vector<CliCommand> t;
        for (auto part : {ParamCommands, LiveCommands, ModelCommands, MapCommands, UpgradeCommands,
                          FileCommands, CalibrationCommands, HistoryCommands})
            for (CliCommand& c : part()) t.push_back(std::move(c));
        return t;
    }();
    return table;
}

// One command: its arguments checked, the ECU looked for and judged when
// the command needs one, then the command.
int RunCommand(const CliCommand& command, CliContext& cx) {
    const QStringList& args = cx.options.args;
    const bool needsEcu = command.needsEcu(args);
    if (needsEcu)
        cx.StartLink();
    else
        cx.StartOffline();
    if (command.check)
        if (const int rc = command.check(cx, args); rc != CLI_OK) return rc;
    if (!needsEcu) return command.run(cx, args);
    if (const int rc = cx.Connect(); rc != CLI_OK) {
        // A command that has something to say without the ECU says it.
        if (command.withoutEcu) return command.withoutEcu(cx, args);
        return rc;
    }
    // The upgrade judges the ECU itself (one waiting for its program after
    // an interrupted upgrade has no firmware to judge).
    if (command.name == QLatin1String("upgrade")) return command.run(cx, args);
    // An ECU left in programming state by an interrupted upgrade runs no
    // program, whatever identity it reports.
    if (command.name == QLatin1String("identify") && EcuWaitsForProgram(cx.Ecu())) {
        cx.PrintIdentity();
        cx.err << UpgradeText(UpText::MsgProgrammingState, cx.Ecu().Lookup()) << "\n";
        return CLI_UPGRADE;
    }
    if (const int rc = cx.CheckCompatibility(); rc != CLI_OK) return rc;
    const FirmwareSide ecu = EcuFirmware(cx.Ecu());
    cx.err << "ECU found on " << cx.Port() << ", firmware " << ecu.version << " " << ecu.date
           << "\n";
    cx.err.flush();
    // The restore point of the connection, or the one taken before a
    // command that changes the configuration (which it stops when the
    // point cannot be written).
    if (const int rc = CliTakeCommandPoint(command.name, args, cx.Ecu(), cx.Direct(), cx.err);
        rc != CLI_OK)
        return rc;
    // Ctrl+C or SIGTERM during a command that writes to the ECU ends it once
    // its writes are over: ended in the middle, it could leave part of a
    // change in the ECU, or a car switched to petrol for a load in slave
    // mode, and say nothing.
    static const QStringList kWriting{QStringLiteral("set"),          QStringLiteral("load-params"),
                                      QStringLiteral("clear-errors"), QStringLiteral("fuel"),
                                      QStringLiteral("write-model"),  QStringLiteral("save-flash")};
    std::optional<InterruptGuard> interrupts;
    if (kWriting.contains(command.name)) interrupts.emplace();
    const int result = command.run(cx, args);
    if (interrupts && InterruptGuard::Interrupted())
        cx.err << "Interrupted: the command was finished first, so that the ECU is not left with "
                  "part of the change.\n";
    return result;
}

// The port options against each other and against the machine.
int CheckPortOptions(const CliOptions& o, QTextStream& err) {
    if (!o.port.isEmpty() && o.sim && o.port.compare(QLatin1String("USB"), Qt::CaseInsensitive))
        throw UsageError(QStringLiteral("--sim is the USB device; it cannot be used with --port ") +
                         o.port);
    if (o.port.isEmpty()) return CLI_OK;
    QString message;
    const PortOption kind = ClassifyPortOption(o.port, nullptr, &message);
    if (kind == PortOption::BadComNumber) throw UsageError(message);
    if (kind == PortOption::NoSuchDevice) {
        err << message << "\n";
        return CLI_LINK;
    }
    return CLI_OK;
}

}  // namespace

const CliCommand* FindCommand(const QString& name) {
    for (const CliCommand& c : CommandTable())
        if (c.name == name) return &c;
    return nullptr;
}

QString CliHelpText() {
    QString help = QStringLiteral(
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
        "Arguments are checked before the ECU is looked for.\n"
        "\n"
        "Commands:\n");
    // Usage in the first column; the description beside it when the usage
    // is short, else on the lines below.
    constexpr int kColumn = 32;
    const QString indent(kColumn, QLatin1Char(' '));
    for (const CliCommand& c : CommandTable()) {
        const QStringList lines = c.help.split(QLatin1Char('\n'));
        QString first = QStringLiteral("  ") + c.usage;
        if (first.size() < kColumn)
            first = first.leftJustified(kColumn) + lines.first();
        else
            first += QLatin1Char('\n') + indent + lines.first();
        help += first + QLatin1Char('\n');
        for (int i = 1; i < lines.size(); ++i) help += indent + lines[i] + QLatin1Char('\n');
    }
    help += QStringLiteral(
        "\n"
        "Numbers are printed with a decimal point and keys are the same in every\n"
        "language; values may be typed with a point or a comma. Data go to standard\n"
        "output, messages to standard error.\n"
        "\n"
        "Exit codes: 0 success, 1 differences found (diff), 2 usage or invalid input,\n"
        "3 no ECU or link failure, 4 file error, 5 ECU incompatible,\n"
        "6 calibration aborted, 7 upgrade failed or incomplete, 8 restore point of another\n"
        "ECU refused (restore), 9 nothing to fit (fit),\n"
        "10 calibration aborted but not everything put back.\n");
    return help;
}

int RunCli(const QStringList& args, QTextStream& out, QTextStream& err, const CliEnvironment& env) {
    try {
        CliOptions o = ParseOptions(args);
        if (o.help) {
            out << CliHelpText();
            return CLI_OK;
        }
        if (o.listPorts) {
            for (const QString& line : PortListing(o.port)) out << line << "\n";
            out.flush();
            return CLI_OK;
        }
        if (o.command.isEmpty()) throw UsageError(QStringLiteral("no command given"));
        const CliCommand* command = FindCommand(o.command);
        if (!command) throw UsageError(QStringLiteral("unknown command ") + o.command);
        if (const int rc = CheckPortOptions(o, err); rc != CLI_OK) return rc;
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
        // A restore point's ID stands for its file.
        if (command->name == QLatin1String("diff"))
            if (const int rc = CliResolvePointIds(o.args, err); rc != CLI_OK) return rc;
        CliContext cx(o, out, err, env);
        const int rc = RunCommand(*command, cx);
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
