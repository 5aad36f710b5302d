// The data layer against the simulated ECU through the real link object, in
// virtual time: block 3 changed through PendingEdits and read back, the
// correction table written and read back, and a parameter file carried from
// one ECU to another (newer firmware, and one at version 132).
#include <gtest/gtest.h>

#include <QDir>
#include <memory>

#include "DataTestSupport.h"
#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ClsCommParamLink.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "data/core/ParamImageHost.h"
#include "data/core/ParamRequests.h"
#include "link/core/ClsComm.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"

using namespace gascal;
using gascal::testing::TempFolder;

namespace {

// One simulated ECU with its own link object, image and requests.
struct EcuSession {
    explicit EcuSession(const sim::SimOptions& options)
        : ecu(std::make_shared<sim::SimEcu>(options)), provider(ecu) {
        comm.SetPortProvider(&provider);
        comm.SetFirmwareFileReader([](QString& fle, QString*) {
            fle.clear();
            return true;
        });
        image.SetHost(&host);
        link = std::make_unique<ClsCommParamLink>(comm, image);
        requests = std::make_unique<ParamRequests>(image, *link);
        timer1 = std::make_unique<Timer>("Timer1", 1, [this] { comm.SupervisionStep(); });
    }
    ~EcuSession() {
        timer1.reset();
        requests.reset();
        link.reset();
    }

    bool Connect(VirtualEventService& ev) {
        timer1->SetEnabled(true);
        if (!ev.RunUntil(
                [this] {
                    return comm.ComState() == ComState::Idle &&
                           !comm.LastKeepAliveAnswer().isEmpty();
                },
                10e6))
            return false;
        comm.ReadFirmwareIdentity();
        // Let the link settle: after an older firmware's identity read a
        // request can still be on its way.
        ev.RunFor(1e6);
        return comm.FirmwareEcuVersNum() > 0;
    }
    bool ReadAll() {
        bool ok = requests->ReadBlock(2) && requests->ReadBlock(3) && requests->ReadCorTable() &&
                  requests->ReadBlock(kBlockTestData);
        if (comm.FirmwareEcuVersNum() > kFirmwareWithBlock5) ok = ok && requests->ReadBlock(5);
        return ok;
    }
    const sim::ConfigImage& Ecu() const { return ecu->Working(); }

    std::shared_ptr<sim::SimEcu> ecu;
    sim::SimUsbProvider provider;
    ClsComm comm;
    RecordingImageHost host;
    ParamImage image;
    std::unique_ptr<ClsCommParamLink> link;
    std::unique_ptr<ParamRequests> requests;
    std::unique_ptr<Timer> timer1;
};

class RoundTripTest : public ::testing::Test {
  protected:
    RoundTripTest() {
        QDir(dir.Root()).mkpath("BIN");
        QDir(dir.Root()).mkpath("LNG");
        SetInstallDir(dir.Root());
        SetPrompts(&prompts);
    }
    ~RoundTripTest() override { SetPrompts(nullptr); }

    VirtualEventService ev;
    ScopedEvents scope{ev};
    ScriptedPrompts prompts;
    TempFolder dir;
};

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& a) {
    return std::vector<uint8_t>(a.begin(), a.end());
}

}  // namespace

TEST_F(RoundTripTest, Block3ChangeIsReadBackFromTheEcu) {
    EcuSession s{sim::SimOptions{}};
    ASSERT_TRUE(s.Connect(ev));
    ASSERT_TRUE(s.requests->ReadBlock(3));
    EXPECT_EQ(s.image.Mem3Block.NumCylinders, 4);
    EXPECT_DOUBLE_EQ(s.image.RpmConstant, 15000000);
    EXPECT_EQ(s.image.Mem3Block.SwitchRpm, 800);

    Mem3Fields& p = s.image.PendingEdits.Mem3Block;
    p.SwitchRpm = 1500;
    p.SwitchTempRaw = 45;
    p.InjTrim[1] = -0.016;
    p.InjTrim[6] = 0.4;
    p.SwitchDelay = 30;
    p.LevelThresholds[5] = 900;
    ASSERT_TRUE(s.requests->WriteBlock(3));
    // The ECU holds the period, element order and scaling as it understands them.
    const auto& m3 = s.Ecu().mem3;
    EXPECT_EQ(m3[4] | m3[5] << 8, 10000);
    EXPECT_EQ(static_cast<int16_t>(m3[22 + 2 * 6] | m3[23 + 2 * 6] << 8), -2);
    EXPECT_EQ(m3[22 + 2 * 1] | m3[23 + 2 * 1] << 8, 50);

    s.image.Mem3Block = Mem3Fields{};
    ASSERT_TRUE(s.requests->ReadBlock(3));
    const Mem3Fields& m = s.image.Mem3Block;
    EXPECT_EQ(m.SwitchRpm, 1500);
    EXPECT_EQ(m.SwitchTempRaw, 45);
    EXPECT_DOUBLE_EQ(m.InjTrim[1], -0.016);
    EXPECT_DOUBLE_EQ(m.InjTrim[6], 0.4);
    EXPECT_DOUBLE_EQ(m.SwitchDelay, 30);
    EXPECT_EQ(m.LevelThresholds[5], 900);
    EXPECT_EQ(m.NumCylinders, 4);
    EXPECT_GE(s.host.settingsRefreshRequests, 1);
}

