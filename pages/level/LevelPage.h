// The level page's model (FrmLevelSetting), without widgets: the sensor
// type of block 3, the five threshold bars and their order, their display
// values, the live sensor voltage, the level indicator's four quarters and
// where the present reading stands among the thresholds. A threshold moved
// goes into PendingEdits with block 3's write delay.
#pragma once

#include <QString>
#include <array>

namespace gascal {

class EcuSession;
class PollingCycle;
struct GasLevelTypeEntry;

inline constexpr int kLevelBars = 5;
inline constexpr int kLevelBarMax = 1023;  // raw sensor units
inline constexpr int kLevelQuarters = 4;

class LevelPageModel {
  public:
    LevelPageModel(EcuSession& session, PollingCycle& cycle);

    // The texts of the page (dictionary section "[FrmLevel]").
    struct Texts {
        QString caption, sensorVolts, reading, gasLevel, defaults, back;
    };
    const Texts& PageTexts() const { return texts_; }

    // The level sensor type of block 3 (null when the installation has none
    // of that code); its mode: 0 thresholds rise with the level, else fall.
    const GasLevelTypeEntry* Type() const;
    int LevelMode() const;
    QString TypeCaption() const;

    // Fill: the bars take the thresholds of the image through the mapping
    // (bar i is element i + 1, or element 5 − i in the falling mode). The
    // type's code is remembered, to notice a change while the page is open.
    void Fill();
    int Bar(int bar) const { return bars_[static_cast<size_t>(bar)]; }
    int ElementOfBar(int bar) const;
    // A threshold in the type's display units (two decimals).
    QString DisplayText(int raw) const;

    // HScrLevel_Change: the bar keeps the order of its neighbours, its value
    // goes into PendingEdits, and block 3 is written after the delay.
    // Returns the value the bar keeps.
    int BarMoved(int bar, int value);
    // CmdDefaultLevel_Click: the type's own thresholds into the bars, each
    // stored as a move of its bar. False when the type is unknown.
    bool Defaults();

    // --- Live -----------------------------------------------------------------
    QString SensorVoltsText() const;  // LevelRaw × KLevel / 1000, three decimals
    int Reading() const;              // LevelRaw, raw units
    // The four quarters: quarter 0 is shown steadily or blinks (the reserve);
    // quarters 1 to 3 are filled or empty.
    struct Quarters {
        bool reserveBlinks = false;
        std::array<bool, kLevelQuarters> filled{};
    };
    Quarters LevelQuarters() const;
    // The sensor type of block 3 changed since the last fill.
    bool TypeChanged() const;

  private:
    EcuSession& session_;
    PollingCycle& cycle_;
    Texts texts_;
    std::array<int, kLevelBars> bars_{};
    int filledCode_ = -1;
};

}  // namespace gascal
