// Aspect "vector": every vector mask's flags and knots equal the rich reference's (and ag-psd's
// data where it lies beside the document), shape outlines fit the stored layer rectangle, and
// paths, strokes and live shapes written from the model read back the same.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <fstream>

#include "psd/file/PSDVectorJson.h"
#include "psd/effects/PSDLayerEffects.h"
#include "psd/io/PSDParseData.h"
#include "psd/io/PSDSaveData.h"
#include "psd/layer/PSDLayerKind.h"
#include "psd/vector/PSDVectorOrigination.h"
#include "psd/vector/PSDVectorStroke.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using nlohmann::json;

// Numbers within tol, everything else equal, recursively.
bool Near(json const& a, json const& b, double tol) {
    if (a.is_number() && b.is_number()) return std::fabs(a.get<double>() - b.get<double>()) <= tol;
    if (a.is_array() && b.is_array()) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (!Near(a[i], b[i], tol)) return false;
        return true;
    }
    if (a.is_object() && b.is_object()) {
        for (auto const& [k, v] : b.items())
            if (!a.contains(k) || !Near(a[k], v, tol)) return false;
        return true;
    }
    return a == b;
}

json Ours(nlohmann::ordered_json const& j) { return json::parse(j.dump()); }

// The path of the layer's mask written by the model and read again.
bool MaskRoundTrip(PSD::PSDFile const& doc, PSD::PSDLayer const& l, std::string& why) {
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    Kernel::SizeT<int> size{int(doc.m_width), int(doc.m_height)};
    PSD::PSDPath const& path = *l.m_vectorMask;
    if (!path.m_outline && path.m_curves.empty()) return true;  // no subpath: nothing to write
    if (!PSD::SavePaths(*mem, PSD::ByteOrderFixer{true}, path, {}, size)) return why = "mask not written", false;
    auto in = Kernel::MemoryInStream::Create(mem->TakeData());
    PSD::PSDPath back;
    PSD::PSDLoadData ld;
    if (PSD::ParsePaths(*in, in->GetSize(), size, back, ld) != PSD::kPathParsed) return why = "mask does not read back", false;
    // One quantum of the fixed point, in pixels, plus the rounding of the report.
    double tol = std::max(doc.m_width, doc.m_height) / 16777216.0 + 2e-6;
    json a = Ours(PSD::SubpathsJson(path)), b = Ours(PSD::SubpathsJson(back));
    for (auto* s : {&a, &b})
        for (auto& sp : *s) sp.erase("operation");  // a single shape is written with its own operations
    if (path.m_curves.empty() && !Near(a, b, tol)) return why = "mask reads back as " + b.dump().substr(0, 300), false;
    // Combined shapes are written as their curve records: compare those, not the subpaths as read.
    PSD::PSDPath written = path, reread = back;
    written.m_readSubpaths.clear();
    reread.m_readSubpaths.clear();
    if (!path.m_curves.empty() && !Near(Ours(PSD::SubpathsJson(reread)), Ours(PSD::SubpathsJson(written)), tol))
        return why = "combined mask reads back differently", false;
    return true;
}

template <class Save, class Parse>
bool BlockRoundTrip(Save save, Parse parse, std::string& why, char const* what) {
    auto mem = Kernel::MemoryInOutStreamBase::Create();
    if (!save(*mem)) return why = std::string(what) + " not written", false;
    std::vector<uint8_t> bytes = mem->TakeData();
    if (bytes.size() < 12) return why = std::string(what) + " too short", false;
    auto in = Kernel::MemoryInStream::Create(std::vector<uint8_t>(bytes.begin() + 12, bytes.end()));
    if (!parse(*in)) return why = std::string(what) + " does not read back", false;
    return true;
}

