// The PC's copy of the ECU's memory: blocks 1 (live values), 2 (fuel and
// mode, hour counters), 3 (main settings) and 5 (extended settings), the
// correction table as edited (`CorTable`) and as last read (`CorTableEcu`),
// the adaptive table, and `PendingEdits`, the changes the pages asked for
// that have not been written yet.
//
// Every page reads its values from here, never from the wire. The decoders
// turn the data bytes of an ECU answer into engineering units (ms, V, rpm)
// through the scale factors; the builders merge `PendingEdits` into the image
// and return the data bytes of a write request. Both walk the table of the
// image's fields (ParamFields.h), which says where each field travels and how.
//
// Wire layout: little-endian numbers; per-cylinder arrays of 8 travel with
// element 7 first. Inside the tool a block is hexadecimal text (two upper-case
// digits per byte) and becomes bytes only at the frame boundary.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <vector>

namespace gascal {

class ParamField;
class ParamImageHost;
class ScaleConfig;

inline constexpr int kMem1Bytes = 85;
inline constexpr int kMem2Bytes = 14;
inline constexpr int kMem3Bytes = 74;
inline constexpr int kMem5ShortBytes = 13;  // older firmware answers fields 1 to 8
inline constexpr int kMem5Bytes = 23;
inline constexpr int kCorTableSize = 192;
inline constexpr int kCorChunkCount = 48;
inline constexpr int kCorChunkDataBytes = 2 * kCorChunkCount;
inline constexpr int kCorChunks = 4;
inline constexpr int kCorTimeEntries = 184;     // entries 0..183 are times in KInj units
inline constexpr int kCorThousandthsEnd = 186;  // entries 184, 185 travel in thousandths
inline constexpr double kRpmConstantNumerator = 240000000.0;
inline constexpr int kNoRpmPeriod = 0xFFFF;      // period meaning "no engine speed"
inline constexpr int kFirmwareWithBlock5 = 132;  // block 5 exists above this version

// Sentinels of `PendingEdits`: the field is not to be changed.
inline constexpr uint8_t kPendingByte = 255;
inline constexpr int kPendingInt = -1;
inline constexpr double kPendingReal = -1.0;
inline constexpr double kPendingHours = 0.0;
inline constexpr double kPendingSigned = 99999999.0;  // InjTrim, PreInjTemp

// Values of block 5's later fields when the ECU answers 13 bytes.
inline constexpr int kDefaultShowRpmHigh = 2750;
inline constexpr int kDefaultShowRpmLow = 2250;
inline constexpr int kDefaultMinPowerRpmHigh = 1000;
inline constexpr int kDefaultMinPowerRpmLow = 600;

struct Mem1Fields {
    std::array<double, 8> SignedInjTimes{};  // ms
    std::array<double, 8> PetrolInjTimes{};  // ms, offset added when petrol control is on
    std::array<uint16_t, 8> SkippedRaw{};    // third array, kept raw
    std::array<double, 8> GasInjTimes{};     // ms
    int32_t Rpm = 0;
    double GasPressureRaw = 0;
    double VacuumRaw = 0;
    double LambdaVolts = 0;
    uint8_t KeyOn = 0;
    uint8_t Valve1Open = 0;
    uint8_t Valve2Open = 0;
    double LevelRaw = 0;
    int16_t ReducerTemp = 0;
    int16_t GasTemp = 0;
    double SupplyVolts = 0;
    double LevelAux = 0;
    double SampleTimeMs = 0;
    bool operator==(const Mem1Fields&) const = default;
};

struct Mem2Fields {
    uint8_t WorkMode = 0;   // fuel the PC asks for: 3 gas, 0 petrol
    uint8_t Mem2Byte1 = 0;  // fuel the ECU runs on: 3 gas, 0 petrol
    uint8_t EcuMode = 0;    // 0 running, 1 slave
    double HoursCounter1 = 0;
    double HoursCounter2 = 0;
    uint8_t RpmCompEnable = 0;
    uint8_t VacuumAcqEnable = 0;
    uint8_t CutOff = 0;
    bool operator==(const Mem2Fields&) const = default;
};

struct Mem3Fields {
    int NumCoils = 0;
    int NumCylinders = 0;
    double SwitchTempRaw = 0;
    double SwitchRpm = 0;  // rpm in the image, a period on the wire
    uint8_t InjTypeCode = 0;
    uint8_t FuelType = 0;
    double InjOpenTime = 0;  // ms
    double InjPwmTime1 = 0;
    double InjPwmTime2 = 0;
    std::array<uint8_t, 8> InjEnable{};
    std::array<double, 8> InjTrim{};  // ms
    uint8_t LevelTypeCode = 0;
    uint8_t Mem3Byte39 = 0;
    std::array<int, 6> LevelThresholds{};
    int VolCompEnable = 0;
    double VolCompPressRef = 0;  // mbar
    double SwitchDelay = 0;
    double VolCompTempRef = 0;  // deg C
    double ForceTime = 0;
    int LambdaTypeCode = 0;
    double SwitchPressRaw = 0;
    double SwitchPressDelay = 0;
    int SafetyCar = 0;
    int EmptyGasMode = 0;
    uint8_t MaxPowerEnable = 0;
    double MaxPowerThreshold = 0;
    uint8_t TempSensorType = 0;
    uint8_t MapSensorType = 0;
    uint8_t BadBitStep = 0;
    bool operator==(const Mem3Fields&) const = default;
};

struct Mem5Fields {
    uint8_t NotObserveRpm = 0;
    uint8_t SwitchDirection = 0;
    uint8_t SemiSequential = 0;
    double SohTfraComm = 0;  // ms
    double SohTonComm = 0;   // ms
    double PreInjPeriod = 0;
    double PreInjTime = 0;  // ms
    double PreInjTemp = 0;  // deg C
    uint8_t SwitchSequence = 0;
    int32_t ShowRpmHigh = 0;
    int32_t ShowRpmLow = 0;
    uint8_t MinPowerEnable = 0;
    int32_t MinPowerRpmHigh = 0;
    int32_t MinPowerRpmLow = 0;
    bool operator==(const Mem5Fields&) const = default;
};

struct PendingEditsRecord {
    Mem2Fields Mem2Block;
    Mem3Fields Mem3Block;
    Mem5Fields Mem5Block;
    bool operator==(const PendingEditsRecord&) const = default;
};

using CorTableArray = std::array<double, kCorTableSize>;

class ParamImage {
  public:
    ParamImage();

