// The cases in which the interruption harness found a fault of the
// correction table's write, replayed after the fix: the write cut after its
// first, second or third chunk by the window's close, a cable gone for good
// or an ECU reset.
#include <gtest/gtest.h>

#include "InterruptCase.h"

namespace gascal::interrupt {
namespace {

// The close waits for the table to be written; an ECU reset that takes
// chunks already written is found by the read-back and they are written
// again; with the cable gone the tool names the entries the ECU may still
// hold old. No case leaves a table part new and part old unsaid.
TEST(InterruptFaults, ATableWriteCutAfterAChunkIsFinishedOrNamesWhatIsMissing) {
    const Workflow* w = FindWorkflow(QStringLiteral("table-write"));
    ASSERT_TRUE(w);
    const struct {
        Interruption what;
        const char* outcome;  // how every case of the row ends
    } rows[] = {
        {Interruption::Esc, "closed"},
        {Interruption::CableGone, "pending, cable gone"},
        {Interruption::EcuReset, "written"},
    };
    for (const auto& row : rows) {
        for (PointKind kind : {PointKind::Request, PointKind::Answer}) {
            for (int chunk = 1; chunk <= 3; ++chunk) {
                const CaseId id{w->name, kind, chunk, row.what};
                const CaseResult r = w->run(id);
                EXPECT_TRUE(r.injected) << qPrintable(id.Text());
                EXPECT_EQ(r.outcome, QLatin1String(row.outcome)) << qPrintable(id.Text());
                EXPECT_TRUE(r.violations.isEmpty())
                    << qPrintable(id.Text()) << ": "
                    << qPrintable(r.violations.join(QStringLiteral("; ")));
            }
        }
    }
}

// gascal-cli's write-model cut between its table chunks by a cable pull:
// the command fails, and says which entries the ECU may still hold old
// rather than that the ECU kept its own table.
TEST(InterruptFaults, AWriteModelCutBetweenChunksNamesTheEntriesItMayHaveLeftOld) {
    const Workflow* w = FindWorkflow(QStringLiteral("table-write-cli"));
    ASSERT_TRUE(w);
    for (const CaseId& id : {CaseId{w->name, PointKind::Request, 14, Interruption::Cable1s},
                             CaseId{w->name, PointKind::Answer, 15, Interruption::CableGone},
                             CaseId{w->name, PointKind::Request, 17, Interruption::Cable15s}}) {
        const CaseResult r = w->run(id);
        EXPECT_TRUE(r.injected) << qPrintable(id.Text());
        EXPECT_EQ(r.outcome, QLatin1String("exit 3")) << qPrintable(id.Text());
        EXPECT_TRUE(r.violations.isEmpty())
            << qPrintable(id.Text()) << ": " << qPrintable(r.violations.join(QStringLiteral("; ")));
    }
}

// An ECU reset during a parameter-file load, before its store, takes the
// blocks and table entries written before it with the ECU's working memory.
// The store after it kept the old ones while the load said done; the load
// now reads back what it stored and writes and stores again what the ECU
// does not hold. Replayed in the window (online, offline, on gas) and in
// gascal-cli: every case ends with the file in the ECU and its flash.
TEST(InterruptFaults, AnEcuResetDuringALoadIsFoundByTheReadBackAndWrittenAgain) {
    const struct {
        const char* workflow;
        int index;            // the exchange before whose request the ECU resets
        const char* outcome;  // how the case ends
    } rows[] = {
        {"load", 2, "loaded"},          {"load", 3, "loaded"},          {"load-gas", 5, "loaded"},
        {"load-offline", 16, "loaded"}, {"load-offline", 20, "loaded"}, {"load-cli", 20, "exit 0"},
        {"load-cli", 22, "exit 0"},     {"load-gas-cli", 21, "exit 0"},
    };
    for (const auto& row : rows) {
        const Workflow* w = FindWorkflow(QLatin1String(row.workflow));
        ASSERT_TRUE(w) << row.workflow;
        const CaseId id{w->name, PointKind::Request, row.index, Interruption::EcuReset};
        const CaseResult r = w->run(id);
        EXPECT_TRUE(r.injected) << qPrintable(id.Text());
        EXPECT_EQ(r.outcome, QLatin1String(row.outcome)) << qPrintable(id.Text());
        EXPECT_TRUE(r.violations.isEmpty())
            << qPrintable(id.Text()) << ": " << qPrintable(r.violations.join(QStringLiteral("; ")));
    }
}

}  // namespace
}  // namespace gascal::interrupt
