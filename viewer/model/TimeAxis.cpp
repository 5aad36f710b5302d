#include "viewer/model/TimeAxis.h"

#include <algorithm>
#include <cmath>

namespace gascal {

void TimeAxis::Reset() {
    secDiv_ = kSecDivDefault;
    zoom_ = 1;
}

void TimeAxis::StepUp() {
    secDiv_ = SecDivUp(secDiv_);
    zoom_ = 1;
}

void TimeAxis::StepDown() {
    secDiv_ = SecDivDown(secDiv_);
    zoom_ = 1;
}

bool TimeAxis::WheelZoom(int steps, double x) {
    const double atMs = TimeAt(x);
    const double zoom = std::clamp(zoom_ * std::pow(kWheelZoomStep, steps), 1.0, kWheelZoomMax);
    if (zoom == zoom_) return false;
    zoom_ = zoom;
    // The time under the pointer stays under it.
    sliderValue_ = static_cast<int>(std::clamp(std::nearbyint(atMs - x / K()), 0.0,
                                               static_cast<double>(std::max(sliderMax_, 0))));
    return true;
}

bool TimeAxis::FitSlider(double firstMs, double lastMs, bool toNewest) {
    const int remembered = sliderValue_;
    const double span = lastMs - firstMs;
    if (span < 2) return false;
    scrollSuppressed_ = true;
    sliderMax_ = static_cast<int>(std::min(span, 2147483647.0));
    // Half a screen.
    sliderLargeStep_ = std::max(1, static_cast<int>(kVisibleDivs * secDiv_ / 2 * 1000 / zoom_));
    if (!toNewest) {
        if (sliderMax_ < remembered) sliderValue_ = sliderMax_;
    } else {
        sliderValue_ = sliderMax_;
    }
    scrollSuppressed_ = false;
    return true;
}

void TimeAxis::Scroll(int ms) {
    sliderValue_ = std::clamp(ms, 0, std::max(sliderMax_, 0));
}

}  // namespace gascal
