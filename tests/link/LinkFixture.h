// Shared set-up of the link tests: virtual time, a temporary installation
// folder, scripted prompts, a log sink that keeps every line with its time,
// scripted ports and a 1 ms link timer running the supervision step.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <memory>
#include <optional>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/LogSink.h"
#include "common/Prompts.h"
#include "common/TextFile.h"
#include "link/core/ClsComm.h"
#include "link/core/CommandTable.h"
#include "link/core/Frame.h"
#include "link/core/ScriptedPort.h"

// Readable test output for Qt texts.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QStringList& l, std::ostream* os) {
    *os << '{';
    for (const auto& s : l) *os << '"' << s.toStdString() << "\" ";
    *os << '}';
}
inline void PrintTo(const QByteArray& b, std::ostream* os) {
    *os << b.toHex(' ').toStdString();
}

namespace gascal::test {

struct LogLine {
    double us;
    QString kind;
    QString text;
};

class RecordingLog : public LogSink {
  public:
    std::vector<LogLine> lines;
    void WriteLogRxTx(const QString& kind, const QString& text) override {
        lines.push_back({MicroSeconds(), kind, text});
    }
    int Count(const QString& kind) const {
        int n = 0;
        for (const auto& l : lines)
            if (l.kind == kind) ++n;
        return n;
    }
    std::vector<LogLine> Of(const QString& kind) const {
        std::vector<LogLine> out;
        for (const auto& l : lines)
            if (l.kind == kind) out.push_back(l);
        return out;
    }
};

class ScopedLog {
  public:
    explicit ScopedLog(LogSink* s) { SetCommLog(s); }
    ~ScopedLog() { SetCommLog(nullptr); }
};

// An ECU on a scripted line that answers every request with status 0 and
// the data a function gives (by default: "ECO" for the keep-alive, nothing
// for the rest).
inline std::optional<QByteArray> DefaultEcu(const QByteArray& req) {
    const int cmd = FrameCommand(req);
    if (cmd == CMD_GET_ECO) return BuildAnswer(CMD_GET_ECO, 0, QByteArrayLiteral("ECO"));
    return BuildAnswer(static_cast<uint8_t>(cmd), 0);
}

class LinkTest : public ::testing::Test {
  protected:
    VirtualEventService ev;
    ScopedEvents scope{ev};
    QTemporaryDir dir;
    ScriptedPrompts prompts;
    ScopedPrompts promptScope{prompts};
    RecordingLog log;
    ScopedLog logScope{&log};
    ScriptedPortProvider ports;
    std::unique_ptr<ClsComm> comm;
    std::unique_ptr<Timer> timer1;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath(QStringLiteral("BIN"));
        SetInstallDir(dir.path());
        SetServiceView(false);
        comm = std::make_unique<ClsComm>();
        comm->SetPortProvider(&ports);
        timer1 = std::make_unique<Timer>("Timer1", 1, [this] { comm->SupervisionStep(); });
    }
    void TearDown() override {
        timer1.reset();
        comm.reset();
        SetServiceView(false);
    }

    // A settings file that selects the configured port without a search.
    void WriteSettings(const QStringList& lines) {
        ASSERT_TRUE(WriteLatin1Lines(SystemPath(QStringLiteral("\\BIN\\SetCom.ini")), lines));
    }
    void UseUsb() {
        WriteSettings({QStringLiteral("[UsbCom]"), QStringLiteral("1")});
        comm->ReadSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
    }
    std::shared_ptr<ScriptedLine> AddUsbEcu() {
        auto line = std::make_shared<ScriptedLine>();
        line->AnswerWith(DefaultEcu);
        ports.usb.push_back(line);
        return line;
    }
    // Starts the link timer and runs until the link is idle after its first
    // keep-alive answer.
    bool Connect(double maxUs = 2e6) {
        timer1->SetEnabled(true);
        return ev.RunUntil(
            [this] {
                return comm->ComState() == ComState::Idle && !comm->LastKeepAliveAnswer().isEmpty();
            },
            maxUs);
    }
    static int CountCommand(const ScriptedLine& line, uint8_t cmd) {
        int n = 0;
        for (const auto& r : line.requests)
            if (FrameCommand(r) == cmd) ++n;
        return n;
    }
};

}  // namespace gascal::test
