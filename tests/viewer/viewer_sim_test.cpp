// The signal viewer against the simulated ECU in virtual time: run mode
// samples and draws the live values, a stop offers to save and the saved
// recording reopens with the samples that were drawn, the viewer can be
// stopped and closed without an ECU, the live log keeps the lines the link
// writes while the viewer reads it, and the window itself offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include "common/widgets/QtPrompts.h"
#include "ecu/Captions.h"
#include "ecu/DirectRequests.h"
#include "ecu/WindowRegistry.h"
#include "mainwindow/controller/LiveModel.h"
#include "mainwindow/controller/MainController.h"
#include "pages/injector/InjectorPage.h"
#include "tests/viewer/ViewerFixture.h"
#include "viewer/frmview/FrmView.h"
#include "viewer/frmview/SignalPicture.h"

using namespace gascal;
using namespace gascal::testing;

namespace {

// Prompts that run `onBox` when a box is shown (before answering it).
class WatchedPrompts : public ScriptedPrompts {
  public:
    std::function<void()> onBox;
    BoxResult MessageBox(const QString& text, const QString& title, BoxIcon icon,
                         BoxButtons buttons) override {
        if (onBox) onBox();
        return ScriptedPrompts::MessageBox(text, title, icon, buttons);
    }
};

// The link (without the window's polling) up on the simulated ECU, block 3
// read so that the engine speed has its cylinder and coil counts, and the
// communication log in the installation's BIN folder.
struct LiveViewer {
    LiveViewer() : scope(prompts) {
        log = std::make_unique<CommLogWriter>(s.root + "/BIN/RxTx.TXT",
                                              s.root + "/BIN/RxTx_Last.TXT");
        log->Install();
        log->StartLogRxTx(s.tool().ProductTitle());
        s.tool().StartLink();
        EXPECT_TRUE(s.RunUntil(
            [this] { return s.comm().ComState() == ComState::Idle && !s.comm().WDogPresente(); },
            10));
        DirectRequests direct(s.tool());
        EXPECT_TRUE(direct.ReadBlock(3));
        EXPECT_DOUBLE_EQ(s.image().RpmConstant, 15000000);
    }
    ~LiveViewer() {
        model.reset();
        log->Stop();
        SetCommLog(nullptr);
    }
    void Open() {
        model = std::make_unique<ViewerModel>(s.tool(), s.cycle());
        QObject::connect(model.get(), &ViewerModel::segmentDrawn,
                         [this](const LiveSegment& seg) { segments.push_back(seg); });
        model->Form_Load();
    }

    SimSession s;
    WatchedPrompts prompts;
    ScopedPrompts scope;
    std::unique_ptr<CommLogWriter> log;
    std::unique_ptr<ViewerModel> model;
    std::vector<LiveSegment> segments;
};

// Everything a sample shows, the time within the log's whole milliseconds.
void ExpectSameSample(const ViewSample& live, const ViewSample& file) {
    EXPECT_NEAR(live.SampleTimeMs, file.SampleTimeMs, 0.5);
    EXPECT_EQ(live.SignedInjTimes, file.SignedInjTimes);
    EXPECT_EQ(live.PetrolInjTimes, file.PetrolInjTimes);
    EXPECT_EQ(live.ThirdInjBlock, file.ThirdInjBlock);
    EXPECT_EQ(live.GasInjTimes, file.GasInjTimes);
    EXPECT_EQ(live.Rpm, file.Rpm);
    EXPECT_EQ(live.GasPressureRaw, file.GasPressureRaw);
    EXPECT_EQ(live.VacuumRaw, file.VacuumRaw);
    EXPECT_EQ(live.LambdaVolts, file.LambdaVolts);
    EXPECT_EQ(live.KeyOn, file.KeyOn);
    EXPECT_EQ(live.LevelRaw, file.LevelRaw);
    EXPECT_EQ(live.ReducerTemp, file.ReducerTemp);
    EXPECT_EQ(live.GasTemp, file.GasTemp);
    EXPECT_EQ(live.SupplyVolts, file.SupplyVolts);
}

}  // namespace

