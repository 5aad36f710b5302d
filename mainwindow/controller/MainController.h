// The main window's logic, without widgets (FrmKT540's timers and rules).
//
// It owns Timer1 (1 ms: link supervision, port status) and Timer2 (14 ms:
// polling and display, with its divider slots every 2nd, 5th, 18th, 24th,
// 54th and 504th tick), the request flags and write delays, and the request
// scheduler that issues at most one ECU request per 2-tick slot by fixed
// priority. It checks the ECU's firmware before going online, carries out
// the fuel switch, the injector mode sequencing, the loading and saving of
// parameter files, the switchover settings' change handlers and closing.
// The window implements MainView and forwards user actions here; tests
// drive the controller in virtual time against the simulated ECU.
#pragma once

#include <QString>
#include <array>
#include <functional>
#include <memory>

#include "common/EventService.h"
#include "data/core/ParamImageHost.h"
#include "data/errors/EcuErrors.h"
#include "mainwindow/controller/ConfigLoad.h"
#include "mainwindow/controller/FeatureWindows.h"
#include "mainwindow/controller/LiveDisplay.h"
#include "mainwindow/controller/MainView.h"
#include "mainwindow/controller/SwitchLists.h"

namespace gascal {

class ClsComm;
class ParamImage;
class ScaleConfig;
class ClsLingue;
class EcuRequests;

// Tabs of SstMain, by index.
enum MainTab { TAB_CALIBRATION = 0, TAB_MODELING = 1, TAB_MAP = 2, TAB_GENERAL = 3, TAB_CONFIG = 4 };

// Request flags of the scheduler (true = the request is to be issued).
struct RequestFlags {
    bool PendingWriteMem3 = false;
    bool PendingWriteMem5 = false;
    bool PendingWriteMem2 = false;
    bool PendingEcuMode = false;
    bool PendingReadCor = false;
    bool PendingReadMem3 = false;
    bool PendingReadDcol = false;
    bool PendingReadMem5 = false;
    bool PendingReadMem2 = false;
    bool PendingReadMem1 = false;
    bool PendingReadSmplBnz = false;
    bool PendingReadSmplGas = false;
    bool PendingCancSmplBnz = false;
    bool PendingCancSmplGas = false;
};

// Divider counters of Timer2: a slot runs on a tick where its counter is
// below 1, and the counter is then reloaded; otherwise it counts down by 1.
struct Dividers {
    double Div2 = 3, Div5 = 7, Div18 = 17, Div24 = 23, Div54 = 53, Div504 = 101;
    void AtLoad() { *this = Dividers{}; }
    void AtLinkReset() {
        *this = Dividers{};
        Div504 = 103;
    }
};

// Write delays (0 = idle).
struct WriteDelays {
    double DelayWriteMem2 = 0;
    double DelayWriteMem3 = 0;
    double DelayWriteMem5 = 0;
    double DelayWriteCor = 0;
    double DelaySamples = 0;
};

// Selections of the settings display (list indexes, -1 none).
struct SettingsSelection {
    int rpm = -1, temp = -1, delay = -1, bar = -1, delayPress = -1, force = -1, seq = -1;
    int cylinders = -1, coils = -1, lambda = -1, injector = -1, level = -1, emptyGas = -1;
    int shoRpm = -1;
    int fuelType = 0;  // OptTypFuel: 0 Cng, 1 Lpg
    bool volCompVisible = false;
};

// What a request reports to tests and the log (scheduler trace).
enum class SchedulerRequest {
    None, WriteMem3, WriteMem5, WriteMem2, EcuMode, ReadCor, ReadMem3, ReadDcol, ReadMem5,
    ReadMem2, ReadMem1, ReadSmplBnz, ReadSmplGas, CancSmplBnz, CancSmplGas
};

class MainController : public ParamImageHost {
public:
    static constexpr int kTimer1Ms = 1;
    static constexpr int kTimer2Ms = 14;
    static constexpr int kFirmwareBlock5Version = 132;
    static constexpr int kIncompatibleMessageEvery = 21;
    static constexpr int kFuelReadBackTries = 20;
    static constexpr double kFuelReadBackWaitUs = 500000;
    static constexpr double kFirstRefreshWaitUs = 1000000;
    static constexpr double kShoRpmWaitUs = 250000;
    static constexpr int kGasFuel = 3;
    static constexpr int kPetrolFuel = 0;

