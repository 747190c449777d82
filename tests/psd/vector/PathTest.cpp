#include <gtest/gtest.h>

#include <cmath>

#include "psd/vector/PSDPath.h"

using namespace PSD;

namespace {

constexpr Kernel::SizeT<int> kSize{100, 200};

struct Records {
    std::vector<uint8_t> b;
    Records& U16(unsigned v) { return b.push_back(uint8_t(v >> 8)), b.push_back(uint8_t(v)), *this; }
    Records& U32(uint32_t v) { return U16(v >> 16).U16(v & 0xFFFF); }
    Records& Length(unsigned selector, unsigned count, int op, int flag = 0) {
        U16(selector).U16(count);
        b.insert(b.end(), {0, uint8_t(op), 0, uint8_t(flag)});
        b.resize(b.size() + 18);
        return *this;
    }
    // Points in document fractions (x, y), as (preceding, anchor, leaving).
    Records& Knot(unsigned selector, double px, double py, double ax, double ay, double lx, double ly) {
        U16(selector);
        for (double v : {py, px, ay, ax, ly, lx}) U32(uint32_t(int32_t(v * 16777216.0)));
        return *this;
    }
    Records& Corner(unsigned selector, double x, double y) { return Knot(selector, x, y, x, y, x, y); }
    // A closed square of side s at (x, y), all corners.
    Records& Square(double x, double y, double s, int op) {
        Length(0, 4, op);
        return Corner(2, x, y).Corner(2, x + s, y).Corner(2, x + s, y + s).Corner(2, x, y + s);
    }
};

int Parse(Records const& r, PSDPath& path, PSDLoadData& ld) {
    auto in = Kernel::MemoryInStream::Create(r.b);
    return ParsePaths(*in, r.b.size(), kSize, path, ld);
}

double Area(PSDPath const& p) {
    double a = 0;
    for (auto const& c : p.m_outline->GetCurves()) {
        std::vector<Geometry::PointDbl> pts;
        c->Flatten(0.01, pts);
        double s = 0;
        for (size_t i = 0; i + 1 < pts.size(); ++i) s += pts[i].x * pts[i + 1].y - pts[i + 1].x * pts[i].y;
        a += s / 2;  // signed: holes wind the other way
    }
    return std::fabs(a);
}

}  // namespace

TEST(Paths, BooleanModesAndLeadingSubtract) {
    // Squares of 0.4 document at (0.1, 0.1) and (0.3, 0.3): 40×80 px each, overlap 20×40 px.
    struct Case {
        char const* name;
        std::vector<std::pair<double, int>> squares;  // x = y, operation
        double area;
        bool combined;
    } cases[] = {
        {"one shape of two subpaths", {{0.1, 1}, {0.5, -1}}, 2 * 3200, false},
        {"exclude", {{0.1, 1}, {0.3, 0}}, 2 * 3200 - 2 * 800, true},
        {"combine", {{0.1, 1}, {0.3, 1}}, 2 * 3200 - 800, true},
        {"subtract", {{0.1, 1}, {0.3, 2}}, 3200 - 800, true},
        {"intersect", {{0.1, 1}, {0.3, 3}}, 800, true},
        {"other numbers combine", {{0.1, 1}, {0.3, 7}}, 2 * 3200 - 800, true},
        // Subtract then intersect: the intersected shape minus the subtracted one.
        {"leading subtract, intersect run", {{0.1, 2}, {0.3, 3}}, 3200 - 800, true},
        // Subtract alone: from a frame 10 px beyond the 100×200 canvas.
        {"leading subtract, frame", {{0.1, 2}}, 120.0 * 220.0 - 3200, true},
    };
    for (Case const& c : cases) {
        Records r;
        r.Length(6, 0, 0).Length(8, 0, 0);
        for (auto [at, op] : c.squares) r.Square(at, at, 0.4, op);
        PSDPath path;
        PSDLoadData ld;
        ASSERT_EQ(Parse(r, path, ld), kPathParsed) << c.name;
        EXPECT_NEAR(Area(path), c.area, 2.0) << c.name;
        EXPECT_EQ(path.m_combined, c.combined) << c.name;
        EXPECT_EQ(path.m_curves.empty(), !c.combined) << c.name;
        // Written and read again, the outline stays.
        auto out = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(SavePaths(*out, ByteOrderFixer{true}, path, {}, kSize)) << c.name;
        Records again{out->TakeData()};
        PSDPath back;
        ASSERT_EQ(Parse(again, back, ld), kPathParsed) << c.name;
        EXPECT_NEAR(Area(back), c.area, 2.0) << c.name;
        // ... from the records as stored: no frame or reordered run of the combining added.
        if (!c.combined) continue;
        ASSERT_EQ(back.m_curves.size(), path.m_curves.size()) << c.name;
        for (size_t i = 0; i < path.m_curves.size(); ++i)
            EXPECT_EQ(back.m_curves[i].m_operation, c.squares[i].second) << c.name << " " << i;
    }
}

