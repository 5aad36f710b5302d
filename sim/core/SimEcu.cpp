#include "sim/core/SimEcu.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace gascal::sim {

namespace {
// The level sender whose reading falls as the tank fills.
constexpr uint8_t kFallingLevelSenderCode = 2;
constexpr uint16_t kNoSensorReading = 0xFFFF;  // a pressure input with no sensor on it
constexpr double kSaveFlashUs = 250000;
constexpr double kEraseFlashUs = 600000;
constexpr double kFlashZoneUs = 3000;
constexpr double kFlashEndUs = 5000;
constexpr double kHourCounterPeriodS = 60;  // the hour counters count minutes
constexpr uint32_t kHourCounterErase = 0xFFFFFFFF;
constexpr double kSupplyLowV = 9.0;
constexpr double kSupplyHighV = 16.0;
constexpr int kNoiseByte = 0x00;
constexpr int16_t kSensorFaultTempC = -40;

// RAM addresses of a few live variables, reported by CMD_GET_ADR_VAR.
constexpr uint16_t kRamVariables[8] = {0x0100, 0x0102, 0x0104, 0x0106,
                                       0x0108, 0x010A, 0x010C, 0x010E};
}  // namespace

SimEcu::SimEcu(const SimOptions& options)
    : options_(options), failures_(options.failures), random_(options.seed) {
    const int cyl = (options.cylinders == 6 || options.cylinders == 8) ? options.cylinders : 4;
    options_.cylinders = cyl;
    working_ = saved_ = FactoryConfig(cyl);
    if (options.serial != 0) {
        PutU32(&working_.dcol[dcol::SerialNumber], options.serial);
        saved_ = working_;
    }
    const QString version =
        options.oldFirmware ? QString::fromLatin1(kOldVersion) : options.firmwareVersion;
    if (!flash_.Install(version, options.firmwareDate, options.descriptor))
        flash_.Install(QString::fromLatin1(kDefaultVersion), QString::fromLatin1(kDefaultDate),
                       QString::fromLatin1(kDefaultDescriptor));
    auto& c = engine_.Controls();
    c.cylinders = cyl;
    c.key = options.key;
    c.engineOn = options.engineRunning;
    c.targetRpm = options.rpm;
    c.load = options.load;
    c.tankLevel = std::clamp(options.tankLevel, 0.0, 1.0);
    c.lpg = working_.mem3[mem3::FuelType] != 0;
    c.curve = options.curve;
    engine_.SetWarm(options.warm);
    for (int item : options.errorItems)
        if (item >= 0 && item < static_cast<int>(kErrorItems)) forced_[item] = kErrOpenCircuit;
    Boot();
    UpdateErrors();
}

void SimEcu::Boot() {
    bootIdentity_ = flash_.Identity();
    oldFirmware_ = flash_.VersionNumber() > 0 && flash_.VersionNumber() <= kOldFirmwareMaxVersion;
    flashWriting_ = false;
    // Without a program the boot loader stays in programming mode.
    mode_ = flash_.HasFirmware() ? EcuMode::Run : EcuMode::Programming;
    onGas_ = false;
    gasDriven_.fill(false);
    lowPressS_ = 0;
    fuelSinceUs_ = engineTimeUs_;
    rx_.clear();
    petrolSamples_ = {};
    gasSamples_ = {};
    petrolNext_ = gasNext_ = 0;
}

// --- Clock -----------------------------------------------------------------------------

void SimEcu::AdvanceTo(double nowUs) {
    if (!started_) {
        started_ = true;
        now_ = engineTimeUs_ = sampleClockUs_ = fuelSinceUs_ = lastValidRequestUs_ = nowUs;
    }
    if (nowUs < now_ - kClockJumpUs) Rebase(nowUs - now_);
    const double t = std::max(nowUs, now_);
    while (!inbound_.empty() && inbound_.front().first <= t) {
        const auto [at, b] = inbound_.front();
        inbound_.pop_front();
        StepTo(at);
        HandleByte(b, at);
    }
    StepTo(t);
    now_ = t;
    if (!rx_.empty() && now_ - lastRxUs_ > kInterByteTimeoutUs) {
        // The rest of that request never came (the sender gave up): start afresh.
        ++counters_.abandonedFrames;
        counters_.bytesIgnored += rx_.size();
        rx_.clear();
    }
}

void SimEcu::Rebase(double delta) {
    // Another clock took over (a test installed a new virtual clock): carry
    // every stored time over to it so that nothing waits for the old clock.
    for (double* t : {&now_, &engineTimeUs_, &toolLineFreeUs_, &ecuLineFreeUs_, &lastRxUs_,
                      &silentUntilUs_, &vanishedUntilUs_, &fuelSinceUs_, &lastValidRequestUs_,
                      &sampleClockUs_, &petrolLastSampleUs_, &gasLastSampleUs_})
        *t += delta;
    for (auto& b : inbound_) b.first += delta;
    for (auto& b : outbound_) b.first += delta;
}

