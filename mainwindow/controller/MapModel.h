// The Map tab's model (tab 2), without widgets: the texts of the tab, its
// buttons (Read, Clear Petrol, Clear Gas, Compute, Open and Save map) with
// their dialogs and short waits, the drawing data of the map (axes, both
// fuels' markers) and the live operating point. The map itself and its
// step belong to the ECU session and the polling cycle; this model hears
// each step (the 54-tick slot while the tab is shown, "Compute", a map file
// opened) and tells the page what to draw again.
#pragma once

#include <QObject>
#include <QPointF>
#include <QString>
#include <optional>
#include <vector>

#include "ecu/InjectionMap.h"

namespace gascal {

class EcuSession;
class PollingCycle;

class MapModel : public QObject {
    Q_OBJECT
  public:
    MapModel(EcuSession& session, PollingCycle& cycle, QObject* parent = nullptr);

    struct Texts {
        QString xAxis, yAxis, read, clearPetrol, clearGas, compute, open, save, petrol, gas,
            matches, notRead, notWritten;
    };
    const Texts& TabTexts() const { return texts_; }
    void ReloadTexts();

    // --- Buttons ---------------------------------------------------------------------
    // "Read": both sample sets in the next 54-tick slot.
    void CmdMapRead_Click();
    // "Clear Petrol" / "Clear Gas": the ECU forgets the fuel's points, the
    // map forgets them at once.
    void CmdMapClrPet_Click();
    void CmdMapClrGas_Click();
    // "Compute": the map step with the target markers placed.
    void CmdMapCompute_Click();
    // Open and save a map file through the file dialogs.
    void CmdMapOpen_Click();
    void CmdMapSave_Click();
    // The same without dialogs (gascal-cli, tests): false when the file
    // could not be read or written.
    bool OpenFile(const QString& path);
    bool SaveFile(const QString& path);

    bool ComputeEnabled() const { return computeEnabled_; }
    bool ReadEnabled() const;
    int Matches() const;

    // --- Drawing data ----------------------------------------------------------------
    double FullScale() const;
    // Markers of one fuel, pressure in mbar (at most 1000) and time in ms
    // (at most 32).
    std::vector<QPointF> Markers(MapFuel fuel) const;
    // The live operating point: manifold pressure (at most 1000 mbar) and
    // injector 1's petrol time (at most the full scale); none while the key
    // is off.
    std::optional<QPointF> LivePoint() const;

  signals:
    // The markers changed (and with `relayout` the vertical scale too).
    void mapChanged(bool relayout);
    // "Compute" became usable or not.
    void computeChanged(bool enabled);
    // The targets of the Modeling tab changed.
    void targetsChanged();
    // A button's short wait runs (the wait cursor).
    void busy(bool on);

  private:
    void Stepped(const MapStepResult& r);
    void ShortWait();

    EcuSession& session_;
    PollingCycle& cycle_;
    Texts texts_;
    bool computeEnabled_ = false;
};

}  // namespace gascal
