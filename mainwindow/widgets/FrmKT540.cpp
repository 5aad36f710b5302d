#include "mainwindow/widgets/FrmKT540.h"

#include <QAction>
#include <functional>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "common/widgets/QtPrompts.h"
#include "data/core/ClsLingue.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"
#include "link/core/MachinePorts.h"
#include "mainwindow/controller/Captions.h"
#include "mainwindow/widgets/CalibrationPage.h"
#include "mainwindow/widgets/FrmInit.h"
#include "mainwindow/widgets/SimPanel.h"
#include "mainwindow/widgets/WidgetKit.h"
#include "pages/ctrlbar/UCtrlBar.h"

namespace gascal {

namespace {
// Window size at start, in twips (1024 x 720 pixels): fits 1366 x 768.
constexpr int kStartWidthTwips = 15360;
constexpr int kStartHeightTwips = 10800;
constexpr uint32_t kPetrolFill = RgbColour(255, 160, 0);
constexpr uint32_t kGasFill = RgbColour(0, 255, 255);
constexpr uint32_t kBarBack = RgbColour(255, 255, 255);
constexpr uint32_t kLambdaFill = RgbColour(0, 160, 0);
constexpr uint32_t kLevelFill = RgbColour(0, 120, 255);
const char* const kTabKeys[] = {" - F5", " - F6", " - F7", " - F2", " - F3"};

// Background of the "Errori" button (light orange).
constexpr uint32_t kErrorButtonColour = 8438015;

void FillButton(QPushButton* b, const QColor& c) {
    QPalette p = b->palette();
    p.setColor(QPalette::Button, c);
    p.setColor(QPalette::Window, c);
    b->setPalette(p);
}
}  // namespace

// The logo that doubles as the petrol/gas switch.
class LogoSwitch : public QFrame {
public:
    LogoSwitch(QWidget* parent, std::function<void()> onRelease)
        : QFrame(parent), onRelease_(std::move(onRelease)) {
        setObjectName(QStringLiteral("ImgLogo"));
        setFrameShape(QFrame::Panel);
        setFrameShadow(QFrame::Plain);
        setMinimumSize(150, 44);
        setCursor(Qt::PointingHandCursor);
        const QString img = SystemPath(QStringLiteral("\\LNG\\img2.img"));
        if (FileExists(img)) pixmap_.load(img);
    }
    void SetGas(bool gas) {
        if (gas != gas_) {
            gas_ = gas;
            update();
        }
    }
    bool Pressed() const { return pressed_; }

protected:
    void mousePressEvent(QMouseEvent*) override {
        pressed_ = true;
        setFrameShadow(QFrame::Raised);
        setLineWidth(2);
        update();
    }
    void mouseReleaseEvent(QMouseEvent*) override {
        pressed_ = false;
        setFrameShadow(QFrame::Plain);
        setLineWidth(1);
        update();
        if (onRelease_) onRelease_();
    }
    void paintEvent(QPaintEvent* e) override {
        QPainter p(this);
        const QRect r = contentsRect();
        if (!pixmap_.isNull()) {
            p.drawPixmap(r, pixmap_);
        } else {
            p.fillRect(r, QColor(20, 40, 80));
            QFont f = font();
            f.setBold(true);
            f.setPointSizeF(f.pointSizeF() * 1.4);
            p.setFont(f);
            p.setPen(Qt::white);
            p.drawText(r.adjusted(8, 0, -40, 0), Qt::AlignVCenter | Qt::AlignLeft,
                       QStringLiteral("gascal"));
        }
        // ShpLevel: the fuel lamp (black at rest, button face while pressed).
        const QRect lamp(r.right() - 30, r.center().y() - 10, 22, 20);
        p.setPen(Qt::black);
        p.setBrush(pressed_ ? palette().button().color() : (gas_ ? QColor(0, 200, 255) : Qt::black));
        p.drawEllipse(lamp);
        QFrame::paintEvent(e);
    }

private:
    std::function<void()> onRelease_;
    QPixmap pixmap_;
    bool pressed_ = false;
    bool gas_ = false;
};

FrmKT540::FrmKT540(MainController& controller, QWidget* parent)
    : QMainWindow(parent), ctl_(controller) {
    setObjectName(QStringLiteral("FrmKT540"));
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));

    auto* central = new QWidget(this);
    auto* lay = new QVBoxLayout(central);
    lay->setContentsMargins(6, 4, 6, 4);
    lay->addWidget(BuildHeader());
    tabs_ = new QTabWidget(central);
    tabs_->setObjectName(QStringLiteral("SstMain"));
    calibrationPage_ = new CalibrationPage(central);
    tabs_->addTab(calibrationPage_, QString());
    tabs_->addTab(BuildLaterTab(TAB_MODELING), QString());
    tabs_->addTab(BuildLaterTab(TAB_MAP), QString());
    tabs_->addTab(BuildGeneralTab(), QString());
    tabs_->addTab(BuildConfigTab(), QString());
    lay->addWidget(tabs_, 1);
    setCentralWidget(central);
    connect(tabs_, &QTabWidget::tabBarClicked, this, [this](int i) {
        if (i < 0) return;
        tabs_->setEnabled(false);
        ctl_.SstMain_Click(i);
        tabs_->setEnabled(true);
    });

    for (int i = 0; i < 3; ++i) {
        statusCells_[static_cast<size_t>(i)] = new QLabel(this);
        statusCells_[static_cast<size_t>(i)]->setObjectName(QStringLiteral("TxtStatusBar%1").arg(i));
        statusCells_[static_cast<size_t>(i)]->setAutoFillBackground(true);
        statusCells_[static_cast<size_t>(i)]->setMargin(2);
        statusCells_[static_cast<size_t>(i)]->setFrameShape(QFrame::StyledPanel);
    }
    statusBar()->addWidget(statusCells_[0], 3);
    statusBar()->addWidget(statusCells_[1], 1);
    statusBar()->addWidget(statusCells_[2], 1);
    statusCells_[1]->setMinimumWidth(110);

    frmInit_ = std::make_unique<FrmInit>(this);
    BuildMenus();
    ConnectSettings();
    ctl_.SetView(this);
    resize(TwipsToPixels(kStartWidthTwips), TwipsToPixels(kStartHeightTwips));
    ApplyLanguage();
    SelectTab(TAB_GENERAL);
}

