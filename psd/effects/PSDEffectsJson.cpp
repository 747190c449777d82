#include "psd/effects/PSDEffectsJson.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

#include "psd/effects/PSDJsonChangesSupport.h"
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
    return JsonText(KeyToString(key));
}

ojson Point(Kernel::PointT<double> const& p) {
    return ojson::array({Round6(p.x), Round6(p.y)});
}

char const* const kBevelStyles[] = {"outer_bevel", "inner_bevel", "emboss", "pillow_emboss",
                                    "stroke_emboss"};
char const* const kBevelTechniques[] = {"smooth", "chisel_hard", "chisel_soft"};
char const* const kStrokePositions[] = {"outside", "inside", "center"};
char const* const kStrokeFills[] = {"color", "gradient", "pattern"};
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
        out["interpolation"] = JsonText(g.m_interpolation.ToString());
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
                         {"type", JsonText(p.type)}});
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
            auto const& b = static_cast<PSDEffectBevel const&>(e);
            j["angle"] = b.m_angle;
            j["use_global_light"] = b.m_useGlobalAngle;
            j["altitude"] = Round6(b.m_altitude);
            j["size"] = b.m_blur;
            j["depth"] = b.m_strength;
            j["soften"] = Round6(b.m_soften);
            j["style"] = b.m_style >= 1 && b.m_style <= 5 ? ojson(kBevelStyles[b.m_style - 1])
                                                          : ojson(b.m_style);
            j["technique"] = b.m_technique >= 0 && b.m_technique <= 2
                                 ? ojson(kBevelTechniques[b.m_technique])
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
            auto const& s = static_cast<PSDEffectStroke const&>(e);
            j["blend_mode"] = BlendKey(s.m_blendMode);
            j["opacity"] = Round6(s.m_opacity / 2.55);
            j["size"] = Round6(s.m_size);
            j["position"] = s.m_style >= 0 && s.m_style <= 2 ? ojson(kStrokePositions[s.m_style])
                                                             : ojson(s.m_style);
            j["fill_type"] = s.m_fillType >= 0 && s.m_fillType <= 2
                                 ? ojson(kStrokeFills[s.m_fillType])
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

namespace {

using json = nlohmann::json;

template <class T>
Kernel::Counted<PSDEffect> Copy(PSDEffect const& e) {
    return Kernel::MakeCounted<T>(static_cast<T const&>(e));
}

}  // namespace

Kernel::Consolidated<Renderer::Colour> ColourFromJson(json const& j, std::string& why) {
    std::string model = j.is_object() && j.contains("model") && j["model"].is_string()
                            ? j["model"].get<std::string>()
                            : std::string();
    static std::pair<char const*, size_t> const kModels[] = {
        {"rgb", 3}, {"cmyk", 4}, {"lab", 3}, {"grayscale", 1}, {"hsb", 3}};
    auto known = std::find_if(std::begin(kModels), std::end(kModels),
                              [&](auto const& m) { return model == m.first; });
    std::vector<double> v;
    if (known != std::end(kModels) && j.contains("values") && j["values"].is_array())
        for (auto const& x : j["values"]) v.push_back(x.is_number() ? x.get<double>() : NAN);
    if (known == std::end(kModels) || v.size() != known->second ||
        !std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); })) {
        why =
            "must be a colour: {\"model\": \"rgb\", \"values\": [r, g, b]} (or \"cmyk\", "
            "\"lab\", \"grayscale\", \"hsb\")";
        return nullptr;
    }
    auto within = [&](size_t i, double low, double high) { return v[i] >= low && v[i] <= high; };
    if (model == "rgb") {
        // In 8-bit steps, as a descriptor's colour reads: what is set is what a save reads back.
        if (within(0, 0, 255) && within(1, 0, 255) && within(2, 0, 255))
            return Renderer::ColourRGB::Create(
                Renderer::RGBA8{uint8_t(std::lround(v[0])), uint8_t(std::lround(v[1])),
                                uint8_t(std::lround(v[2])), 255},
                1, 1, std::string());
        why = "must have red, green and blue from 0 to 255";
    } else if (model == "cmyk") {
        if (within(0, 0, 100) && within(1, 0, 100) && within(2, 0, 100) && within(3, 0, 100))
            return Renderer::ColourCMYK::Create(
                Renderer::CMYKA8{uint8_t(v[0] * 255 / 100), uint8_t(v[1] * 255 / 100),
                                 uint8_t(v[2] * 255 / 100), uint8_t(v[3] * 255 / 100), 255},
                1, 1, std::string());
        why = "must have cyan, magenta, yellow and black from 0 to 100";
    } else if (model == "lab") {
        if (within(0, 0, 100) && within(1, -128, 127) && within(2, -128, 127))
            return Renderer::ColourLAB::Create(
                Renderer::LABA16{uint16_t(std::lround(v[0] / 100 * 65535)),
                                 uint16_t(std::lround((v[1] + 128) * 256)),
                                 uint16_t(std::lround((v[2] + 128) * 256)), 65535},
                1, 1, std::string());
        why = "must have L from 0 to 100, a and b from -128 to 127";
    } else if (model == "grayscale") {
        if (within(0, 0, 100))  // the amount of ink, as the file gives it
            return Renderer::ColourGrayscale::Create(float(1 - v[0] / 100), 1, 1, std::string());
        why = "must have its ink from 0 to 100";
    } else {
        if (within(0, 0, 360) && within(1, 0, 100) && within(2, 0, 100)) {
            double s = v[1] / 100, b = v[2] / 100, l = b * (1 - s / 2);
            double sl = l > 0 && l < 1 ? (b - l) / std::min(l, 1 - l) : 0;
            return Renderer::ColourHSL::Create(float(v[0] / 360), float(sl), float(l), 1, 1,
                                               std::string());
        }
        why = "must have hue from 0 to 360, saturation and brightness from 0 to 100";
    }
    return nullptr;
}

