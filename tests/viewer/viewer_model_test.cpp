// The signal viewer's model on real files: which log lines become samples
// and how they are scaled, the channels and their limits, the settings
// file, the time base, the windows of long logs, table text files, the
// cleaning of recordings, the drawing geometry and the cursor read-out.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <functional>

#include "common/TextFile.h"
#include "data/core/ParamImage.h"
#include "tests/viewer/ViewerFixture.h"
#include "viewer/model/RecordingFiles.h"
#include "viewer/model/ViewerSettings.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

LiveRaw Idle(uint16_t period = 18750) {
    LiveRaw r;
    for (size_t i = 0; i < 8; ++i) {
        r.petrol[i] = static_cast<uint16_t>(300 + 10 * i);  // 2.4 ms + 0.08 ms per injector
        r.signedInj[i] = 1;
        r.gas[i] = static_cast<int16_t>(25 + i);
        r.third[i] = 7;
    }
    r.period = period;
    r.gasPressure = 1100;
    r.vacuum = 350;
    r.lambda = 450;
    r.key = 1;
    r.valve1 = 1;
    r.level = 512;
    r.reducerTemp = 65;
    r.gasTemp = -12;
    r.supply = 1380;
    r.levelAux = 3;
    return r;
}

// A log of `n` exchanges 100 ms apart from `t0`, each with a different
// petrol time of injector 1 (300 + i counts).
QByteArray LogOf(int n, qint64 t0 = 5000) {
    QByteArray out = LogHeader();
    for (int i = 0; i < n; ++i) {
        LiveRaw r = Idle();
        r.petrol[0] = static_cast<uint16_t>(300 + i);
        out += Mem1Exchange(t0 + 100 * i, r);
    }
    return out;
}

ViewScales Scales() {
    ViewScales s;
    s.KInj = 0.008;
    s.InjOffset = 0.6;
    s.KLambda = 0.001;
    s.KSupply = 0.01;
    s.RpmConstant = 15000000;
    return s;
}

QByteArray Quoted(qint64 ms, const char* kind, const QString& hex) {
    QByteArray l = LogLine(ms, kind, hex);
    l.chop(2);
    return l;
}

}  // namespace

// --- Lines and samples --------------------------------------------------------------

TEST(ViewerLines, OnlyWholeLiveDataAnswersWithAGoodChecksumBecomeSamples) {
    const QString answer = Mem1AnswerHex(Idle());
    ASSERT_EQ(answer.size(), 182);
    ViewSample s;
    EXPECT_EQ(DecodeLogLine(Quoted(123456, "R", answer), Scales(), s), LineVerdict::Sample);
    EXPECT_EQ(s.SampleTimeMs, 123456);

    // 180 characters: the answer is not complete.
    EXPECT_EQ(DecodeLogLine(Quoted(123456, "R", answer.left(180)), Scales(), s),
              LineVerdict::NotData);
    // A wrong checksum, and a changed data byte with the old checksum.
    QString bad = answer;
    bad.replace(180, 2, answer.mid(180, 2) == "00" ? "01" : "00");
    EXPECT_EQ(DecodeLogLine(Quoted(1, "R", bad), Scales(), s), LineVerdict::BadChecksum);
    bad = answer;
    bad[20] = bad[20] == QLatin1Char('1') ? QLatin1Char('2') : QLatin1Char('1');
    EXPECT_EQ(DecodeLogLine(Quoted(1, "R", bad), Scales(), s), LineVerdict::BadChecksum);
    // Other kinds, another command, garbled digits, a time that is no number.
    EXPECT_EQ(DecodeLogLine(Quoted(1, "T", answer), Scales(), s), LineVerdict::NotData);
    QString mem3 = answer;
    mem3.replace(6, 2, "0A");
    EXPECT_EQ(DecodeLogLine(Quoted(1, "R", mem3), Scales(), s), LineVerdict::NotData);
    QString garbled = answer;
    garbled[40] = QLatin1Char('G');
    EXPECT_EQ(DecodeLogLine(Quoted(1, "R", garbled), Scales(), s), LineVerdict::NotData);
    QByteArray noTime = "\"12a4 R " + answer.toLatin1() + "\"";
    EXPECT_EQ(DecodeLogLine(noTime, Scales(), s), LineVerdict::NotData);
}

