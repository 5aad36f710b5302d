#include "viewer/frmview/FrmView.h"

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
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ParamImage.h"
#include "ecu/EcuSession.h"
#include "ecu/WindowRegistry.h"
#include "viewer/frmview/SignalPicture.h"

namespace gascal {

namespace {

constexpr int kStartWidthPx = 1180;
constexpr int kStartHeightPx = 720;
constexpr int kPanelWidthPx = 210;
constexpr int kSettingKey = 83;  // "S"
const QColor kPanelColour(8, 12, 16);
const QColor kLoadingColour(200, 30, 30);

const WindowRegistration kOpenFrmView("FrmView", [](WindowContext& c) {
    static QPointer<FrmView> open;
    if (!open) {
        open = new FrmView(c.session, c.cycle, c.owner);
        open->setAttribute(Qt::WA_DeleteOnClose);
    }
    open->show();
    open->raise();
    open->activateWindow();
    return 1;
});

void SetColours(QWidget* w, const QColor& back, const QColor& text) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, back);
    p.setColor(QPalette::Base, back);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Text, text);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

QPushButton* Button(QWidget* parent, const char* name) {
    auto* b = new QPushButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setFocusPolicy(Qt::TabFocus);
    return b;
}

}  // namespace

// A channel's show picture (PctMostra): the reference picture (a lit lamp
// in the channel's colour) while the channel is shown, empty while hidden.
class ShowPicture : public QWidget {
  public:
    ShowPicture(QWidget* parent, int channel, std::function<void()> onClick)
        : QWidget(parent), onClick_(std::move(onClick)) {
        setObjectName(QStringLiteral("PctMostra%1").arg(channel));
        setFixedSize(18, 18);
        setCursor(Qt::PointingHandCursor);
    }
    void Show(bool shown, const QColor& colour) {
        if (shown == shown_ && colour == colour_) return;
        shown_ = shown;
        colour_ = colour;
        update();
    }
    bool Shown() const { return shown_; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(130, 130, 130), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(0.5, 0.5, width() - 1, height() - 1));
        if (!shown_) return;
        p.setPen(Qt::NoPen);
        p.setBrush(colour_);
        p.drawEllipse(QRectF(4, 4, width() - 8, height() - 8));
    }
    void mouseReleaseEvent(QMouseEvent*) override {
        if (onClick_) onClick_();
    }

  private:
    std::function<void()> onClick_;
    bool shown_ = false;
    QColor colour_;
};

// The fuel switch picture (PctCommutatore): "\LNG\img4.img" when the
// installation has it, else a drawn switch that shows the fuel in use.
// Pressed it looks sunken; released it asks for the switchover.
class FuelSwitchPicture : public QFrame {
  public:
    FuelSwitchPicture(QWidget* parent, const ParamImage& image, std::function<void()> onRelease)
        : QFrame(parent), image_(image), onRelease_(std::move(onRelease)) {
        setObjectName(QStringLiteral("PctCommutatore"));
        setFrameShape(QFrame::Panel);
        setFrameShadow(QFrame::Raised);
        setLineWidth(2);
        setFixedSize(76, 34);
        setCursor(Qt::PointingHandCursor);
        const QString img = SystemPath(QStringLiteral("\\LNG\\img4.img"));
        if (FileExists(img)) picture_.load(img);
    }
    void Refresh() {
        const bool gas = image_.Mem2Block.Mem2Byte1 == 3;
        if (gas == gas_) return;
        gas_ = gas;
        update();
    }

