// The signal viewer's eight channels: each one's display settings (zero
// line, gain, visibility, colour, kept in "\LNG\OsciConfig.ini"), which are
// ticked in the settings frame, the selected channel that the up, down and
// zoom buttons move, and the selected injector the injector traces show.
//
// A channel is drawn and read out when it is both ticked and shown; the set
// never lets the last such channel go.
#pragma once

#include <QString>
#include <array>

#include "viewer/model/ViewSample.h"
#include "viewer/model/ViewerSettings.h"

namespace gascal {

class ChannelSet {
  public:
    ChannelSet();

    const ChannelSettings& Settings() const { return settings_; }
    const ChannelSetting& Setting(int c) const { return settings_[static_cast<size_t>(c)]; }
    bool Ticked(int c) const { return ticked_[static_cast<size_t>(c)]; }
    // Ticked and shown: drawn and read out.
    bool Drawn(int c) const;
    bool AnyDrawn() const;
    int Selected() const { return selected_; }
    int Injector() const { return injector_; }

    // The defaults, then what the settings file holds; channel 0 selected.
    void LoadFile(const QString& path);
    // Writes the settings file in full. A file that cannot be written keeps
    // its old content; the viewer goes on with the settings it has.
    void SaveFile(const QString& path) const;

    // Ticks or unticks a channel. False when that would leave no channel
    // ticked: channel 0 is ticked again.
    bool SetTicked(int c, bool ticked);
    // Shows a hidden channel or hides a shown one. False when that would
    // leave no channel drawn: the channel is shown again.
    bool ToggleShown(int c);
    // False (nothing changes) for a channel or injector out of range.
    bool Select(int c);
    bool SelectInjector(int inj);

    // The selected channel one minor step up or down, its gain doubled or
    // halved, each within its limits.
    void MoveUp();
    void MoveDown();
    void ZoomIn();
    void ZoomOut();
    // Every gain and zero line back to its default (visibility and colours kept).
    void RestoreDefaults();

    // The selected channel's gain and zero line with three decimals ("1024,000").
    QString GainText() const;
    QString PositionText() const;
    // Height of channel c's value in a sample, in drawing units.
    double Y(int c, const ViewSample& s) const;
    double ZeroLineY(int c) const { return Setting(c).pos + kZeroOffset; }

  private:
    ChannelSetting& Chosen() { return settings_[static_cast<size_t>(selected_)]; }

    ChannelSettings settings_;
    std::array<bool, kViewChannels> ticked_{};
    int selected_ = 0;
    int injector_ = 0;
};

}  // namespace gascal