void SimEcu::StepTo(double us) {
    while (engineTimeUs_ + kEngineStepUs <= us) {
        engineTimeUs_ += kEngineStepUs;
        StepModel(kEngineStepUs / 1e6);
    }
}

// --- Line --------------------------------------------------------------------------------

void SimEcu::ToolWrite(const uint8_t* data, size_t n, double nowUs) {
    AdvanceTo(nowUs);
    for (size_t i = 0; i < n; ++i) {
        const double start = std::max(now_, toolLineFreeUs_);
        toolLineFreeUs_ = start + kByteUs;
        inbound_.emplace_back(toolLineFreeUs_, data[i]);
    }
}

size_t SimEcu::Readable(double nowUs) {
    AdvanceTo(nowUs);
    size_t n = 0;
    for (const auto& o : outbound_) {
        if (o.first > now_) break;
        ++n;
    }
    return n;
}

size_t SimEcu::TakeReadable(uint8_t* buf, size_t max, double nowUs) {
    AdvanceTo(nowUs);
    size_t n = 0;
    while (n < max && !outbound_.empty() && outbound_.front().first <= now_) {
        buf[n++] = outbound_.front().second;
        outbound_.pop_front();
    }
    return n;
}

size_t SimEcu::InFlightToEcu(double nowUs) {
    AdvanceTo(nowUs);
    return inbound_.size();
}

void SimEcu::PurgeToolInput(double nowUs) {
    AdvanceTo(nowUs);
    while (!outbound_.empty() && outbound_.front().first <= now_) outbound_.pop_front();
}

void SimEcu::PurgeToolOutput(double nowUs) {
    AdvanceTo(nowUs);
    inbound_.clear();
    toolLineFreeUs_ = now_;
}

double SimEcu::NextEventUs() const {
    double next = std::numeric_limits<double>::infinity();
    if (!outbound_.empty()) next = outbound_.front().first;
    if (!inbound_.empty()) next = std::min(next, inbound_.back().first);
    return next;
}

bool SimEcu::PortPresent(double nowUs) {
    AdvanceTo(nowUs);
    return now_ >= vanishedUntilUs_;
}

void SimEcu::Vanish(double durationUs, double nowUs) {
    AdvanceTo(nowUs);
    vanishedUntilUs_ = now_ + std::max(0.0, durationUs);
    ++portGeneration_;
    inbound_.clear();
    outbound_.clear();
    rx_.clear();
}

void SimEcu::HandleByte(uint8_t b, double at) {
    ++counters_.bytesReceived;
    if (at < silentUntilUs_ || at < vanishedUntilUs_) {
        ++counters_.bytesIgnored;
        return;
    }
    if (!rx_.empty() && at - lastRxUs_ > kInterByteTimeoutUs) {
        // The rest of that request never came (the sender gave up): start afresh.
        ++counters_.abandonedFrames;
        counters_.bytesIgnored += rx_.size();
        rx_.clear();
    }
    lastRxUs_ = at;
    switch (rx_.size()) {
        case 0:
            if (b != kRequestStart) {
                ++counters_.bytesIgnored;
                return;
            }
            rx_.push_back(b);
            if (random_.Chance(failures_.collision)) {
                // Noise on the line while the request is still going out.
                ++counters_.injectedCollision;
                const double start = std::max(at, ecuLineFreeUs_);
                ecuLineFreeUs_ = start + kByteUs;
                outbound_.emplace_back(ecuLineFreeUs_, static_cast<uint8_t>(kNoiseByte));
            }
            return;
        case 1:
            if (b != kRequestSecond) {
                ++counters_.bytesIgnored;
                rx_.clear();
                if (b == kRequestStart) {
                    rx_.push_back(b);
                } else {
                    ++counters_.bytesIgnored;
                }
                return;
            }
            rx_.push_back(b);
            return;
        case 2:
            if (b < 3) {
                // No request is that short: not a frame.
                counters_.bytesIgnored += 3;
                rx_.clear();
                return;
            }
            rx_.push_back(b);
            return;
        default:
            rx_.push_back(b);
            if (rx_.size() == static_cast<size_t>(rx_[2]) + 2) {
                const std::vector<uint8_t> frame = std::move(rx_);
                rx_.clear();
                ProcessFrame(frame, at);
            }
            return;
    }
}

void SimEcu::SendAnswer(std::vector<uint8_t> frame, double startUs, double gapAfterHalfUs) {
    double t = std::max(startUs, ecuLineFreeUs_);
    const size_t half = frame.size() / 2;
    for (size_t i = 0; i < frame.size(); ++i) {
        if (i == half) t += gapAfterHalfUs;
        t += kByteUs;
        outbound_.emplace_back(t, frame[i]);
    }
    ecuLineFreeUs_ = t;
    ++counters_.answers;
}

