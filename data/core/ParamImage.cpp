#include "data/core/ParamImage.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "data/core/ParamImageHost.h"
#include "data/core/ScaleConfig.h"

namespace gascal {

namespace {

// Rounds to the nearest integer, halves to even (the ECU tool's rounding).
double RoundEven(double v) {
    return std::nearbyint(v);
}

// Reads the fields of a block from its hexadecimal text in wire order.
// A field beyond the end of the text, or with digits that are not
// hexadecimal, reads as 0.
class FieldReader {
  public:
    explicit FieldReader(const QString& hex) : hex_(hex) {}
    uint8_t U8() {
        const uint8_t v = HexU8At(hex_, p_);
        p_ += 2;
        return v;
    }
    uint16_t U16() {
        const uint16_t v = HexU16At(hex_, p_);
        p_ += 4;
        return v;
    }
    int16_t S16() {
        const int16_t v = HexS16At(hex_, p_);
        p_ += 4;
        return v;
    }
    uint32_t U32() {
        const uint32_t v = HexU32At(hex_, p_);
        p_ += 8;
        return v;
    }

  private:
    const QString& hex_;
    int p_ = 1;
};

// Builds a payload in wire order with the formatting rules of each kind of
// field.
class PayloadWriter {
  public:
    // A byte or an integer field sent as one byte: its low byte.
    void U8(long v) { bytes_.push_back(static_cast<uint8_t>(v & 0xFF)); }
    // An unscaled whole number sent as u16: its low 16 bits.
    void U16Int(double v) {
        const long n = std::isfinite(v) ? static_cast<long>(RoundEven(std::fmod(v, 65536.0))) : 0;
        Push16(static_cast<uint16_t>(n & 0xFFFF));
    }
    // A scaled unsigned field: value / factor as an unsigned hexadecimal
    // number (halves to even in its last digit), low 16 bits.
    void U16Scaled(double v, double factor) {
        double raw = v / factor;
        if (!std::isfinite(raw)) raw = 0;
        raw = std::fmod(std::max(raw, 0.0), 1048576.0);  // only the low 16 bits travel
        QString h = HexUnsigned(raw);
        // A value just below 65536 rounds up to 10000: it is the largest
        // word, not 0000.
        if (raw < 65536.0 && h.size() > 4) h = QStringLiteral("FFFF");
        PushHex16(h.rightJustified(4, QLatin1Char('0')).right(4));
    }
    // A signed field: value / factor as 16-bit two's complement, saturating.
    void S16(double v, double factor = 1) {
        double raw = v / factor;
        if (std::isnan(raw)) raw = 0;
        PushHex16(HexSigned16(raw));
    }
    // A hour counter: rounded to a whole number, its low 32 bits.
    void U32(double v) {
        const int64_t n = std::isfinite(v) ? static_cast<int64_t>(std::llround(v)) : 0;
        const uint32_t u = static_cast<uint32_t>(n);
        for (int k = 0; k < 4; ++k) bytes_.push_back(static_cast<uint8_t>((u >> (8 * k)) & 0xFF));
    }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

