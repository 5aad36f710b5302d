#include "InterruptCase.h"

namespace gascal::interrupt {

Workflow CalibrationWorkflow();
Workflow UpgradeWorkflow();
Workflow FuelSwitchWorkflow();
Workflow ErrorClearWorkflow();
Workflow SetWorkflow();
Workflow TableWriteWorkflow();
Workflow InjectorModeWorkflow();
Workflow SaveWorkflow();
Workflow LoadWorkflow();
Workflow LoadOfflineWorkflow();
Workflow LoadGasWorkflow();
std::vector<Workflow> CliWorkflows();

const std::vector<Workflow>& Workflows() {
    static const std::vector<Workflow> all = [] {
        std::vector<Workflow> w{CalibrationWorkflow(),  UpgradeWorkflow(),    FuelSwitchWorkflow(),
                                SetWorkflow(),          TableWriteWorkflow(), ErrorClearWorkflow(),
                                InjectorModeWorkflow(), SaveWorkflow(),       LoadWorkflow(),
                                LoadOfflineWorkflow(),  LoadGasWorkflow()};
        // gascal-cli's procedures, with Ctrl+C as the Esc.
        for (Workflow& c : CliWorkflows()) w.push_back(std::move(c));
        return w;
    }();
    return all;
}

const Workflow* FindWorkflow(const QString& name) {
    for (const Workflow& w : Workflows())
        if (w.name == name) return &w;
    return nullptr;
}

}  // namespace gascal::interrupt
