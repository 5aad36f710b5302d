// The polling cycle: the 14 ms timer (Timer2) that drives every exchange of
// the window with the ECU once the link is up.
//
// Each tick: while the ECU is not accepted yet, the firmware check; once it
// is, the first refresh (after every block has been read), then the divider
// slots, every 2nd, 5th, 18th, 24th, 54th and 504th tick:
//   Div2   one scheduler request; block 2's and the correction table's delays
//   Div5   blocks 3 and 5's delays; block 1 read; a configuration file load
//   Div18  a fuel change asked for with the logo
//   Div24  block 2 read; one injector-mode step
//   Div54  settings refresh when block 3 changed; blocks 3 and 5 read; samples
//          (decoded into the session's injection map as they come)
//   Div504 the error list; the variable addresses while unknown
// Pages hear each slot (OnSlot) to refresh what they show, after the
// cycle's own work of the slot. The link timer's link reset (ComState 0 or 8)
// is here too: every block is read again, and a stopped link applies the
// edits still waiting and a configuration file still to load to the image.
// The line model follows the correction table: rebuilt from it at the first
// refresh and after a configuration load, built into it when its write
// delay runs out.
#pragma once

#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "common/EventService.h"
#include "data/core/ParamImageHost.h"
#include "ecu/ConfigLoad.h"
#include "ecu/ErrorList.h"
#include "ecu/FirmwareCheck.h"
#include "ecu/FuelSwitch.h"
#include "ecu/InjectionMap.h"
#include "ecu/InjectorModes.h"
#include "ecu/RequestScheduler.h"

namespace gascal {

class EcuSession;

inline constexpr int kPollTimerMs = 14;
inline constexpr double kFirstRefreshWaitUs = 1000000;
// A close asked for during an automatic calibration waits this long at most
// for the calibration's abort to put everything back.
inline constexpr double kCloseCalibrationWaitUs = 30e6;
// Likewise for a configuration load to end and to put a car it switched to
// petrol back on gas.
inline constexpr double kCloseLoadWaitUs = 30e6;
inline constexpr int kIncompatibleMessageAfter = 21;

// The divider slots, named by how many ticks apart they fire.
enum class Slot : uint16_t { Div2 = 2, Div5 = 5, Div18 = 18, Div24 = 24, Div54 = 54, Div504 = 504 };

// Divider counters: a slot runs on a tick where its counter is below 1 and
// the counter is then reloaded; otherwise it counts down by 1.
struct Dividers {
    double Div2 = 3, Div5 = 7, Div18 = 17, Div24 = 23, Div54 = 53, Div504 = 101;
    void AtLoad() { *this = Dividers{}; }
    void AtLinkReset() {
        *this = Dividers{};
        Div504 = 103;
    }
};

class PollingCycle : public ParamImageHost {
  public:
    explicit PollingCycle(EcuSession& session);
    ~PollingCycle() override;
    PollingCycle(const PollingCycle&) = delete;
    PollingCycle& operator=(const PollingCycle&) = delete;

    // The window's load: counters at their load values, every block to be
    // read, the first refresh pending, the error definitions read.
    void Load();
    // The start-up routine enables the link timer and this one.
    void Start();
    Timer& PollTimer() { return timer_; }
    // One tick (Timer2_Timer).
    void Tick();

    RequestScheduler& Scheduler() { return scheduler_; }
    const RequestScheduler& Scheduler() const { return scheduler_; }
    InjectorModes& Injectors() { return injectors_; }
    ErrorList& Errors() { return errors_; }
    ConfigLoad& ConfigLoader() { return configLoad_; }
    const Dividers& Counters() const { return div_; }

    // --- State -----------------------------------------------------------------
    // The ECU has been identified and accepted: the slots run.
    bool Online() const { return online_; }
    bool FirstRefreshPending() const { return firstRefreshPending_; }
    void RequestFirstRefresh() { firstRefreshPending_ = true; }
    int FirstRefreshCount() const { return firstRefreshCount_; }
    int ConnectAttempts() const { return connectAttempts_; }
    // "Auto Tuning": the operating-point samples are read continually.
    void SetAutoTuning(bool on) { autoTuning_ = on; }
    bool AutoTuning() const { return autoTuning_; }

