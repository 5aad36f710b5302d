// The Calibration tab's model (tab 0), without widgets: the automatic
// calibration of the ECU layer as the tab shows it. It says what
// LblCalStep, LblCalMsg and the progress bar ShpCalStep show, which of
// "Yes" (CmdCalStart) and "Esc" (CmdCalCancel) the fitter may press, whether
// the two-point option may still be changed, how the boxes TxtRpm and
// TxtTmpVap(1) blink, and the data of the convergence plot: for each cycle
// the OFFSET it measured with and the difference between the petrol time on
// gas and the reference on petrol. The window and gascal-cli drive the same
// state machine; this model adds only what the tab needs.
#pragma once

#include <QObject>
#include <QPointF>
#include <QString>
#include <functional>
#include <vector>

#include "ecu/Calibration.h"

namespace gascal {

class MainController;

// A blinking box's colours: white while its value is in range, else
// toggling between yellow and black on every Timer3 tick.
enum class BlinkColour { Normal, Yellow, Black };

class CalibrationModel : public QObject {
    Q_OBJECT
  public:
    CalibrationModel(Calibration& calibration, MainController& controller);
    ~CalibrationModel() override;

    Calibration& Cal() { return cal_; }
    const Calibration& Cal() const { return cal_; }
    // The calibration's dictionary texts ("[FrmCal]").
    QString Text(CalText t) const;

    // --- What the tab shows --------------------------------------------------------
    QString StepText() const { return cal_.StepText(); }  // LblCalStep: title, newline, "02"
    QString Message() const { return cal_.Message(); }    // LblCalMsg
    int Progress() const { return cal_.Progress(); }      // ShpCalStep, 0..100
    bool StartEnabled() const { return cal_.StartEnabled(); }
    bool CancelEnabled() const { return cal_.CancelEnabled(); }
    // The two-point option is chosen before "Yes" and stays as it was for
    // the whole run.
    bool TwoPointEnabled() const { return cal_.State() == CalState::Idle && !cal_.Running(); }
    bool TwoPoint() const { return cal_.TwoPoint(); }
    BlinkColour RpmColour() const { return Colour(cal_.RpmOutOfRange()); }
    BlinkColour TempColour() const { return Colour(cal_.TempOutOfRange()); }
    bool Running() const { return cal_.Running(); }

    // --- What the fitter does --------------------------------------------------------
    // "Yes" and "Esc", events to the calibration. "Yes" at the end switches
    // to gas and waits 4 s on the calibration's ticks: the window shows the
    // wait cursor meanwhile (waitCursor).
    void CmdCalStart_Click();
    // Asked before "Yes" starts a calibration (the restore point before
    // it); false leaves the calibration idle.
    void SetBeforeStart(std::function<bool()> f) { beforeStart_ = std::move(f); }
    void CmdCalCancel_Click();
    void SetTwoPoint(bool on);
    // "Yes" becomes possible once the ECU's blocks have been read, which no
    // calibration tick tells: the polling cycle calls this on every tick.
    void RefreshButtons();

    // --- The convergence plot ------------------------------------------------------------
    // x is the cycle's number in the run (1, 2, ...); the axes grow in steps
    // (5 cycles, 0.2 ms) so the plot does not jump at every point.
    struct Plot {
        std::vector<QPointF> offset;      // OFFSET the cycle measured with (ms)
        std::vector<QPointF> difference;  // TInjMed - reference (ms)
        double xMax = 10, yMin = -0.4, yMax = 1.2;
    };
    Plot PlotData() const;
    size_t PlottedCycles() const { return cal_.Cycles().size(); }

  signals:
    // Anything shown changed (every Timer3 tick and every click).
    void changed();
    void waitCursor(bool on);

  private:
    std::function<bool()> beforeStart_;
    BlinkColour Colour(bool outOfRange) const {
        if (!outOfRange) return BlinkColour::Normal;
        return cal_.BlinkPhase() ? BlinkColour::Yellow : BlinkColour::Black;
    }

    // A calibration that ended with its result kept: the fitter is offered
    // to store the result in the ECU's flash (asked between the
    // calibration's steps, never inside one).
    void OfferStore();

    Calibration& cal_;
    MainController& controller_;
    CalState lastState_ = CalState::Idle;
    bool offerStore_ = false;
    bool gasWait_ = false;
    bool startEnabled_ = false;
};

}  // namespace gascal