  protected:
    void mousePressEvent(QMouseEvent*) override { setFrameShadow(QFrame::Sunken); }
    void mouseReleaseEvent(QMouseEvent*) override {
        setFrameShadow(QFrame::Raised);
        if (onRelease_) onRelease_();
    }
    void paintEvent(QPaintEvent* e) override {
        QPainter p(this);
        const QRect r = contentsRect();
        if (!picture_.isNull()) {
            p.drawPixmap(r, picture_);
        } else {
            p.setRenderHint(QPainter::Antialiasing);
            p.fillRect(r, QColor(40, 44, 52));
            const QRectF track(r.left() + 6, r.center().y() - 6, r.width() - 12, 12);
            p.setPen(Qt::NoPen);
            p.setBrush(gas_ ? QColor(0, 190, 230) : QColor(110, 110, 110));
            p.drawRoundedRect(track, 6, 6);
            const double knobX = gas_ ? track.right() - 12 : track.left();
            p.setBrush(Qt::white);
            p.drawEllipse(QRectF(knobX, track.top(), 12, 12));
            QFont f = font();
            f.setBold(true);
            f.setPointSizeF(f.pointSizeF() * 0.7);
            p.setFont(f);
            p.setPen(Qt::white);
            p.drawText(track.adjusted(gas_ ? 4 : 14, 0, gas_ ? -14 : -4, 0), Qt::AlignCenter,
                       gas_ ? QStringLiteral("GAS") : QStringLiteral("BNZ"));
        }
        QFrame::paintEvent(e);
    }

  private:
    const ParamImage& image_;
    std::function<void()> onRelease_;
    QPixmap picture_;
    bool gas_ = false;
};

// --- Window -------------------------------------------------------------------------------

FrmView::FrmView(EcuSession& session, PollingCycle& cycle, QWidget* owner)
    : QWidget(owner, Qt::Window), session_(session), model_(session, cycle) {
    setObjectName(QStringLiteral("FrmView"));
    // The stop question, the save and csv dialogs and the file errors come
    // up over the viewer, not over the main window.
    prompts_ = std::make_unique<WindowPrompts>(this);
    model_.SetPrompts(prompts_.get());
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));
    Build();
    ApplyTexts();

    connect(&model_, &ViewerModel::loading, this, &FrmView::ShowLoading);
    connect(&model_, &ViewerModel::pictureCleared, picture_, &SignalPicture::Clear);
    connect(&model_, &ViewerModel::segmentDrawn, picture_, &SignalPicture::DrawSegment);
    connect(&model_, &ViewerModel::redrawn, picture_, &SignalPicture::Redraw);
    connect(&model_, &ViewerModel::readoutChanged, this, &FrmView::UpdateReadout);
    connect(&model_, &ViewerModel::captionChanged, this, &QWidget::setWindowTitle);
    connect(&model_, &ViewerModel::controlsChanged, this, &FrmView::UpdateControls);
    connect(&model_, &ViewerModel::channelsChanged, this, &FrmView::UpdateChannels);
    connect(&model_, &ViewerModel::closeNow, this, [this] {
        closing_ = true;
        close();
    });

    resize(kStartWidthPx, kStartHeightPx);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    model_.Form_Load();
    QApplication::restoreOverrideCursor();
    UpdateControls();
    UpdateChannels();
    UpdateReadout();

    // Pictures of the window (scripts/screenshot.sh): a cursor placed, and
    // a stop after some seconds without the save question.
    const QStringList cursors =
        qEnvironmentVariable("GASCAL_FRMVIEW_CURSORS").split(QLatin1Char(','));
    const double stopAfter = qEnvironmentVariable("GASCAL_FRMVIEW_STOP_AFTER").toDouble();
    if (stopAfter > 0)
        QTimer::singleShot(static_cast<int>(stopAfter * 1000), this, [this] { DemoStop(); });
    if (!cursors.value(0).isEmpty()) {
        const double a = cursors.value(0).toDouble();
        QTimer::singleShot(500, this, [this, a] {
            model_.ShowReadout(a * kPictureWidth);
            picture_->update();
        });
    }
}

FrmView::~FrmView() = default;

void FrmView::DemoStop() {
    demoPrompts_ = std::make_unique<ScriptedPrompts>();
    demoPrompts_->answers.push_back(BoxResult::No);
    demoScope_ = std::make_unique<ScopedPrompts>(*demoPrompts_);
    model_.OptRun_Click(1);
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        if (model_.RunMode()) return;
        poll->stop();
        poll->deleteLater();
        demoScope_.reset();
        demoPrompts_.reset();
        const QStringList cursors =
            qEnvironmentVariable("GASCAL_FRMVIEW_CURSORS").split(QLatin1Char(','));
        const double a = cursors.value(0, QStringLiteral("0.6")).toDouble();
        const double b = cursors.value(1, QStringLiteral("0.3")).toDouble();
        model_.SetSecondCursor(b * kPictureWidth);
        model_.ShowReadout(a * kPictureWidth);
        picture_->update();
    });
    poll->start(100);
}

