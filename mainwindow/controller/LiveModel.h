// The model behind the live values the window shows (header, General and
// Calibration tabs): it feeds the live display from the parameter image in
// the polling cycle's slots and tells the pages which part changed.
#pragma once

#include <QObject>

#include "mainwindow/controller/LiveDisplay.h"

namespace gascal {

class EcuSession;
class PollingCycle;

// Which part of the live display changed in a slot.
enum class LivePart { RpmAndInj, LambdaAndMarks, Status, Temperatures };

class LiveModel : public QObject {
    Q_OBJECT
  public:
    LiveModel(EcuSession& session, PollingCycle& cycle);

    const LiveDisplay& Display() const { return display_; }
    // The image's live values as the display reads them.
    LiveInputs CurrentInputs() const;
    // CmbInj_Click: the injector whose times the boxes show (0 "Inj_##").
    void SelectInjector(int listIndex) { display_.SetSelectedInjector(listIndex); }
    // IstanzaInj: the injector controls for n cylinders (the list goes back
    // to "Inj_##"); a count that did not change leaves them as they are.
    void ShowInjectors(int n);
    int Injectors() const { return injectors_; }

  signals:
    void changed(LivePart part);
    void injectorsChanged(int n);

  private:
    void UpdateLambda();

    EcuSession& session_;
    PollingCycle& cycle_;
    LiveDisplay display_;
    int injectors_ = -1;
    bool shownOnline_ = true;  // the display was last updated with the ECU answering
};

}  // namespace gascal