    // --- Configuration file ----------------------------------------------------
    // A parameter file chosen to load: loaded in the next 5-tick slot (or at
    // once when the link is stopped), retried until it succeeds.
    void LoadConfigFileLater(const QString& path) { configFileToLoad_ = path; }
    const QString& ConfigFileToLoad() const { return configFileToLoad_; }
    bool LoadingConfig() const { return loadingConfig_; }
    // One attempt now. False when it failed (the file stays to be loaded).
    bool LoadConfigFile(const QString& path);
    using LoadListener = std::function<void(const QString& path, const ConfigLoad::Result&)>;
    void OnConfigLoaded(LoadListener f) { loadListeners_.push_back(std::move(f)); }
    // Asked once before a file's configuration is first written to the
    // ECU (the restore point before a load); false drops the file.
    void SetBeforeLoad(std::function<bool(const QString& path)> f) { beforeLoad_ = std::move(f); }
    // A file loaded with the link stopped: its values are in the image (and
    // shown) but not in the ECU. It stays pending: once the ECU is back
    // (the first refresh after the connection) the fitter is asked whether
    // to write it; Yes loads it as usual, No drops it and the ECU's values
    // are shown. Empty when none.
    const QString& OfflineFile() const { return offlineFile_; }
    void OnOfflineFileChanged(std::function<void()> f) {
        offlineListeners_.push_back(std::move(f));
    }

    // --- Line model and map ------------------------------------------------------
    // The Modeling tab was chosen: the correction table is read from the ECU
    // (three attempts) and the line model rebuilt from it, every point
    // deselected. Not with the link stopped, nor while an edit is held or
    // waits for its write. True when the model was rebuilt.
    bool ReadTableForModel();
    // The automatic calibration as the polling cycle must know it: while it
    // runs, it alone moves the model (the Modeling tab's table read leaves
    // it alone), and a close asked for in the middle of it waits until the
    // calibration, aborted, has put everything back (at most 30 s).
    struct CalibrationHooks {
        std::function<bool()> running;
        std::function<void()> requestAbort;
    };
    void SetCalibrationHooks(CalibrationHooks hooks) { calibration_ = std::move(hooks); }
    bool CalibrationRunning() const { return calibration_.running && calibration_.running(); }
    // The table may replace the model now: no edit button is held and no
    // edit waits for its table write.
    bool ModelMayFollowTable() const;
    // The Map tab's buttons (the page adds its 0.25 s waits and cursor):
    // "Read": both sample sets in the next 54-tick slot.
    void ReadMapSamples() { scheduler_.SetSampleDelay(1); }
    // "Clear": the ECU is asked to forget the fuel's points; the map forgets them now.
    void ClearMapSamples(MapFuel fuel);
    // "Compute": the map step with the targets placed, with CorTable.
    MapStepResult ComputeMap();
    // The map step of the Map tab's 54-tick slot (no targets).
    MapStepResult StepMap();
    // Opening a map file: read into the map; when the link is not connected
    // or stopped, the map step runs at once (else the next slot's does).
    // False when the file cannot be read.
    bool OpenMapFile(const QString& path);

    // --- Fuel switch -----------------------------------------------------------
    // The logo was released: with the key on and no change pending, the
    // fuel changes in the next 18-tick slot.
    void RequestFuelChange();
    bool FuelChangeRequested() const { return fuelChangeRequested_; }
    FuelSwitch& FuelSwitcher() { return fuel_; }

    // --- Firmware check --------------------------------------------------------
    // Runs the firmware upgrade window modally. `offered`: the ECU works
    // with its firmware and the user may decline. True when the ECU is
    // online afterwards.
    using UpgradeRunner = std::function<bool(bool offered)>;
    void SetUpgradeRunner(UpgradeRunner run) { runUpgrade_ = std::move(run); }
    // The start-up window asked for an upgrade: it runs as soon as the ECU
    // is identified; an ECU online now is identified again at once.
    void RequestUpgradeAtStart();
    bool UpgradeRequested() const { return upgradeAtStart_; }
    QString FirmwarePath() const;