void FrmView::Build() {
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(6, 6, 6, 6);
    root->setSpacing(4);

    // --- Top bar ---
    auto* top = new QHBoxLayout;
    top->setSpacing(4);
    for (int i = 0; i < 2; ++i) {
        optRun_[i] = new QRadioButton(this);
        optRun_[i]->setObjectName(QStringLiteral("OptRun%1").arg(i));
        top->addWidget(optRun_[i]);
        connect(optRun_[i], &QRadioButton::clicked, this, [this, i] {
            if (updating_) return;
            model_.OptRun_Click(i);
            UpdateControls();
        });
    }
    top->addSpacing(10);
    cmdOpen_ = Button(this, "CmdOpen");
    cmdReload_ = Button(this, "CmdReload");
    cmdSave_ = Button(this, "CmdSaveLogOsc");
    cmdCsv_ = Button(this, "CmdExportCsv");
    for (auto* b : {cmdOpen_, cmdReload_, cmdSave_, cmdCsv_}) top->addWidget(b);
    connect(cmdOpen_, &QPushButton::clicked, this, [this] { model_.CmdOpen_Click(); });
    connect(cmdReload_, &QPushButton::clicked, this, [this] { model_.CmdReload_Click(); });
    connect(cmdSave_, &QPushButton::clicked, this, [this] { model_.CmdSaveLogOsc_Click(); });
    connect(cmdCsv_, &QPushButton::clicked, this, [this] { model_.CmdExportCsv_Click(); });
    top->addSpacing(10);
    lblInj_ = new QLabel(this);
    top->addWidget(lblInj_);
    cmbInj_ = new QComboBox(this);
    cmbInj_->setObjectName(QStringLiteral("CmbChnInj"));
    for (int i = 1; i <= kViewInjectors; ++i) cmbInj_->addItem(QString::number(i));
    top->addWidget(cmbInj_);
    connect(cmbInj_, &QComboBox::activated, this, [this](int i) { model_.CmbChnInj_Click(i); });
    top->addSpacing(10);
    cmdSecDivM_ = Button(this, "CmdSecDivM");
    cmdSecDivM_->setText(QStringLiteral("-"));
    cmdSecDivM_->setFixedWidth(28);
    lblSecDiv_ = new QLabel(this);
    lblSecDiv_->setObjectName(QStringLiteral("LblSecDiv"));
    lblSecDiv_->setMinimumWidth(56);
    lblSecDiv_->setAlignment(Qt::AlignCenter);
    lblSecDivCaption_ = new QLabel(this);
    cmdSecDivP_ = Button(this, "CmdSecDivP");
    cmdSecDivP_->setText(QStringLiteral("+"));
    cmdSecDivP_->setFixedWidth(28);
    for (QWidget* w :
         std::initializer_list<QWidget*>{cmdSecDivM_, lblSecDiv_, cmdSecDivP_, lblSecDivCaption_})
        top->addWidget(w);
    connect(cmdSecDivP_, &QPushButton::clicked, this, [this] {
        model_.CmdSecDivP_Click();
        // At the top of the ladder the focus goes to "-".
        if (!model_.SecDivPlusEnabled()) cmdSecDivM_->setFocus();
    });
    connect(cmdSecDivM_, &QPushButton::clicked, this, [this] {
        model_.CmdSecDivM_Click();
        if (!model_.SecDivMinusEnabled()) cmdSecDivP_->setFocus();
    });
    top->addStretch(1);
    lblLoading_ = new QLabel(this);
    lblLoading_->setObjectName(QStringLiteral("LblLoading"));
    lblLoading_->setAlignment(Qt::AlignCenter);
    lblLoading_->setMinimumWidth(150);
    {
        QFont f = lblLoading_->font();
        f.setBold(true);
        lblLoading_->setFont(f);
    }
    SetColours(lblLoading_, kLoadingColour, Qt::white);
    lblLoading_->setVisible(false);
    top->addWidget(lblLoading_);
    pctSwitch_ =
        new FuelSwitchPicture(this, session_.Image(), [this] { model_.PctCommutatore_Click(); });
    top->addWidget(pctSwitch_);
    root->addLayout(top);

    // --- Picture and channel panel ---
    auto* middle = new QHBoxLayout;
    middle->setSpacing(4);
    picture_ = new SignalPicture(model_, this);
    middle->addWidget(picture_, 1);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("FraChannels"));
    panel->setFixedWidth(kPanelWidthPx);
    SetColours(panel, kPanelColour, Qt::white);
    auto* pv = new QVBoxLayout(panel);
    pv->setContentsMargins(6, 6, 6, 6);
    pv->setSpacing(3);
    for (int c = 0; c < kViewChannels; ++c) {
        auto* row = new QHBoxLayout;
        row->setSpacing(5);
        pctMostra_[static_cast<size_t>(c)] =
            new ShowPicture(panel, c, [this, c] { model_.PctMostra_Click(c); });
        auto* lbl = new QLabel(panel);
        lbl->setObjectName(QStringLiteral("LblSignal%1").arg(c));
        lbl->setCursor(Qt::PointingHandCursor);
        lbl->setMinimumHeight(34);
        lbl->setMargin(2);
        lbl->installEventFilter(this);
        lblSignal_[static_cast<size_t>(c)] = lbl;
        auto* delta = new QLabel(panel);
        delta->setObjectName(QStringLiteral("LblDelta%1").arg(c));
        delta->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        delta->setMinimumWidth(52);
        lblDelta_[static_cast<size_t>(c)] = delta;
        row->addWidget(pctMostra_[static_cast<size_t>(c)], 0, Qt::AlignTop);
        row->addWidget(lbl, 1);
        row->addWidget(delta);
        pv->addLayout(row);
    }
    pv->addSpacing(6);
    auto* adjust = new QGridLayout;
    adjust->setSpacing(3);
    cmdUp_ = Button(panel, "CmdUp");
    cmdDw_ = Button(panel, "CmdDw");
    cmdZoomIn_ = Button(panel, "CmdZoomIn");
    cmdZoomOut_ = Button(panel, "CmdZoomOut");
    adjust->addWidget(cmdUp_, 0, 0);
    adjust->addWidget(cmdDw_, 0, 1);
    adjust->addWidget(cmdZoomIn_, 1, 0);
    adjust->addWidget(cmdZoomOut_, 1, 1);
    lblOffset_ = new QLabel(panel);
    lblOffset_->setObjectName(QStringLiteral("LblOffset"));
    lblGain_ = new QLabel(panel);
    lblGain_->setObjectName(QStringLiteral("LblGain"));
    adjust->addWidget(lblOffset_, 2, 0);
    adjust->addWidget(lblGain_, 2, 1);
    cmdReset_ = Button(panel, "CmdReset");
    adjust->addWidget(cmdReset_, 3, 0, 1, 2);
    pv->addLayout(adjust);
    connect(cmdUp_, &QPushButton::clicked, this, [this] { model_.CmdUp_Click(); });
    connect(cmdDw_, &QPushButton::clicked, this, [this] { model_.CmdDw_Click(); });
    connect(cmdZoomIn_, &QPushButton::clicked, this, [this] { model_.CmdZoomIn_Click(); });
    connect(cmdZoomOut_, &QPushButton::clicked, this, [this] { model_.CmdZoomOut_Click(); });
    connect(cmdReset_, &QPushButton::clicked, this, [this] { model_.CmdReset_Click(); });

    fraCylCoil_ = new QGroupBox(panel);
    fraCylCoil_->setObjectName(QStringLiteral("FraCylCoil"));
    auto* cg = new QGridLayout(fraCylCoil_);
    cg->setContentsMargins(4, 4, 4, 4);
    lblCyl_ = new QLabel(fraCylCoil_);
    lblCyl_->setObjectName(QStringLiteral("Label1"));
    lblCyl_->setCursor(Qt::PointingHandCursor);
    lblCyl_->installEventFilter(this);
    lblCoil_ = new QLabel(fraCylCoil_);
    cmbCyl_ = new QComboBox(fraCylCoil_);
    cmbCyl_->setObjectName(QStringLiteral("CmbCyl"));
    cmbCoil_ = new QComboBox(fraCylCoil_);
    cmbCoil_->setObjectName(QStringLiteral("CmbCoil"));
    for (int n : kCylinderChoices) {
        cmbCyl_->addItem(QString::number(n), n);
        cmbCoil_->addItem(QString::number(n), n);
    }
    cmdEscCylCoil_ = Button(fraCylCoil_, "CmdEscCylCoil");
    cg->addWidget(lblCyl_, 0, 0);
    cg->addWidget(cmbCyl_, 0, 1);
    cg->addWidget(lblCoil_, 1, 0);
    cg->addWidget(cmbCoil_, 1, 1);
    cg->addWidget(cmdEscCylCoil_, 2, 0, 1, 2);
    connect(cmdEscCylCoil_, &QPushButton::clicked, this, [this] {
        model_.CmdEscCylCoil_Click(cmbCyl_->currentData().toInt(), cmbCoil_->currentData().toInt());
    });
    pv->addWidget(fraCylCoil_);
    pv->addStretch(1);
    middle->addWidget(panel);
    root->addLayout(middle, 1);

    // --- Bottom bar ---
    auto* bottom = new QHBoxLayout;
    cmdSeekPrev_ = Button(this, "CmdSeekPrev");
    cmdSeekPrev_->setText(QStringLiteral("<<"));
    cmdSeekPrev_->setFixedWidth(36);
    sldSample_ = new QSlider(Qt::Horizontal, this);
    sldSample_->setObjectName(QStringLiteral("SldSample"));
    cmdSeekNext_ = Button(this, "CmdSeekNext");
    cmdSeekNext_->setText(QStringLiteral(">>"));
    cmdSeekNext_->setFixedWidth(36);
    bottom->addWidget(cmdSeekPrev_);
    bottom->addWidget(sldSample_, 1);
    bottom->addWidget(cmdSeekNext_);
    lblOffsetTime_ = new QLabel(this);
    lblOffsetTime_->setObjectName(QStringLiteral("LblOffsetTime"));
    lblOffsetTime_->setMinimumWidth(120);
    lblOffsetTime_->setAlignment(Qt::AlignCenter);
    lblOffsetTime_->setFrameShape(QFrame::StyledPanel);
    lblDeltaTime_ = new QLabel(this);
    lblDeltaTime_->setObjectName(QStringLiteral("LblDeltaTime"));
    lblDeltaTime_->setMinimumWidth(140);
    lblDeltaTime_->setAlignment(Qt::AlignCenter);
    lblDeltaTime_->setFrameShape(QFrame::StyledPanel);
    bottom->addWidget(lblOffsetTime_);
    bottom->addWidget(lblDeltaTime_);
    root->addLayout(bottom);
    lblHint_ = new QLabel(this);
    lblHint_->setObjectName(QStringLiteral("LblHint"));
    {
        QFont f = lblHint_->font();
        f.setPointSizeF(f.pointSizeF() * 0.85);
        lblHint_->setFont(f);
    }
    root->addWidget(lblHint_);
    connect(cmdSeekPrev_, &QPushButton::clicked, this, [this] { model_.CmdSeekPrev_Click(); });
    connect(cmdSeekNext_, &QPushButton::clicked, this, [this] { model_.CmdSeekNext_Click(); });
    connect(sldSample_, &QSlider::valueChanged, this, [this](int v) {
        if (updating_ || model_.ScrollSuppressed()) return;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        model_.SldSample_Scroll(v);
        QApplication::restoreOverrideCursor();
    });

    // --- The hidden "Setting" frame, over the picture's top-left corner ---
    fraSetting_ = new QFrame(this);
    fraSetting_->setObjectName(QStringLiteral("FraSetting"));
    fraSetting_->setFrameShape(QFrame::Box);
    SetColours(fraSetting_, QColor(36, 40, 48), Qt::white);
    auto* sv = new QVBoxLayout(fraSetting_);
    sv->setContentsMargins(8, 6, 8, 6);
    lblSettingTitle_ = new QLabel(fraSetting_);
    {
        QFont f = lblSettingTitle_->font();
        f.setBold(true);
        lblSettingTitle_->setFont(f);
    }
    sv->addWidget(lblSettingTitle_);
    for (int c = 0; c < kViewChannels; ++c) {
        auto* row = new QHBoxLayout;
        auto* chk = new QCheckBox(fraSetting_);
        chk->setObjectName(QStringLiteral("ChkSignal%1").arg(c));
        auto* txt = new QLineEdit(fraSetting_);
        txt->setObjectName(QStringLiteral("TxtSignal%1").arg(c));
        txt->setReadOnly(true);
        txt->setMinimumWidth(150);
        row->addWidget(chk);
        row->addWidget(txt, 1);
        sv->addLayout(row);
        chkSignal_[static_cast<size_t>(c)] = chk;
        txtSignal_[static_cast<size_t>(c)] = txt;
        connect(chk, &QCheckBox::clicked, this,
                [this, c](bool on) { model_.ChkSignal_Click(c, on); });
    }
    cmdEscSet_ = Button(fraSetting_, "CmdEscSet");
    sv->addWidget(cmdEscSet_);
    connect(cmdEscSet_, &QPushButton::clicked, this, [this] { model_.CmdEscSet_Click(); });
    fraSetting_->adjustSize();
    fraSetting_->setVisible(false);
}

