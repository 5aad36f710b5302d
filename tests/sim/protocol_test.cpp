// Conformance of the simulated ECU's frames: layouts, checksums, status codes,
// resynchronisation and line timing, all through the in-process port.
#include <gtest/gtest.h>

#include "tests/sim/SimHarness.h"

namespace gascal::sim::test {
namespace {

uint8_t Xor(const std::vector<uint8_t>& f) {
    uint8_t x = 0;
    for (uint8_t b : f) x ^= b;
    return x;
}

TEST(SimProtocol, KeepAliveEchoesItsDataInAWellFormedAnswer) {
    SimHarness h;
    // The request of the keep-alive as the tool lays it out.
    const std::vector<uint8_t> req{
        0x41, 0x02, 0x06, 0x09,
        0x45, 0x43, 0x4F, static_cast<uint8_t>(0x41 ^ 0x02 ^ 0x06 ^ 0x09 ^ 0x45 ^ 0x43 ^ 0x4F)};
    EXPECT_EQ(req, BuildRequest(CMD_GET_ECO, {'E', 'C', 'O'}));
    h.Send(req);
    const auto a = h.Collect();
    const std::vector<uint8_t> expected{
        0x42, 0x01, 0x07,
        0x09, 0x00, 0x45,
        0x43, 0x4F, static_cast<uint8_t>(0x42 ^ 0x01 ^ 0x07 ^ 0x09 ^ 0x45 ^ 0x43 ^ 0x4F)};
    EXPECT_EQ(a, expected);
    EXPECT_EQ(h.Ecu().Counters().requests, 1u);
    EXPECT_EQ(h.Ecu().Counters().answers, 1u);
}

struct ReadCase {
    uint8_t cmd;
    std::vector<uint8_t> data;
    size_t answerData;
};

TEST(SimProtocol, EveryReadAnswersWithItsLayoutLengthAndAValidChecksum) {
    SimHarness h(IdlingCar());
    h.Run(2);
    const std::vector<ReadCase> cases = {
        {CMD_GET_ECO, {'E', 'C', 'O'}, 3},
        {CMD_GET_ADR_VAR, {}, 16},
        {CMD_READ_MEM_ZONE, {0x00, 0x00, 0x01, 0x3A, 0x01}, 1},
        {CMD_READ_MEM_ZONE, {0x00, 0xFF, 0xE0, 0x00, 0x06}, 6},
        {CMD_READ_MEM_ZONE, {0x00, 0xFF, 0x80, 0x06, 0x20}, 32},
        {CMD_READ_MEM1, {}, 85},
        {CMD_READ_MEM2, {}, 14},
        {CMD_READ_MEM3, {}, 74},
        {CMD_READ_MEM5, {}, 23},
        {CMD_READ_TBL_COR, {0, 48}, 96},
        {CMD_READ_TBL_COR, {144, 48}, 96},
        {CMD_READ_ERR, {}, 64},
        {CMD_READ_SMPL_BNZ, {}, 121},
        {CMD_READ_SMPL_BNZ1, {}, 121},
        {CMD_READ_SMPL_GAS, {}, 121},
        {CMD_READ_SMPL_GAS1, {}, 121},
        {CMD_READ_FIRMWARE, {}, 38},
        {CMD_READ_DCOL_FL, {}, 16},
        {CMD_CANC_ERR, {}, 0},
        {CMD_CANC_SMPL_BNZ, {}, 0},
        {CMD_CANC_SMPL_GAS, {}, 0},
        {CMD_SAVE_FLASH, {0}, 0},
        {CMD_SET_ECU_SLAVE, {0}, 0},
        {CMD_SET_ECU_RUN, {0}, 0},
    };
    for (const auto& c : cases) {
        const auto a = h.Exchange(c.cmd, c.data);
        ASSERT_EQ(a.size(), c.answerData + 6) << "command " << int(c.cmd);
        EXPECT_EQ(a[0], 0x42);
        EXPECT_EQ(a[1], 0x01);
        EXPECT_EQ(a[2], c.answerData + 4) << "command " << int(c.cmd);
        EXPECT_EQ(a[3], c.cmd);
        EXPECT_EQ(a[4], kStatusDone) << "command " << int(c.cmd);
        EXPECT_EQ(Xor(a), 0) << "command " << int(c.cmd);
    }
}

TEST(SimProtocol, ModeByteAndIdentityAddressesAnswerFromMemory) {
    SimHarness h(IdlingCar());
    EXPECT_EQ(h.Data(CMD_READ_MEM_ZONE, {0, 0, 0x01, 0x3A, 1}), std::vector<uint8_t>{0});
    h.Data(CMD_SET_ECU_SLAVE, {0});
    EXPECT_EQ(h.Data(CMD_READ_MEM_ZONE, {0, 0, 0x01, 0x3A, 1}), std::vector<uint8_t>{1});
    EXPECT_EQ(h.Data(CMD_READ_MEM_ZONE, {0, 0xFF, 0xE0, 0x00, 6}),
              (std::vector<uint8_t>{0x01, 0x40, 0x15, 0x03, 0x20, 0x25}));
    const auto desc = h.Data(CMD_READ_MEM_ZONE, {0, 0xFF, 0x80, 0x06, 32});
    EXPECT_EQ(std::string(desc.begin(), desc.end()), "KT540 GASCAL INJ468             ");
    const auto fw = h.Data(CMD_READ_FIRMWARE);
    ASSERT_EQ(fw.size(), 38u);
    EXPECT_EQ(std::vector<uint8_t>(fw.begin(), fw.begin() + 6),
              (std::vector<uint8_t>{0x01, 0x40, 0x15, 0x03, 0x20, 0x25}));
    EXPECT_EQ(std::vector<uint8_t>(fw.begin() + 6, fw.end()), desc);
}

TEST(SimProtocol, WrongChecksumIsAnsweredWithStatus255AndNothingExecutes) {
    SimHarness h(IdlingCar());
    auto req = BuildRequest(CMD_SET_ECU_SLAVE, {0});
    req.back() ^= 0x10;
    h.Send(req);
    const auto a = h.Collect();
    EXPECT_EQ(a, BuildAnswer(CMD_SET_ECU_SLAVE, kStatusChecksumError, {}));
    EXPECT_EQ(h.Ecu().Mode(), EcuMode::Run);
    EXPECT_EQ(h.Ecu().Counters().checksumErrors, 1u);
}

TEST(SimProtocol, RequestsItCannotExecuteGetStatus254) {
    SimHarness h(IdlingCar());
    h.Run(1);
    // Wrong lengths.
    EXPECT_EQ(h.Status(CMD_READ_MEM1, {0}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_WRT_MEM3, std::vector<uint8_t>(73, 0)), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_WRT_MEM2, std::vector<uint8_t>(15, 0)), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_WRT_TBL_COR, {0, 48, 1, 2}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_WRIT_DCOL, std::vector<uint8_t>(15, 0)), kStatusExecError);
    // Bad addresses and ranges.
    EXPECT_EQ(h.Status(CMD_READ_MEM_ZONE, {0x00, 0x40, 0x00, 0x00, 4}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_READ_MEM_ZONE, {0x00, 0xFF, 0xFF, 0xFE, 4}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_READ_MEM_ZONE, {0x00, 0x00, 0x01, 0x3A, 0}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_READ_TBL_COR, {160, 48}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_READ_TBL_COR, {0, 0}), kStatusExecError);
    // Unknown and never-sent commands.
    EXPECT_EQ(h.Status(0x63), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_EOBD), kStatusExecError);
    // Wrong mode: flash commands outside programming mode, programming with the
    // engine running.
    EXPECT_EQ(h.Status(CMD_ERASE_FLASH, {0}), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_WRT_FLASH_END), kStatusExecError);
    EXPECT_EQ(h.Status(CMD_SET_ECU_PRG, {0}), kStatusExecError);
    EXPECT_EQ(h.Ecu().Mode(), EcuMode::Run);
    EXPECT_GE(h.Ecu().Counters().rejected, 15u);
}

