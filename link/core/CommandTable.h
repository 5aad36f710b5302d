// The ECU's command codes and the names the communication log writes for
// them. Every request frame carries one of these codes at offset 3; the log
// writer puts the name on its own line before each request it records.
#pragma once

#include <QString>
#include <cstdint>

namespace gascal {

constexpr uint8_t CMD_GET_ADR_VAR = 1;
constexpr uint8_t CMD_WRT_MEM_ZONE = 2;
constexpr uint8_t CMD_READ_MEM_ZONE = 3;
constexpr uint8_t CMD_SET_ECU_SLAVE = 4;
constexpr uint8_t CMD_SET_ECU_RUN = 5;
constexpr uint8_t CMD_SET_ECU_PRG = 6;
constexpr uint8_t CMD_ERASE_FLASH = 7;
constexpr uint8_t CMD_WRT_FLASH_ZONE = 8;
constexpr uint8_t CMD_GET_ECO = 9;
constexpr uint8_t CMD_WRT_FLASH_END = 10;
constexpr uint8_t CMD_EOBD = 11;
constexpr uint8_t CMD_READ_MEM1 = 12;
constexpr uint8_t CMD_READ_MEM2 = 13;
constexpr uint8_t CMD_READ_MEM3 = 14;
constexpr uint8_t CMD_WRT_MEM1 = 15;
constexpr uint8_t CMD_WRT_MEM2 = 16;
constexpr uint8_t CMD_WRT_MEM3 = 17;
constexpr uint8_t CMD_READ_TBL_COR = 18;
constexpr uint8_t CMD_WRT_TBL_COR = 19;
constexpr uint8_t CMD_CANC_ERR = 20;
constexpr uint8_t CMD_SAVE_FLASH = 21;
constexpr uint8_t CMD_READ_TBL_ADT = 22;
constexpr uint8_t CMD_WRT_TBL_ADT = 23;
constexpr uint8_t CMD_READ_MEM4 = 24;
constexpr uint8_t CMD_WRT_MEM4 = 25;
constexpr uint8_t CMD_READ_ERR = 26;
constexpr uint8_t CMD_READ_SMPL_BNZ = 27;
constexpr uint8_t CMD_READ_SMPL_GAS = 28;
constexpr uint8_t CMD_CANC_SMPL_BNZ = 29;
constexpr uint8_t CMD_CANC_SMPL_GAS = 30;
constexpr uint8_t CMD_READ_SMPL_BNZ1 = 31;
constexpr uint8_t CMD_READ_SMPL_GAS1 = 32;
constexpr uint8_t CMD_READ_FIRMWARE = 33;
constexpr uint8_t CMD_WRIT_DCOL = 44;
constexpr uint8_t CMD_READ_DCOL_FL = 48;
constexpr uint8_t CMD_READ_MEM5 = 49;
constexpr uint8_t CMD_WRT_MEM5 = 50;
constexpr uint8_t CMD_GEN = 51;

// Name written to the communication log for a command code, e.g.
// "CMD_READ_MEM1"; codes the ECU does not know give " XXXXXXXXXX ".
QString CommandLogName(uint8_t code);

// True for the codes of the table above.
bool IsKnownCommand(uint8_t code);

// Fixed request frames, as hexadecimal text.
inline constexpr const char* FRAME_SET_ECU_SLAVE = "410204040043";
inline constexpr const char* FRAME_SET_ECU_RUN = "410204050042";
inline constexpr const char* FRAME_SAVE_FLASH = "410204150052";

}  // namespace gascal
