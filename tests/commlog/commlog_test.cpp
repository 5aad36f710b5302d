#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/LogSink.h"
#include "common/TextFile.h"
#include "viewer/commlog/CommLogWriter.h"

using namespace gascal;

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void WriteRaw(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Lines of a log without their CR LF; fails the test on a bare LF or a
// missing final line end.
QStringList LogLines(const QByteArray& bytes) {
    EXPECT_TRUE(bytes.isEmpty() || bytes.endsWith("\r\n"));
    EXPECT_EQ(bytes.count('\n'), bytes.count("\r\n"));
    return SplitLines(QString::fromLatin1(bytes));
}

class CommLog : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(QDir(dir.path()).mkpath("BIN"));
        savedInstallDir = InstallDir();
        SetInstallDir(dir.path());
        logPath = dir.filePath("BIN/RxTx.TXT");
        lastPath = dir.filePath("BIN/RxTx_Last.TXT");
    }
    void TearDown() override { SetInstallDir(savedInstallDir); }

    QTemporaryDir dir;
    QString savedInstallDir, logPath, lastPath;
    VirtualEventService ev;  // starts 15/01/2026 10:00:00
    ScopedEvents scope{ev};
};

}  // namespace

TEST_F(CommLog, HeaderLineWithTitleAndLocalDateTime) {
    CommLogWriter log;
    ev.RunFor(2'500'400);  // 2500.4 ms
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("GasCal Injection")));
    EXPECT_EQ(log.LogPath(), logPath);
    const QStringList lines = LogLines(ReadAll(logPath));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(
        lines[0],
        QStringLiteral("\"2500 O  Software ver. 01.01.05 GasCal Injection 15/01/2026 10:00:02\""));
}

TEST_F(CommLog, RequestLinesArePrecededByTheCommandName) {
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    ev.RunFor(1'234'567);
    log.WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102030C4D"));   // CMD_READ_MEM1
    log.WriteLogRxTx(QStringLiteral("R "), QStringLiteral("4201040C00"));   // answer: no name
    log.WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102042200"));   // code 34
    log.WriteLogRxTx(QStringLiteral("D "), QStringLiteral("410203ff"));     // code 255
    log.WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102032C6C"));   // 44
    log.WriteLogRxTx(QStringLiteral("H "), QStringLiteral("54102030C4D"));  // error 5 + frame
    log.WriteLogRxTx(QStringLiteral("? "), QStringLiteral("41020333"));     // CMD_GEN
    const QStringList lines = LogLines(ReadAll(logPath));
    const QStringList expected{
        "\"CMD_READ_MEM1\"",      "\"1235 T 4102030C4D\"", "\"1235 R 4201040C00\"",
        "\" XXXXXXXXXX \"",       "\"1235 T 4102042200\"", "\" XXXXXXXXXX \"",
        "\"1235 D 410203ff\"",    "\"CMD_WRIT_DCOL\"",     "\"1235 T 4102032C6C\"",
        "\"1235 H 54102030C4D\"", "\"CMD_GEN\"",           "\"1235 ? 41020333\""};
    EXPECT_EQ(lines.mid(1), expected);
}

TEST_F(CommLog, CodesOutsideTheTableGetTheUnknownMark) {
    // Every code the command table lacks gets the mark.
    const QList<int> unknown{0, 34, 35, 43, 45, 46, 47, 52, 128, 255};
    for (int code : unknown) {
        const QString frame =
            QStringLiteral("410203%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
        EXPECT_EQ(CommLogWriter::CommandNameFor(frame), QStringLiteral(" XXXXXXXXXX ")) << code;
    }
    // Not a request frame.
    EXPECT_TRUE(CommLogWriter::CommandNameFor(QStringLiteral("4201030C")).isEmpty());
    EXPECT_TRUE(CommLogWriter::CommandNameFor(QStringLiteral("41")).isEmpty());
    EXPECT_TRUE(CommLogWriter::CommandNameFor(QString()).isEmpty());
    // A damaged code is logged as unknown.
    EXPECT_EQ(CommLogWriter::CommandNameFor(QStringLiteral("410203ZZ00")),
              QStringLiteral(" XXXXXXXXXX "));
}

TEST_F(CommLog, DiagnosticLinesHaveNoNameLine) {
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    ev.RunFor(7'000);
    log.WriteLogRxTx(QStringLiteral("ClearCommError Send"), QString());
    log.WriteLogRxTx(QStringLiteral("lpErrors "), QStringLiteral("41"));
    log.WriteLogRxTx(QStringLiteral("GetLastError "), QStringLiteral("5"));
    log.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("3"));
    EXPECT_EQ(LogLines(ReadAll(logPath)).mid(1),
              (QStringList{"\"7 ClearCommError Send\"", "\"7 lpErrors 41\"", "\"7 GetLastError 5\"",
                           "\"7 C 3\""}));
}

TEST_F(CommLog, ConstantsBlockFollowsTheHeader) {
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T"), CommLogWriter::Constants{15000000, 0.001}));
    log.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("1"));
    const QStringList lines = LogLines(ReadAll(logPath));
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines.mid(1, 4),
              (QStringList{"\"[K_gm]\"", " 15000000 ", "\"[K_Lambda]\"", " 0,001 "}));
    EXPECT_EQ(lines[5], QStringLiteral("\"0 C 1\""));
}

