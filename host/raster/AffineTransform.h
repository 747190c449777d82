// Affine maps of the plane: the transforms of vector data and text frames.
#pragma once

#include "host/kernel/Geometry.h"

namespace Raster {

// x' = xx·x + yx·y + tx, y' = xy·x + yy·y + ty: the six numbers in the order documents store them.
class AffineTransform {
public:
    struct Params {
        double xx = 1.0, xy = 0.0, yx = 0.0, yy = 1.0, tx = 0.0, ty = 0.0;
        bool IsIdentity() const {
            return xx == 1.0 && xy == 0.0 && yx == 0.0 && yy == 1.0 && tx == 0.0 && ty == 0.0;
        }
        bool operator==(Params const&) const = default;
    };

    AffineTransform() = default;
    explicit AffineTransform(Params const& params) : m_params(params) {}

    static Params Translation(double dx, double dy) { return {1.0, 0.0, 0.0, 1.0, dx, dy}; }
    static Params Scale(double sx, double sy) { return {sx, 0.0, 0.0, sy, 0.0, 0.0}; }
    // first, then second.
    static Params Concat(Params const& first, Params const& second);
    // False, with out unchanged, when the map is singular.
    static bool Invert(Params const& params, Params& out);

    Kernel::PointT<double> Apply(Kernel::PointT<double> const& p) const {
        return {m_params.xx * p.x + m_params.yx * p.y + m_params.tx,
                m_params.xy * p.x + m_params.yy * p.y + m_params.ty};
    }
    Params const& GetParams() const { return m_params; }

private:
    Params m_params;
};

}  // namespace Raster
