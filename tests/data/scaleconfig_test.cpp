// Scale configuration: keys and defaults, the three list readers with their
// resizing rules and error reports, the calibration section, scrambled files.
#include "data/core/ScaleConfig.h"

#include <gtest/gtest.h>

#include "DataTestSupport.h"
#include "common/Prompts.h"
#include "link/firmware/LineReader.h"

using namespace gascal;
using gascal::testing::TempFolder;

namespace {

ScaleConfig LoadFrom(const TempFolder& dir, const QStringList& lines) {
    ScaleConfig c;
    c.Load(dir.WriteLines(QStringLiteral("ConfigScale.ini"), lines));
    return c;
}

}  // namespace

TEST(ScaleConfigTest, MissingFileKeepsEveryDefault) {
    TempFolder dir;
    ScaleConfig c;
    c.KInj = 123;  // Load starts from the defaults
    EXPECT_FALSE(c.Load(dir.Path(QStringLiteral("none.ini"))));
    EXPECT_DOUBLE_EQ(c.KInj, 0.008);
    EXPECT_DOUBLE_EQ(c.KPwm, 1);
    EXPECT_DOUBLE_EQ(c.KLambda, 0.001);
    EXPECT_DOUBLE_EQ(c.KTimer, 0.025);
    EXPECT_DOUBLE_EQ(c.KLevel, 4.883);
    EXPECT_DOUBLE_EQ(c.KSupply, 0.0328125);
    EXPECT_DOUBLE_EQ(c.InjOffset, 0.6);
    EXPECT_EQ(c.StepBadBit, 96);
    ASSERT_EQ(c.MappingThresholds.size(), 1u);
    EXPECT_EQ(c.MappingThresholds[0], std::make_pair(2200, 2700));
    EXPECT_TRUE(c.PassWord00.isEmpty());
    EXPECT_FALSE(c.CkbeV02Visible);
    EXPECT_EQ(c.PreInjTempItems, (QStringList{"5", "10", "15", "20"}));
    EXPECT_EQ(c.PreInjTimeItems, (std::vector<double>{0, 0.5, 1, 1.5, 2}));
    EXPECT_DOUBLE_EQ(c.CalParam(10), 2200);
    EXPECT_DOUBLE_EQ(c.CalParam(11), 0.10);
    EXPECT_DOUBLE_EQ(c.CalParam(31), 1.25);
    EXPECT_FALSE(c.CalParams[8].known);
    ASSERT_EQ(c.LambdaType.size(), 1u);
    EXPECT_EQ(c.LambdaType[0].Name, "NULL");
}

TEST(ScaleConfigTest, InjectionUnitAcceptsOnlyNumbersWithDecimalComma) {
    TempFolder dir;
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[K_Time_Inj_us]", "8"}).KInj, 0.008);
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[K_Time_Inj_us]", "7,5"}).KInj, 0.0075);
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[K_Time_Inj_us]", "abc"}).KInj, 0.008);
    // A decimal point is no number here, and a zero factor would make every
    // payload divide by zero: both keep the default.
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[K_Time_Inj_us]", "7.5"}).KInj, 0.008);
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[K_Time_Inj_us]", "0"}).KInj, 0.008);
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[K_Timer_Gen_us]", "  50 "}).KTimer, 0.05);
    // The later of two keys wins.
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[K_Lambda_mV]", "2", "[K_Lambda_mV]", "4"}).KLambda, 0.004);
    // Keys are case-sensitive and must stand alone on their line.
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {"[k_time_inj_us]", "9"}).KInj, 0.008);
    EXPECT_DOUBLE_EQ(LoadFrom(dir, {" [K_Time_Inj_us]", "9"}).KInj, 0.008);
}

TEST(ScaleConfigTest, KeyOnLastLineIsIgnored) {
    TempFolder dir;
    const ScaleConfig c = LoadFrom(dir, {"[K_Time_Inj_us]", "9", "[K_Time_Pwm_us]"});
    EXPECT_DOUBLE_EQ(c.KInj, 0.009);
    EXPECT_DOUBLE_EQ(c.KPwm, 1);
}

