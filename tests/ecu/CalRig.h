// A calibration rig for the tests: the tool's session, polling cycle and
// calibration as the window starts them, on the simulated car with a
// simulated fitter who follows the calibration's instructions, in virtual
// time.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "common/EventService.h"
#include "common/Prompts.h"
#include "ecu/Calibration.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimFitter.h"
#include "sim/core/SimPort.h"

namespace gascal::test {

inline void CopyInstallFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& f : QDir(from).entryList(QDir::Files))
        if (!f.startsWith(QLatin1Char('.'))) QFile::copy(from + "/" + f, to + "/" + f);
}

class CalRig {
  public:
    static sim::SimOptions Options(const sim::InjectorCurve& curve = {}) {
        sim::SimOptions o;
        o.key = o.engineRunning = o.warm = true;
        o.curve = curve;
        return o;
    }
    explicit CalRig(sim::SimOptions o = Options()) : scopeEvents(ev), scopePrompts(prompts) {
        CopyInstallFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"),
                          dir.path() + "/BIN");
        CopyInstallFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"),
                          dir.path() + "/LNG");
        ecu = std::make_shared<sim::SimEcu>(o);
        provider = std::make_unique<sim::SimUsbProvider>(ecu);
        session = std::make_unique<EcuSession>(dir.path(), provider.get());
        cycle = std::make_unique<PollingCycle>(*session);
        cal = std::make_unique<Calibration>(*session);
        cal->SetLoadingConfig([this] { return cycle->LoadingConfig(); });
        cal->SetEcuReady([this] { return cycle->Online() && !cycle->FirstRefreshPending(); });
        fitter = std::make_unique<sim::SimFitter>(ecu);
        // The fitter reads the screen after every tick.
        cal->OnChanged([this] {
            if (followInstructions)
                fitter->Follow(sim::TaskForInstruction(static_cast<int>(cal->Instruction())),
                               cal->RaisedTargetRpm());
        });
        cal->OnReportEntry([this](const QString& line) { entries << line; });
        cycle->Load();
        cycle->Start();
    }
    ~CalRig() {
        cal.reset();
        session->StopLink();
        cycle->PollTimer().SetEnabled(false);
        cycle.reset();
        session.reset();
    }

    bool GoOnline() {
        return ev.RunUntil([this] { return cycle->Online() && !cycle->FirstRefreshPending(); },
                           30e6);
    }
    void RunFor(double s) { ev.RunFor(s * 1e6); }
    bool RunUntil(const std::function<bool()>& pred, double s) {
        return ev.RunUntil(pred, s * 1e6);
    }
    bool RunToState(CalState st, double s = 600) {
        return RunUntil([&] { return cal->State() == st; }, s);
    }
    // Starts with "Yes" and runs until the result (state 20 or 21).
    bool Calibrate(double maxS = 900) {
        cal->Yes();
        return RunUntil(
                   [&] {
                       return cal->State() == CalState::End ||
                              cal->State() == CalState::EndWithLimit ||
                              cal->State() == CalState::Idle;
                   },
                   maxS) &&
               cal->State() != CalState::Idle;
    }

    // The car's petrol controller's demand, the mean of the cylinders over
    // `seconds`, after `settleS` on the fuel and task given (slave mode: the
    // fuel follows block 2 at once).
    double Demand(bool gas, sim::FitterTask task, double settleS = 20, double seconds = 5) {
        followInstructions = false;
        fitter->Follow(task, cal->RaisedTargetRpm());
        image().PendingEdits.Mem2Block.WorkMode = gas ? 3 : 0;
        DirectRequests(*session).Try([&] { return session->Requests().WriteBlock(2); });
        RunFor(settleS);
        double sum = 0;
        int n = 0;
        for (double t = 0; t < seconds; t += 0.1, ++n) {
            RunFor(0.1);
            ecu->AdvanceTo(MicroSeconds());
            const auto& s = ecu->Engine().State();
            double m = 0;
            for (int i = 0; i < 4; ++i) m += s.petrolMs[static_cast<size_t>(i)];
            sum += m / 4;
        }
        return sum / n;
    }
    // Gas minus petrol demand (ms) for a task.
    double Residual(sim::FitterTask task) {
        const double petrol = Demand(false, task);
        const double gas = Demand(true, task);
        return gas - petrol;
    }

    ParamImage& image() { return session->Image(); }
    const LineModel& model() { return session->Model().Model(); }
    double EcuEntry(int k) const {
        const double raw = ecu->Working().TableEntry(static_cast<size_t>(k));
        if (k < kCorTimeEntries) return raw * session->Image().KInj;
        if (k < kCorThousandthsEnd) return raw / 1000;
        return raw;
    }
    QString ReportPath() const { return dir.path() + "/TaraCorr.txt"; }

    QTemporaryDir dir;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> provider;
    std::unique_ptr<EcuSession> session;
    std::unique_ptr<PollingCycle> cycle;
    std::unique_ptr<Calibration> cal;
    std::unique_ptr<sim::SimFitter> fitter;
    bool followInstructions = true;
    QStringList entries;
};

}  // namespace gascal::test
