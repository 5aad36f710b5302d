// The main window's own rules, without widgets: start-up and closing, the
// menus (configuration files, tabs, language, Device), the service view,
// the port search window's messages, the "Errori" button, the fuel switch
// of the logo and the secondary windows. The polling, the requests and the
// procedures it starts live in the ECU session layer; each tab has its own
// model (SettingsModel, LiveModel, ...).
#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "ecu/Captions.h"
#include "link/core/LinkSupervisor.h"

namespace gascal {

class EcuSession;
class PollingCycle;
class SettingsModel;
class LiveModel;

// Tabs of SstMain, by index.
enum MainTab {
    TAB_CALIBRATION = 0,
    TAB_MODELING = 1,
    TAB_MAP = 2,
    TAB_GENERAL = 3,
    TAB_CONFIG = 4
};
inline constexpr int kMainTabs = 5;

class MainController : public QObject {
    Q_OBJECT
  public:
    MainController(EcuSession& session, PollingCycle& cycle, SettingsModel& settings,
                   LiveModel& live);
    ~MainController() override;

    // --- Start-up and window events ------------------------------------------
    void Form_Load();
    void StartTimers();
    void Form_Activate();
    // Close from the window's control box: stops the link, the unload
    // follows at the end of the next polling tick.
    void Form_QueryUnload();
    bool Unloaded() const;
    // The owner of the secondary windows (the main window itself).
    void SetWindowOwner(QWidget* owner) { owner_ = owner; }

    // --- Menus, keys, buttons ------------------------------------------------
    void MnuFileLoadConf_Click();
    void MnuFileSaveConf_Click();
    // A parameter file chosen for loading is checked first: refused with a
    // box when it is no parameter file or holds values the ECU cannot hold,
    // loaded after a question when partial. True when it is to be loaded.
    bool CheckFileBeforeLoad(const QString& path);
    // The Modeling tab's Open and Save: the same files and dialogs.
    void CmdModOpen_Click() { MnuFileLoadConf_Click(); }
    void CmdModSave_Click() { MnuFileSaveConf_Click(); }
    void MnuFileEsc_Click();
    // "Store in ECU": the ECU stores its working memory in flash (after any
    // write still waiting). Nothing while the ECU is not online.
    void MnuFileStore_Click();
    // The ECU holds changes not stored in its flash.
    bool Unstored() const;
    // Told before the window closes (true) or the link goes offline (false)
    // once the fitter agreed: the restore point of what was written.
    void SetBeforeLeave(std::function<void(bool close)> f) { beforeLeave_ = std::move(f); }
    // Status bar cell 3: what the shown configuration is ("Values of the
    // file, not of the ECU" while a file loaded offline waits, "Not stored
    // in ECU" while the ECU holds changes not stored), or empty.
    QString ConfigStateText() const;
    void MnuLngT_Click(int language);
    void MnuViewTab_Click(int menuEntry);  // General, Configuration, Calibration, Modeling, Map
    void SstMain_Click(int tab);
    void MnuDevCom_Click(int item);  // 0 USB, 1..9 COM n
    void MnuDevSearch_Click();
    void MnuDevOffline_Click();
    void ImgLogo_MouseUp();
    void ToggleServiceView();
    void CmdErrInj_Click() { OpenWindow("FrmErrEcu", QStringLiteral("ECU error list")); }
    void MnuInfoAbout_Click() { OpenWindow("FrmStartUp", QStringLiteral("About")); }
    void CmdExpert_Click() { OpenWindow("FrmSetExpert", QStringLiteral("expert settings page")); }
    void MnuFileCompare_Click() {
        OpenWindow("FrmCompare", QStringLiteral("comparison with a file"));
    }
    void CmdTpyInj_Click() { OpenWindow("FrmInjSet", QStringLiteral("injector settings page")); }
    void CmdTpyGLS_Click() {
        OpenWindow("FrmLevelSetting", QStringLiteral("level sensor settings page"));
    }
    void CmdView_Click() { OpenWindow("FrmView", QStringLiteral("signal viewer")); }
    // Caption of the signal viewer's button: the first text of the viewer's
    // dictionary section.
    QString ViewerCaption() const;
    // Reads the ECU's error list, clears the items this installation ignores
    // and shows or hides the "Errori" button.
    void CaricaErroriEcu();
    // Opens a secondary window; one that is not part of this build says so.
    int OpenWindow(const char* name, const QString& what, int argument = 0);

    // --- State shown by the window -----------------------------------------
    int CurrentTab() const { return currentTab_; }
    bool ServiceView() const;
    bool ErrorsPresent() const;
    QString ErrorButtonCaption() const;
    StatusCell ComStatusCell() const;
    bool OfflineMode() const;
    QString Text(int entry) const;
    QString CaptionText(Cap cap) const;
    QString ProductTitle() const;

    EcuSession& Session() { return session_; }
    PollingCycle& Cycle() { return cycle_; }

  signals:
    void waitCursor(bool on);
    // Status bar: cell 0 search progress, cell 1 link state, cell 2 time,
    // cell 3 the configuration's state (ConfigStateText).
    void statusCell(int cell, const StatusCell& c);
    // Port menu: the ticked port item (0 USB, 1..9 COM n; -1 none) and offline tick.
    void portTicks(int item, bool offline);
    // Port search window: visible, message type (0 reading, 3 searching).
    void portSearch(bool visible, int type);
    void serviceViewChanged(bool on);
    // Captions are to be taken again from the dictionary.
    void languageChanged();
    void captionChanged(const QString& caption);
    // Tab selection made by the controller (menus, shortcuts).
    void tabSelected(int tab);
    // The "Errori" button: shown with this caption, or hidden.
    void errorButton(bool visible, const QString& caption);
    // The window is to be unloaded now (end of a polling tick).
    void unload();

  private:
    void CheckTab(int tab);
    void SetWindowCaption(const QString& path);
    void ShowPortTicks();
    void ElaboraMsgCom();
    void ShowErrorButton();
    void ShowConfigState();
    // Before closing or going offline with changes not stored: asks, and
    // on Yes stores them first. True when the action may go on now.
    enum class AfterStore { Nothing, Close, Offline };
    bool MayLeave(AfterStore then);
    void Leave(AfterStore then);

    EcuSession& session_;
    PollingCycle& cycle_;
    SettingsModel& settings_;
    LiveModel& live_;
    QWidget* owner_ = nullptr;
    FrmInitModel frmInit_;
    int currentTab_ = TAB_GENERAL;
    QString captionPath_;  // the parameter file the caption names
    int shownTick_ = -2;
    bool shownOffline_ = false;
    int searchMsgType_ = -1;
    bool searchVisible_ = false;
    AfterStore afterStore_ = AfterStore::Nothing;
    std::function<void(bool)> beforeLeave_;
};

}  // namespace gascal
