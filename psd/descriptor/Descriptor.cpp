#include "psd/descriptor/Descriptor.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "psd/report/DebugTrace.h"

namespace PSD {

namespace {

// Strings, names and byte blocks are read in pieces of this size, so a declared length larger
// than the data fails as a short read before much is allocated.
constexpr size_t kChunk = 64 * 1024;
// Real descriptors nest a handful of levels; hostile input could nest until the stack runs out.
constexpr int kMaxDepth = 200;

thread_local int t_depth = 0;

class DepthGuard {
public:
    DepthGuard() { ++t_depth; }
    ~DepthGuard() { --t_depth; }
    bool TooDeep() const { return t_depth > kMaxDepth; }
};

// A declared byte count that the stream cannot hold is a short read, found before allocating.
bool CheckRemaining(Kernel::InStreamSeekable& s, uint64_t bytes, PSDLoadData& ld) {
    if (s.GetSize() != Kernel::kUnknownSize && bytes > s.GetRemaining()) {
        ld.m_report.ErrorTruncated();
        return false;
    }
    return true;
}

// Reads n bytes, growing the output as the data arrives.
bool ReadGrowing(Kernel::InStream& s, uint64_t n, std::vector<uint8_t>& out, PSDLoadData& ld) {
    out.clear();
    try {
        while (n > 0) {
            size_t k = size_t(std::min<uint64_t>(n, kChunk));
            size_t at = out.size();
            out.resize(at + k);
            if (!ReadBytes(s, out.data() + at, k, ld)) return false;
            n -= k;
        }
    } catch (std::bad_alloc const&) {
        ld.m_report.ErrorAlloc();
        return false;
    }
    return true;
}

// Count of UTF-16 units, then the units; every unit is kept, a trailing zero included.
[[nodiscard]] bool ReadUnicodeString(Kernel::InStream& s, String& out, PSDLoadData& ld) {
    uint32_t count;
    if (!ReadValue(s, count, ld)) return false;
    if (auto* seekable = dynamic_cast<Kernel::InStreamSeekable*>(&s))
        if (!CheckRemaining(*seekable, uint64_t(count) * 2, ld)) return false;
    std::u16string units;
    ByteOrderFixer fixer = ld.Fixer();
    char16_t buf[2048];
    uint64_t left = count;
    while (left > 0) {
        size_t k = size_t(std::min<uint64_t>(left, sizeof buf / sizeof buf[0]));
        if (!ReadBytes(s, buf, k * 2, ld)) return false;
        for (size_t i = 0; i < k; ++i) units.push_back(fixer.Fix(buf[i]));
        left -= k;
    }
    out = Kernel::ConvertEnc(units);
    return true;
}

[[nodiscard]] bool WriteUnicodeString(Kernel::OutStream& s, String const& text,
                                      ByteOrderFixer const& fixer) {
    Kernel::String16 units = Kernel::ConvertEnc(std::string_view(text));
    if (units.size() > UINT32_MAX) return false;
    if (!WriteValue(s, uint32_t(units.size()), fixer)) return false;
    for (char16_t u : units)
        if (!WriteValue(s, uint16_t(u), fixer)) return false;
    return true;
}

[[nodiscard]] bool ReadCode(Kernel::InStream& s, uint32_t& code, PSDLoadData& ld) {
    return ReadValue(s, code, ld);
}

[[nodiscard]] bool WriteCode(Kernel::OutStream& s, uint32_t code, ByteOrderFixer const& fixer) {
    return WriteValue(s, code, fixer);
}

// Byte blocks: a 32-bit count, then the bytes.
[[nodiscard]] bool ReadByteBlock(Kernel::InStreamSeekable& s, uint64_t& size,
                                 std::vector<uint8_t>& buffer, PSDLoadData& ld) {
    uint32_t count;
    if (!ReadValue(s, count, ld)) return false;
    if (count != 0) {
        if (!CheckRemaining(s, count, ld)) return false;
        if (!ReadGrowing(s, count, buffer, ld)) return false;
    } else {
        buffer.clear();
    }
    size = count;
    return true;
}

[[nodiscard]] bool WriteByteBlock(Kernel::OutStream& s, ByteOrderFixer const& fixer, uint32_t tag,
                                  uint64_t size, std::vector<uint8_t> const& buffer) {
    if (size > UINT32_MAX || size > buffer.size()) return false;
    if (!WriteCode(s, tag, fixer) || !WriteValue(s, uint32_t(size), fixer)) return false;
    return size == 0 || s.Write(buffer.data(), size_t(size));
}

struct UnitEntry {
    uint32_t code;
    DescriptorItemUnitFloat::UnitType unit;
    char const* name;
    char const* dump;
};

constexpr UnitEntry kUnits[] = {
    {Key("#Nne"), DescriptorItemUnitFloat::None, "None", " unittype=none"},
    {Key("#Ang"), DescriptorItemUnitFloat::Angle, "Angle", " unittype=angle"},
    {Key("#Rsl"), DescriptorItemUnitFloat::Density, "Density", " unittype=density"},
    {Key("#Rlt"), DescriptorItemUnitFloat::Distance, "Distance", " unittype=distance"},
    {Key("#Prc"), DescriptorItemUnitFloat::Percent, "Percent", " unittype=percent"},
    {Key("#Pxl"), DescriptorItemUnitFloat::Pixels, "Pixels", " unittype=pixels"},
    {Key("#Pnt"), DescriptorItemUnitFloat::Points, "Points", " unittype=points"},
    {Key("#Mlm"), DescriptorItemUnitFloat::MM, "MM", " unittype=mm"},
    {Key("RrCm"), DescriptorItemUnitFloat::CM, "CM", " unittype=cm"},
    {Key("RrIn"), DescriptorItemUnitFloat::Inch, "Inch", " unittype=in"},
};

template <class T>
Kernel::Counted<DescriptorItem> MakeItem() {
    return Kernel::Counted<DescriptorItem>(new T);
}

struct TagEntry {
    uint32_t tag;
    Kernel::Counted<DescriptorItem> (*make)();
};

constexpr TagEntry kTags[] = {
    {Key("obj "), MakeItem<DescriptorItemReference>},
    {Key("Objc"), MakeItem<DescriptorItemDescriptor>},
    {Key("GlbO"), MakeItem<DescriptorItemDescriptor>},
    {Key("VlLs"), MakeItem<DescriptorItemList>},
    {Key("doub"), MakeItem<DescriptorItemDouble>},
    {Key("UntF"), MakeItem<DescriptorItemUnitFloat>},
    {Key("TEXT"), MakeItem<DescriptorItemString>},
    {Key("enum"), MakeItem<DescriptorItemEnum>},
    {Key("long"), MakeItem<DescriptorItemInteger>},
    {Key("bool"), MakeItem<DescriptorItemBool>},
    {Key("type"), MakeItem<DescriptorItemClass>},
    {Key("GlbC"), MakeItem<DescriptorItemClass>},
    {Key("alis"), MakeItem<DescriptorItemAliasData>},
    {Key("tdta"), MakeItem<DescriptorItemPDFData>},
};

template <class T>
Kernel::Counted<ReferenceItem> MakeReference() {
    return Kernel::Counted<ReferenceItem>(new T);
}

struct ReferenceEntry {
    uint32_t tag;
    Kernel::Counted<ReferenceItem> (*make)();
};

constexpr ReferenceEntry kReferenceForms[] = {
    {Key("prop"), MakeReference<ReferenceItemProperty>},
    {Key("Clss"), MakeReference<ReferenceItemClass>},
    {Key("Enmr"), MakeReference<ReferenceItemEnumerated>},
    {Key("rele"), MakeReference<ReferenceItemOffset>},
};

}  // namespace

void DebugDumpKey(unsigned int code) {
    char b[4] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
    DebugTrace(std::string_view(b, 4));
}

// ---- DescriptorKey

String DescriptorKey::ToString() const {
    return m_code != 0 ? KeyToString(m_code) : m_name;
}

bool DescriptorKey::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t length;
    if (!ReadValue(stream, length, pd)) return false;
    if (length == 0) return ReadCode(stream, m_code, pd);
    if (!CheckRemaining(stream, length, pd)) return false;
    std::vector<uint8_t> bytes;
    if (!ReadGrowing(stream, length, bytes, pd)) return false;
    m_name.assign(reinterpret_cast<char const*>(bytes.data()), bytes.size());
    m_code = 0;
    return true;
}

