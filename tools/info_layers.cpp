// `info`: the layers of a document, as a tree in text and as the record list in JSON.
#include <algorithm>
#include <ostream>
#include <string>

#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/adjustments/PSDTextJson.h"
#include "psd/effects/PSDEffectsJson.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDLayerTree.h"
#include "psd/file/PSDSmartObjectJson.h"
#include "psd/file/PSDVectorJson.h"
#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDLayerKind.h"
#include "psd/layer/PSDMaskJson.h"
#include "tools/Command.h"

namespace zuzodoriv {
namespace {

using nlohmann::json;

// A model's ordered JSON as the tool's; bytes that are not UTF-8 become U+FFFD, not an abort.
json Reparse(nlohmann::ordered_json const& j) {
    return json::parse(JsonOutput(j, -1));
}

std::string BlendKey(PSD::BlendMode mode) {
    uint32_t key;
    return PSD::EncodeBlendMode(mode, key) ? std::string(PSD::KeyToString(key))
                                           : std::to_string(uint32_t(mode));
}

json NullableText(char const* text) {
    return text ? json(text) : json(nullptr);
}

// A frame of the document's text: its kind, the bounds of its outline and its layout settings.
json TextFrameJson(PSD::PSDTextFrameSetResource const& f, size_t index) {
    json bounds = nullptr;
    if (!f.m_beziers.empty()) {
        double l = 1e300, t = 1e300, r = -1e300, b = -1e300;
        for (auto const& s : f.m_beziers)
            for (auto const& p : s.m_points) {
                l = std::min(l, p.x), t = std::min(t, p.y);
                r = std::max(r, p.x), b = std::max(b, p.y);
            }
        bounds = {l, t, r, b};
    }
    json j = {{"index", index}, {"type", f.m_type}, {"bounds", bounds},
              {"segments", f.m_beziers.size()}, {"line_orientation", f.m_lineOrientation},
              {"row_gutter", f.m_rowGutter}, {"column_gutter", f.m_columnGutter}};
    if (!f.m_textOnPathRange.empty()) j["text_on_path_range"] = f.m_textOnPathRange;
    j["path_spacing"] = f.m_pathSpacing;
    return j;
}

void LayersJson(PSD::PSDFile const& doc, json& out) {
    json layers = json::array();
    std::vector<std::ptrdiff_t> parents = PSD::LayerParents(doc);
    for (size_t i = 0; i < doc.m_layers.size(); ++i) {
        auto const& l = doc.m_layers[i];
        if (!l) continue;
        json channels = json::array();
        for (size_t c = 0; c < l->m_channels.size(); ++c)
            channels.push_back({{"id", l->m_channels[c].m_id},
                                {"length", l->m_channels[c].m_length},
                                {"compression", NullableText(l->GetChannelCompressionName(c))}});
        json keys = json::array();
        for (auto const& b : l->m_blocks) keys.push_back(std::string(PSD::KeyToString(b.key)));
        char const* kind = PSD::LayerKind(*l);
        layers.push_back({{"index", i},
                          {"name", std::string(l->m_name)},
                          {"kind", kind ? json(kind) : json(nullptr)},
                          {"section_type", uint32_t(l->m_sectionType)},
                          {"top", l->m_top},
                          {"left", l->m_left},
                          {"bottom", l->m_bottom},
                          {"right", l->m_right},
                          {"blend_mode", BlendKey(l->m_blendMode)},
                          {"opacity", l->m_opacity},
                          {"fill_opacity", l->m_fillOpacity},
                          {"visible", l->m_visible},
                          {"clipping", l->m_clipping},
                          {"transparency_protected", l->m_transparencyProtected},
                          {"parent", parents[i] < 0 ? json(nullptr) : json(parents[i])},
                          {"layer_id", l->m_layerId},
                          {"locks",
                           {{"transparency", l->m_lockTransparency},
                            {"composite", l->m_lockComposite},
                            {"position", l->m_lockPosition}}},
                          {"channels", channels},
                          {"user_mask", Reparse(PSD::MaskJson(l->m_userMask))},
                          {"real_mask", Reparse(PSD::MaskJson(l->m_realMask))},
                          {"mask_parameters", Reparse(PSD::MaskParametersJson(*l))},
                          {"blending_range_sets", l->m_blendRanges.size()},
                          {"block_keys", keys}});
        double resolution = doc.m_unitConverter ? doc.m_unitConverter->GetResolution() : 72.0;
        if (l->m_vectorMask) layers.back()["vector_mask"] = Reparse(PSD::VectorMaskJson(*l));
        if (l->m_vectorStroke)
            layers.back()["vector_stroke"] = Reparse(PSD::VectorStrokeJson(*l, resolution));
        if (!l->m_vectorOrigination.empty())
            layers.back()["live_shape"] = Reparse(PSD::LiveShapeJson(*l));
        if (auto object = l->GetSmartObject())
            layers.back()["smart_object"] = Reparse(PSD::SmartObjectJson(*object, &doc));
        if (auto adjustment = l->GetAdjustment()) {
            if (auto tool = adjustment.DynamicCast<PSD::PSDAdjustmentTypeTool>())
                layers.back()["text"] = Reparse(PSD::TextJson(*tool));
            else
                layers.back()["adjustment"] = Reparse(PSD::AdjustmentJson(*adjustment));
        }
        if (auto effects = l->GetEffects()) {
            layers.back()["effects"] = Reparse(PSD::EffectsJson(*effects));
            layers.back()["effects_enabled"] = effects->m_masterSwitch;
            layers.back()["effects_scale"] = effects->m_scale * 100.0;
        }
    }
    out["layers"] = layers;
    auto paths = PSD::PathsJson(doc);
    if (!paths.empty() || !doc.m_clippingPathName.empty()) out["paths"] = Reparse(paths);
    if (doc.m_textEngineData && !doc.m_textEngineData->m_frameSets.empty()) {
        json frames = json::array();
        auto const& sets = doc.m_textEngineData->m_frameSets;
        for (size_t i = 0; i < sets.size(); ++i) frames.push_back(TextFrameJson(sets[i], i));
        out["text_frames"] = frames;
    }
    out["merged_transparency"] = doc.m_mergedTransparency != 0;
    json docKeys = json::array();
    for (auto const& b : doc.m_documentBlocks) docKeys.push_back(std::string(PSD::KeyToString(b.key)));
    out["document_block_keys"] = docKeys;
    if (!doc.GetLinkedRecords().empty()) out["linked_data"] = Reparse(PSD::LinkedDataJson(doc));
}

// The record's kind, with what the text view adds: closed groups and the background layer.
std::string Kind(PSD::PSDLayerNode const& n) {
    PSD::PSDLayer const& l = *n.layer;
    char const* kind = PSD::LayerKind(l);
    std::string out = kind ? kind : "end marker";
    if (l.m_sectionType == PSD::PSDLayer::kClosedGroup) out += " (closed)";
    if (l.m_background) out += " (background)";
    return out;
}

void MaskText(char const* label, PSD::PSDLayerMask const& m, std::ostream& out) {
    if (!m.m_present) return;
    out << ", " << label << " (" << m.m_left << "," << m.m_top << ")-(" << m.m_right << ","
        << m.m_bottom << ") colour " << unsigned(m.m_defaultColour);
    if (m.m_relative) out << " relative";
    if (m.m_disabled) out << " disabled";
    if (m.m_invert) out << " inverted";
}

// One line per effect under its layer: type, on/off, blend mode, opacity, colour, angle, distance
// and size, where the effect has them.
// The adjustment's settings on one line, from its JSON form: numbers, flags, names and short
// lists as they are, longer lists and nested objects by their size.
void AdjustmentText(PSD::PSDAdjustment const& adjustment, unsigned depth, std::ostream& out) {
    auto j = PSD::AdjustmentJson(adjustment);
    if (j.size() < 2) return;
    out << std::string(depth * 2 + 6, ' ') << "settings:";
    bool first = true;
    for (auto const& [key, value] : j.items()) {
        if (key == "kind") continue;
        out << (first ? " " : ", ") << key << " ";
        first = false;
        if (value.is_array() && (value.size() > 4 || (!value.empty() && value[0].is_structured())))
            out << value.size() << " entries";
        else if (value.is_object() && value.contains("values"))
            out << value["model"].get<std::string>() << " " << value["values"].dump();
        else if (value.is_object())
            out << value.size() << " fields";
        else
            out << value.dump();
    }
    out << "\n";
}

// The text with each run's font, size and colour.
void TypeText(PSD::PSDAdjustmentTypeTool const& tool, unsigned depth, std::ostream& out) {
    std::string indent = "      " + std::string(size_t(depth) * 2, ' ');
    auto j = PSD::TextJson(tool);
    std::string content = j["content"].get<std::string>();
    for (auto& c : content)
        if (c == '\r') c = '|';
    out << indent << "text: \"" << content << "\"";
    if (j.contains("frame")) out << ", " << j["frame"]["type"].get<std::string>() << " text";
    if (tool.GetWarpStyle() != "warpNone") out << ", warp " << tool.GetWarpStyle();
    out << "\n";
    if (!j.contains("runs")) return;
    for (auto const& r : j["runs"]) {
        out << indent << "  " << r["start"] << "+" << r["length"] << ": "
            << r["font"].get<std::string>() << " " << r["size"] << "pt";
        if (r.contains("color"))
            out << " " << r["color"]["model"].get<std::string>() << " "
                << r["color"]["values"].dump();
        out << "\n";
    }
}

void EffectsText(PSD::PSDLayerEffects const& effects, unsigned depth, std::ostream& out) {
    std::string indent = "      " + std::string(size_t(depth) * 2, ' ');
    out << indent << "effects" << (effects.m_masterSwitch ? "" : " (all off)") << ", scale "
        << effects.m_scale * 100.0 << "%\n";
    for (auto const& e : effects.m_effects) {
        if (!e) continue;
        auto j = PSD::EffectJson(*e);
        out << indent << "  " << e->GetTypeName() << (e->m_enabled ? " on" : " off");
        if (j.contains("blend_mode")) out << " " << j["blend_mode"].get<std::string>();
        if (j.contains("opacity")) out << " opacity " << j["opacity"].get<double>() << "%";
        if (j.contains("color") && !j["color"].is_null()) {
            out << " colour " << j["color"]["model"].get<std::string>();
            for (auto const& v : j["color"]["values"]) out << " " << v.get<double>();
        }
        for (char const* k : {"angle", "distance", "size"})
            if (j.contains(k)) out << " " << k << " " << j[k].get<double>();
        out << "\n";
    }
}

void LayersText(PSD::PSDFile const& doc, std::ostream& out) {
    out << "  layers:       " << doc.m_layers.size();
    if (doc.m_mergedTransparency) out << " (merged transparency)";
    out << "\n";
    auto tree = PSD::BuildLayerTree(doc);
    PSD::WalkLayerTree(tree, [&](PSD::PSDLayerNode const& n, unsigned depth) {
        PSD::PSDLayer const& l = *n.layer;
        out << "    " << std::string(size_t(depth) * 2, ' ') << Kind(n) << " \""
            << std::string(l.m_name) << "\"";
        if (!n.isGroup)
            out << " (" << l.m_left << "," << l.m_top << ")-(" << l.m_right << "," << l.m_bottom
                << ")";
        out << " " << BlendKey(l.m_blendMode) << " opacity " << unsigned(l.m_opacity) << " fill "
            << unsigned(l.m_fillOpacity);
        if (!l.m_visible) out << ", hidden";
        if (l.m_clipping) out << ", clipped";
        MaskText("mask", l.m_userMask, out);
        MaskText("real mask", l.m_realMask, out);
        // Densities and feathers, by the mask they belong to.
        auto parameters = PSD::MaskParametersJson(l);
        if (!parameters.is_null())
            for (auto const& [key, value] : parameters.items())
                if (!value.is_null()) {
                    std::string name = key;
                    std::replace(name.begin(), name.end(), '_', ' ');
                    out << ", " << name << " " << value.dump();
                }
        if (l.m_lockTransparency || l.m_lockComposite || l.m_lockPosition ||
            l.m_transparencyProtected) {
            out << ", locked:";
            if (l.m_lockTransparency || l.m_transparencyProtected) out << " transparency";
            if (l.m_lockComposite) out << " pixels";
            if (l.m_lockPosition) out << " position";
        }
        if (n.isGroup && !n.endMarker) out << ", no end marker";
        out << "\n";
        if (auto adjustment = l.GetAdjustment()) {
            if (auto tool = adjustment.DynamicCast<PSD::PSDAdjustmentTypeTool>())
                TypeText(*tool, depth, out);
            else
                AdjustmentText(*adjustment, depth, out);
        }
        if (auto effects = l.GetEffects()) EffectsText(*effects, depth, out);
        return true;
    });
}

InfoSectionRegistrar s_layers({20, LayersJson, LayersText});

}  // namespace
}  // namespace zuzodoriv
