// gascal-cli run twice on an installation folder whose communication log a
// running window writes: the window's log stays where it is, whole, and
// goes on receiving its lines; the command line writes a log of its own.
#include <gtest/gtest.h>

#include <QFile>

#include "common/EventService.h"
#include "common/TextFile.h"
#include "tests/cli/CliTestSupport.h"
#include "viewer/commlog/CommLogWriter.h"

using namespace gascal;
using namespace gascal::testing;

TEST(CliCommLog, TheWindowsLiveLogIsLeftAloneByTwoRuns) {
    Installation inst;
    VirtualEventService ev;
    ScopedEvents scope(ev);
    const QString live = inst.File("BIN/RxTx.TXT");
    // The window's session on the same folder.
    CommLogWriter window(live, inst.File("BIN/RxTx_Last.TXT"));
    ASSERT_TRUE(window.StartLogRxTx(QStringLiteral("window")));
    window.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("1"));
    auto ecu = NewEcu();
    for (int run = 0; run < 2; ++run) {
        const Result r = RunVirtual({"--sim", "identify"}, ecu, inst);
        ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    }
    window.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("2"));
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(live, lines));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].contains("window"));
    EXPECT_FALSE(QFile::exists(inst.File("BIN/RxTx_Last.TXT")));
    // The command line's own log holds its exchange.
    QStringList own;
    ASSERT_TRUE(ReadLatin1Lines(inst.File("BIN/RxTx_2.TXT"), own));
    EXPECT_TRUE(own.join("\n").contains("CMD_")) << own.join("\n").toStdString();
}
