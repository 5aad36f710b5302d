// gascal-cli load-params checks a parameter file before anything reaches the
// ECU: something that is no parameter file and values the ECU cannot hold
// are refused, a partial file is loaded only with --partial. Against the
// simulated ECU in virtual time.
#include <gtest/gtest.h>

#include <QFile>
#include <functional>

#include "common/TextFile.h"
#include "ecu/ConfigLoad.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimEcu.h"
#include "tests/cli/CliTestSupport.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// Configuration writes that reached the ECU.
uint64_t Writes(const sim::SimEcu& ecu) {
    uint64_t n = 0;
    for (uint8_t cmd :
         {CMD_WRT_MEM2, CMD_WRT_MEM3, CMD_WRT_MEM5, CMD_WRT_TBL_COR, CMD_SAVE_FLASH}) {
        const auto it = ecu.Counters().perCommand.find(cmd);
        if (it != ecu.Counters().perCommand.end()) n += it->second;
    }
    return n;
}

// A file saved from the ECU with every time entry of its table set to
// 0.256 ms, so that the file's entries can be told from the ECU's.
QByteArray DistinctFile(const Installation& inst, std::shared_ptr<sim::SimEcu> ecu) {
    const QString path = inst.File("whole.var");
    EXPECT_EQ(RunVirtual({"--sim", "save-params", path}, ecu, inst).rc, 0);
    QStringList lines;
    EXPECT_TRUE(ReadLatin1Lines(path, lines));
    const int cor = lines.indexOf("[COR]");
    for (int k = 0; k < 184; ++k) lines[cor + 1 + k] = " 0,256";
    EXPECT_TRUE(WriteLatin1Lines(path, lines));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

// Line `k` after "[COR]" replaced by `value` (several when `value` holds CR LF).
QByteArray WithTableLine(QByteArray file, int k, const QByteArray& value) {
    QList<QByteArray> lines = file.split('\n');
    const int cor = lines.indexOf("[COR]\r");
    lines[cor + 1 + k] = value + "\r";
    return lines.join('\n');
}

}  // namespace

TEST(CliLoadCheck, FilesThatAreNotWholeAreRefusedOrLoadedOnlyWithPartial) {
    struct Case {
        const char* name;
        std::function<QByteArray(const QByteArray& whole)> make;
        int rc;         // without --partial
        int rcPartial;  // with --partial
        const char* says;
    };
    const Case cases[] = {
        {"cut short", [](const QByteArray& w) { return w.left(900); }, 4, 0, "[COR] entries"},
        {"empty", [](const QByteArray&) { return QByteArray(); }, 4, 4, "not a parameter file"},
        {"hello", [](const QByteArray&) { return QByteArray("hello\r\n"); }, 4, 4,
         "not a parameter file"},
        {"no block 3",
         [](const QByteArray& w) {
             QByteArray c = w;
             const int at = c.indexOf("B3");
             return c.remove(at, c.indexOf('\n', at) + 1 - at);
         },
         4, 0, "[BLK3]"},
        {"malformed entry", [](const QByteArray& w) { return WithTableLine(w, 20, " 0,2x"); }, 4, 0,
         "line "},
        {"entry 99999", [](const QByteArray& w) { return WithTableLine(w, 30, " 99999"); }, 4, 4,
         "entry 30 (ms) = 99999 is outside"},
        {"entries 40000 and -40000",
         [](const QByteArray& w) {
             return WithTableLine(WithTableLine(w, 40, " 40000"), 41, "-40000");
         },
         4, 4, "entry 41 (ms) = -40000 is outside"},
        {"ALFA 2.5", [](const QByteArray& w) { return WithTableLine(w, 185, " 2,5"); }, 4, 4,
         "ALFA = 2,5 is outside 0 to 2"},
        {"OFFSET -1", [](const QByteArray& w) { return WithTableLine(w, 184, "-1"); }, 4, 4,
         "OFFSET (ms) = -1 is outside"},
        {"breakpoint 158", [](const QByteArray& w) { return WithTableLine(w, 190, " 158"); }, 4, 4,
         "breakpoint 4 (table steps) = 158 is outside 0 to 157"},
    };
    for (const Case& c : cases) {
        for (const bool partial : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (partial ? " --partial" : ""));
            Installation inst;
            auto ecu = NewEcu();
            const QByteArray whole = DistinctFile(inst, ecu);
            const QString path = inst.File("test.var");
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.make(whole));
            f.close();
            const auto before = ecu->Working();
            const uint64_t writesBefore = Writes(*ecu);
            QStringList args{"--sim", "load-params", path};
            if (partial) args << "--partial";
            const Result r = RunVirtual(args, ecu, inst);
            const int expected = partial ? c.rcPartial : c.rc;
            EXPECT_EQ(r.rc, expected) << r.err.toStdString();
            EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
            if (expected != 0) {
                EXPECT_EQ(Writes(*ecu), writesBefore) << "something was sent";
                EXPECT_EQ(ecu->Working(), before);
                EXPECT_FALSE(r.err.contains("Parameters loaded")) << r.err.toStdString();
            }
        }
    }
}

