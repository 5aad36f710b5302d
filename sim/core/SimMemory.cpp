#include "sim/core/SimMemory.h"

#include <algorithm>
#include <cmath>

namespace gascal::sim {

uint16_t ClampU16(double v) {
    if (!(v > 0)) return 0;
    if (v >= 65535.0) return 65535;
    return static_cast<uint16_t>(std::lround(v));
}

int16_t ClampS16(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 32767.0) return 32767;
    if (v <= -32768.0) return -32768;
    return static_cast<int16_t>(std::lround(v));
}

uint8_t Checksum(const uint8_t* p, size_t n) {
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) x ^= p[i];
    return x;
}

// Frames are laid out in a vector of their final size (header, data,
// checksum), which also keeps GCC's bounds analysis quiet at -O3.
std::vector<uint8_t> BuildRequest(uint8_t cmd, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f(4 + data.size() + 1);
    f[0] = kRequestStart;
    f[1] = kRequestSecond;
    f[2] = static_cast<uint8_t>(data.size() + 3);
    f[3] = cmd;
    std::copy(data.begin(), data.end(), f.begin() + 4);
    f.back() = Checksum(f.data(), f.size() - 1);
    return f;
}

std::vector<uint8_t> BuildAnswer(uint8_t cmd, uint8_t status, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> f(5 + data.size() + 1);
    f[0] = kAnswerStart;
    f[1] = kAnswerSecond;
    f[2] = static_cast<uint8_t>(data.size() + 4);
    f[3] = cmd;
    f[4] = status;
    std::copy(data.begin(), data.end(), f.begin() + 5);
    f.back() = Checksum(f.data(), f.size() - 1);
    return f;
}

// --- ConfigImage -----------------------------------------------------------------

std::array<uint8_t, kMem3Size> ConfigImage::Mem3Config() const {
    std::array<uint8_t, kMem3Size> m = mem3;
    for (int i = 0; i < 8; ++i)
        if (InjState(i) != inj::Off) m[CylOffset(mem3::InjEnable, i, 1)] = inj::Fitted;
    return m;
}

double ConfigImage::RpmConstant() const {
    const int coils = NumCoils();
    const int cyl = NumCylinders();
    if (coils < 1 || coils > 8 || cyl < 1 || cyl > 8) return 1.0;
    return coils * 240000000.0 / (16.0 * cyl);
}

double ConfigImage::SwitchRpm() const {
    const uint16_t period = GetU16(&mem3[mem3::SwitchRpm]);
    if (period == 0 || period == 0xFFFF) return 0;
    return RpmConstant() / period;
}

double ConfigImage::CorrectionMs(double petrolMs) const {
    // The entries up to 183 hold the correction at index x 0.128 ms; between
    // entries the ECU interpolates, beyond the last it holds the last value.
    constexpr size_t kLast = 183;
    if (!(petrolMs > 0)) return TableEntry(0) * kInjMsPerCount;
    const double pos = petrolMs / kTableStepMs;
    if (pos >= kLast) return TableEntry(kLast) * kInjMsPerCount;
    const size_t i = static_cast<size_t>(pos);
    const double frac = pos - static_cast<double>(i);
    const double a = TableEntry(i);
    const double b = TableEntry(i + 1);
    return (a + (b - a) * frac) * kInjMsPerCount;
}