TEST(ViewerLines, FieldsAreScaledAndTheFirstWordOfABlockIsElementSeven) {
    LiveRaw r = Idle();
    r.petrol[7] = 1000;  // travels first
    r.petrol[0] = 0;     // travels last: no offset for an injector that does not inject
    r.signedInj[2] = -5;
    ViewSample s;
    ASSERT_EQ(DecodeLogLine(Quoted(7, "R", Mem1AnswerHex(r)), Scales(), s), LineVerdict::Sample);
    EXPECT_DOUBLE_EQ(s.PetrolInjTimes[7], 1000 * 0.008 + 0.6);
    EXPECT_DOUBLE_EQ(s.PetrolInjTimes[0], 0);
    EXPECT_DOUBLE_EQ(s.PetrolInjTimes[1], 310 * 0.008 + 0.6);
    EXPECT_DOUBLE_EQ(s.SignedInjTimes[2], -5 * 0.008);
    EXPECT_DOUBLE_EQ(s.GasInjTimes[3], 28 * 0.008);
    EXPECT_DOUBLE_EQ(s.ThirdInjBlock[4], 7 * 0.008);
    EXPECT_EQ(s.Rpm, 800);  // 15000000 / 18750
    EXPECT_DOUBLE_EQ(s.GasPressureRaw, 1100);
    EXPECT_DOUBLE_EQ(s.VacuumRaw, 350);
    EXPECT_DOUBLE_EQ(s.LambdaVolts, 0.45);
    EXPECT_EQ(s.KeyOn, 1);
    EXPECT_EQ(s.Valve1Open, 1);
    EXPECT_EQ(s.Valve2Open, 0);
    EXPECT_DOUBLE_EQ(s.LevelRaw, 512);
    EXPECT_EQ(s.ReducerTemp, 65);
    EXPECT_EQ(s.GasTemp, -12);
    EXPECT_DOUBLE_EQ(s.SupplyVolts, 13.8);
    EXPECT_DOUBLE_EQ(s.LevelAux, 3);

    // Without petrol control the offset is not added.
    ViewScales noControl = Scales();
    noControl.PetrolControlEnabled = false;
    ASSERT_EQ(DecodeLogLine(Quoted(7, "R", Mem1AnswerHex(r)), noControl, s), LineVerdict::Sample);
    EXPECT_DOUBLE_EQ(s.PetrolInjTimes[7], 8);
}

TEST(ViewerChannels, ValuesDrawnAndReadOut) {
    ViewSample s;
    s.PetrolInjTimes[2] = 3.2;
    s.GasInjTimes[2] = 0.4;
    s.SignedInjTimes[2] = 1;
    s.VacuumRaw = 350;
    s.GasPressureRaw = 1100;
    s.Rpm = 18001;
    s.GasTemp = 30;
    s.ReducerTemp = 70;
    EXPECT_DOUBLE_EQ(DrawnValue(s, 0, 2), 3.6);
    // On petrol (signed gas time not above 0) the gas trace lies on its zero line.
    s.SignedInjTimes[2] = 0;
    EXPECT_DOUBLE_EQ(DrawnValue(s, 0, 2), 0);
    EXPECT_DOUBLE_EQ(DrawnValue(s, 1, 2), 3.2);
    EXPECT_DOUBLE_EQ(DrawnValue(s, 2, 2), 350);
    EXPECT_DOUBLE_EQ(ReadoutValue(s, 2, 2), 0.35);
    EXPECT_DOUBLE_EQ(ReadoutValue(s, 3, 2), 1.1);
    // An engine speed above 18000 is a misreading: drawn and read as 0.
    EXPECT_DOUBLE_EQ(DrawnValue(s, 5, 2), 0);
    EXPECT_DOUBLE_EQ(ReadoutValue(s, 5, 2), 0);
    s.Rpm = 18000;
    EXPECT_DOUBLE_EQ(DrawnValue(s, 5, 2), 18000);
    EXPECT_DOUBLE_EQ(DrawnValue(s, 6, 2), 30);  // "Temp Inj" is the gas temperature
    EXPECT_DOUBLE_EQ(DrawnValue(s, 7, 2), 70);
    EXPECT_EQ(ReadoutText(0.35, 2), QStringLiteral("0,350"));
    EXPECT_EQ(ReadoutText(-0.0001, 2), QStringLiteral("0,000"));
    EXPECT_EQ(ReadoutText(-12, 6), QStringLiteral("-12"));
}

TEST(ViewerChannels, RevolutionConstantFromCylindersAndCoils) {
    EXPECT_DOUBLE_EQ(ParamImage::RpmConstantFor(4, 4), 15000000);
    EXPECT_EQ(RpmOfPeriod(15000000, 1000), 15000);
    EXPECT_EQ(RpmOfPeriod(15000000, 0), 0);
    EXPECT_EQ(RpmOfPeriod(15000000, 18750), 800);

    // The frame's "Esc" applies to the loaded samples at once.
    OfflineViewer v;
    const double imageConstant = v.session->Image().RpmConstant;
    QByteArray log = LogHeader();
    log += Mem1Exchange(5000, Idle(1000));
    log += Mem1Exchange(5100, Idle(1000));
    ASSERT_TRUE(WriteBytes(v.File("four.vfl"), log));
    v.Open(v.File("four.vfl"));
    ASSERT_EQ(v.model->Samples().size(), 2u);
    EXPECT_EQ(v.model->Samples()[0].Rpm, 15000);
    v.model->CmdEscCylCoil_Click(6, 4);  // 4 * 240000000 / (16 * 6) = 10000000
    EXPECT_DOUBLE_EQ(v.model->Scales().RpmConstant, 10000000);
    EXPECT_EQ(v.model->Samples()[0].Rpm, 10000);
    EXPECT_FALSE(v.model->CylCoilFrameVisible());
    // Counts out of range give the constant 1.
    v.model->CmdEscCylCoil_Click(0, 4);
    EXPECT_DOUBLE_EQ(v.model->Scales().RpmConstant, 1);
    // The ECU's own image is not changed by the viewer.
    EXPECT_EQ(v.session->Image().RpmConstant, imageConstant);
}

