#include "mainwindow/controller/MainController.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>

#include "common/Helpers.h"
#include "common/LogSink.h"
#include "common/Prompts.h"
#include "data/core/ClsLingue.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "mainwindow/controller/Captions.h"
#include "mainwindow/controller/EcuRequests.h"
#include "mainwindow/controller/ErrorMask.h"

namespace gascal {

namespace {
constexpr const char* kVersionText = " Software ver. 01.01.05";
constexpr const char* kSetComIni = "\\BIN\\SetCom.ini";
constexpr const char* kFirmwareFile = "\\BIN\\TeluroInj468.frh";
constexpr const char* kScaleFile = "\\LNG\\ConfigScale.ini";
constexpr const char* kVarFilter = "Mod Files (*.var)|*.var|";
constexpr int kMaxCount = 8;
constexpr const char* kErrorButtonFallback = "Errors";
constexpr long kFileNotFound = 53;         // error numbers of the file error box
constexpr long kPathFileAccessError = 75;
}  // namespace

MainController::MainController(ClsComm& comm, ParamImage& image, ScaleConfig& scale,
                               ClsLingue& lingue)
    : comm_(comm),
      image_(image),
      scale_(scale),
      lingue_(lingue),
      timer1_("Timer1", kTimer1Ms, [this] { Timer1_Timer(); }),
      timer2_("Timer2", kTimer2Ms, [this] { Timer2_Timer(); }),
      requests_(std::make_unique<EcuRequests>(comm, image)),
      configLoad_(comm, image, *requests_),
      supervisor_(comm) {
    image_.SetHost(this);
    // A port change stops both timers while the port is reconfigured.
    supervisor_.SetTimerControl([this](bool on) {
        timer1_.SetEnabled(on);
        timer2_.SetEnabled(on);
    });
    supervisor_.SetCellObserver([this](int cell, const StatusCell& c) { view_->ShowStatusCell(cell, c); });
    // [link timer] The link wakes Timer1 on port data and link changes.
    supervisor_.SetLinkTimer(&timer1_);
}

MainController::~MainController() {
    timer1_.SetEnabled(false);
    timer2_.SetEnabled(false);
    if (image_.Host() == this) image_.SetHost(nullptr);
}

// --- Texts ---------------------------------------------------------------------

QString MainController::Text(int entry) const {
    return lingue_.VoceDizionario(lingue_.IdLingua(), entry);
}

QString MainController::CaptionText(int cap) const {
    return Caption(static_cast<Cap>(cap), [this](int e) { return Text(e); });
}

QString MainController::ProductTitle() const { return CaptionText(static_cast<int>(Cap::Title)); }

bool MainController::ServiceView() const { return gascal::ServiceView(); }

int MainController::EcuVersion() const { return comm_.FirmwareEcuVersNum(); }

// --- Start-up ------------------------------------------------------------------

void MainController::Form_Load() {
    view_->SetWaitCursor(true);
    div.AtLoad();
    flags.PendingReadMem1 = flags.PendingReadMem2 = flags.PendingReadMem3 = true;
    flags.PendingReadMem5 = flags.PendingReadDcol = flags.PendingReadCor = true;
    FirstRefreshPending = true;
    view_->IstanzaInj(std::clamp(image_.Mem3Block.NumCylinders, 0, kMaxCount));
    image_.ResetPendingEdits();
    const QString scalePath = SystemPath(QString::fromLatin1(kScaleFile));
    scale_.IniziaLevelGasType(scalePath);
    scale_.IniziaTipoInj(scalePath);
    scale_.IniziaTipoLambda(scalePath, CaptionText(static_cast<int>(Cap::LambdaNone)));
    RiempiCmbSwtch();
    LoadErrorDefinitions();
    FirmwarePath = SystemPath(QString::fromLatin1(kFirmwareFile));
    SetWindowCaption(QString());
    view_->SetWaitCursor(false);
}

void MainController::StartTimers() {
    timer1_.SetEnabled(true);
    timer2_.SetEnabled(true);
}

void MainController::Form_Activate() {
    const int bad = lingue_.FindDictionaryError();
    if (bad >= 0)
        UserPrompts().Message(QStringLiteral("Dictionary error: ") + lingue_.NomeLingua(bad),
                              AppTitle(), BoxIcon::Critical);
}

void MainController::Form_QueryUnload() {
    if (unloaded_) return;
    view_->SetWaitCursor(true);
    comm_.SetComState(COM_STOP);
    comm_.CloseComPort();
    CloseRequested = true;
    view_->SetWaitCursor(false);
}

void MainController::SetWindowCaption(const QString& path) {
    QString c = ProductTitle() + QStringLiteral(" - ") + QString::fromLatin1(kVersionText);
    if (!path.isEmpty()) c += QStringLiteral(" - [") + path + QStringLiteral("]");
    view_->SetCaption(c);
}

// --- Timer1: link supervision ----------------------------------------------------

void MainController::LinkReset(bool stopped) {
    flags.PendingReadMem1 = true;
    if (!flags.PendingWriteMem2) flags.PendingReadMem2 = true;
    if (!flags.PendingWriteMem3) flags.PendingReadMem3 = true;
    if (!flags.PendingWriteMem5) flags.PendingReadMem5 = true;
    if (delays.DelayWriteCor < 1) flags.PendingReadCor = true;
    flags.PendingReadSmplBnz = flags.PendingReadSmplGas = true;
    flags.PendingReadDcol = true;
    Online = false;
    FirstRefreshPending = true;
    if (!stopped) return;

    // The link was stopped: edits still waiting in their delay are applied
    // to the image without being sent, so what the fitter chose stays shown
    // (and is saved with a parameter file) instead of being lost.
    if (delays.DelayWriteMem2 >= 1 || flags.PendingWriteMem2) image_.BuildMem2Payload();
    if (delays.DelayWriteMem3 >= 1 || flags.PendingWriteMem3) image_.BuildMem3Payload();
    if (delays.DelayWriteMem5 >= 1 || flags.PendingWriteMem5) image_.BuildMem5Payload();
    // A load already running (the link was stopped during it) goes on by
    // itself and applies the rest of the file to the image.
    if (!ConfigFileToLoad.isEmpty() && !loadRunning_) LoadConfigFile(ConfigFileToLoad);
    // The user took the link offline: a car switched to petrol for a load is
    // the fitter's to look after now (the next car found may be another).
    configLoad_.Forget();
    div.AtLinkReset();
    flags.PendingWriteMem2 = flags.PendingWriteMem3 = flags.PendingWriteMem5 = false;
    delays = WriteDelays{};
    ConfigFileToLoad.clear();
    image_.ResetPendingEdits();
    LoadingConfig = false;
}

void MainController::Timer1_Timer() {
    if (unloaded_) return;
    supervisor_.ApplyOfflineRequest();
    const int state = comm_.ComState();
    if (state == COM_REOPEN || state == COM_STOP) LinkReset(state == COM_STOP);
    supervisor_.StepAndShow();
    ShowPortTicks();
    // [link timer] Timer1 sleeps until the link has work due. Stopped, it keeps
    // ticking: LinkReset above applies what the fitter edits offline.
    if (comm_.ComState() != COM_STOP) supervisor_.SleepUntilDue();
}

void MainController::AggiornaStatoCom() {
    supervisor_.AggiornaStatoCom();
    ShowPortTicks();
}

void MainController::ShowPortTicks() {
    // The view follows the supervisor's port items (the search moves the tick).
    const int item = supervisor_.PortaDiComSelected();
    const int shown = item < PORT_ITEMS ? item : -1;
    if (shown == shownTick_ && supervisor_.OfflineTicked() == shownOffline_) return;
    shownTick_ = shown;
    shownOffline_ = supervisor_.OfflineTicked();
    view_->ShowPortTicks(shownTick_, shownOffline_);
}

// --- Timer2: polling and display ---------------------------------------------------

bool MainController::SlotDue(double& counter, double reload) {
    if (counter < 1) {
        counter = reload;
        return true;
    }
    counter -= 1;
    return false;
}

void MainController::Timer2_Timer() {
    Events().ProcessEvents();
    if (unloaded_) return;
    ElaboraMsgCom();
    if (!Online) {
        CheckFirmwareOnConnect();
    } else {
        // The first refresh waits for every block, live values included, so
        // the display and the settings fill from a complete image.
        if (FirstRefreshPending && !flags.PendingReadMem3 && !flags.PendingReadMem2 &&
            !flags.PendingReadCor && !flags.PendingReadMem5 && !flags.PendingReadDcol &&
            !flags.PendingReadMem1)
            FirstRefresh();

        if (SlotDue(div.Div2, 1)) {
            RequestScheduler();
            const LiveInputs in = CurrentInputs();
            display_.UpdateRpm(in);
            display_.UpdateInjTimes(in);
            view_->ShowLive(LivePart::RpmAndInj);
            CountDelayMem2AndCor();
        }
        if (SlotDue(div.Div5, 4)) {
            if (delays.DelayWriteMem3 > 0 && --delays.DelayWriteMem3 < 1) {
                delays.DelayWriteMem3 = 0;
                flags.PendingReadMem3 = flags.PendingWriteMem3 = true;
            }
            if (EcuVersion() > kFirmwareBlock5Version && delays.DelayWriteMem5 > 0 &&
                --delays.DelayWriteMem5 < 1) {
                delays.DelayWriteMem5 = 0;
                flags.PendingReadMem5 = flags.PendingWriteMem5 = true;
            }
            flags.PendingReadMem1 = true;
            if (!ConfigFileToLoad.isEmpty()) {
                LoadingConfig = true;
                if (LoadConfigFile(ConfigFileToLoad)) {
                    ConfigFileToLoad.clear();
                    LoadingConfig = false;
                }
            } else if (configLoad_.FuelToggled()) {
                // A load dropped after it switched the car to petrol.
                configLoad_.ReturnFuel();
            }
            UpdateLambdaDisplay();
            display_.UpdateMarks(CurrentInputs());
            view_->ShowLive(LivePart::LambdaAndMarks);
        }
        if (SlotDue(div.Div18, 17) && FuelChangeRequested) CarryOutFuelChange();
        if (SlotDue(div.Div24, 23)) {
            flags.PendingReadMem2 = true;
            display_.UpdateStatus(CurrentInputs(), autoTuning_);
            display_.UpdateConnectionTime(comm_.TimeCom() / 1000.0);
            view_->ShowLive(LivePart::Status);
            if (InjModeRequestFlag != 0) InjModeStep();
        }
        if (SlotDue(div.Div54, 53)) {
            if (settingsRefreshRequested_) {
                settingsRefreshRequested_ = false;
                RefreshSettingsNow();
            }
            display_.UpdateTemperatures(CurrentInputs());
            view_->ShowLive(LivePart::Temperatures);
            flags.PendingReadMem3 = true;
            if (EcuVersion() > kFirmwareBlock5Version) flags.PendingReadMem5 = true;
            if (delays.DelaySamples > 0) {
                if (--delays.DelaySamples < 1) {
                    delays.DelaySamples = 0;
                    flags.PendingReadSmplGas = flags.PendingReadSmplBnz = true;
                }
            } else if (autoTuning_ && !flags.PendingReadSmplBnz && !flags.PendingReadSmplGas) {
                delays.DelaySamples = 4;
            }
        }
    }
    if (SlotDue(div.Div504, 503) && Online) {
        CaricaErroriEcu();
        if (!comm_.RichiediIndVar() && comm_.ComState() == COM_IDLE)
            comm_.SendAndWait(BuildRequest(CMD_GET_ADR_VAR));
    }
    if (CloseRequested && !unloaded_) {
        // Form_Unload: the timers stop, handlers still inside a wait finish
        // first, then the window goes.
        view_->SetWaitCursor(true);
        timer1_.SetEnabled(false);
        timer2_.SetEnabled(false);
        comm_.SetComState(COM_STOP);
        comm_.CloseComPort();
        unloaded_ = true;
        view_->SetWaitCursor(false);
        view_->Unload();
    }
}

void MainController::CountDelayMem2AndCor() {
    if (delays.DelayWriteMem2 > 0 && --delays.DelayWriteMem2 < 1) {
        delays.DelayWriteMem2 = 0;
        flags.PendingReadMem2 = flags.PendingWriteMem2 = true;
    }
    if (delays.DelayWriteCor > 1) {
        delays.DelayWriteCor -= 1;
        if (delays.DelayWriteCor < 2) delays.DelayWriteCor = WriteCorTable() ? 0 : 10;
    }
}

void MainController::FirstRefresh() {
    // Let the port search window show "reading" for a moment before the
    // controls fill.
    WaitMicroSeconds(kFirstRefreshWaitUs);
    RefreshSettingsNow();
    image_.CorTable = image_.CorTableEcu;
    CheckInjectorMask();
    FirstRefreshPending = false;
    ++firstRefreshCount;
    image_.PetrolControlEnabled = CheckPetrolControlFirmware(
        scale_.ControlPetrolFirmware, comm_.FirmwareEcuVersNum(), comm_.FirmwareEcuYearNum(),
        comm_.FirmwareEcuMonthNum(), comm_.FirmwareEcuDayNum());
}

void MainController::CheckInjectorMask() {
    const int n = std::clamp(image_.Mem3Block.NumCylinders, 0, kMaxCount);
    bool changed = false;
    for (int i = n; i < kMaxCount; ++i) {
        if (image_.Mem3Block.InjEnable[static_cast<size_t>(i)] != 0) {
            image_.PendingEdits.Mem3Block.InjEnable[static_cast<size_t>(i)] = 0;
            changed = true;
        }
    }
    if (image_.Mem3Block.InjEnable[0] == 0) {
        image_.PendingEdits.Mem3Block.InjEnable[0] = 1;
        changed = true;
    }
    if (changed) delays.DelayWriteMem3 = 1;
}

// --- Request scheduler ----------------------------------------------------------------

SchedulerRequest MainController::RequestScheduler() {
    lastRequest_ = SchedulerRequest::None;
    if (comm_.ComState() != COM_IDLE || !Online) return lastRequest_;
    auto& f = flags;
    const auto issue = [this](SchedulerRequest r, bool& flag, bool ok) {
        lastRequest_ = r;
        if (ok) flag = false;
        if (requestObserver_) requestObserver_(r, ok);
        return r;
    };
    // A block write is followed by a read of the block whatever its outcome:
    // after a success the display shows what the ECU took, after a failure
    // the retry waits for that read, so it merges the edits into what the
    // ECU holds then and not into what it held before the failure.
    if (f.PendingWriteMem3 && !f.PendingReadMem3) {
        const bool ok = WriteBlock(3);
        f.PendingReadMem3 = true;
        return issue(SchedulerRequest::WriteMem3, f.PendingWriteMem3, ok);
    }
    if (f.PendingWriteMem5 && !f.PendingReadMem5) {
        const bool ok = WriteBlock(5);
        f.PendingReadMem5 = true;
        return issue(SchedulerRequest::WriteMem5, f.PendingWriteMem5, ok);
    }
    if (f.PendingWriteMem2 && !f.PendingReadMem2) {
        const bool ok = WriteBlock(2);
        f.PendingReadMem2 = true;
        return issue(SchedulerRequest::WriteMem2, f.PendingWriteMem2, ok);
    }
    if (f.PendingEcuMode) return issue(SchedulerRequest::EcuMode, f.PendingEcuMode, SetEcuMode());
    if (f.PendingReadCor) return issue(SchedulerRequest::ReadCor, f.PendingReadCor, ReadCorTable());
    if (f.PendingReadMem3) return issue(SchedulerRequest::ReadMem3, f.PendingReadMem3, ReadBlock(3));
    if (f.PendingReadDcol) return issue(SchedulerRequest::ReadDcol, f.PendingReadDcol, ReadBlock(6));
    if (f.PendingReadMem5) return issue(SchedulerRequest::ReadMem5, f.PendingReadMem5, ReadBlock(5));
    if (f.PendingReadMem2) return issue(SchedulerRequest::ReadMem2, f.PendingReadMem2, ReadBlock(2));
    if (f.PendingReadMem1) return issue(SchedulerRequest::ReadMem1, f.PendingReadMem1, ReadBlock(1));
    if (f.PendingReadSmplBnz) {
        const bool ok = SendSimple(CMD_READ_SMPL_BNZ) && SendSimple(CMD_READ_SMPL_BNZ1);
        return issue(SchedulerRequest::ReadSmplBnz, f.PendingReadSmplBnz, ok);
    }
    if (f.PendingReadSmplGas) {
        const bool ok = SendSimple(CMD_READ_SMPL_GAS) && SendSimple(CMD_READ_SMPL_GAS1);
        return issue(SchedulerRequest::ReadSmplGas, f.PendingReadSmplGas, ok);
    }
    if (f.PendingCancSmplBnz)
        return issue(SchedulerRequest::CancSmplBnz, f.PendingCancSmplBnz, SendSimple(CMD_CANC_SMPL_BNZ));
    if (f.PendingCancSmplGas)
        return issue(SchedulerRequest::CancSmplGas, f.PendingCancSmplGas, SendSimple(CMD_CANC_SMPL_GAS));
    return lastRequest_;
}

bool MainController::ReadBlock(int n) { return requests_->ReadBlock(n); }
bool MainController::WriteBlock(int n) { return requests_->WriteBlock(n); }
bool MainController::SetEcuMode() { return requests_->SetEcuMode(); }
bool MainController::ReadCorTable() { return requests_->ReadCorTable(); }
bool MainController::WriteCorTable() { return requests_->WriteCorTable(); }
bool MainController::SendSimple(uint8_t command) { return comm_.SendAndWait(BuildRequest(command)); }
bool MainController::SendFixed(const char* frameHex) {
    const auto bytes = HexToBytes(QString::fromLatin1(frameHex));
    return comm_.SendAndWait(QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<int>(bytes.size())));
}

