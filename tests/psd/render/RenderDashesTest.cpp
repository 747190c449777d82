// Dashed strokes: where along a rectangle the pattern draws and leaves, with each cap, and the
// patterns that dash nothing.
#include <gtest/gtest.h>

#include <limits>

#include "psd/render/PSDRenderDashes.h"

namespace PSD {
namespace {

TEST(RenderDashes, PiecesAndCapsAlongARectangle) {
    using Cap = DashStyle::Cap;
    double const nan = std::numeric_limits<double>::quiet_NaN();
    struct Probe {
        int x, y;
        float want;
    };
    struct Case {
        char const* what;
        DashStyle style;
        std::vector<Probe> probes;  // none: the pattern dashes nothing, the stroke stays whole
    } const cases[] = {
        // From the lowest anchor (the bottom right corner) leftward, 6 drawn and 3 left:
        // [44, 50], [35, 41], [26, 32]...
        {"butt",
         {{6, 3}, 0, 4, 2, Cap::Butt},
         {{46, 29, 1}, {42, 29, 0}, {38, 28, 1}, {33, 29, 0}}},
        {"odd list, repeated", {{3}, 0, 4, 2, Cap::Butt}, {{48, 29, 1}, {45, 29, 0}, {42, 29, 1}}},
        {"offset by 6", {{6, 3}, 6, 4, 2, Cap::Butt}, {{48, 29, 0}, {44, 29, 1}, {39, 29, 0}}},
        // Dots every 5 px: round caps a disc on the middle line (y = 28), square ones a square.
        {"round dots",
         {{0, 5}, 0, 4, 2, Cap::Round},
         {{45, 28, 1}, {44, 27, 1}, {42, 28, 0}, {40, 28, 1}}},
        {"square dots", {{0, 5}, 0, 4, 2, Cap::Square}, {{44, 28, 1}, {42, 28, 0}, {39, 28, 1}}},
        {"butt dots", {{0, 5}, 0, 4, 2, Cap::Butt}, {{45, 28, 0}, {40, 28, 0}}},
        // On round the corner and up the left edge: [19, 25] drawn, [16, 19] left.
        {"round the corner", {{6, 3}, 0, 4, 2, Cap::Butt}, {{11, 21, 1}, {11, 17, 0}}},
        {"no length", {{0, 0}, 0, 4, 2, Cap::Round}, {}},
        {"a negative length", {{4, -2}, 0, 4, 2, Cap::Round}, {}},
        {"not a number", {{4, nan}, 0, 4, 2, Cap::Round}, {}},
        {"an offset not a number", {{4, 2}, nan, 4, 2, Cap::Round}, {}},
        {"no width", {{4, 2}, 0, 0, 2, Cap::Round}, {}},
        // Finer than a pixel could show round a long path: refused before it is walked.
        {"too many pieces", {{0.0006, 0.0006}, 0, 4, 2, Cap::Round}, {}},
    };
    Geometry::PolyCurveDbl rectangle, large;
    rectangle.AddRectangle({10, 10, 50, 30});
    large.AddRectangle({0, 0, 1e5, 1e5});
    // A 4 px stroke inside the rectangle.
    RenderMap band;
    band.box = {0, 0, 60, 40};
    band.v.assign(60 * 40, 0.0f);
    for (int y = 10; y < 30; ++y)
        for (int x = 10; x < 50; ++x)
            if (x < 14 || x >= 46 || y < 14 || y >= 26) band.v[size_t(y) * 60 + size_t(x)] = 1;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        RenderMap kept = band;
        bool many = std::string(c.what) == "too many pieces";
        ASSERT_EQ(DashStroke(many ? large : rectangle, c.style, kept), !c.probes.empty());
        if (c.probes.empty()) {
            EXPECT_EQ(kept.v, band.v);
        }
        for (auto const& p : c.probes)
            EXPECT_NEAR(kept.At(p.x, p.y), p.want, 0.05) << p.x << "," << p.y;
    }
}

}  // namespace
}  // namespace PSD