TEST(ViewerLive, RunModeSamplesTheEcuAndDrawsEachNewSegment) {
    LiveViewer v;
    v.s.ecu->SetTargetRpm(2500);
    v.Open();
    ViewerModel& m = *v.model;
    ASSERT_TRUE(m.RunMode());
    EXPECT_FALSE(m.SliderVisible());
    EXPECT_FALSE(m.FileCommandsEnabled());
    EXPECT_EQ(m.Caption(), QStringLiteral("View 1.1 - [- - -]"));
    EXPECT_TRUE(m.IsLiveLog(m.CurrentFile()));
    // The log was started again with the viewer's constants.
    const QByteArray head = ReadBytes(v.s.root + "/BIN/RxTx.TXT").left(200);
    EXPECT_TRUE(head.contains("\"[K_gm]\"\r\n 15000000 \r\n\"[K_Lambda]\"\r\n"));

    v.s.RunFor(4);
    const auto& samples = m.Samples();
    // One sample a tick of 50 ms at most; the line's pause between two
    // requests makes it about one every 150 ms.
    ASSERT_GE(samples.size(), 20u);
    EXPECT_EQ(v.segments.size(), samples.size() - 1);
    for (size_t i = 1; i < samples.size(); ++i) {
        const double dt = samples[i].SampleTimeMs - samples[i - 1].SampleTimeMs;
        EXPECT_GE(dt, kViewTimerMs - 1);
        EXPECT_LE(dt, 4 * kViewTimerMs);
    }
    // The live values: the engine speeds up towards 2500 rpm.
    EXPECT_GT(samples.back().Rpm, samples.front().Rpm);
    EXPECT_NEAR(samples.back().Rpm, v.s.ecu->Engine().State().rpm, 60);
    EXPECT_GT(samples.back().PetrolInjTimes[0], 1);
    // Segments follow each other at 15 units per 50 ms (SecDiv 5), the
    // erase band runs ahead and the head is the newest x.
    const LiveSegment& last = v.segments.back();
    EXPECT_EQ(last.x1, m.DrawnX()[m.DrawnX().size() - 2]);
    EXPECT_NEAR(last.x2 - last.x1,
                (samples.back().SampleTimeMs - samples[samples.size() - 2].SampleTimeMs) * 0.3, 1);
    EXPECT_TRUE(last.erase);
    EXPECT_EQ(m.SweepHead(), last.x2);
    EXPECT_TRUE(last.drawn[5]);
    EXPECT_DOUBLE_EQ(last.y2[5], m.ChannelY(5, samples.back()));

    // The read-out in run mode: values, no time.
    m.ShowReadout(m.SweepHead() / 2);
    EXPECT_TRUE(m.TimeLabel().isEmpty());
    EXPECT_EQ(m.SignalLabel(5).split('\n').size(), 2);
    m.ShowReadout(m.SweepHead() + 500);  // right of the head: nothing of an old sweep yet
    EXPECT_EQ(m.SignalLabel(5), m.Texts().names[5]);
}

TEST(ViewerLive, TheTrafficBeforeTheViewerOpenedStaysInThePreviousLog) {
    LiveViewer v;
    CommLog().WriteLogRxTx(QStringLiteral("C "), QStringLiteral("before the viewer"));
    v.Open();
    ASSERT_TRUE(v.model->RunMode());
    EXPECT_TRUE(ReadBytes(v.s.root + "/BIN/RxTx_Last.TXT").contains(" C before the viewer\""));
    EXPECT_FALSE(ReadBytes(v.s.root + "/BIN/RxTx.TXT").contains("before the viewer"));
    // A run started later moves the viewer's own log aside.
    v.s.RunFor(1);
    v.model->OptRun_Click(1);
    ASSERT_TRUE(v.s.RunUntil([&] { return !v.model->RunMode(); }, 1));
    const QByteArray firstRun = ReadBytes(v.s.root + "/BIN/RxTx.TXT");
    v.model->OptRun_Click(0);
    EXPECT_EQ(ReadBytes(v.s.root + "/BIN/RxTx_Last.TXT").left(firstRun.size()), firstRun);
}

