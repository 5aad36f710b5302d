#include "pages/level/FrmLevelSetting.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "data/core/ParamImage.h"
#include "ecu/WindowRegistry.h"

namespace gascal {

namespace {
constexpr int kTickMs = 500;            // Timer1: live values and the reserve's blinking
constexpr double kLoadWaitUs = 100000;  // before the level labels are laid out

const WindowRegistration kOpenFrmLevelSetting("FrmLevelSetting", [](WindowContext& c) {
    static QPointer<FrmLevelSetting> open;
    if (!open) {
        open = new FrmLevelSetting(c.session, c.cycle, c.owner);
        open->setAttribute(Qt::WA_DeleteOnClose);
    }
    open->show();
    open->raise();
    open->activateWindow();
    return 1;
});
}  // namespace

// The level indicator (ShpLevAct): four quarters, the first the reserve.
class LevelQuartersView : public QWidget {
  public:
    explicit LevelQuartersView(QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("ShpLevAct"));
        setMinimumSize(200, 40);
    }
    void Show(const LevelPageModel::Quarters& q, bool blinkOn) {
        std::array<int, kLevelQuarters> state{};  // 0 empty, 1 filled, 2 hidden
        for (int k = 0; k < kLevelQuarters; ++k)
            state[static_cast<size_t>(k)] = q.filled[static_cast<size_t>(k)] ? 1 : 0;
        // The reserve quarter blinks: shown and hidden on alternate ticks.
        state[0] = q.reserveBlinks ? (blinkOn ? 1 : 2) : 1;
        if (state == state_) return;
        state_ = state;
        update();
    }
    const std::array<int, kLevelQuarters>& State() const { return state_; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const int w = (width() - 5 * 4) / kLevelQuarters;
        for (int k = 0; k < kLevelQuarters; ++k) {
            const QRect r(4 + k * (w + 4), 4, w, height() - 8);
            const int s = state_[static_cast<size_t>(k)];
            if (s == 2) continue;
            p.setPen(QPen(Qt::black, 1));
            p.setBrush(s == 1 ? (k == 0 ? QColor(230, 120, 0) : QColor(0, 150, 60))
                              : QColor(Qt::white));
            p.drawRect(r);
        }
    }

  private:
    std::array<int, kLevelQuarters> state_{};
};

// Where the present reading stands among the thresholds, on the bars' scale.
class LevelReadingScale : public QWidget {
  public:
    explicit LevelReadingScale(QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("LevelReading"));
        setMinimumHeight(34);
    }
    void Show(int reading, const std::array<int, kLevelBars>& thresholds, bool reversed) {
        if (reading == reading_ && thresholds == thresholds_ && reversed == reversed_) return;
        reading_ = reading;
        thresholds_ = thresholds;
        reversed_ = reversed;
        update();
    }
    int Reading() const { return reading_; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect r = rect().adjusted(2, 10, -2, -10);
        const auto x = [&r](int raw) {
            return r.left() + r.width() * std::clamp(raw, 0, kLevelBarMax) / kLevelBarMax;
        };
        p.fillRect(r, Qt::white);
        p.fillRect(QRect(r.left(), r.top(), x(reading_) - r.left(), r.height()),
                   QColor(0, 120, 255));
        p.setPen(QPen(Qt::black, 1));
        p.drawRect(r);
        p.setPen(QPen(QColor(200, 0, 0), 2));
        for (int t : thresholds_) p.drawLine(x(t), rect().top() + 2, x(t), rect().bottom() - 2);
    }

  private:
    int reading_ = 0;
    std::array<int, kLevelBars> thresholds_{};
    bool reversed_ = false;
};