  private:
    void Push16(uint16_t v) {
        bytes_.push_back(static_cast<uint8_t>(v & 0xFF));
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
    }
    // Four hex digits, most significant first; sent low byte first.
    void PushHex16(const QString& h) {
        const int hi = HexDigitValue(h[0]) * 16 + HexDigitValue(h[1]);
        const int lo = HexDigitValue(h[2]) * 16 + HexDigitValue(h[3]);
        bytes_.push_back(static_cast<uint8_t>(lo));
        bytes_.push_back(static_cast<uint8_t>(hi));
    }
    std::vector<uint8_t> bytes_;
};

// --- Merge rules of PendingEdits -------------------------------------------
// Each copies the pending value into the image when it counts as a change and
// returns true. The pending field keeps its value: an edit is done only when
// the ECU has acknowledged the write that carried it (AcknowledgeMemNWrite),
// so a write the ECU rejects or never receives sends the edit again.

bool MergeByte(uint8_t& image, const uint8_t& pending) {
    if (pending == kPendingByte) return false;
    image = pending;
    return true;
}

bool MergeZeroOne(uint8_t& image, const uint8_t& pending) {
    if (pending != 0 && pending != 1) return false;
    image = pending;
    return true;
}

bool MergeInt16(int& image, const int& pending) {
    if (pending < 0) return false;
    image = pending;
    return true;
}

bool MergeInt32(int32_t& image, const int32_t& pending) {
    if (pending == kPendingInt) return false;
    image = pending;
    return true;
}

bool MergeReal(double& image, const double& pending) {
    if (!(pending > kPendingReal)) return false;
    image = pending;
    return true;
}

bool MergeSigned(double& image, const double& pending) {
    if (pending == kPendingSigned) return false;
    image = pending;
    return true;
}

bool MergeHours(double& image, const double& pending) {
    if (pending == kPendingHours) return false;
    image = pending;
    return true;
}

}  // namespace

// --- Field access --------------------------------------------------------------

uint8_t HexU8At(const QString& hex, int p) {
    if (p < 1 || p + 1 > hex.size()) return 0;
    const int hi = HexDigitValue(hex[p - 1]), lo = HexDigitValue(hex[p]);
    if (hi < 0 || lo < 0) return 0;
    return static_cast<uint8_t>(hi * 16 + lo);
}

// False when one of the digits of a field of `digits` characters at p that
// lie inside the text is not hexadecimal: such a field reads as 0 as a
// whole, never as the value of its other bytes.
namespace {
bool FieldDigitsValid(const QString& hex, int p, int digits) {
    const int end = std::min<int>(p - 1 + digits, hex.size());
    for (int i = std::max(p - 1, 0); i < end; ++i)
        if (HexDigitValue(hex[i]) < 0) return false;
    return true;
}
}  // namespace

uint16_t HexU16At(const QString& hex, int p) {
    if (!FieldDigitsValid(hex, p, 4)) return 0;
    return static_cast<uint16_t>(HexU8At(hex, p) + 256 * HexU8At(hex, p + 2));
}

int16_t HexS16At(const QString& hex, int p) {
    return static_cast<int16_t>(HexU16At(hex, p));
}

uint32_t HexU32At(const QString& hex, int p) {
    if (!FieldDigitsValid(hex, p, 8)) return 0;
    return static_cast<uint32_t>(HexU8At(hex, p)) |
           static_cast<uint32_t>(HexU8At(hex, p + 2)) << 8 |
           static_cast<uint32_t>(HexU8At(hex, p + 4)) << 16 |
           static_cast<uint32_t>(HexU8At(hex, p + 6)) << 24;
}

// --- Image ---------------------------------------------------------------------

ParamImage::ParamImage() {
    // The scale configuration's defaults until a file is applied.
    ApplyScale(ScaleConfig());
    // Until block 3 has been read the window lays out eight injectors.
    Mem3Block.NumCylinders = 8;
    ResetPendingEdits();
}

void ParamImage::ApplyScale(const ScaleConfig& scale) {
    KInj = scale.KInj;
    KPwm = scale.KPwm;
    KLambda = scale.KLambda;
    KTimer = scale.KTimer;
    KLevel = scale.KLevel;
    KSupply = scale.KSupply;
    InjOffset = scale.InjOffset;
}

double ParamImage::RpmConstantFor(int numCoils, int numCylinders) {
    if (numCoils > 8 || numCylinders < 1 || numCylinders > 8 || numCoils < 1) return 1;
    return numCoils * kRpmConstantNumerator / (16.0 * numCylinders);
}

void ParamImage::RecomputeRpmConstant() {
    RpmConstant = RpmConstantFor(Mem3Block.NumCoils, Mem3Block.NumCylinders);
}

int ParamImage::RpmFromPeriod(double period) const {
    if (period >= kNoRpmPeriod || period <= 0) return 0;
    return static_cast<int>(RoundEven(RpmConstant / period));
}

int ParamImage::PeriodFromRpm(double rpm) const {
    if (!(rpm > 0)) return kNoRpmPeriod;
    const double period = RpmConstant / rpm;
    if (period > kNoRpmPeriod) return kNoRpmPeriod;
    return static_cast<int>(RoundEven(period));
}

PendingEditsRecord ParamImage::SentinelEdits() {
    PendingEditsRecord p;
    Mem2Fields& m2 = p.Mem2Block;
    m2.WorkMode = m2.Mem2Byte1 = m2.EcuMode = kPendingByte;
    m2.HoursCounter1 = m2.HoursCounter2 = kPendingHours;
    m2.RpmCompEnable = m2.VacuumAcqEnable = m2.CutOff = kPendingByte;

    Mem3Fields& m3 = p.Mem3Block;
    m3.NumCoils = m3.NumCylinders = kPendingInt;
    m3.SwitchTempRaw = m3.SwitchRpm = kPendingReal;
    m3.InjTypeCode = m3.FuelType = kPendingByte;
    m3.InjOpenTime = m3.InjPwmTime1 = m3.InjPwmTime2 = kPendingReal;
    m3.InjEnable.fill(kPendingByte);
    m3.InjTrim.fill(kPendingSigned);
    m3.LevelTypeCode = m3.Mem3Byte39 = kPendingByte;
    m3.LevelThresholds.fill(kPendingInt);
    m3.VolCompEnable = kPendingInt;
    m3.VolCompPressRef = m3.SwitchDelay = m3.VolCompTempRef = m3.ForceTime = kPendingReal;
    m3.LambdaTypeCode = kPendingInt;
    m3.SwitchPressRaw = m3.SwitchPressDelay = kPendingReal;
    m3.SafetyCar = m3.EmptyGasMode = kPendingInt;
    m3.MaxPowerEnable = kPendingByte;
    m3.MaxPowerThreshold = kPendingReal;
    m3.TempSensorType = m3.MapSensorType = m3.BadBitStep = kPendingByte;

    Mem5Fields& m5 = p.Mem5Block;
    m5.NotObserveRpm = m5.SwitchDirection = m5.SemiSequential = kPendingByte;
    m5.SohTfraComm = m5.SohTonComm = m5.PreInjPeriod = m5.PreInjTime = kPendingReal;
    m5.PreInjTemp = kPendingSigned;
    m5.SwitchSequence = kPendingByte;
    m5.ShowRpmHigh = m5.ShowRpmLow = kPendingInt;
    m5.MinPowerEnable = kPendingByte;
    m5.MinPowerRpmHigh = m5.MinPowerRpmLow = kPendingInt;
    return p;
}

void ParamImage::ResetPendingEdits() {
    PendingEdits = SentinelEdits();
}

void ParamImage::OnMem2WriteAcknowledged() {
    PendingEdits.Mem2Block.WorkMode = kPendingByte;
    PendingEdits.Mem2Block.Mem2Byte1 = kPendingByte;
}

// A write is acknowledged: the edits it carried are done. When a page stored
// a new edit while the write was on its way, the block's edits all stay
// pending: the next write sends them again (the ECU then gets the values it
// already has, and the new one).
void ParamImage::AcknowledgeMem2Write(const Mem2Fields& carried) {
    const PendingEditsRecord sentinel = SentinelEdits();
    Mem2Fields now = PendingEdits.Mem2Block, sent = carried;
    // The fuel bytes are done by the acknowledgement itself.
    now.WorkMode = sent.WorkMode = now.Mem2Byte1 = sent.Mem2Byte1 = kPendingByte;
    if (now == sent) PendingEdits.Mem2Block = sentinel.Mem2Block;
}

void ParamImage::AcknowledgeMem3Write(const Mem3Fields& carried) {
    if (PendingEdits.Mem3Block == carried) PendingEdits.Mem3Block = SentinelEdits().Mem3Block;
}

void ParamImage::AcknowledgeMem5Write(const Mem5Fields& carried) {
    if (PendingEdits.Mem5Block == carried) PendingEdits.Mem5Block = SentinelEdits().Mem5Block;
}

// --- Decoders ------------------------------------------------------------------

void ParamImage::DecodeMem1(const std::vector<uint8_t>& d) {
    DecodeMem1(BytesToHex(d));
}
void ParamImage::DecodeMem2(const std::vector<uint8_t>& d) {
    DecodeMem2(BytesToHex(d));
}
void ParamImage::DecodeMem3(const std::vector<uint8_t>& d) {
    DecodeMem3(BytesToHex(d));
}
void ParamImage::DecodeMem5(const std::vector<uint8_t>& d) {
    DecodeMem5(BytesToHex(d));
}

void ParamImage::DecodeMem1(const QString& hex) {
    Mem1Prev = Mem1Block;
    Mem1Fields& m = Mem1Block;
    m.SampleTimeMs = MicroSeconds() / 1000.0;
    FieldReader r(hex);
    for (int i = 7; i >= 0; --i) m.SignedInjTimes[i] = r.S16() * KInj;
    for (int i = 7; i >= 0; --i) {
        double t = r.U16() * KInj;
        if (t > 0 && PetrolControlEnabled) t += InjOffset;
        m.PetrolInjTimes[i] = t;
    }
    for (int i = 7; i >= 0; --i) m.SkippedRaw[i] = r.U16();
    for (int i = 7; i >= 0; --i) m.GasInjTimes[i] = r.S16() * KInj;
    const uint16_t period = r.U16();
    m.Rpm = period > 0 ? static_cast<int32_t>(RoundEven(RpmConstant / period)) : 0;
    m.GasPressureRaw = r.U16();
    m.VacuumRaw = r.U16();
    m.LambdaVolts = r.U16() * KLambda;
    m.KeyOn = r.U8();
    m.Valve1Open = r.U8();
    m.Valve2Open = r.U8();
    m.LevelRaw = r.U16();
    m.ReducerTemp = r.S16();
    m.GasTemp = r.S16();
    m.SupplyVolts = r.U16() * KSupply;
    m.LevelAux = r.U16();
}

void ParamImage::DecodeMem2(const QString& hex) {
    Mem2Fields& m = Mem2Block;
    FieldReader r(hex);
    m.WorkMode = r.U8();
    m.Mem2Byte1 = r.U8();
    m.EcuMode = r.U8();
    m.HoursCounter1 = r.U32();
    m.HoursCounter2 = r.U32();
    m.RpmCompEnable = r.U8();
    m.VacuumAcqEnable = r.U8();
    m.CutOff = r.U8();
}

void ParamImage::DecodeMem3(const QString& hex) {
    Mem3Backup = Mem3Block;
    Mem3Fields& m = Mem3Block;
    FieldReader r(hex);

    // A coil or cylinder count outside 1..8 is repaired to 4 and written back.
    auto repairCount = [this](int value, int& pendingField) {
        if (value >= 1 && value <= 8) return value;
        pendingField = 4;
        if (host_) host_->SetDelayWriteMem3(1);
        return 4;
    };
    m.NumCoils = repairCount(r.U8(), PendingEdits.Mem3Block.NumCoils);
    m.NumCylinders = repairCount(r.U8(), PendingEdits.Mem3Block.NumCylinders);
    RecomputeRpmConstant();

    m.SwitchTempRaw = r.U16();
    m.SwitchRpm = RpmFromPeriod(r.U16());
    m.InjTypeCode = r.U8();
    m.FuelType = r.U8();
    m.InjOpenTime = r.U16() * KInj;
    m.InjPwmTime1 = r.U16() * KPwm;
    m.InjPwmTime2 = r.U16() * KPwm;
    for (int i = 7; i >= 0; --i) m.InjEnable[i] = r.U8();
    for (int i = 7; i >= 0; --i) m.InjTrim[i] = r.S16() * KInj;
    m.LevelTypeCode = r.U8();
    m.Mem3Byte39 = r.U8();
    for (int& t : m.LevelThresholds) t = r.U16();
    m.VolCompEnable = r.U8();
    m.VolCompPressRef = r.U16();
    m.SwitchDelay = r.U16() * KTimer;
    m.VolCompTempRef = r.U16();
    m.ForceTime = r.U16() * KTimer;
    m.LambdaTypeCode = r.U8();
    m.SwitchPressRaw = r.U16();
    m.SwitchPressDelay = r.U16() * KTimer;
    m.SafetyCar = r.U8();
    m.EmptyGasMode = r.U8();
    m.MaxPowerEnable = r.U8();
    m.MaxPowerThreshold = r.U16();
    m.TempSensorType = r.U8();
    m.MapSensorType = r.U8();
    m.BadBitStep = r.U8();

    if (host_ && CompareMem3(Mem3Backup, Mem3Block)) host_->RequestSettingsRefresh();
}

void ParamImage::DecodeMem5(const QString& hex) {
    Mem5Fields& m = Mem5Block;
    FieldReader r(hex);
    m.NotObserveRpm = r.U8();
    m.SwitchDirection = r.U8();
    m.SemiSequential = r.U8();
    m.SohTfraComm = r.U16() * KInj;
    m.SohTonComm = r.U16() * KInj;
    m.PreInjPeriod = r.S16() * KTimer;
    m.PreInjTime = r.U16() * KInj;
    m.PreInjTemp = r.S16();
    if (hex.size() <= 2 * kMem5ShortBytes) {
        m.SwitchSequence = 0;
        m.ShowRpmHigh = kDefaultShowRpmHigh;
        m.ShowRpmLow = kDefaultShowRpmLow;
        m.MinPowerEnable = 0;
        m.MinPowerRpmHigh = kDefaultMinPowerRpmHigh;
        m.MinPowerRpmLow = kDefaultMinPowerRpmLow;
        return;
    }
    m.SwitchSequence = r.U8();
    m.ShowRpmHigh = r.U16();
    m.ShowRpmLow = r.U16();
    m.MinPowerEnable = r.U8();
    m.MinPowerRpmHigh = r.U16();
    m.MinPowerRpmLow = r.U16();
}

// --- Builders ------------------------------------------------------------------

PendingEditsRecord ParamImage::Shown() const {
    ParamImage merged = *this;
    merged.SetHost(nullptr);
    merged.BuildMem2Payload();
    merged.BuildMem3Payload();
    merged.BuildMem5Payload();
    return {merged.Mem2Block, merged.Mem3Block, merged.Mem5Block};
}

std::vector<uint8_t> ParamImage::BuildMem2Payload() {
    Mem2Fields& m = Mem2Block;
    Mem2Fields& p = PendingEdits.Mem2Block;
    PayloadWriter w;
    MergeByte(m.WorkMode, p.WorkMode);
    w.U8(m.WorkMode);
    w.U8(m.Mem2Byte1);  // reported by the ECU, always sent as it is
    w.U8(m.EcuMode);
    MergeHours(m.HoursCounter1, p.HoursCounter1);
    w.U32(m.HoursCounter1);
    MergeHours(m.HoursCounter2, p.HoursCounter2);
    w.U32(m.HoursCounter2);
    MergeZeroOne(m.RpmCompEnable, p.RpmCompEnable);
    w.U8(m.RpmCompEnable);
    MergeZeroOne(m.VacuumAcqEnable, p.VacuumAcqEnable);
    w.U8(m.VacuumAcqEnable);
    w.U8(m.CutOff);
    return w.Take();
}

std::vector<uint8_t> ParamImage::BuildMem3Payload() {
    Mem3Fields& m = Mem3Block;
    Mem3Fields& p = PendingEdits.Mem3Block;
    PayloadWriter w;
    if (MergeInt16(m.NumCoils, p.NumCoils)) RecomputeRpmConstant();
    w.U8(m.NumCoils);
    if (MergeInt16(m.NumCylinders, p.NumCylinders)) {
        RecomputeRpmConstant();
        if (host_) host_->SetFirstRefreshPending();
    }
    w.U8(m.NumCylinders);
    MergeReal(m.SwitchTempRaw, p.SwitchTempRaw);
    w.U16Int(m.SwitchTempRaw);
    if (MergeReal(m.SwitchRpm, p.SwitchRpm)) RecomputeRpmConstant();
    w.U16Int(PeriodFromRpm(m.SwitchRpm));
    MergeByte(m.InjTypeCode, p.InjTypeCode);
    w.U8(m.InjTypeCode);
    MergeByte(m.FuelType, p.FuelType);
    w.U8(m.FuelType);
    MergeReal(m.InjOpenTime, p.InjOpenTime);
    w.U16Scaled(m.InjOpenTime, KInj);
    MergeReal(m.InjPwmTime1, p.InjPwmTime1);
    w.U16Scaled(m.InjPwmTime1, KPwm);
    MergeReal(m.InjPwmTime2, p.InjPwmTime2);
    w.U16Scaled(m.InjPwmTime2, KPwm);
    for (int i = 7; i >= 0; --i) {
        MergeByte(m.InjEnable[i], p.InjEnable[i]);
        w.U8(m.InjEnable[i]);
    }
    for (int i = 7; i >= 0; --i) {
        MergeSigned(m.InjTrim[i], p.InjTrim[i]);
        w.S16(m.InjTrim[i], KInj);
    }
    MergeByte(m.LevelTypeCode, p.LevelTypeCode);
    w.U8(m.LevelTypeCode);
    w.U8(m.Mem3Byte39);  // no page changes it; sent as read
    for (int k = 0; k < 6; ++k) {
        MergeInt16(m.LevelThresholds[k], p.LevelThresholds[k]);
        w.U16Int(m.LevelThresholds[k]);
    }
    MergeInt16(m.VolCompEnable, p.VolCompEnable);
    w.U8(m.VolCompEnable);
    MergeReal(m.VolCompPressRef, p.VolCompPressRef);
    w.U16Int(m.VolCompPressRef);
    MergeReal(m.SwitchDelay, p.SwitchDelay);
    w.U16Scaled(m.SwitchDelay, KTimer);
    MergeReal(m.VolCompTempRef, p.VolCompTempRef);
    w.U16Int(m.VolCompTempRef);
    MergeReal(m.ForceTime, p.ForceTime);
    w.U16Scaled(m.ForceTime, KTimer);
    MergeInt16(m.LambdaTypeCode, p.LambdaTypeCode);
    w.U8(m.LambdaTypeCode);
    MergeReal(m.SwitchPressRaw, p.SwitchPressRaw);
    w.U16Int(m.SwitchPressRaw);
    MergeReal(m.SwitchPressDelay, p.SwitchPressDelay);
    w.U16Scaled(m.SwitchPressDelay, KTimer);
    MergeInt16(m.SafetyCar, p.SafetyCar);
    w.U8(m.SafetyCar);
    MergeInt16(m.EmptyGasMode, p.EmptyGasMode);
    w.U8(m.EmptyGasMode);
    MergeByte(m.MaxPowerEnable, p.MaxPowerEnable);
    w.U8(m.MaxPowerEnable);
    MergeReal(m.MaxPowerThreshold, p.MaxPowerThreshold);
    w.U16Int(m.MaxPowerThreshold);
    MergeByte(m.TempSensorType, p.TempSensorType);
    w.U8(m.TempSensorType);
    MergeByte(m.MapSensorType, p.MapSensorType);
    w.U8(m.MapSensorType);
    MergeByte(m.BadBitStep, p.BadBitStep);
    w.U8(m.BadBitStep);
    return w.Take();
}

std::vector<uint8_t> ParamImage::BuildMem5Payload() {
    Mem5Fields& m = Mem5Block;
    Mem5Fields& p = PendingEdits.Mem5Block;
    PayloadWriter w;
    MergeByte(m.NotObserveRpm, p.NotObserveRpm);
    w.U8(m.NotObserveRpm);
    MergeByte(m.SwitchDirection, p.SwitchDirection);
    w.U8(m.SwitchDirection);
    MergeByte(m.SemiSequential, p.SemiSequential);
    w.U8(m.SemiSequential);
    MergeReal(m.SohTfraComm, p.SohTfraComm);
    w.U16Scaled(m.SohTfraComm, KInj);
    MergeReal(m.SohTonComm, p.SohTonComm);
    w.U16Scaled(m.SohTonComm, KInj);
    MergeReal(m.PreInjPeriod, p.PreInjPeriod);
    w.S16(m.PreInjPeriod, KTimer);
    MergeReal(m.PreInjTime, p.PreInjTime);
    w.U16Scaled(m.PreInjTime, KInj);
    MergeSigned(m.PreInjTemp, p.PreInjTemp);
    w.S16(m.PreInjTemp);
    MergeByte(m.SwitchSequence, p.SwitchSequence);
    w.U8(m.SwitchSequence);
    MergeInt32(m.ShowRpmHigh, p.ShowRpmHigh);
    w.U16Int(m.ShowRpmHigh);
    MergeInt32(m.ShowRpmLow, p.ShowRpmLow);
    w.U16Int(m.ShowRpmLow);
    MergeByte(m.MinPowerEnable, p.MinPowerEnable);
    w.U8(m.MinPowerEnable);
    MergeInt32(m.MinPowerRpmHigh, p.MinPowerRpmHigh);
    w.U16Int(m.MinPowerRpmHigh);
    MergeInt32(m.MinPowerRpmLow, p.MinPowerRpmLow);
    w.U16Int(m.MinPowerRpmLow);
    return w.Take();
}

// --- Correction table ----------------------------------------------------------

std::vector<uint8_t> ParamImage::BuildCorChunk(int start) const {
    PayloadWriter w;
    w.U8(start);
    w.U8(kCorChunkCount);
    for (int k = start; k < start + kCorChunkCount; ++k) {
        const double v = k >= 0 && k < kCorTableSize ? CorTable[k] : 0;
        if (k < kCorTimeEntries)
            w.S16(v, KInj);
        else if (k < kCorThousandthsEnd)
            w.S16(RoundEven(v * 1000));
        else
            w.S16(v);
    }
    return w.Take();
}

bool ParamImage::DecodeCorChunk(int start, const std::vector<uint8_t>& data) {
    if (static_cast<int>(data.size()) < kCorChunkDataBytes) return false;
    for (int j = 0; j < kCorChunkCount; ++j) {
        const int k = start + j;
        if (k < 0 || k >= kCorTableSize) continue;
        const int16_t raw = static_cast<int16_t>(data[2 * j] | data[2 * j + 1] << 8);
        if (k < kCorTimeEntries)
            CorTableEcu[k] = raw * KInj;
        else if (k < kCorThousandthsEnd)
            CorTableEcu[k] = raw / 1000.0;
        else
            CorTableEcu[k] = raw;
    }
    return true;
}

double ParamImage::CorEntryOnWire(int index, double value) const {
    double raw;
    if (index < kCorTimeEntries)
        raw = value / KInj;
    else if (index < kCorThousandthsEnd)
        raw = RoundEven(value * 1000);
    else
        raw = value;
    raw = std::clamp(RoundEven(raw), -32768.0, 32767.0);
    if (index < kCorTimeEntries) return raw * KInj;
    if (index < kCorThousandthsEnd) return raw / 1000.0;
    return raw;
}

// --- Default set and test data ---------------------------------------------------

bool ParamImage::AdaptDefaultsToTestData(const QString& loadedPath, const QString& defaultSetPath,
                                         const QString& testDataFrameHex, const QString& sl6Cil,
                                         const QString& sl8Cil) {
    if (!SameFilePath(loadedPath, defaultSetPath)) return false;

    const int marker = HexU16At(testDataFrameHex, 27);
    // An empty or non-numeric key marks no engine: it must not match the
    // 0 that an ECU without test data gives.
    auto matches = [marker](const QString& key) {
        bool ok = false;
        const int v = key.trimmed().toInt(&ok);
        return ok && v == marker;
    };
    const int count = matches(sl6Cil) ? 6 : matches(sl8Cil) ? 8 : 4;
    Mem3Fields& m = Mem3Block;
    if (count == m.NumCylinders) return false;
    m.NumCylinders = count;
    for (int i = 0; i < 8; ++i) m.InjEnable[i] = i < count ? 1 : 0;
    // The switchover threshold is kept as the same engine speed: the image
    // holds it in rpm, and the next block-3 build turns it into the period
    // that matches the new cylinder count.
    RecomputeRpmConstant();
    return true;
}

// --- Free functions ----------------------------------------------------------------

bool SameFilePath(const QString& a, const QString& b) {
    if (a.isEmpty() || b.isEmpty()) return false;
    const QString ca = QDir::cleanPath(QFileInfo(a).absoluteFilePath());
    const QString cb = QDir::cleanPath(QFileInfo(b).absoluteFilePath());
    return ca.compare(cb, Qt::CaseInsensitive) == 0;
}

bool CompareMem3(const Mem3Fields& a, const Mem3Fields& b) {
    return !(a == b);
}

bool CheckPetrolControlFirmware(const QString& control, int ecuVersion, int ecuYear, int ecuMonth,
                                int ecuDay) {
    const QString t = control.rightJustified(kControlFirmwareDigits, QLatin1Char('0'))
                          .right(kControlFirmwareDigits);
    const int vvvv = t.mid(0, 4).toInt();
    const int dd = t.mid(4, 2).toInt();
    const int mm = t.mid(6, 2).toInt();
    const int yyyy = t.mid(8, 4).toInt();
    if (ecuVersion > vvvv) return true;
    if (ecuYear > yyyy) return true;
    if (ecuYear == yyyy && ecuMonth > mm) return true;
    if (ecuYear == yyyy && ecuMonth == mm && ecuDay >= dd) return true;
    return false;
}

}  // namespace gascal
