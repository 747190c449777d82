#include "host/renderer/Colour.h"

#include <algorithm>
#include <cmath>

#include "host/raster/ICC.h"

namespace Renderer {

namespace {

float Clamp01(float v) {
    if (!(v > 0.0f)) return 0.0f;  // NaN included
    return v < 1.0f ? v : 1.0f;
}

uint8_t Round8(float v) {
    return static_cast<uint8_t>(std::lround(Clamp01(v) * 255.0f));
}
uint16_t Round16(float v) {
    return static_cast<uint16_t>(std::lround(Clamp01(v) * 65535.0f));
}
// The nearest float at or above v / range: a writer that scales back by the range and truncates
// then gets v again instead of v - 1.
float FromInt(unsigned v, double range) {
    double const d = v / range;
    float f = static_cast<float>(d);
    if (static_cast<double>(f) < d) f = std::nextafter(f, 2.0f);
    return f;
}
float From8(uint8_t v) {
    return FromInt(v, 255.0);
}
float From16(uint16_t v) {
    return FromInt(v, 65535.0);
}

float HueToChannel(float p, float q, float t) {
    if (t < 0.0f) t += 1.0f;
    if (t > 1.0f) t -= 1.0f;
    if (t < 1.0f / 6.0f) return p + (q - p) * 6.0f * t;
    if (t < 0.5f) return q;
    if (t < 2.0f / 3.0f) return p + (q - p) * (2.0f / 3.0f - t) * 6.0f;
    return p;
}

}  // namespace

HSLAF RGBToHSL(RGBAF const& c) {
    float r = Clamp01(c.r), g = Clamp01(c.g), b = Clamp01(c.b);
    float mx = std::max({r, g, b}), mn = std::min({r, g, b});
    float l = (mx + mn) / 2.0f;
    float d = mx - mn;
    if (d <= 0.0f) return {0.0f, 0.0f, l, c.a};
    float s = l > 0.5f ? d / (2.0f - mx - mn) : d / (mx + mn);
    float h;
    if (mx == r)
        h = (g - b) / d + (g < b ? 6.0f : 0.0f);
    else if (mx == g)
        h = (b - r) / d + 2.0f;
    else
        h = (r - g) / d + 4.0f;
    h /= 6.0f;
    if (h >= 1.0f) h -= 1.0f;
    return {h, s, l, c.a};
}

RGBAF HSLToRGB(HSLAF const& c) {
    float h = c.h - std::floor(c.h);  // hue wraps around the circle
    if (!std::isfinite(h)) h = 0.0f;
    float s = Clamp01(c.s), l = Clamp01(c.l);
    if (s <= 0.0f) return {l, l, l, c.a};
    float q = l < 0.5f ? l * (1.0f + s) : l + s - l * s;
    float p = 2.0f * l - q;
    return {Clamp01(HueToChannel(p, q, h + 1.0f / 3.0f)), Clamp01(HueToChannel(p, q, h)),
            Clamp01(HueToChannel(p, q, h - 1.0f / 3.0f)), c.a};
}

// Base conversions, all through RGB.

CMYKAF Colour::ToCMYKAF() const {
    RGBAF c = ToRGBAF();
    CMYKAF out{};
    Raster::RGBToCMYKDevice(c.r, c.g, c.b, out.c, out.m, out.y, out.k);
    out.a = c.a;
    return out;
}

HSLAF Colour::ToHSLAF() const {
    return RGBToHSL(ToRGBAF());
}

LABA16 Colour::ToLABA16() const {
    RGBAF c = ToRGBAF();
    float in[4] = {c.r, c.g, c.b, c.a};
    uint16_t out[4];
    Raster::ICCManager::GetInstance().DoRGBAFToLABA16Transform(in, out, 1);
    return {out[0], out[1], out[2], out[3]};
}

uint16_t Colour::ToGray16() const {
    RGBAF c = ToRGBAF();
    float in[4] = {c.r, c.g, c.b, c.a};
    float g;
    Raster::ICCManager::GetInstance().DoRGBAFToGrayFTransform(in, &g, 1);
    return Round16(g);
}

// RGB

Kernel::Consolidated<Colour> ColourRGB::Create(RGBA8 const& px, float opacity, float tint,
                                               std::string name) {
    Kernel::Counted<ColourRGB> c(new ColourRGB(opacity, tint, std::move(name)));
    c->m_depth = ColourDepth::Bits8;
    c->m_16 = {uint16_t(px.r * 257u), uint16_t(px.g * 257u), uint16_t(px.b * 257u),
               uint16_t(px.a * 257u)};
    c->m_f = {From8(px.r), From8(px.g), From8(px.b), From8(px.a)};
    return c;
}

Kernel::Consolidated<Colour> ColourRGB::Create(RGBA16 const& px, float opacity, float tint,
                                               std::string name) {
    Kernel::Counted<ColourRGB> c(new ColourRGB(opacity, tint, std::move(name)));
    c->m_depth = ColourDepth::Bits16;
    c->m_16 = px;
    c->m_f = {From16(px.r), From16(px.g), From16(px.b), From16(px.a)};
    return c;
}

Kernel::Consolidated<Colour> ColourRGB::Create(RGBAF const& px, float opacity, float tint,
                                               std::string name) {
    Kernel::Counted<ColourRGB> c(new ColourRGB(opacity, tint, std::move(name)));
    c->m_depth = ColourDepth::Float;
    c->m_f = px;
    c->m_16 = {Round16(px.r), Round16(px.g), Round16(px.b), Round16(px.a)};
    return c;
}

RGBA8 ColourRGB::GetRGBA8() const {
    if (m_depth == ColourDepth::Float)
        return {Round8(m_f.r), Round8(m_f.g), Round8(m_f.b), Round8(m_f.a)};
    auto down = [](uint16_t v) {
        return static_cast<uint8_t>((uint32_t(v) * 255u + 32767u) / 65535u);
    };
    return {down(m_16.r), down(m_16.g), down(m_16.b), down(m_16.a)};
}

RGBA16 ColourRGB::GetRGBA16() const {
    return m_16;
}

// CMYK

Kernel::Consolidated<Colour> ColourCMYK::Create(CMYKA8 const& px, float opacity, float tint,
                                                std::string name) {
    Kernel::Counted<ColourCMYK> c(new ColourCMYK(opacity, tint, std::move(name)));
    c->m_depth = ColourDepth::Bits8;
    c->m_8 = px;
    c->m_f = {From8(px.c), From8(px.m), From8(px.y), From8(px.k), From8(px.a)};
    return c;
}

Kernel::Consolidated<Colour> ColourCMYK::Create(CMYKAF const& px, float opacity, float tint,
                                                std::string name) {
    Kernel::Counted<ColourCMYK> c(new ColourCMYK(opacity, tint, std::move(name)));
    c->m_depth = ColourDepth::Float;
    c->m_f = px;
    c->m_8 = {Round8(px.c), Round8(px.m), Round8(px.y), Round8(px.k), Round8(px.a)};
    return c;
}

CMYKA8 ColourCMYK::GetCMYKA8() const {
    return m_8;
}

RGBAF ColourCMYK::ToRGBAF() const {
    RGBAF out{};
    Raster::CMYKToRGBDevice(m_f.c, m_f.m, m_f.y, m_f.k, out.r, out.g, out.b);
    out.a = m_f.a;
    return out;
}

// Lab

Kernel::Consolidated<Colour> ColourLAB::Create(LABA16 const& px, float opacity, float tint,
                                               std::string name) {
    Kernel::Counted<ColourLAB> c(new ColourLAB(opacity, tint, std::move(name)));
    c->m_px = px;
    return c;
}

RGBAF ColourLAB::ToRGBAF() const {
    uint16_t in[4] = {m_px.l, m_px.a, m_px.b, m_px.alpha};
    float out[4];
    Raster::ICCManager::GetInstance().DoLABA16ToRGBAFTransform(in, out, 1);
    return {out[0], out[1], out[2], out[3]};
}

uint16_t ColourLAB::ToGray16() const {
    uint16_t in[4] = {m_px.l, m_px.a, m_px.b, m_px.alpha};
    float g;
    Raster::ICCManager::GetInstance().DoLABA16ToGrayFTransform(in, &g, 1);
    return Round16(g);
}

// Grey

Kernel::Consolidated<Colour> ColourGrayscale::Create(float gray, float opacity, float tint,
                                                     std::string name) {
    Kernel::Counted<ColourGrayscale> c(new ColourGrayscale(opacity, tint, std::move(name)));
    c->m_gray = gray;
    return c;
}

// The default grey space shares sRGB's tone curve and white, so a grey is the neutral of its value.
RGBAF ColourGrayscale::ToRGBAF() const {
    float g = Clamp01(m_gray);
    return {g, g, g, 1.0f};
}

LABA16 ColourGrayscale::ToLABA16() const {
    uint16_t out[4];
    Raster::ICCManager::GetInstance().DoGrayFToLABA16Transform(&m_gray, out, 1);
    return {out[0], out[1], out[2], out[3]};
}

uint16_t ColourGrayscale::ToGray16() const {
    return Round16(m_gray);
}

// HSL

Kernel::Consolidated<Colour> ColourHSL::Create(float h, float s, float l, float opacity, float tint,
                                               std::string name) {
    Kernel::Counted<ColourHSL> c(new ColourHSL(opacity, tint, std::move(name)));
    c->m_hsl = {h, s, l, 1.0f};
    return c;
}

RGBAF ColourHSL::ToRGBAF() const {
    return HSLToRGB(m_hsl);
}

// Wrapped

Kernel::Consolidated<Colour> ColourWrapped::Create(Kernel::Consolidated<Colour> inner,
                                                   float opacity, float tint, std::string name) {
    if (!inner) return nullptr;
    Kernel::Counted<ColourWrapped> c(new ColourWrapped(opacity, tint, std::move(name)));
    c->m_inner = std::move(inner);
    return c;
}

}  // namespace Renderer
