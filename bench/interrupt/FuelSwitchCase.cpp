// The fuel switch under every interruption: the main window's logo clicked
// on a warm idling car, asking for the other fuel than block 2 asks for; the polling
// cycle carries it out (block 2 written, read back every 0,5 s until the
// ECU asks for gas). The fuel switch has no Esc of its own: the user's way
// out is closing the window, which stops the link.
#include "PollingBench.h"
#include "common/EventService.h"
#include "common/Prompts.h"
#include "data/core/ParamImage.h"
#include "ecu/EcuSession.h"
#include "ecu/FuelSwitch.h"
#include "ecu/PollingCycle.h"
#include "link/core/ClsComm.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimLayout.h"
#include "sim/core/SimPort.h"

namespace gascal::interrupt {

namespace {

// 20 read-backs 0,5 s apart, each behind the link's resends when the ECU is
// silent; then the polling cycle reads block 2 again.
constexpr double kBoundS = 300;
constexpr double kOnlineS = 30;
constexpr double kSettleS = 10;

using FuelRun = CaseRun;

FuelRun RunFuelSwitch(const std::optional<CaseId>& which) {
    FuelRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    PollingBench b;
    if (!b.StartCase(
            which,
            [&] {
                return b.cycle->FuelChangeRequested()
                           ? QStringLiteral("the fuel change asked")
                           : QStringLiteral("the fuel change under way or done");
            },
            kOnlineS, r))
        return out;
    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    const uint8_t fuelBefore = before.working.mem2[sim::mem2::WorkMode];
    // The logo asks for the other fuel.
    const uint8_t fuelAsked = static_cast<uint8_t>(
        fuelBefore == static_cast<uint8_t>(Fuel::Gas) ? Fuel::Petrol : Fuel::Gas);
    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    b.cycle->RequestFuelChange();  // the logo
    // Over once the polling cycle carried the change out (its read-backs
    // last up to 10 s), or the window is closed.
    const bool ended = b.ev.RunUntil(
        [&] {
            return b.closed || (!b.cycle->FuelChangeRequested() && b.ev.MicroSeconds() - t0 > 11e6);
        },
        kBoundS * 1e6);
    // The points are those of the switch itself, not of the polling after it.
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    b.ev.RunFor(kSettleS * 1e6);
    // Then the link is given time to come back and read block 2 again.
    if (!b.closed)
        b.ev.RunUntil([&] { return b.cycle->Online() && !b.cycle->FirstRefreshPending(); }, 150e6);
    b.ev.RunFor(kSettleS * 1e6);
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const CarSnapshot after = CarSnapshot::Of(*b.ecu);
    const uint8_t fuelAfter = after.working.mem2[sim::mem2::WorkMode];
    r.outcome = !ended                    ? QStringLiteral("hung")
                : fuelAfter == fuelAsked  ? QStringLiteral("switched")
                : fuelAfter == fuelBefore ? QStringLiteral("as before")
                                          : QStringLiteral("other");

    CaseChecks c(before, after, r.violations);
    c.Bound(ended, kBoundS, b.ev.MicroSeconds() - t0);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    for (Part p : {Part::Block3, Part::Block5, Part::Table, Part::TestData, Part::SavedFlash})
        c.Unchanged(p);
    c.Block2ConfigUnchangedButFuel();
    if (fuelAfter != fuelBefore && fuelAfter != fuelAsked)
        r.violations << QStringLiteral(
                            "invariant 1: block 2 asks for fuel %1, neither the one before nor the "
                            "one asked")
                            .arg(fuelAfter);
    // What the tool shows, once it reads block 2 again, is what the ECU asks for.
    if (!b.closed && b.cycle->Online() && b.session->Image().Mem2Block.WorkMode != fuelAfter)
        r.violations << QStringLiteral("invariant 2: the tool shows fuel %1, the ECU asks for %2")
                            .arg(b.session->Image().Mem2Block.WorkMode)
                            .arg(fuelAfter);
    return out;
}

}  // namespace

Workflow FuelSwitchWorkflow() {
    return {QStringLiteral("fuel-switch"), [] { return RunFuelSwitch(std::nullopt).shape; },
            [](const CaseId& id) { return RunFuelSwitch(id).result; }};
}

}  // namespace gascal::interrupt