bool DescriptorKey::Save(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const {
    if (m_code != 0)
        return WriteValue(stream, uint32_t(0), fixer) && WriteCode(stream, m_code, fixer);
    if (m_name.empty() || m_name.size() > UINT32_MAX) return false;
    return WriteValue(stream, uint32_t(m_name.size()), fixer) &&
           stream.Write(m_name.data(), m_name.size());
}

void DescriptorKey::DebugDump() const {
    DebugTrace("'");
    if (m_code != 0)
        DebugDumpKey(m_code);
    else
        DebugTrace(m_name);
    DebugTrace("'");
}

// ---- EnumPair

bool EnumPair::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return m_type.Parse(stream, pd) && m_value.Parse(stream, pd);
}

bool EnumPair::Save(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const {
    return m_type.Save(stream, fixer) && m_value.Save(stream, fixer);
}

// ---- Descriptor

bool Descriptor::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t version;
    if (!ReadValue(stream, version, pd)) return false;
    if (version != 16) return false;
    return ParseDesc(stream, pd);
}

bool Descriptor::ParseDesc(Kernel::InStreamSeekable& stream, ParseData& pd) {
    if (!ReadUnicodeString(stream, m_name, pd)) return false;
    if (!m_classID.Parse(stream, pd)) return false;
    uint32_t count;
    if (!ReadValue(stream, count, pd)) return false;
    // The count is only a promise: items are appended as they are actually read.
    for (uint32_t i = 0; i < count; ++i) {
        DescriptorKey key;
        if (!key.Parse(stream, pd)) return false;
        Kernel::Counted<DescriptorItem> item = DescriptorItem::Create(stream, pd);
        if (!item) return false;
        m_items.push_back(Item{std::move(key), std::move(item)});
    }
    return true;
}

