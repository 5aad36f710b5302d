// The automatic calibration under every interruption: the tool's session,
// polling cycle and calibration as the window starts them, on a warm idling
// car with a fitter who follows the instructions. At the result the fitter
// says "Yes" (switch to gas and end).
#include <QTemporaryDir>
#include <memory>

#include "CaseChecks.h"
#include "Injector.h"
#include "PollingBench.h"
#include "common/EventService.h"
#include "common/Prompts.h"
#include "data/core/ParamImage.h"
#include "ecu/Calibration.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimFitter.h"
#include "sim/core/SimPort.h"

namespace gascal::interrupt {

namespace {

// A calibration runs about 2,5 minutes of car time; an abort's restore
// retries for 2 minutes more.
constexpr double kBoundS = 900;
constexpr double kOnlineS = 30;
constexpr double kSettleS = 5;

// The window's bench with the calibration as the window starts it, and a
// fitter at the car.
struct CalBench : PollingBench {
    CalBench() {
        cal = std::make_unique<Calibration>(*session);
        cal->SetLoadingConfig([this] { return cycle->LoadingConfig(); });
        cal->SetEcuReady([this] { return cycle->Online() && !cycle->FirstRefreshPending(); });
        // As the window wires them: the polling cycle leaves the model to the
        // running calibration, and a close waits for its abort.
        cycle->SetCalibrationHooks(
            {[this] { return cal->Running(); }, [this] { cal->EndForClose(); }});
        fitter = std::make_unique<sim::SimFitter>(ecu);
    }
    ~CalBench() {
        // The case's interruptions reach the calibration: they go first.
        injector.reset();
        cycle->SetCalibrationHooks({});
        cal.reset();
    }

    std::unique_ptr<Calibration> cal;
    std::unique_ptr<sim::SimFitter> fitter;
};

using CalRun = CaseRun;

CalRun RunCalibration(const std::optional<CaseId>& which) {
    CalRun out;
    if (which) out.result.id = *which;
    CalBench b;
    bool follow = true;
    CalState last = CalState::Idle;
    bool started = false, reachedEnd = false, aborted = false, yesAtEnd = false;
    b.injector = std::make_unique<Injector>(
        b.ev, b.ecu, which,
        [&] {
            // Esc, and Esc again at the question.
            b.cal->Esc();
            b.cal->Esc();
        },
        [&] { follow = false; });
    b.injector->SetWhere([&] {
        return QStringLiteral("calibration state %1").arg(static_cast<int>(b.cal->State()));
    });
    b.cal->OnChanged([&] {
        if (follow)
            b.fitter->Follow(sim::TaskForInstruction(static_cast<int>(b.cal->Instruction())),
                             b.cal->RaisedTargetRpm());
        const CalState s = b.cal->State();
        if (s != last) {
            last = s;
            b.injector->StepChanged();
        }
        started |= b.cal->Running();
        reachedEnd |= s == CalState::End || s == CalState::EndWithLimit;
        aborted |= s == CalState::Abort;
    });
    if (!b.GoOnline(kOnlineS)) {
        out.result.violations << QStringLiteral("setup: the tool did not come online");
        return out;
    }
    const CarSnapshot before = CarSnapshot::Of(*b.ecu);
    const double t0 = b.ev.MicroSeconds();
    b.injector->Arm();
    b.cal->Yes();
    const bool ended = b.ev.RunUntil(
        [&] {
            const CalState s = b.cal->State();
            // The fitter says "Yes" at the result as soon as it is offered.
            if ((s == CalState::End || s == CalState::EndWithLimit) && !aborted &&
                b.cal->StartEnabled()) {
                yesAtEnd = true;
                b.cal->Yes();
            }
            return started && !b.cal->Running();
        },
        kBoundS * 1e6);
    b.ev.RunFor(kSettleS * 1e6);
    out.shape = {b.injector->Exchanges(), b.injector->Steps()};
    CaseResult& r = out.result;
    r.injected = b.injector->Injected();
    r.at = b.injector->InjectedAt();
    const bool completed = reachedEnd && yesAtEnd && !aborted;
    r.outcome = !ended      ? QStringLiteral("hung")
                : completed ? QStringLiteral("completed")
                : aborted   ? QStringLiteral("aborted")
                            : QStringLiteral("not started");

    CaseChecks c(before, CarSnapshot::Of(*b.ecu), r.violations);
    c.Bound(ended, kBoundS, b.ev.MicroSeconds() - t0);
    c.NoErase(*b.ecu);
    c.Running(*b.ecu);
    c.Unchanged(Part::Block3);
    c.Unchanged(Part::Block5);
    c.Unchanged(Part::TestData);
    if (completed) {
        // What the tool holds as written is what the ECU holds.
        // An ECU reset after the table was written loses it (the calibration
        // does not save): that is the ECU's behaviour, not the tool's fault.
        // The result is the model the calibration shows; its table is what
        // the ECU is to hold.
        ParamImage result = b.session->Image();
        result.SetHost(nullptr);
        result.CorTable = b.session->Model().Model().Table();
        c.TableIs(TableBytesOf(result), "the table of the calibration's result",
                  which && which->what == Interruption::EcuReset);
        c.Block2ConfigUnchangedButFuel();
    } else {
        const int missing = b.cal->NotRestored();
        if (missing != 0 && b.cal->NotRestoredNames().isEmpty())
            r.violations << QStringLiteral("invariant 2: parts not put back without naming them");
        if (missing != 0 && b.injector->CableBackWithin2Min())
            r.violations
                << QStringLiteral(
                       "invariant 5: the cable came back, yet the abort left %1 not put back")
                       .arg(b.cal->NotRestoredNames().join(QStringLiteral(", ")));
        if (!(missing & RestoreTable)) c.Unchanged(Part::Table);
        if (!(missing & RestoreBlock2)) c.Unchanged(Part::Block2Config);
    }
    return out;
}

}  // namespace

Workflow CalibrationWorkflow() {
    return {QStringLiteral("calibration"), [] { return RunCalibration(std::nullopt).shape; },
            [](const CaseId& id) { return RunCalibration(id).result; }};
}

}  // namespace gascal::interrupt
