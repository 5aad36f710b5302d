// The main window of the tool: five tabs (Calibration, Modeling, Map,
// General, Configuration) reached also with F5, F6, F7, F2 and F3, the File,
// View, Device and Language menus, the status bar cells of the link, the
// logo that switches the fuel, the live display and the switchover settings.
// Every rule lives in MainController; the window copies its results into
// the controls and forwards the user's actions.
#pragma once

#include <QMainWindow>
#include <array>
#include <memory>
#include <vector>

#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainView.h"

class QLabel;
class QComboBox;
class QCheckBox;
class QRadioButton;
class QPushButton;
class QTabWidget;
class QAction;
class QMenu;
class QLineEdit;
class QGroupBox;
class QFrame;
class QGridLayout;

namespace gascal {

class UCtrlBar;
class CalibrationPage;
class FrmInit;
class SimControl;
class SimPanel;
class LogoSwitch;

class FrmKT540 : public QMainWindow, public MainView {
    Q_OBJECT
public:
    explicit FrmKT540(MainController& controller, QWidget* parent = nullptr);
    ~FrmKT540() override;

    // Offers the simulator panel in the menus (only when running on the simulator).
    void SetSimControl(SimControl* sim);
    // Layout of the window for its size (DisponiFrmMain).
    void DisponiFrmMain();

    // MainView
    void SetWaitCursor(bool on) override;
    void ShowLive(LivePart part) override;
    void ShowStatusCell(int cell, const StatusCell& c) override;
    void ShowPortTicks(int item, bool offline) override;
    void ShowPortSearch(bool visible, int type) override;
    void RefreshSettings() override;
    void ListsRefilled() override;
    void IstanzaInj(int n) override;
    void ShowServiceView(bool on) override;
    void ApplyLanguage() override;
    void SetCaption(const QString& caption) override;
    void SelectTab(int tab) override;
    void ShowAutoTuning(bool enabled, bool ticked) override;
    void ShowErrorButton(bool visible, const QString& caption) override;
    void Unload() override;

    // Controls reached by tests.
    QTabWidget* Tabs() const { return tabs_; }
    QString StatusText(int cell) const;
    QString RpmText() const;
    QString InjTimePetText() const;
    QString InjTimeGasText() const;
    QComboBox* Combo(const char* name) const;
    FrmInit* PortSearchWindow() const { return frmInit_.get(); }
    QList<QWidget*> ServiceViewControls() const;
    bool IsUnloaded() const { return unloaded_; }
    QPushButton* ErrorButton() const { return cmdErrInj_; }

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void BuildMenus();
    QWidget* BuildHeader();
    QWidget* BuildGeneralTab();
    QWidget* BuildConfigTab();
    QWidget* BuildLaterTab(int tab);
    QComboBox* AddCombo(QGridLayout* g, int row, int col, const char* name, QLabel** label);
    void FillCombo(QComboBox* c, const EntryList& l);
    void SelectCombo(QComboBox* c, int index);
    void ConnectSettings();
    QString CapText(int id) const;
    void SetBox(QCheckBox* box, bool ticked, const QString& caption = QString());

    MainController& ctl_;
    SimControl* sim_ = nullptr;
    bool unloaded_ = false;
    int waitDepth_ = 0;

    // Menus.
    QMenu* mnuFile_ = nullptr;
    QMenu* mnuView_ = nullptr;
    QMenu* mnuDevice_ = nullptr;
    QMenu* mnuLanguage_ = nullptr;
    QMenu* mnuSimulator_ = nullptr;
    QAction* actLoad_ = nullptr;
    QAction* actSave_ = nullptr;
    QAction* actExit_ = nullptr;
    QAction* actOffline_ = nullptr;
    QAction* actSearch_ = nullptr;
    QAction* actSimPanel_ = nullptr;
    std::array<QAction*, 5> actViewTab_{};
    std::array<QAction*, 10> actDevCom_{};  // 0 USB, 1..9 COM
    std::vector<QAction*> actLng_;

