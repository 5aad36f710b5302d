// The injection map on its own: decoding the ECU's sample answers, the
// selection and its match count, the target markers, the vertical full
// scale, map files and the points report.
#include "ecu/InjectionMap.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <random>

#include "common/Helpers.h"
#include "common/TextFile.h"
#include "data/core/ParamFile.h"
#include "ecu/LineModel.h"

using namespace gascal;

namespace {

struct RawSample {
    int time = 0;      // counts of 8 us, without the 0.6 ms
    int pressure = 0;  // mbar
};

// A sample answer as the ECU sends it: the count, then 30 points of two
// 16-bit numbers, low byte first.
QString SampleAnswer(const std::vector<RawSample>& points) {
    std::vector<uint8_t> bytes(1 + 4 * kSamplesPerAnswer, 0);
    bytes[0] = static_cast<uint8_t>(points.size());
    for (size_t k = 0; k < points.size() && k < kSamplesPerAnswer; ++k) {
        bytes[1 + 4 * k] = static_cast<uint8_t>(points[k].time & 0xFF);
        bytes[2 + 4 * k] = static_cast<uint8_t>(points[k].time >> 8);
        bytes[3 + 4 * k] = static_cast<uint8_t>(points[k].pressure & 0xFF);
        bytes[4 + 4 * k] = static_cast<uint8_t>(points[k].pressure >> 8);
    }
    return BytesToHex(bytes);
}

// Raw time of a petrol time in ms (8 us counts, less the 0.6 ms offset).
int Raw(double ms) {
    return static_cast<int>(std::lround((ms - 0.6) / 0.008));
}

void Put(MapPoints& p, MapFuel f, int slot, double pressure, double time) {
    p.Pressure(f)[static_cast<size_t>(slot)] = pressure;
    p.Time(f)[static_cast<size_t>(slot)] = time;
}

CorTableArray Flat(double correction) {
    CorTableArray t{};
    for (int w = 0; w <= kCorEntryCopiesEnd; ++w) t[static_cast<size_t>(w)] = correction;
    return t;
}

}  // namespace

// --- Sample answers -------------------------------------------------------------------------

TEST(MapSamples, DecodesRoundsAndDiscardsAsTheEcuSendsThem) {
    const SampleScale scale;  // 8 us counts, 0.6 ms added back
    struct Case {
        const char* what;
        RawSample raw;
        double pressure, time;
    };
    const Case cases[] = {
        {"3.4 ms at 420 mbar (5E01A401)", {350, 420}, 420, 3.4},
        {"time and pressure rounded", {339, 413}, 420, 3.4},  // 3.312 ms, 20.65 steps
        {"rounded down", {310, 409}, 400, 3.0},               // 3.08 ms
        {"exactly 50 ms stays", {Raw(50), 900}, 900, 50},
        {"50.2 ms is discarded", {Raw(50.2), 900}, 0, 0},
        {"6000 mbar stays", {400, 6000}, 6000, 3.8},
        {"6020 mbar is discarded", {400, 6015}, 0, 0},
        {"empty slot", {0, 0}, 0, 0},
    };
    std::vector<RawSample> raw;
    for (const Case& c : cases) raw.push_back(c.raw);
    MapPoints p;
    ASSERT_TRUE(DecodeSampleAnswer(SampleAnswer(raw), MapFuel::Petrol, 0, scale, p));
    for (size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(cases[k].what);
        EXPECT_EQ(p.X_VacmBnz[k], cases[k].pressure);
        EXPECT_EQ(p.Y_TinjBnz[k], cases[k].time);
    }
    EXPECT_EQ(p.X_VacmGas, MapPoints{}.X_VacmGas);

    // Without petrol control the offset is not added back.
    SampleScale raw0 = scale;
    raw0.addOffset = false;
    MapPoints q;
    ASSERT_TRUE(DecodeSampleAnswer(SampleAnswer({{350, 420}}), MapFuel::Gas, 30, raw0, q));
    EXPECT_EQ(q.Y_TinjGas[30], 2.8);
    EXPECT_EQ(q.X_VacmGas[30], 420);
    EXPECT_EQ(q.Y_TinjGas[0], 0);
}