TEST(ScaleConfigTest, TextKeys) {
    TempFolder dir;
    const ScaleConfig c = LoadFrom(
        dir, {"[Control_petrol_firmware]", "12345", "[SL_6Cil]", " 6 ", "[PassWord00]", " Ab c ",
              "[PassWord01]", "x", "[CkbeV_02_VISIBILE]", "1", "[SOGLIE MAPPING]",
              "2200,2700|2400,2900", "[StepBadBit_us]", "120", "[SommaTempoInj_usec]", "450"});
    EXPECT_EQ(c.ControlPetrolFirmware, "000000012345");
    EXPECT_EQ(c.SL_6Cil, "6");
    EXPECT_EQ(c.PassWord00, " Ab c ");  // passwords are not trimmed
    EXPECT_EQ(c.PassWord01, "x");
    EXPECT_TRUE(c.CkbeV02Visible);
    ASSERT_EQ(c.MappingThresholds.size(), 2u);
    EXPECT_EQ(c.MappingThresholds[1], std::make_pair(2400, 2900));
    EXPECT_EQ(c.StepBadBit, 120);
    EXPECT_DOUBLE_EQ(c.InjOffset, 0.45);

    // A long firmware text keeps its last 12 characters; a broken pair keeps
    // the default list; a visibility other than "1" is off.
    const ScaleConfig d =
        LoadFrom(dir, {"[Control_petrol_firmware]", "99001501032025", "[SOGLIE MAPPING]",
                       "2200,2700|oops", "[CkbeV_02_VISIBILE]", "yes"});
    EXPECT_EQ(d.ControlPetrolFirmware, "001501032025");
    // A bad-bit step beyond 16 bits keeps the default.
    for (const char* step : {"32768", "59106000000000000000000000000000"})
        EXPECT_EQ(LoadFrom(dir, {"[StepBadBit_us]", step}).StepBadBit, 96) << step;
    EXPECT_EQ(LoadFrom(dir, {"[StepBadBit_us]", "32767"}).StepBadBit, 32767);
    ASSERT_EQ(d.MappingThresholds.size(), 1u);
    EXPECT_EQ(d.MappingThresholds[0].first, 2200);
    EXPECT_FALSE(d.CkbeV02Visible);
}

TEST(ScaleConfigTest, ExpertItemLists) {
    TempFolder dir;
    const ScaleConfig c = LoadFrom(dir, {"[CmbTemperUnderPreInj]", "0|5|10", "[CmbValuePreInj]",
                                         "0|5|15", "[CmbDefTimeSovra]", "1|2"});
    EXPECT_EQ(c.PreInjTempItems, (QStringList{"0", "5", "10"}));
    EXPECT_EQ(c.PreInjTimeItems, (std::vector<double>{0, 0.5, 1.5}));
    EXPECT_EQ(c.PreInjPeriodItems, (QStringList{"1", "2"}));
    // An item that is not a number keeps the default time list.
    const ScaleConfig d = LoadFrom(dir, {"[CmbValuePreInj]", "0|x"});
    EXPECT_EQ(d.PreInjTimeItems.size(), 5u);
}

TEST(ScaleConfigTest, CalibrationParametersByPositionAndFactor) {
    TempFolder dir;
    QStringList lines = {"[K_Time_Inj_us]", "8", "[PARAMETRI DI TARATURA]"};
    // Value n stands on the (2n)-th line after the section line.
    for (int n = 1; n <= 33; ++n)
        lines << QStringLiteral("label %1").arg(n) << QString::number(n * 10);
    lines[2 + 2 * 5] = "oops";  // value 5 broken: its default stays
    const ScaleConfig c = LoadFrom(dir, lines);
    EXPECT_DOUBLE_EQ(c.CalParam(1), 10);
    EXPECT_DOUBLE_EQ(c.CalParam(5), 8);
    EXPECT_DOUBLE_EQ(c.CalParam(11), 110 / 100.0);
    EXPECT_DOUBLE_EQ(c.CalParam(14), 140 / 1000.0);
    EXPECT_DOUBLE_EQ(c.CalParam(24), 240 / 1000.0);
    EXPECT_DOUBLE_EQ(c.CalParam(30), 300 / 100.0);
    EXPECT_DOUBLE_EQ(c.CalParam(33), 330 / 1000.0);
    EXPECT_TRUE(c.CalParams[8].known);

    // A section cut short leaves the later values at their defaults.
    const ScaleConfig d = LoadFrom(dir, {"[PARAMETRI DI TARATURA]", "a", "60", "b"});
    EXPECT_DOUBLE_EQ(d.CalParam(1), 60);
    EXPECT_DOUBLE_EQ(d.CalParam(2), 40);
}

