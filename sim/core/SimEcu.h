// The simulated gas-injection ECU: the other side of the wire.
//
// It receives request bytes at line speed, answers each request the way the
// tool expects the real ECU to, keeps its configuration as raw bytes in working
// and saved memory, holds a program flash with its firmware identity, records
// operating points and error items, and runs the engine-and-car model that
// gives it live values. Failure modes disturb the line on purpose.
//
// Time comes from the caller: every entry point takes the clock value of the
// event service (microseconds). Nothing runs on its own; the model catches up
// lazily, in fixed engine steps, whenever it is asked, so the same object runs
// against the real clock (gascal-ecusim) and the virtual one (tests) and a
// simulated hour costs only the engine steps of that hour.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "sim/core/SimEngine.h"
#include "sim/core/SimFaults.h"
#include "sim/core/SimLayout.h"
#include "sim/core/SimMemory.h"

namespace gascal::sim {

// How a simulated ECU and its car start.
struct SimOptions {
    int cylinders = 4;
    QString firmwareVersion = QString::fromLatin1(kDefaultVersion);  // four digits
    QString firmwareDate = QString::fromLatin1(kDefaultDate);        // DDMMYYYY
    QString descriptor = QString::fromLatin1(kDefaultDescriptor);
    bool oldFirmware = false;  // firmware 01 32: no CMD_READ_FIRMWARE, short block 5
    // A later firmware that still answers block 5 with fields 1 to 8 only (13 bytes).
    bool shortBlock5 = false;
    // The serial number of the test data (0: the factory's, 468000123).
    uint32_t serial = 0;
    // The boot loader answers the test-data read while it waits for a
    // program (the test data live in their own sector, not erased with the
    // program).
    bool bootLoaderTestData = true;
    bool key = false;
    bool engineRunning = false;
    double rpm = 0;  // requested speed; 0 = idle
    double load = 0;
    bool warm = false;
    double tankLevel = 0.7;
    std::vector<int> errorItems;  // items forced present (state 1)
    FailureSettings failures;
    uint64_t seed = 1;
    double processingUs = 1500;  // time from the last request byte to the first answer byte
    InjectorCurve curve;         // the gas injectors' hidden true curve
};

enum class EcuMode : uint8_t { Run = 0, Slave = 1, Programming = 2 };

// Error items of the ECU (index k: present byte k, stored byte k + 32).
enum ErrorItem : int {
    ERR_GAS_PRESSURE_SENSOR = 0,
    ERR_REDUCER_TEMP_SENSOR = 1,
    ERR_GAS_TEMP_SENSOR = 2,
    ERR_MAP_SENSOR = 3,
    ERR_LAMBDA_SENSOR = 4,
    ERR_LEVEL_SENSOR = 5,
    ERR_SUPPLY_VOLTAGE = 6,
    ERR_LOW_GAS_PRESSURE = 7,
    ERR_INJECTOR_1 = 8,  // .. ERR_INJECTOR_1 + 7
    ERR_VALVE_1 = 16,
    ERR_VALVE_2 = 17,
};
// States of an error item.
constexpr uint8_t kErrNone = 0;
constexpr uint8_t kErrOpenCircuit = 1;
constexpr uint8_t kErrShortOrLow = 2;
constexpr uint8_t kErrHigh = 3;
constexpr uint8_t kErrNotAvailable = 255;

// One recorded operating point, raw as it travels.
struct SamplePoint {
    uint16_t timeRaw = 0;   // petrol time of injector 1, counts of 8 us, without the 0.6 ms offset
    uint16_t pressure = 0;  // manifold pressure, mbar
};

class SimEcu {
  public:
    explicit SimEcu(const SimOptions& options = SimOptions());