namespace {

// The stops of one list, each read from defaults: what a stop leaves out is the editor's default.
template <class Stop, class Read>
bool ReadStops(json const& list, char const* what, std::vector<Stop>& out, std::string& why,
               Read read) {
    if (!list.is_array() || list.size() < 2) {
        why = std::string("must be a list of at least two ") + what + " stops";
        return false;
    }
    out.clear();
    for (size_t i = 0; i < list.size(); ++i) {
        if (!list[i].is_object()) {
            why = std::string("must be a list of ") + what + " stop objects";
            return false;
        }
        Stop stop;
        std::string stopWhy;
        JsonChanges c(list[i], std::string(what) + " stop " + std::to_string(i + 1), stopWhy);
        if (!list[i].contains("location")) c.Fail("location", "must be given");
        c.Number("location", 0, 4096, 1, stop.location);
        c.Number("midpoint", 0, 100, 1, stop.midpoint);
        read(c, stop);
        c.Finish();
        if (!c.Ok()) {
            why = "has a fault: " + stopWhy;
            return false;
        }
        out.push_back(std::move(stop));
    }
    // The editor keeps stops in order along the ramp; equal locations keep the order given.
    std::stable_sort(out.begin(), out.end(),
                     [](Stop const& a, Stop const& b) { return a.location < b.location; });
    return true;
}

// Whether a field given equals what the gradient's JSON holds now: a noise gradient's stops can
// only be given back unchanged.
bool Unchanged(PSDGradient const& g, char const* key, json const& v) {
    ojson now = GradientJson(g);
    return now.contains(key) && json::parse(now[key].dump()) == v;
}

}  // namespace

bool ContourWithChanges(PSDContour& contour, json const& changes, std::string& why) {
    if (!changes.is_object()) {
        why = "must be an object: {\"name\", \"points\": [[input, output], ...]}";
        return false;
    }
    PSDContour read = contour;
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        json const& v = it.value();
        if (it.key() == "name" && v.is_string()) {
            read.m_name = String(v.get<std::string>());
        } else if (it.key() == "points") {
            std::vector<PSDContour::Pt> points;
            bool ok = v.is_array() && v.size() >= 2 && v.size() <= 64;
            for (size_t i = 0; ok && i < v.size(); ++i) {
                auto const& p = v[i];
                auto byte = [](json const& n) {
                    return n.is_number_integer() && n.get<int64_t>() >= 0 &&
                           n.get<int64_t>() <= 255;
                };
                ok = p.is_array() && p.size() == 2 && byte(p[0]) && byte(p[1]);
                if (ok) points.push_back({p[0].get<uint16_t>(), p[1].get<uint16_t>()});
            }
            std::sort(points.begin(), points.end(),
                      [](auto const& a, auto const& b) { return a.horizontal < b.horizontal; });
            for (size_t i = 1; ok && i < points.size(); ++i)
                ok = points[i].horizontal != points[i - 1].horizontal;
            if (!ok) {
                why =
                    "\"points\" must be 2 to 64 [input, output] pairs of whole numbers from 0 "
                    "to 255, inputs all different";
                return false;
            }
            read.m_points = std::move(points);
        } else if (it.key() != "default") {
            why = "\"" + it.key() + "\" is not a field of a contour that can be set";
            return false;
        }
    }
    if (changes.contains("default") && changes["default"] != read.IsDefault()) {
        why = "\"default\" follows from the points";
        return false;
    }
    contour = std::move(read);
    return true;
}

