// The signal viewer window (FrmView, caption "View 1.1 - [...]"): eight ECU
// signals as oscilloscope traces, live from the ECU in run mode or from a
// log, a saved recording or a table text file in stop mode. The window only
// shows what ViewerModel decides and forwards the user's actions to it.
//
// Controls: run and stop, open, reload, save and CSV export, the injector
// list, the time base (-/+), the selected channel's up, down and zoom, reset,
// the fuel switch picture, the loading indicator; per channel a show
// picture, a value label (click: select) and a difference label; the slider
// with the window buttons "<<" and ">>" of long files; the cylinder and coil
// frame; the hidden "Setting" frame (Ctrl+Shift+Alt+S) with the channels'
// tick boxes.
#pragma once

#include <QWidget>
#include <array>
#include <memory>

#include "common/widgets/QtPrompts.h"
#include "viewer/model/ViewerModel.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;

namespace gascal {

class EcuSession;
class PollingCycle;
class ScriptedPrompts;
class ScopedPrompts;
class SignalPicture;
class ShowPicture;
class FuelSwitchPicture;

class FrmView : public QWidget {
    Q_OBJECT
  public:
    FrmView(EcuSession& session, PollingCycle& cycle, QWidget* owner = nullptr);
    ~FrmView() override;

    ViewerModel& Model() { return model_; }
    SignalPicture* Picture() const { return picture_; }

  protected:
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;

  private:
    void Build();
    void ApplyTexts();
    void UpdateControls();
    void UpdateChannels();
    void UpdateReadout();
    void ShowLoading(bool visible, const QString& text);
    void DemoStop();

    EcuSession& session_;
    ViewerModel model_;
    std::unique_ptr<WindowPrompts> prompts_;
    SignalPicture* picture_ = nullptr;
    QRadioButton* optRun_[2] = {nullptr, nullptr};
    QPushButton *cmdOpen_ = nullptr, *cmdReload_ = nullptr, *cmdSave_ = nullptr, *cmdCsv_ = nullptr;
    QComboBox* cmbInj_ = nullptr;
    QLabel* lblInj_ = nullptr;
    QPushButton *cmdSecDivM_ = nullptr, *cmdSecDivP_ = nullptr;
    QLabel* lblSecDiv_ = nullptr;
    QLabel* lblSecDivCaption_ = nullptr;
    QPushButton *cmdUp_ = nullptr, *cmdDw_ = nullptr, *cmdZoomIn_ = nullptr, *cmdZoomOut_ = nullptr;
    QPushButton* cmdReset_ = nullptr;
    QLabel *lblOffset_ = nullptr, *lblGain_ = nullptr;
    QLabel* lblLoading_ = nullptr;
    FuelSwitchPicture* pctSwitch_ = nullptr;
    std::array<ShowPicture*, kViewChannels> pctMostra_{};
    std::array<QLabel*, kViewChannels> lblSignal_{};
    std::array<QLabel*, kViewChannels> lblDelta_{};
    std::array<QCheckBox*, kViewChannels> chkSignal_{};
    std::array<QLineEdit*, kViewChannels> txtSignal_{};
    QPushButton *cmdSeekPrev_ = nullptr, *cmdSeekNext_ = nullptr;
    QSlider* sldSample_ = nullptr;
    QLabel* lblOffsetTime_ = nullptr;
    QLabel* lblDeltaTime_ = nullptr;
    QLabel* lblHint_ = nullptr;
    QFrame* fraSetting_ = nullptr;
    QLabel* lblSettingTitle_ = nullptr;
    QPushButton* cmdEscSet_ = nullptr;
    QGroupBox* fraCylCoil_ = nullptr;
    QLabel *lblCyl_ = nullptr, *lblCoil_ = nullptr;
    QComboBox *cmbCyl_ = nullptr, *cmbCoil_ = nullptr;
    QPushButton* cmdEscCylCoil_ = nullptr;
    bool updating_ = false;
    bool closing_ = false;
    // Pictures of the window: answers for the stop taken by itself.
    std::unique_ptr<ScriptedPrompts> demoPrompts_;
    std::unique_ptr<ScopedPrompts> demoScope_;
};

}  // namespace gascal
