#include "SoakRun.h"

#include <unistd.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "SoakLedger.h"
#include "common/EventService.h"
#include "common/InstallTree.h"
#include "common/Prompts.h"
#include "data/core/ParamFile.h"
#include "data/core/ParamImage.h"
#include "link/core/ClsComm.h"
#include "link/firmware/FlashImage.h"
#include "mainwindow/controller/MainSession.h"
#include "sim/core/SimEcu.h"
#include "sim/core/SimPort.h"

#if defined(__SANITIZE_ADDRESS__)
#define GASCAL_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GASCAL_SOAK_ASAN 1
#endif
#endif
#ifdef GASCAL_SOAK_ASAN
// The sanitizer runtime's count of live heap bytes (its header is not
// shipped with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace gascal::soak {

namespace {

// --- Faults and the fitter's pace ------------------------------------------------------

constexpr double kCorruptChance = 0.01;
constexpr double kLoseChance = 0.01;
constexpr double kStatus254Chance = 0.004;
constexpr double kStatus255Chance = 0.004;
constexpr double kCollisionChance = 0.004;
// Virtual seconds between events: drawn evenly between the two bounds.
constexpr double kVanishEvery[2] = {120, 300};
constexpr double kVanishFor[2] = {1, 6};
constexpr double kResetEvery[2] = {300, 900};
constexpr double kSettingEvery[2] = {5, 30};
constexpr double kTableEvery[2] = {15, 60};
constexpr double kLoadEvery[2] = {240, 600};
constexpr double kStep[2] = {0.2, 0.8};  // the fitter looks again after this long
// Without a single exchange for this long the link is stuck.
constexpr double kStuckSeconds = 120;
// Time the link gets to settle at the end, and to finish what it was doing.
constexpr double kSettleSeconds = 600;
constexpr double kQuietAfterSettle = 30;
// Live heap allowed to be above the figure taken after the warm-up.
constexpr double kHeapGrowthAllowed = 256 * 1024;

// --- Memory --------------------------------------------------------------------------------

uint64_t HeapInUse() {
#ifdef GASCAL_SOAK_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

const char* HeapMeter() {
#ifdef GASCAL_SOAK_ASAN
    return "AddressSanitizer's allocated bytes";
#else
    return "glibc mallinfo2 uordblks";
#endif
}

uint64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t PeakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) != 0) continue;
        std::istringstream in(line.substr(6));
        uint64_t kb = 0;
        in >> kb;
        return kb * 1024;
    }
    return 0;
}

// --- The session -----------------------------------------------------------------------

QString ShippedFirmwareIdentity() {
    FlashTable table;
    FlashImage image;
    QString identity;
    ReadFirmwareFileIdentity(
        table, image, QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN/Flash.ini"),
        QStringLiteral(GASCAL_SOURCE_DIR "/installdata/BIN/TeluroInj468.frh"), identity);
    return identity;
}

// A car idling warm, with the firmware of the shipped file: the tool takes
// it as it is, without offering an upgrade.
sim::SimOptions Car(uint64_t seed) {
    sim::SimOptions o;
    const QString identity = ShippedFirmwareIdentity();
    o.firmwareVersion = identity.left(4);
    o.firmwareDate = identity.mid(4, 8);
    o.key = true;
    o.engineRunning = true;
    o.warm = true;
    o.seed = seed;
    return o;
}

// A fresh installation folder with the shipped data files and no port
// settings (the first start searches and finds the simulator on the USB
// slot), scripted prompts and the tool's start-up.
struct Session {
    explicit Session(uint64_t seed) : scopeEvents(ev), scopePrompts(prompts) {
        root = dir.path();
        SyncUserTree(QStringLiteral(GASCAL_SOURCE_DIR "/installdata"), root, nullptr, nullptr);
        ecu = std::make_shared<sim::SimEcu>(Car(seed));
        provider = std::make_unique<sim::SimUsbProvider>(ecu);
        session = std::make_unique<MainSession>(root, provider.get());
    }

