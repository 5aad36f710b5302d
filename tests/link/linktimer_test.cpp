// The link timer sleeping between link work, in virtual time.
//
// The same scenario is run twice: once with a link timer that runs the step on
// every millisecond (as the link always did) and once with one that the link
// wakes and puts to sleep until NextDueUs(). The communication logs must be
// the same line for line, to the microsecond, and so must the requests the
// far end saw: a tick slept through is one that would have done nothing. The
// sleeping timer must run only a small share of its ticks. Then the due time
// of each state, and what wakes the timer.
#include <cmath>
#include <limits>
#include <map>

#include "link/core/LinkSupervisor.h"
#include "link/core/MachinePorts.h"
#include "sim/core/SimPort.h"
#include "tests/link/LinkFixture.h"
#include "tests/link/LinkStateAccess.h"

namespace gascal::test {
namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

std::optional<QByteArray> Silent(const QByteArray&) {
    return std::nullopt;
}

// One link with its supervisor and link timer, on its own virtual clock and
// installation folder.
struct Rig {
    explicit Rig(bool sleeping) : sleeping(sleeping) {
        QDir(dir.path()).mkpath(QStringLiteral("BIN"));
        SetInstallDir(dir.path());
        SetServiceView(false);
        chain.SetSerial(&ports);
        comm = std::make_unique<ClsComm>();
        comm->SetPortProvider(&ports);
        sup = std::make_unique<LinkSupervisor>(*comm);
        timer = std::make_unique<Timer>("Timer1", 1, [this] {
            sup->Timer1Tick();
            if (this->sleeping) sup->SleepUntilDue();
        });
        sup->SetTimerControl([this](bool on) { timer->SetEnabled(on); });
        if (sleeping) sup->SetLinkTimer(timer.get());
    }
    ~Rig() {
        sup.reset();
        timer.reset();
        comm.reset();
    }
    void UseUsb() {
        ASSERT_TRUE(WriteLatin1Lines(SystemPath(QStringLiteral("\\BIN\\SetCom.ini")),
                                     {QStringLiteral("[UsbCom]"), QStringLiteral("1")}));
        comm->ReadSetCom(QStringLiteral("\\BIN\\SetCom.ini"));
    }
    std::shared_ptr<ScriptedLine> AddUsbEcu() {
        auto line = std::make_shared<ScriptedLine>();
        line->AnswerWith(DefaultEcu);
        ports.usb.push_back(line);
        return line;
    }
    // The simulated ECU as USB device 0.
    void UseSim(const sim::SimOptions& o) {
        ecu = std::make_shared<sim::SimEcu>(o);
        simUsb = std::make_unique<sim::SimUsbProvider>(ecu);
        chain.AddUsb(simUsb.get());
        comm->SetPortProvider(&chain);
        UseUsb();
    }
    bool RunUntilIdle(double maxUs) {
        return ev.RunUntil(
            [this] {
                return comm->ComState() == ComState::Idle && !comm->LastKeepAliveAnswer().isEmpty();
            },
            maxUs);
    }

