// Byte layouts of the simulated ECU's memory as it travels on the wire.
//
// The simulated ECU keeps its configuration as raw bytes, exactly as the
// blocks are sent and received, and reads or writes single fields through the
// offsets below. Numbers are little-endian; per-cylinder arrays of eight hold
// element 7 in their first byte (or word) and element 0 in their last.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace gascal::sim {

// --- Line ---------------------------------------------------------------------

constexpr double kBaud = 38400.0;
constexpr double kBitsPerByte = 10.0;                   // start, 8 data, stop
constexpr double kByteUs = kBitsPerByte * 1e6 / kBaud;  // about 260.4 us a byte

constexpr uint8_t kRequestStart = 0x41;
constexpr uint8_t kRequestSecond = 0x02;
constexpr uint8_t kAnswerStart = 0x42;
constexpr uint8_t kAnswerSecond = 0x01;
constexpr uint8_t kStatusDone = 0;
constexpr uint8_t kStatusExecError = 254;
constexpr uint8_t kStatusChecksumError = 255;

// --- Command codes ------------------------------------------------------------

enum Command : uint8_t {
    CMD_GET_ADR_VAR = 1,
    CMD_WRT_MEM_ZONE = 2,
    CMD_READ_MEM_ZONE = 3,
    CMD_SET_ECU_SLAVE = 4,
    CMD_SET_ECU_RUN = 5,
    CMD_SET_ECU_PRG = 6,
    CMD_ERASE_FLASH = 7,
    CMD_WRT_FLASH_ZONE = 8,
    CMD_GET_ECO = 9,
    CMD_WRT_FLASH_END = 10,
    CMD_EOBD = 11,
    CMD_READ_MEM1 = 12,
    CMD_READ_MEM2 = 13,
    CMD_READ_MEM3 = 14,
    CMD_WRT_MEM1 = 15,
    CMD_WRT_MEM2 = 16,
    CMD_WRT_MEM3 = 17,
    CMD_READ_TBL_COR = 18,
    CMD_WRT_TBL_COR = 19,
    CMD_CANC_ERR = 20,
    CMD_SAVE_FLASH = 21,
    CMD_READ_ERR = 26,
    CMD_READ_SMPL_BNZ = 27,
    CMD_READ_SMPL_GAS = 28,
    CMD_CANC_SMPL_BNZ = 29,
    CMD_CANC_SMPL_GAS = 30,
    CMD_READ_SMPL_BNZ1 = 31,
    CMD_READ_SMPL_GAS1 = 32,
    CMD_READ_FIRMWARE = 33,
    CMD_WRIT_DCOL = 44,
    CMD_READ_DCOL_FL = 48,
    CMD_READ_MEM5 = 49,
    CMD_WRT_MEM5 = 50,
};

// --- Scales the ECU works in ---------------------------------------------------

constexpr double kInjMsPerCount = 0.008;     // injection times: 8 us a count
constexpr double kPetrolOffsetMs = 0.6;      // left out of the reported petrol times
constexpr double kTimerSecPerCount = 0.025;  // switchover delays: 25 ms a count
constexpr double kSupplyVoltsPerCount = 33.6 / 1024.0;
constexpr double kTableStepMs = 0.128;  // correction table: one entry per 0.128 ms

// --- Block sizes ---------------------------------------------------------------

constexpr size_t kMem1Size = 85;
constexpr size_t kMem2Size = 14;
constexpr size_t kMem3Size = 74;
constexpr size_t kMem5Size = 23;
constexpr size_t kMem5OldSize = 13;  // firmware 132 and older
constexpr size_t kTableEntries = 192;
constexpr size_t kTableChunkMax = 125;  // entries that fit in one frame
constexpr size_t kTestDataSize = 16;
constexpr size_t kErrorItems = 32;
constexpr size_t kErrorFlags = 64;
constexpr size_t kSamplePoints = 60;
constexpr size_t kSampleHalf = 30;
constexpr size_t kSampleAnswerSize = 1 + kSampleHalf * 4;  // count byte, then 30 x (time, pressure)
constexpr size_t kAdrVarSize = 16;
constexpr int kOldFirmwareMaxVersion = 132;

