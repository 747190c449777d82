#include "psd/render/PSDRenderAdjustment.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "host/raster/ICC.h"
#include "psd/adjustments/PSDAdjustmentColour.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/effects/PSDGradient.h"

namespace PSD {

namespace {

constexpr int kLut = 4096;  // table entries over 0..1; finer than 16-bit steps need not be

float Clamp01(float v) { return std::isnan(v) ? 0.0f : v < 0 ? 0.0f : v > 1 ? 1.0f : v; }

// An adjustment whose settings change nothing.
class NoAdjustment : public PSDPixelAdjustment {
public:
    void Apply(float*) const override {}
};

// Per-channel tables (the composite one folded in), looked up with linear interpolation.
class TableAdjustment : public PSDPixelAdjustment {
public:
    explicit TableAdjustment(unsigned channels) : m_channels(channels) {
        for (auto& t : m_tables) {
            t.resize(kLut + 1);
            for (int i = 0; i <= kLut; ++i) t[i] = float(i) / kLut;
        }
    }
    // Applies f (in 0..1) after what the table of channel c already does.
    template <class F>
    void Chain(unsigned c, F&& f) {
        for (auto& v : m_tables[c]) v = Clamp01(f(v));
    }
    template <class F>
    void ChainAll(F&& f) {
        for (unsigned c = 0; c < m_channels; ++c) Chain(c, f);
    }
    void Apply(float* colour) const override {
        for (unsigned c = 0; c < m_channels; ++c) {
            // CMYK tables work on the samples as stored (255 = no ink), as the editor's do.
            float v = Clamp01(colour[c]) * kLut;
            int i = std::min(int(v), kLut - 1);
            float f = v - float(i);
            auto const& t = m_tables[c];
            float out = t[i] + (t[i + 1] - t[i]) * f;
            colour[c] = out;
        }
    }

private:
    unsigned m_channels;
    std::array<std::vector<float>, 4> m_tables;
};

// A natural cubic spline through the points (input, output), both 0..255.
std::vector<float> SplineTable(std::vector<PSDAdjustmentCurves::Point> points) {
    std::sort(points.begin(), points.end(),
              [](auto const& a, auto const& b) { return a.input < b.input; });
    std::vector<double> x, y;
    for (auto const& p : points) {
        if (!x.empty() && p.input <= x.back()) continue;
        x.push_back(p.input);
        y.push_back(p.output);
    }
    std::vector<float> table(kLut + 1);
    if (x.size() < 2) {
        for (int i = 0; i <= kLut; ++i) table[i] = x.empty() ? float(i) / kLut : float(y[0] / 255);
        return table;
    }
    size_t n = x.size();
    std::vector<double> m(n, 0.0), u(n, 0.0);  // second derivatives by the tridiagonal sweep
    for (size_t i = 1; i + 1 < n; ++i) {
        double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
        double p = sig * m[i - 1] + 2;
        m[i] = (sig - 1) / p;
        double d = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        u[i] = (6 * d / (x[i + 1] - x[i - 1]) - sig * u[i - 1]) / p;
    }
    m[n - 1] = 0;
    for (size_t i = n - 1; i-- > 0;) m[i] = m[i] * m[i + 1] + u[i];
    for (int i = 0; i <= kLut; ++i) {
        double v = 255.0 * i / kLut, out;
        if (v <= x.front()) {
            out = y.front();
        } else if (v >= x.back()) {
            out = y.back();
        } else {
            size_t k = size_t(std::upper_bound(x.begin(), x.end(), v) - x.begin()) - 1;
            double h = x[k + 1] - x[k], a = (x[k + 1] - v) / h, b = (v - x[k]) / h;
            out = a * y[k] + b * y[k + 1] + ((a * a * a - a) * m[k] + (b * b * b - b) * m[k + 1]) * h * h / 6;
        }
        table[i] = Clamp01(float(out / 255));
    }
    return table;
}

float Lookup(std::vector<float> const& t, float v) {
    float p = Clamp01(v) * kLut;
    int i = std::min(int(p), kLut - 1);
    return t[i] + (t[i + 1] - t[i]) * (p - float(i));
}

float LevelsOf(PSDAdjustmentLevels::Record const& r, float v) {
    float inLo = r[0] / 255.0f, inHi = r[1] / 255.0f, outLo = r[2] / 255.0f, outHi = r[3] / 255.0f;
    float gamma = r[4] > 0 ? r[4] / 100.0f : 1.0f;
    float t = inHi > inLo ? Clamp01((v - inLo) / (inHi - inLo)) : (v >= inHi ? 1.0f : 0.0f);
    float p = 1.0f / gamma;
    if (p < 1) {
        // A lightening gamma is steep at black: the editor's curve starts with a finite slope,
        // a parabola meeting the power curve in value and slope where that slope falls to the
        // square root of two (read off its composites of levels_grayscale and levels_cmyk).
        float t1 = std::pow(std::sqrt(2.0f) / p, 1.0f / (p - 1.0f));
        if (t < t1) {
            float at = std::pow(t1, p), slope = p * at / t1;
            float a = 2 * at / t1 - slope, b = (slope * t1 - at) / (t1 * t1);
            return outLo + (outHi - outLo) * (a * t + b * t * t);
        }
    }
    return outLo + (outHi - outLo) * std::pow(t, p);
}

bool IsIdentityLevels(PSDAdjustmentLevels::Record const& r) {
    return (r[0] == 0 && r[1] == 255 && r[2] == 0 && r[3] == 255 && r[4] == 100) ||
           (r[0] == 0 && r[1] == 0 && r[2] == 0 && r[3] == 0);
}

void RGBToHSL(float const* c, float& h, float& s, float& l) {
    float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
    l = (mx + mn) / 2;
    float d = mx - mn;
    if (d <= 0) {
        h = s = 0;
        return;
    }
    s = l > 0.5f ? d / (2 - mx - mn) : d / (mx + mn);
    if (mx == c[0])
        h = (c[1] - c[2]) / d + (c[1] < c[2] ? 6 : 0);
    else if (mx == c[1])
        h = (c[2] - c[0]) / d + 2;
    else
        h = (c[0] - c[1]) / d + 4;
    h /= 6;
}

float HueChannel(float p, float q, float t) {
    t -= std::floor(t);
    if (t < 1.0f / 6) return p + (q - p) * 6 * t;
    if (t < 0.5f) return q;
    if (t < 2.0f / 3) return p + (q - p) * (2.0f / 3 - t) * 6;
    return p;
}

void HSLToRGB(float h, float s, float l, float* c) {
    if (s <= 0) {
        c[0] = c[1] = c[2] = l;
        return;
    }
    float q = l < 0.5f ? l * (1 + s) : l + s - l * s, p = 2 * l - q;
    c[0] = HueChannel(p, q, h + 1.0f / 3);
    c[1] = HueChannel(p, q, h);
    c[2] = HueChannel(p, q, h - 1.0f / 3);
}

// How much of a colour range's shift a hue takes: all of it between the range's inner ends,
// falling linearly to none at its outer ends; a range may wrap past 360 degrees.
float RangeWeight(PSDAdjustmentHSLShift::Range const& r, float hue) {
    auto ahead = [](float from, float to) {
        float d = std::fmod(to - from, 360.0f);
        return d < 0 ? d + 360 : d;
    };
    if (ahead(r[1], hue) <= ahead(r[1], r[2])) return 1;
    float in = ahead(r[0], r[1]), out = ahead(r[2], r[3]);
    if (ahead(r[0], hue) < in) return ahead(r[0], hue) / in;
    if (ahead(r[2], hue) < out) return 1 - ahead(r[2], hue) / out;
    return 0;
}

// What a saturation amount scales saturation by: less toward grey; more divides the distance
// left to full, so grey stays grey. At +100 the editor's scale stops at 128: a near grey of one
// level's difference keeps some grey.
float SaturationGain(float more) {
    return more < 0 ? 1 + more : 1 / std::max(1 - more, 1.0f / 128);
}

// Hue/saturation over the master values and the colour ranges, or colourised.
class HSLAdjustment : public PSDPixelAdjustment {
public:
    HSLAdjustment(PSDAdjustmentHSLShift const& a, unsigned depth)
        : m_a(a),
          m_levels(depth == 8 ? 255.0f : 0.0f),
          m_masterGain(SaturationGain(a.m_master[1] / 100.0f)) {
        for (size_t i = 0; i < 6; ++i) m_rangeGain[i] = SaturationGain(a.m_ranges[i][5] / 100.0f);
    }
    void Apply(float* c) const override {
        auto const& v = m_a.m_colourise ? m_a.m_colourisation : m_a.m_master;
        // The lightness goes by whole levels too: -37 scales by 161/255, not 0.63.
        float light = Whole(v[2] / 100.0f);
        auto lighten = [light](float x) { return light < 0 ? x * (1 + light) : x + (1 - x) * light; };
        float h, s, l;
        if (m_a.m_colourise) {
            RGBToHSL(c, h, s, l);
            h = v[0] / 360.0f;
            s = v[1] / 100.0f;
            float rgb[3];
            HSLToRGB(h - std::floor(h), s, l, rgb);
            for (int i = 0; i < 3; ++i) c[i] = lighten(rgb[i]);
            return;
        }
        // Lightness first, kept to the document's levels as what lies below is (the hue of a
        // near grey turns on that last level), then the hue and saturation of what it gives.
        for (int i = 0; i < 3; ++i) c[i] = Whole(lighten(Whole(c[i])));
        RGBToHSL(c, h, s, l);
        if (s <= 0) return;  // a grey: no hue to move, no saturation to scale
        // Each range by its weight at the pixel's hue. Their lightnesses add up and draw the
        // colour toward its brightest sample, or darkest: at full strength it turns grey there,
        // not white or black (mixing with a grey keeps the hue).
        float hue = h * 360, weights[6], rangeLight = 0;
        for (size_t i = 0; i < 6; ++i) {
            weights[i] = RangeWeight(m_a.m_ranges[i], hue);
            rangeLight += weights[i] * m_a.m_ranges[i][6] / 100.0f;
        }
        rangeLight = std::clamp(rangeLight, -1.0f, 1.0f);
        if (rangeLight != 0) {
            float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
            for (int i = 0; i < 3; ++i)
                c[i] += rangeLight > 0 ? (mx - c[i]) * rangeLight : (c[i] - mn) * rangeLight;
            float unused;
            RGBToHSL(c, unused, s, l);
        }
        // Then the master's hue and saturation, and the ranges': their hues add up by weight,
        // and so do their gains' departures from 1, which then scale the master's. Unclamped:
        // a +100 range at a tenth of its weight still restores most of what the master took.
        float shift = v[0], gain = 1;
        for (size_t i = 0; i < 6; ++i) {
            if (weights[i] <= 0) continue;
            shift += weights[i] * m_a.m_ranges[i][4];
            gain += weights[i] * (m_rangeGain[i] - 1);
        }
        s *= m_masterGain * std::max(0.0f, gain);
        h += shift / 360.0f;
        HSLToRGB(h - std::floor(h), Clamp01(s), l, c);
    }

private:
    PSDAdjustmentHSLShift const& m_a;
    // To the document's whole levels (8-bit documents only).
    float Whole(float v) const { return m_levels > 0 ? std::round(v * m_levels) / m_levels : v; }