// --- Channel settings and the settings file --------------------------------------

TEST(ViewerSettings, GainPositionAndTimeBaseStayWithinTheirLimits) {
    EXPECT_DOUBLE_EQ(GainZoomIn(1024), 2048);
    EXPECT_DOUBLE_EQ(GainZoomIn(2048), 2048);
    EXPECT_DOUBLE_EQ(GainZoomOut(0.25), 0.125);
    EXPECT_DOUBLE_EQ(GainZoomOut(0.125), 0.125);
    EXPECT_DOUBLE_EQ(ChannelUp(-60), -105);
    EXPECT_DOUBLE_EQ(ChannelUp(1065), 1065 - 73.125);
    EXPECT_DOUBLE_EQ(ChannelDown(kPosMax - 10), kPosMax);

    // The ladder up and down.
    std::vector<double> up{0.5};
    while (up.back() < 20) up.push_back(SecDivUp(up.back()));
    EXPECT_EQ(up, (std::vector<double>{0.5, 1, 2, 5, 7.5, 10, 20}));
    EXPECT_DOUBLE_EQ(SecDivUp(20), 20);
    std::vector<double> down{20};
    while (down.back() > 1) down.push_back(SecDivDown(down.back()));
    EXPECT_EQ(down, (std::vector<double>{20, 10, 7.5, 5, 2, 1}));
    EXPECT_EQ(SecDivText(7.5), QStringLiteral("7,50 s"));

    // Through the window's commands: "+" at 20 stays and is disabled.
    OfflineViewer v;
    for (int i = 0; i < 6; ++i) v.model->CmdSecDivP_Click();
    EXPECT_DOUBLE_EQ(v.model->SecDiv(), 20);
    EXPECT_FALSE(v.model->SecDivPlusEnabled());
    EXPECT_TRUE(v.model->SecDivMinusEnabled());
    for (int i = 0; i < 6; ++i) v.model->CmdSecDivM_Click();
    EXPECT_DOUBLE_EQ(v.model->SecDiv(), 1);
    EXPECT_FALSE(v.model->SecDivMinusEnabled());
    EXPECT_EQ(v.model->SecDivLabel(), QStringLiteral("1,00 s"));

    v.model->LblSignal_Click(4);
    for (int i = 0; i < 3; ++i) v.model->CmdZoomIn_Click();
    EXPECT_DOUBLE_EQ(v.model->Channels()[4].gain, 2048);
    EXPECT_EQ(v.model->GainText(), QStringLiteral("2048,000"));
    for (int i = 0; i < 80; ++i) v.model->CmdUp_Click();
    EXPECT_DOUBLE_EQ(v.model->Channels()[4].pos, -105);
    v.model->CmdReset_Click();
    EXPECT_DOUBLE_EQ(v.model->Channels()[4].gain, 512);
    EXPECT_DOUBLE_EQ(v.model->Channels()[4].pos, 4575);
}

TEST(ViewerSettings, SettingsFileIsWrittenAndReadBack) {
    OfflineViewer v;
    const QString path = v.File("LNG/OsciConfig.ini");
    v.model->LblSignal_Click(2);
    v.model->CmdZoomOut_Click();  // written after every change
    v.model->PctMostra_Click(6);
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(path, lines));
    ASSERT_EQ(lines.size(), 40);
    EXPECT_EQ(lines[10], QStringLiteral("[Vacuum]"));
    EXPECT_EQ(lines[11], QStringLiteral("1"));
    EXPECT_EQ(lines[12], QStringLiteral(" 65280 "));
    EXPECT_EQ(lines[13], QStringLiteral(" 2820 "));
    EXPECT_EQ(lines[14], QStringLiteral(" 0,25 "));
    EXPECT_EQ(lines[30], QStringLiteral("[Temp Inj]"));
    EXPECT_EQ(lines[31], QStringLiteral("0"));

    ChannelSettings read = DefaultChannelSettings();
    ASSERT_TRUE(LoadViewerSettings(path, read));
    EXPECT_EQ(read, v.model->Channels());

    // Keys that carry no setting are passed over with their value line;
    // values that are no number or out of their limits keep the default.
    ASSERT_TRUE(WriteLatin1Lines(
        path, {"[SecDiv]", "[Lambda]", "1", " 255 ", " 300 ", " 2 ", "[Rpm]", "0", " 255 ",
               "-3000 ", " 4096 ", "[Lambda]", "1", "blue", " 100,5 ", " 0.5 "}));
    read = DefaultChannelSettings();
    ASSERT_TRUE(LoadViewerSettings(path, read));
    const ChannelSettings defaults = DefaultChannelSettings();
    EXPECT_FALSE(read[5].shown);
    EXPECT_EQ(read[5].colour, 255u);
    EXPECT_DOUBLE_EQ(read[5].pos, defaults[5].pos);
    EXPECT_DOUBLE_EQ(read[5].gain, defaults[5].gain);
    // The "[Lambda]" after "[SecDiv]" was that key's value line.
    EXPECT_EQ(read[4].colour, defaults[4].colour);
    EXPECT_DOUBLE_EQ(read[4].pos, 100.5);
    EXPECT_DOUBLE_EQ(read[4].gain, 0.5);
}

