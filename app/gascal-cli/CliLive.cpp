// gascal-cli's live commands: the live values, the correction table, the
// fuel and the error list.
#include "app/gascal-cli/CliCommand.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/ErrorList.h"
#include "ecu/FuelSwitch.h"

namespace gascal {

namespace {

struct LiveOptions {
    bool csv = false;
    int count = 10;
};

LiveOptions ParseLive(QStringList args) {
    LiveOptions o;
    o.csv = TakeFlag(args, QStringLiteral("--csv"));
    o.count = TakeIntOption(args, QStringLiteral("--count"), 10);
    NoMoreArgs(args, QStringLiteral("live"));
    return o;
}

int RunLive(CliContext& cx, QStringList args) {
    const LiveOptions o = ParseLive(args);
    // The engine speed needs the coil and cylinder counts of block 3.
    if (!cx.Direct().ReadBlock(3)) {
        cx.err << "Block 3 could not be read.\n";
        return CLI_LINK;
    }
    const QStringList names = Mem1FieldNames();
    if (o.csv) cx.out << names.join(QLatin1Char(',')) << "\n";
    for (int n = 0; n < o.count; ++n) {
        if (!cx.Direct().ReadBlock(1)) {
            cx.err << "Block 1 could not be read.\n";
            return CLI_LINK;
        }
        const std::vector<double> values = Mem1FieldValues(cx.Ecu().Image().Mem1Block);
        QStringList cells;
        for (size_t k = 0; k < values.size(); ++k) {
            const QString v = FormatCliNumber(values[k], 3);
            cells << (o.csv ? v : names[static_cast<int>(k)] + QLatin1Char('=') + v);
        }
        cx.out << cells.join(o.csv ? QLatin1Char(',') : QLatin1Char(' ')) << "\n";
        cx.out.flush();
    }
    return CLI_OK;
}

bool ParseReadTable(QStringList args) {
    const bool csv = TakeFlag(args, QStringLiteral("--csv"));
    NoMoreArgs(args, QStringLiteral("read-table"));
    return csv;
}

int RunReadTable(CliContext& cx, QStringList args) {
    const bool csv = ParseReadTable(args);
    if (!cx.Direct().ReadTable()) {
        cx.err << "The correction table could not be read.\n";
        return CLI_LINK;
    }
    if (csv) cx.out << "Index,PetrolTimeMs,CorrectionMs\n";
    for (int k = 0; k < kCorTimeEntries; ++k) {
        const double petrol = k * 0.128;
        const double cor = cx.Ecu().Image().CorTableEcu[k];
        if (csv)
            cx.out << k << "," << FormatCliNumber(petrol, 3) << "," << FormatCliNumber(cor, 3)
                   << "\n";
        else
            cx.out << QStringLiteral("%1  %2 ms  %3 ms\n")
                          .arg(k, 3)
                          .arg(FormatCliNumber(petrol, 3), 7)
                          .arg(FormatCliNumber(cor, 3), 7);
    }
    return CLI_OK;
}

int CheckFuel(CliContext&, const QStringList& args) {
    if (args.size() > 1) throw UsageError(QStringLiteral("fuel takes gas, petrol or nothing"));
    const QString want = args.value(0).toLower();
    if (!want.isEmpty() && want != QLatin1String("gas") && want != QLatin1String("petrol"))
        throw UsageError(
            QStringLiteral("fuel: \"%1\" is neither gas nor petrol").arg(args.first()));
    return CLI_OK;
}

int RunFuel(CliContext& cx, QStringList args) {
    const QString want = args.value(0).toLower();
    EcuSession& ecu = cx.Ecu();
    if (!cx.Direct().ReadBlock(1) || !cx.Direct().ReadBlock(2)) {
        cx.err << "The ECU's state could not be read.\n";
        return CLI_LINK;
    }
    // As with the window's logo: the fuel is switched with the key on only.
    if (ecu.Image().Mem1Block.KeyOn == 0) {
        cx.err << "The ignition key is off: the fuel is not switched.\n";
        return CLI_USAGE;
    }
    FuelSwitch fuel(ecu.Requests(), ecu.Image());
    const bool ok = want.isEmpty()                 ? fuel.Toggle()
                    : want == QLatin1String("gas") ? fuel.Request(Fuel::Gas)
                                                   : fuel.Request(Fuel::Petrol);
    if (!ok) {
        cx.err << "The ECU did not take the fuel request.\n";
        return CLI_LINK;
    }
    if (!cx.Direct().ReadBlock(2)) {
        cx.err << "The fuel was asked for but block 2 could not be read back.\n";
        return CLI_LINK;
    }
    const Mem2Fields& m = ecu.Image().Mem2Block;
    cx.out << "WorkMode=" << int(m.WorkMode) << "\nMem2Byte1=" << int(m.Mem2Byte1)
           << "\nEcuMode=" << int(m.EcuMode) << "\n";
    return CLI_OK;
}

int RunErrors(CliContext& cx, QStringList) {
    // The window's reading: the items this installation does not fit (by
    // block 3) are cleared, and the list says whether an error is present.
    // Names and states are printed in the dictionary's English whatever the
    // language, so a script finds the same keys after a language switch.
    ErrorList errors(cx.Ecu());
    errors.LoadKeyDefinitions();
    if (!cx.Direct().ReadBlock(3) || !cx.Direct().Try([&] { return errors.Read(); })) {
        cx.err << "The error list could not be read.\n";
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
        cx.out << name << ": present=" << state(present) << " stored=" << state(stored) << "\n";
        ++shown;
    }
    if (shown == 0) cx.out << "No error items are defined.\n";
    cx.err << (errors.ErrorsPresent() ? "Errors are present.\n" : "No error is present.\n");
    return CLI_OK;
}

int RunClearErrors(CliContext& cx, QStringList) {
    ErrorList errors(cx.Ecu());
    if (!cx.Direct().Try([&] { return errors.Clear(); })) {
        cx.err << "The error memory could not be cleared.\n";
        return CLI_LINK;
    }
    cx.err << "The ECU's error memory was cleared.\n";
    return CLI_OK;
}

}  // namespace

std::vector<CliCommand> LiveCommands() {
    return {
        {"live", AlwaysEcu, [](CliContext&, const QStringList& a) { return ParseLive(a), 0; },
         RunLive, "live [--count N] [--csv]", "N readings of the live values (default 10)"},
        {"read-table", AlwaysEcu,
         [](CliContext&, const QStringList& a) { return ParseReadTable(a), 0; }, RunReadTable,
         "read-table [--csv]", "the ECU's correction table"},
        {"fuel", AlwaysEcu, CheckFuel, RunFuel, "fuel [gas|petrol]",
         "ask the ECU for a fuel (nothing: the other one),\n"
         "with the ignition key on, as the window's logo"},
        {"errors", AlwaysEcu, CheckNoArgs, RunErrors, "errors",
         "the ECU's error list (names and states in English)"},
        {"clear-errors", AlwaysEcu, CheckNoArgs, RunClearErrors, "clear-errors",
         "clear the ECU's error memory"},
    };
}

}  // namespace gascal