bool CheckModel(Document& d, PSD::PSDLayer const& l, std::string& why) {
    PSD::PSDFile const& doc = *d.doc;
    double resolution = doc.m_unitConverter ? doc.m_unitConverter->GetResolution() : 72.0;
    PSD::SaveData sd;
    sd.m_width = doc.m_width;
    sd.m_height = doc.m_height;
    PSD::ParseData pd;
    pd.m_width = doc.m_width;
    pd.m_height = doc.m_height;
    pd.m_resolution = resolution;
    if (l.m_vectorMask && !MaskRoundTrip(doc, l, why)) return false;
    if (l.m_vectorStroke) {
        Kernel::Counted<PSD::PSDVectorStroke> back(new PSD::PSDVectorStroke);
        auto const& s = *l.m_vectorStroke;
        if (!BlockRoundTrip([&](auto& o) { return s.SaveStroke(o, sd); }, [&](auto& i) { return back->ParseStroke(i, pd); },
                            why, "stroke") ||
            !BlockRoundTrip([&](auto& o) { return s.SaveFill(o, sd); }, [&](auto& i) { return back->ParseFill(i, pd); }, why,
                            "fill"))
            return false;
        PSD::PSDLayer copy(true);
        copy.m_vectorStroke = back;
        json a = Ours(PSD::VectorStrokeJson(l, resolution)), b = Ours(PSD::VectorStrokeJson(copy, resolution));
        if (!s.m_fill) a.erase("fill"), b.erase("fill");  // a stroke without a fill writes the default one
        if (!Near(a, b, 1e-6)) return why = "stroke reads back as " + b.dump().substr(0, 300), false;
    }
    if (!l.m_vectorOrigination.empty()) {
        // Moved and written, every shape reads back moved, with the items the fields do not hold.
        PSD::PSDVectorOriginationData::List moved;
        for (auto const& shape : l.m_vectorOrigination) moved.push_back(shape->Translated(3, -1));
        PSD::PSDLayer copy(true);
        if (!BlockRoundTrip([&](auto& o) { return PSD::PSDVectorOriginationData::Save(o, sd, moved); },
                            [&](auto& i) { return PSD::PSDVectorOriginationData::Parse(i, copy.m_vectorOrigination, pd); },
                            why, "live shape"))
            return false;
        json a = Ours(PSD::LiveShapeJson(l)), b = Ours(PSD::LiveShapeJson(copy));
        for (auto& e : a)
            for (char const* k : {"bounds", "start", "end"})
                for (size_t i = 0; e.contains(k) && i < e[k].size(); ++i) e[k][i] = e[k][i].get<double>() + (i % 2 ? -1 : 3);
        if (!Near(b, a, 1e-6)) return why = "moved live shape reads back as " + b.dump().substr(0, 300), false;
        // The first box corner, when kept, moved with the bounds.
        auto corner = [](PSD::Descriptor const& d) {
            auto box = d.Get<PSD::DescriptorItemDescriptor>("keyOriginBoxCorners");
            auto c = box ? box->GetDescriptor().Get<PSD::DescriptorItemDescriptor>("rectangleCornerA") : nullptr;
            auto x = c ? c->GetDescriptor().Get<PSD::DescriptorItemDouble>(PSD::Key("Hrzn")) : nullptr;
            return x ? x->m_value : NAN;
        };
        for (size_t i = 0; i < moved.size() && i < copy.m_vectorOrigination.size(); ++i) {
            static PSD::Descriptor const none;
            auto const& a0 = l.m_vectorOrigination[i]->m_unmodelled;
            auto const& b0 = copy.m_vectorOrigination[i]->m_unmodelled;
            auto const &kept = a0 ? *a0 : none, &back = b0 ? *b0 : none;
            bool same = kept.GetItems().size() == back.GetItems().size();
            for (size_t k = 0; same && k < kept.GetItems().size(); ++k) same = kept.GetItems()[k].m_key == back.GetItems()[k].m_key;
            if (!same || (!std::isnan(corner(kept)) && std::fabs(corner(back) - corner(kept) - 3) > 1e-9))
                return why = "moved live shape lost or left the items it does not model", false;
        }
    }
    return true;
}

