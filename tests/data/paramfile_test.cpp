// Parameter files and the block/table requests, against a scripted link:
// the file form, reals written and read back exactly, loading with backups
// and restore on failure, bad files, the table in chunks with retries.
#include "data/core/ParamFile.h"

#include <gtest/gtest.h>

#include <cmath>

#include "DataTestSupport.h"
#include "FakeParamLink.h"
#include "common/EventService.h"
#include "common/Helpers.h"
#include "common/Prompts.h"
#include "data/core/ParamImageHost.h"
#include "data/core/ParamRequests.h"

using namespace gascal;
using gascal::testing::FakeParamLink;
using gascal::testing::TempFolder;

namespace {

// A configured image: 4 coils, 4 cylinders, values on the ECU's grid.
void Configure(ParamImage& im) {
    Mem3Fields& m = im.Mem3Block;
    m.NumCoils = 4;
    m.NumCylinders = 4;
    im.RecomputeRpmConstant();
    m.SwitchTempRaw = 35;
    m.SwitchRpm = 1200;
    m.InjTypeCode = 1;
    m.FuelType = 1;
    m.InjOpenTime = 2.4;
    m.InjPwmTime1 = 4;
    m.InjPwmTime2 = 2;
    m.InjEnable = {1, 1, 1, 1, 0, 0, 0, 0};
    m.InjTrim = {0.016, -0.024, 0, 0, 0, 0, 0, 0};
    m.LevelTypeCode = 1;
    m.LevelThresholds = {120, 260, 400, 540, 680, 820};
    m.VolCompPressRef = 1200;
    m.SwitchDelay = 20;
    m.VolCompTempRef = 30;
    m.LambdaTypeCode = 1;
    m.SwitchPressRaw = 600;
    m.SwitchPressDelay = 2;
    m.EmptyGasMode = 1;
    Mem2Fields& b2 = im.Mem2Block;
    b2.WorkMode = 3;
    b2.Mem2Byte1 = 3;
    b2.HoursCounter1 = 7260;
    b2.HoursCounter2 = 1830;
    b2.RpmCompEnable = 1;
    b2.VacuumAcqEnable = 1;
    Mem5Fields& b5 = im.Mem5Block;
    b5.SohTfraComm = 2;
    b5.SohTonComm = 1;
    b5.PreInjPeriod = 10;
    b5.PreInjTime = 1;
    b5.PreInjTemp = -5;
    b5.SwitchSequence = 40;
    b5.ShowRpmHigh = 2700;
    b5.ShowRpmLow = 2200;
    b5.MinPowerRpmHigh = 1000;
    b5.MinPowerRpmLow = 600;
    for (int k = 0; k < kCorTableSize; ++k) im.CorTable[k] = std::round(k * 0.37) / 1000;
    im.CorTable[184] = 0.25;
    im.CorTable[185] = 1.1;
    const double breaks[6] = {0, 30, 63, 94, 125, 157};
    for (int i = 0; i < 6; ++i) im.CorTable[186 + i] = breaks[i];
    for (int k = 0; k < kCorTableSize; ++k) im.AdtTable[k] = -k / 7.0;
}

// Payloads as the ECU would receive them now (on a copy: nothing pending).
QString Payloads(const ParamImage& im) {
    ParamImage c = im;
    c.SetHost(nullptr);
    c.ResetPendingEdits();
    return BytesToHex(c.BuildMem2Payload()) + "|" + BytesToHex(c.BuildMem3Payload()) + "|" +
           BytesToHex(c.BuildMem5Payload());
}

class ParamFileTest : public ::testing::Test {
  protected:
    ParamFileTest() {
        SetPrompts(&prompts);
        image.SetHost(&host);
        Configure(image);
    }
    ~ParamFileTest() override { SetPrompts(nullptr); }

    QString Saved(const ParamImage& im, int version = 140) {
        const QString p = dir.Path("saved.var");
        EXPECT_TRUE(SaveParamFile(p, im, version, QStringLiteral("Tool")));
        return p;
    }

