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
#include "ecu/LineModel.h"

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
    // The points at their nominal table steps.
    const double breaks[] = {0, 30, 63, 94, 125, 157};
    for (int p = 0; p < 6; ++p) i.CorTable[static_cast<size_t>(186 + p)] = breaks[p];
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
        {"a point position", [](ParamImage& i) { i.CorTable[188] = 70; }, {"ModX2", "ModY2"}},
        {"the entry under a point",
         [k](ParamImage& i) { i.CorTable[63] = k; },
         {"ModY2", "CorTable63"}},
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
    // An injector's state on gas (2 to 4) is the ECU's own: a file's 1 and
    // the ECU's 2, 3 or 4 are the same fitted injector; 0 against 1 is not.
    ParamImage file = Image(), ecu = Image();
    file.Mem3Block.InjEnable = {1, 1, 1, 1, 0, 0, 0, 0};
    ecu.Mem3Block.InjEnable = {3, 4, 2, 0, 0, 0, 1, 0};
    EXPECT_EQ(Names(CompareParams(Side(file), Side(ecu))),
              (QStringList{"InjEnable3", "InjEnable6"}));

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

TEST(ParamCompare, TheModelIsTheLineModelRebuiltFromTheTable) {
    ParamImage i = Image();
    const double k = i.KInj;
    i.CorTable[184] = 0.3;    // OFFSET
    i.CorTable[185] = 1.2;    // ALFA
    i.CorTable[63] = 60 * k;  // the entry under point 2
    const std::vector<ModelValue> m = CorModelFromLineModel(i, i.CorTable);
    QStringList names;
    for (const ModelValue& v : m) names << v.name;
    EXPECT_EQ(names, QStringList({"ALFA", "OFFSET", "ModX0", "ModY0", "ModX1", "ModY1", "ModX2",
                                  "ModY2", "ModX3", "ModY3", "ModX4", "ModY4", "ModX5", "ModY5",
                                  "ModX6", "ModY6"}));
    // The same model the Modeling tab and gascal-cli model rebuild.
    LineModel expected;
    CorTableArray t = i.CorTable;
    expected.FromTable(t);
    EXPECT_DOUBLE_EQ(m[0].value, expected.ALFA);
    EXPECT_DOUBLE_EQ(m[1].value, expected.OFFSET);
    for (size_t p = 0; p < kModelPoints; ++p) {
        EXPECT_DOUBLE_EQ(m[2 + 2 * p].value, expected.ModX[p]) << p;
        EXPECT_DOUBLE_EQ(m[3 + 2 * p].value, expected.ModY[p]) << p;
    }
    // In ms: point 2 at 63 table steps, its gas time the petrol time plus
    // the entry under it.
    EXPECT_NEAR(m[6].value, 8.064, 1e-9);
    EXPECT_NEAR(m[7].value, 8.064 + 60 * k, 1e-9);
    // The repair of a read table is made on a copy.
    i.CorTable[189] = 400;
    CorModelFromLineModel(i, i.CorTable);
    EXPECT_EQ(i.CorTable[189], 400);
}

TEST(ParamCompare, ALineChangeMovesNoPointThatStaysPut) {
    // The points' gas times are the petrol time plus the entry under them:
    // another slope or offset alone changes only ALFA or OFFSET, whatever the
    // binary rounding of the model's arithmetic.
    ParamImage a = Image();
    const double k = a.KInj;
    for (int e = 0; e < kCorTimeEntries; ++e) a.CorTable[static_cast<size_t>(e)] = (e % 37) * k;
    for (int step = 1; step < 200; step += 3) {
        ParamImage b = a;
        b.CorTable[185] = step / 100.0;
        const QStringList expected = step == 100 ? QStringList() : QStringList({"ALFA"});
        EXPECT_EQ(Names(CompareParams(Side(a), Side(b))), expected) << step;
        b = a;
        b.CorTable[184] = step / 100.0;
        EXPECT_EQ(Names(CompareParams(Side(a), Side(b))), QStringList({"OFFSET"})) << step;
    }
}