    bool sleeping;
    VirtualEventService ev;
    ScopedEvents scope{ev};
    QTemporaryDir dir;
    ScriptedPrompts prompts;
    ScopedPrompts promptScope{prompts};
    RecordingLog log;
    ScopedLog logScope{&log};
    ScriptedPortProvider ports;
    ChainedPortProvider chain;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> simUsb;
    std::unique_ptr<ClsComm> comm;
    std::unique_ptr<LinkSupervisor> sup;
    std::unique_ptr<Timer> timer;
};

struct Outcome {
    std::vector<LogLine> log;
    std::vector<std::vector<double>> requestTimes;  // per scripted line
    uint64_t ticks = 0, slept = 0, wakeUps = 0;
    QStringList results;  // what the scenario noted (send-and-wait outcomes ...)
};

using Scenario = std::function<void(Rig&, QStringList&)>;

Outcome Run(bool sleeping, const Scenario& scenario) {
    Outcome o;
    Rig rig(sleeping);
    scenario(rig, o.results);
    o.log = rig.log.lines;
    for (const auto& l : rig.ports.usb) o.requestTimes.push_back(l->requestTimes);
    for (const auto& [n, l] : rig.ports.serial) o.requestTimes.push_back(l->requestTimes);
    o.ticks = rig.timer->Ticks();
    o.slept = rig.timer->SleptTicks();
    o.wakeUps = rig.ev.WakeUps();
    return o;
}

// Runs both ways and compares; returns the two outcomes for further checks.
std::pair<Outcome, Outcome> ExpectSameEffects(const Scenario& scenario) {
    Outcome ticking = Run(false, scenario);
    Outcome sleeping = Run(true, scenario);
    EXPECT_EQ(sleeping.results, ticking.results);
    EXPECT_EQ(sleeping.requestTimes, ticking.requestTimes);
    EXPECT_EQ(sleeping.log.size(), ticking.log.size());
    const size_t n = std::min(sleeping.log.size(), ticking.log.size());
    for (size_t i = 0; i < n; ++i) {
        const LogLine& a = ticking.log[i];
        const LogLine& b = sleeping.log[i];
        if (a.us != b.us || a.kind != b.kind || a.text != b.text) {
            ADD_FAILURE() << "log line " << i << " differs: ticking " << a.us << " \""
                          << a.kind.toStdString() << a.text.toStdString() << "\", sleeping " << b.us
                          << " \"" << b.kind.toStdString() << b.text.toStdString() << "\"";
            break;
        }
    }
    EXPECT_EQ(ticking.slept, 0u);
    return {std::move(ticking), std::move(sleeping)};
}

// --- Same effects, far fewer ticks ------------------------------------------------

TEST(LinkTimerSleeping, KeepAlivesAndAProgrammingPauseLogTheSameWithATinyShareOfTicks) {
    const auto [ticking, sleeping] = ExpectSameEffects([](Rig& r, QStringList&) {
        r.UseUsb();
        r.AddUsbEcu();
        r.timer->SetEnabled(true);
        r.ev.RunFor(10e6);
        r.comm->SetEcuState(ECU_PROGRAMMING);  // no keep-alive while programming
        r.ev.RunFor(9e6);
        r.comm->SetEcuState(ECU_SLAVE);  // the silence is long over: at once
        r.ev.RunFor(5e6);
    });
    EXPECT_GE(ticking.log.size(), 20u);
    EXPECT_GT(ticking.ticks, 23000u);
    // A keep-alive costs a handful of ticks, not the 4000 between two.
    EXPECT_LT(sleeping.ticks, 100u);
    EXPECT_EQ(sleeping.ticks + sleeping.slept, ticking.ticks);
    EXPECT_LT(sleeping.wakeUps * 20, ticking.wakeUps);
}

TEST(LinkTimerSleeping, BlockReadsOnASimulatedEcuThatFailsInEveryWayLogTheSame) {
    const auto [ticking, sleeping] = ExpectSameEffects([](Rig& r, QStringList& results) {
        sim::SimOptions o;
        o.key = true;
        o.engineRunning = true;
        o.warm = true;
        r.UseSim(o);
        r.timer->SetEnabled(true);
        ASSERT_TRUE(r.RunUntilIdle(3e6));
        sim::FailureSettings& f = r.ecu->Failures();
        f.corrupt = 0.1;
        f.late = 0.15;   // answers after the idle time: read as they come
        f.split = 0.15;  // answers in two parts
        f.status254 = 0.05;
        f.lose = 0.03;
        f.collision = 0.05;
        f.vanish = 0.02;  // the port fails and is reopened
        f.vanishMs = 500;
        r.ecu->ReseedFailures(11);
        r.comm->SetNumReSend(3);
        for (int i = 0; i < 60; ++i) {
            const uint8_t cmd = i % 5 == 4 ? CMD_READ_MEM3 : CMD_READ_MEM1;
            const bool ok = r.comm->SendAndWait(BuildRequest(cmd));
            results << QStringLiteral("%1:%2@%3").arg(cmd).arg(ok).arg(r.ev.MicroSeconds());
            if (!ok) r.RunUntilIdle(10e6);
        }
        results << QStringLiteral("requests %1").arg(r.ecu->Counters().requests);
    });
    // Resends, collisions, time-outs, a failing port and reopenings all happened.
    std::map<QString, int> kinds;
    int reopened = 0;
    for (const auto& l : ticking.log) {
        ++kinds[l.kind];
        reopened += l.kind == "C " && l.text == "0";
    }
    EXPECT_GT(kinds["T "], 65);
    EXPECT_GT(kinds["R "], 200);
    EXPECT_GT(kinds["D "], 0);
    EXPECT_GT(reopened, 0);
    // While the port fails it is looked at (and logged) every 20 ms,
    // sleeping or not; apart from those the sleeping timer runs a small
    // share of the ticks.
    const uint64_t failing = static_cast<uint64_t>(kinds["FT_GetQueueStatus Recive"]);
    ASSERT_GT(failing, 200u);
    EXPECT_LT((sleeping.ticks - failing) * 10, ticking.ticks - failing);
}

TEST(LinkTimerSleeping, SilentLineResendsThenReopensUntilThePortReturnsLogTheSame) {
    ExpectSameEffects([](Rig& r, QStringList& results) {
        r.UseUsb();
        auto line = r.AddUsbEcu();
        r.timer->SetEnabled(true);
        ASSERT_TRUE(r.RunUntilIdle(2e6));
        r.comm->SetNumReSend(2);
        line->AnswerWith(Silent);
        results << QString::number(r.comm->SendAndWait(BuildRequest(CMD_READ_MEM2)));
        // Pulled while idle: every call fails and it cannot be reopened.
        for (auto op : {ScriptedLine::Op::QueueStatus, ScriptedLine::Op::Read,
                        ScriptedLine::Op::Write, ScriptedLine::Op::Purge})
            line->FailAlways(op, PORT_IO_ERROR);
        line->openStatus = PORT_DEVICE_NOT_FOUND;
        r.ev.RunFor(20e6);
        for (auto op : {ScriptedLine::Op::QueueStatus, ScriptedLine::Op::Read,
                        ScriptedLine::Op::Write, ScriptedLine::Op::Purge})
            line->FailAlways(op, PORT_OK);
        line->openStatus = PORT_OK;
        line->AnswerWith(DefaultEcu);
        results << QString::number(r.RunUntilIdle(30e6));
        r.ev.RunFor(1e6);
    });
}

TEST(LinkTimerSleeping, AnswersTrickleInAfterTheIdleTimeAndLogTheSame) {
    ExpectSameEffects([](Rig& r, QStringList& results) {
        r.UseUsb();
        auto line = r.AddUsbEcu();
        r.timer->SetEnabled(true);
        ASSERT_TRUE(r.RunUntilIdle(2e6));
        const QByteArray answer = BuildAnswer(CMD_READ_MEM1, 0, QByteArray(40, '\x21'));
        for (int k = 0; k < 4; ++k) {
            line->AnswerWith(Silent);
            const double t = r.ev.MicroSeconds() + 3000 + k * 250;  // after the send
            // Parts before and after the first read, the last well after it.
            line->Feed(answer.left(10), t + 50000);
            line->Feed(answer.mid(10, 20), t + 120000 + 333.3 * k);
            line->Feed(answer.mid(30), t + 260000 + 17 * k);
            results << QString::number(r.comm->SendAndWait(BuildRequest(CMD_READ_MEM1)));
            r.ev.RunFor(7000 + 1000 * k);
        }
        line->AnswerWith(DefaultEcu);
        r.ev.RunFor(9e6);
    });
}

TEST(LinkTimerSleeping, SearchOverPortsThenOfflineAndAPortChosenLogTheSame) {
    const auto [ticking, sleeping] = ExpectSameEffects([](Rig& r, QStringList& results) {
        auto silent0 = std::make_shared<ScriptedLine>();
        auto silent1 = std::make_shared<ScriptedLine>();
        silent0->AnswerWith(Silent);
        silent1->AnswerWith(Silent);
        auto ecu = std::make_shared<ScriptedLine>();
        ecu->AnswerWith(DefaultEcu);
        r.ports.usb = {silent0, silent1};
        r.ports.serial[3] = ecu;
        r.comm->ReadSetCom(QStringLiteral("\\BIN\\SetCom.ini"));  // missing: search
        r.comm->SetNumReSend(1);
        QStringList cells;
        r.sup->SetCellObserver([&](int cell, const StatusCell& c) {
            if (cell == 0) cells << c.text;
        });
        r.timer->SetEnabled(true);
        ASSERT_TRUE(r.RunUntilIdle(60e6));
        r.comm->StopSearchAndRemember();
        r.ev.RunFor(5e6);
        r.sup->OfflineChosen();
        r.ev.RunFor(3e6);
        results << QString::number(ComStateNumber(r.comm->ComState()))
                << QString::number(r.comm->IsOpen());
        r.sup->PortItemChosen(3);
        results << QString::number(r.RunUntilIdle(5e6));
        r.ev.RunFor(5e6);
        results << cells << r.ports.openLog;
    });
    EXPECT_LT(sleeping.ticks * 5, ticking.ticks);
}

// --- When the link has work -----------------------------------------------------------

// A scripted USB device whose port cannot notify input (as the USB cable).
class UnnotifyingProvider : public ScriptedPortProvider {
  public:
    class Port : public ScriptedPort {
      public:
        using ScriptedPort::ScriptedPort;
        bool NotifiesInput() const override { return false; }
    };
    std::unique_ptr<gascal::Port> OpenUsb(uint32_t index, uint32_t& status) override {
        status = index < usb.size() ? PORT_OK : PORT_DEVICE_NOT_FOUND;
        if (status != PORT_OK) return nullptr;
        ++usb[index]->opens;
        return std::make_unique<Port>(usb[index], "USB" + std::to_string(index));
    }
};

class LinkDueTest : public LinkTest {
  protected:
    std::shared_ptr<ScriptedLine> line;
    void SetUp() override {
        LinkTest::SetUp();
        UseUsb();
        line = AddUsbEcu();
        ASSERT_TRUE(Connect());
        ev.RunFor(2000);            // "C 1" logged
        timer1->SetEnabled(false);  // the test steps the link itself
    }
    // Sends a request with nobody answering; returns when sending ended.
    double SendUnanswered() {
        line->AnswerWith(Silent);
        EXPECT_TRUE(comm->SendMsg(BuildRequest(CMD_READ_MEM1)));
        const double end = ev.MicroSeconds();
        comm->SupervisionStep();  // logs state 3
        return end;
    }
};

TEST_F(LinkDueTest, EachStateIsLoggedWithTheSystemsNumber) {
    // The numbers of the "C " lines are read by whoever reads the log: the
    // numbers themselves, not the code's constants.
    const struct {
        ComState state;
        const char* logged;
    } states[] = {{ComState::Sending, "2"},   {ComState::AwaitingAnswer, "3"},
                  {ComState::LinkError, "5"}, {ComState::OpenOrSearch, "7"},
                  {ComState::Stopped, "8"},   {ComState::Reopen, "0"},
                  {ComState::Idle, "1"}};
    for (const auto& c : states) {
        LinkStateAccess::Set(*comm, c.state);
        comm->SupervisionStep();
        EXPECT_EQ(log.Of("C ").back().text, QLatin1String(c.logged));
        EXPECT_EQ(comm->LastLoggedState(), QByteArray(c.logged).toInt());
    }
}

TEST_F(LinkDueTest, IdleIsDueWhenTheKeepAliveSilenceEndsAndNeverWhileProgramming) {
    const double answeredAt = log.Of("R ").back().us;
    EXPECT_EQ(comm->NextDueUs(),
              std::nextafter(answeredAt + KEEP_ALIVE_PERIOD_MS * 1000.0, kNever));
    for (uint8_t mode : {ECU_PROGRAMMING, ECU_FLASH_WRITE}) {
        comm->SetEcuState(mode);
        EXPECT_EQ(comm->NextDueUs(), kNever);
    }
    comm->SetEcuState(ECU_SLAVE);
    EXPECT_GT(comm->NextDueUs(), ev.MicroSeconds());
    EXPECT_LT(comm->NextDueUs(), kNever);
}

TEST_F(LinkDueTest, AChangedStateIsDueAtOnceUntilTheStepLoggedIt) {
    struct Case {
        ComState state;
        bool dueAfterLogging;  // has work of its own once logged
    };
    for (const Case c : {Case{ComState::Sending, false}, Case{ComState::Reopen, true},
                         Case{ComState::LinkError, true}, Case{ComState::OpenOrSearch, true},
                         Case{static_cast<ComState>(4), false}}) {
        SCOPED_TRACE(ComStateNumber(c.state));
        LinkStateAccess::Set(*comm, c.state);
        EXPECT_EQ(comm->NextDueUs(), ev.MicroSeconds());
        if (!c.dueAfterLogging) {
            comm->SupervisionStep();  // only logs
            EXPECT_EQ(comm->NextDueUs(), kNever);
        }
        LinkStateAccess::Set(*comm, ComState::Idle);
    }
}

TEST_F(LinkDueTest, AwaitedAnswerIsDueAtTheIdleTimeThenAtItsTimeOut) {
    const double sent = SendUnanswered();
    const double firstRead = sent + comm->Idle_usec();
    const double timeOut = sent + comm->AttesaGlobale_usec() + comm->Idle_usec();
    EXPECT_EQ(comm->NextDueUs(), firstRead);
    ev.RunFor(firstRead - 1 - ev.MicroSeconds());
    EXPECT_EQ(comm->NextDueUs(), firstRead);
    // From the first read on, the port notifies arriving bytes: the time-out.
    ev.RunFor(1);
    comm->SupervisionStep();
    EXPECT_EQ(comm->NextDueUs(), timeOut);
    // Part of an answer changes nothing; a complete one is due at once.
    const QByteArray answer = BuildAnswer(CMD_READ_MEM1, 0, "\x01\x02");
    line->Feed(answer.left(4));
    ev.RunFor(1000);
    comm->SupervisionStep();
    EXPECT_EQ(comm->InBuffer().size(), 4);
    EXPECT_EQ(comm->NextDueUs(), timeOut);
    // A port that fails is looked at again after 20 ms, not on every tick;
    // once it answers the time-out is due again.
    line->FailNext(ScriptedLine::Op::QueueStatus, PORT_IO_ERROR);
    comm->SupervisionStep();
    const double lookAgain = ev.MicroSeconds() + FAILED_PORT_POLL_USEC;
    ASSERT_LT(lookAgain, timeOut);
    EXPECT_EQ(comm->NextDueUs(), lookAgain);
    comm->SupervisionStep();  // too early: nothing looked at
    EXPECT_EQ(comm->NextDueUs(), lookAgain);
    ev.RunFor(lookAgain - ev.MicroSeconds());
    comm->SupervisionStep();
    EXPECT_EQ(comm->NextDueUs(), timeOut);
    // Past the time-out: at once.
    ev.RunFor(timeOut - ev.MicroSeconds());
    EXPECT_EQ(comm->NextDueUs(), ev.MicroSeconds());
}

TEST_F(LinkDueTest, APortThatCannotNotifyIsLookedAtEveryFewMilliseconds) {
    UnnotifyingProvider quiet;
    quiet.usb.push_back(line);
    comm->SetPortProvider(&quiet);
    comm->Reopen();
    timer1->SetEnabled(true);
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::Idle; }, 2e6));
    ev.RunFor(2000);
    timer1->SetEnabled(false);
    const double sent = SendUnanswered();
    ev.RunFor(sent + comm->Idle_usec() - ev.MicroSeconds());
    comm->SupervisionStep();
    EXPECT_EQ(comm->NextDueUs(), ev.MicroSeconds() + INPUT_POLL_USEC);
}

