// The link against the simulated ECU: in-process in virtual time (search,
// identity of new and older firmware, the shipped firmware file, the port
// vanishing and returning, corrupted answers), and over a pseudo-terminal
// through the real serial transport against gascal-ecusim on the real clock.
#include <QFile>
#include <QProcess>

#include "link/core/LinkSupervisor.h"
#include "link/core/MachinePorts.h"
#include "sim/core/SimPort.h"
#include "tests/link/LinkFixture.h"

namespace gascal::test {
namespace {

const QString kIdentityNew =
    QStringLiteral("014015032025") + QStringLiteral("KT540 GASCAL INJ468").leftJustified(32);
const QString kIdentityFile =
    QStringLiteral("014001092026") + QStringLiteral("KT540 GASCAL INJ468").leftJustified(32);

void CopyShippedFirmware() {
    for (const char* f : {"Flash.ini", "TeluroInj468.frh"}) {
        const QString to = SystemPath(QStringLiteral("\\BIN\\") + f);
        QFile::remove(to);
        ASSERT_TRUE(QFile::copy(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN/") + f, to))
            << f;
    }
}

class SimLinkTest : public LinkTest {
  protected:
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> simUsb;
    ChainedPortProvider chain;
    std::unique_ptr<LinkSupervisor> sup;

    void StartSim(const sim::SimOptions& o = sim::SimOptions()) {
        ecu = std::make_shared<sim::SimEcu>(o);
        simUsb = std::make_unique<sim::SimUsbProvider>(ecu);
        chain.AddUsb(simUsb.get());
        chain.SetSerial(&ports);  // no serial port answers
        comm->SetPortProvider(&chain);
        sup = std::make_unique<LinkSupervisor>(*comm);
        timer1 = std::make_unique<Timer>("Timer1", 1, [this] { sup->Timer1Tick(); });
        CopyShippedFirmware();
    }
    void TearDown() override {
        timer1.reset();
        sup.reset();
        LinkTest::TearDown();
    }
    bool Idle(double maxUs) {
        return ev.RunUntil(
            [&] {
                return comm->ComState() == ComState::Idle && !comm->LastKeepAliveAnswer().isEmpty();
            },
            maxUs);
    }
};

TEST_F(SimLinkTest, SearchFindsTheSimulatorOnTheUsbSlotAndRemembersIt) {
    StartSim();
    comm->ReadSetCom("\\BIN\\SetCom.ini");  // missing: search
    timer1->SetEnabled(true);
    ASSERT_TRUE(Idle(5e6));
    EXPECT_EQ(comm->UsbCom(), 1);
    EXPECT_EQ(comm->LastKeepAliveAnswer(), BuildAnswer(CMD_GET_ECO, 0, "ECO"));
    // What the window's connection check does: identify, then stop the search.
    ASSERT_TRUE(comm->ReadFirmwareIdentity());
    EXPECT_EQ(comm->DescProgettoEcu_CODICE(), comm->DescProgettoFle_CODICE());
    comm->StopSearchAndRemember();
    ClsComm next;
    next.ReadSetCom("\\BIN\\SetCom.ini");
    EXPECT_EQ(next.UsbCom(), 1);
    EXPECT_EQ(next.FlagRicercaCom(), SEARCH_OFF);
    EXPECT_EQ(sup->PortaDiComSelected(), 0);
}

TEST_F(SimLinkTest, IdentityOfNewFirmwareAndOfTheShippedFile) {
    StartSim();
    UseUsb();
    timer1->SetEnabled(true);
    ASSERT_TRUE(Idle(2e6));
    ASSERT_TRUE(comm->ReadFirmwareIdentity());
    EXPECT_EQ(comm->FirmwareEcu(), kIdentityNew);
    EXPECT_EQ(comm->FirmwareEcuVersStr(), "01.00.40");
    EXPECT_EQ(comm->FirmwareEcuVersNum(), 140);
    EXPECT_EQ(comm->FirmwareEcuDataStr(), "25/03/15");
    EXPECT_EQ(comm->DescProgettoEcu_KTXXX(), "KT540");
    EXPECT_EQ(comm->DescProgettoEcu_CLIENTE(), "GASCAL");
    EXPECT_EQ(comm->FirmwareFle(), kIdentityFile);
    EXPECT_EQ(comm->FirmwareFleVersStr(), "01.00.40");
    EXPECT_EQ(comm->FirmwareFleVersNum(), 140);
    EXPECT_EQ(comm->FirmwareFleDataStr(), "26/09/01");
    EXPECT_EQ(comm->FirmwareFleDayNum(), 1);
    EXPECT_EQ(comm->FirmwareFleMonthNum(), 9);
    EXPECT_EQ(comm->FirmwareFleYearNum(), 2026);
    EXPECT_EQ(comm->DescProgettoFle_CODICE(), "INJ468");

    // Without the flash table the file side fails the read.
    QFile::remove(SystemPath("\\BIN\\Flash.ini"));
    EXPECT_FALSE(comm->ReadFirmwareIdentity());
}

TEST_F(SimLinkTest, IdentityOfOlderFirmwareThroughTheMemoryZones) {
    sim::SimOptions o;
    o.oldFirmware = true;
    o.firmwareVersion = "0132";
    StartSim(o);
    UseUsb();
    timer1->SetEnabled(true);
    ASSERT_TRUE(Idle(2e6));
    ASSERT_TRUE(comm->ReadFirmwareIdentity());
    EXPECT_EQ(comm->FirmwareEcuVersNum(), 132);
    EXPECT_EQ(comm->FirmwareEcuVersStr(), "01.00.32");
    EXPECT_EQ(comm->DescProgettoEcu_CODICE(), "INJ468");
    EXPECT_EQ(comm->FirmwareEcu().size(), 44);
    // The link recovers from the refused command.
    ASSERT_TRUE(Idle(5e6));
}

TEST_F(SimLinkTest, VanishingSimulatorGoesFiveZeroSevenAndBackToOne) {
    StartSim();
    UseUsb();
    timer1->SetEnabled(true);
    ASSERT_TRUE(Idle(2e6));
    const size_t logStart = log.lines.size();
    ecu->Vanish(60e6, ev.MicroSeconds());
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::LinkError; }, 60e6));
    EXPECT_EQ(sup->Cell1().text, "COM WDOG");
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::OpenOrSearch; }, 2e6));
    EXPECT_TRUE(comm->WDogPresente());
    ev.RunFor(5e6);
    EXPECT_NE(comm->ComState(), ComState::Idle);  // still gone: open fails, retried
    ASSERT_TRUE(ev.RunUntil(
        [&] { return comm->ComState() == ComState::Idle && !comm->WDogPresente(); }, 70e6));
    ev.RunFor(2000);
    QStringList states;
    for (size_t i = logStart; i < log.lines.size(); ++i)
        if (log.lines[i].kind == "C ") states << log.lines[i].text;
    ASSERT_GE(states.size(), 5);
    const int five = static_cast<int>(states.indexOf("5"));
    ASSERT_GE(five, 0);
    EXPECT_EQ(states.mid(five, 3), (QStringList{"5", "0", "7"}));
    EXPECT_EQ(states.back(), "1");
}

