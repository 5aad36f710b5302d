// The simulated ECU's memory: block layouts read through the wire, writes,
// save against reset, block 5 of old and new firmware, the correction table in
// chunks, the test-data block, error flags and the flash upgrade.
#include <gtest/gtest.h>

#include "tests/sim/SimHarness.h"

namespace gascal::sim::test {
namespace {

uint16_t U16(const std::vector<uint8_t>& d, size_t p) {
    return d[p] | (d[p + 1] << 8);
}
int16_t S16(const std::vector<uint8_t>& d, size_t p) {
    return static_cast<int16_t>(U16(d, p));
}

TEST(SimMemory, Block1CarriesTheLiveValuesAtTheirPositions) {
    SimOptions o = IdlingCar();
    SimHarness h(o);
    h.Run(5);
    const auto d = h.Data(CMD_READ_MEM1);
    ASSERT_EQ(d.size(), 85u);
    // Four coils and four cylinders: 15 000 000 / period = rpm.
    const double rpm = 15000000.0 / U16(d, 64);
    EXPECT_NEAR(rpm, h.Ecu().Engine().State().rpm, 2.0);
    EXPECT_GT(rpm, 700);
    EXPECT_LT(rpm, 1000);
    EXPECT_EQ(d[72], 1);  // key
    const double manifold = U16(d, 68);
    EXPECT_GT(manifold, 250);
    EXPECT_LT(manifold, 400);
    EXPECT_NEAR(U16(d, 81) * 33.6 / 1024, 14.1, 0.05);  // supply while running
    EXPECT_GT(S16(d, 77), 50);                          // warm reducer
    // Injector 1 is the last word of each array of eight, injector 8 the first.
    const double petrol1 = U16(d, 16 + 14) * 0.008 + 0.6;
    EXPECT_NEAR(petrol1, h.Ecu().Engine().State().petrolMs[0], 0.01);
    EXPECT_EQ(U16(d, 16), 0);                     // injector 8 of a four-cylinder engine
    EXPECT_GT(U16(d, 32 + 14), U16(d, 16 + 14));  // the raw time keeps the offset
    // On petrol no gas is driven; the correction the ECU would apply is reported.
    EXPECT_EQ(S16(d, 0 + 14), 0);
    EXPECT_EQ(d[73], 0);
    EXPECT_EQ(d[74], 0);
}

TEST(SimMemory, Block2ReportsFuelModeAndCutOffAndTakesOnlyTheWritableFields) {
    SimHarness h(IdlingCar());
    h.Run(1);
    auto d = h.Data(CMD_READ_MEM2);
    ASSERT_EQ(d.size(), 14u);
    EXPECT_EQ(d[0], 3);  // gas allowed
    EXPECT_EQ(d[2], 0);  // running mode
    d[0] = 0;
    d[1] = 3;                          // fuel in use: a report, never taken
    d[2] = 1;                          // mode: changed by its own command only
    d[3] = d[4] = d[5] = d[6] = 0xFF;  // erase counter 1
    d[7] = 0x10;
    d[8] = d[9] = d[10] = 0;  // counter 2 := 16
    d[11] = 0;
    d[13] = 1;  // cut-off: a report
    EXPECT_EQ(h.Status(CMD_WRT_MEM2, d), kStatusDone);
    const auto back = h.Data(CMD_READ_MEM2);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(back[1], 0);
    EXPECT_EQ(back[2], 0);
    EXPECT_EQ(U16(back, 3) + U16(back, 5), 0);
    EXPECT_EQ(back[7], 0x10);
    EXPECT_EQ(back[11], 0);
    EXPECT_EQ(back[13], 0);
}

TEST(SimMemory, WritesLiveInWorkingMemoryUntilSavedAndAResetLosesWhatWasNotSaved) {
    SimHarness h(IdlingCar());
    const auto original3 = h.Data(CMD_READ_MEM3);
    auto changed3 = original3;
    changed3[2] = 45;     // switchover temperature
    changed3[22] = 0x02;  // trim of injector 8 = 2 counts
    changed3[36] = 0xFE;  // trim of injector 1 = -2 counts
    changed3[37] = 0xFF;
    EXPECT_EQ(h.Status(CMD_WRT_MEM3, changed3), kStatusDone);
    EXPECT_EQ(h.Data(CMD_READ_MEM3), changed3);
    EXPECT_NEAR(h.Ecu().Working().InjTrimMs(0), -0.016, 1e-9);
    EXPECT_NEAR(h.Ecu().Working().InjTrimMs(7), 0.016, 1e-9);

    h.Ecu().Reset(h.Ev().MicroSeconds());
    h.Run(0.5);
    EXPECT_EQ(h.Data(CMD_READ_MEM3), original3) << "unsaved change survived a reset";

    EXPECT_EQ(h.Status(CMD_WRT_MEM3, changed3), kStatusDone);
    EXPECT_EQ(h.Status(CMD_SAVE_FLASH, {0}), kStatusDone);
    h.Ecu().Reset(h.Ev().MicroSeconds());
    h.Run(0.5);
    EXPECT_EQ(h.Data(CMD_READ_MEM3), changed3) << "saved change lost in a reset";
    EXPECT_EQ(h.Ecu().Counters().flashSaves, 1u);
}

TEST(SimMemory, TheLineIsSilentWhileTheEcuBoots) {
    SimHarness h;
    h.Ecu().Reset(h.Ev().MicroSeconds());
    EXPECT_TRUE(h.Exchange(CMD_GET_ECO, {'E', 'C', 'O'}, 100000).empty());
    h.Run(0.5);
    EXPECT_EQ(h.Status(CMD_GET_ECO, {'E', 'C', 'O'}), kStatusDone);
}

TEST(SimMemory, Block5HasAllFieldsAndIsWritableOnNewFirmware) {
    SimHarness h;
    auto d = h.Data(CMD_READ_MEM5);
    ASSERT_EQ(d.size(), 23u);
    EXPECT_EQ(U16(d, 14), 2700);  // acquisition window high
    EXPECT_EQ(U16(d, 16), 2200);  // and low
    d[14] = 0xB8;
    d[15] = 0x0B;  // 3000
    d[16] = 0xC4;
    d[17] = 0x09;  // 2500
    EXPECT_EQ(h.Status(CMD_WRT_MEM5, d), kStatusDone);
    EXPECT_EQ(h.Data(CMD_READ_MEM5), d);
    EXPECT_EQ(h.Ecu().SampleWindow(), std::make_pair(2500, 3000));
}

TEST(SimMemory, OldFirmwareAnswersThirteenBytesOfBlock5AndRefusesItsWrite) {
    SimOptions o;
    o.oldFirmware = true;
    SimHarness h(o);
    EXPECT_TRUE(h.Ecu().OldFirmware());
    const auto d = h.Data(CMD_READ_MEM5);
    ASSERT_EQ(d.size(), 13u);
    EXPECT_EQ(h.Status(CMD_WRT_MEM5, std::vector<uint8_t>(23, 0)), kStatusExecError);
    // It does not know the firmware read; its identity is in memory.
    EXPECT_EQ(h.Status(CMD_READ_FIRMWARE), kStatusExecError);
    EXPECT_EQ(h.Data(CMD_READ_MEM_ZONE, {0, 0xFF, 0xE0, 0x00, 6}),
              (std::vector<uint8_t>{0x01, 0x32, 0x15, 0x03, 0x20, 0x25}));
    // Its acquisition window is fixed.
    EXPECT_EQ(h.Ecu().SampleWindow(), std::make_pair(2250, 2750));
}

TEST(SimMemory, CorrectionTableTravelsInChunksAndKeepsSignedValues) {
    SimHarness h;
    std::vector<uint8_t> table;
    for (int start = 0; start < 192; start += 48) {
        const auto chunk = h.Data(CMD_READ_TBL_COR, {static_cast<uint8_t>(start), 48});
        ASSERT_EQ(chunk.size(), 96u);
        table.insert(table.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(S16(table, 2 * 185), 1000);  // slope 1,000
    EXPECT_EQ(S16(table, 2 * 191), 157);   // last breakpoint
    EXPECT_EQ(S16(table, 2 * 10), 0);

    // Write a table of its own: entry i = 3 i - 100 (negative at the start).
    for (int start = 0; start < 192; start += 48) {
        std::vector<uint8_t> req{static_cast<uint8_t>(start), 48};
        for (int i = start; i < start + 48; ++i) {
            const int16_t v = static_cast<int16_t>(3 * i - 100);
            req.push_back(static_cast<uint8_t>(v & 0xFF));
            req.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
        EXPECT_EQ(h.Status(CMD_WRT_TBL_COR, req), kStatusDone);
    }
    for (int start = 0; start < 192; start += 48) {
        const auto chunk = h.Data(CMD_READ_TBL_COR, {static_cast<uint8_t>(start), 48});
        for (int i = 0; i < 48; ++i) EXPECT_EQ(S16(chunk, 2 * i), 3 * (start + i) - 100);
    }
    // The ECU applies it: at 1.28 ms (entry 10) the correction is -70 counts.
    EXPECT_NEAR(h.Ecu().Working().CorrectionMs(1.28), -70 * 0.008, 1e-9);
    // Halfway between entries 10 and 11 it interpolates.
    EXPECT_NEAR(h.Ecu().Working().CorrectionMs(1.344), -68.5 * 0.008, 1e-9);
}

TEST(SimMemory, TestDataBlockTellsTheCylinderCountAndCanBeRewritten) {
    for (int cyl : {4, 6, 8}) {
        SimOptions o;
        o.cylinders = cyl;
        SimHarness h(o);
        const auto d = h.Data(CMD_READ_DCOL_FL);
        ASSERT_EQ(d.size(), 16u);
        EXPECT_EQ(U16(d, 8), cyl);
        // The whole answer frame is 22 bytes; the cylinder word sits at frame byte 13.
        const auto frame = h.Exchange(CMD_READ_DCOL_FL);
        ASSERT_EQ(frame.size(), 22u);
        EXPECT_EQ(frame[13], cyl);
    }
    SimHarness h;
    std::vector<uint8_t> d(16);
    for (int i = 0; i < 16; ++i) d[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_EQ(h.Status(CMD_WRIT_DCOL, d), kStatusDone);
    EXPECT_EQ(h.Data(CMD_READ_DCOL_FL), d);
}

TEST(SimMemory, ErrorItemsHavePresentAndStoredStates) {
    SimOptions o = IdlingCar();
    o.errorItems = {ERR_MAP_SENSOR};
    SimHarness h(o);
    h.Run(1);
    auto f = h.Data(CMD_READ_ERR);
    ASSERT_EQ(f.size(), 64u);
    EXPECT_EQ(f[3], kErrOpenCircuit);
    EXPECT_EQ(f[3 + 32], kErrOpenCircuit);
    // Injectors 5..8 of a four-cylinder installation are not available.
    EXPECT_EQ(f[8 + 3], kErrNone);
    EXPECT_EQ(f[8 + 4], kErrNotAvailable);
    EXPECT_EQ(f[8 + 4 + 32], kErrNotAvailable);
    // A fault that went away stays stored until the memory is cleared.
    h.Ecu().SetFault(ERR_MAP_SENSOR, kErrNone);
    h.Ecu().SetFault(ERR_INJECTOR_1 + 1, kErrShortOrLow);
    h.Run(0.1);
    f = h.Data(CMD_READ_ERR);
    EXPECT_EQ(f[3], kErrNone);
    EXPECT_EQ(f[3 + 32], kErrOpenCircuit);
    EXPECT_EQ(f[9], kErrShortOrLow);
    EXPECT_EQ(h.Status(CMD_CANC_ERR), kStatusDone);
    f = h.Data(CMD_READ_ERR);
    EXPECT_EQ(f[3 + 32], kErrNone);
    EXPECT_EQ(f[9], kErrShortOrLow);       // still there
    EXPECT_EQ(f[9 + 32], kErrShortOrLow);  // and stored again at once
    EXPECT_EQ(f[8 + 4 + 32], kErrNotAvailable);
}

// Writes a whole flash image the way the upgrade does: 128-byte chunks, the
// erased ones skipped.
void ProgramFlash(SimHarness& h, const Flash& image) {
    const auto& bytes = image.Bytes();
    for (uint32_t off = 0; off < bytes.size(); off += 128) {
        bool blank = true;
        for (uint32_t i = 0; i < 128; ++i) blank = blank && bytes[off + i] == 0xFF;
        if (blank) continue;
        const uint32_t a = kFlashFirst + off;
        std::vector<uint8_t> req{0x00, static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
                                 static_cast<uint8_t>(a)};
        req.insert(req.end(), bytes.begin() + off, bytes.begin() + off + 128);
        ASSERT_EQ(h.Status(CMD_WRT_FLASH_ZONE, req), kStatusDone) << std::hex << a;
    }
}

TEST(SimMemory, FlashUpgradeChangesTheIdentityAndTheFeatures) {
    SimOptions o;
    o.oldFirmware = true;
    SimHarness h(o);
    Flash image;
    ASSERT_TRUE(image.Install("0141", "01092026", "KT540 GASCAL INJ468"));

    // Not in programming mode yet: flash commands are refused.
    EXPECT_EQ(h.Status(CMD_ERASE_FLASH, {0}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_SET_ECU_PRG, {0}), kStatusDone);
    EXPECT_EQ(h.Status(CMD_READ_MEM3), kStatusExecError);  // no blocks while programming
    EXPECT_EQ(h.Status(CMD_WRT_FLASH_ZONE, {0, 0xFF, 0x80, 0x00, 1}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_ERASE_FLASH, {0}), kStatusDone);
    EXPECT_TRUE(h.Ecu().FlashImage().IsErased());
    EXPECT_TRUE(h.Ecu().FlashBeingWritten());
    // Outside the flash, or a mis-sized zone: refused.
    EXPECT_EQ(h.Status(CMD_WRT_FLASH_ZONE, {0, 0x10, 0x00, 0x00, 1, 2}), kStatusExecError);
    ProgramFlash(h, image);
    EXPECT_EQ(h.Ecu().FlashImage().Bytes(), image.Bytes());
    EXPECT_EQ(h.Status(CMD_WRT_FLASH_END), kStatusDone);
    // Restarting: silent for a moment, then the new firmware answers.
    EXPECT_TRUE(h.Exchange(CMD_GET_ECO, {'E', 'C', 'O'}, 200000).empty());
    h.Run(2);
    EXPECT_EQ(h.Ecu().Mode(), EcuMode::Run);
    EXPECT_FALSE(h.Ecu().OldFirmware());
    const auto fw = h.Data(CMD_READ_FIRMWARE);
    ASSERT_EQ(fw.size(), 38u);
    EXPECT_EQ(std::vector<uint8_t>(fw.begin(), fw.begin() + 6),
              (std::vector<uint8_t>{0x01, 0x41, 0x01, 0x09, 0x20, 0x26}));
    EXPECT_EQ(h.Data(CMD_READ_MEM_ZONE, {0, 0xFF, 0xE0, 0x00, 6}),
              (std::vector<uint8_t>{0x01, 0x41, 0x01, 0x09, 0x20, 0x26}));
    EXPECT_EQ(h.Data(CMD_READ_MEM5).size(), 23u);
}

TEST(SimMemory, ProgrammingIsRefusedWhileTheEngineTurnsAndAHalfWrittenFlashStaysInTheBootLoader) {
    SimHarness h(IdlingCar());
    h.Run(2);
    EXPECT_EQ(h.Status(CMD_SET_ECU_PRG, {0}), kStatusExecError);
    h.Ecu().SetKey(false);
    h.Run(3);
    EXPECT_EQ(h.Status(CMD_SET_ECU_PRG, {0}), kStatusDone);
    EXPECT_EQ(h.Status(CMD_ERASE_FLASH, {0}), kStatusDone);
    // Power lost half-way: no program, the boot loader waits for one.
    h.Ecu().Reset(h.Ev().MicroSeconds());
    h.Run(1);
    EXPECT_EQ(h.Ecu().Mode(), EcuMode::Programming);
    EXPECT_EQ(h.Status(CMD_SET_ECU_RUN, {0}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_READ_MEM1), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_GET_ECO, {'E', 'C', 'O'}), kStatusDone);
}

// The write observer sees each configuration write the ECU carried out, with
// the memory before and after it, and nothing of a write it refused or of a
// write it never executed.
TEST(SimMemory, TheWriteObserverSeesExecutedWritesWithTheMemoryBeforeAndAfter) {
    SimHarness h(IdlingCar());
    struct Seen {
        uint8_t cmd;
        ConfigImage before, after;
    };
    std::vector<Seen> seen;
    h.Ecu().SetWriteObserver([&](uint8_t cmd, const ConfigImage& before, const ConfigImage& after) {
        seen.push_back({cmd, before, after});
    });
    const auto original3 = h.Data(CMD_READ_MEM3);
    auto changed3 = original3;
    changed3[2] = 47;
    EXPECT_EQ(h.Status(CMD_WRT_MEM3, changed3), kStatusDone);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].cmd, CMD_WRT_MEM3);
    EXPECT_EQ(seen[0].before.mem3[2], original3[2]);
    EXPECT_EQ(seen[0].after.mem3[2], 47);
    EXPECT_EQ(seen[0].after, h.Ecu().Working());

    // A table chunk: only its entries change.
    EXPECT_EQ(h.Status(CMD_WRT_TBL_COR, {10, 1, 0x34, 0x12}), kStatusDone);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].after.TableEntry(10), 0x1234);
    EXPECT_EQ(seen[1].before.mem3, seen[1].after.mem3);

    // Refused (wrong length), reads and an injected status 254 are not writes.
    EXPECT_EQ(h.Status(CMD_WRT_MEM3, {1, 2, 3}), kStatusExecError);
    h.Data(CMD_READ_MEM3);
    h.Ecu().Failures().status254 = 1.0;
    EXPECT_EQ(h.Status(CMD_WRT_MEM3, original3), kStatusExecError);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(h.Ecu().Working().mem3[2], 47);
}

}  // namespace
}  // namespace gascal::sim::test
