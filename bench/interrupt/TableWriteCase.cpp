// The correction table's write after a model edit under every
// interruption: the Modeling tab's OFFSET raised by three steps of a held
// button; the polling cycle builds the table from the line model once the
// write delay ran out, writes it chunk by chunk and reads it back, and
// starts again after a write the ECU did not take. An edit has no Esc: the
// user's way out is closing the window.
#include "PollingBench.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamRequests.h"
#include "ecu/ModelEditor.h"
#include "ecu/RequestScheduler.h"

namespace gascal::interrupt {

namespace {

constexpr double kBoundS = 240;
constexpr double kOnlineS = 30;
constexpr double kSettleS = 10;
constexpr int kRepeats = 3;

using TableRun = CaseRun;

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
    // A table part new and part old only where the tool says which part is
    // missing.
    const std::vector<uint8_t> old = before.Bytes(Part::Table);
    const uint8_t missing = b.session->Requests().Requests().CorChunksMissing();
    if (now != old && now != want) {
        const auto chunk = [](const std::vector<uint8_t>& t, int c) {
            return std::vector<uint8_t>(t.begin() + c * kCorChunkDataBytes,
                                        t.begin() + (c + 1) * kCorChunkDataBytes);
        };
        for (int c = 0; c < kCorChunks; ++c) {
            const bool isNew = chunk(now, c) == chunk(want, c);
            const bool isOld = chunk(now, c) == chunk(old, c);
            if (!isNew && !isOld)
                r.violations << QStringLiteral(
                                    "invariant 1: entries %1 to %2 are neither as before nor as "
                                    "edited")
                                    .arg(c * kCorChunkCount)
                                    .arg((c + 1) * kCorChunkCount - 1);
            else if (!isNew && !(missing & (1u << c)))
                r.violations << QStringLiteral(
                                    "invariant 1: entries %1 to %2 are as before, the rest as "
                                    "edited, and the tool does not say so")
                                    .arg(c * kCorChunkCount)
                                    .arg((c + 1) * kCorChunkCount - 1);
        }
    }
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
