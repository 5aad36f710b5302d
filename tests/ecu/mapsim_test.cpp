// The injection map and the line model against the simulated ECU, in
// virtual time, with the session and polling cycle every front end uses:
// operating points collected on a drive on both fuels, targets that point
// where the simulator's hidden injector curve says the correction is off,
// and edits of the model that reach the ECU once, through the table's
// write delay.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include "common/EventService.h"
#include "common/Prompts.h"
#include "data/core/ParamFile.h"
#include "ecu/EcuSession.h"
#include "ecu/PollingCycle.h"
#include "link/core/CommandTable.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimEngine.h"
#include "sim/core/SimPort.h"

using namespace gascal;

namespace {

void CopyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& f : QDir(from).entryList(QDir::Files))
        if (!f.startsWith(QLatin1Char('.'))) QFile::copy(from + "/" + f, to + "/" + f);
}

// A session and its polling cycle on the simulated ECU, as the window
// starts them, in virtual time.
class MapSession {
  public:
    explicit MapSession(sim::SimOptions o = Options()) : scopeEvents(ev), scopePrompts(prompts) {
        CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN"), dir.path() + "/BIN");
        CopyFolder(QStringLiteral(GASCAL_SOURCE_DIR "/installdata/LNG"), dir.path() + "/LNG");
        ecu = std::make_shared<sim::SimEcu>(o);
        provider = std::make_unique<sim::SimUsbProvider>(ecu);
        session = std::make_unique<EcuSession>(dir.path(), provider.get());
        cycle = std::make_unique<PollingCycle>(*session);
        cycle->Scheduler().OnResult([this](Request r, bool ok) {
            if (ok && r == Request::ReadSmplBnz) ++petrolReads;
            if (ok && r == Request::ReadSmplGas) ++gasReads;
        });
        cycle->Load();
        cycle->Start();
    }
    ~MapSession() {
        session->StopLink();
        cycle->PollTimer().SetEnabled(false);
        cycle.reset();
        session.reset();
    }

    static sim::SimOptions Options() {
        sim::SimOptions o;
        o.key = o.engineRunning = o.warm = true;
        o.rpm = 2400;  // inside the ECU's acquisition window (2200..2700)
        return o;
    }
    bool GoOnline() {
        return ev.RunUntil([this] { return cycle->Online() && !cycle->FirstRefreshPending(); },
                           30e6);
    }
    void RunFor(double s) { ev.RunFor(s * 1e6); }
    bool RunUntil(const std::function<bool()>& pred, double s) {
        return ev.RunUntil(pred, s * 1e6);
    }
    uint64_t Sent(uint8_t command) const {
        const auto& m = ecu->Counters().perCommand;
        const auto it = m.find(command);
        return it == m.end() ? 0 : it->second;
    }
    // The fuel asked for through block 2, as the window's logo does.
    bool SwitchTo(bool gas) {
        image().PendingEdits.Mem2Block.WorkMode = gas ? 3 : 0;
        sched().StartWriteDelay(Block::Mem2);
        return RunUntil([&] { return ecu->OnGas() == gas; }, 30);
    }
    // Waits until a table write started by an edit has gone out.
    bool TableWritten() {
        return RunUntil([&] { return sched().Delays().DelayWriteCor == 0; }, 10);
    }
    // The ECU's table in the image's units.
    double EcuEntry(int k) const {
        const double raw = ecu->Working().TableEntry(static_cast<size_t>(k));
        if (k < kCorTimeEntries) return raw * session->Image().KInj;
        if (k < kCorThousandthsEnd) return raw / 1000;
        return raw;
    }

    ParamImage& image() { return session->Image(); }
    RequestScheduler& sched() { return cycle->Scheduler(); }
    ModelEditor& editor() { return session->Model(); }
    InjectionMap& map() { return session->Map(); }

    QTemporaryDir dir;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> provider;
    std::unique_ptr<EcuSession> session;
    std::unique_ptr<PollingCycle> cycle;
    int petrolReads = 0, gasReads = 0;
};

// A table as the factory writes it: no correction, slope 1, the nominal breakpoints.
CorTableArray FactoryTable() {
    CorTableArray t{};
    t[kCorEntryAlfa] = 1;
    const double breaks[] = {0, 30, 63, 94, 125, 157};
    for (size_t i = 0; i < 6; ++i) t[kCorEntryFirstBreak + i] = breaks[i];
    return t;
}