FrmKT540::~FrmKT540() { ctl_.SetView(nullptr); }

QString FrmKT540::CapText(int id) const { return ctl_.CaptionText(id); }

// --- Building ----------------------------------------------------------------------------

void FrmKT540::BuildMenus() {
    mnuFile_ = menuBar()->addMenu(QString());
    actLoad_ = mnuFile_->addAction(QString(), this, [this] { ctl_.MnuFileLoadConf_Click(); });
    actLoad_->setObjectName(QStringLiteral("MnuFileLoadConf"));
    actSave_ = mnuFile_->addAction(QString(), this, [this] { ctl_.MnuFileSaveConf_Click(); });
    actSave_->setObjectName(QStringLiteral("MnuFileSaveConf"));
    mnuFile_->addSeparator();
    actExit_ = mnuFile_->addAction(QString(), this, [this] { ctl_.MnuFileEsc_Click(); });
    actExit_->setObjectName(QStringLiteral("MnuFileEsc"));

    mnuView_ = menuBar()->addMenu(QString());
    const QKeySequence keys[] = {Qt::Key_F2, Qt::Key_F3, Qt::Key_F5, Qt::Key_F6, Qt::Key_F7};
    for (int i = 0; i < 5; ++i) {
        auto* a = mnuView_->addAction(QString(), this, [this, i] { ctl_.MnuViewTab_Click(i); });
        a->setShortcut(keys[i]);
        a->setShortcutContext(Qt::WindowShortcut);
        a->setObjectName(QStringLiteral("MnuViewTab%1").arg(i));
        actViewTab_[static_cast<size_t>(i)] = a;
    }

    mnuDevice_ = menuBar()->addMenu(QString());
    actOffline_ = mnuDevice_->addAction(QStringLiteral(" OFFLINE"), this,
                                        [this] { ctl_.MnuDevOffline_Click(); });
    actOffline_->setCheckable(true);
    actSearch_ = mnuDevice_->addAction(QStringLiteral(" SEARCH COM"), this,
                                       [this] { ctl_.MnuDevSearch_Click(); });
    mnuDevice_->addSeparator();
    for (int i = 0; i <= 9; ++i) {
        const QString cap = i == 0 ? QStringLiteral(" USB") : QStringLiteral("  COM %1").arg(i);
        auto* a = mnuDevice_->addAction(cap, this, [this, i] { ctl_.MnuDevCom_Click(i); });
        a->setCheckable(true);
        a->setObjectName(QStringLiteral("MnuDevCom%1").arg(i));
        actDevCom_[static_cast<size_t>(i)] = a;
    }
    // What each COM number stands for on this machine, shown as the item's
    // tool tip and looked up again each time the menu opens (adapters come
    // and go).
    mnuDevice_->setToolTipsVisible(true);
    connect(mnuDevice_, &QMenu::aboutToShow, this, [this] { UpdatePortToolTips(); });
    UpdatePortToolTips();

    mnuLanguage_ = menuBar()->addMenu(QString());
    const ClsLingue& lng = ctl_.Lingue();
    for (int i = 0; i <= lng.UboundLingue(); ++i) {
        auto* a = mnuLanguage_->addAction(lng.NomeLingua(i), this, [this, i] {
            ctl_.MnuLngT_Click(i);
            for (size_t k = 0; k < actLng_.size(); ++k) actLng_[k]->setChecked(static_cast<int>(k) == i);
        });
        a->setCheckable(true);
        a->setChecked(i == lng.IdLingua());
        actLng_.push_back(a);
    }
}

