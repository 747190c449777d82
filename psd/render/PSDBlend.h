// Blend modes on normalised samples, and the compositing of one source pixel over a backdrop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "psd/io/PSDBlendMode.h"

namespace Raster {
class ICCProfile;
}

namespace PSD {

// Pixels while rendering: up to four colour samples and alpha, each 0..1 (32-bit documents may
// go beyond 1), colour not premultiplied. CMYK samples are as documents store them (1 = no ink),
// so that the modes darken and lighten as they do in the editor.
struct RenderPixel {
    float c[4] = {0, 0, 0, 0};
    float a = 0;
};

// What a mode does with colours of this many channels.
struct BlendContext {
    unsigned channels = 3;  // colour samples per pixel
    bool rgb = true;        // the component modes (hue, saturation, colour, luminosity) apply
    bool linear = false;    // samples are linear light (32-bit documents), not gamma encoded
    // A grey document's tone curve (stored value to linear light, evenly sampled, rising) from
    // its profile; null: samples are taken as gamma 2.2.
    std::vector<float> const* greyCurve = nullptr;
    unsigned depth = 8;  // the document's bits per sample
    // The document's embedded profile, for adjustments that work through one; null: the
    // default of its space.
    Raster::ICCProfile const* profile = nullptr;
};

// The colour of mode applied to the backdrop b and the source s, before alpha is taken into
// account. Dissolve and pass-through give the source.
void BlendColours(BlendMode mode, BlendContext const& ctx, float const* b, float const* s,
                  float* out);

// Composites source s, whose alpha is already scaled by opacity and masks, over backdrop b in
// place: the source colour mixed with the blended colour by the backdrop's alpha, then "over".
void CompositePixelAny(BlendMode mode, BlendContext const& ctx, RenderPixel& b,
                       RenderPixel const& s);

// The same, with the common cases of normal blending inline: most pixels of most documents.
inline void CompositePixel(BlendMode mode, BlendContext const& ctx, RenderPixel& b,
                           RenderPixel const& s) {
    if (s.a <= 0) return;
    if (mode == BlendMode::Normal || mode == BlendMode::PassThrough) {
        if (s.a >= 1) {
            b = s;
            return;
        }
        if (b.a >= 1) {
            for (unsigned i = 0; i < ctx.channels; ++i) b.c[i] += (s.c[i] - b.c[i]) * s.a;
            return;
        }
        // Plain "over" of colours not premultiplied.
        float keep = (1 - s.a) * b.a, ao = s.a + keep, inv = 1 / ao;
        for (unsigned i = 0; i < ctx.channels; ++i) b.c[i] = (s.a * s.c[i] + keep * b.c[i]) * inv;
        b.a = ao;
        return;
    }
    CompositePixelAny(mode, ctx, b, s);
}

// Composites s over b in normal mode as the editor blends type: the colours mix in linear light
// raised to 1 / 1.45 (its "blend text colours using gamma"), which keeps dark text on a light
// ground from thinning. Gamma-encoded RGB samples only.
void CompositeTextGamma(BlendContext const& ctx, RenderPixel& b, RenderPixel const& s);

// Composites s onto b inside b's shape ("atop"): b keeps its alpha and its colour moves toward the
// blended colour by the source's alpha. How layers clipped to a base meet it.
inline void CompositeAtop(BlendMode mode, BlendContext const& ctx, RenderPixel& b,
                          RenderPixel const& s) {
    if (s.a <= 0 || b.a <= 0) return;
    float blended[4];
    BlendColours(mode, ctx, b.c, s.c, blended);
    for (unsigned i = 0; i < ctx.channels; ++i) b.c[i] += (blended[i] - b.c[i]) * s.a;
}

// Whether mode blends each colour sample on its own, as normal and the separable modes do: rows
// atop a base then read a layer's samples straight, where the others' blends of whole pixels
// are faster from rendering's own pixels.
bool BlendsEachSample(BlendMode mode);

// The modes whose fill opacity fades the source toward a colour that leaves the backdrop as it is
// (their neutral, returned), while the layer keeps covering the backdrop by its shape and opacity.
// False for the other modes, whose fill opacity scales alpha as opacity does.
bool FadesByFill(BlendMode mode, float& neutral);

// Composites s (alpha scaled by opacity and masks, not by fill) over b, or atop b, for a mode of
// FadesByFill with its neutral: where b is empty the source shows with its alpha faded by fill.
void CompositeFilled(BlendMode mode, BlendContext const& ctx, RenderPixel& b, RenderPixel const& s,
                     float fill, float neutral, bool atop);

// Composites a row of count source pixels of `bytes` (1 or 2) a sample, each the document's colour
// samples (ctx.channels of them) then alpha, their alpha times alphaScale, over the backdrop's
// pixels: CompositePixel's result pixel by pixel (CompositeAtop's with atop), without a call per
// pixel in the modes that blend each sample on its own.
void CompositeRowSamples(BlendMode mode, BlendContext const& ctx, uint8_t const* q, unsigned bytes,
                         size_t count, float alphaScale, RenderPixel* b, bool atop = false);

// The same for a row of rendering's pixels, their alpha already scaled: CompositePixel over each.
void CompositeRowPixels(BlendMode mode, BlendContext const& ctx, RenderPixel const* s, size_t count,
                        RenderPixel* b);

// The same atop the backdrop's pixels: CompositeAtop over each.
void CompositeRowPixelsAtop(BlendMode mode, BlendContext const& ctx, RenderPixel const* s,
                            size_t count, RenderPixel* b);

// The editor's grey of a colour: the weights of its luminosity blend.
float Luminosity(float const* c, unsigned channels);

// A stable pseudo-random value 0..1 per pixel, for dissolve.
float DissolveNoise(int64_t x, int64_t y);

}  // namespace PSD
