#include "viewer/model/CursorReadout.h"

#include <algorithm>
#include <cmath>

#include "viewer/model/ChannelSet.h"
#include "viewer/model/SampleStore.h"
#include "viewer/model/TimeAxis.h"
#include "viewer/model/TraceLayout.h"
#include "viewer/model/ViewerTexts.h"

namespace gascal {

CursorReadout::CursorReadout(const SampleStore& store, const TraceLayout& trace,
                             const ChannelSet& channels, const TimeAxis& axis,
                             const ViewerTexts& texts)
    : store_(store), trace_(trace), channels_(channels), axis_(axis), texts_(texts) {
    ShowNames();
}

void CursorReadout::ShowNames() {
    for (int c = 0; c < kViewChannels; ++c)
        signalLabels_[static_cast<size_t>(c)] = texts_.names[static_cast<size_t>(c)];
}

QString CursorReadout::MinutesText(double ms) {
    const qint64 total = std::max<qint64>(0, static_cast<qint64>(std::nearbyint(ms)));
    const qint64 minutes = total / 60000;
    const qint64 seconds = (total % 60000) / 1000;
    const qint64 millis = total % 1000;
    return QStringLiteral("%1:%2.%3 min")
        .arg(minutes)
        .arg(seconds, 2, 10, QLatin1Char('0'))
        .arg(millis, 3, 10, QLatin1Char('0'));
}

double CursorReadout::TimeMs(double x) const {
    // A later window of a long file counts from the recording's start.
    return axis_.TimeAt(x) + store_.WindowOffsetMs();
}

void CursorReadout::Show(double x, bool runMode) {
    if (x < 0) {
        cursorX_.reset();
    } else {
        cursorX_ = x;
    }
    timeLabel_ = runMode || !cursorX_ ? QString() : MinutesText(TimeMs(x));
    const std::vector<ViewSample>& samples = store_.Samples();
    const ViewSample* s = nullptr;
    int index = -1;
    if (cursorX_) {
        index = trace_.SampleUnder(x, runMode);
        if (index >= 0) {
            s = &samples[static_cast<size_t>(index)];
        } else if (runMode && x > trace_.SweepHead()) {
            // Right of the head the previous sweep is still on the picture.
            s = trace_.PreviousSweepSampleUnder(x);
        }
    }
    for (int c = 0; c < kViewChannels; ++c) {
        const size_t i = static_cast<size_t>(c);
        QString label = texts_.names[i];
        if (s)
            label += QLatin1Char('\n') +
                     (channels_.Drawn(c) ? ReadoutText(ReadoutValue(*s, c, channels_.Injector()), c)
                                         : QString::fromLatin1(kHiddenValue));
        signalLabels_[i] = label;
    }
    ShowDeltas(runMode ? -1 : index);
}

void CursorReadout::ShowDeltas(int sampleA) {
    deltaTimeLabel_.clear();
    for (QString& d : deltaLabels_) d.clear();
    const std::vector<ViewSample>& samples = store_.Samples();
    if (!secondSample_ || *secondSample_ >= static_cast<int>(samples.size())) return;
    const ViewSample& b = samples[static_cast<size_t>(*secondSample_)];
    if (sampleA < 0) {
        // Only the second cursor: where it stands.
        deltaTimeLabel_ = MinutesText(b.SampleTimeMs - store_.RecordingStartMs());
        return;
    }
    const ViewSample& a = samples[static_cast<size_t>(sampleA)];
    const double dt = (a.SampleTimeMs - b.SampleTimeMs) / 1000;
    deltaTimeLabel_ = texts_.delta + QLatin1Char(' ') +
                      (dt >= 0 ? QStringLiteral("+") : QString()) +
                      QString::number(dt, 'f', 3).replace(QLatin1Char('.'), QLatin1Char(',')) +
                      QStringLiteral(" s");
    const int inj = channels_.Injector();
    for (int c = 0; c < kViewChannels; ++c) {
        if (!channels_.Drawn(c)) {
            deltaLabels_[static_cast<size_t>(c)] = QString::fromLatin1(kHiddenValue);
            continue;
        }
        const double d = ReadoutValue(a, c, inj) - ReadoutValue(b, c, inj);
        const QString t = ReadoutText(d, c);
        deltaLabels_[static_cast<size_t>(c)] =
            (t.startsWith(QLatin1Char('-')) ? QString() : QStringLiteral("+")) + t;
    }
}

bool CursorReadout::SetSecondCursor(double x) {
    const int index = trace_.SampleUnder(x, false);
    if (index < 0) return false;
    secondSample_ = index;
    return true;
}

bool CursorReadout::ClearSecondCursor() {
    if (!secondSample_) return false;
    secondSample_.reset();
    ShowDeltas(-1);
    return true;
}

std::optional<double> CursorReadout::SecondCursorX() const {
    if (!secondSample_) return std::nullopt;
    return trace_.XOf(*secondSample_);
}

}  // namespace gascal
