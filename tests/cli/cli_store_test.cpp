// gascal-cli and the ECU's flash: changes reach the ECU's working memory
// only; `set --save`, `write-model --save` and `save-flash` store them, and
// `set` without --save says that its change is not stored. Against the
// simulated ECU, whose reset loses what was not stored.
#include <gtest/gtest.h>

#include "sim/core/SimEcu.h"
#include "tests/cli/CliTestSupport.h"

using namespace gascal;
using namespace gascal::testing;

TEST(CliStore, ChangesSurviveAnEcuResetOnlyOnceStored) {
    struct Case {
        QStringList args;
        bool stored;         // the change is in flash afterwards
        bool saysNotStored;  // standard error says it is not
        bool table;          // the change is in the correction table (else block 3)
    };
    const Case cases[] = {
        {{"set", "SwitchTempRaw=55"}, false, true, false},
        {{"set", "SwitchTempRaw=55", "--save"}, true, false, false},
        {{"write-model", "--press", "offset-up=3"}, false, true, true},
        {{"write-model", "--press", "offset-up=3", "--save"}, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        Installation inst;
        auto ecu = NewEcu();
        const auto before = ecu->Saved();
        const Result r = RunVirtual(QStringList{"--sim"} + c.args, ecu, inst);
        ASSERT_EQ(r.rc, 0) << r.err.toStdString();
        EXPECT_EQ(r.err.contains("Not stored in the ECU's flash"), c.saysNotStored)
            << r.err.toStdString();
        if (c.table)
            ASSERT_NE(ecu->Working().table, before.table);
        else
            ASSERT_NE(ecu->Working().mem3, before.mem3);
        EXPECT_EQ(
            ecu->Saved().mem3 == ecu->Working().mem3 && ecu->Saved().table == ecu->Working().table,
            c.stored);
        if (!c.stored) {
            // save-flash stores what the ECU holds.
            const Result s = RunVirtual({"--sim", "save-flash"}, ecu, inst);
            EXPECT_EQ(s.rc, 0) << s.err.toStdString();
            EXPECT_TRUE(s.err.contains("Stored in the ECU's flash")) << s.err.toStdString();
        }
        const auto working = ecu->Working();
        ecu->Reset(ecu->Now());
        EXPECT_EQ(ecu->Working().mem3, working.mem3);
        EXPECT_EQ(ecu->Working().table, working.table);
    }
}

TEST(CliStore, HelpDocumentsStoring) {
    const QString help = CliHelpText();
    for (const char* word : {"save-flash", "set FIELD=VALUE... [--save]", "... [--save]",
                             "--save stores the table in the ECU's flash"})
        EXPECT_TRUE(help.contains(word)) << word;
}
