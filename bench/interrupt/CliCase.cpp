// gascal-cli's procedures under every interruption: the command line run in
// process on the virtual clock against the simulated ECU, as its tests run
// it, with the user's Ctrl+C (SIGINT) as the Esc.
//
// A command that handles SIGINT (calibrate, upgrade) gets the signal and
// ends at its next safe point. A command that does not is ended by it on
// the spot, as the process would be: from that moment nothing more reaches
// the ECU (the run goes on in process against a line that stays silent, and
// what it says is not the tool's any more).
//
// What each command intends is what its run without interruption leaves in
// the ECU; a case's ECU must end, part by part, as before or as intended,
// and whole (as before or as intended in every part) unless the command
// said that it failed (its messages name the part).
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>
#include <map>

#include "CaseChecks.h"
#include "Injector.h"
#include "InterruptCase.h"
#include "app/gascal-cli/Cli.h"
#include "common/EventService.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {

namespace {

// A command that stores may wait the store's answer time, resends included.
const double kBoundS = 400 + StoreAnswerWaitS();
constexpr double kSettleS = 10;
constexpr double kKilledUs = 1e12;  // the line after the process ended

// One command line and the car it meets.
struct CliFlow {
    QString name;
    bool engineRunning = true;
    double warmS = 0;  // the car runs this long before the command (to be on gas)
    // Run before the command, on the same ECU (an earlier command line).
    QStringList before;
    // "FILE" is replaced by the parameter file the flow is given.
    QStringList args;
    bool needsFile = false;
    bool storedError = false;  // an error stored in the ECU before the command
};

const std::vector<CliFlow>& Flows() {
    static const std::vector<CliFlow> flows{
        {QStringLiteral("set-cli"),
         true,
         0,
         {},
         {"set", "VacuumAcqEnable=1", "SwitchRpm=2500", "ShowRpmHigh=3100"}},
        {QStringLiteral("table-write-cli"), true, 0, {}, {"write-model", "--press", "offset-up=3"}},
        {QStringLiteral("save-cli"), true, 0, {"set", "SwitchRpm=2500"}, {"save-flash"}},
        {QStringLiteral("load-cli"), false, 0, {}, {"load-params", "FILE"}, true},
        {QStringLiteral("load-gas-cli"), true, 60, {}, {"load-params", "FILE"}, true},
        {QStringLiteral("error-clear-cli"), true, 0, {}, {"clear-errors"}, false, true},
        {QStringLiteral("fuel-switch-cli"), true, 60, {}, {"fuel"}},
    };
    return flows;
}

const CliFlow* FindFlow(const QString& name) {
    for (const CliFlow& f : Flows())
        if (f.name == name) return &f;
    return nullptr;
}

sim::SimOptions Car(const CliFlow& f) {
    sim::SimOptions o;
    o.key = o.warm = true;
    o.engineRunning = f.engineRunning;
    return o;
}

int Run(const QString& install, const std::shared_ptr<sim::SimEcu>& ecu, QStringList args,
        QString* errText = nullptr) {
    QString out, err, none;
    QTextStream o(&out), e(&err), in(&none);
    CliEnvironment env;
    env.simEcu = ecu;
    env.input = &in;
    const int rc = RunCli(QStringList{"--install-dir", install, "--sim"} + args, o, e, env);
    e.flush();
    if (errText) *errText = err;
    // For a case replayed alone: what the command said.
    if (qEnvironmentVariableIsSet("GASCAL_BENCH_CLI_SAYS"))
        std::fprintf(stderr, "gascal-cli %s (exit %d):\n%s",
                     qPrintable(args.join(QLatin1Char(' '))), rc, qPrintable(err));
    return rc;
}

// The parameter file the loads are given: another car's configuration, made
// by the command line itself on a car of its own.
QByteArray OtherCarsFile() {
    static const QByteArray bytes = [] {
        QTemporaryDir dir;
        InstallInto(dir.path());
        VirtualEventService ev;
        ScopedEvents scope(ev);
        auto ecu = std::make_shared<sim::SimEcu>();
        const QString path = dir.filePath(QStringLiteral("other.var"));
        Run(dir.path(), ecu, {"set", "VacuumAcqEnable=1", "SwitchRpm=2600", "ShowRpmHigh=3200"});
        Run(dir.path(), ecu, {"write-model", "--press", "offset-up=4"});
        Run(dir.path(), ecu, {"save-params", path});
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    return bytes;
}

bool StoredError(const sim::SimEcu& ecu) {
    return ecu.ErrorFlags()[sim::kErrorItems + sim::ERR_GAS_TEMP_SENSOR] != sim::kErrNone;
}

// What gascal-cli says of a table write cut between its chunks.
const QString kNamed = QStringLiteral("may hold its old values for the entries ");

struct CliRun {
    RunShape shape;
    CaseResult result;
    CarSnapshot before, after;
    int rc = -1;
};

CliRun RunFlow(const CliFlow& f, const std::optional<CaseId>& which, const CliRun* intended) {
    CliRun out;
    CaseResult& r = out.result;
    if (which) r.id = *which;
    QTemporaryDir dir;
    InstallInto(dir.path());
    VirtualEventService ev;
    ScopedEvents scope(ev);
    auto ecu = std::make_shared<sim::SimEcu>(Car(f));
    if (f.warmS > 0) {
        ev.RunFor(f.warmS * 1e6);
        ecu->AdvanceTo(ev.MicroSeconds());
    }
    if (!f.before.isEmpty() && Run(dir.path(), ecu, f.before) != 0) {
        r.violations << QStringLiteral("setup: %1 failed").arg(f.before.join(QLatin1Char(' ')));
        return out;
    }
    if (f.storedError) {
        // A sensor fault that came and went: stored in the ECU.
        ecu->AdvanceTo(ev.MicroSeconds());
        ecu->SetFault(sim::ERR_GAS_TEMP_SENSOR, sim::kErrOpenCircuit);
        ev.RunFor(5e6);
        ecu->AdvanceTo(ev.MicroSeconds());
        ecu->SetFault(sim::ERR_GAS_TEMP_SENSOR, 0);
        ev.RunFor(5e6);
        ecu->AdvanceTo(ev.MicroSeconds());
        if (!StoredError(*ecu)) {
            r.violations << QStringLiteral("setup: no error stored");
            return out;
        }
    }
    QStringList args = f.args;
    if (f.needsFile) {
        const QString path = dir.filePath(QStringLiteral("other.var"));
        QFile file(path);
        const QByteArray bytes = OtherCarsFile();
        if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) < 0) {
            r.violations << QStringLiteral("setup: no parameter file");
            return out;
        }
        file.close();
        args.replaceInStrings(QStringLiteral("FILE"), path);
    }
    out.before = CarSnapshot::Of(*ecu);