bool GradientWithChanges(PSDGradient& gradient, json const& changes, std::string& why) {
    if (!changes.is_object()) {
        why = "must be an object of gradient fields";
        return false;
    }
    PSDGradient g = gradient;
    std::string inner;
    JsonChanges c(changes, "the gradient", inner);
    if (json const* name = c.Get("name")) {
        if (name->is_string())
            g.m_name = String(name->get<std::string>());
        else
            c.Fail("name", "must be a string");
    }
    bool noise = g.IsNoise();
    c.Bool("noise", noise);
    if (noise && !g.IsNoise()) c.Fail("noise", "can only become false: noise is not modelled");
    if (!noise && g.IsNoise()) {
        g.m_form = "CstS";
        g.m_noise.clear();
        g.m_smoothness = 1.0;
        if (!changes.contains("color_stops") || !changes.contains("transparency_stops"))
            c.Fail("noise", "can only become false with color_stops and transparency_stops");
    }
    if (g.IsNoise())
        for (char const* key : {"smoothness", "color_stops", "transparency_stops"})
            if (json const* v = c.Get(key); v && !Unchanged(gradient, key, *v))
                c.Fail(key, "cannot be set on a noise gradient");
    if (!g.IsNoise()) {
        c.Number("smoothness", 0, 100, 0.01, g.m_smoothness);
        std::string stopWhy;
        if (json const* v = c.Get("color_stops")) {
            static char const* const kTypes[] = {"UsrS", "FrgC", "BckC"};
            bool ok = ReadStops(*v, "color", g.m_colours, stopWhy,
                                [](JsonChanges& s, PSDGradient::GradPoint& stop) {
                                    int type = 0;
                                    s.Choice("type", kTypes, 0, type);
                                    stop.type = kTypes[type];
                                    // Foreground and background stops may go without a colour.
                                    json const* colour = s.Get("color");
                                    if (colour && colour->is_null() && type != 0) return;
                                    if (!colour) s.Fail("color", "must be given");
                                    s.Colour("color", stop.colour);
                                });
            if (!ok) c.Fail("color_stops", stopWhy);
        }
        if (json const* v = c.Get("transparency_stops")) {
            bool ok = ReadStops(*v, "transparency", g.m_transparency, stopWhy,
                                [](JsonChanges& s, PSDGradient::TransparencyPoint& stop) {
                                    s.Number("opacity", 0, 100, 1, stop.opacity);
                                });
            if (!ok) c.Fail("transparency_stops", stopWhy);
        }
    }
    c.Finish();
    if (!c.Ok()) {
        why = inner;
        return false;
    }
    gradient = std::move(g);
    return true;
}

void DefaultGradient(PSDGradientDesc& g) {
    g.m_gradient.m_name = String("Black, White");
    g.m_gradient.m_descriptorName = String("Gradient");
    g.m_gradient.m_colours = {
        {0, 50, Renderer::ColourRGB::Create(Renderer::RGBA8{0, 0, 0, 255}, 1, 1, std::string()),
         "UsrS"},
        {4096, 50,
         Renderer::ColourRGB::Create(Renderer::RGBA8{255, 255, 255, 255}, 1, 1, std::string()),
         "UsrS"}};
    g.m_gradient.m_transparency = {{100, 0, 50}, {100, 4096, 50}};
    g.m_hasGradient = true;
}

