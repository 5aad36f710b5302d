// Message exchange in virtual time against scripted lines: sending with
// pauses, gathering split answers, the answer checks with their resends and
// messages, the answer time-out, collisions and failing port calls.
#include "tests/link/LinkFixture.h"

namespace gascal::test {
namespace {

std::optional<QByteArray> Silent(const QByteArray&) {
    return std::nullopt;
}

class ExchangeTest : public LinkTest {
  protected:
    std::shared_ptr<ScriptedLine> line;
    void SetUp() override {
        LinkTest::SetUp();
        UseUsb();
        line = AddUsbEcu();
        ASSERT_TRUE(Connect());
    }
    // Every request of command `cmd` gets this answer from now on.
    void AnswerCommand(uint8_t cmd, std::function<QByteArray()> answer) {
        line->AnswerWith([cmd, answer](const QByteArray& req) -> std::optional<QByteArray> {
            if (FrameCommand(req) == cmd) return answer();
            return DefaultEcu(req);
        });
    }
};

TEST_F(ExchangeTest, KeepAliveFrameAndLogLines) {
    ASSERT_FALSE(line->requests.empty());
    // 41 02 06 09 'E' 'C' 'O' and the exclusive-or of those seven bytes.
    const QByteArray eco = QByteArray::fromHex("4102060945434F") + QByteArray(1, '\x05');
    EXPECT_EQ(line->requests.front(), eco);
    EXPECT_EQ(comm->LastKeepAliveAnswer(), BuildAnswer(CMD_GET_ECO, 0, "ECO"));
    ASSERT_GE(log.Count("T "), 1);
    EXPECT_EQ(log.Of("T ").front().text, BytesToHex(eco));
    // The first read waits for the idle time after the end of sending.
    const double sentAt = log.Of("T ").front().us;
    ASSERT_GE(log.Count("R "), 1);
    EXPECT_GE(log.Of("R ").front().us, sentAt + comm->Idle_usec());
    // State changes are logged as each tick finds them: 7 at the first
    // tick, 3 while the keep-alive is out, then 1.
    const auto states = log.Of("C ");
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[0].text.toStdString(), "7");
    EXPECT_EQ(states[1].text.toStdString(), "3");
    ev.RunFor(2000);
    EXPECT_EQ(log.Of("C ").back().text.toStdString(), "1");
}

TEST_F(ExchangeTest, BytesGoOutOneByOneWithThePauseAfterEach) {
    const size_t before = line->written.size();
    const QByteArray req = BuildRequest(CMD_READ_MEM1);
    double t0 = ev.MicroSeconds();
    ASSERT_TRUE(comm->SendMsg(req));
    const double t1 = ev.MicroSeconds();
    EXPECT_EQ(line->written.mid(static_cast<qsizetype>(before)), req);
    // Five bytes, each followed by the per-byte pause.
    EXPECT_DOUBLE_EQ(t1 - t0, req.size() * comm->AttesaByteTx_usec());
    EXPECT_EQ(comm->ComState(), ComState::AwaitingAnswer);
    EXPECT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::Idle; }, 1e6));
}

TEST_F(ExchangeTest, AnswerSplitAtEveryByteBoundaryCompletesOnce) {
    const QByteArray answer =
        BuildAnswer(CMD_READ_MEM1, 0, QByteArray::fromHex("0102030405060708"));
    struct Sink : AnswerSink {
        QStringList got;
        void OnMem1(const QString& hex) override { got << hex; }
    } sink;
    comm->SetAnswerSink(&sink);
    for (int split = 1; split < answer.size(); ++split) {
        SCOPED_TRACE(split);
        line->AnswerWith(Silent);
        const size_t sent = line->requests.size();
        ASSERT_TRUE(comm->SendMsg(BuildRequest(CMD_READ_MEM1)));
        // First part after the idle time, the rest 30 ms later.
        const double now = ev.MicroSeconds();
        line->Feed(answer.left(split), now + comm->Idle_usec() + 5000);
        line->Feed(answer.mid(split), now + comm->Idle_usec() + 35000);
        ev.RunFor(comm->Idle_usec() + 20000);
        EXPECT_EQ(comm->ComState(), ComState::AwaitingAnswer);
        ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::Idle; }, 1e6));
        EXPECT_EQ(line->requests.size(), sent + 1);  // never resent
        EXPECT_EQ(comm->InBuffer().size(), 0);
    }
    EXPECT_EQ(sink.got.size(), answer.size() - 1);
    EXPECT_EQ(sink.got.front(), "0102030405060708");
    comm->SetAnswerSink(nullptr);
}