    VirtualEventService ev;
    ScopedEvents events{ev};
    ScriptedPrompts prompts;
    RecordingImageHost host;
    ParamImage image;
    TempFolder dir;
};

}  // namespace

// --- Reals -------------------------------------------------------------------------

TEST(RealTextTest, WrittenAsTheSystemWritesNumbers) {
    EXPECT_EQ(FormatReal(0.5), " 0,5");
    EXPECT_EQ(FormatReal(-1.25), "-1,25");
    EXPECT_EQ(FormatReal(0), " 0");
    EXPECT_EQ(FormatReal(-0.0), " 0");
    EXPECT_EQ(FormatReal(1e-5), " 1E-05");
    EXPECT_EQ(FormatReal(1.0 / 3), " 0,333333333333333");
    EXPECT_EQ(FormatRealBare(0.5), "0,5");
}

TEST(RealTextTest, ReadBackExactly) {
    for (double v : {0.0, 0.5, -1.25, 1e-5, -3.2e-7, 123456.789, 0.001, 1.0 / 3, 2.0 / 3 * 1000,
                     31.999, -0.104}) {
        const auto back = ParseReal(FormatReal(v));
        ASSERT_TRUE(back.has_value()) << v;
        EXPECT_EQ(*back, std::stod(QString::number(v, 'g', 15).toStdString())) << v;
    }
    EXPECT_EQ(ParseReal(" 0,5 ").value_or(-9), 0.5);
    EXPECT_EQ(ParseReal(",5").value_or(-9), 0.5);
    EXPECT_EQ(ParseReal("0.5").value_or(-9), 0.5);
    EXPECT_FALSE(ParseReal("abc").has_value());
    EXPECT_FALSE(ParseReal("").has_value());
    EXPECT_FALSE(ParseReal("1,2,3").has_value());
    EXPECT_FALSE(ParseReal("1e999").has_value());
}

// --- Saving ------------------------------------------------------------------------

