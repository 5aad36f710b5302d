#include <gtest/gtest.h>

#include "pages/ctrlbar/UCtrlBar.h"
#include "pages/ctrlbar/UCtrlBarModel.h"

using namespace gascal;

namespace {
constexpr uint32_t kWhite = RgbColour(255, 255, 255);
constexpr uint32_t kCyan = RgbColour(0, 255, 255);

UCtrlBarModel Bar(int widthTwips, int max, int min, int step, int mode) {
    UCtrlBarModel m;
    m.UserControl_Resize(widthTwips, 225);
    m.Configura(max, min, step, kWhite, kCyan, mode);
    return m;
}
}  // namespace

TEST(UCtrlBarModel, DefaultsAndColourEncoding) {
    UCtrlBarModel m;
    EXPECT_EQ(m.MaxVal(), 100);
    EXPECT_EQ(m.MimVal(), 0);
    EXPECT_EQ(m.StepVal(), 10);
    EXPECT_EQ(m.Segments().size(), 1u);
    EXPECT_EQ(RgbColour(255, 0, 0), 255u);
    EXPECT_EQ(RgbColour(0, 255, 0), 65280u);
    EXPECT_EQ(kWhite, 16777215u);
    EXPECT_EQ(UCtrlBar::ToQColor(kCyan), QColor(0, 255, 255));
}

TEST(UCtrlBarModel, ConfiguraSizesSegmentsInWholePixels) {
    auto m = Bar(1500, 100, 0, 10, 0);
    ASSERT_EQ(m.Segments().size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(m.Segments()[i].width, 150);
        EXPECT_EQ(m.Segments()[i].left, static_cast<int>(i) * 150);
        EXPECT_TRUE(m.Segments()[i].visible);
    }
    // 1000 twips over 3 segments: 22.2 pixels -> 22 pixels = 330 twips each.
    auto odd = Bar(1000, 30, 0, 10, 1);
    ASSERT_EQ(odd.Segments().size(), 3u);
    EXPECT_EQ(odd.Segments()[1].width, 330);
    EXPECT_EQ(odd.Segments()[2].left, 660);
    EXPECT_TRUE(odd.StepBorder());
    EXPECT_FALSE(Bar(1000, 30, 0, 10, 0).StepBorder());
}

TEST(UCtrlBarModel, RangeCorrections) {
    auto m = Bar(1500, 20, 0, 30, 0);  // step larger than the range
    EXPECT_EQ(m.StepVal(), 20);
    EXPECT_EQ(m.Segments().size(), 1u);
    auto inverted = Bar(1500, 5, 50, 10, 0);  // max below min: max := min
    EXPECT_EQ(inverted.MaxVal(), 50);
    EXPECT_EQ(inverted.StepVal(), 1);
    EXPECT_EQ(inverted.Segments().size(), 1u);  // empty range still has one segment
    inverted.SetValore(3);
    EXPECT_EQ(inverted.Valore(), 1);
    auto zeroStep = Bar(1500, 10, 0, 0, 0);
    EXPECT_EQ(zeroStep.StepVal(), 1);
    EXPECT_EQ(zeroStep.Segments().size(), 10u);
}

TEST(UCtrlBarModel, BarModeShowsSegmentsUpToTheValue) {
    auto m = Bar(1500, 100, 0, 10, 0);
    m.SetValore(35);
    EXPECT_EQ(m.VisibleCount(), 3);
    EXPECT_TRUE(m.Segments()[2].visible);
    EXPECT_FALSE(m.Segments()[3].visible);
    EXPECT_EQ(m.Valore(), 30);
    m.SetValore(-5);
    EXPECT_EQ(m.VisibleCount(), 0);
    EXPECT_EQ(m.Valore(), 0);
    m.SetValore(500);  // beyond the range: all segments
    EXPECT_EQ(m.VisibleCount(), 10);
    EXPECT_EQ(m.Valore(), 100);
}

TEST(UCtrlBarModel, MinimumIsNotSubtracted) {
    auto m = Bar(1500, 150, 50, 10, 0);
    ASSERT_EQ(m.Segments().size(), 10u);
    m.SetValore(60);  // 60 / 10 = 6 segments, not (60 - 50) / 10
    EXPECT_EQ(m.VisibleCount(), 6);
}

TEST(UCtrlBarModel, MarkerModeShowsOneSegment) {
    auto m = Bar(1500, 100, 0, 10, UCtrlBarModel::kMarkerMode);
    m.SetValore(-5);
    EXPECT_EQ(m.VisibleCount(), 1);
    EXPECT_TRUE(m.Segments()[0].visible);
    m.SetValore(47);
    EXPECT_EQ(m.VisibleCount(), 1);
    EXPECT_TRUE(m.Segments()[4].visible);
    EXPECT_EQ(m.Valore(), 40);  // the marker's position, not the count of leading segments
    m.SetValore(10000);
    EXPECT_EQ(m.VisibleCount(), 1);
    EXPECT_TRUE(m.Segments()[9].visible);
}

TEST(UCtrlBarModel, ResizeKeepsTheSegmentCount) {
    auto m = Bar(1500, 100, 0, 10, 0);
    m.SetValore(50);
    m.UserControl_Resize(3000, 300);
    ASSERT_EQ(m.Segments().size(), 10u);
    EXPECT_EQ(m.Segments()[9].left, 2700);
    EXPECT_EQ(m.Segments()[9].width, 300);
    EXPECT_EQ(m.HeightTwips(), 300);
    EXPECT_EQ(m.Valore(), 50);  // the value survives the resize
}

TEST(UCtrlBar, WidgetFollowsItsPixelSize) {
    UCtrlBar bar;
    bar.resize(100, 12);  // 1500 twips
    bar.Configura(100, 0, 10, kWhite, kCyan, 0);
    EXPECT_EQ(bar.Model().Segments().size(), 10u);
    EXPECT_EQ(bar.Model().Segments()[0].width, 150);
    bar.SetValore(72);
    EXPECT_EQ(bar.Valore(), 70);
    const QImage img = bar.grab().toImage();
    // Segment 6 (pixels 60..69) is filled, segment 8 (80..89) is empty.
    EXPECT_EQ(img.pixelColor(65, 6), QColor(0, 255, 255));
    EXPECT_EQ(img.pixelColor(85, 6), QColor(255, 255, 255));
}