bool Descriptor::Save(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const {
    return WriteValue(stream, uint32_t(16), fixer) && SaveDesc(stream, fixer);
}

bool Descriptor::SaveDesc(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const {
    if (!WriteUnicodeString(stream, m_name, fixer) || !m_classID.Save(stream, fixer)) return false;
    if (m_items.size() > UINT32_MAX) return false;
    if (!WriteValue(stream, uint32_t(m_items.size()), fixer)) return false;
    for (auto const& item : m_items) {
        if (!item.m_item || !item.m_key.Save(stream, fixer) || !item.m_item->Save(stream, fixer))
            return false;
    }
    return true;
}

void Descriptor::AddItem(DescriptorKey const& key, Kernel::Counted<DescriptorItem const> item) {
    m_items.push_back(Item{key, std::move(item)});
}

Kernel::Counted<DescriptorItem const> Descriptor::GetItem(unsigned int code) const {
    for (auto const& item : m_items)
        if (item.m_key.m_code == code) return item.m_item;
    return nullptr;
}

Kernel::Counted<DescriptorItem const> Descriptor::GetItem(char const* name) const {
    if (!name) return nullptr;
    size_t n = std::strlen(name);
    for (auto const& item : m_items) {
        String const& k = item.m_key.m_name;
        if (item.m_key.m_code == 0 && k.size() == n && std::memcmp(k.data(), name, n) == 0)
            return item.m_item;
    }
    return nullptr;
}

void Descriptor::DebugDump(int indent) const {
    if (!DebugTraceActive()) return;
    DebugTraceIndent(indent);
    DebugTrace("<descritor key=");
    m_classID.DebugDump();
    if (!m_name.empty())
        DebugTrace(" name=" + DebugQuoted(m_name) + ">\n");
    else
        DebugTrace(">\n");
    for (auto const& item : m_items)
        if (item.m_item) item.m_item->DebugDump(item.m_key, indent + 1);
}

// ---- DescriptorItem

Kernel::Counted<DescriptorItem> DescriptorItem::Create(Kernel::InStreamSeekable& stream,
                                                       ParseData& pd) {
    DepthGuard guard;
    if (guard.TooDeep()) {
        pd.m_report.ErrorParsing();
        return nullptr;
    }
    uint32_t tag;
    if (!ReadCode(stream, tag, pd)) return nullptr;
    auto const* entry = std::find_if(std::begin(kTags), std::end(kTags),
                                     [&](TagEntry const& e) { return e.tag == tag; });
    if (entry == std::end(kTags)) {
        pd.m_report.SetError(PSDError::kUnknownDescriptorType, KeyToString(tag));
        return nullptr;
    }
    Kernel::Counted<DescriptorItem> item = entry->make();
    if (!item->Parse(stream, pd)) return nullptr;
    return item;
}

String DescriptorItem::TypeToString(Type type) {
    static char const* const names[] = {"Reference", "Descriptor", "List",      "Double",
                                        "UnitFloat", "String",     "Enum",      "Integer",
                                        "Bool",      "Class",      "AliasData", "PDFData"};
    return type < sizeof names / sizeof names[0] ? String(names[type]) : String();
}

void DescriptorItem::DebugDump(int indent) const {
    if (!DebugTraceActive()) return;
    DebugTraceIndent(indent);
    DebugTrace(Kernel::FormatString("<%1", {GetTypeString()}));
    PrintValue();
    DebugTrace(">\n");
    PrintChildren(indent + 1);
}

void DescriptorItem::DebugDump(DescriptorKey const& key, int indent) const {
    if (!DebugTraceActive()) return;
    DebugTraceIndent(indent);
    DebugTrace(Kernel::FormatString("<descriptoritem type=%1 key=", {GetTypeString()}));
    key.DebugDump();
    PrintValue();
    DebugTrace(">\n");
    PrintChildren(indent + 1);
}

// ---- Reference

bool ReferenceItem::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadUnicodeString(stream, m_className, pd) && m_classKey.Parse(stream, pd) &&
           ParseI(stream, pd);
}

bool ReferenceItem::Save(Kernel::OutStreamSeekable& stream, ByteOrderFixer const& fixer) const {
    return WriteCode(stream, GetFormTag(), fixer) &&
           WriteUnicodeString(stream, m_className, fixer) && m_classKey.Save(stream, fixer) &&
           SaveI(stream, fixer);
}

void ReferenceItem::DebugDump(int indent) const {
    if (!DebugTraceActive()) return;
    DebugTraceIndent(indent);
    DebugTrace(Kernel::FormatString("<type=%1 className=%2 classkey=",
                                    {GetTypeString(), DebugQuoted(m_className)}));
    m_classKey.DebugDump();
    PrintValue();
    DebugTrace(">\n");
}

bool ReferenceItemProperty::ParseI(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return m_property.Parse(stream, pd);
}
bool ReferenceItemProperty::SaveI(Kernel::OutStreamSeekable& stream,
                                  ByteOrderFixer const& fixer) const {
    return m_property.Save(stream, fixer);
}
void ReferenceItemProperty::PrintValue() const {
    DebugTrace(" classid=");
    m_property.DebugDump();
}

bool ReferenceItemEnumerated::ParseI(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return m_enum.Parse(stream, pd);
}
bool ReferenceItemEnumerated::SaveI(Kernel::OutStreamSeekable& stream,
                                    ByteOrderFixer const& fixer) const {
    return m_enum.Save(stream, fixer);
}
void ReferenceItemEnumerated::PrintValue() const {
    DebugTrace(" enumtype=");
    m_enum.m_type.DebugDump();
    DebugTrace(" enumvalue=");
    m_enum.m_value.DebugDump();
}

bool ReferenceItemOffset::ParseI(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadValue(stream, m_offset, pd);
}
bool ReferenceItemOffset::SaveI(Kernel::OutStreamSeekable& stream,
                                ByteOrderFixer const& fixer) const {
    return WriteValue(stream, m_offset, fixer);
}
void ReferenceItemOffset::PrintValue() const {
    DebugTrace(Kernel::FormatString(" offset=%1", {Kernel::ToString(int64_t(m_offset))}));
}

bool DescriptorItemReference::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t count;
    if (!ReadValue(stream, count, pd)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t tag;
        if (!ReadCode(stream, tag, pd)) return false;
        auto const* entry = std::find_if(std::begin(kReferenceForms), std::end(kReferenceForms),
                                         [&](ReferenceEntry const& e) { return e.tag == tag; });
        if (entry == std::end(kReferenceForms)) {
            pd.m_report.SetError(PSDError::kUnknownDescriptorReferenceType,
                                 KeyToString(tag));
            return false;
        }
        Kernel::Counted<ReferenceItem> element;
        try {
            element = entry->make();
        } catch (std::bad_alloc const&) {
            pd.m_report.ErrorAlloc();
            return false;
        }
        if (!element->Parse(stream, pd)) return false;
        m_items.push_back(std::move(element));
    }
    return true;
}

