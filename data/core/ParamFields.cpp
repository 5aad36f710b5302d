#include "data/core/ParamFields.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <type_traits>

namespace gascal {

namespace {

template <class>
struct MemberOf;
template <class C, class T>
struct MemberOf<T C::*> {
    using Record = C;
    using Type = T;
};

template <class T>
struct Elements {
    using Type = T;
    static constexpr int kCount = 1;
};
template <class T, size_t N>
struct Elements<std::array<T, N>> {
    using Type = T;
    static constexpr int kCount = static_cast<int>(N);
};

// A value for a member of type T: integral members take the whole number
// toward zero, held inside the type (never a conversion out of range).
template <class T>
T ToMember(double v) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v);
    } else {
        if (std::isnan(v)) return T{};
        constexpr double lo = static_cast<double>(std::numeric_limits<T>::lowest());
        constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
        return static_cast<T>(std::clamp(v, lo, hi));
    }
}

// Reads and writes one member of a block record, chosen by its pointer.
template <auto Member>
struct Access {
    using Record = typename MemberOf<decltype(Member)>::Record;
    using Type = typename MemberOf<decltype(Member)>::Type;
    using Element = typename Elements<Type>::Type;
    static constexpr int kCount = Elements<Type>::kCount;

    static double Get(const void* record, [[maybe_unused]] int index) {
        const Type& m = static_cast<const Record*>(record)->*Member;
        if constexpr (kCount > 1)
            return static_cast<double>(m[static_cast<size_t>(index)]);
        else
            return static_cast<double>(m);
    }
    static void Set(void* record, [[maybe_unused]] int index, double value) {
        Type& m = static_cast<Record*>(record)->*Member;
        if constexpr (kCount > 1)
            m[static_cast<size_t>(index)] = ToMember<Element>(value);
        else
            m = ToMember<Element>(value);
    }
};

}  // namespace

struct ParamFieldMaker {
    template <auto Member>
    static constexpr ParamField Make(std::string_view name, int offset, FieldWire wire,
                                     FieldScale scale, FieldMerge merge, double min, double max,
                                     int decimals, unsigned flags = 0, double absent = 0) {
        using A = Access<Member>;
        using E = typename A::Element;
        ParamField f;
        f.name = name;
        f.block = kBlockOfRecord<typename A::Record>;
        f.offset = offset;
        f.wire = wire;
        f.count = A::kCount;
        f.scale = scale;
        f.merge = merge;
        f.min = min;
        f.max = max;
        f.decimals = decimals;
        f.flags = flags;
        f.absent = absent;
        f.integral = std::is_integral_v<E>;
        f.typeMin = static_cast<double>(std::numeric_limits<E>::lowest());
        f.typeMax = static_cast<double>(std::numeric_limits<E>::max());
        f.get_ = &A::Get;
        f.set_ = &A::Set;
        return f;
    }
};