TEST_F(RoundTripTest, Block2AndBlock5ThroughPendingEdits) {
    EcuSession s{sim::SimOptions{}};
    ASSERT_TRUE(s.Connect(ev));
    ASSERT_TRUE(s.ReadAll());
    EXPECT_EQ(s.image.Mem5Block.ShowRpmHigh, 2700);
    s.image.PendingEdits.Mem2Block.RpmCompEnable = 0;
    s.image.PendingEdits.Mem2Block.HoursCounter1 = -1;
    s.image.PendingEdits.Mem5Block.PreInjTemp = -10;
    s.image.PendingEdits.Mem5Block.ShowRpmLow = 2000;
    ASSERT_TRUE(s.requests->WriteBlock(2));
    ASSERT_TRUE(s.requests->WriteBlock(5));
    s.image.Mem2Block = Mem2Fields{};
    s.image.Mem5Block = Mem5Fields{};
    ASSERT_TRUE(s.requests->ReadBlock(2));
    ASSERT_TRUE(s.requests->ReadBlock(5));
    EXPECT_EQ(s.image.Mem2Block.RpmCompEnable, 0);
    EXPECT_DOUBLE_EQ(s.image.Mem2Block.HoursCounter1, 0);  // the ECU clears an erased counter
    EXPECT_GT(s.image.Mem2Block.HoursCounter2, 0);
    EXPECT_DOUBLE_EQ(s.image.Mem5Block.PreInjTemp, -10);
    EXPECT_EQ(s.image.Mem5Block.ShowRpmLow, 2000);
}

TEST_F(RoundTripTest, OlderFirmwareAnswersShortBlock5) {
    sim::SimOptions o;
    o.oldFirmware = true;
    EcuSession s{o};
    ASSERT_TRUE(s.Connect(ev));
    EXPECT_EQ(s.comm.FirmwareEcuVersNum(), 132);
    ASSERT_TRUE(s.requests->ReadBlock(5));
    EXPECT_EQ(s.image.Mem5Block.ShowRpmHigh, 2750);
    EXPECT_EQ(s.image.Mem5Block.MinPowerRpmLow, 600);
}

TEST_F(RoundTripTest, CorrectionTableWrittenAndReadBackToItsResolution) {
    EcuSession s{sim::SimOptions{}};
    ASSERT_TRUE(s.Connect(ev));
    CorTableArray& t = s.image.CorTable;
    for (int k = 0; k < kCorTimeEntries; ++k) t[k] = 0.35 + 0.0123 * k - 0.00004 * k * k;
    t[184] = 0.35;
    t[185] = 1.125;
    const double breaks[6] = {0, 32, 60, 96, 126, 157};
    for (int i = 0; i < 6; ++i) t[186 + i] = breaks[i];
    ASSERT_TRUE(s.requests->WriteCorTable());

    // A second image reads the table afresh from the ECU.
    ParamImage other;
    ClsCommParamLink otherLink(s.comm, other, false);
    ParamRequests otherReq(other, otherLink);
    ASSERT_TRUE(otherReq.ReadCorTable());
    for (int k = 0; k < kCorTimeEntries; ++k) {
        // One count: the last hexadecimal digit of a time never carries over.
        EXPECT_NEAR(other.CorTableEcu[k], t[k], s.image.KInj + 1e-12) << k;
        EXPECT_DOUBLE_EQ(other.CorTableEcu[k], s.image.CorTableEcu[k]) << k;
    }
    EXPECT_DOUBLE_EQ(other.CorTableEcu[184], 0.35);
    EXPECT_DOUBLE_EQ(other.CorTableEcu[185], 1.125);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(other.CorTableEcu[186 + i], breaks[i]);
}

TEST_F(RoundTripTest, SaveFlashKeepsChangesOverAReset) {
    EcuSession s{sim::SimOptions{}};
    ASSERT_TRUE(s.Connect(ev));
    ASSERT_TRUE(s.requests->ReadBlock(3));
    s.image.PendingEdits.Mem3Block.SwitchTempRaw = 55;
    ASSERT_TRUE(s.requests->WriteBlock(3));
    ASSERT_TRUE(s.requests->SaveFlash());
    EXPECT_EQ(s.comm.AttesaGlobale_usec(), s.comm.AttesaGlobaleDefault_usec());
    EXPECT_EQ(s.ecu->Saved().mem3[2], 55);
}