TEST_F(LinkDueTest, StoppedIsDueUntilThePortIsClosedThenNever) {
    comm->Stop();
    comm->SupervisionStep();
    EXPECT_FALSE(comm->IsOpen());
    EXPECT_EQ(comm->NextDueUs(), kNever);
    comm->SetWDogPresente(true);  // the step clears it
    EXPECT_EQ(comm->NextDueUs(), ev.MicroSeconds());
    comm->SupervisionStep();
    EXPECT_EQ(comm->NextDueUs(), kNever);
}

TEST(SimPortInput, TellsWhenTheRequestReachesTheEcuAndWhenItsAnswerArrives) {
    VirtualEventService ev;
    ScopedEvents scope(ev);
    auto ecu = std::make_shared<sim::SimEcu>();
    sim::SimUsbProvider provider(ecu);
    uint32_t status = 0;
    auto port = provider.OpenUsb(0, status);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->NextInputUs(), NO_INPUT_DUE);
    const QByteArray req = BuildRequest(CMD_GET_ECO, "ECO");
    uint32_t written = 0;
    port->Write(reinterpret_cast<const uint8_t*>(req.constData()),
                static_cast<uint32_t>(req.size()), written);
    // The last request byte reaches the ECU after the line time of all of them.
    const double reached = req.size() * LINE_BYTE_USEC;
    EXPECT_NEAR(port->NextInputUs(), reached, 1e-6);
    ev.RunFor(reached);
    // Then the answer is scheduled: its first byte after the processing time.
    const double firstByte = port->NextInputUs();
    EXPECT_GT(firstByte, reached);
    PortQueue q;
    ev.RunFor(firstByte - ev.MicroSeconds() - 1);
    port->QueueStatus(q);
    EXPECT_EQ(q.inQue, 0u);
    ev.RunFor(1);
    port->QueueStatus(q);
    EXPECT_EQ(q.inQue, 1u);
    // A port that failed tells nothing.
    ecu->Vanish(1e6, ev.MicroSeconds());
    EXPECT_TRUE(std::isnan(port->NextInputUs()));
}

