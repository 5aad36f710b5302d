#include "app/gascal-cli/CliHistory.h"

#include <QFileInfo>
#include <optional>
#include <vector>

#include "app/gascal-cli/Cli.h"
#include "app/gascal-cli/CliCommand.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/History.h"
#include "ecu/RestorePoints.h"

namespace gascal {

namespace {

const QString kTime = QStringLiteral("yyyy-MM-dd HH:mm:ss");

// The point taken before a command that changes the ECU.
std::optional<PointReason> CommandReason(const QString& command, const QStringList& args) {
    if (command == QLatin1String("set")) return PointReason::Set;
    if (command == QLatin1String("write-model"))
        return args.contains(QLatin1String("--reset")) ? PointReason::ModelReset
                                                       : PointReason::WriteModel;
    if (command == QLatin1String("load-params")) return PointReason::Load;
    if (command == QLatin1String("calibrate")) return PointReason::Calibration;
    return std::nullopt;
}

void PrintPoint(const RestorePoint& p, QTextStream& out, QTextStream& err) {
    if (p.damaged) {
        out << p.id << "\t-\t" << p.serial << "\tdamaged\t-\t" << p.path << "\n";
        err << p.id << " is damaged (" << p.why << "); it is never loaded.\n";
        return;
    }
    out << p.id << "\t" << p.time.toString(kTime) << "\t" << p.serial << "\t"
        << PointReasonName(p.reason) << "\t" << (p.flash ? "flash" : "unstored") << "\t" << p.path
        << "\n";
}

// The option's value, removed from the arguments; empty when absent.
QString TakeValue(QStringList& args, const QString& opt, bool* present) {
    const qsizetype i = args.indexOf(opt);
    *present = i >= 0;
    if (i < 0 || i + 1 >= args.size()) {
        if (i >= 0) args.removeAt(i);
        return {};
    }
    const QString v = args[i + 1];
    args.removeAt(i + 1);
    args.removeAt(i);
    return v;
}

struct HistoryArgs {
    bool all = false;
    std::optional<uint32_t> serial;
    QString error;
};
HistoryArgs ParseHistoryArgs(QStringList args) {
    HistoryArgs h;
    h.all = args.removeAll(QStringLiteral("--all")) > 0;
    bool present = false;
    const QString s = TakeValue(args, QStringLiteral("--serial"), &present);
    if (present) {
        bool ok = false;
        const uint32_t n = s.toUInt(&ok);
        if (!ok) h.error = QStringLiteral("--serial needs a serial number");
        h.serial = n;
    }
    if (h.error.isEmpty() && !args.isEmpty())
        h.error = QStringLiteral("history: unexpected argument ") + args.first();
    return h;
}

// The point of an ID, or the exit code with what is wrong on `err`.
std::optional<RestorePoint> LoadablePoint(const QString& id, QTextStream& err, int* rc) {
    const std::optional<RestorePoint> p = FindRestorePoint(HistoryRoot(), id);
    if (!p) {
        err << "gascal-cli: no restore point " << id << " (gascal-cli history --all lists them)\n";
        *rc = CLI_USAGE;
        return std::nullopt;
    }
    if (p->damaged) {
        err << "The restore point " << id << " is damaged (" << p->why << "); it is not loaded.\n";
        *rc = CLI_FILE;
        return std::nullopt;
    }
    *rc = CLI_OK;
    return p;
}

}  // namespace

int CliTakeCommandPoint(const QString& command, const QStringList& args, EcuSession& ecu,
                        DirectRequests& direct, QTextStream& err) {
    const std::optional<PointReason> reason = CommandReason(command, args);
    if (!direct.ReadConfiguration()) {
        if (!reason) {
            err << "The ECU's configuration could not be read: no restore point was taken.\n";
            return CLI_OK;
        }
        err << "The ECU's configuration could not be read for its restore point; nothing was "
               "changed.\n";
        return CLI_LINK;
    }
    RestorePoints points(ecu);
    QString why;
    // restore takes its own points once the fitter agreed.
    if (command == QLatin1String("restore")) return CLI_OK;
    if (!reason) {
        std::optional<RestorePoint> taken;
        if (!points.TakeIfChanged(PointReason::Connection, &why, &taken))
            err << "The ECU's configuration changed since its newest restore point, and " << why
                << "\n";
        else if (taken)
            err << "Restore point " << taken->id << " taken: the configuration changed since "
                << "the last one.\n";
        return CLI_OK;
    }
    const std::optional<RestorePoint> p = points.Take(*reason, &why);
    if (!p) {
        err << "Nothing was changed: " << why << "\n";
        return CLI_FILE;
    }
    err << "Restore point " << p->id << " taken before " << command << ".\n";
    return CLI_OK;
}

bool CliHistoryOfAll(const QStringList& args) {
    return ParseHistoryArgs(args).all;
}

bool CliHistoryWithoutEcu(const QStringList& args) {
    return ParseHistoryArgs(args).serial.has_value();
}

int CliCheckHistoryArgs(const QString& command, const QStringList& args, QTextStream& err) {
    if (command == QLatin1String("history")) {
        const HistoryArgs h = ParseHistoryArgs(args);
        if (!h.error.isEmpty()) {
            err << "gascal-cli: " << h.error << "\n(see gascal-cli --help)\n";
            return CLI_USAGE;
        }
        return CLI_OK;
    }
    if (command == QLatin1String("restore")) {
        QStringList a = args;
        a.removeAll(QStringLiteral("--yes"));
        a.removeAll(QStringLiteral("--other-ecu"));
        if (a.size() != 1 || a.first().startsWith(QLatin1String("--"))) {
            err << "gascal-cli: restore needs one ID\n(see gascal-cli --help)\n";
            return CLI_USAGE;
        }
        int rc = CLI_OK;
        LoadablePoint(a.first(), err, &rc);
        return rc;
    }
    return CLI_OK;
}

int CliHistory(QStringList args, EcuSession* ecu, QTextStream& out, QTextStream& err) {
    const HistoryArgs h = ParseHistoryArgs(args);
    const QString root = HistoryRoot();
    std::vector<uint32_t> serials;
    std::optional<uint32_t> first = h.serial;
    if (!first && ecu) first = EcuSerialNumber(ecu->Comm());
    if (first) serials.push_back(*first);
    if (h.all)
        for (uint32_t s : HistorySerials(root))
            if (!first || s != *first) serials.push_back(s);
    if (serials.empty()) {
        err << "The ECU's serial number is not known: no history to list (--serial N, --all).\n";
        return ecu ? CLI_LINK : CLI_USAGE;
    }
    int listed = 0;
    for (uint32_t s : serials)
        for (const RestorePoint& p : ListHistory(root, s)) {
            PrintPoint(p, out, err);
            ++listed;
        }
    if (listed == 0) err << "No restore points in " << root << "\n";
    return CLI_OK;
}

int CliRestore(QStringList args, EcuSession& ecu, QTextStream& err, QTextStream& in,
               const std::function<int(const QString&)>& load) {
    const bool yes = args.removeAll(QStringLiteral("--yes")) > 0;
    const bool otherEcu = args.removeAll(QStringLiteral("--other-ecu")) > 0;
    int rc = CLI_OK;
    const std::optional<RestorePoint> p = LoadablePoint(args.value(0), err, &rc);
    if (!p) return rc;
    const std::optional<uint32_t> serial = EcuSerialNumber(ecu.Comm());
    if (!serial) {
        err << "The ECU's serial number could not be read; nothing was loaded.\n";
        return CLI_LINK;
    }
    if (*serial != p->serial && !otherEcu) {
        err << "The restore point " << p->id << " was taken from the ECU with serial number "
            << p->serial << "; this one has " << *serial
            << ". Nothing was loaded (--other-ecu loads it all the same).\n";
        return CLI_OTHER_ECU;
    }
    err << "Restore point " << p->id << ": " << p->time.toString(kTime) << ", "
        << PointReasonName(p->reason) << (p->flash ? ", stored in flash" : ", not stored in flash")
        << "\n";
    if (!yes) {
        err << "Load this configuration into the ECU and store it in its flash? [y/N] ";
        err.flush();
        const QString answer = in.readLine().trimmed().toLower();
        if (answer != QLatin1String("y") && answer != QLatin1String("yes")) {
            err << "Nothing was loaded.\n";
            return CLI_OK;
        }
    }
    RestorePoints points(ecu);
    QString why;
    const std::optional<RestorePoint> before = points.Take(PointReason::Load, &why);
    if (!before) {
        err << "Nothing was loaded: " << why << "\n";
        return CLI_FILE;
    }
    err << "Restore point " << before->id << " taken before the load.\n";
    rc = load(p->path);
    if (rc != CLI_OK) return rc;
    const std::optional<RestorePoint> after = points.Take(PointReason::Restore, &why);
    if (after)
        err << "Restore point " << after->id << " records the restored configuration.\n";
    else
        err << why << "\n";
    return CLI_OK;
}

int CliResolvePointIds(QStringList& args, QTextStream& err) {
    for (QString& a : args) {
        if (QFileInfo::exists(a) || !LooksLikePointId(a)) continue;
        int rc = CLI_OK;
        const std::optional<RestorePoint> p = LoadablePoint(a, err, &rc);
        if (!p) return rc;
        a = p->path;
    }
    return CLI_OK;
}

std::vector<CliCommand> HistoryCommands() {
    std::vector<CliCommand> rows;
    CliCommand history{"history",
                       [](const QStringList& a) { return !CliHistoryWithoutEcu(a); },
                       [](CliContext& cx, const QStringList& a) {
                           return CliCheckHistoryArgs(QStringLiteral("history"), a, cx.err);
                       },
                       [](CliContext& cx, QStringList a) {
                           // With --serial the points are listed from the folder alone.
                           EcuSession* ecu = CliHistoryWithoutEcu(a) ? nullptr : &cx.Ecu();
                           return CliHistory(a, ecu, cx.out, cx.err);
                       },
                       "history [--serial N] [--all]",
                       "the restore points, newest first, one a line:\n"
                       "ID TIME SERIAL REASON FLASH FILE (tab-separated);\n"
                       "the connected ECU's, or serial number N's; --all\n"
                       "adds every other ECU's. A damaged point shows the\n"
                       "reason `damaged` and is never loaded. No ECU is\n"
                       "needed with --serial or --all",
                       {}};
    // With --all the points are listed even when no ECU answers.
    history.withoutEcu = [](CliContext& cx, const QStringList& a) {
        return CliHistoryOfAll(a) ? CliHistory(a, nullptr, cx.out, cx.err) : int(CLI_LINK);
    };
    rows.push_back(std::move(history));
    rows.push_back(CliCommand{
        "restore",
        AlwaysEcu,
        [](CliContext& cx, const QStringList& a) {
            return CliCheckHistoryArgs(QStringLiteral("restore"), a, cx.err);
        },
        [](CliContext& cx, QStringList a) {
            // The ordinary parameter-file load of the command line.
            const CliCommand* load = FindCommand(QStringLiteral("load-params"));
            return CliRestore(a, cx.Ecu(), cx.err, cx.Input(), [&cx, load](const QString& path) {
                return load->run(cx, QStringList{path});
            });
        },
        "restore ID [--yes] [--other-ecu]",
        "load a restore point into the ECU and store it in\n"
        "its flash (asks first, unless --yes); a point of\n"
        "another ECU's serial number is refused (exit 8)\n"
        "unless --other-ecu. Exit 2 for an unknown ID, 4 for\n"
        "a damaged point. diff takes a point's ID wherever\n"
        "it takes a FILE",
        {}});
    return rows;
}

}  // namespace gascal
