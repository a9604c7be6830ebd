// The window's logical geometry: client points to logical units, the hit
// table with both ends of every range, the hand cursor and the progress bar.
#include "app/WindowGeometry.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

TEST(WindowGeometry, ClientPointsAreLogicalUnitsAt96Dpi) {
  EXPECT_EQ(logicalPointFromClient(820, 466, 1.0), (LogicalPoint{820, 466}));
}

TEST(WindowGeometry, AClickAt1230And700At144DpiLandsOnTheInstallButton) {
  const LogicalPoint point = logicalPointFromClient(1230, 700, 1.5);
  EXPECT_EQ(point, (LogicalPoint{820, 466}));
  EXPECT_EQ(hitArea(point), WindowArea::InstallButton);
}

TEST(WindowGeometry, ClientPointsAreTruncatedTowardZero) {
  EXPECT_EQ(logicalPointFromClient(1229, 1, 1.5), (LogicalPoint{819, 0}));
  EXPECT_EQ(logicalPointFromClient(-1, -2, 1.5), (LogicalPoint{0, -1}));
  EXPECT_EQ(logicalPointFromClient(1124, 437, 1.25), (LogicalPoint{899, 349}));
}

struct Edge {
  int x, y;
  WindowArea area;
};

// Each case runs as its own Wine process, so the table is one case.
TEST(WindowGeometry, BothEndsOfEveryHitRangeBelongToTheArea) {
  const Edge edges[] = {Edge{0, 0, WindowArea::DragStrip},         Edge{799, 54, WindowArea::DragStrip},
                        Edge{800, 54, WindowArea::None},           Edge{799, 55, WindowArea::None},
                        Edge{809, 11, WindowArea::Minimise},       Edge{846, 44, WindowArea::Minimise},
                        Edge{808, 11, WindowArea::None},           Edge{809, 10, WindowArea::None},
                        Edge{847, 30, WindowArea::None},           Edge{809, 45, WindowArea::None},
                        Edge{848, 11, WindowArea::Close},          Edge{885, 44, WindowArea::Close},
                        Edge{886, 44, WindowArea::None},           Edge{848, 45, WindowArea::None},
                        Edge{814, 224, WindowArea::Browse},        Edge{861, 265, WindowArea::Browse},
                        Edge{813, 224, WindowArea::None},          Edge{862, 265, WindowArea::None},
                        Edge{861, 266, WindowArea::None},          Edge{475, 439, WindowArea::InstallButton},
                        Edge{863, 486, WindowArea::InstallButton}, Edge{474, 439, WindowArea::None},
                        Edge{864, 486, WindowArea::None},          Edge{475, 487, WindowArea::None},
                        Edge{475, 438, WindowArea::None},          Edge{475, 311, WindowArea::OptionRow1},
                        Edge{834, 335, WindowArea::OptionRow1},    Edge{475, 310, WindowArea::None},
                        Edge{835, 335, WindowArea::None},          Edge{475, 336, WindowArea::None},
                        Edge{475, 341, WindowArea::None},          Edge{475, 342, WindowArea::OptionRow2},
                        Edge{834, 366, WindowArea::OptionRow2},    Edge{834, 367, WindowArea::None},
                        Edge{474, 342, WindowArea::None},          Edge{600, 150, WindowArea::None}};
  for (const Edge& edge : edges) {
    EXPECT_EQ(hitArea(LogicalPoint{edge.x, edge.y}), edge.area) << "at " << edge.x << ", " << edge.y;
  }
}

TEST(WindowGeometry, OnlyTheTitleStripAndItsButtonsWorkWhileAnInstallRuns) {
  EXPECT_TRUE(areaActiveWhileBusy(WindowArea::DragStrip));
  EXPECT_TRUE(areaActiveWhileBusy(WindowArea::Minimise));
  EXPECT_TRUE(areaActiveWhileBusy(WindowArea::Close));
  EXPECT_FALSE(areaActiveWhileBusy(WindowArea::Browse));
  EXPECT_FALSE(areaActiveWhileBusy(WindowArea::InstallButton));
  EXPECT_FALSE(areaActiveWhileBusy(WindowArea::OptionRow1));
  EXPECT_FALSE(areaActiveWhileBusy(WindowArea::OptionRow2));
}

TEST(WindowGeometry, TheHandShowsOverTheTitleButtonsEvenWhileBusy) {
  EXPECT_TRUE(showsHandCursor({809, 11}, true));
  EXPECT_TRUE(showsHandCursor({886, 44}, true));
  EXPECT_TRUE(showsHandCursor({847, 30}, false));  // the gap between the two buttons too
  EXPECT_FALSE(showsHandCursor({887, 44}, false));
  EXPECT_FALSE(showsHandCursor({886, 45}, false));
  EXPECT_FALSE(showsHandCursor({100, 20}, false));  // the drag strip keeps the arrow
}

TEST(WindowGeometry, TheHandShowsOverTheFormOnlyWhileIdle) {
  for (const LogicalPoint point : {LogicalPoint{814, 224}, LogicalPoint{863, 486}, LogicalPoint{475, 311},
                                   LogicalPoint{834, 366}, LogicalPoint{600, 339}}) {
    EXPECT_TRUE(showsHandCursor(point, false)) << point.x << ", " << point.y;
    EXPECT_FALSE(showsHandCursor(point, true)) << point.x << ", " << point.y;
  }
  EXPECT_FALSE(showsHandCursor({835, 339}, false));
  EXPECT_FALSE(showsHandCursor({475, 367}, false));
}

TEST(WindowGeometry, TheProgressBarIsPercentTimes389Over100) {
  EXPECT_DOUBLE_EQ(progressBarWidth(0), 0.0);
  EXPECT_DOUBLE_EQ(progressBarWidth(1), 3.89);
  EXPECT_DOUBLE_EQ(progressBarWidth(42), 163.38);
  EXPECT_DOUBLE_EQ(progressBarWidth(100), 389.0);
}

TEST(WindowGeometry, TheProgressBarNeverLeavesTheTrack) {
  EXPECT_DOUBLE_EQ(progressBarWidth(-5), 0.0);
  EXPECT_DOUBLE_EQ(progressBarWidth(250), 389.0);
}

TEST(WindowGeometry, ThePathBoxAndTheWindowScaleWithTruncation) {
  EXPECT_EQ(pathBoxPixels(1.0), (PixelRect{489, 236, 316, 20}));
  EXPECT_EQ(pathBoxPixels(1.5), (PixelRect{733, 354, 474, 30}));
  EXPECT_EQ(pathBoxPixels(1.25), (PixelRect{611, 295, 395, 25}));
  EXPECT_EQ(windowPixels(1.5), (PixelRect{0, 0, 1350, 825}));
  EXPECT_EQ(windowPixels(1.75), (PixelRect{0, 0, 1575, 962}));
}

}  // namespace
}  // namespace orvo