    // Where the image's requests to the main window go (may be null).
    void SetHost(ParamImageHost* host) { host_ = host; }
    ParamImageHost* Host() const { return host_; }
    // Copies the scale factors of the scale configuration.
    void ApplyScale(const ScaleConfig& scale);

    // --- Records ------------------------------------------------------------
    Mem1Fields Mem1Block, Mem1Prev;
    Mem2Fields Mem2Block;
    Mem3Fields Mem3Block, Mem3Backup;
    Mem5Fields Mem5Block;
    PendingEditsRecord PendingEdits;
    CorTableArray CorTable{}, CorTableEcu{}, AdtTable{};
    // Copies kept while a parameter file is loaded.
    Mem2Fields FileBackupMem2;
    Mem3Fields FileBackupMem3;
    Mem5Fields FileBackupMem5;

    // --- Scale factors ------------------------------------------------------
    double KInj;
    double KPwm;
    double KLambda;
    double KTimer;
    double KLevel;
    double KSupply;
    double InjOffset;
    double RpmConstant = 1;
    bool PetrolControlEnabled = true;

    // Recomputes `RpmConstant` from the coil and cylinder counts of block 3.
    void RecomputeRpmConstant();
    static double RpmConstantFor(int numCoils, int numCylinders);
    // Engine speed of a period read from the ECU (65535 and 0 give 0).
    int RpmFromPeriod(double period) const;
    // Period to send for an engine speed (0 or out of range gives 65535).
    int PeriodFromRpm(double rpm) const;

