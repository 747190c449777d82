#include "psd/layer/PSDSmartObject.h"

#include <cstring>

#include "psd/io/PSDIO.h"
#include "psd/io/PSDResourceIO.h"

namespace PSD {

namespace {

constexpr size_t kIdentifierLength = 36;

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

// ---- Moving

namespace {

void MoveCorners(std::array<double, 8>& corners, double dx, double dy) {
    for (size_t i = 0; i < 8; i += 2) corners[i] += dx, corners[i + 1] += dy;
}

// Adds (dx, dy) to eight stored corner coordinates (x, y alternating), stride bytes apart.
void MoveStoredDoubles(uint8_t* first, size_t stride, ByteOrderFixer const& f, double dx, double dy) {
    for (size_t i = 0; i < 8; ++i) {
        double x;
        std::memcpy(&x, first + i * stride, 8);
        x = f.Fix(f.Fix(x) + (i % 2 ? dy : dx));
        std::memcpy(first + i * stride, &x, 8);
    }
}

// Adds (dx, dy) to the eight doubles of every list under key in a descriptor body: the key,
// "VlLs", a count of 8, then eight "doub" items.
void MoveCornerLists(std::vector<uint8_t>& body, DescriptorKey const& key, ByteOrderFixer const& f,
                     double dx, double dy) {
    auto prefix = Kernel::MemoryInOutStreamBase::Create();
    auto doub = Kernel::MemoryInOutStreamBase::Create();
    if (!key.Save(*prefix, f) || !WriteKey(*prefix, Key("VlLs"), f) ||
        !WriteValue<uint32_t>(*prefix, 8, f) || !WriteKey(*doub, Key("doub"), f))
        return;
    auto const& p = prefix->GetData();
    auto const& d = doub->GetData();
    size_t const item = d.size() + 8;
    for (size_t at = 0; at + p.size() + 8 * item <= body.size(); ++at) {
        if (std::memcmp(body.data() + at, p.data(), p.size()) != 0) continue;
        uint8_t* values = body.data() + at + p.size();
        bool doubles = true;
        for (size_t i = 0; i < 8 && doubles; ++i)
            doubles = std::memcmp(values + i * item, d.data(), d.size()) == 0;
        if (!doubles) continue;
        MoveStoredDoubles(values + d.size(), item, f, dx, dy);
        at += p.size() + 8 * item - 1;
    }
}

}  // namespace

void PSDSmartObject::MoveBy(double dx, double dy) {
    MoveCorners(m_transform, dx, dy);
    if (m_hasLayerDataTransform) MoveCorners(m_layerDataTransform, dx, dy);
    if (m_hasNonAffineTransform) MoveCorners(m_nonAffineTransform, dx, dy);
    m_moved.x += dx, m_moved.y += dy;
}

bool PSDSmartObject::HoldsCorners(uint32_t key) {
    return key == Key("PlLd") || key == Key("SoLd") || key == Key("SoLE");
}

void PSDSmartObject::MoveStoredCorners(uint32_t key, ByteOrderFixer const& f,
                                       std::vector<uint8_t>& body) const {
    if (!HoldsCorners(key) || !IsMoved()) return;
    double dx = m_moved.x, dy = m_moved.y;
    // The old record: type, version, identifier, four words, then the corners.
    if (key == Key("PlLd") && body.size() >= 9) {
        uint32_t version;
        std::memcpy(&version, body.data() + 4, 4);
        if (f.Fix(version) == 3) {
            size_t at = 8 + 1 + body[8] + 16;
            if (at + 64 <= body.size()) MoveStoredDoubles(body.data() + at, 8, f, dx, dy);
            return;
        }
    }
    MoveCornerLists(body, DescriptorKey::Code(Key("Trnf")), f, dx, dy);
    MoveCornerLists(body, DescriptorKey::Name(String("nonAffineTransform")), f, dx, dy);
}

}  // namespace PSD
