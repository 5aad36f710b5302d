// The signal viewer's time axis: the time base (seconds per division on the
// ladder 1, 2, 5, 7.5, 10, 20), the mouse-wheel zoom on top of it, and the
// scroll slider, whose position is the time in milliseconds from the first
// sample at the picture's left edge.
#pragma once

#include <QString>

#include "viewer/model/ViewerSettings.h"

namespace gascal {

// Mouse-wheel zoom of the time axis: a factor on top of the time base.
inline constexpr double kWheelZoomStep = 1.25;
inline constexpr double kWheelZoomMax = 32;

class TimeAxis {
  public:
    double SecDiv() const { return secDiv_; }
    double Zoom() const { return zoom_; }
    // Drawing units per millisecond with the wheel zoom.
    double K() const { return UnitsPerMs(secDiv_) * zoom_; }
    bool PlusEnabled() const { return secDiv_ < kSecDivMax; }
    bool MinusEnabled() const { return secDiv_ > kSecDivMin; }
    // "5,00 s": the time base the picture shows, the zoom included.
    QString Label() const { return SecDivText(secDiv_ / zoom_); }

    // The default time base, no zoom.
    void Reset();
    void ResetZoom() { zoom_ = 1; }
    // One step up or down the ladder; the zoom is dropped.
    void StepUp();
    void StepDown();
    // `steps` notches of the wheel (positive zooms in), keeping the time
    // under `x` in place. False when the zoom is already at its limit.
    bool WheelZoom(int steps, double x);

    int SliderMax() const { return sliderMax_; }
    int SliderValue() const { return sliderValue_; }
    int SliderLargeStep() const { return sliderLargeStep_; }
    // Slider events are ignored while the range is being set.
    bool ScrollSuppressed() const { return scrollSuppressed_; }
    void SetSliderValue(int ms) { sliderValue_ = ms; }
    // The slider's range from the first and last sample time: the maximum
    // is the span, the large step half a screen. The position stays unless
    // beyond the new maximum; `toNewest` puts it at the maximum (run mode,
    // or forced). False, and nothing changes, for a span below 2 ms.
    bool FitSlider(double firstMs, double lastMs, bool toNewest);
    // A scroll to `ms`, held within the range.
    void Scroll(int ms);
    // The time at x: milliseconds from the first sample.
    double TimeAt(double x) const { return x / K() + sliderValue_; }

  private:
    double secDiv_ = kSecDivDefault;
    double zoom_ = 1;
    int sliderMax_ = 0, sliderValue_ = 0, sliderLargeStep_ = 0;
    bool scrollSuppressed_ = false;
};

}  // namespace gascal