TEST(MapSamples, AnAnswerTooShortForItsPointsChangesNothing) {
    MapPoints p;
    Put(p, MapFuel::Gas, 3, 500, 4.2);
    const MapPoints before = p;
    const QString full = SampleAnswer({{350, 420}});
    ASSERT_EQ(full.size(), kSampleAnswerChars);
    for (int length : {0, 2, 118, 119, 200, kSampleAnswerChars - 1}) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(DecodeSampleAnswer(full.left(length), MapFuel::Gas, 0, SampleScale{}, p));
        EXPECT_EQ(p, before);
    }
    // The whole answer replaces all 30 slots of its half.
    EXPECT_TRUE(DecodeSampleAnswer(full, MapFuel::Gas, 0, SampleScale{}, p));
    EXPECT_EQ(p.X_VacmGas[0], 420);
    EXPECT_EQ(p.X_VacmGas[3], 0);
}

TEST(MapSamples, TheMapTakesBothHalvesAndSaysItChanged) {
    InjectionMap map;
    int changes = 0;
    map.OnPointsChanged([&] { ++changes; });
    map.DecodeAnswer(MapFuel::Petrol, 0, SampleAnswer({{350, 420}}), SampleScale{});
    map.DecodeAnswer(MapFuel::Petrol, 1, SampleAnswer({{600, 700}, {0, 0}, {300, 380}}),
                     SampleScale{});
    map.DecodeAnswer(MapFuel::Petrol, 1, QStringLiteral("1E"),
                     SampleScale{});  // too short: ignored
    EXPECT_EQ(changes, 2);
    EXPECT_TRUE(map.Changed());
    EXPECT_EQ(map.Mapped().X_VacmBnz[0], 420);
    EXPECT_EQ(map.Mapped().X_VacmBnz[30], 700);
    EXPECT_EQ(map.Mapped().Y_TinjBnz[30], 5.4);
    EXPECT_EQ(map.Mapped().X_VacmBnz[32], 380);
    map.ClearFuel(MapFuel::Petrol);
    EXPECT_EQ(map.Mapped(), MapPoints{});
    EXPECT_EQ(changes, 3);
}

// --- Selection and targets ----------------------------------------------------------------------

TEST(MapSelection, PetrolPointsOfOneStepMergeGasPointsDoNot) {
    MapPoints m;
    Put(m, MapFuel::Petrol, 0, 400, 3.0);
    Put(m, MapFuel::Petrol, 5, 400, 3.4);
    Put(m, MapFuel::Petrol, 7, 420, 3.6);
    Put(m, MapFuel::Petrol, 9, 400, 3.2);
    Put(m, MapFuel::Petrol, 12, 600, 0);  // a time of 0 is merged with nothing
    Put(m, MapFuel::Gas, 2, 400, 3.8);
    Put(m, MapFuel::Gas, 4, 400, 4.0);
    Put(m, MapFuel::Gas, 6, 900, 8.0);
    MapPoints s;
    const int matches = SelectPoints(m, s);
    EXPECT_EQ(s.X_VacmBnz[0], 400);
    EXPECT_NEAR(s.Y_TinjBnz[0], 3.2, 1e-12);  // (3.0 + 3.4 + 3.2) / 3
    EXPECT_EQ(s.X_VacmBnz[5], 0);
    EXPECT_EQ(s.X_VacmBnz[9], 0);
    EXPECT_EQ(s.X_VacmBnz[7], 420);  // the next step stays apart
    EXPECT_EQ(s.Y_TinjBnz[7], 3.6);
    EXPECT_EQ(s.X_VacmBnz[12], 600);
    EXPECT_EQ(s.X_VacmGas, m.X_VacmGas);
    EXPECT_EQ(s.Y_TinjGas, m.Y_TinjGas);
    EXPECT_EQ(matches, 1);  // only 400 mbar was seen on both fuels

    // Each gas point of the step gives its own target:
    // CorTable at H = 3.2 ms (entry 25) plus the gas point's time.
    CorTableArray cor = Flat(0);
    cor[25] = 0.5;
    const std::vector<TargetMarker> t = TargetMarkers(s, cor);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].petrolSlot, 0);
    EXPECT_EQ(t[0].gasSlot, 2);
    EXPECT_NEAR(t[0].petrolMs, 3.2, 1e-12);
    EXPECT_NEAR(t[0].gasMs, 4.3, 1e-12);
    EXPECT_NEAR(t[1].gasMs, 4.5, 1e-12);
    EXPECT_EQ(t[1].pressure, 400);
}

