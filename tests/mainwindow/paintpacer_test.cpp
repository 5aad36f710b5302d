// The main window's paint pacing: update requests closer than the gap to
// the last paint are held once and sent when the gap has run out; the
// status bar's cells change text without laying the status bar out again.
#include "mainwindow/widgets/PaintPacer.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWidget>

using namespace gascal;

namespace {

// Counts the events of one kind a widget receives.
class EventCounter : public QObject {
  public:
    EventCounter(QObject* target, QEvent::Type type) : type_(type) {
        target->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == type_) ++count;
        return false;
    }
    int count = 0;

  private:
    QEvent::Type type_;
};

bool Offer(PaintPacer& pacer, QWidget& window) {
    QEvent request(QEvent::UpdateRequest);
    return pacer.eventFilter(&window, &request);  // true: held
}

}  // namespace

TEST(PaintPacer, HoldsRequestsWithinTheGapOnceAndSendsThemAfterIt) {
    QWidget window;
    qint64 now = 1000;
    PaintPacer pacer(&window, 40, [&now] { return now; });
    EXPECT_FALSE(Offer(pacer, window));  // the first paint goes at once
    now += 10;
    EXPECT_TRUE(Offer(pacer, window));  // too soon: held
    now += 10;
    EXPECT_TRUE(Offer(pacer, window));  // still held, no second hold
    EXPECT_EQ(pacer.Deferred(), 1);

    // When the gap has run out the held request reaches the window once.
    EventCounter requests(&window, QEvent::UpdateRequest);
    pacer.Flush();
    EXPECT_EQ(requests.count, 1);
    now += 39;
    EXPECT_TRUE(Offer(pacer, window));  // counted from the sent request
    now += 1;
    pacer.Flush();
    now += 40;
    EXPECT_FALSE(Offer(pacer, window));  // a full gap later: at once
    EXPECT_EQ(pacer.Deferred(), 2);
    // Other events and other objects pass untouched.
    QEvent other(QEvent::LayoutRequest);
    EXPECT_FALSE(pacer.eventFilter(&window, &other));
    QWidget elsewhere;
    QEvent request(QEvent::UpdateRequest);
    EXPECT_FALSE(pacer.eventFilter(&elsewhere, &request));
}

TEST(PaintPacer, AHeldChangeIsPaintedAfterTheGap) {
    QWidget window;
    auto* lay = new QVBoxLayout(&window);
    auto* label = new QLabel(QStringLiteral("1000 rpm"), &window);
    lay->addWidget(label);
    PaintPacer pacer(&window, 40);
    window.show();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 100) QApplication::processEvents(QEventLoop::AllEvents, 10);

    EventCounter paints(label, QEvent::Paint);
    // Changes in quick succession: each is shown in the end, none is lost.
    for (int i = 0; i < 5; ++i) {
        label->setText(QStringLiteral("%1 rpm").arg(1100 + i));
        QApplication::processEvents();
    }
    t.restart();
    while (t.elapsed() < 200 && paints.count == 0)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_GE(paints.count, 1);
    EXPECT_EQ(label->text(), QStringLiteral("1104 rpm"));
}
