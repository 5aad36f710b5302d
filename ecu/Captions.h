// The dictionary entries the main window uses, in one place: for each
// caption or message its entry number in \LNG\M3.diz and the English text
// used when the dictionary has no such entry (a missing or short file), so
// the window is never left without a caption. docs/dictionary.md lists the
// same numbers.
#pragma once

#include <QString>
#include <functional>

namespace gascal {

enum class Cap {
    Title,
    TabCalibration,
    TabModeling,
    TabMap,
    TabGeneral,
    TabConfiguration,
    MenuFile,
    MenuLoadConf,
    MenuSaveConf,
    MenuExit,
    MenuView,
    MenuDevice,
    MenuLanguage,
    MenuSimulator,
    LblRpm,
    LblTempVap,
    LblTempGas,
    LblPressure,
    LblVacuum,
    LblLambda,
    LblSupply,
    LblInjPet,
    LblInjGas,
    LblGasLevel,
    LblSwitchMark,
    GrpSwitchover,
    GrpSystem,
    LblSwtchRpm,
    LblSwtchTemp,
    LblSwtchDelay,
    LblSwtchBar,
    LblSwtchDelayPress,
    LblSwtchForce,
    LblSwtchSeq,
    LblCylinders,
    LblCoils,
    LblFuel,
    LblInjType,
    LblLambdaType,
    LblLevelType,
    LblEmptyGas,
    LblShoRpm,
    CmdSetting,
    CmdSetLevel,
    ChkAutoTuning,
    EmptyGasPetrol,
    EmptyGasCompensate,
    LambdaNone,
    MsgFirmwareMissing,
    MsgInjTypeQuestion,
    MsgNotAvailable,
    MsgEcuIncompatible,
    MsgEcuNewer,
    MsgUpgradeOffer,
    MsgEcuOlder,
    LblEcuFirmware,
    LblFileFirmware,
    PageLater,
    FrmInitReading,
    FrmInitSearch,
    LblAlim,
    Count
};

struct CaptionEntry {
    Cap id;
    int entry;  // entry number in the dictionary
    const char* english;
};

// Entry number and fallback of a caption.
const CaptionEntry& CaptionInfo(Cap id);

// The caption in the current language: `lookup(entry)` returns the
// dictionary text (empty when missing), otherwise the English fallback.
QString Caption(Cap id, const std::function<QString(int)>& lookup);

// The box shown when the firmware file cannot be used: the missing-file text
// with the file's path, then, for a file that is there but damaged (or whose
// flash table is), what is wrong with it, naming the line. The window shows
// it under the title " Firmware "; gascal-cli prints the same text.
QString FirmwareFileMessage(const std::function<QString(int)>& lookup, const QString& path,
                            const QString& error);

}  // namespace gascal
