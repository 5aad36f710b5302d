// gascal-cli's map commands: the injection map with its targets, and the
// line model fitted to them.
#include "app/gascal-cli/CliCommand.h"
#include "common/Helpers.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/InjectionMap.h"
#include "ecu/ModelFit.h"

namespace gascal {

namespace {

struct MapOptions {
    QString file, save;
    bool csv = false;
    bool clear = false;
    MapFuel clearFuel = MapFuel::Petrol;
};

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

// A map file named on the command line is looked at before the ECU is.
int CheckMapFile(CliContext& cx, const QString& file) {
    if (file.isEmpty() || FileExists(file)) return CLI_OK;
    cx.err << "The map file cannot be read: " << file << "\n";
    return CLI_FILE;
}

// The operating points of both fuels, from a map file or from the ECU, and
// the ECU's correction table.
int ReadMapAndTable(CliContext& cx, InjectionMap& map, const QString& file) {
    if (!file.isEmpty()) {
        if (!map.Open(file)) {
            cx.err << "The map file cannot be read: " << file << "\n";
            return CLI_FILE;
        }
    } else if (!cx.Direct().ReadSamples(MapFuel::Petrol) ||
               !cx.Direct().ReadSamples(MapFuel::Gas)) {
        cx.err << "The ECU's samples could not be read.\n";
        return CLI_LINK;
    }
    if (!cx.Direct().ReadTable()) {
        cx.err << "The correction table could not be read.\n";
        return CLI_LINK;
    }
    return CLI_OK;
}

int RunMap(CliContext& cx, QStringList args) {
    const MapOptions o = ParseMapOptions(args);
    InjectionMap& map = cx.Ecu().Map();
    if (o.clear && !cx.Direct().ClearSamples(o.clearFuel)) {
        cx.err << "The ECU did not clear its " << (o.clearFuel == MapFuel::Gas ? "gas" : "petrol")
               << " samples.\n";
        return CLI_LINK;
    }
    // The targets are placed with the table the ECU works with.
    if (const int rc = ReadMapAndTable(cx, map, o.file); rc != CLI_OK) return rc;
    const MapStepResult step = map.Step(true, false, false, cx.Ecu().Image().CorTable);
    if (!o.save.isEmpty() && !map.Save(o.save)) {
        cx.err << "The map file could not be written: " << o.save << "\n";
        return CLI_FILE;
    }
    QTextStream& out = cx.out;
    const QString sep = o.csv ? QStringLiteral(",") : QStringLiteral(" ");
    if (o.csv) out << "Kind,Fuel,PressureMbar,TimeMs,GasTimeMs\n";
    auto points = [&](const char* kind, const MapPoints& p) {
        for (MapFuel fuel : {MapFuel::Petrol, MapFuel::Gas}) {
            const char* name = fuel == MapFuel::Gas ? "gas" : "petrol";
            for (size_t i = 0; i < kMapPoints; ++i) {
                const double pressure = p.Pressure(fuel)[i], time = p.Time(fuel)[i];
                if (pressure == 0 && time == 0) continue;
                out << kind << sep << name << sep << FormatCliNumber(pressure, 1) << sep
                    << Ms3(time);
                out << (o.csv ? ",\n" : "\n");
            }
        }
    };
    points("mapped", map.Mapped());
    points("selected", map.Selected());
    for (const TargetMarker& t : map.Targets()) {
        if (o.csv)
            out << "target,," << FormatCliNumber(t.pressure, 1) << "," << Ms3(t.petrolMs) << ","
                << Ms3(t.gasMs) << "\n";
        else
            out << "target " << Ms3(t.petrolMs) << " " << Ms3(t.gasMs) << "\n";
    }
    cx.err << step.matches << " petrol point(s) with a gas point at the same pressure.\n";
    if (!o.save.isEmpty()) cx.err << "Map saved to " << o.save << "\n";
    return CLI_OK;
}

int RunFit(CliContext& cx, QStringList args) {
    const FitOptions o = ParseFitOptions(args);
    EcuSession& ecu = cx.Ecu();
    InjectionMap& map = ecu.Map();
    // The targets are placed with the table the ECU works with, and the fit
    // starts from the model of that table.
    if (const int rc = ReadMapAndTable(cx, map, o.file); rc != CLI_OK) return rc;
    ecu.RebuildModelFromTable();
    map.Step(true, false, false, ecu.Image().CorTable);
    const std::vector<FitTarget> targets = FitTargets(map.Targets());
    ModelEditor& editor = ecu.Model();
    const LineModel current = editor.Model();
    const FitResult r = FitModel(current, targets, FitLimitsOf(ecu.Scale()));

    bool written = false;
    if (!o.dryRun && r.outcome != FitOutcome::Nothing && r.Changed(current)) {
        editor.Apply(r.model);
        ecu.BuildTableFromModel();
        if (!cx.Direct().Try([&] { return ecu.Requests().WriteCorTable(); })) {
            cx.err << "The correction table could not be written; the ECU keeps its own.\n";
            return CLI_LINK;
        }
        written = true;
    }
    // The model as `model` would read it now.
    if (written)
        cx.PrintHeldModel(r.model);
    else
        cx.PrintModel(r.model);
    for (size_t i = 0; i < targets.size(); ++i)
        cx.out << "target " << Ms3(targets[i].petrolMs) << " " << Ms3(targets[i].gasMs) << " "
               << Ms3(r.modelGasMs[i]) << "\n";
    cx.out << "fit before=" << Ms3(r.before.largest) << "/" << Ms3(r.before.mean)
           << " after=" << Ms3(r.after.largest) << "/" << Ms3(r.after.mean) << "\n";

    QTextStream& err = cx.err;
    if (r.outcome == FitOutcome::Nothing) {
        err << "No petrol point has a gas point at its pressure: nothing to fit.\n";
        return CLI_NOTHING_TO_FIT;
    }
    if (r.outcome == FitOutcome::OffsetOnly)
        err << "All targets lie at one petrol time: only OFFSET was fitted.\n";
    if (r.alfaLimited)
        err << "The targets ask for an ALFA beyond the configuration's limits; ALFA is held "
               "there.\n";
    if (r.offsetLimited)
        err << "The targets ask for an OFFSET beyond the configuration's limits; OFFSET is held "
               "there.\n";
    if (written)
        err << "Correction table written.\n";
    else if (o.dryRun)
        err << "Dry run: nothing was written.\n";
    else
        err << "The model already fits: nothing was written.\n";
    if (o.dryRun) return CLI_OK;
    // The table is in the ECU's working memory: stored when asked for.
    return cx.StoreOrWarn(o.save, "the table");
}

}  // namespace

std::vector<CliCommand> MapCommands() {
    return {
        {"map", AlwaysEcu,
         [](CliContext& cx, const QStringList& a) {
             return CheckMapFile(cx, ParseMapOptions(a).file);
         },
         RunMap, "map [--file F.map] [--clear petrol|gas] [--save F.map] [--csv]",
         "the injection map: both fuels' operating points\n"
         "from the ECU (or from a map file), one line per\n"
         "point: mapped|selected petrol|gas PRESSURE TIME,\n"
         "then target PETROL_TIME GAS_TIME for every petrol\n"
         "point with a gas point at its pressure (with the\n"
         "ECU's table); --clear makes the ECU forget that\n"
         "fuel's points first; --save writes a map file;\n"
         "--csv: Kind,Fuel,PressureMbar,TimeMs,GasTimeMs"},
        {"fit", AlwaysEcu,
         [](CliContext& cx, const QStringList& a) {
             return CheckMapFile(cx, ParseFitOptions(a).file);
         },
         RunFit, "fit [--map F.map] [--dry-run] [--save]",
         "fit the line model to the map's targets: the\n"
         "ECU's samples (or a map file) and table, ALFA,\n"
         "OFFSET and the points in the targets' range moved\n"
         "on the Modeling tab's steps within every limit\n"
         "(least squares). Prints the model as `model`,\n"
         "target PETROL_TIME TARGET_GAS_TIME MODEL_GAS_TIME\n"
         "per target and fit before=MAX/MEAN after=MAX/MEAN\n"
         "(ms); writes the table unless --dry-run; --save\n"
         "stores it in the ECU's flash. Exit 9 when there\n"
         "is nothing to fit"},
    };
}

}  // namespace gascal
