#include "pages/injector/FrmInjSet.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ParamImage.h"
#include "ecu/EcuSession.h"
#include "ecu/WindowRegistry.h"

namespace gascal {

namespace {
constexpr int kLiveMs = 200;  // the live times' refresh

const WindowRegistration kOpenFrmInjSet("FrmInjSet", [](WindowContext& c) {
    // One page at a time: a second click brings the open one forward.
    static QPointer<FrmInjSet> open;
    if (!open) {
        open = new FrmInjSet(c.session, c.cycle, c.owner);
        open->setAttribute(Qt::WA_DeleteOnClose);
    }
    open->show();
    open->raise();
    open->activateWindow();
    return 1;
});

QLineEdit* TimeBox(QWidget* parent, const QString& name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::NoFocus);
    e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    e->setMaximumWidth(80);
    return e;
}
}  // namespace

FrmInjSet::FrmInjSet(EcuSession& session, PollingCycle& cycle, QWidget* parent)
    : QDialog(parent), model_(session, cycle) {
    setObjectName(QStringLiteral("FrmInjSet"));
    busy_ = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));
    const InjectorPageModel::Texts& t = model_.PageTexts();
    setWindowTitle(t.caption);

    auto* v = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    const QStringList headings{t.injector, t.mode, QStringLiteral("Pet (ms)"), t.gasTime, t.offset};
    const char* headingNames[] = {"LblInjNum", "LblInjSet", "LblPet", "LblTime", "LblEnricht"};
    for (int c = 0; c < headings.size(); ++c) {
        auto* h = new QLabel(headings[c], this);
        h->setObjectName(QString::fromLatin1(headingNames[c]));
        grid->addWidget(h, 0, c == 4 ? 4 : c, 1, c == 4 ? 3 : 1);
    }
    const int n = model_.Rows();
    for (int i = 0; i < n; ++i) {
        Row r;
        r.label = new QLabel(QStringLiteral("Inj #%1").arg(i + 1), this);
        r.label->setObjectName(QStringLiteral("LblInj%1").arg(i));
        r.mode = new QComboBox(this);
        r.mode->setObjectName(QStringLiteral("CmbSelect%1").arg(i));
        r.mode->addItems(t.modes);
        r.petrol = TimeBox(this, QStringLiteral("TxtInjFuelPetrol%1").arg(i));
        r.gas = TimeBox(this, QStringLiteral("TxtInjFuelGas%1").arg(i));
        r.trim = new QScrollBar(Qt::Horizontal, this);
        r.trim->setObjectName(QStringLiteral("HScrTime%1").arg(i));
        r.trim->setRange(kTrimScrollMin, kTrimScrollMax);
        r.trim->setMinimumWidth(160);
        r.trimText = TimeBox(this, QStringLiteral("TxtInjGas%1").arg(i));
        r.trimText->setFocusPolicy(Qt::StrongFocus);  // where the focus goes after a mode pick
        r.reset = new QPushButton(QStringLiteral("X"), this);
        r.reset->setObjectName(QStringLiteral("CmdDefaultTime%1").arg(i));
        r.reset->setMaximumWidth(28);
        grid->addWidget(r.label, i + 1, 0);
        grid->addWidget(r.mode, i + 1, 1);
        grid->addWidget(r.petrol, i + 1, 2);
        grid->addWidget(r.gas, i + 1, 3);
        grid->addWidget(r.trim, i + 1, 4);
        grid->addWidget(r.trimText, i + 1, 5);
        grid->addWidget(r.reset, i + 1, 6);
        connect(r.trim, &QScrollBar::valueChanged, this,
                [this, i](int value) { TrimChanged(i, value); });
        connect(r.reset, &QPushButton::clicked, this, [this, i] {
            rows_[static_cast<size_t>(i)].trim->setValue(InjectorPageModel::DefaultScroll());
        });
        connect(r.mode, &QComboBox::activated, this,
                [this, i](int index) { ModeChosen(i, index); });
        // While a mode request is carried out, a mode list passes the focus
        // on, so no second request can be made.
        r.mode->installEventFilter(this);
        rows_.push_back(r);
    }
    grid->setColumnStretch(4, 1);
    v->addLayout(grid);

    auto* sens = new QHBoxLayout;
    sldBadBit_ = new QSlider(Qt::Horizontal, this);
    sldBadBit_->setObjectName(QStringLiteral("SldBadBit"));
    lblBadBit_ = new QLabel(this);
    lblBadBit_->setObjectName(QStringLiteral("LblBadBit2"));
    sens->addWidget(sldBadBit_, 1);
    sens->addWidget(lblBadBit_);
    sens->addWidget(new QLabel(QStringLiteral(" Sensibility"), this));
    v->addLayout(sens);
    connect(sldBadBit_, &QSlider::valueChanged, this, [this](int value) {
        if (busy_) return;
        model_.SensitivityChanged(value);
        lblBadBit_->setText(model_.SensitivityText(value));
    });

    Refresh();
    busy_ = false;
    QApplication::restoreOverrideCursor();
    timer_ = std::make_unique<Timer>("FrmInjSet.Timer1", kLiveMs, [this] { ShowLiveTimes(); });
    timer_->SetEnabled(true);
    ShowLiveTimes();
}