// A shape layer's combined outline against the rectangle the writing application stored for its
// pixels, within a pixel. False with an empty reason is a mismatch; with a reason, a known exception.
bool BoundsFit(PSD::PSDLayer const& l, std::string& reason) {
    char const* kind = PSD::LayerKind(l);
    if (!kind || std::string(kind) != "shape" || !l.m_vectorMask || !l.m_vectorMask->m_outline) return true;
    auto const& poly = *l.m_vectorMask->m_outline;
    if (poly.IsEmpty()) return true;
    auto b = poly.GetBoundingRect();
    double rect[4] = {double(l.m_left), double(l.m_top), double(l.m_right), double(l.m_bottom)};
    double ours[4] = {std::floor(b.left), std::floor(b.top), std::ceil(b.right), std::ceil(b.bottom)};
    bool fit = true;
    for (int k = 0; k < 4; ++k) fit = fit && std::fabs(ours[k] - rect[k]) <= 1.0;
    if (fit && std::getenv("ZUZODORIV_VECTOR_BOUNDS")) std::fprintf(stderr, "bounds-fit\n");
    if (fit) return true;
    char text[200];
    std::snprintf(text, sizeof text, " (outline [%g %g %g %g], rect [%g %g %g %g])", ours[0], ours[1], ours[2], ours[3],
                  rect[0], rect[1], rect[2], rect[3]);
    if (l.m_right <= l.m_left || l.m_bottom <= l.m_top) return reason = "empty rect", false;
    bool inside = ours[0] >= rect[0] - 1 && ours[1] >= rect[1] - 1 && ours[2] <= rect[2] + 1 && ours[3] <= rect[3] + 1;
    // Subtracting from everything starts from a frame beyond the canvas; the pixels stop at its edge.
    if (!inside && !l.m_vectorMask->m_readSubpaths.empty() && l.m_vectorMask->m_readSubpaths[0].m_operation == 2) return reason = std::string("frame") + text, false;
    if (!inside) return false;
    if (l.m_vectorStroke && l.m_vectorStroke->m_strokeEnabled) return reason = std::string("stroke") + text, false;
    if (l.GetEffects()) return reason = std::string("effects") + text, false;
    if (l.m_vectorMask->m_combined) return reason = std::string("combined") + text, false;
    return reason = std::string("edge") + text, false;
}

// ag-psd's data beside the document: its mask knots, stroke and origination.
bool CheckAgPsd(Document& d, std::string& why) {
    json data = AgPsdData(d);
    if (!data.is_object() || !data.contains("children")) return true;
    auto const& layers = d.doc->m_layers;
    std::vector<json const*> theirs;
    std::function<void(json const&)> walk = [&](json const& c) {
        for (auto const& child : c) {
            if (child.contains("children")) walk(child["children"]);
            theirs.push_back(&child);
        }
    };
    walk(data["children"]);
    // The children in file order are the records without the group end markers.
    std::vector<PSD::PSDLayer const*> records;
    for (auto const& l : layers)
        if (!l->IsGroupEnd()) records.push_back(l.Get());
    if (records.size() != theirs.size()) return true;
    double resolution = d.doc->m_unitConverter ? d.doc->m_unitConverter->GetResolution() : 72.0;
    for (size_t i = 0; i < records.size(); ++i) {
        json const& t = *theirs[i];
        PSD::PSDLayer const& l = *records[i];
        std::string where = "ag-psd layer " + std::to_string(i) + " ";
        if (t.contains("vectorMask")) {
            if (!l.m_vectorMask) return why = where + "no vector mask", false;
            json ours = Ours(PSD::SubpathsJson(*l.m_vectorMask));
            auto const& paths = t["vectorMask"]["paths"];
            if (ours.size() != paths.size()) return why = where + "subpath count", false;
            for (size_t p = 0; p < paths.size(); ++p) {
                if (ours[p]["closed"] == paths[p].value("open", false)) return why = where + "open/closed", false;
                json knots = json::array();
                for (auto const& k : paths[p]["knots"]) {
                    auto const& v = k["points"];
                    knots.push_back({{v[0], v[1]}, {v[2], v[3]}, {v[4], v[5]}});
                }
                if (!Near(ours[p]["knots"], knots, 1e-4)) return why = where + "knots of subpath " + std::to_string(p), false;
            }
            bool nonZero = !paths.empty() && paths[0].value("fillRule", "") == "non-zero";
            if (!l.m_vectorMask->m_combined && nonZero != (l.m_vectorMask->m_fillRule == 1))
                return why = where + "fill rule", false;
        }
        if (t.contains("vectorStroke")) {
            if (!l.m_vectorStroke) return why = where + "no vector stroke", false;
            json ours = Ours(PSD::VectorStrokeJson(l, resolution));
            auto const& s = t["vectorStroke"];
            double width = s["lineWidth"]["value"];
            if (s["lineWidth"]["units"] == "Points") width *= resolution / 72.0;
            json dashes = json::array();
            for (auto const& e : s["lineDashSet"]) dashes.push_back(e["value"]);
            json expect = {{"enabled", s["strokeEnabled"]}, {"fill_enabled", s["fillEnabled"]}, {"width", width},
                           {"alignment", s["lineAlignment"]}, {"cap", s["lineCapType"]}, {"join", s["lineJoinType"]},
                           {"miter_limit", s["miterLimit"]}, {"dashes", dashes},
                           {"opacity", s["opacity"].get<double>() * 100}};
            if (!Near(ours, expect, 1e-3)) return why = where + "stroke " + ours.dump() + " vs " + expect.dump(), false;
        }
        if (t.contains("vectorOrigination")) {
            json ours = Ours(PSD::LiveShapeJson(l));
            auto const& list = t["vectorOrigination"]["keyDescriptorList"];
            if (ours.size() != list.size()) return why = where + "live shape count", false;
            for (size_t k = 0; k < list.size(); ++k) {
                auto const& b = list[k]["keyOriginShapeBoundingBox"];
                json bounds = {b["left"]["value"], b["top"]["value"], b["right"]["value"], b["bottom"]["value"]};
                int type = list[k]["keyOriginType"];
                int stored = type == 5 ? 3 : (type == 1 || type == 2 || type == 4) ? type : 0;
                if (!Near(ours[k]["bounds"], bounds, 1e-4) || ours[k]["origin_type"] != stored)
                    return why = where + "live shape " + ours[k].dump(), false;
            }
        }
    }
    return true;
}

