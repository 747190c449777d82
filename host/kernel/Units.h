// Lengths with units, converted through a document resolution.
#pragma once

#include "host/kernel/Counted.h"

namespace Kernel {

enum class Unit : int {
    None = 0,
    Percent = 1,
    Pixels = 5,
    Inches = 6,
    Points = 7,
    Millimetres = 8,
    Centimetres = 9,
};

// A number with its unit (points, pixels, millimetres, percent...), as descriptors store them.
struct UnitValue {
    double value = 0.0;
    Unit unit = Unit::Pixels;
    UnitValue() = default;
    UnitValue(double v, Unit u) : value(v), unit(u) {}
    bool operator==(UnitValue const&) const = default;
};

// Converts between absolute units at a resolution in pixels per inch. Percentages are relative
// to a reference length (negative: none, so percentages stay as they are).
class UnitValueConverter : public Countable {
public:
    UnitValueConverter(double resolution, double reference)
        : m_resolution(resolution), m_reference(reference) {}

    double GetResolution() const { return m_resolution; }
    double ToPixels(UnitValue const& v) const;
    UnitValue Convert(UnitValue const& v, Unit to) const;

private:
    double m_resolution;
    double m_reference;
};

}  // namespace Kernel