void FrmView::ApplyTexts() {
    const ViewerTexts& t = model_.Texts();
    optRun_[0]->setText(t.run);
    optRun_[1]->setText(t.stop);
    cmdOpen_->setText(t.open);
    cmdReload_->setText(t.reload);
    cmdSave_->setText(t.save);
    cmdCsv_->setText(t.csv);
    lblInj_->setText(t.injector);
    lblSecDivCaption_->setText(t.secDiv);
    cmdUp_->setText(t.up);
    cmdDw_->setText(t.down);
    cmdZoomIn_->setText(t.zoomIn);
    cmdZoomOut_->setText(t.zoomOut);
    cmdReset_->setText(t.reset);
    // "Cilinder && Coil ": the doubled ampersand shows as one, in Qt as well.
    fraCylCoil_->setTitle(t.cylCoil);
    lblCyl_->setText(t.cylinder);
    lblCoil_->setText(t.coil);
    cmdEscCylCoil_->setText(t.esc);
    lblSettingTitle_->setText(t.setting);
    cmdEscSet_->setText(t.esc);
    lblHint_->setText(t.cursorHint);
    for (int c = 0; c < kViewChannels; ++c)
        txtSignal_[static_cast<size_t>(c)]->setText(t.names[static_cast<size_t>(c)]);
}