    float m_levels;  // steps the lightness is rounded to; 0: not rounded
    float m_masterGain, m_rangeGain[6];  // what the saturations scale by
};

class MixerAdjustment : public PSDPixelAdjustment {
public:
    MixerAdjustment(PSDAdjustmentChannelMixer const& a, unsigned channels)
        : m_a(a), m_channels(channels) {}
    void Apply(float* c) const override {
        float in[4] = {c[0], c[1], c[2], c[3]};
        unsigned outputs = m_a.m_monochrome ? 1 : m_channels;
        for (unsigned o = 0; o < outputs; ++o) {
            auto const& w = m_a.m_outputs[o];
            float v = w[4] / 100.0f;
            for (unsigned i = 0; i < m_channels && i < 4; ++i) v += in[i] * w[i] / 100.0f;
            c[o] = Clamp01(v);
        }
        if (m_a.m_monochrome)
            for (unsigned o = 1; o < m_channels; ++o) c[o] = c[0];
    }

private:
    PSDAdjustmentChannelMixer const& m_a;
    unsigned m_channels;
};

// Equal bands of the depth's input levels, each to its end of the output range. Worked out per
// sample: a table would blend the two bands about each step.
class PosterizeAdjustment : public PSDPixelAdjustment {
public:
    PosterizeAdjustment(double levels, double top, unsigned channels)
        : m_levels(levels), m_top(top), m_channels(channels) {}
    void Apply(float* c) const override {
        for (unsigned i = 0; i < m_channels; ++i) {
            double v = Clamp01(c[i]);
            double bands =
                m_top > 0 ? std::round(v * m_top) * m_levels / (m_top + 1) : v * m_levels;
            c[i] = float(std::min(std::floor(bands), m_levels - 1) / (m_levels - 1));
        }
    }

private:
    double m_levels, m_top;
    unsigned m_channels;
};

// The grey of a CMYK sample as stored (1 = no ink), through the naive device RGB.
float InkGrey(float const* c) {
    float rgb[3] = {c[0] * c[3], c[1] * c[3], c[2] * c[3]};
    return Luminosity(rgb, 3);
}

class ThresholdAdjustment : public PSDPixelAdjustment {
public:
    ThresholdAdjustment(float level, unsigned channels, bool cmyk, unsigned depth)
        : m_level(level), m_channels(channels), m_cmyk(cmyk), m_whole(depth == 8) {}
    void Apply(float* c) const override {
        if (m_cmyk) {
            // The grey of the device colour decides, and black is of the black ink alone.
            bool white = Grey(InkGrey(c)) >= m_level;
            c[0] = c[1] = c[2] = 1;
            c[3] = white ? 1.0f : 0.0f;
            return;
        }
        float v = Grey(Luminosity(c, m_channels)) >= m_level ? 1.0f : 0.0f;
        for (unsigned i = 0; i < m_channels; ++i) c[i] = v;
    }

private:
    // An 8-bit document's grey is rounded to a whole level first: 59.6 passes a level of 60.
    float Grey(float g) const { return m_whole ? std::round(g * 255) : g * 255; }

