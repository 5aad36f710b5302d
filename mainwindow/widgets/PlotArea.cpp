#include "mainwindow/widgets/PlotArea.h"

#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

#include "common/Helpers.h"

namespace gascal {

namespace {
constexpr int kLeftMargin = 46;
constexpr int kRightMargin = 12;
constexpr int kTopMargin = 22;
constexpr int kBottomMargin = 30;
constexpr int kLiveSize = 12;

QString Label(double value, const PlotAxis& a) {
    QString s = QString::number(value * a.labelScale, 'f', a.decimals);
    s.replace(QLatin1Char('.'), DecimalSeparator());
    return s;
}

bool OnLabel(double value, const PlotAxis& a) {
    if (a.labelEvery <= 0) return false;
    const double k = value / a.labelEvery;
    return std::fabs(k - std::round(k)) < 1e-6;
}
}  // namespace

PlotArea::PlotArea(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PlotArea::SetAxes(const PlotAxis& x, const PlotAxis& y) {
    x_ = x;
    y_ = y;
    gridStale_ = true;
    update();
}

void PlotArea::SetMarkers(int layer, std::vector<QPointF> points, const MarkerStyle& style) {
    Layer& l = layers_[layer];
    if (!l.polyline && l.points == points && l.style.shape == style.shape &&
        l.style.colour == style.colour && l.style.size == style.size)
        return;
    l.polyline = false;
    l.points = std::move(points);
    l.style = style;
    update();
}

void PlotArea::SetPolyline(int layer, std::vector<QPointF> points, const QColor& colour, int width,
                           Qt::PenStyle style) {
    Layer& l = layers_[layer];
    if (l.polyline && l.points == points && l.lineColour == colour && l.lineWidth == width &&
        l.lineStyle == style)
        return;
    l.polyline = true;
    l.points = std::move(points);
    l.lineColour = colour;
    l.lineWidth = width;
    l.lineStyle = style;
    update();
}

void PlotArea::ClearLayer(int layer) {
    if (layers_.erase(layer) > 0) update();
}

QRect PlotArea::LiveRect(const std::optional<QPointF>& at) const {
    if (!at) return {};
    const QPointF p = ToPixel(*at);
    return QRect(int(p.x()) - kLiveSize, int(p.y()) - kLiveSize, 2 * kLiveSize + 1,
                 2 * kLiveSize + 1);
}

void PlotArea::SetLiveMarker(std::optional<QPointF> at) {
    if (at == live_) return;
    const QRect before = LiveRect(live_);
    live_ = at;
    // Only where the marker was and where it is now.
    update(before.united(LiveRect(live_)));
}

std::vector<QPointF> PlotArea::LayerPoints(int layer) const {
    const auto it = layers_.find(layer);
    return it == layers_.end() ? std::vector<QPointF>{} : it->second.points;
}

QRectF PlotArea::PlotRect() const {
    return QRectF(kLeftMargin, kTopMargin, std::max(1, width() - kLeftMargin - kRightMargin),
                  std::max(1, height() - kTopMargin - kBottomMargin));
}

QPointF PlotArea::ToPixel(QPointF v) const {
    const QRectF r = PlotRect();
    const double xs =
        x_.max > x_.min ? (std::clamp(v.x(), x_.min, x_.max) - x_.min) / (x_.max - x_.min) : 0;
    const double ys =
        y_.max > y_.min ? (std::clamp(v.y(), y_.min, y_.max) - y_.min) / (y_.max - y_.min) : 0;
    return {r.left() + xs * r.width(), r.bottom() - ys * r.height()};
}

void PlotArea::resizeEvent(QResizeEvent* e) {
    gridStale_ = true;
    QWidget::resizeEvent(e);
}

void PlotArea::DrawGrid() {
    grid_ = QPixmap(size() * devicePixelRatioF());
    grid_.setDevicePixelRatio(devicePixelRatioF());
    grid_.fill(palette().color(QPalette::Window));
    QPainter p(&grid_);
    const QRectF r = PlotRect();
    p.fillRect(r, Qt::white);
    const QPen minor(QColor(220, 220, 220), 1);
    const QPen major(QColor(170, 170, 170), 1);
    const QFontMetrics fm(font());
    for (int i = 0; i <= x_.divisions; ++i) {
        const double v = x_.min + (x_.max - x_.min) * i / std::max(1, x_.divisions);
        const double px = r.left() + r.width() * i / std::max(1, x_.divisions);
        const bool labelled = OnLabel(v, x_);
        p.setPen(labelled ? major : minor);
        p.drawLine(QPointF(px, r.top()), QPointF(px, r.bottom()));
        if (labelled) {
            p.setPen(palette().color(QPalette::WindowText));
            const QString t = Label(v, x_);
            p.drawText(QPointF(px - fm.horizontalAdvance(t) / 2.0, r.bottom() + fm.ascent() + 3),
                       t);
        }
    }
    for (int i = 0; i <= y_.divisions; ++i) {
        const double v = y_.min + (y_.max - y_.min) * i / std::max(1, y_.divisions);
        const double py = r.bottom() - r.height() * i / std::max(1, y_.divisions);
        const bool labelled = OnLabel(v, y_);
        p.setPen(labelled ? major : minor);
        p.drawLine(QPointF(r.left(), py), QPointF(r.right(), py));
        if (labelled) {
            p.setPen(palette().color(QPalette::WindowText));
            const QString t = Label(v, y_);
            p.drawText(QPointF(r.left() - fm.horizontalAdvance(t) - 5, py + fm.ascent() / 2.0 - 1),
                       t);
        }
    }
    p.setPen(QPen(palette().color(QPalette::WindowText), 1));
    p.drawRect(r);
    if (!x_.title.isEmpty())
        p.drawText(QRectF(r.left(), r.bottom() + fm.height() + 2, r.width(), fm.height()),
                   Qt::AlignRight | Qt::AlignTop, x_.title);
    if (!y_.title.isEmpty())
        p.drawText(QRectF(2, 2, width() - 4, fm.height()), Qt::AlignLeft | Qt::AlignTop, y_.title);
    gridStale_ = false;
}

void PlotArea::DrawMarker(QPainter& p, QPointF at, const MarkerStyle& s) {
    const double h = s.size / 2.0;
    p.setPen(QPen(s.colour.darker(140), 1));
    p.setBrush(s.colour);
    switch (s.shape) {
        case MarkerShape::Dot:
            p.drawEllipse(at, h, h);
            break;
        case MarkerShape::Square:
            p.drawRect(QRectF(at.x() - h, at.y() - h, s.size, s.size));
            break;
        case MarkerShape::Diamond: {
            const QPointF pts[] = {{at.x(), at.y() - h},
                                   {at.x() + h, at.y()},
                                   {at.x(), at.y() + h},
                                   {at.x() - h, at.y()}};
            p.drawPolygon(pts, 4);
            break;
        }
        case MarkerShape::Cross:
            p.setPen(QPen(s.colour, 2));
            p.drawLine(QPointF(at.x() - h, at.y() - h), QPointF(at.x() + h, at.y() + h));
            p.drawLine(QPointF(at.x() - h, at.y() + h), QPointF(at.x() + h, at.y() - h));
            break;
    }
}

void PlotArea::paintEvent(QPaintEvent* e) {
    if (gridStale_ || grid_.size() != size() * devicePixelRatioF()) DrawGrid();
    QPainter p(this);
    p.setClipRegion(e->region());
    p.drawPixmap(0, 0, grid_);
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRect(PlotRect().adjusted(-8, -8, 8, 8), Qt::IntersectClip);
    for (const auto& [key, l] : layers_) {
        if (l.polyline) {
            if (l.points.size() < 2) continue;
            QPainterPath path(ToPixel(l.points.front()));
            for (size_t i = 1; i < l.points.size(); ++i) path.lineTo(ToPixel(l.points[i]));
            p.setPen(QPen(l.lineColour, l.lineWidth, l.lineStyle));
            p.setBrush(Qt::NoBrush);
            p.drawPath(path);
        } else {
            for (const QPointF& v : l.points) DrawMarker(p, ToPixel(v), l.style);
        }
    }
    if (live_) {
        const QPointF c = ToPixel(*live_);
        p.setPen(QPen(QColor(200, 0, 0), 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(c, kLiveSize - 3.0, kLiveSize - 3.0);
        p.drawLine(QPointF(c.x() - kLiveSize + 1, c.y()), QPointF(c.x() + kLiveSize - 1, c.y()));
        p.drawLine(QPointF(c.x(), c.y() - kLiveSize + 1), QPointF(c.x(), c.y() + kLiveSize - 1));
    }
}

}  // namespace gascal