TEST(ViewerSettings, NoChannelLeftToDrawIsRefused) {
    OfflineViewer v;
    for (int c = 1; c < kViewChannels; ++c) v.model->ChkSignal_Click(c, false);
    EXPECT_TRUE(v.prompts.shown.empty());
    v.model->ChkSignal_Click(0, false);
    ASSERT_EQ(v.prompts.shown.size(), 1u);
    EXPECT_EQ(v.prompts.shown[0].text, QStringLiteral("NO CHECK!"));
    EXPECT_EQ(v.prompts.shown[0].icon, BoxIcon::Critical);
    EXPECT_TRUE(v.model->Ticked(0));
    // Hiding the only ticked channel: shown again.
    v.model->PctMostra_Click(0);
    EXPECT_EQ(v.prompts.shown.size(), 2u);
    EXPECT_TRUE(v.model->Channels()[0].shown);
}

// --- Recognising files, constants --------------------------------------------------------

TEST(ViewerFiles, RecognitionNeedsARequestLineOrSpacesRoundTheBars) {
    OfflineViewer v;
    const QString log = v.File("a.vfl"), table = v.File("t.txt"), tight = v.File("tight.txt");
    ASSERT_TRUE(WriteBytes(log, LogOf(2)));
    ASSERT_TRUE(WriteBytes(
        table, "1000 | 3000 | 0 | 500 | 800 | 1100 | 350 | 450 | 512 | 60 | 20 | 13,8 | 0\r\n"));
    ASSERT_TRUE(WriteBytes(tight, "1000|3000|0|500|800|1100|350|450|512|60|20|13,8|0\r\n"));
    EXPECT_EQ(RecogniseViewFile(log), ViewFileKind::Log);
    EXPECT_EQ(RecogniseViewFile(table), ViewFileKind::Table);
    EXPECT_EQ(RecogniseViewFile(tight), ViewFileKind::Unrecognised);
    EXPECT_EQ(RecogniseViewFile(v.File("none.vfl")), ViewFileKind::Missing);

    // An unrecognised file loads nothing, and says so.
    v.Open(tight);
    EXPECT_TRUE(v.model->Samples().empty());
    EXPECT_TRUE(v.prompts.AnyContains(QStringLiteral("not a log")));
}

TEST(ViewerFiles, ConstantsOfTheLogOrTheirDefaults) {
    OfflineViewer v;
    const QString with = v.File("with.vfl"), without = v.File("without.vfl"),
                  late = v.File("late.vfl");
    ASSERT_TRUE(
        WriteBytes(with, LogHeader(10000000, " 0,002 ") + LogOf(1).mid(LogHeader().size())));
    ViewScales s = Scales();
    s.RpmConstant = 42;
    s = ReadLogConstants(with, s);
    EXPECT_DOUBLE_EQ(s.RpmConstant, 10000000);
    EXPECT_DOUBLE_EQ(s.KLambda, 0.002);

    // Without the keys in the first 1000 bytes: the defaults.
    QByteArray body = "\"100 O  Software ver. 01.01.05 GasCal 15/01/2026 10:00:02\"\r\n";
    ASSERT_TRUE(WriteBytes(without, body + LogOf(3).mid(LogHeader().size())));
    s.RpmConstant = 42;
    s.KLambda = 7;
    s = ReadLogConstants(without, s);
    EXPECT_DOUBLE_EQ(s.RpmConstant, 15000000);
    EXPECT_DOUBLE_EQ(s.KLambda, 0.001);
    QByteArray filler;
    while (filler.size() < 1200) filler += LogLine(50, "C", "1");
    ASSERT_TRUE(WriteBytes(late, body + filler + LogHeader(10000000).mid(body.size())));
    s.RpmConstant = 42;
    s = ReadLogConstants(late, s);
    EXPECT_DOUBLE_EQ(s.RpmConstant, 15000000);

    // A missing file changes nothing; a value that is no number keeps the
    // default and is reported.
    s.RpmConstant = 42;
    s = ReadLogConstants(v.File("missing.vfl"), s);
    EXPECT_DOUBLE_EQ(s.RpmConstant, 42);
    ASSERT_TRUE(WriteBytes(with, "\"[K_gm]\"\r\nabc\r\n\"[K_Lambda]\"\r\n 0 \r\n"));
    s = ReadLogConstants(with, s);
    EXPECT_DOUBLE_EQ(s.RpmConstant, 15000000);
    EXPECT_DOUBLE_EQ(s.KLambda, 0.001);
    EXPECT_EQ(v.prompts.shown.size(), 2u);
    EXPECT_TRUE(v.prompts.AnyContains(QStringLiteral("CaricaCostantiRxTx_Err:")));
}

