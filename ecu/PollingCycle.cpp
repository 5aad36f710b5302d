#include "ecu/PollingCycle.h"

#include <QFileInfo>
#include <algorithm>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/DataTexts.h"
#include "data/core/ParamFile.h"
#include "ecu/DirectRequests.h"
#include "ecu/EcuSession.h"
#include "ecu/FirmwareUpgrade.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"

namespace gascal {

namespace {
constexpr const char* kFirmwareFile = "\\BIN\\TeluroInj468.frh";
constexpr const char* kFirmwareTitle = " Firmware ";
constexpr int kMaxCylinders = 8;
constexpr long kFileNotFound = 53;  // error numbers of the file error box
constexpr long kPathFileAccessError = 75;

size_t SlotIndex(Slot s) {
    switch (s) {
        case Slot::Div2:
            return 0;
        case Slot::Div5:
            return 1;
        case Slot::Div18:
            return 2;
        case Slot::Div24:
            return 3;
        case Slot::Div54:
            return 4;
        case Slot::Div504:
            return 5;
    }
    return 0;
}
}  // namespace

PollingCycle::PollingCycle(EcuSession& session)
    : session_(session),
      timer_("Timer2", kPollTimerMs, [this] { Tick(); }),
      scheduler_(session),
      injectors_(session.Image(), [this] { scheduler_.StartWriteDelay(Block::Mem3); }),
      errors_(session),
      configLoad_(session.Comm(), session.Image(), session.Requests()),
      fuel_(session.Requests(), session.Image()) {
    session_.Image().SetHost(this);
    // The link timer's link reset: ComState 0 (reopen) or 8 (stopped).
    session_.OnLinkTick([this] {
        const ComState state = session_.Comm().ComState();
        if (!closed_ && (state == ComState::Reopen || state == ComState::Stopped))
            LinkReset(state == ComState::Stopped);
    });
    // A port change stops both timers while the port is reconfigured.
    session_.Supervisor().SetTimerControl([this](bool on) {
        session_.LinkTimer().SetEnabled(on);
        timer_.SetEnabled(on);
    });
    // The correction table is built from the line model when its write
    // delay runs out (or the link stops with the write waiting), and an
    // edit of the model that is complete starts that delay.
    scheduler_.SetCorTableBuilder([this] { session_.BuildTableFromModel(); });
    // (The model outlives this cycle: the listener checks that it still exists.)
    session_.Model().OnTableToWrite([this, alive = std::weak_ptr<bool>(alive_)] {
        if (!alive.expired()) scheduler_.StartCorWrite();
    });
    // The sample answers go into the injection map as they come.
    scheduler_.OnResult([this](Request r, bool ok) {
        if (!ok) return;
        if (r == Request::ReadSmplBnz)
            session_.Map().ReadSamples(MapFuel::Petrol, session_.Requests(), session_.Image());
        else if (r == Request::ReadSmplGas)
            session_.Map().ReadSamples(MapFuel::Gas, session_.Requests(), session_.Image());
    });
}

PollingCycle::~PollingCycle() {
    timer_.SetEnabled(false);
    if (session_.Image().Host() == this) session_.Image().SetHost(nullptr);
}

bool PollingCycle::ServiceView() const {
    return gascal::ServiceView();
}

QString PollingCycle::FirmwarePath() const {
    return SystemPath(QString::fromLatin1(kFirmwareFile));
}

void PollingCycle::OnSlot(Slot s, std::function<void()> f) {
    slots_[SlotIndex(s)].push_back(std::move(f));
}

void PollingCycle::Notify(Slot s) {
    for (const auto& f : slots_[SlotIndex(s)]) f();
}

void PollingCycle::Load() {
    div_.AtLoad();
    for (Request r : {Request::ReadMem1, Request::ReadMem2, Request::ReadMem3, Request::ReadMem5,
                      Request::ReadDcol, Request::ReadCor})
        scheduler_.Post(r);
    firstRefreshPending_ = true;
    session_.Image().ResetPendingEdits();
    errors_.LoadDefinitions();
}

void PollingCycle::Start() {
    session_.StartLink();
    timer_.SetEnabled(true);
}

bool PollingCycle::SlotDue(double& counter, double reload) {
    if (counter < 1) {
        counter = reload;
        return true;
    }
    counter -= 1;
    return false;
}

// --- Link reset ------------------------------------------------------------------

void PollingCycle::LinkReset(bool stopped) {
    scheduler_.PostReadsAfterLinkReset();
    online_ = false;
    firstRefreshPending_ = true;
    if (!stopped) return;
    // The link was stopped: edits still waiting in their delay are applied
    // to the image without being sent, so what the fitter chose stays shown
    // (and is saved with a parameter file) instead of being lost.
    scheduler_.ApplyWaitingEditsToImage();
    // A load already running (the link was stopped during it) goes on by
    // itself and applies the rest of the file to the image.
    if (!configFileToLoad_.isEmpty() && !loadRunning_) LoadConfigFile(configFileToLoad_);
    // The user took the link offline: a car switched to petrol for a load is
    // the fitter's to look after now (the next car found may be another).
    configLoad_.Forget();
    div_.AtLinkReset();
    scheduler_.ForgetWrites();
    configFileToLoad_.clear();
    loadingConfig_ = false;
}

// --- Tick ----------------------------------------------------------------------------

void PollingCycle::Tick() {
    Events().ProcessEvents();
    if (closed_) return;
    for (const auto& f : tickStart_) f();
    if (!online_) {
        CheckFirmwareOnConnect();
    } else {
        // The first refresh waits for every block, live values included, so
        // the display and the settings fill from a complete image.
        if (firstRefreshPending_ && scheduler_.BlocksRead()) FirstRefresh();
        const bool withBlock5 = session_.HasBlock5();

        if (SlotDue(div_.Div2, 1)) {
            scheduler_.Issue();
            Notify(Slot::Div2);
            scheduler_.CountDiv2Delays();
        }
        if (SlotDue(div_.Div5, 4)) {
            scheduler_.CountDiv5Delays(withBlock5);
            scheduler_.Post(Request::ReadMem1);
            if (!configFileToLoad_.isEmpty()) {
                loadingConfig_ = true;
                if (LoadConfigFile(configFileToLoad_)) {
                    configFileToLoad_.clear();
                    loadingConfig_ = false;
                }
            } else if (configLoad_.FuelToggled()) {
                // A load dropped after it switched the car to petrol.
                configLoad_.ReturnFuel();
            }
            Notify(Slot::Div5);
        }
        if (SlotDue(div_.Div18, 17)) {
            if (fuelChangeRequested_) CarryOutFuelChange();
            Notify(Slot::Div18);
        }
        if (SlotDue(div_.Div24, 23)) {
            scheduler_.Post(Request::ReadMem2);
            Notify(Slot::Div24);
            if (injectors_.Active()) injectors_.Step();
        }
        if (SlotDue(div_.Div54, 53)) {
            if (settingsRefreshRequested_) {
                settingsRefreshRequested_ = false;
                for (const auto& f : settingsChanged_) f();
            }
            Notify(Slot::Div54);
            scheduler_.Post(Request::ReadMem3);
            if (withBlock5) scheduler_.Post(Request::ReadMem5);
            scheduler_.CountSampleDelay(autoTuning_);
        }
    }
    if (SlotDue(div_.Div504, 503) && online_) {
        errors_.Read();
        for (const auto& f : errorsRead_) f();
        ClsComm& comm = session_.Comm();
        if (!comm.RichiediIndVar() && comm.ComState() == ComState::Idle)
            comm.SendAndWait(BuildRequest(CMD_GET_ADR_VAR));
        Notify(Slot::Div504);
    }
    if (closeRequested_ && !closed_ && !CalibrationHoldsClose() && !LoadHoldsClose()) Shutdown();
}

void PollingCycle::FirstRefresh() {
    // Let the port search window show "reading" for a moment before the
    // controls fill.
    WaitMicroSeconds(kFirstRefreshWaitUs);
    ParamImage& image = session_.Image();
    if (ModelMayFollowTable()) {
        image.CorTable = image.CorTableEcu;
        session_.RebuildModelFromTable();
    }
    for (const auto& f : firstRefresh_) f();
    CheckInjectorMask();
    firstRefreshPending_ = false;
    ++firstRefreshCount_;
    session_.CheckPetrolControl();
    if (!offlineFile_.isEmpty()) AskWriteOfflineFile();
}

void PollingCycle::SetOfflineFile(const QString& path) {
    if (offlineFile_ == path) return;
    offlineFile_ = path;
    for (const auto& f : offlineListeners_) f();
}

void PollingCycle::AskWriteOfflineFile() {
    // The ECU is back and shown with its own values; the file loaded while
    // offline is written only when the fitter says so.
    const QString path = offlineFile_;
    const bool write =
        UserPrompts().AskYesNo(Text(DataText::AskWritePending) + QStringLiteral("\r\n") + path,
                               Text(DataText::ParamFileTitle));
    SetOfflineFile(QString());
    if (write) configFileToLoad_ = path;
}

void PollingCycle::CheckInjectorMask() {
    // An injector beyond the cylinder count is disabled; the first injector
    // is always fitted.
    ParamImage& image = session_.Image();
    const int n = std::clamp(image.Mem3Block.NumCylinders, 0, kMaxCylinders);
    bool changed = false;
    for (int i = n; i < kMaxCylinders; ++i) {
        if (image.Mem3Block.InjEnable[static_cast<size_t>(i)] != 0) {
            image.PendingEdits.Mem3Block.InjEnable[static_cast<size_t>(i)] = 0;
            changed = true;
        }
    }
    if (image.Mem3Block.InjEnable[0] == 0) {
        image.PendingEdits.Mem3Block.InjEnable[0] = 1;
        changed = true;
    }
    if (changed) scheduler_.StartWriteDelay(Block::Mem3);
}

// --- Line model ----------------------------------------------------------------------------

bool PollingCycle::ModelMayFollowTable() const {
    // A held edit button, or an edit whose table is still to be written,
    // is the fitter's latest word: the table read before it does not
    // replace it. A running calibration alone moves the model: a model
    // rebuilt from its own table can differ from it by a count of rounding,
    // and the calibration's result would no longer be the table it wrote.
    return !session_.Model().Held() && scheduler_.Delays().DelayWriteCor < 1 &&
           !CalibrationRunning();
}

bool PollingCycle::ReadTableForModel() {
    if (session_.LinkStopped() || !ModelMayFollowTable()) return false;
    if (CalibrationRunning()) return false;
    // Three attempts, each once the link is idle again (the tab may be
    // chosen while a request of the cycle is on its way).
    DirectRequests direct(session_);
    if (!direct.Try([this] { return session_.Requests().ReadCorTable(); })) return false;
    ParamImage& image = session_.Image();
    image.CorTable = image.CorTableEcu;
    session_.RebuildModelFromTable();
    return true;
}

void PollingCycle::ClearMapSamples(MapFuel fuel) {
    scheduler_.Post(fuel == MapFuel::Gas ? Request::CancSmplGas : Request::CancSmplBnz);
    session_.Map().ClearFuel(fuel);
}

MapStepResult PollingCycle::ComputeMap() {
    return session_.Map().Step(true, autoTuning_, ServiceView(), session_.Image().CorTable);
}

MapStepResult PollingCycle::StepMap() {
    return session_.Map().Step(false, autoTuning_, ServiceView(), session_.Image().CorTable);
}

bool PollingCycle::OpenMapFile(const QString& path) {
    if (!session_.Map().Open(path)) return false;
    const ComState state = session_.Comm().ComState();
    if (state == ComState::Reopen || state == ComState::Stopped) StepMap();
    return true;
}

// --- Closing -----------------------------------------------------------------------------

bool PollingCycle::CalibrationHoldsClose() {
    // A car is never left in slave mode or on a half-moved table because the
    // window closed: a running calibration is aborted first, on its own
    // ticks, while the link still runs (an abort run from here could sit
    // inside another handler's exchange and wait for it for ever). The
    // close follows once it is over, or after a bounded wait.
    if (!CalibrationRunning()) return false;
    if (!calibrationAbortAsked_) {
        calibrationAbortAsked_ = true;
        closeDeadlineUs_ = MicroSeconds() + kCloseCalibrationWaitUs;
        if (calibration_.requestAbort) calibration_.requestAbort();
    }
    return MicroSeconds() < closeDeadlineUs_;
}

bool PollingCycle::LoadHoldsClose() {
    // A car switched to petrol and into slave mode for a load is not left
    // so because the window closed: the load under way ends its attempt,
    // no other follows, and the next 5-tick slot puts the car back on gas
    // and running on its own; the close follows, or comes after a bounded
    // wait.
    if (!loadRunning_ && !configLoad_.FuelToggled()) return false;
    configFileToLoad_.clear();
    if (loadCloseDeadlineUs_ == 0) loadCloseDeadlineUs_ = MicroSeconds() + kCloseLoadWaitUs;
    return MicroSeconds() < loadCloseDeadlineUs_;
}

void PollingCycle::StopForClose() {
    if (closed_) return;
    closeRequested_ = true;
    if (CalibrationHoldsClose() || LoadHoldsClose()) return;
    // A table write under way is finished first, so the ECU is not left with
    // a table part new and part old; the close follows at the end of the
    // tick that writes it.
    if (scheduler_.CorWriteRunning()) return;
    session_.Comm().Stop();
    session_.Comm().CloseComPort();
}

void PollingCycle::Shutdown() {
    // The timers stop, handlers still inside a wait finish first, then the
    // window goes.
    session_.StopLink();
    timer_.SetEnabled(false);
    session_.Comm().Stop();
    session_.Comm().CloseComPort();
    closed_ = true;
    for (const auto& f : closedListeners_) f();
}

// --- Firmware check -----------------------------------------------------------------------

void PollingCycle::RequestUpgradeAtStart() {
    upgradeAtStart_ = true;
    // Online, the check would not run before the next connection: the ECU
    // is read again as after a link reset, and identified on the next tick.
    if (online_) LinkReset(false);
}

bool PollingCycle::RunUpgrade(bool offered) {
    timer_.SetEnabled(false);
    const bool online = runUpgrade_ ? runUpgrade_(offered) : false;
    timer_.SetEnabled(true);
    return online;
}

void PollingCycle::CheckFirmwareOnConnect() {
    if (closeRequested_) return;
    ClsComm& comm = session_.Comm();
    const QString path = FirmwarePath();
    const QString title = QString::fromLatin1(kFirmwareTitle);
    // A missing firmware file, and one that is there but cannot be used (a
    // damaged record or flash table), are said once, naming what is wrong,
    // and the window closes: no ECU can be checked against it.
    const auto fileUnusable = [&](const QString& why) {
        UserPrompts().Message(FirmwareFileMessage(session_.Lookup(), path, why), title,
                              BoxIcon::Critical);
        comm.UnloadWDogSend();
        closeRequested_ = true;
    };
    if (!FileExists(path)) {
        fileUnusable(QString());
        return;
    }
    if (comm.ComState() != ComState::Idle) return;
    if (!comm.ReadFirmwareIdentity()) {
        if (!comm.FirmwareFileError().isEmpty()) fileUnusable(comm.FirmwareFileError());
        return;
    }

    const FirmwareVerdict verdict = JudgeFirmware(comm.FirmwareEcu(), comm.FirmwareFle());
    // An ECU left in its boot loader by an interrupted upgrade may report any
    // identity (what the flash holds so far): it goes to the upgrade window,
    // which writes it again, instead of online or reconnecting for ever.
    const bool waitsForProgram =
        (verdict == FirmwareVerdict::Accepted || verdict == FirmwareVerdict::Incompatible) &&
        EcuWaitsForProgram(session_);
    const QString both = DescribeFirmwares(comm.FirmwareEcu(), comm.FirmwareFle(),
                                           session_.Caption(Cap::LblEcuFirmware),
                                           session_.Caption(Cap::LblFileFirmware));
    if (verdict == FirmwareVerdict::Incompatible && !waitsForProgram) {
        // The box comes once the count has passed 21.
        if (++connectAttempts_ > kIncompatibleMessageAfter) {
            UserPrompts().Message(
                session_.Caption(Cap::MsgEcuIncompatible) + QStringLiteral("\n\n") + both, title,
                BoxIcon::Critical);
            connectAttempts_ = 0;
        }
        comm.UnloadWDogSend();
        comm.Reopen();
        if (comm.FlagRicercaCom() != SEARCH_OFF) comm.SetFlagRicercaCom(comm.FlagRicercaCom() + 1);
        return;
    }

    if (upgradeAtStart_ || waitsForProgram) {
        upgradeAtStart_ = false;
        online_ = RunUpgrade(false);
        if (!online_) closeRequested_ = true;
    } else {
        switch (verdict) {
            case FirmwareVerdict::Accepted:
                online_ = true;
                break;
            case FirmwareVerdict::UpgradeOffered:
                RunUpgrade(true);
                online_ = true;
                break;
            case FirmwareVerdict::UpgradeNeeded:
                UserPrompts().Message(
                    session_.Caption(Cap::MsgEcuOlder) + QStringLiteral("\n\n") + both, title,
                    BoxIcon::Warning);
                online_ = RunUpgrade(false);
                if (!online_) closeRequested_ = true;
                break;
            case FirmwareVerdict::EcuNewer:
                UserPrompts().Message(
                    QString::fromLatin1(kSoftwareVersionText) + QStringLiteral("\n\n") +
                        session_.Caption(Cap::MsgEcuNewer) + QStringLiteral("\n\n") + both,
                    title, BoxIcon::Critical);
                comm.UnloadWDogSend();
                closeRequested_ = true;
                break;
            case FirmwareVerdict::Incompatible:
                break;
        }
    }
    // The port found is remembered.
    if (comm.FlagRicercaCom() != SEARCH_OFF)
        comm.StopSearchAndRemember(QString::fromLatin1(kSetComIniPath));
    connectAttempts_ = 0;
}

// --- Configuration file ---------------------------------------------------------------------

bool PollingCycle::LoadConfigFile(const QString& path) {
    // A file that went away or cannot be read since it was chosen is no link
    // failure: retrying it would switch a car on gas to petrol on every
    // attempt and never say why. It is reported once and dropped; a car
    // switched to petrol by an earlier attempt goes back on the next slot.
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable()) {
        const bool exists = file.exists();
        ErrorReport(
            QStringLiteral("LoadConfigFile_Err"), path + QLatin1Char('\r'), false,
            exists ? kPathFileAccessError : kFileNotFound,
            exists ? QStringLiteral("Path/File access error") : QStringLiteral("File not found"));
        configFileToLoad_.clear();
        loadingConfig_ = false;
        return false;
    }
    if (beforeLoad_ && !session_.LinkStopped() && beforeLoadDone_ != path) {
        if (!beforeLoad_(path)) {
            configFileToLoad_.clear();
            loadingConfig_ = false;
            return false;
        }
        beforeLoadDone_ = path;
    }
    const bool timerWas = timer_.Enabled();
    timer_.SetEnabled(false);
    loadRunning_ = true;
    // What the file lacks or cannot give was named when it was chosen.
    ParamLoadOptions options = session_.LoadOptions();
    options.reportBadLines = false;
    const ConfigLoad::Result r = configLoad_.Attempt(path, options);
    loadRunning_ = false;
    // The table now holds the file's (link stopped) or what the ECU took.
    if (r.linkStopped || r.tableRead) session_.RebuildModelFromTable();
    // With the link stopped the file's values are shown but not in the ECU.
    if (r.linkStopped)
        SetOfflineFile(path);
    else if (r.written)
        SetOfflineFile(QString());
    if (r.ok) beforeLoadDone_.clear();
    for (const auto& f : loadListeners_) f(path, r);
    if (timerWas || !closed_) timer_.SetEnabled(true);
    firstRefreshPending_ = true;
    return r.ok;
}

// --- Fuel switch ---------------------------------------------------------------------------

void PollingCycle::RequestFuelChange() {
    if (session_.Image().Mem1Block.KeyOn != 0 && !fuelChangeRequested_) fuelChangeRequested_ = true;
}

void PollingCycle::CarryOutFuelChange() {
    fuel_.Toggle();
    fuelChangeRequested_ = false;
}

}  // namespace gascal
