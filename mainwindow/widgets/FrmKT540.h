// The main window: a shell of pages. It holds the menus (File, View,
// Device, Language, Info, and Simulator when running on the simulated ECU), the
// header band, the tab control whose pages come from the tab registry, the
// status bar cells of the link and the port search window. Every rule lives
// in the models (MainController and the pages' own); the window shows their
// results and forwards the user's actions. F2, F3, F5, F6 and F7 reach the
// tabs; Ctrl+Alt+X toggles the service view.
#pragma once

#include <QMainWindow>
#include <array>
#include <memory>
#include <vector>

#include "link/core/LinkSupervisor.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QTabWidget;

namespace gascal {

class FrmInit;
class HeaderBar;
class MainController;
class MainSession;
class SimControl;
class SimPanel;

class FrmKT540 : public QMainWindow {
    Q_OBJECT
  public:
    explicit FrmKT540(MainSession& session, QWidget* parent = nullptr);
    ~FrmKT540() override;

    // Offers the simulator panel in the menus (only when running on the simulator).
    void SetSimControl(SimControl* sim);

    // Controls reached by tests.
    QTabWidget* Tabs() const { return tabs_; }
    QString StatusText(int cell) const;
    QString RpmText() const;
    QString InjTimePetText() const;
    QString InjTimeGasText() const;
    QComboBox* Combo(const char* name) const;
    FrmInit* PortSearchWindow() const { return frmInit_.get(); }
    QList<QWidget*> ServiceViewControls() const;
    bool IsUnloaded() const { return unloaded_; }
    QPushButton* ErrorButton() const;

  protected:
    void closeEvent(QCloseEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;

  private:
    void BuildMenus();
    void BuildTabs();
    void ApplyLanguage();
    void SetWaitCursor(bool on);
    void ShowStatusCell(int cell, const StatusCell& c);
    void ShowPortTicks(int item, bool offline);
    void UpdatePortToolTips();
    void Unload();

    MainSession& session_;
    MainController& ctl_;
    SimControl* sim_ = nullptr;
    bool unloaded_ = false;
    int waitDepth_ = 0;

    QMenu* mnuFile_ = nullptr;
    QMenu* mnuView_ = nullptr;
    QMenu* mnuDevice_ = nullptr;
    QMenu* mnuLanguage_ = nullptr;
    QMenu* mnuInfo_ = nullptr;
    QMenu* mnuSimulator_ = nullptr;
    QAction* actLoad_ = nullptr;
    QAction* actSave_ = nullptr;
    QAction* actCompare_ = nullptr;
    QAction* actHistory_ = nullptr;
    QAction* actStore_ = nullptr;
    QAction* actExit_ = nullptr;
    QAction* actOffline_ = nullptr;
    QAction* actSearch_ = nullptr;
    QAction* actSimPanel_ = nullptr;
    QAction* actAbout_ = nullptr;
    std::array<QAction*, 5> actViewTab_{};
    std::array<QAction*, 10> actDevCom_{};  // 0 USB, 1..9 COM
    std::vector<QAction*> actLng_;

    HeaderBar* header_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    std::vector<QLabel*> laterLabels_;  // tabs whose page is not in this build
    static constexpr int kStatusCells = 4;
    std::array<QLabel*, kStatusCells> statusCells_{};
    std::unique_ptr<FrmInit> frmInit_;
    std::unique_ptr<SimPanel> simPanel_;
};

}  // namespace gascal
