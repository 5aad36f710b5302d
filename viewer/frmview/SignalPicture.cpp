#include "viewer/frmview/SignalPicture.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygon>
#include <QWheelEvent>
#include <cmath>
#include <vector>

namespace gascal {

namespace {
constexpr int kZeroMarkerWidthPx = 14;
constexpr int kWheelNotch = 120;
const QColor kDotColour(96, 104, 112);
const QColor kCursorColour(255, 255, 255);
const QColor kSecondCursorColour(0, 230, 230);
}  // namespace

QColor SignalPicture::ToQColor(uint32_t rgb) {
    return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>((rgb >> 16) & 0xFF));
}

SignalPicture::SignalPicture(ViewerModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("PctSignal"));
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(450, 300);
    setCursor(Qt::CrossCursor);
    for (int c = 0; c < kViewChannels; ++c) {
        auto* l = new QLabel(QString::number(c + 1), this);
        l->setObjectName(QStringLiteral("LblZero%1").arg(c));
        l->setAlignment(Qt::AlignCenter);
        l->setAutoFillBackground(true);
        QFont f = l->font();
        f.setPointSizeF(f.pointSizeF() * 0.75);
        f.setBold(true);
        l->setFont(f);
        l->setFixedSize(kZeroMarkerWidthPx, static_cast<int>(kZeroMarkerHeight / 15));
        zero_[static_cast<size_t>(c)] = l;
    }
}

void SignalPicture::BuildGrid() {
    grid_ = QImage(size(), QImage::Format_RGB32);
    grid_.fill(Background());
    QPainter p(&grid_);
    p.setPen(kDotColour);
    // A dot at every minor step along the division lines: the major lines
    // appear as rows and columns of dots, the inside of a division stays empty.
    const int columns = static_cast<int>(kPictureWidth / kMinorUnitsX);
    const int rows = static_cast<int>((kPictureHeight - 2 * kGridTop) / kMinorUnitsY);
    for (int k = 0; k <= columns; ++k) {
        for (int j = 0; j <= rows; ++j) {
            if (k % kMinorSteps != 0 && j % kMinorSteps != 0) continue;
            const int x =
                std::min(width() - 1, static_cast<int>(std::lround(PxX(k * kMinorUnitsX))));
            const int y = static_cast<int>(std::lround(PxY(j * kMinorUnitsY + kGridTop)));
            p.drawPoint(x, y);
        }
    }
}

