#include "mainwindow/widgets/FrmHistory.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ecu/EcuSession.h"
#include "ecu/WindowRegistry.h"
#include "mainwindow/controller/HistoryModel.h"
#include "mainwindow/controller/WindowTexts.h"
#include "mainwindow/widgets/FrmCompare.h"

namespace gascal {

namespace {

const QString kTimeShown = QStringLiteral("dd/MM/yyyy HH:mm:ss");
constexpr int kColumns = 4;  // ID, time, reason, flash

const WindowRegistration kHistoryWindow("FrmHistory", [](WindowContext& c) {
    HistoryModel* model = HistoryModel::Of(c.cycle);
    if (!model) return 0;
    auto* w = new FrmHistory(c.session, *model, c.owner);
    w->show();
    return 0;
});

}  // namespace

FrmHistory::FrmHistory(EcuSession& session, HistoryModel& model, QWidget* owner)
    : QDialog(owner), session_(session), model_(model) {
    setObjectName(QStringLiteral("FrmHistory"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(HistoryText(session, HistText::Title));
    const auto text = [&session](HistText t) { return HistoryText(session, t); };

    auto* serialLabel = new QLabel(text(HistText::Ecu), this);
    serials_ = new QComboBox(this);
    serials_->setObjectName(QStringLiteral("CmbHistSerial"));
    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("LblHistNote"));
    note_->setWordWrap(true);
    table_ = new QTableWidget(0, kColumns, this);
    table_->setObjectName(QStringLiteral("GrdHistory"));
    table_->setHorizontalHeaderLabels({QStringLiteral("ID"), text(HistText::Time),
                                       text(HistText::Reason), text(HistText::Flash)});
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table_->horizontalHeader()->setStretchLastSection(true);

    compareEcu_ = new QPushButton(text(HistText::CompareEcu), this);
    compareEcu_->setObjectName(QStringLiteral("CmdHistCompareEcu"));
    comparePoint_ = new QPushButton(text(HistText::ComparePoint), this);
    comparePoint_->setObjectName(QStringLiteral("CmdHistComparePoint"));
    restore_ = new QPushButton(text(HistText::Restore), this);
    restore_->setObjectName(QStringLiteral("CmdHistRestore"));
    auto* close = new QPushButton(text(HistText::Close), this);
    close->setObjectName(QStringLiteral("CmdHistClose"));
    connect(compareEcu_, &QPushButton::clicked, this, &FrmHistory::CompareWithEcu);
    connect(comparePoint_, &QPushButton::clicked, this, &FrmHistory::CompareWithPoint);
    connect(restore_, &QPushButton::clicked, this, &FrmHistory::RestoreChosen);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(serials_, qOverload<int>(&QComboBox::activated), this, &FrmHistory::ShowSerial);

    auto* top = new QHBoxLayout;
    top->addWidget(serialLabel);
    top->addWidget(serials_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(compareEcu_);
    buttons->addWidget(comparePoint_);
    buttons->addWidget(restore_);
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* v = new QVBoxLayout(this);
    v->addLayout(top);
    v->addWidget(note_);
    v->addWidget(table_, 1);
    v->addLayout(buttons);
    resize(560, 420);
    Refresh();
}

void FrmHistory::Refresh() {
    serials_->clear();
    const std::optional<uint32_t> connected = model_.ConnectedSerial();
    for (uint32_t s : model_.Serials()) serials_->addItem(QString::number(s), s);
    note_->setText(connected ? QString() : HistoryText(session_, HistText::NoEcu));
    note_->setVisible(!connected);
    ShowSerial(0);
}

void FrmHistory::ShowSerial(int index) {
    points_.clear();
    if (index >= 0 && index < serials_->count()) {
        serials_->setCurrentIndex(index);
        points_ = model_.PointsOf(serials_->itemData(index).toUInt());
    }
    table_->setRowCount(static_cast<int>(points_.size()));
    for (int r = 0; r < static_cast<int>(points_.size()); ++r) {
        const RestorePoint& p = points_[static_cast<size_t>(r)];
        const QString cells[kColumns] = {
            p.id, p.damaged ? QStringLiteral("-") : p.time.toString(kTimeShown),
            p.damaged ? HistoryText(session_, HistText::Damaged)
                      : PointReasonText(session_, p.reason),
            p.damaged ? QStringLiteral("-")
                      : HistoryText(session_, p.flash ? HistText::Yes : HistText::No)};
        for (int c = 0; c < kColumns; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (p.damaged) item->setToolTip(p.why);
            table_->setItem(r, c, item);
        }
    }
    if (!points_.empty()) table_->selectRow(0);
    // Only the connected ECU can be compared with or restored into.
    const bool connected = model_.ConnectedSerial().has_value();
    compareEcu_->setEnabled(connected && !points_.empty());
    restore_->setEnabled(connected && !points_.empty());
    comparePoint_->setEnabled(points_.size() > 1);
}

std::vector<int> FrmHistory::ChosenRows() const {
    std::vector<int> rows;
    for (const QModelIndex& i : table_->selectionModel()->selectedRows()) rows.push_back(i.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void FrmHistory::CompareWithEcu() {
    const std::vector<int> rows = ChosenRows();
    if (rows.empty()) return;
    const RestorePoint& p = points_[static_cast<size_t>(rows.front())];
    if (p.damaged) return;
    ShowComparison(session_, p.path, parentWidget() ? parentWidget() : this);
}

void FrmHistory::CompareWithPoint() {
    const std::vector<int> rows = ChosenRows();
    if (rows.empty()) return;
    // Two rows chosen: those; one: it and the point before it.
    const size_t a = static_cast<size_t>(rows.front());
    const size_t b = rows.size() > 1 ? static_cast<size_t>(rows[1]) : a + 1;
    if (b >= points_.size() || points_[a].damaged || points_[b].damaged) return;
    FileCompareResult r;
    r.found = true;
    r.differences = model_.ComparePoints(points_[a], points_[b]);
    auto* dialog = new FrmCompare(session_, points_[a].path, r, this);
    dialog->setWindowTitle(WindowText(session_, WinText::CompareTitle) + QStringLiteral(" - ") +
                           points_[a].id + QStringLiteral(" / ") + points_[b].id);
    dialog->Table()->setHorizontalHeaderLabels(
        {WindowText(session_, WinText::CompareField), points_[a].id, points_[b].id});
    dialog->show();
}

void FrmHistory::RestoreChosen() {
    const std::vector<int> rows = ChosenRows();
    if (rows.empty()) return;
    if (model_.Restore(points_[static_cast<size_t>(rows.front())])) accept();
}

}  // namespace gascal
