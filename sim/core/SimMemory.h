// The simulated ECU's memories: the configuration blocks and tables in working
// memory and in their saved (non-volatile) copy, and the program flash with the
// firmware identity.
//
// Block writes change the working copy only; CMD_SAVE_FLASH copies it to the
// saved copy (a fitted injector as 1, whatever its state on gas); a reset or
// power cycle reloads the working copy from the saved one.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/SimLayout.h"

namespace gascal::sim {

// Configuration kept by the ECU, in wire layout.
struct ConfigImage {
    std::array<uint8_t, kMem2Size> mem2{};
    std::array<uint8_t, kMem3Size> mem3{};
    std::array<uint8_t, kMem5Size> mem5{};
    std::array<uint8_t, kTableEntries * 2> table{};
    std::array<uint8_t, kTestDataSize> dcol{};

    bool operator==(const ConfigImage&) const = default;

    // Field helpers used by the engine logic.
    int NumCoils() const { return mem3[mem3::NumCoils]; }
    int NumCylinders() const { return mem3[mem3::NumCylinders]; }
    // Revolution constant of the configured coils and cylinders (1 when unusable).
    double RpmConstant() const;
    // Switchover speed in rpm (0 = no speed condition).
    double SwitchRpm() const;
    double SwitchTempC() const { return GetU16(&mem3[mem3::SwitchTemp]); }
    double SwitchDelaySec() const { return GetU16(&mem3[mem3::SwitchDelay]) * kTimerSecPerCount; }
    double ForceTimeSec() const { return GetU16(&mem3[mem3::ForceTime]) * kTimerSecPerCount; }
    double SwitchPressMbar() const { return GetU16(&mem3[mem3::SwitchPress]); }
    double SwitchPressDelaySec() const {
        return GetU16(&mem3[mem3::SwitchPressDelay]) * kTimerSecPerCount;
    }
    bool InjEnabled(int cyl) const { return mem3[CylOffset(mem3::InjEnable, cyl, 1)] != 0; }
    uint8_t InjState(int cyl) const { return mem3[CylOffset(mem3::InjEnable, cyl, 1)]; }
    void SetInjState(int cyl, uint8_t v) { mem3[CylOffset(mem3::InjEnable, cyl, 1)] = v; }
    // Block 3 as a configuration: a fitted injector counts as 1 whatever state
    // of the moment the ECU holds it in on gas (2 to 4), as a parameter file
    // and the flash keep it.
    std::array<uint8_t, kMem3Size> Mem3Config() const;
    double InjTrimMs(int cyl) const {
        return GetS16(&mem3[CylOffset(mem3::InjTrim, cyl, 2)]) * kInjMsPerCount;
    }
    uint16_t LevelThreshold(int i) const { return GetU16(&mem3[mem3::LevelThresholds + 2 * i]); }
    // Correction table entry (raw s16) and the correction in ms at a petrol time.
    int16_t TableEntry(size_t i) const { return GetS16(&table[2 * i]); }
    void SetTableEntry(size_t i, int16_t v) { PutS16(&table[2 * i], v); }
    double CorrectionMs(double petrolMs) const;
    int WorkMode() const { return mem2[mem2::WorkMode]; }
};

// Default configuration of a new ECU on an engine of `cylinders` cylinders.
ConfigImage FactoryConfig(int cylinders);

// The program flash, FF8000..FFFFFF.
class Flash {
  public:
    Flash() : bytes_(kFlashSize, 0xFF) {}
    static bool Contains(uint32_t address, size_t n) {
        return address >= kFlashFirst && n <= kFlashSize && address - kFlashFirst <= kFlashSize - n;
    }
    uint8_t At(uint32_t address) const { return bytes_[address - kFlashFirst]; }
    std::vector<uint8_t> Read(uint32_t address, size_t n) const;
    // Programming only clears bits, as real flash does: an unerased zone gets
    // the AND of old and new contents.
    void Program(uint32_t address, const uint8_t* data, size_t n);
    void Erase() { std::fill(bytes_.begin(), bytes_.end(), 0xFF); }
    bool IsErased() const;

    // The 38 identity bytes at the identity address.
    std::vector<uint8_t> Identity() const { return Read(kIdentityAddress, kFirmwareAnswerSize); }
    // A firmware is present when its identity bytes are not erased.
    bool HasFirmware() const;
    // Version number: the first two identity bytes' hexadecimal digits read as a
    // decimal number ("0140" -> 140); 0 when they are not decimal digits.
    int VersionNumber() const;

    // Lays a firmware image: identity at the identity address and its copy in
    // the boot block, plus a recognisable program pattern. `version` is four
    // digits ("0140"), `date` eight (DDMMYYYY), `descriptor` up to 32 characters.
    // False when a text is not of that form.
    bool Install(const QString& version, const QString& date, const QString& descriptor);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// Identity of the default simulated ECU and of an older firmware.
inline const char* kDefaultVersion = "0140";
inline const char* kDefaultDate = "15032025";
inline const char* kOldVersion = "0132";
inline const char* kDefaultDescriptor = "KT540 GASCAL INJ468";

}  // namespace gascal::sim