QWidget* FrmKT540::BuildHeader() {
    auto* w = new QWidget(this);
    auto* h = new QHBoxLayout(w);
    h->setContentsMargins(0, 0, 0, 0);
    imgLogo_ = new LogoSwitch(w, [this] { ctl_.ImgLogo_MouseUp(); });
    h->addWidget(imgLogo_);
    ckbKey_ = StatusBox(w, "CkbKey", QStringLiteral("KEY"));
    ckbEv1_ = StatusBox(w, "CkbeV_01", QStringLiteral("EV 1"));
    ckbEv2_ = StatusBox(w, "CkbeV_02", QStringLiteral("EV 2"));
    ckbStatoAlim_ = StatusBox(w, "CkbStatoAlim", QStringLiteral("BNZ"));
    ckbStatoEcu_ = StatusBox(w, "CkbStatoEcu", QStringLiteral("RUN"));
    for (auto* b : {ckbKey_, ckbEv1_, ckbEv2_, ckbStatoAlim_, ckbStatoEcu_}) h->addWidget(b);
    ckbEv2_->setVisible(ctl_.Scale().CkbeV02Visible);
    ckbStatoAlim_->setVisible(false);
    ckbStatoEcu_->setVisible(false);
    h->addStretch(1);
    cmdErrInj_ = new QPushButton(QStringLiteral("Errori"), w);
    cmdErrInj_->setObjectName(QStringLiteral("CmdErrInj"));
    FillButton(cmdErrInj_, UCtrlBar::ToQColor(kErrorButtonColour));
    cmdErrInj_->setVisible(false);
    connect(cmdErrInj_, &QPushButton::clicked, this, [this] { ctl_.CmdErrInj_Click(); });
    h->addWidget(cmdErrInj_);
    cmdExpert_ = new QPushButton(QStringLiteral("Expert"), w);
    cmdExpert_->setObjectName(QStringLiteral("CmdExpert0"));
    cmdExpert_->setVisible(false);
    connect(cmdExpert_, &QPushButton::clicked, this, [this] { ctl_.CmdExpert_Click(); });
    h->addWidget(cmdExpert_);
    lblRpm_ = new QLabel(w);
    h->addWidget(lblRpm_);
    txtRpm1_ = ValueBox(w, "TxtRpm1", 4, true);
    txtRpm1_->setText(QStringLiteral("0000"));
    h->addWidget(txtRpm1_);
    return w;
}

QWidget* FrmKT540::BuildLaterTab(int tab) {
    auto* w = new QWidget(this);
    auto* v = new QVBoxLayout(w);
    auto* l = new QLabel(w);
    l->setAlignment(Qt::AlignCenter);
    l->setWordWrap(true);
    v->addWidget(l);
    laterLabels_[static_cast<size_t>(tab)] = l;
    return w;
}

QWidget* FrmKT540::BuildGeneralTab() {
    auto* w = new QWidget(this);
    auto* h = new QHBoxLayout(w);

    grpLive_ = new QGroupBox(w);
    auto* g = new QGridLayout(grpLive_);
    int row = 0;
    const auto addRow = [&](QLabel** lbl, QWidget* field) {
        *lbl = new QLabel(grpLive_);
        g->addWidget(*lbl, row, 0);
        g->addWidget(field, row, 1);
        ++row;
    };
    QLabel* rpmLbl = nullptr;
    txtRpm0_ = ValueBox(grpLive_, "TxtRpm0", 4, true);
    addRow(&rpmLbl, txtRpm0_);
    rpmLbl->setObjectName(QStringLiteral("LblCalRpm"));
    rpmLbl->setAutoFillBackground(false);
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
        lblLambda_[i]->setAlignment(i == 0 ? Qt::AlignLeft : (i == 1 ? Qt::AlignHCenter : Qt::AlignRight));
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
    lblRpm_->setObjectName(QStringLiteral("LblRpmHeader"));
    lblRpm_->setProperty("live", QVariant::fromValue<void*>(rpmLbl));
    h->addWidget(grpLive_, 2);

    grpInj_ = new QGroupBox(w);
    auto* v = new QVBoxLayout(grpInj_);
    injGrid_ = new QGridLayout;
    lblInjPet_ = new QLabel(grpInj_);
    lblInjGas_ = new QLabel(grpInj_);
    injGrid_->addWidget(lblInjPet_, 0, 1);
    injGrid_->addWidget(lblInjGas_, 0, 2);
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
        injGrid_->addWidget(lblInj_[k], i + 1, 0);
        injGrid_->addWidget(injPetBar_[k], i + 1, 1);
        injGrid_->addWidget(injGasBar_[k], i + 1, 2);
    }
    injGrid_->setColumnStretch(1, 1);
    injGrid_->setColumnStretch(2, 1);
    v->addLayout(injGrid_);
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
    connect(cmbInj_, &QComboBox::activated, this, [this](int idx) {
        ctl_.CmbInj_Click(idx);
        for (int i = 0; i < 8; ++i)
            Fill(lblInj_[static_cast<size_t>(i)], idx == i + 1 ? QColor(Qt::yellow)
                                                            : palette().button().color());
    });
    h->addWidget(grpInj_, 3);
    return w;
}