TEST_F(SimLinkTest, CorruptedAnswersAreResentAndBlockReadsComplete) {
    StartSim();
    UseUsb();
    timer1->SetEnabled(true);
    ASSERT_TRUE(Idle(2e6));
    struct Sink : AnswerSink {
        int mem1 = 0;
        qsizetype size = 0;
        void OnMem1(const QString& hex) override {
            ++mem1;
            size = hex.size() / 2;
        }
    } sink;
    comm->SetAnswerSink(&sink);
    ecu->Failures().corrupt = 0.3;
    ecu->ReseedFailures(7);
    int ok = 0;
    for (int i = 0; i < 30; ++i) ok += comm->SendAndWait(BuildRequest(CMD_READ_MEM1)) ? 1 : 0;
    EXPECT_EQ(ok, 30);
    EXPECT_EQ(sink.mem1, 30);
    EXPECT_EQ(sink.size, 85);
    EXPECT_GT(ecu->Counters().requests, 30u);  // some were resent
    comm->SetAnswerSink(nullptr);
}

// --- Real serial transport over a pseudo-terminal ------------------------------------

class EcusimProcess {
  public:
    explicit EcusimProcess(const QStringList& args) {
        proc.setProgram(QStringLiteral(GASCAL_TREE_DIR "/BIN/gascal-ecusim"));
        proc.setArguments(args);
        proc.setProcessChannelMode(QProcess::SeparateChannels);
        proc.start();
        if (proc.waitForStarted(5000) && proc.waitForReadyRead(5000))
            path = QString::fromLocal8Bit(proc.readLine()).trimmed();
    }
    ~EcusimProcess() {
        proc.terminate();
        if (!proc.waitForFinished(3000)) proc.kill();
        proc.waitForFinished(1000);
    }
    QProcess proc;
    QString path;
};

class PtyLinkTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    RecordingLog log;
    ScopedLog logScope{&log};
    ScriptedPrompts prompts;
    ScopedPrompts promptScope{prompts};
    void SetUp() override {
        if (!QFile::exists(QStringLiteral(GASCAL_TREE_DIR "/BIN/gascal-ecusim")))
            GTEST_SKIP() << "gascal-ecusim not built";
        QDir(dir.path()).mkpath("BIN");
        SetInstallDir(dir.path());
        SetServiceView(false);
    }
    void TearDown() override { SetSerialOverride(QString(), 1); }
    static bool RunUntil(const std::function<bool()>& pred, double maxUs) {
        const double end = MicroSeconds() + maxUs;
        while (!pred()) {
            if (MicroSeconds() > end) return false;
            WaitMicroSeconds(2000);
        }
        return true;
    }
};

