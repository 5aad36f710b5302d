// A small window, offered only when the tool runs on the simulated ECU, that
// lets the user play the car: turn the key, start the engine, set engine
// speed and load, inject a line or ECU failure, and let the simulated fitter
// follow the automatic calibration's instructions (on by default).
#pragma once

#include <QDialog>
#include <memory>

#include "common/EventService.h"

class QCheckBox;
class QSlider;
class QComboBox;
class QLabel;

namespace gascal {

class SimControl;

class SimPanel : public QDialog {
    Q_OBJECT
  public:
    SimPanel(SimControl& sim, QWidget* parent = nullptr);
    ~SimPanel() override;

  private:
    SimControl& sim_;
    QCheckBox* key_;
    QCheckBox* engine_;
    QCheckBox* fitter_;
    QSlider* rpm_;
    QSlider* load_;
    QLabel* rpmText_;
    QLabel* loadText_;
    QComboBox* failure_;
    QLabel* summary_;
    std::unique_ptr<Timer> refresh_;
};

}  // namespace gascal