void SimEcu::ProcessFrame(const std::vector<uint8_t>& frame, double at) {
    const uint8_t cmd = frame[3];
    auto tell = [this, cmd](uint8_t status, const char* note) {
        if (observer_) observer_(cmd, status, note);
    };
    if (random_.Chance(failures_.deaf)) {
        // Lost on the way in: the ECU neither executes nor answers it.
        ++counters_.injectedDeaf;
        tell(kStatusDone, "request lost");
        return;
    }
    if (Checksum(frame) != 0) {
        ++counters_.checksumErrors;
        SendAnswer(BuildAnswer(cmd, kStatusChecksumError, {}), at + options_.processingUs, 0);
        tell(kStatusChecksumError, "checksum error in the request");
        return;
    }
    ++counters_.requests;
    ++counters_.perCommand[cmd];
    lastValidRequestUs_ = at;

    // Failures that stop the request before it is executed.
    if (random_.Chance(failures_.vanish)) {
        ++counters_.injectedVanish;
        Vanish(failures_.vanishMs * 1000, at);
        tell(kStatusDone, "port vanished");
        return;
    }
    if (random_.Chance(failures_.reset)) {
        ++counters_.injectedReset;
        Reset(at);
        tell(kStatusDone, "ECU reset");
        return;
    }
    if (random_.Chance(failures_.status254) || failures_.refuseCommand == cmd) {
        ++counters_.injected254;
        SendAnswer(BuildAnswer(cmd, kStatusExecError, {}), at + options_.processingUs, 0);
        tell(kStatusExecError, "injected status 254");
        return;
    }
    if (random_.Chance(failures_.status255)) {
        ++counters_.injected255;
        SendAnswer(BuildAnswer(cmd, kStatusChecksumError, {}), at + options_.processingUs, 0);
        tell(kStatusChecksumError, "injected status 255");
        return;
    }

    const std::vector<uint8_t> data(frame.begin() + 4, frame.end() - 1);
    const bool configWrite = cmd == CMD_WRT_MEM2 || cmd == CMD_WRT_MEM3 || cmd == CMD_WRT_MEM5 ||
                             cmd == CMD_WRT_TBL_COR || cmd == CMD_WRIT_DCOL;
    std::optional<ConfigImage> before;
    if (configWrite && writeObserver_) before = working_;
    Reply r = Execute(cmd, data, at);
    if (before && r.status == kStatusDone) writeObserver_(cmd, *before, working_);
    if (r.status == kStatusExecError) ++counters_.rejected;

    if (random_.Chance(failures_.lose)) {
        // Executed, but the answer is lost on the way back.
        ++counters_.injectedLose;
        if (r.reboot) silentUntilUs_ = at + r.processingUs + kFlashBootUs;
        tell(r.status, "answer lost");
        return;
    }
    std::vector<uint8_t> answer = BuildAnswer(cmd, r.status, r.data);
    const char* note = "";
    if (random_.Chance(failures_.corrupt)) {
        ++counters_.injectedCorrupt;
        const uint32_t pos = random_.Below(static_cast<uint32_t>(answer.size()));
        answer[pos] ^= static_cast<uint8_t>(1 + random_.Below(255));
        note = "answer corrupted";
    }
    double start = at + std::max(r.processingUs, options_.processingUs);
    if (random_.Chance(failures_.late)) {
        ++counters_.injectedLate;
        start += failures_.lateMs * 1000;
        note = "answer late";
    }
    double gap = 0;
    if (random_.Chance(failures_.split)) {
        ++counters_.injectedSplit;
        gap = failures_.splitGapMs * 1000;
        note = "answer split";
    }
    SendAnswer(std::move(answer), start, gap);
    if (r.reboot) silentUntilUs_ = ecuLineFreeUs_ + kFlashBootUs;
    tell(r.status, note);
}

// --- Commands -------------------------------------------------------------------------