TEST(ViewerLive, TheSweepStartsAgainAtTheLeftEdge) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    // One second per division: a sweep of 6 s.
    for (int i = 0; i < 3; ++i) m.CmdSecDivM_Click();
    ASSERT_DOUBLE_EQ(m.SecDiv(), 1);
    v.s.RunFor(0.2);
    v.segments.clear();
    ASSERT_TRUE(v.s.RunUntil([&] { return !v.segments.empty() && v.segments.back().restart; }, 10));
    // The sample after the restart is sample 0 of a new sweep at x 0; the
    // old sweep stays readable right of the new head.
    ASSERT_TRUE(v.s.RunUntil([&] { return m.Samples().size() == 3; }, 1));
    EXPECT_EQ(m.DrawnX().front(), 0);
    EXPECT_LT(m.SweepHead(), 1000);
    ASSERT_FALSE(m.PreviousSweep().empty());
    EXPECT_GT(m.PreviousSweepX().back(), kPictureWidth);
    m.ShowReadout(4000);
    EXPECT_EQ(m.SignalLabel(5).split('\n').size(), 2);
}

TEST(ViewerLive, StopOffersToSaveAndTheRecordingReopensWithTheSameSamples) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    v.s.ecu->SetTargetRpm(3000);
    v.s.RunFor(3);
    std::vector<ViewSample> live;
    v.prompts.onBox = [&] {
        if (live.empty()) live = m.Samples();
    };
    v.prompts.answers.push_back(BoxResult::Yes);
    const QString saved = v.s.root + "/SAMPLES/run.vfl";
    v.prompts.files.push_back(saved);
    m.OptRun_Click(1);
    EXPECT_TRUE(m.RunMode());  // until the end of the next tick
    ASSERT_TRUE(v.s.RunUntil([&] { return !m.RunMode(); }, 1));

    ASSERT_FALSE(v.prompts.shown.empty());
    EXPECT_EQ(v.prompts.shown[0].text, QStringLiteral("DO YOU WANT SAVE LAST DATA?"));
    EXPECT_EQ(v.prompts.shown[0].title, QStringLiteral("View"));
    EXPECT_EQ(v.prompts.shown[0].buttons, BoxButtons::YesNo);
    ASSERT_EQ(v.prompts.dialogs.size(), 1u);
    EXPECT_EQ(v.prompts.dialogs[0].filter, QStringLiteral("View Files  (*.vfl)|*.vfl|"));
    EXPECT_TRUE(v.prompts.dialogs[0].overwritePrompt);
    EXPECT_TRUE(SameFilePath(v.prompts.dialogs[0].startFolder, v.s.root + "/SAMPLES"));
    EXPECT_EQ(m.CurrentFile(), saved);
    EXPECT_EQ(m.Caption(), QStringLiteral("View 1.1 - [") + saved + "]");
    EXPECT_TRUE(m.SliderVisible());
    EXPECT_TRUE(m.FileCommandsEnabled());

    // The recording is a cleaned copy of the log and shows every sample the
    // run drew, and only those.
    const QByteArray rec = ReadBytes(saved);
    EXPECT_LT(rec.size(), QFileInfo(v.s.root + "/BIN/RxTx.TXT").size());
    EXPECT_TRUE(rec.contains("\"[K_gm]\""));
    ASSERT_GE(live.size(), 15u);
    ASSERT_EQ(m.Samples().size(), live.size());
    for (size_t i = 0; i < live.size(); ++i) ExpectSameSample(live[i], m.Samples()[i]);
    EXPECT_FALSE(m.DrawnX().empty());

    // Reopened later through "open": the same samples again.
    v.prompts.files.push_back(saved);
    m.CmdOpen_Click();
    ASSERT_EQ(m.Samples().size(), live.size());
    ExpectSameSample(live.back(), m.Samples().back());
}

TEST(ViewerLive, NotSavingShowsTheLiveLogAndCancelledDialogsChangeNothing) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    v.s.RunFor(2);
    v.prompts.answers.push_back(BoxResult::Yes);  // save, but the dialog is cancelled
    m.OptRun_Click(1);
    ASSERT_TRUE(v.s.RunUntil([&] { return !m.RunMode(); }, 1));
    EXPECT_TRUE(m.IsLiveLog(m.CurrentFile()));
    EXPECT_GE(m.Samples().size(), 10u);
    EXPECT_TRUE(QDir(v.s.root + "/SAMPLES").entryList(QDir::Files).isEmpty());
    // Back to run mode: a new sweep from an empty list.
    m.OptRun_Click(0);
    EXPECT_TRUE(m.RunMode());
    EXPECT_EQ(m.Samples().size(), 1u);
}