    PollingCycle& cycle() { return session->Cycle(); }
    RequestScheduler& sched() { return session->Cycle().Scheduler(); }
    SettingsModel& settings() { return session->Settings(); }
    EcuSession& tool() { return session->Ecu(); }
    ParamImage& image() { return session->Ecu().Image(); }
    ClsComm& comm() { return session->Ecu().Comm(); }
    bool RunUntil(const std::function<bool()>& pred, double seconds) {
        return ev.RunUntil(pred, seconds * 1e6);
    }
    void RunFor(double seconds) { ev.RunFor(seconds * 1e6); }
    double Now() { return ev.MicroSeconds() / 1e6; }
    uint64_t Exchanges() const {
        const sim::SimCounters& c = ecu->Counters();
        return c.requests + c.checksumErrors + c.injectedDeaf;
    }
    // Nothing the fitter asked for is still on its way: no edit pending, no
    // write delay running, no write posted, no file waiting to be loaded.
    bool Quiet() {
        const WriteDelays& d = sched().Delays();
        return d.DelayWriteMem2 < 1 && d.DelayWriteMem3 < 1 && d.DelayWriteMem5 < 1 &&
               d.DelayWriteCor < 1 && !sched().Pending(Request::WriteMem2) &&
               !sched().Pending(Request::WriteMem3) && !sched().Pending(Request::WriteMem5) &&
               image().PendingEdits == ParamImage::SentinelEdits() &&
               cycle().ConfigFileToLoad().isEmpty() && !cycle().LoadingConfig() &&
               !tool().Model().Held();
    }
    bool Settled() { return cycle().Online() && comm().ComState() == ComState::Idle && Quiet(); }

    QTemporaryDir dir;
    QString root;
    VirtualEventService ev;
    ScopedEvents scopeEvents;
    ScriptedPrompts prompts;
    ScopedPrompts scopePrompts;
    std::shared_ptr<sim::SimEcu> ecu;
    std::unique_ptr<sim::SimUsbProvider> provider;
    std::unique_ptr<MainSession> session;
};

// --- What the fitter asks for, as the ECU is to hold it -----------------------------------
// The settings are turned into bytes in the ECU's own units, not through the
// tool's encoders, so a change that arrives scaled wrongly shows up.

uint8_t Byte(double v) {
    return static_cast<uint8_t>(std::clamp<long>(std::lround(v), 0, 255));
}

void AskU16(SoakLedger& ledger, Region r, size_t offset, double v) {
    uint8_t b[2];
    sim::PutU16(b, static_cast<uint16_t>(std::clamp<long>(std::lround(v), 0, 0xFFFF)));
    ledger.Ask({r, offset}, b[0]);
    ledger.Ask({r, offset + 1}, b[1]);
}

// The switchover settings the soak changes, wherever an edit of them is
// pending (a change of one setting may carry another, as the switchover
// temperature carries its delay).
void AskPendingSettings(SoakLedger& ledger, const PendingEditsRecord& p) {
    const Mem3Fields& m3 = p.Mem3Block;
    const Mem5Fields& m5 = p.Mem5Block;
    if (m3.SwitchTempRaw != kPendingReal)
        AskU16(ledger, Region::Mem3, sim::mem3::SwitchTemp, m3.SwitchTempRaw);
    if (m3.SwitchDelay != kPendingReal)
        AskU16(ledger, Region::Mem3, sim::mem3::SwitchDelay,
               m3.SwitchDelay / sim::kTimerSecPerCount);
    if (m3.SwitchPressRaw != kPendingReal)
        AskU16(ledger, Region::Mem3, sim::mem3::SwitchPress, m3.SwitchPressRaw);
    if (m3.SwitchPressDelay != kPendingReal)
        AskU16(ledger, Region::Mem3, sim::mem3::SwitchPressDelay,
               m3.SwitchPressDelay / sim::kTimerSecPerCount);
    if (m3.ForceTime != kPendingReal)
        AskU16(ledger, Region::Mem3, sim::mem3::ForceTime, m3.ForceTime / sim::kTimerSecPerCount);
    if (m3.FuelType != kPendingByte) ledger.Ask({Region::Mem3, sim::mem3::FuelType}, m3.FuelType);
    if (m3.LambdaTypeCode != kPendingInt)
        ledger.Ask({Region::Mem3, sim::mem3::LambdaTypeCode}, Byte(m3.LambdaTypeCode));
    if (m5.SwitchSequence != kPendingByte)
        ledger.Ask({Region::Mem5, sim::mem5::SwitchSequence}, m5.SwitchSequence);
    if (m5.ShowRpmHigh != kPendingInt)
        AskU16(ledger, Region::Mem5, sim::mem5::ShowRpmHigh, m5.ShowRpmHigh);
    if (m5.ShowRpmLow != kPendingInt)
        AskU16(ledger, Region::Mem5, sim::mem5::ShowRpmLow, m5.ShowRpmLow);
}

