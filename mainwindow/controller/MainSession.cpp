#include "mainwindow/controller/MainSession.h"

namespace gascal {

MainSession::MainSession(const QString& installDir, PortProvider* provider)
    : ecu_(std::make_unique<EcuSession>(installDir, provider)),
      cycle_(std::make_unique<PollingCycle>(*ecu_)),
      calibration_(std::make_unique<Calibration>(*ecu_)),
      settings_(std::make_unique<SettingsModel>(*ecu_, *cycle_)),
      live_(std::make_unique<LiveModel>(*ecu_, *cycle_)),
      controller_(std::make_unique<MainController>(*ecu_, *cycle_, *settings_, *live_)),
      calModel_(std::make_unique<CalibrationModel>(*calibration_, *controller_)),
      searchWatch_(std::make_unique<PortSearchWatch>(*ecu_)),
      history_(std::make_unique<HistoryModel>(*ecu_, *cycle_)) {
    history_->Install(*calModel_, *controller_);
    cycle_->OnTickStart([this] {
        searchWatch_->Check();
        calModel_->RefreshButtons();
    });
    // Timer3 pauses its reads while a parameter file loads; the Modeling
    // tab leaves the model alone while a calibration moves it, and a window
    // that closes mid-calibration has it aborted, with the full restore,
    // before the link stops.
    calibration_->SetLoadingConfig([c = cycle_.get()] { return c->LoadingConfig(); });
    // "Yes" starts a calibration only once the ECU's blocks have been read.
    calibration_->SetEcuReady(
        [c = cycle_.get()] { return c->Online() && !c->FirstRefreshPending(); });
    cycle_->SetCalibrationHooks({[cal = calibration_.get()] { return cal->Running(); },
                                 [cal = calibration_.get()] { cal->EndForClose(); }});
}

MainSession::~MainSession() {
    ecu_->StopLink();
    cycle_->PollTimer().SetEnabled(false);
    calibration_->CalTimer().SetEnabled(false);
    searchWatch_.reset();
    calModel_.reset();
    controller_.reset();
    live_.reset();
    settings_.reset();
    cycle_->SetCalibrationHooks({});
    calibration_.reset();
    cycle_.reset();
    history_.reset();
}

void MainSession::LoadAndStart() {
    controller_->Form_Load();
    controller_->StartTimers();
}

}  // namespace gascal