TEST(Paths, KnotsOpenClosedStraightAndCurved) {
    Records r;
    // Open: a straight segment, then a curved one; the ends carry their outer controls.
    r.Length(3, 3, 1).Knot(5, 0.0, 0.0, 0.1, 0.1, 0.1, 0.1).Corner(5, 0.5, 0.1).Knot(4, 0.6, 0.2, 0.7, 0.3, 0.8, 0.4);
    // Closed triangle of straight sides; a one-knot subpath that yields nothing.
    r.Length(0, 3, -1).Corner(1, 0.2, 0.2).Corner(2, 0.4, 0.2).Corner(2, 0.3, 0.4).Length(0, 1, 0).Corner(2, 0.9, 0.9);
    PSDPath path;
    PSDLoadData ld;
    ASSERT_EQ(Parse(r, path, ld), kPathParsed);
    ASSERT_EQ(path.m_readSubpaths.size(), 2u);
    auto const& open = *path.m_readSubpaths[0].m_curve;
    auto const& closed = *path.m_readSubpaths[1].m_curve;
    EXPECT_FALSE(open.IsClosed());
    EXPECT_TRUE(closed.IsClosed());
    EXPECT_EQ(closed.GetNodes().size(), 4u);  // three anchors and the repeated first, no controls
    EXPECT_EQ(closed.GetNodes().front().type, Geometry::CurveDbl::kSmooth);
    EXPECT_EQ(open.GetSegments().size(), 2u);
    std::vector<PSDPath::Knot> knots;
    ASSERT_TRUE(PSDPath::GetKnots(open, knots));
    ASSERT_EQ(knots.size(), 3u);
    EXPECT_NEAR(knots[0].preceding.x, 0.0, 1e-6);
    EXPECT_NEAR(knots[2].leaving.y, 80.0, 1e-4);
    EXPECT_TRUE(knots[2].linked);
    ASSERT_TRUE(PSDPath::GetKnots(closed, knots));
    EXPECT_EQ(knots.size(), 3u);
}

TEST(Paths, EmptyTruncatedAndFixedPointLimits) {
    PSDLoadData ld;
    PSDPath path;
    EXPECT_EQ(Parse(Records{}, path, ld), kPathEmpty);
    EXPECT_EQ(Parse(Records{}.Length(6, 0, 0).Length(7, 0, 0), path, ld), kPathEmpty);
    // A remainder shorter than a record is ignored; a record count the data lacks is truncation.
    Records r = Records{}.Square(0.1, 0.1, 0.2, 1);
    r.b.push_back(0);
    EXPECT_EQ(Parse(r, path, ld), kPathParsed);
    auto in = Kernel::MemoryInStream::Create(r.b);
    PSDPath cut;
    EXPECT_EQ(ParsePaths(*in, r.b.size() + 26, kSize, cut, ld), kPathFailed);
    ASSERT_TRUE(ld.m_report.m_error);
    EXPECT_EQ(ld.m_report.m_error->m_code, PSDError::kTruncated);
    // 0x01000000 is one dimension, 0x00800000 a half, 0xFF000000 minus one; bits 29-31 are not read.
    struct {
        uint32_t raw;
        double x;
    } limits[] = {{0x01000000, 100}, {0x00800000, 50}, {0xFF000000, -100}, {0xE1000000, 100}, {0x0F000000, 1500}};
    for (auto l : limits) {
        Records k;
        k.Length(3, 2, 1).U16(5);
        for (int i = 0; i < 3; ++i) k.U32(0).U32(l.raw);
        k.Corner(5, 0, 0);
        PSDPath p;
        ASSERT_EQ(Parse(k, p, ld), kPathParsed);
        EXPECT_DOUBLE_EQ(p.m_readSubpaths[0].m_curve->GetNodes()[0].point.x, l.x) << std::hex << l.raw;
    }
}

// A moved path writes every point moved, through the transform of its records, and keeps the
// winding and initial fill of the one read.
TEST(Paths, TranslatedWritesMovedPointsAndKeepsFill) {
    auto roundTrip = [](PSDPath const& p, PSDPath& back) {
        auto out = Kernel::MemoryInOutStreamBase::Create();
        ASSERT_TRUE(SavePaths(*out, ByteOrderFixer{true}, p, {}, kSize));
        auto in = Kernel::MemoryInStream::Create(out->GetData());
        PSDLoadData ld;
        ASSERT_EQ(ParsePaths(*in, out->GetData().size(), kSize, back, ld), kPathParsed);
    };
    auto near = [](Geometry::PointDbl a, double x, double y) {
        EXPECT_NEAR(a.x, x, 1e-4);
        EXPECT_NEAR(a.y, y, 1e-4);
    };
    PSDLoadData ld;
    PSDPath one, back;
    Records r;
    r.Length(8, 1, 0).Length(0, 4, 1, 2);
    r.Corner(2, 0.1, 0.1).Corner(2, 0.3, 0.1).Corner(2, 0.3, 0.3).Corner(2, 0.1, 0.3);
    ASSERT_EQ(Parse(r, one, ld), kPathParsed);
    ASSERT_TRUE(one.m_fillRule == 1 && one.m_initialFill);
    roundTrip(*one.Translated(3, 1), back);
    EXPECT_TRUE(back.m_fillRule == 1 && back.m_initialFill);
    auto box = back.m_outline->GetBoundingRect();
    near({box.left, box.top}, 13, 21);
    near({box.right, box.bottom}, 33, 61);
    near({one.m_outline->GetBoundingRect().left, 0}, 10, 0);  // the path moved is a copy

    // Combined shapes are written from their records; the first one's transform doubles it.
    PSDPath two;
    ASSERT_EQ(Parse(Records{}.Square(0.1, 0.1, 0.2, 1).Square(0.25, 0.25, 0.2, 1), two, ld),
              kPathParsed);
    ASSERT_EQ(two.m_curves.size(), 2u);
    two.m_curves[0].m_transform = Raster::AffineTransform::Scale(2, 2);
    PSDPath moved;
    roundTrip(*two.Translated(3, 1), moved);
    ASSERT_EQ(moved.m_readSubpaths.size(), 2u);
    near(moved.m_readSubpaths[0].m_curve->GetNodes()[0].point, 2 * 10 + 3, 2 * 20 + 1);
    near(moved.m_readSubpaths[1].m_curve->GetNodes()[0].point, 25 + 3, 50 + 1);
}
