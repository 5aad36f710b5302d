#include "mainwindow/widgets/FrmKT540.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "common/widgets/QtPrompts.h"
#include "data/core/ClsLingue.h"
#include "data/core/DataTexts.h"
#include "ecu/UpgradeTexts.h"
#include "link/core/MachinePorts.h"
#include "mainwindow/controller/MainController.h"
#include "mainwindow/controller/MainSession.h"
#include "mainwindow/controller/WindowTexts.h"
#include "mainwindow/widgets/FrmInit.h"
#include "mainwindow/widgets/HeaderBar.h"
#include "mainwindow/widgets/PaintPacer.h"
#include "mainwindow/widgets/SimControl.h"
#include "mainwindow/widgets/SimPanel.h"
#include "mainwindow/widgets/TabRegistry.h"
#include "pages/ctrlbar/UCtrlBar.h"

namespace gascal {

namespace {
// Window size at start, in twips (1024 x 720 pixels): fits 1366 x 768.
constexpr int kStartWidthTwips = 15360;
constexpr int kStartHeightTwips = 10800;
constexpr int kPaintGapMs = 40;
const char* const kTabKeys[] = {" - F5", " - F6", " - F7", " - F2", " - F3"};
const Cap kTabCaps[] = {Cap::TabCalibration, Cap::TabModeling, Cap::TabMap, Cap::TabGeneral,
                        Cap::TabConfiguration};

// A status-bar cell whose text changes many times a second (the link's
// state and its running dots). The status bar lays out the box; the label
// inside keeps the box's size as a fixed size, so a new text repaints the
// label alone instead of laying out the whole status bar again each time.
class StatusCellBox : public QWidget {
  public:
    StatusCellBox(QLabel* label, QWidget* parent) : QWidget(parent), label_(label) {
        label_->setParent(this);
        label_->move(0, 0);
    }
    QSize sizeHint() const override { return {label_->sizeHint().width(), Height()}; }
    QSize minimumSizeHint() const override { return {0, Height()}; }

  protected:
    void resizeEvent(QResizeEvent*) override { label_->setFixedSize(size()); }

  private:
    // One line of text with the label's margin and frame.
    int Height() const {
        return label_->fontMetrics().height() + 2 * label_->margin() + 2 * label_->frameWidth();
    }
    QLabel* label_;
};
}  // namespace

FrmKT540::FrmKT540(MainSession& session, QWidget* parent)
    : QMainWindow(parent), session_(session), ctl_(session.Controller()) {
    setObjectName(QStringLiteral("FrmKT540"));
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));
    ctl_.SetWindowOwner(this);

    auto* central = new QWidget(this);
    auto* lay = new QVBoxLayout(central);
    lay->setContentsMargins(6, 4, 6, 4);
    header_ = new HeaderBar(ctl_, session_.Live(), session_.Ecu().Scale(), central);
    lay->addWidget(header_);
    tabs_ = new QTabWidget(central);
    tabs_->setObjectName(QStringLiteral("SstMain"));
    lay->addWidget(tabs_, 1);
    setCentralWidget(central);
    BuildTabs();

    for (int i = 0; i < kStatusCells; ++i) {
        auto* cell = new QLabel(this);
        cell->setObjectName(QStringLiteral("TxtStatusBar%1").arg(i));
        cell->setAutoFillBackground(true);
        cell->setMargin(2);
        cell->setFrameShape(QFrame::StyledPanel);
        statusCells_[static_cast<size_t>(i)] = cell;
    }
    // Cell 3: the configuration's state (not stored, a file's values shown).
    const int stretch[kStatusCells] = {3, 1, 1, 1};
    for (int i = 0; i < kStatusCells; ++i) {
        auto* box = new StatusCellBox(statusCells_[static_cast<size_t>(i)], this);
        if (i == 1) box->setMinimumWidth(110);
        statusBar()->addWidget(box, stretch[i]);
    }

    frmInit_ = std::make_unique<FrmInit>(this);
    BuildMenus();

    connect(&ctl_, &MainController::waitCursor, this, &FrmKT540::SetWaitCursor);
    connect(&ctl_, &MainController::statusCell, this, &FrmKT540::ShowStatusCell);
    connect(&ctl_, &MainController::portTicks, this, &FrmKT540::ShowPortTicks);
    connect(&ctl_, &MainController::portSearch, frmInit_.get(), &FrmInit::ShowSearch);
    connect(&ctl_, &MainController::languageChanged, this, &FrmKT540::ApplyLanguage);
    connect(&ctl_, &MainController::captionChanged, this, &QWidget::setWindowTitle);
    connect(&ctl_, &MainController::tabSelected, this, [this](int tab) {
        if (tab >= 0 && tab < tabs_->count()) tabs_->setCurrentIndex(tab);
    });
    connect(&ctl_, &MainController::unload, this, &FrmKT540::Unload);
    // The time of the connection shares the status bar with the link cells.
    connect(&session_.Live(), &LiveModel::changed, this, [this](LivePart part) {
        if (part != LivePart::Status) return;
        const QString t = session_.Live().Display().timeText;
        if (statusCells_[2]->text() != t) statusCells_[2]->setText(t);
    });

    // Live values are painted at most every 40 ms (25 times a second): more
    // is not seen, and each paint costs the display's time too.
    new PaintPacer(this, kPaintGapMs);

    resize(TwipsToPixels(kStartWidthTwips), TwipsToPixels(kStartHeightTwips));
    ApplyLanguage();
    tabs_->setCurrentIndex(TAB_GENERAL);
}