void FrmView::UpdateControls() {
    updating_ = true;
    const bool run = model_.RunMode();
    optRun_[0]->setChecked(run);
    optRun_[1]->setChecked(!run);
    optRun_[0]->setEnabled(model_.RunStopEnabled());
    optRun_[1]->setEnabled(model_.RunStopEnabled());
    for (auto* b : {cmdOpen_, cmdReload_, cmdSave_, cmdCsv_})
        b->setEnabled(model_.FileCommandsEnabled());
    cmdSecDivP_->setEnabled(model_.SecDivPlusEnabled());
    cmdSecDivM_->setEnabled(model_.SecDivMinusEnabled());
    lblSecDiv_->setText(model_.SecDivLabel());
    sldSample_->setVisible(model_.SliderVisible());
    sldSample_->setRange(0, std::max(0, model_.SliderMax()));
    sldSample_->setPageStep(std::max(1, model_.SliderLargeStep()));
    sldSample_->setSingleStep(std::max(1, model_.SliderLargeStep() / 10));
    sldSample_->setValue(model_.SliderValue());
    const bool windowButtons = !run && model_.WindowButtonsVisible();
    cmdSeekPrev_->setVisible(windowButtons);
    cmdSeekNext_->setVisible(windowButtons);
    cmdSeekPrev_->setEnabled(model_.Window().prevEnabled);
    cmdSeekNext_->setEnabled(model_.Window().nextEnabled);
    if (model_.SettingsFrameVisible() && !fraSetting_->isVisible()) {
        for (int c = 0; c < kViewChannels; ++c)
            chkSignal_[static_cast<size_t>(c)]->setChecked(model_.Ticked(c));
        fraSetting_->adjustSize();
        fraSetting_->move(picture_->geometry().topLeft() + QPoint(1, 2));
        fraSetting_->raise();
    }
    fraSetting_->setVisible(model_.SettingsFrameVisible());
    fraCylCoil_->setVisible(model_.CylCoilFrameVisible());
    if (model_.CylCoilFrameVisible()) {
        cmbCyl_->setCurrentIndex(cmbCyl_->findData(model_.Cylinders()));
        cmbCoil_->setCurrentIndex(cmbCoil_->findData(model_.Coils()));
    }
    setWindowTitle(model_.Caption());
    updating_ = false;
}

