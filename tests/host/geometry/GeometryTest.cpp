#include <gtest/gtest.h>

#include <cmath>

#include "host/geometry/Clip.h"

using namespace Geometry;

namespace {

double Area(PolyCurveDbl const& poly) {
    double a = 0;
    for (auto const& c : poly.GetCurves()) {
        std::vector<PointDbl> pts;
        c->Flatten(0.01, pts);
        double s = 0;
        for (size_t i = 0; i + 1 < pts.size(); ++i) s += pts[i].x * pts[i + 1].y - pts[i + 1].x * pts[i].y;
        a += std::fabs(s) / 2;  // the cases below have no holes
    }
    return a;
}

Kernel::Counted<PolyCurveDbl> Rect(double l, double t, double r, double b) {
    Kernel::Counted<PolyCurveDbl> p(new PolyCurveDbl);
    p->AddRectangle({l, t, r, b});
    return p;
}

}  // namespace

TEST(Geometry, ClipEveryModeOfTwoOverlappingSquares) {
    struct Case {
        ClipperLib::ClipType type;
        double area;
        RectDbl bounds;
    } cases[] = {
        {ClipperLib::ctUnion, 175, {0, 0, 15, 15}},
        {ClipperLib::ctIntersection, 25, {5, 5, 10, 10}},
        {ClipperLib::ctDifference, 75, {0, 0, 10, 10}},
        {ClipperLib::ctXor, 150, {0, 0, 15, 15}},
    };
    for (Case const& c : cases) {
        Kernel::Counted<PolyCurveDbl> out;
        ASSERT_TRUE(ClipperHelper::Clip(*Rect(0, 0, 10, 10), {Rect(5, 5, 15, 15)}, out, c.type,
                                        ClipperLib::pftEvenOdd, 0.25));
        EXPECT_NEAR(Area(*out), c.area, 0.01) << c.type;
        RectDbl b = out->GetBoundingRect();
        EXPECT_NEAR(b.left, c.bounds.left, 1e-6);
        EXPECT_NEAR(b.bottom, c.bounds.bottom, 1e-6);
        for (auto const& curve : out->GetCurves()) {
            EXPECT_TRUE(curve->IsClosed());
            for (auto const& n : curve->GetNodes()) EXPECT_EQ(n.role, CurveDbl::kAnchor);  // straight edges stay straight
        }
    }
}

