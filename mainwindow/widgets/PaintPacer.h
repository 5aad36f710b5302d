// Paces the paints of a window that shows live values. Values arrive on
// several timers (live values every 28 ms, the link's state and its dots on
// every link tick), and each change would otherwise be painted and sent to
// the display on its own. An update request that comes less than the gap
// after the window's last paint waits for the rest of the gap; what changed
// meanwhile is painted in one go. Resizes and exposures are painted at once
// as always (they do not go through update requests).
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

class QWidget;

namespace gascal {

class PaintPacer : public QObject {
  public:
    // Installs itself on `window` (a top-level widget), which owns it.
    // `nowMs` is the clock (a steady millisecond count; tests give their own).
    PaintPacer(QWidget* window, int gapMs, std::function<qint64()> nowMs = {});

    bool eventFilter(QObject* watched, QEvent* event) override;
    // Deferred paints so far (for tests and benchmarks).
    int Deferred() const { return deferred_; }
    // Sends the held update request now.
    void Flush();

  private:
    QWidget* window_;
    int gapMs_;
    std::function<qint64()> nowMs_;
    QTimer timer_;
    qint64 lastPaintMs_ = -1;
    bool sending_ = false;
    int deferred_ = 0;
};

}  // namespace gascal
