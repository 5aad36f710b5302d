// gascal-cli export: a log, a saved recording or a table text file decoded
// as the signal viewer reads it, one row per sample.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include "app/gascal-cli/Cli.h"
#include "common/EventService.h"
#include "common/TextFile.h"
#include "tests/viewer/LogLines.h"
#include "viewer/model/RecordingFiles.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

struct ExportRun {
    ExportRun() {
        for (const char* sub : {"BIN", "LNG"}) {
            QDir().mkpath(dir.filePath(sub));
            QDir src(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/") + sub);
            for (const QString& f : src.entryList(QDir::Files))
                QFile::copy(src.filePath(f), dir.filePath(QString::fromLatin1(sub) + "/" + f));
        }
    }
    int Run(const QStringList& args) {
        VirtualEventService ev;
        ScopedEvents scope(ev);
        out.clear();
        err.clear();
        QTextStream o(&out), e(&err);
        QStringList all{"--install-dir", dir.path(), "export"};
        all += args;
        const int rc = RunCli(all, o, e);
        o.flush();
        e.flush();
        return rc;
    }
    QString File(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir;
    QString out, err;
};

LiveRaw Values(int i) {
    LiveRaw r;
    for (size_t k = 0; k < 8; ++k) {
        r.petrol[k] = static_cast<uint16_t>(250 + 10 * k + i);
        r.signedInj[k] = 1;
        r.gas[k] = 50;
    }
    r.period = 18750;
    r.gasPressure = 1200;
    r.vacuum = 400;
    r.lambda = 700;
    r.reducerTemp = 70;
    r.gasTemp = 25;
    return r;
}

}  // namespace

TEST(CliExport, PrintsTheReadOutOfEverySample) {
    ExportRun x;
    QByteArray log = LogHeader();
    for (int i = 0; i < 3; ++i) log += Mem1Exchange(8000 + 70 * i, Values(i));
    const QString path = x.File("BIN/RxTx.TXT");
    ASSERT_TRUE(WriteBytes(path, log));
    ASSERT_EQ(x.Run({path, "--csv"}), CLI_OK) << x.err.toStdString();
    QStringList rows = x.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(
        rows[0],
        QStringLiteral("time_ms,T Inj Gas,T Inj Benz,Vacuum,Press,Lambda,Rpm,Temp Inj,Temp Gas"));
    // Injector 1: 250 counts of 8 us + the 0.6 ms offset; gas 50 counts more.
    EXPECT_EQ(rows[1], QStringLiteral("0.000,3.000,2.600,0.400,1.200,0.700,800.000,25.000,70.000"));
    EXPECT_EQ(rows[3].left(12), QStringLiteral("140.000,3.01"));
    // Injector 3 and aligned columns.
    ASSERT_EQ(x.Run({path, "--inj", "3"}), CLI_OK);
    rows = x.out.split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(rows[0].contains("T Inj Benz"));
    EXPECT_EQ(rows[1].split(' ', Qt::SkipEmptyParts).value(2), QStringLiteral("2.760"));
    // The live log is only read: it is not moved aside as a session would.
    EXPECT_FALSE(QFileInfo::exists(x.File("BIN/RxTx_Last.TXT")));
}

TEST(CliExport, ALongLogIsExportedWindowByWindowWithEveryAnswerOnce) {
    ExportRun x;
    QByteArray log = LogHeader();
    int n = 0;
    while (log.size() < kLogWindowBytes * 2 + 1000) {
        log += Mem1Exchange(8000 + 70 * n, Values(n % 100));
        ++n;
    }
    const QString path = x.File("long.vfl");
    ASSERT_TRUE(WriteBytes(path, log));
    ASSERT_EQ(x.Run({path, "--csv"}), CLI_OK) << x.err.toStdString();
    const QStringList rows = x.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), n + 1);
    EXPECT_EQ(rows.count(rows[0]), 1);  // one header
    for (int i = 1; i < rows.size(); ++i)
        ASSERT_EQ(rows[i].section(',', 0, 0), QString::number(70.0 * (i - 1), 'f', 3)) << i;
}

TEST(CliExport, TableFilesAndFilesItCannotRead) {
    ExportRun x;
    const QString table = x.File("t.txt");
    ASSERT_TRUE(WriteLatin1Lines(
        table,
        {"1000 | 3000 | 0 | 500 | 800 | 1100 | 350 | 450 | 512 | 60 | 20 | 13,8 | 0", "> 250",
         "1000 | 3100 | 0 | 500 | 810 | 1100 | 350 | 450 | 512 | 60 | 20 | 13,8 | 0"}));
    ASSERT_EQ(x.Run({table, "--csv"}), CLI_OK) << x.err.toStdString();
    const QStringList rows = x.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[2],
              QStringLiteral("250.000,3.600,3.100,0.350,1.100,0.450,810.000,20.000,60.000"));

    const QString tight = x.File("tight.txt");
    ASSERT_TRUE(WriteLatin1Lines(tight, {"1000|3000|0|500|800|1100|350|450|512|60|20|13,8|0"}));
    EXPECT_EQ(x.Run({tight}), CLI_FILE);
    EXPECT_TRUE(x.err.contains("Not a log, a recording or a table text file"));
    EXPECT_TRUE(x.out.isEmpty());
    EXPECT_EQ(x.Run({x.File("missing.vfl")}), CLI_FILE);
    EXPECT_EQ(x.Run({table, "--inj", "9"}), CLI_USAGE);
    EXPECT_EQ(x.Run({}), CLI_USAGE);
}
