// The correction table's write after a model edit under every
// interruption: the Modeling tab's OFFSET raised by three steps of a held
// button; the polling cycle builds the table from the line model once the
// write delay ran out, writes it chunk by chunk and reads it back, and
// starts again after a write the ECU did not take. An edit has no Esc: the
// user's way out is closing the window.
#include "PollingBench.h"
#include "data/core/ParamImage.h"
#include "ecu/ModelEditor.h"
#include "ecu/RequestScheduler.h"

namespace gascal::interrupt {

namespace {

constexpr double kBoundS = 240;
constexpr double kOnlineS = 30;
constexpr double kSettleS = 10;
constexpr int kRepeats = 3;

struct TableRun {
    RunShape shape;
    CaseResult result;
};

TableRun RunTableWrite(const std::optional<CaseId>& which) {
    TableRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    PollingBench b;
    if (!b.StartCase(
            which, [] { return QStringLiteral("the table write"); }, kOnlineS, r))
        return out;
    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    ModelEditor& editor = b.session->Model();
    editor.Hold(EditButton::OffsetUp, kRepeats);
    // The table the edit asks for, as the tool builds it from the model.
    ParamImage intended = b.session->Image();
    intended.SetHost(nullptr);
    editor.BuildTable(intended.CorTable);
    const std::vector<uint8_t> want = TableBytesOf(intended);
    if (want == before.Bytes(Part::Table)) {
        r.violations << QStringLiteral("setup: the edit does not change the table");
        return out;
    }
    RequestScheduler& sched = b.cycle->Scheduler();
    const bool ended = b.ev.RunUntil(
        [&] {
            return b.closed || (!editor.Held() && sched.Delays().DelayWriteCor < 1 &&
                                b.ev.MicroSeconds() - t0 > 3e6);
        },
        kBoundS * 1e6);
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    b.ev.RunFor(kSettleS * 1e6);
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const CarSnapshot after = CarSnapshot::Of(*b.ecu);
    const bool gone = which && b.injector->Injected() && which->what == Interruption::CableGone;
    const std::vector<uint8_t> now = after.Bytes(Part::Table);
    r.outcome = !ended     ? (gone ? QStringLiteral("pending, cable gone") : QStringLiteral("hung"))
                : b.closed ? QStringLiteral("closed")
                : now == want ? QStringLiteral("written")
                              : QStringLiteral("not written");

    CaseChecks c(before, after, r.violations);
    // With the cable gone for good the write waits for it: no bound then.
    if (!gone) c.Bound(ended, kBoundS, b.ev.MicroSeconds() - t0);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    for (Part p :
         {Part::Block2Config, Part::Block3, Part::Block5, Part::TestData, Part::SavedFlash})
        c.Unchanged(p);
    if (now != before.Bytes(Part::Table) && now != want)
        r.violations << QStringLiteral("invariant 1: the table is neither as before nor as edited");
    // Nothing left to write: the ECU holds the edit, unless an ECU reset
    // took the unsaved write (as the ECU does).
    const bool reset = which && which->what == Interruption::EcuReset;
    if (ended && !b.closed && !reset) c.TableIs(want, "the edited table");
    return out;
}

}  // namespace

Workflow TableWriteWorkflow() {
    return {QStringLiteral("table-write"), [] { return RunTableWrite(std::nullopt).shape; },
            [](const CaseId& id) { return RunTableWrite(id).result; }};
}

}  // namespace gascal::interrupt