// --- Log windows ------------------------------------------------------------------------------

namespace {

// A log of at least `bytes` bytes made of whole exchanges; `times` receives
// the time of each live-data answer.
QByteArray LongLog(qint64 bytes, std::vector<qint64>& times) {
    QByteArray out = LogHeader();
    qint64 t = 5000;
    while (out.size() < bytes) {
        LiveRaw r = Idle();
        r.petrol[0] = static_cast<uint16_t>(times.size() % 1000);
        out += Mem1Exchange(t, r);
        times.push_back(t);
        t += 70;
    }
    return out;
}

}  // namespace

TEST(ViewerFiles, ALogOfThreeMillionBytesIsReadWholeOneByteMoreInWindows) {
    // The window's size is a property of the files other tools rely on: the
    // number itself, not the code's constant.
    constexpr qint64 kWindow = 3000000;
    EXPECT_EQ(kLogWindowBytes, kWindow);
    OfflineViewer v;
    std::vector<qint64> times;
    QByteArray log = LongLog(kWindow - 5000, times);
    // Pad with keep-alive lines to exactly 3 000 000 bytes.
    const QByteArray pad = LogLine(1, "C", "1");
    while (log.size() + pad.size() <= kWindow - 10) log += pad;
    log += QByteArray(kWindow - log.size() - 2, 'x') + "\r\n";
    ASSERT_EQ(log.size(), kWindow);
    const QString exact = v.File("exact.vfl"), more = v.File("more.vfl");
    ASSERT_TRUE(WriteBytes(exact, log));
    ASSERT_TRUE(WriteBytes(more, log + "x"));

    const SampleRead whole = ReadLog(exact, 0, Scales(), LogWindow());
    ASSERT_TRUE(whole.ok);
    EXPECT_FALSE(whole.window.windowed);
    EXPECT_EQ(whole.samples.size(), times.size());

    const SampleRead windowed = ReadLog(more, 0, Scales(), LogWindow());
    ASSERT_TRUE(windowed.ok);
    EXPECT_TRUE(windowed.window.windowed);
    EXPECT_FALSE(windowed.window.prevEnabled);
    EXPECT_EQ(windowed.window.position, 1);
    EXPECT_EQ(windowed.samples.size(), times.size());

    // The window's view: the buttons shown, "<<" disabled at the first window.
    v.Open(more);
    EXPECT_TRUE(v.model->WindowButtonsVisible());
    EXPECT_FALSE(v.model->Window().prevEnabled);
    v.model->Label1_Click();  // "CYLINDER" hides them
    EXPECT_FALSE(v.model->WindowButtonsVisible());
}

TEST(ViewerFiles, ALineThatStraddlesAWindowEdgeIsSeenInExactlyOneWindow) {
    OfflineViewer v;
    std::vector<qint64> times;
    QByteArray log = LogHeader();
    // Exchanges up to just before the edge, then one answer across it.
    qint64 t = 5000;
    while (log.size() < kLogWindowBytes - 400) {
        log += Mem1Exchange(t, Idle());
        times.push_back(t);
        t += 70;
    }
    QByteArray across = Mem1Exchange(t, Idle());
    const int answerAt = static_cast<int>(across.lastIndexOf("\"" + QByteArray::number(t) + " R "));
    // Filler lines so that the whole answer line starts 50 bytes before the edge.
    while (log.size() + answerAt < kLogWindowBytes - 50) log += LogLine(1, "C", "1");
    const qint64 straddling = t;
    const int lineStart = static_cast<int>(log.size()) + answerAt;
    log += across;
    times.push_back(t);
    ASSERT_LT(lineStart, kLogWindowBytes);
    ASSERT_GT(log.indexOf("\r\n", lineStart), kLogWindowBytes);
    while (log.size() < kLogWindowBytes + 200000) {
        t += 70;
        log += Mem1Exchange(t, Idle());
        times.push_back(t);
    }
    const QString path = v.File("long.vfl");
    ASSERT_TRUE(WriteBytes(path, log));

    const SampleRead one = ReadLog(path, 0, Scales(), LogWindow());
    ASSERT_TRUE(one.ok);
    EXPECT_TRUE(one.window.nextEnabled);
    const SampleRead two = ReadLog(path, 1, Scales(), one.window);
    ASSERT_TRUE(two.ok);
    EXPECT_EQ(two.window.position, kLogWindowBytes + 1);
    EXPECT_TRUE(two.window.prevEnabled);
    EXPECT_FALSE(two.window.nextEnabled);
    const std::vector<ViewSample>& first = one.samples;
    const std::vector<ViewSample>& second = two.samples;
    int seen = 0;
    for (const auto* list : {&first, &second})
        for (const ViewSample& s : *list) seen += s.SampleTimeMs == straddling;
    EXPECT_EQ(seen, 1);
    // Every answer is in one window or the other, none twice.
    EXPECT_EQ(first.size() + second.size(), times.size());
    ASSERT_FALSE(second.empty());
    EXPECT_GT(second.front().SampleTimeMs, first.back().SampleTimeMs);
    // Back: the first window again; back once more stays there.
    const SampleRead back = ReadLog(path, -1, Scales(), two.window);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.window.position, 1);
    EXPECT_EQ(back.samples.size(), first.size());
    const SampleRead again = ReadLog(path, -1, Scales(), back.window);
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.window.position, 1);
}