SimEcu::Reply SimEcu::Execute(uint8_t cmd, const std::vector<uint8_t>& d, double at) {
    Reply r;
    auto reject = [&r]() {
        r.status = kStatusExecError;
        r.data.clear();
        return r;
    };
    const bool programming = mode_ == EcuMode::Programming;
    const size_t n = d.size();

    switch (cmd) {
        case CMD_GET_ECO:
            // The keep-alive echoes what it was sent.
            r.data = d;
            return r;

        case CMD_GET_ADR_VAR:
            if (n != 0) return reject();
            for (uint16_t a : kRamVariables) {
                r.data.push_back(static_cast<uint8_t>(a >> 8));
                r.data.push_back(static_cast<uint8_t>(a & 0xFF));
            }
            return r;

        case CMD_READ_MEM_ZONE: {
            if (n != 5) return reject();
            const uint32_t address = (static_cast<uint32_t>(d[0]) << 24) |
                                     (static_cast<uint32_t>(d[1]) << 16) |
                                     (static_cast<uint32_t>(d[2]) << 8) | d[3];
            ReadZone(address, d[4], r);
            return r;
        }

        case CMD_SET_ECU_SLAVE:
            if (n != 1 || programming) return reject();
            mode_ = EcuMode::Slave;
            return r;

        case CMD_SET_ECU_RUN:
            if (n != 1) return reject();
            // A half-written flash holds no program to run.
            if (programming && (flashWriting_ || !flash_.HasFirmware())) return reject();
            mode_ = EcuMode::Run;
            return r;

        case CMD_SET_ECU_PRG:
            if (n != 1) return reject();
            // Never while the engine turns: the ECU stops driving the injectors.
            if (engine_.State().phase != EnginePhase::Off || engine_.State().rpm > 0)
                return reject();
            mode_ = EcuMode::Programming;
            onGas_ = false;
            return r;

        case CMD_ERASE_FLASH:
            if (n != 1 || !programming) return reject();
            flash_.Erase();
            // The configuration lives in the same flash: it is gone as well;
            // the test data have a sector of their own.
            {
                const auto dcol = saved_.dcol;
                working_ = saved_ = FactoryConfig(options_.cylinders);
                working_.dcol = saved_.dcol = dcol;
            }
            flashWriting_ = true;
            r.processingUs = kEraseFlashUs;
            return r;

        case CMD_WRT_FLASH_ZONE: {
            if (!programming || !flashWriting_) return reject();
            if (n < 5 || n > 4 + kFlashChunkMax) return reject();
            const uint32_t address =
                (static_cast<uint32_t>(d[1]) << 16) | (static_cast<uint32_t>(d[2]) << 8) | d[3];
            if (d[0] != 0 || !Flash::Contains(address, n - 4)) return reject();
            flash_.Program(address, d.data() + 4, n - 4);
            r.processingUs = kFlashZoneUs;
            return r;
        }

        case CMD_WRT_FLASH_END:
            if (n != 0 || !programming || !flashWriting_) return reject();
            r.processingUs = kFlashEndUs;
            r.reboot = true;
            // Restart from the new image: its identity and its features from now on.
            Boot();
            return r;

        case CMD_READ_MEM1:
        case CMD_READ_MEM2:
        case CMD_READ_MEM3:
        case CMD_READ_MEM5:
        case CMD_READ_DCOL_FL:
            if (n != 0) return reject();
            if (programming && !(cmd == CMD_READ_DCOL_FL && options_.bootLoaderTestData))
                return reject();
            if (cmd == CMD_READ_MEM1) r.data = EncodeMem1();
            if (cmd == CMD_READ_MEM2) r.data = EncodeMem2();
            if (cmd == CMD_READ_MEM3) r.data.assign(working_.mem3.begin(), working_.mem3.end());
            if (cmd == CMD_READ_MEM5) {
                const size_t size = oldFirmware_ || options_.shortBlock5 ? kMem5OldSize : kMem5Size;
                r.data.assign(working_.mem5.begin(), working_.mem5.begin() + size);
            }
            if (cmd == CMD_READ_DCOL_FL) r.data.assign(working_.dcol.begin(), working_.dcol.end());
            return r;

        case CMD_WRT_MEM1:
            // Live values are measured, not set: the write is accepted and has no effect.
            if (n != kMem1Size || programming) return reject();
            return r;

        case CMD_WRT_MEM2: {
            if (n != kMem2Size || programming) return reject();
            auto& m = working_.mem2;
            m[mem2::WorkMode] = d[mem2::WorkMode];
            // Fuel in use, mode and cut-off are the ECU's own reports: not taken.
            for (size_t off : {mem2::Hours1, mem2::Hours2}) {
                uint32_t v = GetU32(&d[off]);
                if (v == kHourCounterErase) v = 0;
                PutU32(&m[off], v);
                PutU32(&saved_.mem2[off], v);
            }
            m[mem2::RpmCompEnable] = d[mem2::RpmCompEnable];
            m[mem2::VacuumAcqEnable] = d[mem2::VacuumAcqEnable];
            return r;
        }

        case CMD_WRT_MEM3:
            if (n != kMem3Size || programming) return reject();
            std::copy(d.begin(), d.end(), working_.mem3.begin());
            engine_.Controls().lpg = working_.mem3[mem3::FuelType] != 0;
            return r;

        case CMD_WRT_MEM5:
            // An older firmware has no writable block 5.
            if (n != kMem5Size || programming || oldFirmware_) return reject();
            std::copy(d.begin(), d.end(), working_.mem5.begin());
            return r;

        case CMD_READ_TBL_COR: {
            if (n != 2 || programming) return reject();
            const size_t start = d[0], count = d[1];
            if (count == 0 || count > kTableChunkMax || start + count > kTableEntries)
                return reject();
            r.data.assign(working_.table.begin() + static_cast<ptrdiff_t>(2 * start),
                          working_.table.begin() + static_cast<ptrdiff_t>(2 * (start + count)));
            return r;
        }

        case CMD_WRT_TBL_COR: {
            if (n < 2 || programming) return reject();
            const size_t start = d[0], count = d[1];
            if (count == 0 || count > kTableChunkMax || start + count > kTableEntries ||
                n != 2 + 2 * count)
                return reject();
            std::copy(d.begin() + 2, d.end(),
                      working_.table.begin() + static_cast<ptrdiff_t>(2 * start));
            return r;
        }

        case CMD_CANC_ERR:
            if (n != 0 || programming) return reject();
            stored_.fill(kErrNone);
            UpdateErrors();
            return r;

        case CMD_READ_ERR: {
            if (n != 0 || programming) return reject();
            const auto flags = ErrorFlags();
            r.data.assign(flags.begin(), flags.end());
            return r;
        }

        case CMD_SAVE_FLASH:
            if (n != 1 || programming) return reject();
            // The flash keeps which injectors are fitted, not the state of
            // the moment on gas.
            saved_ = working_;
            saved_.mem3 = working_.Mem3Config();
            ++counters_.flashSaves;
            r.processingUs = kSaveFlashUs;
            return r;

        case CMD_READ_SMPL_BNZ:
        case CMD_READ_SMPL_BNZ1:
        case CMD_READ_SMPL_GAS:
        case CMD_READ_SMPL_GAS1:
            if (n != 0 || programming) return reject();
            r.data = EncodeSamples(cmd == CMD_READ_SMPL_GAS || cmd == CMD_READ_SMPL_GAS1,
                                   cmd == CMD_READ_SMPL_BNZ1 || cmd == CMD_READ_SMPL_GAS1);
            return r;

        case CMD_CANC_SMPL_BNZ:
        case CMD_CANC_SMPL_GAS:
            if (n != 0 || programming) return reject();
            if (cmd == CMD_CANC_SMPL_GAS) {
                gasSamples_ = {};
                gasNext_ = 0;
            } else {
                petrolSamples_ = {};
                petrolNext_ = 0;
            }
            return r;

        case CMD_READ_FIRMWARE:
            // Unknown to older firmware; the boot loader reports what the flash holds.
            if (n != 0 || oldFirmware_) return reject();
            // What the booted program is, not what the flash holds while it
            // is being written: the new identity shows after the end of writing.
            r.data = bootIdentity_;
            return r;

        case CMD_WRIT_DCOL:
            if (n != kTestDataSize || programming) return reject();
            std::copy(d.begin(), d.end(), working_.dcol.begin());
            return r;

        default:
            (void)at;
            return reject();
    }
}

