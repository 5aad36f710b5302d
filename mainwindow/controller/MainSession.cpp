#include "mainwindow/controller/MainSession.h"

namespace gascal {

MainSession::MainSession(const QString& installDir, PortProvider* provider)
    : ecu_(std::make_unique<EcuSession>(installDir, provider)),
      cycle_(std::make_unique<PollingCycle>(*ecu_)),
      settings_(std::make_unique<SettingsModel>(*ecu_, *cycle_)),
      live_(std::make_unique<LiveModel>(*ecu_, *cycle_)),
      controller_(std::make_unique<MainController>(*ecu_, *cycle_, *settings_, *live_)),
      searchWatch_(std::make_unique<PortSearchWatch>(*ecu_)) {
    cycle_->OnTickStart([this] { searchWatch_->Check(); });
}

MainSession::~MainSession() {
    ecu_->StopLink();
    cycle_->PollTimer().SetEnabled(false);
    searchWatch_.reset();
    controller_.reset();
    live_.reset();
    settings_.reset();
    cycle_.reset();
}

void MainSession::LoadAndStart() {
    controller_->Form_Load();
    controller_->StartTimers();
}

}  // namespace gascal
