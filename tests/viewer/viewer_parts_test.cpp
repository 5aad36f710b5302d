// The viewer's parts on their own, without an ECU session or a window: the
// readers' result for a missing or cut file, the slider's range, the live
// sweep's layout, and the cursor read-out with its second cursor.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "common/TextFile.h"
#include "tests/viewer/LogLines.h"
#include "viewer/model/ChannelSet.h"
#include "viewer/model/CursorReadout.h"
#include "viewer/model/RecordingFiles.h"
#include "viewer/model/SampleStore.h"
#include "viewer/model/TimeAxis.h"
#include "viewer/model/TraceLayout.h"
#include "viewer/model/ViewerTexts.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

QByteArray LogOfTimes(const std::vector<qint64>& times) {
    QByteArray out = LogHeader();
    for (qint64 t : times) {
        LiveRaw r;
        r.petrol[0] = static_cast<uint16_t>(300 + t % 100);
        r.period = 18750;
        out += Mem1Exchange(t, r);
    }
    return out;
}

ViewSample At(double ms, double petrolMs = 2) {
    ViewSample s;
    s.SampleTimeMs = ms;
    s.PetrolInjTimes.fill(petrolMs);
    return s;
}

// The parts as the viewer wires them, filled with live samples.
struct Parts {
    ViewerTexts texts = EnglishViewerTexts();
    SampleStore store;
    TimeAxis axis;
    ChannelSet channels;
    TraceLayout trace;
    CursorReadout readout{store, trace, channels, axis, texts};

    // A run whose samples come every `stepMs`, each a step of the petrol time.
    void Run(int samples, double stepMs) {
        store.EmptySweep();
        trace.Clear(-1);
        store.StartRun(At(1000, 1));
        trace.StartRun();
        for (int i = 1; i < samples; ++i) Live(At(1000 + i * stepMs, 1 + i));
    }
    LiveSegment Live(const ViewSample& s) {
        if (trace.NextSample() == 0) {
            trace.StartSweep(store.StartSweep(s));
            return LiveSegment();
        }
        store.Append(s);
        int n = trace.SampleIndex();
        return trace.AddLiveSegment(store.Samples(), n, axis.SecDiv(), channels);
    }
};

}  // namespace

TEST(ViewerStore, AReaderGivesItsResultForAMissingOrCutFile) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/cut.vfl";
    const QByteArray log = LogOfTimes({5000, 5100, 5200});
    // Cut in the middle of the last answer: two whole answers remain.
    ASSERT_TRUE(WriteBytes(path, log.left(log.lastIndexOf(" R ") + 40)));
    LogWindow from;
    from.position = 7;  // a window the file is too short for
    const SampleRead cut = ReadLog(path, 1, ViewScales(), from);
    EXPECT_TRUE(cut.ok);
    ASSERT_EQ(cut.samples.size(), 2u);
    EXPECT_EQ(cut.stats.samples, 2);
    EXPECT_DOUBLE_EQ(cut.samples.back().SampleTimeMs, 5100);
    EXPECT_DOUBLE_EQ(cut.window.recordingStartMs, 5000);
    EXPECT_EQ(cut.window.position, 1);
    EXPECT_FALSE(cut.window.windowed);

    // A missing file: not ok, no samples, the window where it stood.
    const SampleRead missing = ReadLog(dir.path() + "/none.vfl", 1, ViewScales(), from);
    EXPECT_FALSE(missing.ok);
    EXPECT_TRUE(missing.samples.empty());
    EXPECT_EQ(missing.window.position, 7);
    EXPECT_FALSE(ReadTableFile(dir.path() + "/none.txt", false).ok);

    // The store empties itself for a file it does not know.
    SampleStore store;
    EXPECT_EQ(store.Read(path, 0, false, {}), ViewFileKind::Log);
    EXPECT_EQ(store.Samples().size(), 2u);
    EXPECT_DOUBLE_EQ(store.LastSampleMs(), 5100);
    ASSERT_TRUE(WriteBytes(path, "plain text\r\nnothing to show\r\n"));
    EXPECT_EQ(store.Read(path, 0, false, {}), ViewFileKind::Unrecognised);
    EXPECT_TRUE(store.Samples().empty());
    EXPECT_DOUBLE_EQ(store.LastSampleMs(), 0);
}

