// The Configuration tab's model (switchover and system settings), without
// widgets: the drop-down lists and what each shows, and the change handlers.
// A handler stores the picked value in PendingEdits and starts the write
// delay of its block; the request scheduler reads the block fresh and writes
// it later. While the program itself fills or selects entries
// (FillingControls) the handlers do nothing.
//
// The lists show the image with the pending edits merged in, so a pick not
// yet written stays shown when the lists are refilled.
#pragma once

#include <QObject>
#include <QString>

#include "mainwindow/controller/SwitchLists.h"

namespace gascal {

class EcuSession;
class PollingCycle;

// Selections of the settings display (list indexes, -1 none).
struct SettingsSelection {
    int rpm = -1, temp = -1, delay = -1, bar = -1, delayPress = -1, force = -1, seq = -1;
    int cylinders = -1, coils = -1, lambda = -1, injector = -1, level = -1, emptyGas = -1;
    int shoRpm = -1;
    int fuelType = 0;  // OptTypFuel: 0 Cng, 1 Lpg
    bool volCompVisible = false;
};

class SettingsModel : public QObject {
    Q_OBJECT
  public:
    SettingsModel(EcuSession& session, PollingCycle& cycle);

    // RiempiCmbSwtch: reads the scale configuration once and fills every list.
    void FillLists();
    const SwitchLists& Lists() const { return lists_; }
    const EntryList& DelayList() const { return delayList_; }
    // What each list shows (the settings display).
    SettingsSelection CurrentSettings() const;
    // RefreshSettings: every list shows the image (with its pending edits).
    void Refresh();

    // FillingControls: while set, the change handlers ignore their events.
    bool FillingControls() const { return filling_; }
    void SetFillingControls(bool on) { filling_ = on; }

    bool AutoTuning() const;
    double LambdaFactor() const { return lambdaFactor_; }

    // --- Change handlers ---------------------------------------------------------
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

  signals:
    // The lists were filled anew.
    void listsRefilled();
    // The lists are to show CurrentSettings() again.
    void selectionChanged();
    // "Auto Tuning": whether it can be ticked, and whether it is.
    void autoTuningShown(bool enabled, bool ticked);
    // The injector controls are for this many cylinders (IstanzaInj).
    void injectorCount(int cylinders);
    // Work the fitter waits for (wait cursor).
    void busy(bool on);

  private:
    void ShowSelectionAgain();
    QString Text(int entry) const;
    void ApplyLambdaFactor(double factor);

    EcuSession& session_;
    PollingCycle& cycle_;
    SwitchLists lists_;
    EntryList delayList_;
    bool filling_ = false;
    double lambdaFactor_ = 0.001;
};

}  // namespace gascal