    MainController(ClsComm& comm, ParamImage& image, ScaleConfig& scale, ClsLingue& lingue);
    ~MainController() override;

    void SetView(MainView* view) { view_ = view ? view : &nullView_; }
    void SetFeatures(FeatureWindows* f) { features_ = f ? f : &notAvailable_; }

    // --- Start-up and window events ------------------------------------------
    void Form_Load();
    void StartTimers();  // enables Timer1 and Timer2 (the start-up routine)
    void Form_Activate();
    // Close from the window's control box: stops the link, the unload
    // follows at the end of the next Timer2 tick.
    void Form_QueryUnload();
    bool Unloaded() const { return unloaded_; }

    // --- Timers ---------------------------------------------------------------
    void Timer1_Timer();
    void Timer2_Timer();
    Timer& Timer1() { return timer1_; }
    Timer& Timer2() { return timer2_; }
    // One scheduler call (exposed for tests); returns what it issued.
    SchedulerRequest RequestScheduler();
    SchedulerRequest LastRequest() const { return lastRequest_; }
    // Told of every request the scheduler issues and whether it succeeded.
    void SetRequestObserver(std::function<void(SchedulerRequest, bool)> f) {
        requestObserver_ = std::move(f);
    }

    // --- Menus and keys ------------------------------------------------------
    void MnuFileLoadConf_Click();
    void MnuFileSaveConf_Click();
    void MnuFileEsc_Click() { CloseRequested = true; }
    void MnuLngT_Click(int language);
    void MnuViewTab_Click(int menuEntry);  // General, Configuration, Calibration, Modeling, Map
    void SstMain_Click(int tab);
    void ToggleServiceView();
    bool ServiceView() const override;
    // Device menu.
    void MnuDevCom_Click(int item);  // 0 USB, 1..9 COM n
    void MnuDevSearch_Click();
    void MnuDevOffline_Click();
    // Logo fuel switch: mouse up on the logo.
    void ImgLogo_MouseUp();
    void CmdErrInj_Click() { features_->ShowErrorWindow(); }
    void MnuInfoAbout_Click() { features_->ShowAbout(); }
    void CmdExpert_Click() { features_->OpenExpertPage(); }

    // --- Switchover and system settings (Configuration tab) ------------------
    void RiempiCmbSwtch();
    const SwitchLists& Lists() const { return lists_; }
    const EntryList& DelayList() const { return delayList_; }
    SettingsSelection CurrentSettings() const;  // the settings display
    void CmbSwtchRpm_Click(int index);
    void CmbSwtchTemp_Click(int index);
    void CmbSwtchDelay_Click(int index);
    void CmbSwtchBar_Click(int index);
    void CmbSwtchDelayPress_Click(int index);
    void CmbSwtchForce_Click(int index);
    void CmbSwtchBobine_Click(int index);
    void CmbSwtchCilindri_Click(int index);
    void CmbSwtchLambdaType_Click(int index);
    void OptTypFuel_Click(int option);
    void CmbTpyGLS_Click(int index);
    void CmbTpyInj_Click(int index);
    void CmbEmptyGas_Click(int index);
    void CmbSwtchSeq_Click(int index);
    void CmbShoRpm_Click(int index);
    void ChkAbilAcqVacum_Click(bool ticked);
    void CmdTpyInj_Click() { features_->OpenInjectorPage(); }
    void CmdTpyGLS_Click() { features_->OpenLevelPage(); }
    void CmbInj_Click(int index) { display_.SetSelectedInjector(index); }
    bool AutoTuning() const { return autoTuning_; }
    double LambdaFactor() const { return lambdaFactor_; }

    // --- Live display ----------------------------------------------------------
    const LiveDisplay& Display() const { return display_; }
    LiveInputs CurrentInputs() const;
    StatusCell ComStatusCell() const { return supervisor_.Cell1(); }
    bool OfflineMode() const { return supervisor_.OfflineMode(); }
    LinkSupervisor& Supervisor() { return supervisor_; }
    QString Text(int entry) const;  // dictionary text in the current language
    QString CaptionText(int cap) const;
    QString ProductTitle() const;