    // --- Line -------------------------------------------------------------------
    // Bytes the tool writes at `nowUs`; they reach the ECU one after the other at
    // line speed.
    void ToolWrite(const uint8_t* data, size_t n, double nowUs);
    // Answer bytes that have fully arrived at the tool by `nowUs`.
    size_t Readable(double nowUs);
    size_t TakeReadable(uint8_t* buf, size_t max, double nowUs);
    // Tool bytes still travelling towards the ECU.
    size_t InFlightToEcu(double nowUs);
    void PurgeToolInput(double nowUs);   // drops answer bytes already arrived
    void PurgeToolOutput(double nowUs);  // drops tool bytes not yet on the line
    // When something next happens on the line: an answer byte arriving at the
    // tool or the last request byte on its way reaching the ECU (infinity when
    // neither is pending).
    double NextEventUs() const;
    // Runs the ECU and the engine up to `nowUs`.
    void AdvanceTo(double nowUs);
    double Now() const { return now_; }

    // --- Port presence (USB cable) ------------------------------------------------
    bool PortPresent(double nowUs);
    // Changes whenever the port vanishes; a port opened before is dead for good.
    uint64_t PortGeneration() const { return portGeneration_; }
    void Vanish(double durationUs, double nowUs);

    // --- Driver and scenario ------------------------------------------------------
    SimEngine& Engine() { return engine_; }
    const SimEngine& Engine() const { return engine_; }
    void SetKey(bool on);
    void SetEngineRunning(bool on);  // starter: cranks, then runs while the key is on
    void SetTargetRpm(double rpm);   // 0 = idle
    void SetLoad(double load);
    // The fuel switch in the car: asks for gas (WorkMode 3) or petrol (0)
    // as a write of block 2 would; the switchover rules still decide.
    void SetFuelSwitch(bool gas);
    void SetTankLevel(double level);
    // Forces an error item's present state (0 removes the forced fault).
    void SetFault(int item, uint8_t state);
    // ECU reset: unsaved configuration lost, modes back to run, line silent while it boots.
    void Reset(double nowUs);

    // --- Failure modes ------------------------------------------------------------
    FailureSettings& Failures() { return failures_; }
    const SimCounters& Counters() const { return counters_; }
    void ReseedFailures(uint64_t seed) { random_.Seed(seed); }
    // Told about every complete request: its command, the status answered and
    // what happened to the answer ("" when it went out normally).
    using RequestObserver = std::function<void(uint8_t cmd, uint8_t status, const char* note)>;
    void SetRequestObserver(RequestObserver observer) { observer_ = std::move(observer); }
    // Told about every configuration write the ECU carried out (blocks 2, 3
    // and 5, the correction table, the test data): the command and the
    // working memory just before and just after it. A write the ECU refused
    // or never saw is not reported.
    using WriteObserver =
        std::function<void(uint8_t cmd, const ConfigImage& before, const ConfigImage& after)>;
    void SetWriteObserver(WriteObserver observer) { writeObserver_ = std::move(observer); }

    // --- State for tests, tools and the simulator panel -------------------------
    const ConfigImage& Working() const { return working_; }
    const ConfigImage& Saved() const { return saved_; }
    const Flash& FlashImage() const { return flash_; }
    EcuMode Mode() const { return mode_; }
    bool FlashBeingWritten() const { return flashWriting_; }
    bool OldFirmware() const { return oldFirmware_; }
    bool OnGas() const { return onGas_; }
    bool GasLocked() const { return gasLock_; }
    std::array<uint8_t, kErrorFlags> ErrorFlags() const;
    const std::array<SamplePoint, kSamplePoints>& Samples(bool gas) const {
        return gas ? gasSamples_ : petrolSamples_;
    }
    // Live blocks as the ECU would answer them now.
    std::vector<uint8_t> EncodeMem1() const;
    std::vector<uint8_t> EncodeMem2() const;
    // Acquisition window of the operating points, rpm.
    std::pair<int, int> SampleWindow() const;
    // Gas time the ECU drives on cylinder `cyl` for petrol time `petrolMs`.
    double GasTimeMs(int cyl, double petrolMs) const;