size_t Points(const MapPoints& p, MapFuel f) {
    return static_cast<size_t>(
        std::count_if(p.Pressure(f).begin(), p.Pressure(f).end(), [](double v) { return v > 0; }));
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The window's press-and-hold loop: the button steps until the release,
// each wait shorter by the repeat ladder. The release comes `holdS` seconds
// after the press, as an event during one of the waits.
int PressAndHold(MapSession& s, EditButton b, double holdS,
                 const std::function<void()>& eachStep = {}) {
    if (!s.editor().Press(b)) return 0;
    Events().Post(MicroSeconds() + holdS * 1e6, [&s] { s.editor().Release(); });
    RepeatLadder ladder;
    int steps = 0;
    while (s.editor().Held()) {
        s.editor().RepeatStep();
        ++steps;
        if (eachStep) eachStep();
        WaitMicroSeconds(ladder.Interval() * 1e6);
        ladder.Next();
    }
    return steps;
}

}  // namespace

// A drive at several loads on petrol and then on gas, the samples read as
// the Map tab's "Read" does, then "Compute". The simulator's car needs the
// gas time 1.12 T + 0.35 + 0.25 e^(-T/2) for petrol time T: with the
// factory table (no correction) the gas is short and every target lies
// above the model's line; with a table 1.768 ms too rich everywhere every
// target lies below it. Either way the targets sit on the true curve.
TEST(MapOnSim, ADriveOnBothFuelsGivesTargetsOnTheTrueCurve) {
    struct Case {
        const char* what;
        int offsetSteps;  // OFFSET of the model written before the drive
        bool above;
    };
    const Case cases[] = {{"factory table: too lean", 0, true},
                          {"flat 1.768 ms: too rich", 17, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MapSession s;
        ASSERT_TRUE(s.GoOnline());
        if (c.offsetSteps > 0) {
            s.editor().Hold(EditButton::OffsetUp, c.offsetSteps);
            ASSERT_TRUE(s.TableWritten());
            ASSERT_NEAR(s.EcuEntry(50), c.offsetSteps * kModelYStepMs, 1e-9);
        }
        ASSERT_TRUE(s.SwitchTo(false));
        const std::pair<double, double> drive[] = {
            {2300, 0.1}, {2450, 0.35}, {2600, 0.6}, {2350, 0.85}};
        for (const auto& [rpm, load] : drive) {
            s.ecu->SetTargetRpm(rpm);
            s.ecu->SetLoad(load);
            s.RunFor(10);
        }
        ASSERT_TRUE(s.SwitchTo(true));
        for (const auto& [rpm, load] : drive) {
            s.ecu->SetTargetRpm(rpm);
            s.ecu->SetLoad(load);
            s.RunFor(10);
        }
        // "Read": both sample sets in the next 54-tick slot.
        s.cycle->ReadMapSamples();
        ASSERT_TRUE(s.RunUntil([&] { return s.petrolReads > 0 && s.gasReads > 0; }, 5));
        const MapPoints& mapped = s.map().Mapped();
        EXPECT_GE(Points(mapped, MapFuel::Petrol), 4u);
        EXPECT_GE(Points(mapped, MapFuel::Gas), 4u);

        // "Compute" with the table the ECU works with.
        const MapStepResult r = s.cycle->ComputeMap();
        EXPECT_TRUE(r.computeEnabled);
        EXPECT_EQ(r.matches, 4);
        ASSERT_FALSE(s.map().Targets().empty());
        std::map<int, std::vector<double>> bySlot;
        for (const TargetMarker& t : s.map().Targets()) {
            const double line =
                t.petrolMs +
                s.image().CorTable[static_cast<size_t>(std::lround(t.petrolMs / kTableStepMs))];
            if (c.above)
                EXPECT_GT(t.gasMs, line + 0.4) << t.pressure;
            else
                EXPECT_LT(t.gasMs, line - 0.2) << t.pressure;
            bySlot[t.petrolSlot].push_back(t.gasMs);
        }
        // The points recorded once the car's controller had settled lie
        // on the true curve, within the map's 0.2 ms rounding.
        EXPECT_EQ(bySlot.size(), 4u);
        for (const auto& [slot, gas] : bySlot) {
            const double h = s.map().Selected().Y_TinjBnz[static_cast<size_t>(slot)];
            EXPECT_NEAR(Median(gas), sim::SimEngine::TrueGasTimeMs(h), 0.3)
                << "petrol " << h << " ms";
        }
    }
}

TEST(MapOnSim, ClearingAFuelEmptiesTheEcusStoreAndTheMap) {
    MapSession s;
    ASSERT_TRUE(s.GoOnline());
    s.RunFor(30);  // on gas after the switchover delay, points recorded
    s.sched().SetSampleDelay(1);
    ASSERT_TRUE(s.RunUntil([&] { return s.gasReads > 0; }, 5));
    ASSERT_GT(Points(s.map().Mapped(), MapFuel::Gas), 0u);
    // "Clear Gas": the ECU forgets, the map forgets; the next read finds nothing.
    s.cycle->ClearMapSamples(MapFuel::Gas);
    EXPECT_EQ(Points(s.map().Mapped(), MapFuel::Gas), 0u);
    ASSERT_TRUE(s.RunUntil([&] { return !s.sched().Pending(Request::CancSmplGas); }, 5));
    s.ecu->SetKey(false);  // nothing more to record
    const int reads = s.gasReads;
    s.cycle->ReadMapSamples();
    ASSERT_TRUE(s.RunUntil([&] { return s.gasReads > reads; }, 5));
    EXPECT_EQ(Points(s.map().Mapped(), MapFuel::Gas), 0u);
    EXPECT_EQ(s.Sent(CMD_CANC_SMPL_GAS), 1u);

    // A map file opened while connected waits for the slot's map step; with
    // the link stopped the step runs at once.
    MapPoints recorded;
    recorded.X_VacmBnz[0] = recorded.X_VacmGas[0] = 500;
    recorded.Y_TinjBnz[0] = 4.8;
    recorded.Y_TinjGas[0] = 5.6;
    const QString file = s.dir.path() + "/car.map";
    ASSERT_TRUE(WriteMapFile(file, recorded));
    int steps = 0;
    s.map().OnStepped([&](const MapStepResult&) { ++steps; });
    EXPECT_FALSE(s.cycle->OpenMapFile(s.dir.path() + "/none.map"));
    ASSERT_TRUE(s.cycle->OpenMapFile(file));
    EXPECT_EQ(steps, 0);
    EXPECT_EQ(s.map().Mapped(), recorded);
    s.session->Supervisor().OfflineChosen();
    ASSERT_TRUE(s.RunUntil([&] { return s.session->Comm().ComState() == ComState::Stopped; }, 2));
    ASSERT_TRUE(s.cycle->OpenMapFile(file));
    EXPECT_EQ(steps, 1);
    EXPECT_TRUE(s.map().ComputeEnabled());
}

TEST(MapOnSim, MovingAPointAndReleasingWritesTheTableOnce) {
    MapSession s;
    ASSERT_TRUE(s.GoOnline());
    const uint64_t before = s.Sent(CMD_WRT_TBL_COR);
    s.editor().SelectPoint(2);
    // Held for one second. The steps come at least the ladder's waits apart
    // (a wait ends later when the polling cycle's request in it is still
    // being answered), and nothing is written meanwhile.
    bool writtenWhileHeld = false;
    std::vector<double> at;
    const int steps = PressAndHold(s, EditButton::Up, 1.0, [&] {
        writtenWhileHeld |= s.Sent(CMD_WRT_TBL_COR) != before;
        at.push_back(MicroSeconds() / 1e6);
    });
    EXPECT_GE(steps, 5);
    EXPECT_LE(steps, 10);  // 0.2 + 0.167 + 0.139 + ... passes 1 s after the tenth
    RepeatLadder ladder;
    for (size_t i = 1; i < at.size(); ++i, ladder.Next())
        EXPECT_GE(at[i] - at[i - 1], ladder.Interval() - 1e-9) << i;
    EXPECT_LT(at.back() - at.front(), 1.0);
    EXPECT_FALSE(writtenWhileHeld);
    const double shift = steps * kModelYStepMs;
    EXPECT_NEAR(s.editor().Model().ModYShift[2], shift, 1e-9);
    EXPECT_EQ(s.editor().UndoSteps(), 1u);

    ASSERT_TRUE(s.TableWritten());
    s.RunFor(5);
    // One table write: its four chunks, once.
    EXPECT_EQ(s.Sent(CMD_WRT_TBL_COR) - before, 4u);
    // CorTable is the model's, and the ECU holds it (as its 16-bit numbers carry it).
    EXPECT_EQ(s.image().CorTable, s.editor().Model().Table());
    for (int k = 0; k < kCorTableSize; ++k)
        ASSERT_DOUBLE_EQ(s.EcuEntry(k),
                         s.image().CorEntryOnWire(k, s.image().CorTable[static_cast<size_t>(k)]))
            << "entry " << k;
    EXPECT_NEAR(s.EcuEntry(63), shift, 1e-9);

    // Undo sends the table back as it was.
    ASSERT_TRUE(s.editor().Undo());
    ASSERT_TRUE(s.TableWritten());
    EXPECT_EQ(s.Sent(CMD_WRT_TBL_COR) - before, 8u);
    EXPECT_EQ(s.EcuEntry(63), 0);
}

TEST(MapOnSim, TheFirstRefreshRebuildsTheModelUnlessAnEditIsHeldOrWaiting) {
    MapSession s;
    ASSERT_TRUE(s.GoOnline());
    ModelEditor& e = s.editor();
    e.SelectPoint(3);
    e.Hold(EditButton::Up, 5);
    ASSERT_TRUE(s.TableWritten());
    ASSERT_NEAR(s.EcuEntry(94), 0.52, 1e-9);

    // The model forgets; the first refresh after a link reset takes the
    // ECU's table again.
    CorTableArray factory = FactoryTable();
    e.RebuildFromTable(factory);
    ASSERT_EQ(e.Model().ModYShift[3], 0);
    int refreshes = s.cycle->FirstRefreshCount();
    s.session->Comm().Reopen();
    ASSERT_TRUE(s.RunUntil(
        [&] { return s.cycle->FirstRefreshCount() > refreshes && s.cycle->Online(); }, 30));
    EXPECT_NEAR(e.Model().ModYShift[3], 0.52, 1e-9);
    EXPECT_NEAR(e.Model().ModX[3], 12.032, 1e-9);

    // A button held through the first refresh keeps its edit.
    e.SelectPoint(1);
    ASSERT_TRUE(e.Press(EditButton::Up));
    e.RepeatStep();
    e.RepeatStep();
    refreshes = s.cycle->FirstRefreshCount();
    s.session->Comm().Reopen();
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle->FirstRefreshCount() > refreshes; }, 30));
    EXPECT_NEAR(e.Model().ModYShift[1], 0.208, 1e-9);
    e.Release();
    ASSERT_TRUE(s.TableWritten());
    EXPECT_NEAR(s.EcuEntry(30), 0.208, 1e-9);

    // So does an edit released but not written when the link resets: the
    // table is not read over it, and it is written once the ECU is back.
    e.SelectPoint(4);
    e.Hold(EditButton::Down, 3);
    s.session->Comm().Reopen();
    refreshes = s.cycle->FirstRefreshCount();
    ASSERT_TRUE(s.RunUntil([&] { return s.cycle->FirstRefreshCount() > refreshes; }, 30));
    EXPECT_NEAR(e.Model().ModYShift[4], -0.312, 1e-9);
    ASSERT_TRUE(s.TableWritten());
    EXPECT_NEAR(s.EcuEntry(125), -0.312, 1e-9);
    EXPECT_NEAR(s.EcuEntry(30), 0.208, 1e-9);
}

