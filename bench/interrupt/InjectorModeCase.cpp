// Injector-mode requests under every interruption: on a warm car idling on
// gas, the injector page puts injector 2 from gas (state 3) to petrol (state
// 4); the polling cycle's injector-mode sequencing stores the new state and
// the block-3 write follows its write delay, after a fresh read of the
// block. The page has no Esc of its own (closing it leaves the request to
// the main window): the user's way out is closing the main window.
//
// A request to put an injector on petrol is carried out only while the car
// runs on gas: with the key off or the engine stopped it waits, unsent,
// for the car to run on gas again.
#include "PollingBench.h"
#include "data/core/ParamImage.h"
#include "ecu/FuelSwitch.h"
#include "ecu/InjectorModes.h"
#include "ecu/RequestScheduler.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {

namespace {

constexpr double kBoundS = 240;
constexpr double kOnlineS = 30;
constexpr double kGasS = 60;  // the warm car goes to gas after its switchover delay
constexpr double kSettleS = 10;
constexpr int kInjector = 1;  // injector 2
constexpr uint8_t kOnGas = 3, kOnPetrol = 4;

using ModeRun = CaseRun;

size_t EnableOffset(int injector) {
    return sim::CylOffset(sim::mem3::InjEnable, injector, 1);
}

ModeRun RunInjectorMode(const std::optional<CaseId>& which) {
    ModeRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    PollingBench b;
    InjectorModes& modes = b.cycle->Injectors();
    if (!b.StartCase(
            which,
            [&] {
                return modes.Active() ? QStringLiteral("the request under way")
                                      : QStringLiteral("the block-3 write");
            },
            kOnlineS, r))
        return out;
    // The car on gas: the ECU drives injector 2 (state 3, its own state of
    // the moment; the flash keeps it as fitted), and the tool has read
    // block 3 with that state.
    ParamImage& image = b.session->Image();
    RequestScheduler& sched = b.cycle->Scheduler();
    const bool onGas = b.ev.RunUntil(
        [&] {
            return image.Mem2Block.Mem2Byte1 == static_cast<uint8_t>(Fuel::Gas) &&
                   image.Mem3Block.InjEnable[kInjector] == kOnGas &&
                   b.ecu->Working().mem3[EnableOffset(kInjector)] == kOnGas;
        },
        kGasS * 1e6);
    if (!onGas) {
        r.violations << QStringLiteral("setup: the car does not run on gas with injector 2 on gas");
        return out;
    }
    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    std::vector<uint8_t> want3 = AsBytes(before.working.mem3);
    want3[EnableOffset(kInjector)] = kOnPetrol;

    const auto writesQuiet = [&] {
        return sched.Delays().DelayWriteMem3 < 1 && !sched.Pending(Request::WriteMem3) &&
               image.PendingEdits == ParamImage::SentinelEdits();
    };
    // Over once the request is carried out and written, or waits for the
    // car to run on gas again, or the window is closed.
    const auto waitsForGas = [&] {
        return modes.Active() && image.Mem2Block.Mem2Byte1 != static_cast<uint8_t>(Fuel::Gas);
    };
    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    modes.Request(InjModeRequest::OneInjector, kInjector, kOnPetrol);  // the mode list
    const bool ended = b.ev.RunUntil(
        [&] { return b.closed || ((!modes.Active() || waitsForGas()) && writesQuiet()); },
        kBoundS * 1e6);
    const double took = b.ev.MicroSeconds() - t0;
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    b.ev.RunFor(kSettleS * 1e6);
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const CarSnapshot after = CarSnapshot::Of(*b.ecu);
    const std::vector<uint8_t> now3 = AsBytes(after.working.mem3);
    const bool gone = which && b.injector->Injected() && which->what == Interruption::CableGone;
    r.outcome = !ended     ? (gone ? QStringLiteral("pending, cable gone") : QStringLiteral("hung"))
                : b.closed ? QStringLiteral("closed")
                : modes.Active() ? QStringLiteral("waits for gas")
                : now3 == want3  ? QStringLiteral("written")
                                 : QStringLiteral("not written");

    CaseChecks c(before, after, r.violations);
    // With the cable gone for good the write waits for it: no bound then.
    if (!gone) c.Bound(ended && took <= kBoundS * 1e6, kBoundS, took);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    for (Part p : {Part::Block2Config, Part::Block5, Part::Table, Part::TestData, Part::SavedFlash})
        c.Unchanged(p);
    // Off gas the ECU shows every driven injector as fitted (1) by itself:
    // block 3 is then compared as a configuration.
    const bool offGas = !b.ecu->OnGas();
    const auto same = [&](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
        return offGas ? Mem3AsConfig(x) == Mem3AsConfig(y) : x == y;
    };
    if (!same(now3, AsBytes(before.working.mem3)) && !same(now3, want3))
        r.violations << QStringLiteral(
            "invariant 1: block 3 is neither as before nor with injector 2 on petrol");
    // The request done and nothing left to write: the ECU holds the new
    // state, unless an ECU reset took the unsaved write (as the ECU does).
    const bool reset = which && which->what == Interruption::EcuReset;
    if (ended && !b.closed && !modes.Active() && !reset && !same(now3, want3))
        r.violations << QStringLiteral(
            "invariant 2: the request is done and nothing is left to write, but injector 2 is "
            "not on petrol in the ECU");
    // What the tool shows, once it reads block 3 again, is what the ECU holds.
    if (!b.closed && b.cycle->Online() &&
        image.Mem3Block.InjEnable[kInjector] != now3[EnableOffset(kInjector)])
        r.violations << QStringLiteral(
                            "invariant 2: the tool shows injector 2 in state %1, the "
                            "ECU holds %2")
                            .arg(image.Mem3Block.InjEnable[kInjector])
                            .arg(now3[EnableOffset(kInjector)]);
    return out;
}

}  // namespace

Workflow InjectorModeWorkflow() {
    return {QStringLiteral("injector-mode"), [] { return RunInjectorMode(std::nullopt).shape; },
            [](const CaseId& id) { return RunInjectorMode(id).result; }};
}

}  // namespace gascal::interrupt
