// Aspect "smartobjects": every placed layer of the rich reference has its smart object with the
// reference's identifier, transform and file kind; the placed layers of the other reader's test
// cases match its data.json; every embedded file decodes or says why it is kept as bytes.
#include <cmath>
#include <fstream>

#include "psd/file/PSDLinkedData.h"
#include "psd/layer/PSDLayer.h"
#include "psd/layer/PSDSmartObject.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

using nlohmann::json;

bool SameCorners(std::array<double, 8> const& ours, json const& theirs) {
    if (!theirs.is_array() || theirs.size() != 8) return false;
    for (size_t i = 0; i < 8; ++i)
        if (std::fabs(ours[i] - theirs[i].get<double>()) > 1e-6) return false;
    return true;
}

// The reference reader prefers the newer block's transform.
std::array<double, 8> const& ReferenceTransform(PSD::PSDSmartObject const& o) {
    return o.m_hasLayerDataTransform ? o.m_layerDataTransform : o.m_transform;
}

// The placed layers of a data.json tree, in any order.
void CollectPlaced(json const& node, std::vector<json>& out) {
    if (!node.is_object()) return;
    if (node.contains("placedLayer")) out.push_back(node["placedLayer"]);
    for (auto const& c : node.value("children", json::array())) CollectPlaced(c, out);
}

bool IsOtherReaderCase(std::string const& path) {
    static char const* const kCases[] = {"/placed-transform/", "/smart-object", "/smart-filter-blur/",
                                         "/alias/"};
    // data.json describes the case's src.psd, not the files extracted beside it.
    if (path.rfind("ag-psd/test/read/", 0) != 0 || path.find("/src.ps") == std::string::npos) return false;
    for (char const* c : kCases)
        if (path.find(c) != std::string::npos) return true;
    return false;
}

Outcome CheckSmartObjects(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    auto const& layers = d.doc->m_layers;
    bool checked = false;
    json rich = ReadJsonFile(d.fullPath + ".rich.json");
    if (rich.is_object())
        for (auto const& l : rich.value("layers", json::array())) {
            if (!l.contains("smart_object")) continue;
            checked = true;
            size_t i = l.value("index", size_t(0));
            std::string where = "layer " + std::to_string(i) + ": ";
            auto object = i < layers.size() ? layers[i]->GetSmartObject() : nullptr;
            if (!object) return why = where + "no smart object", Outcome::Mismatch;
            auto const& so = l["smart_object"];
            if (std::string(object->m_uniqueId) != so.value("id", ""))
                return why = where + "id " + std::string(object->m_uniqueId) + ", reference " +
                             so.value("id", ""), Outcome::Mismatch;
            if (so.contains("transform") && !SameCorners(ReferenceTransform(*object), so["transform"]))
                return why = where + "transform differs", Outcome::Mismatch;
            auto data = d.doc->GetLinkedLayerData(object->m_uniqueId);
            if (so.value("kind", json()).is_string()) {
                std::string kind = so["kind"] == "external" ? "liFE" : so["kind"] == "alias" ? "liFA" : "liFD";
                if (!data || std::string(PSD::KeyToString(data->m_kind)) != kind)
                    return why = where + "no linked record of kind " + kind, Outcome::Mismatch;
                if (so.contains("filename") && so["filename"].is_string() &&
                    std::string(data->m_fileName) != so["filename"].get<std::string>())
                    return why = where + "file name " + std::string(data->m_fileName), Outcome::Mismatch;
            }
        }
    if (IsOtherReaderCase(d.path)) {
        json data = ReadJsonFile(d.fullPath.substr(0, d.fullPath.rfind('/')) + "/data.json");
        std::vector<json> placed;
        CollectPlaced(data, placed);
        for (auto const& p : placed) {
            checked = true;
            bool found = false;
            for (auto const& l : layers) {
                auto o = l ? l->GetSmartObject() : nullptr;
                if (o && std::string(o->m_uniqueId) == p.value("id", "") &&
                    (!p.contains("transform") || SameCorners(ReferenceTransform(*o), p["transform"])))
                    found = true;
            }
            if (!found) return why = "data.json placed layer " + p.value("id", "") + " not found", Outcome::Mismatch;
        }
    }
    for (auto const& record : d.doc->GetLinkedRecords()) {
        if (record->m_kind != PSD::Key("liFD")) continue;
        checked = true;
        if (record->GetContent() == PSD::PSDSmartObjectData::Content::Bytes && record->GetReason().empty())
            return why = "embedded " + std::string(record->m_uniqueId) + " kept without a reason", Outcome::Mismatch;
        if (record->GetContent() == PSD::PSDSmartObjectData::Content::Bitmap && !record->GetBitmap())
            return why = "embedded " + std::string(record->m_uniqueId) + " does not decode: " +
                         record->GetReason(), Outcome::Mismatch;
    }
    return checked ? Outcome::Match : Outcome::NotApplicable;
}

AspectRegistrar s_smartObjects({"smartobjects", 60, CheckSmartObjects});

}  // namespace
}  // namespace corpus
