#include "app/gascal/WindowShot.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "mainwindow/controller/MainSession.h"
#include "mainwindow/upgrade/FrmUpdate.h"

namespace gascal {

namespace {
constexpr int kActMs = 200;
constexpr int kWatchMs = 100;
constexpr double kPictureAtProgress = 0.45;

QWidget* Shown(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name) && w->isVisible()) return w;
    return nullptr;
}

bool Press(QWidget* w, const char* name) {
    auto* b = w->findChild<QPushButton*>(QString::fromLatin1(name));
    if (!b || !b->isVisibleTo(w) || !b->isEnabled()) return false;
    b->click();
    return true;
}
}  // namespace

WindowShot::WindowShot(MainSession& session, QString window, QString file, QObject* parent)
    : QObject(parent),
      session_(session),
      window_(std::move(window)),
      file_(std::move(file)),
      actor_(new QTimer(this)),
      watcher_(new QTimer(this)) {
    // Two timers: a press of "Next" runs the whole upgrade inside the
    // actor's tick, and Qt never fires a timer inside its own tick.
    connect(actor_, &QTimer::timeout, this, [this] { Act(); });
    connect(watcher_, &QTimer::timeout, this, [this] { Watch(); });
    actor_->start(kActMs);
    watcher_->start(kWatchMs);
}

void WindowShot::Save(QWidget* w) {
    saved_ = w->grab().save(file_);
    std::fprintf(stderr, "gascal: screenshot %s %s\n", qPrintable(file_),
                 saved_ ? "saved" : "FAILED");
}

void WindowShot::Act() {
    if (closing_) return;
    // The firmware check's notice before the upgrade window is read and closed.
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->done(QMessageBox::Ok);
        return;
    }
    if (auto* up = static_cast<FrmUpdate*>(Shown("FrmUpdate"))) {
        if (window_ == QLatin1String("FrmUpdate")) {
            if (!Press(up, "CmdUpdate") && up->Upgrade().Stage() == UpgradeStage::Finished)
                Press(up, "CmdEsc");
        } else {
            Press(up, "CmdEsc");  // the offered upgrade is declined
        }
        return;
    }
    PollingCycle& cycle = session_.Cycle();
    const bool online = cycle.Online() && !cycle.FirstRefreshPending();
    if (window_ == QLatin1String("FrmStartUp") && online && !aboutOpened_) {
        aboutOpened_ = true;
        session_.Controller().MnuInfoAbout_Click();  // returns once the watcher closed it
    }
    if (saved_ && online) {
        closing_ = true;
        session_.Controller().MnuFileEsc_Click();
    }
}

void WindowShot::Watch() {
    if (saved_) return;
    if (window_ == QLatin1String("FrmUpdate")) {
        auto* up = static_cast<FrmUpdate*>(Shown("FrmUpdate"));
        if (up && up->Upgrade().Step() == UpgradeStep::WriteMemory &&
            up->Upgrade().Progress() >= kPictureAtProgress)
            Save(up);
    } else if (QWidget* about = Shown("FrmStartUp")) {
        Save(about);
        Press(about, "Command1");
    }
}

}  // namespace gascal
