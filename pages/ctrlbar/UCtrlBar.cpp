#include "pages/ctrlbar/UCtrlBar.h"

#include <QPainter>
#include <QResizeEvent>

namespace gascal {

UCtrlBar::UCtrlBar(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    model_.UserControl_Resize(width() * UCtrlBarModel::kTwipsPerPixel,
                              height() * UCtrlBarModel::kTwipsPerPixel);
}

QColor UCtrlBar::ToQColor(uint32_t rgb) {
    return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>((rgb >> 16) & 0xFF));
}

void UCtrlBar::Configura(int maxVal, int minVal, int stepVal, uint32_t backColour,
                         uint32_t foreColour, int mode) {
    model_.UserControl_Resize(width() * UCtrlBarModel::kTwipsPerPixel,
                              height() * UCtrlBarModel::kTwipsPerPixel);
    model_.Configura(maxVal, minVal, stepVal, backColour, foreColour, mode);
    update();
}

void UCtrlBar::SetValore(int v) {
    const int before = model_.Valore();
    const int visibleBefore = model_.VisibleCount();
    model_.SetValore(v);
    if (model_.Valore() != before || model_.VisibleCount() != visibleBefore) update();
}

void UCtrlBar::SetForeColor(uint32_t c) {
    model_.SetForeColor(c);
    update();
}

void UCtrlBar::SetStepBorder(int style) {
    model_.SetStepBorder(style);
    update();
}

void UCtrlBar::resizeEvent(QResizeEvent* e) {
    model_.UserControl_Resize(e->size().width() * UCtrlBarModel::kTwipsPerPixel,
                              e->size().height() * UCtrlBarModel::kTwipsPerPixel);
    QWidget::resizeEvent(e);
}

void UCtrlBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), ToQColor(model_.BackColor()));
    const QColor fore = ToQColor(model_.ForeColor());
    const QColor edge = model_.StepBorder() ? fore.darker(160) : fore;
    for (const auto& s : model_.Segments()) {
        if (!s.visible) continue;
        const int x = s.left / UCtrlBarModel::kTwipsPerPixel;
        const int w = s.width / UCtrlBarModel::kTwipsPerPixel;
        if (w <= 0) continue;
        QRect r(x, 0, w, height());
        p.fillRect(r, fore);
        if (model_.StepBorder()) {
            p.setPen(edge);
            p.drawRect(r.adjusted(0, 0, -1, -1));
        }
    }
    p.setPen(QColor(128, 128, 128));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace gascal
