#include "mainwindow/widgets/FrmSetExpert.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "common/Helpers.h"
#include "common/widgets/QtPrompts.h"
#include "ecu/PollingCycle.h"
#include "ecu/WindowRegistry.h"
#include "mainwindow/controller/ControlLayout.h"
#include "mainwindow/widgets/LayoutApply.h"

namespace gascal {

namespace {

const WindowRegistration kSetExpertWindow("FrmSetExpert", [](WindowContext& c) {
    FrmSetExpert* page = nullptr;
    if (c.owner)
        for (auto* open :
             c.owner->findChildren<FrmSetExpert*>(QString(), Qt::FindDirectChildrenOnly))
            if (open->isVisible()) page = open;
    if (!page) page = new FrmSetExpert(c.session, c.cycle.Scheduler(), c.owner);
    page->show();
    page->raise();
    page->activateWindow();
    page->Activate();
    return 0;
});

// The window at load shows only the password box (client area, twips).
constexpr int kLoadWidthTwips = 3465;
constexpr int kLoadHeightTwips = 555;
constexpr int kEditColour = 0xFFFF00;  // yellow: a step box being typed in

enum class W : uint8_t { Frame, Label, Check, Combo, Text, Button };

// Where each control of the page stands, in twips, in its frame (or the
// window). Rows of the frames are 405 twips apart.
struct Design {
    const char* name;
    const char* frame;  // "" for the window itself
    W kind;
    int left, top, width, height;
};
constexpr int Row(int r) {
    return 300 + r * 405;
}
constexpr int kH = 345;    // a control's height
constexpr int kLx = 120;   // left of a frame's controls
constexpr int kLw = 2760;  // width of a label beside a control
constexpr int kCx = 3000;  // left of a control beside its label

constexpr Design kDesign[] = {
    {"FrmExp", "", W::Frame, 120, 600, 5640, 6060},
    {"FrmTrueExpert", "", W::Frame, 5880, 600, 5400, 6060},
    // First level.
    {"ChkAbilComp", "FrmExp", W::Check, kLx, Row(0), 5280, kH},
    {"LblPressVo", "FrmExp", W::Label, kLx, Row(1), kLw, kH},
    {"CmbpressVolRef", "FrmExp", W::Combo, kCx, Row(1), 2400, kH},
    {"LblTempVo", "FrmExp", W::Label, kLx, Row(2), kLw, kH},
    {"CmbtempVolRef", "FrmExp", W::Combo, kCx, Row(2), 2400, kH},
    {"ChkMaxPower", "FrmExp", W::Check, kLx, Row(3), kLw, kH},
    {"CmbMaxPowerSoh", "FrmExp", W::Combo, kCx, Row(3), 2400, kH},
    {"ChkMinRpmAbil", "FrmExp", W::Check, kLx, Row(4), 5280, kH},
    {"LblMinPowerSoh", "FrmExp", W::Label, kLx, Row(5), kLw, kH},
    {"CmbRpmHight", "FrmExp", W::Combo, kCx, Row(5), 2400, kH},
    {"LblMinPowerSol", "FrmExp", W::Label, kLx, Row(6), kLw, kH},
    {"CmbRpmLow", "FrmExp", W::Combo, kCx, Row(6), 2400, kH},
    {"ChkAbilCompRpm", "FrmExp", W::Check, kLx, Row(7), 5280, kH},
    {"LblTempSens", "FrmExp", W::Label, kLx, Row(8), kLw, kH},
    {"CmbTypSensTemp", "FrmExp", W::Combo, kCx, Row(8), 2400, kH},
    {"LblPressSens", "FrmExp", W::Label, kLx, Row(9), kLw, kH},
    {"CmbTypSensMap", "FrmExp", W::Combo, kCx, Row(9), 2400, kH},
    {"LblSogliaInj", "FrmExp", W::Label, kLx, Row(10), kLw, kH},
    {"CmbBadBit", "FrmExp", W::Combo, kCx, Row(10), 2400, kH},
    {"LblSafetyCar", "FrmExp", W::Label, kLx, Row(11), kLw, kH},
    {"CmbSafetyCar", "FrmExp", W::Combo, kCx, Row(11), 2400, kH},
    {"LblTimeWork", "FrmExp", W::Label, kLx, Row(12), 5280, 750},
    // Second level.
    {"LblTemperUnderPreInj", "FrmTrueExpert", W::Label, kLx, Row(0), kLw, kH},
    {"CmbTemperUnderPreInj", "FrmTrueExpert", W::Combo, kCx, Row(0), 2160, kH},
    {"LblValuePreInj", "FrmTrueExpert", W::Label, kLx, Row(1), kLw, kH},
    {"CmbValuePreInj", "FrmTrueExpert", W::Combo, kCx, Row(1), 2160, kH},
    {"LblDefTimeSovra", "FrmTrueExpert", W::Label, kLx, Row(2), kLw, kH},
    {"CmbDefTimeSovra", "FrmTrueExpert", W::Combo, kCx, Row(2), 2160, kH},
    {"LblnotOsservaRpm", "FrmTrueExpert", W::Label, kLx, Row(3), kLw, kH},
    {"ChknotOsservaRpm", "FrmTrueExpert", W::Check, kCx, Row(3), kH, kH},
    {"LblversoComm", "FrmTrueExpert", W::Label, kLx, Row(4), kLw, kH},
    {"ChkversoComm", "FrmTrueExpert", W::Check, kCx, Row(4), kH, kH},
    {"ChkSingleChComm", "FrmTrueExpert", W::Check, kLx, Row(5), 5160, kH},
    {"Lblsoh_Tfra_Comm", "FrmTrueExpert", W::Label, kLx, Row(6), kLw, kH},
    {"Txtsoh_Tfra_Comm", "FrmTrueExpert", W::Text, kCx, Row(6), 1200, kH},
    {"LblSoh_Ton_Comm", "FrmTrueExpert", W::Label, kLx, Row(7), kLw, kH},
    {"TxtSoh_Ton_Comm", "FrmTrueExpert", W::Text, kCx, Row(7), 1200, kH},
    {"CmdClearHoursCnt", "FrmTrueExpert", W::Button, kLx, Row(8), 2160, 375},
    {"CmdChangeStatoEcu", "FrmTrueExpert", W::Button, kLx, Row(9), 5160, 375},
};

QRect Twips(int left, int top, int width, int height) {
    return {TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height)};
}

// A twips size of a widget's geometry (the window's own formulas count twips).
int ToTwips(int px) {
    return px * TwipsPerPixel;
}

void SetColour(QWidget* w, QPalette::ColorRole role, const QColor& c) {
    if (w->palette().color(role) == c) return;
    QPalette p = w->palette();
    p.setColor(role, c);
    w->setPalette(p);
}

}  // namespace