// --- Block 1: live values --------------------------------------------------------
namespace mem1 {
constexpr size_t SignedInjTimes = 0;   // 8 x s16, element 7 first
constexpr size_t PetrolInjTimes = 16;  // 8 x u16
constexpr size_t RawPetrolTimes = 32;  // 8 x u16
constexpr size_t GasInjTimes = 48;     // 8 x s16
constexpr size_t RpmPeriod = 64;       // u16
constexpr size_t GasPressure = 66;     // u16, mbar
constexpr size_t Vacuum = 68;          // u16, mbar absolute
constexpr size_t LambdaMv = 70;        // u16
constexpr size_t KeyOn = 72;
constexpr size_t Valve1 = 73;
constexpr size_t Valve2 = 74;
constexpr size_t LevelRaw = 75;     // u16, ADC counts of 4.883 mV
constexpr size_t ReducerTemp = 77;  // s16, deg C
constexpr size_t GasTemp = 79;      // s16, deg C
constexpr size_t Supply = 81;       // u16
constexpr size_t LevelAux = 83;     // u16
}  // namespace mem1

// --- Block 2 ---------------------------------------------------------------------
namespace mem2 {
constexpr size_t WorkMode = 0;
constexpr size_t FuelInUse = 1;  // Mem2Byte1: 3 gas, 0 petrol
constexpr size_t EcuMode = 2;
constexpr size_t Hours1 = 3;  // u32
constexpr size_t Hours2 = 7;  // u32
constexpr size_t RpmCompEnable = 11;
constexpr size_t VacuumAcqEnable = 12;
constexpr size_t CutOff = 13;
}  // namespace mem2

// --- Block 3 ---------------------------------------------------------------------
namespace mem3 {
constexpr size_t NumCoils = 0;
constexpr size_t NumCylinders = 1;
constexpr size_t SwitchTemp = 2;  // u16, deg C
constexpr size_t SwitchRpm = 4;   // u16, period
constexpr size_t InjTypeCode = 6;
constexpr size_t FuelType = 7;
constexpr size_t InjOpenTime = 8;
constexpr size_t InjPwmTime1 = 10;
constexpr size_t InjPwmTime2 = 12;
constexpr size_t InjEnable = 14;  // 8 x u8, element 7 first
constexpr size_t InjTrim = 22;    // 8 x s16, element 7 first
constexpr size_t LevelTypeCode = 38;
constexpr size_t Byte39 = 39;
constexpr size_t LevelThresholds = 40;  // 6 x u16, element 0 first
constexpr size_t VolCompEnable = 52;
constexpr size_t VolCompPressRef = 53;
constexpr size_t SwitchDelay = 55;  // u16, 25 ms counts
constexpr size_t VolCompTempRef = 57;
constexpr size_t ForceTime = 59;  // u16, 25 ms counts
constexpr size_t LambdaTypeCode = 61;
constexpr size_t SwitchPress = 62;       // u16, mbar
constexpr size_t SwitchPressDelay = 64;  // u16, 25 ms counts
constexpr size_t SafetyCar = 66;
constexpr size_t EmptyGasMode = 67;
constexpr size_t MaxPowerEnable = 68;
constexpr size_t MaxPowerThreshold = 69;
constexpr size_t TempSensorType = 71;
constexpr size_t MapSensorType = 72;
constexpr size_t BadBitStep = 73;
}  // namespace mem3

