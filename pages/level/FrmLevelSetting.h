// The level page (FrmLevelSetting, caption "Level"): the live sensor
// voltage, the level indicator of four quarters (the reserve quarter blinks),
// the five threshold scroll bars with their values in the type's display
// units, a scale that shows where the present reading stands among the
// thresholds, and "Default". Opened from the Configuration tab's
// "Set Level" button.
#pragma once

#include <QDialog>
#include <array>
#include <memory>

#include "common/EventService.h"
#include "pages/level/LevelPage.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QScrollBar;

namespace gascal {

class LevelQuartersView;
class LevelReadingScale;

class FrmLevelSetting : public QDialog {
    Q_OBJECT
  public:
    FrmLevelSetting(EcuSession& session, PollingCycle& cycle, QWidget* parent = nullptr);
    ~FrmLevelSetting() override;

    LevelPageModel& Model() { return model_; }
    // Fill: the bars show the image's thresholds.
    void Fill();
    // Timer1: sensor voltage, level indicator, a changed sensor type.
    void Tick();

  protected:
    void keyReleaseEvent(QKeyEvent* e) override;

  private:
    void BarChanged(int bar, int value);

    LevelPageModel model_;
    std::array<QScrollBar*, kLevelBars> bars_{};
    std::array<QLineEdit*, kLevelBars> texts_{};
    QLabel* lblSensVal_ = nullptr;
    QLabel* lblCaption_ = nullptr;
    LevelQuartersView* quarters_ = nullptr;
    LevelReadingScale* scale_ = nullptr;
    QPushButton* cmdDefault_ = nullptr;
    bool busy_ = false;
    bool blinkOn_ = true;
    std::unique_ptr<Timer> timer_;
};

}  // namespace gascal
