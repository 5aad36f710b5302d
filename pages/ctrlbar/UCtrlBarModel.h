// Rules of the bar gauge UCtrlBar, without pixels: a horizontal gauge made of
// equal segments side by side, showing an integer value either as a filled
// bar (every segment up to the value) or as one moving marker (only the
// segment of the value). Positions and widths are in twips, the unit the
// window geometry of the tool is expressed in; the widget converts.
#pragma once

#include <cstdint>
#include <vector>

namespace gascal {

// Colours are RGB integers: red + 256 * green + 65536 * blue.
constexpr uint32_t RgbColour(int r, int g, int b) {
    return static_cast<uint32_t>(r) + 256u * static_cast<uint32_t>(g) +
           65536u * static_cast<uint32_t>(b);
}

class UCtrlBarModel {
  public:
    static constexpr int kTwipsPerPixel = 15;
    static constexpr int kMarkerMode = 2;

    struct Segment {
        int left = 0;   // twips from the control's left edge
        int width = 0;  // twips
        bool visible = false;
    };

    UCtrlBarModel() { UserControl_Initialize(); }

    // Defaults: range 0..100, step 10, bar mode, one segment.
    void UserControl_Initialize();
    // Sets range and look and rebuilds the segments for a control `widthTwips` wide.
    void Configura(int maxVal, int minVal, int stepVal, uint32_t backColour, uint32_t foreColour,
                   int mode);
    // The control changed size: the segments keep their number and are fitted
    // to the new width and height.
    void UserControl_Resize(int widthTwips, int heightTwips);

    void SetValore(int v);
    int Valore() const;

    void SetForeColor(uint32_t c) { foreColour_ = c; }
    uint32_t ForeColor() const { return foreColour_; }
    uint32_t BackColor() const { return backColour_; }
    void SetStepBorder(int style) { border_ = style != 0; }
    bool StepBorder() const { return border_; }

    int MaxVal() const { return maxVal_; }
    int MimVal() const { return minVal_; }
    int StepVal() const { return stepVal_; }
    int Mode() const { return mode_; }
    bool MarkerMode() const { return mode_ == kMarkerMode; }

    int WidthTwips() const { return widthTwips_; }
    int HeightTwips() const { return heightTwips_; }
    const std::vector<Segment>& Segments() const { return segments_; }
    int VisibleCount() const;

  private:
    void LayOutSegments();

    int maxVal_ = 100;
    int minVal_ = 0;
    int stepVal_ = 10;
    int mode_ = 0;
    bool border_ = false;
    uint32_t backColour_ = RgbColour(255, 255, 255);
    uint32_t foreColour_ = RgbColour(0, 0, 255);
    int widthTwips_ = 1500;
    int heightTwips_ = 225;
    std::vector<Segment> segments_;
};

}  // namespace gascal