    // --- PendingEdits -------------------------------------------------------
    void ResetPendingEdits();
    static PendingEditsRecord SentinelEdits();
    // The ECU acknowledged a block-2 write: the fuel request is done.
    void OnMem2WriteAcknowledged();
    // The ECU acknowledged the write of block 2, 3 or 5 whose payload was
    // built with the pending edits `carried`: each edit of the block that
    // still holds the value it carried is done and goes back to its sentinel;
    // an edit stored while the write was on its way stays pending. Until the
    // acknowledgement an edit stays pending, so a write that failed sends it
    // again. For block 2 the fuel request is done in any case.
    void AcknowledgeWrite(int block, const PendingEditsRecord& carried);
    void AcknowledgeMem2Write(const Mem2Fields& carried);
    void AcknowledgeMem3Write(const Mem3Fields& carried);
    void AcknowledgeMem5Write(const Mem5Fields& carried);

    // --- Decoders (data of a valid answer, as hex text or bytes) ------------
    void DecodeMem1(const QString& hex);
    void DecodeMem2(const QString& hex);
    void DecodeMem3(const QString& hex);
    void DecodeMem5(const QString& hex);
    void DecodeMem1(const std::vector<uint8_t>& data);
    void DecodeMem2(const std::vector<uint8_t>& data);
    void DecodeMem3(const std::vector<uint8_t>& data);
    void DecodeMem5(const std::vector<uint8_t>& data);

    // The blocks as the pages show them: the image with the pending edits
    // merged in by the builders' rules. Image and edits stay as they are.
    PendingEditsRecord Shown() const;

    // --- Builders (merge PendingEdits into the image, return the data) ------
    // The pending edits are copied into the image and stay pending until the
    // write is acknowledged.
    // Block 2, 3 or 5 (empty for any other number).
    std::vector<uint8_t> BuildPayload(int block);
    std::vector<uint8_t> BuildMem2Payload() { return BuildPayload(2); }
    std::vector<uint8_t> BuildMem3Payload() { return BuildPayload(3); }
    std::vector<uint8_t> BuildMem5Payload() { return BuildPayload(5); }

    // --- Correction table on the wire ---------------------------------------
    // Data of a CMD_WRT_TBL_COR request: start index, count 48, 48 values
    // from `CorTable`.
    std::vector<uint8_t> BuildCorChunk(int start) const;
    // Fills `CorTableEcu` from the start index with the 48 values of a
    // CMD_READ_TBL_COR answer; false (and nothing changed) when the answer
    // carries fewer than 96 bytes.
    bool DecodeCorChunk(int start, const std::vector<uint8_t>& data);
    // The value an entry takes after travelling to the ECU and back.
    double CorEntryOnWire(int index, double value) const;

    // Applies the cylinder count that the ECU's test data tells, when the
    // loaded file is the installation's default parameter set. True when the
    // count was changed. See the data layer documentation for how the
    // switchover speed is carried over.
    bool AdaptDefaultsToTestData(const QString& loadedPath, const QString& defaultSetPath,
                                 const QString& testDataFrameHex, const QString& sl6Cil,
                                 const QString& sl8Cil);

  private:
    // Fills the block's fields of the image from its hexadecimal text.
    void DecodeFields(int block, const QString& hex);
    // The image value of one element read from the wire's number.
    double FromWire(const ParamField& field, int index, double raw);
    // Runs what applying the field sets off (RpmConstant, refilling).
    void AfterApplied(const ParamField& field, bool edited);

    ParamImageHost* host_ = nullptr;
};

// True when both paths name the same file (letter case ignored, as on the
// installation's own system).
bool SameFilePath(const QString& a, const QString& b);

// True when any field of the two block-3 records differs.
bool CompareMem3(const Mem3Fields& a, const Mem3Fields& b);

// The firmware-date check: true when the ECU's firmware is at or after the
// version and date of the 12-digit text VVVVDDMMYYYY.
bool CheckPetrolControlFirmware(const QString& control, int ecuVersion, int ecuYear, int ecuMonth,
                                int ecuDay);

// --- Field access on hex text (positions count characters from 1) ----------
uint8_t HexU8At(const QString& hex, int p);
uint16_t HexU16At(const QString& hex, int p);
int16_t HexS16At(const QString& hex, int p);
uint32_t HexU32At(const QString& hex, int p);

}  // namespace gascal