namespace {

using W = FieldWire;
using S = FieldScale;
using M = FieldMerge;

constexpr double kU8Max = 255;
constexpr double kU16Max = 65535;
constexpr double kS16Min = -32768;
constexpr double kS16Max = 32767;
constexpr double kU32Max = 4294967295.0;
// Byte settings: 255 means "unchanged" in PendingEdits, so it cannot be stored.
constexpr double kByteMax = 254;
constexpr double kSwitchRpmMax = 20000;

constexpr unsigned RO = kFieldReadOnly;
constexpr unsigned LAST = kFieldLastFirst;
constexpr unsigned RPMC = kFieldRpmConstant;
constexpr unsigned REFILL = kFieldRefill;

// FIELD(record, member, byte, wire, scale, merge, min, max, decimals[, flags[, absent]]);
// the member's name is the field's name, its type gives the element count.
#define FIELD(RECORD, MEMBER, ...) ParamFieldMaker::Make<&RECORD::MEMBER>(#MEMBER, __VA_ARGS__)

// clang-format off
constexpr ParamField kFields[] = {
    // --- Block 1: live values, read only -------------------------------------------------
    FIELD(Mem1Fields, SignedInjTimes,    0, W::S16, S::KInj,       M::Never, kS16Min, kS16Max, 3, RO | LAST),
    FIELD(Mem1Fields, PetrolInjTimes,   16, W::U16, S::PetrolTime, M::Never, 0,       kU16Max, 3, RO | LAST),
    FIELD(Mem1Fields, SkippedRaw,       32, W::U16, S::None,       M::Never, 0,       kU16Max, 0, RO | LAST),
    FIELD(Mem1Fields, GasInjTimes,      48, W::S16, S::KInj,       M::Never, kS16Min, kS16Max, 3, RO | LAST),
    FIELD(Mem1Fields, Rpm,              64, W::U16, S::LivePeriod, M::Never, 0,       kU16Max, 0, RO),
    FIELD(Mem1Fields, GasPressureRaw,   66, W::U16, S::None,       M::Never, 0,       kU16Max, 0, RO),
    FIELD(Mem1Fields, VacuumRaw,        68, W::U16, S::None,       M::Never, 0,       kU16Max, 0, RO),
    FIELD(Mem1Fields, LambdaVolts,      70, W::U16, S::KLambda,    M::Never, 0,       kU16Max, 3, RO),
    FIELD(Mem1Fields, KeyOn,            72, W::U8,  S::None,       M::Never, 0,       kU8Max,  0, RO),
    FIELD(Mem1Fields, Valve1Open,       73, W::U8,  S::None,       M::Never, 0,       kU8Max,  0, RO),
    FIELD(Mem1Fields, Valve2Open,       74, W::U8,  S::None,       M::Never, 0,       kU8Max,  0, RO),
    FIELD(Mem1Fields, LevelRaw,         75, W::U16, S::None,       M::Never, 0,       kU16Max, 0, RO),
    FIELD(Mem1Fields, ReducerTemp,      77, W::S16, S::None,       M::Never, kS16Min, kS16Max, 0, RO),
    FIELD(Mem1Fields, GasTemp,          79, W::S16, S::None,       M::Never, kS16Min, kS16Max, 0, RO),
    FIELD(Mem1Fields, SupplyVolts,      81, W::U16, S::KSupply,    M::Never, 0,       kU16Max, 2, RO),
    FIELD(Mem1Fields, LevelAux,         83, W::U16, S::None,       M::Never, 0,       kU16Max, 0, RO),

    // --- Block 2: fuel, mode and hour counters -------------------------------------------
    FIELD(Mem2Fields, WorkMode,          0, W::U8,  S::None, M::NotByteSentinel, 0, 3,       0),
    FIELD(Mem2Fields, Mem2Byte1,         1, W::U8,  S::None, M::Never,           0, kU8Max,  0, RO),
    FIELD(Mem2Fields, EcuMode,           2, W::U8,  S::None, M::Never,           0, kU8Max,  0, RO),
    FIELD(Mem2Fields, HoursCounter1,     3, W::U32, S::None, M::NotZero,         0, kU32Max, 2, RO),
    FIELD(Mem2Fields, HoursCounter2,     7, W::U32, S::None, M::NotZero,         0, kU32Max, 2, RO),
    FIELD(Mem2Fields, RpmCompEnable,    11, W::U8,  S::None, M::ZeroOrOne,       0, 1,       0),
    FIELD(Mem2Fields, VacuumAcqEnable,  12, W::U8,  S::None, M::ZeroOrOne,       0, 1,       0),
    FIELD(Mem2Fields, CutOff,           13, W::U8,  S::None, M::Never,           0, kU8Max,  0, RO),

    // --- Block 3: main settings ----------------------------------------------------------
    FIELD(Mem3Fields, NumCoils,          0, W::U8,  S::Count,        M::NotNegative,     1,       8,             0, RPMC),
    FIELD(Mem3Fields, NumCylinders,      1, W::U8,  S::Count,        M::NotNegative,     1,       8,             0, RPMC | REFILL),
    FIELD(Mem3Fields, SwitchTempRaw,     2, W::U16, S::None,         M::AboveMinusOne,   0,       kU16Max,       0),
    FIELD(Mem3Fields, SwitchRpm,         4, W::U16, S::SwitchPeriod, M::AboveMinusOne,   1,       kSwitchRpmMax, 0, RPMC),
    FIELD(Mem3Fields, InjTypeCode,       6, W::U8,  S::None,         M::NotByteSentinel, 0,       kByteMax,      0),
    FIELD(Mem3Fields, FuelType,          7, W::U8,  S::None,         M::NotByteSentinel, 0,       kByteMax,      0),
    FIELD(Mem3Fields, InjOpenTime,       8, W::U16, S::KInj,         M::AboveMinusOne,   0,       kU16Max,       3),
    FIELD(Mem3Fields, InjPwmTime1,      10, W::U16, S::KPwm,         M::AboveMinusOne,   0,       kU16Max,       3),
    FIELD(Mem3Fields, InjPwmTime2,      12, W::U16, S::KPwm,         M::AboveMinusOne,   0,       kU16Max,       3),
    FIELD(Mem3Fields, InjEnable,        14, W::U8,  S::None,         M::NotByteSentinel, 0,       4,             0, LAST),
    FIELD(Mem3Fields, InjTrim,          22, W::S16, S::KInj,         M::NotSigned,       kS16Min, kS16Max,       3, LAST),
    FIELD(Mem3Fields, LevelTypeCode,    38, W::U8,  S::None,         M::NotByteSentinel, 0,       kByteMax,      0),
    FIELD(Mem3Fields, Mem3Byte39,       39, W::U8,  S::None,         M::Never,           0,       kU8Max,        0, RO),
    FIELD(Mem3Fields, LevelThresholds,  40, W::U16, S::None,         M::NotNegative,     0,       kU16Max,       0),
    FIELD(Mem3Fields, VolCompEnable,    52, W::U8,  S::None,         M::NotNegative,     0,       kByteMax,      0),
    FIELD(Mem3Fields, VolCompPressRef,  53, W::U16, S::None,         M::AboveMinusOne,   0,       kU16Max,       0),
    FIELD(Mem3Fields, SwitchDelay,      55, W::U16, S::KTimer,       M::AboveMinusOne,   0,       kU16Max,       2),
    FIELD(Mem3Fields, VolCompTempRef,   57, W::U16, S::None,         M::AboveMinusOne,   0,       kU16Max,       0),
    FIELD(Mem3Fields, ForceTime,        59, W::U16, S::KTimer,       M::AboveMinusOne,   0,       kU16Max,       2),
    FIELD(Mem3Fields, LambdaTypeCode,   61, W::U8,  S::None,         M::NotNegative,     0,       kByteMax,      0),
    FIELD(Mem3Fields, SwitchPressRaw,   62, W::U16, S::None,         M::AboveMinusOne,   0,       kU16Max,       0),
    FIELD(Mem3Fields, SwitchPressDelay, 64, W::U16, S::KTimer,       M::AboveMinusOne,   0,       kU16Max,       2),
    FIELD(Mem3Fields, SafetyCar,        66, W::U8,  S::None,         M::NotNegative,     0,       kByteMax,      0),
    FIELD(Mem3Fields, EmptyGasMode,     67, W::U8,  S::None,         M::NotNegative,     0,       kByteMax,      0),
    FIELD(Mem3Fields, MaxPowerEnable,   68, W::U8,  S::None,         M::NotByteSentinel, 0,       kByteMax,      0),
    FIELD(Mem3Fields, MaxPowerThreshold,69, W::U16, S::None,         M::AboveMinusOne,   0,       kU16Max,       0),
    FIELD(Mem3Fields, TempSensorType,   71, W::U8,  S::None,         M::NotByteSentinel, 0,       kByteMax,      0),
    FIELD(Mem3Fields, MapSensorType,    72, W::U8,  S::None,         M::NotByteSentinel, 0,       kByteMax,      0),
    FIELD(Mem3Fields, BadBitStep,       73, W::U8,  S::None,         M::NotByteSentinel, 0,       kByteMax,      0),

    // --- Block 5: extended settings; an older firmware answers bytes 0..12 ---------------
    FIELD(Mem5Fields, NotObserveRpm,     0, W::U8,  S::None,   M::NotByteSentinel, 0,       kByteMax, 0),
    FIELD(Mem5Fields, SwitchDirection,   1, W::U8,  S::None,   M::NotByteSentinel, 0,       kByteMax, 0),
    FIELD(Mem5Fields, SemiSequential,    2, W::U8,  S::None,   M::NotByteSentinel, 0,       kByteMax, 0),
    FIELD(Mem5Fields, SohTfraComm,       3, W::U16, S::KInj,   M::AboveMinusOne,   0,       kU16Max,  3),
    FIELD(Mem5Fields, SohTonComm,        5, W::U16, S::KInj,   M::AboveMinusOne,   0,       kU16Max,  3),
    FIELD(Mem5Fields, PreInjPeriod,      7, W::S16, S::KTimer, M::AboveMinusOne,   0,       kS16Max,  2),
    FIELD(Mem5Fields, PreInjTime,        9, W::U16, S::KInj,   M::AboveMinusOne,   0,       kU16Max,  3),
    FIELD(Mem5Fields, PreInjTemp,       11, W::S16, S::None,   M::NotSigned,       kS16Min, kS16Max,  0),
    FIELD(Mem5Fields, SwitchSequence,   13, W::U8,  S::None,   M::NotByteSentinel, 0,       kByteMax, 0, 0, 0),
    FIELD(Mem5Fields, ShowRpmHigh,      14, W::U16, S::None,   M::NotMinusOne,     0,       kU16Max,  0, 0, kDefaultShowRpmHigh),
    FIELD(Mem5Fields, ShowRpmLow,       16, W::U16, S::None,   M::NotMinusOne,     0,       kU16Max,  0, 0, kDefaultShowRpmLow),
    FIELD(Mem5Fields, MinPowerEnable,   18, W::U8,  S::None,   M::NotByteSentinel, 0,       kByteMax, 0, 0, 0),
    FIELD(Mem5Fields, MinPowerRpmHigh,  19, W::U16, S::None,   M::NotMinusOne,     0,       kU16Max,  0, 0, kDefaultMinPowerRpmHigh),
    FIELD(Mem5Fields, MinPowerRpmLow,   21, W::U16, S::None,   M::NotMinusOne,     0,       kU16Max,  0, 0, kDefaultMinPowerRpmLow),
};
// clang-format on

#undef FIELD

// --- Checks of the table, made by the compiler ----------------------------------------

// The blocks follow each other (1, 2, 3, 5) and each block's fields cover
// it byte by byte, from byte 0 to its last byte, in wire order.
constexpr bool BlocksAreWhole() {
    int previousBlock = 0;
    int next = 0;
    for (const ParamField& f : kFields) {
        if (f.block != previousBlock) {
            if (f.block < previousBlock || next != BlockBytes(previousBlock)) return false;
            previousBlock = f.block;
            next = 0;
        }
        if (f.offset != next) return false;
        next += f.count * f.Width();
    }
    return previousBlock == 5 && next == BlockBytes(5);
}
static_assert(BlocksAreWhole(), "a block's fields leave a gap, overlap or overrun it");

constexpr char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}
constexpr bool NamesAreUnique() {
    for (size_t i = 0; i < std::size(kFields); ++i)
        for (size_t j = i + 1; j < std::size(kFields); ++j)
            if (SameName(kFields[i].name, kFields[j].name)) return false;
    return true;
}
static_assert(NamesAreUnique(), "two fields share a name");