// --- Going online -------------------------------------------------------------------------

void MainController::CheckFirmwareOnConnect() {
    if (CloseRequested) return;
    // A missing firmware file, and one that is there but cannot be used (a
    // damaged record or flash table), are said once, naming what is wrong,
    // and the window closes: no ECU can be checked against it.
    const auto fileUnusable = [this](const QString& why) {
        UserPrompts().Message(
            FirmwareFileMessage([this](int e) { return Text(e); }, FirmwarePath, why),
            QStringLiteral(" Firmware "), BoxIcon::Critical);
        comm_.UnloadWDogSend();
        CloseRequested = true;
    };
    if (!FileExists(FirmwarePath)) {
        fileUnusable(QString());
        return;
    }
    if (comm_.ComState() != COM_IDLE) return;
    if (!comm_.ReadFirmwareIdentity()) {
        if (!comm_.FirmwareFileError().isEmpty()) fileUnusable(comm_.FirmwareFileError());
        return;
    }

    const QString fileCode = comm_.DescProgettoFle_CODICE();
    const bool compatible =
        fileCode.isEmpty() || comm_.DescProgettoEcu_CODICE().toUpper() == fileCode.toUpper();
    const auto describe = [this]() {
        return QStringLiteral("%1: %2 %3 %4\n%5: %6 %7 %8")
            .arg(CaptionText(static_cast<int>(Cap::LblEcuFirmware)), comm_.FirmwareEcuVersStr(),
                 comm_.FirmwareEcuDataStr(), comm_.DescProgettoEcu_CLIENTE().trimmed() + QLatin1Char(' ') +
                                                 comm_.DescProgettoEcu_CODICE().trimmed())
            .arg(CaptionText(static_cast<int>(Cap::LblFileFirmware)), comm_.FirmwareFleVersStr(),
                 comm_.FirmwareFleDataStr(), comm_.DescProgettoFle_CLIENTE().trimmed() + QLatin1Char(' ') +
                                                 comm_.DescProgettoFle_CODICE().trimmed());
    };

    if (!compatible) {
        // The box comes once the count has passed 21.
        if (++ConnectAttempts > kIncompatibleMessageEvery) {
            UserPrompts().Message(CaptionText(static_cast<int>(Cap::MsgEcuIncompatible)) +
                                      QStringLiteral("\n\n") + describe(),
                                  QStringLiteral(" Firmware "), BoxIcon::Critical);
            ConnectAttempts = 0;
        }
        comm_.UnloadWDogSend();
        comm_.SetComState(COM_REOPEN);
        if (comm_.FlagRicercaCom() != SEARCH_OFF) comm_.SetFlagRicercaCom(comm_.FlagRicercaCom() + 1);
        return;
    }

    if (UpgradeRequestedAtStart) {
        UpgradeRequestedAtStart = false;
        timer2_.SetEnabled(false);
        Online = features_->RunUpgradeWindow(false);
        timer2_.SetEnabled(true);
        if (!Online) CloseRequested = true;
    } else {
        const int ecuV = comm_.FirmwareEcuVersNum();
        const int fleV = comm_.FirmwareFleVersNum();
        const auto ecuDate = std::make_tuple(comm_.FirmwareEcuYearNum(), comm_.FirmwareEcuMonthNum(),
                                             comm_.FirmwareEcuDayNum());
        const auto fleDate = std::make_tuple(comm_.FirmwareFleYearNum(), comm_.FirmwareFleMonthNum(),
                                             comm_.FirmwareFleDayNum());
        if (ecuV == fleV) {
            if (fleDate > ecuDate) {
                timer2_.SetEnabled(false);
                features_->RunUpgradeWindow(true);
                timer2_.SetEnabled(true);
            }
            Online = true;
        } else if (ecuV < fleV) {
            UserPrompts().Message(CaptionText(static_cast<int>(Cap::MsgEcuOlder)) +
                                      QStringLiteral("\n\n") + describe(),
                                  QStringLiteral(" Firmware "), BoxIcon::Warning);
            timer2_.SetEnabled(false);
            Online = features_->RunUpgradeWindow(false);
            timer2_.SetEnabled(true);
            if (!Online) CloseRequested = true;
        } else {
            UserPrompts().Message(QString::fromLatin1(kVersionText) + QStringLiteral("\n\n") +
                                      CaptionText(static_cast<int>(Cap::MsgEcuNewer)) +
                                      QStringLiteral("\n\n") + describe(),
                                  QStringLiteral(" Firmware "), BoxIcon::Critical);
            comm_.UnloadWDogSend();
            CloseRequested = true;
        }
    }
    if (comm_.FlagRicercaCom() != SEARCH_OFF) {
        comm_.SetFlagRicercaCom(SEARCH_OFF);
        comm_.WriteSetCom(QString::fromLatin1(kSetComIni));
    }
    ConnectAttempts = 0;
}

