// The one line model of the session, as the Modeling tab and gascal-cli
// edit it: the model, the point labels' selection, the held edit button and
// the history of edits (undo and redo).
//
// The session owns it (EcuSession::Model()), next to the parameter image
// whose `CorTable` it produces, so every front end edits the same model
// with the same code. The polling cycle wires it to the request scheduler:
// the table is built from the model when `DelayWriteCor` runs out (and when
// the link is stopped with a write waiting), and the model is rebuilt from
// the table at the first refresh after a connection (unless a button is
// held), after a configuration load and when the Modeling tab reads the
// table.
//
// A press-and-hold of an edit button, as the page runs it:
//   mouse down:  if (!editor.Press(button)) the button does nothing;
//                RepeatLadder ladder;
//                while (editor.Held()) {
//                    editor.RepeatStep();
//                    WaitMicroSeconds(ladder.Interval() * 1e6);
//                    ladder.Next();
//                }
//   mouse up:    editor.Release();   // the table is to be written (DelayWriteCor 2)
// One press-and-hold is one step of the history, whatever the number of
// repeats; each reset is one step too. The history is cleared when the
// model is rebuilt from a table read from the ECU or from a file.
#pragma once

#include <QString>
#include <functional>
#include <vector>

#include "ecu/LineModel.h"

namespace gascal {

inline constexpr size_t kModelHistorySteps = 100;

class ModelEditor {
  public:
    ModelEditor();

    const LineModel& Model() const { return model_; }
    const PointSelection& Selection() const { return selection_; }
    ModelTexts Texts() const { return ModelTextsOf(model_); }

    // --- Tables ------------------------------------------------------------------
    // CorTable from the model (before the table is written or saved).
    void BuildTable(CorTableArray& table) const { model_.ToTable(table); }
    // The model from a table read from the ECU or a parameter file: the
    // table is repaired in place, every point is deselected and the history
    // starts afresh.
    void RebuildFromTable(CorTableArray& table);
    // The model replaced as a whole by a procedure of the tool (the
    // automatic calibration): like a table read, no step of the history and
    // no table write asked for (the procedure writes the table itself).
    void SetModel(const LineModel& m);
    // A whole new model as one edit of the fitter (the fit to the targets):
    // one step of the history, every point deselected, the table to be
    // written once. False (nothing done) while a button is held or when the
    // model is the same.
    bool Apply(const LineModel& m);

    // --- Selection ---------------------------------------------------------------------
    // Point i selected alone (its boxes highlighted); the whole line with
    // the ALFA or the OFFSET box highlighted; nothing selected.
    void SelectPoint(int i);
    void SelectSlope();
    void SelectOffset();
    void DeselectPoints();
    int SelectedPoint() const { return selection_.SelectedPoint(); }
    // The Modeling tab's clicks on a point label and on the value boxes.
    void LblPntMod_Click(int i) { SelectPoint(i); }
    void TxtXPos_Click(int box) { SelectPoint(box + 1); }
    void TxtYPos_Click(int box) { SelectPoint(box + 1); }
    void TxtALfaPos_Click() { SelectSlope(); }
    void TxtOffsetPos_Click() { SelectOffset(); }

    // --- Edit buttons ------------------------------------------------------------------
    // Mouse down. A point button takes the selected point and does nothing
    // (false) unless it may move it; a line button selects the whole line.
    // Then the button counts as held.
    bool Press(EditButton b);
    // One repeat of the held button: one step within its limits, the
    // invariants enforced, the model recomputed. Nothing when none is held.
    void RepeatStep();
    // Mouse up: the button is no longer held, the edit becomes one step of
    // the history and the table is to be written (also after a press that
    // did nothing, as the window's release always sends the table).
    void Release();
    bool Held() const { return held_; }
    // Press, `repeats` steps, release: what gascal-cli's --press does.
    void Hold(EditButton b, int repeats);

    // --- Resets (after the page's Yes/No question) ---------------------------------
    // Every point back on the line, ALFA and OFFSET kept.
    void ResetLine();
    // The whole model to its defaults.
    void Reset();
    // The two buttons with their question: asks it (title: product title,
    // " - ", " Software ver. 01.01.05"), reloads the link's watchdog count
    // through `reloadWatchdog` whatever the answer, and resets on Yes.
    // True when it reset.
    bool AskAndResetLine(const QString& question, const QString& productTitle,
                         const std::function<void()>& reloadWatchdog);
    bool AskAndReset(const QString& question, const QString& productTitle,
                     const std::function<void()>& reloadWatchdog);

    // --- History -----------------------------------------------------------------------
    bool CanUndo() const { return !held_ && !undo_.empty(); }
    bool CanRedo() const { return !held_ && !redo_.empty(); }
    // Back to the model before the last step (and forward again); the table
    // is to be written. False when there is nothing to undo or a button is held.
    bool Undo();
    bool Redo();
    size_t UndoSteps() const { return undo_.size(); }
    size_t RedoSteps() const { return redo_.size(); }
    void ClearHistory();

    // --- Listeners -----------------------------------------------------------------------
    // The model's points changed (redraw the model, the boxes, the line).
    void OnModelChanged(std::function<void()> f) { modelChanged_.push_back(std::move(f)); }
    // The selection changed (label colours, highlighted boxes).
    void OnSelectionChanged(std::function<void()> f) { selectionChanged_.push_back(std::move(f)); }
    // An edit is complete and the table is to be written to the ECU
    // (release, reset, undo, redo).
    void OnTableToWrite(std::function<void()> f) { tableToWrite_.push_back(std::move(f)); }
    // Undo or redo became possible or impossible.
    void OnHistoryChanged(std::function<void()> f) { historyChanged_.push_back(std::move(f)); }

  private:
    void Commit(const LineModel& before);
    void AfterEdit(const LineModel& before);
    static void Notify(const std::vector<std::function<void()>>& fs);

    LineModel model_;
    PointSelection selection_;
    bool held_ = false;
    EditButton heldButton_ = EditButton::Up;
    int heldPoint_ = -1;
    LineModel beforePress_;
    std::vector<LineModel> undo_, redo_;

    std::vector<std::function<void()>> modelChanged_;
    std::vector<std::function<void()>> selectionChanged_;
    std::vector<std::function<void()>> tableToWrite_;
    std::vector<std::function<void()>> historyChanged_;
};

}  // namespace gascal
