#include "psd/vector/PSDPath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "host/geometry/Clip.h"

namespace PSD {

using Geometry::CurveDbl;
using Geometry::PointDbl;
using Geometry::PolyCurveDbl;

namespace {

constexpr size_t kRecordSize = 26;
constexpr double kFixedOne = 16777216.0;  // 2^24: one document dimension
constexpr double kClipTolerance = 0.25;   // pixels

enum Selector : uint16_t {
    kClosedLength = 0,
    kClosedLinked = 1,
    kClosedUnlinked = 2,
    kOpenLength = 3,
    kOpenLinked = 4,
    kOpenUnlinked = 5,
    kFillRule = 6,
    kClipboard = 7,
    kInitialFill = 8,
};

uint16_t Get16(uint8_t const* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Get32(uint8_t const* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// 8.24 fixed point with a five-bit signed integer part; the top three bits are not read.
double Component(uint32_t raw, int dimension) {
    int32_t whole = int32_t((raw >> 24) & 0x1F);
    if (whole & 0x10) whole -= 32;
    return (whole + double(raw & 0xFFFFFF) / kFixedOne) * dimension;
}

// One point of a knot as its 8 stored bytes (vertical, horizontal) and in pixels.
struct RawPoint {
    uint8_t bytes[8];
    PointDbl point;
    bool operator!=(RawPoint const& o) const { return std::memcmp(bytes, o.bytes, 8) != 0; }
};

RawPoint ReadPoint(uint8_t const* p, Kernel::SizeT<int> const& size) {
    RawPoint r;
    std::memcpy(r.bytes, p, 8);
    r.point = {Component(Get32(p + 4), size.width), Component(Get32(p), size.height)};
    return r;
}

struct SubPath {
    int32_t operation;
    int32_t recordFlag;
    Kernel::Counted<CurveDbl> curve;
};

// Puts a subpath's knots together: straight segments get no control nodes, curved ones two.
class CurveBuilder {
public:
    explicit CurveBuilder(Kernel::SizeT<int> const& size) : m_size(size) {}

    void Start(bool closed, unsigned count, int32_t operation, int32_t recordFlag) {
        m_builder.Init(closed);
        m_closed = closed;
        m_remaining = count;
        m_operation = operation;
        m_recordFlag = recordFlag;
    }

    void ReadSubPathBezier(uint8_t const* body, bool linked, std::vector<SubPath>& out) {
        if (m_remaining == 0) return;  // a knot beyond its length record's count
        RawPoint preceding = ReadPoint(body, m_size);
        RawPoint anchor = ReadPoint(body + 8, m_size);
        RawPoint leaving = ReadPoint(body + 16, m_size);
        int type = linked ? CurveDbl::kSmooth : CurveDbl::kCorner;
        bool first = m_builder.IsEmpty();
        if (first) {
            // An open subpath keeps the control point before its first knot as a leading node.
            if (!m_closed && preceding != anchor)
                m_builder.AddNode(preceding.point, CurveDbl::kControl, CurveDbl::kControl2);
            m_firstPreceding = preceding;
            m_firstAnchor = anchor;
            m_firstType = type;
            m_firstCurved = preceding != anchor;
        } else if (m_lastCurved || preceding != anchor) {
            m_builder.AddNode(m_lastLeaving.point, CurveDbl::kControl, CurveDbl::kControl1);
            m_builder.AddNode(preceding.point, CurveDbl::kControl, CurveDbl::kControl2);
        }
        m_builder.AddNode(anchor.point, type, CurveDbl::kAnchor);
        m_lastLeaving = leaving;
        m_lastCurved = leaving != anchor;
        // The first knot never ends a subpath: one announcing a single knot yields no curve.
        if (m_remaining == 1 && !first) {
            if (m_closed) {
                if (m_firstCurved || m_lastCurved) {
                    m_builder.AddNode(leaving.point, CurveDbl::kControl, CurveDbl::kControl1);
                    m_builder.AddNode(m_firstPreceding.point, CurveDbl::kControl, CurveDbl::kControl2);
                }
                m_builder.AddNode(m_firstAnchor.point, m_firstType, CurveDbl::kAnchor);
            } else if (m_lastCurved) {
                // and the one after its last knot as a trailing node.
                m_builder.AddNode(leaving.point, CurveDbl::kControl, CurveDbl::kControl1);
            }
            out.push_back({m_operation, m_recordFlag, m_builder.Finalise()});
        }
        --m_remaining;
    }

private:
    Kernel::SizeT<int> m_size;
    CurveDbl::Builder m_builder;
    bool m_closed = false;
    unsigned m_remaining = 0;
    int32_t m_operation = -1, m_recordFlag = 0;
    RawPoint m_firstPreceding{}, m_firstAnchor{}, m_lastLeaving{};
    int m_firstType = CurveDbl::kCorner;
    bool m_firstCurved = false, m_lastCurved = false;
};

// Every straight segment becomes a cubic with its anchors as controls, both anchors corners.
Kernel::Counted<CurveDbl> ShapeCurve(CurveDbl const& curve) {
    Kernel::Counted<CurveDbl> c = curve.Clone();
    auto& nodes = c->GetNodes();
    std::vector<CurveDbl::CurveNode> out;
    out.reserve(nodes.size() * 3);
    for (auto const& n : nodes) {
        if (!out.empty() && n.role == CurveDbl::kAnchor && out.back().role == CurveDbl::kAnchor) {
            out.back().type = CurveDbl::kCorner;
            out.push_back({out.back().point, CurveDbl::kControl, CurveDbl::kControl1});
            out.push_back({n.point, CurveDbl::kControl, CurveDbl::kControl2});
            out.push_back({n.point, CurveDbl::kCorner, CurveDbl::kAnchor});
            continue;
        }
        out.push_back(n);
    }
    nodes = std::move(out);
    return c;
}

ClipperLib::ClipType ClipTypeOf(int32_t mode) {
    switch (mode) {
        case PSDPath::kExclude: return ClipperLib::ctXor;
        case PSDPath::kSubtract: return ClipperLib::ctDifference;
        case PSDPath::kIntersect: return ClipperLib::ctIntersection;
        default: return ClipperLib::ctUnion;
    }
}

struct Shape {
    int32_t mode;
    Kernel::Counted<PolyCurveDbl> poly;
};

// Length of the run from start whose values are a or -1.
template <class T, class Get>
size_t RunLength(std::vector<T> const& v, size_t start, int32_t a, Get get) {
    size_t i = start;
    while (i < v.size() && (get(v[i]) == a || get(v[i]) == -1)) ++i;
    return i - start;
}

// The first run moves behind the second: [first, second, rest] becomes [second, first, rest].
template <class T>
void SwapRuns(std::vector<T>& v, size_t first, size_t second) {
    std::rotate(v.begin(), v.begin() + first, v.begin() + first + second);
}

int ParsePathsI(Kernel::InStream& stream, uint64_t length, Kernel::SizeT<int> const& size, PSDPath& path,
                PSDLoadData& ld) {
    uint64_t count = length / kRecordSize;
    std::vector<SubPath> subpaths;
    CurveBuilder builder(size);
    uint8_t rec[kRecordSize];
    for (uint64_t i = 0; i < count; ++i) {
        if (!ReadBytes(stream, rec, kRecordSize, ld)) return kPathFailed;
        switch (Get16(rec)) {
            case kClosedLength:
            case kOpenLength:
                builder.Start(Get16(rec) == kClosedLength, Get16(rec + 2), int8_t(rec[5]), int8_t(rec[7]));
                break;
            case kClosedLinked:
            case kOpenLinked: builder.ReadSubPathBezier(rec + 2, true, subpaths); break;
            case kClosedUnlinked:
            case kOpenUnlinked: builder.ReadSubPathBezier(rec + 2, false, subpaths); break;
            case kInitialFill: path.m_initialFill = Get16(rec + 2) != 0; break;
            default: break;  // fill rule, clipboard and unknown records
        }
    }
    if (subpaths.empty()) return kPathEmpty;
    for (auto const& s : subpaths) {
        PSDPath::CurveRec r;
        r.m_curve = s.curve;
        r.m_operation = s.operation;
        r.m_recordFlag = s.recordFlag;
        path.m_readSubpaths.push_back(r);
    }

    std::vector<Shape> shapes;
    for (auto const& s : subpaths) {
        auto clone = ShapeCurve(*s.curve);
        if (s.operation == PSDPath::kContinue && !shapes.empty()) {
            shapes.back().poly->AddCurve(clone);
            continue;
        }
        Kernel::Counted<PolyCurveDbl> poly(new PolyCurveDbl);
        poly->AddCurve(clone);
        shapes.push_back({s.operation == PSDPath::kContinue ? PSDPath::kCombine : s.operation, poly});
    }
    if (shapes.empty()) {
        ld.m_report.SetError(PSDError::kPathsEmpty);
        return kPathFailed;
    }

    // The records as stored are what the writer gives back; the runs below only serve combining.
    std::vector<SubPath> const asRead = subpaths;
    if (shapes.front().mode == PSDPath::kSubtract) {
        auto op = [](SubPath const& s) { return s.operation; };
        auto mode = [](Shape const& s) { return s.mode; };
        size_t entryFirst = RunLength(subpaths, 0, PSDPath::kSubtract, op);
        size_t entrySecond = RunLength(subpaths, entryFirst, PSDPath::kIntersect, op);
        size_t shapeFirst = RunLength(shapes, 0, PSDPath::kSubtract, mode);
        size_t shapeSecond = RunLength(shapes, shapeFirst, PSDPath::kIntersect, mode);
        if (entrySecond > 0 && shapeSecond > 0) {
            SwapRuns(subpaths, entryFirst, entrySecond);
            SwapRuns(shapes, shapeFirst, shapeSecond);
            subpaths.front().operation = PSDPath::kCombine;
            shapes.front().mode = PSDPath::kCombine;
        } else {
            // Subtracting from nothing: subtract from a frame a little larger than the canvas.
            double m = 0.1 * std::min(size.width, size.height);
            Geometry::RectDbl frame{-m, -m, size.width + m, size.height + m};
            Kernel::Counted<PolyCurveDbl> poly(new PolyCurveDbl);
            poly->AddRectangle(frame);
            shapes.insert(shapes.begin(), Shape{PSDPath::kCombine, poly});
            Kernel::Counted<CurveDbl> rect(new CurveDbl(true));
            rect->AddRectangle(frame);
            subpaths.insert(subpaths.begin(), SubPath{PSDPath::kCombine, 0, rect});
        }
    }

    if (shapes.size() == 1) {
        path.m_outline = shapes.front().poly;
        path.m_fillRule = subpaths.front().recordFlag == 2 ? 1 : 0;
        return kPathParsed;
    }
    std::vector<Geometry::ClipperHelper::Operand> operands;
    for (Shape const& shape : shapes) operands.push_back({shape.poly, ClipTypeOf(shape.mode)});
    Kernel::Counted<PolyCurveDbl> acc;
    if (!Geometry::ClipperHelper::Combine(operands, acc, ClipperLib::pftEvenOdd, kClipTolerance)) {
        ld.m_report.ErrorParsing();
        return kPathFailed;
    }
    path.m_outline = acc;
    path.m_fillRule = 0;
    path.m_combined = true;
    for (auto const& s : asRead) {
        PSDPath::CurveRec r;
        r.m_curve = s.curve->Clone();
        r.m_operation = s.operation;
        r.m_recordFlag = s.recordFlag;
        path.m_curves.push_back(r);
    }
    return kPathParsed;
}

// ---- Writing

bool WritePoint(Kernel::OutStream& s, ByteOrderFixer const& f, PointDbl p, Raster::AffineTransform const& t,
                Kernel::SizeT<int> const& size) {
    p = t.Apply(p);
    auto fixed = [](double v, int dim) {
        double c = dim != 0 ? v / dim * kFixedOne : 0.0;
        // Truncated toward zero; beyond the 32-bit range (or not a number) the nearest limit.
        if (!(c == c)) return int32_t(0);
        if (c >= 2147483647.0) return INT32_MAX;
        if (c <= -2147483648.0) return INT32_MIN;
        return int32_t(c);
    };
    return WriteValue(s, fixed(p.y, size.height), f) && WriteValue(s, fixed(p.x, size.width), f);
}

bool SaveCurve(Kernel::OutStream& s, ByteOrderFixer const& f, CurveDbl const& curve, int32_t operation,
               int32_t recordFlag, Raster::AffineTransform::Params const& transform,
               Kernel::SizeT<int> const& size) {
    std::vector<PSDPath::Knot> knots;
    if (!PSDPath::GetKnots(curve, knots) || knots.size() > 65535) return false;
    bool closed = curve.IsClosed();
    uint8_t rec[kRecordSize] = {};
    rec[1] = closed ? kClosedLength : kOpenLength;
    rec[2] = uint8_t(knots.size() >> 8);
    rec[3] = uint8_t(knots.size());
    rec[5] = uint8_t(int8_t(operation));
    rec[7] = uint8_t(int8_t(recordFlag));
    if (!s.Write(rec, kRecordSize)) return false;
    Raster::AffineTransform t(transform);
    for (auto const& k : knots) {
        uint16_t selector = closed ? (k.linked ? kClosedLinked : kClosedUnlinked)
                                   : (k.linked ? kOpenLinked : kOpenUnlinked);
        if (!WriteValue(s, selector, f) || !WritePoint(s, f, k.preceding, t, size) ||
            !WritePoint(s, f, k.anchor, t, size) || !WritePoint(s, f, k.leaving, t, size))
            return false;
    }
    return true;
}

}  // namespace

bool PSDPath::GetKnots(CurveDbl const& curve, std::vector<Knot>& out) {
    out.clear();
    auto const& n = curve.GetNodes();
    size_t end = n.size();
    size_t begin = 0;
    if (curve.IsClosed()) {
        if (n.size() < 2 || n.back().role != CurveDbl::kAnchor) return false;
        end = n.size() - 1;  // the repeated first anchor
    }
    while (begin < end && n[begin].role != CurveDbl::kAnchor) ++begin;
    if (begin == end) return false;
    for (size_t i = begin; i < end; ++i) {
        if (n[i].role != CurveDbl::kAnchor) continue;
        Knot k;
        k.anchor = k.preceding = k.leaving = n[i].point;
        k.linked = n[i].type == CurveDbl::kSmooth;
        if (i == begin && curve.IsClosed()) {
            if (n.size() >= 2 && n[n.size() - 2].role == CurveDbl::kControl2) k.preceding = n[n.size() - 2].point;
        } else if (i > 0 && n[i - 1].role == CurveDbl::kControl2) {
            k.preceding = n[i - 1].point;
        }
        if (i + 1 < n.size() && n[i + 1].role == CurveDbl::kControl1) {
            // Only the last node of an open curve may be a first control without its partner.
            bool trailing = !curve.IsClosed() && i + 2 == n.size();
            if (!trailing && (i + 2 >= n.size() || n[i + 2].role != CurveDbl::kControl2)) return false;
            k.leaving = n[i + 1].point;
        }
        out.push_back(k);
    }
    return true;
}

int ParsePaths(Kernel::InStream& stream, uint64_t length, Kernel::SizeT<int> const& documentSize, PSDPath& path,
               PSDLoadData& ld) {
    try {
        return ParsePathsI(stream, length, documentSize, path, ld);
    } catch (std::bad_alloc const&) {
        ld.m_report.ErrorAlloc();
        return kPathFailed;
    }
}

bool SavePaths(Kernel::OutStream& s, ByteOrderFixer const& f, PSDPath const& path,
               Raster::AffineTransform::Params const& transform, Kernel::SizeT<int> const& size) {
    uint8_t rec[kRecordSize] = {};
    rec[1] = kFillRule;
    if (!s.Write(rec, kRecordSize)) return false;
    // Whether the fill starts from every pixel: an inverted outline keeps it.
    rec[1] = kInitialFill;
    rec[3] = path.m_initialFill ? 1 : 0;
    if (!s.Write(rec, kRecordSize)) return false;
    rec[3] = 0;
    if (!path.m_curves.empty()) {
        for (auto const& r : path.m_curves) {
            auto const& curve = r.m_editedCurve ? r.m_editedCurve : r.m_curve;
            if (!curve || curve->GetNodes().empty()) return false;
            if (!SaveCurve(s, f, *curve, r.m_operation, r.m_recordFlag, r.m_transform, size)) return false;
        }
        return true;
    }
    auto const& outline = path.m_replacementOutline ? path.m_replacementOutline : path.m_outline;
    if (!outline) return false;
    bool first = true;
    for (auto const& c : outline->GetCurves()) {
        if (c->GetNodes().empty()) continue;
        // Record flag 2 keeps a single shape's non-zero winding.
        int32_t flag = path.m_fillRule == 1 ? 2 : 1;
        if (!SaveCurve(s, f, *c, first ? PSDPath::kCombine : PSDPath::kExclude, flag, transform,
                       size))
            return false;
        first = false;
    }
    return true;
}

// ---- Moving

Kernel::Counted<PSDPath> PSDPath::Translated(double dx, double dy) const {
    Kernel::Counted<PSDPath> out(new PSDPath(*this));
    Raster::AffineTransform shift(Raster::AffineTransform::Translation(dx, dy));
    auto curve = [&](Kernel::Counted<CurveDbl> const& c) {
        if (!c) return c;
        auto moved = c->Clone();
        moved->Transform(shift);
        return moved;
    };
    auto poly = [&](Kernel::Counted<PolyCurveDbl> const& p) {
        if (!p) return p;
        Kernel::Counted<PolyCurveDbl> moved(new PolyCurveDbl);
        for (auto const& c : p->GetCurves()) moved->AddCurve(curve(c));
        return moved;
    };
    auto records = [&](std::vector<CurveRec>& list) {
        for (auto& r : list) {
            r.m_curve = curve(r.m_curve);
            r.m_editedCurve = curve(r.m_editedCurve);
            // Written as T(p): a moved p lands at T(p) + (dx, dy) when T's offset takes the
            // difference its linear part makes of the move.
            auto& t = r.m_transform;
            t.tx += dx - (t.xx * dx + t.yx * dy);
            t.ty += dy - (t.xy * dx + t.yy * dy);
        }
    };
    out->m_outline = poly(m_outline);
    out->m_replacementOutline = poly(m_replacementOutline);
    records(out->m_curves);
    records(out->m_readSubpaths);
    return out;
}

}  // namespace PSD