bool DescriptorItemReference::Save(Kernel::OutStreamSeekable& stream,
                                   ByteOrderFixer const& fixer) const {
    if (m_items.size() > UINT32_MAX) return false;
    if (!WriteCode(stream, Key("obj "), fixer) ||
        !WriteValue(stream, uint32_t(m_items.size()), fixer))
        return false;
    for (auto const& element : m_items)
        if (!element || !element->Save(stream, fixer)) return false;
    return true;
}

void DescriptorItemReference::PrintChildren(int indent) const {
    for (auto const& element : m_items)
        if (element) element->DebugDump(indent);
}

// ---- Nested descriptor

bool DescriptorItemDescriptor::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    m_descriptor = Descriptor();
    return m_descriptor.ParseDesc(stream, pd);
}

bool DescriptorItemDescriptor::Save(Kernel::OutStreamSeekable& stream,
                                    ByteOrderFixer const& fixer) const {
    return WriteCode(stream, Key("Objc"), fixer) && m_descriptor.SaveDesc(stream, fixer);
}

void DescriptorItemDescriptor::PrintChildren(int indent) const {
    m_descriptor.DebugDump(indent);
}

// ---- List

bool DescriptorItemList::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t count;
    if (!ReadValue(stream, count, pd)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        Kernel::Counted<DescriptorItem> item = DescriptorItem::Create(stream, pd);
        if (!item) return false;
        m_items.push_back(std::move(item));
    }
    return true;
}