void FrmView::UpdateChannels() {
    for (int c = 0; c < kViewChannels; ++c) {
        const size_t i = static_cast<size_t>(c);
        const QColor colour = SignalPicture::ToQColor(model_.Channels()[i].colour);
        pctMostra_[i]->Show(model_.Channels()[i].shown, colour);
        // The selected channel: its colour as background with black text.
        if (c == model_.SelectedChannel())
            SetColours(lblSignal_[i], colour, Qt::black);
        else
            SetColours(lblSignal_[i], kPanelColour, colour);
        SetColours(lblDelta_[i], kPanelColour, colour);
        chkSignal_[i]->setChecked(model_.Ticked(c));
        SetColours(txtSignal_[i], QColor(16, 20, 24), colour);
    }
    lblOffset_->setText(model_.OffsetText());
    lblGain_->setText(model_.GainText());
    picture_->PlaceZeroMarkers();
}

void FrmView::UpdateReadout() {
    for (int c = 0; c < kViewChannels; ++c) {
        const size_t i = static_cast<size_t>(c);
        if (lblSignal_[i]->text() != model_.SignalLabel(c))
            lblSignal_[i]->setText(model_.SignalLabel(c));
        if (lblDelta_[i]->text() != model_.DeltaLabel(c))
            lblDelta_[i]->setText(model_.DeltaLabel(c));
    }
    lblOffsetTime_->setText(model_.TimeLabel());
    lblDeltaTime_->setText(model_.DeltaTimeLabel());
    lblDeltaTime_->setVisible(!model_.DeltaTimeLabel().isEmpty());
    lblOffsetTime_->setVisible(!model_.RunMode());
    pctSwitch_->Refresh();
    picture_->update();
}