TEST(CommLogNumbers, PlainDecimalWithCommaAndSignPlace) {
    EXPECT_EQ(CommLogWriter::NumberText(15000000), QStringLiteral(" 15000000 "));
    EXPECT_EQ(CommLogWriter::NumberText(0.001), QStringLiteral(" 0,001 "));
    EXPECT_EQ(CommLogWriter::NumberText(-2.5), QStringLiteral("-2,5 "));
    EXPECT_EQ(CommLogWriter::NumberText(0), QStringLiteral(" 0 "));
    EXPECT_EQ(CommLogWriter::NumberText(1234.5678), QStringLiteral(" 1234,5678 "));
    EXPECT_EQ(CommLogWriter::NumberText(1e20), QStringLiteral(" 100000000000000000000 "));
    EXPECT_EQ(CommLogWriter::NumberText(0.00001), QStringLiteral(" 0,00001 "));
    // Whatever the value, the text reads back as the same number.
    for (double v : {0.1, 3.0 / 7.0, 14999999.5, 123456.789, -0.0025}) {
        const QString t = CommLogWriter::NumberText(v).trimmed();
        EXPECT_NEAR(ParseNumber(t), v, std::abs(v) * 1e-13) << t.toStdString();
    }
}

TEST(CommLogTime, WholeMillisecondsHalvesToEven) {
    EXPECT_EQ(CommLogWriter::TimeText(0), QStringLiteral("0"));
    EXPECT_EQ(CommLogWriter::TimeText(1499.9), QStringLiteral("1"));
    EXPECT_EQ(CommLogWriter::TimeText(2500), QStringLiteral("2"));
    EXPECT_EQ(CommLogWriter::TimeText(3500), QStringLiteral("4"));
    EXPECT_EQ(CommLogWriter::TimeText(86'400'000'000'123.0), QStringLiteral("86400000000"));
}

TEST_F(CommLog, StartWithoutPreviousLogWritesNoLastLog) {
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    EXPECT_TRUE(QFile::exists(logPath));
    EXPECT_FALSE(QFile::exists(lastPath));
}

TEST_F(CommLog, StartMovesThePreviousLogToTheLastLog) {
    WriteRaw(logPath, "\"1 T previous run\"\r\n");
    WriteRaw(lastPath, "\"older run\"\r\n");
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    EXPECT_EQ(ReadAll(lastPath), QByteArray("\"1 T previous run\"\r\n"));
    EXPECT_EQ(LogLines(ReadAll(logPath)).size(), 1);  // only the new header

    // A second start while running: this log becomes the last one.
    log.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("7"));
    const QByteArray first = ReadAll(logPath);
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T"), CommLogWriter::Constants{}));
    EXPECT_EQ(ReadAll(lastPath), first);
    EXPECT_EQ(LogLines(ReadAll(logPath)).size(), 5);
    // Only one previous log survives.
    EXPECT_EQ(QDir(dir.filePath("BIN")).entryList(QDir::Files),
              (QStringList{"RxTx.TXT", "RxTx_Last.TXT"}));
}

TEST_F(CommLog, NothingIsWrittenBeforeStartOrAfterStop) {
    CommLogWriter log;
    log.WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102030C4D"));
    EXPECT_FALSE(QFile::exists(logPath));
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    log.Stop();
    EXPECT_FALSE(log.IsOpen());
    log.WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102030C4D"));
    EXPECT_EQ(LogLines(ReadAll(logPath)).size(), 1);
}

TEST_F(CommLog, LogThatCannotBeOpenedIsHarmless) {
    CommLogWriter log(dir.filePath("missing/RxTx.TXT"), dir.filePath("missing/RxTx_Last.TXT"));
    EXPECT_FALSE(log.StartLogRxTx(QStringLiteral("T")));
    log.WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102030C4D"));
    log.Close();
    EXPECT_FALSE(log.Reopen());
    EXPECT_FALSE(QFile::exists(dir.filePath("missing/RxTx.TXT")));
}

TEST_F(CommLog, InstalledWriterReceivesTheLinkLines) {
    {
        CommLogWriter log;
        log.Install();
        ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
        gascal::CommLog().WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102040900"));
        EXPECT_EQ(LogLines(ReadAll(logPath)).mid(1),
                  (QStringList{"\"CMD_GET_ECO\"", "\"0 T 4102040900\""}));
    }
    // The writer is gone: lines go nowhere, and nothing breaks.
    gascal::CommLog().WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102040900"));
    EXPECT_EQ(LogLines(ReadAll(logPath)).size(), 3);
}