    // --- Closing ---------------------------------------------------------------
    void RequestClose() { closeRequested_ = true; }
    bool CloseRequested() const { return closeRequested_; }
    // The window's close box: the link stops and the port closes now; the
    // timers stop at the end of the next tick. During a calibration the
    // link stays until the calibration's abort is over, and during a table
    // write until the table is written.
    void StopForClose();
    bool Closed() const { return closed_; }
    void OnClosed(std::function<void()> f) { closedListeners_.push_back(std::move(f)); }

    // --- Listeners ---------------------------------------------------------------
    // At the start of every tick (the port search window's messages).
    void OnTickStart(std::function<void()> f) { tickStart_.push_back(std::move(f)); }
    // After the cycle's own work of a slot (while online).
    void OnSlot(Slot s, std::function<void()> f);
    // The first refresh after a connection: every setting to be shown again.
    void OnFirstRefresh(std::function<void()> f) { firstRefresh_.push_back(std::move(f)); }
    // Block 3 read back different from what was shown (Div54 slot).
    void OnSettingsChanged(std::function<void()> f) { settingsChanged_.push_back(std::move(f)); }
    // The error list was read (Div504 slot).
    void OnErrorsRead(std::function<void()> f) { errorsRead_.push_back(std::move(f)); }

    // --- ParamImageHost -----------------------------------------------------------
    void SetDelayWriteMem3(double value) override {
        scheduler_.StartWriteDelay(Block::Mem3, value);
    }
    void SetFirstRefreshPending() override { firstRefreshPending_ = true; }
    void RequestSettingsRefresh() override { settingsRefreshRequested_ = true; }
    bool ServiceView() const override;

    // The steps of a tick, reachable on their own for tests.
    void CheckFirmwareOnConnect();
    void CarryOutFuelChange();
    void LinkReset(bool stopped);

  private:
    bool SlotDue(double& counter, double reload);
    void Notify(Slot s);
    void FirstRefresh();
    void CheckInjectorMask();
    void SetOfflineFile(const QString& path);
    void AskWriteOfflineFile();
    void Shutdown();
    bool RunUpgrade(bool offered);

    EcuSession& session_;
    Timer timer_;
    RequestScheduler scheduler_;
    InjectorModes injectors_;
    ErrorList errors_;
    ConfigLoad configLoad_;
    FuelSwitch fuel_;
    Dividers div_;
    bool online_ = false;
    bool firstRefreshPending_ = false;
    int firstRefreshCount_ = 0;
    bool settingsRefreshRequested_ = false;
    bool autoTuning_ = false;
    int connectAttempts_ = 0;
    QString configFileToLoad_;
    QString offlineFile_;
    std::vector<std::function<void()>> offlineListeners_;
    bool loadingConfig_ = false;
    bool loadRunning_ = false;  // inside LoadConfigFile (its waits let the link timer run)
    bool fuelChangeRequested_ = false;
    bool upgradeAtStart_ = false;
    UpgradeRunner runUpgrade_;
    CalibrationHooks calibration_;
    bool CalibrationHoldsClose();
    bool LoadHoldsClose();
    bool calibrationAbortAsked_ = false;
    double loadCloseDeadlineUs_ = 0;
    double closeDeadlineUs_ = 0;
    bool closeRequested_ = false;
    bool closed_ = false;

    std::vector<std::function<void()>> tickStart_;
    std::array<std::vector<std::function<void()>>, 6> slots_;
    std::vector<std::function<void()>> firstRefresh_;
    std::vector<std::function<void()>> settingsChanged_;
    std::vector<std::function<void()>> errorsRead_;
    std::vector<std::function<void()>> closedListeners_;
    std::vector<LoadListener> loadListeners_;
    std::function<bool(const QString&)> beforeLoad_;
    QString beforeLoadDone_;  // the file it was asked for (the load's retries ask no more)
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace gascal
