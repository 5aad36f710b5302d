#include "viewer/model/TraceLayout.h"

#include <algorithm>
#include <cmath>

#include "viewer/model/ChannelSet.h"
#include "viewer/model/ViewerSettings.h"

namespace gascal {

void TraceLayout::Clear(int sampleIndex) {
    prevSamples_.clear();
    prevX_.clear();
    drawnX_.clear();
    drawnIndex_.clear();
    sweepHead_ = 0;
    firstVisible_ = 0;
    sampleIndex_ = sampleIndex;
}

void TraceLayout::StartRun() {
    sampleIndex_ = 0;
    drawnX_.push_back(0);
    drawnIndex_.push_back(0);
}

void TraceLayout::StartSweep(std::vector<ViewSample> previous) {
    prevSamples_ = std::move(previous);
    prevX_ = std::move(drawnX_);
    drawnX_.clear();
    drawnIndex_.clear();
    drawnX_.push_back(0);
    drawnIndex_.push_back(0);
    sweepHead_ = 0;
}

LiveSegment TraceLayout::AddLiveSegment(const std::vector<ViewSample>& samples, int& n,
                                        double secDiv, const ChannelSet& channels) {
    LiveSegment seg;
    if (n < 1 || n >= static_cast<int>(samples.size())) return seg;
    const ViewSample& a = samples[static_cast<size_t>(n - 1)];
    const ViewSample& b = samples[static_cast<size_t>(n)];
    const double k = UnitsPerMs(secDiv);
    seg.x1 = std::nearbyint((a.SampleTimeMs - samples.front().SampleTimeMs) * k);
    seg.x2 = std::nearbyint(seg.x1 + (b.SampleTimeMs - a.SampleTimeMs) * k);
    drawnX_.push_back(seg.x2);
    drawnIndex_.push_back(n);
    for (int c = 0; c < kViewChannels; ++c) {
        const size_t i = static_cast<size_t>(c);
        seg.drawn[i] = channels.Drawn(c) && a.SampleTimeMs > 0;
        if (!seg.drawn[i]) continue;
        seg.y1[i] = channels.Y(c, a);
        seg.y2[i] = channels.Y(c, b);
    }
    if (seg.x1 > kPictureWidth) {
        // The next live sample starts the sweep again at the left edge.
        seg.restart = true;
        n = -1;
        sampleIndex_ = -1;
    } else {
        seg.erase = true;
        sweepHead_ = seg.x2;
    }
    return seg;
}

void TraceLayout::LayOut(const std::vector<ViewSample>& samples, int sliderMs, double k) {
    drawnX_.clear();
    drawnIndex_.clear();
    firstVisible_ = static_cast<int>(samples.size());
    if (samples.empty()) return;
    const double t0 = samples.front().SampleTimeMs;
    int first = -1;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].SampleTimeMs - t0 >= sliderMs) {
            first = static_cast<int>(i);
            break;
        }
    }
    if (first < 0) return;
    firstVisible_ = first;
    double x = 0;
    drawnX_.push_back(0);
    drawnIndex_.push_back(first);
    for (size_t i = static_cast<size_t>(first) + 1; i < samples.size(); ++i) {
        x = std::nearbyint(x + (samples[i].SampleTimeMs - samples[i - 1].SampleTimeMs) * k);
        drawnX_.push_back(x);
        drawnIndex_.push_back(static_cast<int>(i));
        // The segment that leaves the picture is the last one drawn.
        if (x > kPictureWidth) break;
    }
}

int TraceLayout::SampleUnder(double x, bool runMode) const {
    if (runMode && x > sweepHead_) return -1;
    // The last drawn sample whose x is below the cursor.
    const auto it = std::lower_bound(drawnX_.begin(), drawnX_.end(), x);
    if (it == drawnX_.begin()) return -1;
    const size_t k = static_cast<size_t>(it - drawnX_.begin()) - 1;
    return drawnIndex_[k];
}

const ViewSample* TraceLayout::PreviousSweepSampleUnder(double x) const {
    const auto it = std::lower_bound(prevX_.begin(), prevX_.end(), x);
    if (it == prevX_.begin()) return nullptr;
    const size_t k = static_cast<size_t>(it - prevX_.begin()) - 1;
    if (prevX_[k] > sweepHead_ && k < prevSamples_.size()) return &prevSamples_[k];
    return nullptr;
}

std::optional<double> TraceLayout::XOf(int index) const {
    if (drawnIndex_.empty()) return std::nullopt;
    const int k = index - drawnIndex_.front();
    if (k < 0 || k >= static_cast<int>(drawnX_.size())) return std::nullopt;
    return drawnX_[static_cast<size_t>(k)];
}

std::pair<size_t, size_t> TraceLayout::InView() const {
    size_t begin = 0, end = 0;
    for (size_t k = 0; k < drawnX_.size(); ++k) {
        if (drawnX_[k] > kPictureWidth) break;
        if (end == 0) begin = static_cast<size_t>(drawnIndex_[k]);
        end = static_cast<size_t>(drawnIndex_[k]) + 1;
    }
    return {begin, end};
}

}  // namespace gascal
