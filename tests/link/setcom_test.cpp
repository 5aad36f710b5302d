// Port side of the link: port selection, the settings file, the small
// timers, opening and closing through scripted ports and the handle file.
#include "tests/link/LinkFixture.h"

namespace gascal::test {
namespace {

const QString kSetCom = QStringLiteral("\\BIN\\SetCom.ini");

class PortSideTest : public LinkTest {
  protected:
    QStringList FileLines(const QString& sys) {
        QStringList lines;
        ReadLatin1Lines(SystemPath(sys), lines);
        return lines;
    }
};

TEST_F(PortSideTest, PortNumberAndNameRules) {
    comm->SetUsbCom(0);
    for (int n = 1; n <= 9; ++n) {
        comm->SetComPort(n);
        EXPECT_EQ(comm->ComPortNome(), QStringLiteral("COM%1").arg(n));
    }
    for (int n : {0, 10, 12, -1}) {
        comm->SetComPort(n);
        EXPECT_EQ(comm->ComPortNome(), "");
    }
    comm->SetComPort(4);
    comm->SetUsbCom(1);
    EXPECT_EQ(comm->ComPort(), 0);
    EXPECT_EQ(comm->ComPortNome(), "");
    comm->SetUsbCom(0);
    EXPECT_EQ(comm->ComPort(), 4);
}

TEST_F(PortSideTest, PortTenOrMoreNeverOpens) {
    ports.serial[10] = std::make_shared<ScriptedLine>();
    comm->SetUsbCom(0);
    comm->SetComPort(10);
    EXPECT_FALSE(comm->SetComm());
    EXPECT_TRUE(ports.openLog.isEmpty());
    EXPECT_FALSE(comm->IsOpen());
}

TEST_F(PortSideTest, MissingFileGivesDefaultsSearchAndWriteLater) {
    comm->ReadSetCom(kSetCom);
    EXPECT_TRUE(comm->MemoDatiCom());
    EXPECT_EQ(comm->FlagRicercaCom(), 0);
    EXPECT_EQ(comm->UsbCom(), 1);
    EXPECT_EQ(comm->AttesaByteTx_usec(), 500);
    EXPECT_EQ(comm->AttesaGlobale_usec(), 4000000);
    EXPECT_EQ(comm->Idle_usec(), 100000);
    EXPECT_EQ(comm->NumReSend(), 10);
    EXPECT_EQ(comm->MolAttesaGlobale(), 500);
    EXPECT_EQ(comm->PortText(), "38400,N,8,1");
    EXPECT_EQ(comm->Titolo(), "Default Setting");
    EXPECT_EQ(comm->MemoPath(), InstallDir());
    EXPECT_FALSE(FileExists(SystemPath(kSetCom)));
}

TEST_F(PortSideTest, OnlyUsbComZeroSelectsSerialOneWithoutSearch) {
    WriteSettings({"[UsbCom]", "0"});
    comm->ReadSetCom(kSetCom);
    EXPECT_EQ(comm->UsbCom(), 0);
    EXPECT_EQ(comm->ComPort(), 1);
    EXPECT_EQ(comm->ComPortNome(), "COM1");
    EXPECT_EQ(comm->FlagRicercaCom(), SEARCH_OFF);
    EXPECT_FALSE(comm->MemoDatiCom());
    EXPECT_EQ(comm->AttesaGlobale_usec(), 4000000);
}

TEST_F(PortSideTest, KeysInAnyCaseAndOrderWithBlanksAndNoiseLines) {
    WriteSettings({"  [idle_usec]  ", " 250000 ", "junk line", "[NUMRESEND]", "3", "[comport]", "7",
                   "[usbcom]", " 1 ", "[attesaglobale_usec]", "2000000", "[searchcom]", "4",
                   "[TITOLO]", "Officina", "[dcb_fbitfields]", "4113"});
    comm->ReadSetCom(kSetCom);
    EXPECT_EQ(comm->Idle_usec(), 250000);
    EXPECT_EQ(comm->NumReSend(), 3);
    EXPECT_EQ(comm->UsbCom(), 1);  // " 1 " trims to "1"
    EXPECT_EQ(comm->ComPort(), 0);
    comm->SetUsbCom(0);
    EXPECT_EQ(comm->ComPort(), 7);
    EXPECT_EQ(comm->AttesaGlobale_usec(), 2000000);
    EXPECT_EQ(comm->FlagRicercaCom(), 4);
    EXPECT_EQ(comm->Titolo(), "Officina");
    EXPECT_EQ(comm->DcbFlags(), 4113u);
}

TEST_F(PortSideTest, UsbComOtherThanExactlyOneSelectsSerial) {
    for (const char* v : {"01", "2", "yes", ""}) {
        SCOPED_TRACE(v);
        WriteSettings({"[UsbCom]", v});
        comm->ReadSetCom(kSetCom);
        EXPECT_EQ(comm->UsbCom(), 0);
    }
}

TEST_F(PortSideTest, FaultyValuesKeepPreviousValueAndShowTheErrorBox) {
    WriteSettings(
        {"[Comport]", "abc", "[NumResend]", "99999", "[Idle_usec]", "5000", "[SearchCom]", "300"});
    comm->ReadSetCom(kSetCom);
    EXPECT_EQ(comm->ComPort(), 0);  // USB by default: reads 0
    comm->SetUsbCom(0);
    EXPECT_EQ(comm->ComPort(), 1);       // default kept
    EXPECT_EQ(comm->NumReSend(), 10);    // overflow: default kept
    EXPECT_EQ(comm->Idle_usec(), 5000);  // reading went on
    EXPECT_EQ(comm->FlagRicercaCom(), SEARCH_OFF);
    ASSERT_EQ(prompts.shown.size(), 3u);
    for (const auto& s : prompts.shown) {
        EXPECT_TRUE(s.text.contains("ReadSetCom_Err")) << s.text.toStdString();
        EXPECT_EQ(s.icon, BoxIcon::Warning);
    }
    EXPECT_TRUE(prompts.shown[0].text.contains("13"));
    EXPECT_TRUE(prompts.shown[1].text.contains("6"));
}

TEST_F(PortSideTest, WriteRepairsAndLaysTwentyFourLines) {
    comm->ReadSetCom(kSetCom);
    comm->SetAttesaByteTx_usec(-3);
    comm->SetComPort(0);
    comm->SetPortText("");
    comm->SetTitolo("");
    comm->SetMemoPath("");
    comm->SetAttesaGlobaleDefault_usec(0);
    comm->SetMolAttesaGlobale(-1);
    comm->SetIdle_usec(-7);  // written as held
    comm->SetNumReSend(-2);
    comm->SetUsbCom(0);
    comm->SetFlagRicercaCom(SEARCH_OFF);
    comm->SetDcbFlags(0);
    comm->WriteSetCom(kSetCom);
    const QStringList expected = {"[Setport]",
                                  "38400,N,8,1",
                                  "[Comport]",
                                  "1",
                                  "[MemoPath]",
                                  InstallDir(),
                                  "[Titolo]",
                                  "Default Setting",
                                  "[AttesaByteTx_usec]",
                                  "500",
                                  "[AttesaGlobale_usec]",
                                  "4000000",
                                  "[MolAttesaGlobale]",
                                  "500",
                                  "[Idle_usec]",
                                  "-7",
                                  "[NumResend]",
                                  "-2",
                                  "[UsbCom]",
                                  "0",
                                  "[SearchCom]",
                                  "255",
                                  "[DCB_fBitFields]",
                                  "0"};
    EXPECT_EQ(FileLines(kSetCom), expected);
    EXPECT_EQ(comm->AttesaByteTx_usec(), 500);  // repaired in memory too
    QString raw;
    ASSERT_TRUE(ReadLatin1(SystemPath(kSetCom), raw));
    EXPECT_EQ(raw.count("\r\n"), 24);
    // What was written reads back the same.
    ClsComm other;
    other.ReadSetCom(kSetCom);
    EXPECT_EQ(other.UsbCom(), 0);
    EXPECT_EQ(other.ComPort(), 1);
    EXPECT_EQ(other.Idle_usec(), -7);
    EXPECT_EQ(other.FlagRicercaCom(), SEARCH_OFF);
}

TEST_F(PortSideTest, TimersOfTheLink) {
    EXPECT_TRUE(comm->Silenzio(4000, true));  // initial deadline long past
    EXPECT_FALSE(comm->Silenzio(4000, false));
    ev.RunFor(3999000);
    EXPECT_FALSE(comm->Silenzio(4000, false));
    ev.RunFor(2000);
    // With reset, the state before the reset is returned.
    EXPECT_TRUE(comm->Silenzio(4000, true));
    EXPECT_FALSE(comm->Silenzio(4000, false));

    ev.RunFor(1);
    EXPECT_TRUE(comm->SendDelay(10));
    EXPECT_FALSE(comm->SendDelay(10));
    ev.RunFor(10001);
    EXPECT_TRUE(comm->SendDelay(10));

    comm->LoadWDogSend();
    ev.RunFor(4099999);
    EXPECT_TRUE(comm->CkWDogSend());
    ev.RunFor(2);
    EXPECT_FALSE(comm->CkWDogSend());
    comm->LoadWDogSend();
    comm->UnloadWDogSend();
    EXPECT_FALSE(comm->CkWDogSend());

    comm->SetAttesaGlobale_usec(1);
    comm->AttesaGlobale_usec_Default();
    EXPECT_EQ(comm->AttesaGlobale_usec(), 4000000);
}

TEST_F(PortSideTest, TimeComCountsOnlyWhileOpen) {
    ev.RunFor(5e6);
    EXPECT_EQ(comm->TimeCom(), 0);  // closed: reset to now
    auto line = AddUsbEcu();
    comm->SetUsbCom(1);
    ASSERT_TRUE(comm->SetComm());
    ev.RunFor(3e6);
    EXPECT_EQ(comm->TimeCom(), 3000);
}

TEST_F(PortSideTest, UsbOpenConfiguresTheLineAndStatusFields) {
    auto line = AddUsbEcu();
    comm->SetUsbCom(1);
    ASSERT_TRUE(comm->SetComm());
    EXPECT_TRUE(comm->IsOpen());
    EXPECT_NE(comm->LngHand(), 0u);
    EXPECT_EQ(line->lastSettings.baud, 38400u);
    EXPECT_EQ(line->lastSettings.dataBits, 8);
    EXPECT_EQ(line->lastSettings.readTimeoutMs, 50u);
    EXPECT_EQ(comm->FtStatus(), 0);
    line->Feed("abc");
    ev.RunFor(1);
    EXPECT_TRUE(comm->VerificaStatoComunicazione());
    EXPECT_EQ(comm->LngRxByte(), 3u);
    comm->CleanInputCom();
    EXPECT_TRUE(line->input.isEmpty());
    EXPECT_TRUE(comm->CloseComPort());
    EXPECT_FALSE(comm->IsOpen());
    EXPECT_EQ(line->closes, 1);
    // A failing configuration fails the open.
    line->FailNext(ScriptedLine::Op::Configure, PORT_IO_ERROR);
    EXPECT_FALSE(comm->SetComm());
    EXPECT_EQ(comm->FtStatus(), static_cast<int32_t>(PORT_IO_ERROR));
}

TEST_F(PortSideTest, SerialOpenRecordsTheHandleAndCloseClearsIt) {
    auto line = std::make_shared<ScriptedLine>();
    ports.serial[3] = line;
    comm->SetUsbCom(0);
    comm->SetComPort(3);
    comm->SetDcbFlags(0x1011);
    ASSERT_TRUE(comm->SetComm());
    EXPECT_EQ(comm->FtStatus(), 1);  // serial convention: non-zero = success
    EXPECT_EQ(line->lastSettings.dcbFlags, 0x1011u);
    EXPECT_EQ(line->lastSettings.readTimeoutMs, 5u);
    EXPECT_EQ(FileLines("\\BIN\\Handle.ini"), QStringList{QString::number(comm->nPorta())});
    line->Feed("xy");
    ev.RunFor(1);
    EXPECT_TRUE(comm->VerificaStatoComunicazione());
    EXPECT_EQ(comm->ComStat_cbInQue(), 2u);
    comm->CleanInputCom();  // serial: read and discard
    EXPECT_TRUE(line->input.isEmpty());
    EXPECT_TRUE(comm->CloseComPort());
    EXPECT_EQ(comm->nPorta(), 0u);
    EXPECT_EQ(FileLines("\\BIN\\Handle.ini"), QStringList{QString()});
}

TEST_F(PortSideTest, FailedCloseIsRetriedAndRecoveredThroughTheHandleFile) {
    auto line = std::make_shared<ScriptedLine>();
    ports.serial[2] = line;
    comm->SetUsbCom(0);
    comm->SetComPort(2);
    ASSERT_TRUE(comm->SetComm());
    const uint32_t handle = comm->nPorta();
    line->FailNext(ScriptedLine::Op::Close, PORT_IO_ERROR, 3);
    EXPECT_TRUE(comm->CloseComPort());  // always true
    EXPECT_EQ(comm->nPorta(), 0u);
    EXPECT_EQ(line->closes, 0);
    EXPECT_EQ(FileLines("\\BIN\\Handle.ini"), QStringList{QString::number(handle)});
    // The next open fails; the recorded handle, ours, is closed then.
    line->openStatus = PORT_DEVICE_NOT_OPENED;
    EXPECT_FALSE(comm->SetComm());
    EXPECT_EQ(line->closes, 1);
    EXPECT_EQ(FileLines("\\BIN\\Handle.ini"), QStringList{QString()});

    // Two failures then success: closed on the third attempt.
    line->openStatus = PORT_OK;
    ASSERT_TRUE(comm->SetComm());
    line->FailNext(ScriptedLine::Op::Close, PORT_IO_ERROR, 2);
    comm->CloseComPort();
    EXPECT_EQ(line->closes, 2);
    EXPECT_EQ(FileLines("\\BIN\\Handle.ini"), QStringList{QString()});
}

TEST_F(PortSideTest, HandleLeftByAnotherRunIsNeverClosed) {
    ASSERT_TRUE(WriteLatin1Lines(SystemPath("\\BIN\\Handle.ini"), {"  1234 "}));
    comm->SetUsbCom(0);
    comm->SetComPort(5);
    EXPECT_FALSE(comm->SetComm());  // nothing at COM5
    EXPECT_EQ(FileLines("\\BIN\\Handle.ini"), QStringList{"  1234 "});
    EXPECT_TRUE(prompts.shown.empty());
}

}  // namespace
}  // namespace gascal::test
