// The command decoder: what the link keeps of each valid answer, what it
// hands to the answer sink and the answer queue, the slow commands and the
// firmware identity read with its older-firmware fallback.
#include "tests/link/LinkFixture.h"

namespace gascal::test {
namespace {

struct RecordingSink : AnswerSink {
    QStringList calls;
    void OnMem1(const QString& h) override { calls << "mem1:" + h; }
    void OnMem2(const QString& h) override { calls << "mem2:" + h; }
    void OnMem3(const QString& h) override { calls << "mem3:" + h; }
    void OnMem5(const QString& h) override { calls << "mem5:" + h; }
    void OnWriteMem2Ack() override { calls << "ack2"; }
    void OnSamples(uint8_t c, const QString& h) override {
        calls << QStringLiteral("smpl%1:").arg(c) + h;
    }
    void OnSamplesCleared(uint8_t c) override { calls << QStringLiteral("clr%1").arg(c); }
    void OnTestData(const QString& h) override { calls << "dcol:" + h; }
    void OnErrorFlags() override { calls << "err"; }
};

class CommandTest : public LinkTest {
  protected:
    std::shared_ptr<ScriptedLine> line;
    std::map<int, QByteArray> answers;  // command -> answer data (status 0)
    RecordingSink sink;
    void SetUp() override {
        LinkTest::SetUp();
        UseUsb();
        line = AddUsbEcu();
        line->AnswerWith([this](const QByteArray& req) -> std::optional<QByteArray> {
            const int cmd = FrameCommand(req);
            auto it = answers.find(cmd);
            if (it != answers.end()) return BuildAnswer(static_cast<uint8_t>(cmd), 0, it->second);
            return DefaultEcu(req);
        });
        comm->SetAnswerSink(&sink);
        ASSERT_TRUE(Connect());
    }
    bool Ask(uint8_t cmd, const QByteArray& data = QByteArray()) {
        return comm->SendAndWait(BuildRequest(cmd, data));
    }
};

TEST_F(CommandTest, BlockAndSampleAnswersGoToTheSinkAndBuffersAreEmptied) {
    answers[CMD_READ_MEM1] = QByteArray::fromHex("0A0B");
    answers[CMD_READ_MEM2] = QByteArray::fromHex("01");
    answers[CMD_READ_MEM3] = QByteArray::fromHex("FF00");
    answers[CMD_READ_MEM5] = QByteArray::fromHex("33");
    answers[CMD_READ_SMPL_GAS1] = QByteArray::fromHex("1234");
    for (uint8_t c : {CMD_READ_MEM1, CMD_READ_MEM2, CMD_READ_MEM3, CMD_READ_MEM5, CMD_WRT_MEM2,
                      CMD_READ_SMPL_GAS1, CMD_CANC_SMPL_BNZ, CMD_WRT_MEM3}) {
        ASSERT_TRUE(Ask(c)) << int(c);
        EXPECT_TRUE(comm->InBuffer().isEmpty());
        EXPECT_TRUE(comm->OutBuffer().isEmpty());
    }
    EXPECT_EQ(sink.calls, (QStringList{"mem1:0A0B", "mem2:01", "mem3:FF00", "mem5:33", "ack2",
                                       "smpl32:1234", "clr29"}));
    const QByteArray dcol = QByteArray::fromHex("0102030405");
    answers[CMD_READ_DCOL_FL] = dcol;
    ASSERT_TRUE(Ask(CMD_READ_DCOL_FL));
    EXPECT_EQ(comm->MemoDataCollaudo(), BuildAnswer(CMD_READ_DCOL_FL, 0, dcol));
    EXPECT_EQ(sink.calls.back(), "dcol:" + BytesToHex(BuildAnswer(CMD_READ_DCOL_FL, 0, dcol)));
}

TEST_F(CommandTest, AnswerDataEndsAtTheChecksumItsLengthAnnounces) {
    // A stray 00 after the answer leaves the exclusive-or of the buffer at 0:
    // the answer is accepted, but the data are still the LEN - 4 bytes the
    // ECU announced, never its checksum or what followed it.
    line->AnswerWith([](const QByteArray& req) -> std::optional<QByteArray> {
        const int cmd = FrameCommand(req);
        if (cmd == CMD_READ_MEM3)
            return BuildAnswer(CMD_READ_MEM3, 0, QByteArray::fromHex("1122")) + '\0';
        if (cmd == CMD_GET_ADR_VAR)
            return BuildAnswer(CMD_GET_ADR_VAR, 0, QByteArray::fromHex("0102")) +
                   QByteArray::fromHex("0505");
        return DefaultEcu(req);
    });
    ASSERT_TRUE(Ask(CMD_READ_MEM3));
    EXPECT_EQ(sink.calls, QStringList{"mem3:1122"});
    ASSERT_TRUE(Ask(CMD_GET_ADR_VAR));
    EXPECT_EQ(comm->IndVar(1), 0x02);
    EXPECT_EQ(comm->IndVar(2), 255);
    EXPECT_EQ(comm->IndVar(3), 255);
}

TEST_F(CommandTest, ModeAnswersSetEcuState) {
    EXPECT_EQ(comm->EcuState(), ECU_RUN);
    ASSERT_TRUE(comm->SendAndWait(FrameFromHex(FRAME_SET_ECU_SLAVE)));
    EXPECT_EQ(comm->EcuState(), ECU_SLAVE);
    ASSERT_TRUE(Ask(CMD_SET_ECU_PRG, QByteArray(1, '\0')));
    EXPECT_EQ(comm->EcuState(), ECU_PROGRAMMING);
    ASSERT_TRUE(Ask(CMD_ERASE_FLASH, QByteArray(1, '\0')));
    EXPECT_EQ(comm->EcuState(), ECU_FLASH_WRITE);
    ASSERT_TRUE(Ask(CMD_WRT_FLASH_ZONE, QByteArray::fromHex("00FF8000AA")));
    EXPECT_EQ(comm->EcuState(), ECU_FLASH_WRITE);
    ASSERT_TRUE(comm->SendAndWait(FrameFromHex(FRAME_SET_ECU_RUN)));
    EXPECT_EQ(comm->EcuState(), ECU_RUN);
}

TEST_F(CommandTest, ModeByteReadByMemoryZone) {
    const QByteArray modeAddr = QByteArray::fromHex("0000013A01");
    answers[CMD_READ_MEM_ZONE] = QByteArray::fromHex("01");
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, modeAddr));
    EXPECT_EQ(comm->EcuState(), ECU_SLAVE);
    answers[CMD_READ_MEM_ZONE] = QByteArray();  // no data byte: unchanged
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, modeAddr));
    EXPECT_EQ(comm->EcuState(), ECU_SLAVE);
    answers[CMD_READ_MEM_ZONE] = QByteArray::fromHex("05");  // unknown mode: unchanged
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, modeAddr));
    EXPECT_EQ(comm->EcuState(), ECU_SLAVE);
    answers[CMD_READ_MEM_ZONE] = QByteArray::fromHex("00");
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, modeAddr));
    EXPECT_EQ(comm->EcuState(), ECU_RUN);
    EXPECT_EQ(comm->Queue().Count(), 0);
    // Identity addresses go to the queue, other addresses nowhere.
    answers[CMD_READ_MEM_ZONE] = QByteArray::fromHex("0140");
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, QByteArray::fromHex("00FFE00006")));
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, QByteArray::fromHex("0000200002")));
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, QByteArray::fromHex("00FF800620")));
    EXPECT_EQ(comm->Queue().Count(), 2);
    answers[CMD_READ_MEM_ZONE] = QByteArray();
    ASSERT_TRUE(Ask(CMD_READ_MEM_ZONE, QByteArray::fromHex("00FFE00006")));
    EXPECT_EQ(comm->Queue().Count(), 2);  // empty data is not queued
}