TEST(SimProtocol, BytesThatAreNoRequestGetNoAnswerAndTheNextRequestIsUnderstood) {
    SimHarness h;
    h.Send({0x00, 0x42, 0x01, 0x41, 0x41, 0x03, 0x41, 0x02, 0x01});
    EXPECT_TRUE(h.Collect(300000).empty());
    // A partial request, then silence: dropped after the pause.
    h.Send({0x41, 0x02, 0x06, 0x09});
    h.Run(0.5);
    EXPECT_TRUE(h.Collect(100000).empty());
    EXPECT_EQ(h.Ecu().Counters().abandonedFrames, 1u);
    // A request preceded by a stray start byte is still found.
    h.Send({0x41});
    const auto a = h.Exchange(CMD_GET_ECO, {'E', 'C', 'O'});
    EXPECT_EQ(a, BuildAnswer(CMD_GET_ECO, kStatusDone, {'E', 'C', 'O'}));
    EXPECT_EQ(h.Ecu().Counters().requests, 1u);
}

TEST(SimProtocol, AnswersTravelAtLineSpeedAfterTheProcessingTime) {
    SimOptions o;
    o.processingUs = 2000;
    SimHarness h(o);
    const auto req = BuildRequest(CMD_READ_MEM2, {});
    // Write the whole frame at once: the last byte reaches the ECU after 5 byte times.
    uint32_t written = 0;
    const double t0 = h.Ev().MicroSeconds();
    ASSERT_EQ(h.PortPtr()->Write(req.data(), static_cast<uint32_t>(req.size()), written), PORT_OK);
    PortQueue q;
    ASSERT_EQ(h.PortPtr()->QueueStatus(q), PORT_OK);
    EXPECT_EQ(q.outQue, req.size());
    const double requestEnd = t0 + req.size() * kByteUs;
    const double firstByte = requestEnd + 2000 + kByteUs;
    h.Ev().RunFor(firstByte - t0 - 1);
    h.PortPtr()->QueueStatus(q);
    EXPECT_EQ(q.inQue, 0u);
    EXPECT_EQ(q.outQue, 0u);
    h.Ev().RunFor(2);
    h.PortPtr()->QueueStatus(q);
    EXPECT_EQ(q.inQue, 1u);
    // Ten more byte times bring ten more bytes.
    h.Ev().RunFor(10 * kByteUs);
    h.PortPtr()->QueueStatus(q);
    EXPECT_EQ(q.inQue, 11u);
    const auto a = h.Collect();
    EXPECT_EQ(a.size(), 14u + 6u);
    EXPECT_EQ(h.Ev().MicroSeconds() >= firstByte + 19 * kByteUs, true);
}