TEST(ViewerLive, RunIsRefusedWhileAFileIsRead) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    v.s.RunFor(2);
    v.prompts.answers.push_back(BoxResult::No);
    m.OptRun_Click(1);
    ASSERT_TRUE(v.s.RunUntil([&] { return !m.RunMode(); }, 1));
    const size_t inFile = m.Samples().size();
    ASSERT_GE(inFile, 10u);
    // Run clicked while the reload reads the live log: the reader lets the
    // window's events run between lines.
    bool clicked = false;
    v.s.ev.Post(v.s.ev.MicroSeconds(), [&] {
        ASSERT_TRUE(m.Busy());
        m.OptRun_Click(0);
        EXPECT_FALSE(m.RunMode());
        EXPECT_FALSE(m.SampleTimer().Enabled());
        clicked = true;
    });
    m.CmdReload_Click();
    ASSERT_TRUE(clicked);
    EXPECT_FALSE(m.RunMode());
    // Only the file's samples, in the file's order.
    EXPECT_EQ(m.Samples().size(), inFile);
    for (size_t i = 1; i < m.Samples().size(); ++i)
        EXPECT_GE(m.Samples()[i].SampleTimeMs, m.Samples()[i - 1].SampleTimeMs) << i;
    // Once the file is read, Run starts a sweep.
    m.OptRun_Click(0);
    EXPECT_TRUE(m.RunMode());
}

TEST(ViewerLive, SavingOntoTheCurrentFileOrTheLiveLog) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    v.s.RunFor(2);
    const QString live = v.s.root + "/BIN/RxTx.TXT";
    // Saved over the live log from the stop question: refused, nothing
    // copied or cleaned, and the link's later lines reach the log.
    QByteArray atStop;
    v.prompts.onBox = [&] {
        if (atStop.isEmpty()) atStop = ReadBytes(live);
    };
    v.prompts.answers.push_back(BoxResult::Yes);
    v.prompts.files.push_back(live);
    m.OptRun_Click(1);
    ASSERT_TRUE(v.s.RunUntil([&] { return !m.RunMode(); }, 1));
    ASSERT_EQ(v.prompts.shown.size(), 2u);
    EXPECT_TRUE(v.prompts.shown[1].text.startsWith(
        QStringLiteral("The live log cannot be saved over; choose another name:")));
    EXPECT_TRUE(m.IsLiveLog(m.CurrentFile()));
    const size_t inLog = m.Samples().size();
    EXPECT_GE(inLog, 10u);
    CommLog().WriteLogRxTx(QStringLiteral("C "), QStringLiteral("7A"));
    CommLog().WriteLogRxTx(QStringLiteral("C "), QStringLiteral("7B"));
    const QByteArray after = ReadBytes(live);
    EXPECT_TRUE(after.contains(" C 7A\"\r\n"));
    EXPECT_TRUE(after.contains(" C 7B\"\r\n"));
    // Nothing was cleaned out of it.
    ASSERT_FALSE(atStop.isEmpty());
    EXPECT_TRUE(after.startsWith(atStop));

    // With the save button: the live log refused again, while a recording
    // saved over itself is cleaned in place and stays the current file.
    const QString rec = v.s.root + "/SAMPLES/again.vfl";
    const struct {
        QString target;
        bool saved;
    } cases[] = {{live, false}, {rec, true}, {rec, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.toStdString());
        v.prompts.shown.clear();
        v.prompts.files.push_back(c.target);
        const QString before = m.CurrentFile();
        EXPECT_EQ(m.SaveViewFile(), c.saved);
        EXPECT_EQ(m.CurrentFile(), c.saved ? c.target : before);
        EXPECT_EQ(v.prompts.shown.size(), c.saved ? 0u : 1u);
    }
    m.CmdReload_Click();
    EXPECT_EQ(m.Samples().size(), inLog);
    CommLog().WriteLogRxTx(QStringLiteral("C "), QStringLiteral("7C"));
    EXPECT_TRUE(ReadBytes(live).contains(" C 7C\"\r\n"));
}

