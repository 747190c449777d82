#include "psd/render/PSDBlend.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace PSD {

namespace {

float Clamp01(float v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

// Dodge and burn jump at black and white backdrops; a backdrop a rounding error off them is them,
// as the editor's whole levels are.
constexpr float kEdge = 1e-6f;

float Dodge(float b, float s) {
    if (b <= kEdge) return 0;
    if (s >= 1) return 1;
    return std::min(1.0f, b / (1 - s));
}

float Burn(float b, float s) {
    if (b >= 1 - kEdge) return 1;
    if (s <= 0) return 0;
    return 1 - std::min(1.0f, (1 - b) / s);
}

float Separable(BlendMode mode, float b, float s) {
    switch (mode) {
        case BlendMode::Darken: return std::min(b, s);
        case BlendMode::Lighten: return std::max(b, s);
        case BlendMode::Multiply: return b * s;
        case BlendMode::Screen: return b + s - b * s;
        case BlendMode::Overlay: return b <= 0.5f ? 2 * b * s : 1 - 2 * (1 - b) * (1 - s);
        case BlendMode::HardLight: return s <= 0.5f ? 2 * b * s : 1 - 2 * (1 - b) * (1 - s);
        case BlendMode::SoftLight:
            // The editor's soft light: continuous at s = 0.5, square root above.
            return s <= 0.5f ? 2 * b * s + b * b * (1 - 2 * s)
                             : 2 * b * (1 - s) + std::sqrt(std::max(b, 0.0f)) * (2 * s - 1);
        case BlendMode::Difference: return std::fabs(b - s);
        case BlendMode::Exclusion: return b + s - 2 * b * s;
        case BlendMode::ColourDodge: return Dodge(b, s);
        case BlendMode::ColourBurn: return Burn(b, s);
        case BlendMode::LinearBurn: return std::max(0.0f, b + s - 1);
        case BlendMode::LinearDodge: return std::min(1.0f, b + s);
        // At the ends the source wins: black stays black and white white, whatever lies below.
        case BlendMode::VividLight:
            return s <= 0 ? 0.0f : s >= 1 ? 1.0f : s <= 0.5f ? Burn(b, 2 * s) : Dodge(b, 2 * s - 1);
        case BlendMode::LinearLight: return Clamp01(b + 2 * s - 1);
        case BlendMode::PinLight: return s <= 0.5f ? std::min(b, 2 * s) : std::max(b, 2 * s - 1);
        case BlendMode::HardMix: return b + s >= 1 ? 1.0f : 0.0f;
        case BlendMode::Subtract: return std::max(0.0f, b - s);
        case BlendMode::Divide: return s <= 0 ? (b <= 0 ? 0.0f : 1.0f) : std::min(1.0f, b / s);
        default: return s;
    }
}

float Lum(float const* c) { return 0.3f * c[0] + 0.59f * c[1] + 0.11f * c[2]; }

// Each sample is drawn in towards the luminosity by bounds taken before either step, so the two
// steps may run one after the other over all three.
inline void ClipColour(float* c) {
    float l = Lum(c);
    float n = std::min({c[0], c[1], c[2]}), x = std::max({c[0], c[1], c[2]});
    if (n < 0 && l - n > 0)
        for (int i = 0; i < 3; ++i) c[i] = l + (c[i] - l) * l / (l - n);
    if (x > 1 && x - l > 0)
        for (int i = 0; i < 3; ++i) c[i] = l + (c[i] - l) * (1 - l) / (x - l);
}

inline void SetLum(float const* c, float l, float* out) {
    float d = l - Lum(c);
    for (int i = 0; i < 3; ++i) out[i] = c[i] + d;
    ClipColour(out);
}

float Sat(float const* c) { return std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}); }

void SetSat(float const* c, float s, float* out) {
    int mx = 0, mn = 0;
    for (int i = 1; i < 3; ++i) {
        if (c[i] > c[mx]) mx = i;
        if (c[i] < c[mn]) mn = i;
    }
    if (mx == mn) {
        out[0] = out[1] = out[2] = 0;
        return;
    }
    int md = 3 - mx - mn;
    float range = c[mx] - c[mn];
    out[md] = (c[md] - c[mn]) * s / range;
    out[mx] = s;
    out[mn] = 0;
}

}  // namespace