    float m_level;
    unsigned m_channels;
    bool m_cmyk;
    bool m_whole;
};

// Black and white: the grey of a colour from its smallest channel, then the step to the middle
// one weighted by the secondary colour the two largest make, then the step to the largest
// weighted by its primary.
class BlackAndWhiteAdjustment : public PSDPixelAdjustment {
public:
    explicit BlackAndWhiteAdjustment(PSDAdjustmentBlackAndWhite const& a) : m_a(a) {}
    void Apply(float* c) const override {
        int mx = 0, mn = 0;
        for (int i = 1; i < 3; ++i) {
            if (c[i] > c[mx]) mx = i;
            if (c[i] <= c[mn]) mn = i;
        }
        if (mx == mn) mn = (mx + 1) % 3;
        int md = 3 - mx - mn;
        // Weights: reds, yellows, greens, cyans, blues, magentas.
        static constexpr int kPrimary[3] = {0, 2, 4};
        int secondary = (mx == 0 && md == 1) || (mx == 1 && md == 0)   ? 1
                        : (mx == 1 && md == 2) || (mx == 2 && md == 1) ? 3
                                                                       : 5;
        float grey = c[mn] + (c[md] - c[mn]) * m_a.m_weights[size_t(secondary)] / 100.0f +
                     (c[mx] - c[md]) * m_a.m_weights[size_t(kPrimary[mx])] / 100.0f;
        grey = Clamp01(grey);
        if (m_a.m_useTint && m_a.m_tintColour) {
            // The tint colours the grey as the colour blend mode would, keeping its luminosity.
            float t[3];
            ColourSamples(*m_a.m_tintColour, 3, t);
            float lt = 0.3f * t[0] + 0.59f * t[1] + 0.11f * t[2];
            for (int i = 0; i < 3; ++i) c[i] = Clamp01(t[i] - lt + grey);
            return;
        }
        c[0] = c[1] = c[2] = grey;
    }

private:
    PSDAdjustmentBlackAndWhite const& m_a;
};

// Colour balance: each channel moves by the shadow, midtone and highlight shifts, weighted by
// where the pixel's lightness lies; the lightness is put back when luminosity is preserved.
class ColourBalanceAdjustment : public PSDPixelAdjustment {
public:
    explicit ColourBalanceAdjustment(PSDAdjustmentColourBalance const& a) : m_a(a) {}
    void Apply(float* c) const override {
        float h, s, l;
        RGBToHSL(c, h, s, l);
        constexpr float kA = 0.25f, kB = 0.333f, kScale = 0.7f;
        float shadows = Clamp01((l - kB) / -kA + 0.5f) * kScale;
        float mids = Clamp01((l - kB) / kA + 0.5f) * Clamp01((l + kB - 1) / -kA + 0.5f) * kScale;
        float highs = Clamp01((l + kB - 1) / kA + 0.5f) * kScale;
        for (size_t i = 0; i < 3; ++i)
            c[i] = Clamp01(c[i] + (m_a.m_shadows[i] * shadows + m_a.m_midtones[i] * mids +
                                   m_a.m_highlights[i] * highs) / 100.0f);
        if (m_a.m_preserveLuminosity) {
            float h2, s2, l2, rgb[3];
            RGBToHSL(c, h2, s2, l2);
            HSLToRGB(h2, s2, l, rgb);
            for (int i = 0; i < 3; ++i) c[i] = rgb[i];
        }
    }

private:
    PSDAdjustmentColourBalance const& m_a;
};

// Selective colour: each of the nine ranges (six hues, whites, neutrals, blacks) weighs the pixel
// by how much it belongs there and moves each channel's ink by the range's ink and black shifts,
// in proportion to the ink already there when the method is relative.
class SelectiveColourAdjustment : public PSDPixelAdjustment {
public:
    explicit SelectiveColourAdjustment(PSDAdjustmentSelectiveColour const& a) : m_a(a) {}
    void Apply(float* c) const override {
        float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
        float md = c[0] + c[1] + c[2] - mx - mn;
        // Records 1..6 are reds, yellows, greens, cyans, blues, magentas; 7..9 whites, neutrals,
        // blacks (record 0 is unused).
        float w[10] = {};
        if (mx > mn) {
            if (c[0] == mx) w[1] = mx - md;
            if (c[1] == mx) w[3] = mx - md;
            if (c[2] == mx) w[5] = mx - md;
            if (c[2] == mn) w[2] = md - mn;
            if (c[0] == mn) w[4] = md - mn;
            if (c[1] == mn) w[6] = md - mn;
        }
        w[7] = std::max(0.0f, (mn - 0.5f) * 2);
        w[9] = std::max(0.0f, (0.5f - mx) * 2);
        w[8] = std::max(0.0f, 1 - (std::fabs(mx - 0.5f) + std::fabs(mn - 0.5f)));
        float in[3] = {c[0], c[1], c[2]};
        for (size_t r = 1; r < 10; ++r) {
            if (w[r] <= 0) continue;
            auto const& rec = m_a.m_records[r];
            float black = rec[3] / 100.0f;
            for (size_t i = 0; i < 3; ++i) {
                float ink = rec[i] / 100.0f;
                float d = (-1 - ink) * black - ink;
                if (m_a.m_method == 0) d *= 1 - in[i];
                d = std::clamp(d, -in[i], 1 - in[i]);
                c[i] += d * w[r];
            }
        }
        for (int i = 0; i < 3; ++i) c[i] = Clamp01(c[i]);
    }

private:
    PSDAdjustmentSelectiveColour const& m_a;
};

// Photo filter: the colour multiplied in at the density, then the luminosity restored.
class PhotoFilterAdjustment : public PSDPixelAdjustment {
public:
    explicit PhotoFilterAdjustment(PSDAdjustmentPhotoFilter const& a) : m_a(a) {
        ColourSamples(*a.m_colour, 3, m_filter);
        m_density = std::clamp(a.m_density / 100.0f, 0.0f, 1.0f);
    }
    void Apply(float* c) const override {
        float lum = Luminosity(c, 3);
        for (int i = 0; i < 3; ++i) c[i] += (c[i] * m_filter[i] - c[i]) * m_density;
        if (m_a.m_preserveLuminosity) {
            float d = lum - Luminosity(c, 3);
            for (int i = 0; i < 3; ++i) c[i] = Clamp01(c[i] + d);
        }
    }

private:
    PSDAdjustmentPhotoFilter const& m_a;
    float m_filter[4] = {};
    float m_density = 0;
};

// Vibrance raises the saturation of dull colours more than of vivid ones; saturation scales all
// alike. Both move the colour away from its grey.
class VibranceAdjustment : public PSDPixelAdjustment {
public:
    explicit VibranceAdjustment(PSDAdjustmentVibrance const& a)
        : m_vibrance(a.m_vibrance / 100.0f), m_saturation(a.m_saturation / 100.0f) {}
    void Apply(float* c) const override {
        float mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
        float sat = mx > 0 ? (mx - mn) / mx : 0;
        float factor = (1 + m_vibrance * (1 - sat)) * (1 + m_saturation);
        float grey = Luminosity(c, 3);
        for (int i = 0; i < 3; ++i) c[i] = Clamp01(grey + (c[i] - grey) * factor);
    }

private:
    float m_vibrance, m_saturation;
};

class GradientMapAdjustment : public PSDPixelAdjustment {
public:
    GradientMapAdjustment(PSDGradientRamp ramp, unsigned channels, bool lab)
        : m_ramp(std::move(ramp)), m_channels(channels), m_lab(lab) {}
    void Apply(float* c) const override {
        // Lab samples carry their lightness in the first channel already; a CMYK sample's
        // black ink darkens it as much as the others.
        float t = m_lab ? c[0] : m_channels == 4 ? InkGrey(c) : Luminosity(c, m_channels);
        RenderPixel p = m_ramp.At(Clamp01(t));
        for (unsigned i = 0; i < m_channels; ++i) c[i] = p.c[i];
    }

private:
    PSDGradientRamp m_ramp;
    unsigned m_channels;
    bool m_lab;
};

}  // namespace

// A colour lookup's grid of RGB colours, interpolated in tetrahedra as colour engines do.
class LookupAdjustment : public PSDPixelAdjustment {
public:
    explicit LookupAdjustment(PSDLookupTable table) : m_t(std::move(table)) {}
    void Apply(float* colour) const override { m_t.At(colour, colour); }

private:
    PSDLookupTable m_t;
};

// The colour lookup's grid: from its profile, which the editor applies, or else from the table
// file it embeds. False, with the reason, when neither reads.
bool LookupGrid(PSDAdjustmentColourLookup const& lookup, Raster::ICCProfile const* profile,
                PSDLookupTable& table, std::string& why) {
    constexpr unsigned kGrid = 33;
    auto bytes = lookup.Profile();
    if (!bytes.empty() && Raster::ICCManager::GetInstance().SampleLookupProfile(
                              bytes.data(), bytes.size(), profile, kGrid, table.rgb)) {
        table.size = kGrid;
        return true;
    }
    if (lookup.ReadTable(table, why)) return true;
    if (!bytes.empty()) why = "a profile that is not a device link or abstract profile";
    return false;
}

void ApplyContour(PSDContour const& contour, std::vector<float>& values) {
    if (contour.IsDefault()) return;
    std::vector<PSDAdjustmentCurves::Point> points;
    for (auto const& p : contour.m_points)
        points.push_back({int16_t(std::min<uint16_t>(p.vertical, 255)),
                          int16_t(std::min<uint16_t>(p.horizontal, 255))});
    auto table = SplineTable(std::move(points));
    for (auto& v : values) v = table[size_t(std::lround(Clamp01(v) * kLut))];
}

void ColourSamples(Renderer::Colour const& colour, uint32_t colourMode, float* out) {
    if (colourMode == 4) {  // CMYK: ink from a CMYK colour, else the naive complement of RGB
        if (auto const* k = dynamic_cast<Renderer::ColourCMYK const*>(&colour)) {
            auto v = k->GetCMYKAF();
            out[0] = 1 - v.c, out[1] = 1 - v.m, out[2] = 1 - v.y, out[3] = 1 - v.k;
            return;
        }
        auto rgb = colour.ToRGBAF();
        float k = 1 - std::max({rgb.r, rgb.g, rgb.b});
        auto ink = [k](float v) { return k >= 1 ? 0.0f : (1 - v - k) / (1 - k); };
        out[0] = 1 - ink(rgb.r), out[1] = 1 - ink(rgb.g), out[2] = 1 - ink(rgb.b), out[3] = 1 - k;
        return;
    }
    if (colourMode == 9) {  // Lab: L over 0..1, a and b with 128 at their middle
        auto lab = colour.ToLABA16();
        out[0] = lab.l / 65535.0f;
        out[1] = lab.a / 65535.0f, out[2] = lab.b / 65535.0f;
        return;
    }
    auto rgb = colour.ToRGBAF();
    if (colourMode == 1 || colourMode == 8 || colourMode == 7) {
        if (auto const* g = dynamic_cast<Renderer::ColourGrayscale const*>(&colour))
            out[0] = g->GetGray();
        else
            out[0] = 0.3f * rgb.r + 0.59f * rgb.g + 0.11f * rgb.b;
        return;
    }
    out[0] = rgb.r, out[1] = rgb.g, out[2] = rgb.b;
}

namespace {

// sRGB samples to and from Oklab, where equal steps look equal.
void ToOklab(float const* rgb, float* lab) {
    float l[3];
    for (int c = 0; c < 3; ++c) {
        float v = Clamp01(rgb[c]);
        l[c] = v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
    }
    float L = std::cbrt(0.4122214708f * l[0] + 0.5363325363f * l[1] + 0.0514459929f * l[2]);
    float M = std::cbrt(0.2119034982f * l[0] + 0.6806995451f * l[1] + 0.1073969566f * l[2]);
    float S = std::cbrt(0.0883024619f * l[0] + 0.2817188376f * l[1] + 0.6299787005f * l[2]);
    lab[0] = 0.2104542553f * L + 0.7936177850f * M - 0.0040720468f * S;
    lab[1] = 1.9779984951f * L - 2.4285922050f * M + 0.4505937099f * S;
    lab[2] = 0.0259040371f * L + 0.7827717662f * M - 0.8086757660f * S;
}

void FromOklab(float const* lab, float* rgb) {
    float L = lab[0] + 0.3963377774f * lab[1] + 0.2158037573f * lab[2];
    float M = lab[0] - 0.1055613458f * lab[1] - 0.0638541728f * lab[2];
    float S = lab[0] - 0.0894841775f * lab[1] - 1.2914855480f * lab[2];
    L = L * L * L, M = M * M * M, S = S * S * S;
    float l[3] = {4.0767416621f * L - 3.3077115913f * M + 0.2309699292f * S,
                  -1.2684380046f * L + 2.6097574011f * M - 0.3413193965f * S,
                  -0.0041960863f * L - 0.7034186147f * M + 1.7076147010f * S};
    for (int c = 0; c < 3; ++c) {
        float v = Clamp01(l[c]);
        rgb[c] = v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f;
    }
}

// One kind of stops (colours or opacities) as a curve through their values. Smoothness bends
// the straight mix between stops towards a Catmull-Rom spline, each segment kept within the
// values of its two stops: as fitted on the editor's drawings (two stops ease half way to a
// smoothstep; a middle stop's slope follows its neighbours, overshoots are cut off).
class StopCurve {
public:
    struct Node {
        float location, midpoint;
        float v[4];
    };