QComboBox* FrmKT540::AddCombo(QGridLayout* g, int row, int col, const char* name, QLabel** label) {
    *label = new QLabel(g->parentWidget());
    auto* c = new QComboBox(g->parentWidget());
    c->setObjectName(QString::fromLatin1(name));
    c->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    c->setMinimumWidth(90);
    g->addWidget(*label, row, col);
    g->addWidget(c, row, col + 1);
    return c;
}

QWidget* FrmKT540::BuildConfigTab() {
    auto* w = new QWidget(this);
    auto* h = new QHBoxLayout(w);
    grpSwitch_ = new QGroupBox(w);
    auto* gs = new QGridLayout(grpSwitch_);
    int n = 0;
    auto L = [this, &n]() { return &settingLabels_[static_cast<size_t>(n++)]; };
    cmbSwtchRpm_ = AddCombo(gs, 0, 0, "CmbSwtchRpm", L());
    cmbSwtchTemp_ = AddCombo(gs, 1, 0, "CmbSwtchTemp", L());
    cmbSwtchDelay_ = AddCombo(gs, 2, 0, "CmbSwtchDelay", L());
    cmbSwtchBar_ = AddCombo(gs, 3, 0, "CmbSwtchBar", L());
    cmbSwtchDelayPress_ = AddCombo(gs, 4, 0, "CmbSwtchDelayPress", L());
    cmbSwtchForce_ = AddCombo(gs, 5, 0, "CmbSwtchForce", L());
    cmbSwtchSeq_ = AddCombo(gs, 6, 0, "CmbSwtchSeq", L());
    chkAbilAcqVacum_ = new QCheckBox(grpSwitch_);
    chkAbilAcqVacum_->setObjectName(QStringLiteral("ChkAbilAcqVacum"));
    gs->addWidget(chkAbilAcqVacum_, 7, 0, 1, 2);
    cmbShoRpm_ = AddCombo(gs, 8, 0, "CmbShoRpm", &lblShoRpm_);
    gs->setRowStretch(9, 1);
    h->addWidget(grpSwitch_, 2);

    grpSystem_ = new QGroupBox(w);
    auto* gy = new QGridLayout(grpSystem_);
    cmbSwtchCilindri_ = AddCombo(gy, 0, 0, "CmbSwtchCilindri", L());
    cmbSwtchBobine_ = AddCombo(gy, 1, 0, "CmbSwtchBobine", L());
    lblFuel_ = new QLabel(grpSystem_);
    auto* fuel = new QHBoxLayout;
    optCng_ = new QRadioButton(QStringLiteral("Cng"), grpSystem_);
    optCng_->setObjectName(QStringLiteral("OptTypFuel0"));
    optLpg_ = new QRadioButton(QStringLiteral("Lpg"), grpSystem_);
    optLpg_->setObjectName(QStringLiteral("OptTypFuel1"));
    fuel->addWidget(optCng_);
    fuel->addWidget(optLpg_);
    gy->addWidget(lblFuel_, 2, 0);
    gy->addLayout(fuel, 2, 1);
    cmbTpyInj_ = AddCombo(gy, 3, 0, "CmbTpyInj", L());
    cmdTpyInj_ = new QPushButton(grpSystem_);
    cmdTpyInj_->setObjectName(QStringLiteral("CmdTpyInj"));
    gy->addWidget(cmdTpyInj_, 3, 2);
    cmbSwtchLambdaType_ = AddCombo(gy, 4, 0, "CmbSwtchLambdaType", L());
    cmbTpyGLS_ = AddCombo(gy, 5, 0, "CmbTpyGLS", L());
    cmdTpyGLS_ = new QPushButton(grpSystem_);
    cmdTpyGLS_->setObjectName(QStringLiteral("CmdTpyGLS"));
    gy->addWidget(cmdTpyGLS_, 5, 2);
    cmbEmptyGas_ = AddCombo(gy, 6, 0, "CmbEmptyGas", L());
    gy->setRowStretch(7, 1);
    gy->setColumnStretch(1, 1);
    // The system lists hold the longest entries (injector and level types,
    // the empty-gas behaviour): they get the larger share of the width.
    h->addWidget(grpSystem_, 3);
    return w;
}