// A field of the ECU's own (block 1, or never merged) is read-only; a
// byte on the wire is a whole number in the image; a sentinel fits its
// member; the values a user may store never read as "unchanged".
constexpr bool RulesAreConsistent() {
    for (const ParamField& f : kFields) {
        if ((f.block == 1 || f.merge == M::Never) && !f.ReadOnly()) return false;
        if (f.block == 1 && f.merge != M::Never) return false;
        if (f.wire == W::U8 && !f.integral) return false;
        if (f.LastElementFirst() && f.count < 2) return false;
        if (f.Sentinel() < f.typeMin || f.Sentinel() > f.typeMax) return false;
        if (f.PendingCounts(f.Sentinel())) return false;
        if (f.min > f.max) return false;
        if (f.integral && (f.min < f.typeMin || f.max > f.typeMax)) return false;
        if (f.absent != 0 && (f.block != 5 || f.offset < kMem5ShortBytes)) return false;
        if (f.ReadOnly()) continue;
        // The ends are checked in counts: a positive scale factor keeps
        // their sign, which is all the rules look at for a scaled field.
        if (!f.PendingCounts(f.min) || !f.PendingCounts(f.max)) return false;
        if (f.merge == M::NotByteSentinel && f.max >= kPendingByte) return false;
        if (f.merge == M::NotMinusOne && f.min <= kPendingInt && f.max >= kPendingInt) return false;
    }
    return true;
}
static_assert(RulesAreConsistent(), "a field's rules contradict each other");

