// The signal viewer's cursor read-out: the time at the cursor and, for each
// channel, its name and the value of the sample under the cursor ("- - -"
// for a channel that is not drawn). A second cursor, placed on a sample in
// stop mode, adds the differences in time and value from it.
#pragma once

#include <QString>
#include <array>
#include <optional>

#include "viewer/model/ViewSample.h"

namespace gascal {

class ChannelSet;
class SampleStore;
class TimeAxis;
class TraceLayout;
struct ViewerTexts;

inline constexpr const char* kHiddenValue = "- - -";

class CursorReadout {
  public:
    CursorReadout(const SampleStore& store, const TraceLayout& trace, const ChannelSet& channels,
                  const TimeAxis& axis, const ViewerTexts& texts);

    // The read-out for cursor x (ShowReadout); a negative x takes the cursor
    // off the picture (the labels show the names only).
    void Show(double x, bool runMode);
    std::optional<double> CursorX() const { return cursorX_; }
    const QString& TimeLabel() const { return timeLabel_; }
    const QString& SignalLabel(int c) const { return signalLabels_[static_cast<size_t>(c)]; }
    // The labels with the channel names only.
    void ShowNames();

    // The second cursor on the sample under x. False when there is none.
    bool SetSecondCursor(double x);
    // False when there was no second cursor.
    bool ClearSecondCursor();
    std::optional<int> SecondCursorSample() const { return secondSample_; }
    // The x of the second cursor's sample when it is drawn.
    std::optional<double> SecondCursorX() const;
    const QString& DeltaTimeLabel() const { return deltaTimeLabel_; }
    const QString& DeltaLabel(int c) const { return deltaLabels_[static_cast<size_t>(c)]; }

    // Minutes, seconds of two digits and milliseconds of three:
    // "1:05.250 min" for 65.25 s.
    static QString MinutesText(double ms);

  private:
    double TimeMs(double x) const;
    void ShowDeltas(int sampleA);

    const SampleStore& store_;
    const TraceLayout& trace_;
    const ChannelSet& channels_;
    const TimeAxis& axis_;
    const ViewerTexts& texts_;

    std::optional<double> cursorX_;
    QString timeLabel_;
    std::array<QString, kViewChannels> signalLabels_;
    std::optional<int> secondSample_;
    QString deltaTimeLabel_;
    std::array<QString, kViewChannels> deltaLabels_;
};

}  // namespace gascal
