// The dashes of a shape's stroke: which parts of the stroke along its outline are drawn.
#pragma once

#include <vector>

#include "host/geometry/Curve.h"
#include "psd/render/PSDRenderEffects.h"

namespace PSD {

struct DashStyle {
    enum class Cap { Butt, Round, Square };
    std::vector<double> lengths;  // pixels, drawn and left alternately (an odd list repeats)
    double offset = 0;            // pixels into the pattern where each subpath starts
    double width = 0;             // the stroke's width in pixels
    double middle = 0;            // from the outline to the stroke's middle line, in pixels
    Cap cap = Cap::Butt;
};

// Where the editor starts a closed subpath's dash pattern: the segment from its lowest anchor (the
// rightmost of several), whichever the path lists first.
size_t DashStart(std::vector<Geometry::CurveDbl::Segment> const& segments);

// Keeps of band, a stroke's coverage along the outline's subpaths, what the dashes draw (each
// subpath taken as closed, as the stroke is; closed ones dashed from DashStart, open ones from
// their start). Drawn pieces reach across the whole stroke and end square to the outline; round and
// square caps add half the width beyond, round ones on the stroke's middle line. False, band left
// whole, when the pattern dashes nothing (no length, or more pieces than a stroke could show).
bool DashStroke(Geometry::PolyCurveDbl const& outline, DashStyle const& style, RenderMap& band);

}  // namespace PSD
