#include "pages/ctrlbar/UCtrlBarModel.h"

#include <algorithm>
#include <cmath>

namespace gascal {

void UCtrlBarModel::UserControl_Initialize() {
    maxVal_ = 100;
    minVal_ = 0;
    stepVal_ = 10;
    mode_ = 0;
    border_ = false;
    segments_.assign(1, Segment{0, widthTwips_, true});
}

void UCtrlBarModel::Configura(int maxVal, int minVal, int stepVal, uint32_t backColour,
                              uint32_t foreColour, int mode) {
    if (maxVal < minVal) maxVal = minVal;
    if (maxVal - minVal < stepVal) stepVal = maxVal - minVal;
    if (stepVal < 1) stepVal = 1;
    maxVal_ = maxVal;
    minVal_ = minVal;
    stepVal_ = stepVal;
    mode_ = mode;
    backColour_ = backColour;
    foreColour_ = foreColour;
    border_ = mode > 0;

    // An empty range (max equal to min) still gets one segment, so the
    // control always has something to size and the value rules keep working.
    const int n = std::max(1, (maxVal_ - minVal_) / stepVal_);
    segments_.assign(static_cast<size_t>(n), Segment{});
    for (auto& s : segments_) s.visible = true;
    LayOutSegments();
}

void UCtrlBarModel::UserControl_Resize(int widthTwips, int heightTwips) {
    widthTwips_ = std::max(0, widthTwips);
    heightTwips_ = std::max(0, heightTwips);
    LayOutSegments();
}

void UCtrlBarModel::LayOutSegments() {
    if (segments_.empty()) return;
    const double n = static_cast<double>(segments_.size());
    // A whole number of screen pixels per segment; halves round to even.
    const int width =
        static_cast<int>(std::nearbyint(widthTwips_ / n / kTwipsPerPixel)) * kTwipsPerPixel;
    int left = 0;
    for (auto& s : segments_) {
        s.left = left;
        s.width = width;
        left += width;
    }
}

void UCtrlBarModel::SetValore(int v) {
    if (v < 0) v = 0;
    const int n = static_cast<int>(segments_.size());
    int k = v / stepVal_;  // the range's lower end is not subtracted
    if (MarkerMode()) {
        k = std::min(k, n - 1);
        for (int i = 0; i < n; ++i) segments_[static_cast<size_t>(i)].visible = (i == k);
    } else {
        for (int i = 0; i < n; ++i) segments_[static_cast<size_t>(i)].visible = (i < k);
    }
}

int UCtrlBarModel::VisibleCount() const {
    return static_cast<int>(std::count_if(segments_.begin(), segments_.end(),
                                          [](const Segment& s) { return s.visible; }));
}

int UCtrlBarModel::Valore() const {
    if (MarkerMode()) {
        // The marker stands on one segment: its position is the value shown.
        for (size_t i = 0; i < segments_.size(); ++i)
            if (segments_[i].visible) return static_cast<int>(i) * stepVal_;
        return 0;
    }
    int count = 0;
    while (count < static_cast<int>(segments_.size()) &&
           segments_[static_cast<size_t>(count)].visible)
        ++count;
    return count * stepVal_;
}

}  // namespace gascal
