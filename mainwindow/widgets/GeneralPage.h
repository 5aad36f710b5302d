// The General tab (tab 3): the live values (engine speed, temperatures,
// pressures, supply, lambda with its bar, gas level, switchover lamp) and,
// per injector, the petrol and gas injection time bars with the injector
// list and the times of the injector chosen.
#pragma once

#include <QWidget>
#include <array>

class QComboBox;
class QFrame;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;

namespace gascal {

class LiveModel;
class MainController;
class UCtrlBar;
struct PageContext;
enum class LivePart;

class GeneralPage : public QWidget {
    Q_OBJECT
  public:
    GeneralPage(PageContext& context, QWidget* parent = nullptr);

  protected:
    void resizeEvent(QResizeEvent* e) override;

  private:
    void ApplyLanguage();
    void ShowLive(LivePart part);
    void ShowInjectors(int n);
    // The label of the injector chosen in CmbInj in yellow (none for "Inj_##").
    void HighlightInjector(int listIndex);
    void ConfigureBars();

    MainController& ctl_;
    LiveModel& live_;
    QGroupBox* grpLive_ = nullptr;
    QGroupBox* grpInj_ = nullptr;
    QLineEdit *txtRpm0_ = nullptr, *txtTmpVap_ = nullptr, *txtTmpGas_ = nullptr;
    QLineEdit *txtPressure_ = nullptr, *txtVacuum_ = nullptr, *txtSupply_ = nullptr;
    QLineEdit *txtLambda_ = nullptr, *txtInjTimePet_ = nullptr, *txtInjTimeGas_ = nullptr;
    UCtrlBar* barLambda_ = nullptr;
    UCtrlBar* shpGasLev_ = nullptr;
    QFrame* shpCalComm_ = nullptr;
    QFrame* shpPLoad_ = nullptr;
    QFrame* shpPmin_ = nullptr;
    std::array<QLabel*, 3> lblLambda_{};
    QLabel *lblCalRpm_ = nullptr, *lblTmpVap_ = nullptr, *lblTmpGas_ = nullptr;
    QLabel *lblPressure_ = nullptr, *lblCalPres_ = nullptr, *lblSupply_ = nullptr;
    QLabel *lblLambdaCap_ = nullptr, *lblInjPet_ = nullptr, *lblInjGas_ = nullptr;
    QLabel *lblGasLev_ = nullptr, *lblSwitchMark_ = nullptr;
    QComboBox* cmbInj_ = nullptr;
    std::array<QLabel*, 8> lblInj_{};
    std::array<UCtrlBar*, 8> injPetBar_{};
    std::array<UCtrlBar*, 8> injGasBar_{};
    bool barsConfigured_ = false;  // the gauges have been configured once
};

}  // namespace gascal