// A file cut short inside "[COR]" and loaded with --partial: the file's
// entries as far as they go, the ECU's own after them, and the torn last
// line is none of them.
TEST(CliLoadCheck, APartialLoadKeepsTheEcusEntriesAfterTheCut) {
    Installation inst;
    auto ecu = NewEcu();
    const QByteArray whole = DistinctFile(inst, ecu);
    const int16_t ecuLast = ecu->Working().TableEntry(183);
    const int16_t ecu100 = ecu->Working().TableEntry(100);
    ASSERT_NE(ecuLast, 32);  // 0.256 ms
    ASSERT_NE(ecu100, 25);   // 0.2 ms
    // Cut inside entry 100's line: " 0,2" of " 0,256" would read as a value.
    int at = whole.indexOf("[COR]\r\n");
    for (int k = 0; k <= 100; ++k) at = whole.indexOf('\n', at) + 1;
    const QString path = inst.File("cut.var");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(whole.left(at + 4));
    f.close();
    const Result r = RunVirtual({"--sim", "load-params", path, "--partial"}, ecu, inst);
    ASSERT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("the file ends inside this line")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("[COR] entries 100 to 191")) << r.err.toStdString();
    EXPECT_EQ(ecu->Working().TableEntry(0), 32);
    EXPECT_EQ(ecu->Working().TableEntry(99), 32);
    EXPECT_EQ(ecu->Working().TableEntry(100), ecu100);
    EXPECT_EQ(ecu->Working().TableEntry(183), ecuLast);
    EXPECT_EQ(ecu->Saved().table, ecu->Working().table);
}

TEST(CliLoadCheck, HelpDocumentsPartial) {
    EXPECT_TRUE(CliHelpText().contains("load-params [--partial] FILE"));
}

// An ECU whose working memory is lost after every block write (a reset at
// the request that follows it) never holds the blocks the load wrote, and
// stores its old ones: the load reads them back after the store, writes and
// stores them again a bounded number of times, and then fails naming them,
// never reporting the file loaded.
TEST(CliLoadCheck, ALoadTheEcuDoesNotKeepFailsNamingTheParts) {
    Installation inst;
    auto ecu = NewEcu();
    const QString path = inst.File("before.var");
    ASSERT_EQ(RunVirtual({"--sim", "save-params", path}, ecu, inst).rc, 0);
    // The ECU's block 3 moves away from the file's.
    ASSERT_EQ(
        RunVirtual({"--sim", "set", "SwitchRpm=2500", "InjTrim2=0.048", "--save"}, ecu, inst).rc,
        0);
    bool armed = false;
    ecu->SetRequestObserver([&](uint8_t cmd, uint8_t, const char*) {
        if (armed) {
            ecu->Failures().reset = 0;
            armed = false;
            return;
        }
        if (cmd == CMD_WRT_MEM2 || cmd == CMD_WRT_MEM3) {
            ecu->Failures().reset = 1;
            armed = true;
        }
    });
    const uint64_t before = ecu->Counters().resets;
    const Result r = RunVirtual({"--sim", "load-params", path}, ecu, inst);
    ecu->SetRequestObserver(nullptr);
    EXPECT_EQ(r.rc, 3) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("saved to the ECU's flash")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("does not hold these parts of the file")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("parts of the file after writing and storing them again: block 3."))
        << r.err.toStdString();
    // The load's write of block 3 and each round's, each lost.
    EXPECT_GE(ecu->Counters().resets - before, 1u + ConfigLoad::kRewriteRounds);
}
