// How long the Map and Modeling graphs take to redraw with 120 operating
// points and all their markers: a whole repaint (layers over the cached
// grid), a repaint after a resize (the grid drawn again) and a move of the
// live marker (only where it was and is). Prints milliseconds per redraw.
//   bench-plot-redraw [repaints]      (runs offscreen)
#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <cstdio>
#include <functional>

#include "mainwindow/widgets/PlotArea.h"

using namespace gascal;

namespace {

// `whole`: the whole widget is repainted; otherwise only what the change
// asked to update is painted (as the event loop would).
double PerRedraw(PlotArea& plot, int n, const std::function<void(int)>& before, bool whole = true) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        before(i);
        if (whole)
            plot.repaint();
        else
            QApplication::processEvents();
    }
    return t.nsecsElapsed() / 1e6 / n;
}

void Measure(const char* name, PlotArea& plot, int n) {
    plot.resize(700, 420);
    plot.show();
    QApplication::processEvents();
    const double layers = PerRedraw(plot, n, [](int) {});
    const double grid =
        PerRedraw(plot, std::max(1, n / 4), [&plot](int i) { plot.resize(700 + (i % 2), 420); });
    const double live = PerRedraw(
        plot, n,
        [&plot](int i) {
            const auto& x = plot.XAxis();
            const auto& y = plot.YAxis();
            plot.SetLiveMarker(QPointF(x.min + (x.max - x.min) * (i % 50) / 50.0,
                                       y.min + (y.max - y.min) * (i % 30) / 30.0));
        },
        false);
    std::printf("%-9s whole %.3f ms   with grid %.3f ms   live marker %.3f ms   (%d repaints)\n",
                name, layers, grid, live, n);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 400;
    QRandomGenerator rnd(7);

    // Map: 60 petrol and 60 gas points, 60 selected, pressure 0..1000 mbar.
    PlotArea map;
    map.SetAxes({0, 1000, 10, 100, 1, 0.001, "bar"}, {0, 16, 8, 2, 0, 1, "ms"});
    for (int layer = 0; layer < 3; ++layer) {
        std::vector<QPointF> pts;
        for (int i = 0; i < 60; ++i)
            pts.emplace_back(20.0 * rnd.bounded(50), 0.2 * rnd.bounded(80));
        map.SetMarkers(layer, pts,
                       {layer == 1 ? MarkerShape::Square : MarkerShape::Dot,
                        layer == 0 ? QColor(255, 160, 0) : QColor(0, 160, 255), 7});
    }
    map.SetLiveMarker(QPointF(400, 4));
    Measure("map", map, n);

    // Model: the seven points, the reference line, 120 target markers.
    PlotArea model;
    model.SetAxes({0, 20, 20, 2, 0, 1, "ms petrol"}, {0, 31, 31, 5, 0, 1, "ms gas"});
    std::vector<QPointF> points{{0, 0},     {3.84, 4.1},  {8.064, 8.5}, {12.032, 12.6},
                                {16, 16.9}, {20.096, 21}, {23.68, 24}};
    model.SetPolyline(0, {{0, 0.2}, {20.096, 20.3}}, QColor(120, 120, 120), 1, Qt::DashLine);
    model.SetPolyline(1, points, QColor(0, 0, 200), 2);
    model.SetMarkers(2, points, {MarkerShape::Square, QColor(220, 0, 0), 9});
    std::vector<QPointF> targets;
    for (int i = 0; i < 120; ++i)
        targets.emplace_back(0.2 * rnd.bounded(100), 0.2 * rnd.bounded(150));
    model.SetMarkers(3, targets, {MarkerShape::Cross, QColor(0, 150, 0), 8});
    model.SetLiveMarker(QPointF(4, 4.2));
    Measure("model", model, n);
    return 0;
}