TEST(Geometry, CombineAppliesEachOperandInOrder) {
    using Op = ClipperHelper::Operand;
    struct Case {
        std::vector<Op> ops;
        double area;
    } cases[] = {
        // ((0..10 ∪ 5..15) − 8..12) ∩ 0..9: the L of the union, notched, then cut at 9.
        {{{Rect(0, 0, 10, 10)},
          {Rect(5, 5, 15, 15), ClipperLib::ctUnion},
          {Rect(8, 8, 12, 12), ClipperLib::ctDifference},
          {Rect(0, 0, 9, 9), ClipperLib::ctIntersection}},
         81 - 1},
        {{{Rect(0, 0, 10, 10)},
          {Rect(5, 0, 15, 10), ClipperLib::ctXor},
          {Rect(0, 0, 15, 10), ClipperLib::ctXor}},
         50},
        // Runs of one type go to Clipper together: overlaps within a run must not cancel.
        {{{Rect(0, 0, 10, 10)},
          {Rect(5, 5, 15, 15), ClipperLib::ctUnion},
          {Rect(5, 5, 15, 15), ClipperLib::ctUnion}},
         175},
        {{{Rect(0, 0, 20, 10)},
          {Rect(0, 0, 10, 10), ClipperLib::ctDifference},
          {Rect(5, 0, 15, 10), ClipperLib::ctDifference}},
         50},
        {{{Rect(0, 0, 4, 4)}}, 16},
        {{{Rect(0, 0, 4, 4)}, {Rect(0, 0, 4, 4), ClipperLib::ctDifference}}, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Kernel::Counted<PolyCurveDbl> out;
        ASSERT_TRUE(ClipperHelper::Combine(cases[i].ops, out, ClipperLib::pftEvenOdd, 0.25)) << i;
        EXPECT_NEAR(Area(*out), cases[i].area, 0.01) << i;
    }
}

TEST(Geometry, CombineOfManyWildCurvesStaysBounded) {
    // Hundreds of self-crossing cubics spanning a huge canvas: flattened at a quarter pixel they
    // would be hundreds of thousands of points, each step refitted.
    std::vector<ClipperHelper::Operand> ops;
    uint32_t seed = 7;
    auto next = [&] {
        return double((seed = seed * 1664525u + 1013904223u) >> 8) / double(1 << 24) * 2e6;
    };
    for (int i = 0; i < 200; ++i) {
        CurveDbl::Builder b;
        b.Init(true);
        b.AddNode({next(), next()}, CurveDbl::kCorner, CurveDbl::kAnchor);
        b.AddNode({next(), next()}, CurveDbl::kControl, CurveDbl::kControl1);
        b.AddNode({next(), next()}, CurveDbl::kControl, CurveDbl::kControl2);
        b.AddNode({next(), next()}, CurveDbl::kCorner, CurveDbl::kAnchor);
        Kernel::Counted<PolyCurveDbl> poly(new PolyCurveDbl);
        poly->AddCurve(b.Finalise());
        ops.push_back({poly, i % 3 == 1 ? ClipperLib::ctDifference : ClipperLib::ctXor});
    }
    EXPECT_GT(ops[0].curves->GetCurves()[0]->FlattenedSize(0.25), 1000u);
    Kernel::Counted<PolyCurveDbl> out;
    ASSERT_TRUE(ClipperHelper::Combine(ops, out, ClipperLib::pftEvenOdd, 0.25));
    size_t anchors = 0;
    for (auto const& c : out->GetCurves()) anchors += c->GetAnchorCount();
    EXPECT_LT(anchors, size_t(1) << 17);
}

TEST(Geometry, CircleSurvivesFlattenClipAndFit) {
    // Four cubic quarter arcs of radius 50; the union with nothing gives it back as fitted curves.
    constexpr double k = 0.5522847498 * 50;
    CurveDbl::Builder b;
    b.Init(true);
    PointDbl c{100, 100};
    PointDbl pts[4] = {{150, 100}, {100, 150}, {50, 100}, {100, 50}};
    PointDbl dirs[4] = {{0, 1}, {-1, 0}, {0, -1}, {1, 0}};
    for (int i = 0; i <= 4; ++i) {
        int j = i % 4, p = (i + 3) % 4;
        if (i > 0) {
            b.AddNode({pts[p].x + dirs[p].x * k, pts[p].y + dirs[p].y * k}, CurveDbl::kControl, CurveDbl::kControl1);
            b.AddNode({pts[j].x - dirs[j].x * k, pts[j].y - dirs[j].y * k}, CurveDbl::kControl, CurveDbl::kControl2);
        }
        b.AddNode(pts[j], CurveDbl::kSmooth, CurveDbl::kAnchor);
    }
    PolyCurveDbl circle;
    circle.AddCurve(b.Finalise());
    RectDbl bounds = circle.GetBoundingRect();
    EXPECT_NEAR(bounds.left, 50, 1e-9);
    EXPECT_NEAR(bounds.bottom, 150, 1e-9);
    Kernel::Counted<PolyCurveDbl> out;
    ASSERT_TRUE(ClipperHelper::Clip(circle, {}, out, ClipperLib::ctUnion, ClipperLib::pftEvenOdd, 0.25));
    ASSERT_EQ(out->GetCurves().size(), 1u);
    EXPECT_LT(out->GetCurves()[0]->GetAnchorCount(), 40u);  // curves, not the polygon
    std::vector<PointDbl> flat;
    out->GetCurves()[0]->Flatten(0.05, flat);
    for (PointDbl p : flat) EXPECT_NEAR(std::hypot(p.x - c.x, p.y - c.y), 50, 0.5);
    (void)c;
}

TEST(Geometry, NodeStylesAndSmartPoints) {
    CurveDbl curve(false);
    curve.AddNode({0, 0}, 0, CurveDbl::kAnchor);
    curve.AddNode({5, 0}, 0, CurveDbl::kControl1);
    curve.AddNode({5, 5}, 0, CurveDbl::kControl2);
    curve.AddNode({10, 5}, 0, CurveDbl::kAnchor);  // arrives heading right, leaves heading right
    curve.AddNode({15, 5}, 0, CurveDbl::kControl1);
    curve.AddNode({20, 0}, 0, CurveDbl::kControl2);
    curve.AddNode({20, 10}, 0, CurveDbl::kAnchor);
    curve.AddNode({30, 10}, 0, CurveDbl::kAnchor);
    curve.AutoSetNodeStyles();
    EXPECT_EQ(curve.GetNodes()[3].type, CurveDbl::kSmooth);
    EXPECT_EQ(curve.GetNodes()[6].type, CurveDbl::kCorner);
    curve.UpdateSmartPoints();
    ASSERT_EQ(curve.GetNodes().size(), 10u);
    EXPECT_EQ(curve.GetNodes()[7].role, CurveDbl::kControl1);
    EXPECT_EQ(curve.GetSegments().size(), 3u);
    Raster::AffineTransform::Params inv;
    auto t = Raster::AffineTransform::Concat(Raster::AffineTransform::Scale(2, 3), Raster::AffineTransform::Translation(1, 1));
    ASSERT_TRUE(Raster::AffineTransform::Invert(t, inv));
    PointDbl p = Raster::AffineTransform(inv).Apply(Raster::AffineTransform(t).Apply({7, -4}));
    EXPECT_NEAR(p.x, 7, 1e-12);
    EXPECT_NEAR(p.y, -4, 1e-12);
}
