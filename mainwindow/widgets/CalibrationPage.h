// The Calibration tab (tab 0): the live values a fitter watches while the
// car is calibrated, as copies of the main display (injection times,
// temperatures, gas pressure). The automatic calibration's own controls
// come with it later.
#pragma once

#include <QWidget>

#include "mainwindow/controller/LiveDisplay.h"
#include "mainwindow/controller/MainView.h"

class QLabel;
class QLineEdit;
class QGroupBox;

namespace gascal {

class CalibrationPage : public QWidget {
public:
    explicit CalibrationPage(QWidget* parent = nullptr);
    // Captions in the current language.
    void ApplyLanguage(const std::function<QString(int)>& caption);
    // Copies the part of the live display that changed.
    void ShowLive(const LiveDisplay& d, LivePart part);

private:
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