// The correction table as the tool sends it for `image`'s CorTable.
std::vector<uint8_t> TableBytes(const ParamImage& image) {
    std::vector<uint8_t> out;
    for (int start = 0; start < kCorTableSize; start += kCorChunkCount) {
        const std::vector<uint8_t> chunk = image.BuildCorChunk(start);
        out.insert(out.end(), chunk.begin() + 2, chunk.end());  // after start and count
    }
    return out;
}

// A copy of the session's image that no longer reports to the window.
ParamImage Scratch(Session& s) {
    ParamImage copy = s.image();
    copy.SetHost(nullptr);
    return copy;
}

template <typename T>
T Draw(std::mt19937_64& rng, T lo, T hi) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::uniform_real_distribution<T>(lo, hi)(rng);
    } else {
        return std::uniform_int_distribution<T>(lo, hi)(rng);
    }
}
double Every(std::mt19937_64& rng, const double (&range)[2]) {
    return Draw(rng, range[0], range[1]);
}

int PickIndex(std::mt19937_64& rng, size_t size) {
    return size == 0 ? -1 : Draw<int>(rng, 0, static_cast<int>(size) - 1);
}

// One change on the Configuration tab, as the fitter picks it from a list.
void ChangeASetting(Session& s, SoakLedger& ledger, std::mt19937_64& rng) {
    SettingsModel& m = s.settings();
    const SwitchLists& l = m.Lists();
    switch (Draw(rng, 0, 8)) {
        case 0:
            m.CmbSwtchTemp_Click(PickIndex(rng, l.temp.size()));
            break;
        case 1:
            m.CmbSwtchDelay_Click(PickIndex(rng, m.DelayList().size()));
            break;
        case 2:
            m.CmbSwtchBar_Click(PickIndex(rng, l.bar.size()));
            break;
        case 3:
            m.CmbSwtchDelayPress_Click(PickIndex(rng, l.delayPress.size()));
            break;
        case 4:
            m.CmbSwtchForce_Click(PickIndex(rng, l.force.size()));
            break;
        case 5:
            m.OptTypFuel_Click(Draw(rng, 0, 1));
            break;
        case 6:
            m.CmbSwtchLambdaType_Click(PickIndex(rng, l.lambda.size()));
            break;
        case 7:
            m.CmbSwtchSeq_Click(PickIndex(rng, l.seq.size()));
            break;
        default: {
            // The acquisition window's handler waits a moment after storing
            // the edit, and a block-5 write already due may carry it then:
            // it is asked for before the click.
            const int i = PickIndex(rng, l.shoRpmPairs.size());
            if (i >= 0) {
                const auto [lo, hi] = l.shoRpmPairs[static_cast<size_t>(i)];
                AskU16(ledger, Region::Mem5, sim::mem5::ShowRpmLow, lo);
                AskU16(ledger, Region::Mem5, sim::mem5::ShowRpmHigh, hi);
            }
            m.CmbShoRpm_Click(i);
            break;
        }
    }
}

