#include "host/geometry/Curve.h"

#include <algorithm>
#include <cmath>

namespace Geometry {

namespace {

// Samples per segment are bounded so that a hostile curve cannot ask for unbounded work.
constexpr int kMaxFlattenSteps = 1024;

PointDbl Evaluate(CurveDbl::Segment const& s, double t) {
    double u = 1.0 - t;
    double b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
    return {b0 * s[0].x + b1 * s[1].x + b2 * s[2].x + b3 * s[3].x,
            b0 * s[0].y + b1 * s[1].y + b2 * s[2].y + b3 * s[3].y};
}

// Parameters in (0, 1) where one coordinate of the cubic has a turning point.
void Extrema(double p0, double p1, double p2, double p3, std::vector<double>& ts) {
    double a = -p0 + 3 * p1 - 3 * p2 + p3, b = 2 * (p0 - 2 * p1 + p2), c = p1 - p0;
    auto add = [&](double t) {
        if (t > 0.0 && t < 1.0) ts.push_back(t);
    };
    if (std::fabs(a) < 1e-12) {
        if (std::fabs(b) > 1e-12) add(-c / b);
        return;
    }
    double d = b * b - 4 * a * c;
    if (d < 0) return;
    double r = std::sqrt(d);
    add((-b + r) / (2 * a));
    add((-b - r) / (2 * a));
}

// Uniform steps: the chord error of n steps is at most 3/4 · L / n², L the largest second
// difference of the control polygon.
int FlattenSteps(CurveDbl::Segment const& s, double tolerance) {
    double lx =
        std::max(std::fabs(s[0].x - 2 * s[1].x + s[2].x), std::fabs(s[1].x - 2 * s[2].x + s[3].x));
    double ly =
        std::max(std::fabs(s[0].y - 2 * s[1].y + s[2].y), std::fabs(s[1].y - 2 * s[2].y + s[3].y));
    double l = std::hypot(lx, ly);
    int steps = 1;
    if (l > 0 && std::isfinite(l))
        steps = int(std::min<double>(kMaxFlattenSteps, std::ceil(std::sqrt(0.75 * l / tolerance))));
    return std::max(steps, 1);
}

}  // namespace

void CurveDbl::Builder::Init(bool closed) {
    m_nodes.clear();
    m_closed = closed;
}

void CurveDbl::Builder::AddNode(PointDbl const& point, int type, int role) {
    m_nodes.push_back({point, type, role});
}

Kernel::Counted<CurveDbl> CurveDbl::Builder::Finalise() {
    Kernel::Counted<CurveDbl> curve(new CurveDbl(m_closed));
    curve->m_nodes = std::move(m_nodes);
    m_nodes.clear();
    return curve;
}

size_t CurveDbl::GetAnchorCount() const {
    return size_t(std::count_if(m_nodes.begin(), m_nodes.end(),
                                [](CurveNode const& n) { return n.role == kAnchor; }));
}

void CurveDbl::AddRectangle(RectDbl const& r) {
    m_closed = true;
    for (PointDbl p : {PointDbl{r.left, r.top}, PointDbl{r.right, r.top}, PointDbl{r.right, r.bottom},
                       PointDbl{r.left, r.bottom}, PointDbl{r.left, r.top}})
        AddNode(p, kCorner, kAnchor);
}

void CurveDbl::AutoSetNodeStyles() {
    size_t n = m_nodes.size();
    for (size_t i = 0; i < n; ++i) {
        if (m_nodes[i].role != kAnchor) continue;
        // The control before and after this anchor; a closed curve wraps through its repeated anchor.
        CurveNode const* in = nullptr;
        CurveNode const* out = nullptr;
        if (i > 0 && m_nodes[i - 1].role == kControl2) in = &m_nodes[i - 1];
        if (i + 1 < n && m_nodes[i + 1].role == kControl1) out = &m_nodes[i + 1];
        bool firstOrLast = i == 0 || i + 1 == n;
        if (m_closed && firstOrLast && n > 2 && m_nodes.front().point == m_nodes.back().point) {
            if (!in && m_nodes[n - 2].role == kControl2) in = &m_nodes[n - 2];
            if (!out && m_nodes[1].role == kControl1) out = &m_nodes[1];
        }
        int type = kCorner;
        if (in && out) {
            PointDbl a = m_nodes[i].point;
            double ux = a.x - in->point.x, uy = a.y - in->point.y;
            double vx = out->point.x - a.x, vy = out->point.y - a.y;
            double lu = std::hypot(ux, uy), lv = std::hypot(vx, vy);
            if (lu > 1e-9 && lv > 1e-9) {
                double cross = (ux * vy - uy * vx) / (lu * lv);
                double dot = (ux * vx + uy * vy) / (lu * lv);
                if (std::fabs(cross) < 1e-3 && dot > 0) type = kSmooth;
            }
        }
        m_nodes[i].type = type;
    }
}

void CurveDbl::UpdateSmartPoints() {
    std::vector<CurveNode> out;
    out.reserve(m_nodes.size() * 3);
    for (size_t i = 0; i < m_nodes.size(); ++i) {
        if (!out.empty() && m_nodes[i].role == kAnchor && out.back().role == kAnchor) {
            out.push_back({out.back().point, kControl, kControl1});
            out.push_back({m_nodes[i].point, kControl, kControl2});
        }
        out.push_back(m_nodes[i]);
    }
    m_nodes = std::move(out);
}

void CurveDbl::Transform(Raster::AffineTransform const& t) {
    for (CurveNode& n : m_nodes) n.point = t.Apply(n.point);
}

std::vector<CurveDbl::Segment> CurveDbl::GetSegments() const {
    std::vector<Segment> segs;
    PointDbl first{}, last{};
    bool haveAnchor = false;
    std::vector<PointDbl> controls;
    for (CurveNode const& n : m_nodes) {
        if (n.role != kAnchor) {
            if (haveAnchor) controls.push_back(n.point);
            continue;
        }
        if (!haveAnchor) {
            first = last = n.point;
            haveAnchor = true;
            controls.clear();
            continue;
        }
        Segment s{last, last, n.point, n.point};
        if (controls.size() >= 2) {
            s[1] = controls[0];
            s[2] = controls[1];
        } else if (controls.size() == 1) {
            s[1] = s[2] = controls[0];
        }
        segs.push_back(s);
        controls.clear();
        last = n.point;
    }
    if (m_closed && haveAnchor && !(last == first)) segs.push_back({last, last, first, first});
    return segs;
}

namespace {

// Grows r to take in b; the first rectangle taken in becomes r.
void Unite(RectDbl& r, RectDbl const& b, bool& any) {
    if (!any) {
        r = b;
        any = true;
        return;
    }
    r.left = std::min(r.left, b.left);
    r.top = std::min(r.top, b.top);
    r.right = std::max(r.right, b.right);
    r.bottom = std::max(r.bottom, b.bottom);
}

}  // namespace

RectDbl CurveDbl::GetBounds() const {
    RectDbl r;
    bool any = false;
    auto add = [&](PointDbl p) { Unite(r, {p.x, p.y, p.x, p.y}, any); };
    for (CurveNode const& n : m_nodes)
        if (n.role == kAnchor) add(n.point);
    std::vector<double> ts;
    for (Segment const& s : GetSegments()) {
        ts.clear();
        Extrema(s[0].x, s[1].x, s[2].x, s[3].x, ts);
        Extrema(s[0].y, s[1].y, s[2].y, s[3].y, ts);
        for (double t : ts) add(Evaluate(s, t));
    }
    return r;
}

void CurveDbl::Flatten(double tolerance, std::vector<PointDbl>& out) const {
    if (!(tolerance > 0)) tolerance = 0.25;
    std::vector<Segment> segs = GetSegments();
    if (segs.empty()) {
        for (CurveNode const& n : m_nodes)
            if (n.role == kAnchor) out.push_back(n.point);
        return;
    }
    FlattenSegments(segs, tolerance, out);
}

void CurveDbl::FlattenSegments(std::vector<Segment> const& segments, double tolerance,
                               std::vector<PointDbl>& out) {
    if (segments.empty()) return;
    if (!(tolerance > 0)) tolerance = 0.25;
    out.push_back(segments.front()[0]);
    for (Segment const& s : segments) {
        int steps = FlattenSteps(s, tolerance);
        for (int i = 1; i <= steps; ++i) out.push_back(i == steps ? s[3] : Evaluate(s, double(i) / steps));
    }
}

size_t CurveDbl::FlattenedSize(double tolerance) const {
    if (!(tolerance > 0)) tolerance = 0.25;
    std::vector<Segment> segs = GetSegments();
    if (segs.empty())
        return size_t(std::count_if(m_nodes.begin(), m_nodes.end(),
                                    [](CurveNode const& n) { return n.role == kAnchor; }));
    size_t n = 1;
    for (Segment const& s : segs) n += size_t(FlattenSteps(s, tolerance));
    return n;
}

void PolyCurveDbl::AddCurve(Kernel::Counted<CurveDbl> const& curve) {
    if (curve) m_curves.push_back(curve);
}

void PolyCurveDbl::AddRectangle(RectDbl const& rect) {
    Kernel::Counted<CurveDbl> c(new CurveDbl(true));
    c->AddRectangle(rect);
    m_curves.push_back(c);
}

RectDbl PolyCurveDbl::GetBoundingRect() const {
    RectDbl r;
    bool any = false;
    for (auto const& c : m_curves) {
        if (!c->GetNodes().empty()) Unite(r, c->GetBounds(), any);
    }
    return r;
}

Kernel::Counted<PolyCurveDbl> PolyCurveDbl::Clone() const {
    Kernel::Counted<PolyCurveDbl> p(new PolyCurveDbl);
    for (auto const& c : m_curves) p->m_curves.push_back(c->Clone());
    return p;
}

}  // namespace Geometry