TEST(ScaleConfigTest, ScrambledFileReadsLikePlainOne) {
    TempFolder dir;
    const QString p = dir.Path(QStringLiteral("scr.ini"));
    ASSERT_TRUE(WriteScrambledFile(p, {"[K_Time_Inj_us]", "7,5", "[InjType_02]", "Type B", "2", "2",
                                       "2", "3", "1", "P1|+0|+0,1"}));
    ScaleConfig c;
    ASSERT_TRUE(c.Load(p));
    EXPECT_DOUBLE_EQ(c.KInj, 0.0075);
    c.IniziaTipoInj(p);
    ASSERT_EQ(c.InjectorType.size(), 1u);
    EXPECT_EQ(c.InjectorType[0].Name, "Type B");
    EXPECT_EQ(c.InjectorType[0].Code, 2);
}

TEST(ScaleConfigTest, BareLineFeedsAreLineEnds) {
    TempFolder dir;
    ScaleConfig c;
    c.Load(dir.WriteRaw(QStringLiteral("lf.ini"), "[K_Time_Inj_us]\n9\n"));
    EXPECT_DOUBLE_EQ(c.KInj, 0.009);
}

// --- List readers --------------------------------------------------------------

namespace {
QStringList LevelSection(const QString& nn, const QString& name, int code) {
    return {"[GasLevel_" + nn + "]",
            name,
            QString::number(code),
            "Cap " + name,
            "10",
            "20",
            "30",
            "40",
            "50",
            "60",
            "90",
            "0"};
}
}  // namespace

TEST(ScaleConfigListTest, LevelListResizesToEachHeader) {
    TempFolder dir;
    QStringList lines = LevelSection("05", "Five", 50);
    lines << LevelSection("02", "Two", 20);
    ScaleConfig c;
    c.IniziaLevelGasType(dir.WriteLines("c.ini", lines));
    // [GasLevel_02] after [GasLevel_05] shrinks the list to three entries.
    ASSERT_EQ(c.GasLevelType.size(), 3u);
    EXPECT_EQ(c.GasLevelType[2].Name, "Two");
    EXPECT_EQ(c.GasLevelType[2].Caption, "Cap Two");
    EXPECT_EQ(c.GasLevelType[2].Thresholds, (std::array<int, 6>{10, 20, 30, 40, 50, 60}));
    EXPECT_DOUBLE_EQ(c.GasLevelType[2].Value, 90);
    EXPECT_TRUE(c.GasLevelType[0].Name.isEmpty());
    EXPECT_EQ(c.LevelIndexByCode(20), 2);
    EXPECT_EQ(c.LevelIndexByCode(50), -1);
    EXPECT_EQ(c.LevelAt(3), nullptr);
    EXPECT_EQ(c.LevelAt(-1), nullptr);

    // Reading again keeps the existing entries and grows for a higher number.
    c.IniziaLevelGasType(dir.WriteLines("d.ini", LevelSection("04", "Four", 40)));
    ASSERT_EQ(c.GasLevelType.size(), 5u);
    EXPECT_EQ(c.GasLevelType[2].Name, "Two");
    EXPECT_EQ(c.LevelIndexByCode(40), 4);
}

