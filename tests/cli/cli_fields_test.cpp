#include <gtest/gtest.h>

#include <set>

#include "app/gascal-cli/CliFields.h"
#include "data/core/ParamImage.h"

using namespace gascal;

TEST(CliFields, NumbersTypedWithPointOrComma) {
    EXPECT_DOUBLE_EQ(*ParseCliNumber("1,5"), 1.5);
    EXPECT_DOUBLE_EQ(*ParseCliNumber(" -0.016 "), -0.016);
    EXPECT_FALSE(ParseCliNumber("").has_value());
    EXPECT_FALSE(ParseCliNumber("12a").has_value());
    EXPECT_FALSE(ParseCliNumber("inf").has_value());
    EXPECT_EQ(FormatCliNumber(2.5, 3), "2.5");
    EXPECT_EQ(FormatCliNumber(-0.0001, 3), "0");
    EXPECT_EQ(FormatCliNumber(2999.6, 0), "3000");
}

TEST(CliFields, TableCoversEveryBlockFieldOnceAndRangesExcludeSentinels) {
    ParamImage image;
    const auto table = CliFieldTable(image);
    std::set<QString> names;
    for (const CliField& f : table) {
        EXPECT_TRUE(names.insert(f.name.toLower()).second) << f.name.toStdString();
        EXPECT_TRUE(f.block == 2 || f.block == 3 || f.block == 5);
        if (!f.writable) continue;
        EXPECT_LE(f.min, f.max) << f.name.toStdString();
        // Storing the extremes must never look like "unchanged".
        for (double v : {f.min, f.max}) {
            ParamImage p;
            p.ResetPendingEdits();
            const PendingEditsRecord before = p.PendingEdits;
            f.pend(p, v);
            const bool changed = !(p.PendingEdits.Mem2Block == before.Mem2Block) ||
                                 !(p.PendingEdits.Mem3Block == before.Mem3Block) ||
                                 !(p.PendingEdits.Mem5Block == before.Mem5Block);
            EXPECT_TRUE(changed) << f.name.toStdString() << "=" << v;
        }
    }
    // Array fields carry the image's own name and the element index.
    for (int k = 0; k < 6; ++k)
        EXPECT_TRUE(FindCliField(table, QStringLiteral("LevelThresholds%1").arg(k))) << k;
    EXPECT_FALSE(FindCliField(table, "LevelThreshold0"));
    for (int k = 0; k < 8; ++k) {
        EXPECT_TRUE(FindCliField(table, QStringLiteral("InjEnable%1").arg(k))) << k;
        EXPECT_TRUE(FindCliField(table, QStringLiteral("InjTrim%1").arg(k))) << k;
    }
    EXPECT_TRUE(FindCliField(table, "switchrpm"));
    EXPECT_TRUE(FindCliField(table, "InjTrim7"));
    EXPECT_FALSE(FindCliField(table, "InjTrim8"));
    EXPECT_EQ(Mem1FieldNames().size(), static_cast<int>(Mem1FieldValues(Mem1Fields{}).size()));
    EXPECT_EQ(Mem1FieldNames().first(), "SampleTimeMs");
}
