// Connection supervision in virtual time: the port search over scripted USB
// devices and serial ports, keep-alives, recovery, offline and the status
// texts and menu ticks that go with them.
#include "link/core/LinkSupervisor.h"
#include "tests/link/LinkFixture.h"
#include "tests/link/LinkStateAccess.h"

namespace gascal::test {
namespace {

std::optional<QByteArray> Silent(const QByteArray&) {
    return std::nullopt;
}

class SupervisionTest : public LinkTest {
  protected:
    std::unique_ptr<LinkSupervisor> sup;
    // The link is idle on an open port whose keep-alive was answered.
    bool RunUntilKeepAliveAnswered() {
        return ev.RunUntil(
            [&] {
                return comm->ComState() == ComState::Idle && !comm->LastKeepAliveAnswer().isEmpty();
            },
            2e6);
    }
    void SetUp() override {
        LinkTest::SetUp();
        sup = std::make_unique<LinkSupervisor>(*comm);
        sup->SetTimerControl([this](bool on) { timer1->SetEnabled(on); });
        timer1 = std::make_unique<Timer>("Timer1", 1, [this] { sup->Timer1Tick(); });
    }
    void TearDown() override {
        timer1.reset();
        sup.reset();
        LinkTest::TearDown();
    }
    std::shared_ptr<ScriptedLine> SilentLine() {
        auto l = std::make_shared<ScriptedLine>();
        l->AnswerWith(Silent);
        return l;
    }
    QStringList SetComLines() {
        QStringList lines;
        ReadLatin1Lines(SystemPath("\\BIN\\SetCom.ini"), lines);
        return lines;
    }
    static QString ValueOf(const QStringList& lines, const QString& key) {
        const int i = static_cast<int>(lines.indexOf(key));
        return i >= 0 && i + 1 < lines.size() ? lines[i + 1] : QStringLiteral("<missing>");
    }
};

TEST_F(SupervisionTest, SearchWithNothingAnsweringGoesUsbComOneToNineThenUsb) {
    comm->ReadSetCom("\\BIN\\SetCom.ini");  // missing: search from the cable
    ASSERT_EQ(comm->FlagRicercaCom(), 0);
    QStringList seen;
    std::vector<int> ticked;
    sup->SetCellObserver([&](int cell, const StatusCell& c) {
        if (cell != 0) return;
        seen << c.text;
        ticked.push_back(sup->PortaDiComSelected());
    });
    timer1->SetEnabled(true);
    ev.RunUntil([&] { return seen.size() >= 11; }, 60e6);
    QStringList expected;
    expected << "SEARCH COMUNICATION PORT: USB";
    for (int n = 1; n <= 9; ++n)
        expected << QStringLiteral("SEARCH COMUNICATION PORT: COM %1").arg(n);
    expected << "SEARCH COMUNICATION PORT: USB";
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(ticked, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
    EXPECT_FALSE(FileExists(SystemPath("\\BIN\\SetCom.ini")));  // nothing answered
}

TEST_F(SupervisionTest, TheStatusNeverReadsOkBeforeAnEcuAnswered) {
    // No port setting and a cable without an ECU: the search sends its
    // keep-alives there and waits for answers that never come.
    ports.usb = {SilentLine()};
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    QStringList cell1;
    sup->SetCellObserver([&](int cell, const StatusCell& c) {
        if (cell == 1) cell1 << c.text;
    });
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return ports.openLog.size() >= 12; }, 300e6));
    EXPECT_GE(CountCommand(*ports.usb[0], CMD_GET_ECO), 11);
    EXPECT_FALSE(comm->EcuAnswered());
    for (const QString& t : cell1) EXPECT_FALSE(t.startsWith("COM OK")) << t.toStdString();
    EXPECT_TRUE(cell1.contains("COM INI"));
    // A cable with an ECU plugged in: OK once it answered.
    ports.usb[0]->AnswerWith(DefaultEcu);
    ASSERT_TRUE(ev.RunUntil(
        [&] {
            return comm->ComState() == ComState::Idle && !comm->LastKeepAliveAnswer().isEmpty();
        },
        300e6));
    EXPECT_TRUE(comm->EcuAnswered());
    EXPECT_TRUE(sup->Cell1().text.startsWith("COM OK"));
}