void FrmKT540::ConnectSettings() {
    const auto bind = [this](QComboBox* c, std::function<void(int)> fn) {
        connect(c, &QComboBox::activated, this, std::move(fn));
    };
    bind(cmbSwtchRpm_, [this](int i) { ctl_.CmbSwtchRpm_Click(i); });
    bind(cmbSwtchTemp_, [this](int i) { ctl_.CmbSwtchTemp_Click(i); });
    bind(cmbSwtchDelay_, [this](int i) { ctl_.CmbSwtchDelay_Click(i); });
    bind(cmbSwtchBar_, [this](int i) { ctl_.CmbSwtchBar_Click(i); });
    bind(cmbSwtchDelayPress_, [this](int i) { ctl_.CmbSwtchDelayPress_Click(i); });
    bind(cmbSwtchForce_, [this](int i) { ctl_.CmbSwtchForce_Click(i); });
    bind(cmbSwtchSeq_, [this](int i) { ctl_.CmbSwtchSeq_Click(i); });
    bind(cmbSwtchCilindri_, [this](int i) { ctl_.CmbSwtchCilindri_Click(i); });
    bind(cmbSwtchBobine_, [this](int i) { ctl_.CmbSwtchBobine_Click(i); });
    bind(cmbSwtchLambdaType_, [this](int i) { ctl_.CmbSwtchLambdaType_Click(i); });
    bind(cmbTpyInj_, [this](int i) { ctl_.CmbTpyInj_Click(i); });
    bind(cmbTpyGLS_, [this](int i) { ctl_.CmbTpyGLS_Click(i); });
    bind(cmbEmptyGas_, [this](int i) { ctl_.CmbEmptyGas_Click(i); });
    bind(cmbShoRpm_, [this](int i) { ctl_.CmbShoRpm_Click(i); });
    connect(optCng_, &QRadioButton::clicked, this, [this] { ctl_.OptTypFuel_Click(0); });
    connect(optLpg_, &QRadioButton::clicked, this, [this] { ctl_.OptTypFuel_Click(1); });
    connect(chkAbilAcqVacum_, &QCheckBox::clicked, this,
            [this](bool on) { ctl_.ChkAbilAcqVacum_Click(on); });
    connect(cmdTpyInj_, &QPushButton::clicked, this, [this] { ctl_.CmdTpyInj_Click(); });
    connect(cmdTpyGLS_, &QPushButton::clicked, this, [this] { ctl_.CmdTpyGLS_Click(); });
}

// --- Captions ---------------------------------------------------------------------------------