// The two temperatures: the viewer names each sensor as the main window does
// and shows the same value for the same sample; the settings file keeps its
// keys.
TEST(ViewerLive, TheTemperatureChannelsNameAndShowTheMainWindowsSensors) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    v.s.RunFor(60);  // warm: the reducer well above the gas
    const ViewSample& s = m.Samples().back();
    const Mem1Fields& image = v.s.image().Mem1Block;
    ASSERT_NE(image.GasTemp, image.ReducerTemp);
    const struct {
        int channel;
        Cap caption;
        int16_t value;
    } cases[] = {{6, Cap::LblTempGas, image.GasTemp}, {7, Cap::LblTempVap, image.ReducerTemp}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channel);
        EXPECT_EQ(m.Texts().names[static_cast<size_t>(c.channel)],
                  v.s.ctl().CaptionText(c.caption));
        EXPECT_EQ(ReadoutValue(s, c.channel, 0), c.value);
    }
    const LiveInputs in = v.s.live().CurrentInputs();
    EXPECT_EQ(in.gasTemp, image.GasTemp);
    EXPECT_EQ(in.reducerTemp, image.ReducerTemp);
    // Italian too, and the settings file's keys unchanged.
    v.s.ctl().MnuLngT_Click(1);
    ViewerModel italian(v.s.tool(), v.s.cycle());
    EXPECT_EQ(italian.Texts().names[6], v.s.ctl().CaptionText(Cap::LblTempGas));
    EXPECT_EQ(italian.Texts().names[7], v.s.ctl().CaptionText(Cap::LblTempVap));
    m.CmdReset_Click();  // the settings file is written
    const QByteArray settings = ReadBytes(v.s.root + "/LNG/OsciConfig.ini");
    EXPECT_TRUE(settings.contains("[Temp Inj]"));
    EXPECT_TRUE(settings.contains("[Temp Gas]"));
    v.s.ctl().MnuLngT_Click(0);
}

// A car running on gas: the viewer's gas-time channel, the main window's
// gas time and the injector page's gas column show gas on every injector the
// ECU drives, and the same number for the same block 1.
TEST(ViewerLive, OnGasTheGasChannelTheMainWindowAndTheInjectorPageAgree) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    const ParamImage& image = v.s.image();
    v.s.RunFor(30);  // past the switchover delay
    // The window's polling is not running here: blocks 2, 3 and 1 read now.
    DirectRequests direct(v.s.tool());
    for (int block : {2, 3, 1}) ASSERT_TRUE(direct.ReadBlock(block)) << block;
    ASSERT_EQ(image.Mem2Block.Mem2Byte1, 3);
    ASSERT_FALSE(m.Samples().empty());
    const ViewSample& recorded = m.Samples().back();
    InjectorPageModel page(v.s.tool(), v.s.cycle());
    const ViewSample now = SampleFromLive(image.Mem1Block, image, image.RpmConstant);
    const LiveInputs in = v.s.live().CurrentInputs();
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(ReadoutValue(recorded, 0, i), 1.0);
        const double viewer = ReadoutValue(now, 0, i);
        EXPECT_GT(viewer, 1.0);
        EXPECT_DOUBLE_EQ(viewer, in.gasInjTimes[static_cast<size_t>(i)]);
        EXPECT_EQ(page.GasText(i), LiveDisplay::InjTime2(viewer));
    }
}

TEST(ViewerLive, WithoutAnEcuTheViewerStillStopsAndCloses) {
    LiveViewer v;
    v.Open();
    ViewerModel& m = *v.model;
    v.s.RunFor(1);
    // The cable is pulled: the link gives the request up after its resends,
    // then keeps trying to reopen the port.
    v.s.ecu->Vanish(600e6, v.s.ev.MicroSeconds());
    ASSERT_TRUE(v.s.RunUntil([&] { return v.s.comm().WDogPresente(); }, 120));
    v.s.RunFor(0.5);
    EXPECT_TRUE(m.LoadingVisible());
    EXPECT_EQ(m.LoadingText(), QStringLiteral("WAITING FOR THE ECU"));
    const size_t before = m.Samples().size();
    m.OptRun_Click(1);
    ASSERT_TRUE(v.s.RunUntil([&] { return !m.RunMode(); }, 1));
    EXPECT_GE(m.Samples().size(), before);

    // Closing while running: the next tick stops and closes.
    m.OptRun_Click(0);
    ASSERT_TRUE(m.RunMode());
    bool closed = false;
    QObject::connect(v.model.get(), &ViewerModel::closeNow, [&] { closed = true; });
    EXPECT_FALSE(m.Form_QueryUnload());
    EXPECT_TRUE(m.CloseRequested());
    ASSERT_TRUE(v.s.RunUntil([&] { return closed; }, 1));
    EXPECT_FALSE(m.RunMode());
    EXPECT_FALSE(m.SampleTimer().Enabled());
}