void CompositeTextGamma(BlendContext const& ctx, RenderPixel& b, RenderPixel const& s) {
    if (s.a <= 0) return;
    if (s.a >= 1 || b.a <= 0) {
        b = s;
        return;
    }
    constexpr float kGamma = 1.45f;
    // sRGB's curve to linear light and back.
    auto toLinear = [](float v) {
        v = Clamp01(v);
        return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
    };
    auto toEncoded = [](float v) {
        v = Clamp01(v);
        return v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f;
    };
    float keep = (1 - s.a) * b.a, ao = s.a + keep;
    for (unsigned i = 0; i < ctx.channels; ++i) {
        float mixed = (s.a * std::pow(toLinear(s.c[i]), 1 / kGamma) +
                       keep * std::pow(toLinear(b.c[i]), 1 / kGamma)) /
                      ao;
        b.c[i] = toEncoded(std::pow(mixed, kGamma));
    }
    b.a = ao;
}

float Luminosity(float const* c, unsigned channels) {
    return channels >= 3 ? Lum(c) : c[0];
}

float DissolveNoise(int64_t x, int64_t y) {
    uint64_t h = uint64_t(x) * 0x9E3779B97F4A7C15ull ^ uint64_t(y) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return float(h & 0xFFFFFF) / float(0x1000000);
}

void BlendColours(BlendMode mode, BlendContext const& ctx, float const* b, float const* s,
                  float* out) {
    unsigned n = ctx.channels;
    switch (mode) {
        case BlendMode::Hue:
        case BlendMode::Saturation:
        case BlendMode::Colour:
        case BlendMode::Luminosity: {
            if (!ctx.rgb) {
                // One channel has no hue or saturation: only luminosity takes the source.
                for (unsigned i = 0; i < n; ++i)
                    out[i] = mode == BlendMode::Luminosity ? s[i] : b[i];
                return;
            }
            float t[3];
            if (mode == BlendMode::Hue) {
                SetSat(s, Sat(b), t);
                SetLum(t, Lum(b), out);
            } else if (mode == BlendMode::Saturation) {
                SetSat(b, Sat(s), t);
                SetLum(t, Lum(b), out);
            } else if (mode == BlendMode::Colour) {
                SetLum(s, Lum(b), out);
            } else {
                SetLum(b, Lum(s), out);
            }
            for (unsigned i = 3; i < n; ++i) out[i] = b[i];  // CMYK's black stays
            return;
        }
        case BlendMode::DarkerColour:
        case BlendMode::LighterColour: {
            // RGB colours are compared by their luminosity (pure green is lighter than blue).
            float lb = 0, ls = 0;
            if (ctx.rgb) {
                lb = Lum(b), ls = Lum(s);
            } else {
                for (unsigned i = 0; i < n; ++i) lb += b[i], ls += s[i];
            }
            bool source = mode == BlendMode::DarkerColour ? ls < lb : ls > lb;
            for (unsigned i = 0; i < n; ++i) out[i] = source ? s[i] : b[i];
            return;
        }
        default:
            for (unsigned i = 0; i < n; ++i) out[i] = Separable(mode, b[i], s[i]);
    }
}

void CompositePixelAny(BlendMode mode, BlendContext const& ctx, RenderPixel& b,
                       RenderPixel const& s) {
    float as = s.a;
    if (as <= 0) return;
    unsigned n = ctx.channels;
    float mixed[4];
    if (mode == BlendMode::Normal || mode == BlendMode::Dissolve ||
        mode == BlendMode::PassThrough || b.a <= 0) {
        for (unsigned i = 0; i < n; ++i) mixed[i] = s.c[i];
    } else {
        float blended[4];
        BlendColours(mode, ctx, b.c, s.c, blended);
        for (unsigned i = 0; i < n; ++i) mixed[i] = (1 - b.a) * s.c[i] + b.a * blended[i];
    }
    float ao = as + b.a * (1 - as);
    for (unsigned i = 0; i < n; ++i)
        b.c[i] = (as * mixed[i] + (1 - as) * b.a * b.c[i]) / ao;
    b.a = ao;
}

