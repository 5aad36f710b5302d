// The Modeling tab's model (tab 1), without widgets: the texts of the tab,
// the press-and-hold of the eight edit buttons, the two resets with their
// question, undo and redo, the live operating point and the drawing data of
// the line model (reference line, segments, points, targets), and "Fit",
// which fits the model to the target markers (ModelFit.h) in one edit.
//
// A held button repeats its step on the time and event layer, not in a
// loop inside the press: the first step comes with the press, the next
// after 0.2 s, each wait then 1.2 times shorter down to 1/80 s. The window
// keeps running meanwhile (polling, live values), and the release ends the
// hold at once. The model itself (ModelEditor) belongs to the ECU session,
// so gascal-cli's presses go through the same steps and limits.
#pragma once

#include <QPointF>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ecu/LineModel.h"
#include "ecu/ModelFit.h"

namespace gascal {

class EcuSession;
class PollingCycle;
class ModelEditor;

// Where a model drawn on the tab's graph ends: petrol time 0 to 20 ms,
// gas time 0 to 31 ms.
inline constexpr double kModelGraphMaxX = 20;
inline constexpr double kModelGraphMaxY = 31;

class ModelingModel {
  public:
    ModelingModel(EcuSession& session, PollingCycle& cycle);
    ~ModelingModel();
    ModelingModel(const ModelingModel&) = delete;
    ModelingModel& operator=(const ModelingModel&) = delete;

    // The tab's texts (dictionary section "[FrmMod]").
    struct Texts {
        QString xAxis, yAxis, point, xPos, yPos, alfa, offset;
        QString resetLine, reset, clearModel, open, save, undo, redo;
        QString resetLineQuestion, resetQuestion;
        QString fit, fitDistances, fitOffsetOnly;
    };
    const Texts& TabTexts() const { return texts_; }
    void ReloadTexts();

    ModelEditor& Editor();
    const ModelEditor& Editor() const;

    // --- Edit buttons ------------------------------------------------------------------
    // Mouse down: false when the button does nothing (no point selected, or
    // a point it may not move). Otherwise the first step is taken and the
    // button repeats until ButtonUp.
    bool ButtonDown(EditButton b);
    // Mouse up: the hold ends and the table is written once, after its delay.
    void ButtonUp();
    bool Holding() const;
    // Steps taken by the present or last hold.
    int HoldSteps() const { return holdSteps_; }

    // --- Resets, undo ----------------------------------------------------------------------
    // "Reset line" and "Reset", each after its Yes/No question.
    bool CmdResetLine_Click();
    bool CmdReset_Click();
    bool Undo();
    bool Redo();
    // "Clear Model": the target markers are no longer shown.
    void CmdShpMapMod_Click();

    // --- Fit ----------------------------------------------------------------------------------
    // "Fit" is enabled while target markers are shown and no button is held.
    bool CanFit() const;
    // Fits the model to the targets and applies it as one edit of the
    // history (undone with Undo); the table is written once, after its
    // delay. Nothing happens without targets.
    FitResult CmdFit_Click();
    // The last fit's distances to the targets before and after, in the
    // tab's language; empty before the first fit.
    QString FitSummary() const;
    // A fit was made (the page shows its summary).
    void OnFitted(std::function<void()> f) { fitted_.push_back(std::move(f)); }

    // --- Drawing data ------------------------------------------------------------------------
    // The reference line ALFA × X + OFFSET from 0 to 20.096 ms, cut at the
    // graph's edge.
    std::vector<QPointF> ReferenceLine() const;
    // The model's segments through points 0 to 6, cut at the graph's edge.
    std::vector<QPointF> Segments() const;
    // The seven points (drawn at the edge when beyond it).
    std::vector<QPointF> Points() const;
    // The target markers placed by "Compute".
    std::vector<QPointF> Targets() const;
    // The live operating point: injector 1's petrol and gas times; none
    // while the key is off or the engine does not run on gas.
    std::optional<QPointF> LivePoint() const;
    // The targets were placed or cleared (the map's listener).
    void OnTargetsChanged(std::function<void()> f);

  private:
    void ScheduleRepeat();

    EcuSession& session_;
    PollingCycle& cycle_;
    Texts texts_;
    RepeatLadder ladder_;
    int holdSteps_ = 0;
    std::optional<FitResult> lastFit_;
    std::vector<std::function<void()>> fitted_;
    // A repeat posted to the event layer runs only while its hold is the
    // present one and this model exists.
    std::shared_ptr<int> holdToken_ = std::make_shared<int>(0);
};

// A polyline cut where it leaves x ≤ maxX (the rest dropped, the crossing kept).
std::vector<QPointF> CutAtX(const std::vector<QPointF>& line, double maxX);

}  // namespace gascal