TEST_F(CommLog, ReaderWithTheFileOpenLosesNoLineAndSeesNoHalfLine) {
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    QFile reader(logPath);
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    QByteArray seen = reader.readAll();

    int written = 0;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 25; ++i, ++written) {
            ev.RunFor(14'000);
            log.WriteLogRxTx(
                QStringLiteral("T "),
                QStringLiteral("4102030C%1").arg(written % 256, 2, 16, QLatin1Char('0')));
        }
        // Whatever the reader picks up ends on a line end.
        const QByteArray more = reader.readAll();
        EXPECT_TRUE(more.endsWith("\r\n")) << round;
        seen += more;
    }
    const QStringList lines = LogLines(seen);
    ASSERT_EQ(lines.size(), 1 + 2 * written);
    for (int i = 0; i < written; ++i) {
        EXPECT_EQ(lines[1 + 2 * i], QStringLiteral("\"CMD_READ_MEM1\""));
        EXPECT_TRUE(lines[2 + 2 * i].endsWith(
            QStringLiteral("4102030C%1\"").arg(i % 256, 2, 16, QLatin1Char('0'))))
            << i;
    }
    EXPECT_EQ(seen, ReadAll(logPath));
}

TEST_F(CommLog, LinesWrittenWhileClosedForTheViewerAreAppendedOnReopen) {
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    log.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("1"));
    log.Close();
    EXPECT_TRUE(log.IsClosedForReader());
    const QByteArray whileClosed = ReadAll(logPath);
    log.WriteLogRxTx(QStringLiteral("T "), QStringLiteral("4102030C4D"));
    log.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("3"));
    // The viewer's copy is not disturbed while it reads.
    EXPECT_EQ(ReadAll(logPath), whileClosed);
    ASSERT_TRUE(log.Reopen());
    log.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("1"));
    EXPECT_EQ(LogLines(ReadAll(logPath)).mid(1),
              (QStringList{"\"0 C 1\"", "\"CMD_READ_MEM1\"", "\"0 T 4102030C4D\"", "\"0 C 3\"",
                           "\"0 C 1\""}));
    EXPECT_EQ(log.DroppedLines(), 0u);
}

TEST_F(CommLog, LinesHeldAtANewStartGoToThePreviousLog) {
    CommLogWriter log;
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T")));
    log.Close();
    log.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("5"));
    ASSERT_TRUE(log.StartLogRxTx(QStringLiteral("T"), CommLogWriter::Constants{}));
    const QStringList last = LogLines(ReadAll(lastPath));
    ASSERT_EQ(last.size(), 2);
    EXPECT_EQ(last[1], QStringLiteral("\"0 C 5\""));
    EXPECT_EQ(LogLines(ReadAll(logPath)).size(), 5);
    EXPECT_TRUE(log.IsOpen());
    EXPECT_FALSE(log.IsClosedForReader());
}

// Two programs on one installation folder (the window and gascal-cli): the
// second finds the log locked and writes a log of its own, so the first
// one's live log is neither rotated nor truncated and goes on receiving its
// lines. Once the first stops, the next start takes the shared log again.
TEST_F(CommLog, ASecondProgramWritesItsOwnLogWhileTheFirstRuns) {
    CommLogWriter window;
    ASSERT_TRUE(window.StartLogRxTx(QStringLiteral("window")));
    window.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("1"));
    EXPECT_EQ(window.LogPath(), logPath);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        CommLogWriter cli;
        ASSERT_TRUE(cli.StartLogRxTx(QStringLiteral("cli")));
        EXPECT_EQ(cli.LogPath(), dir.filePath("BIN/RxTx_2.TXT"));
        cli.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("9"));
        cli.Stop();
        const QStringList own = LogLines(ReadAll(dir.filePath("BIN/RxTx_2.TXT")));
        ASSERT_EQ(own.size(), 2);  // started afresh on every run
        EXPECT_TRUE(own[0].contains("cli"));
    }
    EXPECT_FALSE(QFile::exists(lastPath));
    window.WriteLogRxTx(QStringLiteral("C "), QStringLiteral("2"));
    const QStringList lines = LogLines(ReadAll(logPath));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].contains("window"));
    EXPECT_TRUE(lines[2].endsWith("C 2\""));

    // The viewer's restart of the window's log rotates it as before.
    ASSERT_TRUE(window.StartLogRxTx(QStringLiteral("window")));
    EXPECT_EQ(LogLines(ReadAll(lastPath)).size(), 3);
    window.Stop();
    CommLogWriter next;
    ASSERT_TRUE(next.StartLogRxTx(QStringLiteral("next")));
    EXPECT_EQ(next.LogPath(), logPath);
}
