// Settings of blocks 2, 3 and 5 under every interruption: three edits as
// the Configuration tab stores them (the vacuum acquisition of block 2, the
// switchover speed of block 3, the end of the acquisition window of block
// 5), each written by the polling cycle once its write delay ran out, and
// again after a write the ECU did not take. An edit has no Esc: the user's
// way out is closing the window.
#include "PollingBench.h"
#include "data/core/ParamImage.h"
#include "ecu/RequestScheduler.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {

namespace {

constexpr double kBoundS = 240;
constexpr double kOnlineS = 30;
constexpr double kSettleS = 10;
constexpr double kSwitchRpm = 2500;
constexpr int kShowRpmHigh = 3100;

using SetRun = CaseRun;

SetRun RunSet(const std::optional<CaseId>& which) {
    SetRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    PollingBench b;
    if (!b.StartCase(
            which, [] { return QStringLiteral("the writes"); }, kOnlineS, r))
        return out;
    ParamImage& image = b.session->Image();
    RequestScheduler& sched = b.cycle->Scheduler();
    // What the ECU is to hold: the blocks as the tool builds them with the edits.
    ParamImage intended = image;
    intended.SetHost(nullptr);
    const uint8_t vacuum = image.Mem2Block.VacuumAcqEnable ? 0 : 1;
    intended.Mem2Block.VacuumAcqEnable = vacuum;
    intended.Mem3Block.SwitchRpm = kSwitchRpm;
    intended.Mem5Block.ShowRpmHigh = kShowRpmHigh;
    const std::vector<uint8_t> want2 = intended.BuildPayload(2), want3 = intended.BuildPayload(3),
                               want5 = intended.BuildPayload(5);

    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    // Each edit changes its block, or the case would prove nothing.
    if (Mem3AsConfig(want3) == AsBytes(before.working.Mem3Config()) ||
        want5 == AsBytes(before.working.mem5) ||
        want2[sim::mem2::VacuumAcqEnable] == before.working.mem2[sim::mem2::VacuumAcqEnable]) {
        r.violations << QStringLiteral("setup: an edit does not change its block");
        return out;
    }
    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    image.PendingEdits.Mem2Block.VacuumAcqEnable = vacuum;
    sched.StartWriteDelay(Block::Mem2);
    image.PendingEdits.Mem3Block.SwitchRpm = kSwitchRpm;
    sched.StartWriteDelay(Block::Mem3);
    image.PendingEdits.Mem5Block.ShowRpmHigh = kShowRpmHigh;
    sched.StartWriteDelay(Block::Mem5);
    const auto quiet = [&] {
        const WriteDelays& d = sched.Delays();
        return d.DelayWriteMem2 < 1 && d.DelayWriteMem3 < 1 && d.DelayWriteMem5 < 1 &&
               !sched.Pending(Request::WriteMem2) && !sched.Pending(Request::WriteMem3) &&
               !sched.Pending(Request::WriteMem5) &&
               image.PendingEdits == ParamImage::SentinelEdits();
    };
    const bool ended = b.ev.RunUntil([&] { return b.closed || quiet(); }, kBoundS * 1e6);
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    b.ev.RunFor(kSettleS * 1e6);
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const CarSnapshot after = CarSnapshot::Of(*b.ecu);
    const bool gone = which && b.injector->Injected() && which->what == Interruption::CableGone;
    r.outcome = !ended     ? (gone ? QStringLiteral("pending, cable gone") : QStringLiteral("hung"))
                : b.closed ? QStringLiteral("closed")
                           : QStringLiteral("written");

    CaseChecks c(before, after, r.violations);
    // With the cable gone for good the edits wait for it: no bound then.
    if (!gone) c.Bound(ended, kBoundS, b.ev.MicroSeconds() - t0);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    for (Part p : {Part::Table, Part::TestData, Part::SavedFlash}) c.Unchanged(p);
    // Each block as before or as asked, byte for byte.
    const auto check = [&](const char* name, const std::vector<uint8_t>& was,
                           const std::vector<uint8_t>& now, std::vector<uint8_t> want) {
        want.resize(now.size());
        if (now != was && now != want)
            r.violations << QStringLiteral("invariant 1: %1 is neither as before nor as asked")
                                .arg(QLatin1String(name));
        // Written and told so: the ECU holds it, unless an ECU reset took
        // the unsaved write (as the ECU does).
        const bool reset = which && which->what == Interruption::EcuReset;
        if (ended && !b.closed && !reset && now != want)
            r.violations
                << QStringLiteral(
                       "invariant 2: the tool has nothing left to write, but %1 is not as asked")
                       .arg(QLatin1String(name));
    };
    const std::vector<uint8_t> cfgWas = before.Bytes(Part::Block2Config),
                               cfgNow = after.Bytes(Part::Block2Config);
    check("block 2", cfgWas, cfgNow,
          {want2[sim::mem2::WorkMode], want2[sim::mem2::RpmCompEnable],
           want2[sim::mem2::VacuumAcqEnable]});
    check("block 3", AsBytes(before.working.Mem3Config()), AsBytes(after.working.Mem3Config()),
          Mem3AsConfig(want3));
    check("block 5", AsBytes(before.working.mem5), AsBytes(after.working.mem5), want5);
    return out;
}

}  // namespace

Workflow SetWorkflow() {
    return {QStringLiteral("set"), [] { return RunSet(std::nullopt).shape; },
            [](const CaseId& id) { return RunSet(id).result; }};
}

}  // namespace gascal::interrupt