    // Ctrl+C: the command's own handler when it has one, else the end of
    // the process.
    bool killed = false;
    double killedAtUs = 0;
    Injector injector(ev, ecu, which, [&] {
        struct sigaction now {};
        sigaction(SIGINT, nullptr, &now);
        if (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN) {
            std::raise(SIGINT);
            return;
        }
        killed = true;
        killedAtUs = ev.MicroSeconds();
        ecu->AdvanceTo(killedAtUs);
        ecu->Vanish(kKilledUs, ev.MicroSeconds());
    });
    injector.SetWhere([&] { return QStringLiteral("the command"); });
    const double t0 = ev.MicroSeconds();
    injector.Arm();
    QString said;
    out.rc = Run(dir.path(), ecu, args, &said);
    // A process ended by the signal ends there.
    const double took = (killed ? killedAtUs : ev.MicroSeconds()) - t0;
    out.shape = {injector.Exchanges(), injector.Steps()};
    ev.RunFor(kSettleS * 1e6);
    ecu->AdvanceTo(ev.MicroSeconds());
    out.after = CarSnapshot::Of(*ecu);
    r.injected = injector.Injected();
    r.at = injector.InjectedAt();
    r.outcome = killed ? QStringLiteral("ended by SIGINT") : QStringLiteral("exit %1").arg(out.rc);
    if (!intended) return out;