    // Header and status bar.
    LogoSwitch* imgLogo_ = nullptr;
    QCheckBox* ckbKey_ = nullptr;
    QCheckBox* ckbEv1_ = nullptr;
    QCheckBox* ckbEv2_ = nullptr;
    QCheckBox* ckbStatoAlim_ = nullptr;
    QCheckBox* ckbStatoEcu_ = nullptr;
    QLineEdit* txtRpm1_ = nullptr;
    QPushButton* cmdErrInj_ = nullptr;
    QPushButton* cmdExpert_ = nullptr;
    std::array<QLabel*, 3> statusCells_{};
    QTabWidget* tabs_ = nullptr;
    std::array<QLabel*, 3> laterLabels_{};
    CalibrationPage* calibrationPage_ = nullptr;

    // General tab.
    QLineEdit* txtRpm0_ = nullptr;
    QLineEdit* txtTmpVap_ = nullptr;
    QLineEdit* txtTmpGas_ = nullptr;
    QLineEdit* txtPressure_ = nullptr;
    QLineEdit* txtVacuum_ = nullptr;
    QLineEdit* txtSupply_ = nullptr;
    QLineEdit* txtLambda_ = nullptr;
    QLineEdit* txtInjTimePet_ = nullptr;
    QLineEdit* txtInjTimeGas_ = nullptr;
    UCtrlBar* barLambda_ = nullptr;
    UCtrlBar* shpGasLev_ = nullptr;
    QFrame* shpCalComm_ = nullptr;
    QFrame* shpPLoad_ = nullptr;
    QFrame* shpPmin_ = nullptr;
    std::array<QLabel*, 3> lblLambda_{};
    QLabel* lblRpm_ = nullptr;
    QLabel* lblTmpVap_ = nullptr;
    QLabel* lblTmpGas_ = nullptr;
    QLabel* lblPressure_ = nullptr;
    QLabel* lblCalPres_ = nullptr;
    QLabel* lblSupply_ = nullptr;
    QLabel* lblLambdaCap_ = nullptr;
    QLabel* lblInjPet_ = nullptr;
    QLabel* lblInjGas_ = nullptr;
    QLabel* lblGasLev_ = nullptr;
    QLabel* lblSwitchMark_ = nullptr;
    QComboBox* cmbInj_ = nullptr;
    QGroupBox* grpLive_ = nullptr;
    QGroupBox* grpInj_ = nullptr;
    QGridLayout* injGrid_ = nullptr;
    std::array<QLabel*, 8> lblInj_{};
    std::array<UCtrlBar*, 8> injPetBar_{};
    std::array<UCtrlBar*, 8> injGasBar_{};

    // Configuration tab.
    QGroupBox* grpSwitch_ = nullptr;
    QGroupBox* grpSystem_ = nullptr;
    QComboBox *cmbSwtchRpm_ = nullptr, *cmbSwtchTemp_ = nullptr, *cmbSwtchDelay_ = nullptr;
    QComboBox *cmbSwtchBar_ = nullptr, *cmbSwtchDelayPress_ = nullptr, *cmbSwtchForce_ = nullptr;
    QComboBox *cmbSwtchSeq_ = nullptr, *cmbSwtchCilindri_ = nullptr, *cmbSwtchBobine_ = nullptr;
    QComboBox *cmbSwtchLambdaType_ = nullptr, *cmbTpyInj_ = nullptr, *cmbTpyGLS_ = nullptr;
    QComboBox *cmbEmptyGas_ = nullptr, *cmbShoRpm_ = nullptr;
    std::array<QLabel*, 14> settingLabels_{};
    QRadioButton* optCng_ = nullptr;
    QRadioButton* optLpg_ = nullptr;
    QLabel* lblFuel_ = nullptr;
    QPushButton* cmdTpyInj_ = nullptr;
    QPushButton* cmdTpyGLS_ = nullptr;
    QCheckBox* chkAbilAcqVacum_ = nullptr;
    QLabel* lblShoRpm_ = nullptr;

    std::unique_ptr<FrmInit> frmInit_;
    std::unique_ptr<SimPanel> simPanel_;
    bool barsConfigured_ = false;  // the gauges have been configured once
    void UpdatePortToolTips();
};

}  // namespace gascal