// One move of the correction line on the Modeling tab.
void MoveTheLine(Session& s, std::mt19937_64& rng) {
    static constexpr EditButton kButtons[] = {
        EditButton::Up,     EditButton::Down,     EditButton::Left,     EditButton::Right,
        EditButton::AlfaUp, EditButton::AlfaDown, EditButton::OffsetUp, EditButton::OffsetDown};
    ModelEditor& e = s.tool().Model();
    const EditButton b = kButtons[Draw(rng, 0, 7)];
    if (!IsLineButton(b)) e.SelectPoint(Draw(rng, 1, 5));
    e.Hold(b, Draw(rng, 1, 4));
}

// Two parameter files of this car that differ from it and from each other:
// switchover speed, end of the acquisition window, vacuum acquisition and
// the correction line.
QString WriteParamFile(Session& s, int which) {
    ParamImage file = Scratch(s);
    file.Mem3Block.SwitchRpm = which == 0 ? 1800 : 2200;
    file.Mem5Block.ShowRpmHigh = which == 0 ? 3000 : 2900;
    file.Mem2Block.VacuumAcqEnable = which == 0 ? 1 : 0;
    ModelEditor line;
    CorTableArray table = file.CorTable;
    line.RebuildFromTable(table);
    line.Hold(which == 0 ? EditButton::OffsetUp : EditButton::AlfaUp, which == 0 ? 6 : 3);
    line.BuildTable(file.CorTable);
    const QString path = s.root + (which == 0 ? "/soak-a.var" : "/soak-b.var");
    SaveParamFile(path, file, s.tool().EcuVersion(), QStringLiteral("soak"));
    return path;
}

// What the ECU is to hold once the file is loaded: the file read into a
// copy of the image, as the tool builds the blocks and the table from it.
void AskLoadedFile(Session& s, SoakLedger& ledger, const QString& path) {
    ParamImage file = Scratch(s);
    LoadParamFile(path, file, nullptr, s.tool().LoadOptions());
    ledger.AskBlock(Region::Mem2, file.BuildPayload(2));
    ledger.AskBlock(Region::Mem3, file.BuildPayload(3));
    ledger.AskBlock(Region::Mem5, file.BuildPayload(5));
    ledger.AskBlock(Region::Table, TableBytes(file));
}

}  // namespace

