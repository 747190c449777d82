#include "psd/layer/PSDSmartObject.h"

#include <cstring>

#include "psd/io/PSDResourceIO.h"

namespace PSD {

namespace {

constexpr size_t kIdentifierLength = 36;

// Length byte, then the bytes, without padding.
[[nodiscard]] bool ReadShortPascal(Kernel::InStream& stream, String& out, PSDLoadData& ld) {
    uint8_t n;
    if (!ReadValue(stream, n, ld)) return false;
    std::string bytes(n, '\0');
    if (n && !ReadBytes(stream, bytes.data(), n, ld)) return false;
    // Identifiers are ASCII; any other byte is taken as Latin-1 so the text stays valid UTF-8.
    out.clear();
    for (unsigned char c : bytes) Kernel::AppendUtf8(out, c);
    return true;
}

// An item by its key: four characters are stored as a code, longer keys by name.
Kernel::Counted<DescriptorItem const> ItemOf(Descriptor const& d, char const* key) {
    if (std::strlen(key) == 4)
        return d.GetItem(unsigned(uint32_t(uint8_t(key[0])) << 24 | uint32_t(uint8_t(key[1])) << 16 |
                                  uint32_t(uint8_t(key[2])) << 8 | uint8_t(key[3])));
    return d.GetItem(key);
}
template <class T>
T const* As(Descriptor const& d, char const* key, Kernel::Counted<DescriptorItem const>& hold) {
    hold = ItemOf(d, key);
    return dynamic_cast<T const*>(hold.Get());
}

// Eight doubles of a list, or false when the list holds anything else.
bool ReadCorners(Descriptor const& d, char const* name, std::array<double, 8>& out) {
    Kernel::Counted<DescriptorItem const> hold;
    auto const* list = As<DescriptorItemList>(d, name, hold);
    if (!list || list->m_items.size() != 8) return false;
    for (size_t i = 0; i < 8; ++i) {
        auto const* v = dynamic_cast<DescriptorItemDouble const*>(list->m_items[i].Get());
        if (!v) return false;
        out[i] = v->m_value;
    }
    return true;
}

double NumberOf(Kernel::Counted<DescriptorItem const> const& item, double fallback) {
    if (auto const* d = dynamic_cast<DescriptorItemDouble const*>(item.Get())) return d->m_value;
    if (auto const* u = dynamic_cast<DescriptorItemUnitFloat const*>(item.Get())) return u->m_value;
    if (auto const* i = dynamic_cast<DescriptorItemInteger const*>(item.Get())) return i->m_value;
    return fallback;
}

// A whole number stored as any number item; fallback when absent or outside 32 bits.
int32_t IntegerOf(Kernel::Counted<DescriptorItem const> const& item, int32_t fallback) {
    double v = NumberOf(item, fallback);
    return v >= -2147483648.0 && v <= 2147483647.0 ? int32_t(v) : fallback;
}

// A 37-character identifier carries one character too many (its terminating zero).
String CutIdentifier(String const& id) {
    size_t characters = 0;
    for (size_t i = 0; i < id.size(); ++i)
        if ((static_cast<unsigned char>(id[i]) & 0xC0) != 0x80 && ++characters > kIdentifierLength)
            return String(id.substr(0, i));
    return id;
}

[[nodiscard]] bool ReadTypeAndVersion(Kernel::InStreamSeekable& stream, uint32_t& type,
                                      uint32_t& version, ParseData& pd) {
    return ReadKey(stream, type, pd) && ReadValue(stream, version, pd);
}

}  // namespace

bool PSDSmartObject::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t type, version;
    if (!ReadTypeAndVersion(stream, type, version, pd)) return false;
    if (type != Key("plcL") && type != Key("soLD")) return false;
    if (version != 3 && version != 4) return false;
    m_type = type;
    m_version = version;
    if (version == 4) {
        Descriptor d;
        if (!d.Parse(stream, pd)) return false;
        Kernel::Counted<DescriptorItem const> hold;
        auto const* id = As<DescriptorItemString>(d, "Idnt", hold);
        if (!id || !ReadCorners(d, "Trnf", m_transform)) return false;
        m_uniqueId = CutIdentifier(id->m_value);
        m_page = IntegerOf(ItemOf(d, "PgNm"), -1);
        m_totalPages = IntegerOf(ItemOf(d, "totalPages"), -1);
        m_placed = std::move(d);
        m_hasPlaced = true;
        return true;
    }
    if (!ReadShortPascal(stream, m_uniqueId, pd)) return false;
    m_uniqueId = CutIdentifier(m_uniqueId);
    if (!ReadValue(stream, m_page, pd) || !ReadValue(stream, m_totalPages, pd) ||
        !ReadValue(stream, m_antiAlias, pd) || !ReadValue(stream, m_placedLayerType, pd))
        return false;
    if (m_placedLayerType != 2) return false;
    for (double& v : m_transform)
        if (!ReadValue(stream, v, pd)) return false;
    m_hasPlaced = true;
    // The warp that follows is kept when it reads; the record stands without it.
    ParseData scratch = pd;
    scratch.m_report = PSDReport();
    uint32_t warpVersion;
    Descriptor warp;
    if (ReadValue(stream, warpVersion, scratch) && warp.Parse(stream, scratch)) {
        m_warp = std::move(warp);
        m_hasWarp = true;
    }
    return true;
}

bool PSDSmartObject::ParseLayerData(uint32_t key, Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t type, version;
    if (!ReadTypeAndVersion(stream, type, version, pd)) return false;
    if (type != Key("soLD") || (version != 4 && version != 5)) return false;
    // Items before one the descriptor reader does not know still count; the block itself is
    // written back as stored.
    Descriptor d;
    ParseData scratch = pd;
    scratch.m_report = PSDReport();
    (void)d.Parse(stream, scratch);
    Kernel::Counted<DescriptorItem const> hold;
    auto const* id = As<DescriptorItemString>(d, "Idnt", hold);
    if (!id) return false;
    m_layerDataKey = key;
    m_layerDataVersion = version;
    m_layerDataId = CutIdentifier(id->m_value);
    m_hasLayerDataTransform = ReadCorners(d, "Trnf", m_layerDataTransform);
    m_hasNonAffineTransform = ReadCorners(d, "nonAffineTransform", m_nonAffineTransform);
    Kernel::Counted<DescriptorItem const> item;
    if (auto const* size = As<DescriptorItemDescriptor>(d, "Sz  ", item)) {
        m_width = NumberOf(ItemOf(size->GetDescriptor(), "Wdth"), 0.0);
        m_height = NumberOf(ItemOf(size->GetDescriptor(), "Hght"), 0.0);
    }
    m_crop = IntegerOf(ItemOf(d, "Crop"), -1);
    if (auto const* warp = As<DescriptorItemDescriptor>(d, "warp", item)) {
        m_warp = warp->GetDescriptor();
        m_hasWarp = true;
    }
    for (char const* name : {"filePath", "fullPath", "relPath", "originalPath"})
        if (auto const* path = As<DescriptorItemString>(d, name, item)) {
            m_externalFile = path->m_value;
            break;
        }
    // A "PlLd" read first keeps its identifier and transform; alone, this block gives them.
    if (!m_hasPlaced) {
        m_uniqueId = m_layerDataId;
        if (m_hasLayerDataTransform) m_transform = m_layerDataTransform;
        m_page = IntegerOf(ItemOf(d, "PgNm"), -1);
        m_totalPages = IntegerOf(ItemOf(d, "totalPages"), -1);
    }
    m_layerData = std::move(d);
    return true;
}

}  // namespace PSD
