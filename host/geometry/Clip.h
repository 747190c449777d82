// Boolean combination of curve sets (on Clipper) and the cubic fit that turns polygons back into
// curves.
#pragma once

#include <polyclipping/clipper.hpp>
#include <vector>

#include "host/geometry/Curve.h"

namespace Geometry {

namespace ClipperLib = ::ClipperLib;

// Fits cubic Béziers to a run of points: corners split the run, each piece is fitted by least
// squares and split again where it strays further than the tolerance.
class CurveFitLeastSquares {
public:
    // A closed polygon gives a closed curve (its first anchor repeated at the end); fewer than two
    // distinct points give null.
    static Kernel::Counted<CurveDbl> FitCubic(std::vector<PointDbl> const& points, bool closed,
                                              double tolerance);
};

class ClipperHelper {
public:
    // subject op each clip in turn (the clips are united first), the curves flattened within the
    // tolerance (wider when they would give very many points) and the result fitted back to
    // curves within it. False only when Clipper refuses
    // the input (coordinates beyond its range); result then is null.
    [[nodiscard]] static bool Clip(PolyCurveDbl const& subject,
                                   std::vector<Kernel::Counted<PolyCurveDbl>> const& clips,
                                   Kernel::Counted<PolyCurveDbl>& result, ClipperLib::ClipType type,
                                   ClipperLib::PolyFillType fill, double tolerance);

    struct Operand {
        Kernel::Counted<PolyCurveDbl> curves;
        ClipperLib::ClipType type = ClipperLib::ctUnion;  // how it joins what comes before it
    };
    // The operands combined in order, each by its type with what the ones before it made (the
    // first one's type is unused). Unlike chaining Clip, the polygons stay flat between steps and
    // only the end result is fitted, so that many operands cost neither precision nor time.
    [[nodiscard]] static bool Combine(std::vector<Operand> const& operands,
                                      Kernel::Counted<PolyCurveDbl>& result,
                                      ClipperLib::PolyFillType fill, double tolerance);
};

}  // namespace Geometry