void SimEcu::ReadZone(uint32_t address, size_t n, Reply& r) {
    if (n == 0 || n > 251) {
        r.status = kStatusExecError;
        return;
    }
    if (Flash::Contains(address, n)) {
        r.data = flash_.Read(address, n);
        return;
    }
    if (address < kRamSize && n <= kRamSize - address) {
        RefreshRam();
        r.data.assign(ram_.begin() + address, ram_.begin() + address + n);
        return;
    }
    r.status = kStatusExecError;
}

void SimEcu::RefreshRam() {
    const auto m1 = EncodeMem1();
    PutU16(&ram_[kRamVariables[0]], GetU16(&m1[mem1::RpmPeriod]));
    PutU16(&ram_[kRamVariables[1]], GetU16(&m1[mem1::Vacuum]));
    PutU16(&ram_[kRamVariables[2]], GetU16(&m1[mem1::GasPressure]));
    PutU16(&ram_[kRamVariables[3]], GetU16(&m1[mem1::ReducerTemp]));
    PutU16(&ram_[kRamVariables[4]], GetU16(&m1[mem1::GasTemp]));
    PutU16(&ram_[kRamVariables[5]], GetU16(&m1[mem1::LambdaMv]));
    PutU16(&ram_[kRamVariables[6]], GetU16(&m1[mem1::Supply]));
    PutU16(&ram_[kRamVariables[7]], onGas_ ? 3 : 0);
    ram_[kModeByteAddress] = static_cast<uint8_t>(mode_);
}

void SimEcu::Reset(double nowUs) {
    AdvanceTo(nowUs);
    ++counters_.resets;
    working_ = saved_;
    engine_.Controls().lpg = working_.mem3[mem3::FuelType] != 0;
    // Bytes still on their way out are cut off; the line is silent while booting.
    while (!outbound_.empty() && outbound_.back().first > now_) outbound_.pop_back();
    ecuLineFreeUs_ = now_;
    silentUntilUs_ = now_ + kBootUs;
    const bool halfWritten = flashWriting_;
    Boot();
    if (halfWritten) mode_ = EcuMode::Programming;  // the boot loader keeps waiting for a program
    gasLock_ = false;
    lowGasPresent_ = false;
}

// --- Driver ---------------------------------------------------------------------------------

