#include "psd/file/PSDVectorJson.h"

#include <cmath>

#include "psd/adjustments/PSDAdjustment.h"
#include "psd/adjustments/PSDAdjustmentJson.h"
#include "psd/vector/PSDVectorOrigination.h"
#include "psd/vector/PSDVectorStroke.h"

namespace PSD {

namespace {

using json = nlohmann::ordered_json;

// Six decimals, as the reference data rounds them, without float noise.
double Round6(double v) {
    return std::round(v * 1e6) / 1e6;
}

json Point(Geometry::PointDbl p) {
    return json::array({Round6(p.x), Round6(p.y)});
}

json Rect(Kernel::RectT<double> const& r) {
    return json::array({Round6(r.left), Round6(r.top), Round6(r.right), Round6(r.bottom)});
}

json CurvesJson(std::vector<PSDPath::CurveRec> const& curves, bool withOperation) {
    json out = json::array();
    for (auto const& r : curves) {
        auto const& curve = r.m_editedCurve ? r.m_editedCurve : r.m_curve;
        std::vector<PSDPath::Knot> knots;
        if (!curve || !PSDPath::GetKnots(*curve, knots)) continue;
        json k = json::array();
        for (auto const& knot : knots)
            k.push_back(json::array({Point(knot.preceding), Point(knot.anchor), Point(knot.leaving)}));
        out.push_back({{"closed", curve->IsClosed()},
                       {"operation", withOperation ? json(r.m_operation) : json(nullptr)},
                       {"knots", k}});
    }
    return out;
}


char const* CapName(PSDVectorStroke::LineCapType v) {
    return v == PSDVectorStroke::LineCapType::Round ? "round" : v == PSDVectorStroke::LineCapType::Square ? "square" : "butt";
}
char const* JoinName(PSDVectorStroke::LineJoinStyle v) {
    return v == PSDVectorStroke::LineJoinStyle::Round ? "round" : v == PSDVectorStroke::LineJoinStyle::Bevel ? "bevel" : "miter";
}
char const* AlignName(PSDVectorStroke::LineAlignment v) {
    return v == PSDVectorStroke::LineAlignment::Inside ? "inside" : v == PSDVectorStroke::LineAlignment::Outside ? "outside" : "center";
}

json UnitJson(Kernel::UnitValue const& v) {
    char const* unit = "pixels";
    switch (v.unit) {
        case Kernel::Unit::Percent: unit = "percent"; break;
        case Kernel::Unit::Points: unit = "points"; break;
        case Kernel::Unit::Inches: unit = "inches"; break;
        case Kernel::Unit::Millimetres: unit = "millimetres"; break;
        case Kernel::Unit::Centimetres: unit = "centimetres"; break;
        case Kernel::Unit::None: unit = "none"; break;
        default: break;
    }
    return {{"value", v.value}, {"unit", unit}};
}

}  // namespace

json SubpathsJson(PSDPath const& path) {
    // The subpaths as read when nothing replaced them; else what a save would write.
    if (!path.m_readSubpaths.empty() && !path.m_replacementOutline) return CurvesJson(path.m_readSubpaths, true);
    if (!path.m_curves.empty()) return CurvesJson(path.m_curves, true);
    std::vector<PSDPath::CurveRec> outline;
    auto const& poly = path.m_replacementOutline ? path.m_replacementOutline : path.m_outline;
    if (poly)
        for (auto const& c : poly->GetCurves()) {
            PSDPath::CurveRec r;
            r.m_curve = c;
            r.m_operation = outline.empty() ? PSDPath::kCombine : PSDPath::kExclude;
            outline.push_back(r);
        }
    return CurvesJson(outline, true);
}

json PathsJson(PSDFile const& doc) {
    json out = json::array();
    if (doc.m_workingPath)
        out.push_back({{"id", PSDFile::kWorkingPathId}, {"name", ""}, {"kind", "working"},
                       {"subpaths", SubpathsJson(*doc.m_workingPath)}});
    for (size_t i = 0; i < doc.m_paths.size(); ++i) {
        auto const& p = doc.m_paths[i];
        if (!p) continue;
        bool clipping = !doc.m_clippingPathName.empty() && p->m_name == doc.m_clippingPathName;
        out.push_back({{"id", PSDFile::kFirstPathId + i},
                       {"name", std::string(p->m_name)},
                       {"kind", clipping ? "clipping" : "saved"},
                       {"subpaths", SubpathsJson(*p)}});
    }
    return out;
}

json VectorMaskJson(PSDLayer const& layer) {
    if (!layer.m_vectorMask) return nullptr;
    PSDPath const& p = *layer.m_vectorMask;
    auto const& poly = p.m_replacementOutline ? p.m_replacementOutline : p.m_outline;
    json bounds = poly && !poly->IsEmpty() ? Rect(poly->GetBoundingRect()) : json(nullptr);
    return {{"invert", layer.m_vectorMaskFlag0},
            {"not_linked", layer.m_vectorMaskFlag1},
            {"disable", (layer.m_vectorMaskFlagsStored & 4) != 0},
            {"bounds", bounds},
            {"subpaths", SubpathsJson(p)}};
}

json VectorStrokeJson(PSDLayer const& layer, double resolution) {
    if (!layer.m_vectorStroke) return nullptr;
    PSDVectorStroke const& s = *layer.m_vectorStroke;
    if (!(resolution > 0)) resolution = 72.0;
    json dashes = json::array();
    for (double d : s.m_dashSet) dashes.push_back(d);
    json j = {{"enabled", s.m_strokeEnabled},
              {"fill_enabled", s.m_fillEnabled},
              {"width", Round6(s.m_lineWidth * resolution / 72.0)},
              {"alignment", AlignName(s.m_lineAlignment)},
              {"cap", CapName(s.m_lineCap)},
              {"join", JoinName(s.m_lineJoin)},
              {"miter_limit", s.m_miterLimit},
              {"dashes", dashes},
              {"dash_offset", Round6(s.m_dashOffset * resolution / 72.0)},
              {"opacity", Round6(s.m_opacity * 100.0)}};
    uint32_t key;
    if (EncodeBlendMode(s.m_blendMode, key)) j["blend_mode"] = std::string(KeyToString(key));
    j["content"] = s.m_content ? AdjustmentJson(*s.m_content) : json(nullptr);
    if (s.m_fill) j["fill"] = AdjustmentJson(*s.m_fill);
    return j;
}

json LiveShapeJson(PSDLayer const& layer) {
    if (layer.m_vectorOrigination.empty()) return nullptr;
    json out = json::array();
    for (auto const& shape : layer.m_vectorOrigination) {
        char const* type = "custom";
        auto const* rrect = dynamic_cast<PSDVectorOriginationDataRRect const*>(shape.Get());
        auto const* line = dynamic_cast<PSDVectorOriginationDataLine const*>(shape.Get());
        switch (shape->m_kind) {
            case PSDVectorOriginationData::kRectangle: type = "rectangle"; break;
            case PSDVectorOriginationData::kRoundedRectangle: type = "rounded_rectangle"; break;
            case PSDVectorOriginationData::kEllipse: type = "ellipse"; break;
            case PSDVectorOriginationData::kLine: type = "line"; break;
            default: break;
        }
        if (line) type = "line";
        json j = {{"type", type}, {"origin_type", shape->m_kind}, {"bounds", Rect(shape->m_bounds)},
                  {"index", shape->m_index}, {"invalidated", shape->m_invalidated}};
        if (shape->m_resolution != 0) j["resolution"] = shape->m_resolution;
        if (rrect)
            j["radii"] = {{"top_right", UnitJson(rrect->m_topRight)}, {"top_left", UnitJson(rrect->m_topLeft)},
                          {"bottom_left", UnitJson(rrect->m_bottomLeft)}, {"bottom_right", UnitJson(rrect->m_bottomRight)}};
        if (line) {
            j["start"] = Point(line->m_start);
            j["end"] = Point(line->m_end);
            j["weight"] = line->m_weight;
            j["arrow"] = {{"start", line->m_arrowStart}, {"end", line->m_arrowEnd}, {"width", line->m_arrowWidth},
                          {"length", line->m_arrowLength}, {"concavity", line->m_arrowConcavity}};
        }
        out.push_back(j);
    }
    return out;
}

}  // namespace PSD