TEST_F(CommandTest, VariableAddressesPaddedWith255) {
    answers[CMD_GET_ADR_VAR] = QByteArray::fromHex("112233");
    EXPECT_FALSE(comm->RichiediIndVar());
    ASSERT_TRUE(Ask(CMD_GET_ADR_VAR));
    EXPECT_TRUE(comm->RichiediIndVar());
    EXPECT_EQ(comm->IndVar(0), 0x11);
    EXPECT_EQ(comm->IndVar(2), 0x33);
    for (int i = 3; i < 16; ++i) EXPECT_EQ(comm->IndVar(i), 255) << i;
    answers[CMD_GET_ADR_VAR] = QByteArray(20, '\x07');
    ASSERT_TRUE(Ask(CMD_GET_ADR_VAR));
    EXPECT_EQ(comm->IndVar(15), 7);
    EXPECT_EQ(comm->IndVar(16), 0);
}

TEST_F(CommandTest, ErrorFlagsStoredClearedAndBounded) {
    QByteArray flags(70, '\0');
    flags[0] = 1;
    flags[63] = 2;
    flags[64] = 9;
    answers[CMD_READ_ERR] = flags;
    ASSERT_TRUE(Ask(CMD_READ_ERR));
    EXPECT_EQ(comm->ErrInj(0), 1);
    EXPECT_EQ(comm->ErrInj(63), 2);
    EXPECT_EQ(comm->ErrInj(64), 0);  // beyond the flags: ignored
    EXPECT_EQ(comm->ErrInjUBound(), 63);
    comm->SetErrInj(64, 5);
    EXPECT_EQ(comm->ErrInj(64), 0);
    comm->SetErrInj(-1, 5);
    ASSERT_TRUE(Ask(CMD_CANC_ERR));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(comm->ErrInj(i), 0);
    EXPECT_EQ(sink.calls.count("err"), 2);
}

