#include "mainwindow/widgets/FrmCompare.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/DataTexts.h"
#include "ecu/WindowRegistry.h"
#include "mainwindow/controller/WindowTexts.h"

namespace gascal {

namespace {

constexpr const char* kVarFilter = "Mod Files (*.var)|*.var|";
constexpr int kValueColumnPx = 110;

const WindowRegistration kCompareWindow("FrmCompare", [](WindowContext& c) {
    FileDialogRequest req;
    req.title = WindowText(c.session, WinText::CompareTitle);
    req.filter = QString::fromLatin1(kVarFilter);
    req.startFolder = InstallDir();
    req.overwritePrompt = false;
    const QString path = UserPrompts().OpenFile(req);
    if (!path.isEmpty()) ShowComparison(c.session, path, c.owner);
    return 0;
});

// A value as the window shows numbers: decimal comma, no needless zeros.
QString ValueText(double v, int decimals) {
    QString s = QString::number(v, 'f', decimals);
    if (decimals > 0) {
        while (s.endsWith(QLatin1Char('0'))) s.chop(1);
        if (s.endsWith(QLatin1Char('.'))) s.chop(1);
    }
    if (s == QLatin1String("-0")) s = QStringLiteral("0");
    return s.replace(QLatin1Char('.'), DecimalSeparator());
}

}  // namespace

FrmCompare::FrmCompare(const EcuSession& session, const QString& path,
                       const FileCompareResult& result, QWidget* owner)
    : QDialog(owner) {
    setObjectName(QStringLiteral("FrmCompare"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(WindowText(session, WinText::CompareTitle) + QStringLiteral(" - ") + path);
    const auto& diffs = result.differences;
    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("LblCompareSummary"));
    summary_->setText(diffs.empty() ? WindowText(session, WinText::CompareNone)
                                    : WindowText(session, WinText::CompareSome) + QLatin1Char(' ') +
                                          QString::number(diffs.size()));
    // What a partial file does not hold follows the differences: a load
    // leaves it as the ECU has it, so it is no difference.
    const QStringList& notInFile = result.notInFile;
    const int rows = static_cast<int>(diffs.size()) + static_cast<int>(notInFile.size());
    table_ = new QTableWidget(rows, 3, this);
    table_->setObjectName(QStringLiteral("GrdCompare"));
    table_->setHorizontalHeaderLabels({WindowText(session, WinText::CompareField),
                                       WindowText(session, WinText::CompareFile),
                                       WindowText(session, WinText::CompareEcu)});
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (int r = 0; r < static_cast<int>(diffs.size()); ++r) {
        const ParamDifference& d = diffs[static_cast<size_t>(r)];
        table_->setItem(r, 0, new QTableWidgetItem(d.name));
        for (int col : {1, 2}) {
            auto* item = new QTableWidgetItem(ValueText(col == 1 ? d.first : d.second, d.decimals));
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table_->setItem(r, col, item);
        }
    }
    for (int k = 0; k < notInFile.size(); ++k) {
        const int r = static_cast<int>(diffs.size()) + k;
        table_->setItem(r, 0, new QTableWidgetItem(notInFile[k]));
        table_->setItem(r, 1, new QTableWidgetItem(gascal::Text(DataText::NotInFile)));
        table_->setItem(r, 2, new QTableWidgetItem(QString()));
    }
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int col : {1, 2}) {
        table_->resizeColumnToContents(col);
        table_->setColumnWidth(col, std::max(table_->columnWidth(col), kValueColumnPx));
    }
    table_->setVisible(rows > 0);
    auto* close = new QPushButton(QStringLiteral("OK"), this);
    close->setObjectName(QStringLiteral("CmdCompareClose"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto* v = new QVBoxLayout(this);
    v->addWidget(summary_);
    v->addWidget(table_, 1);
    auto* h = new QHBoxLayout;
    h->addStretch(1);
    h->addWidget(close);
    v->addLayout(h);
    resize(460, rows == 0 ? 120 : 420);
}

FrmCompare* ShowComparison(const EcuSession& session, const QString& path, QWidget* owner) {
    const FileCompareResult r = CompareFileWithEcu(session, path);
    if (!r.Usable()) {
        // Only what keeps the file from being compared; what it lacks is
        // listed in the window.
        ParamLoadReport problems = r.report;
        problems.missing.clear();
        const QString why = ParamFileProblems(problems);
        UserPrompts().Message(WindowText(session, WinText::CompareBadFile) +
                                  QStringLiteral("\r\n") + path +
                                  (why.isEmpty() ? QString() : QStringLiteral("\r\n") + why),
                              WindowText(session, WinText::CompareTitle), BoxIcon::Warning);
        return nullptr;
    }
    auto* dialog = new FrmCompare(session, path, r, owner);
    dialog->show();
    return dialog;
}

}  // namespace gascal
