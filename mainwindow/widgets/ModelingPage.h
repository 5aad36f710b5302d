// The Modeling tab (tab 1): the line model's graph with the reference line,
// the target markers of "Compute" and the live operating point; the seven
// point labels (yellow when selected, red when not) sitting on their
// points; the position boxes; the eight edit buttons that repeat while held;
// undo and redo (also Ctrl+Z and Ctrl+Y); the resets; "Clear Model"; "Fit"
// (the model fitted to the targets, with the distances before and after);
// and open and save of the configuration.
#pragma once

#include <QWidget>
#include <array>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QGroupBox;

namespace gascal {

class MainController;
class ModelingModel;
class PlotArea;
struct PageContext;
enum class EditButton : uint8_t;

class ModelingPage : public QWidget {
    Q_OBJECT
  public:
    ModelingPage(PageContext& context, QWidget* parent = nullptr);
    ~ModelingPage() override;

    ModelingModel& Model() { return *model_; }
    PlotArea* Graph() const { return graph_; }

  protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void ApplyLanguage();
    void ShowModel();
    void ShowSelection();
    void ShowTargets();
    void ShowHistory();
    void PlaceLabels();
    void ShowLive();
    QPushButton* EditButtonFor(EditButton b, const QString& caption, const char* name);

    MainController& ctl_;
    std::unique_ptr<ModelingModel> model_;
    PlotArea* graph_ = nullptr;
    std::array<QLabel*, 7> lblPntMod_{};
    std::array<QLineEdit*, 5> txtXPos_{};
    std::array<QLineEdit*, 5> txtYPos_{};
    std::array<QLabel*, 5> lblPoint_{};
    QLineEdit* txtAlfaPos_ = nullptr;
    QLineEdit* txtOffsetPos_ = nullptr;
    QGroupBox* grpPoints_ = nullptr;
    QLabel *lblX_ = nullptr, *lblY_ = nullptr, *lblAlfa_ = nullptr, *lblOffset_ = nullptr;
    QPushButton *cmdUndo_ = nullptr, *cmdRedo_ = nullptr, *cmdResetLine_ = nullptr,
                *cmdReset_ = nullptr, *cmdClearModel_ = nullptr, *cmdOpen_ = nullptr,
                *cmdSave_ = nullptr;
    QPushButton* cmdFit_ = nullptr;
    QLabel* lblFit_ = nullptr;
};

}  // namespace gascal
