#include "psd/adjustments/PSDAdjustmentJson.h"

#include <algorithm>

#include "psd/adjustments/PSDAdjustmentColour.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/effects/PSDJsonChangesSupport.h"

namespace PSD {

using ojson = nlohmann::ordered_json;

namespace {

char const* const kFillGradientKinds[] = {"linear",    "radial",  "angle",
                                          "reflected", "diamond", "shapeburst"};

template <class Array>
ojson Values(Array const& a) {
    ojson out = ojson::array();
    for (auto v : a) out.push_back(v);
    return out;
}

void Levels(PSDAdjustmentLevels const& a, ojson& j) {
    ojson channels = ojson::array();
    for (auto const& r : a.m_records)
        channels.push_back({{"input", {r[0], r[1]}}, {"output", {r[2], r[3]}}, {"gamma", r[4] / 100.0}});
    j["channels"] = channels;
}

void Curves(PSDAdjustmentCurves const& a, ojson& j) {
    j["map"] = a.m_map;
    ojson channels = ojson::array();
    for (size_t i = 0; i < a.m_curves.size(); ++i) {
        if (!a.m_curves[i].present) continue;
        ojson points = ojson::array();
        for (auto const& p : a.m_curves[i].points) points.push_back({p.input, p.output});
        channels.push_back({{"channel", i}, {"points", points}});
    }
    j["channels"] = channels;
}

void Fill(PSDAdjustment const& adj, ojson& j) {
    switch (adj.GetType()) {
        case PSDAdjustment::kSolidColor:
            j["color"] = ColourJson(static_cast<PSDAdjustmentSolidColor const&>(adj).m_colour);
            break;
        case PSDAdjustment::kGradientFill: {
            auto const& g = static_cast<PSDAdjustmentGradientFill const&>(adj).m_gradient;
            j["gradient"] = GradientJson(g.m_gradient);
            j["angle"] = g.m_angle;
            j["type"] = g.m_kind >= 0 && g.m_kind < 6 ? kFillGradientKinds[g.m_kind] : "linear";
            j["scale"] = g.m_scale * 100.0;
            j["reverse"] = g.m_reverse;
            j["dither"] = g.m_dither;
            j["align_with_layer"] = g.m_alignWithLayer;
            j["offset"] = {g.m_offset.x, g.m_offset.y};
            if (g.m_interpolation.m_code || !g.m_interpolation.m_name.empty())
                j["interpolation"] = JsonText(g.m_interpolation.ToString());
            break;
        }
        case PSDAdjustment::kPatternFill: {
            auto const& p = static_cast<PSDAdjustmentPatternFill const&>(adj);
            j["pattern"] = {{"name", JsonText(p.m_patternName)}, {"id", JsonText(p.m_patternId)}};
            j["scale"] = p.m_scale;
            if (p.m_hasPhase) j["phase"] = {p.m_phase.x, p.m_phase.y};
            j["linked"] = p.m_linked;
            break;
        }
        default:
            break;
    }
}

}  // namespace

ojson AdjustmentJson(PSDAdjustment const& adj) {
    ojson j = {{"kind", AdjustmentKindName(adj.GetType())}};
    if (!adj.IsRead()) {
        // A version this library does not read: the kind alone.
        j["unread"] = true;
        return j;
    }
    switch (adj.GetType()) {
        case PSDAdjustment::kLevels:
            Levels(static_cast<PSDAdjustmentLevels const&>(adj), j);
            break;
        case PSDAdjustment::kCurves:
            Curves(static_cast<PSDAdjustmentCurves const&>(adj), j);
            break;
        case PSDAdjustment::kBrightnessContrast: {
            auto const& a = static_cast<PSDAdjustmentBrightnessContrast const&>(adj);
            j.update({{"brightness", a.m_brightness}, {"contrast", a.m_contrast}, {"mean", a.m_mean},
                      {"lab", a.m_labOnly}, {"use_legacy", a.m_useLegacy}, {"auto", a.m_auto}});
            break;
        }
        case PSDAdjustment::kThreshold:
            j["level"] = static_cast<PSDAdjustmentThreshold const&>(adj).m_level;
            break;
        case PSDAdjustment::kPosterize:
            j["levels"] = static_cast<PSDAdjustmentPosterize const&>(adj).m_levels;
            break;
        case PSDAdjustment::kExposure: {
            auto const& a = static_cast<PSDAdjustmentExposure const&>(adj);
            j.update({{"exposure", a.m_exposure}, {"offset", a.m_offset}, {"gamma", a.m_gamma}});
            break;
        }
        case PSDAdjustment::kColourBalance: {
            auto const& a = static_cast<PSDAdjustmentColourBalance const&>(adj);
            j.update({{"shadows", Values(a.m_shadows)}, {"midtones", Values(a.m_midtones)},
                      {"highlights", Values(a.m_highlights)},
                      {"preserve_luminosity", a.m_preserveLuminosity}});
            break;
        }
        case PSDAdjustment::kHSLShift: {
            auto const& a = static_cast<PSDAdjustmentHSLShift const&>(adj);
            ojson ranges = ojson::array();
            for (auto const& r : a.m_ranges)
                ranges.push_back({{"range", {r[0], r[1], r[2], r[3]}}, {"hsl", {r[4], r[5], r[6]}}});
            j.update({{"colorize", a.m_colourise}, {"colorization", Values(a.m_colourisation)},
                      {"master", Values(a.m_master)}, {"ranges", ranges}});
            break;
        }
        case PSDAdjustment::kChannelMixer: {
            auto const& a = static_cast<PSDAdjustmentChannelMixer const&>(adj);
            ojson outputs = ojson::array();
            for (auto const& o : a.m_outputs) outputs.push_back(Values(o));
            j.update({{"monochrome", a.m_monochrome}, {"channels", outputs}});
            break;
        }
        case PSDAdjustment::kSelectiveColour: {
            auto const& a = static_cast<PSDAdjustmentSelectiveColour const&>(adj);
            ojson records = ojson::array();
            for (auto const& r : a.m_records) records.push_back(Values(r));
            j.update({{"method", a.m_method == 1 ? "absolute" : "relative"}, {"records", records}});
            break;
        }
        case PSDAdjustment::kPhotoFilter: {
            auto const& a = static_cast<PSDAdjustmentPhotoFilter const&>(adj);
            j.update({{"color", ColourJson(a.m_colour)}, {"density", a.m_density},
                      {"preserve_luminosity", a.m_preserveLuminosity}});
            break;
        }
        case PSDAdjustment::kVibrance: {
            auto const& a = static_cast<PSDAdjustmentVibrance const&>(adj);
            j.update({{"vibrance", a.m_vibrance}, {"saturation", a.m_saturation}});
            break;
        }
        case PSDAdjustment::kBlackAndWhite: {
            auto const& a = static_cast<PSDAdjustmentBlackAndWhite const&>(adj);
            static char const* const kNames[6] = {"red", "yellow", "green", "cyan", "blue", "magenta"};
            for (size_t i = 0; i < 6; ++i) j[kNames[i]] = a.m_weights[i];
            j["use_tint"] = a.m_useTint;
            if (a.m_tintColour) j["tint_color"] = ColourJson(a.m_tintColour);
            j["preset_kind"] = a.m_presetKind;
            if (!JsonText(a.m_presetFileName).empty()) j["preset_file_name"] = JsonText(a.m_presetFileName);
            break;
        }
        case PSDAdjustment::kGradientMap: {
            auto const& a = static_cast<PSDAdjustmentGradientMap const&>(adj);
            j.update({{"reverse", a.m_reverse}, {"dither", a.m_dither},
                      {"gradient", GradientJson(a.m_gradient)}});
            if (a.m_version == 3) j["interpolation"] = JsonText(KeyToString(a.m_interpolation));
            break;
        }
        case PSDAdjustment::kColourLookup: {
            auto const& a = static_cast<PSDAdjustmentColourLookup const&>(adj);
            auto put = [&](char const* k, String const& v) {
                if (!JsonText(v).empty()) j[k] = JsonText(v);
            };
            put("lookup_type", a.m_lookupType);
            put("name", a.m_name);
            j["dither"] = a.m_dither;
            put("lut_format", a.m_lutFormat);
            put("lut_file_name", a.m_lutFileName);
            put("data_order", a.m_dataOrder);
            put("table_order", a.m_tableOrder);
            break;
        }
        default:
            Fill(adj, j);
            break;
    }
    return j;
}

namespace {

using json = nlohmann::json;

template <class T>
Kernel::Counted<PSDAdjustment> Copy(PSDAdjustment const& a) {
    return Kernel::MakeCounted<T>(static_cast<T const&>(a));
}

// A list of up to N records, each read by one, replacing the first ones; records past the
// list keep their values.
template <class Record, size_t N, class ReadOne>
void Records(JsonChanges& c, std::string const& key, std::array<Record, N>& out, ReadOne readOne,
             char const* form) {
    json const* v = c.Get(key);
    if (!v) return;
    std::array<Record, N> read = out;
    bool ok = v->is_array() && v->size() <= N;
    for (size_t i = 0; ok && i < v->size(); ++i) ok = readOne((*v)[i], read[i]);
    if (!ok) {
        c.Fail(key, "must be a list of at most " + std::to_string(N) + " " + form);
        return;
    }
    out = read;
}

// Numbers of a record, each within its own range.
template <class T, size_t N>
bool Within(json const& v, std::array<double, N> const& low, std::array<double, N> const& high,
            std::array<T, N>& out, double scale = 1) {
    if (!v.is_array() || v.size() != N) return false;
    for (size_t i = 0; i < N; ++i) {
        double d = v[i].is_number() ? v[i].get<double>() : NAN;
        if (!(d >= low[i] && d <= high[i])) return false;
        out[i] = T(std::lround(d * scale));
    }
    return true;
}

// Each channel given replaces that channel's curve (points sorted by input, as the editor
// keeps them); the others keep theirs.
bool CurvesWithChanges(json const& v, PSDAdjustmentCurves& a) {
    if (!v.is_array() || v.empty()) return false;
    auto curves = a.m_curves;
    auto whole = [](json const& n, int64_t high) {
        return n.is_number_integer() && n.get<int64_t>() >= 0 && n.get<int64_t>() <= high;
    };
    for (auto const& entry : v) {
        if (!entry.is_object() || entry.size() != 2 || !entry.contains("channel") ||
            !whole(entry["channel"], int64_t(curves.size()) - 1) || !entry.contains("points") ||
            !entry["points"].is_array())
            return false;
        auto const& points = entry["points"];
        if (points.size() < 2 || points.size() > 19) return false;
        PSDAdjustmentCurves::Curve curve;
        curve.present = true;
        for (auto const& p : points) {
            if (!p.is_array() || p.size() != 2 || !whole(p[0], 255) || !whole(p[1], 255))
                return false;
            curve.points.push_back({p[1].get<int16_t>(), p[0].get<int16_t>()});
        }
        std::sort(curve.points.begin(), curve.points.end(),
                  [](auto const& x, auto const& y) { return x.input < y.input; });
        for (size_t i = 1; i < curve.points.size(); ++i)
            if (curve.points[i].input == curve.points[i - 1].input) return false;
        curves[entry["channel"].get<size_t>()] = std::move(curve);
    }
    a.m_curves = std::move(curves);
    a.m_map = false;  // written as points from now on
    return true;
}

}  // namespace

namespace {

// The blocks of the kinds a new layer can be made of (hue/saturation in its newer form).
constexpr uint32_t kNewKinds[] = {Key("levl"), Key("curv"), Key("brit"), Key("hue2"), Key("blnc"),
                                  Key("blwh"), Key("phfl"), Key("mixr"), Key("clrL"), Key("nvrt"),
                                  Key("post"), Key("thrs"), Key("selc"), Key("grdm"), Key("expA"),
                                  Key("vibA"), Key("SoCo"), Key("GdFl"), Key("PtFl")};

}  // namespace

std::vector<std::string> const& NewAdjustmentKinds() {
    static std::vector<std::string> const kinds = [] {
        std::vector<std::string> out;
        for (uint32_t key : kNewKinds)
            out.push_back(AdjustmentKindName(PSDAdjustment::Create(key)->GetType()));
        return out;
    }();
    return kinds;
}

Kernel::Counted<PSDAdjustment> NewAdjustment(std::string const& kind, unsigned colourChannels) {
    auto const& kinds = NewAdjustmentKinds();
    auto at = std::find(kinds.begin(), kinds.end(), kind);
    if (at == kinds.end()) return nullptr;
    auto a = PSDAdjustment::Create(kNewKinds[at - kinds.begin()]);
    if (!a) return nullptr;
    auto rgb = [](uint8_t r, uint8_t g, uint8_t b) {
        return Renderer::ColourRGB::Create(Renderer::RGBA8{r, g, b, 255}, 1, 1, std::string());
    };
    switch (a->GetType()) {
        case PSDAdjustment::kLevels:
            static_cast<PSDAdjustmentLevels&>(*a).m_records.fill({0, 255, 0, 255, 100});
            break;
        case PSDAdjustment::kCurves: {
            // The composite curve straight, one absent curve per colour channel.
            auto& c = static_cast<PSDAdjustmentCurves&>(*a);
            c.m_curves.resize(1 + std::clamp(colourChannels, 1u, 4u));
            c.m_curves[0] = {true, {{0, 0}, {255, 255}}};
            break;
        }
        case PSDAdjustment::kBrightnessContrast:
            static_cast<PSDAdjustmentBrightnessContrast&>(*a).m_useLegacy = false;
            break;
        case PSDAdjustment::kHSLShift: {
            // Each colour range as the editor places it: 30 degrees wide, fading over 30 more.
            auto& h = static_cast<PSDAdjustmentHSLShift&>(*a);
            for (int i = 0; i < 6; ++i) {
                int16_t centre = int16_t(i * 60);
                auto wrap = [](int v) { return int16_t((v + 360) % 360); };
                h.m_ranges[size_t(i)] = {wrap(centre - 45),
                                         wrap(centre - 15),
                                         wrap(centre + 15),
                                         wrap(centre + 45),
                                         0,
                                         0,
                                         0};
            }
            break;
        }
        case PSDAdjustment::kChannelMixer: {
            auto& m = static_cast<PSDAdjustmentChannelMixer&>(*a);
            for (size_t i = 0; i < 4; ++i) m.m_outputs[i][i] = 100;
            break;
        }
        case PSDAdjustment::kPhotoFilter:
            // The editor's first filter, Warming Filter (85).
            static_cast<PSDAdjustmentPhotoFilter&>(*a).SetColour(rgb(236, 138, 0));
            break;
        case PSDAdjustment::kBlackAndWhite:
            static_cast<PSDAdjustmentBlackAndWhite&>(*a).m_tintColour = rgb(225, 211, 179);
            break;
        case PSDAdjustment::kGradientMap: {
            PSDGradientDesc g;
            DefaultGradient(g);
            static_cast<PSDAdjustmentGradientMap&>(*a).m_gradient = g.m_gradient;
            break;
        }
        case PSDAdjustment::kSolidColor:
            static_cast<PSDAdjustmentSolidColor&>(*a).m_colour = rgb(0, 0, 0);
            break;
        case PSDAdjustment::kGradientFill:
            DefaultGradient(static_cast<PSDAdjustmentGradientFill&>(*a).m_gradient);
            break;
        default:
            break;
    }
    return a;
}

Kernel::Counted<PSDAdjustment> AdjustmentWithChanges(PSDAdjustment const& adj, json const& changes,
                                                     std::string& why) {
    std::string kind = AdjustmentKindName(adj.GetType());
    if (!changes.is_object()) {
        why = "the changes must be an object of fields";
        return nullptr;
    }
    if (!adj.IsRead()) {
        why = kind + " of a version this library does not read cannot be changed";
        return nullptr;
    }
    JsonChanges c(changes, kind, why);
    Kernel::Counted<PSDAdjustment> out;
    switch (adj.GetType()) {
        case PSDAdjustment::kSolidColor: {
            out = Copy<PSDAdjustmentSolidColor>(adj);
            c.Colour("color", static_cast<PSDAdjustmentSolidColor&>(*out).m_colour);
            break;
        }
        case PSDAdjustment::kGradientFill: {
            out = Copy<PSDAdjustmentGradientFill>(adj);
            auto& g = static_cast<PSDAdjustmentGradientFill&>(*out).m_gradient;
            c.Placement(g, "type", kFillGradientKinds);
            if (c.Gradient("gradient", g.m_gradient)) g.m_hasGradient = true;
            break;
        }
        case PSDAdjustment::kPatternFill: {
            out = Copy<PSDAdjustmentPatternFill>(adj);
            auto& p = static_cast<PSDAdjustmentPatternFill&>(*out);
            c.Number("scale", 1, 1000, 1, p.m_scale);
            c.Bool("linked", p.m_linked);
            c.Pattern("pattern", p.m_patternName, p.m_patternId);
            break;
        }
        case PSDAdjustment::kLevels: {
            out = Copy<PSDAdjustmentLevels>(adj);
            auto& l = static_cast<PSDAdjustmentLevels&>(*out);
            Records(
                c, "channels", l.m_records,
                [](json const& r, PSDAdjustmentLevels::Record& to) {
                    std::array<int16_t, 2> in{}, outRange{};
                    double gamma = r.is_object() && r.contains("gamma") && r["gamma"].is_number()
                                       ? r["gamma"].get<double>()
                                       : NAN;
                    if (!r.is_object() || !r.contains("input") || !r.contains("output") ||
                        !Within(r["input"], {0, 0}, {255, 255}, in) ||
                        !Within(r["output"], {0, 0}, {255, 255}, outRange) || in[0] >= in[1] ||
                        !(gamma >= 0.1 && gamma <= 9.99) || r.size() != 3)
                        return false;
                    to = {in[0], in[1], outRange[0], outRange[1],
                          int16_t(std::lround(gamma * 100))};
                    return true;
                },
                "{\"input\": [floor, ceiling], \"output\": [floor, ceiling], \"gamma\": 0.1 to "
                "9.99}");
            break;
        }
        case PSDAdjustment::kCurves: {
            out = Copy<PSDAdjustmentCurves>(adj);
            auto& a = static_cast<PSDAdjustmentCurves&>(*out);
            if (json const* v = c.Get("channels")) {
                if (a.m_curves.empty())
                    c.Fail("channels", "cannot be set on curves read from no block");
                else if (!CurvesWithChanges(*v, a))
                    c.Fail("channels",
                           "must be a list of {\"channel\": 0 to " +
                               std::to_string(a.m_curves.size() - 1) +
                               ", \"points\": 2 to 19 [input, output] pairs from 0 to 255, "
                               "inputs all different}");
            }
            break;
        }
        case PSDAdjustment::kBrightnessContrast: {
            out = Copy<PSDAdjustmentBrightnessContrast>(adj);
            auto& b = static_cast<PSDAdjustmentBrightnessContrast&>(*out);
            c.Number("brightness", -150, 150, 1, b.m_brightness);
            c.Number("contrast", -100, 100, 1, b.m_contrast);
            c.Number("mean", 0, 255, 1, b.m_mean);
            c.Bool("lab", b.m_labOnly);
            c.Bool("use_legacy", b.m_useLegacy);
            c.Bool("auto", b.m_auto);
            break;
        }
        case PSDAdjustment::kThreshold:
            out = Copy<PSDAdjustmentThreshold>(adj);
            c.Number("level", 1, 255, 1, static_cast<PSDAdjustmentThreshold&>(*out).m_level);
            break;
        case PSDAdjustment::kPosterize:
            out = Copy<PSDAdjustmentPosterize>(adj);
            c.Number("levels", 2, 255, 1, static_cast<PSDAdjustmentPosterize&>(*out).m_levels);
            break;
        case PSDAdjustment::kInvert:
            out = Copy<PSDAdjustmentInvert>(adj);
            break;
        case PSDAdjustment::kExposure: {
            out = Copy<PSDAdjustmentExposure>(adj);
            auto& e = static_cast<PSDAdjustmentExposure&>(*out);
            c.Number("exposure", -20, 20, 1, e.m_exposure);
            c.Number("offset", -0.5, 0.5, 1, e.m_offset);
            c.Number("gamma", 0.01, 9.99, 1, e.m_gamma);
            break;
        }
        case PSDAdjustment::kColourBalance: {
            out = Copy<PSDAdjustmentColourBalance>(adj);
            auto& b = static_cast<PSDAdjustmentColourBalance&>(*out);
            c.Numbers("shadows", -100, 100, b.m_shadows);
            c.Numbers("midtones", -100, 100, b.m_midtones);
            c.Numbers("highlights", -100, 100, b.m_highlights);
            c.Bool("preserve_luminosity", b.m_preserveLuminosity);
            break;
        }
        case PSDAdjustment::kHSLShift: {
            out = Copy<PSDAdjustmentHSLShift>(adj);
            auto& h = static_cast<PSDAdjustmentHSLShift&>(*out);
            c.Bool("colorize", h.m_colourise);
            if (json const* v = c.Get("colorization");
                v && !Within(*v, {0, 0, -100}, {360, 100, 100}, h.m_colourisation))
                c.Fail("colorization",
                       "must be [hue 0 to 360, saturation 0 to 100, lightness -100 to 100]");
            if (json const* v = c.Get("master");
                v && !Within(*v, {-180, -100, -100}, {180, 100, 100}, h.m_master))
                c.Fail("master", "must be [hue -180 to 180, saturation and lightness -100 to 100]");
            break;
        }
        case PSDAdjustment::kChannelMixer: {
            out = Copy<PSDAdjustmentChannelMixer>(adj);
            auto& m = static_cast<PSDAdjustmentChannelMixer&>(*out);
            c.Bool("monochrome", m.m_monochrome);
            Records(
                c, "channels", m.m_outputs,
                [](json const& r, PSDAdjustmentChannelMixer::Output& to) {
                    return Within(r, {-200, -200, -200, -200, -200}, {200, 200, 200, 200, 200}, to);
                },
                "lists of 5 numbers from -200 to 200");
            break;
        }
        case PSDAdjustment::kSelectiveColour: {
            static char const* const kMethods[] = {"relative", "absolute"};
            out = Copy<PSDAdjustmentSelectiveColour>(adj);
            auto& s = static_cast<PSDAdjustmentSelectiveColour&>(*out);
            int method = s.m_method == 1 ? 1 : 0;
            c.Choice("method", kMethods, 0, method);
            if (changes.contains("method")) s.m_method = uint16_t(method);
            Records(
                c, "records", s.m_records,
                [](json const& r, PSDAdjustmentSelectiveColour::Record& to) {
                    return Within(r, {-100, -100, -100, -100}, {100, 100, 100, 100}, to);
                },
                "lists of 4 numbers from -100 to 100");
            break;
        }
        case PSDAdjustment::kPhotoFilter: {
            out = Copy<PSDAdjustmentPhotoFilter>(adj);
            auto& p = static_cast<PSDAdjustmentPhotoFilter&>(*out);
            c.Number("density", 1, 100, 1, p.m_density);
            c.Bool("preserve_luminosity", p.m_preserveLuminosity);
            Kernel::Consolidated<Renderer::Colour> colour;
            c.Colour("color", colour);
            if (colour) p.SetColour(colour);
            break;
        }
        case PSDAdjustment::kVibrance: {
            out = Copy<PSDAdjustmentVibrance>(adj);
            auto& v = static_cast<PSDAdjustmentVibrance&>(*out);
            c.Number("vibrance", -100, 100, 1, v.m_vibrance);
            c.Number("saturation", -100, 100, 1, v.m_saturation);
            break;
        }
        case PSDAdjustment::kBlackAndWhite: {
            static char const* const kNames[6] = {"red",  "yellow", "green",
                                                  "cyan", "blue",   "magenta"};
            out = Copy<PSDAdjustmentBlackAndWhite>(adj);
            auto& b = static_cast<PSDAdjustmentBlackAndWhite&>(*out);
            for (size_t i = 0; i < 6; ++i) c.Number(kNames[i], -200, 300, 1, b.m_weights[i]);
            c.Bool("use_tint", b.m_useTint);
            c.Colour("tint_color", b.m_tintColour);
            break;
        }
        case PSDAdjustment::kGradientMap: {
            out = Copy<PSDAdjustmentGradientMap>(adj);
            auto& g = static_cast<PSDAdjustmentGradientMap&>(*out);
            c.Bool("reverse", g.m_reverse);
            c.Bool("dither", g.m_dither);
            // The map's binary form holds every stop's colour and no noise.
            if (c.Gradient("gradient", g.m_gradient) &&
                (g.m_gradient.IsNoise() ||
                 std::any_of(g.m_gradient.m_colours.begin(), g.m_gradient.m_colours.end(),
                             [](auto const& stop) { return !stop.colour; })))
                c.Fail("gradient", "must give every colour stop a colour");
            break;
        }
        case PSDAdjustment::kColourLookup: {
            out = Copy<PSDAdjustmentColourLookup>(adj);
            auto& l = static_cast<PSDAdjustmentColourLookup&>(*out);
            c.Bool("dither", l.m_dither);
            if (json const* t = c.Get("table")) {
                // Each of the three a string, format and data given, nothing else.
                std::string given[3], wrong;
                static char const* const kKeys[3] = {"format", "data", "name"};
                bool shaped = t->is_object() && t->contains("format") && t->contains("data");
                if (shaped)
                    for (auto const& [key, value] : t->items()) {
                        auto at = std::find(kKeys, kKeys + 3, key) - kKeys;
                        shaped = shaped && at < 3 && value.is_string();
                        if (shaped) given[at] = value.get<std::string>();
                    }
                if (!shaped)
                    c.Fail("table",
                           "must be {\"format\": \"cube\" or \"3dl\", \"data\": the "
                           "file's text, \"name\"}");
                else if (!l.SetTable(given[0], given[1], String(given[2]), wrong))
                    c.Fail("table", "holds " + wrong);
            }
            break;
        }
        default:
            why = kind + " cannot be changed this way";
            return nullptr;
    }
    if (json const* k = c.Get("kind"); k && !(k->is_string() && k->get<std::string>() == kind))
        c.Fail("kind", "is not a field that can be set");
    c.Finish();
    return c.Ok() ? out : nullptr;
}

}  // namespace PSD