TEST_F(SupervisionTest, TwoUsbDevicesAreTriedBeforeComOne) {
    ports.usb = {SilentLine(), SilentLine()};
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return ports.openLog.size() >= 4; }, 300e6));
    EXPECT_EQ(ports.openLog.mid(0, 4), (QStringList{"USB0", "USB1", "COM1", "COM2"}));
    // Each device got its keep-alive sent eleven times.
    EXPECT_EQ(CountCommand(*ports.usb[0], CMD_GET_ECO), 11);
    EXPECT_EQ(CountCommand(*ports.usb[1], CMD_GET_ECO), 11);
}

TEST_F(SupervisionTest, EcuFoundOnAComStopsTheSearchAndIsRemembered) {
    auto ecu = std::make_shared<ScriptedLine>();
    ecu->AnswerWith(DefaultEcu);
    ports.serial[3] = ecu;
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return !comm->LastKeepAliveAnswer().isEmpty(); }, 30e6));
    EXPECT_EQ(ports.openLog, (QStringList{"USB0", "COM1", "COM2", "COM3"}));
    // The first answer wrote the missing settings file ...
    EXPECT_FALSE(comm->MemoDatiCom());
    EXPECT_EQ(ValueOf(SetComLines(), "[Comport]"), "3");
    // ... and the connection check of the window stops the search.
    comm->StopSearchAndRemember();
    const QStringList lines = SetComLines();
    EXPECT_EQ(ValueOf(lines, "[UsbCom]"), "0");
    EXPECT_EQ(ValueOf(lines, "[Comport]"), "3");
    EXPECT_EQ(ValueOf(lines, "[SearchCom]"), "255");
    ev.RunFor(100000);
    EXPECT_EQ(sup->PortaDiComSelected(), 3);
    // The next start opens COM3 straight away.
    ClsComm next;
    next.ReadSetCom("\\BIN\\SetCom.ini");
    EXPECT_EQ(next.FlagRicercaCom(), SEARCH_OFF);
    EXPECT_EQ(next.ComPortNome(), "COM3");
}

TEST_F(SupervisionTest, KeepAliveEveryFourSecondsAndNoneWhileProgramming) {
    UseUsb();
    auto line = AddUsbEcu();
    timer1->SetEnabled(true);
    ev.RunFor(20.5e6);
    ASSERT_EQ(line->requests.size(), line->requestTimes.size());
    ASSERT_GE(line->requests.size(), 5u);
    for (size_t i = 1; i < line->requests.size(); ++i) {
        EXPECT_EQ(FrameCommand(line->requests[i]), CMD_GET_ECO);
        const double gap = line->requestTimes[i] - line->requestTimes[i - 1];
        EXPECT_GT(gap, 4.0e6);
        EXPECT_LT(gap, 4.2e6);
    }
    for (uint8_t mode : {ECU_PROGRAMMING, ECU_FLASH_WRITE}) {
        comm->SetEcuState(mode);
        const size_t before = line->requests.size();
        ev.RunFor(20e6);
        EXPECT_EQ(line->requests.size(), before);
        EXPECT_EQ(comm->ComState(), ComState::Idle);
    }
    // Back in slave mode the silence is long over: a keep-alive at once.
    comm->SetEcuState(ECU_SLAVE);
    const size_t before = line->requests.size();
    ev.RunFor(2e6);
    EXPECT_EQ(line->requests.size(), before + 1);
}