void SimEcu::SetKey(bool on) {
    engine_.Controls().key = on;
}
void SimEcu::SetEngineRunning(bool on) {
    engine_.Controls().engineOn = on;
}
void SimEcu::SetTargetRpm(double rpm) {
    engine_.Controls().targetRpm = std::max(0.0, rpm);
}
void SimEcu::SetLoad(double load) {
    engine_.Controls().load = std::clamp(load, 0.0, 1.0);
}
void SimEcu::SetFuelSwitch(bool gas) {
    working_.mem2[mem2::WorkMode] = gas ? 3 : 0;
}
void SimEcu::SetTankLevel(double level) {
    engine_.Controls().tankLevel = std::clamp(level, 0.0, 1.0);
}
void SimEcu::SetFault(int item, uint8_t state) {
    if (item < 0 || item >= static_cast<int>(kErrorItems)) return;
    forced_[item] = state;
    UpdateErrors();
}

// --- Engine and ECU logic -----------------------------------------------------------------

double SimEcu::GasTimeMs(int cyl, double petrolMs) const {
    if (!(petrolMs > 0)) return 0;
    if (forced_[ERR_INJECTOR_1 + cyl] == kErrOpenCircuit) return 0;  // nothing flows
    return std::max(0.0, petrolMs + working_.CorrectionMs(petrolMs) + working_.InjTrimMs(cyl));
}

std::pair<int, int> SimEcu::SampleWindow() const {
    if (oldFirmware_) return {kOldShowRpmLow, kOldShowRpmHigh};
    return {GetU16(&working_.mem5[mem5::ShowRpmLow]), GetU16(&working_.mem5[mem5::ShowRpmHigh])};
}

void SimEcu::StepModel(double dt) {
    const EngineState& es = engine_.State();
    const bool running = EngineRunning();
    const auto& cfg = working_;
    if (!engine_.Controls().key) {
        // Switching the key off clears an end-of-gas lock-out.
        gasLock_ = false;
        lowGasPresent_ = false;
    }
    if (mode_ == EcuMode::Slave && engineTimeUs_ - lastValidRequestUs_ > kSlaveTimeoutUs) {
        // Nobody is driving the fuel any more: go back to the ECU's own rules.
        mode_ = EcuMode::Run;
    }

    // Which fuel.
    const bool wasOnGas = onGas_;
    const bool gasWanted = cfg.WorkMode() == 3 && running && !gasLock_;
    bool gas = false;
    switch (mode_) {
        case EcuMode::Programming:
            gas = false;
            break;
        case EcuMode::Slave:
            gas = gasWanted;
            gasByRules_ = false;
            break;
        case EcuMode::Run:
            if (onGas_ && gasByRules_) {
                gas = gasWanted;
            } else {
                const bool delayDone = es.runTimeS >= cfg.SwitchDelaySec();
                const bool forced = cfg.ForceTimeSec() > 0 && es.runTimeS >= cfg.ForceTimeSec();
                const bool warm =
                    !SensorFault(ERR_REDUCER_TEMP_SENSOR) && es.reducerC >= cfg.SwitchTempC();
                const bool ignoreRpm = !oldFirmware_ && cfg.mem5[mem5::NotObserveRpm] != 0;
                const double switchRpm = cfg.SwitchRpm();
                const bool fastEnough = ignoreRpm || switchRpm <= 0 || es.rpm >= switchRpm;
                gas = gasWanted && delayDone && (warm || forced) && fastEnough;
                gasByRules_ = gas;
            }
            break;
    }
    if (gas != onGas_) {
        onGas_ = gas;
        fuelSinceUs_ = engineTimeUs_;
        lowPressS_ = 0;
    }

    // End of gas: pressure below the threshold for the set delay.
    if (onGas_ && !SensorFault(ERR_GAS_PRESSURE_SENSOR) &&
        es.gasPressMbar < cfg.SwitchPressMbar()) {
        lowPressS_ += dt;
        if (lowPressS_ >= cfg.SwitchPressDelaySec()) {
            onGas_ = false;
            gasLock_ = true;
            lowGasPresent_ = true;
            fuelSinceUs_ = engineTimeUs_;
        }
    } else {
        lowPressS_ = 0;
    }

    UpdateInjectorStates(onGas_ && !wasOnGas);

    EcuDrive drive;
    drive.valvesOpen =
        onGas_ && forced_[ERR_VALVE_1] == kErrNone && forced_[ERR_VALVE_2] == kErrNone;
    for (int i = 0; i < 8; ++i)
        gasDriven_[i] = onGas_ && i < engine_.Controls().cylinders && DrivenOnGas(i);
    drive.gasDriven = gasDriven_;
    drive.gasTimeMs = [this](int cyl, double tp) { return GasTimeMs(cyl, tp); };
    engine_.Step(dt, drive);

    // Hour counters (minutes on gas, minutes on petrol), kept through resets.
    if (EngineRunning()) {
        double& acc = onGas_ ? gasSeconds_ : petrolSeconds_;
        const size_t off = onGas_ ? mem2::Hours1 : mem2::Hours2;
        acc += dt;
        while (acc >= kHourCounterPeriodS) {
            acc -= kHourCounterPeriodS;
            const uint32_t v = GetU32(&working_.mem2[off]) + 1;
            PutU32(&working_.mem2[off], v);
            PutU32(&saved_.mem2[off], v);
        }
    }

    RecordSample(dt);
    UpdateErrors();
}

