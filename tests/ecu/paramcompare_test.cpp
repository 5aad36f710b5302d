// Comparing two configurations: what counts as a difference (a different
// number on the wire), which parts are compared, the correction table as a
// model and entry by entry, and a parameter file read for a comparison.
#include "ecu/ParamCompare.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>
#include <functional>

#include "common/TextFile.h"
#include "data/core/ParamFile.h"

using namespace gascal;

namespace {

QStringList Names(const std::vector<ParamDifference>& diffs) {
    QStringList n;
    for (const ParamDifference& d : diffs) n << d.name;
    return n;
}

ParamImage Image() {
    ParamImage i;
    i.Mem3Block.NumCoils = 4;
    i.Mem3Block.NumCylinders = 4;
    i.RecomputeRpmConstant();
    i.CorTable[kCorTimeEntries + 1] = 1;  // ALFA
    return i;
}

ParamSide Side(const ParamImage& i) {
    ParamSide s;
    s.image = &i;
    s.table = &i.CorTable;
    return s;
}

}  // namespace

TEST(ParamCompare, ADifferenceIsADifferentNumberOnTheWire) {
    struct Case {
        const char* what;
        std::function<void(ParamImage&)> change;
        QStringList expected;
    };
    const double k = Image().KInj;
    const Case cases[] = {
        {"nothing", [](ParamImage&) {}, {}},
        {"a block-3 field",
         [](ParamImage& i) { i.Mem3Block.SwitchTempRaw = 45; },
         {"SwitchTempRaw"}},
        {"an array element", [k](ParamImage& i) { i.Mem3Block.InjTrim[2] = 3 * k; }, {"InjTrim2"}},
        {"less than half a count is no difference",
         [k](ParamImage& i) { i.Mem3Block.InjTrim[2] = 0.4 * k; },
         {}},
        {"a block-2 field",
         [](ParamImage& i) { i.Mem2Block.RpmCompEnable = 1; },
         {"RpmCompEnable"}},
        {"a block-5 field", [](ParamImage& i) { i.Mem5Block.PreInjTemp = -5; }, {"PreInjTemp"}},
        {"the model's slope", [](ParamImage& i) { i.CorTable[185] = 1.25; }, {"ALFA"}},
        {"a slope change below a thousandth", [](ParamImage& i) { i.CorTable[185] = 1.0004; }, {}},
        {"the model's offset", [](ParamImage& i) { i.CorTable[184] = 0.5; }, {"OFFSET"}},
        {"a point position", [](ParamImage& i) { i.CorTable[188] = 70; }, {"ModX2"}},
        {"a table entry by a count", [k](ParamImage& i) { i.CorTable[57] = k; }, {"CorTable57"}},
        {"a table entry by less than half a count",
         [k](ParamImage& i) { i.CorTable[57] = 0.3 * k; },
         {}},
        {"several, in order",
         [k](ParamImage& i) {
             i.CorTable[10] = 2 * k;
             i.Mem5Block.ShowRpmLow = 2000;
             i.Mem3Block.FuelType = 1;
             i.CorTable[185] = 0.9;
         },
         {"FuelType", "ShowRpmLow", "ALFA", "CorTable10"}},
    };
    for (const Case& c : cases) {
        const ParamImage a = Image();
        ParamImage b = Image();
        c.change(b);
        EXPECT_EQ(Names(CompareParams(Side(a), Side(b))), c.expected) << c.what;
    }
    // Both values are given in the image's units.
    const ParamImage a = Image();
    ParamImage b = Image();
    b.Mem3Block.InjTrim[2] = 3 * k;
    const auto d = CompareParams(Side(a), Side(b));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_DOUBLE_EQ(d[0].first, 0);
    EXPECT_DOUBLE_EQ(d[0].second, 3 * k);
    EXPECT_EQ(d[0].part, ParamPart::Block3);
    EXPECT_EQ(d[0].decimals, 3);
}