TEST_F(SupervisionTest, PortVanishingGoesThroughFiveZeroSevenAndBackToOne) {
    UseUsb();
    auto line = AddUsbEcu();
    timer1->SetEnabled(true);
    ASSERT_TRUE(RunUntilKeepAliveAnswered());
    // The cable is pulled: every call fails and it cannot be reopened.
    for (auto op : {ScriptedLine::Op::QueueStatus, ScriptedLine::Op::Read, ScriptedLine::Op::Write,
                    ScriptedLine::Op::Purge})
        line->FailAlways(op, PORT_IO_ERROR);
    line->openStatus = PORT_DEVICE_NOT_FOUND;
    const size_t logStart = log.lines.size();
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::LinkError; }, 60e6));
    EXPECT_TRUE(comm->WDogPresente());
    ev.RunFor(3e6);
    EXPECT_NE(comm->ComState(), ComState::Idle);
    // It comes back.
    for (auto op : {ScriptedLine::Op::QueueStatus, ScriptedLine::Op::Read, ScriptedLine::Op::Write,
                    ScriptedLine::Op::Purge})
        line->FailAlways(op, PORT_OK);
    line->openStatus = PORT_OK;
    const int answersBefore = CountCommand(*line, CMD_GET_ECO);
    ASSERT_TRUE(ev.RunUntil(
        [&] {
            return comm->ComState() == ComState::Idle &&
                   CountCommand(*line, CMD_GET_ECO) > answersBefore;
        },
        5e6));
    ASSERT_TRUE(ev.RunUntil([&] { return !comm->WDogPresente(); }, 1e6));
    ev.RunFor(2000);
    QStringList states;
    for (size_t i = logStart; i < log.lines.size(); ++i)
        if (log.lines[i].kind == "C " && (states.isEmpty() || states.back() != log.lines[i].text))
            states << log.lines[i].text;
    // 1 -> 3 (keep-alive unanswered) -> 5 -> 0 -> 7 -> 0 -> 7 ... -> 3 -> 1.
    if (!states.isEmpty() && states.front() == "1") states.removeFirst();
    ASSERT_GE(states.size(), 6);
    EXPECT_EQ(states.mid(0, 4), (QStringList{"3", "5", "0", "7"}));
    EXPECT_EQ(states.back(), "1");
    EXPECT_TRUE(states.count("7") >= 2);
}

TEST_F(SupervisionTest, OfflineShowsComStopAndChoosingUsbReconnects) {
    UseUsb();
    auto line = AddUsbEcu();
    timer1->SetEnabled(true);
    ASSERT_TRUE(RunUntilKeepAliveAnswered());
    comm->SetNumWDogSend(3);
    sup->OfflineChosen();
    EXPECT_TRUE(sup->OfflineTicked());
    EXPECT_EQ(sup->PortaDiComSelected(), PORT_ITEMS);  // nothing ticked
    ev.RunFor(2000);
    EXPECT_EQ(comm->ComState(), ComState::Stopped);
    EXPECT_EQ(sup->Cell1().text, "COM STOP");
    EXPECT_EQ(sup->Cell1().background, COLOR_RED);
    EXPECT_EQ(sup->Cell1().foreground, COLOR_WHITE);
    EXPECT_TRUE(sup->OfflineMode());
    EXPECT_EQ(comm->NumWDogSend(), 0);
    EXPECT_FALSE(comm->IsOpen());
    const size_t sent = line->requests.size();
    ev.RunFor(30e6);
    EXPECT_EQ(line->requests.size(), sent);  // stays stopped

    sup->PortItemChosen(0);
    EXPECT_FALSE(sup->OfflineTicked());
    EXPECT_FALSE(sup->OfflineMode());
    EXPECT_EQ(sup->PortaDiComSelected(), 0);
    EXPECT_TRUE(sup->MenuEnabled());
    const QStringList lines = SetComLines();
    EXPECT_EQ(ValueOf(lines, "[UsbCom]"), "1");
    EXPECT_EQ(ValueOf(lines, "[SearchCom]"), "255");
    ASSERT_TRUE(ev.RunUntil(
        [&] { return line->requests.size() > sent && comm->ComState() == ComState::Idle; }, 3e6));
    EXPECT_EQ(sup->Cell1().text, "COM OK   ");
}

