// The interruption of one case, put into a run: it counts the exchanges the
// simulated ECU sees and the workflow's step changes from the moment it is
// armed, and makes its interruption at its point. Everything it does is an
// event of the virtual clock or a failure setting of the simulated ECU, so
// it also lands inside an exchange the tool is waiting for.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "InterruptCase.h"

namespace gascal {
class VirtualEventService;
namespace sim {
class SimEcu;
}
}  // namespace gascal

namespace gascal::interrupt {

class Injector {
  public:
    // `esc` is the user's Esc in this workflow; `carDisturbed` is told when
    // the key or the engine went off (the fitter stops helping).
    Injector(VirtualEventService& ev, std::shared_ptr<sim::SimEcu> ecu, std::optional<CaseId> which,
             std::function<void()> esc, std::function<void()> carDisturbed = {});
    ~Injector();
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    // From here on exchanges and steps count.
    void Arm();
    // The workflow's step changed.
    void StepChanged();

    int Exchanges() const { return exchanges_; }
    int Steps() const { return steps_; }
    bool Injected() const { return injected_; }
    // Where the workflow was when the interruption came, in its own words.
    void SetWhere(std::function<QString()> where) { where_ = std::move(where); }
    const QString& InjectedAt() const { return at_; }
    // The cable is back (or never went) by now.
    bool CableBackWithin2Min() const;

  private:
    void OnRequest();
    void Inject();
    void InjectWhenAnswerIsBack(int polls);
    void SetAnswerFault(bool on);

    VirtualEventService& ev_;
    std::shared_ptr<sim::SimEcu> ecu_;
    std::optional<CaseId> which_;
    std::function<void()> esc_, carDisturbed_;
    std::function<QString()> where_;
    QString at_;
    bool armed_ = false;
    bool injected_ = false;
    bool faultSet_ = false;
    int exchanges_ = 0;
    int steps_ = 0;
};

}  // namespace gascal::interrupt
