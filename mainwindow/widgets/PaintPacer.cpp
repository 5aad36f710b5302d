#include "mainwindow/widgets/PaintPacer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>
#include <memory>

namespace gascal {

PaintPacer::PaintPacer(QWidget* window, int gapMs, std::function<qint64()> nowMs)
    : QObject(window), window_(window), gapMs_(gapMs), nowMs_(std::move(nowMs)) {
    if (!nowMs_) {
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        nowMs_ = [clock] { return clock->elapsed(); };
    }
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { Flush(); });
    window_->installEventFilter(this);
}

bool PaintPacer::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_ || event->type() != QEvent::UpdateRequest || sending_) return false;
    const qint64 now = nowMs_();
    if (lastPaintMs_ >= 0 && now - lastPaintMs_ < gapMs_) {
        // Held: the window's painter asks once and waits for the answer, so
        // later changes gather without asking again.
        if (!timer_.isActive()) {
            ++deferred_;
            timer_.start(static_cast<int>(gapMs_ - (now - lastPaintMs_)));
        }
        return true;
    }
    lastPaintMs_ = now;
    return false;
}

void PaintPacer::Flush() {
    timer_.stop();
    lastPaintMs_ = nowMs_();
    sending_ = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(window_, &request);
    sending_ = false;
}

}  // namespace gascal
