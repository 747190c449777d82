// Bézier curves as node lists, and sets of them: the outlines of paths, vector masks and text frames.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/raster/AffineTransform.h"

namespace Geometry {

using PointDbl = Kernel::PointT<double>;
using RectDbl = Kernel::RectT<double>;

// A curve of anchors joined by straight segments (anchor, anchor) or cubic ones (anchor, first
// control, second control, anchor). A closed curve repeats its first anchor as its last node.
class CurveDbl : public Kernel::Countable {
public:
    // The part a node plays in its segment.
    enum Role : int { kAnchor = 0, kControl1 = 1, kControl2 = 2 };
    // Anchor styles; control nodes have type kControl.
    enum Type : int { kControl = 0, kCorner = 1, kSmooth = 2 };

    struct CurveNode {
        PointDbl point;
        int type = kControl;
        int role = kAnchor;
        bool operator==(CurveNode const&) const = default;
    };
    // One segment as four points; a straight one has its anchors as controls.
    using Segment = std::array<PointDbl, 4>;

    // Collects nodes, then hands over the finished curve.
    class Builder {
    public:
        void Init(bool closed);
        void AddNode(PointDbl const& point, int type, int role);
        bool IsEmpty() const { return m_nodes.empty(); }
        size_t GetNodeCount() const { return m_nodes.size(); }
        Kernel::Counted<CurveDbl> Finalise();

    private:
        std::vector<CurveNode> m_nodes;
        bool m_closed = false;
    };

    CurveDbl() = default;
    explicit CurveDbl(bool closed) : m_closed(closed) {}

    std::vector<CurveNode> const& GetNodes() const { return m_nodes; }
    std::vector<CurveNode>& GetNodes() { return m_nodes; }
    void AddNode(PointDbl const& point, int type, int role) { m_nodes.push_back({point, type, role}); }
    bool IsClosed() const { return m_closed; }
    void SetClosed(bool closed) { m_closed = closed; }
    size_t GetAnchorCount() const;
    Kernel::Counted<CurveDbl> Clone() const { return Kernel::Counted<CurveDbl>(new CurveDbl(*this)); }

    // Appends a closed rectangle, clockwise from the top left, with corner anchors.
    void AddRectangle(RectDbl const& rect);
    // Anchors whose two controls leave on one line in opposite directions become smooth, the
    // others corners.
    void AutoSetNodeStyles();
    // Gives every straight segment its two control nodes (copies of its anchors), so that each
    // segment is a cubic; the shape does not change.
    void UpdateSmartPoints();
    void Transform(Raster::AffineTransform const& transform);

    // The segments in order; a closed curve whose last anchor is not its first gets the straight
    // closing segment.
    std::vector<Segment> GetSegments() const;
    // The exact bounds of the curve (extrema of each cubic); empty rectangle for no node.
    RectDbl GetBounds() const;
    // Points along the curve, each segment split until it stays within tolerance of the chords.
    void Flatten(double tolerance, std::vector<PointDbl>& out) const;
    // The same for segments given in order (a curve's, rearranged): the first's start, then each
    // segment's points after its start.
    static void FlattenSegments(std::vector<Segment> const& segments, double tolerance,
                                std::vector<PointDbl>& out);
    // How many points Flatten gives at this tolerance, without making them.
    size_t FlattenedSize(double tolerance) const;

private:
    std::vector<CurveNode> m_nodes;
    bool m_closed = false;
};

// A set of curves read together, with the rectangle that bounds them.
class PolyCurveDbl : public Kernel::Countable {
public:
    PolyCurveDbl() = default;

    void AddCurve(Kernel::Counted<CurveDbl> const& curve);
    void AddRectangle(RectDbl const& rect);
    std::vector<Kernel::Counted<CurveDbl>> const& GetCurves() const { return m_curves; }
    bool IsEmpty() const { return m_curves.empty(); }
    // The union of the curves' bounds; all zero without curves.
    RectDbl GetBoundingRect() const;
    Kernel::Counted<PolyCurveDbl> Clone() const;

private:
    std::vector<Kernel::Counted<CurveDbl>> m_curves;
};

}  // namespace Geometry