TEST_F(SupervisionTest, ConfiguredPortIsTheTickedItemFromTheStart) {
    // A fitter whose settings name COM3 sees COM3 ticked in the Device menu,
    // not the cable, and the tick stays there while the link runs on it.
    WriteSettings({"[UsbCom]", "0", "[Comport]", "3"});
    comm->ReadSetCom("\\BIN\\SetCom.ini");
    auto line = std::make_shared<ScriptedLine>();
    line->AnswerWith(DefaultEcu);
    ports.serial[3] = line;
    sup = std::make_unique<LinkSupervisor>(*comm);
    EXPECT_EQ(sup->PortaDiComSelected(), 3);
    EXPECT_FALSE(sup->PortTicked(0));
    timer1->SetEnabled(true);
    ASSERT_TRUE(RunUntilKeepAliveAnswered());
    EXPECT_EQ(sup->PortaDiComSelected(), 3);

    // The cable configured: its item. A port number with no item: none.
    UseUsb();
    EXPECT_EQ(LinkSupervisor(*comm).PortaDiComSelected(), 0);
    comm->SetUsbCom(0);
    comm->SetComPort(12);
    EXPECT_EQ(LinkSupervisor(*comm).PortaDiComSelected(), PORT_ITEMS);
    // A search starts at the cable, whatever the file's port.
    comm->SetFlagRicercaCom(0);
    EXPECT_EQ(LinkSupervisor(*comm).PortaDiComSelected(), 0);
}

TEST_F(SupervisionTest, SearchComChosenRestartsFromTheCable) {
    UseUsb();
    auto line = AddUsbEcu();
    timer1->SetEnabled(true);
    ASSERT_TRUE(RunUntilKeepAliveAnswered());
    comm->SetFirmwareEcu("0140");
    sup->OfflineChosen();
    ev.RunFor(2000);
    sup->SearchComChosen();
    EXPECT_EQ(comm->FirmwareEcu(), "");
    EXPECT_EQ(comm->FlagRicercaCom(), 0);
    EXPECT_EQ(comm->ComState(), ComState::Reopen);
    EXPECT_FALSE(sup->OfflineTicked());
    EXPECT_EQ(sup->PortaDiComSelected(), 0);
    const int before = line->opens;
    ASSERT_TRUE(ev.RunUntil(
        [&] { return line->opens > before && comm->ComState() == ComState::Idle; }, 3e6));
    EXPECT_EQ(sup->Cell0().text, "SEARCH COMUNICATION PORT: USB");
}

// While a search runs one port item is always ticked: a cursor moved past
// COM9 (an ECU found there but refused) stands for the cable, which the
// search tries next.
TEST_F(SupervisionTest, ASearchCursorPastComNineTicksTheCable) {
    comm->SetFlagRicercaCom(9);
    sup->AggiornaStatoCom();
    EXPECT_EQ(sup->PortaDiComSelected(), 9);
    comm->SetFlagRicercaCom(10);
    sup->AggiornaStatoCom();
    EXPECT_EQ(sup->PortaDiComSelected(), 0);
    sup->TickCurrentPort();
    EXPECT_EQ(sup->PortaDiComSelected(), 0);
}