bool SimEcu::DrivenOnGas(int cyl) const {
    const uint8_t st = working_.InjState(cyl);
    return cyl < working_.NumCylinders() &&
           (st == inj::ToGas || st == inj::OnGas || st == inj::GasForced);
}

void SimEcu::UpdateInjectorStates(bool gasStarted) {
    const int fitted = std::clamp(working_.NumCylinders(), 0, 8);
    for (int i = 0; i < fitted; ++i) {
        const uint8_t st = working_.InjState(i);
        if (st == inj::Off) continue;
        if (!onGas_) {
            // Off gas every fitted injector is simply fitted again.
            if (st != inj::Fitted) working_.SetInjState(i, inj::Fitted);
        } else if (st == inj::ToGas || (gasStarted && st == inj::Fitted)) {
            // The change to gas takes every fitted injector onto gas; later an
            // injector comes onto gas only when the tool asks with state 2.
            // It is driven from now on and reads 3.
            working_.SetInjState(i, inj::OnGas);
        }
    }
}

void SimEcu::RecordSample(double) {
    if (engineTimeUs_ - sampleClockUs_ < kSampleIntervalUs) return;
    sampleClockUs_ = engineTimeUs_;
    const EngineState& es = engine_.State();
    const double previousRpm = lastSampleRpm_;
    lastSampleRpm_ = es.rpm;
    if (!EngineRunning() || es.cutOff || mode_ == EcuMode::Programming) return;
    if (working_.mem2[mem2::VacuumAcqEnable] == 0 || SensorFault(ERR_MAP_SENSOR)) return;
    const auto [low, high] = SampleWindow();
    if (es.rpm < low || es.rpm > high) return;
    // Only steady running counts: not while the speed is still changing, nor
    // right after a change of fuel while the car's controller adapts.
    if (std::abs(es.rpm - previousRpm) > kSampleSteadyRpm) return;
    if ((engineTimeUs_ - fuelSinceUs_) / 1e6 < kSampleSettleS) return;

    const SamplePoint p{ClampU16((es.petrolMs[0] - kPetrolOffsetMs) / kInjMsPerCount),
                        ClampU16(es.mapMbar)};
    auto& store = onGas_ ? gasSamples_ : petrolSamples_;
    size_t& next = onGas_ ? gasNext_ : petrolNext_;
    double& lastUs = onGas_ ? gasLastSampleUs_ : petrolLastSampleUs_;
    // A new point when the operating point moved to another 20-mbar pressure,
    // or when it has held the same one for a while.
    const SamplePoint& last = store[(next + kSamplePoints - 1) % kSamplePoints];
    const bool moved =
        last.pressure == 0 || std::lround(last.pressure / 20.0) != std::lround(p.pressure / 20.0);
    if (!moved && engineTimeUs_ - lastUs < kSampleRepeatUs) return;
    store[next] = p;  // when all 60 are taken the oldest makes room
    next = (next + 1) % kSamplePoints;
    lastUs = engineTimeUs_;
}

std::vector<uint8_t> SimEcu::EncodeSamples(bool gas, bool secondHalf) const {
    const auto& store = gas ? gasSamples_ : petrolSamples_;
    std::vector<uint8_t> out(kSampleAnswerSize, 0);
    const size_t first = secondHalf ? kSampleHalf : 0;
    uint8_t count = 0;
    for (size_t i = 0; i < kSampleHalf; ++i) {
        const SamplePoint& s = store[first + i];
        PutU16(&out[1 + 4 * i], s.timeRaw);
        PutU16(&out[3 + 4 * i], s.pressure);
        if (s.pressure != 0 || s.timeRaw != 0) ++count;
    }
    out[0] = count;
    return out;
}

void SimEcu::UpdateErrors() {
    const EngineState& es = engine_.State();
    for (size_t k = 0; k < kErrorItems; ++k) present_[k] = forced_[k];
    if (lowGasPresent_ && present_[ERR_LOW_GAS_PRESSURE] == kErrNone)
        present_[ERR_LOW_GAS_PRESSURE] = kErrOpenCircuit;
    if (engine_.Controls().key && es.phase != EnginePhase::Cranking &&
        present_[ERR_SUPPLY_VOLTAGE] == kErrNone) {
        if (es.supplyV < kSupplyLowV) present_[ERR_SUPPLY_VOLTAGE] = kErrShortOrLow;
        if (es.supplyV > kSupplyHighV) present_[ERR_SUPPLY_VOLTAGE] = kErrHigh;
    }
    for (int i = 0; i < 8; ++i) {
        const bool fitted = i < working_.NumCylinders() && working_.InjEnabled(i);
        if (!fitted) present_[ERR_INJECTOR_1 + i] = kErrNotAvailable;
    }
    for (size_t k = 0; k < kErrorItems; ++k) {
        if (present_[k] == kErrNotAvailable) {
            if (stored_[k] == kErrNone) stored_[k] = kErrNotAvailable;
        } else {
            if (stored_[k] == kErrNotAvailable) stored_[k] = kErrNone;
            if (present_[k] != kErrNone) stored_[k] = present_[k];
        }
    }
}

