#include "mainwindow/widgets/ConfigurationPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/controller/SettingsModel.h"
#include "mainwindow/widgets/TabRegistry.h"

namespace gascal {

namespace {

const TabRegistration kConfigurationTab(TAB_CONFIG, [](PageContext& c, QWidget* parent) {
    return new ConfigurationPage(c, parent);
});

enum Group { kSwitchover, kSystem };

// One settings list of the tab: where it sits, its caption, its entries,
// what it shows and the change handler of a pick.
struct ListSpec {
    const char* name;
    Cap caption;
    Group group;
    int row;
    const EntryList& (*entries)(const SettingsModel&);
    int SettingsSelection::*shown;
    void (*picked)(SettingsModel&, int);
    // Refilled on every settings refresh (the delay list follows the
    // temperature; the cylinder list is refilled before it selects).
    bool refilledOnRefresh = false;
};

#define GASCAL_PICK(handler) [](SettingsModel& m, int i) { m.handler##_Click(i); }
#define GASCAL_LIST(member) \
    [](const SettingsModel& m) -> const EntryList& { return m.Lists().member; }

const ListSpec kLists[] = {
    {"CmbSwtchRpm", Cap::LblSwtchRpm, kSwitchover, 0, GASCAL_LIST(rpm), &SettingsSelection::rpm,
     GASCAL_PICK(CmbSwtchRpm)},
    {"CmbSwtchTemp", Cap::LblSwtchTemp, kSwitchover, 1, GASCAL_LIST(temp), &SettingsSelection::temp,
     GASCAL_PICK(CmbSwtchTemp)},
    {"CmbSwtchDelay", Cap::LblSwtchDelay, kSwitchover, 2,
     [](const SettingsModel& m) -> const EntryList& { return m.DelayList(); },
     &SettingsSelection::delay, GASCAL_PICK(CmbSwtchDelay), true},
    {"CmbSwtchBar", Cap::LblSwtchBar, kSwitchover, 3, GASCAL_LIST(bar), &SettingsSelection::bar,
     GASCAL_PICK(CmbSwtchBar)},
    {"CmbSwtchDelayPress", Cap::LblSwtchDelayPress, kSwitchover, 4, GASCAL_LIST(delayPress),
     &SettingsSelection::delayPress, GASCAL_PICK(CmbSwtchDelayPress)},
    {"CmbSwtchForce", Cap::LblSwtchForce, kSwitchover, 5, GASCAL_LIST(force),
     &SettingsSelection::force, GASCAL_PICK(CmbSwtchForce)},
    {"CmbSwtchSeq", Cap::LblSwtchSeq, kSwitchover, 6, GASCAL_LIST(seq), &SettingsSelection::seq,
     GASCAL_PICK(CmbSwtchSeq)},
    {"CmbShoRpm", Cap::LblShoRpm, kSwitchover, 8, GASCAL_LIST(shoRpm), &SettingsSelection::shoRpm,
     GASCAL_PICK(CmbShoRpm)},
    {"CmbSwtchCilindri", Cap::LblCylinders, kSystem, 0, GASCAL_LIST(cylinders),
     &SettingsSelection::cylinders, GASCAL_PICK(CmbSwtchCilindri), true},
    {"CmbSwtchBobine", Cap::LblCoils, kSystem, 1, GASCAL_LIST(coils), &SettingsSelection::coils,
     GASCAL_PICK(CmbSwtchBobine)},
    {"CmbTpyInj", Cap::LblInjType, kSystem, 3, GASCAL_LIST(injector), &SettingsSelection::injector,
     GASCAL_PICK(CmbTpyInj)},
    {"CmbSwtchLambdaType", Cap::LblLambdaType, kSystem, 4, GASCAL_LIST(lambda),
     &SettingsSelection::lambda, GASCAL_PICK(CmbSwtchLambdaType)},
    {"CmbTpyGLS", Cap::LblLevelType, kSystem, 5, GASCAL_LIST(level), &SettingsSelection::level,
     GASCAL_PICK(CmbTpyGLS)},
    {"CmbEmptyGas", Cap::LblEmptyGas, kSystem, 6, GASCAL_LIST(emptyGas),
     &SettingsSelection::emptyGas, GASCAL_PICK(CmbEmptyGas)},
};

#undef GASCAL_LIST
#undef GASCAL_PICK

constexpr size_t kSeqList = 6;
constexpr size_t kShoRpmList = 7;

void Fill(QComboBox* c, const EntryList& l) {
    c->clear();
    for (const auto& e : l) c->addItem(e.text);
}

bool SameEntries(const QComboBox* c, const EntryList& l) {
    if (c->count() != static_cast<int>(l.size())) return false;
    for (int i = 0; i < c->count(); ++i)
        if (c->itemText(i) != l[static_cast<size_t>(i)].text) return false;
    return true;
}

}  // namespace

ConfigurationPage::ConfigurationPage(PageContext& context, QWidget* parent)
    : QWidget(parent), ctl_(context.session.Controller()), model_(context.session.Settings()) {
    setObjectName(QStringLiteral("PageConfiguration"));
    auto* h = new QHBoxLayout(this);
    grpSwitch_ = new QGroupBox(this);
    grpSystem_ = new QGroupBox(this);
    auto* gs = new QGridLayout(grpSwitch_);
    auto* gy = new QGridLayout(grpSystem_);
    for (size_t i = 0; i < std::size(kLists); ++i) {
        const ListSpec& spec = kLists[i];
        QGridLayout* g = spec.group == kSwitchover ? gs : gy;
        QWidget* box = g->parentWidget();
        auto* label = new QLabel(box);
        auto* c = new QComboBox(box);
        c->setObjectName(QString::fromLatin1(spec.name));
        c->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        c->setMinimumWidth(90);
        g->addWidget(label, spec.row, 0);
        g->addWidget(c, spec.row, 1);
        // Only the user's picks reach the handlers (activated is not
        // emitted when the program selects an entry).
        connect(c, &QComboBox::activated, this,
                [this, i](int index) { kLists[i].picked(model_, index); });
        combos_.push_back(c);
        labels_.push_back(label);
    }
    cmbShoRpm_ = combos_[kShoRpmList];
    chkAbilAcqVacum_ = new QCheckBox(grpSwitch_);
    chkAbilAcqVacum_->setObjectName(QStringLiteral("ChkAbilAcqVacum"));
    gs->addWidget(chkAbilAcqVacum_, 7, 0, 1, 2);
    gs->setRowStretch(9, 1);
    connect(chkAbilAcqVacum_, &QCheckBox::clicked, this,
            [this](bool on) { model_.ChkAbilAcqVacum_Click(on); });

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
    connect(optCng_, &QRadioButton::clicked, this, [this] { model_.OptTypFuel_Click(0); });
    connect(optLpg_, &QRadioButton::clicked, this, [this] { model_.OptTypFuel_Click(1); });
    cmdTpyInj_ = new QPushButton(grpSystem_);
    cmdTpyInj_->setObjectName(QStringLiteral("CmdTpyInj"));
    gy->addWidget(cmdTpyInj_, 3, 2);
    cmdTpyGLS_ = new QPushButton(grpSystem_);
    cmdTpyGLS_->setObjectName(QStringLiteral("CmdTpyGLS"));
    gy->addWidget(cmdTpyGLS_, 5, 2);
    connect(cmdTpyInj_, &QPushButton::clicked, this, [this] { ctl_.CmdTpyInj_Click(); });
    connect(cmdTpyGLS_, &QPushButton::clicked, this, [this] { ctl_.CmdTpyGLS_Click(); });
    gy->setRowStretch(7, 1);
    gy->setColumnStretch(1, 1);
    h->addWidget(grpSwitch_, 2);
    // The system lists hold the longest entries (injector and level types,
    // the empty-gas behaviour): they get the larger share of the width.
    h->addWidget(grpSystem_, 3);

    connect(&model_, &SettingsModel::listsRefilled, this, &ConfigurationPage::FillLists);
    connect(&model_, &SettingsModel::selectionChanged, this, &ConfigurationPage::ShowSelection);
    connect(&model_, &SettingsModel::autoTuningShown, this, &ConfigurationPage::ShowAutoTuning);
    connect(&ctl_, &MainController::languageChanged, this, &ConfigurationPage::ApplyLanguage);
    ApplyLanguage();
    FillLists();
    ShowSelection();
}

void ConfigurationPage::ApplyLanguage() {
    const auto C = [this](Cap c) { return ctl_.CaptionText(c); };
    grpSwitch_->setTitle(C(Cap::GrpSwitchover));
    grpSystem_->setTitle(C(Cap::GrpSystem));
    for (size_t i = 0; i < std::size(kLists); ++i) labels_[i]->setText(C(kLists[i].caption));
    lblFuel_->setText(C(Cap::LblFuel));
    cmdTpyInj_->setText(C(Cap::CmdSetting));
    cmdTpyGLS_->setText(C(Cap::CmdSetLevel));
    chkAbilAcqVacum_->setText(C(Cap::ChkAutoTuning));
}

void ConfigurationPage::FillLists() {
    for (size_t i = 0; i < std::size(kLists); ++i) Fill(combos_[i], kLists[i].entries(model_));
    combos_[kSeqList]->setEnabled(combos_[kSeqList]->count() > 0);
    ShowSelection();
}

void ConfigurationPage::ShowSelection() {
    const SettingsSelection s = model_.CurrentSettings();
    for (size_t i = 0; i < std::size(kLists); ++i) {
        const ListSpec& spec = kLists[i];
        QComboBox* c = combos_[i];
        if (spec.refilledOnRefresh && !SameEntries(c, spec.entries(model_)))
            Fill(c, spec.entries(model_));
        if (c->currentIndex() != s.*spec.shown) c->setCurrentIndex(s.*spec.shown);
    }
    QRadioButton* fuel = s.fuelType == 1 ? optLpg_ : optCng_;
    if (!fuel->isChecked()) fuel->setChecked(true);
}

void ConfigurationPage::ShowAutoTuning(bool enabled, bool ticked) {
    chkAbilAcqVacum_->setEnabled(enabled);
    chkAbilAcqVacum_->setChecked(ticked);
    cmbShoRpm_->setEnabled(!ticked);
}

}  // namespace gascal