TEST_F(SupervisionTest, StatusTextsByStateAndTheDotsAdvanceEachTick) {
    struct Case {
        ComState state;
        const char* text;
        std::optional<uint32_t> bg, fg;
    };
    const Case cases[] = {{ComState::Reopen, "COM CLOSED", COLOR_RED, COLOR_WHITE},
                          {ComState::LinkError, "COM WDOG", COLOR_RED, COLOR_WHITE},
                          {ComState::OpenOrSearch, "COM INI", COLOR_GREEN, COLOR_BLACK},
                          {ComState::Stopped, "COM STOP", COLOR_RED, COLOR_WHITE},
                          {static_cast<ComState>(4), "Text....", COLOR_RED, COLOR_WHITE}};
    for (const auto& c : cases) {
        LinkStateAccess::Set(*comm, c.state);
        sup->AggiornaStatoCom();
        EXPECT_EQ(sup->Cell1().text.toStdString(), c.text);
        EXPECT_EQ(sup->Cell1().background, c.bg);
        EXPECT_EQ(sup->Cell1().foreground, c.fg);
    }
    // Before an ECU answered, idle, sending and waiting read as the opening.
    for (const ComState state : {ComState::Idle, ComState::Sending, ComState::AwaitingAnswer}) {
        comm->Stop();
        sup->AggiornaStatoCom();
        LinkStateAccess::Set(*comm, state);
        sup->AggiornaStatoCom();
        EXPECT_EQ(sup->Cell1().text, "COM INI") << ComStateNumber(state);
        EXPECT_EQ(sup->Cell1().background, COLOR_GREEN);
    }

    // An ECU answers, then falls silent.
    UseUsb();
    auto line = AddUsbEcu();
    LinkStateAccess::Set(*comm, ComState::OpenOrSearch);
    timer1->SetEnabled(true);
    ASSERT_TRUE(RunUntilKeepAliveAnswered());
    timer1->SetEnabled(false);
    ASSERT_TRUE(comm->EcuAnswered());
    // Idle and sending keep the colours they find.
    comm->Stop();
    sup->AggiornaStatoCom();
    LinkStateAccess::Set(*comm, ComState::Idle);
    sup->AggiornaStatoCom();
    EXPECT_EQ(sup->Cell1().text, "COM OK   ");
    EXPECT_EQ(sup->Cell1().background, COLOR_RED);
    LinkStateAccess::Set(*comm, ComState::Sending);
    sup->AggiornaStatoCom();
    EXPECT_EQ(sup->Cell1().text, "COM OK...");

    // Answer awaited: one step per link-timer tick.
    line->AnswerWith(Silent);
    LinkStateAccess::Set(*comm, ComState::Idle);
    comm->SendMsg(BuildRequest(CMD_GET_ECO));
    timer1->SetEnabled(true);
    ev.RunFor(1000);
    ASSERT_EQ(comm->ComState(), ComState::AwaitingAnswer);
    QStringList texts;
    for (int i = 0; i < 5; ++i) {
        ev.RunFor(1000);
        texts << sup->Cell1().text;
    }
    EXPECT_EQ(texts,
              (QStringList{"COM OK.. ", "COM OK...", "COM OK.  ", "COM OK.. ", "COM OK..."}));
    EXPECT_EQ(sup->Cell1().background, COLOR_GREEN);
}

TEST_F(SupervisionTest, UsbCountFailureLeavesIndexZero) {
    ports.usb = {SilentLine(), SilentLine()};
    ports.countStatus = PORT_IO_ERROR;
    comm->SetUsbDeviceIndex(1);
    comm->SetFlagRicercaCom(SEARCH_OFF);
    comm->SetUsbCom(1);
    comm->SupervisionStep();
    EXPECT_EQ(comm->UsbDeviceIndex(), 0u);
    EXPECT_EQ(comm->UsbDeviceCount(), 0u);
}

TEST(FrmInitModel, MessagesFollowOfflineSearchAndFirstReading) {
    FrmInitModel w;
    w.Load({"CONNECTING...", "WAIT"});
    w.ElaboraMsgCom(false, true, false);
    EXPECT_TRUE(w.Visible());
    EXPECT_TRUE(w.TimerRunning());
    EXPECT_EQ(w.TipoMessaggio(), 3);
    EXPECT_EQ(w.Label(), "SEARCH COM");
    w.ElaboraMsgCom(false, false, true);
    EXPECT_EQ(w.TipoMessaggio(), 0);
    EXPECT_EQ(w.Label(), "CONNECTING...");
    w.ElaboraMsgCom(false, false, false);
    EXPECT_FALSE(w.Visible());
    EXPECT_EQ(w.Label(), "");
    w.ElaboraMsgCom(false, true, false);
    w.ElaboraMsgCom(true, true, true);  // offline wins
    EXPECT_FALSE(w.Visible());
    w.SetTipoMessaggio(2);  // ignored
    EXPECT_EQ(w.TipoMessaggio(), 3);
    w.SetTipoMessaggio(1);
    EXPECT_EQ(w.Label(), "WAIT");
}

}  // namespace
}  // namespace gascal::test
