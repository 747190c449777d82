// Dashed strokes: where along a rectangle the pattern draws and leaves, with each cap, and the
// patterns that dash nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "psd/render/PSDRenderDashes.h"

namespace PSD {
namespace {

// A rectangle's outline from (10, 10) to (50, 30); dashed from its lowest anchor, the bottom
// right corner, leftward along the bottom edge.
Kernel::Counted<Geometry::PolyCurveDbl> Rectangle() {
    Kernel::Counted<Geometry::PolyCurveDbl> outline(new Geometry::PolyCurveDbl);
    outline->AddRectangle({10, 10, 50, 30});
    return outline;
}

RenderMap Band() {
    RenderMap band;
    band.box = {0, 0, 60, 40};
    band.v.assign(60 * 40, 0.0f);
    // A 4 px stroke inside the outline.
    for (int y = 10; y < 30; ++y)
        for (int x = 10; x < 50; ++x)
            if (x < 14 || x >= 46 || y < 14 || y >= 26) band.v[size_t(y) * 60 + size_t(x)] = 1;
    return band;
}

TEST(RenderDashes, PiecesAndCapsAlongARectangle) {
    using Cap = DashStyle::Cap;
    struct Probe {
        int x, y;
        float want;
    };
    struct Case {
        char const* what;
        DashStyle style;
        std::vector<Probe> probes;
    } const cases[] = {
        // 6 drawn, 3 left, from x = 50 leftward: [44, 50], [35, 41], [26, 32]...
        {"butt",
         {{6, 3}, 0, 4, 2, Cap::Butt},
         {{46, 29, 1}, {42, 29, 0}, {38, 28, 1}, {33, 29, 0}}},
        // An odd list repeats: 3 drawn, 3 left.
        {"odd list", {{3}, 0, 4, 2, Cap::Butt}, {{48, 29, 1}, {45, 29, 0}, {42, 29, 1}}},
        // The offset moves the pattern on by 6: [47, 50] is left, [41, 47] drawn.
        {"offset", {{6, 3}, 6, 4, 2, Cap::Butt}, {{48, 29, 0}, {44, 29, 1}, {39, 29, 0}}},
        // Dots of no length every 5 px: round caps draw a disc on the middle line (y = 28),
        // square caps a 4 px square; butt caps draw nothing.
        {"round dots",
         {{0, 5}, 0, 4, 2, Cap::Round},
         {{45, 28, 1}, {44, 27, 1}, {42, 28, 0}, {40, 28, 1}}},
        {"square dots", {{0, 5}, 0, 4, 2, Cap::Square}, {{44, 28, 1}, {42, 28, 0}, {39, 28, 1}}},
        {"butt dots", {{0, 5}, 0, 4, 2, Cap::Butt}, {{45, 28, 0}, {40, 28, 0}}},
        // The pattern runs on round the corner and up the left edge: [19, 25] drawn, [16, 19]
        // left.
        {"round the corner", {{6, 3}, 0, 4, 2, Cap::Butt}, {{11, 21, 1}, {11, 17, 0}}},
    };
    auto outline = Rectangle();
    RenderMap const band = Band();
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        RenderMap kept = band;
        ASSERT_TRUE(DashStroke(*outline, c.style, kept));
        for (auto const& p : c.probes)
            EXPECT_NEAR(kept.At(p.x, p.y), p.want, 0.05) << p.x << "," << p.y;
    }
}

TEST(RenderDashes, PatternsThatDashNothingLeaveTheStrokeWhole) {
    double const nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        char const* what;
        std::vector<double> lengths;
        double offset, width;
    } const cases[] = {
        {"no length", {0, 0}, 0, 2},
        {"a negative length", {4, -2}, 0, 2},
        {"not a number", {4, nan}, 0, 2},
        {"an offset not a number", {4, 2}, nan, 2},
        {"no width", {4, 2}, 0, 0},
        // Finer than a pixel could show, over a long path: refused before it is walked.
        {"too many pieces", {0.0006, 0.0006}, 0, 2},
    };
    Geometry::PolyCurveDbl outline;
    outline.AddRectangle({0, 0, 1e5, 1e5});
    RenderMap band = Band();
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        DashStyle style{c.lengths, c.offset, c.width, 2, DashStyle::Cap::Round};
        RenderMap kept = band;
        EXPECT_FALSE(DashStroke(outline, style, kept));
        EXPECT_EQ(kept.v, band.v);
    }
}

}  // namespace
}  // namespace PSD