TEST(ViewerFiles, CursorTimesOfALaterWindowCountFromTheRecordingStart) {
    OfflineViewer v;
    std::vector<qint64> times;
    const QByteArray log = LongLog(kLogWindowBytes + 300000, times);
    const QString path = v.File("long.vfl");
    ASSERT_TRUE(WriteBytes(path, log));
    v.Open(path);
    ASSERT_FALSE(v.model->Samples().empty());
    EXPECT_DOUBLE_EQ(v.model->RecordingStartMs(), 5000);
    v.model->CmdSeekNext_Click();
    ASSERT_EQ(v.model->Window().position, kLogWindowBytes + 1);
    const double windowStart = v.model->Samples().front().SampleTimeMs;
    ASSERT_GT(windowStart, 5000 + 60000);
    // At x = 0 with the slider at 0 the time is that of the window's first
    // sample counted from the first sample of the whole recording.
    v.model->ShowReadout(0);
    EXPECT_EQ(v.model->TimeLabel(), CursorReadout::MinutesText(windowStart - 5000));
    const struct {
        double ms;
        const char* shown;
    } shownTimes[] = {{65250, "1:05.250 min"},   {15566, "0:15.566 min"},   {0, "0:00.000 min"},
                      {600000, "10:00.000 min"}, {59999.6, "1:00.000 min"}, {-5, "0:00.000 min"}};
    for (const auto& c : shownTimes)
        EXPECT_EQ(CursorReadout::MinutesText(c.ms), QLatin1String(c.shown)) << c.ms;
}

// --- Table text files ---------------------------------------------------------------------------

TEST(ViewerFiles, TableFilesGiveSamplesAndTimeSteps) {
    OfflineViewer v;
    const QString path = v.File("table.txt");
    ASSERT_TRUE(WriteLatin1Lines(
        path,
        {
            "T1 | T2 | T3 | T4 | RPM | P | V | L | LEV | TR | TG | VB | X",  // a heading
            "1000 | 3000 | 0 | 500 | 800 | 1100 | 350 | 450 | 512 | 60 | 20 | 13,8 | 0", "> 100",
            ">", "1200 | 3100 | 0 | 600 | 900 | 1150 | 360 | 900 | 500 | 61 | 21 | 13.9 |",
            "> 40,7", "1300 | 3200 | 0 | 700 | 950 | 1200 | 370 | 800 | 490 | 62 | 22 | 14",
            "1300 | 3200 | 0 | 700",  // too few fields
        }));
    v.Open(path);
    const auto& s = v.model->Samples();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_DOUBLE_EQ(s[0].SampleTimeMs, 0);
    EXPECT_DOUBLE_EQ(s[1].SampleTimeMs, 100);
    EXPECT_DOUBLE_EQ(s[2].SampleTimeMs, 140);
    EXPECT_DOUBLE_EQ(s[0].SignedInjTimes[5], 1);
    EXPECT_DOUBLE_EQ(s[0].PetrolInjTimes[7], 3);
    EXPECT_DOUBLE_EQ(s[0].GasInjTimes[0], 0.5);
    EXPECT_DOUBLE_EQ(s[0].GasInjTimes[1], 0);
    EXPECT_EQ(s[1].Rpm, 900);
    EXPECT_DOUBLE_EQ(s[1].LambdaVolts, 0.9);
    EXPECT_DOUBLE_EQ(s[1].SupplyVolts, 13.9);
    EXPECT_EQ(s[2].GasTemp, 22);
    EXPECT_EQ(s[2].ReducerTemp, 62);
    EXPECT_DOUBLE_EQ(v.model->RecordingStartMs(), 0);
}

namespace {
// Prompts that run `onBox` before answering a box.
class PromptsWithAction : public ScriptedPrompts {
  public:
    std::function<void()> onBox;
    BoxResult MessageBox(const QString& text, const QString& title, BoxIcon icon,
                         BoxButtons buttons) override {
        if (onBox) onBox();
        return ScriptedPrompts::MessageBox(text, title, icon, buttons);
    }
};
}  // namespace