TEST_F(ExchangeTest, SecondByteNotOneNeverCompletesAndTimesOut) {
    QByteArray bad = BuildAnswer(CMD_READ_MEM1, 0, "AB");
    bad[1] = 0x02;
    bad[bad.size() - 1] = static_cast<char>(Checksum(bad.left(bad.size() - 1)));
    AnswerCommand(CMD_READ_MEM1, [bad] { return bad; });
    ASSERT_TRUE(comm->SendMsg(BuildRequest(CMD_READ_MEM1)));
    const double start = ev.MicroSeconds();
    ev.RunFor(4.0e6);
    EXPECT_EQ(CountCommand(*line, CMD_READ_MEM1), 1);
    EXPECT_FALSE(comm->CtrlEndRecive());
    EXPECT_EQ(comm->ComState(), ComState::AwaitingAnswer);
    ASSERT_TRUE(ev.RunUntil([&] { return CountCommand(*line, CMD_READ_MEM1) == 2; }, 1e6));
    // The resend comes with the answer time-out: global wait + idle time.
    EXPECT_NEAR(ev.MicroSeconds() - start, 4.1e6, 5000);
}

TEST_F(ExchangeTest, NoAnswerIsSentElevenTimesThenLinkError) {
    line->AnswerWith(Silent);
    ASSERT_TRUE(comm->SendMsg(BuildRequest(CMD_READ_MEM1)));
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::LinkError; }, 60e6));
    EXPECT_EQ(CountCommand(*line, CMD_READ_MEM1), comm->NumReSend() + 1);
    ASSERT_EQ(line->requestTimes.size(), 1 + 11u);  // the keep-alive, then eleven
    for (size_t i = 2; i < line->requestTimes.size(); ++i)
        EXPECT_NEAR(line->requestTimes[i] - line->requestTimes[i - 1], 4.1e6 + 2500, 2500);
    EXPECT_TRUE(comm->WDogPresente());
    EXPECT_EQ(comm->NumWDogSend(), 1);
    EXPECT_TRUE(prompts.shown.empty());  // service view off
    // Then the link timer reopens: 5 -> 0 -> 7 -> 1.
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::OpenOrSearch; }, 2e6));
    EXPECT_EQ(line->closes, 1);
}

TEST_F(ExchangeTest, WatchdogMessageOnlyInServiceViewAndEobdEntryQueued) {
    SetServiceView(true);
    comm->SetNumReSend(1);
    line->AnswerWith(Silent);
    comm->Queue().Push("X");
    ASSERT_TRUE(comm->SendMsg(BuildRequest(CMD_EOBD, "\x01")));
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::LinkError; }, 20e6));
    EXPECT_EQ(CountCommand(*line, CMD_EOBD), 2);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].text, MSG_WDOG_ERR);
    EXPECT_EQ(prompts.shown[0].icon, BoxIcon::Critical);
    EXPECT_EQ(comm->AnswerQueuePop(), "X");
    EXPECT_EQ(comm->AnswerQueuePop(), QByteArray::fromHex("00FFFF"));
}

TEST_F(ExchangeTest, NumReSendZeroMeansOneSendOnly) {
    comm->SetNumReSend(0);
    AnswerCommand(CMD_READ_MEM1, [] { return BuildAnswer(CMD_READ_MEM1, 254); });
    SetServiceView(true);
    EXPECT_FALSE(comm->SendAndWait(BuildRequest(CMD_READ_MEM1)));
    EXPECT_EQ(CountCommand(*line, CMD_READ_MEM1), 1);
    EXPECT_EQ(comm->ComState(), ComState::Reopen);  // send and wait turns 5 into 0
    ASSERT_EQ(prompts.Texts(), QStringList{MSG_EXE_ERR});
}

struct StatusCase {
    uint8_t status;
    const char* message;
};

