// The window's side of the start-up: the ECU session, the polling cycle and
// the models of the main window's tabs, created in the order the tool needs
// them. The program (or a test) chooses the port provider and the
// communication log; the window is put on top afterwards.
#pragma once

#include <QString>
#include <memory>

#include "ecu/Calibration.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "ecu/PortSearchWatch.h"
#include "mainwindow/controller/CalibrationModel.h"
#include "mainwindow/controller/HistoryModel.h"
#include "mainwindow/controller/LiveModel.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/SettingsModel.h"

namespace gascal {

class PortProvider;

class MainSession {
  public:
    // Runs the start-up up to, not including, the window. `provider` (not
    // owned) is where ports come from; null means the machine's own ports.
    MainSession(const QString& installDir, PortProvider* provider);
    ~MainSession();

    // Form_Load of the window's models, then the link and polling timers start.
    void LoadAndStart();

    EcuSession& Ecu() { return *ecu_; }
    PollingCycle& Cycle() { return *cycle_; }
    SettingsModel& Settings() { return *settings_; }
    LiveModel& Live() { return *live_; }
    MainController& Controller() { return *controller_; }
    // The automatic calibration (Timer3) and the Calibration tab's model.
    Calibration& Cal() { return *calibration_; }
    CalibrationModel& CalModel() { return *calModel_; }
    // What a search that found no ECU tells the user, and the offer of the
    // simulated ECU on a first start.
    PortSearchWatch& SearchWatch() { return *searchWatch_; }
    // The restore points the window takes, and the History window's model.
    HistoryModel& History() { return *history_; }

  private:
    std::unique_ptr<EcuSession> ecu_;
    std::unique_ptr<PollingCycle> cycle_;
    std::unique_ptr<Calibration> calibration_;
    std::unique_ptr<SettingsModel> settings_;
    std::unique_ptr<LiveModel> live_;
    std::unique_ptr<MainController> controller_;
    std::unique_ptr<CalibrationModel> calModel_;
    std::unique_ptr<PortSearchWatch> searchWatch_;
    std::unique_ptr<HistoryModel> history_;
};

}  // namespace gascal