void FrmView::ShowLoading(bool visible, const QString& text) {
    lblLoading_->setText(text);
    lblLoading_->setVisible(visible);
    // The indicator shows at once, also while a file is read.
    lblLoading_->repaint();
}

bool FrmView::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::MouseButtonRelease) {
        // A value label selects its channel; "CYLINDER" shows or hides the
        // window buttons.
        for (int c = 0; c < kViewChannels; ++c)
            if (watched == lblSignal_[static_cast<size_t>(c)]) model_.LblSignal_Click(c);
        if (watched == lblCyl_) model_.Label1_Click();
    }
    return QWidget::eventFilter(watched, e);
}

void FrmView::closeEvent(QCloseEvent* e) {
    if (model_.Busy()) {
        // A file is being read (the reader lets events run): close after it.
        e->ignore();
        QTimer::singleShot(100, this, [this] { close(); });
        return;
    }
    if (closing_ || model_.Form_QueryUnload()) {
        e->accept();
        return;
    }
    // Running: the tick that handles the stop closes the window. A picture
    // run (scripts/screenshot.sh) answers the save question itself, or the
    // program would wait for it at its exit.
    if (!qEnvironmentVariable("GASCAL_FRMVIEW_CURSORS").isEmpty() && !demoPrompts_) {
        demoPrompts_ = std::make_unique<ScriptedPrompts>();
        demoPrompts_->answers.push_back(BoxResult::No);
        demoScope_ = std::make_unique<ScopedPrompts>(*demoPrompts_);
    }
    e->ignore();
}

void FrmView::keyReleaseEvent(QKeyEvent* e) {
    const auto mods = e->modifiers();
    if (e->key() == kSettingKey && (mods & Qt::ControlModifier) && (mods & Qt::ShiftModifier) &&
        (mods & Qt::AltModifier)) {
        model_.ShowSettingsFrame();
        return;
    }
    QWidget::keyReleaseEvent(e);
}

}  // namespace gascal
