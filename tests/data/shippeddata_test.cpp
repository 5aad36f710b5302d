// The default data files shipped with the installation: the scale
// configuration and the default parameter set read cleanly with the tool's
// own readers and hold what the documentation promises.
#include <gtest/gtest.h>

#include "DataTestSupport.h"
#include "common/Prompts.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ScaleConfig.h"

using namespace gascal;

namespace {
const QString kScale = QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG/ConfigScale.ini");
const QString kDefaults = QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG/Default.Xar");
}  // namespace

TEST(ShippedDataTest, ScaleConfigurationReadsWithoutErrors) {
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ScaleConfig c;
    ASSERT_TRUE(c.Load(kScale));
    c.IniziaLevelGasType(kScale);
    c.IniziaTipoInj(kScale);
    c.IniziaTipoLambda(kScale, QStringLiteral("No lambda sensor"));
    EXPECT_TRUE(prompts.shown.empty());

    EXPECT_DOUBLE_EQ(c.KInj, 0.008);
    EXPECT_DOUBLE_EQ(c.KPwm, 1);
    EXPECT_DOUBLE_EQ(c.KTimer, 0.025);
    EXPECT_DOUBLE_EQ(c.InjOffset, 0.6);
    EXPECT_EQ(c.ControlPetrolFirmware.size(), 12);
    EXPECT_EQ(c.SL_6Cil, "6");
    EXPECT_EQ(c.SL_8Cil, "8");
    EXPECT_FALSE(c.PassWord00.isEmpty());
    EXPECT_FALSE(c.PassWord01.isEmpty());
    EXPECT_NE(c.PassWord00, c.PassWord01);
    EXPECT_GE(c.MappingThresholds.size(), 2u);
    for (const auto& [low, high] : c.MappingThresholds) EXPECT_LT(low, high);

    ASSERT_EQ(c.GasLevelType.size(), 4u);
    for (const auto& t : c.GasLevelType) {
        EXPECT_FALSE(t.Name.isEmpty());
        EXPECT_GT(t.Value, 0);
        // Thresholds rise from element 0 to 5 in both modes: the level page
        // keeps them in that order (its bars reversed for a sender whose
        // reading falls as the tank fills).
        for (int i = 1; i < 6; ++i)
            EXPECT_GT(t.Thresholds[i], t.Thresholds[i - 1]) << t.Name.toStdString();
    }
    ASSERT_EQ(c.InjectorType.size(), 4u);
    for (const auto& t : c.InjectorType) {
        EXPECT_GT(t.OpenTime, 0);
        EXPECT_GT(t.CalValue1, t.CalValue2);
        EXPECT_FALSE(t.ModelPoints.isEmpty());
    }
    ASSERT_EQ(c.LambdaType.size(), 5u);
    EXPECT_EQ(c.LambdaType[0].Name, "No lambda sensor");
    EXPECT_DOUBLE_EQ(c.LambdaType[3].Scale[0], 5);  // the inverted sensor's falling scale
    // Every calibration parameter is given.
    for (int n = 1; n <= kCalibrationParamCount; ++n) EXPECT_TRUE(c.CalParams[n].known) << n;
    EXPECT_DOUBLE_EQ(c.CalParam(10) * (1 - c.CalParam(11)), 1980);
    EXPECT_DOUBLE_EQ(c.CalParam(31), 1.25);
    EXPECT_DOUBLE_EQ(c.CalParam(24), 2);

    // The switchover lists the Configuration tab reads from the same file.
    for (const char* key :
         {"[RPM DI COMM.]", "[TEMP. DI COMM.]", "[RITARDO TEMP. DI COMM.]",
          "[RITARDO TEMP. DI COMM. TAB.2]", "[PRESSIONI DI FINE GAS]", "[RITARDO DI FINE GAS]",
          "[FORZA COMM.]", "[SEQUENZA COMMUTAZIONE]", "[SOGLIA RITARDO TEMP. DI COMM.]"}) {
        const auto v = ScaleConfig::ReadKeyValue(kScale, QString::fromLatin1(key));
        ASSERT_TRUE(v.has_value()) << key;
        for (const QString& item : v->split('|')) EXPECT_TRUE(IsPlainNumber(item)) << key;
    }
}

TEST(ShippedDataTest, DefaultParameterSetIsCompleteAndClean) {
    ScriptedPrompts prompts;
    ScopedPrompts scope(prompts);
    ParamImage image;
    ParamLoadReport report;
    LoadParamFile(kDefaults, image, nullptr, {}, &report);
    EXPECT_TRUE(report.fileFound);
    EXPECT_TRUE(report.badLines.isEmpty()) << report.badLines.join("; ").toStdString();
    EXPECT_TRUE(prompts.shown.empty());
    const Mem3Fields& m = image.Mem3Block;
    EXPECT_EQ(m.NumCoils, 4);
    EXPECT_EQ(m.NumCylinders, 4);
    EXPECT_EQ(m.SwitchRpm, 800);
    EXPECT_EQ(m.InjEnable, (std::array<uint8_t, 8>{1, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_DOUBLE_EQ(m.InjOpenTime, 2.4);
    EXPECT_DOUBLE_EQ(m.SwitchDelay, 20);
    EXPECT_EQ(image.Mem5Block.ShowRpmHigh, 2700);
    EXPECT_EQ(image.Mem5Block.ShowRpmLow, 2200);
    // The correction table of the plain line: slope 1, offset 0, nominal points.
    for (int k = 0; k < kCorTimeEntries; ++k) EXPECT_EQ(image.CorTable[k], 0) << k;
    EXPECT_EQ(image.CorTable[185], 1);
    EXPECT_EQ(image.CorTable[187], 30);
    EXPECT_EQ(image.CorTable[191], 157);
    for (double v : image.AdtTable) EXPECT_EQ(v, 0);

    // Block 5 alone, as the firmware upgrade takes it.
    ParamImage fresh;
    LoadBlock5FromFile(kDefaults, fresh);
    EXPECT_EQ(fresh.Mem5Block, image.Mem5Block);
}