// The lowest switchover speed whose revolution period still fits the word
// without being its "no speed" value.
constexpr double kLargestSwitchPeriod = 65534;

}  // namespace

// --- Field ---------------------------------------------------------------------------

QString ParamField::Name() const {
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

QString ParamField::ElementName(int index) const {
    return count > 1 ? Name() + QString::number(index) : Name();
}

double ParamField::Factor(const ParamImage& image) const {
    switch (scale) {
        case S::KInj:
        case S::PetrolTime:
            return image.KInj;
        case S::KPwm:
            return image.KPwm;
        case S::KTimer:
            return image.KTimer;
        case S::KLambda:
            return image.KLambda;
        case S::KSupply:
            return image.KSupply;
        case S::None:
        case S::LivePeriod:
        case S::SwitchPeriod:
        case S::Count:
            break;
    }
    return 1;
}

FieldRange ParamField::Range(const ParamImage& image) const {
    if (scale == S::SwitchPeriod)
        return {std::max(min, std::ceil(image.RpmConstant / kLargestSwitchPeriod)), max};
    const double k = Factor(image);
    return {min * k, max * k};
}

const void* ParamField::Record(const ParamImage& image) const {
    switch (block) {
        case 1:
            return &image.Mem1Block;
        case 2:
            return &image.Mem2Block;
        case 3:
            return &image.Mem3Block;
        case 5:
            return &image.Mem5Block;
        default:
            return nullptr;
    }
}

void* ParamField::Record(ParamImage& image) const {
    return const_cast<void*>(Record(static_cast<const ParamImage&>(image)));
}

const void* ParamField::Record(const PendingEditsRecord& pending) const {
    switch (block) {
        case 2:
            return &pending.Mem2Block;
        case 3:
            return &pending.Mem3Block;
        case 5:
            return &pending.Mem5Block;
        default:
            return nullptr;
    }
}

void* ParamField::Record(PendingEditsRecord& pending) const {
    return const_cast<void*>(Record(static_cast<const PendingEditsRecord&>(pending)));
}

double ParamField::ImageValue(const ParamImage& image, int index) const {
    const void* r = Record(image);
    return r && HasIndex(index) ? get_(r, index) : 0;
}

void ParamField::SetImageValue(ParamImage& image, int index, double value) const {
    if (void* r = Record(image); r && HasIndex(index)) set_(r, index, value);
}

double ParamField::PendingValue(const PendingEditsRecord& pending, int index) const {
    const void* r = Record(pending);
    return r && HasIndex(index) ? get_(r, index) : 0;
}

void ParamField::SetPendingValue(PendingEditsRecord& pending, int index, double value) const {
    if (void* r = Record(pending); r && HasIndex(index)) set_(r, index, value);
}

bool ParamField::IsPending(const ParamImage& image, int index) const {
    return Record(image.PendingEdits) && HasIndex(index) &&
           PendingCounts(PendingValue(image.PendingEdits, index));
}

bool ParamField::StorePending(ParamImage& image, int index, double value) const {
    if (ReadOnly() || !HasIndex(index) || !Record(image.PendingEdits)) return false;
    SetPendingValue(image.PendingEdits, index, value);
    return true;
}

// --- Table ---------------------------------------------------------------------------

std::span<const ParamField> ParamFields() {
    return kFields;
}

std::span<const ParamField> ParamFieldsOfBlock(int block) {
    const std::span<const ParamField> all = kFields;
    const auto first = std::find_if(all.begin(), all.end(),
                                    [block](const ParamField& f) { return f.block == block; });
    const auto end =
        std::find_if(first, all.end(), [block](const ParamField& f) { return f.block != block; });
    return {first, end};
}

std::optional<ParamFieldRef> FindParamField(const QString& name) {
    for (const ParamField& f : kFields)
        for (int i = 0; i < f.count; ++i)
            if (f.ElementName(i).compare(name, Qt::CaseInsensitive) == 0)
                return ParamFieldRef{&f, i};
    return std::nullopt;
}

}  // namespace gascal
