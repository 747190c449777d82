// Fill layers: solid colour, gradient and pattern, each a descriptor body.
#pragma once

#include <cstdint>

#include "host/kernel/Geometry.h"
#include "host/renderer/Colour.h"
#include "psd/adjustments/PSDAdjustment.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/effects/PSDGradient.h"

namespace PSD {

class PSDAdjustmentSolidColor : public PSDAdjustment {
public:
    Kind GetType() const override { return kSolidColor; }
    uint32_t GetKey() const override { return Key("SoCo"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool ParseDescriptor(Descriptor const& d, PSDReport& report);
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    // "SoCo" and a fill of opaque white, for the fill of a vector stroke that has none.
    [[nodiscard]] static bool SaveShortDefault(Kernel::OutStreamSeekable& stream, SaveData const& sd);
    Kernel::Consolidated<Renderer::Colour> m_colour;
};

class PSDAdjustmentGradientFill : public PSDAdjustment {
public:
    Kind GetType() const override { return kGradientFill; }
    uint32_t GetKey() const override { return Key("GdFl"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool ParseDescriptor(Descriptor const& d, PSDLoadData& ld);
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    PSDGradientDesc m_gradient;
};

// Beyond the pattern's presence, its settings are read, and the descriptor is written back with
// them, so that documents with pattern fills can be saved.
class PSDAdjustmentPatternFill : public PSDAdjustment {
public:
    Kind GetType() const override { return kPatternFill; }
    uint32_t GetKey() const override { return Key("PtFl"); }
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, ParseData& pd) override;
    [[nodiscard]] bool SaveI(Kernel::OutStreamSeekable& stream, SaveData const& sd) const override;
    String m_patternName;
    String m_patternId;
    double m_scale = 100.0;  // percent
    bool m_hasPhase = false;
    Kernel::PointT<double> m_phase{0.0, 0.0};
    bool m_linked = true;  // aligned with the layer
    Descriptor m_descriptor;
};

}  // namespace PSD
