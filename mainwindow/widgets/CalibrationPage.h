// The Calibration tab (tab 0): the automatic calibration as the fitter
// follows it (LblCalStep, LblCalMsg, the progress bar ShpCalStep, "Yes"
// and "Esc", the two-point option), the live values the fitter watches
// (engine speed TxtRpm and reducer temperature TxtTmpVap(1), which blink
// while out of range, the petrol and gas times, gas temperature and
// pressure), and the convergence plot of OFFSET and of the difference
// between gas and petrol per cycle.
#pragma once

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace gascal {

class CalibrationModel;
class LiveModel;
class MainController;
class PlotArea;
struct PageContext;
enum class LivePart;

class CalibrationPage : public QWidget {
    Q_OBJECT
  public:
    CalibrationPage(PageContext& context, QWidget* parent = nullptr);
    ~CalibrationPage() override;

    CalibrationModel& Model() { return model_; }

  private:
    void ApplyLanguage();
    // Copies the part of the live display that changed.
    void ShowLive(LivePart part);
    // The calibration's state: texts, buttons, bar, blinking, plot.
    void ShowCalibration();
    void ShowPlot();

    MainController& ctl_;
    LiveModel& live_;
    CalibrationModel& model_;
    QGroupBox *grpCal_ = nullptr, *grpLive_ = nullptr, *grpPlot_ = nullptr;
    QLabel* lblCalStep_ = nullptr;
    QLabel* lblCalMsg_ = nullptr;
    QProgressBar* shpCalStep_ = nullptr;
    QPushButton* cmdCalStart_ = nullptr;
    QPushButton* cmdCalCancel_ = nullptr;
    QCheckBox* chkTwoPoint_ = nullptr;
    QLabel *lblRpm_ = nullptr, *lblInjTp_ = nullptr, *lblInjTg_ = nullptr, *lblTmpVap_ = nullptr,
           *lblTmpGas_ = nullptr, *lblPressure_ = nullptr;
    QLineEdit* txtRpm_ = nullptr;
    QLabel* lblCalInjTp_ = nullptr;
    QLabel* lblCalInjTg_ = nullptr;
    QLineEdit* txtTmpVap_ = nullptr;
    QLineEdit* txtTmpGas_ = nullptr;
    QLineEdit* txtPressure_ = nullptr;
    PlotArea* plot_ = nullptr;
    QLabel *legendOffset_ = nullptr, *legendDiff_ = nullptr;
    size_t plottedCycles_ = static_cast<size_t>(-1);
};

}  // namespace gascal