// The states of an injector in InjEnable. The configuration knows only 0 and
// 1; the others are the ECU's own while it runs on gas (the tool's injector
// sequencing writes 2 to bring an injector onto gas, and 4 from 3).
namespace inj {
constexpr uint8_t Off = 0;        // not fitted, or switched off
constexpr uint8_t Fitted = 1;     // fitted; on petrol
constexpr uint8_t ToGas = 2;      // to be taken onto gas
constexpr uint8_t OnGas = 3;      // driven on gas
constexpr uint8_t GasForced = 4;  // held on gas ("Gas only")
}  // namespace inj

// --- Block 5 ---------------------------------------------------------------------
namespace mem5 {
constexpr size_t NotObserveRpm = 0;
constexpr size_t SwitchDirection = 1;
constexpr size_t SemiSequential = 2;
constexpr size_t SohTfraComm = 3;
constexpr size_t SohTonComm = 5;
constexpr size_t PreInjPeriod = 7;
constexpr size_t PreInjTime = 9;
constexpr size_t PreInjTemp = 11;
constexpr size_t SwitchSequence = 13;
constexpr size_t ShowRpmHigh = 14;
constexpr size_t ShowRpmLow = 16;
constexpr size_t MinPowerEnable = 18;
constexpr size_t MinPowerRpmHigh = 19;
constexpr size_t MinPowerRpmLow = 21;
}  // namespace mem5

// --- Test-data block (end-of-line record) ------------------------------------------
namespace dcol {
constexpr size_t SerialNumber = 0;  // u32
constexpr size_t TestDay = 4;
constexpr size_t TestMonth = 5;
constexpr size_t TestYear = 6;      // u16
constexpr size_t CylinderCode = 8;  // u16: 4, 6 or 8
constexpr size_t Station = 10;      // u16
constexpr size_t Reserved = 12;     // 4 bytes
}  // namespace dcol

// Sample store of an older firmware: a fixed acquisition window.
constexpr int kOldShowRpmHigh = 2750;
constexpr int kOldShowRpmLow = 2250;

// --- Flash ----------------------------------------------------------------------------
constexpr uint32_t kFlashFirst = 0x00FF8000;
constexpr uint32_t kFlashLast = 0x00FFFFFF;
constexpr uint32_t kFlashSize = kFlashLast - kFlashFirst + 1;
constexpr uint32_t kIdentityAddress = 0x00FF8000;  // 6 identity bytes, then 32 descriptor bytes
constexpr uint32_t kBootIdentityAddress = 0x00FFE000;
constexpr size_t kIdentitySize = 6;
constexpr size_t kDescriptorSize = 32;
constexpr size_t kFirmwareAnswerSize = kIdentitySize + kDescriptorSize;
constexpr size_t kFlashChunkMax = 128;

// RAM window readable with CMD_READ_MEM_ZONE; the operating-mode byte lives in it.
constexpr uint32_t kRamSize = 0x800;
constexpr uint32_t kModeByteAddress = 0x13A;

// --- Little-endian field access --------------------------------------------------------

inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t GetS16(const uint8_t* p) {
    return static_cast<int16_t>(GetU16(p));
}
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutS16(uint8_t* p, int16_t v) {
    PutU16(p, static_cast<uint16_t>(v));
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

// Byte index of element `i` (0..7) of a per-cylinder array of `width`-byte items.
inline size_t CylOffset(size_t base, int i, size_t width) {
    return base + (7 - i) * width;
}

// Clamping conversions to wire integers.
uint16_t ClampU16(double v);
int16_t ClampS16(double v);

// Exclusive-or of bytes.
uint8_t Checksum(const uint8_t* p, size_t n);
inline uint8_t Checksum(const std::vector<uint8_t>& v) {
    return Checksum(v.data(), v.size());
}

// A whole request frame for `cmd` carrying `data` (for tests and tools).
std::vector<uint8_t> BuildRequest(uint8_t cmd, const std::vector<uint8_t>& data);
// A whole answer frame.
std::vector<uint8_t> BuildAnswer(uint8_t cmd, uint8_t status, const std::vector<uint8_t>& data);

}  // namespace gascal::sim