TEST(SimProtocol, PurgeDropsArrivedAnswerBytes) {
    SimHarness h;
    h.Send(BuildRequest(CMD_READ_MEM3, {}));
    h.Run(0.05);
    PortQueue q;
    h.PortPtr()->QueueStatus(q);
    EXPECT_EQ(q.inQue, 80u);
    EXPECT_EQ(h.PortPtr()->Purge(PURGE_RX | PURGE_TX), PORT_OK);
    h.PortPtr()->QueueStatus(q);
    EXPECT_EQ(q.inQue, 0u);
}

TEST(SimProtocol, AnEcuCarriedOverToAFreshClockKeepsAnswering) {
    auto ecu = std::make_shared<SimEcu>(IdlingCar());
    SimUsbProvider provider(ecu);
    {
        VirtualEventService first;
        ScopedEvents scope(first);
        ecu->AdvanceTo(first.MicroSeconds());  // the ECU's time starts at its first use
        first.RunFor(600e6);
        ecu->AdvanceTo(first.MicroSeconds());
        ASSERT_TRUE(ecu->OnGas());
    }
    VirtualEventService second;  // starts again at 0
    ScopedEvents scope(second);
    uint32_t status = 0;
    auto port = provider.OpenUsb(0, status);
    ASSERT_NE(port, nullptr);
    const auto req = BuildRequest(CMD_GET_ECO, {'E', 'C', 'O'});
    uint32_t n = 0;
    port->Write(req.data(), static_cast<uint32_t>(req.size()), n);
    second.RunFor(20000);
    std::vector<uint8_t> a(9);
    port->Read(a.data(), 9, n);
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(a, BuildAnswer(CMD_GET_ECO, kStatusDone, {'E', 'C', 'O'}));
    second.RunFor(5e6);
    ecu->AdvanceTo(second.MicroSeconds());
    EXPECT_TRUE(ecu->OnGas());
    EXPECT_GT(ecu->Engine().State().rpm, 700);
}

}  // namespace
}  // namespace gascal::sim::test
