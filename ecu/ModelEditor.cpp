#include "ecu/ModelEditor.h"

#include "common/Prompts.h"
#include "data/core/ParamFile.h"

namespace gascal {

ModelEditor::ModelEditor() {
    model_.SetDefaults();
    model_.Recompute();
}

void ModelEditor::Notify(const std::vector<std::function<void()>>& fs) {
    for (const auto& f : fs) f();
}

void ModelEditor::RebuildFromTable(CorTableArray& table) {
    model_.FromTable(table);
    selection_.DeselectPoints();
    ClearHistory();
    Notify(modelChanged_);
    Notify(selectionChanged_);
}

void ModelEditor::SetModel(const LineModel& m) {
    if (held_) held_ = false;  // a held button loses its press
    model_ = m;
    selection_.DeselectPoints();
    ClearHistory();
    Notify(modelChanged_);
    Notify(selectionChanged_);
}

bool ModelEditor::Apply(const LineModel& m) {
    if (held_ || m == model_) return false;
    const LineModel before = model_;
    model_ = m;
    model_.Recompute();
    selection_.DeselectPoints();
    Commit(before);
    Notify(modelChanged_);
    Notify(selectionChanged_);
    Notify(tableToWrite_);
    return true;
}

// --- Selection ---------------------------------------------------------------------

void ModelEditor::SelectPoint(int i) {
    selection_.SelectPoint(i);
    Notify(selectionChanged_);
}

void ModelEditor::SelectSlope() {
    selection_.SelectSlope();
    Notify(selectionChanged_);
}

void ModelEditor::SelectOffset() {
    selection_.SelectOffset();
    Notify(selectionChanged_);
}

void ModelEditor::DeselectPoints() {
    selection_.DeselectPoints();
    Notify(selectionChanged_);
}

// --- Edit buttons ----------------------------------------------------------------------

bool ModelEditor::Press(EditButton b) {
    if (held_) return false;
    int point = -1;
    if (IsLineButton(b)) {
        if (b == EditButton::AlfaUp || b == EditButton::AlfaDown)
            SelectSlope();
        else
            SelectOffset();
    } else {
        point = selection_.SelectedPoint();
        if (!ButtonMovesPoint(b, point)) return false;
    }
    held_ = true;
    heldButton_ = b;
    heldPoint_ = point;
    beforePress_ = model_;
    Notify(historyChanged_);  // no undo while a button is held
    return true;
}

void ModelEditor::RepeatStep() {
    if (!held_) return;
    const LineModel before = model_;
    model_.Step(heldButton_, heldPoint_);
    model_.EnforceInvariants();
    if (!(model_ == before)) Notify(modelChanged_);
}

void ModelEditor::Release() {
    // A press that did nothing (no point selected) holds nothing: its
    // release has no edit to send.
    if (!held_) return;
    held_ = false;
    Commit(beforePress_);
    Notify(tableToWrite_);
}

void ModelEditor::Hold(EditButton b, int repeats) {
    if (Press(b))
        for (int n = 0; n < repeats; ++n) RepeatStep();
    Release();
}

// --- Resets ------------------------------------------------------------------------------

void ModelEditor::AfterEdit(const LineModel& before) {
    model_.Recompute();
    // A model rebuilt from a table may have points closer than two steps.
    model_.EnforceInvariants();
    selection_.DeselectPoints();
    Commit(before);
    Notify(modelChanged_);
    Notify(selectionChanged_);
    Notify(tableToWrite_);
}

void ModelEditor::ResetLine() {
    if (held_) return;
    const LineModel before = model_;
    model_.PutPointsOnLine();
    AfterEdit(before);
}

void ModelEditor::Reset() {
    if (held_) return;
    const LineModel before = model_;
    model_.SetDefaults();
    AfterEdit(before);
}

namespace {
bool AskReset(const QString& question, const QString& productTitle,
              const std::function<void()>& reloadWatchdog) {
    const QString title =
        productTitle + QStringLiteral(" - ") + QLatin1String(kSoftwareVersionText);
    const bool yes = UserPrompts().AskYesNo(question, title);
    if (reloadWatchdog) reloadWatchdog();
    return yes;
}
}  // namespace

bool ModelEditor::AskAndResetLine(const QString& question, const QString& productTitle,
                                  const std::function<void()>& reloadWatchdog) {
    if (!AskReset(question, productTitle, reloadWatchdog)) return false;
    ResetLine();
    return true;
}

bool ModelEditor::AskAndReset(const QString& question, const QString& productTitle,
                              const std::function<void()>& reloadWatchdog) {
    if (!AskReset(question, productTitle, reloadWatchdog)) return false;
    Reset();
    return true;
}

// --- History ---------------------------------------------------------------------------------

void ModelEditor::Commit(const LineModel& before) {
    // An edit that changed nothing (a button at its limit, a reset of a
    // model already reset) is no step of the history.
    if (!(model_ == before)) {
        undo_.push_back(before);
        if (undo_.size() > kModelHistorySteps) undo_.erase(undo_.begin());
        redo_.clear();
    }
    Notify(historyChanged_);
}

bool ModelEditor::Undo() {
    if (!CanUndo()) return false;
    redo_.push_back(model_);
    model_ = undo_.back();
    undo_.pop_back();
    Notify(modelChanged_);
    Notify(historyChanged_);
    Notify(tableToWrite_);
    return true;
}

bool ModelEditor::Redo() {
    if (!CanRedo()) return false;
    undo_.push_back(model_);
    model_ = redo_.back();
    redo_.pop_back();
    Notify(modelChanged_);
    Notify(historyChanged_);
    Notify(tableToWrite_);
    return true;
}

void ModelEditor::ClearHistory() {
    undo_.clear();
    redo_.clear();
    Notify(historyChanged_);
}

}  // namespace gascal
