// Parameter image: decoders, builders with the PendingEdits merge rules,
// period conversion, formatting of every field kind, correction-table chunks,
// the firmware-date check and the default set's cylinder adaptation.
#include "data/core/ParamImage.h"

#include <gtest/gtest.h>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "data/core/ParamImageHost.h"

using namespace gascal;

namespace {

// Hex text of a u16 low byte first.
QString U16(int v) {
    return BytesToHex(std::vector<uint8_t>{uint8_t(v & 0xFF), uint8_t(v >> 8)});
}
QString U8(int v) {
    return BytesToHex(std::vector<uint8_t>{uint8_t(v)});
}

// A block-3 answer written field by field, independently of the builder.
struct Mem3Wire {
    int coils = 4, cylinders = 4, switchTemp = 40, period = 5000, injType = 2, fuel = 1;
    int openTime = 250, pwm1 = 3, pwm2 = 2;
    std::array<int, 8> enable{1, 1, 1, 1, 0, 0, 0, 0};  // element 0 first
    std::array<int, 8> trim{-2, 0, 3, 0, 0, 0, 0, 5};
    int levelType = 1, byte39 = 9;
    std::array<int, 6> thresholds{100, 200, 300, 400, 500, 60000};
    int volComp = 1, volPress = 1000, switchDelay = 2400, volTemp = 20, force = 1200, lambda = 2;
    int switchPress = 800, switchPressDelay = 40, safety = 1, emptyGas = 2, maxPower = 1;
    int maxPowerThr = 4000, tempSensor = 1, mapSensor = 2, badBit = 3;