TEST(MapSelection, TheMapStepEnablesComputeOnlyWithAMatchAndWithoutAutoTuning) {
    struct Case {
        const char* what;
        double gasPressure;
        bool autoTuning;
        int matches;
        bool enabled;
    };
    const Case cases[] = {
        {"gas at the same pressure", 500, false, 1, true},
        {"gas at the same pressure, Auto Tuning", 500, true, 1, false},
        {"gas one step away", 520, false, 0, false},
        {"no gas point", 0, false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MapPoints m;
        Put(m, MapFuel::Petrol, 0, 500, 4.6);
        Put(m, MapFuel::Gas, 0, c.gasPressure, c.gasPressure > 0 ? 5.2 : 0);
        InjectionMap map;
        map.SetMapped(m);
        const MapStepResult r = map.Step(false, c.autoTuning, false, Flat(0));
        EXPECT_EQ(r.matches, c.matches);
        EXPECT_EQ(r.computeEnabled, c.enabled);
        EXPECT_FALSE(r.targetsPlaced);
        EXPECT_TRUE(map.Targets().empty());
    }
}

TEST(MapSelection, TargetsAreDrawnWithinTheModelGraph) {
    MapPoints s;
    Put(s, MapFuel::Petrol, 0, 300, 2.4);
    Put(s, MapFuel::Gas, 0, 300, 2.0);
    Put(s, MapFuel::Petrol, 1, 980, 20.0);
    Put(s, MapFuel::Gas, 1, 980, 21.0);
    Put(s, MapFuel::Petrol, 2, 2000, 30.0);  // past the table's last time entry
    Put(s, MapFuel::Gas, 2, 2000, 29.0);
    CorTableArray cor = Flat(1.0);
    cor[kCorEntryCopiesEnd] = 2.0;  // the last time entry
    cor[kCorEntryOffset] = 99;      // never read as a correction
    const std::vector<TargetMarker> t = TargetMarkers(s, cor);
    ASSERT_EQ(t.size(), 3u);
    // Rich at 2.4 ms: the gas point asked for less petrol; the target lies
    // below the current gas time 2.4 + 1.0.
    EXPECT_NEAR(t[0].gasMs, 3.0, 1e-12);
    EXPECT_LT(t[0].gasMs, 2.4 + cor[19]);
    EXPECT_EQ(t[0].drawPetrolMs, 2.4);
    EXPECT_EQ(t[1].drawPetrolMs, 20);
    EXPECT_NEAR(t[1].gasMs, 22.0, 1e-12);
    EXPECT_NEAR(t[2].gasMs, 31.0, 1e-12);
    EXPECT_EQ(t[2].drawPetrolMs, 20);
    EXPECT_EQ(t[2].drawGasMs, 31);
}

// --- Full scale -------------------------------------------------------------------------------

TEST(MapFullScale, EvenAtLeastEightAndFollowsTheLargestTime) {
    struct Case {
        double scale, largest, expected;
        bool relayout;
    };
    const Case cases[] = {
        {8, 0, 8, false},  // no points: the scale stays
        {14, 0, 14, false},
        {8, 3, 8, false},  // small times: at least 8
        {8, 7.8, 8, false},
        {8, 8, 8, true},  // reaching the scale lays the grid out again
        {8, 9, 10, true},
        {8, 13.2, 14, true},
        {14, 12.4, 14, false},  // within 3 of the scale
        {14, 11, 14, false},
        {14, 10.6, 10, true},  // more than 3 below: shrinks
        {20, 7.6, 20, false},  // shrinks only while the largest is 8 or more
        {4, 3, 8, true},
        // A largest time from 2k up to 2k + 1 stands above a scale of 2k.
        {8, 8.5, 8, true},
        {8, 10.6, 10, true},
        {8, 12.9, 12, true},
    };
    for (const Case& c : cases) {
        bool relayout = !c.relayout;
        EXPECT_EQ(AdaptFullScale(c.scale, c.largest, &relayout), c.expected)
            << c.scale << " " << c.largest;
        EXPECT_EQ(relayout, c.relayout) << c.scale << " " << c.largest;
    }

    InjectionMap map;
    MapPoints m;
    Put(m, MapFuel::Gas, 0, 900, 15.2);
    map.SetMapped(m);
    MapStepResult r = map.Step(false, false, false, Flat(0));
    EXPECT_TRUE(r.redrawn);
    EXPECT_TRUE(r.relayout);
    EXPECT_EQ(map.FullScale(), 16);
    EXPECT_FALSE(map.Changed());
    r = map.Step(false, false, false, Flat(0));  // nothing new: nothing redrawn
    EXPECT_FALSE(r.redrawn);
    const std::vector<MapMarker> markers = map.Markers();
    ASSERT_EQ(markers.size(), 1u);
    EXPECT_EQ(markers[0].fuel, MapFuel::Gas);
    EXPECT_DOUBLE_EQ(markers[0].bar, 0.9);
}

// --- Files -------------------------------------------------------------------------------------

TEST(MapFiles, WriteAndReadBackEveryPoint) {
    QTemporaryDir dir;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> p(0, 60), t(0, 120);
    MapPoints m;
    for (size_t i = 0; i < kMapPoints; ++i) {
        m.X_VacmBnz[i] = p(rng) * 20;
        m.Y_TinjBnz[i] = RoundTime(t(rng) * 0.2);
        m.X_VacmGas[i] = p(rng) * 20;
        m.Y_TinjGas[i] = RoundTime(t(rng) * 0.2);
    }
    const QString path = dir.filePath("car.map");
    ASSERT_TRUE(WriteMapFile(path, m));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    EXPECT_EQ(bytes.count("\r\n"), 240);
    EXPECT_EQ(bytes.count('\n'), 240);
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(path, lines));
    ASSERT_EQ(lines.size(), 240);
    EXPECT_EQ(lines[0], FormatReal(m.X_VacmBnz[0]));
    EXPECT_EQ(lines[3], FormatReal(m.Y_TinjGas[0]));

    MapPoints back;
    ASSERT_TRUE(ReadMapFile(path, back));
    EXPECT_EQ(back, m);

    // The system's own number form, with a decimal comma and a leading blank.
    MapPoints one;
    Put(one, MapFuel::Petrol, 0, 420, 3.2);
    ASSERT_TRUE(WriteMapFile(path, one));
    ASSERT_TRUE(ReadLatin1Lines(path, lines));
    EXPECT_EQ(lines.mid(0, 4), (QStringList{" 420", " 3,2", " 0", " 0"}));
}

