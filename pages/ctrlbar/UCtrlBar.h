// The bar gauge control: draws a UCtrlBarModel. The injector bars and the
// lambda bar of the main window are UCtrlBars. All rules live in the model;
// this widget converts pixels to twips and paints.
#pragma once

#include <QWidget>

#include "pages/ctrlbar/UCtrlBarModel.h"

namespace gascal {

class UCtrlBar : public QWidget {
    Q_OBJECT
  public:
    explicit UCtrlBar(QWidget* parent = nullptr);

    void Configura(int maxVal, int minVal, int stepVal, uint32_t backColour, uint32_t foreColour,
                   int mode);
    void SetValore(int v);
    int Valore() const { return model_.Valore(); }
    void SetForeColor(uint32_t c);
    uint32_t ForeColor() const { return model_.ForeColor(); }
    void SetStepBorder(int style);
    int MaxVal() const { return model_.MaxVal(); }
    int MimVal() const { return model_.MimVal(); }
    int StepVal() const { return model_.StepVal(); }
    const UCtrlBarModel& Model() const { return model_; }

    QSize sizeHint() const override { return {100, 14}; }
    QSize minimumSizeHint() const override { return {30, 8}; }

    static QColor ToQColor(uint32_t rgb);

  protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;

  private:
    UCtrlBarModel model_;
};

}  // namespace gascal