    QString Hex() const {
        QString h = U8(coils) + U8(cylinders) + U16(switchTemp) + U16(period) + U8(injType) +
                    U8(fuel) + U16(openTime) + U16(pwm1) + U16(pwm2);
        for (int i = 7; i >= 0; --i) h += U8(enable[i]);
        for (int i = 7; i >= 0; --i) h += U16(trim[i] & 0xFFFF);
        h += U8(levelType) + U8(byte39);
        for (int t : thresholds) h += U16(t);
        h += U8(volComp) + U16(volPress) + U16(switchDelay) + U16(volTemp) + U16(force) +
             U8(lambda) + U16(switchPress) + U16(switchPressDelay) + U8(safety) + U8(emptyGas) +
             U8(maxPower) + U16(maxPowerThr) + U8(tempSensor) + U8(mapSensor) + U8(badBit);
        return h;
    }
};

QString Mem2Hex(int work, int byte1, int mode, uint32_t h1, uint32_t h2, int rpmComp, int vac,
                int cut) {
    auto u32 = [](uint32_t v) {
        return BytesToHex(
            std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    };
    return U8(work) + U8(byte1) + U8(mode) + u32(h1) + u32(h2) + U8(rpmComp) + U8(vac) + U8(cut);
}

class ParamImageTest : public ::testing::Test {
  protected:
    ParamImageTest() { image.SetHost(&host); }
    RecordingImageHost host;
    ParamImage image;
};

}  // namespace

TEST_F(ParamImageTest, Block3DecodeFillsArraysFromElementSevenDown) {
    const Mem3Wire w;
    image.DecodeMem3(w.Hex());
    const Mem3Fields& m = image.Mem3Block;
    EXPECT_EQ(m.NumCoils, 4);
    EXPECT_DOUBLE_EQ(image.RpmConstant, 15000000);
    EXPECT_DOUBLE_EQ(m.SwitchRpm, 3000);  // period 5000 with 4 coils and 4 cylinders
    EXPECT_DOUBLE_EQ(m.InjOpenTime, 2.0);
    EXPECT_EQ(m.InjEnable, (std::array<uint8_t, 8>{1, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_DOUBLE_EQ(m.InjTrim[0], -0.016);
    EXPECT_DOUBLE_EQ(m.InjTrim[2], 0.024);
    EXPECT_DOUBLE_EQ(m.InjTrim[7], 0.04);
    EXPECT_EQ(m.LevelThresholds[5], 60000);
    EXPECT_DOUBLE_EQ(m.SwitchDelay, 60);  // 2400 x 0.025
    EXPECT_DOUBLE_EQ(m.ForceTime, 30);
    EXPECT_DOUBLE_EQ(m.SwitchPressDelay, 1);
    EXPECT_EQ(m.LambdaTypeCode, 2);
    EXPECT_EQ(m.Mem3Byte39, 9);
    EXPECT_EQ(m.BadBitStep, 3);
    // The first read differs from the start image: the settings are refreshed.
    EXPECT_EQ(host.settingsRefreshRequests, 1);
    // The same answer again changes nothing and asks for nothing.
    image.DecodeMem3(w.Hex());
    EXPECT_EQ(host.settingsRefreshRequests, 1);
    EXPECT_EQ(host.delayWriteMem3, 0);
}

TEST_F(ParamImageTest, Block3RoundTripThroughBuilderIsByteExact) {
    const Mem3Wire w;
    image.DecodeMem3(w.Hex());
    EXPECT_EQ(BytesToHex(image.BuildMem3Payload()), w.Hex());
    EXPECT_EQ(image.BuildMem3Payload().size(), size_t(kMem3Bytes));
}

TEST_F(ParamImageTest, CoilAndCylinderCountsAreRepaired) {
    Mem3Wire w;
    w.coils = 0;
    w.cylinders = 9;
    image.DecodeMem3(w.Hex());
    EXPECT_EQ(image.Mem3Block.NumCoils, 4);
    EXPECT_EQ(image.Mem3Block.NumCylinders, 4);
    EXPECT_EQ(image.PendingEdits.Mem3Block.NumCoils, 4);
    EXPECT_EQ(image.PendingEdits.Mem3Block.NumCylinders, 4);
    EXPECT_EQ(host.delayWriteMem3, 1);
    EXPECT_DOUBLE_EQ(image.RpmConstant, 15000000);
    // The repaired values are written back by the next build, and are done
    // once the ECU has acknowledged that write.
    const Mem3Fields carried = image.PendingEdits.Mem3Block;
    const auto p = image.BuildMem3Payload();
    EXPECT_EQ(p[0], 4);
    EXPECT_EQ(p[1], 4);
    EXPECT_EQ(image.PendingEdits.Mem3Block.NumCoils, 4);
    image.AcknowledgeMem3Write(carried);
    EXPECT_EQ(image.PendingEdits.Mem3Block.NumCoils, kPendingInt);
}

TEST_F(ParamImageTest, SwitchSpeedPeriodConversion) {
    Mem3Wire w;
    w.period = 0xFFFF;
    image.DecodeMem3(w.Hex());
    EXPECT_EQ(image.Mem3Block.SwitchRpm, 0);
    w.period = 0;
    image.DecodeMem3(w.Hex());
    EXPECT_EQ(image.Mem3Block.SwitchRpm, 0);

    // 3000 rpm with 4/4 is period 5000: 88 13 on the wire.
    image.PendingEdits.Mem3Block.SwitchRpm = 3000;
    auto p = image.BuildMem3Payload();
    EXPECT_EQ(p[4], 0x88);
    EXPECT_EQ(p[5], 0x13);
    // 0 rpm, and a speed so low that the period overflows, send FFFF.
    image.PendingEdits.Mem3Block.SwitchRpm = 0;
    p = image.BuildMem3Payload();
    EXPECT_EQ(p[4], 0xFF);
    EXPECT_EQ(p[5], 0xFF);
    image.PendingEdits.Mem3Block.SwitchRpm = 200;  // 75000 > 65535
    p = image.BuildMem3Payload();
    EXPECT_EQ(p[4] | p[5] << 8, 0xFFFF);

    // Halves go to the even period.
    image.RpmConstant = 5;
    EXPECT_EQ(image.PeriodFromRpm(2), 2);  // 2.5
    image.RpmConstant = 7;
    EXPECT_EQ(image.PeriodFromRpm(2), 4);  // 3.5
}

TEST_F(ParamImageTest, ChangingCylindersKeepsTheSpeedAndAsksForRefill) {
    image.DecodeMem3(Mem3Wire{}.Hex());
    image.PendingEdits.Mem3Block.NumCylinders = 6;
    const auto p = image.BuildMem3Payload();
    EXPECT_EQ(host.firstRefreshRequests, 1);
    EXPECT_DOUBLE_EQ(image.RpmConstant, 10000000);
    // Still 3000 rpm, now period 3333.
    EXPECT_EQ(p[4] | p[5] << 8, 3333);
    EXPECT_EQ(p[1], 6);
}

TEST_F(ParamImageTest, SignedTrimsAndSaturation) {
    image.DecodeMem3(Mem3Wire{}.Hex());
    image.PendingEdits.Mem3Block.InjTrim[0] = -0.016;  // element 0 travels last
    image.PendingEdits.Mem3Block.InjTrim[7] = 300;
    image.PendingEdits.Mem3Block.InjTrim[6] = -1000;  // below -32768 counts
    const Mem3Fields carried = image.PendingEdits.Mem3Block;
    const auto p = image.BuildMem3Payload();
    // Trims start at byte 22: element 7 first.
    EXPECT_EQ(p[22], 0xFF);
    EXPECT_EQ(p[23], 0x7F);
    EXPECT_EQ(p[24] | p[25] << 8, 0x8000);  // never wraps round to a positive time
    EXPECT_EQ(p[36], 0xFE);
    EXPECT_EQ(p[37], 0xFF);
    EXPECT_DOUBLE_EQ(image.Mem3Block.InjTrim[0], -0.016);
    image.AcknowledgeMem3Write(carried);
    EXPECT_EQ(image.PendingEdits.Mem3Block.InjTrim[0], kPendingSigned);
}

// An engine speed with a fraction rounds to the nearest revolution, in the
// switchover speed of block 3 and in the live speed of block 1: period 7000
// with 4 coils on 4 cylinders is 2142.86 rpm.
TEST_F(ParamImageTest, SpeedsWithAFractionRoundToTheNearestRevolution) {
    Mem3Wire w;
    w.period = 7000;
    image.DecodeMem3(w.Hex());
    EXPECT_EQ(image.Mem3Block.SwitchRpm, 2143);
    QString h;
    for (int i = 0; i < 32; ++i) h += U16(0);
    h += U16(7000);
    h = h.leftJustified(2 * kMem1Bytes, QLatin1Char('0'));
    image.DecodeMem1(h);
    EXPECT_EQ(image.Mem1Block.Rpm, 2143);
}

// A scaled word just below 65536 rounds up: it goes out as FFFF, the
// largest word, never as 0000.
TEST_F(ParamImageTest, AScaledWordJustBelowTheTopIsSentAsFFFF) {
    image.DecodeMem3(Mem3Wire{}.Hex());
    image.KInj = 0.008;
    image.Mem3Block.InjOpenTime = 65535.6 * 0.008;
    // The opening time is the word at bytes 8 and 9.
    auto p = image.BuildMem3Payload();
    EXPECT_EQ(p[8], 0xFF);
    EXPECT_EQ(p[9], 0xFF);
    image.Mem3Block.InjOpenTime = 65535.4 * 0.008;
    p = image.BuildMem3Payload();
    EXPECT_EQ(p[8] | p[9] << 8, 0xFFFF);
    image.Mem3Block.InjOpenTime = 65536.0 * 0.008 + 0.008;  // beyond: its low 16 bits
    p = image.BuildMem3Payload();
    EXPECT_EQ(p[8] | p[9] << 8, 0x0001);
}

TEST_F(ParamImageTest, ScaledFieldsRoundHalvesToEven) {
    image.KPwm = 1;
    image.Mem3Block.InjPwmTime1 = 2.5;
    image.Mem3Block.InjPwmTime2 = 3.5;
    const auto p = image.BuildMem3Payload();
    EXPECT_EQ(p[10], 2);
    EXPECT_EQ(p[12], 4);
}

TEST_F(ParamImageTest, MergeRulesOfBlock3) {
    image.DecodeMem3(Mem3Wire{}.Hex());
    Mem3Fields& pend = image.PendingEdits.Mem3Block;
    pend.Mem3Byte39 = 1;          // never taken from the pending record
    pend.LevelThresholds[0] = 0;  // 0 or more counts for integer fields
    pend.SwitchTempRaw = -0.5;    // above -1 counts for real fields
    pend.InjEnable[5] = 1;
    const Mem3Fields carried = pend;
    const auto p = image.BuildMem3Payload();
    EXPECT_EQ(p[39], 9);
    EXPECT_EQ(image.Mem3Block.LevelThresholds[0], 0);
    EXPECT_EQ(pend.LevelThresholds[0], 0);  // pending until acknowledged
    EXPECT_EQ(pend.Mem3Byte39, 1);          // left alone by the build
    image.AcknowledgeMem3Write(carried);
    EXPECT_EQ(pend.LevelThresholds[0], kPendingInt);
    EXPECT_EQ(image.Mem3Block.InjEnable[5], 1);
    EXPECT_EQ(p[14 + 7 - 5], 1);
}

TEST_F(ParamImageTest, AnEditStoredWhileItsWriteIsOnTheWayStaysPending) {
    image.DecodeMem3(Mem3Wire{}.Hex());
    Mem3Fields& pend = image.PendingEdits.Mem3Block;
    pend.SwitchRpm = 1400;
    const Mem3Fields carried = pend;
    image.BuildMem3Payload();
    // While the write waits for its answer, the fitter picks another value.
    pend.ForceTime = 60;
    image.AcknowledgeMem3Write(carried);
    EXPECT_DOUBLE_EQ(pend.ForceTime, 60);
    // The edit the write carried is done; only the new one waits.
    EXPECT_DOUBLE_EQ(pend.SwitchRpm, kPendingReal);
    // Without such an edit the acknowledgement clears the block's edits.
    const Mem3Fields again = pend;
    image.BuildMem3Payload();
    image.AcknowledgeMem3Write(again);
    EXPECT_EQ(pend, ParamImage::SentinelEdits().Mem3Block);
}

TEST_F(ParamImageTest, Block2MergeChangesOnlyThePendingByte) {
    image.DecodeMem2(Mem2Hex(3, 3, 1, 1234, 99, 0, 1, 1));
    const auto before = image.BuildMem2Payload();
    image.PendingEdits.Mem2Block.RpmCompEnable = 1;
    const Mem2Fields carried = image.PendingEdits.Mem2Block;
    const auto after = image.BuildMem2Payload();
    ASSERT_EQ(after.size(), size_t(kMem2Bytes));
    for (size_t i = 0; i < after.size(); ++i) {
        if (i == 11)
            EXPECT_EQ(after[i], 1);
        else
            EXPECT_EQ(after[i], before[i]) << "byte " << i;
    }
    image.AcknowledgeMem2Write(carried);
    EXPECT_EQ(image.PendingEdits.Mem2Block.RpmCompEnable, kPendingByte);
}

TEST_F(ParamImageTest, Block2FieldsTheEcuOwnsAreNeverMerged) {
    image.DecodeMem2(Mem2Hex(0, 0, 0, 10, 20, 1, 1, 0));
    Mem2Fields& pend = image.PendingEdits.Mem2Block;
    pend.WorkMode = 3;
    pend.Mem2Byte1 = 3;
    pend.EcuMode = 1;
    pend.CutOff = 1;
    pend.VacuumAcqEnable = 2;  // only 0 or 1 count
    const auto p = image.BuildMem2Payload();
    EXPECT_EQ(p[0], 3);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 0);
    EXPECT_EQ(p[13], 0);
    EXPECT_EQ(p[12], 1);
    EXPECT_EQ(pend.VacuumAcqEnable, 2);  // neither applied nor reset
    EXPECT_EQ(pend.WorkMode, 3);         // until the ECU takes the write
    image.OnMem2WriteAcknowledged();
    EXPECT_EQ(pend.WorkMode, kPendingByte);
    EXPECT_EQ(pend.Mem2Byte1, kPendingByte);
}

TEST_F(ParamImageTest, HourCounters) {
    image.DecodeMem2(Mem2Hex(0, 0, 0, 3000000000u, 7, 0, 0, 0));
    EXPECT_DOUBLE_EQ(image.Mem2Block.HoursCounter1, 3000000000.0);
    // A count above the signed range is sent back unchanged.
    auto p = image.BuildMem2Payload();
    EXPECT_EQ(BytesToHex(std::vector<uint8_t>(p.begin() + 3, p.begin() + 7)), "005ED0B2");
    // "Erase" stores -1 in both: FF FF FF FF each.
    image.PendingEdits.Mem2Block.HoursCounter1 = -1;
    image.PendingEdits.Mem2Block.HoursCounter2 = -1;
    p = image.BuildMem2Payload();
    EXPECT_EQ(BytesToHex(std::vector<uint8_t>(p.begin() + 3, p.begin() + 11)), "FFFFFFFFFFFFFFFF");
}

TEST_F(ParamImageTest, Block5ShortAnswerGetsDefaultsAndFullWrite) {
    const QString shortHex =
        U8(1) + U8(0) + U8(1) + U16(125) + U16(250) + U16(0xFFFF) + U16(100) + U16(-5 & 0xFFFF);
    ASSERT_EQ(shortHex.size(), 26);
    image.Mem5Block.ShowRpmHigh = 1;
    image.DecodeMem5(shortHex);
    const Mem5Fields& m = image.Mem5Block;
    EXPECT_DOUBLE_EQ(m.SohTfraComm, 1.0);
    EXPECT_DOUBLE_EQ(m.SohTonComm, 2.0);
    EXPECT_DOUBLE_EQ(m.PreInjPeriod, -0.025);
    EXPECT_DOUBLE_EQ(m.PreInjTime, 0.8);
    EXPECT_DOUBLE_EQ(m.PreInjTemp, -5);
    EXPECT_EQ(m.ShowRpmHigh, 2750);
    EXPECT_EQ(m.ShowRpmLow, 2250);
    EXPECT_EQ(m.MinPowerRpmHigh, 1000);
    EXPECT_EQ(m.MinPowerRpmLow, 600);
    EXPECT_EQ(m.SwitchSequence, 0);
    const auto p = image.BuildMem5Payload();
    ASSERT_EQ(p.size(), size_t(kMem5Bytes));
    EXPECT_EQ(BytesToHex(p).left(26), shortHex);
    EXPECT_EQ(p[14] | p[15] << 8, 2750);
    EXPECT_EQ(p[21] | p[22] << 8, 600);
}

TEST_F(ParamImageTest, Block5FullRoundTripAndSignedTemperature) {
    const QString hex = U8(0) + U8(1) + U8(0) + U16(125) + U16(250) + U16(400) + U16(100) +
                        U16(15) + U8(60) + U16(3000) + U16(2500) + U8(1) + U16(1100) + U16(700);
    image.DecodeMem5(hex);
    EXPECT_EQ(image.Mem5Block.SwitchSequence, 60);
    EXPECT_EQ(image.Mem5Block.ShowRpmHigh, 3000);
    EXPECT_EQ(BytesToHex(image.BuildMem5Payload()), hex);
    image.PendingEdits.Mem5Block.PreInjTemp = -10;
    image.PendingEdits.Mem5Block.ShowRpmLow = 2000;
    const Mem5Fields carried = image.PendingEdits.Mem5Block;
    const auto p = image.BuildMem5Payload();
    EXPECT_EQ(p[11] | p[12] << 8, 0xFFF6);
    EXPECT_EQ(p[16] | p[17] << 8, 2000);
    image.AcknowledgeMem5Write(carried);
    EXPECT_EQ(image.PendingEdits.Mem5Block.PreInjTemp, kPendingSigned);
}

TEST_F(ParamImageTest, Block1DecodeWithOffsetOrderAndPrevious) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    ev.RunFor(5000);
    image.DecodeMem3(Mem3Wire{}.Hex());  // 4/4: RpmConstant 15000000
    QString h;
    for (int i = 7; i >= 0; --i) h += U16((-(i + 1)) & 0xFFFF);         // signed times
    for (int i = 7; i >= 0; --i) h += U16(i == 0 ? 0 : 100 * (i + 1));  // petrol times
    for (int i = 7; i >= 0; --i) h += U16(7);                           // skipped
    for (int i = 7; i >= 0; --i) h += U16(50 * (i + 1));                // gas times
    h += U16(5000) + U16(1200) + U16(400) + U16(850) + U8(1) + U8(1) + U8(0) + U16(512) +
         U16(-3 & 0xFFFF) + U16(45) + U16(427) + U16(33);
    ASSERT_EQ(h.size(), 2 * kMem1Bytes);
    image.DecodeMem1(h);
    const Mem1Fields& m = image.Mem1Block;
    EXPECT_DOUBLE_EQ(m.SignedInjTimes[0], -0.008);
    EXPECT_DOUBLE_EQ(m.SignedInjTimes[7], -0.064);
    EXPECT_DOUBLE_EQ(m.PetrolInjTimes[0], 0);  // no offset on a zero time
    EXPECT_DOUBLE_EQ(m.PetrolInjTimes[1], 200 * 0.008 + 0.6);
    EXPECT_DOUBLE_EQ(m.GasInjTimes[3], 200 * 0.008);
    EXPECT_EQ(m.Rpm, 3000);
    EXPECT_DOUBLE_EQ(m.LambdaVolts, 0.85);
    EXPECT_EQ(m.KeyOn, 1);
    EXPECT_EQ(m.ReducerTemp, -3);
    EXPECT_DOUBLE_EQ(m.SupplyVolts, 427 * 33.6 / 1024);
    EXPECT_DOUBLE_EQ(m.LevelAux, 33);
    EXPECT_DOUBLE_EQ(m.SampleTimeMs, 5);

    image.PetrolControlEnabled = false;
    image.DecodeMem1(h);
    EXPECT_DOUBLE_EQ(image.Mem1Block.PetrolInjTimes[1], 200 * 0.008);
    EXPECT_DOUBLE_EQ(image.Mem1Prev.PetrolInjTimes[1], 200 * 0.008 + 0.6);
}

TEST_F(ParamImageTest, ShortAndGarbledAnswersReadAsZero) {
    image.DecodeMem3(Mem3Wire{}.Hex());
    image.DecodeMem3(QStringLiteral("0404ZZ"));
    EXPECT_EQ(image.Mem3Block.NumCylinders, 4);
    EXPECT_EQ(image.Mem3Block.SwitchTempRaw, 0);
    EXPECT_EQ(image.Mem3Block.BadBitStep, 0);
    image.DecodeMem1(QString());
    EXPECT_EQ(image.Mem1Block.Rpm, 0);
    image.DecodeMem2(std::vector<uint8_t>{3});
    EXPECT_EQ(image.Mem2Block.WorkMode, 3);
    EXPECT_EQ(image.Mem2Block.CutOff, 0);
    EXPECT_EQ(HexU16At("12", 1), 0x12);
    EXPECT_EQ(HexS16At("FFFF", 1), -1);
    EXPECT_EQ(HexU32At("78563412", 1), 0x12345678u);
    EXPECT_EQ(HexU8At("1G", 1), 0);
    // A number with any digit that is not hexadecimal reads as 0 as a whole,
    // never as the value of its other byte.
    EXPECT_EQ(HexU16At("ZZ12", 1), 0);
    EXPECT_EQ(HexU16At("12Z1", 1), 0);
    EXPECT_EQ(HexS16At("FF-F", 1), 0);
    EXPECT_EQ(HexU32At("785634Z2", 1), 0u);
    EXPECT_EQ(HexU32At("7856 412", 1), 0u);
    image.DecodeMem3(QStringLiteral("04042300884G"));
    EXPECT_EQ(image.Mem3Block.SwitchTempRaw, 0x23);
    EXPECT_EQ(image.Mem3Block.SwitchRpm, 0);
}

TEST_F(ParamImageTest, CompareMem3SeesAnyField) {
    Mem3Fields a, b;
    EXPECT_FALSE(CompareMem3(a, b));
    b.InjTrim[6] = 0.008;
    EXPECT_TRUE(CompareMem3(a, b));
    b = a;
    b.BadBitStep = 1;
    EXPECT_TRUE(CompareMem3(a, b));
}

TEST_F(ParamImageTest, CorrectionTableChunks) {
    for (int k = 0; k < kCorTableSize; ++k) image.CorTable[k] = 0.104 * (k % 7) - 0.2;
    image.CorTable[184] = 0.35;
    image.CorTable[185] = 1.125;
    const double breaks[6] = {0, 30, 63, 94, 125, 157};  // table steps
    for (int i = 0; i < 6; ++i) image.CorTable[186 + i] = breaks[i];
    const auto chunk = image.BuildCorChunk(144);
    ASSERT_EQ(chunk.size(), size_t(2 + kCorChunkDataBytes));
    EXPECT_EQ(chunk[0], 144);
    EXPECT_EQ(chunk[1], 48);
    // Entry 184 is the 41st value of the last chunk, in thousandths.
    EXPECT_EQ(chunk[2 + 80] | chunk[2 + 81] << 8, 350);
    EXPECT_EQ(chunk[2 + 82] | chunk[2 + 83] << 8, 1125);
    EXPECT_EQ(chunk[2 + 86] | chunk[2 + 87] << 8, 30);

    for (int start = 0; start < kCorTableSize; start += kCorChunkCount) {
        const auto c = image.BuildCorChunk(start);
        EXPECT_TRUE(image.DecodeCorChunk(start, std::vector<uint8_t>(c.begin() + 2, c.end())));
    }
    for (int k = 0; k < kCorTableSize; ++k)
        EXPECT_NEAR(image.CorTableEcu[k], image.CorTable[k], 1e-9) << k;

    // A short answer changes nothing.
    image.CorTableEcu.fill(9);
    EXPECT_FALSE(image.DecodeCorChunk(0, std::vector<uint8_t>(95, 0)));
    EXPECT_EQ(image.CorTableEcu[0], 9);
}

TEST(PetrolControlFirmwareTest, VersionOrDateAtOrAfterTheLimit) {
    const QString limit = QStringLiteral("014015032025");  // version 140, 15/03/2025
    EXPECT_TRUE(CheckPetrolControlFirmware(limit, 141, 2000, 1, 1));
    EXPECT_TRUE(CheckPetrolControlFirmware(limit, 100, 2026, 1, 1));
    EXPECT_TRUE(CheckPetrolControlFirmware(limit, 100, 2025, 4, 1));
    EXPECT_TRUE(CheckPetrolControlFirmware(limit, 100, 2025, 3, 15));
    EXPECT_FALSE(CheckPetrolControlFirmware(limit, 100, 2025, 3, 14));
    EXPECT_FALSE(CheckPetrolControlFirmware(limit, 140, 2025, 2, 28));
    EXPECT_FALSE(CheckPetrolControlFirmware(limit, 140, 2024, 12, 31));
    // No limit configured: every ECU has the feature.
    EXPECT_TRUE(CheckPetrolControlFirmware(QString(), 1, 2000, 1, 1));
}

TEST_F(ParamImageTest, DefaultSetAdaptsCylindersToTestData) {
    const QString defaults = QStringLiteral("/inst/LNG/Default.Xar");
    image.DecodeMem3(Mem3Wire{}.Hex());  // 4 cylinders, 3000 rpm
    // Test-data frame: 42 01 LEN 30 00, then data; characters 27..30 hold the marker.
    QString frame = QStringLiteral("4201") + U8(20) + U8(48) + U8(0);
    frame += QString(16, QLatin1Char('0'));  // data bytes 0..7
    frame += U16(6);                         // data bytes 8..9 = characters 27..30
    ASSERT_EQ(HexU16At(frame, 27), 6);

    // Another file: nothing changes.
    EXPECT_FALSE(image.AdaptDefaultsToTestData("/inst/my.var", defaults, frame, "6", "8"));
    EXPECT_TRUE(image.AdaptDefaultsToTestData(defaults, defaults, frame, "6", "8"));
    EXPECT_EQ(image.Mem3Block.NumCylinders, 6);
    EXPECT_EQ(image.Mem3Block.InjEnable, (std::array<uint8_t, 8>{1, 1, 1, 1, 1, 1, 0, 0}));
    EXPECT_DOUBLE_EQ(image.RpmConstant, 10000000);
    // The switchover speed stays 3000 rpm; the period follows the new count.
    EXPECT_DOUBLE_EQ(image.Mem3Block.SwitchRpm, 3000);
    const auto p = image.BuildMem3Payload();
    EXPECT_EQ(p[4] | p[5] << 8, 3333);

    // Without test data and without keys, the engine counts as 4 cylinders.
    EXPECT_TRUE(image.AdaptDefaultsToTestData(defaults, defaults, QString(), "", ""));
    EXPECT_EQ(image.Mem3Block.NumCylinders, 4);
    EXPECT_FALSE(image.AdaptDefaultsToTestData(defaults, defaults, QString(), "", ""));
}
