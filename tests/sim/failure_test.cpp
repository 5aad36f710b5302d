// Failure modes: each one on its own at probability 1, the counters, the
// settings parser, determinism for a seed, and the USB port vanishing.
#include <gtest/gtest.h>

#include "tests/sim/SimHarness.h"

namespace gascal::sim::test {
namespace {

const std::vector<uint8_t> kEco{'E', 'C', 'O'};

SimOptions WithFailures(const QString& settings) {
    SimOptions o;
    QString error;
    EXPECT_TRUE(ParseFailureSettings(settings, o.failures, &error)) << error.toStdString();
    return o;
}

TEST(SimFailures, CorruptChangesExactlyOneByteOfTheAnswer) {
    SimHarness h(WithFailures("corrupt=1"));
    const auto clean = BuildAnswer(
        CMD_READ_MEM3, kStatusDone,
        std::vector<uint8_t>(h.Ecu().Working().mem3.begin(), h.Ecu().Working().mem3.end()));
    h.Send(BuildRequest(CMD_READ_MEM3, {}));
    h.Run(0.2);
    const auto got = h.Drain();
    ASSERT_EQ(got.size(), clean.size());
    int differences = 0;
    for (size_t i = 0; i < got.size(); ++i) differences += got[i] != clean[i];
    EXPECT_EQ(differences, 1);
    EXPECT_EQ(h.Ecu().Counters().injectedCorrupt, 1u);
}

TEST(SimFailures, LostAnswerIsExecutedButNeverArrives) {
    SimHarness h(WithFailures("lose=1"));
    h.Send(BuildRequest(CMD_SET_ECU_SLAVE, {0}));
    h.Run(0.5);
    EXPECT_TRUE(h.Drain().empty());
    EXPECT_EQ(h.Ecu().Mode(), EcuMode::Slave);
    EXPECT_EQ(h.Ecu().Counters().injectedLose, 1u);
    EXPECT_EQ(h.Ecu().Counters().answers, 0u);
}

TEST(SimFailures, InjectedStatusAnswersExecuteNothing) {
    {
        SimHarness h(WithFailures("status254=1"));
        EXPECT_EQ(h.Exchange(CMD_SET_ECU_SLAVE, {0}),
                  BuildAnswer(CMD_SET_ECU_SLAVE, kStatusExecError, {}));
        EXPECT_EQ(h.Ecu().Mode(), EcuMode::Run);
        EXPECT_EQ(h.Ecu().Counters().injected254, 1u);
    }
    {
        SimHarness h(WithFailures("status255=1"));
        EXPECT_EQ(h.Exchange(CMD_SET_ECU_SLAVE, {0}),
                  BuildAnswer(CMD_SET_ECU_SLAVE, kStatusChecksumError, {}));
        EXPECT_EQ(h.Ecu().Mode(), EcuMode::Run);
        EXPECT_EQ(h.Ecu().Counters().injected255, 1u);
    }
}

TEST(SimFailures, SplitAnswerPausesHalfWay) {
    SimHarness h(WithFailures("split=1,splitGapMs=40"));
    h.Send(BuildRequest(CMD_READ_MEM1, {}));
    // Line time of half the 91-byte answer is about 12 ms: then the pause.
    h.Run(0.025);
    const auto first = h.Drain();
    EXPECT_EQ(first.size(), 45u);
    h.Run(0.020);
    EXPECT_TRUE(h.Drain().empty());
    h.Run(0.040);
    const auto rest = h.Drain();
    EXPECT_EQ(first.size() + rest.size(), 91u);
    EXPECT_EQ(h.Ecu().Counters().injectedSplit, 1u);
}

TEST(SimFailures, LateAnswerStartsAfterTheSetDelay) {
    SimHarness h(WithFailures("late=1,lateMs=700"));
    h.Send(BuildRequest(CMD_GET_ECO, kEco));
    h.Run(0.65);
    EXPECT_TRUE(h.Drain().empty());
    h.Run(0.1);
    EXPECT_EQ(h.Drain(), BuildAnswer(CMD_GET_ECO, kStatusDone, kEco));
}

TEST(SimFailures, CollisionNoiseArrivesWhileTheRequestIsStillGoingOut) {
    SimHarness h(WithFailures("collision=1"));
    const auto req = BuildRequest(CMD_GET_ECO, kEco);
    // Write like the tool: check the input queue before each byte.
    size_t sent = 0;
    for (uint8_t b : req) {
        PortQueue q;
        ASSERT_EQ(h.PortPtr()->QueueStatus(q), PORT_OK);
        if (q.inQue > 0) break;
        uint32_t w = 0;
        h.PortPtr()->Write(&b, 1, w);
        ++sent;
        h.Ev().RunFor(500);
    }
    EXPECT_LT(sent, req.size());
    EXPECT_EQ(h.Ecu().Counters().injectedCollision, 1u);
    // The ECU drops the unfinished request after the pause and answers nothing.
    h.Run(1);
    h.Drain();
    EXPECT_EQ(h.Ecu().Counters().abandonedFrames, 1u);
    EXPECT_EQ(h.Ecu().Counters().requests, 0u);
}

TEST(SimFailures, InjectedResetLosesUnsavedChangesAndAnswersNothing) {
    SimHarness h;
    auto d = h.Data(CMD_READ_MEM3);
    d[2] = 61;
    ASSERT_EQ(h.Status(CMD_WRT_MEM3, d), kStatusDone);
    h.Ecu().Failures().reset = 1;
    EXPECT_TRUE(h.Exchange(CMD_GET_ECO, kEco, 200000).empty());
    h.Ecu().Failures().reset = 0;
    h.Run(0.5);
    EXPECT_EQ(h.Data(CMD_READ_MEM3)[2], 35);
    EXPECT_EQ(h.Ecu().Counters().injectedReset, 1u);
    EXPECT_EQ(h.Ecu().Counters().resets, 1u);
}

TEST(SimFailures, VanishedPortFailsUntilReopenedAfterItReturns) {
    SimHarness h(WithFailures("vanish=1,vanishMs=2000"));
    h.Send(BuildRequest(CMD_GET_ECO, kEco));
    h.Run(0.1);
    h.Ecu().Failures().vanish = 0;
    PortQueue q;
    uint8_t b = 0x41;
    uint32_t n = 0;
    EXPECT_EQ(h.PortPtr()->QueueStatus(q), PORT_IO_ERROR);
    EXPECT_EQ(h.PortPtr()->Write(&b, 1, n), PORT_IO_ERROR);
    EXPECT_EQ(h.PortPtr()->Read(&b, 1, n), PORT_IO_ERROR);
    uint32_t count = 9;
    h.Provider().UsbDeviceCount(count);
    EXPECT_EQ(count, 0u);
    uint32_t status = 0;
    EXPECT_EQ(h.Provider().OpenUsb(0, status), nullptr);
    EXPECT_EQ(status, PORT_DEVICE_NOT_FOUND);
    h.Run(2.5);
    h.Provider().UsbDeviceCount(count);
    EXPECT_EQ(count, 1u);
    // The old handle stays dead; a new one works.
    EXPECT_EQ(h.PortPtr()->QueueStatus(q), PORT_IO_ERROR);
    EXPECT_EQ(h.PortPtr()->Close(), PORT_OK);
    h.Reopen();
    ASSERT_EQ(h.OpenStatus(), PORT_OK);
    EXPECT_EQ(h.Status(CMD_GET_ECO, kEco), kStatusDone);
    EXPECT_EQ(h.Ecu().Counters().injectedVanish, 1u);
}

TEST(SimFailures, SerialPortsAreNotTheSimulatorsAndOnlyDeviceZeroExists) {
    SimHarness h;
    uint32_t status = 0;
    EXPECT_EQ(h.Provider().OpenSerial(1, status), nullptr);
    EXPECT_EQ(status, PORT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h.Provider().OpenUsb(1, status), nullptr);
    EXPECT_EQ(status, PORT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h.PortPtr()->Close(), PORT_OK);
    PortQueue q;
    EXPECT_EQ(h.PortPtr()->QueueStatus(q), PORT_INVALID_HANDLE);
}

TEST(SimFailures, WrongLineSettingsGiveNoAnswers) {
    SimHarness h;
    LineSettings s;
    s.baud = 9600;
    ASSERT_EQ(h.PortPtr()->Configure(s), PORT_OK);
    EXPECT_TRUE(h.Exchange(CMD_GET_ECO, kEco, 300000).empty());
    ASSERT_EQ(h.PortPtr()->Configure(LineSettings{}), PORT_OK);
    EXPECT_EQ(h.Status(CMD_GET_ECO, kEco), kStatusDone);
}

// Outcome of 300 keep-alives under a mix of failures: what came back for each.
std::vector<int> Outcomes(uint64_t seed) {
    SimOptions o = WithFailures("corrupt=0.1,lose=0.1,status254=0.1,late=0.1,lateMs=50");
    o.seed = seed;
    SimHarness h(o);
    std::vector<int> out;
    for (int i = 0; i < 300; ++i) {
        h.Send(BuildRequest(CMD_GET_ECO, kEco));
        h.Run(0.1);
        const auto a = h.Drain();
        out.push_back(a.empty() ? -1 : (a.size() < 5 ? -2 : a[4] * 1000 + a.back()));
    }
    const auto& c = h.Ecu().Counters();
    // About one in ten of each, drawn independently.
    EXPECT_NEAR(static_cast<double>(c.injectedLose), 30, 20);
    EXPECT_NEAR(static_cast<double>(c.injected254), 30, 20);
    EXPECT_GT(c.injectedCorrupt, 5u);
    return out;
}

TEST(SimFailures, SameSeedSameFailuresOtherSeedOtherFailures) {
    const auto a = Outcomes(42);
    const auto b = Outcomes(42);
    const auto c = Outcomes(43);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(SimFailures, SettingsParserAcceptsNamesAndRefusesNonsense) {
    FailureSettings f;
    QString error;
    EXPECT_TRUE(ParseFailureSettings("corrupt=0.05, lose=0.02,lateMs=250", f, &error));
    EXPECT_DOUBLE_EQ(f.corrupt, 0.05);
    EXPECT_DOUBLE_EQ(f.lose, 0.02);
    EXPECT_DOUBLE_EQ(f.lateMs, 250);
    EXPECT_TRUE(f.Any());
    const FailureSettings before = f;
    EXPECT_FALSE(ParseFailureSettings("corrupt=0.1,explode=1", f, &error));
    EXPECT_TRUE(error.contains("explode"));
    EXPECT_FALSE(ParseFailureSettings("lose=1.5", f, &error));
    EXPECT_FALSE(ParseFailureSettings("lose", f, &error));
    EXPECT_FALSE(ParseFailureSettings("late=abc", f, &error));
    EXPECT_FALSE(ParseFailureSettings("lateMs=-3", f, &error));
    // A refused list changes nothing, not even its good items.
    EXPECT_DOUBLE_EQ(f.corrupt, before.corrupt);
    EXPECT_DOUBLE_EQ(f.lose, before.lose);
}

}  // namespace
}  // namespace gascal::sim::test
