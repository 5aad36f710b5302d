#include "mainwindow/controller/MainController.h"

#include <utility>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ClsLingue.h"
#include "data/core/DataTexts.h"
#include "data/core/ParamFile.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "ecu/WindowRegistry.h"
#include "mainwindow/controller/LiveModel.h"
#include "mainwindow/controller/SettingsModel.h"

namespace gascal {

namespace {
constexpr const char* kVarFilter = "Mod Files (*.var)|*.var|";
constexpr const char* kNotAvailable = "This function is not available in this version yet:";
constexpr int kMaxCylinders = 8;
}  // namespace

MainController::MainController(EcuSession& session, PollingCycle& cycle, SettingsModel& settings,
                               LiveModel& live)
    : session_(session), cycle_(cycle), settings_(settings), live_(live) {
    session_.Supervisor().SetCellObserver(
        [this](int cell, const StatusCell& c) { emit statusCell(cell, c); });
    session_.AfterLinkTick([this] {
        if (!cycle_.Closed()) ShowPortTicks();
    });
    cycle_.OnTickStart([this] { ElaboraMsgCom(); });
    cycle_.OnErrorsRead([this] { ShowErrorButton(); });
    // The error window cleared the ECU's error memory: the button goes.
    cycle_.Errors().OnCleared([this] { ShowErrorButton(); });
    cycle_.OnClosed([this] {
        emit waitCursor(true);
        emit waitCursor(false);
        emit unload();
    });
    cycle_.OnConfigLoaded(
        [this](const QString& path, const ConfigLoad::Result&) { SetWindowCaption(path); });
    // The configuration's state in the status bar.
    session_.Requests().Store().OnChanged([this](bool) { ShowConfigState(); });
    // A table write cut short names the entries the ECU may still hold old.
    session_.Requests().Requests().OnCorMissingChanged([this] { ShowConfigState(); });
    cycle_.OnOfflineFileChanged([this] {
        ShowConfigState();
        // A file dropped after the question: the caption names no file.
        if (cycle_.OfflineFile().isEmpty() && cycle_.ConfigFileToLoad().isEmpty())
            SetWindowCaption(QString());
    });
    cycle_.Scheduler().OnResult([this](Request r, bool ok) {
        if (r != Request::SaveFlash) return;
        const AfterStore then = std::exchange(afterStore_, AfterStore::Nothing);
        if (!ok) {
            // Said once; the fitter may store again or leave without.
            cycle_.Scheduler().Withdraw(Request::SaveFlash);
            UserPrompts().Message(gascal::Text(DataText::StoreFailed), AppTitle(),
                                  BoxIcon::Warning);
            return;
        }
        Leave(then);
    });
    cycle_.SetUpgradeRunner([this](bool offered) {
        return OpenWindow("FrmUpdate", QStringLiteral("firmware upgrade"), offered ? 1 : 0) != 0;
    });
    // The injector controls follow the cylinder count the settings show.
    connect(&settings_, &SettingsModel::injectorCount, &live_, &LiveModel::ShowInjectors);
    connect(&settings_, &SettingsModel::busy, this, &MainController::waitCursor);
    // Map tab: the map step without computing on each 54-tick slot (the
    // Map page draws what the session's map then holds).
    cycle_.OnSlot(Slot::Div54, [this] {
        if (currentTab_ == TAB_MAP) cycle_.StepMap();
    });
}

MainController::~MainController() = default;

// --- Texts -----------------------------------------------------------------------

QString MainController::Text(int entry) const {
    return session_.Text(entry);
}
QString MainController::CaptionText(Cap cap) const {
    return session_.Caption(cap);
}
QString MainController::ProductTitle() const {
    return session_.ProductTitle();
}
bool MainController::ServiceView() const {
    return gascal::ServiceView();
}
bool MainController::ErrorsPresent() const {
    return cycle_.Errors().ErrorsPresent();
}
QString MainController::ErrorButtonCaption() const {
    return cycle_.Errors().ButtonCaption();
}
StatusCell MainController::ComStatusCell() const {
    return session_.Supervisor().Cell1();
}
bool MainController::OfflineMode() const {
    return session_.Supervisor().OfflineMode();
}
bool MainController::Unloaded() const {
    return cycle_.Closed();
}

// --- Start-up and closing -----------------------------------------------------------

void MainController::Form_Load() {
    emit waitCursor(true);
    cycle_.Load();
    live_.ShowInjectors(std::clamp(session_.Image().Mem3Block.NumCylinders, 0, kMaxCylinders));
    settings_.FillLists();
    if (cycle_.Errors().ErrorsPresent()) ShowErrorButton();
    SetWindowCaption(QString());
    emit waitCursor(false);
}

void MainController::StartTimers() {
    cycle_.Start();
}

void MainController::Form_Activate() {
    const ClsLingue& lingue = session_.Lingue();
    const int bad = lingue.FindDictionaryError();
    if (bad >= 0)
        UserPrompts().Message(QStringLiteral("Dictionary error: ") + lingue.NomeLingua(bad),
                              AppTitle(), BoxIcon::Critical);
}

void MainController::Form_QueryUnload() {
    if (cycle_.Closed()) return;
    if (!MayLeave(AfterStore::Close)) return;
    Leave(AfterStore::Close);
}

void MainController::MnuFileEsc_Click() {
    if (!MayLeave(AfterStore::Close)) return;
    cycle_.RequestClose();
}

// --- Storing in the ECU's flash ---------------------------------------------------------

bool MainController::Unstored() const {
    return session_.Requests().Store().Unstored();
}

void MainController::MnuFileStore_Click() {
    // A calibration moves the table until it ends (or its abort puts the
    // ECU back): what it holds meanwhile is not to be stored.
    if (!cycle_.Online() || cycle_.CalibrationRunning()) return;
    // A store asked for by itself: nothing follows it.
    afterStore_ = AfterStore::Nothing;
    cycle_.Scheduler().Post(Request::SaveFlash);
}

bool MainController::MayLeave(AfterStore then) {
    // Asked again while the store asked for is still on its way (the link
    // may be down): the fitter leaves without waiting for it.
    if (afterStore_ != AfterStore::Nothing) {
        afterStore_ = AfterStore::Nothing;
        cycle_.Scheduler().Withdraw(Request::SaveFlash);
        return true;
    }
    // During a calibration the close aborts it, and its abort puts the
    // ECU back as it was: nothing of it is to be stored.
    if (!Unstored() || !cycle_.Online() || cycle_.CalibrationRunning()) return true;
    const DataText what =
        then == AfterStore::Close ? DataText::StoreAskClose : DataText::StoreAskOffline;
    if (!UserPrompts().AskYesNo(gascal::Text(what), AppTitle())) return true;
    // Stored first; the close or the going offline follows its answer.
    afterStore_ = then;
    cycle_.Scheduler().Post(Request::SaveFlash);
    return false;
}

void MainController::Leave(AfterStore then) {
    if (beforeLeave_ && then != AfterStore::Nothing) beforeLeave_(then == AfterStore::Close);
    switch (then) {
        case AfterStore::Close:
            emit waitCursor(true);
            cycle_.StopForClose();
            emit waitCursor(false);
            break;
        case AfterStore::Offline:
            session_.Supervisor().OfflineChosen();
            ShowPortTicks();
            break;
        case AfterStore::Nothing:
            break;
    }
}

QString MainController::ConfigStateText() const {
    if (!cycle_.OfflineFile().isEmpty()) return gascal::Text(DataText::FileValuesShown);
    const QString missing = session_.Requests().Requests().CorMissingEntries();
    if (!missing.isEmpty()) return gascal::Text(DataText::TableIncomplete) + ' ' + missing;
    if (Unstored()) return gascal::Text(DataText::NotStored);
    return QString();
}

void MainController::ShowConfigState() {
    StatusCell c;
    c.text = ConfigStateText();
    emit statusCell(3, c);
}

void MainController::SetWindowCaption(const QString& path) {
    captionPath_ = path;
    QString c = ProductTitle() + QStringLiteral(" - ") + QString::fromLatin1(kSoftwareVersionText);
    if (!path.isEmpty()) c += QStringLiteral(" - [") + path + QStringLiteral("]");
    emit captionChanged(c);
}

// --- Secondary windows ---------------------------------------------------------------

int MainController::OpenWindow(const char* name, const QString& what, int argument) {
    if (const WindowOpener* open = WindowRegistry::Find(QString::fromLatin1(name))) {
        WindowContext context{session_, cycle_, owner_, argument};
        return (*open)(context);
    }
    UserPrompts().Message(QString::fromLatin1(kNotAvailable) + QLatin1Char(' ') + what, AppTitle(),
                          BoxIcon::Information);
    return 0;
}

QString MainController::ViewerCaption() const {
    return session_.SectionTexts(QStringLiteral("[FrmView]"), {QStringLiteral("View")}).value(0);
}

// --- Port search window and port menu -------------------------------------------------

void MainController::ShowPortTicks() {
    // The view follows the supervisor's port items (the search moves the tick).
    const LinkSupervisor& sup = session_.Supervisor();
    const int item = sup.PortaDiComSelected();
    const int shown = item < PORT_ITEMS ? item : -1;
    if (shown == shownTick_ && sup.OfflineTicked() == shownOffline_) return;
    shownTick_ = shown;
    shownOffline_ = sup.OfflineTicked();
    emit portTicks(shownTick_, shownOffline_);
}

void MainController::ElaboraMsgCom() {
    frmInit_.ElaboraMsgCom(session_.Supervisor().OfflineMode(),
                           session_.Comm().FlagRicercaCom() != SEARCH_OFF,
                           cycle_.FirstRefreshPending());
    const bool visible = frmInit_.Visible();
    const int type = visible ? frmInit_.TipoMessaggio() : -1;
    if (visible != searchVisible_ || (visible && type != searchMsgType_)) {
        searchVisible_ = visible;
        searchMsgType_ = type;
        emit portSearch(visible, type);
    }
}

void MainController::MnuDevCom_Click(int item) {
    emit waitCursor(true);
    session_.Supervisor().PortItemChosen(item);
    ShowPortTicks();
    emit waitCursor(false);
}

void MainController::MnuDevSearch_Click() {
    session_.Supervisor().SearchComChosen();
    ShowPortTicks();
}

void MainController::MnuDevOffline_Click() {
    if (!MayLeave(AfterStore::Offline)) {
        ShowPortTicks();
        return;
    }
    Leave(AfterStore::Offline);
}

// --- Error button ----------------------------------------------------------------------

void MainController::ShowErrorButton() {
    emit errorButton(ErrorsPresent(), ErrorButtonCaption());
}

void MainController::CaricaErroriEcu() {
    cycle_.Errors().Read();
    ShowErrorButton();
}

// --- Fuel switch -----------------------------------------------------------------------

void MainController::ImgLogo_MouseUp() {
    cycle_.RequestFuelChange();
}

// --- Configuration files ----------------------------------------------------------------

void MainController::MnuFileLoadConf_Click() {
    if (!cycle_.ConfigFileToLoad().isEmpty()) return;
    FileDialogRequest req;
    req.title = CaptionText(Cap::MenuLoadConf).remove(QLatin1Char('&'));
    req.filter = QString::fromLatin1(kVarFilter);
    req.startFolder = InstallDir();
    req.overwritePrompt = false;
    const QString path = UserPrompts().OpenFile(req);
    if (path.isEmpty() || !FileExists(path)) return;
    if (!CheckFileBeforeLoad(path)) return;
    cycle_.LoadConfigFileLater(path);
}

bool MainController::CheckFileBeforeLoad(const QString& path) {
    // The same checks as gascal-cli's load-params: something that is not a
    // parameter file, or a value the ECU cannot hold, is refused; a partial
    // file is loaded only when the fitter says so, knowing what it lacks.
    const ParamLoadReport check =
        ConfigLoad::CheckFile(path, session_.Image(), session_.LoadOptions());
    const QString title = gascal::Text(DataText::ParamFileTitle);
    const QString head = path + QStringLiteral("\r\n\r\n") + ParamFileProblems(check);
    if (!check.fileFound) return false;
    if (check.NotParameterFile() || !check.outOfRange.isEmpty()) {
        UserPrompts().MessageBox(
            head + QStringLiteral("\r\n\r\n") + gascal::Text(DataText::ParamFileRefused), title,
            BoxIcon::Critical, BoxButtons::Ok);
        return false;
    }
    if (!check.Partial()) return true;
    return UserPrompts().AskYesNo(
        head + QStringLiteral("\r\n\r\n") + gascal::Text(DataText::ParamFileAskPartial), title);
}

void MainController::MnuFileSaveConf_Click() {
    session_.Comm().LoadWDogSend();
    FileDialogRequest req;
    req.title = CaptionText(Cap::MenuSaveConf).remove(QLatin1Char('&'));
    req.filter = QString::fromLatin1(kVarFilter);
    req.startFolder = InstallDir();
    req.overwritePrompt = true;
    const QString path = UserPrompts().SaveFile(req);
    if (path.isEmpty()) return;
    // The file carries the table of the line model as it is now.
    session_.BuildTableFromModel();
    // A file that could not be written has said so; the caption keeps
    // naming the file the settings really came from.
    if (SaveParamFile(path, session_.Image(), session_.EcuVersion(), ProductTitle()))
        SetWindowCaption(path);
}

// --- Tabs, language, service view ---------------------------------------------------------

void MainController::CheckTab(int tab) {
    currentTab_ = tab;
    if (tab == TAB_CONFIG) settings_.Refresh();
    // Modeling tab: the line model is rebuilt from the ECU's table.
    if (tab == TAB_MODELING) cycle_.ReadTableForModel();
}

void MainController::SstMain_Click(int tab) {
    CheckTab(tab);
}

void MainController::MnuViewTab_Click(int menuEntry) {
    static constexpr int kTabOfEntry[] = {TAB_GENERAL, TAB_CONFIG, TAB_CALIBRATION, TAB_MODELING,
                                          TAB_MAP};
    if (menuEntry < 0 || menuEntry > 4) return;
    const int tab = kTabOfEntry[menuEntry];
    emit tabSelected(tab);
    // The window's tab change has checked the tab already.
    if (currentTab_ != tab) CheckTab(tab);
}

void MainController::MnuLngT_Click(int language) {
    session_.Lingue().SetIdLingua(language);
    emit languageChanged();
    session_.Scale().IniziaTipoLambda(SystemPath(QString::fromLatin1(kScaleFilePath)),
                                      CaptionText(Cap::LambdaNone));
    settings_.FillLists();
    // The refilled lists show the ECU's values again, not their first entries.
    settings_.Refresh();
    cycle_.Errors().LoadDefinitions();
    if (ErrorsPresent()) ShowErrorButton();
    // The file loaded or saved last stays named in the caption.
    SetWindowCaption(captionPath_);
}

void MainController::ToggleServiceView() {
    SetServiceView(!gascal::ServiceView());
    emit serviceViewChanged(gascal::ServiceView());
}

}  // namespace gascal
