#include "mainwindow/widgets/CalibrationPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cmath>

#include "mainwindow/controller/CalibrationModel.h"
#include "mainwindow/controller/LiveModel.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/widgets/PlotArea.h"
#include "mainwindow/widgets/TabRegistry.h"
#include "mainwindow/widgets/WidgetKit.h"

namespace gascal {

namespace {
const TabRegistration kCalibrationTab(TAB_CALIBRATION, [](PageContext& c, QWidget* parent) {
    return new CalibrationPage(c, parent);
});

enum PlotLayer {
    LayerOffsetLine = 0,
    LayerOffset = 1,
    LayerDiffLine = 2,
    LayerDiff = 3,
    LayerZero = 4
};
const QColor kOffsetColour(0, 90, 200);
const QColor kDiffColour(200, 60, 0);

QLabel* TimeLabel(QWidget* parent, const char* name) {
    auto* l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setFrameShape(QFrame::StyledPanel);
    QFont f = l->font();
    f.setFamily(QStringLiteral("Monospace"));
    f.setStyleHint(QFont::TypeWriter);
    f.setBold(true);
    f.setPointSizeF(f.pointSizeF() * 1.4);
    l->setFont(f);
    l->setMinimumWidth(QFontMetrics(f).horizontalAdvance(QStringLiteral("000,00")) + 12);
    return l;
}

// A value box blinks yellow and black while its value is out of range.
void Blink(QLineEdit* box, BlinkColour colour) {
    const QColor base = colour == BlinkColour::Normal   ? QColor(Qt::white)
                        : colour == BlinkColour::Yellow ? QColor(Qt::yellow)
                                                        : QColor(Qt::black);
    const QColor text = colour == BlinkColour::Black ? QColor(Qt::yellow) : QColor(Qt::black);
    QPalette p = box->palette();
    if (p.color(QPalette::Base) == base && p.color(QPalette::Text) == text) return;
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::Text, text);
    box->setPalette(p);
}

QLabel* Legend(QWidget* parent, const QColor& colour) {
    auto* l = new QLabel(parent);
    l->setStyleSheet(QStringLiteral("color: %1; font-weight: bold;").arg(colour.name()));
    return l;
}
}  // namespace