TEST_F(ParamFileTest, SavedFileForm) {
    const QStringList l = dir.ReadLines(QFileInfo(Saved(image)).fileName());
    ASSERT_EQ(l.size(), 8 + 2 + 2 * kCorTableSize);
    EXPECT_EQ(l[0], "[INFO]");
    EXPECT_TRUE(l[1].startsWith(" Software ver. 01.01.05 Tool, file created 15/01/2026"))
        << l[1].toStdString();
    EXPECT_EQ(l[2], "[BLK2]");
    EXPECT_TRUE(l[3].startsWith("B2"));
    EXPECT_EQ(l[3].size(), 2 + 28);
    EXPECT_EQ(l[4], "[BLK3]");
    EXPECT_EQ(l[5].size(), 2 + 148);
    EXPECT_EQ(l[6], "[BLK5]");
    EXPECT_EQ(l[7].size(), 2 + 46);
    EXPECT_EQ(l[8], "[COR]");
    EXPECT_EQ(l[8 + 185], " 0,25");
    EXPECT_EQ(l[8 + 1 + kCorTableSize], "[ADT]");
    EXPECT_EQ(l.last(), FormatReal(-191 / 7.0));
    // The file is read back byte-exact through CR LF line ends.
    QFile f(dir.Path("saved.var"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().startsWith("[INFO]\r\n"));
}

TEST_F(ParamFileTest, SavedFileHoldsNoFuelStateAndOnlyFittedFlags) {
    image.Mem3Block.InjEnable = {2, 3, 4, 1, 0, 0, 0, 0};
    image.PendingEdits.Mem3Block.InjEnable[4] = 3;
    const QStringList l = dir.ReadLines(QFileInfo(Saved(image)).fileName());
    const auto b2 = HexToBytes(l[3].mid(2));
    EXPECT_EQ(b2[1], 0);  // Mem2Byte1 is 3 in the image
    const auto b3 = HexToBytes(l[5].mid(2));
    for (int i = 14; i < 22; ++i) EXPECT_LE(b3[i], 1) << i;
    EXPECT_EQ(b3[14 + 7 - 4], 1);  // the pending enable, normalised
}

TEST_F(ParamFileTest, SavingLeavesImageAndPendingEditsAlone) {
    image.PendingEdits.Mem3Block.InjTrim[2] = 0.08;
    image.PendingEdits.Mem3Block.NumCylinders = 6;
    const Mem3Fields before = image.Mem3Block;
    const QStringList l = dir.ReadLines(QFileInfo(Saved(image)).fileName());
    EXPECT_EQ(image.Mem3Block, before);
    EXPECT_DOUBLE_EQ(image.PendingEdits.Mem3Block.InjTrim[2], 0.08);
    EXPECT_EQ(image.PendingEdits.Mem3Block.NumCylinders, 6);
    EXPECT_EQ(host.firstRefreshRequests, 0);
    // The file holds the value about to be written.
    const auto b3 = HexToBytes(l[5].mid(2));
    EXPECT_EQ(b3[1], 6);
    EXPECT_EQ(b3[22 + 2 * (7 - 2)], 10);
}

TEST_F(ParamFileTest, OldFirmwareFileHasNoBlock5) {
    const QStringList l = dir.ReadLines(QFileInfo(Saved(image, 132)).fileName());
    EXPECT_FALSE(l.contains("[BLK5]"));
    EXPECT_EQ(l[6], "[COR]");
}

TEST_F(ParamFileTest, UnwritableFileShowsMessageAndKeepsOldFile) {
    EXPECT_FALSE(SaveParamFile(dir.Path("no/such/folder/x.var"), image, 140, "T"));
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_TRUE(prompts.shown[0].text.contains("could not be written"));
}

// --- Loading -----------------------------------------------------------------------

TEST_F(ParamFileTest, LoadWritesEverythingAndKeepsTheEcuOwnBytes) {
    const QString path = Saved(image);
    ParamImage target;
    target.Mem2Block.WorkMode = 0;
    target.Mem2Block.Mem2Byte1 = 0;
    target.Mem2Block.EcuMode = 1;
    FakeParamLink link(&target);
    ASSERT_TRUE(LoadParamFile(path, target, &link));
    EXPECT_EQ(link.Commands(),
              (std::vector<uint8_t>{CMD_WRT_MEM2, CMD_WRT_MEM3, CMD_WRT_MEM5, CMD_WRT_TBL_COR,
                                    CMD_WRT_TBL_COR, CMD_WRT_TBL_COR, CMD_WRT_TBL_COR}));
    EXPECT_EQ(target.Mem2Block.WorkMode, 0);
    EXPECT_EQ(target.Mem2Block.Mem2Byte1, 0);
    EXPECT_EQ(target.Mem2Block.EcuMode, 1);
    EXPECT_EQ(link.mem2[0], 0);
    EXPECT_EQ(link.mem2[2], 1);
    // The hour counters are the car's own, not the configuration's.
    EXPECT_DOUBLE_EQ(image.Mem2Block.HoursCounter1, 7260);
    EXPECT_DOUBLE_EQ(target.Mem2Block.HoursCounter1, 0);
    // Block 3 and 5 as the source ECU would send them.
    EXPECT_EQ(Payloads(target).section('|', 1), Payloads(image).section('|', 1));
    for (int k = 0; k < kCorTableSize; ++k) EXPECT_DOUBLE_EQ(target.CorTable[k], image.CorTable[k]);
    // Reals travel with 15 significant digits.
    for (int k = 0; k < kCorTableSize; ++k)
        EXPECT_EQ(target.AdtTable[k], QString::number(-k / 7.0, 'g', 15).toDouble());
    // The adaptive table is never sent.
    EXPECT_EQ(link.CountOf(CMD_WRT_TBL_COR), 4);
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(ParamFileTest, FileWithOnlyBlock3RewritesTheOthersUnchanged) {
    ParamImage source;
    Configure(source);
    source.Mem3Block.SwitchTempRaw = 50;
    const QString b3 = "B3" + BytesToHex(source.BuildMem3Payload());
    const QString path = dir.WriteLines("only3.var", {"", "  " + b3 + "  "});
    const QString before = Payloads(image);
    const CorTableArray table = image.CorTable;
    FakeParamLink link(&image);
    ASSERT_TRUE(LoadParamFile(path, image, &link));
    EXPECT_EQ(image.Mem3Block.SwitchTempRaw, 50);
    EXPECT_EQ(BytesToHex(link.mem2), before.section('|', 0, 0));
    EXPECT_EQ(BytesToHex(link.mem5), before.section('|', 2, 2));
    EXPECT_EQ(image.CorTable, table);
    EXPECT_EQ(link.CountOf(CMD_WRT_TBL_COR), 4);
}

TEST_F(ParamFileTest, Block2LineNeverChangesFuelAndMode) {
    image.Mem2Block.WorkMode = 0;
    image.Mem2Block.Mem2Byte1 = 0;
    image.Mem2Block.EcuMode = 0;
    const QString path = dir.WriteLines("b2.var", {"B20303010000000000000000010101"});
    FakeParamLink link(&image);
    LoadParamFile(path, image, &link);
    EXPECT_EQ(image.Mem2Block.WorkMode, 0);
    EXPECT_EQ(image.Mem2Block.Mem2Byte1, 0);
    EXPECT_EQ(image.Mem2Block.EcuMode, 0);
    EXPECT_EQ(image.Mem2Block.CutOff, 1);
}

TEST_F(ParamFileTest, OldFirmwareGetsNoBlock5) {
    const QString path = Saved(image, 132);
    ParamImage target;
    FakeParamLink link(&target);
    link.version = 132;
    ASSERT_TRUE(LoadParamFile(path, target, &link));
    EXPECT_EQ(link.CountOf(CMD_WRT_MEM5), 0);
    EXPECT_EQ(link.CountOf(CMD_WRT_MEM3), 1);

    // A newer ECU's file: its block 5 is not shown as if the old ECU held it.
    target.Mem5Block.ShowRpmHigh = 2750;
    ASSERT_TRUE(LoadParamFile(Saved(image, 140), target, &link));
    EXPECT_EQ(link.CountOf(CMD_WRT_MEM5), 0);
    EXPECT_EQ(target.Mem5Block.ShowRpmHigh, 2750);
}

TEST_F(ParamFileTest, ShortTableFillsWhatItHas) {
    QStringList lines = {"[COR]"};
    for (int k = 0; k < 100; ++k) lines << FormatReal(5 + k);
    image.CorTable.fill(-2);
    FakeParamLink link(&image);
    LoadParamFile(dir.WriteLines("short.var", lines), image, &link);
    EXPECT_EQ(image.CorTable[0], 5);
    EXPECT_EQ(image.CorTable[99], 104);
    EXPECT_EQ(image.CorTable[100], -2);
    EXPECT_EQ(image.CorTable[191], -2);
}

TEST_F(ParamFileTest, ShortTableDoesNotSwallowTheNextSection) {
    QStringList lines = {"[COR]", " 1", " 2", "[ADT]"};
    for (int k = 0; k < kCorTableSize; ++k) lines << " 7";
    image.CorTable.fill(-2);
    FakeParamLink link(&image);
    ParamLoadReport report;
    LoadParamFile(dir.WriteLines("two.var", lines), image, &link, {}, &report);
    EXPECT_EQ(image.CorTable[1], 2);
    EXPECT_EQ(image.CorTable[2], -2);
    EXPECT_EQ(image.AdtTable[191], 7);
    // A short table is no unreadable line: it is what the file does not hold.
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(report.corEntries, 2);
    EXPECT_TRUE(report.missing.contains("[COR] entries 2 to 191"));
    EXPECT_TRUE(report.Partial());
}

TEST_F(ParamFileTest, LinkStoppedLoadsImageAndSendsNothing) {
    const QString path = dir.WriteLines(
        "t.var", {"B3" + BytesToHex(image.BuildMem3Payload()).replace(4, 4, "5000")});
    FakeParamLink link(&image);
    link.comState = kComStateStopped;
    EXPECT_FALSE(LoadParamFile(path, image, &link));
    EXPECT_TRUE(link.sent.empty());
    EXPECT_EQ(image.Mem3Block.SwitchTempRaw, 0x50);
}

TEST_F(ParamFileTest, GarbledAndTruncatedLinesChangeNothingAndAreReported) {
    const QString before = Payloads(image);
    const CorTableArray table = image.CorTable;
    QString b3 = "B3" + BytesToHex(image.BuildMem3Payload());
    QStringList lines = {"[BLK2]",
                         "B2030301ZZ00000000000000010101",  // not hexadecimal
                         "[BLK3]",
                         b3.left(100),                      // torn line
                         "B5" + QString(46, 'F').left(40),  // wrong length
                         "[COR]",
                         " 1,5",
                         "abc",
                         " 2,5"};
    FakeParamLink link(&image);
    ASSERT_TRUE(LoadParamFile(dir.WriteLines("bad.var", lines), image, &link));
    EXPECT_EQ(Payloads(image), before);
    EXPECT_EQ(image.CorTable[0], 1.5);
    EXPECT_EQ(image.CorTable[1], table[1]);  // the bad value keeps its entry
    EXPECT_EQ(image.CorTable[2], 2.5);
    ASSERT_EQ(prompts.shown.size(), 1u);
    const QString text = prompts.shown[0].text;
    EXPECT_EQ(prompts.shown[0].icon, BoxIcon::Warning);
    EXPECT_TRUE(text.contains("line 2: block 2")) << text.toStdString();
    EXPECT_TRUE(text.contains("line 4: block 3"));
    EXPECT_TRUE(text.contains("line 5: block 5"));
    EXPECT_TRUE(text.contains("line 8: [COR] value 1"));
}

TEST_F(ParamFileTest, BinaryGarbageNeverCrashes) {
    QByteArray junk;
    for (int i = 0; i < 4000; ++i) junk.append(static_cast<char>((i * 73 + 11) % 256));
    junk.insert(100, "\r\n[COR]\r\n");
    junk.insert(300, "\r\nB3");
    FakeParamLink link(&image);
    const QString before = Payloads(image);
    LoadParamFile(dir.WriteRaw("junk.var", junk), image, &link);
    EXPECT_EQ(Payloads(image).section('|', 1), before.section('|', 1));
    EXPECT_EQ(prompts.shown.size(), 1u);
}

TEST_F(ParamFileTest, MissingFileReturnsFalseSilently) {
    FakeParamLink link(&image);
    EXPECT_FALSE(LoadParamFile(dir.Path("none.var"), image, &link));
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(ParamFileTest, FailedBlockWritesRestoreFromBackups) {
    ParamImage source;
    Configure(source);
    source.Mem3Block.SwitchTempRaw = 60;
    source.Mem2Block.RpmCompEnable = 0;
    source.Mem5Block.ShowRpmHigh = 3100;
    const QString path = Saved(source);
    image.ResetPendingEdits();
    const ParamImage original = image;

    {  // block 2 fails: blocks 2 and 3 back as they were
        ParamImage im = original;
        FakeParamLink link(&im);
        link.answers = [](const FakeParamLink::Sent& s, int) { return s.command != CMD_WRT_MEM2; };
        EXPECT_FALSE(LoadParamFile(path, im, &link));
        EXPECT_EQ(im.Mem2Block, original.Mem2Block);
        EXPECT_EQ(im.Mem3Block, original.Mem3Block);
        EXPECT_DOUBLE_EQ(im.RpmConstant, original.RpmConstant);
        EXPECT_EQ(link.CountOf(CMD_WRT_MEM3), 0);
    }
    {  // block 3 fails: block 2 stays as written, block 3 restored
        ParamImage im = original;
        FakeParamLink link(&im);
        link.answers = [](const FakeParamLink::Sent& s, int) { return s.command != CMD_WRT_MEM3; };
        EXPECT_FALSE(LoadParamFile(path, im, &link));
        EXPECT_EQ(im.Mem2Block.RpmCompEnable, 0);
        EXPECT_EQ(im.Mem3Block, original.Mem3Block);
        EXPECT_EQ(link.CountOf(CMD_WRT_MEM5), 0);
    }
    {  // block 5 fails
        ParamImage im = original;
        FakeParamLink link(&im);
        link.answers = [](const FakeParamLink::Sent& s, int) { return s.command != CMD_WRT_MEM5; };
        EXPECT_FALSE(LoadParamFile(path, im, &link));
        EXPECT_EQ(im.Mem5Block, original.Mem5Block);
        EXPECT_EQ(im.Mem3Block.SwitchTempRaw, 60);
        EXPECT_EQ(link.CountOf(CMD_WRT_TBL_COR), 0);
    }
    {  // the table write is tried once and gives the result
        ParamImage im = original;
        FakeParamLink link(&im);
        link.answers = [](const FakeParamLink::Sent& s, int) {
            return s.command != CMD_WRT_TBL_COR;
        };
        EXPECT_FALSE(LoadParamFile(path, im, &link));
        EXPECT_EQ(link.CountOf(CMD_WRT_TBL_COR), 1);
    }
}

TEST_F(ParamFileTest, DefaultSetTakesCylindersFromTestData) {
    const QString defaults = Saved(image);  // a 4-cylinder default set
    ParamImage target;
    FakeParamLink link(&target);
    link.dcolHex = "420113300000000000000000000800";  // marker 8 at characters 27..30
    ParamLoadOptions opt;
    opt.defaultSetPath = defaults;
    opt.sl6Cil = "6";
    opt.sl8Cil = "8";
    ASSERT_TRUE(LoadParamFile(defaults, target, &link, opt));
    EXPECT_EQ(target.Mem3Block.NumCylinders, 8);
    EXPECT_EQ(link.mem3[1], 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(link.mem3[21 - i], 1) << i;
    // 1200 rpm with 4 coils and 8 cylinders: period 7500000 / 1200 = 6250.
    EXPECT_EQ(link.mem3[4] | link.mem3[5] << 8, 6250);
}

TEST_F(ParamFileTest, Block5FromFile) {
    const QString path = Saved(image);
    ParamImage target;
    LoadBlock5FromFile(path, target);
    EXPECT_EQ(target.Mem5Block.ShowRpmHigh, 2700);
    EXPECT_DOUBLE_EQ(target.Mem5Block.PreInjTemp, -5);
    EXPECT_EQ(target.Mem3Block.NumCylinders, 8);  // nothing else read

    LoadBlock5FromFile(dir.Path("missing.Xar"), target);
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].title, "SYSTEM ERROR");
    EXPECT_EQ(prompts.shown[0].text,
              "SISTEM ERROR\r\n\r\nFile: " + dir.Path("missing.Xar") + " not found!");
}

TEST_F(ParamFileTest, CorDumpLines) {
    ASSERT_TRUE(WriteCorDump(image, dir.Path("TEMPI4.TXT")));
    const QStringList l = dir.ReadLines("TEMPI4.TXT");
    ASSERT_EQ(l.size(), kCorTableSize);
    EXPECT_EQ(l[184], "\"Val_corTempiGas[184] = #0,25@\"");
    EXPECT_EQ(l[0], "\"Val_corTempiGas[0] = #0@\"");
}

// --- Requests ----------------------------------------------------------------------

TEST_F(ParamFileTest, TableReadStopsAtUnansweredChunk) {
    FakeParamLink link(&image);
    for (int k = 0; k < kCorTableSize; ++k) {
        link.table[2 * k] = 10;  // 10 x KInj = 0.08 ms
    }
    image.CorTableEcu.fill(-1);
    link.answers = [](const FakeParamLink::Sent& s, int) {
        return !(s.command == CMD_READ_TBL_COR && s.data[0] == 96);
    };
    ParamRequests req(image, link);
    EXPECT_FALSE(req.ReadCorTable());
    EXPECT_DOUBLE_EQ(image.CorTableEcu[95], 0.08);
    EXPECT_EQ(image.CorTableEcu[96], -1);
    EXPECT_EQ(image.CorTableEcu[191], -1);
    EXPECT_EQ(link.CountOf(CMD_READ_TBL_COR), 3);
    EXPECT_EQ(link.sent[0].data, (std::vector<uint8_t>{0, 48}));
}

TEST_F(ParamFileTest, TableReadSkipsShortChunkAndGoesOn) {
    FakeParamLink link(&image);
    for (int k = 0; k < kCorTableSize; ++k) link.table[2 * k] = 10;
    link.tableAnswerBytes = [](int start) { return start == 48 ? 95 : 96; };
    image.CorTableEcu.fill(-1);
    ParamRequests req(image, link);
    EXPECT_TRUE(req.ReadCorTable());
    EXPECT_DOUBLE_EQ(image.CorTableEcu[47], 0.08);
    EXPECT_EQ(image.CorTableEcu[48], -1);
    EXPECT_EQ(image.CorTableEcu[95], -1);
    EXPECT_DOUBLE_EQ(image.CorTableEcu[96], 0.08);
}

TEST_F(ParamFileTest, ChunkAfterWatchdogCountsAsUnanswered) {
    FakeParamLink link(&image);
    link.wdog = true;
    ParamRequests req(image, link);
    EXPECT_FALSE(req.WriteCorChunks());
    EXPECT_EQ(link.CountOf(CMD_WRT_TBL_COR), 1);
}

TEST_F(ParamFileTest, TableWriteReadsBackAndFailsWithRestore) {
    FakeParamLink link(&image);
    ParamRequests req(image, link);
    ASSERT_TRUE(req.WriteCorTable());
    for (int k = 0; k < kCorTableSize; ++k)
        EXPECT_NEAR(image.CorTableEcu[k], image.CorTable[k], 0.004 + 1e-12) << k;

    // Every write fails: three attempts 0.25 s apart, both tables restored.
    const CorTableArray cor = image.CorTable, ecu = image.CorTableEcu;
    link.sent.clear();
    link.answers = [](const FakeParamLink::Sent& s, int) { return s.command != CMD_WRT_TBL_COR; };
    const double t0 = MicroSeconds();
    EXPECT_FALSE(req.WriteCorTable());
    EXPECT_EQ(link.CountOf(CMD_WRT_TBL_COR), 3);
    EXPECT_EQ(link.CountOf(CMD_READ_TBL_COR), 0);
    EXPECT_NEAR(MicroSeconds() - t0, 750000, 1);
    EXPECT_EQ(image.CorTable, cor);
    EXPECT_EQ(image.CorTableEcu, ecu);

    // The read-back fails after a good write: the ECU table read so far is undone.
    link.sent.clear();
    link.answers = [](const FakeParamLink::Sent& s, int) {
        return !(s.command == CMD_READ_TBL_COR && s.data[0] == 144);
    };
    image.CorTableEcu.fill(9);
    EXPECT_FALSE(req.WriteCorTable());
    EXPECT_EQ(link.CountOf(CMD_READ_TBL_COR), 12);
    EXPECT_EQ(image.CorTableEcu[0], 9);
}

// The table read back after the write is compared with the table sent: a
// chunk the ECU lost once (a reset after it was written) is written again;
// a chunk it never holds, or a write cut short, ends the write failed with
// the entries the ECU may hold old named.
TEST_F(ParamFileTest, TableWriteComparesTheReadBackAndNamesWhatIsMissing) {
    const struct {
        const char* what;
        int lostChunk;  // its read-back finds the old entries: once, or always
        bool always;
        int refusedChunk;  // its write is never answered (-1: none)
        bool ok;
        int writes;
        uint8_t missing;
        const char* entries;
    } rows[] = {
        {"chunk 0 lost once", 0, false, -1, true, 8, 0, ""},
        {"chunk 1 never held", 1, true, -1, false, 12, 0x2, "entries 48 to 95"},
        {"cut at chunk 2", -1, false, 2, false, 9, 0xC, "entries 96 to 191"},
        {"cut at chunk 0", -1, false, 0, false, 3, 0xF, "entries 0 to 191"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        FakeParamLink link(&image);
        for (int k = 0; k < kCorTimeEntries; ++k) image.CorTable[k] = 0.08;
        ParamRequests req(image, link);
        int losses = 0;
        link.answers = [&](const FakeParamLink::Sent& s, int) {
            const int chunk = s.data.at(0) / kCorChunkCount;
            if (s.command == CMD_WRT_TBL_COR) return chunk != row.refusedChunk;
            if (s.command == CMD_READ_TBL_COR && chunk == row.lostChunk &&
                (row.always || losses++ == 0))
                std::fill(link.table.begin() + chunk * kCorChunkDataBytes,
                          link.table.begin() + (chunk + 1) * kCorChunkDataBytes, 0);
            return true;
        };
        EXPECT_EQ(req.WriteCorTable(), row.ok);
        EXPECT_EQ(link.CountOf(CMD_WRT_TBL_COR), row.writes);
        EXPECT_EQ(req.CorChunksMissing(), row.missing);
        EXPECT_EQ(req.CorMissingEntries(), QLatin1String(row.entries));
        if (row.ok) {
            for (int c = 0; c < kCorChunks; ++c) {
                const std::vector<uint8_t> sent = image.BuildCorChunk(c * kCorChunkCount);
                EXPECT_TRUE(std::equal(sent.begin() + 2, sent.end(),
                                       link.table.begin() + c * kCorChunkDataBytes))
                    << c;
            }
        }
    }
}

TEST_F(ParamFileTest, TableWriteDumpsInServiceView) {
    FakeParamLink link(&image);
    ParamRequests req(image, link);
    req.SetCorDumpPath(dir.Path("TEMPI4.TXT"));
    req.WriteCorTable();
    EXPECT_FALSE(QFile::exists(dir.Path("TEMPI4.TXT")));
    host.serviceView = true;
    req.WriteCorTable();
    EXPECT_EQ(dir.ReadLines("TEMPI4.TXT").size(), kCorTableSize);
}

TEST_F(ParamFileTest, SaveFlashLengthensTheTimeoutWhileItRuns) {
    FakeParamLink link(&image);
    link.attesa = 1000;  // some other value before
    ParamRequests req(image, link);
    EXPECT_TRUE(req.SaveFlash());
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].command, CMD_SAVE_FLASH);
    EXPECT_EQ(link.sent[0].data, std::vector<uint8_t>{0});
    EXPECT_EQ(link.sent[0].attesaUs, 5000);
    EXPECT_EQ(link.attesa, link.attesaDefault);
}

TEST_F(ParamFileTest, EcuModeFrames) {
    FakeParamLink link(&image);
    ParamRequests req(image, link);
    image.Mem2Block.EcuMode = 0;
    EXPECT_TRUE(req.SetEcuMode());
    image.Mem2Block.EcuMode = 1;
    EXPECT_TRUE(req.SetEcuMode());
    image.Mem2Block.EcuMode = 2;
    EXPECT_FALSE(req.SetEcuMode());
    EXPECT_EQ(link.Commands(), (std::vector<uint8_t>{CMD_SET_ECU_SLAVE, CMD_SET_ECU_RUN}));
}