TEST(ViewerLive, TheFuelSwitchPictureAsksTheMainWindowsSwitch) {
    LiveViewer v;
    v.Open();
    v.s.RunFor(0.5);
    ASSERT_EQ(v.s.image().Mem1Block.KeyOn, 1);
    EXPECT_FALSE(v.s.cycle().FuelChangeRequested());
    v.model->PctCommutatore_Click();
    v.s.RunFor(0.2);
    EXPECT_TRUE(v.s.cycle().FuelChangeRequested());
}

TEST(ViewerLive, LinesTheLinkWritesWhileTheViewerReadsTheLiveLogReachTheLog) {
    OfflineViewer v;
    ViewerModel& m = *v.model;
    ASSERT_TRUE(m.IsLiveLog(m.CurrentFile()));
    const QString answer = Mem1AnswerHex(LiveRaw{});
    for (int i = 0; i < 1500; ++i) {
        CommLog().WriteLogRxTx(QStringLiteral("T "), BytesToHex(BuildRequest(CMD_READ_MEM1)));
        CommLog().WriteLogRxTx(QStringLiteral("R "), answer);
        v.ev.RunFor(40000);
    }
    // While the viewer reads, the link goes on writing (when the reader lets
    // the window's events run).
    bool wrote = false;
    v.ev.Post(v.ev.MicroSeconds(), [&] {
        EXPECT_TRUE(v.log->IsClosedForReader());
        for (int i = 0; i < 5; ++i)
            CommLog().WriteLogRxTx(QStringLiteral("C "), QStringLiteral("7%1").arg(i));
        wrote = true;
    });
    m.CmdReload_Click();
    ASSERT_TRUE(wrote);
    EXPECT_EQ(m.Samples().size(), 1500u);
    EXPECT_FALSE(v.log->IsClosedForReader());
    const QByteArray after = ReadBytes(v.log->LogPath());
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(after.contains(" C 7" + QByteArray::number(i) + "\"\r\n")) << i;
    EXPECT_EQ(v.log->DroppedLines(), 0u);
    // The log goes on as before.
    CommLog().WriteLogRxTx(QStringLiteral("R "), answer);
    m.CmdReload_Click();
    EXPECT_EQ(m.Samples().size(), 1501u);
}

TEST(ViewerLive, AViewerOpenedOfflineStartsInStopModeWithRunAndStopDisabled) {
    OfflineViewer v;
    EXPECT_FALSE(v.model->RunMode());
    EXPECT_FALSE(v.model->RunStopEnabled());
    v.model->OptRun_Click(0);
    EXPECT_FALSE(v.model->RunMode());
    EXPECT_FALSE(v.model->SampleTimer().Enabled());
    EXPECT_TRUE(v.model->FileCommandsEnabled());
    EXPECT_TRUE(v.model->Form_QueryUnload());
}

// --- The window --------------------------------------------------------------------------------

