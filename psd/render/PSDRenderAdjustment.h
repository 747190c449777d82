// Adjustment layers as per-pixel functions over what lies below them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/renderer/Colour.h"
#include "psd/adjustments/PSDAdjustment.h"
#include "psd/effects/PSDGradient.h"
#include "psd/render/PSDBlend.h"

namespace PSD {

// One adjustment prepared for drawing: tables built once, then applied to every pixel below.
class PSDPixelAdjustment {
public:
    virtual ~PSDPixelAdjustment() = default;
    // Changes the colour samples in place (alpha is the caller's).
    virtual void Apply(float* colour) const = 0;

    // The function for an adjustment; null, with the reason in `undrawn`, for a kind or a colour
    // mode the renderer does not draw.
    static std::unique_ptr<PSDPixelAdjustment> Create(PSDAdjustment const& adjustment,
                                                      BlendContext const& ctx, bool cmyk,
                                                      std::string& undrawn);
};

// Colours along a gradient at t in 0..1, in the document's samples (alpha from the stops).
class PSDGradientRamp {
public:
    static constexpr int kSteps = 1024;
    // False when the gradient has no colour stops or is a noise gradient. perceptual: colours
    // mix in a perceptual space (Oklab; RGB documents only) rather than in the samples.
    bool Build(PSDGradient const& gradient, uint32_t colourMode, bool reverse,
               bool perceptual = false);
    RenderPixel At(float t) const;

private:
    std::vector<RenderPixel> m_table;
};

// Whether the gradient's colours mix perceptually; other methods than classic and perceptual
// are named in undrawn (they are drawn as classic).
bool PerceptualGradient(PSDGradientDesc const& g, uint32_t colourMode, std::vector<std::string>& undrawn);

// An effect's contour over its coverage: each value 0..1 through the curve the contour's points
// draw, a natural spline as a curves adjustment's. A default (straight) contour changes nothing.
void ApplyContour(PSDContour const& contour, std::vector<float>& values);

// A colour in the samples a document of this mode renders with (CMYK 1 = no ink).
void ColourSamples(Renderer::Colour const& colour, uint32_t colourMode, float* out);

}  // namespace PSD
