// Filled outlines to anti-aliased coverage, on FreeType's outline rasteriser: vector masks and
// shapes drawn by the renderer.
#pragma once

#include <array>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/raster/Bitmap.h"

namespace Raster {

// One cubic Bézier segment: start, first control, second control, end.
using CubicSegment = std::array<Kernel::PointT<double>, 4>;

// The coverage (A8, 255 inside) over box of the closed contours, each a chain of segments in
// document coordinates, under the even-odd or the non-zero rule. Null when box is empty;
// throws Kernel::MemoryException when the bitmap cannot be held.
Kernel::Counted<DynamicBitmap> RasteriseContours(
    std::vector<std::vector<CubicSegment>> const& contours, bool evenOdd,
    Kernel::RectT<int32_t> const& box);

}  // namespace Raster
