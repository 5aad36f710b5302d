// The live status display of the main window, without widgets: it turns the
// live values of the parameter image into the texts, ticks and bar values
// the window shows, with the display's own rules (two-sample smoothing of
// engine speed and injection times, "C.OFF" during cut-off, "0000" with the
// key off, "- - -" without a pressure reading). The main controller feeds it
// in the Timer2 slots; the window only copies the results into controls.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <vector>

namespace gascal {

constexpr int kMaxInjectors = 8;

// Live values the display reads, copied from the parameter image.
struct LiveInputs {
    int rpm = 0;
    bool keyOn = false;
    bool valve1Open = false;
    bool valve2Open = false;
    std::array<double, kMaxInjectors> petrolInjTimes{};  // ms
    std::array<double, kMaxInjectors> gasInjTimes{};     // ms
    bool cutOff = false;
    int mem2Byte1 = 0;  // fuel the ECU runs on: 3 gas, 0 petrol
    int ecuMode = 0;    // 0 running, 1 slave
    double gasPressureRaw = 0;
    double vacuumRaw = 0;
    bool vacuumAcqEnable = false;  // the ECU allows "Auto Tuning"
    double lambdaVolts = 0;
    int reducerTemp = 0;
    int gasTemp = 0;
    double supplyVolts = 0;
    double levelRaw = 0;
    std::array<int, 6> levelThresholds{};
    bool levelReversed = false;  // level type whose thresholds fall as the level rises
    int numCylinders = 8;
    std::array<int, kMaxInjectors> injEnable{};
    double switchTemp = 0;  // switchover temperature of block 3
    int showRpmLow = 2200;
    int showRpmHigh = 2700;
};

// Scale of the chosen lambda type: volts of its 11 marks.
struct LambdaScale {
    std::array<double, 11> marks{};
};

// Bar gauge ranges used by the window for the injector and lambda bars.
struct BarRanges {
    // Injector bars show hundredths of a millisecond.
    static constexpr int kInjMax = 2000;  // 20 ms
    static constexpr int kInjStep = 50;   // 0.5 ms a segment
    // The lambda bar is a marker over the lambda type's scale, in percent.
    static constexpr int kLambdaMax = 100;
    static constexpr int kLambdaStep = 5;
};

// Three-state box: ticked, unticked, or left as it was (a value the box
// has no caption for).
enum class BoxState { Unchanged, Ticked, Unticked };

struct StatusBoxes {
    bool known = true;  // false: no ECU answers, key and valves are unknown
    bool key = false;
    bool ev1 = false;
    bool ev2 = false;
    BoxState fuel = BoxState::Unchanged;  // "GAS" ticked / "BNZ" unticked
    QString fuelCaption;
    BoxState ecu = BoxState::Unchanged;  // "RUN" ticked / "SLV" unticked
    QString ecuCaption;
};

class LiveDisplay {
  public:
    // Div2 slot: engine speed and injection times.
    void UpdateRpm(const LiveInputs& in);
    void UpdateInjTimes(const LiveInputs& in);
    // Div5 slot: lambda, gas level and switchover marks, and the calibration
    // page's copies of the injection times.
    void UpdateLambda(const LiveInputs& in, const LambdaScale& scale);
    void UpdateMarks(const LiveInputs& in);
    // Div24 slot: status boxes, pressures, acquisition speed window.
    void UpdateStatus(const LiveInputs& in, bool autoTuning);
    // No ECU answers (offline, searching, not yet accepted): the engine
    // speed, the key and the valves are unknown, not the last values read.
    void ShowUnknown();
    void UpdateConnectionTime(double seconds);
    // Div54 slot: temperatures and supply voltage.
    void UpdateTemperatures(const LiveInputs& in);

    // Injector list: "Inj_##" (index 0) or "Inj_k" (index k).
    void SetSelectedInjector(int listIndex) { selectedInj_ = listIndex; }
    int SelectedInjector() const { return selectedInj_; }
    static QStringList InjectorListEntries(int numCylinders);

    // Results shown by the window.
    QString rpmText = QStringLiteral("0000");  // "----" while unknown
    std::array<int, kMaxInjectors> petBar{};   // bar values, hundredths of ms
    std::array<int, kMaxInjectors> gasBar{};
    QString injTimePetText, injTimeGasText;
    QString lambdaText;
    int lambdaBar = 0;
    std::array<QString, 3> lambdaLabels;  // low, middle, high mark of the scale
    int gasLevel = 0;                     // thresholds passed, 0..6
    bool switchTempReached = false;
    bool runningOnGas = false;
    QString calInjTpText, calInjTgText;  // LblCalInjTp, LblCalInjTg
    StatusBoxes boxes;
    QString timeText = QStringLiteral("Time: 0:00:00");
    QString pressureText, vacuumText;
    bool vacuumVisible = true;
    bool rpmWindowHighlight = false;
    QString tempVapText, tempGasText, supplyText;

    // Smoothed values (ms) behind the bars.
    double SmoothedPetrol(int i) const { return petShown_[static_cast<size_t>(i)]; }
    double SmoothedGas(int i) const { return gasShown_[static_cast<size_t>(i)]; }
    int ShownRpm() const { return rpmShown_; }

    // Number with two decimals and the system's decimal separator.
    static QString Fixed2(double v);
    // An injection time in ms as the injector page shows it too: two
    // decimals cut off, not rounded (the shared fixed-point formatting), so
    // both windows show the same digits for the same time.
    static QString InjTime2(double ms);

  private:
    int rpmShown_ = 0;
    std::array<double, kMaxInjectors> petShown_{};
    std::array<double, kMaxInjectors> gasShown_{};
    int selectedInj_ = 0;
};

}  // namespace gascal
