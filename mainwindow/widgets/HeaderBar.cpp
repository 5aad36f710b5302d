#include "mainwindow/widgets/HeaderBar.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <functional>

#include "common/Helpers.h"
#include "data/core/ScaleConfig.h"
#include "mainwindow/controller/LiveModel.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/widgets/WidgetKit.h"
#include "pages/ctrlbar/UCtrlBar.h"

namespace gascal {

namespace {
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
    // `name` ImgLogo or ImgLogoS, `image` the picture of the installation's
    // LNG folder ("img2.img", "img3.img").
    LogoSwitch(QWidget* parent, const char* name, const char* image,
               std::function<void()> onRelease)
        : QFrame(parent), onRelease_(std::move(onRelease)) {
        setObjectName(QString::fromLatin1(name));
        setFrameShape(QFrame::Panel);
        setFrameShadow(QFrame::Plain);
        setMinimumSize(150, 44);
        setCursor(Qt::PointingHandCursor);
        const QString img = SystemPath(QStringLiteral("\\LNG\\") + QLatin1String(image));
        if (FileExists(img)) pixmap_.load(img);
    }
    bool HasPicture() const { return !pixmap_.isNull(); }
    void SetGas(bool gas) {
        if (gas != gas_) {
            gas_ = gas;
            update();
        }
    }

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
        p.setBrush(pressed_ ? palette().button().color()
                            : (gas_ ? QColor(0, 200, 255) : Qt::black));
        p.drawEllipse(lamp);
        QFrame::paintEvent(e);
    }

  private:
    std::function<void()> onRelease_;
    QPixmap pixmap_;
    bool pressed_ = false;
    bool gas_ = false;
};

namespace {
// A status box: ticked with the shadow colour behind it, unticked with the
// button face; a caption when the state has one.
void SetBox(QCheckBox* box, bool ticked, const QString& caption = QString()) {
    if (!caption.isEmpty() && box->text() != caption) box->setText(caption);
    // Out of the unknown state first, then no third state any more.
    const Qt::CheckState want = ticked ? Qt::Checked : Qt::Unchecked;
    if (box->checkState() != want) box->setCheckState(want);
    if (box->isTristate()) box->setTristate(false);
    const QPalette& pal = box->parentWidget()->palette();
    Fill(box, ticked ? pal.shadow().color() : pal.button().color());
}
}  // namespace

HeaderBar::HeaderBar(MainController& controller, LiveModel& live, const ScaleConfig& scale,
                     QWidget* parent)
    : QWidget(parent), ctl_(controller), live_(live) {
    auto* h = new QHBoxLayout(this);
    h->setContentsMargins(0, 0, 0, 0);
    imgLogo_ = new LogoSwitch(this, "ImgLogo", "img2.img", [this] { ctl_.ImgLogo_MouseUp(); });
    h->addWidget(imgLogo_);
    // The second logo is a fuel switch too; it is there when the
    // installation has its picture.
    imgLogoS_ = new LogoSwitch(this, "ImgLogoS", "img3.img", [this] { ctl_.ImgLogo_MouseUp(); });
    imgLogoS_->setVisible(imgLogoS_->HasPicture());
    h->addWidget(imgLogoS_);
    ckbKey_ = StatusBox(this, "CkbKey", QStringLiteral("KEY"));
    ckbEv1_ = StatusBox(this, "CkbeV_01", QStringLiteral("EV 1"));
    ckbEv2_ = StatusBox(this, "CkbeV_02", QStringLiteral("EV 2"));
    ckbStatoAlim_ = StatusBox(this, "CkbStatoAlim", QStringLiteral("BNZ"));
    ckbStatoEcu_ = StatusBox(this, "CkbStatoEcu", QStringLiteral("RUN"));
    for (auto* b : {ckbKey_, ckbEv1_, ckbEv2_, ckbStatoAlim_, ckbStatoEcu_}) h->addWidget(b);
    ckbEv2_->setVisible(scale.CkbeV02Visible);
    ckbStatoAlim_->setVisible(false);
    ckbStatoEcu_->setVisible(false);
    h->addStretch(1);
    cmdView_ = new QPushButton(this);
    cmdView_->setObjectName(QStringLiteral("CmdView"));
    connect(cmdView_, &QPushButton::clicked, this, [this] { ctl_.CmdView_Click(); });
    h->addWidget(cmdView_);
    cmdErrInj_ = new QPushButton(QStringLiteral("Errori"), this);
    cmdErrInj_->setObjectName(QStringLiteral("CmdErrInj"));
    FillButton(cmdErrInj_, UCtrlBar::ToQColor(kErrorButtonColour));
    cmdErrInj_->setVisible(false);
    connect(cmdErrInj_, &QPushButton::clicked, this, [this] { ctl_.CmdErrInj_Click(); });
    h->addWidget(cmdErrInj_);
    cmdExpert_ = new QPushButton(QStringLiteral("Expert"), this);
    cmdExpert_->setObjectName(QStringLiteral("CmdExpert0"));
    cmdExpert_->setVisible(false);
    connect(cmdExpert_, &QPushButton::clicked, this, [this] { ctl_.CmdExpert_Click(); });
    h->addWidget(cmdExpert_);
    lblRpm_ = new QLabel(this);
    lblRpm_->setObjectName(QStringLiteral("LblRpmHeader"));
    h->addWidget(lblRpm_);
    txtRpm1_ = ValueBox(this, "TxtRpm1", 4, true);
    txtRpm1_->setText(QStringLiteral("0000"));
    h->addWidget(txtRpm1_);

    connect(&live_, &LiveModel::changed, this, &HeaderBar::ShowLive);
    connect(&ctl_, &MainController::serviceViewChanged, this, &HeaderBar::ShowServiceView);
    connect(&ctl_, &MainController::errorButton, this, &HeaderBar::ShowErrorButton);
    connect(&ctl_, &MainController::languageChanged, this, &HeaderBar::ApplyLanguage);
    ApplyLanguage();
}