class StatusTest : public ExchangeTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTest, BadStatusIsResentUpToTheLimitThenMessageInServiceView) {
    const StatusCase c = GetParam();
    AnswerCommand(CMD_READ_MEM3, [c] { return BuildAnswer(CMD_READ_MEM3, c.status, "\x11"); });
    for (bool service : {false, true}) {
        SCOPED_TRACE(service);
        SetServiceView(service);
        prompts.shown.clear();
        const int before = CountCommand(*line, CMD_READ_MEM3);
        EXPECT_FALSE(comm->SendAndWait(BuildRequest(CMD_READ_MEM3)));
        EXPECT_EQ(CountCommand(*line, CMD_READ_MEM3) - before, 11);
        EXPECT_EQ(comm->ComState(), ComState::Reopen);
        if (service) {
            EXPECT_EQ(prompts.Texts(), QStringList{QString::fromLatin1(c.message)});
        } else {
            EXPECT_TRUE(prompts.shown.empty());
        }
        ASSERT_TRUE(Connect(3e6));
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, StatusTest,
                         ::testing::Values(StatusCase{255, MSG_TX_CHECKSUM},
                                           StatusCase{254, MSG_EXE_ERR},
                                           StatusCase{7, MSG_NOT_DEFINE}));

TEST_F(ExchangeTest, BadChecksumAndWrongCommandAreResentAndRecover) {
    int calls = 0;
    line->AnswerWith([&](const QByteArray& req) -> std::optional<QByteArray> {
        if (FrameCommand(req) != CMD_READ_MEM2) return DefaultEcu(req);
        ++calls;
        QByteArray a = BuildAnswer(CMD_READ_MEM2, 0, "\x05\x06");
        if (calls == 1) a[5] = static_cast<char>(a[5] ^ 0x40);          // corrupted byte
        if (calls == 2) a = BuildAnswer(CMD_READ_MEM3, 0, "\x05\x06");  // echo of another command
        return a;
    });
    EXPECT_TRUE(comm->SendAndWait(BuildRequest(CMD_READ_MEM2)));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(comm->NumReSendState(), 0);
    EXPECT_EQ(comm->ComState(), ComState::Idle);

    SetServiceView(true);
    AnswerCommand(CMD_READ_MEM2, [] {
        QByteArray a = BuildAnswer(CMD_READ_MEM2, 0, "\x01");
        a[a.size() - 1] = static_cast<char>(a[a.size() - 1] ^ 1);
        return a;
    });
    EXPECT_FALSE(comm->SendAndWait(BuildRequest(CMD_READ_MEM2)));
    EXPECT_EQ(prompts.Texts(), QStringList{MSG_RX_CHECKSUM});
    prompts.shown.clear();
    ASSERT_TRUE(Connect(3e6));
    AnswerCommand(CMD_READ_MEM2, [] { return BuildAnswer(CMD_READ_MEM5, 0, "\x01"); });
    EXPECT_FALSE(comm->SendAndWait(BuildRequest(CMD_READ_MEM2)));
    EXPECT_EQ(prompts.Texts(), QStringList{MSG_ECO_COMMAND});
}

TEST_F(ExchangeTest, TooShortAnswerCountsAsGarbled) {
    // LEN 0 makes a three-byte "complete" frame: it must be resent, never
    // decoded or read past its end.
    int calls = 0;
    AnswerCommand(CMD_READ_MEM1, [&calls] {
        return ++calls == 1 ? QByteArray::fromHex("420100") : BuildAnswer(CMD_READ_MEM1, 0, "\x01");
    });
    EXPECT_TRUE(comm->SendAndWait(BuildRequest(CMD_READ_MEM1)));
    EXPECT_EQ(calls, 2);
}

TEST_F(ExchangeTest, SendRefusedAfterHalfASecondWhileAnswerAwaited) {
    line->AnswerWith(Silent);
    ASSERT_TRUE(comm->SendMsg(BuildRequest(CMD_READ_MEM1)));
    const QByteArray written = line->written;
    const double start = ev.MicroSeconds();
    EXPECT_FALSE(comm->SendMsg(BuildRequest(CMD_READ_MEM2)));
    EXPECT_NEAR(ev.MicroSeconds() - start, 500000, 2000);
    EXPECT_EQ(line->written, written);  // nothing touched the port
    EXPECT_EQ(comm->OutBuffer(), BuildRequest(CMD_READ_MEM1));
}

TEST_F(ExchangeTest, CollisionAbortsTheSendAndTheTimeOutResends) {
    int calls = 0;
    line->AnswerWith(Silent);
    // Noise arrives while the second byte goes out.
    line->Feed("\x55", ev.MicroSeconds() + 700);
    const QByteArray req = BuildRequest(CMD_READ_MEM1);
    const size_t before = line->written.size();
    ASSERT_TRUE(comm->SendMsg(req));  // true even though abandoned
    EXPECT_EQ(line->written.mid(static_cast<qsizetype>(before)), req.left(2));
    EXPECT_EQ(log.Count("D "), 1);
    EXPECT_EQ(log.Of("D ").back().text, BytesToHex(req));
    EXPECT_TRUE(line->input.isEmpty());  // flushed
    line->AnswerWith([&](const QByteArray& r) -> std::optional<QByteArray> {
        ++calls;
        return DefaultEcu(r);
    });
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::Idle; }, 10e6));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(CountCommand(*line, CMD_READ_MEM1), 1);  // the complete resend
}

