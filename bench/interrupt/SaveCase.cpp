// Saving the configuration under every interruption. The ECU holds a
// change not yet stored in its flash (a new switchover speed, written by the
// polling cycle); the fitter saves the configuration: "Save configuration"
// writes the parameter file from the image (the table of the line model as
// it is now), and the store puts the ECU's working memory into its flash
// (CMD_SAVE_FLASH, sent by the polling cycle once no write waits; a store
// the ECU did not confirm is said and dropped, as the window does). Neither
// has an Esc: the user's way out is closing the window.
//
// An ECU reset before the store loses the unstored change, as the ECU does;
// the store then stores what the ECU works with again, its old settings.
#include "PollingBench.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "ecu/ParamCompare.h"
#include "ecu/RequestScheduler.h"
#include "sim/core/SimLayout.h"

namespace gascal::interrupt {

namespace {

// The store's answer may take the slow commands' answer time, resends included.
constexpr double kGoneRunS = 240;  // how long a case with the cable gone for good is run
const double kBoundS = kGoneRunS + StoreAnswerWaitS();
constexpr double kOnlineS = 30;
constexpr double kEditS = 30;
constexpr double kSettleS = 10;
constexpr double kSwitchRpm = 2500;

using SaveRun = CaseRun;

// The saved configuration's bytes when the flash holds `config`.
std::vector<uint8_t> SavedAs(const sim::ConfigImage& config) {
    CarSnapshot s;
    s.saved = config;
    return s.Bytes(Part::SavedFlash);
}

SaveRun RunSave(const std::optional<CaseId>& which) {
    SaveRun out;
    if (which) out.result.id = *which;
    CaseResult& r = out.result;
    PollingBench b;
    if (!b.StartCase(
            which,
            [&] {
                return b.cycle->Scheduler().Pending(Request::SaveFlash)
                           ? QStringLiteral("the store asked")
                           : QStringLiteral("the store answered");
            },
            kOnlineS, r))
        return out;
    ParamImage& image = b.session->Image();
    RequestScheduler& sched = b.cycle->Scheduler();
    // The change not yet stored: written by the polling cycle as an edit.
    image.PendingEdits.Mem3Block.SwitchRpm = kSwitchRpm;
    sched.StartWriteDelay(Block::Mem3);
    const bool edited = b.ev.RunUntil(
        [&] {
            return b.ecu->Working().mem3 != b.ecu->Saved().mem3 &&
                   sched.Delays().DelayWriteMem3 < 1 && !sched.Pending(Request::WriteMem3) &&
                   !sched.Pending(Request::ReadMem3) &&
                   image.PendingEdits == ParamImage::SentinelEdits();
        },
        kEditS * 1e6);
    if (!edited) {
        r.violations << QStringLiteral("setup: the change was not written");
        return out;
    }
    std::optional<bool> stored;
    sched.OnResult([&](Request q, bool ok) {
        if (q != Request::SaveFlash || stored) return;
        stored = ok;
        // Said once and dropped, as the window does.
        if (!ok) sched.Withdraw(Request::SaveFlash);
    });

    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    const QString file = b.dir.filePath(QStringLiteral("car.var"));
    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    // "Save configuration": the file from the image, the model's table in it.
    b.session->BuildTableFromModel();
    const bool fileWritten =
        SaveParamFile(file, image, b.session->EcuVersion(), b.session->ProductTitle());
    // The store.
    sched.Post(Request::SaveFlash);
    const bool goneAsked = which && which->what == Interruption::CableGone;
    const bool ended = b.ev.RunUntil([&] { return b.closed || stored.has_value(); },
                                     (goneAsked ? kGoneRunS : kBoundS) * 1e6);
    const double took = b.ev.MicroSeconds() - t0;
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    b.ev.RunFor(kSettleS * 1e6);
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const CarSnapshot after = CarSnapshot::Of(*b.ecu);
    const bool gone = which && b.injector->Injected() && which->what == Interruption::CableGone;
    r.outcome = !ended     ? (gone ? QStringLiteral("pending, cable gone") : QStringLiteral("hung"))
                : b.closed ? QStringLiteral("closed")
                : *stored  ? QStringLiteral("stored")
                           : QStringLiteral("store failed");

    CaseChecks c(before, after, r.violations);
    // With the cable gone for good the store waits for it: no bound then.
    if (!gone) c.Bound(ended && took <= kBoundS * 1e6, kBoundS, took);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    // A reset takes the unstored change back out of the working memory.
    const bool reset = which && which->what == Interruption::EcuReset && r.injected;
    const std::vector<uint8_t> nowSaved = after.Bytes(Part::SavedFlash);
    const std::vector<uint8_t> savedBefore = before.Bytes(Part::SavedFlash),
                               workingBefore = SavedAs(before.working);
    if (!reset) {
        for (Part p : {Part::Block2Config, Part::Block3, Part::Block5, Part::Table, Part::TestData})
            c.Unchanged(p);
    } else if (AsBytes(after.working.mem3) != AsBytes(before.working.mem3) &&
               AsBytes(after.working.mem3) != AsBytes(before.saved.mem3)) {
        r.violations << QStringLiteral(
            "invariant 1: block 3 is neither the change nor what the flash held");
    }
    if (nowSaved != savedBefore && nowSaved != workingBefore)
        r.violations << QStringLiteral(
            "invariant 1: the saved configuration is neither as before nor the ECU's settings");
    // Said stored: the flash holds what the ECU works with; without a reset,
    // the change.
    if (stored.value_or(false)) {
        if (nowSaved != SavedAs(after.working))
            r.violations << QStringLiteral(
                "invariant 2: the tool says stored, the flash does not hold the ECU's settings");
        if (!reset && nowSaved != workingBefore)
            r.violations << QStringLiteral(
                "invariant 2: the tool says stored, the flash does not hold the change");
    }
    // The file holds the configuration the ECU held when it was saved.
    if (!fileWritten) {
        r.violations << QStringLiteral("invariant 2: the parameter file was not written");
    } else {
        const ParamFileRead read = ReadParamFileForCompare(file, image, b.session->LoadOptions());
        if (!read.Usable()) {
            r.violations << QStringLiteral("invariant 2: the parameter file cannot be read back");
        } else {
            const auto differs = [&](const char* what, std::vector<uint8_t> fromFile,
                                     const std::vector<uint8_t>& ecu) {
                fromFile.resize(ecu.size());
                if (fromFile != ecu)
                    r.violations << QStringLiteral("invariant 2: the file's %1 is not the ECU's")
                                        .arg(QLatin1String(what));
            };
            differs("block 3", read.image->BuildPayload(3), AsBytes(before.working.mem3));
            differs("block 5", read.image->BuildPayload(5), AsBytes(before.working.mem5));
            differs("correction table", TableBytesOf(*read.image), AsBytes(before.working.table));
        }
    }
    return out;
}

}  // namespace

Workflow SaveWorkflow() {
    return {QStringLiteral("save"), [] { return RunSave(std::nullopt).shape; },
            [](const CaseId& id) { return RunSave(id).result; }};
}

}  // namespace gascal::interrupt