TEST_F(CommandTest, TableAndEobdAnswersQueued) {
    answers[CMD_READ_TBL_COR] = QByteArray::fromHex("0102");
    answers[CMD_EOBD] = QByteArray::fromHex("AA");
    ASSERT_TRUE(Ask(CMD_READ_TBL_COR, QByteArray::fromHex("0030")));
    ASSERT_TRUE(Ask(CMD_EOBD, QByteArray::fromHex("01")));
    EXPECT_EQ(comm->AnswerQueuePop(), QByteArray::fromHex("0102"));
    EXPECT_EQ(comm->AnswerQueuePop(), QByteArray::fromHex("AA"));
    EXPECT_TRUE(comm->AnswerQueuePop().isEmpty());
}

TEST_F(CommandTest, KeepAliveAnswerWritesMissingSettingsOnce) {
    comm->SetMemoDatiCom(true);
    QFile::remove(SystemPath("\\BIN\\SetCom.ini"));
    comm->SetWDogPresente(true);
    ASSERT_TRUE(Ask(CMD_GET_ECO, "ECO"));
    EXPECT_FALSE(comm->MemoDatiCom());
    EXPECT_FALSE(comm->WDogPresente());
    EXPECT_TRUE(FileExists(SystemPath("\\BIN\\SetCom.ini")));
    QFile::remove(SystemPath("\\BIN\\SetCom.ini"));
    ASSERT_TRUE(Ask(CMD_GET_ECO, "ECO"));
    EXPECT_FALSE(FileExists(SystemPath("\\BIN\\SetCom.ini")));
}

TEST_F(CommandTest, EndOfProgrammingWaitsTenSecondsWithoutTimingOut) {
    comm->SetEcuState(ECU_FLASH_WRITE);
    const double start = ev.MicroSeconds();
    ASSERT_TRUE(Ask(CMD_WRT_FLASH_END));
    EXPECT_GE(ev.MicroSeconds() - start, 10e6);
    EXPECT_LT(ev.MicroSeconds() - start, 10.5e6);
    EXPECT_EQ(comm->EcuState(), ECU_RUN);
    EXPECT_EQ(CountCommand(*line, CMD_WRT_FLASH_END), 1);  // never resent
}

