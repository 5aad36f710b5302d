// gascal-cli's parameter commands: the ECU's identity, its settings by
// name and the parameter files.
#include <cmath>
#include <set>

#include "app/gascal-cli/CliCommand.h"
#include "common/Helpers.h"
#include "ecu/ConfigLoad.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/SessionFacts.h"

namespace gascal {

namespace {

// One `set` item checked against the field table.
struct SetItem {
    const CliField* field;
    double value;
};

std::vector<SetItem> ParseSetItems(const std::vector<CliField>& fields, const QStringList& args) {
    std::vector<SetItem> items;
    if (args.isEmpty()) throw UsageError(QStringLiteral("set needs FIELD=VALUE items"));
    for (const QString& a : args) {
        const int eq = a.indexOf(QLatin1Char('='));
        if (eq <= 0) throw UsageError(QStringLiteral("set: expected FIELD=VALUE, got ") + a);
        const QString name = a.left(eq).trimmed();
        const CliField* f = FindCliField(fields, name);
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

int CheckGet(CliContext& cx, const QStringList& args) {
    for (const QString& a : args)
        if (!FindCliField(cx.Fields(), a)) throw UsageError(QStringLiteral("unknown field ") + a);
    return CLI_OK;
}

int RunGet(CliContext& cx, QStringList args) {
    EcuSession& ecu = cx.Ecu();
    // A block-5 field asked for by name on a firmware without block 5 is not
    // silently left out: the script asking for it is told, and nothing is read.
    if (!ecu.HasBlock5()) {
        for (const QString& a : args) {
            const CliField* f = FindCliField(cx.Fields(), a);
            if (f && f->block == 5) {
                cx.err << "This ECU's firmware (" << EcuFirmware(ecu).version
                       << ") has no block 5: " << f->name << " cannot be read.\n";
                return CLI_USAGE;
            }
        }
    }
    if (!cx.Direct().ReadSettings()) {
        cx.err << "The ECU's settings could not be read.\n";
        return CLI_LINK;
    }
    for (const CliField& f : cx.Fields()) {
        if (f.block == 5 && !ecu.HasBlock5()) continue;
        if (!args.isEmpty()) {
            bool wanted = false;
            for (const QString& a : args) wanted |= a.compare(f.name, Qt::CaseInsensitive) == 0;
            if (!wanted) continue;
        }
        cx.PrintField(f);
    }
    return CLI_OK;
}

int CheckSet(CliContext& cx, const QStringList& argsIn) {
    QStringList args = argsIn;
    TakeFlag(args, QStringLiteral("--save"));
    ParseSetItems(cx.Fields(), args);
    return CLI_OK;
}

int RunSet(CliContext& cx, QStringList args) {
    const bool save = TakeFlag(args, QStringLiteral("--save"));
    const std::vector<SetItem> items = ParseSetItems(cx.Fields(), args);
    EcuSession& ecu = cx.Ecu();
    std::set<int> blocks;
    for (const SetItem& it : items) blocks.insert(it.field->block);
    if (blocks.count(5) && !ecu.HasBlock5()) {
        cx.err << "This ECU's firmware (" << EcuFirmware(ecu).version
               << ") has no writable block 5; nothing was changed.\n";
        return CLI_USAGE;
    }
    ParamImage& image = ecu.Image();
    image.ResetPendingEdits();
    for (const SetItem& it : items) it.field->pend(image, it.value);
    bool refused = false;
    const DirectRequests::WriteResult w = cx.Direct().WriteBlocks(blocks, [&](int block) {
        if (block != 3) return true;
        // SwitchRpm travels as a revolution period of the coil and cylinder counts.
        const SwitchRpmCheck c = CheckSwitchRpm(ecu.Image());
        refused = !c.fits;
        if (refused)
            cx.err << "SwitchRpm " << FormatCliNumber(c.rpm, 0) << " cannot be sent with "
                   << c.coils << " coils on " << c.cylinders
                   << " cylinders: the lowest switchover speed is " << FormatCliNumber(c.lowest, 0)
                   << " rpm. Nothing was changed.\n";
        return !refused;
    });
    image.ResetPendingEdits();
    if (refused) return CLI_USAGE;
    switch (w.failed) {
        case DirectRequests::WriteStep::FreshRead:
            cx.err << "Block " << w.block << " could not be read; it was not written.\n";
            return CLI_LINK;
        case DirectRequests::WriteStep::Write:
            cx.err << "Block " << w.block << " could not be written.\n";
            return CLI_LINK;
        case DirectRequests::WriteStep::ReadBack:
            cx.err << "Block " << w.block << " was written but could not be read back.\n";
            return CLI_LINK;
        case DirectRequests::WriteStep::Done:
            break;
    }
    for (const SetItem& it : items) cx.PrintField(*it.field);
    return cx.StoreOrWarn(save, "the change");
}

int CheckOneFile(const QStringList& args, const char* command) {
    if (args.size() != 1)
        throw UsageError(QStringLiteral("%1 needs one FILE").arg(QLatin1String(command)));
    return CLI_OK;
}

int RunSaveParams(CliContext& cx, QStringList args) {
    const QString path = args.first();
    if (!cx.Direct().ReadSettings() || !cx.Direct().ReadTable()) {
        cx.err << "The ECU's settings could not be read; no file was written.\n";
        return CLI_LINK;
    }
    EcuSession& ecu = cx.Ecu();
    if (!SaveParamFile(path, ecu.Image(), ecu.EcuVersion(), ecu.ProductTitle())) {
        cx.err << "The parameter file could not be written: " << path << "\n";
        return CLI_FILE;
    }
    cx.err << "Parameters saved to " << path << "\n";
    return CLI_OK;
}

int CheckLoadParams(CliContext&, const QStringList& argsIn) {
    QStringList args = argsIn;
    TakeFlag(args, QStringLiteral("--partial"));
    return CheckOneFile(args, "load-params");
}

QString Problems(const ParamLoadReport& report) {
    return ParamFileProblems(report).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

int RunLoadParams(CliContext& cx, QStringList args) {
    const bool partial = TakeFlag(args, QStringLiteral("--partial"));
    const QString path = args.first();
    if (!FileExists(path)) {
        cx.err << "The parameter file cannot be read: " << path << "\n";
        return CLI_FILE;
    }
    EcuSession& ecu = cx.Ecu();
    ParamLoadOptions opts = ecu.LoadOptions();
    opts.reportBadLines = false;
    // The file is checked before anything reaches the ECU: something that
    // is no parameter file, or a value the ECU cannot hold, is refused; a
    // partial file (parts missing, a table cut short, lines that cannot be
    // read) only when asked for, so a production line never programs half
    // a configuration by mistake.
    const ParamLoadReport check = ConfigLoad::CheckFile(path, ecu.Image(), opts);
    if (!check.fileFound) {
        cx.err << "The parameter file cannot be read: " << path << "\n";
        return CLI_FILE;
    }
    const bool refused = check.NotParameterFile() || !check.outOfRange.isEmpty();
    if (refused || (check.Partial() && !partial)) {
        cx.err << path << ":\n" << Problems(check) << "\n";
        if (!refused)
            cx.err << "The parameter file is partial; nothing was sent to the ECU (--partial "
                      "loads what it holds and keeps the ECU's own values for the rest).\n";
        else
            cx.err << ConfigLoad::RefusedText() << "\n";
        return CLI_FILE;
    }
    if (check.Partial()) {
        cx.err << path << ":\n" << Problems(check) << "\n";
        cx.err << "Loading the partial file: the ECU keeps its own values for the rest.\n";
    }
    // The image starts from the ECU's own blocks and table, as in the window,
    // so whatever the file does not hold is written back unchanged.
    if (!cx.Direct().ReadConfiguration()) {
        cx.err << "The ECU's settings could not be read; nothing was loaded.\n";
        return CLI_LINK;
    }
    ConfigLoad load(ecu.Comm(), ecu.Image(), ecu.Requests());
    ParamLoadReport report;
    const ConfigLoad::Result r = load.Attempt(path, opts, &report);
    const bool switched = load.FuelToggled() || r.fuelReturned;
    if (switched) cx.err << "The ECU runs on gas: switched to petrol while loading.\n";
    if (r.fuelNotSwitched)
        cx.err << "The ECU could not be switched to petrol; nothing was loaded.\n";
    else if (!report.fileFound)
        cx.err << "The parameter file cannot be read: " << path << "\n";
    else if (!r.notHeld.isEmpty())
        cx.err << "The ECU does not hold these parts of the file after writing and storing "
                  "them again: "
               << r.notHeld.join(QStringLiteral(", ")) << ".\n";
    else if (!r.ok && !cx.SayTableNotWhole())
        cx.err << "The configuration could not be written to the ECU completely.\n";
    // Whatever happened, a car switched for the load goes back to gas, and
    // to running on its own when it did, as it was found.
    if (load.FuelToggled() && !load.ReturnFuel())
        cx.err << "The ECU could not be switched back to gas: it is in slave mode on petrol.\n";
    else if (switched)
        cx.err << "Switched back to gas.\n";
    if (r.fuelNotSwitched) return CLI_LINK;
    if (!report.fileFound) return CLI_FILE;
    if (!r.ok) return CLI_LINK;
    cx.err << "Parameters loaded from " << path << " and saved to the ECU's flash.\n";
    return CLI_OK;
}

}  // namespace

std::vector<CliCommand> ParamCommands() {
    return {
        {"identify", AlwaysEcu, CheckNoArgs,
         [](CliContext& cx, QStringList) {
             cx.PrintIdentity();
             return int(CLI_OK);
         },
         "identify", "firmware identity of the ECU and of the file"},
        {"get", AlwaysEcu, CheckGet, RunGet, "get [FIELD...]",
         "settings of blocks 2, 3 and 5 (all, or the named)"},
        {"set", AlwaysEcu, CheckSet, RunSet, "set FIELD=VALUE... [--save]",
         "change settings (checked first; each block is read,\n"
         "written and read back); --save stores them in the\n"
         "ECU's flash, else the ECU's next reset loses them\n"
         "(said on standard error)"},
        {"save-flash", AlwaysEcu, CheckNoArgs,
         [](CliContext& cx, QStringList) { return cx.StoreInFlash(); }, "save-flash",
         "store what the ECU holds in its working memory in\n"
         "its flash (set, write-model: changes are kept over\n"
         "the ECU's next reset only once stored)"},
        {"save-params", AlwaysEcu,
         [](CliContext&, const QStringList& a) { return CheckOneFile(a, "save-params"); },
         RunSaveParams, "save-params FILE", "save the whole configuration (*.var)"},
        {"load-params", AlwaysEcu, CheckLoadParams, RunLoadParams, "load-params [--partial] FILE",
         "load a configuration into the ECU and store it in\n"
         "its flash. Checked first: a file that is not a\n"
         "parameter file, or holds a value the ECU cannot\n"
         "hold, is refused (exit 4, nothing sent); a partial\n"
         "file (sections missing, [COR] cut short, lines that\n"
         "cannot be read) is refused naming what is missing,\n"
         "unless --partial: then the ECU keeps its own\n"
         "values for what the file does not hold"},
    };
}

}  // namespace gascal