CalibrationPage::CalibrationPage(PageContext& context, QWidget* parent)
    : QWidget(parent),
      ctl_(context.session.Controller()),
      live_(context.session.Live()),
      model_(context.session.CalModel()) {
    setObjectName(QStringLiteral("PageCalibration"));
    auto* top = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    top->addLayout(left, 0);

    // The calibration: step, instructions, progress, buttons.
    grpCal_ = new QGroupBox(this);
    auto* c = new QVBoxLayout(grpCal_);
    lblCalStep_ = new QLabel(grpCal_);
    lblCalStep_->setObjectName(QStringLiteral("LblCalStep"));
    QFont stepFont = lblCalStep_->font();
    stepFont.setBold(true);
    stepFont.setPointSizeF(stepFont.pointSizeF() * 1.3);
    lblCalStep_->setFont(stepFont);
    lblCalStep_->setMinimumHeight(2 * QFontMetrics(stepFont).height() + 4);
    c->addWidget(lblCalStep_);
    lblCalMsg_ = new QLabel(grpCal_);
    lblCalMsg_->setObjectName(QStringLiteral("LblCalMsg"));
    lblCalMsg_->setWordWrap(true);
    lblCalMsg_->setFrameShape(QFrame::StyledPanel);
    lblCalMsg_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblCalMsg_->setMargin(6);
    lblCalMsg_->setMinimumSize(340, 5 * lblCalMsg_->fontMetrics().height() + 12);
    QFont msgFont = lblCalMsg_->font();
    msgFont.setPointSizeF(msgFont.pointSizeF() * 1.15);
    lblCalMsg_->setFont(msgFont);
    c->addWidget(lblCalMsg_);
    shpCalStep_ = new QProgressBar(grpCal_);
    shpCalStep_->setObjectName(QStringLiteral("ShpCalStep"));
    shpCalStep_->setRange(0, 100);
    shpCalStep_->setTextVisible(false);
    c->addWidget(shpCalStep_);
    auto* buttons = new QHBoxLayout;
    cmdCalStart_ = new QPushButton(grpCal_);
    cmdCalStart_->setObjectName(QStringLiteral("CmdCalStart"));
    cmdCalCancel_ = new QPushButton(grpCal_);
    cmdCalCancel_->setObjectName(QStringLiteral("CmdCalCancel"));
    chkTwoPoint_ = new QCheckBox(grpCal_);
    chkTwoPoint_->setObjectName(QStringLiteral("ChkCalTwoPoint"));
    buttons->addWidget(cmdCalStart_);
    buttons->addWidget(cmdCalCancel_);
    buttons->addSpacing(12);
    buttons->addWidget(chkTwoPoint_);
    buttons->addStretch(1);
    c->addLayout(buttons);
    left->addWidget(grpCal_);

    // The live values the fitter watches.
    grpLive_ = new QGroupBox(this);
    auto* g = new QGridLayout(grpLive_);
    int row = 0;
    const auto add = [&](QLabel** caption, QWidget* value) {
        *caption = new QLabel(grpLive_);
        g->addWidget(*caption, row, 0);
        g->addWidget(value, row, 1);
        ++row;
    };
    txtRpm_ = ValueBox(grpLive_, "TxtRpm", 5);
    add(&lblRpm_, txtRpm_);
    txtTmpVap_ = ValueBox(grpLive_, "TxtTmpVap1", 4);
    add(&lblTmpVap_, txtTmpVap_);
    lblCalInjTp_ = TimeLabel(grpLive_, "LblCalInjTp");
    add(&lblInjTp_, lblCalInjTp_);
    lblCalInjTg_ = TimeLabel(grpLive_, "LblCalInjTg");
    add(&lblInjTg_, lblCalInjTg_);
    txtTmpGas_ = ValueBox(grpLive_, "TxtTmpGas1", 4);
    add(&lblTmpGas_, txtTmpGas_);
    txtPressure_ = ValueBox(grpLive_, "TxtPressure1", 5);
    add(&lblPressure_, txtPressure_);
    g->setColumnStretch(2, 1);
    left->addWidget(grpLive_);
    left->addStretch(1);

    // The convergence plot.
    grpPlot_ = new QGroupBox(this);
    auto* pv = new QVBoxLayout(grpPlot_);
    plot_ = new PlotArea(grpPlot_);
    plot_->setObjectName(QStringLiteral("PctCalPlot"));
    pv->addWidget(plot_, 1);
    auto* legend = new QHBoxLayout;
    legendOffset_ = Legend(grpPlot_, kOffsetColour);
    legendDiff_ = Legend(grpPlot_, kDiffColour);
    legend->addWidget(legendOffset_);
    legend->addSpacing(16);
    legend->addWidget(legendDiff_);
    legend->addStretch(1);
    pv->addLayout(legend);
    top->addWidget(grpPlot_, 1);

    connect(cmdCalStart_, &QPushButton::clicked, this, [this] { model_.CmdCalStart_Click(); });
    connect(cmdCalCancel_, &QPushButton::clicked, this, [this] { model_.CmdCalCancel_Click(); });
    connect(chkTwoPoint_, &QCheckBox::toggled, this, [this](bool on) { model_.SetTwoPoint(on); });
    connect(&model_, &CalibrationModel::changed, this, &CalibrationPage::ShowCalibration);
    connect(&model_, &CalibrationModel::waitCursor, this, [](bool on) {
        if (on)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
    connect(&live_, &LiveModel::changed, this, &CalibrationPage::ShowLive);
    connect(&ctl_, &MainController::languageChanged, this, &CalibrationPage::ApplyLanguage);
    ApplyLanguage();
}

CalibrationPage::~CalibrationPage() = default;

void CalibrationPage::ApplyLanguage() {
    const auto C = [this](Cap c) { return ctl_.CaptionText(c); };
    const auto T = [this](CalText t) { return model_.Text(t); };
    grpCal_->setTitle(T(CalText::Title));
    grpLive_->setTitle(C(Cap::TabGeneral));
    grpPlot_->setTitle(T(CalText::PlotOffset) + QStringLiteral(" / ") + T(CalText::PlotDifference));
    chkTwoPoint_->setText(T(CalText::TwoPointBox));
    cmdCalStart_->setText(T(CalText::CmdYes));
    cmdCalCancel_->setText(T(CalText::CmdEsc));
    lblRpm_->setText(T(CalText::RpmLabel));
    lblInjTp_->setText(C(Cap::LblInjPet));
    lblInjTg_->setText(C(Cap::LblInjGas));
    lblTmpVap_->setText(C(Cap::LblTempVap));
    lblTmpGas_->setText(C(Cap::LblTempGas));
    lblPressure_->setText(C(Cap::LblPressure));
    legendOffset_->setText(QStringLiteral("\u25CF ") + T(CalText::PlotOffset));
    legendDiff_->setText(QStringLiteral("\u25A0 ") + T(CalText::PlotDifference));
    plottedCycles_ = static_cast<size_t>(-1);
    ShowCalibration();
}

void CalibrationPage::ShowLive(LivePart part) {
    const LiveDisplay& d = live_.Display();
    switch (part) {
        case LivePart::RpmAndInj:
            SetText(txtRpm_, d.rpmText);
            break;
        case LivePart::LambdaAndMarks:
            SetText(lblCalInjTp_, d.calInjTpText);
            SetText(lblCalInjTg_, d.calInjTgText);
            break;
        case LivePart::Status:
            SetText(txtPressure_, d.pressureText);
            break;
        case LivePart::Temperatures:
            // TxtTmpVap(1) and TxtTmpGas(1) copy the first box of their pair.
            SetText(txtTmpVap_, d.tempVapText);
            SetText(txtTmpGas_, d.tempGasText);
            break;
    }
}

void CalibrationPage::ShowCalibration() {
    SetText(lblCalStep_, model_.StepText());
    SetText(lblCalMsg_, model_.Message());
    if (shpCalStep_->value() != model_.Progress()) shpCalStep_->setValue(model_.Progress());
    cmdCalStart_->setEnabled(model_.StartEnabled());
    cmdCalCancel_->setEnabled(model_.CancelEnabled());
    chkTwoPoint_->setEnabled(model_.TwoPointEnabled());
    if (chkTwoPoint_->isChecked() != model_.TwoPoint()) {
        const QSignalBlocker quiet(chkTwoPoint_);
        chkTwoPoint_->setChecked(model_.TwoPoint());
    }
    Blink(txtRpm_, model_.RpmColour());
    Blink(txtTmpVap_, model_.TempColour());
    if (model_.PlottedCycles() != plottedCycles_) ShowPlot();
}

void CalibrationPage::ShowPlot() {
    const CalibrationModel::Plot p = model_.PlotData();
    plottedCycles_ = model_.PlottedCycles();
    PlotAxis x;
    x.min = 0;
    x.max = p.xMax;
    x.divisions = static_cast<int>(p.xMax);
    x.labelEvery = p.xMax > 20 ? 5 : 1;
    x.title = model_.Text(CalText::PlotCycle);
    PlotAxis y;
    y.min = p.yMin;
    y.max = p.yMax;
    y.divisions = static_cast<int>(std::lround((p.yMax - p.yMin) / 0.2));
    y.labelEvery = y.divisions > 10 ? 0.4 : 0.2;
    y.decimals = 1;
    y.title = QStringLiteral("ms");
    plot_->SetAxes(x, y);
    plot_->SetPolyline(LayerZero, {QPointF(0, 0), QPointF(p.xMax, 0)}, QColor(120, 120, 120), 1,
                       Qt::DashLine);
    plot_->SetPolyline(LayerOffsetLine, p.offset, kOffsetColour, 2);
    plot_->SetMarkers(LayerOffset, p.offset, {MarkerShape::Dot, kOffsetColour, 7});
    plot_->SetPolyline(LayerDiffLine, p.difference, kDiffColour, 2);
    plot_->SetMarkers(LayerDiff, p.difference, {MarkerShape::Square, kDiffColour, 7});
}

}  // namespace gascal
