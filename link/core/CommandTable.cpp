#include "link/core/CommandTable.h"

namespace gascal {

namespace {
struct NamedCommand {
    uint8_t code;
    const char* name;
};

constexpr NamedCommand kCommands[] = {
    {CMD_GET_ADR_VAR, "CMD_GET_ADR_VAR"},
    {CMD_WRT_MEM_ZONE, "CMD_WRT_MEM_ZONE"},
    {CMD_READ_MEM_ZONE, "CMD_READ_MEM_ZONE"},
    {CMD_SET_ECU_SLAVE, "CMD_SET_ECU_SLAVE"},
    {CMD_SET_ECU_RUN, "CMD_SET_ECU_RUN"},
    {CMD_SET_ECU_PRG, "CMD_SET_ECU_PRG"},
    {CMD_ERASE_FLASH, "CMD_ERASE_FLASH"},
    {CMD_WRT_FLASH_ZONE, "CMD_WRT_FLASH_ZONE"},
    {CMD_GET_ECO, "CMD_GET_ECO"},
    {CMD_WRT_FLASH_END, "CMD_WRT_FLASH_END"},
    {CMD_EOBD, "CMD_EOBD"},
    {CMD_READ_MEM1, "CMD_READ_MEM1"},
    {CMD_READ_MEM2, "CMD_READ_MEM2"},
    {CMD_READ_MEM3, "CMD_READ_MEM3"},
    {CMD_WRT_MEM1, "CMD_WRT_MEM1"},
    {CMD_WRT_MEM2, "CMD_WRT_MEM2"},
    {CMD_WRT_MEM3, "CMD_WRT_MEM3"},
    {CMD_READ_TBL_COR, "CMD_READ_TBL_COR"},
    {CMD_WRT_TBL_COR, "CMD_WRT_TBL_COR"},
    {CMD_CANC_ERR, "CMD_CANC_ERR"},
    {CMD_SAVE_FLASH, "CMD_SAVE_FLASH"},
    {CMD_READ_TBL_ADT, "CMD_READ_TBL_ADT"},
    {CMD_WRT_TBL_ADT, "CMD_WRT_TBL_ADT"},
    {CMD_READ_MEM4, "CMD_READ_MEM4"},
    {CMD_WRT_MEM4, "CMD_WRT_MEM4"},
    {CMD_READ_ERR, "CMD_READ_ERR"},
    {CMD_READ_SMPL_BNZ, "CMD_READ_SMPL_BNZ"},
    {CMD_READ_SMPL_GAS, "CMD_READ_SMPL_GAS"},
    {CMD_CANC_SMPL_BNZ, "CMD_CANC_SMPL_BNZ"},
    {CMD_CANC_SMPL_GAS, "CMD_CANC_SMPL_GAS"},
    {CMD_READ_SMPL_BNZ1, "CMD_READ_SMPL_BNZ1"},
    {CMD_READ_SMPL_GAS1, "CMD_READ_SMPL_GAS1"},
    {CMD_READ_FIRMWARE, "CMD_READ_FIRMWARE"},
    {CMD_WRIT_DCOL, "CMD_WRIT_DCOL"},
    {CMD_READ_DCOL_FL, "CMD_READ_DCOL_FL"},
    {CMD_READ_MEM5, "CMD_READ_MEM5"},
    {CMD_WRT_MEM5, "CMD_WRT_MEM5"},
    {CMD_GEN, "CMD_GEN"},
};

const char* FindName(uint8_t code) {
    for (const auto& c : kCommands)
        if (c.code == code) return c.name;
    return nullptr;
}
}  // namespace

QString CommandLogName(uint8_t code) {
    const char* name = FindName(code);
    return name ? QString::fromLatin1(name) : QStringLiteral(" XXXXXXXXXX ");
}

bool IsKnownCommand(uint8_t code) {
    return FindName(code) != nullptr;
}

}  // namespace gascal
