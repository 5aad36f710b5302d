// Where the signal viewer's samples lie on the picture. In run mode the
// newest sample extends a sweeping trace from the left edge (one live
// segment per sample); once a segment starts beyond the picture the next
// sample starts a new sweep, and the previous sweep stays on the picture
// right of the sweep head. In stop mode every sample from the first one at
// or after the slider's time is laid out until the picture is full.
//
// For each drawn sample the layout keeps its x and its index in the sample
// list: the cursors find the sample under a point with them.
#pragma once

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "viewer/model/ViewSample.h"

namespace gascal {

class ChannelSet;

// One live segment: a step from the previous sample to the newest.
struct LiveSegment {
    double x1 = 0, x2 = 0;
    // Per channel: drawn, and the heights before and after the step.
    std::array<bool, kViewChannels> drawn{};
    std::array<double, kViewChannels> y1{}, y2{};
    bool erase = false;    // the erase band from x2 + 15 to x2 + 150 over the full height
    bool restart = false;  // x1 lay beyond the picture: the next sample starts a new sweep
};

class TraceLayout {
  public:
    const std::vector<double>& DrawnX() const { return drawnX_; }
    const std::vector<int>& DrawnIndex() const { return drawnIndex_; }
    int FirstVisible() const { return firstVisible_; }
    double SweepHead() const { return sweepHead_; }
    // The live sample the sweep has reached, -1 before a new sweep.
    int SampleIndex() const { return sampleIndex_; }
    // The previous sweep, still on the picture right of the head.
    const std::vector<ViewSample>& PreviousSweep() const { return prevSamples_; }
    const std::vector<double>& PreviousSweepX() const { return prevX_; }

    // The picture cleared: nothing drawn, no previous sweep, the head at the
    // left edge; `sampleIndex` 0 when the run's first sample is in, -1 when
    // the next one starts the sweep.
    void Clear(int sampleIndex);
    // The run's first sample, at the left edge.
    void StartRun();
    // The next live sample's index in the sweep.
    int NextSample() { return ++sampleIndex_; }
    // A new sweep begins with its first sample at the left edge; the sweep
    // that was drawn stays on the picture behind the head.
    void StartSweep(std::vector<ViewSample> previous);

    // The live segment ending at sample n (n >= 1) of `samples`
    // (DrawLinee), at the time base `secDiv`. When the segment starts beyond
    // the picture, n (and the sweep's sample index) becomes -1: the next
    // sample starts a new sweep.
    LiveSegment AddLiveSegment(const std::vector<ViewSample>& samples, int& n, double secDiv,
                               const ChannelSet& channels);
    // The full layout from the slider's time (RedrawSignals), `k` drawing
    // units per millisecond.
    void LayOut(const std::vector<ViewSample>& samples, int sliderMs, double k);

    // The sample under cursor x: the last drawn one whose x is below it
    // (in run mode only left of the head), or -1.
    int SampleUnder(double x, bool runMode) const;
    // In run mode right of the head: the previous sweep's sample under x.
    const ViewSample* PreviousSweepSampleUnder(double x) const;
    // The x of sample `index` when it is drawn.
    std::optional<double> XOf(int index) const;
    // The samples inside the picture, [begin, end) of the sample list.
    std::pair<size_t, size_t> InView() const;

  private:
    int sampleIndex_ = -1;
    std::vector<double> drawnX_;
    std::vector<int> drawnIndex_;
    int firstVisible_ = 0;
    double sweepHead_ = 0;
    std::vector<ViewSample> prevSamples_;
    std::vector<double> prevX_;
};

}  // namespace gascal