// --- Port search window and port menu ----------------------------------------------------------

void MainController::ElaboraMsgCom() {
    frmInit_.ElaboraMsgCom(supervisor_.OfflineMode(), comm_.FlagRicercaCom() != SEARCH_OFF,
                           FirstRefreshPending);
    const int type = frmInit_.Visible() ? frmInit_.TipoMessaggio() : -1;
    const bool visible = frmInit_.Visible();
    if (visible != searchVisible_ || (visible && type != searchMsgType_)) {
        searchVisible_ = visible;
        searchMsgType_ = type;
        view_->ShowPortSearch(visible, type);
    }
}

void MainController::SelezionaCom(int idCom, bool isUsb) {
    view_->SetWaitCursor(true);
    supervisor_.SelezionaCom(idCom, isUsb);
    ShowPortTicks();
    view_->SetWaitCursor(false);
}

void MainController::MnuDevCom_Click(int item) {
    view_->SetWaitCursor(true);
    supervisor_.PortItemChosen(item);
    ShowPortTicks();
    view_->SetWaitCursor(false);
}

void MainController::MnuDevSearch_Click() {
    supervisor_.SearchComChosen();
    ShowPortTicks();
}

void MainController::MnuDevOffline_Click() {
    supervisor_.OfflineChosen();
    ShowPortTicks();
}