// --- What wakes the sleeping link timer --------------------------------------------------

class LinkWakeTest : public LinkTest {
  protected:
    std::unique_ptr<LinkSupervisor> sup;
    std::shared_ptr<ScriptedLine> line;
    void SetUp() override {
        LinkTest::SetUp();
        sup = std::make_unique<LinkSupervisor>(*comm);
        timer1 = std::make_unique<Timer>("Timer1", 1, [this] {
            sup->Timer1Tick();
            sup->SleepUntilDue();
        });
        sup->SetTimerControl([this](bool on) { timer1->SetEnabled(on); });
        sup->SetLinkTimer(timer1.get());
        UseUsb();
        line = AddUsbEcu();
        ASSERT_TRUE(Connect());
        ev.RunFor(2000);
    }
    void TearDown() override {
        sup.reset();
        LinkTest::TearDown();
    }
};

TEST_F(LinkWakeTest, ChangesFromOutsideWakeTheTimerAndItSleepsAgain) {
    const uint64_t before = timer1->Ticks();
    ev.RunFor(1e6);
    EXPECT_EQ(timer1->Ticks(), before);  // idle: nothing due for seconds
    LinkStateAccess::Set(*comm, ComState::LinkError);
    ev.RunFor(1000);
    EXPECT_EQ(log.Of("C ").back().text, "5");
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::Idle; }, 2e6));
    ev.RunFor(2000);
    // Offline: the request is applied on the next tick, the port closed,
    // and then the timer sleeps for good.
    sup->OfflineChosen();
    ev.RunFor(1000);
    EXPECT_EQ(comm->ComState(), ComState::Stopped);
    ev.RunFor(2000);
    EXPECT_FALSE(comm->IsOpen());
    const uint64_t stopped = timer1->Ticks();
    ev.RunFor(10e6);
    EXPECT_EQ(timer1->Ticks(), stopped);
    // A port chosen restarts the link.
    sup->PortItemChosen(0);
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::Idle; }, 2e6));
    EXPECT_GT(timer1->Ticks(), stopped);
}

