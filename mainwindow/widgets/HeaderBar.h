// The band above the tabs: the logo that doubles as the petrol/gas switch,
// the status boxes (key, gas valves, and in the service view the fuel and
// the ECU's mode), the signal viewer's button, the "Errori" and expert
// buttons, and the engine speed.
#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace gascal {

class LiveModel;
class LogoSwitch;
class MainController;
class ScaleConfig;
enum class LivePart;

class HeaderBar : public QWidget {
    Q_OBJECT
  public:
    HeaderBar(MainController& controller, LiveModel& live, const ScaleConfig& scale,
              QWidget* parent = nullptr);
    QPushButton* ErrorButton() const { return cmdErrInj_; }
    QPushButton* ViewButton() const { return cmdView_; }
    QString RpmText() const;

  private:
    void ApplyLanguage();
    void ShowLive(LivePart part);
    void ShowServiceView(bool on);
    void ShowErrorButton(bool visible, const QString& caption);

    MainController& ctl_;
    LiveModel& live_;
    LogoSwitch* imgLogo_ = nullptr;
    LogoSwitch* imgLogoS_ = nullptr;
    QCheckBox* ckbKey_ = nullptr;
    QCheckBox* ckbEv1_ = nullptr;
    QCheckBox* ckbEv2_ = nullptr;
    QCheckBox* ckbStatoAlim_ = nullptr;
    QCheckBox* ckbStatoEcu_ = nullptr;
    QPushButton* cmdView_ = nullptr;
    QPushButton* cmdErrInj_ = nullptr;
    QPushButton* cmdExpert_ = nullptr;
    QLabel* lblRpm_ = nullptr;
    QLineEdit* txtRpm1_ = nullptr;
};

}  // namespace gascal