TEST(ViewerFiles, AShortReadAsksRetryOrCancel) {
    OfflineViewer v;
    QByteArray table;
    for (int i = 0; i < 40; ++i)
        table += "1000 | 3000 | 0 | 500 | 800 | 1100 | 350 | 450 | 512 | 60 | 20 | 13 | 0\r\n";
    const struct {
        const char* name;
        QByteArray bytes;
        const char* procedure;
        size_t samples;
    } files[] = {{"run.vfl", LogOf(30), "CaricaLogRxTx_Err:", 30},
                 {"table.txt", table, "LoadTableFile_Err:", 40}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        const QString path = v.File(file.name);
        ASSERT_TRUE(WriteBytes(path, file.bytes));
        const auto read = [&](std::vector<ViewSample>& samples, LoadStats& st) {
            // The file shrinks while the reader lets the window run.
            ReadHooks hooks;
            hooks.yield = [&] {
                if (QFileInfo(path).size() == file.bytes.size())
                    WriteBytes(path, file.bytes.left(file.bytes.size() / 2));
            };
            SampleRead r = QByteArray(file.procedure).startsWith("Carica")
                               ? ReadLog(path, 0, Scales(), LogWindow(), hooks)
                               : ReadTableFile(path, false, hooks);
            samples = std::move(r.samples);
            st = r.stats;
            return r.ok;
        };
        // Retry reads the same short file again; Cancel gives up with nothing.
        PromptsWithAction prompts;
        ScopedPrompts scope(prompts);
        prompts.answers = {BoxResult::Retry, BoxResult::Cancel};
        std::vector<ViewSample> samples;
        LoadStats st;
        EXPECT_FALSE(read(samples, st));
        EXPECT_TRUE(samples.empty());
        EXPECT_TRUE(st.cancelled);
        ASSERT_EQ(prompts.shown.size(), 2u);
        for (const auto& box : prompts.shown) {
            EXPECT_TRUE(box.text.contains(QLatin1String(file.procedure))) << box.text.toStdString();
            EXPECT_EQ(box.buttons, BoxButtons::RetryCancel);
        }
        // The file whole again before Retry: every sample.
        ASSERT_TRUE(WriteBytes(path, file.bytes));
        prompts.shown.clear();
        prompts.answers = {BoxResult::Retry};
        prompts.onBox = [&] { WriteBytes(path, file.bytes); };
        EXPECT_TRUE(read(samples, st));
        EXPECT_EQ(prompts.shown.size(), 1u);
        EXPECT_FALSE(st.cancelled);
        EXPECT_EQ(samples.size(), file.samples);
    }
}

// --- Cleaning
// --------------------------------------------------------------------------------------

TEST(ViewerFiles, CleaningKeepsTheLastOfEachRunOfOneKind) {
    const QStringList kinds = CleanedLines({"\"1 O  Software\"", "\"2 T 41\"", "\"3 R 42\"",
                                            "\"4 T 41\"", "\"5 T 41\"", "\"6 R 42\""});
    EXPECT_EQ(kinds, (QStringList{"\"1 O  Software\"", "\"2 T 41\"", "\"3 R 42\"", "\"5 T 41\"",
                                  "\"6 R 42\""}));
    // The header goes when the next line has no second field (a constants
    // key, a command name); of consecutive name lines the last stays.
    EXPECT_EQ(CleanedLines(
                  {"\"1 O  Software\"", "\"[K_gm]\"", " 15000000 ", "\"[K_Lambda]\"", " 0,001 "}),
              (QStringList{"\"[K_gm]\"", " 15000000 ", "\"[K_Lambda]\"", " 0,001 "}));
    EXPECT_EQ(
        CleanedLines({"\"CMD_READ_MEM3\"", "\"CMD_READ_MEM1\"", "\"7 T 4102030C0D\"", "", "x y"}),
        (QStringList{"\"CMD_READ_MEM1\"", "\"7 T 4102030C0D\"", "x y"}));

    // On a file: only the last, whole answer of an exchange remains, and the
    // cleaned copy reads to the same samples.
    OfflineViewer v;
    const QString path = v.File("c.vfl");
    const QByteArray log = LogOf(20);
    ASSERT_TRUE(WriteBytes(path, log));
    const SampleRead before = ReadLog(path, 0, Scales(), LogWindow());
    ASSERT_TRUE(before.ok);
    ASSERT_TRUE(CleanRecording(path));
    const QByteArray cleaned = ReadBytes(path);
    EXPECT_LT(cleaned.size(), log.size());
    EXPECT_EQ(cleaned.count(" R "), 20);
    EXPECT_TRUE(cleaned.endsWith("\r\n"));
    const SampleRead after = ReadLog(path, 0, Scales(), before.window);
    ASSERT_TRUE(after.ok);
    EXPECT_EQ(before.samples, after.samples);
}

// --- Drawing and cursors
// -----------------------------------------------------------------------------