TEST(ScaleConfigListTest, LevelConversionFailureReportsAndGoesOn) {
    TempFolder dir;
    QStringList lines = LevelSection("00", "Bad", 1);
    lines[5] = "ten";  // second threshold
    lines << LevelSection("01", "Good", 7);
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ScaleConfig c;
    c.IniziaLevelGasType(dir.WriteLines("c.ini", lines));
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_TRUE(prompts.shown[0].text.contains("Config level sensor error"));
    EXPECT_TRUE(prompts.shown[0].text.contains("IniziaLevelGasType_Err"));
    EXPECT_TRUE(prompts.shown[0].text.contains("line 6"));
    EXPECT_TRUE(prompts.shown[0].title.endsWith(": Error"));
    ASSERT_EQ(c.GasLevelType.size(), 2u);
    EXPECT_EQ(c.GasLevelType[0].Thresholds[1], 0);   // the bad one keeps its value
    EXPECT_EQ(c.GasLevelType[0].Thresholds[2], 30);  // and the next line is read
    EXPECT_EQ(c.GasLevelType[1].Name, "Good");
}

TEST(ScaleConfigListTest, HeaderWithoutNumberLeavesNoEntry) {
    TempFolder dir;
    QStringList lines = {"[GasLevel_xx]", "Lost"};
    lines << LevelSection("01", "Kept", 3);
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ScaleConfig c;
    c.IniziaLevelGasType(dir.WriteLines("c.ini", lines));
    EXPECT_EQ(prompts.shown.size(), 1u);
    ASSERT_EQ(c.GasLevelType.size(), 2u);
    EXPECT_EQ(c.GasLevelType[1].Name, "Kept");
}

TEST(ScaleConfigListTest, TruncatedSectionIsReported) {
    TempFolder dir;
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ScaleConfig c;
    c.IniziaLevelGasType(dir.WriteLines("c.ini", {"[GasLevel_00]", "Short", "4"}));
    ASSERT_EQ(c.GasLevelType.size(), 1u);
    EXPECT_EQ(c.GasLevelType[0].Code, 4);
    EXPECT_EQ(prompts.shown.size(), 1u);
}

TEST(ScaleConfigListTest, InjectorTypesAppendInFileOrderWithPwmFactor) {
    TempFolder dir;
    const QStringList lines = {"[K_Time_Pwm_us]",
                               "500",
                               "[InjType_07]",
                               " Type A 2 ohm ",
                               "2,5",
                               "1",
                               "3",
                               "4,2",
                               "3,1",
                               "R0|1|4",
                               "[InjType_03]",
                               "Type B",
                               "2",
                               "2",
                               "2",
                               "5",
                               "4",
                               ""};
    const QString p = dir.WriteLines("c.ini", lines);
    ScaleConfig c;
    c.Load(p);
    c.IniziaTipoInj(p);
    ASSERT_EQ(c.InjectorType.size(), 2u);
    const InjectorTypeEntry& a = c.InjectorType[0];
    EXPECT_EQ(a.Name, "Type A 2 ohm");
    EXPECT_EQ(a.Code, 7);
    EXPECT_DOUBLE_EQ(a.OpenTime, 1.25);
    EXPECT_DOUBLE_EQ(a.PwmTime2, 0.5);
    EXPECT_DOUBLE_EQ(a.PwmTime1, 1.5);
    EXPECT_DOUBLE_EQ(a.CalValue1, 4.2);
    EXPECT_DOUBLE_EQ(a.CalValue2, 3.1);
    EXPECT_EQ(a.ModelPoints, "R0|1|4");
    EXPECT_EQ(c.InjectorType[1].Code, 3);
    EXPECT_EQ(c.InjectorIndexByCode(3), 1);
    // Reading the file again does not double the list.
    c.IniziaTipoInj(p);
    EXPECT_EQ(c.InjectorType.size(), 2u);
}

TEST(ScaleConfigListTest, InjectorFailureUsesItsOwnReport) {
    TempFolder dir;
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ScaleConfig c;
    c.IniziaTipoInj(dir.WriteLines("c.ini", {"[InjType_01]", "X", "fast", "1", "1", "1", "1", ""}));
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_TRUE(prompts.shown[0].text.contains("IniziaTipoInj_Err"));
    ASSERT_EQ(c.InjectorType.size(), 1u);
    EXPECT_DOUBLE_EQ(c.InjectorType[0].PwmTime2, 1);
}