FrmLevelSetting::FrmLevelSetting(EcuSession& session, PollingCycle& cycle, QWidget* parent)
    : QDialog(parent), model_(session, cycle) {
    setObjectName(QStringLiteral("FrmLevelSetting"));
    busy_ = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));
    const LevelPageModel::Texts& t = model_.PageTexts();
    setWindowTitle(t.caption);

    auto* v = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* sensVolt = new QLabel(t.sensorVolts, this);
    sensVolt->setObjectName(QStringLiteral("LblSensVolt"));
    lblSensVal_ = new QLabel(this);
    lblSensVal_->setObjectName(QStringLiteral("LblSensVal"));
    lblSensVal_->setMinimumWidth(60);
    lblCaption_ = new QLabel(model_.TypeCaption(), this);
    lblCaption_->setObjectName(QStringLiteral("LblLevelType"));
    top->addWidget(sensVolt);
    top->addWidget(lblSensVal_);
    top->addStretch(1);
    top->addWidget(lblCaption_);
    v->addLayout(top);

    auto* gasLevel = new QLabel(t.gasLevel, this);
    gasLevel->setObjectName(QStringLiteral("LblGasLevel"));
    v->addWidget(gasLevel);
    quarters_ = new LevelQuartersView(this);
    v->addWidget(quarters_);
    // One label under each quarter: its level number, "/" and the number of
    // quarters ("1/4" .. "4/4").
    auto* quarterLabels = new QHBoxLayout;
    for (int k = 0; k < kLevelQuarters; ++k) {
        auto* l = new QLabel(
            QString::number(k + 1) + QLatin1Char('/') + QString::number(kLevelQuarters), this);
        l->setObjectName(QStringLiteral("LblLevel%1").arg(k));
        l->setAlignment(Qt::AlignCenter);
        quarterLabels->addWidget(l, 1);
    }
    v->addLayout(quarterLabels);

    auto* misura = new QLabel(t.reading, this);
    misura->setObjectName(QStringLiteral("LblMisura"));
    v->addWidget(misura);
    scale_ = new LevelReadingScale(this);
    v->addWidget(scale_);

    auto* grid = new QGridLayout;
    for (int i = 0; i < kLevelBars; ++i) {
        auto* bar = new QScrollBar(Qt::Horizontal, this);
        bar->setObjectName(QStringLiteral("HScrLevel%1").arg(i));
        bar->setRange(0, kLevelBarMax);
        bar->setMinimumWidth(260);
        auto* text = new QLineEdit(this);
        text->setObjectName(QStringLiteral("TxtLevel%1").arg(i));
        text->setReadOnly(true);
        text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        text->setMaximumWidth(80);
        grid->addWidget(bar, i, 0);
        grid->addWidget(text, i, 1);
        bars_[static_cast<size_t>(i)] = bar;
        texts_[static_cast<size_t>(i)] = text;
        connect(bar, &QScrollBar::valueChanged, this,
                [this, i](int value) { BarChanged(i, value); });
    }
    grid->setColumnStretch(0, 1);
    v->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    cmdDefault_ = new QPushButton(t.defaults, this);
    cmdDefault_->setObjectName(QStringLiteral("CmdDefaultLevel"));
    auto* back = new QPushButton(t.back, this);
    back->setObjectName(QStringLiteral("CmdBack"));
    buttons->addWidget(cmdDefault_);
    buttons->addStretch(1);
    buttons->addWidget(back);
    v->addLayout(buttons);
    connect(cmdDefault_, &QPushButton::clicked, this, [this] {
        if (!model_.Defaults()) return;
        busy_ = true;
        for (int i = 0; i < kLevelBars; ++i) {
            bars_[static_cast<size_t>(i)]->setValue(model_.Bar(i));
            texts_[static_cast<size_t>(i)]->setText(model_.DisplayText(model_.Bar(i)));
        }
        busy_ = false;
    });
    connect(back, &QPushButton::clicked, this, &QDialog::close);

    WaitMicroSeconds(kLoadWaitUs);
    Fill();
    busy_ = false;
    QApplication::restoreOverrideCursor();
    timer_ = std::make_unique<Timer>("FrmLevelSetting.Timer1", kTickMs, [this] { Tick(); });
    timer_->SetEnabled(true);
    Tick();
}

FrmLevelSetting::~FrmLevelSetting() {
    if (timer_) timer_->SetEnabled(false);
}

void FrmLevelSetting::Fill() {
    const bool was = busy_;
    busy_ = true;
    model_.Fill();
    for (int i = 0; i < kLevelBars; ++i) {
        bars_[static_cast<size_t>(i)]->setValue(model_.Bar(i));
        texts_[static_cast<size_t>(i)]->setText(model_.DisplayText(model_.Bar(i)));
    }
    lblCaption_->setText(model_.TypeCaption());
    busy_ = was;
}

void FrmLevelSetting::BarChanged(int bar, int value) {
    if (busy_) return;
    QScrollBar* b = bars_[static_cast<size_t>(bar)];
    b->setEnabled(false);
    const int kept = model_.BarMoved(bar, value);
    if (kept != value) {
        busy_ = true;
        b->setValue(kept);
        busy_ = false;
    }
    texts_[static_cast<size_t>(bar)]->setText(model_.DisplayText(kept));
    b->setEnabled(true);
}

void FrmLevelSetting::Tick() {
    const QString volts = model_.SensorVoltsText();
    if (lblSensVal_->text() != volts) lblSensVal_->setText(volts);
    blinkOn_ = !blinkOn_;
    quarters_->Show(model_.LevelQuarters(), blinkOn_);
    std::array<int, kLevelBars> thresholds{};
    for (int i = 0; i < kLevelBars; ++i) thresholds[static_cast<size_t>(i)] = model_.Bar(i);
    scale_->Show(model_.Reading(), thresholds, model_.LevelMode() != 0);
    if (model_.TypeChanged()) Fill();
}

void FrmLevelSetting::keyReleaseEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QDialog::keyReleaseEvent(e);
}

}  // namespace gascal
