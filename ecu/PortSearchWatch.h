// When a whole search of the ports found no ECU, the window says so once per
// search: which ports were tried, why each one failed (no device, permission
// denied, busy, no answer) and how to fix a missing permission. On a first
// start (the user has no port settings yet) it then offers to try the
// simulated ECU, and changes to it only when the user says yes. The search
// goes on meanwhile. Texts come from the dictionary's "[Ports]" section.
#pragma once

#include <functional>

namespace gascal {

class EcuSession;

class PortSearchWatch {
  public:
    // The session's link must have read its settings file: a search that
    // starts without one is a first start.
    explicit PortSearchWatch(EcuSession& session);

    // How the simulated ECU is put in front of the USB devices when the user
    // takes the offer; the watch then moves the link to it. Without it
    // nothing is offered.
    void SetSimulatorStarter(std::function<void()> start) { startSimulator_ = std::move(start); }
    bool FirstStart() const { return firstStart_; }

    // One call per polling tick.
    void Check();

  private:
    EcuSession& session_;
    std::function<void()> startSimulator_;
    bool firstStart_ = false;
    bool shown_ = false;    // this search's failure has been reported
    bool offered_ = false;  // the simulated ECU has been offered (once a run)
    bool busy_ = false;     // the box is open; ticks go on meanwhile
};

}  // namespace gascal
