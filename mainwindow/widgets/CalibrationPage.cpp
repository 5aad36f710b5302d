#include "mainwindow/widgets/CalibrationPage.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "mainwindow/controller/LiveModel.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/widgets/TabRegistry.h"
#include "mainwindow/widgets/WidgetKit.h"

namespace gascal {

namespace {
const TabRegistration kCalibrationTab(TAB_CALIBRATION, [](PageContext& c, QWidget* parent) {
    return new CalibrationPage(c, parent);
});

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
}  // namespace

CalibrationPage::CalibrationPage(PageContext& context, QWidget* parent)
    : QWidget(parent), ctl_(context.session.Controller()), live_(context.session.Live()) {
    setObjectName(QStringLiteral("PageCalibration"));
    auto* v = new QVBoxLayout(this);
    grpLive_ = new QGroupBox(this);
    auto* g = new QGridLayout(grpLive_);
    int row = 0;
    const auto add = [&](QLabel** caption, QWidget* value) {
        *caption = new QLabel(grpLive_);
        g->addWidget(*caption, row, 0);
        g->addWidget(value, row, 1);
        ++row;
    };
    lblCalInjTp_ = TimeLabel(grpLive_, "LblCalInjTp");
    add(&lblInjTp_, lblCalInjTp_);
    lblCalInjTg_ = TimeLabel(grpLive_, "LblCalInjTg");
    add(&lblInjTg_, lblCalInjTg_);
    txtTmpVap_ = ValueBox(grpLive_, "TxtTmpVap1", 4);
    add(&lblTmpVap_, txtTmpVap_);
    txtTmpGas_ = ValueBox(grpLive_, "TxtTmpGas1", 4);
    add(&lblTmpGas_, txtTmpGas_);
    txtPressure_ = ValueBox(grpLive_, "TxtPressure1", 5);
    add(&lblPressure_, txtPressure_);
    g->setColumnStretch(2, 1);
    v->addWidget(grpLive_);
    later_ = new QLabel(this);
    later_->setAlignment(Qt::AlignCenter);
    later_->setWordWrap(true);
    v->addWidget(later_, 1);
    connect(&live_, &LiveModel::changed, this, &CalibrationPage::ShowLive);
    connect(&ctl_, &MainController::languageChanged, this, &CalibrationPage::ApplyLanguage);
    ApplyLanguage();
}

void CalibrationPage::ApplyLanguage() {
    const auto C = [this](Cap c) { return ctl_.CaptionText(c); };
    grpLive_->setTitle(C(Cap::TabGeneral));
    lblInjTp_->setText(C(Cap::LblInjPet));
    lblInjTg_->setText(C(Cap::LblInjGas));
    lblTmpVap_->setText(C(Cap::LblTempVap));
    lblTmpGas_->setText(C(Cap::LblTempGas));
    lblPressure_->setText(C(Cap::LblPressure));
    later_->setText(C(Cap::PageLater));
}

void CalibrationPage::ShowLive(LivePart part) {
    const LiveDisplay& d = live_.Display();
    switch (part) {
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
        case LivePart::RpmAndInj:
            break;
    }
}

}  // namespace gascal