    static constexpr double kEngineStepUs = 20000;  // engine model step
    static constexpr double kClockJumpUs = 1e6;     // a clock going back this far is another clock
    static constexpr double kInterByteTimeoutUs = 200000;  // a pause that ends a partial request
    static constexpr double kBootUs = 300000;              // silence after a reset
    static constexpr double kFlashBootUs = 1500000;        // silence after the end of programming
    static constexpr double kSlaveTimeoutUs = 30e6;  // slave mode without the PC falls back to run
    static constexpr double kSampleIntervalUs = 250000;
    static constexpr double kSampleSettleS = 2.0;    // time on a fuel before its points count
    static constexpr double kSampleSteadyRpm = 100;  // largest speed change between two looks
    static constexpr double kSampleRepeatUs = 3e6;   // a held operating point is recorded again

  private:
    struct Reply {
        uint8_t status = kStatusDone;
        std::vector<uint8_t> data;
        double processingUs = 0;
        bool reboot = false;  // end of programming: restart from the new flash after answering
    };

    void Boot();
    void Rebase(double delta);
    void StepTo(double us);
    void StepModel(double dt);
    void HandleByte(uint8_t b, double at);
    void ProcessFrame(const std::vector<uint8_t>& frame, double at);
    Reply Execute(uint8_t cmd, const std::vector<uint8_t>& data, double at);
    void SendAnswer(std::vector<uint8_t> frame, double startUs, double gapAfterHalfUs);
    void RecordSample(double dt);
    // The injectors' states the ECU moves on by itself (see docs/simulator.md).
    void UpdateInjectorStates(bool gasStarted);
    bool DrivenOnGas(int cyl) const;
    void UpdateErrors();
    void ReadZone(uint32_t address, size_t n, Reply& r);
    void RefreshRam();
    std::vector<uint8_t> EncodeSamples(bool gas, bool secondHalf) const;
    bool SensorFault(int item) const { return forced_[item] != 0; }
    bool EngineRunning() const { return engine_.State().phase == EnginePhase::Running; }

    SimOptions options_;
    SimEngine engine_;
    ConfigImage working_;
    ConfigImage saved_;
    Flash flash_;
    // The identity the ECU reports: the one of the program it booted, until
    // the end of writing restarts it from the new flash.
    std::vector<uint8_t> bootIdentity_;
    std::array<uint8_t, kRamSize> ram_{};
    FailureSettings failures_;
    SimRandom random_;
    SimCounters counters_;
    RequestObserver observer_;
    WriteObserver writeObserver_;

    bool started_ = false;
    double now_ = 0;
    double engineTimeUs_ = 0;

    // Line state.
    std::deque<std::pair<double, uint8_t>> inbound_;   // arrival time at the ECU, byte
    std::deque<std::pair<double, uint8_t>> outbound_;  // arrival time at the tool, byte
    double toolLineFreeUs_ = 0;
    double ecuLineFreeUs_ = 0;
    std::vector<uint8_t> rx_;
    double lastRxUs_ = -1e18;
    double silentUntilUs_ = -1e18;
    double vanishedUntilUs_ = -1e18;
    uint64_t portGeneration_ = 0;

    // ECU state.
    EcuMode mode_ = EcuMode::Run;
    bool flashWriting_ = false;
    bool oldFirmware_ = false;
    bool onGas_ = false;
    bool gasLock_ = false;
    bool lowGasPresent_ = false;
    double lowPressS_ = 0;
    double fuelSinceUs_ = 0;
    double lastValidRequestUs_ = 0;
    double sampleClockUs_ = 0;
    double gasSeconds_ = 0;
    double petrolSeconds_ = 0;
    std::array<bool, 8> gasDriven_{};
    std::array<uint8_t, kErrorItems> forced_{};
    std::array<uint8_t, kErrorItems> present_{};
    std::array<uint8_t, kErrorItems> stored_{};
    std::array<SamplePoint, kSamplePoints> petrolSamples_{};
    std::array<SamplePoint, kSamplePoints> gasSamples_{};
    size_t petrolNext_ = 0;
    size_t gasNext_ = 0;
    double petrolLastSampleUs_ = 0;
    double gasLastSampleUs_ = 0;
    double lastSampleRpm_ = 0;
    bool gasByRules_ = false;  // on gas by the ECU's own switchover rules
};

}  // namespace gascal::sim