// The modes Separable blends, for the rows below.
// clang-format off
#define ZUZODORIV_SEPARABLE_MODES(X)                                                \
    X(Darken) X(Lighten) X(Multiply) X(Screen) X(Overlay) X(HardLight) X(SoftLight) \
    X(Difference) X(Exclusion) X(ColourDodge) X(ColourBurn) X(LinearBurn)           \
    X(LinearDodge) X(VividLight) X(LinearLight) X(PinLight) X(HardMix) X(Subtract)  \
    X(Divide)
// clang-format on

namespace {

// Sources of a row: N colour samples of T then alpha, the alpha scaled, or pixels as rendering
// holds them.
template <typename T, unsigned N>
struct SampleSource {
    static constexpr unsigned kChannels = N;
    static constexpr float unit = 1.0f / float(T(~T(0)));
    T const* q;
    float alphaScale;
    float Alpha(size_t x) const { return q[(N + 1) * x + N] * unit * alphaScale; }
    float Colour(size_t x, unsigned c) const { return q[(N + 1) * x + c] * unit; }
    RenderPixel At(size_t x) const {
        RenderPixel p{{}, Alpha(x)};
        for (unsigned c = 0; c < N; ++c) p.c[c] = Colour(x, c);
        return p;
    }
};

struct PixelSource {
    static constexpr unsigned kChannels = 0;  // as the context says
    RenderPixel const* s;
    float Alpha(size_t x) const { return s[x].a; }
    float Colour(size_t x, unsigned c) const { return s[x].c[c]; }
    RenderPixel const& At(size_t x) const { return s[x]; }
};

// CompositePixelAny's steps for a blend of whole pixels (blend(b, s, out) gives N colours), its
// mode fixed so that its switch folds away.
template <unsigned N, class Blend, class Source>
void BlendRow(Blend const& blend, Source const& src, size_t count, RenderPixel* b) {
    for (size_t x = 0; x < count; ++x, ++b) {
        float as = src.Alpha(x);
        if (as <= 0) continue;
        float ba = b->a, s[N], blended[N];
        for (unsigned c = 0; c < N; ++c) s[c] = src.Colour(x, c);
        if (ba >= 1) {
            // Over an opaque backdrop (most pixels) the blend alone shows, faded by alpha.
            blend(b->c, s, blended);
            for (unsigned c = 0; c < N; ++c) b->c[c] += (blended[c] - b->c[c]) * as;
            continue;
        }
        float ao = as + ba * (1 - as), inv = 1 / ao;
        if (ba <= 0) {
            for (unsigned c = 0; c < N; ++c) b->c[c] = (as * s[c] + (1 - as) * ba * b->c[c]) * inv;
        } else {
            blend(b->c, s, blended);
            for (unsigned c = 0; c < N; ++c) {
                float mixed = (1 - ba) * s[c] + ba * blended[c];
                b->c[c] = (as * mixed + (1 - as) * ba * b->c[c]) * inv;
            }
        }
        b->a = ao;
    }
}

// The same for the modes that blend each sample on its own, written out per sample: faster than
// a whole pixel's blend first.
template <BlendMode M, unsigned N, class Source>
void SeparableRow(Source const& src, size_t count, RenderPixel* b) {
    for (size_t x = 0; x < count; ++x, ++b) {
        float as = src.Alpha(x);
        if (as <= 0) continue;
        float ba = b->a;
        if (ba >= 1) {
            for (unsigned c = 0; c < N; ++c) {
                float d = b->c[c];
                b->c[c] = d + (Separable(M, d, src.Colour(x, c)) - d) * as;
            }
            continue;
        }
        float ao = as + ba * (1 - as), inv = 1 / ao;
        for (unsigned c = 0; c < N; ++c) {
            float s = src.Colour(x, c);
            float mixed = ba <= 0 ? s : (1 - ba) * s + ba * Separable(M, b->c[c], s);
            b->c[c] = (as * mixed + (1 - as) * ba * b->c[c]) * inv;
        }
        b->a = ao;
    }
}

// The component modes over RGB, as BlendColours gives them.
template <BlendMode M>
struct ComponentBlend {
    void operator()(float const* b, float const* s, float* out) const {
        float t[3];
        if constexpr (M == BlendMode::Hue) {
            SetSat(s, Sat(b), t);
            SetLum(t, Lum(b), out);
        } else if constexpr (M == BlendMode::Saturation) {
            SetSat(b, Sat(s), t);
            SetLum(t, Lum(b), out);
        } else if constexpr (M == BlendMode::Colour) {
            SetLum(s, Lum(b), out);
        } else {
            SetLum(b, Lum(s), out);
        }
    }
};

// Darker and lighter colour: the whole source or the whole backdrop, compared by luminosity in
// RGB and by their samples' sum otherwise.
template <bool Darker, unsigned N, bool Rgb>
struct ChoiceBlend {
    void operator()(float const* b, float const* s, float* out) const {
        float lb = 0, ls = 0;
        if constexpr (Rgb) {
            lb = Lum(b), ls = Lum(s);
        } else {
            for (unsigned c = 0; c < N; ++c) lb += b[c], ls += s[c];
        }
        bool source = Darker ? ls < lb : ls > lb;
        for (unsigned c = 0; c < N; ++c) out[c] = source ? s[c] : b[c];
    }
};

// Without RGB, hue, saturation and colour keep the backdrop's colour and luminosity takes the
// source's.
template <unsigned N, bool Backdrop>
struct KeepBlend {
    float Sample(float b, float s) const { return Backdrop ? b : s; }
    void operator()(float const* b, float const* s, float* out) const {
        for (unsigned c = 0; c < N; ++c) out[c] = Sample(b[c], s[c]);
    }
};

template <BlendMode M, unsigned N>
struct SeparableBlend {
    float Sample(float b, float s) const { return Separable(M, b, s); }
    void operator()(float const* b, float const* s, float* out) const {
        for (unsigned c = 0; c < N; ++c) out[c] = Sample(b[c], s[c]);
    }
};

// Calls apply with darker or lighter colour's blend, compared as the document's colours are.
template <bool Darker, unsigned N, class Apply>
void ApplyChoice(BlendContext const& ctx, Apply& apply) {
    if (ctx.rgb && N == 3)
        apply(ChoiceBlend<Darker, N, true>{});
    else
        apply(ChoiceBlend<Darker, N, false>{});
}

// Calls apply(blend) with mode's blend of whole pixels of N colours, as BlendColours gives it;
// false, calling nothing, for the modes that take the source (normal and dissolve) and, unless
// Separables, for those that blend each sample on its own.
template <unsigned N, bool Separables, class Apply>
bool WithBlend(BlendMode mode, BlendContext const& ctx, Apply&& apply) {
    switch (mode) {
#define ZUZODORIV_BLEND(m)                        \
    case BlendMode::m:                            \
        if constexpr (!Separables) return false;  \
        apply(SeparableBlend<BlendMode::m, N>{}); \
        return true;
        ZUZODORIV_SEPARABLE_MODES(ZUZODORIV_BLEND)
#undef ZUZODORIV_BLEND
        case BlendMode::DarkerColour:
            ApplyChoice<true, N>(ctx, apply);
            return true;
        case BlendMode::LighterColour:
            ApplyChoice<false, N>(ctx, apply);
            return true;
        case BlendMode::Hue:
        case BlendMode::Saturation:
        case BlendMode::Colour:
        case BlendMode::Luminosity:
            if (!ctx.rgb) {
                // One channel has no hue or saturation: only luminosity takes the source.
                if (mode == BlendMode::Luminosity)
                    apply(KeepBlend<N, false>{});
                else
                    apply(KeepBlend<N, true>{});
                return true;
            }
            if constexpr (N == 3) {
                if (mode == BlendMode::Hue)
                    apply(ComponentBlend<BlendMode::Hue>{});
                else if (mode == BlendMode::Saturation)
                    apply(ComponentBlend<BlendMode::Saturation>{});
                else if (mode == BlendMode::Colour)
                    apply(ComponentBlend<BlendMode::Colour>{});
                else
                    apply(ComponentBlend<BlendMode::Luminosity>{});
                return true;
            }
            return false;
        default:
            return false;
    }
}

template <unsigned N, class Source>
bool ChannelRow(BlendMode mode, BlendContext const& ctx, Source const& src, size_t count,
                RenderPixel* b) {
    switch (mode) {
#define ZUZODORIV_ROW(m)                              \
    case BlendMode::m:                                \
        SeparableRow<BlendMode::m, N>(src, count, b); \
        return true;
        ZUZODORIV_SEPARABLE_MODES(ZUZODORIV_ROW)
#undef ZUZODORIV_ROW
        default:
            return WithBlend<N, false>(
                mode, ctx, [&](auto const& blend) { BlendRow<N>(blend, src, count, b); });
    }
}

// CompositeAtop over a row: inside the backdrop's shape, its colour moved toward the blend.
template <unsigned N, class Blend, class Source>
void AtopRow(Blend const& blend, Source const& src, size_t count, RenderPixel* b) {
    for (size_t x = 0; x < count; ++x) {
        float as = src.Alpha(x);
        if (as <= 0 || b[x].a <= 0) continue;
        float* d = b[x].c;
        if constexpr (requires { blend.Sample(0.0f, 0.0f); }) {
            // Sample by sample, the source read straight: loads of a copy just stored would wait
            // on the stores.
            for (unsigned c = 0; c < N; ++c)
                d[c] += (blend.Sample(d[c], src.Colour(x, c)) - d[c]) * as;
        } else {
            static_assert(std::is_same_v<Source, PixelSource>, "whole-pixel blends take pixels");
            float blended[N];
            blend(d, src.s[x].c, blended);
            for (unsigned c = 0; c < N; ++c) d[c] += (blended[c] - d[c]) * as;
        }
    }
}

template <unsigned N, class Source>
void AtopRowOf(BlendMode mode, BlendContext const& ctx, Source const& src, size_t count,
               RenderPixel* b) {
    auto row = [&](auto const& blend) {
        if constexpr (std::is_same_v<Source, PixelSource> ||
                      requires { blend.Sample(0.0f, 0.0f); }) {
            AtopRow<N>(blend, src, count, b);
        } else {
            // Rendering's own pixels suit blends of whole pixels better (see BlendsEachSample).
            for (size_t x = 0; x < count; ++x) CompositeAtop(mode, ctx, b[x], src.At(x));
        }
    };
    // The modes that take the source blend as normal does.
    if (!WithBlend<N, true>(mode, ctx, row)) row(KeepBlend<N, false>{});
}

// RGB is three colours; the component modes of any other count are left to the pixels.
template <class Source>
void CompositeAtopRow(BlendMode mode, BlendContext const& ctx, Source const& src, size_t count,
                      RenderPixel* b) {
    unsigned n = Source::kChannels != 0 ? Source::kChannels : ctx.channels;
    if (n == 3 && ctx.channels == 3) return AtopRowOf<3>(mode, ctx, src, count, b);
    if (!ctx.rgb && n == 1 && ctx.channels == 1) return AtopRowOf<1>(mode, ctx, src, count, b);
    if (!ctx.rgb && n == 4 && ctx.channels == 4) return AtopRowOf<4>(mode, ctx, src, count, b);
    for (size_t x = 0; x < count; ++x) CompositeAtop(mode, ctx, b[x], src.At(x));
}

template <class Source>
void CompositeRow(BlendMode mode, BlendContext const& ctx, Source const& src, size_t count,
                  RenderPixel* b) {
    bool done;
    if constexpr (Source::kChannels != 0)
        done = ChannelRow<Source::kChannels>(mode, ctx, src, count, b);
    else
        done = ctx.channels == 3   ? ChannelRow<3>(mode, ctx, src, count, b)
               : ctx.channels == 1 ? ChannelRow<1>(mode, ctx, src, count, b)
               : ctx.channels == 4 ? ChannelRow<4>(mode, ctx, src, count, b)
                                   : false;
    if (done) return;
    for (size_t x = 0; x < count; ++x) CompositePixel(mode, ctx, b[x], src.At(x));
}

template <unsigned N>
void CompositeRowOf(BlendMode mode, BlendContext const& ctx, uint8_t const* q, unsigned bytes,
                    size_t count, float alphaScale, bool atop, RenderPixel* b) {
    auto composite = [&](auto const& src) {
        if (atop)
            CompositeAtopRow(mode, ctx, src, count, b);
        else
            CompositeRow(mode, ctx, src, count, b);
    };
    if (bytes == 2)
        // 16-bit rows are aligned as the bitmaps allocate them.
        composite(SampleSource<uint16_t, N>{reinterpret_cast<uint16_t const*>(q), alphaScale});
    else
        composite(SampleSource<uint8_t, N>{q, alphaScale});
}

}  // namespace