FrmInjSet::~FrmInjSet() {
    if (timer_) timer_->SetEnabled(false);
}

void FrmInjSet::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    Refresh();
}

bool FrmInjSet::event(QEvent* e) {
    // Brought back to the front: the modes and trims may have changed
    // meanwhile (a parameter file loaded, the main window's lists).
    if (e->type() == QEvent::WindowActivate) Refresh();
    return QDialog::event(e);
}

bool FrmInjSet::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::FocusIn && model_.RequestPending() && !rows_.empty() &&
        qobject_cast<QComboBox*>(watched)) {
        rows_.front().trimText->setFocus();
        return true;
    }
    return QDialog::eventFilter(watched, e);
}

void FrmInjSet::ShowMode(int row) {
    rows_[static_cast<size_t>(row)].mode->setCurrentIndex(static_cast<int>(model_.Mode(row)));
}

void FrmInjSet::ShowSensitivity() {
    const bool was = busy_;
    busy_ = true;
    const auto [low, high] = model_.SensitivityRange();
    sldBadBit_->setRange(low, high);
    sldBadBit_->setValue(model_.Sensitivity());
    lblBadBit_->setText(model_.SensitivityText(model_.Sensitivity()));
    busy_ = was;
}

void FrmInjSet::Refresh() {
    const bool was = busy_;
    busy_ = true;
    ShowSensitivity();
    for (int i = 0; i < static_cast<int>(rows_.size()); ++i) {
        Row& r = rows_[static_cast<size_t>(i)];
        ShowMode(i);
        r.trimText->setText(InjectorPageModel::TrimText(model_.TrimMs(i)));
        r.trim->setValue(model_.TrimScroll(i));
    }
    busy_ = was;
}

void FrmInjSet::TrimChanged(int row, int value) {
    if (busy_) return;
    Row& r = rows_[static_cast<size_t>(row)];
    // The bar is disabled while its move is stored, so a second move of the
    // same bar cannot start inside the first.
    r.trim->setEnabled(false);
    Events().ProcessEvents();
    const double ms = model_.TrimScrolled(row, value);
    r.trimText->setText(InjectorPageModel::TrimText(ms));
    Events().ProcessEvents();
    r.trim->setEnabled(true);
}

void FrmInjSet::ModeChosen(int row, int index) {
    if (busy_) return;
    busy_ = true;
    const auto outcome = model_.ModeChosen(row, static_cast<InjMode>(index));
    if (outcome == InjectorPageModel::ModeOutcome::NeedsGas) {
        if (!rows_.empty()) rows_.front().trimText->setFocus();
        UserPrompts().Message(model_.PageTexts().needsGas, windowTitle(), BoxIcon::Critical);
        ShowMode(row);
    }
    if (!rows_.empty()) rows_.front().trimText->setFocus();
    busy_ = false;
}

void FrmInjSet::ShowLiveTimes() {
    for (int i = 0; i < static_cast<int>(rows_.size()); ++i) {
        Row& r = rows_[static_cast<size_t>(i)];
        const QString p = model_.PetrolText(i), g = model_.GasText(i);
        if (r.petrol->text() != p) r.petrol->setText(p);
        if (r.gas->text() != g) r.gas->setText(g);
    }
}

}  // namespace gascal