// --- Error list -------------------------------------------------------------------------

void MainController::LoadErrorDefinitions() {
    errorDefs_.Load(lingue_);
    if (errorsPresent_) view_->ShowErrorButton(true, ErrorButtonCaption());
}

QString MainController::ErrorButtonCaption() const {
    const QString c = errorDefs_.ButtonCaption();
    return c.isEmpty() ? QString::fromLatin1(kErrorButtonFallback) : c;
}

ErrorMask MainController::IgnoreMask() const {
    return InstallationIgnoreMask(image_, scale_, errorDefs_.Count());
}

void MainController::CaricaErroriEcu() {
    // Without an answer the flags keep what the last read left.
    if (comm_.ComState() == COM_IDLE) comm_.SendAndWait(BuildRequest(CMD_READ_ERR));
    ErrorFlags errFlags{};
    for (int i = 0; i < kErrorFlags; ++i) errFlags[static_cast<size_t>(i)] = comm_.ErrInj(i);
    ApplyIgnoreMask(errFlags, IgnoreMask());
    // The link keeps the masked flags, so the error window shows the same.
    for (int i = 0; i < kErrorFlags; ++i) comm_.SetErrInj(i, errFlags[static_cast<size_t>(i)]);
    errorsPresent_ = FirstActiveError(errFlags, errorDefs_.Count()) >= 0;
    view_->ShowErrorButton(errorsPresent_, ErrorButtonCaption());
}

