// Outlines to coverage: areas of straight and curved shapes, half-covered edge pixels, the two
// fill rules over overlapping contours, and contours reaching past the box.
#include <gtest/gtest.h>

#include <cmath>

#include "host/raster/Rasterise.h"

namespace {

using Raster::CubicSegment;
using P = Kernel::PointT<double>;

// A closed polygon as straight cubic segments.
std::vector<CubicSegment> Polygon(std::vector<P> const& pts) {
    std::vector<CubicSegment> out;
    for (size_t i = 0; i < pts.size(); ++i) {
        P a = pts[i], b = pts[(i + 1) % pts.size()];
        out.push_back({a, {a.x + (b.x - a.x) / 3, a.y + (b.y - a.y) / 3},
                       {a.x + 2 * (b.x - a.x) / 3, a.y + 2 * (b.y - a.y) / 3}, b});
    }
    return out;
}

double Area(Raster::DynamicBitmap const& bm) {
    double sum = 0;
    for (uint32_t y = 0; y < bm.GetHeight(); ++y)
        for (uint32_t x = 0; x < bm.GetWidth(); ++x) sum += bm.GetRow(y)[x] / 255.0;
    return sum;
}

TEST(Rasterise, AreasEdgesAndRules) {
    Kernel::RectT<int32_t> box{0, 0, 16, 16};
    auto square = Polygon({{2.5, 2}, {7.5, 2}, {7.5, 6}, {2.5, 6}});
    auto bm = Raster::RasteriseContours({square}, false, box);
    ASSERT_TRUE(bm);
    EXPECT_NEAR(Area(*bm), 20.0, 0.1);
    EXPECT_EQ(bm->GetRow(3)[4], 255);                // inside
    EXPECT_NEAR(bm->GetRow(3)[2], 128, 2);           // half of the pixel's width
    EXPECT_EQ(bm->GetRow(1)[4], 0);                  // above: rows run downwards
    EXPECT_EQ(bm->GetRow(6)[4], 0);

    // Two overlapping squares wound the same way: the overlap is filled by the non-zero rule
    // and empty by the even-odd one.
    auto other = Polygon({{5, 4}, {10, 4}, {10, 9}, {5, 9}});
    EXPECT_NEAR(Area(*Raster::RasteriseContours({square, other}, false, box)), 20 + 25 - 5, 0.2);
    EXPECT_NEAR(Area(*Raster::RasteriseContours({square, other}, true, box)), 20 + 25 - 10, 0.2);

    // A circle of four cubic arcs (radius 6) within a percent of its area; a box offset from the
    // origin sees the same shape moved.
    double k = 0.5522847498 * 6;
    P c{8, 8};
    std::vector<CubicSegment> circle = {
        {P{c.x + 6, c.y}, P{c.x + 6, c.y + k}, P{c.x + k, c.y + 6}, P{c.x, c.y + 6}},
        {P{c.x, c.y + 6}, P{c.x - k, c.y + 6}, P{c.x - 6, c.y + k}, P{c.x - 6, c.y}},
        {P{c.x - 6, c.y}, P{c.x - 6, c.y - k}, P{c.x - k, c.y - 6}, P{c.x, c.y - 6}},
        {P{c.x, c.y - 6}, P{c.x + k, c.y - 6}, P{c.x + 6, c.y - k}, P{c.x + 6, c.y}}};
    EXPECT_NEAR(Area(*Raster::RasteriseContours({circle}, false, box)), M_PI * 36, M_PI * 36 / 100);
    auto half = Raster::RasteriseContours({circle}, false, {8, 0, 24, 16});
    EXPECT_NEAR(Area(*half), M_PI * 18, M_PI * 18 / 100);

    // Past the box on every side: the box is covered, nothing breaks; nothing gives nothing.
    auto big = Polygon({{-1e6, -1e6}, {1e6, -1e6}, {1e6, 1e6}, {-1e6, 1e6}});
    EXPECT_NEAR(Area(*Raster::RasteriseContours({big}, false, box)), 256, 0.5);
    EXPECT_EQ(Area(*Raster::RasteriseContours({}, false, box)), 0);
    EXPECT_FALSE(Raster::RasteriseContours({square}, false, {4, 4, 4, 9}));
}

}  // namespace