void CompositeRowSamples(BlendMode mode, BlendContext const& ctx, uint8_t const* q, unsigned bytes,
                         size_t count, float alphaScale, RenderPixel* b, bool atop) {
    switch (ctx.channels) {
        case 1:
            return CompositeRowOf<1>(mode, ctx, q, bytes, count, alphaScale, atop, b);
        case 4:
            return CompositeRowOf<4>(mode, ctx, q, bytes, count, alphaScale, atop, b);
        default:
            return CompositeRowOf<3>(mode, ctx, q, bytes, count, alphaScale, atop, b);
    }
}

void CompositeRowPixels(BlendMode mode, BlendContext const& ctx, RenderPixel const* s, size_t count,
                        RenderPixel* b) {
    CompositeRow(mode, ctx, PixelSource{s}, count, b);
}

void CompositeRowPixelsAtop(BlendMode mode, BlendContext const& ctx, RenderPixel const* s,
                            size_t count, RenderPixel* b) {
    CompositeAtopRow(mode, ctx, PixelSource{s}, count, b);
}

bool BlendsEachSample(BlendMode mode) {
    switch (mode) {
#define ZUZODORIV_CASE(m) case BlendMode::m:
        ZUZODORIV_SEPARABLE_MODES(ZUZODORIV_CASE)
#undef ZUZODORIV_CASE
        case BlendMode::Normal:
        case BlendMode::PassThrough:
            return true;
        default:
            return false;
    }
}

