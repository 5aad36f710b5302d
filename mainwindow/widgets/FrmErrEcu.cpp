#include "mainwindow/widgets/FrmErrEcu.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "common/Helpers.h"
#include "common/widgets/QtPrompts.h"
#include "ecu/PollingCycle.h"
#include "ecu/WindowRegistry.h"
#include "pages/ctrlbar/UCtrlBar.h"

namespace gascal {

namespace {

constexpr int kRefreshMs = 1000;
constexpr int kColumnTwips[kErrorWindowColumns] = {3600, 2160, 2160};
constexpr int kRowTwips = 330;
constexpr uint32_t kPresentColour = 8421631;  // light red
constexpr uint32_t kStoredColour = 12648447;  // light yellow

const WindowRegistration kErrEcuWindow("FrmErrEcu", [](WindowContext& c) {
    // One window: a second click brings the open one forward.
    if (c.owner) {
        for (auto* open :
             c.owner->findChildren<FrmErrEcu*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (!open->isVisible()) continue;  // closed, going away
            open->raise();
            open->activateWindow();
            return 0;
        }
    }
    auto* w = new FrmErrEcu(c.session, c.cycle.Errors(), c.owner);
    w->show();
    w->activateWindow();
    return 0;
});

void SetCell(QTableWidget* grid, int row, int column, const QString& text) {
    QTableWidgetItem* item = grid->item(row, column);
    if (item && item->text() != text) item->setText(text);
}

}  // namespace

FrmErrEcu::FrmErrEcu(EcuSession& session, ErrorList& errors, QWidget* owner)
    : QWidget(owner, Qt::Window),
      model_(session, errors),
      timer_("FrmErrEcu.Timer1", kRefreshMs, [this] {
          if (model_.Refresh()) ShowCells();
      }) {
    setObjectName(QStringLiteral("FrmErrEcu"));
    setAttribute(Qt::WA_DeleteOnClose);
    const QString ico = SystemPath(QStringLiteral("\\LNG\\ico.ico"));
    if (FileExists(ico)) setWindowIcon(QIcon(ico));
    setWindowTitle(model_.WindowCaption());

    const auto& rows = model_.Rows();
    grid_ = new QTableWidget(static_cast<int>(rows.size()), kErrorWindowColumns, this);
    grid_->setObjectName(QStringLiteral("GrdErrEcu"));
    grid_->setHorizontalHeaderLabels(model_.Headings());
    grid_->verticalHeader()->hide();
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setSelectionMode(QAbstractItemView::NoSelection);
    grid_->setFocusPolicy(Qt::NoFocus);
    grid_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int rowPx = TwipsToPixels(kRowTwips);
    grid_->verticalHeader()->setMinimumSectionSize(1);
    grid_->verticalHeader()->setDefaultSectionSize(rowPx);
    grid_->horizontalHeader()->setFixedHeight(rowPx);
    grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    int width = 0;
    for (int col = 0; col < kErrorWindowColumns; ++col) {
        const int px = TwipsToPixels(kColumnTwips[col]);
        grid_->setColumnWidth(col, px);
        width += px;
    }
    const QColor present = UCtrlBar::ToQColor(kPresentColour);
    const QColor stored = UCtrlBar::ToQColor(kStoredColour);
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        grid_->setItem(r, 0, new QTableWidgetItem(rows[static_cast<size_t>(r)].name));
        auto* p = new QTableWidgetItem;
        p->setBackground(present);
        grid_->setItem(r, 1, p);
        auto* s = new QTableWidgetItem;
        s->setBackground(stored);
        grid_->setItem(r, 2, s);
    }
    const int frame = 2 * grid_->frameWidth();
    grid_->setFixedSize(width + frame, rowPx * (static_cast<int>(rows.size()) + 1) + frame);

    cmdCanc_ = new QPushButton(model_.CancCaption(), this);
    cmdCanc_->setObjectName(QStringLiteral("CmdErrInjCanc"));
    cmdEsc_ = new QPushButton(QStringLiteral("Esc"), this);
    cmdEsc_->setObjectName(QStringLiteral("Command2"));
    connect(cmdCanc_, &QPushButton::clicked, this, [this] {
        if (model_.Canc()) ShowCells();
    });
    connect(cmdEsc_, &QPushButton::clicked, this, &QWidget::close);

    auto* v = new QVBoxLayout(this);
    v->addWidget(grid_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdCanc_);
    buttons->addWidget(cmdEsc_);
    v->addLayout(buttons);
    v->setSizeConstraint(QLayout::SetFixedSize);

    ShowCells();
    timer_.SetEnabled(true);
}

FrmErrEcu::~FrmErrEcu() {
    timer_.SetEnabled(false);
}

void FrmErrEcu::ShowCells() {
    const auto& rows = model_.Rows();
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
        SetCell(grid_, r, 1, rows[static_cast<size_t>(r)].present);
        SetCell(grid_, r, 2, rows[static_cast<size_t>(r)].stored);
    }
}

void FrmErrEcu::closeEvent(QCloseEvent* e) {
    timer_.SetEnabled(false);
    QWidget::closeEvent(e);
}

void FrmErrEcu::keyReleaseEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyReleaseEvent(e);
}

}  // namespace gascal