TEST(ScaleConfigListTest, LambdaListStartsFromBuiltInEntry) {
    TempFolder dir;
    const QString p = dir.WriteLines("c.ini", {"[Lambda_01]", "Narrow", "1", "1", "800|0",
                                               "[Lambda_02]", "Wide", "5", "2", "0|5000"});
    ScaleConfig c;
    c.IniziaTipoLambda(p, QStringLiteral("None"));
    ASSERT_EQ(c.LambdaType.size(), 3u);
    EXPECT_EQ(c.LambdaType[0].Name, "NULL");  // not in the file: built-in entry stays
    EXPECT_DOUBLE_EQ(c.LambdaType[2].Factor, 0.002);
    EXPECT_DOUBLE_EQ(c.LambdaType[2].Scale[0], 0);
    EXPECT_DOUBLE_EQ(c.LambdaType[2].Scale[5], 2.5);
    EXPECT_DOUBLE_EQ(c.LambdaType[2].Scale[10], 5);
    // A falling scale.
    EXPECT_DOUBLE_EQ(c.LambdaType[1].Scale[0], 0.8);
    EXPECT_NEAR(c.LambdaType[1].Scale[10], 0, 1e-12);
    EXPECT_LT(c.LambdaType[1].Scale[3], c.LambdaType[1].Scale[2]);
    EXPECT_EQ(c.LambdaIndexByCode(5), 2);
    EXPECT_EQ(c.LambdaIndexByCode(9), -1);
    // A second read starts over from the built-in entry.
    c.IniziaTipoLambda(dir.WriteLines("d.ini", {"x"}));
    EXPECT_EQ(c.LambdaType.size(), 1u);
}

TEST(ScaleConfigListTest, LambdaEntryZeroTakesTheLanguageName) {
    TempFolder dir;
    ScaleConfig c;
    c.IniziaTipoLambda(dir.WriteLines("c.ini", {"[Lambda_00]", "Off", "0", "1", "0|1000"}),
                       QStringLiteral("Nessuna"));
    ASSERT_EQ(c.LambdaType.size(), 1u);
    EXPECT_EQ(c.LambdaType[0].Name, "Nessuna");
    EXPECT_DOUBLE_EQ(c.LambdaType[0].Scale[10], 1);
}

TEST(ScaleConfigListTest, LambdaBadScaleReports) {
    TempFolder dir;
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ScaleConfig c;
    c.IniziaTipoLambda(dir.WriteLines("c.ini", {"[Lambda_01]", "N", "1", "1", "800"}));
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_TRUE(prompts.shown[0].text.contains("Config lambda sensor error"));
    EXPECT_TRUE(prompts.shown[0].text.contains("IniziaTipoLambda_Err"));
}

TEST(ScaleConfigListTest, MissingFileKeepsLists) {
    TempFolder dir;
    ScaleConfig c;
    c.GasLevelType.resize(2);
    c.InjectorType.resize(1);
    c.IniziaLevelGasType(dir.Path("none"));
    c.IniziaTipoInj(dir.Path("none"));
    c.IniziaTipoLambda(dir.Path("none"));
    EXPECT_EQ(c.GasLevelType.size(), 2u);
    EXPECT_EQ(c.InjectorType.size(), 1u);
    EXPECT_EQ(c.LambdaType.size(), 1u);
}

TEST(ScaleConfigTest, KeyValueOfOtherSections) {
    TempFolder dir;
    const QString p = dir.WriteLines("c.ini", {"[RPM DI COMM.]", "0|800|1200 ", "[FORZA COMM.]"});
    EXPECT_EQ(ScaleConfig::ReadKeyValue(p, "[RPM DI COMM.]").value_or("none"), "0|800|1200");
    EXPECT_FALSE(ScaleConfig::ReadKeyValue(p, "[FORZA COMM.]").has_value());
    EXPECT_FALSE(ScaleConfig::ReadKeyValue(dir.Path("x"), "[RPM DI COMM.]").has_value());
}
