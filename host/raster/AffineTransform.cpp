#include "host/raster/AffineTransform.h"

#include <cmath>

namespace Raster {

AffineTransform::Params AffineTransform::Concat(Params const& a, Params const& b) {
    return {a.xx * b.xx + a.xy * b.yx, a.xx * b.xy + a.xy * b.yy,
            a.yx * b.xx + a.yy * b.yx, a.yx * b.xy + a.yy * b.yy,
            a.tx * b.xx + a.ty * b.yx + b.tx, a.tx * b.xy + a.ty * b.yy + b.ty};
}

bool AffineTransform::Invert(Params const& p, Params& out) {
    double det = p.xx * p.yy - p.xy * p.yx;
    if (det == 0.0 || !std::isfinite(det)) return false;
    Params r;
    r.xx = p.yy / det;
    r.xy = -p.xy / det;
    r.yx = -p.yx / det;
    r.yy = p.xx / det;
    r.tx = -(p.tx * r.xx + p.ty * r.yx);
    r.ty = -(p.tx * r.xy + p.ty * r.yy);
    out = r;
    return true;
}

}  // namespace Raster