TEST_F(RoundTripTest, ParameterFileCarriesTheConfigurationToAnotherEcu) {
    // ECU A: a configuration different from the factory one.
    EcuSession a{sim::SimOptions{}};
    ASSERT_TRUE(a.Connect(ev));
    ASSERT_TRUE(a.ReadAll());
    a.image.PendingEdits.Mem3Block.SwitchRpm = 1400;
    a.image.PendingEdits.Mem3Block.InjTrim[2] = 0.024;
    a.image.PendingEdits.Mem3Block.ForceTime = 60;
    a.image.PendingEdits.Mem2Block.RpmCompEnable = 0;
    a.image.PendingEdits.Mem5Block.SwitchSequence = 60;
    a.image.PendingEdits.Mem5Block.MinPowerEnable = 1;
    ASSERT_TRUE(a.requests->WriteBlock(3));
    ASSERT_TRUE(a.requests->WriteBlock(2));
    ASSERT_TRUE(a.requests->WriteBlock(5));
    for (int k = 0; k < kCorTimeEntries; ++k) a.image.CorTable[k] = 0.2 + 0.008 * (k % 23);
    a.image.CorTable[184] = 0.2;
    a.image.CorTable[185] = 1.05;
    const double breaks[6] = {0, 30, 63, 94, 125, 157};
    for (int i = 0; i < 6; ++i) a.image.CorTable[186 + i] = breaks[i];
    ASSERT_TRUE(a.requests->WriteCorTable());
    ASSERT_TRUE(a.ReadAll());
    a.image.CorTable = a.image.CorTableEcu;  // the window takes the table read back
    const QString path = dir.Path("car.var");
    ASSERT_TRUE(SaveParamFile(path, a.image, a.comm.FirmwareEcuVersNum(), "Tool"));

    for (const bool old : {false, true}) {
        SCOPED_TRACE(old ? "firmware 132" : "firmware 141");
        sim::SimOptions o;
        o.seed = 7;
        if (old)
            o.oldFirmware = true;
        else
            o.firmwareVersion = "0141";
        EcuSession b{o};
        ASSERT_TRUE(b.Connect(ev));
        ASSERT_TRUE(b.ReadAll());
        const std::vector<uint8_t> mem5Before = Bytes(b.Ecu().mem5);
        const std::vector<uint8_t> mem2Before = Bytes(b.Ecu().mem2);
        ASSERT_TRUE(LoadParamFile(path, b.image, b.link.get()));

        const auto& ea = a.Ecu();
        const auto& eb = b.Ecu();
        EXPECT_EQ(Bytes(eb.mem3), Bytes(ea.mem3));
        EXPECT_EQ(Bytes(eb.table), Bytes(ea.table));
        // Block 2: all but the fuel request, the fuel in use and the mode.
        for (size_t i = 0; i < eb.mem2.size(); ++i) {
            if (i <= 2)
                EXPECT_EQ(eb.mem2[i], mem2Before[i]) << i;
            else
                EXPECT_EQ(eb.mem2[i], ea.mem2[i]) << i;
        }
        if (old)
            EXPECT_EQ(Bytes(eb.mem5), mem5Before);
        else
            EXPECT_EQ(Bytes(eb.mem5), Bytes(ea.mem5));
    }
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(RoundTripTest, DefaultSetResetsTheConfigurationButNotTheHours) {
    const QString defaults = QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG/Default.Xar");
    ParamLoadOptions opt;
    opt.defaultSetPath = defaults;
    opt.sl6Cil = "6";
    opt.sl8Cil = "8";
    {
        SCOPED_TRACE("4 cylinders");
        EcuSession s{sim::SimOptions{}};
        ASSERT_TRUE(s.Connect(ev));
        ASSERT_TRUE(s.ReadAll());
        s.image.PendingEdits.Mem3Block.SwitchTempRaw = 60;
        s.image.PendingEdits.Mem5Block.ShowRpmHigh = 3300;
        ASSERT_TRUE(s.requests->WriteBlock(3));
        ASSERT_TRUE(s.requests->WriteBlock(5));
        ASSERT_TRUE(s.requests->ReadBlock(2));
        const std::vector<uint8_t> hours(s.Ecu().mem2.begin() + 3, s.Ecu().mem2.begin() + 11);
        ASSERT_TRUE(LoadParamFile(defaults, s.image, s.link.get(), opt));
        const sim::ConfigImage factory = sim::FactoryConfig(4);
        EXPECT_EQ(Bytes(s.Ecu().mem3), Bytes(factory.mem3));
        EXPECT_EQ(Bytes(s.Ecu().mem5), Bytes(factory.mem5));
        EXPECT_EQ(Bytes(s.Ecu().table), Bytes(factory.table));
        EXPECT_EQ(std::vector<uint8_t>(s.Ecu().mem2.begin() + 3, s.Ecu().mem2.begin() + 11), hours);
    }
    {
        SCOPED_TRACE("6 cylinders");
        sim::SimOptions o;
        o.cylinders = 6;
        EcuSession s{o};
        ASSERT_TRUE(s.Connect(ev));
        ASSERT_TRUE(s.ReadAll());
        ASSERT_TRUE(LoadParamFile(defaults, s.image, s.link.get(), opt));
        const auto& m3 = s.Ecu().mem3;
        EXPECT_EQ(m3[1], 6);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(m3[21 - i], i < 6 ? 1 : 0) << i;
        // Still 800 rpm: the default set's 4 coils with 6 cylinders give period 12500.
        EXPECT_EQ(m3[4] | m3[5] << 8, 12500);
        EXPECT_EQ(s.image.Mem3Block.SwitchRpm, 800);
    }
}
