// The link's own lines reach the log file through the installed writer:
// request lines with their command names, answer lines, state changes and
// the diagnostic lines of a failed port call.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/TextFile.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/core/ScriptedPort.h"
#include "viewer/commlog/CommLogWriter.h"

using namespace gascal;

namespace {

QStringList FileLines(const QString& path) {
    QStringList lines;
    ReadLatin1Lines(path, lines);
    return lines;
}

// Splits "<ms> <kind><text>" record lines; name lines have no time.
bool IsRecord(const QString& line, const QString& kind) {
    const int space = static_cast<int>(line.indexOf(QLatin1Char(' ')));
    return line.startsWith(QLatin1Char('"')) && space > 1 && line.mid(space + 1).startsWith(kind);
}

}  // namespace

TEST(CommLogWithLink, ExchangeAndPortFailuresAreLogged) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("BIN"));
    const QString savedInstall = InstallDir();
    SetInstallDir(dir.path());
    SetServiceView(false);

    CommLogWriter writer;
    writer.Install();
    ASSERT_TRUE(writer.StartLogRxTx(QStringLiteral("GasCal")));

    ScriptedPortProvider ports;
    auto line = std::make_shared<ScriptedLine>();
    line->AnswerWith([](const QByteArray& req) -> std::optional<QByteArray> {
        const int cmd = FrameCommand(req);
        if (cmd == CMD_GET_ECO) return BuildAnswer(CMD_GET_ECO, 0, QByteArrayLiteral("ECO"));
        return BuildAnswer(static_cast<uint8_t>(cmd), 0);
    });
    ports.usb.push_back(line);
    ASSERT_TRUE(WriteLatin1Lines(SystemPath(QStringLiteral("\\BIN\\SetCom.ini")),
                                 {QStringLiteral("[UsbCom]"), QStringLiteral("1")}));
    {
        ClsComm comm;
        comm.SetPortProvider(&ports);
        comm.ReadSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
        Timer timer1("Timer1", 1, [&comm] { comm.SupervisionStep(); });
        timer1.SetEnabled(true);
        ASSERT_TRUE(ev.RunUntil(
            [&] {
                return comm.ComState() == ComState::Idle && !comm.LastKeepAliveAnswer().isEmpty();
            },
            2e6));

        // A request whose byte write fails.
        line->FailNext(ScriptedLine::Op::Write, 4);
        comm.SendMsg(BuildRequest(CMD_READ_MEM3));
        ev.RunFor(50'000);
        timer1.SetEnabled(false);
    }
    SetCommLog(nullptr);
    SetInstallDir(savedInstall);

    const QStringList lines = FileLines(dir.filePath("BIN/RxTx.TXT"));
    ASSERT_GT(lines.size(), 4);
    EXPECT_TRUE(lines[0].contains(QLatin1String(" O  Software ver. 01.01.05 GasCal ")));

    // Every request line follows its name line; answers and states have none.
    int requests = 0, answers = 0, states = 0;
    for (int i = 1; i < lines.size(); ++i) {
        if (IsRecord(lines[i], QStringLiteral("T 41"))) {
            ++requests;
            const QString hex = lines[i].mid(lines[i].indexOf(QLatin1String("T ")) + 2).chopped(1);
            const uint8_t code = static_cast<uint8_t>(hex.mid(6, 2).toUInt(nullptr, 16));
            EXPECT_EQ(lines[i - 1], QLatin1Char('"') + CommandLogName(code) + QLatin1Char('"'));
        } else if (IsRecord(lines[i], QStringLiteral("R 42"))) {
            ++answers;
            EXPECT_FALSE(lines[i - 1].startsWith(QLatin1String("\"CMD_")));
        } else if (IsRecord(lines[i], QStringLiteral("C "))) {
            ++states;
        }
    }
    EXPECT_GE(requests, 1);
    EXPECT_GE(answers, 1);
    EXPECT_GE(states, 2);
    EXPECT_TRUE(lines.contains(QStringLiteral("\"CMD_GET_ECO\"")));

    // The failed write: its call name and values, then the "H " line with
    // the frame after the error number, preceded by no name line of its own.
    int failed = -1;
    for (int i = 0; i < lines.size(); ++i)
        if (IsRecord(lines[i], QStringLiteral("FT_Write Send"))) failed = i;
    ASSERT_GE(failed, 1);
    EXPECT_FALSE(lines[failed - 1].startsWith(QLatin1String("\"CMD_")));
    bool sawStatus = false, sawH = false;
    for (int i = failed + 1; i < lines.size(); ++i) {
        sawStatus |= IsRecord(lines[i], QStringLiteral("FtStatus_Val 4"));
        if (IsRecord(lines[i], QStringLiteral("H ")) &&
            lines[i].endsWith(BytesToHex(BuildRequest(CMD_READ_MEM3)) + QLatin1Char('"')))
            sawH = true;
    }
    EXPECT_TRUE(sawStatus);
    EXPECT_TRUE(sawH);
}
