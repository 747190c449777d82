#include "psd/adjustments/PSDAdjustmentJson.h"

#include "psd/adjustments/PSDAdjustmentColour.h"
#include "psd/adjustments/PSDAdjustmentTone.h"
#include "psd/adjustments/PSDFillLayer.h"
#include "psd/effects/PSDEffectsJson.h"

namespace PSD {

using ojson = nlohmann::ordered_json;

namespace {

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
            static char const* const kTypes[] = {"linear", "radial", "angle", "reflected", "diamond",
                                                 "shapeburst"};
            j["gradient"] = GradientJson(g.m_gradient);
            j["angle"] = g.m_angle;
            j["type"] = g.m_kind >= 0 && g.m_kind < 6 ? kTypes[g.m_kind] : "linear";
            j["scale"] = g.m_scale * 100.0;
            j["reverse"] = g.m_reverse;
            j["dither"] = g.m_dither;
            j["align_with_layer"] = g.m_alignWithLayer;
            j["offset"] = {g.m_offset.x, g.m_offset.y};
            if (g.m_interpolation.m_code || !g.m_interpolation.m_name.empty())
                j["interpolation"] = std::string(g.m_interpolation.ToString());
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

}  // namespace PSD