void FrmKT540::ApplyLanguage() {
    const auto C = [this](Cap c) { return CapText(static_cast<int>(c)); };
    const Cap tabCaps[] = {Cap::TabCalibration, Cap::TabModeling, Cap::TabMap, Cap::TabGeneral,
                                   Cap::TabConfiguration};
    for (int i = 0; i < 5; ++i)
        tabs_->setTabText(i, C(tabCaps[i]) + QString::fromLatin1(kTabKeys[i]));
    // View menu entries: General, Configuration, Calibration, Modeling, Map.
    const Cap viewCaps[] = {Cap::TabGeneral, Cap::TabConfiguration, Cap::TabCalibration,
                                    Cap::TabModeling, Cap::TabMap};
    for (int i = 0; i < 5; ++i) actViewTab_[static_cast<size_t>(i)]->setText(C(viewCaps[i]));
    mnuFile_->setTitle(C(Cap::MenuFile));
    actLoad_->setText(C(Cap::MenuLoadConf));
    actSave_->setText(C(Cap::MenuSaveConf));
    actExit_->setText(C(Cap::MenuExit));
    mnuView_->setTitle(C(Cap::MenuView));
    mnuDevice_->setTitle(C(Cap::MenuDevice));
    mnuLanguage_->setTitle(C(Cap::MenuLanguage));
    if (mnuSimulator_) mnuSimulator_->setTitle(C(Cap::MenuSimulator));
    for (auto* l : laterLabels_)
        if (l) l->setText(C(Cap::PageLater));
    calibrationPage_->ApplyLanguage([this](int e) { return ctl_.Text(e); });

    lblRpm_->setText(C(Cap::LblRpm));
    if (auto* rpmLbl = static_cast<QLabel*>(lblRpm_->property("live").value<void*>()))
        rpmLbl->setText(C(Cap::LblRpm));
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
    grpSwitch_->setTitle(C(Cap::GrpSwitchover));
    grpSystem_->setTitle(C(Cap::GrpSystem));
    const Cap settingCaps[] = {Cap::LblSwtchRpm,  Cap::LblSwtchTemp,  Cap::LblSwtchDelay,
                                       Cap::LblSwtchBar,  Cap::LblSwtchDelayPress, Cap::LblSwtchForce,
                                       Cap::LblSwtchSeq,  Cap::LblCylinders,  Cap::LblCoils,
                                       Cap::LblInjType,   Cap::LblLambdaType, Cap::LblLevelType,
                                       Cap::LblEmptyGas};
    for (size_t i = 0; i < std::size(settingCaps); ++i)
        if (settingLabels_[i]) settingLabels_[i]->setText(C(settingCaps[i]));
    lblFuel_->setText(C(Cap::LblFuel));
    lblShoRpm_->setText(C(Cap::LblShoRpm));
    cmdTpyInj_->setText(C(Cap::CmdSetting));
    cmdTpyGLS_->setText(C(Cap::CmdSetLevel));
    chkAbilAcqVacum_->setText(C(Cap::ChkAutoTuning));
    // The port search window takes its message from the entry after the
    // "[FrmInit]" marker of the dictionary; the search text is fixed.
    QString reading = C(Cap::FrmInitReading);
    const ClsLingue& lng = ctl_.Lingue();
    const int id = lng.IdLingua();
    for (int i = 0; i < lng.UboundVociLingua(id); ++i) {
        if (lng.VoceDizionario(id, i) == QLatin1String("[FrmInit]")) {
            if (!lng.VoceDizionario(id, i + 1).isEmpty()) reading = lng.VoceDizionario(id, i + 1);
            break;
        }
    }
    frmInit_->SetTexts(reading, QStringLiteral("SEARCH COM"));
}

// --- MainView -----------------------------------------------------------------------------------

