#include "host/kernel/Units.h"

namespace Kernel {

namespace {
// Inches per unit for the absolute units.
double InchesPer(Unit u) {
    switch (u) {
        case Unit::Inches:
            return 1.0;
        case Unit::Points:
            return 1.0 / 72.0;
        case Unit::Millimetres:
            return 1.0 / 25.4;
        case Unit::Centimetres:
            return 1.0 / 2.54;
        default:
            return 0.0;
    }
}
}  // namespace

double UnitValueConverter::ToPixels(UnitValue const& v) const {
    switch (v.unit) {
        case Unit::Pixels:
        case Unit::None:
            return v.value;
        case Unit::Percent:
            return m_reference >= 0 ? v.value * m_reference / 100.0 : v.value;
        default:
            return v.value * InchesPer(v.unit) * m_resolution;
    }
}

UnitValue UnitValueConverter::Convert(UnitValue const& v, Unit to) const {
    if (v.unit == to) return v;
    if (to == Unit::Percent && m_reference < 0) return v;
    if (v.unit == Unit::Percent && m_reference < 0) return v;
    double px = ToPixels(v);
    switch (to) {
        case Unit::Pixels:
        case Unit::None:
            return {px, to};
        case Unit::Percent:
            return {m_reference > 0 ? px * 100.0 / m_reference : 0.0, to};
        default: {
            double per = InchesPer(to) * m_resolution;
            return {per > 0 ? px / per : 0.0, to};
        }
    }
}

}  // namespace Kernel
