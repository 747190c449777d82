// Descriptor trees and engine data as JSON: the one form every view of them shares.
#include "psd/descriptor/DescriptorJson.h"

namespace PSD {

namespace {

std::string Base64(uint8_t const* bytes, size_t size) {
    static char const kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (i + 1 < size) v |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < size) v |= bytes[i + 2];
        // A group of r bytes gives r + 1 digits, padded to four.
        size_t digits = std::min<size_t>(size - i, 3) + 1;
        for (size_t k = 0; k < 4; ++k) out += k < digits ? kDigits[v >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

using ojson = nlohmann::ordered_json;

ojson KeyJson(DescriptorKey const& k) {
    return std::string(k.ToString());
}

ojson ReferenceJson(ReferenceItem const& r) {
    ojson o = {{"form", r.GetTypeString()},
               {"className", std::string(r.m_className)},
               {"classKey", KeyJson(r.m_classKey)}};
    if (auto const* p = dynamic_cast<ReferenceItemProperty const*>(&r))
        o["property"] = KeyJson(p->m_property);
    if (auto const* e = dynamic_cast<ReferenceItemEnumerated const*>(&r)) {
        o["enumType"] = KeyJson(e->m_enum.m_type);
        o["enumValue"] = KeyJson(e->m_enum.m_value);
    }
    if (auto const* off = dynamic_cast<ReferenceItemOffset const*>(&r))
        o["offset"] = off->m_offset;
    return o;
}

ojson ValueJson(DescriptorItem const& item) {
    switch (item.GetType()) {
        case DescriptorItem::kReference: {
            ojson arr = ojson::array();
            for (auto const& r : static_cast<DescriptorItemReference const&>(item).m_items)
                arr.push_back(ReferenceJson(*r));
            return arr;
        }
        case DescriptorItem::kDescriptor:
            return DescriptorJson(static_cast<DescriptorItemDescriptor const&>(item).m_descriptor);
        case DescriptorItem::kList: {
            ojson arr = ojson::array();
            for (auto const& e : static_cast<DescriptorItemList const&>(item).m_items)
                arr.push_back({{"type", e->GetTypeString()}, {"value", ValueJson(*e)}});
            return arr;
        }
        case DescriptorItem::kDouble:
            return static_cast<DescriptorItemDouble const&>(item).m_value;
        case DescriptorItem::kUnitFloat: {
            auto const& u = static_cast<DescriptorItemUnitFloat const&>(item);
            return {{"unit", std::string(DescriptorItemUnitFloat::UnitTypeToString(u.m_unit))},
                    {"value", u.m_value}};
        }
        case DescriptorItem::kString:
            return std::string(static_cast<DescriptorItemString const&>(item).m_value);
        case DescriptorItem::kEnum: {
            auto const& e = static_cast<DescriptorItemEnum const&>(item);
            return {{"type", KeyJson(e.m_value.m_type)}, {"value", KeyJson(e.m_value.m_value)}};
        }
        case DescriptorItem::kInteger:
            return static_cast<DescriptorItemInteger const&>(item).m_value;
        case DescriptorItem::kBool:
            return static_cast<DescriptorItemBool const&>(item).m_value;
        case DescriptorItem::kClass: {
            auto const& c = static_cast<DescriptorItemClass const&>(item);
            return {{"name", std::string(c.m_name)}, {"classID", KeyJson(c.m_classID)}};
        }
        case DescriptorItem::kAliasData:
            return {{"size", static_cast<DescriptorItemAliasData const&>(item).GetSize()}};
        case DescriptorItem::kPDFData: {
            // Other raw data than engine data is given whole.
            auto const& p = static_cast<DescriptorItemPDFData const&>(item);
            if (auto tree = p.GetEngineData()) return EngineDataJson(tree.Get());
            return {{"size", p.GetSize()}, {"base64", Base64(p.GetData(), size_t(p.GetSize()))}};
        }
    }
    return nullptr;
}

}  // namespace


nlohmann::ordered_json EngineDataJson(PDFData const* v) {
    if (!v) return nullptr;
    if (auto const* d = dynamic_cast<PDFDictionary const*>(v)) {
        ojson o = ojson::object();
        for (auto const& item : d->m_items)
            if (!o.contains(std::string(item.m_key)))
                o[std::string(item.m_key)] = EngineDataJson(item.m_value.Get());
        return o;
    }
    if (auto const* a = dynamic_cast<PDFArray const*>(v)) {
        ojson arr = ojson::array();
        for (auto const& e : a->m_items) arr.push_back(EngineDataJson(e.Get()));
        return arr;
    }
    if (auto const* n = dynamic_cast<PDFName const*>(v)) return "/" + std::string(n->m_name);
    if (auto const* s = dynamic_cast<PDFString const*>(v)) return std::string(s->GetString());
    if (auto const* i = dynamic_cast<PDFInt const*>(v)) return i->m_value;
    if (auto const* f = dynamic_cast<PDFDouble const*>(v)) return f->m_value;
    return nullptr;
}

nlohmann::ordered_json DescriptorJson(Descriptor const& d) {
    ojson items = ojson::array();
    for (auto const& i : d.m_items)
        items.push_back({{"key", KeyJson(i.m_key)},
                         {"type", i.m_item->GetTypeString()},
                         {"value", ValueJson(*i.m_item)}});
    ojson o = {{"class", KeyJson(d.m_classID)}};
    if (!d.m_name.empty()) o["name"] = std::string(d.m_name);
    o["items"] = items;
    return o;
}


}  // namespace PSD