std::array<uint8_t, kErrorFlags> SimEcu::ErrorFlags() const {
    std::array<uint8_t, kErrorFlags> f{};
    for (size_t k = 0; k < kErrorItems; ++k) {
        f[k] = present_[k];
        f[k + kErrorItems] = stored_[k];
    }
    return f;
}

// --- Live blocks ---------------------------------------------------------------------------

std::vector<uint8_t> SimEcu::EncodeMem1() const {
    std::vector<uint8_t> b(kMem1Size, 0);
    const EngineState& es = engine_.State();
    const auto& cfg = working_;
    const bool programming = mode_ == EcuMode::Programming;
    for (int i = 0; i < 8; ++i) {
        const double tp = programming ? 0 : es.petrolMs[i];
        const double reported = tp > kPetrolOffsetMs ? (tp - kPetrolOffsetMs) / kInjMsPerCount : 0;
        PutU16(&b[CylOffset(mem1::PetrolInjTimes, i, 2)], ClampU16(reported));
        PutU16(&b[CylOffset(mem1::RawPetrolTimes, i, 2)], ClampU16(tp / kInjMsPerCount));
        const bool fitted = tp > 0 && cfg.InjEnabled(i);
        const double tg = GasTimeMs(i, tp);
        // The correction the ECU applies (or would apply) on this cylinder.
        const double cor = fitted ? tg - tp : 0;
        PutS16(&b[CylOffset(mem1::GasInjTimes, i, 2)], ClampS16(cor / kInjMsPerCount));
        const double driven = gasDriven_[i] && tp > 0 ? tg : 0;
        PutS16(&b[CylOffset(mem1::SignedInjTimes, i, 2)], ClampS16(driven / kInjMsPerCount));
    }
    const double rpmConst = cfg.RpmConstant();
    const double period = es.rpm > 0 ? rpmConst / es.rpm : 0;
    PutU16(&b[mem1::RpmPeriod], ClampU16(period));
    // A disconnected pressure sensor's input floats to full scale: no
    // reading (a closed gas line reads 0 mbar, which is a reading).
    PutU16(&b[mem1::GasPressure],
           SensorFault(ERR_GAS_PRESSURE_SENSOR) ? kNoSensorReading : ClampU16(es.gasPressMbar));
    PutU16(&b[mem1::Vacuum], SensorFault(ERR_MAP_SENSOR) ? kNoSensorReading : ClampU16(es.mapMbar));
    PutU16(&b[mem1::LambdaMv], SensorFault(ERR_LAMBDA_SENSOR) ? 0 : ClampU16(es.lambdaV * 1000));
    b[mem1::KeyOn] = engine_.Controls().key ? 1 : 0;
    const bool valves = onGas_ && !programming;
    b[mem1::Valve1] = valves ? 1 : 0;
    b[mem1::Valve2] = valves ? 1 : 0;
    // Tank level through the configured sensor, between its first and last
    // threshold: a rising sender reads threshold 0 empty and 5 full; the
    // 240-33 ohm sender (type code 2) reads lower as the tank fills, so it
    // reads threshold 5 empty and 0 full.
    const double level = engine_.Controls().tankLevel;
    const double t0 = cfg.LevelThreshold(0), t5 = cfg.LevelThreshold(5);
    const bool falling = cfg.mem3[mem3::LevelTypeCode] == kFallingLevelSenderCode;
    const double empty = falling ? t5 : t0, full = falling ? t0 : t5;
    const double levelRaw = t0 == t5 ? 1023 * level : empty + (full - empty) * level;
    PutU16(&b[mem1::LevelRaw], SensorFault(ERR_LEVEL_SENSOR) ? 0 : ClampU16(levelRaw));
    PutS16(&b[mem1::ReducerTemp],
           SensorFault(ERR_REDUCER_TEMP_SENSOR) ? kSensorFaultTempC : ClampS16(es.reducerC));
    PutS16(&b[mem1::GasTemp],
           SensorFault(ERR_GAS_TEMP_SENSOR) ? kSensorFaultTempC : ClampS16(es.gasC));
    PutU16(&b[mem1::Supply], ClampU16(es.supplyV / kSupplyVoltsPerCount));
    PutU16(&b[mem1::LevelAux], ClampU16(level * 100));
    return b;
}

std::vector<uint8_t> SimEcu::EncodeMem2() const {
    std::vector<uint8_t> b(working_.mem2.begin(), working_.mem2.end());
    b[mem2::FuelInUse] = onGas_ ? 3 : 0;
    b[mem2::EcuMode] = static_cast<uint8_t>(mode_);
    b[mem2::CutOff] = engine_.State().cutOff ? 1 : 0;
    return b;
}

}  // namespace gascal::sim