void SignalPicture::RestoreGrid(QPainter& p) {
    // Into the picture's own buffer: no new image for every redraw.
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(0, 0, grid_);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void SignalPicture::Clear() {
    if (grid_.size() != size()) BuildGrid();
    if (trace_.size() != grid_.size()) {
        trace_ = grid_.copy();
    } else {
        QPainter p(&trace_);
        RestoreGrid(p);
    }
    update();
}

void SignalPicture::DrawSegment(const LiveSegment& s) {
    if (trace_.isNull()) Clear();
    QPainter p(&trace_);
    const double x1 = PxX(s.x1), x2 = PxX(s.x2);
    for (int c = 0; c < kViewChannels; ++c) {
        const size_t i = static_cast<size_t>(c);
        if (!s.drawn[i]) continue;
        p.setPen(QPen(ToQColor(model_.Channels()[i].colour), 0));
        const double y1 = PxY(s.y1[i]), y2 = PxY(s.y2[i]);
        p.drawLine(QPointF(x1, y1), QPointF(x2, y1));
        p.drawLine(QPointF(x2, y1), QPointF(x2, y2));
    }
    QRect dirty =
        QRectF(QPointF(std::min(x1, x2) - 1, 0), QPointF(x2 + 1, height())).toAlignedRect();
    if (s.erase) {
        // The erase band shows the grid again ahead of the sweep.
        const int from = static_cast<int>(std::floor(PxX(s.x2 + kEraseFrom)));
        const int to = static_cast<int>(std::ceil(PxX(s.x2 + kEraseTo)));
        const QRect band(from, 0, std::max(0, to - from), height());
        p.drawImage(band.topLeft(), grid_, band);
        dirty = dirty.united(band);
    }
    p.end();
    update(dirty);
}

void SignalPicture::Redraw() {
    if (grid_.size() != size()) BuildGrid();
    if (trace_.size() != grid_.size()) trace_ = QImage(grid_.size(), grid_.format());
    const auto& xs = model_.DrawnX();
    const auto& idx = model_.DrawnIndex();
    const auto& samples = model_.Samples();
    QPainter p(&trace_);
    RestoreGrid(p);
    if (xs.size() >= 2) {
        // Whole pixels: the steps stay crisp and the painter takes its
        // integer path.
        std::vector<int> px(xs.size());
        for (size_t k = 0; k < xs.size(); ++k) px[k] = static_cast<int>(std::lround(PxX(xs[k])));
        QPolygon line;
        line.reserve(static_cast<int>(xs.size() * 2));
        const auto add = [&line](int x, int y) {
            if (line.isEmpty() || line.constLast() != QPoint(x, y)) line << QPoint(x, y);
        };
        for (int c = 0; c < kViewChannels; ++c) {
            if (!model_.ChannelDrawn(c)) continue;
            p.setPen(QPen(ToQColor(model_.Channels()[static_cast<size_t>(c)].colour), 0));
            line.clear();
            int y = 0;
            bool have = false;
            for (size_t k = 1; k < xs.size(); ++k) {
                const ViewSample& a = samples[static_cast<size_t>(idx[k - 1])];
                // A segment is drawn from a sample with a time only.
                if (!(a.SampleTimeMs > 0)) {
                    if (line.size() > 1) p.drawPolyline(line);
                    line.clear();
                    have = false;
                    continue;
                }
                if (!have) {
                    y = static_cast<int>(std::lround(PxY(model_.ChannelY(c, a))));
                    add(px[k - 1], y);
                    have = true;
                }
                const ViewSample& b = samples[static_cast<size_t>(idx[k])];
                add(px[k], y);
                y = static_cast<int>(std::lround(PxY(model_.ChannelY(c, b))));
                add(px[k], y);
            }
            if (line.size() > 1) p.drawPolyline(line);
        }
    }
    p.end();
    update();
}

void SignalPicture::PlaceZeroMarkers() {
    for (int c = 0; c < kViewChannels; ++c) {
        QLabel* l = zero_[static_cast<size_t>(c)];
        const ChannelSetting& ch = model_.Channels()[static_cast<size_t>(c)];
        QPalette pal = l->palette();
        pal.setColor(QPalette::Window, ToQColor(ch.colour));
        pal.setColor(QPalette::WindowText, Qt::black);
        l->setPalette(pal);
        l->move(0, static_cast<int>(std::lround(PxY(model_.ZeroLineY(c)))) - l->height() / 2);
        l->setVisible(model_.ChannelDrawn(c));
    }
}

void SignalPicture::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    if (trace_.size() != size()) {
        p.fillRect(rect(), Background());
    }
    if (!trace_.isNull()) p.drawImage(e->rect(), trace_, e->rect());
    if (const auto x = model_.SecondCursorX()) {
        p.setPen(QPen(kSecondCursorColour, 0, Qt::DashLine));
        const double px = PxX(*x);
        p.drawLine(QPointF(px, 0), QPointF(px, height()));
        p.drawText(QPointF(px + 3, 12), QStringLiteral("B"));
    }
    if (const auto x = model_.CursorX()) {
        p.setPen(QPen(kCursorColour, 0, Qt::DotLine));
        const double px = PxX(*x);
        p.drawLine(QPointF(px, 0), QPointF(px, height()));
        if (model_.SecondCursorSample()) p.drawText(QPointF(px + 3, 12), QStringLiteral("A"));
    }
}

void SignalPicture::resizeEvent(QResizeEvent*) {
    BuildGrid();
    // Run mode starts its sweep again on a new size; stop mode draws the
    // same span over the new grid.
    if (model_.RunMode())
        Clear();
    else
        Redraw();
    PlaceZeroMarkers();
}

void SignalPicture::mouseMoveEvent(QMouseEvent* e) {
    if (model_.Busy()) return;
    model_.ShowReadout(UnitsX(e->position().x()));
    update();
}

void SignalPicture::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton)
        model_.SetSecondCursor(UnitsX(e->position().x()));
    else if (e->button() == Qt::RightButton)
        model_.ClearSecondCursor();
    update();
}

void SignalPicture::wheelEvent(QWheelEvent* e) {
    const int steps = e->angleDelta().y() / kWheelNotch;
    if (steps != 0) model_.WheelZoom(steps, UnitsX(e->position().x()));
    e->accept();
}

}  // namespace gascal
