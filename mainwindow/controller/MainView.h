// What the main controller asks of the main window. The controller holds
// every rule (timers, requests, what to show when); the window implements
// this interface by copying the controller's results into its controls.
// Tests use the controller without a window (every call has a do-nothing
// default) or with the real window offscreen.
#pragma once

#include <QString>
#include <QStringList>

#include "link/core/LinkSupervisor.h"

namespace gascal {


// Which part of the live display changed in a slot.
enum class LivePart { RpmAndInj, LambdaAndMarks, Status, Temperatures };

class MainView {
public:
    virtual ~MainView() = default;
    // Cursor while the controller works.
    virtual void SetWaitCursor(bool) {}
    // Live display (read the controller's LiveDisplay).
    virtual void ShowLive(LivePart) {}
    // Status bar: cell 0 search progress, cell 1 link state, cell 2 time.
    virtual void ShowStatusCell(int, const StatusCell&) {}
    // Port menu: the ticked port item (0 USB, 1..9 COM n; -1 none) and offline tick.
    virtual void ShowPortTicks(int, bool) {}
    // Port search window: visible, message type (0 reading, 3 searching).
    virtual void ShowPortSearch(bool, int) {}
    // All setting controls are to be refilled from the image (RefreshSettings).
    virtual void RefreshSettings() {}
    // The switchover lists were refilled (RiempiCmbSwtch).
    virtual void ListsRefilled() {}
    // Injector controls for n cylinders (IstanzaInj).
    virtual void IstanzaInj(int) {}
    // Service view switched.
    virtual void ShowServiceView(bool) {}
    // Captions are to be taken again from the dictionary.
    virtual void ApplyLanguage() {}
    virtual void SetCaption(const QString&) {}
    // Tab selection made by the controller (menus, shortcuts).
    virtual void SelectTab(int) {}
    // Auto Tuning box availability and tick.
    virtual void ShowAutoTuning(bool /*enabled*/, bool /*ticked*/) {}
    // The "Errori" button: shown with this caption, or hidden.
    virtual void ShowErrorButton(bool /*visible*/, const QString& /*caption*/) {}
    // The window is to be unloaded now (end of a Timer2 tick).
    virtual void Unload() {}
};

}  // namespace gascal