bool DescriptorItemList::Save(Kernel::OutStreamSeekable& stream,
                              ByteOrderFixer const& fixer) const {
    if (m_items.size() > UINT32_MAX) return false;
    if (!WriteCode(stream, Key("VlLs"), fixer) ||
        !WriteValue(stream, uint32_t(m_items.size()), fixer))
        return false;
    for (auto const& item : m_items)
        if (!item || !item->Save(stream, fixer)) return false;
    return true;
}

void DescriptorItemList::PrintChildren(int indent) const {
    for (auto const& item : m_items)
        if (item) item->DebugDump(indent);
}

// ---- Scalars

bool DescriptorItemDouble::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadValue(stream, m_value, pd);
}
bool DescriptorItemDouble::Save(Kernel::OutStreamSeekable& stream,
                                ByteOrderFixer const& fixer) const {
    return WriteCode(stream, Key("doub"), fixer) && WriteValue(stream, m_value, fixer);
}
void DescriptorItemDouble::PrintValue() const {
    DebugTrace(Kernel::FormatString(" value=%1", {Kernel::ToString(m_value)}));
}

bool DescriptorItemUnitFloat::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint32_t code;
    if (!ReadCode(stream, code, pd)) return false;
    auto const* entry = std::find_if(std::begin(kUnits), std::end(kUnits),
                                     [&](UnitEntry const& e) { return e.code == code; });
    if (entry == std::end(kUnits)) {
        pd.m_report.SetError(PSDError::kUnknownDescriptorUnitFloatType, KeyToString(code));
        return false;
    }
    m_unit = entry->unit;
    return ReadValue(stream, m_value, pd);
}

bool DescriptorItemUnitFloat::Save(Kernel::OutStreamSeekable& stream,
                                   ByteOrderFixer const& fixer) const {
    uint32_t code = (m_unit >= Angle && m_unit <= Inch) ? kUnits[m_unit].code : Key("#Nne");
    return WriteCode(stream, Key("UntF"), fixer) && WriteCode(stream, code, fixer) &&
           WriteValue(stream, m_value, fixer);
}

void DescriptorItemUnitFloat::PrintValue() const {
    if (m_unit <= Inch) DebugTrace(kUnits[m_unit].dump);
    DebugTrace(Kernel::FormatString(" value=%1", {Kernel::ToString(m_value)}));
}

String DescriptorItemUnitFloat::UnitTypeToString(UnitType unit) {
    return unit <= Inch ? String(kUnits[unit].name) : String();
}

