// The link's share of the main window's link timer and Device menu, as a
// model without widgets: the offline request and offline mode, the port
// items and their ticks, the port status cells (AggiornaStatoCom) and the
// message logic of the port search window (FrmInit). A window shows what
// this model holds and forwards the user's menu choices to it.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "link/core/ClsComm.h"

namespace gascal {

// Colours as RGB integers.
constexpr uint32_t COLOR_RED = 255;
constexpr uint32_t COLOR_GREEN = 65280;
constexpr uint32_t COLOR_WHITE = 16777215;
constexpr uint32_t COLOR_BLACK = 0;

constexpr int PORT_ITEMS = 10;  // item 0: USB cable; items 1..9: COM1..COM9
constexpr double SELECT_PORT_WAIT_USEC = 4000000;

struct StatusCell {
    QString text;
    std::optional<uint32_t> background;  // nullopt: unchanged
    std::optional<uint32_t> foreground;
};

// The port search window's messages (FrmInit).
class FrmInitModel {
  public:
    // Texts following "[FrmInit]" in the dictionary; type 0 shows the first,
    // type 1 the second, type 3 the search text "SEARCH COM".
    void Load(const QStringList& dictionaryTexts) { texts_ = dictionaryTexts; }
    int TipoMessaggio() const { return tipo_; }
    void SetTipoMessaggio(int tipo);
    // One call per main-window Timer2 tick.
    void ElaboraMsgCom(bool offlineMode, bool searchRunning, bool firstReadingPending);
    bool Visible() const { return visible_; }
    bool TimerRunning() const { return timerRunning_; }
    const QString& Label() const { return label_; }

  private:
    void Show();
    QStringList texts_;
    int tipo_ = -1;
    bool visible_ = false;
    bool timerRunning_ = false;
    QString label_;
};

class LinkSupervisor {
  public:
    // The Device menu starts with the link's current port ticked, so the link
    // should have read its settings first.
    explicit LinkSupervisor(ClsComm& comm) : comm_(comm) { TickCurrentPort(); }
    ~LinkSupervisor();
    LinkSupervisor(const LinkSupervisor&) = delete;
    LinkSupervisor& operator=(const LinkSupervisor&) = delete;

    // How the window stops and restarts its timers around a port change.
    void SetTimerControl(std::function<void(bool enabled)> f) { timerControl_ = std::move(f); }
    // The window's link timer (not owned): the link and the offline request
    // wake it, and SleepUntilDue() lets it skip the ticks that would do
    // nothing. Detached again when this supervisor goes.
    void SetLinkTimer(Timer* timer);
    // At the end of a link-timer tick: sleep until the link has work due.
    void SleepUntilDue();

    // --- Device menu --------------------------------------------------------
    static QString PortItemCaption(int item);  // " USB", "  COM 2", ...
    // Ticks the item of the port the link uses: the one being tried while a
    // search runs, else the cable or the configured COM number (no item for a
    // number without one).
    void TickCurrentPort();
    bool PortTicked(int item) const { return item >= 0 && item < PORT_ITEMS && ticks_[item]; }
    bool OfflineTicked() const { return offlineTicked_; }
    bool MenuEnabled() const { return menuEnabled_; }
    // Index of the first ticked port item; PORT_ITEMS when none is ticked.
    int PortaDiComSelected() const;
    void SelezionaCom(int idCom, bool isUsb);
    void PortItemChosen(int item);
    void SearchComChosen();
    void OfflineChosen();

    bool OfflineRequest() const { return offlineRequest_; }
    bool OfflineMode() const { return offlineMode_; }

    // --- Link timer -----------------------------------------------------------
    // The link's part of one Timer1 tick: a pending offline request stops the
    // link, then the supervision step runs and the status cells are updated.
    void Timer1Tick();
    // The two halves of that tick, for a window that has its own work to do
    // between them (the link reset of the main window).
    void ApplyOfflineRequest();
    void StepAndShow();
    void AggiornaStatoCom();
    const StatusCell& Cell0() const { return cell0_; }
    // Told whenever a status cell (0 or 1) changes, as a window repaints it.
    void SetCellObserver(std::function<void(int cell, const StatusCell&)> f) {
        observer_ = std::move(f);
    }
    const StatusCell& Cell1() const { return cell1_; }

  private:
    void TickOnly(int item);
    void ShowSearchCell();
    void SetCell(int cell, const StatusCell& c);
    std::function<void(int, const StatusCell&)> observer_;
    ClsComm& comm_;
    Timer* linkTimer_ = nullptr;
    std::function<void(bool)> timerControl_;
    std::array<bool, PORT_ITEMS> ticks_{};
    bool offlineTicked_ = false;
    bool menuEnabled_ = true;
    bool offlineRequest_ = false;
    bool offlineMode_ = false;
    StatusCell cell0_;
    StatusCell cell1_;
};

}  // namespace gascal
