#include "mainwindow/upgrade/FrmUpdate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "common/widgets/QtPrompts.h"
#include "ecu/EcuSession.h"
#include "ecu/UpgradeTexts.h"
#include "ecu/WindowRegistry.h"

namespace gascal {

namespace {
constexpr int kBlinkMs = 200;
constexpr double kModalPollUs = 20000;
constexpr int kBarSteps = 1000;
const QColor kRed(255, 0, 0);       // 255
const QColor kOrange(255, 128, 0);  // 33023
constexpr int kWidthTwips = 7200;
constexpr int kHeightTwips = 4200;

const WindowRegistration kRegistration("FrmUpdate", &FrmUpdate::Open);
}  // namespace

QString FrmUpdate::ChooseBackup(const EcuSession& session,
                                const std::vector<BackupCandidate>& candidates) {
    // One question a backup, newest first: the first "Yes" is the one.
    const QString caption = UpgradeText(UpText::UpdateCaption, session.Lookup());
    const QString intro = UpgradeText(UpText::MsgChooseBackup, session.Lookup());
    for (const BackupCandidate& c : candidates) {
        const QString text =
            QStringLiteral("%1\n\n%2  %3\n%4").arg(intro).arg(c.serial).arg(c.time, c.path);
        if (UserPrompts().MessageBox(text, caption, BoxIcon::Question, BoxButtons::YesNo) ==
            BoxResult::Yes)
            return c.path;
    }
    return QString();
}

FrmUpdate::FrmUpdate(EcuSession& session, FirmwareUpgrade::Options options, QWidget* parent)
    : QDialog(parent), upgrade_(std::make_unique<FirmwareUpgrade>(session, std::move(options))) {
    setObjectName(QStringLiteral("FrmUpdate"));
    setWindowTitle(UpgradeText(UpText::UpdateCaption, session.Lookup()));
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));
    setAutoFillBackground(true);

    auto* lay = new QVBoxLayout(this);
    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("LblMessage"));
    message_->setWordWrap(true);
    message_->setAlignment(Qt::AlignCenter);
    message_->setMinimumHeight(80);
    message_->setAutoFillBackground(true);
    QFont bold = message_->font();
    bold.setBold(true);
    message_->setFont(bold);
    lay->addWidget(message_);

    auto* grid = new QGridLayout();
    auto* ecuCaption = new QLabel(QStringLiteral("Ecu release: "), this);
    auto* fileCaption = new QLabel(QStringLiteral("File release: "), this);
    ecuRelease_ = new QLabel(this);
    ecuRelease_->setObjectName(QStringLiteral("LblEcuReleaseVal"));
    fileRelease_ = new QLabel(this);
    fileRelease_->setObjectName(QStringLiteral("LblFileReleaseVal"));
    for (QLabel* l : {ecuCaption, fileCaption, ecuRelease_, fileRelease_}) {
        l->setAutoFillBackground(true);
        l->setFont(bold);
    }
    grid->addWidget(ecuCaption, 0, 0);
    grid->addWidget(ecuRelease_, 0, 1);
    grid->addWidget(fileCaption, 1, 0);
    grid->addWidget(fileRelease_, 1, 1);
    grid->setColumnStretch(1, 1);
    lay->addLayout(grid);

    step_ = new QLabel(this);
    step_->setObjectName(QStringLiteral("LblStep"));
    step_->setAutoFillBackground(true);
    lay->addWidget(step_);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("ShpBar"));
    bar_->setRange(0, kBarSteps);
    bar_->setTextVisible(false);
    bar_->setVisible(false);
    lay->addWidget(bar_);

    auto* buttons = new QHBoxLayout();
    next_ = new QPushButton(QStringLiteral("Next"), this);
    next_->setObjectName(QStringLiteral("CmdUpdate"));
    next_->setAutoDefault(false);
    esc_ = new QPushButton(QStringLiteral("Esc"), this);
    esc_->setObjectName(QStringLiteral("CmdEsc"));
    esc_->setAutoDefault(false);
    buttons->addStretch(1);
    buttons->addWidget(next_);
    buttons->addWidget(esc_);
    lay->addLayout(buttons);

    connect(next_, &QPushButton::clicked, this, [this] {
        upgrade_->Next();
        Refresh();
    });
    connect(esc_, &QPushButton::clicked, this, [this] {
        upgrade_->Esc();
        Refresh();
    });
    upgrade_->OnChanged([this] { Refresh(); });

    resize(TwipsToPixels(kWidthTwips), TwipsToPixels(kHeightTwips));
    SwapBackground();
    Refresh();
    timer_ = std::make_unique<Timer>("FrmUpdate", kBlinkMs, [this] { SwapBackground(); });
    timer_->SetEnabled(true);
}

FrmUpdate::~FrmUpdate() {
    timer_.reset();
    if (busyCursor_) QApplication::restoreOverrideCursor();
}

QColor FrmUpdate::Background() const {
    return palette().color(QPalette::Window);
}

void FrmUpdate::SwapBackground() {
    QPalette p = palette();
    p.setColor(QPalette::Window, red_ ? kRed : kOrange);
    setPalette(p);
    red_ = !red_;
}

void FrmUpdate::Refresh() {
    const FirmwareUpgrade& u = *upgrade_;
    if (message_->text() != u.Message()) message_->setText(u.Message());
    const QString ecu = u.EcuRelease(), file = u.FileRelease();
    if (ecuRelease_->text() != ecu) ecuRelease_->setText(ecu);
    if (fileRelease_->text() != file) fileRelease_->setText(file);
    // Steps without a label of their own leave the one before.
    const QString label = FirmwareUpgrade::StepLabel(u.Step());
    if (!label.isEmpty() && step_->text() != label) step_->setText(label);
    const int value = static_cast<int>(u.Progress() * kBarSteps + 0.5);
    if (bar_->value() != value) bar_->setValue(value);
    if (bar_->isVisibleTo(this) != u.BarVisible()) bar_->setVisible(u.BarVisible());
    if (next_->isVisibleTo(this) != u.NextVisible()) next_->setVisible(u.NextVisible());
    next_->setEnabled(u.NextEnabled() && !u.Busy());
    esc_->setEnabled(u.EscEnabled());
    if (u.Busy() != busyCursor_) {
        busyCursor_ = u.Busy();
        if (busyCursor_)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    }
    if (u.CloseRequested() && !finished_) {
        finished_ = true;
        timer_->SetEnabled(false);
        hide();
    }
}

void FrmUpdate::reject() {
    upgrade_->Esc();
    Refresh();
}

void FrmUpdate::closeEvent(QCloseEvent* e) {
    // The window's close box is "Esc"; it closes only by the upgrade's rules.
    if (!finished_) {
        upgrade_->Esc();
        Refresh();
    }
    if (finished_)
        e->accept();
    else
        e->ignore();
}

int FrmUpdate::Open(WindowContext& context) {
    const bool offered = context.argument == 1;
    FirmwareUpgrade::Options options;
    options.chooseBackup = [&context](const std::vector<BackupCandidate>& candidates) {
        return ChooseBackup(context.session, candidates);
    };
    FrmUpdate w(context.session, std::move(options), context.owner);
    w.setWindowModality(Qt::ApplicationModal);
    w.show();
    CentreWindow(&w);
    while (!w.Finished()) WaitMicroSeconds(kModalPollUs);
    const FirmwareUpgrade& u = w.Upgrade();
    return u.Result() || (offered && !u.EcuTouched()) ? 1 : 0;
}

}  // namespace gascal