FrmKT540::~FrmKT540() {
    ctl_.SetWindowOwner(nullptr);
}

// --- Building ----------------------------------------------------------------------------

void FrmKT540::BuildTabs() {
    PageContext context{session_};
    for (int tab = 0; tab < kMainTabs; ++tab) {
        QWidget* page = nullptr;
        if (const PageFactory* make = TabRegistry::Find(tab)) page = (*make)(context, tabs_);
        if (!page) {
            // A tab whose page comes with a later version says so.
            page = new QWidget(tabs_);
            auto* v = new QVBoxLayout(page);
            auto* l = new QLabel(page);
            l->setAlignment(Qt::AlignCenter);
            l->setWordWrap(true);
            v->addWidget(l);
            laterLabels_.push_back(l);
        }
        tabs_->addTab(page, QString());
    }
    // Every change of tab, by mouse, keyboard (Ctrl+Tab, the arrow keys) or
    // the View menu, goes through the tab check.
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int i) {
        if (i < 0 || i == ctl_.CurrentTab()) return;
        tabs_->setEnabled(false);
        ctl_.SstMain_Click(i);
        tabs_->setEnabled(true);
    });
}

void FrmKT540::BuildMenus() {
    mnuFile_ = menuBar()->addMenu(QString());
    actLoad_ = mnuFile_->addAction(QString(), this, [this] { ctl_.MnuFileLoadConf_Click(); });
    actLoad_->setObjectName(QStringLiteral("MnuFileLoadConf"));
    actSave_ = mnuFile_->addAction(QString(), this, [this] { ctl_.MnuFileSaveConf_Click(); });
    actSave_->setObjectName(QStringLiteral("MnuFileSaveConf"));
    actCompare_ = mnuFile_->addAction(QString(), this, [this] { ctl_.MnuFileCompare_Click(); });
    actCompare_->setObjectName(QStringLiteral("MnuFileCompare"));
    actHistory_ = mnuFile_->addAction(QString(), this, [this] {
        ctl_.OpenWindow("FrmHistory", QStringLiteral("restore points"));
    });
    actHistory_->setObjectName(QStringLiteral("MnuFileHistory"));
    actStore_ = mnuFile_->addAction(QString(), this, [this] { ctl_.MnuFileStore_Click(); });
    actStore_->setObjectName(QStringLiteral("MnuFileStore"));
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
        auto* a = mnuDevice_->addAction(LinkSupervisor::PortItemCaption(i), this,
                                        [this, i] { ctl_.MnuDevCom_Click(i); });
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
    const ClsLingue& lng = session_.Ecu().Lingue();
    for (int i = 0; i <= lng.UboundLingue(); ++i) {
        auto* a = mnuLanguage_->addAction(lng.NomeLingua(i), this, [this, i] {
            ctl_.MnuLngT_Click(i);
            for (size_t k = 0; k < actLng_.size(); ++k)
                actLng_[k]->setChecked(static_cast<int>(k) == i);
        });
        a->setCheckable(true);
        a->setChecked(i == lng.IdLingua());
        actLng_.push_back(a);
    }

    mnuInfo_ = menuBar()->addMenu(QString());
    actAbout_ = mnuInfo_->addAction(QString(), this, [this] { ctl_.MnuInfoAbout_Click(); });
    actAbout_->setObjectName(QStringLiteral("MnuInfoAbout"));
}