TEST(ParamCompare, PartsOneSideDoesNotHoldAreNotCompared) {
    const ParamImage a = Image();
    ParamImage b = Image();
    b.Mem2Block.RpmCompEnable = 1;
    b.Mem3Block.FuelType = 1;
    b.Mem5Block.ShowRpmLow = 2000;
    b.CorTable[57] = 1;
    struct Case {
        const char* what;
        std::function<void(ParamSide&)> drop;
        QStringList expected;
    };
    const Case cases[] = {
        {"everything",
         [](ParamSide&) {},
         {"RpmCompEnable", "FuelType", "ShowRpmLow", "CorTable57"}},
        {"no block 5",
         [](ParamSide& s) { s.hasBlock5 = false; },
         {"RpmCompEnable", "FuelType", "CorTable57"}},
        {"no table",
         [](ParamSide& s) { s.hasTable = false; },
         {"RpmCompEnable", "FuelType", "ShowRpmLow"}},
        {"only block 3",
         [](ParamSide& s) { s.hasBlock2 = s.hasBlock5 = s.hasTable = false; },
         {"FuelType"}},
    };
    for (const Case& c : cases) {
        ParamSide second = Side(b);
        c.drop(second);
        EXPECT_EQ(Names(CompareParams(Side(a), second)), c.expected) << c.what;
    }
}

TEST(ParamCompare, TheModelOfTheTableIsPluggedIn) {
    const ParamImage a = Image();
    ParamImage b = Image();
    b.CorTable[185] = 1.5;
    b.CorTable[20] = 1;
    // Another reader of the model: its names and values are compared; the
    // time entries still are, one by one.
    const CorModelReader slopeOnly = [](const ParamImage&, const CorTableArray& t) {
        return std::vector<ModelValue>{{QStringLiteral("Slope"), t[185] * 100, 0}};
    };
    const auto d = CompareParams(Side(a), Side(b), slopeOnly);
    EXPECT_EQ(Names(d), QStringList({"Slope", "CorTable20"}));
    EXPECT_DOUBLE_EQ(d[0].second, 150);
    EXPECT_EQ(Names(CompareParams(Side(a), Side(b), CorModelReader())),
              QStringList({"CorTable20"}));
}

TEST(ParamCompare, AFileIsReadAsALoadWouldApplyIt) {
    QTemporaryDir dir;
    ParamImage ecu = Image();
    ecu.Mem3Block.SwitchTempRaw = 40;
    ecu.Mem2Block.Mem2Byte1 = 3;  // running on gas
    ecu.Mem2Block.EcuMode = 1;
    ecu.CorTable[30] = 0.08;
    const QString path = dir.filePath("car.var");
    ASSERT_TRUE(SaveParamFile(path, ecu, 140, QStringLiteral("test")));
    // The file saved from this image holds what it holds, even though a
    // saved file always says "petrol, running on its own".
    ParamSide ecuSide = Side(ecu);
    ParamFileRead file = ReadParamFileForCompare(path, ecu, {});
    ASSERT_TRUE(file.Usable());
    EXPECT_TRUE(file.hasBlock2 && file.hasBlock3 && file.hasBlock5 && file.hasTable);
    EXPECT_EQ(Names(CompareParams(file.Side(), ecuSide)), QStringList());
    // An older firmware's file has no block 5: block 5 is not compared,
    // although the image the file was read onto has another one.
    ecu.Mem2Block.Mem2Byte1 = 0;
    ecu.Mem2Block.EcuMode = 0;
    ASSERT_TRUE(SaveParamFile(path, ecu, 132, QStringLiteral("test")));
    ecu.Mem5Block.PreInjTemp = 30;
    file = ReadParamFileForCompare(path, Image(), {});
    ASSERT_TRUE(file.Usable());
    EXPECT_FALSE(file.hasBlock5);
    EXPECT_EQ(Names(CompareParams(file.Side(), ecuSide)), QStringList());
    file.hasBlock5 = true;
    EXPECT_EQ(Names(CompareParams(file.Side(), ecuSide)), QStringList({"PreInjTemp"}));
    // A damaged file or none: nothing to compare.
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(path, lines));
    lines.replaceInStrings(QRegularExpression("^B3.*"), "B3XYZ");
    ASSERT_TRUE(WriteLatin1Lines(path, lines));
    file = ReadParamFileForCompare(path, ecu, {});
    EXPECT_TRUE(file.found);
    EXPECT_FALSE(file.badLines.isEmpty());
    EXPECT_FALSE(file.Usable());
    EXPECT_FALSE(ReadParamFileForCompare(dir.filePath("none.var"), ecu, {}).found);
}
