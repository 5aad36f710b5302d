// The "History..." window offscreen on the simulated ECU: opened from the
// File menu, it lists the connected ECU's points newest first, compares two
// of them, and restores the chosen one through the load's question.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTableWidget>
#include <cmath>

#include "data/core/ParamFile.h"
#include "mainwindow/widgets/FrmCompare.h"
#include "mainwindow/widgets/FrmHistory.h"
#include "mainwindow/widgets/FrmKT540.h"
#include "tests/mainwindow/SimFixture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

template <class W>
W* Open(const QString& name) {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == name && top->isVisible()) return qobject_cast<W*>(top);
    return nullptr;
}

}  // namespace

TEST(HistoryWindow, ListsComparesAndRestores) {
    SimSession s;
    auto w = std::make_unique<FrmKT540>(*s.session);
    w->show();
    ASSERT_TRUE(s.StartAndGoOnline());
    // A second point: a file with another switchover speed loaded.
    ParamImage file = s.image();
    file.SetHost(nullptr);
    file.Mem3Block.SwitchRpm = 1800;
    const QString path = s.root + "/car.var";
    ASSERT_TRUE(SaveParamFile(path, file, SimSession::ShippedVersionNum(), "test"));
    s.cycle().LoadConfigFileLater(path);
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 30));
    s.RunFor(3);
    const std::vector<RestorePoint> points = s.session->History().PointsOf(468000123);
    ASSERT_EQ(points.size(), 3u);  // connection, load, and the ECU read after the load

    QAction* menu = w->findChild<QAction*>(QStringLiteral("MnuFileHistory"));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->text(), "&History...");
    menu->trigger();
    auto* h = Open<FrmHistory>(QStringLiteral("FrmHistory"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->Serials()->currentText(), "468000123");
    QTableWidget* t = h->Table();
    ASSERT_EQ(t->rowCount(), 3);
    for (int r = 0; r < 3; ++r) EXPECT_EQ(t->item(r, 0)->text(), points[static_cast<size_t>(r)].id);
    EXPECT_EQ(t->item(2, 2)->text(), "connection");
    EXPECT_EQ(t->item(1, 2)->text(), "before a load");  // the reason in the window's words
    EXPECT_EQ(t->item(2, 3)->text(), "yes");

    // The newest point against the one before the load: the speed.
    t->clearSelection();
    t->selectRow(0);
    t->setSelectionMode(QAbstractItemView::MultiSelection);
    t->selectRow(2);
    h->findChild<QPushButton*>(QStringLiteral("CmdHistComparePoint"))->click();
    auto* cmp = Open<FrmCompare>(QStringLiteral("FrmCompare"));
    ASSERT_NE(cmp, nullptr);
    ASSERT_EQ(cmp->Table()->rowCount(), 1);
    EXPECT_EQ(cmp->Table()->item(0, 0)->text(), "SwitchRpm");
    EXPECT_EQ(cmp->Table()->horizontalHeaderItem(1)->text(), points[0].id);
    cmp->close();

    // The oldest restored, after the question.
    t->clearSelection();
    t->selectRow(2);
    s.prompts.answers.push_back(BoxResult::Yes);
    h->findChild<QPushButton*>(QStringLiteral("CmdHistRestore"))->click();
    EXPECT_TRUE(s.prompts.shown.back().text.contains(points[2].id));
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle().ConfigFileToLoad().isEmpty(); }, 30));
    s.RunFor(3);
    EXPECT_NEAR(s.ecu->Working().SwitchRpm(), s.ecu->Saved().SwitchRpm(), 1);  // stored
    EXPECT_GT(std::abs(s.ecu->Working().SwitchRpm() - 1800), 10);
    EXPECT_EQ(s.session->History().PointsOf(468000123).front().reason, PointReason::Restore);
    w->close();
    s.RunFor(1);
}