void FrmKT540::SetWaitCursor(bool on) {
    if (on) {
        if (waitDepth_++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (waitDepth_ > 0 && --waitDepth_ == 0) {
        QApplication::restoreOverrideCursor();
    }
}

void FrmKT540::SetBox(QCheckBox* box, bool ticked, const QString& caption) {
    if (!caption.isEmpty()) box->setText(caption);
    box->setChecked(ticked);
    Fill(box, ticked ? palette().shadow().color() : palette().button().color());
}

void FrmKT540::ShowLive(LivePart part) {
    const LiveDisplay& d = ctl_.Display();
    calibrationPage_->ShowLive(d, part);
    switch (part) {
        case LivePart::RpmAndInj: {
            txtRpm0_->setText(d.rpmText);
            txtRpm1_->setText(d.rpmText);
            for (size_t i = 0; i < 8; ++i) {
                injPetBar_[i]->SetValore(d.petBar[i]);
                injGasBar_[i]->SetValore(d.gasBar[i]);
            }
            txtInjTimePet_->setText(d.injTimePetText);
            txtInjTimeGas_->setText(d.injTimeGasText);
            break;
        }
        case LivePart::LambdaAndMarks:
            txtLambda_->setText(d.lambdaText);
            barLambda_->SetValore(d.lambdaBar);
            for (size_t i = 0; i < 3; ++i) lblLambda_[i]->setText(d.lambdaLabels[i]);
            shpGasLev_->SetValore(d.gasLevel);
            Fill(shpCalComm_, d.switchTempReached ? QColor(0, 200, 0) : QColor(200, 0, 0));
            imgLogo_->SetGas(d.runningOnGas);
            break;
        case LivePart::Status: {
            const StatusBoxes& b = d.boxes;
            SetBox(ckbKey_, b.key);
            SetBox(ckbEv1_, b.ev1);
            SetBox(ckbEv2_, b.ev2);
            if (b.fuel != BoxState::Unchanged) {
                SetBox(ckbStatoAlim_, b.fuel == BoxState::Ticked, b.fuelCaption);
                QPalette p = ckbStatoAlim_->palette();
                p.setColor(QPalette::WindowText, b.fuel == BoxState::Ticked ? Qt::white : Qt::cyan);
                ckbStatoAlim_->setPalette(p);
            }
            if (b.ecu != BoxState::Unchanged) SetBox(ckbStatoEcu_, b.ecu == BoxState::Ticked, b.ecuCaption);
            statusCells_[2]->setText(d.timeText);
            txtPressure_->setText(d.pressureText);
            txtVacuum_->setText(d.vacuumText);
            txtVacuum_->setVisible(d.vacuumVisible);
            lblCalPres_->setVisible(d.vacuumVisible);
            if (auto* rpmLbl = static_cast<QLabel*>(lblRpm_->property("live").value<void*>())) {
                // Highlighted in yellow; otherwise the group's own background.
                rpmLbl->setAutoFillBackground(d.rpmWindowHighlight);
                if (d.rpmWindowHighlight) Fill(rpmLbl, QColor(Qt::yellow));
            }
            break;
        }
        case LivePart::Temperatures:
            txtTmpVap_->setText(d.tempVapText);
            txtTmpGas_->setText(d.tempGasText);
            txtSupply_->setText(d.supplyText);
            break;
    }
}

void FrmKT540::ShowStatusCell(int cell, const StatusCell& c) {
    if (cell < 0 || cell > 2) return;
    QLabel* l = statusCells_[static_cast<size_t>(cell)];
    l->setText(c.text);
    if (c.background || c.foreground) {
        QPalette p = l->palette();
        if (c.background) p.setColor(QPalette::Window, UCtrlBar::ToQColor(*c.background));
        if (c.foreground) p.setColor(QPalette::WindowText, UCtrlBar::ToQColor(*c.foreground));
        l->setPalette(p);
    }
}

QString FrmKT540::StatusText(int cell) const {
    return (cell >= 0 && cell < 3) ? statusCells_[static_cast<size_t>(cell)]->text() : QString();
}

void FrmKT540::ShowPortTicks(int item, bool offline) {
    for (int i = 0; i <= 9; ++i) actDevCom_[static_cast<size_t>(i)]->setChecked(i == item);
    actOffline_->setChecked(offline);
}

void FrmKT540::UpdatePortToolTips() {
    for (int i = 1; i <= 9; ++i) {
        const QString dev = SerialDevicePath(i);
        actDevCom_[static_cast<size_t>(i)]->setToolTip(
            dev.isEmpty() ? QStringLiteral("COM%1: no serial device").arg(i)
                          : QStringLiteral("COM%1: %2").arg(i).arg(dev));
    }
}

void FrmKT540::ShowPortSearch(bool visible, int type) { frmInit_->ShowSearch(visible, type); }

void FrmKT540::FillCombo(QComboBox* c, const EntryList& l) {
    c->clear();
    for (const auto& e : l) c->addItem(e.text);
}

void FrmKT540::SelectCombo(QComboBox* c, int index) { c->setCurrentIndex(index); }

void FrmKT540::ListsRefilled() {
    const bool was = ctl_.FillingControls;
    ctl_.FillingControls = true;
    const SwitchLists& l = ctl_.Lists();
    FillCombo(cmbSwtchRpm_, l.rpm);
    FillCombo(cmbSwtchTemp_, l.temp);
    FillCombo(cmbSwtchDelay_, ctl_.DelayList());
    FillCombo(cmbSwtchBar_, l.bar);
    FillCombo(cmbSwtchDelayPress_, l.delayPress);
    FillCombo(cmbSwtchForce_, l.force);
    FillCombo(cmbSwtchSeq_, l.seq);
    FillCombo(cmbSwtchCilindri_, l.cylinders);
    FillCombo(cmbSwtchBobine_, l.coils);
    FillCombo(cmbSwtchLambdaType_, l.lambda);
    FillCombo(cmbTpyInj_, l.injector);
    FillCombo(cmbTpyGLS_, l.level);
    FillCombo(cmbEmptyGas_, l.emptyGas);
    FillCombo(cmbShoRpm_, l.shoRpm);
    cmbSwtchSeq_->setEnabled(!l.seq.empty());
    ctl_.FillingControls = was;
}

void FrmKT540::RefreshSettings() {
    const bool was = ctl_.FillingControls;
    ctl_.FillingControls = true;
    if (cmbSwtchDelay_->count() != static_cast<int>(ctl_.DelayList().size())) FillCombo(cmbSwtchDelay_, ctl_.DelayList());
    const SettingsSelection s = ctl_.CurrentSettings();
    SelectCombo(cmbSwtchRpm_, s.rpm);
    SelectCombo(cmbSwtchTemp_, s.temp);
    FillCombo(cmbSwtchDelay_, ctl_.DelayList());
    SelectCombo(cmbSwtchDelay_, s.delay);
    SelectCombo(cmbSwtchBar_, s.bar);
    SelectCombo(cmbSwtchDelayPress_, s.delayPress);
    SelectCombo(cmbSwtchForce_, s.force);
    SelectCombo(cmbSwtchSeq_, s.seq);
    FillCombo(cmbSwtchCilindri_, ctl_.Lists().cylinders);
    SelectCombo(cmbSwtchCilindri_, s.cylinders);
    SelectCombo(cmbSwtchBobine_, s.coils);
    SelectCombo(cmbSwtchLambdaType_, s.lambda);
    SelectCombo(cmbTpyInj_, s.injector);
    SelectCombo(cmbTpyGLS_, s.level);
    SelectCombo(cmbEmptyGas_, s.emptyGas);
    SelectCombo(cmbShoRpm_, s.shoRpm);
    (s.fuelType == 1 ? optLpg_ : optCng_)->setChecked(true);
    ctl_.FillingControls = was;
}

void FrmKT540::IstanzaInj(int n) {
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
    ctl_.CmbInj_Click(0);
    DisponiFrmMain();
}

void FrmKT540::DisponiFrmMain() {
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

void FrmKT540::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    // Form_Resize: the layouts follow the window; the larger the window the
    // larger the live digits.
    const int h = e->size().height();
    QFont f = txtRpm0_->font();
    f.setPointSizeF(std::clamp(h / 40.0, 14.0, 28.0));
    for (auto* t : {txtRpm0_, txtInjTimePet_, txtInjTimeGas_}) t->setFont(f);
}

void FrmKT540::ShowServiceView(bool on) {
    for (QWidget* w : ServiceViewControls()) w->setVisible(on);
}

QList<QWidget*> FrmKT540::ServiceViewControls() const {
    return {shpPLoad_, shpPmin_, ckbStatoEcu_, ckbStatoAlim_, cmdExpert_};
}

void FrmKT540::SetCaption(const QString& caption) { setWindowTitle(caption); }

void FrmKT540::SelectTab(int tab) {
    if (tab >= 0 && tab < tabs_->count()) tabs_->setCurrentIndex(tab);
}

void FrmKT540::ShowAutoTuning(bool enabled, bool ticked) {
    chkAbilAcqVacum_->setEnabled(enabled);
    chkAbilAcqVacum_->setChecked(ticked);
    cmbShoRpm_->setEnabled(!ticked);
}

void FrmKT540::ShowErrorButton(bool visible, const QString& caption) {
    if (!visible) {
        cmdErrInj_->setVisible(false);
        return;
    }
    if (cmdErrInj_->text() != caption) cmdErrInj_->setText(caption);
    const QColor orange = UCtrlBar::ToQColor(kErrorButtonColour);
    if (cmdErrInj_->palette().button().color() != orange) FillButton(cmdErrInj_, orange);
    if (cmdErrInj_->isHidden()) cmdErrInj_->setVisible(true);
}

void FrmKT540::Unload() {
    unloaded_ = true;
    frmInit_->hide();
    if (simPanel_) simPanel_->hide();
    close();
}

// --- Events ---------------------------------------------------------------------------------------

void FrmKT540::closeEvent(QCloseEvent* e) {
    if (unloaded_) {
        e->accept();
        return;
    }
    // The link stops first; the window goes at the end of the next Timer2 tick.
    ctl_.Form_QueryUnload();
    e->ignore();
}

void FrmKT540::keyReleaseEvent(QKeyEvent* e) {
    const auto mods = e->modifiers();
    if (e->key() == Qt::Key_X && (mods & Qt::ControlModifier) && (mods & Qt::AltModifier)) {
        ctl_.ToggleServiceView();
        return;
    }
    QMainWindow::keyReleaseEvent(e);
}

QString FrmKT540::RpmText() const { return txtRpm0_->text(); }
QString FrmKT540::InjTimePetText() const { return txtInjTimePet_->text(); }
QString FrmKT540::InjTimeGasText() const { return txtInjTimeGas_->text(); }

QComboBox* FrmKT540::Combo(const char* name) const {
    return findChild<QComboBox*>(QString::fromLatin1(name));
}

void FrmKT540::SetSimControl(SimControl* sim) {
    sim_ = sim;
    if (!sim_ || mnuSimulator_) return;
    mnuSimulator_ = menuBar()->addMenu(CapText(static_cast<int>(Cap::MenuSimulator)));
    actSimPanel_ = mnuSimulator_->addAction(QStringLiteral("Simulator panel..."), this, [this] {
        if (!simPanel_) simPanel_ = std::make_unique<SimPanel>(*sim_, this);
        simPanel_->show();
        simPanel_->raise();
    });
    actSimPanel_->setObjectName(QStringLiteral("MnuSimPanel"));
}

}  // namespace gascal