SoakFigures RunSoak(const SoakOptions& options) {
    SoakFigures f;
    f.heapMeter = HeapMeter();
    QElapsedTimer clock;
    clock.start();
    std::mt19937_64 rng(options.seed);

    Session s(options.seed);
    SoakLedger ledger(s.ecu->Working());
    const uint8_t workModeAtStart = s.ecu->Working().mem2[sim::mem2::WorkMode];
    s.ecu->SetWriteObserver([&](uint8_t, const sim::ConfigImage& before,
                                const sim::ConfigImage& after) { ledger.Written(before, after); });
    s.cycle().OnConfigLoaded([&](const QString&, const ConfigLoad::Result& r) {
        if (r.ok)
            ++f.loadsDone;
        else
            ++f.loadAttemptsFailed;
    });

    s.session->LoadAndStart();
    if (!s.RunUntil([&] { return s.cycle().Online() && !s.cycle().FirstRefreshPending(); }, 60)) {
        f.failures << QStringLiteral("the tool did not come online at the start");
        return f;
    }
    const QString files[2] = {WriteParamFile(s, 0), WriteParamFile(s, 1)};
    const int refreshesAtStart = s.cycle().FirstRefreshCount();

    sim::FailureSettings faults;
    faults.corrupt = kCorruptChance;
    faults.lose = kLoseChance;
    faults.status254 = kStatus254Chance;
    faults.status255 = kStatus255Chance;
    faults.collision = kCollisionChance;
    s.ecu->Failures() = faults;

    double t = s.Now();
    double nextVanish = t + Every(rng, kVanishEvery), nextReset = t + Every(rng, kResetEvery);
    double nextSetting = t + Every(rng, kSettingEvery), nextTable = t + Every(rng, kTableEvery);
    double nextLoad = t + Every(rng, kLoadEvery);
    uint64_t lastExchanges = s.Exchanges();
    double lastExchangeAt = t;
    bool warm = false;
    int fileNext = 0;
    uint64_t nextProgress = options.exchanges / 10;

    while (s.Exchanges() < options.exchanges) {
        s.RunFor(Every(rng, kStep));
        t = s.Now();
        const uint64_t ex = s.Exchanges();
        if (ex != lastExchanges) {
            lastExchanges = ex;
            lastExchangeAt = t;
        } else if (t - lastExchangeAt > kStuckSeconds) {
            f.failures << QStringLiteral("link stuck: no exchange for %1 s (ComState %2)")
                              .arg(kStuckSeconds)
                              .arg(ComStateNumber(s.comm().ComState()));
            break;
        }
        if (!warm && ex >= options.exchanges / 10) {
            warm = true;
            f.heapWarm = HeapInUse();
            f.rssWarm = ResidentBytes();
        }
        if (options.progress && ex >= nextProgress) {
            std::fprintf(stderr, "soak: %llu exchanges, %.0f s virtual\n",
                         static_cast<unsigned long long>(ex), t);
            nextProgress += options.exchanges / 10;
        }
        f.boxesShown += s.prompts.shown.size();
        s.prompts.shown.clear();
        s.prompts.dialogs.clear();

        if (t >= nextVanish) {
            s.ecu->Vanish(Every(rng, kVanishFor) * 1e6, s.ev.MicroSeconds());
            ++f.vanish;
            nextVanish = t + Every(rng, kVanishEvery);
        }
        if (t >= nextReset) {
            s.ecu->Reset(s.ev.MicroSeconds());
            ledger.EcuReset(s.ecu->Working());
            ++f.reset;
            nextReset = t + Every(rng, kResetEvery);
        }
        // A file is loaded once what was asked before has gone out; nothing
        // is changed by hand while it loads.
        if (t >= nextLoad && s.Quiet()) {
            AskLoadedFile(s, ledger, files[fileNext]);
            s.cycle().LoadConfigFileLater(files[fileNext]);
            fileNext = 1 - fileNext;
            ++f.loadsAsked;
            nextLoad = t + Every(rng, kLoadEvery);
            continue;
        }
        if (!s.cycle().ConfigFileToLoad().isEmpty() || s.cycle().LoadingConfig()) continue;
        if (t >= nextSetting) {
            ChangeASetting(s, ledger, rng);
            AskPendingSettings(ledger, s.image().PendingEdits);
            ++f.settingEdits;
            nextSetting = t + Every(rng, kSettingEvery);
        }
        if (t >= nextTable) {
            MoveTheLine(s, rng);
            ParamImage sent = Scratch(s);
            s.tool().Model().BuildTable(sent.CorTable);
            ledger.AskBlock(Region::Table, TableBytes(sent));
            ++f.tableMoves;
            nextTable = t + Every(rng, kTableEvery);
        }
    }

    // Faults off: the link is to settle and finish what it was asked.
    s.ecu->Failures() = sim::FailureSettings{};
    if (!s.RunUntil([&] { return s.Settled(); }, kSettleSeconds))
        f.failures << QStringLiteral("the link did not settle within %1 s after the faults stopped")
                          .arg(kSettleSeconds);
    s.RunFor(kQuietAfterSettle);
    s.RunUntil([&] { return s.comm().ComState() == ComState::Idle; }, 5);

    const sim::SimCounters& c = s.ecu->Counters();
    f.exchanges = s.Exchanges();
    f.virtualSeconds = s.Now();
    f.corrupt = c.injectedCorrupt;
    f.lose = c.injectedLose;
    f.status254 = c.injected254;
    f.status255 = c.injected255;
    f.collision = c.injectedCollision;
    f.bytesAsked = ledger.Asks();
    f.lostToResets = ledger.LostToResets();
    f.comState = ComStateNumber(s.comm().ComState());
    f.online = s.cycle().Online();
    f.linkResets =
        static_cast<uint64_t>(std::max(0, s.cycle().FirstRefreshCount() - refreshesAtStart));
    f.boxesShown += s.prompts.shown.size();

    const std::vector<LedgerFault> lost = ledger.Compare(s.ecu->Working());
    f.editsLost = lost.size();
    f.wrongWrites = ledger.WrongWrites();
    for (size_t i = 0; i < lost.size() && i < SoakLedger::kKeptFaults; ++i)
        f.failures << QStringLiteral("edit lost, %1").arg(lost[i].Text());
    for (const LedgerFault& w : ledger.WrongWriteSamples())
        f.failures << QStringLiteral("wrong write, %1").arg(w.Text());
    if (f.wrongWrites > ledger.WrongWriteSamples().size())
        f.failures << QStringLiteral("... %1 wrong writes in all").arg(f.wrongWrites);
    if (f.comState != ComStateNumber(ComState::Idle))
        f.failures << QStringLiteral("the link ended in ComState %1").arg(f.comState);
    if (!f.online) f.failures << QStringLiteral("the tool ended offline");
    if (s.ecu->Working().mem2[sim::mem2::WorkMode] != workModeAtStart)
        f.failures << QStringLiteral("the car did not get back to the fuel it ran on");
    if (f.exchanges < options.exchanges)
        f.failures
            << QStringLiteral("only %1 exchanges of %2").arg(f.exchanges).arg(options.exchanges);
    if (f.loadsDone < f.loadsAsked)
        f.failures << QStringLiteral("%1 of %2 file loads done").arg(f.loadsDone).arg(f.loadsAsked);

    f.heapEnd = HeapInUse();
    f.rssEnd = ResidentBytes();
    f.peakRss = PeakResidentBytes();
    if (warm &&
        static_cast<double>(f.heapEnd) > static_cast<double>(f.heapWarm) + kHeapGrowthAllowed)
        f.failures
            << QStringLiteral("heap grew from %1 to %2 bytes").arg(f.heapWarm).arg(f.heapEnd);
    f.realSeconds = clock.nsecsElapsed() / 1e9;
    return f;
}