QString HeaderBar::RpmText() const {
    return txtRpm1_->text();
}

void HeaderBar::ApplyLanguage() {
    lblRpm_->setText(ctl_.CaptionText(Cap::LblRpm));
    cmdView_->setText(ctl_.ViewerCaption());
}

void HeaderBar::ShowLive(LivePart part) {
    const LiveDisplay& d = live_.Display();
    switch (part) {
        case LivePart::RpmAndInj:
            SetText(txtRpm1_, d.rpmText);
            break;
        case LivePart::LambdaAndMarks:
            imgLogo_->SetGas(d.runningOnGas);
            imgLogoS_->SetGas(d.runningOnGas);
            break;
        case LivePart::Status: {
            const StatusBoxes& b = d.boxes;
            SetBox(ckbKey_, b.key);
            SetBox(ckbEv1_, b.ev1);
            SetBox(ckbEv2_, b.ev2);
            if (!b.known) {
                // Unknown: neither ticked nor unticked.
                for (QCheckBox* box : {ckbKey_, ckbEv1_, ckbEv2_}) {
                    box->setTristate(true);
                    box->setCheckState(Qt::PartiallyChecked);
                }
            }
            if (b.fuel != BoxState::Unchanged) {
                SetBox(ckbStatoAlim_, b.fuel == BoxState::Ticked, b.fuelCaption);
                // White on the shadow for "GAS", cyan on the button face for "BNZ".
                const QColor text =
                    b.fuel == BoxState::Ticked ? QColor(Qt::white) : QColor(Qt::cyan);
                if (ckbStatoAlim_->palette().color(QPalette::WindowText) != text) {
                    QPalette p = ckbStatoAlim_->palette();
                    p.setColor(QPalette::WindowText, text);
                    ckbStatoAlim_->setPalette(p);
                }
            }
            if (b.ecu != BoxState::Unchanged)
                SetBox(ckbStatoEcu_, b.ecu == BoxState::Ticked, b.ecuCaption);
            break;
        }
        case LivePart::Temperatures:
            break;
    }
}

void HeaderBar::ShowServiceView(bool on) {
    ckbStatoEcu_->setVisible(on);
    ckbStatoAlim_->setVisible(on);
    cmdExpert_->setVisible(on);
}

void HeaderBar::ShowErrorButton(bool visible, const QString& caption) {
    if (!visible) {
        cmdErrInj_->setVisible(false);
        return;
    }
    if (cmdErrInj_->text() != caption) cmdErrInj_->setText(caption);
    const QColor orange = UCtrlBar::ToQColor(kErrorButtonColour);
    if (cmdErrInj_->palette().button().color() != orange) FillButton(cmdErrInj_, orange);
    if (cmdErrInj_->isHidden()) cmdErrInj_->setVisible(true);
}

}  // namespace gascal