TEST(MapFiles, ShortAndUntidyFilesAreReadAsTheSystemReadsThem) {
    QTemporaryDir dir;
    const QString path = dir.filePath("short.map");
    // Point 0 complete, point 1 with an empty gas time; then the file ends.
    ASSERT_TRUE(
        WriteLatin1Lines(path, {" 413", "3,31", "  400 ", " 3,0", "", "4,59", " 620", "", "x"}));
    MapPoints m;
    ASSERT_TRUE(ReadMapFile(path, m));
    EXPECT_EQ(m.X_VacmBnz[0], 420);  // rounded to 20 mbar
    EXPECT_EQ(m.Y_TinjBnz[0], 3.4);  // and 0.2 ms
    EXPECT_EQ(m.X_VacmGas[0], 400);
    EXPECT_EQ(m.Y_TinjGas[0], 3.0);
    EXPECT_EQ(m.X_VacmBnz[1], 0);  // an empty line reads 0
    EXPECT_EQ(m.Y_TinjBnz[1], 4.6);
    EXPECT_EQ(m.X_VacmGas[1], 620);
    EXPECT_EQ(m.Y_TinjGas[1], 0);
    // "x" is no number: 0, and the missing lines repeat it.
    for (size_t i = 2; i < kMapPoints; ++i) {
        EXPECT_EQ(m.X_VacmBnz[i], 0) << i;
        EXPECT_EQ(m.Y_TinjGas[i], 0) << i;
    }
    // The last line read stands for every line that is missing.
    ASSERT_TRUE(WriteLatin1Lines(path, {" 500", " 4,4"}));
    ASSERT_TRUE(ReadMapFile(path, m));
    EXPECT_EQ(m.X_VacmBnz[0], 500);
    EXPECT_EQ(m.Y_TinjBnz[0], 4.4);
    EXPECT_EQ(m.X_VacmGas[0], 0);  // 4.4 as a pressure rounds to 0
    EXPECT_EQ(m.Y_TinjGas[0], 4.4);
    EXPECT_EQ(m.Y_TinjBnz[59], 4.4);
    EXPECT_EQ(m.Y_TinjGas[59], 4.4);

    // A file that is not there is ignored.
    InjectionMap map;
    MapPoints kept;
    Put(kept, MapFuel::Gas, 0, 300, 2.2);
    map.SetMapped(kept);
    map.Step(false, false, false, Flat(0));
    EXPECT_FALSE(map.Open(dir.filePath("missing.map")));
    EXPECT_EQ(map.Mapped(), kept);
    EXPECT_FALSE(map.Changed());
    // One that is: read, full scale back to 8 ms, grid laid out again.
    ASSERT_TRUE(WriteMapFile(path, kept));
    Put(kept, MapFuel::Gas, 1, 980, 19.8);
    map.SetMapped(kept);
    map.Step(false, false, false, Flat(0));
    EXPECT_EQ(map.FullScale(), 20);
    ASSERT_TRUE(map.Open(path));
    EXPECT_EQ(map.FullScale(), 8);
    EXPECT_TRUE(map.Step(false, false, false, Flat(0)).relayout);
}

