// The injector page's model (FrmInjSet), without widgets: one row per
// injector with its operating mode, its gas-time trim and its live petrol
// and gas times, and the page-wide sensitivity. The page never talks to the
// ECU: a trim or the sensitivity goes into PendingEdits with block 3's write
// delay, a mode into an injector-mode request that the polling cycle
// carries out step by step.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <utility>

namespace gascal {

class EcuSession;
class PollingCycle;

inline constexpr int kInjectorRows = 8;
inline constexpr int kTrimScrollMin = -50;
inline constexpr int kTrimScrollMax = 50;

// List indexes of the mode lists.
enum class InjMode : int { OnGas = 0, GasForced = 1, Off = 2 };

class InjectorPageModel {
  public:
    InjectorPageModel(EcuSession& session, PollingCycle& cycle);

    // The texts of the page (dictionary section "[FrmInj]").
    struct Texts {
        QString injector, gasTime, offset, mode;
        QStringList modes;  // by list index
        QString caption, needsGas;
    };
    const Texts& PageTexts() const { return texts_; }

    // Rows for the image's cylinder count (at most 8).
    int Rows() const;
    // The mode list's item for an injector state: 4 → 1, other non-zero → 0, 0 → 2.
    static InjMode ModeOf(int injEnable);
    InjMode Mode(int row) const;
    double TrimMs(int row) const;   // the image's trim, ms
    int TrimScroll(int row) const;  // the scroll value that shows it

    // HScrTime_Change: the trim of a scroll value goes into PendingEdits
    // (ms = KInj × 10 × value) and block 3 is written after the delay.
    // Returns the ms stored.
    double TrimScrolled(int row, int scroll);
    // A trim as its box shows it: ms rounded to three decimals, no trailing zeros.
    static QString TrimText(double ms);
    // CmdDefaultTime_Click: the middle of the scroll range.
    static int DefaultScroll() { return kTrimScrollMin + (kTrimScrollMax - kTrimScrollMin) / 2; }

    // CmbSelect_Click. Forcing gas needs the engine on gas: refused then.
    enum class ModeOutcome { Requested, Unchanged, NeedsGas };
    ModeOutcome ModeChosen(int row, InjMode mode);
    // A mode request is being carried out: the mode lists wait.
    bool RequestPending() const;

    // SldBadBit: the sensitivity (BadBitStep) and its text in ms, as the
    // expert page's micro-injection list shows it (steps 1 to 25, 0.6 to
    // 3.0 ms). A step outside that range has no time and shows as the step
    // number in brackets, "[0]"; the slider stores only steps of the range.
    int Sensitivity() const;
    void SensitivityChanged(int value);
    QString SensitivityText(int value) const;
    // The slider's range: 1 to 25, widened to take a step outside it.
    std::pair<int, int> SensitivityRange() const;

    // Live times of a row ("0" with the key off; the gas time only while the
    // injector is on gas and the ECU is asked for gas).
    QString PetrolText(int row) const;
    QString GasText(int row) const;

  private:
    EcuSession& session_;
    PollingCycle& cycle_;
    Texts texts_;
};

}  // namespace gascal
