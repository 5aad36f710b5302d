#include "InterruptCase.h"

namespace gascal::interrupt {

Workflow CalibrationWorkflow();
Workflow UpgradeWorkflow();
Workflow FuelSwitchWorkflow();
Workflow ErrorClearWorkflow();
Workflow SetWorkflow();

const std::vector<Workflow>& Workflows() {
    static const std::vector<Workflow> all{CalibrationWorkflow(), UpgradeWorkflow(),
                                           FuelSwitchWorkflow(), SetWorkflow(),
                                           ErrorClearWorkflow()};
    return all;
}

const Workflow* FindWorkflow(const QString& name) {
    for (const Workflow& w : Workflows())
        if (w.name == name) return &w;
    return nullptr;
}

}  // namespace gascal::interrupt
