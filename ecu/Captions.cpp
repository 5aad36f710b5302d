#include "ecu/Captions.h"

#include <array>

namespace gascal {

namespace {
// The main window's entries form one block of the dictionary starting here;
// entry 0 is the product title shared by every window.
constexpr int kBase = 200;
constexpr int E(int offset) {
    return kBase + offset;
}

const std::array<CaptionEntry, static_cast<size_t>(Cap::Count)> kCaptions{{
    {Cap::Title, 0, "Gas injection calibration"},
    {Cap::TabCalibration, E(0), "Calibration"},
    {Cap::TabModeling, E(1), "Modeling"},
    {Cap::TabMap, E(2), "Map"},
    {Cap::TabGeneral, E(3), "General"},
    {Cap::TabConfiguration, E(4), "Configuration"},
    {Cap::MenuFile, E(5), "&File"},
    {Cap::MenuLoadConf, E(6), "&Load configuration..."},
    {Cap::MenuSaveConf, E(7), "&Save configuration..."},
    {Cap::MenuExit, E(8), "E&xit"},
    {Cap::MenuView, E(9), "&View"},
    {Cap::MenuDevice, E(10), "De&vice"},
    {Cap::MenuLanguage, E(11), "&Language"},
    {Cap::MenuSimulator, E(12), "&Simulator"},
    {Cap::LblRpm, E(13), "R.P.M."},
    {Cap::LblTempVap, E(14),
     "Reducer temp. (\xB0"
     "C)"},
    {Cap::LblTempGas, E(15),
     "Gas temp. (\xB0"
     "C)"},
    {Cap::LblPressure, E(16), "Gas pressure (bar)"},
    {Cap::LblVacuum, E(17), "Vacuum (bar)"},
    {Cap::LblLambda, E(18), "Lambda (V)"},
    {Cap::LblSupply, E(19), "Supply (V)"},
    {Cap::LblInjPet, E(20), "Petrol time (ms)"},
    {Cap::LblInjGas, E(21), "Gas time (ms)"},
    {Cap::LblGasLevel, E(22), "Gas level"},
    {Cap::LblSwitchMark, E(23), "Switchover temperature reached"},
    {Cap::GrpSwitchover, E(24), "Switchover"},
    {Cap::GrpSystem, E(25), "System"},
    {Cap::LblSwtchRpm, E(26), "Switchover engine speed (rpm)"},
    {Cap::LblSwtchTemp, E(27),
     "Switchover temperature (\xB0"
     "C)"},
    {Cap::LblSwtchDelay, E(28), "Switchover delay (s)"},
    {Cap::LblSwtchBar, E(29), "End-of-gas pressure (bar)"},
    {Cap::LblSwtchDelayPress, E(30), "End-of-gas delay (s)"},
    {Cap::LblSwtchForce, E(31), "Forced switchover (s)"},
    {Cap::LblSwtchSeq, E(32), "Switchover sequence (s)"},
    {Cap::LblCylinders, E(33), "Cylinders"},
    {Cap::LblCoils, E(34), "Coils"},
    {Cap::LblFuel, E(35), "Fuel"},
    {Cap::LblInjType, E(36), "Injector type"},
    {Cap::LblLambdaType, E(37), "Lambda sensor"},
    {Cap::LblLevelType, E(38), "Level sensor"},
    {Cap::LblEmptyGas, E(39), "When the gas runs out"},
    {Cap::LblShoRpm, E(40), "Acquisition speed window (rpm)"},
    {Cap::CmdSetting, E(41), "Setting"},
    {Cap::CmdSetLevel, E(42), "Set Level"},
    {Cap::ChkAutoTuning, E(43), "Auto Tuning"},
    {Cap::EmptyGasPetrol, E(44), "Switch to petrol"},
    {Cap::EmptyGasCompensate, E(45), "Stay on gas with volumetric compensation"},
    {Cap::LambdaNone, E(46), "No lambda sensor"},
    {Cap::MsgFirmwareMissing, E(47), "Firmware file not found:"},
    {Cap::MsgInjTypeQuestion, E(48),
     "Changing the injector type replaces the injector opening and PWM times. Continue?"},
    {Cap::MsgNotAvailable, E(49), "This function is not available in this version yet:"},
    {Cap::MsgEcuIncompatible, E(50), "The ECU is not compatible with the firmware file."},
    {Cap::MsgEcuNewer, E(51),
     "The ECU firmware is newer than the firmware file of this program. Install the newer "
     "program."},
    {Cap::MsgUpgradeOffer, E(52), "A newer firmware is available for this ECU."},
    {Cap::MsgEcuOlder, E(53),
     "The ECU firmware is older than the firmware file and must be "
     "upgraded."},
    {Cap::LblEcuFirmware, E(54), "ECU firmware"},
    {Cap::LblFileFirmware, E(55), "File firmware"},
    {Cap::PageLater, E(56), "This page is not available in this version yet."},
    {Cap::FrmInitReading, E(57), "Reading the ECU data..."},
    {Cap::FrmInitSearch, E(58), "SEARCH COM"},
    {Cap::LblAlim, E(59), "Fuel in use"},
}};
}  // namespace

const CaptionEntry& CaptionInfo(Cap id) {
    return kCaptions[static_cast<size_t>(id)];
}

QString Caption(Cap id, const std::function<QString(int)>& lookup) {
    const CaptionEntry& c = CaptionInfo(id);
    if (lookup) {
        const QString t = lookup(c.entry);
        if (!t.isEmpty()) return t;
    }
    return QString::fromLatin1(c.english);
}

QString FirmwareFileMessage(const std::function<QString(int)>& lookup, const QString& path,
                            const QString& error) {
    QString text = Caption(Cap::MsgFirmwareMissing, lookup) + QLatin1Char(' ') + path;
    if (!error.isEmpty()) text += QStringLiteral("\n\n") + error;
    return text;
}

}  // namespace gascal