FrmSetExpert::FrmSetExpert(EcuSession& session, RequestScheduler& scheduler, QWidget* owner)
    : QWidget(owner, Qt::Window), model_(session, scheduler) {
    setObjectName(QStringLiteral("FrmSetExpert"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(ExpertModel::WindowCaption());
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));
    Build();

    connect(&model_, &ExpertModel::levelChanged, this, &FrmSetExpert::ShowLevel);
    connect(&model_, &ExpertModel::filled, this, &FrmSetExpert::ShowAll);
    connect(&model_, &ExpertModel::controlChanged, this, &FrmSetExpert::ShowControl);
    connect(&model_, &ExpertModel::timeWorkChanged, this, [this](const QString& t) {
        lblTimeWork_->setText(QString(t).remove(QLatin1Char('\r')));
    });
    connect(&model_, &ExpertModel::busy, this, &FrmSetExpert::SetBusy);

    // Form_Load: texts, the layout file, an empty password box, only the
    // password box in view.
    ApplyCaptions();
    ApplyLayoutFile();
    txtPw_->clear();
    ShowLevel(ExpertLevel::Locked);
}

FrmSetExpert::~FrmSetExpert() {
    SetBusy(false);
}

void FrmSetExpert::Build() {
    txtPw_ = new QLineEdit(this);
    txtPw_->setObjectName(QStringLiteral("TxtPw"));
    txtPw_->setEchoMode(QLineEdit::Password);
    txtPw_->setGeometry(Twips(120, 105, 3225, kH));
    connect(txtPw_, &QLineEdit::returnPressed, this,
            [this] { model_.EnterPassword(txtPw_->text()); });
    named_.push_back(txtPw_);

    for (const Design& d : kDesign) {
        QWidget* parent = this;
        if (d.frame[0] != '\0') parent = Control(d.frame);
        QWidget* w = nullptr;
        switch (d.kind) {
            case W::Frame:
                w = new QGroupBox(parent);
                break;
            case W::Label:
                w = new QLabel(parent);
                break;
            case W::Check:
                w = new QCheckBox(parent);
                break;
            case W::Combo: {
                auto* c = new QComboBox(parent);
                c->view()->setTextElideMode(Qt::ElideNone);
                w = c;
                break;
            }
            case W::Text:
                w = new QLineEdit(parent);
                break;
            case W::Button:
                w = new QPushButton(parent);
                break;
        }
        w->setObjectName(QString::fromLatin1(d.name));
        w->setGeometry(Twips(d.left, d.top, d.width, d.height));
        named_.push_back(w);
    }
    frmExp_ = findChild<QGroupBox*>(QStringLiteral("FrmExp"));
    frmTrueExpert_ = findChild<QGroupBox*>(QStringLiteral("FrmTrueExpert"));
    lblTimeWork_ = findChild<QLabel*>(QStringLiteral("LblTimeWork"));
    lblTimeWork_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblTimeWork_->setText(QStringLiteral("Time work"));
    findChild<QLabel*>(QStringLiteral("LblPressSens"))->setText(QStringLiteral("MAP sensor"));
    cmdClearHoursCnt_ = findChild<QPushButton*>(QStringLiteral("CmdClearHoursCnt"));
    cmdChangeStatoEcu_ = findChild<QPushButton*>(QStringLiteral("CmdChangeStatoEcu"));
    connect(cmdClearHoursCnt_, &QPushButton::clicked, this,
            [this] { model_.CmdClearHoursCnt_Click(); });
    connect(cmdChangeStatoEcu_, &QPushButton::clicked, this,
            [this] { model_.CmdChangeStatoEcu_Click(); });

    for (int i = 0; i < kExpertControls; ++i) {
        const auto c = static_cast<ExpertControl>(i);
        QWidget* w = Control(ExpertControlSpec(c).name);
        controls_[static_cast<size_t>(i)] = w;
        if (auto* box = qobject_cast<QCheckBox*>(w)) {
            // Only the fitter's clicks reach the handler.
            connect(box, &QCheckBox::clicked, this,
                    [this, c](bool on) { model_.CheckClicked(c, on); });
        } else if (auto* list = qobject_cast<QComboBox*>(w)) {
            connect(list, &QComboBox::activated, this,
                    [this, c](int index) { model_.ListPicked(c, index); });
        } else if (auto* text = qobject_cast<QLineEdit*>(w)) {
            connect(text, &QLineEdit::textEdited, this, [this, c] { model_.TextTyped(c); });
            connect(text, &QLineEdit::returnPressed, this,
                    [this, c, text] { model_.TextEntered(c, text->text()); });
        }
    }
}