TEST_F(ExchangeTest, GarbageStreamNeverGrowsTheReceiveBuffer) {
    line->AnswerWith(Silent);
    comm->SetNumReSend(0);
    ASSERT_TRUE(comm->SendMsg(BuildRequest(CMD_READ_MEM1)));
    // 20 000 bytes of noise delivered over four seconds.
    const double t = ev.MicroSeconds();
    for (int i = 0; i < 200; ++i) line->Feed(QByteArray(100, '\x42'), t + 110000 + i * 19000.0);
    qsizetype largest = 0;
    while (ev.MicroSeconds() < t + 4.2e6 && comm->ComState() == ComState::AwaitingAnswer) {
        ev.RunFor(1000);
        largest = std::max(largest, comm->InBuffer().size());
    }
    EXPECT_LE(largest, FRAME_MAX_BYTES);
    EXPECT_GT(largest, 0);
    EXPECT_EQ(comm->ComState(), ComState::LinkError);
    EXPECT_TRUE(comm->InBuffer().isEmpty());
}

TEST_F(ExchangeTest, FailingPortCallsAreLoggedNeverRaised) {
    line->FailNext(ScriptedLine::Op::QueueStatus, PORT_IO_ERROR);
    line->FailNext(ScriptedLine::Op::Write, PORT_IO_ERROR);
    const QByteArray req = BuildRequest(CMD_READ_MEM1);
    const size_t before = line->written.size();
    ASSERT_TRUE(comm->SendMsg(req));
    EXPECT_EQ(line->written.size(), before);  // the first write failed
    EXPECT_EQ(log.Count("FT_GetQueueStatus Send"), 1);
    EXPECT_EQ(log.Count("FT_Write Send"), 1);
    EXPECT_GE(log.Count("FtStatus_Val "), 2);
    ASSERT_EQ(log.Count("H "), 1);
    EXPECT_EQ(log.Of("H ").back().text, QString::number(PORT_IO_ERROR) + BytesToHex(req));
    // The time-out resends and the exchange completes.
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::Idle; }, 6e6));
    EXPECT_EQ(CountCommand(*line, CMD_READ_MEM1), 1);

    line->FailNext(ScriptedLine::Op::Read, PORT_IO_ERROR);
    EXPECT_TRUE(comm->SendAndWait(req));
    EXPECT_EQ(log.Count("FT_Read Recive"), 1);
}

TEST_F(ExchangeTest, StopWhileSendingLeavesThePortAloneAndKeepsTheStop) {
    line->AnswerWith(Silent);
    // The link is stopped by the link timer halfway through the request.
    Timer stopper("stop", 2, [&] { comm->Stop(); });
    stopper.SetEnabled(true);
    EXPECT_FALSE(comm->SendMsg(BuildRequest(CMD_WRT_MEM3, QByteArray(20, '\x01'))));
    stopper.SetEnabled(false);
    EXPECT_EQ(comm->ComState(), ComState::Stopped);
    ev.RunFor(10000);
    EXPECT_FALSE(comm->IsOpen());
    EXPECT_EQ(log.Count("? "), 1);
}

TEST_F(ExchangeTest, SendAndWaitBehindAKeepAliveReturnsWithItsOwnAnswer) {
    struct Sink : AnswerSink {
        int mem1 = 0;
        void OnMem1(const QString&) override { ++mem1; }
    } sink;
    comm->SetAnswerSink(&sink);
    AnswerCommand(CMD_READ_MEM1, [] { return BuildAnswer(CMD_READ_MEM1, 0, "\x01"); });
    // Wait until the link timer has a keep-alive out.
    ASSERT_TRUE(ev.RunUntil([&] { return comm->ComState() == ComState::AwaitingAnswer; }, 5e6));
    EXPECT_TRUE(comm->SendAndWait(BuildRequest(CMD_READ_MEM1)));
    EXPECT_EQ(sink.mem1, 1);
    EXPECT_EQ(comm->ComState(), ComState::Idle);
    comm->SetAnswerSink(nullptr);
}

TEST_F(ExchangeTest, SendAndWaitDrivesTheExchangeWhenTheLinkTimerIsStopped) {
    timer1->SetEnabled(false);
    EXPECT_TRUE(comm->SendAndWait(BuildRequest(CMD_READ_MEM2)));
    EXPECT_EQ(comm->ComState(), ComState::Idle);
}

TEST_F(ExchangeTest, ResyncBurstStopsAtTheFirstByteBack) {
    line->AnswerWith(Silent);
    comm->Stop();  // nothing else uses the line meanwhile
    timer1->SetEnabled(false);
    line->Feed("\x42", ev.MicroSeconds() + 50000 + 3 * 50000 + 10);
    const size_t before = line->written.size();
    EXPECT_TRUE(comm->RipristinaAlignErr_EX());
    EXPECT_EQ(line->written.size() - before, 4u);
    const QByteArray one = BuildRequest(CMD_GET_ECO, "\x03");
    EXPECT_EQ(log.Of("T ").back().text, BytesToHex(one.repeated(31)));
    line->FailNext(ScriptedLine::Op::QueueStatus, PORT_IO_ERROR);
    EXPECT_FALSE(comm->RipristinaAlignErr_EX());
}

}  // namespace
}  // namespace gascal::test
