// Loading a parameter file under every interruption, in three variants:
//   load          the link online, the key on and the engine stopped;
//   load-offline  the file chosen while the link is stopped (its values go
//                 into the image only), then the link taken online again and
//                 "Yes" said to writing it;
//   load-gas      the car idling on gas: put in slave mode and switched to
//                 petrol for the load, then back to gas and running on its
//                 own before the configuration is stored.
// The file is the car's own configuration with changes in blocks 2 (vacuum
// acquisition), 3 (injector 2's gas time trim), 5 (end of the
// acquisition window) and the correction table (every entry raised). The
// polling cycle loads it in its next 5-tick slot and tries again after a
// load that failed. The load has no Esc: the user's way out is closing the
// window, which stops the link; the rest of the file then goes into the
// image only, and the window says that the file's values are not all in
// the ECU.
#include "PollingBench.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "ecu/ConfigLoad.h"
#include "ecu/FuelSwitch.h"
#include "ecu/ParamCompare.h"
#include "ecu/RequestBridge.h"
#include "link/core/LinkSupervisor.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {

namespace {

enum class LoadVariant { Online, Offline, OnGas };

// The store's answer may take the slow commands' answer time, resends included.
constexpr double kGoneRunS = 300;  // how long a case with the cable gone for good is run
const double kBoundS = kGoneRunS + StoreAnswerWaitS();
constexpr double kOnlineS = 30;
constexpr double kGasS = 60;
constexpr double kSettleS = 10;
constexpr double kTrimMs = 0.08;  // injector 2's gas time trim
constexpr int kShowRpmHigh = 3200;
constexpr double kTableRaiseMs = 0.05;

using LoadRun = CaseRun;

sim::SimOptions CarFor(LoadVariant v) {
    sim::SimOptions o = PollingBench::WarmIdle();
    // Online and offline the car stands, key on: it runs on nothing but its
    // own settings.
    if (v != LoadVariant::OnGas) o.engineRunning = false;
    return o;
}

// The configuration the file carries, from the car's own as the tool read it.
bool WriteFile(const QString& path, const ParamImage& image, int version, const QString& title) {
    ParamImage file = image;
    file.SetHost(nullptr);
    file.ResetPendingEdits();
    file.Mem2Block.VacuumAcqEnable = image.Mem2Block.VacuumAcqEnable ? 0 : 1;
    file.Mem3Block.InjTrim[1] = image.Mem3Block.InjTrim[1] + kTrimMs;
    file.Mem5Block.ShowRpmHigh = kShowRpmHigh;
    file.CorTable = image.CorTableEcu;
    for (int k = 0; k < kCorTimeEntries; ++k) file.CorTable[k] += kTableRaiseMs;
    return SaveParamFile(path, file, version, title);
}

QString LoadState(PollingCycle& cycle) {
    if (!cycle.OfflineFile().isEmpty()) return QStringLiteral("the file in the image only");
    if (cycle.LoadingConfig()) return QStringLiteral("the load under way");
    if (!cycle.ConfigFileToLoad().isEmpty()) return QStringLiteral("the file to load");
    if (cycle.ConfigLoader().FuelToggled()) return QStringLiteral("the car to go back to gas");
    return QStringLiteral("the load done");
}

LoadRun RunLoad(LoadVariant variant, const std::optional<CaseId>& which) {
    LoadRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    PollingBench b(CarFor(variant));
    PollingCycle& cycle = *b.cycle;
    ParamImage& image = b.session->Image();
    if (!b.StartCase(
            which, [&] { return LoadState(cycle); }, kOnlineS, r))
        return out;
    if (variant == LoadVariant::OnGas &&
        !b.ev.RunUntil([&] { return image.Mem2Block.Mem2Byte1 == static_cast<uint8_t>(Fuel::Gas); },
                       kGasS * 1e6)) {
        r.violations << QStringLiteral("setup: the car does not run on gas");
        return out;
    }
    const QString file = b.dir.filePath(QStringLiteral("other.var"));
    if (!WriteFile(file, image, b.session->EcuVersion(), b.session->ProductTitle())) {
        r.violations << QStringLiteral("setup: the file was not written");
        return out;
    }
    // What the ECU is to hold: the file applied to the car's configuration
    // as a load applies it.
    const ParamFileRead read = ReadParamFileForCompare(file, image, b.session->LoadOptions());
    if (!read.Usable()) {
        r.violations << QStringLiteral("setup: the file cannot be read");
        return out;
    }
    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    sim::ConfigImage intended = before.working;
    {
        const std::vector<uint8_t> p2 = read.image->BuildPayload(2),
                                   p3 = read.image->BuildPayload(3),
                                   p5 = read.image->BuildPayload(5),
                                   table = TableBytesOf(*read.image);
        intended.mem2[sim::mem2::RpmCompEnable] = p2[sim::mem2::RpmCompEnable];
        intended.mem2[sim::mem2::VacuumAcqEnable] = p2[sim::mem2::VacuumAcqEnable];
        std::copy_n(p3.begin(), intended.mem3.size(), intended.mem3.begin());
        std::copy_n(p5.begin(), std::min(p5.size(), intended.mem5.size()), intended.mem5.begin());
        std::copy_n(table.begin(), intended.table.size(), intended.table.begin());
    }
    CarSnapshot want;
    want.working = want.saved = intended;
    for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table})
        if (want.Bytes(p) == before.Bytes(p)) {
            r.violations << QStringLiteral("setup: the file does not change %1")
                                .arg(QLatin1String(PartName(p)));
            return out;
        }
    const bool onGasBefore = b.ecu->OnGas();

    std::optional<ConfigLoad::Result> last;
    bool loadedOk = false;
    cycle.OnConfigLoaded([&](const QString&, const ConfigLoad::Result& res) {
        last = res;
        loadedOk |= res.ok;
    });
    if (variant == LoadVariant::Offline) {
        // The link stopped; the file into the image only.
        b.session->Supervisor().OfflineChosen();
        if (!b.ev.RunUntil([&] { return b.session->LinkStopped(); }, 5e6)) {
            r.violations << QStringLiteral("setup: the link did not stop");
            return out;
        }
        cycle.LoadConfigFileLater(file);
        if (!b.ev.RunUntil([&] { return !cycle.OfflineFile().isEmpty(); }, 5e6)) {
            r.violations << QStringLiteral("setup: the file did not go into the image");
            return out;
        }
        // "Yes" to writing it once the ECU is back.
        for (int i = 0; i < 3; ++i) b.prompts.answers.push_back(BoxResult::Yes);
    }

    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    if (variant == LoadVariant::Offline)
        b.session->Supervisor().PortItemChosen(0);  // the cable's entry: online again
    else
        cycle.LoadConfigFileLater(file);  // "Load configuration"
    const auto over = [&] {
        return cycle.ConfigFileToLoad().isEmpty() && cycle.OfflineFile().isEmpty() &&
               !cycle.LoadingConfig() && !cycle.ConfigLoader().FuelToggled() && loadedOk;
    };
    // With the cable gone for good the file waits for it: no bound, so the
    // case is run for a while only.
    const bool goneAsked = which && which->what == Interruption::CableGone;
    const bool ended =
        b.ev.RunUntil([&] { return b.closed || over(); }, (goneAsked ? kGoneRunS : kBoundS) * 1e6);
    const double took = b.ev.MicroSeconds() - t0;
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    b.ev.RunFor(kSettleS * 1e6);
    // A car switched for the load is back on gas within its switchover delay.
    if (variant == LoadVariant::OnGas && !b.closed) b.ev.RunFor(kGasS * 1e6);
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const CarSnapshot after = CarSnapshot::Of(*b.ecu);
    const bool gone = which && b.injector->Injected() && which->what == Interruption::CableGone;
    const bool reset = which && which->what == Interruption::EcuReset && r.injected;
    r.outcome = !ended     ? (gone ? QStringLiteral("pending, cable gone") : QStringLiteral("hung"))
                : b.closed ? (cycle.OfflineFile().isEmpty()
                                  ? QStringLiteral("closed")
                                  : QStringLiteral("closed, the file's values not all in the ECU"))
                           : QStringLiteral("loaded");

    CaseChecks c(before, after, r.violations);
    // With the cable gone for good the file waits for it: no bound then.
    if (!gone) c.Bound(ended && took <= kBoundS * 1e6, kBoundS, took);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    c.Unchanged(Part::TestData);
    // The car is asked for the fuel it was found on, in flash as well. With
    // the cable gone for good in the middle of a load on gas, the car stays
    // as the load left it (switched to petrol, in its working memory only)
    // until the cable is back; the window shows the link lost.
    const bool unreachable = gone && !ended;
    if (!unreachable &&
        after.working.mem2[sim::mem2::WorkMode] != before.working.mem2[sim::mem2::WorkMode])
        r.violations << QStringLiteral("invariant 3: block 2 asks for fuel %1, it was found on %2")
                            .arg(after.working.mem2[sim::mem2::WorkMode])
                            .arg(before.working.mem2[sim::mem2::WorkMode]);
    if (after.saved.mem2[sim::mem2::WorkMode] != before.saved.mem2[sim::mem2::WorkMode])
        r.violations << QStringLiteral("invariant 3: the flash asks for fuel %1, it held %2")
                            .arg(after.saved.mem2[sim::mem2::WorkMode])
                            .arg(before.saved.mem2[sim::mem2::WorkMode]);
    // (With the key off or the engine stopped no car runs on gas.)
    const bool carStopped =
        which && r.injected &&
        (which->what == Interruption::KeyOff || which->what == Interruption::EngineStop);
    if (onGasBefore && !b.closed && !carStopped && !unreachable && !b.ecu->OnGas())
        r.violations << QStringLiteral(
                            "invariant 3: the car no longer runs on gas (block 2 asks for %1, "
                            "the tool shows %2)")
                            .arg(after.working.mem2[sim::mem2::WorkMode])
                            .arg(image.Mem2Block.Mem2Byte1);
    // Each part as before or as the file has it; the flash likewise, whole.
    // A part left as before is said when the window closes with the file
    // not all written (its values stay shown as the file's).
    const bool toldNotAll = b.closed && !cycle.OfflineFile().isEmpty();
    for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table}) {
        std::vector<uint8_t> now = after.Bytes(p);
        if (unreachable && p == Part::Block2Config) now[0] = before.Bytes(p)[0];  // the fuel
        // A table part new and part old is allowed when the tool names the
        // entries it may hold old (the status bar shows them).
        const bool named =
            p == Part::Table && OnlyEntriesOld(b.session->Requests().Requests().CorMissingEntries(),
                                               now, want.Bytes(p));
        if (now != before.Bytes(p) && now != want.Bytes(p) && !named)
            r.violations << QStringLiteral("invariant 1: %1 is neither as before nor the file's")
                                .arg(QLatin1String(PartName(p)));
    }
    const std::vector<uint8_t> saved = after.Bytes(Part::SavedFlash);
    if (saved != before.Bytes(Part::SavedFlash) && saved != want.Bytes(Part::SavedFlash))
        r.violations << QStringLiteral(
            "invariant 1: the saved configuration is neither as before nor the file's");
    // Said loaded: the ECU holds the file and has it stored.
    if (loadedOk && saved != want.Bytes(Part::SavedFlash))
        r.violations << QStringLiteral(
            "invariant 2: the load says done, the flash does not hold the file");
    if (loadedOk && !reset)
        for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table})
            if (after.Bytes(p) != want.Bytes(p))
                r.violations << QStringLiteral(
                                    "invariant 2: the load says done, %1 is not the file's")
                                    .arg(QLatin1String(PartName(p)));
    // Closed in the middle with part of the file written: the window says
    // that the file's values are not all in the ECU.
    if (b.closed && !loadedOk && !toldNotAll) {
        bool someWritten = false, someNot = false;
        for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table}) {
            someWritten |= after.Bytes(p) == want.Bytes(p);
            someNot |= after.Bytes(p) != want.Bytes(p);
        }
        if (someWritten && someNot)
            r.violations << QStringLiteral(
                "invariant 1: closed with part of the file written and nothing said");
    }
    return out;
}

}  // namespace

Workflow LoadWorkflow() {
    return {QStringLiteral("load"), [] { return RunLoad(LoadVariant::Online, std::nullopt).shape; },
            [](const CaseId& id) { return RunLoad(LoadVariant::Online, id).result; }};
}

Workflow LoadOfflineWorkflow() {
    return {QStringLiteral("load-offline"),
            [] { return RunLoad(LoadVariant::Offline, std::nullopt).shape; },
            [](const CaseId& id) { return RunLoad(LoadVariant::Offline, id).result; }};
}

Workflow LoadGasWorkflow() {
    return {QStringLiteral("load-gas"),
            [] { return RunLoad(LoadVariant::OnGas, std::nullopt).shape; },
            [](const CaseId& id) { return RunLoad(LoadVariant::OnGas, id).result; }};
}

}  // namespace gascal::interrupt
