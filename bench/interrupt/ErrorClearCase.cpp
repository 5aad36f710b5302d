// Error clearing under every interruption: a sensor fault that came and went
// left an error stored in the ECU; the error window's clear button sends
// CMD_CANC_ERR. The button is one click with no Esc of its own: the user's
// way out is closing the main window, which stops the link.
#include "PollingBench.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {

namespace {

constexpr double kBoundS = 120;
constexpr double kOnlineS = 30;
constexpr double kFaultS = 5;
constexpr double kSettleS = 10;
constexpr int kFaultItem = sim::ERR_GAS_TEMP_SENSOR;

using ClearRun = CaseRun;

// The fault that came and went is still in the ECU's error memory (the
// items of injectors not fitted are stored as "not available", no error).
bool AnyStored(const sim::SimEcu& ecu) {
    return ecu.ErrorFlags()[sim::kErrorItems + kFaultItem] != sim::kErrNone;
}

ClearRun RunErrorClear(const std::optional<CaseId>& which) {
    ClearRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    PollingBench b;
    if (!b.StartCase(
            which, [] { return QStringLiteral("the clear"); }, kOnlineS, r))
        return out;
    // A sensor fault comes and goes: the ECU keeps it stored.
    b.ecu->AdvanceTo(b.ev.MicroSeconds());
    b.ecu->SetFault(kFaultItem, sim::kErrOpenCircuit);
    b.ev.RunFor(kFaultS * 1e6);
    b.ecu->AdvanceTo(b.ev.MicroSeconds());
    b.ecu->SetFault(kFaultItem, 0);
    b.ev.RunFor(kFaultS * 1e6);
    if (!AnyStored(*b.ecu)) {
        r.violations << QStringLiteral("setup: no error stored");
        return out;
    }
    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    const double t0 = b.ev.MicroSeconds();
    std::optional<bool> cleared;
    b.injector->Arm();
    // The button, as the window's click handler runs it between two ticks.
    b.ev.Post(t0, [&] { cleared = b.cycle->Errors().Clear(); });
    const bool ended =
        b.ev.RunUntil([&] { return cleared.has_value() || b.closed; }, kBoundS * 1e6);
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    b.ev.RunFor(kSettleS * 1e6);
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const bool stored = AnyStored(*b.ecu);
    r.outcome = !ended                 ? QStringLiteral("hung")
                : !cleared.has_value() ? QStringLiteral("closed")
                : *cleared             ? QStringLiteral("cleared")
                                       : QStringLiteral("failed");

    CaseChecks c(before, CarSnapshot::Of(*b.ecu), r.violations);
    c.Bound(ended, kBoundS, b.ev.MicroSeconds() - t0);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table, Part::TestData,
                   Part::SavedFlash})
        c.Unchanged(p);
    // Said cleared: the ECU holds no stored error (an ECU reset keeps its
    // error memory, so a reset is no excuse).
    if (cleared.value_or(false) && stored)
        r.violations << QStringLiteral(
            "invariant 2: the tool says cleared, the ECU still holds a stored error");
    if (cleared.value_or(false) && b.cycle->Errors().ErrorsPresent())
        r.violations << QStringLiteral("invariant 2: cleared, yet the tool shows errors present");
    return out;
}

}  // namespace

Workflow ErrorClearWorkflow() {
    return {QStringLiteral("error-clear"), [] { return RunErrorClear(std::nullopt).shape; },
            [](const CaseId& id) { return RunErrorClear(id).result; }};
}

}  // namespace gascal::interrupt