    const CarSnapshot& before = out.before;
    const CarSnapshot& after = out.after;
    const CarSnapshot& want = intended->after;
    CaseChecks c(before, after, r.violations);
    c.Bound(took <= kBoundS * 1e6, kBoundS, took);
    c.NoErase(*ecu);
    c.Running(*ecu);
    const bool reset = which && which->what == Interruption::EcuReset && r.injected;
    bool someWritten = false, someNot = false;
    for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table, Part::TestData}) {
        const std::vector<uint8_t> now = after.Bytes(p);
        const bool asBefore = now == before.Bytes(p), asWanted = now == want.Bytes(p);
        // The ECU loses what it was not told to store with a reset.
        CarSnapshot lost;
        lost.working = before.saved;
        const bool asStored = reset && now == lost.Bytes(p);
        // A table part new and part old is allowed when the command said
        // which entries may be old.
        const bool named = p == Part::Table && !killed && out.rc != 0 && said.contains(kNamed) &&
                           OnlyEntriesOld(said.mid(said.indexOf(kNamed)), now, want.Bytes(p));
        if (!asBefore && !asWanted && !asStored && !named)
            r.violations << QStringLiteral("invariant 1: %1 is neither as before nor as intended")
                                .arg(QLatin1String(PartName(p)));
        someWritten |= asWanted && !asBefore;
        someNot |= asBefore && !asWanted;
    }
    const std::vector<uint8_t> saved = after.Bytes(Part::SavedFlash);
    if (saved != before.Bytes(Part::SavedFlash) && saved != want.Bytes(Part::SavedFlash))
        r.violations << QStringLiteral(
            "invariant 1: the saved configuration is neither as before nor as intended");
    const bool told = !killed && out.rc != 0;
    if (someWritten && someNot && !told && !reset)
        r.violations << QStringLiteral(
            "invariant 1: part of the change is in the ECU and the command said nothing");
    // Said done: the ECU holds what was intended.
    if (!killed && out.rc == 0 && !reset) {
        for (Part p :
             {Part::Block2Config, Part::Block3, Part::Block5, Part::Table, Part::SavedFlash})
            if (after.Bytes(p) != want.Bytes(p))
                r.violations << QStringLiteral("invariant 2: exit 0, but %1 is not as intended")
                                    .arg(QLatin1String(PartName(p)));
        if (f.storedError && StoredError(*ecu))
            r.violations << QStringLiteral(
                "invariant 2: exit 0, the ECU still holds a stored error");
    }
    return out;
}

// The run without interruption, once per flow and process.
const CliRun& Intended(const CliFlow& f) {
    static std::map<QString, CliRun> runs;
    auto it = runs.find(f.name);
    if (it == runs.end()) it = runs.emplace(f.name, RunFlow(f, std::nullopt, nullptr)).first;
    return it->second;
}

Workflow CliWorkflow(const CliFlow& f) {
    const QString name = f.name;
    return {name,
            [name] {
                const CliFlow* flow = FindFlow(name);
                return Intended(*flow).shape;
            },
            [name](const CaseId& id) {
                const CliFlow* flow = FindFlow(name);
                return RunFlow(*flow, id, &Intended(*flow)).result;
            }};
}

}  // namespace

std::vector<Workflow> CliWorkflows() {
    std::vector<Workflow> all;
    for (const CliFlow& f : Flows()) all.push_back(CliWorkflow(f));
    return all;
}

}  // namespace gascal::interrupt