void FrmKT540::ApplyLanguage() {
    const auto C = [this](Cap c) { return ctl_.CaptionText(c); };
    for (int i = 0; i < kMainTabs; ++i)
        tabs_->setTabText(i, C(kTabCaps[i]) + QString::fromLatin1(kTabKeys[i]));
    // View menu entries: General, Configuration, Calibration, Modeling, Map.
    const Cap viewCaps[] = {Cap::TabGeneral, Cap::TabConfiguration, Cap::TabCalibration,
                            Cap::TabModeling, Cap::TabMap};
    for (int i = 0; i < 5; ++i) actViewTab_[static_cast<size_t>(i)]->setText(C(viewCaps[i]));
    mnuFile_->setTitle(C(Cap::MenuFile));
    actLoad_->setText(C(Cap::MenuLoadConf));
    actSave_->setText(C(Cap::MenuSaveConf));
    actCompare_->setText(WindowText(session_.Ecu(), WinText::MenuCompare));
    actHistory_->setText(HistoryText(session_.Ecu(), HistText::Menu));
    actStore_->setText(gascal::Text(DataText::StoreInEcu));
    ShowStatusCell(3, {ctl_.ConfigStateText(), std::nullopt, std::nullopt});
    actExit_->setText(C(Cap::MenuExit));
    mnuView_->setTitle(C(Cap::MenuView));
    mnuDevice_->setTitle(C(Cap::MenuDevice));
    mnuLanguage_->setTitle(C(Cap::MenuLanguage));
    mnuInfo_->setTitle(UpgradeText(UpText::MenuInfo, session_.Ecu().Lookup()));
    actAbout_->setText(UpgradeText(UpText::MenuAbout, session_.Ecu().Lookup()));
    if (mnuSimulator_) mnuSimulator_->setTitle(C(Cap::MenuSimulator));
    for (auto* l : laterLabels_) l->setText(C(Cap::PageLater));
    // The port search window takes its message from the entry after the
    // "[FrmInit]" marker of the dictionary; the search text is fixed.
    QString reading = C(Cap::FrmInitReading);
    const ClsLingue& lng = session_.Ecu().Lingue();
    const int id = lng.IdLingua();
    for (int i = 0; i < lng.UboundVociLingua(id); ++i) {
        if (lng.VoceDizionario(id, i) == QLatin1String("[FrmInit]")) {
            if (!lng.VoceDizionario(id, i + 1).isEmpty()) reading = lng.VoceDizionario(id, i + 1);
            break;
        }
    }
    frmInit_->SetTexts(reading, QStringLiteral("SEARCH COM"));
}

// --- What the controller shows --------------------------------------------------------------