TEST_F(LinkWakeTest, AnswerBytesWakeItOnlyWhileTheyAreAwaited) {
    // Noise while idle reaches nobody: no watcher, no tick.
    const uint64_t idleTicks = timer1->Ticks();
    line->Feed("\x55\x55");
    ev.RunFor(100000);
    EXPECT_EQ(timer1->Ticks(), idleTicks);
    line->input.clear();
    // An answer that starts after the idle time is read on the tick after
    // each part arrives, and the request completes right after its last part.
    line->AnswerWith(Silent);
    const QByteArray answer = BuildAnswer(CMD_READ_MEM1, 0, "\x07\x08\x09");
    const double t = ev.MicroSeconds();
    line->Feed(answer.left(3), t + 150000.5);
    line->Feed(answer.mid(3), t + 180000.5);
    EXPECT_TRUE(comm->SendAndWait(BuildRequest(CMD_READ_MEM1)));
    const auto reads = log.Of("R ");
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[reads.size() - 2].us, t + 151000);
    EXPECT_EQ(reads.back().us, t + 181000);
    EXPECT_EQ(ev.MicroSeconds(), t + 181000);
    // Between the first read and the parts the timer slept.
    EXPECT_LT(timer1->Ticks() - idleTicks, 12u);
}

TEST_F(LinkWakeTest, SendAndWaitWithTheTimerStoppedDrivesTheExchangeItself) {
    timer1->SetEnabled(false);
    EXPECT_TRUE(comm->SendAndWait(BuildRequest(CMD_READ_MEM2)));
    EXPECT_EQ(comm->ComState(), ComState::Idle);
    // With the timer running again the next request is read at the first tick
    // after the idle time and send-and-wait returns at that tick.
    timer1->SetEnabled(true);
    const QByteArray req = BuildRequest(CMD_READ_MEM2);
    ASSERT_TRUE(comm->SendAndWait(req));
    const double sentAt = log.Of("T ").back().us;
    EXPECT_GE(log.Of("R ").back().us, sentAt + comm->Idle_usec());
    EXPECT_LT(log.Of("R ").back().us, sentAt + comm->Idle_usec() + 1000);
    EXPECT_EQ(ev.MicroSeconds(), log.Of("R ").back().us);
}

TEST_F(LinkWakeTest, DetachingLeavesATimerThatTicksAgain) {
    sup.reset();  // detaches the timer from the link
    EXPECT_EQ(comm->LinkTimer(), nullptr);
    timer1 = std::make_unique<Timer>("Timer1", 1, [this] { comm->SupervisionStep(); });
    timer1->SetEnabled(true);
    ev.RunFor(50000);
    EXPECT_EQ(timer1->Ticks(), 50u);
}

}  // namespace
}  // namespace gascal::test
