// The soak's ledger of what the ECU is to hold: which writes it calls wrong,
// which bytes it calls lost, and how an ECU reset moves the expectation.
#include <gtest/gtest.h>

#include "SoakLedger.h"

using namespace gascal;
using namespace gascal::soak;

namespace {

constexpr ByteAt kSwitchTemp{Region::Mem3, sim::mem3::SwitchTemp};
constexpr ByteAt kTableByte{Region::Table, 20};

sim::ConfigImage Factory() {
    return sim::FactoryConfig(4);
}

}  // namespace

TEST(SoakLedger, AWriteOfWhatWasAskedIsNeitherWrongNorLost) {
    const sim::ConfigImage start = Factory();
    SoakLedger ledger(start);
    EXPECT_TRUE(ledger.Compare(start).empty());

    ledger.Ask(kSwitchTemp, 47);
    ledger.Ask(kTableByte, 0x7F);
    // Not written yet: both are missing.
    EXPECT_EQ(ledger.Compare(start).size(), 2u);

    sim::ConfigImage after = start;
    after.mem3[sim::mem3::SwitchTemp] = 47;
    after.table[20] = 0x7F;
    ledger.Written(start, after);
    EXPECT_EQ(ledger.WrongWrites(), 0u);
    EXPECT_TRUE(ledger.Compare(after).empty());
    EXPECT_EQ(ledger.Asks(), 2u);
}

TEST(SoakLedger, AChangeToAValueNobodyAskedForIsAWrongWrite) {
    const sim::ConfigImage start = Factory();
    SoakLedger ledger(start);
    ledger.Ask(kSwitchTemp, 47);
    sim::ConfigImage after = start;
    after.mem3[sim::mem3::SwitchTemp] = 47;
    after.mem3[sim::mem3::SwitchTemp + 1] = 9;  // its high byte, never asked
    after.mem5[sim::mem5::SwitchSequence] ^= 0x10;
    ledger.Written(start, after);
    EXPECT_EQ(ledger.WrongWrites(), 2u);
    ASSERT_EQ(ledger.WrongWriteSamples().size(), 2u);
    EXPECT_EQ(ledger.WrongWriteSamples()[0].at.region, Region::Mem3);
    EXPECT_EQ(ledger.WrongWriteSamples()[0].value, 9);
    EXPECT_EQ(ledger.WrongWriteSamples()[1].at.region, Region::Mem5);
    // Both bytes are also not what the ECU is to hold.
    EXPECT_EQ(ledger.Compare(after).size(), 2u);

    // A value asked for earlier (a write built before the latest change,
    // landing after it) is no wrong write, though the latest change is then
    // missing.
    ledger.Ask(kSwitchTemp, 50);
    sim::ConfigImage newer = after;
    newer.mem3[sim::mem3::SwitchTemp] = 50;
    ledger.Written(after, newer);
    sim::ConfigImage stale = newer;
    stale.mem3[sim::mem3::SwitchTemp] = 47;
    ledger.Written(newer, stale);
    EXPECT_EQ(ledger.WrongWrites(), 2u);
    EXPECT_EQ(ledger.Compare(stale).size(), 3u);
}

TEST(SoakLedger, TheEcusOwnCountersAndReportsAreNotFollowed) {
    const sim::ConfigImage start = Factory();
    SoakLedger ledger(start);
    sim::ConfigImage after = start;
    after.mem2[sim::mem2::Hours1] = 0x55;
    after.mem2[sim::mem2::WorkMode] = 3;
    ledger.Written(start, after);
    EXPECT_EQ(ledger.WrongWrites(), 0u);
    EXPECT_TRUE(ledger.Compare(after).empty());
    // The two enables of block 2 are settings.
    after.mem2[sim::mem2::VacuumAcqEnable] ^= 1;
    ledger.Written(start, after);
    EXPECT_EQ(ledger.WrongWrites(), 1u);
}

TEST(SoakLedger, AResetLosesWhatHadArrivedButNotWhatWasStillToBeSent) {
    const sim::ConfigImage saved = Factory();
    SoakLedger ledger(saved);
    ledger.Ask(kSwitchTemp, 47);
    ledger.Ask(kTableByte, 0x7F);
    sim::ConfigImage working = saved;
    working.mem3[sim::mem3::SwitchTemp] = 47;
    ledger.Written(saved, working);  // the temperature arrived, the table byte not yet

    ledger.EcuReset(saved);  // back to the saved configuration
    EXPECT_EQ(ledger.LostToResets(), 1u);
    const auto missing = ledger.Compare(saved);
    ASSERT_EQ(missing.size(), 1u);  // the table byte is still owed
    EXPECT_EQ(missing[0].at.region, Region::Table);
    EXPECT_EQ(missing[0].expected, 0x7F);

    // The tool writes both again (a retry, or a write built before the
    // reset): what arrives is expected again.
    sim::ConfigImage rewritten = saved;
    rewritten.mem3[sim::mem3::SwitchTemp] = 47;
    rewritten.table[20] = 0x7F;
    ledger.Written(saved, rewritten);
    EXPECT_EQ(ledger.WrongWrites(), 0u);
    EXPECT_TRUE(ledger.Compare(rewritten).empty());
    EXPECT_EQ(ledger.Compare(saved).size(), 2u);
}

TEST(SoakLedger, FlatIndexCoversEveryRegionOnce) {
    for (size_t i = 0; i < SoakLedger::kBytes; ++i)
        ASSERT_EQ(SoakLedger::Index(SoakLedger::At(i)), i) << i;
    EXPECT_EQ(SoakLedger::At(0).region, Region::Mem2);
    EXPECT_EQ(SoakLedger::At(SoakLedger::kBytes - 1).region, Region::Table);
    EXPECT_EQ(SoakLedger::At(SoakLedger::kBytes - 1).offset, 2 * sim::kTableEntries - 1);
}