TEST(MapFiles, ThePointsReportIsWrittenInTheServiceViewOnly) {
    QTemporaryDir dir;
    InjectionMap map;
    map.SetReportPath(dir.filePath("Map.txt"));
    MapPoints m;
    Put(m, MapFuel::Petrol, 0, 400, 3.0);
    Put(m, MapFuel::Petrol, 1, 400, 3.4);
    Put(m, MapFuel::Gas, 0, 400, 3.8);
    map.SetMapped(m);
    map.Step(false, false, false, Flat(0));
    EXPECT_FALSE(QFile::exists(dir.filePath("Map.txt")));
    map.Step(false, false, true, Flat(0));
    QStringList lines;
    ASSERT_TRUE(ReadLatin1Lines(dir.filePath("Map.txt"), lines));
    ASSERT_EQ(lines.size(), 125);
    EXPECT_EQ(lines[0], "\"Punti Mappati\"");
    EXPECT_EQ(lines[1], "\"X_VacmBnz | Y_TinjBnz | X_VacmGas(i) | Y_TinjGas(i)\"");
    EXPECT_EQ(lines[2], "\"400 | 3 | 400 | 3,8\"");
    EXPECT_EQ(lines[3], "\"400 | 3,4 | 0 | 0\"");
    EXPECT_EQ(lines[61], "\"0 | 0 | 0 | 0\"");
    EXPECT_EQ(lines[62], "\"\"");
    EXPECT_EQ(lines[63], "\"Punti Selezionati\"");
    EXPECT_EQ(lines[64], lines[1]);
    EXPECT_EQ(lines[65], "\"400 | 3,2 | 400 | 3,8\"");
    EXPECT_EQ(lines[66], "\"0 | 0 | 0 | 0\"");
}
