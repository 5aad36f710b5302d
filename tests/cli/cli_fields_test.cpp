#include <gtest/gtest.h>

#include <set>

#include "app/gascal-cli/CliFields.h"
#include "data/core/ParamFields.h"
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

// The command line's fields are the image's field table, element by element:
// same names, blocks, read-only choice, decimals and ranges, and storing a
// value through a command-line field changes that element's edit alone.
TEST(CliFields, EveryTableElementOfTheSettingBlocksIsACliField) {
    ParamImage image;
    image.KInj = 0.004;
    image.KTimer = 0.1;
    image.Mem3Block.NumCoils = 4;
    image.Mem3Block.NumCylinders = 4;
    image.RecomputeRpmConstant();
    const auto table = CliFieldTable(image);
    size_t elements = 0;
    for (int block : {2, 3, 5}) {
        for (const ParamField& f : ParamFieldsOfBlock(block)) {
            const FieldRange range = f.Range(image);
            for (int i = 0; i < f.count; ++i) {
                ++elements;
                const QString name = f.ElementName(i);
                SCOPED_TRACE(name.toStdString());
                const CliField* c = FindCliField(table, name);
                ASSERT_TRUE(c);
                EXPECT_EQ(c->name, name);
                EXPECT_EQ(c->block, block);
                EXPECT_EQ(c->writable, !f.ReadOnly());
                EXPECT_EQ(c->decimals, f.decimals);
                if (!c->writable) {
                    EXPECT_FALSE(c->pend);
                    continue;
                }
                EXPECT_DOUBLE_EQ(c->min, range.min);
                EXPECT_DOUBLE_EQ(c->max, range.max);
                ParamImage p = image;
                p.ResetPendingEdits();
                c->pend(p, c->max);
                EXPECT_DOUBLE_EQ(f.PendingValue(p.PendingEdits, i), c->max);
                PendingEditsRecord others = p.PendingEdits;
                f.SetPendingValue(others, i, f.Sentinel());
                EXPECT_EQ(others, ParamImage::SentinelEdits());
            }
        }
    }
    EXPECT_EQ(table.size(), elements);
}

// The ranges, decimals and read-only choices of the command line.
TEST(CliFields, RangesAndReadOnlyFieldsOfTheCommandLine) {
    ParamImage image;
    image.KInj = 0.004;
    image.KTimer = 0.1;
    image.Mem3Block.NumCoils = 4;
    image.Mem3Block.NumCylinders = 4;
    image.RecomputeRpmConstant();  // 15 000 000: the lowest speed with a period is 229 rpm
    const auto table = CliFieldTable(image);
    const struct {
        const char* name;
        bool writable;
        double min, max;
        int decimals;
    } expected[] = {
        {"WorkMode", true, 0, 3, 0},
        {"Mem2Byte1", false, 0, 0, 0},
        {"EcuMode", false, 0, 0, 0},
        {"HoursCounter1", false, 0, 0, 2},
        {"HoursCounter2", false, 0, 0, 2},
        {"RpmCompEnable", true, 0, 1, 0},
        {"CutOff", false, 0, 0, 0},
        {"NumCylinders", true, 1, 8, 0},
        {"SwitchRpm", true, 229, 20000, 0},
        {"FuelType", true, 0, 254, 0},
        {"InjOpenTime", true, 0, 65535 * 0.004, 3},
        {"InjEnable7", true, 0, 4, 0},
        {"InjTrim0", true, -32768 * 0.004, 32767 * 0.004, 3},
        {"Mem3Byte39", false, 0, 0, 0},
        {"LevelThresholds5", true, 0, 65535, 0},
        {"VolCompEnable", true, 0, 254, 0},
        {"SwitchDelay", true, 0, 65535 * 0.1, 2},
        {"PreInjPeriod", true, 0, 32767 * 0.1, 2},
        {"PreInjTemp", true, -32768, 32767, 0},
        {"ShowRpmLow", true, 0, 65535, 0},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        const CliField* f = FindCliField(table, QString::fromLatin1(e.name));
        ASSERT_TRUE(f);
        EXPECT_EQ(f->writable, e.writable);
        EXPECT_EQ(f->decimals, e.decimals);
        if (!e.writable) continue;
        EXPECT_DOUBLE_EQ(f->min, e.min);
        EXPECT_DOUBLE_EQ(f->max, e.max);
    }
}

TEST(CliFields, LiveValuesLineUpWithTheirNames) {
    Mem1Fields m;
    m.SampleTimeMs = 12;
    m.SignedInjTimes[0] = -0.5;
    m.PetrolInjTimes[7] = 3.2;
    m.SkippedRaw[3] = 11;
    m.GasInjTimes[5] = 2.5;
    m.Rpm = 3100;
    m.LambdaVolts = 0.85;
    m.Valve2Open = 1;
    m.GasTemp = -7;
    m.LevelAux = 33;
    const QStringList names = Mem1FieldNames();
    const std::vector<double> values = Mem1FieldValues(m);
    ASSERT_EQ(names.size(), 1 + 4 * 8 + 12);
    ASSERT_EQ(values.size(), size_t(names.size()));
    const std::pair<const char*, double> expected[] = {
        {"SampleTimeMs", 12},  {"SignedInjTimes0", -0.5}, {"PetrolInjTimes7", 3.2},
        {"SkippedRaw3", 11},   {"GasInjTimes5", 2.5},     {"Rpm", 3100},
        {"LambdaVolts", 0.85}, {"Valve2Open", 1},         {"Valve1Open", 0},
        {"GasTemp", -7},       {"LevelAux", 33},
    };
    for (const auto& [name, value] : expected) {
        const int k = names.indexOf(QString::fromLatin1(name));
        ASSERT_GE(k, 0) << name;
        EXPECT_DOUBLE_EQ(values[size_t(k)], value) << name;
    }
}