ConfigImage FactoryConfig(int cylinders) {
    if (cylinders != 6 && cylinders != 8) cylinders = 4;
    ConfigImage c;
    // Block 2: gas allowed, hour counters of a car that has run a little.
    c.mem2[mem2::WorkMode] = 3;
    PutU32(&c.mem2[mem2::Hours1], 7260);
    PutU32(&c.mem2[mem2::Hours2], 1830);
    c.mem2[mem2::RpmCompEnable] = 1;
    c.mem2[mem2::VacuumAcqEnable] = 1;

    // Block 3: coils as cylinders, switchover at 35 deg C after 20 s from 800 rpm.
    auto& m3 = c.mem3;
    m3[mem3::NumCoils] = static_cast<uint8_t>(cylinders);
    m3[mem3::NumCylinders] = static_cast<uint8_t>(cylinders);
    PutU16(&m3[mem3::SwitchTemp], 35);
    PutU16(&m3[mem3::SwitchRpm], ClampU16(c.RpmConstant() / 800.0));
    m3[mem3::InjTypeCode] = 1;
    m3[mem3::FuelType] = 1;  // LPG
    PutU16(&m3[mem3::InjOpenTime], ClampU16(2.4 / kInjMsPerCount));
    PutU16(&m3[mem3::InjPwmTime1], 4);
    PutU16(&m3[mem3::InjPwmTime2], 2);
    for (int i = 0; i < 8; ++i) m3[CylOffset(mem3::InjEnable, i, 1)] = i < cylinders ? 1 : 0;
    m3[mem3::LevelTypeCode] = 1;
    const uint16_t thresholds[6] = {120, 260, 400, 540, 680, 820};
    for (int i = 0; i < 6; ++i) PutU16(&m3[mem3::LevelThresholds + 2 * i], thresholds[i]);
    PutU16(&m3[mem3::VolCompPressRef], 1200);
    PutU16(&m3[mem3::SwitchDelay], ClampU16(20.0 / kTimerSecPerCount));
    PutU16(&m3[mem3::VolCompTempRef], 30);
    PutU16(&m3[mem3::ForceTime], 0);
    m3[mem3::LambdaTypeCode] = 1;
    PutU16(&m3[mem3::SwitchPress], 600);
    PutU16(&m3[mem3::SwitchPressDelay], ClampU16(2.0 / kTimerSecPerCount));
    m3[mem3::EmptyGasMode] = 1;
    PutU16(&m3[mem3::MaxPowerThreshold], 0);
    m3[mem3::BadBitStep] = 0;

    // Block 5.
    auto& m5 = c.mem5;
    PutU16(&m5[mem5::SohTfraComm], ClampU16(2.0 / kInjMsPerCount));
    PutU16(&m5[mem5::SohTonComm], ClampU16(1.0 / kInjMsPerCount));
    PutS16(&m5[mem5::PreInjPeriod], ClampS16(10.0 / kTimerSecPerCount));
    PutU16(&m5[mem5::PreInjTime], ClampU16(1.0 / kInjMsPerCount));
    PutS16(&m5[mem5::PreInjTemp], 15);
    m5[mem5::SwitchSequence] = 40;
    PutU16(&m5[mem5::ShowRpmHigh], 2700);
    PutU16(&m5[mem5::ShowRpmLow], 2200);
    PutU16(&m5[mem5::MinPowerRpmHigh], 1000);
    PutU16(&m5[mem5::MinPowerRpmLow], 600);

    // Correction table: no correction, slope 1, offset 0, nominal breakpoints.
    c.SetTableEntry(184, 0);
    c.SetTableEntry(185, 1000);
    const int16_t breaks[6] = {0, 30, 63, 94, 125, 157};
    for (int i = 0; i < 6; ++i) c.SetTableEntry(186 + i, breaks[i]);

    // End-of-line record.
    auto& d = c.dcol;
    PutU32(&d[dcol::SerialNumber], 468000123);
    d[dcol::TestDay] = 15;
    d[dcol::TestMonth] = 3;
    PutU16(&d[dcol::TestYear], 2025);
    PutU16(&d[dcol::CylinderCode], static_cast<uint16_t>(cylinders));
    PutU16(&d[dcol::Station], 7);
    return c;
}

// --- Flash ---------------------------------------------------------------------------

std::vector<uint8_t> Flash::Read(uint32_t address, size_t n) const {
    if (!Contains(address, n)) return {};
    const auto first = bytes_.begin() + (address - kFlashFirst);
    return std::vector<uint8_t>(first, first + static_cast<ptrdiff_t>(n));
}

void Flash::Program(uint32_t address, const uint8_t* data, size_t n) {
    if (!Contains(address, n)) return;
    for (size_t i = 0; i < n; ++i) bytes_[address - kFlashFirst + i] &= data[i];
}

bool Flash::IsErased() const {
    return std::all_of(bytes_.begin(), bytes_.end(), [](uint8_t b) { return b == 0xFF; });
}

bool Flash::HasFirmware() const {
    for (size_t i = 0; i < kIdentitySize; ++i)
        if (At(kIdentityAddress + static_cast<uint32_t>(i)) != 0xFF) return true;
    return false;
}

int Flash::VersionNumber() const {
    int v = 0;
    for (int i = 0; i < 2; ++i) {
        const uint8_t b = At(kIdentityAddress + static_cast<uint32_t>(i));
        const int hi = b >> 4, lo = b & 0x0F;
        if (hi > 9 || lo > 9) return 0;
        v = v * 100 + hi * 10 + lo;
    }
    return v;
}

namespace {
// "0140" -> {0x01, 0x40}: each pair of decimal digits becomes one byte whose
// hexadecimal digits are those two digits.
bool DigitPairs(const QString& text, int pairs, std::vector<uint8_t>& out) {
    if (text.size() != pairs * 2) return false;
    for (int i = 0; i < pairs; ++i) {
        const QChar a = text[2 * i], b = text[2 * i + 1];
        if (!a.isDigit() || !b.isDigit()) return false;
        out.push_back(static_cast<uint8_t>((a.digitValue() << 4) | b.digitValue()));
    }
    return true;
}
}  // namespace

bool Flash::Install(const QString& version, const QString& date, const QString& descriptor) {
    std::vector<uint8_t> id;
    if (!DigitPairs(version, 2, id) || !DigitPairs(date, 4, id)) return false;
    if (descriptor.size() > static_cast<int>(kDescriptorSize)) return false;
    const QByteArray desc = descriptor.leftJustified(kDescriptorSize, QLatin1Char(' ')).toLatin1();
    Erase();
    // A recognisable program body: a repeating pattern that depends on the version,
    // so that two firmware images really differ byte by byte.
    for (uint32_t a = kIdentityAddress + 0x100; a < kBootIdentityAddress; ++a)
        bytes_[a - kFlashFirst] = static_cast<uint8_t>((a * 7 + id[1]) & 0xFF);
    for (size_t i = 0; i < kIdentitySize; ++i) {
        bytes_[kIdentityAddress - kFlashFirst + i] = id[i];
        bytes_[kBootIdentityAddress - kFlashFirst + i] = id[i];
    }
    for (size_t i = 0; i < kDescriptorSize; ++i)
        bytes_[kIdentityAddress - kFlashFirst + kIdentitySize + i] = static_cast<uint8_t>(desc[i]);
    return true;
}

}  // namespace gascal::sim
