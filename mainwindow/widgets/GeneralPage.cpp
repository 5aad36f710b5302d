#include "mainwindow/widgets/GeneralPage.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "common/Helpers.h"
#include "mainwindow/controller/LiveModel.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/widgets/TabRegistry.h"
#include "mainwindow/widgets/WidgetKit.h"
#include "pages/ctrlbar/UCtrlBar.h"

namespace gascal {

namespace {
constexpr uint32_t kPetrolFill = RgbColour(255, 160, 0);
constexpr uint32_t kGasFill = RgbColour(0, 255, 255);
constexpr uint32_t kBarBack = RgbColour(255, 255, 255);
constexpr uint32_t kLambdaFill = RgbColour(0, 160, 0);
constexpr uint32_t kLevelFill = RgbColour(0, 120, 255);

const TabRegistration kGeneralTab(TAB_GENERAL, [](PageContext& c, QWidget* parent) {
    return new GeneralPage(c, parent);
});
}  // namespace

GeneralPage::GeneralPage(PageContext& context, QWidget* parent)
    : QWidget(parent), ctl_(context.session.Controller()), live_(context.session.Live()) {
    setObjectName(QStringLiteral("PageGeneral"));
    auto* h = new QHBoxLayout(this);

    grpLive_ = new QGroupBox(this);
    auto* g = new QGridLayout(grpLive_);
    int row = 0;
    const auto addRow = [&](QLabel** lbl, QWidget* field) {
        *lbl = new QLabel(grpLive_);
        g->addWidget(*lbl, row, 0);
        g->addWidget(field, row, 1);
        ++row;
    };
    txtRpm0_ = ValueBox(grpLive_, "TxtRpm0", 4, true);
    addRow(&lblCalRpm_, txtRpm0_);
    lblCalRpm_->setObjectName(QStringLiteral("LblCalRpm"));
    lblCalRpm_->setAutoFillBackground(false);
    txtTmpVap_ = ValueBox(grpLive_, "TxtTmpVap0", 4);
    addRow(&lblTmpVap_, txtTmpVap_);
    txtTmpGas_ = ValueBox(grpLive_, "TxtTmpGas0", 4);
    addRow(&lblTmpGas_, txtTmpGas_);
    txtPressure_ = ValueBox(grpLive_, "TxtPressure0", 5);
    addRow(&lblPressure_, txtPressure_);
    txtVacuum_ = ValueBox(grpLive_, "TxtVacuum", 5);
    addRow(&lblCalPres_, txtVacuum_);
    lblCalPres_->setObjectName(QStringLiteral("LblCalPres"));
    shpPLoad_ = Shape(grpLive_, "ShpPLoad", 14, 14);
    shpPmin_ = Shape(grpLive_, "ShpPmin", 14, 14);
    Fill(shpPLoad_, QColor(255, 200, 0));
    Fill(shpPmin_, QColor(0, 160, 255));
    shpPLoad_->setVisible(false);
    shpPmin_->setVisible(false);
    // Both service marks beside the pressure box: the vacuum row below is
    // hidden while Auto Tuning is on, and a mark there would float alone.
    auto* marksP = new QHBoxLayout;
    marksP->setSpacing(2);
    marksP->addWidget(shpPmin_);
    marksP->addWidget(shpPLoad_);
    g->addLayout(marksP, row - 2, 2);
    txtSupply_ = ValueBox(grpLive_, "TxtSupply", 5);
    addRow(&lblSupply_, txtSupply_);
    txtLambda_ = ValueBox(grpLive_, "TxtLambda", 5);
    addRow(&lblLambdaCap_, txtLambda_);
    barLambda_ = new UCtrlBar(grpLive_);
    barLambda_->setObjectName(QStringLiteral("BarLambda"));
    barLambda_->setMinimumHeight(16);
    g->addWidget(barLambda_, row++, 0, 1, 3);
    auto* marks = new QHBoxLayout;
    for (size_t i = 0; i < 3; ++i) {
        lblLambda_[i] = new QLabel(grpLive_);
        lblLambda_[i]->setAlignment(i == 0 ? Qt::AlignLeft
                                           : (i == 1 ? Qt::AlignHCenter : Qt::AlignRight));
        marks->addWidget(lblLambda_[i], 1);
    }
    g->addLayout(marks, row++, 0, 1, 3);
    shpGasLev_ = new UCtrlBar(grpLive_);
    shpGasLev_->setObjectName(QStringLiteral("ShpGasLev"));
    shpGasLev_->setMinimumHeight(16);
    addRow(&lblGasLev_, shpGasLev_);
    shpCalComm_ = Shape(grpLive_, "ShpCalComm", 18, 18);
    addRow(&lblSwitchMark_, shpCalComm_);
    g->setRowStretch(row, 1);
    h->addWidget(grpLive_, 2);

    grpInj_ = new QGroupBox(this);
    auto* v = new QVBoxLayout(grpInj_);
    auto* injGrid = new QGridLayout;
    lblInjPet_ = new QLabel(grpInj_);
    lblInjGas_ = new QLabel(grpInj_);
    injGrid->addWidget(lblInjPet_, 0, 1);
    injGrid->addWidget(lblInjGas_, 0, 2);
    for (int i = 0; i < 8; ++i) {
        const auto k = static_cast<size_t>(i);
        lblInj_[k] = new QLabel(QStringLiteral("Inj %1").arg(i + 1), grpInj_);
        lblInj_[k]->setObjectName(QStringLiteral("LblInj%1").arg(i));
        lblInj_[k]->setAutoFillBackground(true);
        injPetBar_[k] = new UCtrlBar(grpInj_);
        injPetBar_[k]->setObjectName(QStringLiteral("InjPetBar%1").arg(i));
        injGasBar_[k] = new UCtrlBar(grpInj_);
        injGasBar_[k]->setObjectName(QStringLiteral("InjGasBar%1").arg(i));
        injPetBar_[k]->setMinimumHeight(14);
        injGasBar_[k]->setMinimumHeight(14);
        injGrid->addWidget(lblInj_[k], i + 1, 0);
        injGrid->addWidget(injPetBar_[k], i + 1, 1);
        injGrid->addWidget(injGasBar_[k], i + 1, 2);
    }
    injGrid->setColumnStretch(1, 1);
    injGrid->setColumnStretch(2, 1);
    v->addLayout(injGrid);
    auto* times = new QGridLayout;
    cmbInj_ = new QComboBox(grpInj_);
    cmbInj_->setObjectName(QStringLiteral("CmbInj"));
    txtInjTimePet_ = ValueBox(grpInj_, "TxtInjTimePet", 6, true);
    txtInjTimeGas_ = ValueBox(grpInj_, "TxtInjTimeGas", 6, true);
    times->addWidget(cmbInj_, 0, 0);
    times->addWidget(txtInjTimePet_, 0, 1);
    times->addWidget(txtInjTimeGas_, 0, 2);
    v->addLayout(times);
    v->addStretch(1);
    // CmbInj_Click: the chosen injector's label is highlighted in yellow.
    connect(cmbInj_, &QComboBox::activated, this, [this](int idx) {
        live_.SelectInjector(idx);
        HighlightInjector(idx);
    });
    h->addWidget(grpInj_, 3);

    connect(&live_, &LiveModel::changed, this, &GeneralPage::ShowLive);
    connect(&live_, &LiveModel::injectorsChanged, this, &GeneralPage::ShowInjectors);
    connect(&ctl_, &MainController::languageChanged, this, &GeneralPage::ApplyLanguage);
    connect(&ctl_, &MainController::serviceViewChanged, this, [this](bool on) {
        shpPLoad_->setVisible(on);
        shpPmin_->setVisible(on);
    });
    ApplyLanguage();
    ShowInjectors(live_.Injectors() >= 0 ? live_.Injectors() : 8);
}

void GeneralPage::ApplyLanguage() {
    const auto C = [this](Cap c) { return ctl_.CaptionText(c); };
    lblCalRpm_->setText(C(Cap::LblRpm));
    lblTmpVap_->setText(C(Cap::LblTempVap));
    lblTmpGas_->setText(C(Cap::LblTempGas));
    lblPressure_->setText(C(Cap::LblPressure));
    lblCalPres_->setText(C(Cap::LblVacuum));
    lblSupply_->setText(C(Cap::LblSupply));
    lblLambdaCap_->setText(C(Cap::LblLambda));
    lblInjPet_->setText(C(Cap::LblInjPet));
    lblInjGas_->setText(C(Cap::LblInjGas));
    lblGasLev_->setText(C(Cap::LblGasLevel));
    lblSwitchMark_->setText(C(Cap::LblSwitchMark));
    grpLive_->setTitle(C(Cap::TabGeneral));
    grpInj_->setTitle(C(Cap::LblInjPet) + QStringLiteral(" / ") + C(Cap::LblInjGas));
}

void GeneralPage::ShowLive(LivePart part) {
    const LiveDisplay& d = live_.Display();
    switch (part) {
        case LivePart::RpmAndInj:
            SetText(txtRpm0_, d.rpmText);
            for (size_t i = 0; i < 8; ++i) {
                injPetBar_[i]->SetValore(d.petBar[i]);
                injGasBar_[i]->SetValore(d.gasBar[i]);
            }
            SetText(txtInjTimePet_, d.injTimePetText);
            SetText(txtInjTimeGas_, d.injTimeGasText);
            break;
        case LivePart::LambdaAndMarks:
            SetText(txtLambda_, d.lambdaText);
            barLambda_->SetValore(d.lambdaBar);
            for (size_t i = 0; i < 3; ++i) SetText(lblLambda_[i], d.lambdaLabels[i]);
            shpGasLev_->SetValore(d.gasLevel);
            Fill(shpCalComm_, d.switchTempReached ? QColor(0, 200, 0) : QColor(200, 0, 0));
            break;
        case LivePart::Status:
            SetText(txtPressure_, d.pressureText);
            SetText(txtVacuum_, d.vacuumText);
            if (txtVacuum_->isVisibleTo(this) != d.vacuumVisible) {
                txtVacuum_->setVisible(d.vacuumVisible);
                lblCalPres_->setVisible(d.vacuumVisible);
            }
            // Highlighted in yellow; otherwise the group's own background.
            if (lblCalRpm_->autoFillBackground() != d.rpmWindowHighlight) {
                lblCalRpm_->setAutoFillBackground(d.rpmWindowHighlight);
                lblCalRpm_->update();
            }
            if (d.rpmWindowHighlight) Fill(lblCalRpm_, QColor(Qt::yellow));
            break;
        case LivePart::Temperatures:
            SetText(txtTmpVap_, d.tempVapText);
            SetText(txtTmpGas_, d.tempGasText);
            SetText(txtSupply_, d.supplyText);
            break;
    }
}

void GeneralPage::ShowInjectors(int n) {
    n = std::clamp(n, 0, 8);
    for (int i = 0; i < 8; ++i) {
        const auto k = static_cast<size_t>(i);
        const bool on = i < n;
        lblInj_[k]->setVisible(on);
        injPetBar_[k]->setVisible(on);
        injGasBar_[k]->setVisible(on);
    }
    cmbInj_->clear();
    cmbInj_->addItems(LiveDisplay::InjectorListEntries(n));
    cmbInj_->setCurrentIndex(0);
    HighlightInjector(0);
    ConfigureBars();
}

void GeneralPage::HighlightInjector(int listIndex) {
    for (int i = 0; i < 8; ++i)
        Fill(lblInj_[static_cast<size_t>(i)],
             listIndex == i + 1 ? QColor(Qt::yellow) : palette().button().color());
}

void GeneralPage::ConfigureBars() {
    // Bars are configured for their current size; the layout sizes them. A
    // freshly configured gauge shows every segment, so each gets back the
    // value it showed (nothing before the first reading), instead of looking
    // full until the next live update.
    auto configure = [this](UCtrlBar* bar, int max, int step, uint32_t fill, int mode) {
        const int shown = barsConfigured_ ? bar->Valore() : 0;
        bar->Configura(max, 0, step, kBarBack, fill, mode);
        bar->SetValore(shown);
    };
    for (size_t i = 0; i < 8; ++i) {
        configure(injPetBar_[i], BarRanges::kInjMax, BarRanges::kInjStep, kPetrolFill, 0);
        configure(injGasBar_[i], BarRanges::kInjMax, BarRanges::kInjStep, kGasFill, 0);
    }
    configure(barLambda_, BarRanges::kLambdaMax, BarRanges::kLambdaStep, kLambdaFill,
              UCtrlBarModel::kMarkerMode);
    configure(shpGasLev_, 6, 1, kLevelFill, 1);
    barsConfigured_ = true;
}

void GeneralPage::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    // The larger the window the larger the live digits.
    const int h = window()->height();
    QFont f = txtRpm0_->font();
    f.setPointSizeF(std::clamp(h / 40.0, 14.0, 28.0));
    for (auto* t : {txtRpm0_, txtInjTimePet_, txtInjTimeGas_})
        if (t->font() != f) t->setFont(f);
}

}  // namespace gascal