// --- Fuel switch ------------------------------------------------------------------------

void MainController::ImgLogo_MouseUp() {
    if (image_.Mem1Block.KeyOn != 0 && !FuelChangeRequested) FuelChangeRequested = true;
}

void MainController::CarryOutFuelChange() {
    const int now = image_.Mem2Block.WorkMode;
    int wanted = -1;
    if (now == kPetrolFuel) wanted = kGasFuel;
    else if (now == kGasFuel) wanted = kPetrolFuel;
    if (wanted >= 0) {
        image_.PendingEdits.Mem2Block.WorkMode = static_cast<uint8_t>(wanted);
        const bool written = WriteBlock(2);
        // The request is over either way: a fuel change the ECU did not take
        // is not sent later with some other block-2 write.
        if (!written) image_.PendingEdits.Mem2Block.WorkMode = kPendingByte;
        if (written && wanted == kGasFuel) {
            for (int i = 0; i < kFuelReadBackTries; ++i) {
                WaitMicroSeconds(kFuelReadBackWaitUs);
                if (!ReadBlock(2) || image_.Mem2Block.WorkMode == kGasFuel) break;
            }
        }
    }
    FuelChangeRequested = false;
}

// --- Injector mode sequencing -------------------------------------------------------------

void MainController::PendInj(int i, int v) {
    if (i < 0 || i >= kMaxCount) return;
    image_.PendingEdits.Mem3Block.InjEnable[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
    delays.DelayWriteMem3 = 1;
}

void MainController::ClearInjRequest() {
    InjModeRequestFlag = 0;
    InjModeRequestState = -1;
}

void MainController::FinishInj(int i, int v) {
    PendInj(i, v);
    ClearInjRequest();
}

void MainController::InjModeStep() {
    const int r = InjModeRequestState;
    const int i = InjModeRequestIndex;
    const auto en = [this](int k) {
        return (k >= 0 && k < kMaxCount) ? image_.Mem3Block.InjEnable[static_cast<size_t>(k)] : 0;
    };
    if (image_.Mem2Block.Mem2Byte1 == kGasFuel) {
        if (r == 0) {
            if (en(i) == 3 || en(i) == 4) FinishInj(i, 0);
        } else if (r == 3 && InjModeRequestFlag == 1) {
            switch (en(i)) {
                case 0: PendInj(i, 1); break;
                case 1: FinishInj(i, 2); break;
                case 4: FinishInj(i, 3); break;
                case 3: ClearInjRequest(); break;
                default: break;
            }
        } else if (r == 3 && InjModeRequestFlag == 2) {
            const int n = std::clamp(i, 0, kMaxCount);
            bool anyZero = false, anyLow = false;
            for (int k = 0; k < n; ++k) {
                auto& p = image_.PendingEdits.Mem3Block.InjEnable[static_cast<size_t>(k)];
                switch (en(k)) {
                    case 0: p = 1; anyZero = anyLow = true; break;
                    case 1: p = 2; anyLow = true; break;
                    case 4: p = 3; break;
                    default: break;
                }
            }
            if (anyLow) delays.DelayWriteMem3 = 1;
            if (!anyZero) ClearInjRequest();
        } else if (r == 4) {
            switch (en(i)) {
                case 0: PendInj(i, 1); break;
                case 1: PendInj(i, 2); break;
                case 3: FinishInj(i, 4); break;
                default: break;
            }
        }
    } else if (image_.Mem2Block.Mem2Byte1 == kPetrolFuel || image_.Mem1Block.KeyOn == 0) {
        if (r == 0) {
            if (en(i) == 1) FinishInj(i, 0);
            else ClearInjRequest();
        } else if (r == 3 && InjModeRequestFlag == 1) {
            if (en(i) == 0) FinishInj(i, 1);
            else ClearInjRequest();
        } else if (r == 3 && InjModeRequestFlag == 2) {
            for (int k = 0; k < std::clamp(i, 0, kMaxCount); ++k)
                if (en(k) == 0) PendInj(k, 1);
            ClearInjRequest();
        }
    }
    const int pendingCyl = image_.PendingEdits.Mem3Block.NumCylinders;
    if (pendingCyl >= 0 && pendingCyl != image_.Mem3Block.NumCylinders) delays.DelayWriteMem3 = 1;
}

// --- Configuration files ----------------------------------------------------------------------

void MainController::MnuFileLoadConf_Click() {
    if (!ConfigFileToLoad.isEmpty()) return;
    FileDialogRequest req;
    req.title = CaptionText(static_cast<int>(Cap::MenuLoadConf)).remove(QLatin1Char('&'));
    req.filter = QString::fromLatin1(kVarFilter);
    req.startFolder = InstallDir();
    req.overwritePrompt = false;
    const QString path = UserPrompts().OpenFile(req);
    if (!path.isEmpty() && FileExists(path)) ConfigFileToLoad = path;
}

void MainController::MnuFileSaveConf_Click() {
    comm_.LoadWDogSend();
    FileDialogRequest req;
    req.title = CaptionText(static_cast<int>(Cap::MenuSaveConf)).remove(QLatin1Char('&'));
    req.filter = QString::fromLatin1(kVarFilter);
    req.startFolder = InstallDir();
    req.overwritePrompt = true;
    const QString path = UserPrompts().SaveFile(req);
    if (path.isEmpty()) return;
    // A file that could not be written has said so; the caption keeps
    // naming the file the settings really came from.
    if (SaveParamFile(path, image_, EcuVersion(), ProductTitle())) SetWindowCaption(path);
}

bool MainController::LoadConfigFile(const QString& path) {
    ++loadConfigCount;
    // A file that went away or cannot be read since it was chosen is no
    // link failure: retrying it would switch a car on gas to petrol on every
    // attempt and never say why. It is reported once and dropped; a car
    // switched to petrol by an earlier attempt goes back on the next slot.
    const QFileInfo file(path);
    if (!file.isFile() || !file.isReadable()) {
        const bool exists = file.exists();
        ErrorReport(QStringLiteral("LoadConfigFile_Err"), path + QLatin1Char('\r'), false,
                    exists ? kPathFileAccessError : kFileNotFound,
                    exists ? QStringLiteral("Path/File access error") : QStringLiteral("File not found"));
        ConfigFileToLoad.clear();
        LoadingConfig = false;
        return false;
    }
    const bool timer2Was = timer2_.Enabled();
    timer2_.SetEnabled(false);
    loadRunning_ = true;
    ParamLoadOptions options;
    options.defaultSetPath = SystemPath(QStringLiteral("\\LNG\\Default.Xar"));
    options.sl6Cil = scale_.SL_6Cil;
    options.sl8Cil = scale_.SL_8Cil;
    const ConfigLoad::Result r = configLoad_.Attempt(path, options);
    loadRunning_ = false;
    // With the link stopped the file went into the image only; the settings
    // show it (the correction table stays the file's).
    if (r.linkStopped) RefreshSettingsNow();
    SetWindowCaption(path);
    if (timer2Was || !unloaded_) timer2_.SetEnabled(true);
    FirstRefreshPending = true;
    return r.ok;
}

// --- Tabs, language, service view -------------------------------------------------------------

void MainController::CheckTab(int tab) {
    CurrentTab = tab;
    if (tab == TAB_CONFIG) RefreshSettingsNow();
}

void MainController::SstMain_Click(int tab) { CheckTab(tab); }

void MainController::MnuViewTab_Click(int menuEntry) {
    static constexpr int kTabOfEntry[] = {TAB_GENERAL, TAB_CONFIG, TAB_CALIBRATION, TAB_MODELING,
                                          TAB_MAP};
    if (menuEntry < 0 || menuEntry > 4) return;
    const int tab = kTabOfEntry[menuEntry];
    view_->SelectTab(tab);
    CheckTab(tab);
}

void MainController::MnuLngT_Click(int language) {
    lingue_.SetIdLingua(language);
    view_->ApplyLanguage();
    scale_.IniziaTipoLambda(SystemPath(QString::fromLatin1(kScaleFile)),
                            CaptionText(static_cast<int>(Cap::LambdaNone)));
    RiempiCmbSwtch();
    // The refilled lists show the ECU's values again, not their first entries.
    RefreshSettingsNow();
    LoadErrorDefinitions();
    SetWindowCaption(QString());
}

void MainController::ToggleServiceView() {
    SetServiceView(!gascal::ServiceView());
    view_->ShowServiceView(gascal::ServiceView());
}

// --- Live inputs ---------------------------------------------------------------------------------

LiveInputs MainController::CurrentInputs() const {
    const auto& m1 = image_.Mem1Block;
    const auto& m2 = image_.Mem2Block;
    const auto& m3 = image_.Mem3Block;
    LiveInputs in;
    in.rpm = m1.Rpm;
    in.keyOn = m1.KeyOn != 0;
    in.valve1Open = m1.Valve1Open != 0;
    in.valve2Open = m1.Valve2Open != 0;
    in.petrolInjTimes = m1.PetrolInjTimes;
    // The ECU reports the gas correction of each injector; the fitter reads
    // the gas time actually driven: petrol time plus correction while the
    // injector runs on gas (its signed gas time above 0), else nothing.
    for (size_t k = 0; k < in.gasInjTimes.size() && k < m1.GasInjTimes.size(); ++k)
        in.gasInjTimes[k] =
            m1.SignedInjTimes[k] > 0 ? m1.PetrolInjTimes[k] + m1.GasInjTimes[k] : 0.0;
    in.cutOff = m2.CutOff == 1;
    in.mem2Byte1 = m2.Mem2Byte1;
    in.ecuMode = m2.EcuMode;
    in.gasPressureRaw = m1.GasPressureRaw;
    in.vacuumRaw = m1.VacuumRaw;
    in.vacuumAcqEnable = m2.VacuumAcqEnable != 0;
    in.lambdaVolts = m1.LambdaVolts;
    in.reducerTemp = m1.ReducerTemp;
    in.gasTemp = m1.GasTemp;
    in.supplyVolts = m1.SupplyVolts;
    in.levelRaw = m1.LevelRaw;
    in.levelThresholds = m3.LevelThresholds;
    const int li = scale_.LevelIndexByCode(m3.LevelTypeCode);
    if (const auto* lt = scale_.LevelAt(li)) in.levelReversed = lt->LevelMode != 0;
    in.numCylinders = m3.NumCylinders;
    for (int i = 0; i < kMaxCount; ++i) in.injEnable[static_cast<size_t>(i)] = m3.InjEnable[static_cast<size_t>(i)];
    in.switchTemp = m3.SwitchTempRaw;
    in.showRpmLow = image_.Mem5Block.ShowRpmLow;
    in.showRpmHigh = image_.Mem5Block.ShowRpmHigh;
    return in;
}

void MainController::UpdateLambdaDisplay() {
    LambdaScale s;
    const int li = scale_.LambdaIndexByCode(image_.Mem3Block.LambdaTypeCode);
    if (const auto* lt = scale_.LambdaAt(li)) s.marks = lt->Scale;
    if (s.marks[0] == s.marks[10]) {
        for (int i = 0; i <= 10; ++i) s.marks[static_cast<size_t>(i)] = 0.1 * i;  // 0..1 V
    }
    display_.UpdateLambda(CurrentInputs(), s);
}

}  // namespace gascal
