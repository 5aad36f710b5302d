// The Configuration tab (tab 4): the switchover settings (speed,
// temperature, delays, end-of-gas pressure, forced switchover, sequence,
// "Auto Tuning" and its speed window) and the system settings (cylinders,
// coils, fuel, injector, lambda and level sensor types, empty-gas
// behaviour), each a list over the SettingsModel, plus the buttons of the
// injector and level pages.
#pragma once

#include <QWidget>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace gascal {

class MainController;
class SettingsModel;
struct PageContext;

class ConfigurationPage : public QWidget {
    Q_OBJECT
  public:
    ConfigurationPage(PageContext& context, QWidget* parent = nullptr);

  private:
    void ApplyLanguage();
    void FillLists();
    void ShowSelection();
    void ShowAutoTuning(bool enabled, bool ticked);

    MainController& ctl_;
    SettingsModel& model_;
    QGroupBox* grpSwitch_ = nullptr;
    QGroupBox* grpSystem_ = nullptr;
    std::vector<QComboBox*> combos_;  // one per list, in the order of the list table
    std::vector<QLabel*> labels_;
    QRadioButton* optCng_ = nullptr;
    QRadioButton* optLpg_ = nullptr;
    QLabel* lblFuel_ = nullptr;
    QPushButton* cmdTpyInj_ = nullptr;
    QPushButton* cmdTpyGLS_ = nullptr;
    QCheckBox* chkAbilAcqVacum_ = nullptr;
    QComboBox* cmbShoRpm_ = nullptr;
};

}  // namespace gascal