QWidget* FrmSetExpert::Control(const char* name) const {
    return FindControl(const_cast<FrmSetExpert*>(this), QString::fromLatin1(name), std::nullopt);
}

void FrmSetExpert::ApplyCaptions() {
    for (const auto& [name, text] : model_.Captions()) {
        QWidget* w = FindControl(this, name, std::nullopt);
        if (auto* l = qobject_cast<QLabel*>(w))
            l->setText(text);
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            b->setText(text);
    }
    cmdChangeStatoEcu_->setText(model_.ChangeEcuModeCaption());
}

void FrmSetExpert::ApplyLayoutFile() {
    ApplyControlLayout(this, SystemPath(QString::fromLatin1(kExpertLayoutPath)),
                       QString::fromLatin1(kExpertLayoutStart),
                       QString::fromLatin1(kExpertLayoutEnd));
}

void FrmSetExpert::FitTo(int widthTwips, int heightTwips) {
    setFixedSize(TwipsToPixels(widthTwips), TwipsToPixels(heightTwips));
    CentreWindow(this);
}

void FrmSetExpert::ShowLevel(ExpertLevel level) {
    // The window's own sizes leave out its border and title (the window
    // system adds them): the frames and their margins make the client area.
    const QRect e = frmExp_->geometry();
    const QRect t = frmTrueExpert_->geometry();
    switch (level) {
        case ExpertLevel::Locked:
            FitTo(kLoadWidthTwips, kLoadHeightTwips);
            break;
        case ExpertLevel::First:
            frmExp_->show();
            frmTrueExpert_->hide();
            FitTo(ToTwips(e.width() + 2 * e.left()), ToTwips(e.height() + e.top()));
            ApplyLayoutFile();
            break;
        case ExpertLevel::Second:
            frmExp_->show();
            frmTrueExpert_->show();
            FitTo(ToTwips(t.width() + t.left() + e.left()), ToTwips(e.height() + e.top()));
            for (QWidget* w : named_) w->show();
            break;
    }
    // The layout file may rearrange the frames, never open them.
    frmExp_->setEnabled(level >= ExpertLevel::First);
    frmTrueExpert_->setEnabled(level >= ExpertLevel::Second);
    if (level < ExpertLevel::First) frmExp_->hide();
    if (level < ExpertLevel::Second) frmTrueExpert_->hide();
}