    StopCurve(std::vector<Node> nodes, unsigned channels, float smooth)
        : m_nodes(std::move(nodes)), m_channels(channels), m_smooth(smooth) {
        size_t n = m_nodes.size();
        m_slopes.assign(n * 4, 0.0f);
        for (size_t i = 0; i < n && n > 1; ++i) {
            size_t lo = i == 0 ? 0 : i - 1, hi = i + 1 == n ? i : i + 1;
            float span = m_nodes[hi].location - m_nodes[lo].location;
            // At the ends, half the slope towards the neighbour.
            float weight = lo == i || hi == i ? 0.5f : 1.0f;
            for (unsigned c = 0; c < channels && span > 0; ++c)
                m_slopes[i * 4 + c] = weight * (m_nodes[hi].v[c] - m_nodes[lo].v[c]) / span;
        }
    }

    void At(float t, float* out) const {
        size_t k = 0;
        while (k + 1 < m_nodes.size() && m_nodes[k + 1].location <= t) ++k;
        Node const& a = m_nodes[k];
        if (t <= a.location || k + 1 == m_nodes.size()) {
            std::copy(a.v, a.v + m_channels, out);
            return;
        }
        Node const& b = m_nodes[k + 1];
        float h = b.location - a.location;
        // The midpoint moves where the mix is half way.
        float f = std::clamp((t - a.location) / h, 0.0f, 1.0f);
        float m = std::clamp(b.midpoint / 100.0f, 0.01f, 0.99f);
        f = f < m ? 0.5f * f / m : 0.5f + 0.5f * (f - m) / (1 - m);
        float f2 = f * f, f3 = f2 * f;
        float h00 = 2 * f3 - 3 * f2 + 1, h10 = f3 - 2 * f2 + f, h01 = 3 * f2 - 2 * f3,
              h11 = f3 - f2;
        for (unsigned c = 0; c < m_channels; ++c) {
            float secant = b.v[c] - a.v[c];
            float m0 = secant + m_smooth * (m_slopes[k * 4 + c] * h - secant);
            float m1 = secant + m_smooth * (m_slopes[(k + 1) * 4 + c] * h - secant);
            float v = h00 * a.v[c] + h10 * m0 + h01 * b.v[c] + h11 * m1;
            out[c] = std::clamp(v, std::min(a.v[c], b.v[c]), std::max(a.v[c], b.v[c]));
        }
    }

private:
    std::vector<Node> m_nodes;
    std::vector<float> m_slopes;  // per node and channel, per unit of location
    unsigned m_channels;
    float m_smooth;
};

}  // namespace

bool PSDGradientRamp::Build(PSDGradient const& g, uint32_t mode, bool reverse, bool perceptual) {
    perceptual = perceptual && mode == 3;
    if (g.IsNoise() || g.m_colours.empty()) return false;
    auto stops = g.m_colours;
    std::stable_sort(stops.begin(), stops.end(),
                     [](auto const& a, auto const& b) { return a.location < b.location; });
    auto alphas = g.m_transparency;
    std::stable_sort(alphas.begin(), alphas.end(),
                     [](auto const& a, auto const& b) { return a.location < b.location; });
    float smooth = float(std::clamp(g.m_smoothness, 0.0, 1.0));
    // Colours mix in the document's samples, or in Oklab.
    std::vector<StopCurve::Node> nodes;
    for (auto const& stop : stops) {
        StopCurve::Node n{float(stop.location), float(stop.midpoint), {0, 0, 0, 0}};
        if (stop.colour) ColourSamples(*stop.colour, mode, n.v);
        if (perceptual) {
            float lab[3];
            ToOklab(n.v, lab);
            std::copy(lab, lab + 3, n.v);
        }
        nodes.push_back(n);
    }
    StopCurve colours(std::move(nodes), 4, smooth);
    nodes.clear();
    for (auto const& stop : alphas)
        nodes.push_back(
            {float(stop.location), float(stop.midpoint), {float(stop.opacity / 100.0)}});
    StopCurve opacities(std::move(nodes), 1, smooth);
    m_table.assign(kSteps, {});
    for (int i = 0; i < kSteps; ++i) {
        float t = float(i) / (kSteps - 1) * 4096.0f;
        if (reverse) t = 4096.0f - t;
        RenderPixel p;
        colours.At(t, p.c);
        if (perceptual) {
            float lab[3] = {p.c[0], p.c[1], p.c[2]};
            FromOklab(lab, p.c);
        }
        p.a = 1;
        if (!alphas.empty()) opacities.At(t, &p.a);
        m_table[i] = p;
    }
    return true;
}

bool PerceptualGradient(PSDGradientDesc const& g, uint32_t mode, std::vector<std::string>& undrawn) {
    auto const& m = g.m_interpolation;
    if (!m.m_code && m.m_name.empty()) return false;
    if (m.m_code == Key("Perc") && mode == 3) return true;
    if (m.m_code != Key("Gcls"))
        undrawn.push_back("gradient interpolation " + std::string(m.ToString()) + " (drawn as classic)");
    return false;
}

RenderPixel PSDGradientRamp::At(float t) const {
    int i = int(std::lround(Clamp01(t) * (kSteps - 1)));
    return m_table[size_t(i)];
}

std::unique_ptr<PSDPixelAdjustment> PSDPixelAdjustment::Create(PSDAdjustment const& adj,
                                                               BlendContext const& ctx, bool cmyk,
                                                               std::string& undrawn) {
    unsigned n = ctx.channels;
    switch (adj.GetType()) {
        case PSDAdjustment::kInvert: {
            auto t = std::make_unique<TableAdjustment>(n);
            t->ChainAll([](float v) { return 1 - v; });
            return t;
        }
        case PSDAdjustment::kPosterize: {
            auto const& p = static_cast<PSDAdjustmentPosterize const&>(adj);
            double top = ctx.depth == 8 ? 255 : ctx.depth == 16 ? 65535 : 0;
            return std::make_unique<PosterizeAdjustment>(std::clamp<double>(p.m_levels, 2, 255),
                                                         top, n);
        }
        case PSDAdjustment::kThreshold:
            return std::make_unique<ThresholdAdjustment>(
                float(static_cast<PSDAdjustmentThreshold const&>(adj).m_level), n, cmyk && n == 4,
                ctx.depth);
        case PSDAdjustment::kLevels: {
            auto const& l = static_cast<PSDAdjustmentLevels const&>(adj);
            auto t = std::make_unique<TableAdjustment>(n);
            for (unsigned c = 0; c < n; ++c) {
                auto const& own = l.m_records[c + 1];
                if (!IsIdentityLevels(own)) t->Chain(c, [&](float v) { return LevelsOf(own, v); });
                if (!IsIdentityLevels(l.m_records[0]))
                    t->Chain(c, [&](float v) { return LevelsOf(l.m_records[0], v); });
            }
            return t;
        }
        case PSDAdjustment::kCurves: {
            auto const& cv = static_cast<PSDAdjustmentCurves const&>(adj);
            auto t = std::make_unique<TableAdjustment>(n);
            std::vector<float> master;
            if (!cv.m_curves.empty() && cv.m_curves[0].present)
                master = SplineTable(cv.m_curves[0].points);
            for (unsigned c = 0; c < n; ++c) {
                if (c + 1 < cv.m_curves.size() && cv.m_curves[c + 1].present) {
                    auto own = SplineTable(cv.m_curves[c + 1].points);
                    t->Chain(c, [&](float v) { return Lookup(own, v); });
                }
                if (!master.empty()) t->Chain(c, [&](float v) { return Lookup(master, v); });
            }
            return t;
        }
        case PSDAdjustment::kBrightnessContrast: {
            auto const& b = static_cast<PSDAdjustmentBrightnessContrast const&>(adj);
            float bright = b.m_brightness / 255.0f;
            float contrast = std::clamp(b.m_contrast / 100.0f, -1.0f, 0.99f);
            float slope = contrast >= 0 ? 1 / (1 - contrast) : 1 + contrast;
            auto t = std::make_unique<TableAdjustment>(n);
            if (b.m_useLegacy) {
                // Raised contrast stretches the brightened samples; lowered contrast compresses
                // first and then brightens, keeping the whole shift (as the editor's composites of
                // brightnesscontrast_legacy_cmyk and ag-psd's masks show).
                if (contrast < 0)
                    t->ChainAll([=](float v) { return (v - 0.5f) * slope + 0.5f + bright; });
                else
                    t->ChainAll([=](float v) { return (v + bright - 0.5f) * slope + 0.5f; });
            } else {
                // Brightness lifts the middle tones and keeps the ends; contrast bends towards an
                // S through the ends (or away from it). Fitted on the editor's curves of four
                // settings to within 16 levels, not exactly.
                float lift = 0.814f * float(b.m_brightness) / 255.0f;
                float bend = 0.93f * float(b.m_contrast) / 100.0f;
                t->ChainAll([=](float v) {
                    float u = Clamp01(v);
                    u = Clamp01(u + lift * 4 * u * (1 - u));
                    return u + bend * (u * u * (3 - 2 * u) - u);
                });
            }
            return t;
        }
        case PSDAdjustment::kExposure: {
            auto const& e = static_cast<PSDAdjustmentExposure const&>(adj);
            float gain = std::pow(2.0f, e.m_exposure), gamma = e.m_gamma > 0 ? e.m_gamma : 1;
            auto t = std::make_unique<TableAdjustment>(n);
            // Exposure works in linear light: gamma-encoded samples go through 2.2 and back, grey
            // ones through their profile's tone curve.
            float encode = ctx.linear ? 1.0f : 2.2f;
            if (ctx.greyCurve && !ctx.linear && ctx.greyCurve->size() >= 2) {
                std::vector<float> const& curve = *ctx.greyCurve;
                float last = float(curve.size() - 1);
                t->ChainAll([=, &curve](float v) {
                    float at = Clamp01(v) * last;
                    size_t i = std::min(size_t(at), curve.size() - 2);
                    float lin = curve[i] + (curve[i + 1] - curve[i]) * (at - float(i));
                    lin = std::pow(Clamp01(lin * gain + e.m_offset), 1 / gamma);
                    // Back through the curve: the first sample at or above, interpolated.
                    size_t j = size_t(std::lower_bound(curve.begin(), curve.end(), lin) - curve.begin());
                    if (j == 0) return 0.0f;
                    if (j >= curve.size()) return 1.0f;
                    float span = curve[j] - curve[j - 1];
                    return (float(j - 1) + (span > 0 ? (lin - curve[j - 1]) / span : 0)) / last;
                });
                return t;
            }
            t->ChainAll([=](float v) {
                float lin = std::pow(Clamp01(v), encode) * gain + e.m_offset;
                return std::pow(std::pow(Clamp01(lin), 1 / gamma), 1 / encode);
            });
            return t;
        }
        case PSDAdjustment::kChannelMixer:
            if (cmyk) break;
            return std::make_unique<MixerAdjustment>(
                static_cast<PSDAdjustmentChannelMixer const&>(adj), n);
        case PSDAdjustment::kHSLShift:
            if (!ctx.rgb || cmyk) break;
            return std::make_unique<HSLAdjustment>(static_cast<PSDAdjustmentHSLShift const&>(adj),
                                                   ctx.depth);
        case PSDAdjustment::kBlackAndWhite:
            if (!ctx.rgb || cmyk) break;
            return std::make_unique<BlackAndWhiteAdjustment>(
                static_cast<PSDAdjustmentBlackAndWhite const&>(adj));
        case PSDAdjustment::kColourBalance:
            if (!ctx.rgb || cmyk) break;
            return std::make_unique<ColourBalanceAdjustment>(
                static_cast<PSDAdjustmentColourBalance const&>(adj));
        case PSDAdjustment::kSelectiveColour:
            if (!ctx.rgb || cmyk) break;
            return std::make_unique<SelectiveColourAdjustment>(
                static_cast<PSDAdjustmentSelectiveColour const&>(adj));
        case PSDAdjustment::kPhotoFilter:
            if (!ctx.rgb || cmyk || !static_cast<PSDAdjustmentPhotoFilter const&>(adj).m_colour) break;
            return std::make_unique<PhotoFilterAdjustment>(
                static_cast<PSDAdjustmentPhotoFilter const&>(adj));
        case PSDAdjustment::kVibrance:
            if (!ctx.rgb || cmyk) break;
            return std::make_unique<VibranceAdjustment>(static_cast<PSDAdjustmentVibrance const&>(adj));
        case PSDAdjustment::kColourLookup: {
            auto const& lookup = static_cast<PSDAdjustmentColourLookup const&>(adj);
            // Without a table (none chosen yet) the lookup leaves colours as they are.
            if (lookup.m_lookupType.empty()) return std::make_unique<NoAdjustment>();
            if (!ctx.rgb || cmyk || ctx.linear) break;
            PSDLookupTable table;
            std::string why;
            if (LookupGrid(lookup, ctx.profile, table, why))
                return std::make_unique<LookupAdjustment>(std::move(table));
            undrawn = "adjustment colorlookup (" + why + ")";
            return nullptr;
        }
        case PSDAdjustment::kGradientMap: {
            auto const& g = static_cast<PSDAdjustmentGradientMap const&>(adj);
            PSDGradientRamp ramp;
            bool lab = !cmyk && n == 3 && !ctx.rgb;
            uint32_t mode = cmyk ? 4 : n == 1 ? 1 : lab ? 9 : 3;
            // The ramp mixes in Oklab from RGB samples only; the others mix classically (and are
            // named so).
            bool perceptual = g.m_interpolation == Key("Perc") && ctx.rgb;
            if (!ramp.Build(g.m_gradient, mode, g.m_reverse, perceptual)) break;
            return std::make_unique<GradientMapAdjustment>(std::move(ramp), n, lab);
        }
        default:
            break;
    }
    undrawn = std::string("adjustment ") + AdjustmentKindName(adj.GetType());
    return nullptr;
}

}  // namespace PSD