void FrmKT540::SetWaitCursor(bool on) {
    if (on) {
        if (waitDepth_++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (waitDepth_ > 0 && --waitDepth_ == 0) {
        QApplication::restoreOverrideCursor();
    }
}

void FrmKT540::ShowStatusCell(int cell, const StatusCell& c) {
    if (cell < 0 || cell >= kStatusCells) return;
    QLabel* l = statusCells_[static_cast<size_t>(cell)];
    if (l->text() != c.text) l->setText(c.text);
    if (c.background || c.foreground) {
        QPalette p = l->palette();
        if (c.background) p.setColor(QPalette::Window, UCtrlBar::ToQColor(*c.background));
        if (c.foreground) p.setColor(QPalette::WindowText, UCtrlBar::ToQColor(*c.foreground));
        if (p != l->palette()) l->setPalette(p);
    }
}

QString FrmKT540::StatusText(int cell) const {
    return (cell >= 0 && cell < kStatusCells) ? statusCells_[static_cast<size_t>(cell)]->text()
                                              : QString();
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

void FrmKT540::Unload() {
    unloaded_ = true;
    frmInit_->hide();
    if (simPanel_) simPanel_->hide();
    close();
}

// --- Events --------------------------------------------------------------------------------

void FrmKT540::closeEvent(QCloseEvent* e) {
    if (unloaded_) {
        e->accept();
        return;
    }
    // The link stops first; the window goes at the end of the next polling tick.
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

// --- For tests --------------------------------------------------------------------------------

QString FrmKT540::RpmText() const {
    const auto* t = findChild<QLineEdit*>(QStringLiteral("TxtRpm0"));
    return t ? t->text() : header_->RpmText();
}

QString FrmKT540::InjTimePetText() const {
    const auto* t = findChild<QLineEdit*>(QStringLiteral("TxtInjTimePet"));
    return t ? t->text() : QString();
}

QString FrmKT540::InjTimeGasText() const {
    const auto* t = findChild<QLineEdit*>(QStringLiteral("TxtInjTimeGas"));
    return t ? t->text() : QString();
}

QComboBox* FrmKT540::Combo(const char* name) const {
    return findChild<QComboBox*>(QString::fromLatin1(name));
}

QPushButton* FrmKT540::ErrorButton() const {
    return header_->ErrorButton();
}

QList<QWidget*> FrmKT540::ServiceViewControls() const {
    QList<QWidget*> out;
    for (const char* name : {"ShpPLoad", "ShpPmin", "CkbStatoEcu", "CkbStatoAlim", "CmdExpert0"})
        if (auto* w = findChild<QWidget*>(QString::fromLatin1(name))) out << w;
    return out;
}

void FrmKT540::SetSimControl(SimControl* sim) {
    sim_ = sim;
    if (!sim_ || mnuSimulator_) return;
    mnuSimulator_ = menuBar()->addMenu(ctl_.CaptionText(Cap::MenuSimulator));
    actSimPanel_ = mnuSimulator_->addAction(QStringLiteral("Simulator panel..."), this, [this] {
        if (!simPanel_) simPanel_ = std::make_unique<SimPanel>(*sim_, this);
        simPanel_->show();
        simPanel_->raise();
    });
    actSimPanel_->setObjectName(QStringLiteral("MnuSimPanel"));
    // The drive that fills the map on both fuels.
    QAction* drive = mnuSimulator_->addAction(QStringLiteral("Drive"), this, [this] {
        if (sim_) sim_->StartDrive();
    });
    drive->setObjectName(QStringLiteral("MnuSimDrive"));
    // The simulated fitter reads the Calibration tab after every change.
    connect(&session_.CalModel(), &CalibrationModel::changed, this, [this] {
        const Calibration& cal = session_.Cal();
        if (sim_) sim_->FollowCalibration(cal.Instruction(), cal.RaisedTargetRpm());
    });
}

}  // namespace gascal