Outcome CheckVector(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    json rich = ReadJsonFile(d.fullPath + ".rich.json");
    bool any = false;
    auto const& layers = d.doc->m_layers;
    for (size_t i = 0; i < layers.size(); ++i) {
        PSD::PSDLayer const& l = *layers[i];
        std::string where = "layer " + std::to_string(i) + " ";
        json const* theirs = nullptr;
        if (rich.is_object() && rich.contains("layers"))
            for (auto const& r : rich["layers"])
                if (r.value("index", -1) == int(i) && r.contains("vector_mask")) theirs = &r["vector_mask"];
        if (!l.m_vectorMask && !l.m_vectorStroke && l.m_vectorOrigination.empty() && !theirs) continue;
        any = true;
        if (theirs) {
            if (!l.m_vectorMask) return why = where + "no vector mask read", Outcome::Mismatch;
            json ours = Ours(PSD::VectorMaskJson(l));
            for (char const* flag : {"invert", "not_linked", "disable"})
                if (theirs->contains(flag) && ours[flag] != (*theirs)[flag])
                    return why = where + flag, Outcome::Mismatch;
            if (!Near(ours["subpaths"], (*theirs)["subpaths"], 2e-6))
                return why = where + "subpaths: ours " + ours["subpaths"].dump().substr(0, 300) + ", reference " +
                             (*theirs)["subpaths"].dump().substr(0, 300),
                       Outcome::Mismatch;
        }
        if (!CheckModel(d, l, why)) return why = where + why, Outcome::Mismatch;
        std::string reason;
        if (!BoundsFit(l, reason)) {
            if (reason.empty()) return why = where + "outline bounds do not fit the layer rectangle", Outcome::Mismatch;
            if (std::getenv("ZUZODORIV_VECTOR_BOUNDS")) std::fprintf(stderr, "bounds %s %s %s\n", d.path.c_str(), where.c_str(), reason.c_str());
        }
    }
    for (auto const& p : d.doc->m_paths)
        if (p && !p->m_outline) return why = "saved path without outline", Outcome::Mismatch;
    if (!CheckAgPsd(d, why)) return Outcome::Mismatch;
    return any || !d.doc->m_paths.empty() ? Outcome::Match : Outcome::NotApplicable;
}

AspectRegistrar s_vector({"vector", 67, CheckVector});

}  // namespace
}  // namespace corpus
