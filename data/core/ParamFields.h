// The one table of the parameter image's block fields.
//
// Each entry names a field exactly as its member of the block record
// (`NumCoils`, `SwitchRpm`, `InjTrim`, `LevelThresholds`, ...) and tells
// where it travels in its block, how its number is written, how the image
// converts it, which values a user may store, how a pending edit of it is
// told from "unchanged" and what applying it sets off. The decoders, the
// payload builders, the pending-edit sentinels and the acknowledgement of a
// write walk this table; gascal-cli and the expert page find fields in it by
// name.
//
// An array field has one entry; its elements are named Name0..Name7 (or
// Name0..Name5): the number is the element index, cylinder 1 is index 0.
//
// A page uses an entry like this:
//   const auto ref = FindParamField("InjTrim2");       // field and index
//   ref->field->Range(image), ref->field->decimals, ref->field->ReadOnly()
//   ref->field->ImageValue(image, ref->index)           // as the ECU holds it
//   ref->field->StorePending(image, ref->index, 0.024)  // sent with the next write
#pragma once

#include <QString>
#include <optional>
#include <span>
#include <string_view>

#include "data/core/ParamImage.h"

namespace gascal {

// How a field's number travels (little-endian).
enum class FieldWire : uint8_t { U8, U16, S16, U32 };

// How the image's value is made from the number on the wire, and back.
enum class FieldScale : uint8_t {
    None,          // the number itself
    KInj,          // counts of the injection time unit (ms)
    KPwm,          // counts of the PWM time unit
    KTimer,        // counts of the general timer (s)
    KLambda,       // counts of the lambda unit (V)
    KSupply,       // counts of the supply voltage unit (V)
    PetrolTime,    // KInj, plus InjOffset on a time above 0 while petrol control is on
    LivePeriod,    // revolution period read as rpm: RpmConstant / period, 0 stays 0
    SwitchPeriod,  // rpm in the image, a period on the wire; 0 and 65535 mean no speed
    Count,         // coil or cylinder count: outside 1..8 it is repaired to 4 and written back
};

// When a value in `PendingEdits` counts as a change to apply. Each rule has
// its sentinel, the value that means "leave the field as it is".
enum class FieldMerge : uint8_t {
    NotByteSentinel,  // any value but 255
    ZeroOrOne,        // only 0 or 1 (sentinel 255)
    NotNegative,      // 0 or more (sentinel -1)
    NotMinusOne,      // any value but -1
    AboveMinusOne,    // more than -1 (sentinel -1.0)
    NotSigned,        // any value but 99999999.0
    NotZero,          // any value but 0.0 (the hour counters; -1 erases)
    Never,            // the image's value is always sent (sentinel 255)
};

enum FieldFlag : unsigned {
    kFieldReadOnly = 1,     // reported by the ECU: no page or command stores it
    kFieldLastFirst = 2,    // the array travels from its last element down
    kFieldRpmConstant = 4,  // RpmConstant is recomputed after the field is decoded or applied
    kFieldRefill = 8,       // applying an edit refills every setting control
};

// The values a user may store in a field, in the image's units.
struct FieldRange {
    double min = 0;
    double max = 0;
};

template <class Record>
inline constexpr int kBlockOfRecord = 0;
template <>
inline constexpr int kBlockOfRecord<Mem1Fields> = 1;
template <>
inline constexpr int kBlockOfRecord<Mem2Fields> = 2;
template <>
inline constexpr int kBlockOfRecord<Mem3Fields> = 3;
template <>
inline constexpr int kBlockOfRecord<Mem5Fields> = 5;

class ParamField {
  public:
    std::string_view name;  // the record member's own name
    int block = 0;          // 1, 2, 3 or 5
    int offset = 0;         // first byte of the field in its block
    FieldWire wire = FieldWire::U8;
    int count = 1;  // elements: 1, or the array's length
    FieldScale scale = FieldScale::None;
    FieldMerge merge = FieldMerge::Never;
    // Values a user may store, in counts of the field's scale factor (the
    // factor is applied by Range); rpm for the switchover speed.
    double min = 0;
    double max = 0;
    int decimals = 0;  // how the value is printed
    unsigned flags = 0;
    // Value of a block-5 field that a short (older firmware) answer leaves out.
    double absent = 0;
    // The member's element type: integral or real, and its limits.
    bool integral = false;
    double typeMin = 0;
    double typeMax = 0;