void FrmSetExpert::ShowControl(ExpertControl c) {
    QWidget* w = controls_[static_cast<size_t>(c)];
    if (!w) return;
    const ExpertControlState& s = model_.State(c);
    if (w->isEnabled() != s.enabled) w->setEnabled(s.enabled);
    if (w->isHidden() == s.shown) w->setVisible(s.shown);
    if (auto* box = qobject_cast<QCheckBox*>(w)) {
        if (box->isChecked() != s.checked) box->setChecked(s.checked);
    } else if (auto* list = qobject_cast<QComboBox*>(w)) {
        bool same = list->count() == static_cast<int>(s.items.size());
        for (int i = 0; same && i < list->count(); ++i)
            same = list->itemText(i) == s.items[static_cast<size_t>(i)].text;
        if (!same) {
            list->clear();
            for (const ListEntry& e : s.items) list->addItem(e.text);
            list->view()->setMinimumWidth(list->view()->sizeHintForColumn(0) + 8);
        }
        if (list->currentIndex() != s.selected) list->setCurrentIndex(s.selected);
    } else if (auto* text = qobject_cast<QLineEdit*>(w)) {
        // While the fitter types, the box keeps what is typed.
        if (!s.editing && text->text() != s.text) text->setText(s.text);
        SetColour(text, QPalette::Base,
                  s.editing ? QColor(QRgb(kEditColour))
                            : QApplication::palette(text).color(QPalette::Base));
    }
}

void FrmSetExpert::ShowAll() {
    for (int i = 0; i < kExpertControls; ++i) ShowControl(static_cast<ExpertControl>(i));
    lblTimeWork_->setText(QString(model_.TimeWorkText()).remove(QLatin1Char('\r')));
}

void FrmSetExpert::Activate() {
    model_.Form_Activate();
    txtPw_->setFocus();
}

bool FrmSetExpert::event(QEvent* e) {
    const bool handled = QWidget::event(e);
    if (e->type() == QEvent::WindowActivate) Activate();
    return handled;
}

void FrmSetExpert::SetBusy(bool on) {
    if (on == busy_) return;
    busy_ = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

}  // namespace gascal
