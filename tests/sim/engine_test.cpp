// The engine and the ECU's fuel logic: switchover rules in running and slave
// mode, cut-off, the car's petrol demand reacting to a wrong gas correction,
// operating points recorded inside the speed window, end of gas, warm-up.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>

#include "tests/sim/SimHarness.h"

namespace gascal::sim::test {
namespace {

uint16_t U16(const std::vector<uint8_t>& d, size_t p) {
    return d[p] | (d[p + 1] << 8);
}

// Fuel the ECU reports in block 2 (3 gas, 0 petrol).
int FuelInUse(SimHarness& h) {
    return h.Data(CMD_READ_MEM2).at(1);
}

// Petrol time of injector 1 as the tool shows it (raw x 0.008 + 0.6 ms).
double PetrolMs(SimHarness& h) {
    const auto d = h.Data(CMD_READ_MEM1);
    const uint16_t raw = U16(d, 16 + 14);
    return raw > 0 ? raw * 0.008 + 0.6 : 0;
}

void WriteMem3(SimHarness& h, const std::function<void(std::vector<uint8_t>&)>& change) {
    auto d = h.Data(CMD_READ_MEM3);
    change(d);
    ASSERT_EQ(h.Status(CMD_WRT_MEM3, d), kStatusDone);
}

void SetWorkMode(SimHarness& h, uint8_t mode) {
    auto d = h.Data(CMD_READ_MEM2);
    d[0] = mode;
    ASSERT_EQ(h.Status(CMD_WRT_MEM2, d), kStatusDone);
}

// Writes the whole correction table: entries 0..183 from `cor(petrol ms)`.
void WriteTable(SimHarness& h, const std::function<double(double)>& cor) {
    for (int start = 0; start < 192; start += 48) {
        std::vector<uint8_t> req{static_cast<uint8_t>(start), 48};
        for (int i = start; i < start + 48; ++i) {
            int16_t v = 0;
            if (i < 184) v = static_cast<int16_t>(std::lround(cor(i * 0.128) / 0.008));
            req.push_back(static_cast<uint8_t>(v & 0xFF));
            req.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
        }
        ASSERT_EQ(h.Status(CMD_WRT_TBL_COR, req), kStatusDone);
    }
}

TEST(SimSwitchover, WarmEngineGoesOnGasAfterTheDelayAndNotBefore) {
    SimHarness h(IdlingCar());
    h.Run(15);
    EXPECT_EQ(FuelInUse(h), 0) << "switched before the 20 s delay";
    h.Run(7);
    EXPECT_EQ(FuelInUse(h), 3);
    const auto d = h.Data(CMD_READ_MEM1);
    EXPECT_EQ(d[73], 1);                             // valves open
    EXPECT_GT(static_cast<int16_t>(U16(d, 14)), 0);  // gas time driven on injector 1
    EXPECT_GT(U16(d, 66), 900);                      // gas pressure built up (mbar)
}

TEST(SimSwitchover, ColdEngineWaitsForTheReducerTemperature) {
    SimOptions o = IdlingCar();
    o.warm = false;
    SimHarness h(o);
    h.Run(60);
    EXPECT_EQ(FuelInUse(h), 0);
    EXPECT_LT(h.Ecu().Engine().State().reducerC, 35);
    // Lowering the switchover temperature below the reducer's lets it switch.
    WriteMem3(h, [](auto& d) {
        d[2] = 20;
        d[3] = 0;
    });
    h.Run(1);
    EXPECT_EQ(FuelInUse(h), 3);
}

TEST(SimSwitchover, EngineSpeedMustReachTheSwitchoverSpeed) {
    SimHarness h(IdlingCar());
    // 2000 rpm with 4 coils and 4 cylinders: period 7500 = 0x1D4C.
    WriteMem3(h, [](auto& d) {
        d[4] = 0x4C;
        d[5] = 0x1D;
    });
    h.Run(40);
    EXPECT_EQ(FuelInUse(h), 0);
    h.Ecu().SetTargetRpm(2500);
    h.Run(3);
    EXPECT_EQ(FuelInUse(h), 3);
    // Once on gas it stays on gas at idle.
    h.Ecu().SetTargetRpm(0);
    h.Run(10);
    EXPECT_EQ(FuelInUse(h), 3);
}

TEST(SimSwitchover, WorkModePetrolKeepsOrPutsTheCarOnPetrol) {
    SimHarness h(IdlingCar());
    h.Run(25);
    ASSERT_EQ(FuelInUse(h), 3);
    SetWorkMode(h, 0);
    h.Run(0.1);
    EXPECT_EQ(FuelInUse(h), 0);
    h.Run(30);
    EXPECT_EQ(FuelInUse(h), 0);
}

TEST(SimSwitchover, SlaveModeFollowsWorkModeAtOnceAndFallsBackWhenThePcIsGone) {
    SimOptions o = IdlingCar();
    o.warm = false;  // the ECU's own rules would keep it on petrol
    SimHarness h(o);
    h.Run(3);
    SetWorkMode(h, 0);
    ASSERT_EQ(h.Status(CMD_SET_ECU_SLAVE, {0}), kStatusDone);
    EXPECT_EQ(h.Data(CMD_READ_MEM2)[2], 1);
    SetWorkMode(h, 3);
    h.Run(0.1);
    EXPECT_EQ(FuelInUse(h), 3);
    SetWorkMode(h, 0);
    h.Run(0.1);
    EXPECT_EQ(FuelInUse(h), 0);
    SetWorkMode(h, 3);
    // Keep-alives hold slave mode...
    for (int i = 0; i < 10; ++i) {
        h.Run(4);
        ASSERT_EQ(h.Status(CMD_GET_ECO, {'E', 'C', 'O'}), kStatusDone);
    }
    EXPECT_EQ(h.Ecu().Mode(), EcuMode::Slave);
    // ...silence gives the fuel back to the ECU's own rules (cold: petrol).
    h.Run(35);
    EXPECT_EQ(h.Ecu().Mode(), EcuMode::Run);
    EXPECT_EQ(FuelInUse(h), 0);
}

TEST(SimEngineModel, OverrunCutsTheFuelAndReportsIt) {
    SimHarness h(IdlingCar());
    h.Ecu().SetTargetRpm(3500);
    h.Run(4);
    EXPECT_EQ(h.Data(CMD_READ_MEM2)[13], 0);
    h.Ecu().SetTargetRpm(0);
    h.Run(0.3);
    EXPECT_EQ(h.Data(CMD_READ_MEM2)[13], 1);
    EXPECT_EQ(PetrolMs(h), 0);
    h.Run(8);
    EXPECT_EQ(h.Data(CMD_READ_MEM2)[13], 0);
    EXPECT_GT(PetrolMs(h), 2);
}

// Petrol time of injector 1 averaged over a few seconds (the lambda loop ripples).
double SettledPetrolMs(SimHarness& h, double seconds) {
    h.Run(seconds);
    double sum = 0;
    for (int i = 0; i < 20; ++i) {
        h.Run(0.1);
        sum += PetrolMs(h);
    }
    return sum / 20;
}

TEST(SimEngineModel, WrongCorrectionShiftsThePetrolDemandOnGas) {
    SimHarness h(IdlingCar());
    h.Run(3);
    ASSERT_EQ(h.Status(CMD_SET_ECU_SLAVE, {0}), kStatusDone);
    SetWorkMode(h, 0);
    const double onPetrol = SettledPetrolMs(h, 10);
    ASSERT_GT(onPetrol, 2.5);

    // No correction: the gas injectors deliver too little, the car lengthens its demand.
    SetWorkMode(h, 3);
    const double tooLittle = SettledPetrolMs(h, 12);
    EXPECT_GT(tooLittle, onPetrol * 1.1);

    // Far too much correction: the demand shortens.
    WriteTable(h, [](double t) { return 0.4 * t + 1.5; });
    const double tooMuch = SettledPetrolMs(h, 12);
    EXPECT_LT(tooMuch, onPetrol * 0.9);

    // The true curve as correction: the demand on gas equals the one on petrol.
    WriteTable(h, [](double t) { return SimEngine::TrueGasTimeMs(t) - t; });
    const double right = SettledPetrolMs(h, 12);
    EXPECT_NEAR(right, onPetrol, onPetrol * 0.02);
    // And the injector trim works on top of the table: a longer trim shortens the demand.
    WriteMem3(h, [](auto& d) {
        for (int i = 0; i < 8; ++i) {
            d[22 + 2 * i] = 50;
            d[23 + 2 * i] = 0;
        }  // +0.4 ms
    });
    const double trimmed = SettledPetrolMs(h, 12);
    EXPECT_LT(trimmed, right - 0.2);
}

TEST(SimEngineModel, TrueCurveAndItsInverseAgree) {
    for (double t : {0.5, 1.0, 2.5, 4.0, 8.0, 15.0}) {
        EXPECT_NEAR(SimEngine::PetrolForGasMs(SimEngine::TrueGasTimeMs(t)), t, 1e-6);
        // A gently bent line: more than the slope alone at short times.
        EXPECT_GT(SimEngine::TrueGasTimeMs(t), 1.12 * t + 0.35);
    }
}

// Decodes one half of a sample answer as the tool will.
std::vector<std::pair<double, double>> DecodeSamples(const std::vector<uint8_t>& d) {
    std::vector<std::pair<double, double>> out;
    for (int i = 0; i < 30; ++i) {
        const double raw = U16(d, 1 + 4 * i);
        const double pressure = U16(d, 3 + 4 * i);
        out.emplace_back(raw > 0 ? raw * 0.008 + 0.6 : 0, pressure);
    }
    return out;
}

int CountPoints(const std::vector<uint8_t>& d) {
    int n = 0;
    for (const auto& p : DecodeSamples(d)) n += p.second > 0 ? 1 : 0;
    return n;
}

TEST(SimSamples, OperatingPointsAreRecordedOnlyInsideTheSpeedWindow) {
    SimHarness h(IdlingCar());
    SetWorkMode(h, 0);  // stay on petrol
    h.Run(30);          // idle: below the 2200..2700 window
    EXPECT_EQ(CountPoints(h.Data(CMD_READ_SMPL_BNZ)), 0);
    h.Ecu().SetTargetRpm(3300);  // above it
    h.Run(30);
    EXPECT_EQ(CountPoints(h.Data(CMD_READ_SMPL_BNZ)), 0);
    EXPECT_EQ(CountPoints(h.Data(CMD_READ_SMPL_GAS)), 0);

    // Inside the window, several loads: one point per 20-mbar pressure.
    h.Ecu().SetTargetRpm(2500);
    for (double load : {0.0, 0.1, 0.2, 0.3}) {
        h.Ecu().SetLoad(load);
        h.Run(5);
    }
    const auto first = h.Data(CMD_READ_SMPL_BNZ);
    EXPECT_EQ(first[0], CountPoints(first));
    EXPECT_GE(CountPoints(first), 4);
    EXPECT_EQ(CountPoints(h.Data(CMD_READ_SMPL_GAS)), 0);
    // The petrol time recorded is the one block 1 shows at that pressure.
    const double live = PetrolMs(h);
    const double pressureNow = U16(h.Data(CMD_READ_MEM1), 68);
    bool found = false;
    for (const auto& [t, p] : DecodeSamples(first)) {
        if (std::abs(p - pressureNow) < 10) {
            found = true;
            EXPECT_NEAR(t, live, 0.1);
        }
    }
    EXPECT_TRUE(found);

    // On gas the gas store fills; clearing the petrol store empties it only.
    SetWorkMode(h, 3);
    h.Run(10);
    EXPECT_GE(CountPoints(h.Data(CMD_READ_SMPL_GAS)), 1);
    ASSERT_EQ(h.Status(CMD_CANC_SMPL_BNZ), kStatusDone);
    EXPECT_EQ(CountPoints(h.Data(CMD_READ_SMPL_BNZ)), 0);
    EXPECT_GE(CountPoints(h.Data(CMD_READ_SMPL_GAS)), 1);
}

TEST(SimSamples, SixtyPointsFillBothHalvesAndAChangedWindowApplies) {
    SimHarness h(IdlingCar());
    SetWorkMode(h, 0);
    // Narrow the window to 2900..3100 rpm through block 5.
    auto d = h.Data(CMD_READ_MEM5);
    d[14] = 0x1C;
    d[15] = 0x0C;  // 3100
    d[16] = 0x54;
    d[17] = 0x0B;  // 2900
    ASSERT_EQ(h.Status(CMD_WRT_MEM5, d), kStatusDone);
    h.Ecu().SetTargetRpm(2500);
    h.Run(10);
    EXPECT_EQ(CountPoints(h.Data(CMD_READ_SMPL_BNZ)), 0);
    h.Ecu().SetTargetRpm(3000);
    for (int i = 0; i <= 70; ++i) {
        h.Ecu().SetLoad(i / 70.0);
        h.Run(2.6);
    }
    const int a = CountPoints(h.Data(CMD_READ_SMPL_BNZ));
    const int b = CountPoints(h.Data(CMD_READ_SMPL_BNZ1));
    EXPECT_EQ(a, 30);
    EXPECT_EQ(b, 30);
    EXPECT_EQ(h.Data(CMD_READ_SMPL_BNZ1)[0], 30);
    // The store wrapped round: the newest point (full load) sits among the first.
    bool fullLoad = false;
    for (const auto& pt : DecodeSamples(h.Data(CMD_READ_SMPL_BNZ))) fullLoad |= pt.second > 900;
    EXPECT_TRUE(fullLoad);
}

TEST(SimEngineModel, EmptyTankEndsGasAfterThePressureDelayUntilTheKeyIsTurned) {
    SimHarness h(IdlingCar());
    h.Run(25);
    ASSERT_EQ(FuelInUse(h), 3);
    h.Ecu().SetTankLevel(0.0);
    h.Run(1);
    EXPECT_EQ(FuelInUse(h), 3) << "the end-of-gas delay is 2 s";
    h.Run(3);
    EXPECT_EQ(FuelInUse(h), 0);
    auto f = h.Data(CMD_READ_ERR);
    EXPECT_EQ(f[ERR_LOW_GAS_PRESSURE], kErrOpenCircuit);
    h.Ecu().SetTankLevel(0.5);
    h.Run(30);
    EXPECT_EQ(FuelInUse(h), 0) << "locked on petrol until the key is turned";
    h.Ecu().SetKey(false);
    h.Run(2);
    h.Ecu().SetKey(true);
    h.Run(25);
    EXPECT_EQ(FuelInUse(h), 3);
    f = h.Data(CMD_READ_ERR);
    EXPECT_EQ(f[ERR_LOW_GAS_PRESSURE], kErrNone);
    EXPECT_EQ(f[ERR_LOW_GAS_PRESSURE + 32], kErrOpenCircuit);
}

TEST(SimEngineModel, ColdEngineWarmsUpAndTheLambdaSwitchesOnceWarm) {
    SimOptions o = IdlingCar();
    o.warm = false;
    SimHarness h(o);
    h.Run(2);
    const double coldIdle = h.Ecu().Engine().State().rpm;
    const int reducerCold = static_cast<int16_t>(U16(h.Data(CMD_READ_MEM1), 77));
    h.Run(600);
    const auto d = h.Data(CMD_READ_MEM1);
    EXPECT_GT(static_cast<int16_t>(U16(d, 77)), reducerCold + 30);
    EXPECT_LT(h.Ecu().Engine().State().rpm, coldIdle);
    int high = 0, low = 0;
    for (int i = 0; i < 60; ++i) {
        h.Run(0.05);
        const double v = U16(h.Data(CMD_READ_MEM1), 70) / 1000.0;
        high += v > 0.6;
        low += v < 0.3;
    }
    EXPECT_GT(high, 5);
    EXPECT_GT(low, 5);
}

TEST(SimEngineModel, KeyOffStopsTheEngineAndTheReportedSpeed) {
    SimHarness h(IdlingCar());
    h.Run(3);
    EXPECT_GT(U16(h.Data(CMD_READ_MEM1), 64), 0);
    h.Ecu().SetKey(false);
    h.Run(5);
    const auto d = h.Data(CMD_READ_MEM1);
    EXPECT_EQ(U16(d, 64), 0);
    EXPECT_EQ(d[72], 0);
    EXPECT_EQ(U16(d, 30), 0);
}

// The injectors' states on gas: the change to gas takes the fitted
// injectors onto gas (3); an injector the tool makes 1 on gas waits undriven
// until it writes 2, which the ECU drives and makes 3; 4 is driven and
// kept; off gas every state above 1 is 1 again; the flash keeps 1.
TEST(SimInjectorStates, TheEcuMovesItsInjectorsAsTheToolsSequencingExpects) {
    SimHarness h(IdlingCar());
    const auto states = [&] {
        const auto d = h.Data(CMD_READ_MEM3);
        std::array<int, 5> s{};
        for (int i = 0; i < 5; ++i) s[i] = d.at(CylOffset(mem3::InjEnable, i, 1));
        return s;
    };
    const auto driven = [&] {
        const auto d = h.Data(CMD_READ_MEM1);
        std::array<bool, 5> s{};
        for (int i = 0; i < 5; ++i)
            s[i] = static_cast<int16_t>(U16(d, CylOffset(mem1::SignedInjTimes, i, 2))) > 0;
        return s;
    };
    const auto setState = [&](int i, uint8_t v) {
        WriteMem3(h, [&](std::vector<uint8_t>& d) { d.at(CylOffset(mem3::InjEnable, i, 1)) = v; });
    };
    const struct {
        const char* what;
        std::function<void()> act;
        std::array<int, 5> states;
        std::array<bool, 5> driven;
    } steps[] = {
        {"petrol after the start", [&] { h.Run(3); }, {1, 1, 1, 1, 0}, {}},
        {"the change to gas", [&] { h.Run(20); }, {3, 3, 3, 3, 0}, {true, true, true, true, false}},
        {"made 1 on gas",
         [&] {
             setState(1, 1);
             h.Run(1);
         },
         {3, 1, 3, 3, 0},
         {true, false, true, true, false}},
        {"made 2 on gas",
         [&] {
             setState(1, 2);
             h.Run(0.5);
         },
         {3, 3, 3, 3, 0},
         {true, true, true, true, false}},
        {"held on gas (4)",
         [&] {
             setState(2, 4);
             h.Run(1);
         },
         {3, 3, 4, 3, 0},
         {true, true, true, true, false}},
        {"switched off on gas",
         [&] {
             setState(3, 0);
             h.Run(1);
         },
         {3, 3, 4, 0, 0},
         {true, true, true, false, false}},
        {"back on petrol",
         [&] {
             SetWorkMode(h, 0);
             h.Run(1);
         },
         {1, 1, 1, 0, 0},
         {}},
        {"made 3 on petrol",
         [&] {
             setState(0, 3);
             h.Run(1);
         },
         {1, 1, 1, 0, 0},
         {}},
        {"gas again",
         [&] {
             SetWorkMode(h, 3);
             h.Run(1);
         },
         {3, 3, 3, 0, 0},
         {true, true, true, false, false}},
    };
    for (const auto& st : steps) {
        SCOPED_TRACE(st.what);
        st.act();
        EXPECT_EQ(states(), st.states);
        EXPECT_EQ(driven(), st.driven);
    }
    // Saved on gas: the flash keeps the fitted injectors as 1.
    ASSERT_EQ(h.Status(CMD_SAVE_FLASH, {0}), kStatusDone);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(h.Ecu().Saved().InjState(i), i < 3 ? 1 : 0) << i;
        EXPECT_EQ(h.Ecu().Working().InjState(i), i < 3 ? 3 : 0) << i;
    }
    EXPECT_EQ(h.Ecu().Saved().Mem3Config(), h.Ecu().Working().Mem3Config());
}

}  // namespace
}  // namespace gascal::sim::test
