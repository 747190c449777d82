// A saved path, the working path or a vector mask: subpaths of knots read from 26-byte path
// records, combined into one outline by each shape's boolean mode, and written back as records.
#pragma once

#include <cstdint>
#include <vector>

#include "host/geometry/Curve.h"
#include "host/kernel/Counted.h"
#include "host/kernel/Stream.h"
#include "host/raster/AffineTransform.h"
#include "psd/io/PSDIO.h"
#include "psd/report/PSDReport.h"

namespace PSD {

class PSDPath : public Kernel::Countable {
public:
    // How a subpath's shape combines with what comes before it.
    enum BooleanMode : int32_t {
        kContinue = -1,  // joins the previous subpath's shape
        kExclude = 0,
        kCombine = 1,
        kSubtract = 2,
        kIntersect = 3,
    };

    struct CurveRec {
        Kernel::Counted<Geometry::CurveDbl> m_curve;
        Kernel::Counted<Geometry::CurveDbl> m_editedCurve;  // preferred by the writer when set
        Raster::AffineTransform::Params m_transform;        // applied to every point on writing
        int32_t m_operation = kContinue;
        int32_t m_recordFlag = 0;
    };

    // One knot as records hold it: the control point before the anchor, the anchor, the control
    // point after it.
    struct Knot {
        Geometry::PointDbl preceding, anchor, leaving;
        bool linked = false;
    };

    PSDPath() = default;

    // A copy moved by (dx, dy) document pixels: every outline and subpath, with written curves
    // landing where their transform put them, moved. The curves are new, never shared with this.
    [[nodiscard]] Kernel::Counted<PSDPath> Translated(double dx, double dy) const;

    // The knots of a curve in writing order; false when the node sequence cannot be expressed as
    // knots (a closed curve not ending on its repeated anchor, a control without its partner, no
    // anchor).
    [[nodiscard]] static bool GetKnots(Geometry::CurveDbl const& curve, std::vector<Knot>& out);

    // Fields, in order.
    std::vector<CurveRec> m_curves;  // filled only when two or more shapes were combined
    bool m_initialFill = false;
    Kernel::Counted<Geometry::PolyCurveDbl> m_outline;
    Kernel::Counted<Geometry::PolyCurveDbl> m_replacementOutline;  // set by the host, preferred on writing
    uint32_t m_fillRule = 0;
    String m_name;
    bool m_combined = false;
    // Beside the fields: every subpath as read, in file order, with its stored operation; what
    // the reports show.
    std::vector<CurveRec> m_readSubpaths;
};

// ParsePaths results.
enum PathParseResult : int { kPathParsed = 0, kPathFailed = 1, kPathEmpty = 3 };

// Reads length bytes of 26-byte records (a remainder is ignored) into path, points in document
// pixels of documentSize.
[[nodiscard]] int ParsePaths(Kernel::InStream& stream, uint64_t length, Kernel::SizeT<int> const& documentSize,
                             PSDPath& path, PSDLoadData& ld);
// The records of path: fill rule records, then every subpath (the curve records when set, else
// the outline's curves mapped by transform). False on a short write or a curve that has no knot form.
[[nodiscard]] bool SavePaths(Kernel::OutStream& stream, ByteOrderFixer const& fixer, PSDPath const& path,
                             Raster::AffineTransform::Params const& transform,
                             Kernel::SizeT<int> const& documentSize);

}  // namespace PSD
