#include "psd/file/PSDSmartObjectJson.h"

#include "psd/file/PSDLinkedData.h"

namespace PSD {

char const* LinkedKindName(uint32_t kind) {
    if (kind == Key("liFD")) return "embedded";
    if (kind == Key("liFE")) return "linked";
    if (kind == Key("liFA")) return "alias";
    return nullptr;
}

char const* LinkedContentName(PSDSmartObjectData const& data) {
    switch (data.GetContent()) {
        case PSDSmartObjectData::Content::Document: return "document";
        case PSDSmartObjectData::Content::Bitmap: return "image";
        default: return "other";
    }
}

nlohmann::ordered_json SmartObjectJson(PSDSmartObject const& object, PSDFile const* doc) {
    nlohmann::ordered_json j;
    j["id"] = std::string(object.m_uniqueId);
    char const* kind = nullptr;
    if (doc)
        if (auto data = doc->GetLinkedLayerData(object.m_uniqueId)) kind = LinkedKindName(data->m_kind);
    if (!kind && object.m_layerDataKey == Key("SoLE")) kind = "linked";
    if (kind) j["kind"] = kind;
    j["transform"] = object.m_transform;
    if (object.m_page >= 0) j["page"] = object.m_page;
    if (object.m_width > 0 && object.m_height > 0) {
        j["width"] = object.m_width;
        j["height"] = object.m_height;
    }
    return j;
}

nlohmann::ordered_json LinkedDataJson(PSDFile const& doc) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (auto const& record : doc.GetLinkedRecords()) {
        // A later record of the same identifier replaced this one.
        if (doc.GetLinkedLayerData(record->m_uniqueId) != record) continue;
        nlohmann::ordered_json j;
        j["id"] = std::string(record->m_uniqueId);
        j["kind"] = LinkedContentName(*record);
        j["file_name"] = std::string(record->m_fileName);
        j["file_type"] = std::string(KeyToString(record->m_fileType));
        j["size"] = record->GetSize();
        if (uint32_t w = record->GetWidth()) {
            j["width"] = w;
            j["height"] = record->GetHeight();
        }
        list.push_back(std::move(j));
    }
    return list;
}

}  // namespace PSD
