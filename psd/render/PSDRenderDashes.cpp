#include "psd/render/PSDRenderDashes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "host/raster/Rasterise.h"

namespace PSD {

namespace {

using Point = Geometry::PointDbl;
using Contour = std::vector<Raster::CubicSegment>;

// Beyond this many pieces a pattern is finer than the pixels that would show it; beyond this
// many polygon edges the stroke is left whole rather than hold their memory.
constexpr size_t kMaxPieces = 200000, kMaxEdges = size_t(1) << 22;

Point Along(Point a, Point d, double k) {
    return {a.x + d.x * k, a.y + d.y * k};
}

// A closed polygon of straight segments, turned so that all of them wind one way: the non-zero
// rule then draws their union.
void AddPolygon(std::vector<Point> const& p, std::vector<Contour>& out) {
    double area = 0;
    for (size_t i = 0; i < p.size(); ++i) {
        Point const &a = p[i], &b = p[(i + 1) % p.size()];
        area += a.x * b.y - b.x * a.y;
    }
    if (!(std::abs(area) > 1e-9)) return;
    Contour c;
    size_t n = p.size();
    for (size_t i = 0; i < n; ++i) {
        Point a = p[area > 0 ? i : n - 1 - i], b = p[area > 0 ? (i + 1) % n : (2 * n - 2 - i) % n];
        c.push_back({a, a, b, b});
    }
    out.push_back(std::move(c));
}

// One subpath as a closed polyline, with the distance along it at each point.
struct Path {
    std::vector<Point> p;   // the last point is the first again
    std::vector<double> s;  // s[0] = 0; s.back() is the length

