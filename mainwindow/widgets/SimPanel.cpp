#include "mainwindow/widgets/SimPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include "mainwindow/widgets/SimControl.h"

namespace gascal {

namespace {
constexpr int kMaxRpm = 6000;
constexpr int kRefreshMs = 500;
}  // namespace

SimPanel::SimPanel(SimControl& sim, QWidget* parent) : QDialog(parent), sim_(sim) {
    setObjectName(QStringLiteral("SimPanel"));
    setWindowTitle(QStringLiteral("Simulated car"));
    setModal(false);
    auto* g = new QGridLayout(this);
    key_ = new QCheckBox(QStringLiteral("Ignition key on"), this);
    key_->setChecked(sim_.Key());
    engine_ = new QCheckBox(QStringLiteral("Engine running"), this);
    engine_->setChecked(sim_.Key());
    g->addWidget(key_, 0, 0, 1, 2);
    g->addWidget(engine_, 1, 0, 1, 2);
    rpm_ = new QSlider(Qt::Horizontal, this);
    rpm_->setRange(0, kMaxRpm);
    rpm_->setSingleStep(100);
    rpm_->setPageStep(500);
    rpmText_ = new QLabel(QStringLiteral("Speed: idle"), this);
    g->addWidget(rpmText_, 2, 0);
    g->addWidget(rpm_, 2, 1);
    load_ = new QSlider(Qt::Horizontal, this);
    load_->setRange(0, 100);
    loadText_ = new QLabel(QStringLiteral("Load: 0 %"), this);
    g->addWidget(loadText_, 3, 0);
    g->addWidget(load_, 3, 1);
    failure_ = new QComboBox(this);
    failure_->addItems(sim_.FailureNames());
    auto* inject = new QPushButton(QStringLiteral("Inject"), this);
    auto* clear = new QPushButton(QStringLiteral("Clear failures"), this);
    g->addWidget(failure_, 4, 0);
    g->addWidget(inject, 4, 1);
    g->addWidget(clear, 5, 1);
    fitter_ =
        new QCheckBox(QStringLiteral("Simulated fitter follows the automatic calibration"), this);
    fitter_->setObjectName(QStringLiteral("ChkSimFitter"));
    fitter_->setChecked(sim_.FitterOn());
    g->addWidget(fitter_, 6, 0, 1, 2);
    summary_ = new QLabel(this);
    summary_->setWordWrap(true);
    g->addWidget(summary_, 7, 0, 1, 2);

    connect(key_, &QCheckBox::toggled, this, [this](bool on) { sim_.SetKey(on); });
    connect(engine_, &QCheckBox::toggled, this, [this](bool on) { sim_.SetEngineRunning(on); });
    connect(rpm_, &QSlider::valueChanged, this, [this](int v) {
        const int rounded = v / 100 * 100;
        rpmText_->setText(rounded == 0 ? QStringLiteral("Speed: idle")
                                       : QStringLiteral("Speed: %1 rpm").arg(rounded));
        sim_.SetTargetRpm(rounded);
    });
    connect(load_, &QSlider::valueChanged, this, [this](int v) {
        loadText_->setText(QStringLiteral("Load: %1 %").arg(v));
        sim_.SetLoad(v / 100.0);
    });
    connect(fitter_, &QCheckBox::toggled, this, [this](bool on) { sim_.SetFitterOn(on); });
    connect(inject, &QPushButton::clicked, this,
            [this] { sim_.InjectFailure(failure_->currentIndex()); });
    connect(clear, &QPushButton::clicked, this, [this] { sim_.ClearFailures(); });
    refresh_ = std::make_unique<Timer>("SimPanel", kRefreshMs,
                                       [this] { summary_->setText(sim_.Summary()); });
    refresh_->SetEnabled(true);
    summary_->setText(sim_.Summary());
}

SimPanel::~SimPanel() = default;

}  // namespace gascal