TEST(ViewerWindow, OpensFromTheMainWindowDrawsLiveAndShowsItsHiddenFrame) {
    LiveViewer v;
    v.s.ecu->SetTargetRpm(2800);
    v.s.ctl().CmdView_Click();
    FrmView* w = nullptr;
    for (QWidget* t : QApplication::topLevelWidgets())
        if (t->objectName() == QLatin1String("FrmView")) w = qobject_cast<FrmView*>(t);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("View 1.1 - [- - -]"));
    v.s.RunFor(3);
    QApplication::processEvents();

    // The trace is on the picture in the channels' colours.
    const QImage& img = w->Picture()->Trace();
    ASSERT_FALSE(img.isNull());
    const auto has = [&img](const QColor& c) {
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (img.pixelColor(x, y) == c) return true;
        return false;
    };
    EXPECT_TRUE(has(SignalPicture::ToQColor(ChannelDef(5).colour)));
    EXPECT_TRUE(has(SignalPicture::ToQColor(ChannelDef(1).colour)));
    EXPECT_FALSE(w->findChild<QSlider*>("SldSample")->isVisible());
    EXPECT_FALSE(w->findChild<QPushButton*>("CmdOpen")->isEnabled());

    // Ctrl+Shift+Alt+S shows the "Setting" frame; its Esc hides it.
    auto* frame = w->findChild<QFrame*>("FraSetting");
    ASSERT_NE(frame, nullptr);
    EXPECT_FALSE(frame->isVisible());
    QKeyEvent key(QEvent::KeyRelease, Qt::Key_S,
                  Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    QApplication::sendEvent(w, &key);
    EXPECT_TRUE(frame->isVisible());
    w->findChild<QCheckBox*>("ChkSignal3")->click();
    EXPECT_FALSE(w->Model().Ticked(3));
    w->findChild<QPushButton*>("CmdEscSet")->click();
    EXPECT_FALSE(frame->isVisible());

    // Closing while running: the window stops first (no save), then goes.
    QPointer<FrmView> alive(w);
    w->close();
    EXPECT_TRUE(alive);
    ASSERT_TRUE(v.s.RunUntil(
        [&] {
            QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return !alive;
        },
        2));
}

// The viewer's dialogs come up over the viewer, and a name typed without an
// extension gets the filter's.
TEST(ViewerWindow, DialogsComeUpOverTheViewerAndNamesGetTheFiltersExtension) {
    EXPECT_EQ(FilterSuffix(QString::fromLatin1(kSaveFilter)), "vfl");
    EXPECT_EQ(FilterSuffix(QStringLiteral("Mod Files (*.var)|*.var|")), "var");
    EXPECT_EQ(FilterSuffix(QStringLiteral("Map Files (*.map)|*.map|")), "map");
    EXPECT_EQ(FilterSuffix(QStringLiteral("All|*|")), "");

    OfflineViewer v;
    QWidget mainWindow;
    QtPrompts qt(&mainWindow);  // the process's prompts, over the main window
    ScopedPrompts scope(qt);
    FrmView w(*v.session, *v.cycle);
    w.show();
    // Whatever dialog comes up: where it is, then "gui1" typed and saved.
    QWidget* dialogParent = nullptr;
    QString dialogKind;
    const auto answerNextDialog = [&] {
        QTimer::singleShot(0, [&] {
            QWidget* d = QApplication::activeModalWidget();
            if (!d) return;
            dialogParent = d->parentWidget();
            dialogKind = QString::fromLatin1(d->metaObject()->className());
            if (auto* f = qobject_cast<QFileDialog*>(d)) {
                f->selectFile(QStringLiteral("gui1"));
                QMetaObject::invokeMethod(f, "accept");
            } else {
                d->close();
            }
        });
    };
    answerNextDialog();
    ASSERT_TRUE(w.Model().SaveViewFile());
    EXPECT_EQ(dialogKind, "QFileDialog");
    EXPECT_EQ(dialogParent, &w);
    EXPECT_TRUE(w.Model().CurrentFile().endsWith("/gui1.vfl"))
        << w.Model().CurrentFile().toStdString();
    EXPECT_TRUE(QFileInfo::exists(w.Model().CurrentFile()));
    // A message box of the viewer too ("NO CHECK!").
    dialogParent = nullptr;
    answerNextDialog();
    for (int c = 0; c < kViewChannels; ++c) w.Model().ChkSignal_Click(c, false);
    EXPECT_EQ(dialogKind, "QMessageBox");
    EXPECT_EQ(dialogParent, &w);
}

TEST(ViewerWindow, TheSystemsFileFiltersReachTheQtDialogInItsForm) {
    EXPECT_EQ(QtFileFilter(QString::fromLatin1(kViewFilter)),
              QStringLiteral("View Files  (*.vfl);;Text Files  (*.txt)"));
    EXPECT_EQ(QtFileFilter(QStringLiteral("Mod Files (*.var)|*.var|")),
              QStringLiteral("Mod Files (*.var)"));
    EXPECT_EQ(QtFileFilter(QStringLiteral("Logs|*.txt;*.log|")),
              QStringLiteral("Logs (*.txt *.log)"));
    EXPECT_EQ(QtFileFilter(QStringLiteral("Images (*.png)")), QStringLiteral("Images (*.png)"));
}
