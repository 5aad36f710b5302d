// The Map tab (tab 2): the operating points the ECU recorded on petrol and
// on gas, drawn over pressure and petrol time, with the live operating
// point; the buttons Read, Clear Petrol, Clear Gas, Compute and the map
// files; and how many petrol points have a gas point to compare with.
#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QPushButton;

namespace gascal {

class MainController;
class MapModel;
class PlotArea;
struct PageContext;

class MapPage : public QWidget {
    Q_OBJECT
  public:
    MapPage(PageContext& context, QWidget* parent = nullptr);
    ~MapPage() override;

    MapModel& Model() { return *model_; }
    PlotArea* Graph() const { return graph_; }

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    void ApplyLanguage();
    void ShowMap(bool relayout);
    void ShowButtons();
    void ShowLive();

    MainController& ctl_;
    std::unique_ptr<MapModel> model_;
    PlotArea* graph_ = nullptr;
    QLabel* lblMatches_ = nullptr;
    QLabel *lblPetrol_ = nullptr, *lblGas_ = nullptr;
    QPushButton *cmdRead_ = nullptr, *cmdClrPet_ = nullptr, *cmdClrGas_ = nullptr,
                *cmdCompute_ = nullptr, *cmdOpen_ = nullptr, *cmdSave_ = nullptr;
};

}  // namespace gascal