    // --- ParamImageHost -------------------------------------------------------
    void SetDelayWriteMem3(double value) override { delays.DelayWriteMem3 = value; }
    void SetFirstRefreshPending() override { FirstRefreshPending = true; }
    void RequestSettingsRefresh() override { settingsRefreshRequested_ = true; }

    // --- Procedures used by the slots (exposed for tests) --------------------
    void CheckFirmwareOnConnect();
    bool LoadConfigFile(const QString& path);
    void CarryOutFuelChange();
    void InjModeStep();
    void AggiornaStatoCom();
    void ShowPortTicks();
    void ElaboraMsgCom();
    // Reads the ECU's error list, clears the items this installation
    // ignores and shows or hides the "Errori" button.
    void CaricaErroriEcu();
    bool ErrorsPresent() const { return errorsPresent_; }
    const EcuErrorDefinitions& ErrorDefinitions() const { return errorDefs_; }
    ErrorMask IgnoreMask() const;
    QString ErrorButtonCaption() const;
    void SelezionaCom(int idCom, bool isUsb);
    void CheckTab(int tab);
    void RefreshSettingsNow();

    // --- Window state ----------------------------------------------------------
    RequestFlags flags;
    Dividers div;
    WriteDelays delays;
    bool Online = false;
    bool FirstRefreshPending = false;
    bool CloseRequested = false;
    QString ConfigFileToLoad;
    bool LoadingConfig = false;
    bool FillingControls = false;
    int ConnectAttempts = 0;
    int InjModeRequestFlag = 0;
    int InjModeRequestIndex = 0;
    int InjModeRequestState = -1;
    bool FuelChangeRequested = false;
    bool UpgradeRequestedAtStart = false;
    int CurrentTab = TAB_GENERAL;
    QString FirmwarePath;

    // Counters for tests and the status bar.
    int firstRefreshCount = 0;
    int loadConfigCount = 0;

    ClsComm& Comm() { return comm_; }
    ParamImage& Image() { return image_; }
    ScaleConfig& Scale() { return scale_; }
    ClsLingue& Lingue() { return lingue_; }
    EcuRequests& Requests() { return *requests_; }
    const ConfigLoad& ConfigLoader() const { return configLoad_; }

private:
    void LinkReset(bool stopped);
    void FirstRefresh();
    void CheckInjectorMask();
    bool SlotDue(double& counter, double reload);
    void CountDelayMem2AndCor();
    void SetWindowCaption(const QString& path);
    int EcuVersion() const;
    void PendInj(int i, int v);
    void FinishInj(int i, int v);
    void ClearInjRequest();
    void UpdateLambdaDisplay();
    void LoadErrorDefinitions();

    // Requests to the ECU (each true when the ECU answered).
    bool ReadBlock(int n);
    bool WriteBlock(int n);
    bool SetEcuMode();
    bool SendFixed(const char* frameHex);
    bool ReadCorTable();
    bool WriteCorTable();
    bool SendSimple(uint8_t command);

    ClsComm& comm_;
    ParamImage& image_;
    ScaleConfig& scale_;
    ClsLingue& lingue_;
    MainView nullView_;
    MainView* view_ = &nullView_;
    NotAvailableFeatures notAvailable_;
    FeatureWindows* features_ = &notAvailable_;

    Timer timer1_;
    Timer timer2_;
    std::unique_ptr<EcuRequests> requests_;
    ConfigLoad configLoad_;
    LiveDisplay display_;
    SwitchLists lists_;
    EntryList delayList_;
    LinkSupervisor supervisor_;
    FrmInitModel frmInit_;
    int shownTick_ = -2;
    bool shownOffline_ = false;
    SchedulerRequest lastRequest_ = SchedulerRequest::None;
    std::function<void(SchedulerRequest, bool)> requestObserver_;
    bool settingsRefreshRequested_ = false;
    bool loadRunning_ = false;  // inside LoadConfigFile (its waits let Timer1 run)
    bool autoTuning_ = false;
    bool errorsPresent_ = false;
    EcuErrorDefinitions errorDefs_;
    bool unloaded_ = false;
    bool closing_ = false;
    double lambdaFactor_ = 0.001;
    int searchMsgType_ = -1;
    bool searchVisible_ = false;
};

}  // namespace gascal
