#include "data/core/ParamImage.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>

#include "common/EventService.h"
#include "common/Helpers.h"
#include "data/core/ParamFields.h"
#include "data/core/ParamImageHost.h"
#include "data/core/ScaleConfig.h"

namespace gascal {

namespace {

// Rounds to the nearest integer, halves to even (the ECU tool's rounding).
double RoundEven(double v) {
    return std::nearbyint(v);
}

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
    for (const ParamField& f : ParamFields())
        for (int i = 0; i < f.count; ++i) f.SetPendingValue(p, i, f.Sentinel());
    return p;
}

void ParamImage::ResetPendingEdits() {
    PendingEdits = SentinelEdits();
}

void ParamImage::OnMem2WriteAcknowledged() {
    PendingEdits.Mem2Block.WorkMode = kPendingByte;
    PendingEdits.Mem2Block.Mem2Byte1 = kPendingByte;
}

// A write is acknowledged: the edits it carried are done. An element that a
// page changed while the write was on its way holds another value than the
// one carried; it stays pending and goes with the next write.
void ParamImage::AcknowledgeWrite(int block, const PendingEditsRecord& carried) {
    for (const ParamField& f : ParamFieldsOfBlock(block))
        for (int i = 0; i < f.count; ++i)
            if (f.PendingValue(PendingEdits, i) == f.PendingValue(carried, i))
                f.SetPendingValue(PendingEdits, i, f.Sentinel());
    if (block == 2) OnMem2WriteAcknowledged();
}

void ParamImage::AcknowledgeMem2Write(const Mem2Fields& carried) {
    PendingEditsRecord c = PendingEdits;
    c.Mem2Block = carried;
    AcknowledgeWrite(2, c);
}

void ParamImage::AcknowledgeMem3Write(const Mem3Fields& carried) {
    PendingEditsRecord c = PendingEdits;
    c.Mem3Block = carried;
    AcknowledgeWrite(3, c);
}

void ParamImage::AcknowledgeMem5Write(const Mem5Fields& carried) {
    PendingEditsRecord c = PendingEdits;
    c.Mem5Block = carried;
    AcknowledgeWrite(5, c);
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
    Mem1Block.SampleTimeMs = MicroSeconds() / 1000.0;
    DecodeFields(1, hex);
}

void ParamImage::DecodeMem2(const QString& hex) {
    DecodeFields(2, hex);
}

void ParamImage::DecodeMem3(const QString& hex) {
    Mem3Backup = Mem3Block;
    DecodeFields(3, hex);
    if (host_ && CompareMem3(Mem3Backup, Mem3Block)) host_->RequestSettingsRefresh();
}

void ParamImage::DecodeMem5(const QString& hex) {
    DecodeFields(5, hex);
}

namespace {

// The wire's number at a byte of the block. A field beyond the end of the
// text, or with digits that are not hexadecimal, reads as 0.
double ReadWire(const QString& hex, int byte, FieldWire wire) {
    const int p = 1 + 2 * byte;
    switch (wire) {
        case FieldWire::U8:
            return HexU8At(hex, p);
        case FieldWire::U16:
            return HexU16At(hex, p);
        case FieldWire::S16:
            return HexS16At(hex, p);
        case FieldWire::U32:
            return HexU32At(hex, p);
    }
    return 0;
}

}  // namespace

void ParamImage::DecodeFields(int block, const QString& hex) {
    // An older firmware answers block 5 without its later fields: they take
    // their defaults.
    const bool shortBlock5 = block == 5 && hex.size() <= 2 * kMem5ShortBytes;
    for (const ParamField& f : ParamFieldsOfBlock(block)) {
        for (int i = 0; i < f.count; ++i) {
            const double v = shortBlock5 && f.offset >= kMem5ShortBytes
                                 ? f.absent
                                 : FromWire(f, i, ReadWire(hex, f.ElementOffset(i), f.wire));
            f.SetImageValue(*this, i, v);
            AfterApplied(f, false);
        }
    }
}

double ParamImage::FromWire(const ParamField& f, int index, double raw) {
    switch (f.scale) {
        case FieldScale::None:
            return raw;
        case FieldScale::KInj:
        case FieldScale::KPwm:
        case FieldScale::KTimer:
        case FieldScale::KLambda:
        case FieldScale::KSupply:
            return raw * f.Factor(*this);
        case FieldScale::PetrolTime: {
            // The ECU leaves the injector's opening offset out of a petrol time.
            double t = raw * KInj;
            if (t > 0 && PetrolControlEnabled) t += InjOffset;
            return t;
        }
        case FieldScale::LivePeriod:
            return raw > 0 ? RoundEven(RpmConstant / raw) : 0;
        case FieldScale::SwitchPeriod:
            return RpmFromPeriod(raw);
        case FieldScale::Count:
            // A coil or cylinder count outside 1..8 is repaired to 4 and
            // written back soon.
            if (raw >= 1 && raw <= 8) return raw;
            f.SetPendingValue(PendingEdits, index, 4);
            if (host_) host_->SetDelayWriteMem3(1);
            return 4;
    }
    return raw;
}

void ParamImage::AfterApplied(const ParamField& f, bool edited) {
    if (f.flags & kFieldRpmConstant) RecomputeRpmConstant();
    if (edited && (f.flags & kFieldRefill) && host_) host_->SetFirstRefreshPending();
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

namespace {

// One element in the formatting of its kind of field.
void WriteField(PayloadWriter& w, const ParamField& f, double v, const ParamImage& image) {
    switch (f.wire) {
        case FieldWire::U8:
            // Byte fields hold whole numbers (the table's rule).
            w.U8(static_cast<long>(v));
            return;
        case FieldWire::U16:
            if (f.scale == FieldScale::SwitchPeriod)
                w.U16Int(image.PeriodFromRpm(v));
            else if (f.scale == FieldScale::None)
                w.U16Int(v);
            else
                w.U16Scaled(v, f.Factor(image));
            return;
        case FieldWire::S16:
            w.S16(v, f.Factor(image));
            return;
        case FieldWire::U32:
            w.U32(v);
            return;
    }
}

}  // namespace

// Each element in wire order: a pending edit that counts as a change under
// its field's rule is copied into the image, then the image's value is
// written. The edit stays pending until the write is acknowledged.
std::vector<uint8_t> ParamImage::BuildPayload(int block) {
    PayloadWriter w;
    if (block == 1) return w.Take();
    for (const ParamField& f : ParamFieldsOfBlock(block)) {
        for (int k = 0; k < f.count; ++k) {
            const int i = f.LastElementFirst() ? f.count - 1 - k : k;
            const double pending = f.PendingValue(PendingEdits, i);
            if (f.PendingCounts(pending)) {
                f.SetImageValue(*this, i, pending);
                AfterApplied(f, true);
            }
            WriteField(w, f, f.ImageValue(*this, i), *this);
        }
    }
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
