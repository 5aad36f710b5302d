#include "mainwindow/controller/LiveDisplay.h"

#include <gtest/gtest.h>

#include "common/Helpers.h"

using namespace gascal;

namespace {
LiveInputs KeyOnAt(int rpm) {
    LiveInputs in;
    in.keyOn = true;
    in.rpm = rpm;
    return in;
}
QString Dec(const char* s) {
    return QString::fromLatin1(s).replace('.', DecimalSeparator());
}
}  // namespace

TEST(LiveDisplay, EngineSpeedIsSmoothedAndShownInFourDigits) {
    LiveDisplay d;
    d.UpdateRpm(KeyOnAt(800));
    EXPECT_EQ(d.rpmText, "0400");  // average with the 0 shown before
    d.UpdateRpm(KeyOnAt(800));
    EXPECT_EQ(d.rpmText, "0600");
    for (int i = 0; i < 30; ++i) d.UpdateRpm(KeyOnAt(12345));
    EXPECT_EQ(d.ShownRpm(), 12344);  // integer average never quite reaches it
    EXPECT_EQ(d.rpmText, "2344");
    d.UpdateRpm(KeyOnAt(12345));
    d.UpdateRpm(KeyOnAt(12346));
    EXPECT_EQ(d.rpmText, "2345");
    LiveInputs off = KeyOnAt(3000);
    off.keyOn = false;
    d.UpdateRpm(off);
    EXPECT_EQ(d.rpmText, "0000");
    d.UpdateRpm(KeyOnAt(1000));
    EXPECT_EQ(d.rpmText, "0500");  // smoothing restarts from 0
}

TEST(LiveDisplay, InjectionTimesBarsAndCutOff) {
    LiveDisplay d;
    LiveInputs in = KeyOnAt(800);
    in.numCylinders = 4;
    in.injEnable = {1, 1, 1, 1, 0, 0, 0, 0};
    in.petrolInjTimes = {4, 4, 4, 8, 0, 0, 0, 0};
    in.gasInjTimes = {5, 5, 5, 9, 0, 0, 0, 0};
    d.UpdateInjTimes(in);
    EXPECT_EQ(d.petBar[0], 200);  // (4 + 0) / 2 ms in hundredths
    EXPECT_EQ(d.gasBar[3], 450);
    d.UpdateInjTimes(in);
    EXPECT_DOUBLE_EQ(d.SmoothedPetrol(0), 3.0);
    // "Inj_##": mean over the four fitted injectors: (3 + 3 + 3 + 6) / 4.
    EXPECT_EQ(d.injTimePetText, Dec("3.75"));
    d.SetSelectedInjector(4);
    d.UpdateInjTimes(in);
    // (6.75 + 9) / 2 = 7.875: cut off at two decimals, as the injector page does.
    EXPECT_EQ(d.injTimeGasText, Dec("7.87"));
    in.cutOff = true;
    d.UpdateInjTimes(in);
    EXPECT_EQ(d.injTimePetText, "C.OFF");
    EXPECT_EQ(d.injTimeGasText, "C.OFF");
    EXPECT_EQ(LiveDisplay::InjectorListEntries(3),
              (QStringList{"Inj_##", "Inj_1", "Inj_2", "Inj_3"}));
    EXPECT_EQ(LiveDisplay::InjectorListEntries(12).size(), 9);
}

