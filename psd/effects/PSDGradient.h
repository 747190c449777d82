// Gradients (colour ramps), gradients placed on a layer, and contours (transfer curves), with
// their descriptor forms and the binary gradient of the gradient map.
#pragma once

#include <cstdint>
#include <vector>

#include "host/kernel/Counted.h"
#include "host/kernel/Geometry.h"
#include "host/kernel/Stream.h"
#include "host/renderer/Colour.h"
#include "psd/descriptor/Descriptor.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"

namespace PSD {

class PSDGradient {
public:
    struct GradPoint {
        int32_t location = 0;  // 0..4096 across the ramp
        int32_t midpoint = 50;  // percent
        Kernel::Consolidated<Renderer::Colour> colour;
        String type = "UsrS";  // the stop's colour type as stored (user, foreground, background)
    };
    struct TransparencyPoint {
        uint8_t opacity = 100;  // percent
        int32_t location = 0;
        int32_t midpoint = 50;
    };

    // Descriptor form: the "Grdn" object.
    [[nodiscard]] bool Parse(DescriptorItem const& item, PSDLoadData& ld);
    [[nodiscard]] bool ParseColours(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseTransparency(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool Save(Descriptor& desc, unsigned int key) const;
    [[nodiscard]] bool SaveColours(Descriptor& desc) const;
    [[nodiscard]] bool SaveTransparency(Descriptor& desc) const;
    // Binary form (gradient map adjustment).
    [[nodiscard]] bool Parse(Kernel::InStreamSeekable& stream, PSDLoadData& ld);
    [[nodiscard]] bool Save(Kernel::OutStreamSeekable& stream, SaveData const& sd) const;

    // True when every transparency stop is fully transparent (and for none).
    bool IsFullyTransparent() const;
    // A flat ramp of one colour, opaque from end to end.
    void SetGradientSingleColour(Kernel::Consolidated<Renderer::Colour> const& colour);
    bool IsNoise() const { return m_form == "ClNs"; }

    String m_name;
    // The gradient descriptor's own display name ("Gradient", or its translation), written back.
    String m_descriptorName;
    double m_smoothness = 1.0;  // 0..1
    std::vector<GradPoint> m_colours;
    std::vector<TransparencyPoint> m_transparency;
    // The form as stored ("CstS" custom, "ClNs" noise) and the noise settings, which the model
    // does not interpret but writes back.
    String m_form = "CstS";
    std::vector<Descriptor::Item> m_noise;
};

// A gradient placed on a layer (overlay, stroke, fill layer).
class PSDGradientDesc {
public:
    enum Kind : int32_t { kLinear = 0, kRadial = 1, kAngle = 2, kReflected = 3, kDiamond = 4,
                          kShapeBurst = 5 };

    // One placement key of the enclosing descriptor; false after storing an error. Other keys are
    // passed over.
    [[nodiscard]] bool Parse(DescriptorKey const& key, DescriptorItem const& item, PSDLoadData& ld);
    static bool IsPlacementKey(DescriptorKey const& key);
    [[nodiscard]] bool Save(Descriptor& desc) const;
    void SetGradientSingleColour(Kernel::Consolidated<Renderer::Colour> const& colour) {
        m_gradient.SetGradientSingleColour(colour);
    }

    PSDGradient m_gradient;
    int32_t m_kind = kLinear;
    double m_angle = 90.0;  // degrees
    double m_scale = 1.0;   // fraction
    bool m_reverse = false;
    bool m_dither = false;
    bool m_alignWithLayer = true;
    Kernel::PointT<double> m_offset{0.0, 0.0};  // percent
    // How colours mix between stops ("gs99", newer editors): "Perc" perceptual, "Gcls" classic
    // and the others by their enum value; empty when not stated (classic).
    DescriptorKey m_interpolation;
    bool m_hasGradient = false;    // a "Grad" key was read (or set)
    bool m_placementRead = false;  // any placement key was read
};

class PSDContour {
public:
    struct Pt {
        uint16_t horizontal = 0;  // 0..255
        uint16_t vertical = 0;
    };

    [[nodiscard]] bool Parse(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool ParseCurve(DescriptorItem const& item, PSDReport& report);
    [[nodiscard]] bool Save(Descriptor& desc, unsigned int key) const;
    [[nodiscard]] bool SaveCurve(Descriptor& desc) const;
    // Fewer than two points, or exactly (0, 0) then (255, 255).
    bool IsDefault() const;

    String m_name = "Linear";
    std::vector<Pt> m_points;
};

}  // namespace PSD
