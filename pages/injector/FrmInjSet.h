// The injector page (FrmInjSet, caption "Injector"): one row per injector
// with its mode list, live petrol and gas times, trim scroll bar and "X"
// button, and the page-wide sensitivity slider. Opened from the
// Configuration tab's "Setting" button; it shows its model's results and
// forwards the fitter's actions.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "common/EventService.h"
#include "pages/injector/InjectorPage.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;
class QSlider;

namespace gascal {

class FrmInjSet : public QDialog {
    Q_OBJECT
  public:
    FrmInjSet(EcuSession& session, PollingCycle& cycle, QWidget* parent = nullptr);
    ~FrmInjSet() override;

    InjectorPageModel& Model() { return model_; }
    // Form_Activate: every row shows the image again.
    void Refresh();
    // Timer1: the live times.
    void ShowLiveTimes();

  protected:
    void showEvent(QShowEvent* e) override;
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    struct Row {
        QLabel* label = nullptr;
        QComboBox* mode = nullptr;
        QLineEdit* petrol = nullptr;
        QLineEdit* gas = nullptr;
        QScrollBar* trim = nullptr;
        QLineEdit* trimText = nullptr;
        QPushButton* reset = nullptr;
    };
    void TrimChanged(int row, int value);
    void ModeChosen(int row, int index);
    void ShowMode(int row);
    void ShowSensitivity();

    InjectorPageModel model_;
    std::vector<Row> rows_;
    QSlider* sldBadBit_ = nullptr;
    QLabel* lblBadBit_ = nullptr;
    bool busy_ = false;  // the page fills itself: the handlers wait
    std::unique_ptr<Timer> timer_;
};

}  // namespace gascal
