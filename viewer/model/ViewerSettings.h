// The signal viewer's display settings: the picture's drawing units and
// divisions, each channel's zero line, gain, visibility and colour with
// their limits, the viewer settings file "\LNG\OsciConfig.ini" and the
// time base ladder.
//
// Drawing units are twips of the picture: one horizontal division is 1500
// units, one vertical division 585, each split into 8 minor steps. The
// visible span is 6 divisions, 9000 units. A value v of channel i is drawn
// at height ChannelPos(i) + 120 - v * ChannelGain(i), measured downwards.
#pragma once

#include <QString>
#include <array>
#include <cstdint>

#include "viewer/model/ViewSample.h"

namespace gascal {

// --- Picture -----------------------------------------------------------------
inline constexpr double kDivUnitsX = 1500;
inline constexpr double kDivUnitsY = 585;
inline constexpr int kMinorSteps = 8;
inline constexpr double kMinorUnitsX = kDivUnitsX / kMinorSteps;  // 187.5
inline constexpr double kMinorUnitsY = kDivUnitsY / kMinorSteps;  // 73.125
inline constexpr int kVisibleDivs = 6;
inline constexpr double kPictureWidth = kVisibleDivs * kDivUnitsX;  // 9000
// Twelve vertical divisions and a margin of 15 above and below.
inline constexpr double kGridTop = 15;
inline constexpr int kVerticalDivs = 12;
inline constexpr double kPictureHeight = kVerticalDivs * kDivUnitsY + 2 * kGridTop;  // 7050
inline constexpr double kZeroOffset = 120;  // added to every channel's position
inline constexpr double kZeroMarkerHeight = 195;
inline constexpr double kLowestPosMargin = 15;
// Erase band ahead of the live sweep.
inline constexpr double kEraseFrom = 15;
inline constexpr double kEraseTo = 150;

// --- Channel settings --------------------------------------------------------
inline constexpr double kPosStep = kMinorUnitsY;  // up and down: one minor step
inline constexpr double kPosMin = -105;
inline constexpr double kPosMax = kPictureHeight - kZeroMarkerHeight - kLowestPosMargin;
inline constexpr double kGainMax = 2048;
inline constexpr double kGainMin = 0.125;
inline constexpr uint32_t kColourMax = 16777215;

struct ChannelSetting {
    bool shown = true;  // the show picture's tag "1"
    uint32_t colour = 0;
    double pos = 0;
    double gain = 1;
    bool operator==(const ChannelSetting&) const = default;
};
using ChannelSettings = std::array<ChannelSetting, kViewChannels>;

// The defaults restored by "reset".
ChannelSettings DefaultChannelSettings();

// The moves of the selected channel, each held within its limits.
double ChannelUp(double pos);     // one minor step up, not above -105
double ChannelDown(double pos);   // one minor step down, not below kPosMax
double GainZoomIn(double gain);   // doubled, at most 2048
double GainZoomOut(double gain);  // halved, at least 0.125

// --- OsciConfig.ini ----------------------------------------------------------
inline constexpr const char* kOsciConfigPath = "\\LNG\\OsciConfig.ini";

// Reads the settings file into `settings`. A channel the file does not
// name, or a value that is missing, not a number or out of its limits,
// keeps what `settings` holds. False when the file cannot be read.
bool LoadViewerSettings(const QString& path, ChannelSettings& settings);
// Writes the file in full (through a temporary file). False on failure;
// the old file stays then.
bool SaveViewerSettings(const QString& path, const ChannelSettings& settings);
// A number as the system's files write it: a blank before a number that is
// not negative, a blank after, a decimal comma (" 64 ", " 0,125 ", "-105 ").
QString SettingsNumberText(double value);
// Reads a number written with a decimal comma or point, blanks around it
// allowed; false for anything else.
bool ReadSettingsNumber(const QString& text, double& value);

// --- Time base ---------------------------------------------------------------
inline constexpr double kSecDivDefault = 5;
inline constexpr double kSecDivMin = 1;
inline constexpr double kSecDivMax = 20;
// The ladder 1, 2, 5, 7.5, 10, 20 seconds per division.
double SecDivUp(double secDiv);
double SecDivDown(double secDiv);
// "7,50 s"
QString SecDivText(double secDiv);
// Drawing units per millisecond: 9 / (6 * SecDiv), so that 6 divisions show
// 6 * SecDiv seconds.
inline double UnitsPerMs(double secDiv) {
    return 9.0 / (kVisibleDivs * secDiv);
}

}  // namespace gascal