Kernel::Counted<PSDEffect> NewEffect(std::string const& typeName) {
    // Contours as a save writes the default: the straight line through both corners.
    auto linear = [](PSDContour& c) { c.m_points = {{0, 0}, {255, 255}}; };
    if (typeName == "DropShadow" || typeName == "InnerShadow") {
        auto e = Kernel::MakeCounted<PSDEffectShadow>(typeName == "InnerShadow");
        linear(e->m_contour);
        return e;
    }
    if (typeName == "OuterGlow" || typeName == "InnerGlow") {
        auto e = Kernel::MakeCounted<PSDEffectGlow>(typeName == "InnerGlow");
        linear(e->m_contour);
        return e;
    }
    if (typeName == "BevelEmboss") {
        auto e = Kernel::MakeCounted<PSDEffectBevel>();
        linear(e->m_contour), linear(e->m_glossContour);
        return e;
    }
    if (typeName == "Satin") {
        auto e = Kernel::MakeCounted<PSDEffectSatin>();
        linear(e->m_contour);
        return e;
    }
    if (typeName == "ColorOverlay") return Kernel::MakeCounted<PSDEffectSolidFill>();
    if (typeName == "GradientOverlay") {
        auto e = Kernel::MakeCounted<PSDEffectGradientFill>();
        DefaultGradient(e->m_gradient);
        e->m_gradient.m_alignWithLayer = true;
        return e;
    }
    if (typeName == "Stroke") return Kernel::MakeCounted<PSDEffectStroke>();
    if (typeName == "PatternOverlay") return Kernel::MakeCounted<PSDEffectPatternOverlay>();
    return nullptr;
}