void PrintFigures(std::FILE* out, const SoakFigures& f) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    const auto mib = [](uint64_t v) { return v / (1024.0 * 1024.0); };
    std::fprintf(out, "exchanges            %llu in %.0f s virtual (%.1f min)\n", u(f.exchanges),
                 f.virtualSeconds, f.virtualSeconds / 60);
    std::fprintf(
        out,
        "faults injected      corrupted %llu, lost %llu, status 254 %llu, status 255 %llu, "
        "collisions %llu, port vanished %llu, ECU resets %llu\n",
        u(f.corrupt), u(f.lose), u(f.status254), u(f.status255), u(f.collision), u(f.vanish),
        u(f.reset));
    std::fprintf(out,
                 "edits made           %llu settings, %llu line moves, %llu file loads (%llu "
                 "attempts failed "
                 "and were retried); %llu bytes asked\n",
                 u(f.settingEdits), u(f.tableMoves), u(f.loadsAsked), u(f.loadAttemptsFailed),
                 u(f.bytesAsked));
    std::fprintf(out, "edits lost           %llu\n", u(f.editsLost));
    std::fprintf(out, "wrong writes         %llu\n", u(f.wrongWrites));
    std::fprintf(out, "lost by the ECU      %llu bytes written but not saved when it reset\n",
                 u(f.lostToResets));
    std::fprintf(out, "link                 ComState %d, %s, %llu link resets, %llu boxes shown\n",
                 f.comState, f.online ? "online" : "offline", u(f.linkResets), u(f.boxesShown));
    std::fprintf(out, "heap in use          %llu bytes after warm-up, %llu bytes at the end (%s)\n",
                 u(f.heapWarm), u(f.heapEnd), f.heapMeter);
    std::fprintf(
        out,
        "resident             %.1f MiB after warm-up, %.1f MiB at the end, peak (VmHWM) %.1f MiB\n",
        mib(f.rssWarm), mib(f.rssEnd), mib(f.peakRss));
    std::fprintf(out, "real time            %.1f s\n", f.realSeconds);
    for (const QString& line : f.failures) std::fprintf(out, "FAILED: %s\n", qPrintable(line));
    std::fprintf(out, "%s\n", f.failures.isEmpty() ? "soak passed" : "soak FAILED");
}

}  // namespace gascal::soak