TEST_F(PtyLinkTest, KeepAlivesAndReadsOverTheSerialTransportWithACorruptedAnswerRecovered) {
    EcusimProcess sim({"--fail", "corrupt=0.25", "--seed", "3"});
    ASSERT_TRUE(sim.path.startsWith("/dev/")) << sim.path.toStdString();
    SetSerialOverride(sim.path, 4);
    ASSERT_TRUE(WriteLatin1Lines(SystemPath("\\BIN\\SetCom.ini"),
                                 {"[UsbCom]", "0", "[Comport]", "4", "[SearchCom]", "255"}));
    SerialPortProvider serial;
    ClsComm comm;
    comm.SetPortProvider(&serial);
    comm.ReadSetCom("\\BIN\\SetCom.ini");
    Timer timer1("Timer1", 1, [&] { comm.SupervisionStep(); });
    timer1.SetEnabled(true);
    ASSERT_TRUE(RunUntil(
        [&] { return comm.ComState() == ComState::Idle && !comm.LastKeepAliveAnswer().isEmpty(); },
        15e6))
        << ComStateNumber(comm.ComState());
    int ok = 0;
    const int reads = 12;
    for (int i = 0; i < reads; ++i) ok += comm.SendAndWait(BuildRequest(CMD_READ_MEM1)) ? 1 : 0;
    EXPECT_EQ(ok, reads);
    // Some request went out more than once: a corrupted answer was resent.
    const QString mem1 = BytesToHex(BuildRequest(CMD_READ_MEM1));
    int sent = 0;
    for (const auto& l : log.lines)
        if (l.kind == "T " && l.text == mem1) ++sent;
    EXPECT_GT(sent, reads);
    timer1.SetEnabled(false);
    comm.CloseComPort();
}

TEST_F(PtyLinkTest, SearchFindsTheSimulatorOnThePseudoTerminalsComNumber) {
    EcusimProcess sim({});
    ASSERT_TRUE(sim.path.startsWith("/dev/")) << sim.path.toStdString();
    SetSerialOverride(sim.path, 1);
    // No USB cable on this machine's list: the search goes on to COM1.
    ChainedPortProvider ports;
    SerialPortProvider serial;
    ports.SetSerial(&serial);
    ClsComm comm;
    comm.SetPortProvider(&ports);
    comm.ReadSetCom("\\BIN\\SetCom.ini");  // missing
    ASSERT_EQ(comm.FlagRicercaCom(), 0);
    Timer timer1("Timer1", 1, [&] { comm.SupervisionStep(); });
    timer1.SetEnabled(true);
    ASSERT_TRUE(RunUntil(
        [&] { return comm.ComState() == ComState::Idle && !comm.LastKeepAliveAnswer().isEmpty(); },
        15e6));
    EXPECT_EQ(comm.ComPortNome(), "COM1");
    comm.StopSearchAndRemember();
    ClsComm next;
    next.ReadSetCom("\\BIN\\SetCom.ini");
    EXPECT_EQ(next.UsbCom(), 0);
    EXPECT_EQ(next.ComPortNome(), "COM1");
    EXPECT_EQ(next.FlagRicercaCom(), SEARCH_OFF);
    timer1.SetEnabled(false);
    comm.CloseComPort();
}

TEST(SerialPortMap, DevicesOrderedByKindThenNumberAndOverrideTakesItsNumber) {
    EXPECT_EQ(OrderSerialDevices({"/dev/ttyUSB1", "/dev/ttyS10", "/dev/ttyACM0", "/dev/ttyS2",
                                  "/dev/pts/3", "/dev/ttyUSB0"}),
              (QStringList{"/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0", "/dev/ttyUSB1",
                           "/dev/ttyACM0", "/dev/pts/3"}));
    SetSerialOverride("/dev/pts/9", 3);
    EXPECT_EQ(SerialDevicePath(3), "/dev/pts/9");
    EXPECT_EQ(SerialDevicePath(0), "");
    EXPECT_EQ(SerialDevicePath(10), "");
    EXPECT_TRUE(SerialPortMap()[2].startsWith("COM3 = /dev/pts/9"));
    SetSerialOverride(QString(), 1);
    EXPECT_NE(SerialDevicePath(3), "/dev/pts/9");
}

TEST(UsbCable, NoCableReportsZeroDevicesCleanly) {
    FtdiPortProvider ftdi;
    uint32_t count = 99;
    ftdi.UsbDeviceCount(count);
    if (count > 0) GTEST_SKIP() << "an FTDI cable is connected to this machine";
    EXPECT_EQ(count, 0u);
    uint32_t status = PORT_OK;
    EXPECT_EQ(ftdi.OpenUsb(0, status), nullptr);
    EXPECT_NE(status, static_cast<uint32_t>(PORT_OK));
}

}  // namespace
}  // namespace gascal::test
