#include "host/geometry/Clip.h"

#include <algorithm>
#include <cmath>

namespace Geometry {

namespace {

// Clipper works on integers: 1/1024 px keeps the rounding far below any useful tolerance.
constexpr double kScale = 1024.0;
// Beyond this Clipper's own range checks fail; documents are at most 300000 px a side.
constexpr double kMaxCoordinate = 1e9;
// A turn sharper than this (cosine of the angle between neighbouring edges) is a corner.
constexpr double kCornerCosine = 0.9;  // about 25 degrees
constexpr int kMaxFitDepth = 24;

using Vec = PointDbl;
Vec Sub(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
Vec Add(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec Mul(Vec a, double s) { return {a.x * s, a.y * s}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }
double Len(Vec a) { return std::hypot(a.x, a.y); }
Vec Unit(Vec a) {
    double l = Len(a);
    return l > 0 ? Vec{a.x / l, a.y / l} : Vec{0, 0};
}

using Bez = std::array<Vec, 4>;

Vec BezierAt(Bez const& b, double t) {
    double u = 1 - t;
    return Add(Add(Mul(b[0], u * u * u), Mul(b[1], 3 * u * u * t)), Add(Mul(b[2], 3 * u * t * t), Mul(b[3], t * t * t)));
}

// Least-squares control lengths along the end tangents for the given parameters.
Bez Generate(std::vector<Vec> const& d, size_t first, size_t last, std::vector<double> const& u, Vec t1, Vec t2) {
    double c00 = 0, c01 = 0, c11 = 0, x0 = 0, x1 = 0;
    Vec p0 = d[first], p3 = d[last];
    for (size_t i = 0; i < u.size(); ++i) {
        double t = u[i], s = 1 - t;
        double b0 = s * s * s, b1 = 3 * s * s * t, b2 = 3 * s * t * t, b3 = t * t * t;
        Vec a1 = Mul(t1, b1), a2 = Mul(t2, b2);
        c00 += Dot(a1, a1);
        c01 += Dot(a1, a2);
        c11 += Dot(a2, a2);
        Vec tmp = Sub(d[first + i], Add(Mul(p0, b0 + b1), Mul(p3, b2 + b3)));
        x0 += Dot(a1, tmp);
        x1 += Dot(a2, tmp);
    }
    double det = c00 * c11 - c01 * c01;
    double alpha1 = 0, alpha2 = 0;
    if (std::fabs(det) > 1e-12) {
        alpha1 = (x0 * c11 - x1 * c01) / det;
        alpha2 = (c00 * x1 - c01 * x0) / det;
    }
    double seg = Len(Sub(p3, p0));
    if (alpha1 < seg * 1e-6 || alpha2 < seg * 1e-6 || !std::isfinite(alpha1) || !std::isfinite(alpha2))
        alpha1 = alpha2 = seg / 3;
    return {p0, Add(p0, Mul(t1, alpha1)), Add(p3, Mul(t2, alpha2)), p3};
}

double MaxError(std::vector<Vec> const& d, size_t first, size_t last, Bez const& b, std::vector<double> const& u,
                size_t& split) {
    double worst = 0;
    split = (first + last) / 2;
    for (size_t i = first + 1; i < last; ++i) {
        double e = Len(Sub(BezierAt(b, u[i - first]), d[i]));
        if (e > worst) {
            worst = e;
            split = i;
        }
    }
    return worst;
}

// One Newton step towards the parameter of the nearest curve point.
double Reparameterise(Bez const& b, Vec p, double t) {
    Vec q1[3], q2[2];
    for (int i = 0; i < 3; ++i) q1[i] = Mul(Sub(b[i + 1], b[i]), 3);
    for (int i = 0; i < 2; ++i) q2[i] = Mul(Sub(q1[i + 1], q1[i]), 2);
    double s = 1 - t;
    Vec qt = BezierAt(b, t);
    Vec q1t = Add(Add(Mul(q1[0], s * s), Mul(q1[1], 2 * s * t)), Mul(q1[2], t * t));
    Vec q2t = Add(Mul(q2[0], s), Mul(q2[1], t));
    Vec diff = Sub(qt, p);
    double num = Dot(diff, q1t), den = Dot(q1t, q1t) + Dot(diff, q2t);
    if (std::fabs(den) < 1e-12) return t;
    return std::clamp(t - num / den, 0.0, 1.0);
}

void FitRun(std::vector<Vec> const& d, size_t first, size_t last, Vec t1, Vec t2, double tol, int depth,
            std::vector<Bez>& out) {
    size_t n = last - first + 1;
    if (n == 2) {
        out.push_back({d[first], d[first], d[last], d[last]});
        return;
    }
    std::vector<double> u(n, 0.0);
    for (size_t i = 1; i < n; ++i) u[i] = u[i - 1] + Len(Sub(d[first + i], d[first + i - 1]));
    double total = u.back();
    if (total <= 0) {
        out.push_back({d[first], d[first], d[last], d[last]});
        return;
    }
    for (double& v : u) v /= total;
    Bez b = Generate(d, first, last, u, t1, t2);
    size_t split = 0;
    double err = MaxError(d, first, last, b, u, split);
    if (err <= tol) {
        out.push_back(b);
        return;
    }
    if (err <= tol * 4) {
        for (int it = 0; it < 4; ++it) {
            for (size_t i = 0; i < n; ++i) u[i] = Reparameterise(b, d[first + i], u[i]);
            b = Generate(d, first, last, u, t1, t2);
            err = MaxError(d, first, last, b, u, split);
            if (err <= tol) {
                out.push_back(b);
                return;
            }
        }
    }
    if (depth >= kMaxFitDepth || split <= first || split >= last) {
        for (size_t i = first; i < last; ++i) out.push_back({d[i], d[i], d[i + 1], d[i + 1]});
        return;
    }
    Vec centre = Unit(Sub(d[split - 1], d[split + 1]));
    if (Len(centre) == 0) centre = Unit(Sub(d[split - 1], d[split]));
    FitRun(d, first, split, t1, centre, tol, depth + 1, out);
    FitRun(d, split, last, Mul(centre, -1), t2, tol, depth + 1, out);
}

bool IsCorner(Vec prev, Vec at, Vec next) {
    Vec a = Unit(Sub(at, prev)), b = Unit(Sub(next, at));
    return Dot(a, b) < kCornerCosine;
}

// Fits the points between two corners (or the ends of an open run).
void FitPiece(std::vector<Vec> const& d, size_t first, size_t last, double tol, std::vector<Bez>& out) {
    if (last - first == 1) {
        out.push_back({d[first], d[first], d[last], d[last]});
        return;
    }
    Vec t1 = Unit(Sub(d[first + 1], d[first])), t2 = Unit(Sub(d[last - 1], d[last]));
    FitRun(d, first, last, t1, t2, tol, 0, out);
}

}  // namespace

Kernel::Counted<CurveDbl> CurveFitLeastSquares::FitCubic(std::vector<PointDbl> const& input, bool closed,
                                                        double tolerance) {
    if (!(tolerance > 0)) tolerance = 0.25;
    std::vector<Vec> d;
    d.reserve(input.size() + 1);
    for (PointDbl p : input)
        if (d.empty() || !(d.back() == p)) d.push_back(p);
    if (closed && d.size() > 1 && d.front() == d.back()) d.pop_back();
    if (d.size() < 2) return nullptr;
    std::vector<Bez> beziers;
    if (closed) {
        size_t n = d.size();
        // Start at a corner so that no piece spans the seam; a curve without one is split in two.
        size_t start = n;
        for (size_t i = 0; i < n && start == n; ++i)
            if (IsCorner(d[(i + n - 1) % n], d[i], d[(i + 1) % n])) start = i;
        std::vector<Vec> r;
        r.reserve(n + 1);
        size_t s0 = start == n ? 0 : start;
        for (size_t i = 0; i <= n; ++i) r.push_back(d[(s0 + i) % n]);
        std::vector<size_t> cuts{0};
        for (size_t i = 1; i < n; ++i)
            if (start == n ? i == n / 2 : IsCorner(r[i - 1], r[i], r[i + 1])) cuts.push_back(i);
        cuts.push_back(n);
        for (size_t k = 0; k + 1 < cuts.size(); ++k) FitPiece(r, cuts[k], cuts[k + 1], tolerance, beziers);
    } else {
        std::vector<size_t> cuts{0};
        for (size_t i = 1; i + 1 < d.size(); ++i)
            if (IsCorner(d[i - 1], d[i], d[i + 1])) cuts.push_back(i);
        cuts.push_back(d.size() - 1);
        for (size_t k = 0; k + 1 < cuts.size(); ++k) FitPiece(d, cuts[k], cuts[k + 1], tolerance, beziers);
    }
    Kernel::Counted<CurveDbl> curve(new CurveDbl(closed));
    curve->AddNode(beziers.front()[0], CurveDbl::kCorner, CurveDbl::kAnchor);
    for (Bez const& b : beziers) {
        bool straight = b[1] == b[0] && b[2] == b[3];
        if (!straight) {
            curve->AddNode(b[1], CurveDbl::kControl, CurveDbl::kControl1);
            curve->AddNode(b[2], CurveDbl::kControl, CurveDbl::kControl2);
        }
        curve->AddNode(b[3], CurveDbl::kCorner, CurveDbl::kAnchor);
    }
    curve->AutoSetNodeStyles();
    return curve;
}

namespace {

// Flattened points a combination may hold; beyond it the tolerance is widened, so that a hostile
// path costs bounded time (real shapes stay far below it at a quarter pixel).
constexpr double kMaxFlattenedPoints = 1 << 14;

// The flattened paths of a curve set in Clipper's integer units; false when a point is beyond
// Clipper's range.
bool ToPaths(PolyCurveDbl const& poly, double tolerance, ClipperLib::Paths& paths) {
    std::vector<PointDbl> pts;
    for (auto const& c : poly.GetCurves()) {
        pts.clear();
        c->Flatten(tolerance, pts);
        ClipperLib::Path path;
        path.reserve(pts.size());
        for (PointDbl p : pts) {
            if (!(std::fabs(p.x) <= kMaxCoordinate && std::fabs(p.y) <= kMaxCoordinate))
                return false;
            ClipperLib::IntPoint ip(ClipperLib::cInt(std::llround(p.x * kScale)),
                                    ClipperLib::cInt(std::llround(p.y * kScale)));
            if (path.empty() || !(path.back() == ip)) path.push_back(ip);
        }
        // A path without area fills nothing, and Clipper can refuse degenerate ones.
        if (path.size() >= 3 && ClipperLib::Area(path) != 0.0) paths.push_back(std::move(path));
    }
    return true;
}

// The tolerance widened until all the operands flatten within the point budget (steps fall
// with the square root of the tolerance).
double BudgetTolerance(std::vector<PolyCurveDbl const*> const& polys, double tolerance) {
    for (int round = 0; round < 8; ++round) {
        double n = 0;
        for (PolyCurveDbl const* p : polys)
            for (auto const& c : p->GetCurves()) n += double(c->FlattenedSize(tolerance));
        if (n <= kMaxFlattenedPoints) break;
        double r = n / kMaxFlattenedPoints;
        tolerance *= r * r;
    }
    return tolerance;
}

bool Execute(ClipperLib::Paths const& subj, ClipperLib::Paths const& clip,
             ClipperLib::ClipType type, ClipperLib::PolyFillType subjFill,
             ClipperLib::PolyFillType clipFill, ClipperLib::Paths& solution) {
    solution.clear();
    // Clipper refuses to run on nothing; nothing combined is nothing.
    if (subj.empty() && clip.empty()) return true;
    try {
        ClipperLib::Clipper clipper;
        clipper.AddPaths(subj, ClipperLib::ptSubject, true);
        clipper.AddPaths(clip, ClipperLib::ptClip, true);
        return clipper.Execute(type, solution, subjFill, clipFill);
    } catch (ClipperLib::clipperException const&) {
        return false;
    }
}

Kernel::Counted<PolyCurveDbl> FitPaths(ClipperLib::Paths const& solution, double tolerance) {
    Kernel::Counted<PolyCurveDbl> result(new PolyCurveDbl);
    std::vector<PointDbl> pts;
    for (ClipperLib::Path const& path : solution) {
        pts.clear();
        for (ClipperLib::IntPoint const& ip : path) pts.push_back({double(ip.X) / kScale, double(ip.Y) / kScale});
        if (auto curve = CurveFitLeastSquares::FitCubic(pts, true, tolerance)) result->AddCurve(curve);
    }
    return result;
}

}  // namespace

bool ClipperHelper::Clip(PolyCurveDbl const& subject,
                         std::vector<Kernel::Counted<PolyCurveDbl>> const& clips,
                         Kernel::Counted<PolyCurveDbl>& result, ClipperLib::ClipType type,
                         ClipperLib::PolyFillType fill, double tolerance) {
    result = nullptr;
    if (!(tolerance > 0)) tolerance = 0.25;
    std::vector<PolyCurveDbl const*> all{&subject};
    for (auto const& c : clips)
        if (c) all.push_back(c.Get());
    double flat = BudgetTolerance(all, tolerance);
    ClipperLib::Paths subj, clip, solution;
    if (!ToPaths(subject, flat, subj)) return false;
    for (auto const& c : clips)
        if (c && !ToPaths(*c, flat, clip)) return false;
    if (!Execute(subj, clip, type, fill, fill, solution)) return false;
    result = FitPaths(solution, tolerance);
    return true;
}

bool ClipperHelper::Combine(std::vector<Operand> const& operands,
                            Kernel::Counted<PolyCurveDbl>& result, ClipperLib::PolyFillType fill,
                            double tolerance) {
    result = nullptr;
    if (!(tolerance > 0)) tolerance = 0.25;
    std::vector<PolyCurveDbl const*> all;
    for (Operand const& o : operands)
        if (o.curves) all.push_back(o.curves.Get());
    double flat = BudgetTolerance(all, tolerance);
    // Each operand resolved by its own fill rule first: its outlines then wind once around what
    // it covers, so a run of operands joining the same way can go to Clipper in one call.
    std::vector<ClipperLib::Paths> resolved(operands.size());
    ClipperLib::Paths flatPaths;
    for (size_t i = 0; i < operands.size(); ++i) {
        flatPaths.clear();
        if (operands[i].curves && !ToPaths(*operands[i].curves, flat, flatPaths)) return false;
        if (!Execute(flatPaths, {}, ClipperLib::ctUnion, fill, fill, resolved[i])) return false;
    }
    ClipperLib::Paths acc = operands.empty() ? ClipperLib::Paths{} : std::move(resolved[0]);
    ClipperLib::Paths run, solution;
    for (size_t i = 1; i < operands.size();) {
        ClipperLib::ClipType type = operands[i].type;
        run.clear();
        // Union and difference take the union of the run (covered at least once), exclusion its
        // odd overlaps; intersection does not group, so it goes one operand at a time.
        size_t end = i + 1;
        if (type != ClipperLib::ctIntersection)
            while (end < operands.size() && operands[end].type == type) ++end;
        for (size_t j = i; j < end; ++j)
            run.insert(run.end(), resolved[j].begin(), resolved[j].end());
        ClipperLib::PolyFillType runFill =
            type == ClipperLib::ctXor ? ClipperLib::pftEvenOdd : ClipperLib::pftNonZero;
        if (!Execute(acc, run, type, ClipperLib::pftNonZero, runFill, solution)) return false;
        acc.swap(solution);
        i = end;
    }
    result = FitPaths(acc, tolerance);
    return true;
}

}  // namespace Geometry