    double Length() const { return s.back(); }
    // The segment holding distance d of [0, length].
    size_t Segment(double d) const {
        size_t i = size_t(std::upper_bound(s.begin(), s.end(), d) - s.begin());
        return std::min(i == 0 ? 0 : i - 1, s.size() - 2);
    }
    Point At(size_t i, double d) const {
        double t = std::clamp((d - s[i]) / (s[i + 1] - s[i]), 0.0, 1.0);
        return {p[i].x + (p[i + 1].x - p[i].x) * t, p[i].y + (p[i + 1].y - p[i].y) * t};
    }
    // The unit normal to the left of segment i.
    Point Normal(size_t i) const {
        double len = s[i + 1] - s[i];
        return {-(p[i + 1].y - p[i].y) / len, (p[i + 1].x - p[i].x) / len};
    }
};

// False when the subpath cannot be walked (points not finite, or too many); a path of no length
// is left empty.
bool MakePath(Geometry::CurveDbl const& curve, Path& path) {
    auto segments = curve.GetSegments();
    if (segments.empty()) return true;
    bool closed = curve.IsClosed();
    // Taken as closed, as the stroke is.
    if (!(segments.back()[3] == segments.front()[0]))
        segments.push_back(
            {segments.back()[3], segments.back()[3], segments.front()[0], segments.front()[0]});
    if (closed)
        std::rotate(segments.begin(), segments.begin() + long(DashStart(segments)), segments.end());
    // Counted before they are made: a hostile curve could ask for many.
    if (curve.FlattenedSize(0.1) > kMaxEdges) return false;
    std::vector<Point> points;
    Geometry::CurveDbl::FlattenSegments(segments, 0.1, points);
    for (Point const& q : points) {
        if (!std::isfinite(q.x) || !std::isfinite(q.y)) return false;
        double step = path.p.empty() ? 0 : std::hypot(q.x - path.p.back().x, q.y - path.p.back().y);
        if (!path.p.empty() && !(step > 1e-9)) continue;
        path.s.push_back(path.p.empty() ? 0 : path.s.back() + step);
        path.p.push_back(q);
    }
    if (path.p.size() < 2) path = {};
    return true;
}

// The drawn stretches [from, to] of a path's length, from the pattern's offset at its start;
// false past kMaxPieces.
bool Pieces(double length, DashStyle const& style, std::vector<double> const& lengths,
            double period, std::vector<std::pair<double, double>>& out) {
    double t = std::fmod(style.offset, period);
    if (t < 0) t += period;
    size_t e = 0, n = lengths.size();
    for (size_t k = 0; k < n && t >= lengths[e]; ++k, e = (e + 1) % n) t -= lengths[e];
    // Far along a long path a short length may not move the sum: count the steps too.
    size_t steps = 0, most = 2 * kMaxPieces + n;
    for (double d = 0; d < length; e = (e + 1) % n, t = 0) {
        if (++steps > most) return false;
        double stop = std::min(length, d + std::max(0.0, lengths[e] - t));
        if (e % 2 == 0) {
            if (out.size() >= kMaxPieces) return false;
            out.push_back({d, stop});
        }
        d = stop;
    }
    return true;
}

// The polygons of one drawn stretch: across the stroke both ways by reach, square to the path
// at its ends, mitred where the path turns inside it.
void AddPiece(Path const& path, double from, double to, double reach, std::vector<Contour>& out) {
    double length = path.Length(), span = std::min(to - from, length);
    from = std::fmod(from, length);
    if (from < 0) from += length;
    std::vector<Point> q;
    std::vector<size_t> seg;  // the path's segment under each stretch of q
    double base = 0, end = from + span;
    size_t i = path.Segment(from);
    q.push_back(path.At(i, from));
    for (size_t guard = 0; guard <= path.p.size() + 1; ++guard) {
        seg.push_back(i);
        if (end <= base + path.s[i + 1]) {
            q.push_back(path.At(i, end - base));
            break;
        }
        q.push_back(path.p[i + 1]);
        if (++i + 1 == path.p.size()) i = 0, base += length;
    }
    for (size_t j = 0; j + 1 < q.size(); ++j) {
        Point n = path.Normal(seg[j]);
        AddPolygon({Along(q[j], n, reach), Along(q[j + 1], n, reach), Along(q[j + 1], n, -reach),
                    Along(q[j], n, -reach)},
                   out);
        if (j == 0 || seg[j] == seg[j - 1]) continue;
        // The wedge each side where the segments' quads part at a turn.
        Point n1 = path.Normal(seg[j - 1]);
        double dot = n1.x * n.x + n1.y * n.y;
        if (dot > 1 - 1e-9) continue;
        Point mitre{(n1.x + n.x) / std::max(1 + dot, 0.125),
                    (n1.y + n.y) / std::max(1 + dot, 0.125)};
        for (double side : {reach, -reach})
            AddPolygon(
                {q[j], Along(q[j], n1, side), Along(q[j], mitre, side), Along(q[j], n, side)}, out);
    }
}

void AddDisc(Point c, double r, std::vector<Contour>& out) {
    size_t sides = size_t(std::clamp(std::ceil(2 * std::numbers::pi * r / 0.5), 8.0, 64.0));
    std::vector<Point> p(sides);
    for (size_t k = 0; k < sides; ++k) {
        double a = 2 * std::numbers::pi * double(k) / double(sides);
        p[k] = {c.x + r * std::cos(a), c.y + r * std::sin(a)};
    }
    AddPolygon(p, out);
}

// Where a round cap sits at distance d: on the stroke's middle line, on the side the stroke lies.
Point CapCentre(Path const& path, double d, DashStyle const& style, RenderMap const& band) {
    double length = path.Length();
    d = std::fmod(d, length);
    if (d < 0) d += length;
    size_t i = path.Segment(d);
    Point at = path.At(i, d), n = path.Normal(i);
    if (style.middle <= 0) return at;
    Point left = Along(at, n, style.middle), right = Along(at, n, -style.middle);
    auto coverage = [&](Point q) {
        return band.At(int64_t(std::floor(q.x)), int64_t(std::floor(q.y)));
    };
    return coverage(left) >= coverage(right) ? left : right;
}

}  // namespace

size_t DashStart(std::vector<Geometry::CurveDbl::Segment> const& segments) {
    // So the editor's drawings of a rectangle and an arrow are dashed, as far as they show.
    size_t start = 0;
    for (size_t i = 1; i < segments.size(); ++i) {
        Point const &q = segments[i][0], &best = segments[start][0];
        if (q.y > best.y + 1e-6 || (std::abs(q.y - best.y) <= 1e-6 && q.x > best.x)) start = i;
    }
    return start;
}

bool DashStroke(Geometry::PolyCurveDbl const& outline, DashStyle const& style, RenderMap& band) {
    std::vector<double> lengths = style.lengths;
    if (lengths.size() % 2)
        lengths.insert(lengths.end(), style.lengths.begin(), style.lengths.end());
    double period = 0;
    for (double v : lengths) {
        if (!(v >= 0) || !std::isfinite(v)) return false;
        period += v;
    }
    double w = style.width;
    if (!(w > 0) || !std::isfinite(w) || !(period > 1e-3) || !std::isfinite(style.offset) ||
        band.box.IsEmpty() || band.v.size() != size_t(band.box.Width()) * size_t(band.box.Height()))
        return false;
    // Pieces reach across the whole stroke and the pixel its far edge touches, either side (and
    // by as much into a neighbouring edge's gap at a corner).
    double reach = std::max(0.0, style.middle) + w / 2 + 1,
           extend = style.cap == DashStyle::Cap::Square ? w / 2 : 0;
    std::vector<Contour> contours;
    std::vector<std::pair<double, double>> pieces;
    size_t edges = 0;
    for (auto const& curve : outline.GetCurves()) {
        if (!curve) continue;
        Path path;
        if (!MakePath(*curve, path)) return false;
        if (path.p.empty()) continue;
        pieces.clear();
        if (!Pieces(path.Length(), style, lengths, period, pieces)) return false;
        for (auto [from, to] : pieces) {
            size_t before = contours.size();
            if (to - from + 2 * extend > 0)
                AddPiece(path, from - extend, to + extend, reach, contours);
            if (style.cap == DashStyle::Cap::Round) {
                AddDisc(CapCentre(path, from, style, band), w / 2, contours);
                if (to > from) AddDisc(CapCentre(path, to, style, band), w / 2, contours);
            }
            for (size_t k = before; k < contours.size(); ++k) edges += contours[k].size();
            if (edges > kMaxEdges) return false;
        }
    }
    if (contours.empty()) {
        std::fill(band.v.begin(), band.v.end(), 0.0f);
        return true;
    }
    auto coverage = Raster::RasteriseContours(contours, false, band.box);
    size_t width = size_t(band.box.Width());
    for (int32_t y = 0; y < band.box.Height(); ++y) {
        uint8_t const* row = coverage->GetRow(uint32_t(y));
        float* v = band.v.data() + size_t(y) * width;
        for (size_t x = 0; x < width; ++x) v[x] *= row[x] * (1.0f / 255);
    }
    return true;
}

}  // namespace PSD
