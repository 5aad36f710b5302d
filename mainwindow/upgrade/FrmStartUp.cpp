#include "mainwindow/upgrade/FrmStartUp.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "common/widgets/QtPrompts.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "ecu/UpgradeTexts.h"
#include "ecu/WindowRegistry.h"

namespace gascal {

namespace {
constexpr int kBlinkMs = 500;
constexpr double kModalPollUs = 20000;
const QColor kOrange(255, 128, 0);  // 33023

const WindowRegistration kRegistration("FrmStartUp", &FrmStartUp::Open);
}  // namespace

FrmStartUp::FrmStartUp(EcuSession& session, PollingCycle& cycle, QWidget* parent)
    : QDialog(parent), cycle_(cycle) {
    setObjectName(QStringLiteral("FrmStartUp"));
    setWindowTitle(UpgradeText(UpText::StartUpCaption, session.Lookup()) + QStringLiteral(" - ") +
                   session.ProductTitle());
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));

    auto* lay = new QHBoxLayout(this);
    const QString img = SystemPath(QStringLiteral("\\LNG\\IMG.IMG"));
    if (FileExists(img)) {
        auto* picture = new QLabel(this);
        picture->setObjectName(QStringLiteral("PctLogo"));
        picture->setPixmap(QPixmap(img));
        lay->addWidget(picture, 0, Qt::AlignTop);
    }
    auto* right = new QVBoxLayout();
    version_ = new QLabel(AboutVersionText(session, WindowsVersionText()), this);
    version_->setObjectName(QStringLiteral("LblVersioneVal"));
    version_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    right->addWidget(version_, 1);
    auto* buttons = new QHBoxLayout();
    update_ = new QPushButton(QStringLiteral("Update firmware"), this);
    update_->setObjectName(QStringLiteral("CmdUpdateFrm"));
    update_->setAutoFillBackground(true);
    update_->setVisible(FirmwareFileIsNewer(session));
    esc_ = new QPushButton(QStringLiteral("Esc"), this);
    esc_->setObjectName(QStringLiteral("Command1"));
    esc_->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(update_);
    buttons->addWidget(esc_);
    right->addLayout(buttons);
    lay->addLayout(right, 1);

    connect(update_, &QPushButton::clicked, this, [this] { CmdUpdateFrm_Click(); });
    connect(esc_, &QPushButton::clicked, this, [this] { Command1_Click(); });
    timer_ = std::make_unique<Timer>("FrmStartUp", kBlinkMs, [this] { Blink(); });
    timer_->SetEnabled(true);
}

FrmStartUp::~FrmStartUp() = default;

void FrmStartUp::Blink() {
    if (!update_->isVisible()) return;
    orange_ = !orange_;
    QPalette p = update_->palette();
    p.setColor(QPalette::Button, orange_ ? kOrange : esc_->palette().color(QPalette::Button));
    update_->setPalette(p);
}

void FrmStartUp::CmdUpdateFrm_Click() {
    // The main window opens the upgrade window as soon as the ECU is identified.
    updateRequested_ = true;
    cycle_.RequestUpgradeAtStart();
    Command1_Click();
}

void FrmStartUp::Command1_Click() {
    finished_ = true;
    timer_->SetEnabled(false);
    hide();
}

void FrmStartUp::reject() {
    Command1_Click();
}

void FrmStartUp::closeEvent(QCloseEvent* e) {
    Command1_Click();
    e->accept();
}

int FrmStartUp::Open(WindowContext& context) {
    FrmStartUp w(context.session, context.cycle, context.owner);
    w.setWindowModality(Qt::ApplicationModal);
    w.show();
    CentreWindow(&w);
    while (!w.Finished()) WaitMicroSeconds(kModalPollUs);
    return w.UpdateRequested() ? 1 : 0;
}

}  // namespace gascal