bool DescriptorItemString::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadUnicodeString(stream, m_value, pd);
}
bool DescriptorItemString::Save(Kernel::OutStreamSeekable& stream,
                                ByteOrderFixer const& fixer) const {
    return WriteCode(stream, Key("TEXT"), fixer) && WriteUnicodeString(stream, m_value, fixer);
}
void DescriptorItemString::PrintValue() const {
    DebugTrace(" value=" + DebugQuoted(m_value));
}

bool DescriptorItemEnum::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return m_value.Parse(stream, pd);
}
bool DescriptorItemEnum::Save(Kernel::OutStreamSeekable& stream,
                              ByteOrderFixer const& fixer) const {
    return WriteCode(stream, Key("enum"), fixer) && m_value.Save(stream, fixer);
}
void DescriptorItemEnum::PrintValue() const {
    DebugTrace(" enumtype=");
    m_value.m_type.DebugDump();
    DebugTrace(" enumvalue=");
    m_value.m_value.DebugDump();
}

bool DescriptorItemInteger::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadValue(stream, m_value, pd);
}
bool DescriptorItemInteger::Save(Kernel::OutStreamSeekable& stream,
                                 ByteOrderFixer const& fixer) const {
    return WriteCode(stream, Key("long"), fixer) && WriteValue(stream, m_value, fixer);
}
void DescriptorItemInteger::PrintValue() const {
    DebugTrace(Kernel::FormatString(" value=%1", {Kernel::ToString(int64_t(m_value))}));
}

bool DescriptorItemBool::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    uint8_t b;
    if (!ReadValue(stream, b, pd)) return false;
    m_value = b != 0;
    return true;
}
bool DescriptorItemBool::Save(Kernel::OutStreamSeekable& stream,
                              ByteOrderFixer const& fixer) const {
    uint8_t b = m_value ? 1 : 0;
    return WriteCode(stream, Key("bool"), fixer) && stream.Write(&b, 1);
}
void DescriptorItemBool::PrintValue() const {
    DebugTrace(m_value ? " value=true" : " value=false");
}

bool DescriptorItemClass::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadUnicodeString(stream, m_name, pd) && m_classID.Parse(stream, pd);
}
bool DescriptorItemClass::Save(Kernel::OutStreamSeekable& stream,
                               ByteOrderFixer const& fixer) const {
    return WriteCode(stream, Key("type"), fixer) && WriteUnicodeString(stream, m_name, fixer) &&
           m_classID.Save(stream, fixer);
}
void DescriptorItemClass::PrintValue() const {
    DebugTrace(" name=" + DebugQuoted(m_name) + " classID=");
    m_classID.DebugDump();
}

// ---- Byte blocks

bool DescriptorItemAliasData::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadByteBlock(stream, m_size, m_buffer, pd);
}
bool DescriptorItemAliasData::Save(Kernel::OutStreamSeekable& stream,
                                   ByteOrderFixer const& fixer) const {
    return WriteByteBlock(stream, fixer, Key("alis"), m_size, m_buffer);
}
void DescriptorItemAliasData::SetData(void const* data, size_t size) {
    auto const* b = static_cast<uint8_t const*>(data);
    m_buffer.assign(b, b + size);
    m_size = size;
}

bool DescriptorItemPDFData::Parse(Kernel::InStreamSeekable& stream, ParseData& pd) {
    return ReadByteBlock(stream, m_size, m_buffer, pd);
}
bool DescriptorItemPDFData::Save(Kernel::OutStreamSeekable& stream,
                                 ByteOrderFixer const& fixer) const {
    return WriteByteBlock(stream, fixer, Key("tdta"), m_size, m_buffer);
}
void DescriptorItemPDFData::SetData(void const* data, size_t size) {
    auto const* b = static_cast<uint8_t const*>(data);
    m_buffer.assign(b, b + size);
    m_size = size;
}

Kernel::Counted<PDFData> DescriptorItemPDFData::GetPDFData() const {
    if (m_size == 0 || m_buffer.empty()) return nullptr;
    PDFDataParser parser(m_buffer.data(),
                         (unsigned long)std::min<uint64_t>(m_size, m_buffer.size()));
    return parser.Parse();
}

void DescriptorItemPDFData::PrintValue() const {
    // Other raw data than engine data is only sized.
    auto data = GetEngineData();
    if (!data) {
        DebugTrace(" size=" + std::to_string(m_size));
        return;
    }
    DebugTrace(" ");
    data->PrintValue(0);
}

}  // namespace PSD