bool FadesByFill(BlendMode mode, float& neutral) {
    switch (mode) {
        case BlendMode::ColourBurn:
        case BlendMode::LinearBurn: neutral = 1; return true;
        case BlendMode::ColourDodge:
        case BlendMode::LinearDodge:
        case BlendMode::Difference: neutral = 0; return true;
        case BlendMode::VividLight:
        case BlendMode::LinearLight: neutral = 0.5f; return true;
        default: return false;
    }
}

void CompositeFilled(BlendMode mode, BlendContext const& ctx, RenderPixel& b, RenderPixel const& s,
                     float fill, float neutral, bool atop) {
    if (s.a <= 0) return;
    unsigned n = ctx.channels;
    float faded[4] = {}, blended[4];
    for (unsigned i = 0; i < n; ++i) faded[i] = neutral + (s.c[i] - neutral) * fill;
    BlendColours(mode, ctx, b.c, faded, blended);
    if (atop) {
        if (b.a <= 0) return;
        for (unsigned i = 0; i < n; ++i) b.c[i] += (blended[i] - b.c[i]) * s.a;
        return;
    }
    float shown = s.a * fill, ao = shown + b.a * (1 - shown);
    if (ao <= 0) return;
    for (unsigned i = 0; i < n; ++i)
        b.c[i] = ((1 - b.a) * shown * s.c[i] + b.a * ((1 - s.a) * b.c[i] + s.a * blended[i])) / ao;
    b.a = ao;
}

}  // namespace PSD
