// The tool as the main window runs it (session and polling cycle) on a warm
// idling simulated car, in virtual time: the bench of the workflows the
// window starts from a click.
#pragma once

#include <QTemporaryDir>
#include <memory>

#include "CaseChecks.h"
#include "Injector.h"
#include "common/EventService.h"
#include "common/Prompts.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"

namespace gascal::interrupt {

struct PollingBench {
    explicit PollingBench(const sim::SimOptions& o = WarmIdle())
        : scopeEvents(ev), scopePrompts(prompts) {
        InstallInto(dir.path());
        ecu = std::make_shared<sim::SimEcu>(o);
        provider = std::make_unique<sim::SimUsbProvider>(ecu);
        session = std::make_unique<EcuSession>(dir.path(), provider.get());
        cycle = std::make_unique<PollingCycle>(*session);
        cycle->Load();
        cycle->Start();
    }
    ~PollingBench() {
        injector.reset();
        session->StopLink();
        cycle->PollTimer().SetEnabled(false);
        cycle.reset();
        session.reset();
    }
    static sim::SimOptions WarmIdle() {
        sim::SimOptions o;
        o.key = o.engineRunning = o.warm = true;
        return o;
    }
    bool GoOnline(double seconds) {
        return ev.RunUntil([this] { return cycle->Online() && !cycle->FirstRefreshPending(); },
                           seconds * 1e6);
    }
    // A case of a workflow the window runs from a click: the case's
    // interruptions are put in place (the Esc of a workflow without one is
    // the window's close box, which stops the polling cycle: `closed`), and
    // the tool comes online. False, with the setup's violation, when it
    // does not.
    bool StartCase(const std::optional<CaseId>& which, std::function<QString()> where,
                   double onlineS, CaseResult& r) {
        injector = std::make_unique<Injector>(ev, ecu, which, [this] {
            closed = true;
            cycle->StopForClose();  // the close box
        });
        injector->SetWhere(std::move(where));
        if (GoOnline(onlineS)) return true;
        r.violations << QStringLiteral("setup: the tool did not come online");
        return false;
    }

    QTemporaryDir dir;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> provider;
    std::unique_ptr<EcuSession> session;
    std::unique_ptr<PollingCycle> cycle;
    std::unique_ptr<Injector> injector;
    bool closed = false;  // the window was closed (the case's Esc)
};

}  // namespace gascal::interrupt