    constexpr bool ReadOnly() const { return (flags & kFieldReadOnly) != 0; }
    constexpr bool LastElementFirst() const { return (flags & kFieldLastFirst) != 0; }
    constexpr int Width() const {
        return wire == FieldWire::U8 ? 1 : wire == FieldWire::U32 ? 4 : 2;
    }
    constexpr bool HasIndex(int index) const { return index >= 0 && index < count; }
    // Byte of the block where element `index` travels.
    constexpr int ElementOffset(int index) const {
        return offset + (LastElementFirst() ? count - 1 - index : index) * Width();
    }
    // The value of `PendingEdits` meaning "unchanged", and whether a pending
    // value counts as a change.
    constexpr double Sentinel() const {
        switch (merge) {
            case FieldMerge::NotNegative:
            case FieldMerge::NotMinusOne:
                return kPendingInt;
            case FieldMerge::AboveMinusOne:
                return kPendingReal;
            case FieldMerge::NotSigned:
                return kPendingSigned;
            case FieldMerge::NotZero:
                return kPendingHours;
            case FieldMerge::NotByteSentinel:
            case FieldMerge::ZeroOrOne:
            case FieldMerge::Never:
                break;
        }
        return kPendingByte;
    }
    constexpr bool PendingCounts(double pending) const {
        switch (merge) {
            case FieldMerge::NotByteSentinel:
                return pending != kPendingByte;
            case FieldMerge::ZeroOrOne:
                return pending == 0 || pending == 1;
            case FieldMerge::NotNegative:
                return pending >= 0;
            case FieldMerge::NotMinusOne:
                return pending != kPendingInt;
            case FieldMerge::AboveMinusOne:
                return pending > kPendingReal;
            case FieldMerge::NotSigned:
                return pending != kPendingSigned;
            case FieldMerge::NotZero:
                return pending != kPendingHours;
            case FieldMerge::Never:
                break;
        }
        return false;
    }

    QString Name() const;
    // "Name" for a single field, "Name<index>" for an array element.
    QString ElementName(int index) const;
    // The image's scale factor for this field (1 when it has none).
    double Factor(const ParamImage& image) const;
    // The values a user may store, with the image's scale factors; the
    // lowest switchover speed is the one whose period still fits the word.
    FieldRange Range(const ParamImage& image) const;

    // Element `index` of a block record of this field's block (0, or
    // nothing, for another block's record or an index out of range).
    template <class Record>
    double Get(const Record& record, int index = 0) const {
        static_assert(kBlockOfRecord<Record> != 0, "not a block record");
        if (block != kBlockOfRecord<Record> || !HasIndex(index)) return 0;
        return get_(&record, index);
    }
    // Integral members take the value cut to a whole number within their type.
    template <class Record>
    void Set(Record& record, int index, double value) const {
        static_assert(kBlockOfRecord<Record> != 0, "not a block record");
        if (block == kBlockOfRecord<Record> && HasIndex(index)) set_(&record, index, value);
    }

    double ImageValue(const ParamImage& image, int index = 0) const;
    void SetImageValue(ParamImage& image, int index, double value) const;
    // Block 1 has no pending edits: its value reads as 0 and is never stored.
    double PendingValue(const PendingEditsRecord& pending, int index = 0) const;
    void SetPendingValue(PendingEditsRecord& pending, int index, double value) const;
    // An edit of the element waits for the next write of its block.
    bool IsPending(const ParamImage& image, int index = 0) const;
    // Stores an edit to be sent with the next write of the block; false (and
    // nothing stored) for a read-only field or an index out of range. The
    // caller keeps the value inside Range().
    bool StorePending(ParamImage& image, int index, double value) const;

  private:
    using Getter = double (*)(const void* record, int index);
    using Setter = void (*)(void* record, int index, double value);
    friend struct ParamFieldMaker;
    constexpr ParamField() = default;
    const void* Record(const ParamImage& image) const;
    void* Record(ParamImage& image) const;
    const void* Record(const PendingEditsRecord& pending) const;
    void* Record(PendingEditsRecord& pending) const;

    Getter get_ = nullptr;
    Setter set_ = nullptr;
};

// An element of a field: the field and the element index (0 for a single
// field).
struct ParamFieldRef {
    const ParamField* field = nullptr;
    int index = 0;
    QString Name() const { return field ? field->ElementName(index) : QString(); }
};

// Every field of blocks 1, 2, 3 and 5, block by block in wire order.
std::span<const ParamField> ParamFields();
// The fields of one block in wire order (empty for any other number).
std::span<const ParamField> ParamFieldsOfBlock(int block);
// The field element of that name (letter case ignored).
std::optional<ParamFieldRef> FindParamField(const QString& name);
// Length in bytes of the full block (0 for any other number).
constexpr int BlockBytes(int block) {
    switch (block) {
        case 1:
            return kMem1Bytes;
        case 2:
            return kMem2Bytes;
        case 3:
            return kMem3Bytes;
        case 5:
            return kMem5Bytes;
        default:
            return 0;
    }
}

}  // namespace gascal
