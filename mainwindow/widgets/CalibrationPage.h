// The Calibration tab (tab 0): the live values a fitter watches while the
// car is calibrated, as copies of the main display (injection times,
// temperatures, gas pressure). The automatic calibration's own controls
// come with it later.
#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QGroupBox;

namespace gascal {

class LiveModel;
class MainController;
struct PageContext;
enum class LivePart;

class CalibrationPage : public QWidget {
    Q_OBJECT
public:
    CalibrationPage(PageContext& context, QWidget* parent = nullptr);

private:
    void ApplyLanguage();
    // Copies the part of the live display that changed.
    void ShowLive(LivePart part);

    MainController& ctl_;
    LiveModel& live_;
    QGroupBox* grpLive_ = nullptr;
    QLabel *lblInjTp_ = nullptr, *lblInjTg_ = nullptr, *lblTmpVap_ = nullptr,
           *lblTmpGas_ = nullptr, *lblPressure_ = nullptr, *later_ = nullptr;
    QLabel* lblCalInjTp_ = nullptr;
    QLabel* lblCalInjTg_ = nullptr;
    QLineEdit* txtTmpVap_ = nullptr;
    QLineEdit* txtTmpGas_ = nullptr;
    QLineEdit* txtPressure_ = nullptr;
};

}  // namespace gascal