Kernel::Counted<PSDEffect> EffectWithChanges(PSDEffect const& e, json const& changes,
                                             std::string& why) {
    if (!changes.is_object()) {
        why = "the changes must be an object of fields";
        return nullptr;
    }
    JsonChanges c(changes, e.GetTypeName(), why);
    Kernel::Counted<PSDEffect> out;
    switch (e.GetType()) {
        case PSDEffect::kShadow: {
            out = Copy<PSDEffectShadow>(e);
            auto& s = static_cast<PSDEffectShadow&>(*out);
            c.Blend("blend_mode", s.m_blendMode);
            c.Number("opacity", 0, 100, 0.01, s.m_opacity);
            c.Colour("color", s.m_colour, &s.m_nativeColour);
            c.Number("angle", -360, 360, 1, s.m_angle);
            c.Bool("use_global_light", s.m_useGlobalAngle);
            c.Number("distance", 0, 30000, 1, s.m_distance);
            c.Number("size", 0, 250, 1, s.m_blur);
            c.Number(s.m_inner ? "choke" : "spread", 0, 100, 0.01, s.m_intensity);
            c.Number("noise", 0, 100, 0.01, s.m_noise);
            c.Bool("anti_alias", s.m_antiAlias);
            c.Contour("contour", s.m_contour);
            if (!s.m_inner) c.Bool("layer_conceals", s.m_layerConceals);
            break;
        }
        case PSDEffect::kGlow: {
            static char const* const kTechniques[] = {"softer", "precise"};
            static char const* const kSources[] = {"center", "edge"};
            out = Copy<PSDEffectGlow>(e);
            auto& g = static_cast<PSDEffectGlow&>(*out);
            c.Blend("blend_mode", g.m_blendMode);
            c.Number("opacity", 0, 100, 0.01, g.m_opacity);
            c.Colour("color", g.m_colour, &g.m_nativeColour);
            c.Number("size", 0, 250, 1, g.m_blur);
            c.Number(g.m_inner ? "choke" : "spread", 0, 100, 0.01, g.m_intensity);
            c.Number("noise", 0, 100, 0.01, g.m_noise);
            c.Number("jitter", 0, 100, 0.01, g.m_jitter);
            c.Number("range", 1, 100, 0.01, g.m_range);
            c.Choice("technique", kTechniques, 0, g.m_technique);
            if (g.m_inner) c.Choice("source", kSources, 0, g.m_source);
            c.Bool("anti_alias", g.m_antiAlias);
            c.Contour("contour", g.m_contour);
            if (c.Gradient("gradient", g.m_gradient)) g.m_hasGradient = true;
            break;
        }
        case PSDEffect::kBevel: {
            static char const* const kDirections[] = {"up", "down"};
            out = Copy<PSDEffectBevel>(e);
            auto& b = static_cast<PSDEffectBevel&>(*out);
            c.Number("angle", -360, 360, 1, b.m_angle);
            c.Bool("use_global_light", b.m_useGlobalAngle);
            c.Number("altitude", 0, 90, 1, b.m_altitude);
            c.Number("size", 0, 250, 1, b.m_blur);
            c.Number("depth", 1, 1000, 1, b.m_strength);
            c.Number("soften", 0, 16, 1, b.m_soften);
            c.Choice("style", kBevelStyles, 1, b.m_style);
            c.Choice("technique", kBevelTechniques, 0, b.m_technique);
            int down = b.m_down ? 1 : 0;
            c.Choice("direction", kDirections, 0, down);
            b.m_down = down == 1;
            c.Blend("highlight_blend_mode", b.m_highlightBlendMode);
            c.Number("highlight_opacity", 0, 100, 0.01, b.m_highlightOpacity);
            c.Colour("highlight_color", b.m_highlightColour, &b.m_realHighlightColour);
            c.Blend("shadow_blend_mode", b.m_shadowBlendMode);
            c.Number("shadow_opacity", 0, 100, 0.01, b.m_shadowOpacity);
            c.Colour("shadow_color", b.m_shadowColour, &b.m_realShadowColour);
            c.Bool("anti_alias", b.m_antiAlias);
            c.Contour("contour", b.m_contour);
            c.Contour("gloss_contour", b.m_glossContour);
            c.Number("range", 1, 100, 0.01, b.m_range);
            break;
        }
        case PSDEffect::kSolidFill: {
            out = Copy<PSDEffectSolidFill>(e);
            auto& s = static_cast<PSDEffectSolidFill&>(*out);
            c.Blend("blend_mode", s.m_blendMode);
            c.Number("opacity", 0, 100, 2.55, s.m_opacity);
            c.Colour("color", s.m_colour, &s.m_nativeColour);
            break;
        }
        case PSDEffect::kGradientFill: {
            out = Copy<PSDEffectGradientFill>(e);
            auto& g = static_cast<PSDEffectGradientFill&>(*out);
            c.Blend("blend_mode", g.m_blendMode);
            c.Number("opacity", 0, 100, 2.55, g.m_opacity);
            c.Placement(g.m_gradient, "gradient_type", kGradientKinds);
            if (c.Gradient("gradient", g.m_gradient.m_gradient)) g.m_gradient.m_hasGradient = true;
            break;
        }
        case PSDEffect::kStroke: {
            out = Copy<PSDEffectStroke>(e);
            auto& s = static_cast<PSDEffectStroke&>(*out);
            c.Blend("blend_mode", s.m_blendMode);
            c.Number("opacity", 0, 100, 2.55, s.m_opacity);
            c.Number("size", 1, 250, 1, s.m_size);
            c.Choice("position", kStrokePositions, 0, s.m_style);
            int fill = s.m_fillType;
            c.Choice("fill_type", kStrokeFills, 0, fill);
            if (c.Gradient("gradient", s.m_gradient.m_gradient)) s.m_gradient.m_hasGradient = true;
            // A fill needs what it draws with: a colour always has one, a new gradient fill
            // starts from the editor's first gradient, and a pattern must come from the file.
            if (fill != s.m_fillType && fill == PSDEffectStroke::kPattern)
                c.Fail("fill_type", "can only become \"color\" or \"gradient\"");
            if (fill == PSDEffectStroke::kGradient && !s.m_gradient.m_hasGradient)
                DefaultGradient(s.m_gradient);
            s.m_fillType = fill;
            c.Colour("color", s.m_colour);
            if (s.m_fillType == PSDEffectStroke::kGradient)
                c.Placement(s.m_gradient, "gradient_type", kGradientKinds);
            c.Bool("overprint", s.m_overprint);
            break;
        }
        case PSDEffect::kSatin: {
            out = Copy<PSDEffectSatin>(e);
            auto& s = static_cast<PSDEffectSatin&>(*out);
            c.Blend("blend_mode", s.m_blendMode);
            c.Number("opacity", 0, 100, 2.55, s.m_opacity);
            c.Colour("color", s.m_colour);
            c.Number("angle", -360, 360, 1, s.m_angle);
            c.Number("distance", 1, 250, 1, s.m_distance);
            c.Number("size", 0, 250, 1, s.m_blur);
            c.Bool("invert", s.m_invert);
            c.Bool("anti_alias", s.m_antiAlias);
            c.Contour("contour", s.m_contour);
            break;
        }
        case PSDEffect::kPatternOverlay: {
            out = Copy<PSDEffectPatternOverlay>(e);
            auto& p = static_cast<PSDEffectPatternOverlay&>(*out);
            c.Blend("blend_mode", p.m_blendMode);
            c.Number("opacity", 0, 100, 2.55, p.m_opacity);
            if (c.Get("angle")) p.m_hasAngle = true;
            c.Number("angle", -360, 360, 1, p.m_angle);
            c.Number("scale", 1, 1000, 0.01, p.m_scale);
            c.Bool("linked", p.m_linked);
            c.Pattern("pattern", p.m_patternName, p.m_patternId);
            break;
        }
        default:
            why = std::string(e.GetTypeName()) + " cannot be changed";
            return nullptr;
    }
    c.Bool("enabled", out->m_enabled);
    c.Finish();
    return c.Ok() ? out : nullptr;
}

}  // namespace PSD