TEST(LiveDisplay, StatusBoxesFollowFuelAndMode) {
    LiveDisplay d;
    LiveInputs in;
    in.mem2Byte1 = 3;
    in.ecuMode = 1;
    in.keyOn = true;
    in.valve1Open = true;
    d.UpdateStatus(in, false);
    EXPECT_EQ(d.boxes.fuel, BoxState::Ticked);
    EXPECT_EQ(d.boxes.fuelCaption, "GAS");
    EXPECT_EQ(d.boxes.ecu, BoxState::Unticked);
    EXPECT_EQ(d.boxes.ecuCaption, "SLV");
    EXPECT_TRUE(d.boxes.key);
    EXPECT_TRUE(d.boxes.ev1);
    EXPECT_FALSE(d.boxes.ev2);
    in.mem2Byte1 = 0;
    in.ecuMode = 0;
    d.UpdateStatus(in, false);
    EXPECT_EQ(d.boxes.fuelCaption, "BNZ");
    EXPECT_EQ(d.boxes.fuel, BoxState::Unticked);
    EXPECT_EQ(d.boxes.ecuCaption, "RUN");
    EXPECT_EQ(d.boxes.ecu, BoxState::Ticked);
    in.mem2Byte1 = 7;  // no caption for this value: the box stays as it was
    d.UpdateStatus(in, false);
    EXPECT_EQ(d.boxes.fuel, BoxState::Unchanged);
}

TEST(LiveDisplay, PressuresVacuumAndSpeedWindow) {
    LiveDisplay d;
    LiveInputs in = KeyOnAt(2400);
    in.gasPressureRaw = 1250;
    in.vacuumRaw = 65535;  // no sensor reading
    d.UpdateStatus(in, false);
    EXPECT_EQ(d.pressureText, Dec("1.25"));
    EXPECT_EQ(d.vacuumText, "- - -");
    // A closed gas line on petrol reads 0 bar: a reading, not a missing sensor.
    in.gasPressureRaw = 0;
    d.UpdateStatus(in, false);
    EXPECT_EQ(d.pressureText, Dec("0.00"));
    EXPECT_TRUE(d.vacuumVisible);
    in.vacuumAcqEnable = true;
    for (int i = 0; i < 20; ++i) d.UpdateRpm(in);
    d.UpdateStatus(in, true);
    EXPECT_FALSE(d.vacuumVisible);
    EXPECT_TRUE(d.rpmWindowHighlight);
    d.UpdateStatus(in, false);  // Auto Tuning off: no highlight
    EXPECT_FALSE(d.rpmWindowHighlight);
    in.rpm = 3000;
    for (int i = 0; i < 20; ++i) d.UpdateRpm(in);
    d.UpdateStatus(in, true);
    EXPECT_FALSE(d.rpmWindowHighlight);
}

TEST(LiveDisplay, TemperaturesSupplyClockLambdaLevel) {
    LiveDisplay d;
    LiveInputs in;
    in.reducerTemp = -5;
    in.gasTemp = 31;
    in.supplyVolts = 0.7;
    d.UpdateTemperatures(in);
    EXPECT_EQ(d.tempVapText, "-5");
    EXPECT_EQ(d.supplyText, Dec("0.00"));
    in.supplyVolts = 13.8;
    d.UpdateTemperatures(in);
    EXPECT_EQ(d.supplyText, Dec("13.80"));

    d.UpdateConnectionTime(3 * 3600 + 7 * 60 + 5.9);
    EXPECT_EQ(d.timeText, "Time: 3:07:05");

    LambdaScale falling;
    for (int i = 0; i <= 10; ++i) falling.marks[static_cast<size_t>(i)] = 5.0 - 0.5 * i;
    in.lambdaVolts = 1.0;  // 80 % of the way from 5 V down to 0 V
    d.UpdateLambda(in, falling);
    EXPECT_EQ(d.lambdaBar, 80);
    EXPECT_EQ(d.lambdaLabels[0], Dec("5.00"));
    in.lambdaVolts = 9;
    d.UpdateLambda(in, falling);
    EXPECT_EQ(d.lambdaBar, 0);

    in.levelThresholds = {100, 200, 300, 400, 500, 600};
    in.levelRaw = 350;
    d.UpdateMarks(in);
    EXPECT_EQ(d.gasLevel, 3);
    in.levelReversed = true;
    d.UpdateMarks(in);
    EXPECT_EQ(d.gasLevel, 3);  // 400, 500, 600 lie above the reading
    in.levelRaw = 50;
    d.UpdateMarks(in);
    EXPECT_EQ(d.gasLevel, 6);
}