TEST(ViewerTimeAxis, TheSliderKeepsItsPlaceUnlessBeyondTheSpanOrToldToFollow) {
    const struct {
        int before;
        double first, last;
        bool toNewest;
        bool fitted;
        int after, max;
    } cases[] = {
        {3000, 0, 60000, false, true, 3000, 60000},    // kept
        {70000, 0, 60000, false, true, 60000, 60000},  // beyond the span: at its end
        {3000, 0, 60000, true, true, 60000, 60000},    // run mode or forced: the newest
        {3000, 500, 501.5, true, false, 3000, 0},      // a span below 2 ms: nothing
    };
    for (const auto& c : cases) {
        TimeAxis axis;
        axis.SetSliderValue(c.before);
        EXPECT_EQ(axis.FitSlider(c.first, c.last, c.toNewest), c.fitted);
        EXPECT_EQ(axis.SliderValue(), c.after) << c.before << " " << c.last;
        EXPECT_EQ(axis.SliderMax(), c.max);
    }
    // Half a screen per large step, the zoom included: 6 x 5 s / 2, then / 1.25.
    TimeAxis axis;
    axis.FitSlider(0, 60000, false);
    EXPECT_EQ(axis.SliderLargeStep(), 15000);
    ASSERT_TRUE(axis.WheelZoom(1, 0));
    axis.FitSlider(0, 60000, false);
    EXPECT_EQ(axis.SliderLargeStep(), 12000);
    // The wheel stops at its limits; a step of the time base drops the zoom.
    EXPECT_FALSE(axis.WheelZoom(-1, 0) && axis.WheelZoom(-1, 0));
    EXPECT_DOUBLE_EQ(axis.Zoom(), 1);
    axis.WheelZoom(3, 0);
    axis.StepUp();
    EXPECT_DOUBLE_EQ(axis.Zoom(), 1);
    EXPECT_DOUBLE_EQ(axis.SecDiv(), 7.5);
}

TEST(ViewerTrace, ALiveSweepStartsAgainAtTheEdgeAndLeavesThePreviousBehindTheHead) {
    Parts p;
    // 5 s per division: 0.3 units per ms; 500 ms apart is 150 units, and the
    // picture's 9000 units hold 60 steps.
    p.Run(62, 500);
    EXPECT_EQ(p.trace.SampleIndex(), 61);
    EXPECT_DOUBLE_EQ(p.trace.DrawnX()[1], 150);
    EXPECT_DOUBLE_EQ(p.trace.SweepHead(), 9150);
    // The next segment starts beyond the picture (9150): the sweep ends.
    const LiveSegment over = p.Live(At(1000 + 62 * 500, 3));
    EXPECT_TRUE(over.restart);
    EXPECT_FALSE(over.erase);
    EXPECT_EQ(p.trace.SampleIndex(), -1);
    // The next sample is the first of a new sweep; the old one stays behind.
    p.Live(At(1000 + 63 * 500, 4));
    EXPECT_EQ(p.store.Samples().size(), 1u);
    EXPECT_EQ(p.trace.PreviousSweep().size(), 63u);
    for (int i = 1; i <= 4; ++i) p.Live(At(1000 + (63 + i) * 500, 5));
    EXPECT_DOUBLE_EQ(p.trace.SweepHead(), 600);
    // Left of the head the new sweep is read, right of it the old one.
    EXPECT_EQ(p.trace.SampleUnder(400, true), 2);
    EXPECT_EQ(p.trace.SampleUnder(700, true), -1);
    const ViewSample* old = p.trace.PreviousSweepSampleUnder(1000);
    ASSERT_NE(old, nullptr);
    EXPECT_DOUBLE_EQ(old->SampleTimeMs, 1000 + 6 * 500);
    EXPECT_EQ(p.trace.PreviousSweepSampleUnder(500), nullptr);  // overwritten by the new sweep
}

TEST(ViewerReadout, TheSecondCursorGivesDifferencesAndHiddenChannelsNone) {
    Parts p;
    p.Run(10, 100);  // 30 units apart
    p.trace.LayOut(p.store.Samples(), 0, p.axis.K());
    ASSERT_TRUE(p.readout.SetSecondCursor(35));  // sample 1
    EXPECT_DOUBLE_EQ(*p.readout.SecondCursorX(), 30);
    p.readout.Show(125, false);  // sample 4
    EXPECT_EQ(p.readout.TimeLabel(), "0:00.417 min");
    EXPECT_EQ(p.readout.DeltaTimeLabel(), p.texts.delta + " +0,300 s");
    // "T Inj Benz": 5 ms against 2 ms.
    EXPECT_EQ(p.readout.DeltaLabel(1), "+3,00");
    EXPECT_TRUE(p.readout.SignalLabel(1).endsWith("\n5,00"))
        << p.readout.SignalLabel(1).toStdString();
    // A hidden channel reads "- - -"; off the picture only the names remain.
    ASSERT_TRUE(p.channels.ToggleShown(1));
    p.readout.Show(125, false);
    EXPECT_EQ(p.readout.DeltaLabel(1), "- - -");
    EXPECT_TRUE(p.readout.SignalLabel(1).endsWith("\n- - -"));
    p.readout.Show(-1, false);
    EXPECT_EQ(p.readout.SignalLabel(1), p.texts.names[1]);
    EXPECT_TRUE(p.readout.TimeLabel().isEmpty());
    // Only the second cursor: where it stands from the recording's start.
    EXPECT_EQ(p.readout.DeltaTimeLabel(), "0:00.100 min");
    EXPECT_TRUE(p.readout.ClearSecondCursor());
    EXPECT_FALSE(p.readout.ClearSecondCursor());
    EXPECT_FALSE(p.readout.SetSecondCursor(-5));
}
