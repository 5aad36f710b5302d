// The viewer's signal picture (PctSignal): an oscilloscope screen drawn with
// the painter onto a cached pixmap (a raster image kept between paints). The dotted grid is drawn
// once per size into its own pixmap; the traces are drawn over a copy of it, the live segment by
// segment (with the erase band ahead of the sweep restored from the grid), a full redraw as one
// stepped polyline per channel. The cursor lines are painted over the pixmap, so moving them
// redraws nothing.
#pragma once

#include <QImage>
#include <QWidget>
#include <array>

#include "viewer/model/ViewerModel.h"

class QLabel;
class QPainter;

namespace gascal {

class SignalPicture : public QWidget {
    Q_OBJECT
  public:
    explicit SignalPicture(ViewerModel& model, QWidget* parent = nullptr);

    // The picture emptied to its grid.
    void Clear();
    // One live segment (DrawLinee's), then the erase band ahead of it.
    void DrawSegment(const LiveSegment& segment);
    // Everything the model's last full redraw placed.
    void Redraw();
    // The zero markers follow the channels' positions and visibility.
    void PlaceZeroMarkers();

    // Drawing units to pixels and back.
    double PxX(double x) const { return x * width() / kPictureWidth; }
    double PxY(double y) const { return y * height() / kPictureHeight; }
    double UnitsX(double px) const { return width() > 0 ? px * kPictureWidth / width() : 0; }

    const QImage& Trace() const { return trace_; }
    static QColor ToQColor(uint32_t rgb);
    static QColor Background() { return QColor(8, 12, 16); }

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;

  private:
    void BuildGrid();
    void RestoreGrid(QPainter& p);

    ViewerModel& model_;
    QImage grid_;
    QImage trace_;
    std::array<QLabel*, kViewChannels> zero_{};
};

}  // namespace gascal