TEST(ViewerDrawing, FullRedrawPlacesSamplesByTimeFromTheSlider) {
    OfflineViewer v;
    const QString path = v.File("d.vfl");
    ASSERT_TRUE(WriteBytes(path, LogOf(400)));  // 40 s, 100 ms apart
    v.Open(path);
    ASSERT_EQ(v.model->Samples().size(), 400u);
    EXPECT_DOUBLE_EQ(v.model->SecDiv(), 5);
    const auto& x = v.model->DrawnX();
    ASSERT_GE(x.size(), 2u);
    // SecDiv 5: 100 ms are 30 units.
    EXPECT_DOUBLE_EQ(x[1] - x[0], 30);
    // 30 s on the picture (9000 units): the drawing stops after the first
    // sample beyond it.
    EXPECT_EQ(x.size(), 302u);
    EXPECT_GT(x.back(), kPictureWidth);
    EXPECT_EQ(v.model->SliderMax(), 39900);
    EXPECT_EQ(v.model->SliderLargeStep(), 15000);

    // Scrolled: the first visible sample is the first at the slider's time.
    v.model->SldSample_Scroll(10050);
    EXPECT_EQ(v.model->FirstVisible(), 101);
    EXPECT_EQ(v.model->DrawnIndex().front(), 101);
    // Beyond the last sample: nothing is drawn.
    v.model->SldSample_Scroll(39950);
    EXPECT_TRUE(v.model->DrawnX().size() <= 1u);
    EXPECT_EQ(v.model->SliderValue(), 39900);  // held at the maximum

    // The read-out of the sample left of the cursor; a hidden channel shows
    // "- - -".
    v.model->SldSample_Scroll(0);
    v.model->PctMostra_Click(1);
    v.model->ShowReadout(45);  // between samples 1 (x 30) and 2 (x 60)
    const QStringList gas = v.model->SignalLabel(0).split('\n');
    ASSERT_EQ(gas.size(), 2);
    EXPECT_EQ(gas[0], QStringLiteral("T Inj Gas (ms)"));
    // Sample 1: petrol 301 counts + gas 25 counts, offset 0.6 ms.
    EXPECT_EQ(gas[1], ReadoutText(301 * 0.008 + 0.6 + 25 * 0.008, 0));
    EXPECT_EQ(v.model->SignalLabel(1).split('\n').value(1), QStringLiteral("- - -"));
    EXPECT_EQ(v.model->SignalLabel(5).split('\n').value(1), QStringLiteral("800"));
    EXPECT_EQ(v.model->TimeLabel(), QStringLiteral("0:00.150 min"));
    // Left of the first sample: the names only.
    v.model->ShowReadout(0);
    EXPECT_EQ(v.model->SignalLabel(0), QStringLiteral("T Inj Gas (ms)"));
}

TEST(ViewerDrawing, SecondCursorGivesDifferencesAndWheelZoomKeepsThePointedTime) {
    OfflineViewer v;
    const QString path = v.File("d.vfl");
    ASSERT_TRUE(WriteBytes(path, LogOf(400)));
    v.Open(path);
    v.model->SetSecondCursor(35);  // sample 1
    ASSERT_EQ(v.model->SecondCursorSample(), 1);
    EXPECT_EQ(v.model->SecondCursorX(), 30);
    v.model->ShowReadout(305);  // sample 10
    EXPECT_EQ(v.model->DeltaTimeLabel(), QStringLiteral("Diff +0,900 s"));
    // Injector 1's petrol time grows by one count a sample: 9 counts.
    EXPECT_EQ(v.model->DeltaLabel(1), QStringLiteral("+0,07"));
    EXPECT_EQ(v.model->DeltaLabel(5), QStringLiteral("+0"));
    v.model->ClearSecondCursor();
    EXPECT_TRUE(v.model->DeltaLabel(1).isEmpty());

    // The wheel: twice the detail keeps the time under the pointer.
    v.model->SldSample_Scroll(10000);
    const double before = 4500 / v.model->K() + v.model->SliderValue();
    v.model->WheelZoom(3, 4500);
    EXPECT_NEAR(v.model->TimeZoom(), 1.953125, 1e-9);
    EXPECT_NEAR(4500 / v.model->K() + v.model->SliderValue(), before, 1);
    EXPECT_EQ(v.model->SecDivLabel(), SecDivText(5 / 1.953125));
    // Fewer samples are drawn, further apart.
    EXPECT_DOUBLE_EQ(v.model->DrawnX()[1] - v.model->DrawnX()[0], std::nearbyint(30 * 1.953125));
    v.model->WheelZoom(-20, 4500);
    EXPECT_DOUBLE_EQ(v.model->TimeZoom(), 1);
    v.model->WheelZoom(40, 4500);
    EXPECT_DOUBLE_EQ(v.model->TimeZoom(), kWheelZoomMax);
    // The ladder starts again from its own value.
    v.model->CmdSecDivP_Click();
    EXPECT_DOUBLE_EQ(v.model->TimeZoom(), 1);
}

TEST(ViewerExport, SamplesInViewGoToCsv) {
    OfflineViewer v;
    const QString path = v.File("e.vfl");
    ASSERT_TRUE(WriteBytes(path, LogOf(400)));
    v.Open(path);
    v.model->SldSample_Scroll(1000);
    v.prompts.files.push_back(v.File("view"));
    ASSERT_TRUE(v.model->CmdExportCsv_Click());
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(v.File("view.csv"), lines));
    EXPECT_EQ(
        lines.value(0),
        QStringLiteral("time_ms,T Inj Gas,T Inj Benz,Vacuum,Press,Lambda,Rpm,Temp Inj,Temp Gas"));
    // 30 s in view from 1 s: samples 10 to 310 (the last one at the edge).
    ASSERT_EQ(lines.size(), 1 + 301);
    EXPECT_EQ(lines[1],
              QStringLiteral("1000.000,3.280,3.080,0.350,1.100,0.450,800.000,-12.000,65.000"));
}
