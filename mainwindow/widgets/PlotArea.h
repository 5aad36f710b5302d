// A graph area drawn with the painter: a grid of divisions with labelled
// axes, and layers drawn over it (point markers of a shape and colour,
// polylines, one live marker). The grid and the labels are drawn once per
// size into a cached picture, so a change of the markers repaints only the
// layers, and a moving live marker repaints only where it was and is.
// The Map and Modeling tabs draw their graphs with it.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPointF>
#include <QString>
#include <QWidget>
#include <map>
#include <optional>
#include <vector>

namespace gascal {

struct PlotAxis {
    double min = 0, max = 1;
    int divisions = 10;     // grid lines between min and max
    double labelEvery = 1;  // a label on every grid line whose value is a multiple of this
    int decimals = 0;       // of the labels (the system's decimal separator)
    double labelScale = 1;  // a label shows value × labelScale (mbar shown in bar)
    QString title;
};

enum class MarkerShape { Dot, Square, Cross, Diamond };

struct MarkerStyle {
    MarkerShape shape = MarkerShape::Dot;
    QColor colour = Qt::black;
    int size = 7;  // pixels
};

class PlotArea : public QWidget {
  public:
    explicit PlotArea(QWidget* parent = nullptr);

    void SetAxes(const PlotAxis& x, const PlotAxis& y);
    const PlotAxis& XAxis() const { return x_; }
    const PlotAxis& YAxis() const { return y_; }
    // A layer of markers (values in axis units; outside the axes they are
    // drawn at the edge). Layers are drawn in the order of their keys.
    void SetMarkers(int layer, std::vector<QPointF> points, const MarkerStyle& style);
    // A polyline layer (segments between successive points).
    void SetPolyline(int layer, std::vector<QPointF> points, const QColor& colour, int width = 2,
                     Qt::PenStyle style = Qt::SolidLine);
    void ClearLayer(int layer);
    // The points of a layer as set (empty when the layer has none).
    std::vector<QPointF> LayerPoints(int layer) const;
    // The live operating point (none: not shown).
    void SetLiveMarker(std::optional<QPointF> at);
    std::optional<QPointF> LiveMarker() const { return live_; }

    // Where a value is drawn, in this widget's pixels (clamped to the axes).
    QPointF ToPixel(QPointF value) const;
    QRectF PlotRect() const;

    QSize minimumSizeHint() const override { return {240, 180}; }

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

  private:
    struct Layer {
        bool polyline = false;
        std::vector<QPointF> points;
        MarkerStyle style;
        QColor lineColour;
        int lineWidth = 2;
        Qt::PenStyle lineStyle = Qt::SolidLine;
    };
    void DrawGrid();
    QRect LiveRect(const std::optional<QPointF>& at) const;
    static void DrawMarker(QPainter& p, QPointF at, const MarkerStyle& s);

    PlotAxis x_, y_;
    std::map<int, Layer> layers_;
    std::optional<QPointF> live_;
    QPixmap grid_;
    bool gridStale_ = true;
};

}  // namespace gascal