TEST(MapOnSim, TheModelingTabAndAConfigurationLoadRebuildTheModel) {
    MapSession s;
    ASSERT_TRUE(s.GoOnline());
    ModelEditor& e = s.editor();
    e.Hold(EditButton::AlfaUp, 20);
    ASSERT_TRUE(s.TableWritten());

    // The Modeling tab reads the ECU's table: a model out of step follows it
    // and starts a fresh history.
    CorTableArray factory = FactoryTable();
    e.RebuildFromTable(factory);
    e.SelectPoint(2);
    e.Hold(EditButton::Up, 1);
    // ... but not while that edit still waits for its write.
    EXPECT_FALSE(s.cycle->ReadTableForModel());
    ASSERT_TRUE(s.TableWritten());
    EXPECT_TRUE(s.cycle->ReadTableForModel());
    EXPECT_NEAR(e.Model().ALFA, 1, 1e-9);  // the edit written last: slope 1, point 2 up
    EXPECT_NEAR(e.Model().ModY[2], 8.064 + 0.104, 1e-9);
    EXPECT_FALSE(e.CanUndo());

    // A configuration loaded with the link stopped: the file's table.
    LineModel fileModel;
    fileModel.SetDefaults();
    fileModel.OFFSET = 0.416;
    fileModel.ModYShift[4] = 0.208;
    fileModel.Recompute();
    ParamImage file = s.image();
    file.SetHost(nullptr);
    fileModel.ToTable(file.CorTable);
    const QString path = s.dir.path() + "/car.var";
    ASSERT_TRUE(SaveParamFile(path, file, s.session->EcuVersion(), "test"));
    s.session->Supervisor().OfflineChosen();
    ASSERT_TRUE(s.RunUntil([&] { return s.session->Comm().ComState() == ComState::Stopped; }, 2));
    EXPECT_FALSE(s.cycle->ReadTableForModel());  // nothing to read from
    s.cycle->LoadConfigFile(path);
    EXPECT_NEAR(e.Model().OFFSET, 0.416, 1e-9);
    EXPECT_NEAR(e.Model().ModY[4], 16 + 0.416 + 0.208, 1e-9);
}