TEST_F(CommandTest, SaveFlashStretchesTheAnswerTimeOutThenRestoresIt) {
    line->AnswerWith(
        [](const QByteArray& req) -> std::optional<QByteArray> {
            return BuildAnswer(static_cast<uint8_t>(FrameCommand(req)), 0);
        },
        30e6);  // the ECU takes 30 s to write its flash
    EXPECT_TRUE(comm->SaveFlash());
    EXPECT_EQ(CountCommand(*line, CMD_SAVE_FLASH), 1);
    EXPECT_EQ(line->requests.back(), QByteArray::fromHex("410204150052"));
    EXPECT_EQ(comm->AttesaGlobale_usec(), 4000000);
}

TEST_F(CommandTest, IdentityReadNewFirmware) {
    QByteArray id = QByteArray::fromHex("014015032025");
    id.append(QByteArray("KT540 GASCAL INJ468").leftJustified(32, ' '));
    answers[CMD_READ_FIRMWARE] = id;
    const QString fle = "014101092026" + QString("KT540 GASCAL INJ468").leftJustified(32);
    comm->SetFirmwareFileReader([&](QString& f, QString*) {
        f = fle;
        return true;
    });
    EXPECT_TRUE(comm->ReadFirmwareIdentity());
    EXPECT_EQ(comm->FirmwareEcuVersStr(), "01.00.40");
    EXPECT_EQ(comm->FirmwareEcuVersNum(), 140);
    EXPECT_EQ(comm->FirmwareEcuDataStr(), "25/03/15");
    EXPECT_EQ(comm->DescProgettoEcu_CODICE(), "INJ468");
    EXPECT_EQ(comm->FirmwareFleVersNum(), 141);
    EXPECT_EQ(comm->FirmwareFleYearNum(), 2026);
    EXPECT_EQ(comm->DescProgettoFle_CLIENTE(), "GASCAL");
    EXPECT_EQ(CountCommand(*line, CMD_READ_MEM_ZONE), 0);

    // A file that cannot be read fails the whole read.
    comm->SetFirmwareFileReader([](QString&, QString*) { return false; });
    EXPECT_FALSE(comm->ReadFirmwareIdentity());
    // Offline: no request, empty identity.
    comm->Stop();
    const size_t sent = line->requests.size();
    comm->SetFirmwareFileReader([&](QString& f, QString*) {
        f = fle;
        return true;
    });
    EXPECT_FALSE(comm->ReadFirmwareIdentity());
    EXPECT_EQ(comm->FirmwareEcu(), "");
    EXPECT_EQ(comm->FirmwareEcuVersStr(), "00.00");
    EXPECT_EQ(line->requests.size(), sent);
}

TEST_F(CommandTest, IdentityReadFallsBackToMemoryZonesOnOlderFirmware) {
    line->AnswerWith([](const QByteArray& req) -> std::optional<QByteArray> {
        const int cmd = FrameCommand(req);
        if (cmd == CMD_READ_FIRMWARE) return BuildAnswer(CMD_READ_FIRMWARE, 254);
        if (cmd == CMD_READ_MEM_ZONE) {
            const QByteArray addr = req.mid(4, 4).toHex().toUpper();
            if (addr == "00FFE000") return BuildAnswer(3, 0, QByteArray::fromHex("013215032025"));
            if (addr == "00FF8006")
                return BuildAnswer(3, 0, QByteArray("KT540 GASCAL INJ468").leftJustified(32, ' '));
        }
        return DefaultEcu(req);
    });
    comm->Queue().Push("stale");
    comm->SetFirmwareFileReader([](QString& f, QString*) {
        f = "0141";
        return true;
    });
    EXPECT_TRUE(comm->ReadFirmwareIdentity());
    EXPECT_EQ(comm->FirmwareEcu(),
              "013215032025" + QString("KT540 GASCAL INJ468").leftJustified(32));
    EXPECT_EQ(comm->FirmwareEcuVersNum(), 132);
    // The first try is resent to the limit; the link then reopens, so the
    // second try may find it still busy with its keep-alive.
    EXPECT_GE(CountCommand(*line, CMD_READ_FIRMWARE), 11);
    EXPECT_EQ(CountCommand(*line, CMD_READ_MEM_ZONE), 2);
    EXPECT_EQ(comm->Queue().Count(), 0);
}

}  // namespace
}  // namespace gascal::test
