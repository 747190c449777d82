#include "psd/effects/PSDEffectsJson.h"

#include <cmath>
#include <string>

#include "psd/io/PSDBlendMode.h"

namespace PSD {

namespace {

using ojson = nlohmann::ordered_json;

// Six decimals: enough for every stored value, without float noise of the conversions.
double Round6(double v) {
    return std::round(v * 1e6) / 1e6;
}

// Colour channels come through single-precision floats: four decimals hold a 16-bit channel.
double Round4(double v) {
    return std::round(v * 1e4) / 1e4;
}

ojson BlendKey(BlendMode mode) {
    uint32_t key;
    if (!EncodeBlendMode(mode, key)) return nullptr;
    return std::string(KeyToString(key));
}

ojson Point(Kernel::PointT<double> const& p) {
    return ojson::array({Round6(p.x), Round6(p.y)});
}

char const* const kGradientKinds[] = {"linear", "radial", "angle", "reflected", "diamond",
                                      "shape_burst"};

ojson PlacementJson(PSDGradientDesc const& g, ojson& out) {
    if (g.m_hasGradient) out["gradient"] = GradientJson(g.m_gradient);
    out["gradient_type"] = g.m_kind >= 0 && g.m_kind <= 5 ? ojson(kGradientKinds[g.m_kind])
                                                          : ojson(g.m_kind);
    out["scale"] = Round6(g.m_scale * 100.0);
    out["reverse"] = g.m_reverse;
    out["dither"] = g.m_dither;
    out["align_with_layer"] = g.m_alignWithLayer;
    out["offset"] = Point(g.m_offset);
    if (g.m_interpolation.m_code || !g.m_interpolation.m_name.empty())
        out["interpolation"] = std::string(g.m_interpolation.ToString());
    return out;
}

}  // namespace

std::string JsonText(Kernel::String8 const& s) {
    std::string t = Kernel::ConvertEnc(Kernel::ConvertEnc(std::string_view(s)));
    while (!t.empty() && t.back() == '\0') t.pop_back();
    return t;
}

ojson ColourJson(Kernel::Consolidated<Renderer::Colour> const& colour) {
    using Renderer::ColourModel;
    if (!colour) return nullptr;
    if (auto inner = colour->GetWrapped()) {
        ojson j = ColourJson(inner);
        j["book"] = true;
        j["name"] = colour->GetName();
        return j;
    }
    Renderer::Colour const& c = *colour;
    switch (c.GetModel()) {
        case ColourModel::CMYK:
        case ColourModel::CMYKAlt: {
            auto f = c.ToCMYKAF();
            return {{"model", "cmyk"},
                    {"values", {Round4(f.c * 100.0), Round4(f.m * 100.0), Round4(f.y * 100.0),
                                Round4(f.k * 100.0)}}};
        }
        case ColourModel::LAB: {
            auto lab = c.ToLABA16();
            return {{"model", "lab"},
                    {"values", {Round4(lab.l / 65535.0 * 100.0), Round4(lab.a / 256.0 - 128.0),
                                Round4(lab.b / 256.0 - 128.0)}}};
        }
        case ColourModel::Grayscale:
            // As the file gives it: the amount of ink.
            return {{"model", "grayscale"},
                    {"values", {Round4((1.0 - c.ToGray16() / 65535.0) * 100.0)}}};
        case ColourModel::HSL: {
            auto hsl = c.ToHSLAF();
            double l = hsl.l, s = hsl.s;
            double b = l + s * std::min(l, 1.0 - l);
            double sb = b > 0.0 ? 2.0 * (1.0 - l / b) : 0.0;
            return {{"model", "hsb"},
                    {"values", {Round4(hsl.h * 360.0), Round4(sb * 100.0), Round4(b * 100.0)}}};
        }
        default: {
            auto f = c.ToRGBAF();
            return {{"model", "rgb"},
                    {"values", {Round4(f.r * 255.0), Round4(f.g * 255.0), Round4(f.b * 255.0)}}};
        }
    }
}

ojson GradientJson(PSDGradient const& g) {
    ojson stops = ojson::array(), alpha = ojson::array();
    for (auto const& p : g.m_colours)
        stops.push_back({{"location", p.location},
                         {"midpoint", p.midpoint},
                         {"color", ColourJson(p.colour)},
                         {"type", std::string(p.type)}});
    for (auto const& p : g.m_transparency)
        alpha.push_back(
            {{"location", p.location}, {"midpoint", p.midpoint}, {"opacity", p.opacity}});
    ojson j = {{"name", JsonText(g.m_name)}, {"noise", g.IsNoise()}};
    if (!g.IsNoise()) j["smoothness"] = Round6(g.m_smoothness * 100.0);
    j["color_stops"] = stops;
    j["transparency_stops"] = alpha;
    return j;
}

ojson ContourJson(PSDContour const& c) {
    ojson points = ojson::array();
    for (auto const& p : c.m_points) points.push_back({p.horizontal, p.vertical});
    return {{"name", JsonText(c.m_name)}, {"points", points}, {"default", c.IsDefault()}};
}

ojson EffectJson(PSDEffect const& e) {
    ojson j = {{"type", e.GetTypeName()}, {"enabled", e.m_enabled}};
    switch (e.GetType()) {
        case PSDEffect::kShadow: {
            auto const& s = static_cast<PSDEffectShadow const&>(e);
            j["blend_mode"] = BlendKey(s.m_blendMode);
            j["opacity"] = Round6(s.m_opacity * 100.0);
            j["color"] = ColourJson(s.m_colour);
            j["angle"] = s.m_angle;
            j["use_global_light"] = s.m_useGlobalAngle;
            j["distance"] = s.m_distance;
            j["size"] = s.m_blur;
            j[s.m_inner ? "choke" : "spread"] = Round6(s.m_intensity * 100.0);
            j["noise"] = Round6(s.m_noise * 100.0);
            j["anti_alias"] = s.m_antiAlias;
            if (!s.m_inner) j["layer_conceals"] = s.m_layerConceals;
            j["contour"] = ContourJson(s.m_contour);
            break;
        }
        case PSDEffect::kGlow: {
            auto const& g = static_cast<PSDEffectGlow const&>(e);
            j["blend_mode"] = BlendKey(g.m_blendMode);
            j["opacity"] = Round6(g.m_opacity * 100.0);
            j["color"] = ColourJson(g.m_colour);
            j["size"] = g.m_blur;
            j[g.m_inner ? "choke" : "spread"] = Round6(g.m_intensity * 100.0);
            j["noise"] = Round6(g.m_noise * 100.0);
            j["jitter"] = Round6(g.m_jitter * 100.0);
            j["range"] = Round6(g.m_range * 100.0);
            j["technique"] = g.m_technique == PSDEffectGlow::kPrecise ? "precise" : "softer";
            if (g.m_inner) j["source"] = g.m_source == PSDEffectGlow::kCentre ? "center" : "edge";
            j["anti_alias"] = g.m_antiAlias;
            j["contour"] = ContourJson(g.m_contour);
            if (g.m_hasGradient) j["gradient"] = GradientJson(g.m_gradient);
            break;
        }
        case PSDEffect::kBevel: {
            static char const* const kStyles[] = {"outer_bevel", "inner_bevel", "emboss",
                                                  "pillow_emboss", "stroke_emboss"};
            static char const* const kTechniques[] = {"smooth", "chisel_hard", "chisel_soft"};
            auto const& b = static_cast<PSDEffectBevel const&>(e);
            j["angle"] = b.m_angle;
            j["use_global_light"] = b.m_useGlobalAngle;
            j["altitude"] = Round6(b.m_altitude);
            j["size"] = b.m_blur;
            j["depth"] = b.m_strength;
            j["soften"] = Round6(b.m_soften);
            j["style"] = b.m_style >= 1 && b.m_style <= 5 ? ojson(kStyles[b.m_style - 1])
                                                          : ojson(b.m_style);
            j["technique"] = b.m_technique >= 0 && b.m_technique <= 2
                                 ? ojson(kTechniques[b.m_technique])
                                 : ojson(b.m_technique);
            j["direction"] = b.m_down ? "down" : "up";
            j["highlight_blend_mode"] = BlendKey(b.m_highlightBlendMode);
            j["highlight_opacity"] = Round6(b.m_highlightOpacity * 100.0);
            j["highlight_color"] = ColourJson(b.m_highlightColour);
            j["shadow_blend_mode"] = BlendKey(b.m_shadowBlendMode);
            j["shadow_opacity"] = Round6(b.m_shadowOpacity * 100.0);
            j["shadow_color"] = ColourJson(b.m_shadowColour);
            j["anti_alias"] = b.m_antiAlias;
            j["range"] = Round6(b.m_range * 100.0);
            j["contour"] = ContourJson(b.m_contour);
            j["gloss_contour"] = ContourJson(b.m_glossContour);
            j["use_texture"] = b.m_useTexture;
            break;
        }
        case PSDEffect::kSolidFill: {
            auto const& s = static_cast<PSDEffectSolidFill const&>(e);
            j["blend_mode"] = BlendKey(s.m_blendMode);
            j["opacity"] = Round6(s.m_opacity / 2.55);
            j["color"] = ColourJson(s.m_colour);
            break;
        }
        case PSDEffect::kGradientFill: {
            auto const& g = static_cast<PSDEffectGradientFill const&>(e);
            j["blend_mode"] = BlendKey(g.m_blendMode);
            j["opacity"] = Round6(g.m_opacity / 2.55);
            j["angle"] = Round6(g.m_gradient.m_angle);
            PlacementJson(g.m_gradient, j);
            break;
        }
        case PSDEffect::kStroke: {
            static char const* const kPositions[] = {"outside", "inside", "center"};
            static char const* const kFills[] = {"color", "gradient", "pattern"};
            auto const& s = static_cast<PSDEffectStroke const&>(e);
            j["blend_mode"] = BlendKey(s.m_blendMode);
            j["opacity"] = Round6(s.m_opacity / 2.55);
            j["size"] = Round6(s.m_size);
            j["position"] = s.m_style >= 0 && s.m_style <= 2 ? ojson(kPositions[s.m_style])
                                                             : ojson(s.m_style);
            j["fill_type"] = s.m_fillType >= 0 && s.m_fillType <= 2 ? ojson(kFills[s.m_fillType])
                                                                    : ojson(s.m_fillType);
            j["color"] = ColourJson(s.m_colour);
            if (s.m_gradient.m_placementRead || s.m_fillType == PSDEffectStroke::kGradient) {
                j["angle"] = Round6(s.m_gradient.m_angle);
                if (s.m_fillType == PSDEffectStroke::kGradient) PlacementJson(s.m_gradient, j);
            }
            j["overprint"] = s.m_overprint;
            break;
        }
        case PSDEffect::kSatin: {
            auto const& s = static_cast<PSDEffectSatin const&>(e);
            j["blend_mode"] = BlendKey(s.m_blendMode);
            j["opacity"] = Round6(s.m_opacity / 2.55);
            j["color"] = ColourJson(s.m_colour);
            j["angle"] = Round6(s.m_angle);
            j["distance"] = Round6(s.m_distance);
            j["size"] = Round6(s.m_blur);
            j["invert"] = s.m_invert;
            j["anti_alias"] = s.m_antiAlias;
            j["contour"] = ContourJson(s.m_contour);
            break;
        }
        case PSDEffect::kPatternOverlay: {
            auto const& p = static_cast<PSDEffectPatternOverlay const&>(e);
            j["blend_mode"] = BlendKey(p.m_blendMode);
            j["opacity"] = Round6(p.m_opacity / 2.55);
            if (p.m_hasAngle) j["angle"] = Round6(p.m_angle);
            j["pattern"] = {{"name", JsonText(p.m_patternName)}, {"id", JsonText(p.m_patternId)}};
            j["scale"] = Round6(p.m_scale * 100.0);
            j["linked"] = p.m_linked;
            if (p.m_phase.m_present) j["phase"] = Point(p.m_phase.m_point);
            break;
        }
        default:
            break;
    }
    return j;
}

ojson EffectsJson(PSDLayerEffects const& effects) {
    ojson list = ojson::array();
    for (auto const& e : effects.m_effects)
        if (e) list.push_back(EffectJson(*e));
    return list;
}

}  // namespace PSD
